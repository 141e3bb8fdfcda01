// The one component wrapper that every method-table row runs (module AdapterProject).
#include "adapters/AdapterProject/AdapterProject.h"
#include "adapters/AdapterProject/AdapterReading.h"
#include "adapters/AdapterProject/AdapterState.h"
#include "adapters/AdapterProject/MethodCaller.h"
#include "common/Log.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kModule = "AdapterProject";
// The dual interface's own methods follow IUnknown's three and IDispatch's four.
constexpr int kFirstMethodSlot = 7;

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
    methodcall::Arguments arguments;
    for (int i = 0; i < row.argCount; ++i) {
        ArgValue& value = values[static_cast<std::size_t>(i)];
        switch (row.args[static_cast<std::size_t>(i)].kind) {
            case ArgKind::Text:
                arguments.addPointer(value.text.get());
                break;
            case ArgKind::AnsiText:
                buildAnsiVariant(value);
                arguments.addRecord(value.variant.addr(), sizeof(VARIANT));
                break;
            case ArgKind::Int:
            case ArgKind::Long:
                arguments.addInt32(value.number);
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
            arguments.addPointer(textOut.put());
            break;
        case ResultKind::DecimalLong:
        case ResultKind::DecimalInt:
            arguments.addPointer(&numberOut);
            break;
        case ResultKind::List:
            arguments.addPointer(listOut.put());
            break;
        case ResultKind::None:
            break;
    }
    const HRESULT hr = methodcall::callSlot(component, kFirstMethodSlot + row.index, arguments,
                                            E_INVALIDARG);
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
