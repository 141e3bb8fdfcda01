// The one component wrapper that every method-table row runs (module AdapterProject).
#include "adapters/AdapterProject/AdapterProject.h"
#include "adapters/AdapterProject/AdapterReading.h"
#include "adapters/AdapterProject/AdapterState.h"
#include "common/Log.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kModule = "AdapterProject";
// The dual interface's own methods follow IUnknown's three and IDispatch's four.
constexpr int kFirstMethodSlot = 7;

// Every parameter of these methods is passed as 32-bit stack words (BSTR and out pointers, 32-bit
// integers, a VARIANT by value as its four words), so one caller per word count serves all rows.
constexpr std::size_t kMaxWords = 4 * kMaxMethodArgs + 1;
using Word = uintptr_t;
static_assert(sizeof(Word) == 4, "the adapters are 32-bit libraries");
static_assert(sizeof(VARIANT) == 4 * sizeof(Word));

using SlotCaller = HRESULT (*)(void* self, void* method, const Word* words);

template <std::size_t... I>
HRESULT callWords(void* self, void* method, const Word* words, std::index_sequence<I...>) {
    using Method = HRESULT(STDMETHODCALLTYPE*)(void*, decltype(static_cast<void>(I), Word{})...);
    return reinterpret_cast<Method>(method)(self, words[I]...);
}

template <std::size_t N>
HRESULT callSlot(void* self, void* method, const Word* words) {
    return callWords(self, method, words, std::make_index_sequence<N>());
}

template <std::size_t... N>
constexpr std::array<SlotCaller, sizeof...(N)> makeSlotCallers(std::index_sequence<N...>) {
    return {&callSlot<N>...};
}

constexpr auto kSlotCallers = makeSlotCallers(std::make_index_sequence<kMaxWords + 1>());

HRESULT callMethodSlot(IUnknown* component, int slot, const Word* words, std::size_t count) {
    void** vtable = *reinterpret_cast<void***>(component);
    return kSlotCallers[count](component, vtable[slot], words);
}

struct ArgValue {
    SecretBstr text;
    SecretText ansi;
    UniqueVariant variant;
    int32_t number = 0;
};

// Step 6 of every way out: all text arguments zeroed first, in table order; the owners then free
// them as they go, the last read first.
struct WipeTextArguments {
    std::array<ArgValue, kMaxMethodArgs>& values;
    int count;
    ~WipeTextArguments() {
        for (int i = 0; i < count; ++i) {
            values[static_cast<std::size_t>(i)].text.wipe();
        }
    }
};

void readArguments(const MethodRow& row, const JsonMap* map,
                   std::array<ArgValue, kMaxMethodArgs>& values) {
    for (int i = 0; i < row.argCount; ++i) {
        const MethodArg& arg = row.args[static_cast<std::size_t>(i)];
        ArgValue& value = values[static_cast<std::size_t>(i)];
        switch (arg.kind) {
            case ArgKind::Text:
                value.text = adapter::getJsonMapBstr(map, arg.key);
                break;
            case ArgKind::AnsiText:
                value.ansi = adapter::getJsonMapValue(map, arg.key);
                break;
            case ArgKind::Int:
                value.number = adapter::getJsonMapInt(map, arg.key);
                break;
            case ArgKind::Long:
                value.number = adapter::getJsonMapLong(map, arg.key);
                break;
        }
    }
}

// A VT_BSTR VARIANT of the text through the system ANSI code page; a null text gives a NULL BSTR.
void buildAnsiVariant(ArgValue& value) {
    VARIANT* v = value.variant.put();
    v->vt = VT_BSTR;
    v->bstrVal = nullptr;
    const char* text = value.ansi.get();
    if (text == nullptr) {
        return;
    }
    const int length = static_cast<int>(std::strlen(text));
    const int units = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    if (length > 0 && units <= 0) {
        throw ComError(HRESULT_FROM_WIN32(GetLastError()));
    }
    v->bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(units));
    if (v->bstrVal == nullptr) {
        throw ComError(E_OUTOFMEMORY);
    }
    if (units > 0) {
        MultiByteToWideChar(CP_ACP, 0, text, length, v->bstrVal, units);
    }
}

HeapText convertResult(ResultKind kind, UniqueBstr& textOut, long numberOut,
                       UniqueVariant& listOut) {
    switch (kind) {
        case ResultKind::Text:
            return HeapText(bstrResultToUtf8(textOut));
        case ResultKind::DecimalLong:
            return HeapText(longToDecimalString(numberOut));
        case ResultKind::DecimalInt:
            return HeapText(intToDecimalString(static_cast<int32_t>(numberOut)));
        case ResultKind::List: {
            UniqueVariant copy;
            checkHr(VariantCopy(copy.addr(), listOut.addr()));
            HeapText text(variantToUtf8(*copy.addr()));
            listOut.reset();
            return text;
        }
        case ResultKind::None:
            break;
    }
    return HeapText(intToDecimalString(0));
}

void callGuarded(const MethodRow& row, std::array<ArgValue, kMaxMethodArgs>& values) {
    AdapterState& state = adapterState();
    const AdapterDescription& description = adapterDescription();
    logNormal("Ready into component func: ", row.name);
    std::array<Word, kMaxWords> words{};
    std::size_t count = 0;
    for (int i = 0; i < row.argCount; ++i) {
        ArgValue& value = values[static_cast<std::size_t>(i)];
        switch (row.args[static_cast<std::size_t>(i)].kind) {
            case ArgKind::Text:
                words[count++] = reinterpret_cast<Word>(value.text.get());
                break;
            case ArgKind::AnsiText: {
                buildAnsiVariant(value);
                Word variantWords[4];
                std::memcpy(variantWords, value.variant.addr(), sizeof variantWords);
                for (Word w : variantWords) {
                    words[count++] = w;
                }
                break;
            }
            case ArgKind::Int:
            case ArgKind::Long:
                words[count++] = static_cast<Word>(static_cast<uint32_t>(value.number));
                break;
        }
    }
    IUnknown* component = state.component.get();
    if (component == nullptr) {
        throw ComError(E_POINTER);
    }
    UniqueBstr textOut;
    long numberOut = 0;
    UniqueVariant listOut;
    switch (row.result) {
        case ResultKind::Text:
            words[count++] = reinterpret_cast<Word>(textOut.put());
            break;
        case ResultKind::DecimalLong:
        case ResultKind::DecimalInt:
            words[count++] = reinterpret_cast<Word>(&numberOut);
            break;
        case ResultKind::List:
            words[count++] = reinterpret_cast<Word>(listOut.put());
            break;
        case ResultKind::None:
            break;
    }
    const HRESULT hr = callMethodSlot(component, kFirstMethodSlot + row.index, words.data(), count);
    for (int i = 0; i < row.argCount; ++i) {
        values[static_cast<std::size_t>(i)].variant.reset();
    }
    checkHr(hr, component, description.iid);
    logNormal("Finish component func: ", row.name);
    setResultText(convertResult(row.result, textOut, numberOut, listOut));
}

}  // namespace

void callComponentMethod(const MethodRow& row, const JsonMap* map) {
    AdapterState& state = adapterState();
    const std::string wrapperName = std::string("ComponentAPI_") + row.name;
    logNormal("Into adapter function: ", wrapperName.c_str());

    std::array<ArgValue, kMaxMethodArgs> values;
    const WipeTextArguments wipe{values, row.argCount};
    if (row.argCount > 0) {
        const bool keyCheck = row.keyCheck == KeyCheck::On;
        if (keyCheck) {
            state.keyCheckMode = true;
            state.keyCheckError = 0;
        }
        try {
            readArguments(row, map, values);
        } catch (...) {
            state.keyCheckMode = false;
            throw;
        }
        state.keyCheckMode = false;
        if (keyCheck && state.keyCheckError != 0 && getJsonMapBool(map, "AdapterJsonKeyCheck")) {
            setResultText(HeapText(intToDecimalString(state.keyCheckError)));
            return;
        }
    }
    try {
        callGuarded(row, values);
    } catch (const ComError&) {
        const int safeLine = __LINE__;
        for (int i = 0; i < row.argCount; ++i) {
            values[static_cast<std::size_t>(i)].variant.reset();
        }
        logWarning("", "Catch component exception");
        setResultText(HeapText(intToDecimalString(kAdapterComponentFailed)));
        char buffer[512] = {};
        std::snprintf(buffer, sizeof buffer, "Safe in %s at %d lines in %s", wrapperName.c_str(),
                      safeLine, kModule);
        logError("[Safe Line] ", buffer);
    }
}
