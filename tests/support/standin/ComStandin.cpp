#include "tests/support/standin/ComStandin.h"

#include <cwchar>
#include <mutex>
#include <utility>

namespace {

struct StandinState {
    std::mutex lock;
    std::vector<StandinCall> calls;
    std::atomic<int32_t> behaviour{0};
    std::atomic<bool> nullInterface{false};
    std::atomic<bool> refuseInterface{false};
    std::atomic<long> references{0};
    std::atomic<DWORD> lastDeletingThread{0};
};

StandinState& state() {
    // Never destroyed: objects may still be released while the process ends.
    static auto* s = new StandinState();
    return *s;
}

bool isShape(int32_t value) {
    const int32_t b = value - kStandinShapeBase;
    return (b >= 1 && b <= 4) || (b >= 10 && b <= 19);
}

StandinBehaviour behaviourFor(const StandinCall& call) {
    const auto forced = static_cast<StandinBehaviour>(state().behaviour.load());
    if (forced != StandinBehaviour::Normal) {
        return forced;
    }
    for (const StandinArg& a : call.args) {
        if (a.kind == StandinArg::Kind::Text) {
            if (a.text == kStandinMagicFail) {
                return StandinBehaviour::Fail;
            }
            if (a.text == kStandinMagicNull) {
                return StandinBehaviour::NullText;
            }
            if (a.text == kStandinMagicEmpty) {
                return StandinBehaviour::EmptyText;
            }
            if (a.text == kStandinMagicLeave) {
                return StandinBehaviour::LeaveOut;
            }
        } else if (a.kind == StandinArg::Kind::Int && isShape(a.value)) {
            return static_cast<StandinBehaviour>(a.value - kStandinShapeBase);
        }
    }
    return StandinBehaviour::Normal;
}

// The milliseconds a "standin:sleep:<ms>" argument asks the call to wait (0: none).
DWORD sleepOf(const StandinCall& call) {
    const std::wstring prefix = kStandinMagicSleep;
    for (const StandinArg& a : call.args) {
        if (a.kind == StandinArg::Kind::Text && a.text.compare(0, prefix.size(), prefix) == 0) {
            return static_cast<DWORD>(std::wcstoul(a.text.c_str() + prefix.size(), nullptr, 10));
        }
    }
    return 0;
}

void record(const StandinCall& call) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().calls.push_back(call);
}

HRESULT fail(const wchar_t* source, const StandinCall& call) {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
        std::wstring description = kStandinFailureText;
        description += L" in ";
        description.append(call.name.begin(), call.name.end());
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        create->SetSource(const_cast<LPOLESTR>(source));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create.queryInterface(IID_IErrorInfo, info))) {
            SetErrorInfo(0, info.get());
        }
    }
    return kStandinFailure;
}

struct Begun {
    StandinBehaviour behaviour;
    bool fillOut;  // false: the answer is hr (the switched failure, or S_OK leaving out alone)
    HRESULT hr;
};

// Records the call and picks its behaviour.
Begun beginAnswer(const wchar_t* source, const StandinCall& call, const void* out) {
    record(call);
    if (const DWORD wait = sleepOf(call); wait != 0) {
        Sleep(wait);
    }
    const StandinBehaviour b = behaviourFor(call);
    if (b == StandinBehaviour::Fail) {
        return {b, false, fail(source, call)};
    }
    return {b, b != StandinBehaviour::LeaveOut && out != nullptr, S_OK};
}

// Shared by the two decimal out types.
template <class Int>
HRESULT answerNumber(const wchar_t* source, StandinCall call, Int* out) {
    const Begun begun = beginAnswer(source, call, out);
    if (!begun.fillOut) {
        return begun.hr;
    }
    *out = static_cast<Int>(call.index);
    for (const StandinArg& a : call.args) {
        if (a.kind == StandinArg::Kind::Int) {
            *out = static_cast<Int>(a.value);
            break;
        }
    }
    return S_OK;
}

BSTR allocBstr(const std::wstring& s) {
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

// A one-dimensional array of VARIANTs holding the given VARIANTs (which it takes over).
SAFEARRAY* variantArray(std::vector<VARIANT> items, LONG lowerBound = 0) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(items.size()), lowerBound};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    for (size_t i = 0; i < items.size(); ++i) {
        LONG at = lowerBound + static_cast<LONG>(i);
        if (array != nullptr) {
            SafeArrayPutElement(array, &at, &items[i]);
        }
        VariantClear(&items[i]);
    }
    return array;
}

VARIANT bstrVariant(const std::wstring& s) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = allocBstr(s);
    return v;
}

VARIANT intVariant(VARTYPE type, int32_t value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    if (type == VT_INT) {
        v.intVal = value;
    } else {
        v.lVal = value;
    }
    return v;
}

VARIANT arrayVariant(SAFEARRAY* array) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = array;
    return v;
}

void fillShape(StandinBehaviour b, const StandinCall& call, VARIANT* out) {
    switch (b) {
        case StandinBehaviour::MixedElements:
            *out = arrayVariant(
                variantArray({bstrVariant(L"x"), intVariant(VT_INT, 5), intVariant(VT_I4, 5)}));
            return;
        case StandinBehaviour::BstrArray: {
            SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
            const wchar_t* texts[] = {L"a", L"b"};
            for (LONG i = 0; array != nullptr && i < 2; ++i) {
                BSTR s = SysAllocString(texts[i]);
                SafeArrayPutElement(array, &i, s);
                SysFreeString(s);
            }
            out->vt = VT_ARRAY | VT_BSTR;
            out->parray = array;
            return;
        }
        case StandinBehaviour::NullArray:
            *out = arrayVariant(nullptr);
            return;
        case StandinBehaviour::TwoDimensions: {
            SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
            SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
            for (LONG i = 0; array != nullptr && i < 2; ++i) {
                for (LONG j = 0; j < 2; ++j) {
                    LONG at[2] = {i, j};
                    VARIANT v = bstrVariant(L"cell");
                    SafeArrayPutElement(array, at, &v);
                    VariantClear(&v);
                }
            }
            *out = arrayVariant(array);
            return;
        }
        case StandinBehaviour::EmptyArray:
            *out = arrayVariant(variantArray({}));
            return;
        case StandinBehaviour::ScalarBstr:
            *out = bstrVariant(L"scalar");
            return;
        case StandinBehaviour::BoolTrue:
        case StandinBehaviour::BoolFalse:
            out->vt = VT_BOOL;
            out->boolVal = b == StandinBehaviour::BoolTrue ? VARIANT_TRUE : VARIANT_FALSE;
            return;
        case StandinBehaviour::NestedArray:
            *out = arrayVariant(
                variantArray({bstrVariant(L"a"), arrayVariant(variantArray({bstrVariant(L"in")})),
                              bstrVariant(L"b")}));
            return;
        case StandinBehaviour::OffsetBounds:
            *out = arrayVariant(variantArray({bstrVariant(L"p"), bstrVariant(L"q")}, 3));
            return;
        default: {
            std::vector<VARIANT> items;
            items.push_back(bstrVariant(std::to_wstring(call.index)));
            items.push_back(bstrVariant(std::wstring(call.name.begin(), call.name.end())));
            for (const StandinArg& a : call.args) {
                items.push_back(bstrVariant(standinArgText(a)));
            }
            *out = arrayVariant(variantArray(std::move(items)));
            return;
        }
    }
}

}  // namespace

StandinArg text(BSTR value) {
    StandinArg a;
    a.received = value;
    if (value == nullptr) {
        a.kind = StandinArg::Kind::NullText;
        return a;
    }
    a.kind = StandinArg::Kind::Text;
    a.text.assign(value, SysStringLen(value));
    a.byteLength = SysStringByteLen(value);
    return a;
}

StandinArg ansi(const VARIANT& value) {
    if (value.vt == VT_BSTR) {
        return text(value.bstrVal);
    }
    StandinArg a;
    a.kind = StandinArg::Kind::Text;
    a.text = L"vt=" + std::to_wstring(value.vt);
    return a;
}

StandinArg number(int32_t value) {
    StandinArg a;
    a.kind = StandinArg::Kind::Int;
    a.value = value;
    return a;
}

std::wstring standinArgText(const StandinArg& arg) {
    switch (arg.kind) {
        case StandinArg::Kind::NullText:
            return L"null";
        case StandinArg::Kind::Text:
            return L"s" + std::to_wstring(arg.text.size()) + L":" + arg.text;
        case StandinArg::Kind::Int:
            break;
    }
    return L"i:" + std::to_wstring(arg.value);
}

std::wstring standinRecordText(const StandinCall& call) {
    std::wstring s = std::to_wstring(call.index) + L"|";
    s.append(call.name.begin(), call.name.end());
    for (const StandinArg& a : call.args) {
        s += L"|" + standinArgText(a);
    }
    return s;
}

std::vector<StandinCall> standinCallsForTesting() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().calls;
}

void clearStandinCallsForTesting() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().calls.clear();
}

void setStandinBehaviourForTesting(StandinBehaviour behaviour) {
    state().behaviour = static_cast<int32_t>(behaviour);
}

void setStandinNullInterfaceForTesting(bool on) {
    state().nullInterface = on;
}

bool standinNullInterfaceForTesting() {
    return state().nullInterface.load();
}

void setStandinRefuseInterfaceForTesting(bool on) {
    state().refuseInterface = on;
}

bool standinRefuseInterfaceForTesting() {
    return state().refuseInterface.load();
}

std::atomic<long>& standinModuleReferences() {
    return state().references;
}

std::atomic<DWORD>& standinLastDeletingThreadForTesting() {
    return state().lastDeletingThread;
}

HRESULT standinAnswer(const wchar_t* source, StandinCall call, BSTR* out) {
    const Begun begun = beginAnswer(source, call, out);
    if (!begun.fillOut) {
        return begun.hr;
    }
    const StandinBehaviour b = begun.behaviour;
    if (b == StandinBehaviour::NullText) {
        *out = nullptr;
        return S_OK;
    }
    *out = allocBstr(b == StandinBehaviour::EmptyText ? std::wstring() : standinRecordText(call));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT standinAnswer(const wchar_t* source, StandinCall call, long* out) {
    return answerNumber(source, std::move(call), out);
}

HRESULT standinAnswer(const wchar_t* source, StandinCall call, int* out) {
    return answerNumber(source, std::move(call), out);
}

HRESULT standinAnswer(const wchar_t* source, StandinCall call, VARIANT* out) {
    const Begun begun = beginAnswer(source, call, out);
    if (!begun.fillOut) {
        return begun.hr;
    }
    VariantInit(out);
    fillShape(begun.behaviour, call, out);
    return S_OK;
}

HRESULT standinAnswer(const wchar_t* source, StandinCall call) {
    return beginAnswer(source, call, nullptr).hr;
}

StandinClassRegistration::StandinClassRegistration(REFCLSID clsid, ComPtr<IClassFactory> factory) {
    if (!factory) {
        hr_ = E_OUTOFMEMORY;
        return;
    }
    hr_ = CoRegisterClassObject(clsid, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                &cookie_);
}

StandinClassRegistration::~StandinClassRegistration() {
    if (SUCCEEDED(hr_)) {
        CoRevokeClassObject(cookie_);
    }
}

namespace {

std::wstring clsidKey(REFCLSID clsid) {
    wchar_t text[64] = {};
    StringFromGUID2(clsid, text, 64);
    return std::wstring(L"CLSID\\") + text;
}

HRESULT setDefaultValue(HKEY root, const std::wstring& path, const wchar_t* name,
                        const std::wstring& value) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(rc);
    }
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(rc);
}

}  // namespace

HRESULT registerStandinServer(HMODULE module, REFCLSID clsid, const wchar_t* description) {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return SELFREG_E_CLASS;
    }
    return registerStandinServerPath(path, clsid, description);
}

HRESULT registerStandinServerPath(const wchar_t* path, REFCLSID clsid, const wchar_t* description) {
    const std::wstring key = clsidKey(clsid);
    const std::wstring server = key + L"\\InprocServer32";
    HRESULT hr = setDefaultValue(HKEY_CLASSES_ROOT, key, nullptr, description);
    if (SUCCEEDED(hr)) {
        hr = setDefaultValue(HKEY_CLASSES_ROOT, server, nullptr, path);
    }
    if (SUCCEEDED(hr)) {
        hr = setDefaultValue(HKEY_CLASSES_ROOT, server, L"ThreadingModel", L"Both");
    }
    return SUCCEEDED(hr) ? S_OK : SELFREG_E_CLASS;
}

HRESULT unregisterStandinServer(REFCLSID clsid) {
    const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, clsidKey(clsid).c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
