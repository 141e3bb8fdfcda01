// Plumbing shared by the stand-in COM components (in-process servers that take the place of the
// crypto components, which are installed separately and are absent on test machines).
//
// A stand-in method records the call (its own row index, its name, and the arguments it received,
// a NULL BSTR told apart from an empty one) and answers from that record:
// - text out value: the record text "<index>|<name>|<arg>|<arg>..." where an argument reads
//   "null" (NULL BSTR), "s<n>:<text>" (n UTF-16 units) or "i:<decimal>";
// - integer out value: its first integer argument, or its row index when it has none;
// - VARIANT out value: an array (VT_ARRAY | VT_VARIANT) of BSTRs: index, name, then one element
//   per argument in the record's argument form;
// - no out value: only the record.
// Behaviour switches, chosen per call: the process-wide override of setStandinBehaviourForTesting
// wins; otherwise a text argument equal to one of the kStandinMagic* texts, or an integer argument
// equal to kStandinShapeBase + a list shape, picks it. "Fail" returns kStandinFailure with an error
// object (CreateErrorInfo/SetErrorInfo; the object supports ISupportErrorInfo for its interface).
// A text argument kStandinMagicSleep followed by a decimal number of milliseconds makes the call
// wait that long after it is recorded and before it answers, as a component waiting for a PIN.
//
// How a second stand-in plugs in (for example the HCA one):
// 1. Its own header declares its interface, written from that component's method table text,
//    as `struct IXxx : IDispatch { virtual HRESULT STDMETHODCALLTYPE Method(...) = 0; ... };`,
//    and its CLSID and IID.
// 2. `class XxxStandin : public StandinObject<IXxx>` passes the IID and a source name to the base
//    and implements each method with one line:
//    `return answer(<row>, "<name>", out, {text(bstrArg), number(intArg), ansi(variantArg)});`
//    (drop `out` for a method without an out value).
// 3. Tests inside one process register it with StandinClassRegistration (CoRegisterClassObject);
//    for other processes its DLL source uses QM_STANDIN_SERVER_EXPORTS(XxxStandin, clsid, "name")
//    with a .def file listing the four Dll* exports, built with qm_standin_server() as
//    <Name>Standin.dll in its tests/support/<folder>/; scripts/register-standins.sh runs regsvr32
//    on every such DLL of a build (HKCR\CLSID\{clsid}\InprocServer32, ThreadingModel "Both").
#ifndef QM_TESTS_SUPPORT_STANDIN_COMSTANDIN_H
#define QM_TESTS_SUPPORT_STANDIN_COMSTANDIN_H

#include "common/win/Com.h"

#include <olectl.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

// ---- Behaviour switches ----------------------------------------------------------------------

enum class StandinBehaviour : int32_t {
    Normal = 0,
    Fail = 1,       // return kStandinFailure with an error object
    NullText = 2,   // text out value: a NULL BSTR
    EmptyText = 3,  // text out value: an empty BSTR
    LeaveOut = 4,   // succeed without touching the out value
    // VARIANT out value shapes:
    MixedElements = 10,  // array of VARIANTs: VT_BSTR "x", VT_INT 5, VT_I4 5
    BstrArray = 11,      // VT_ARRAY | VT_BSTR of "a", "b"
    NullArray = 12,      // VT_ARRAY | VT_VARIANT with a NULL array pointer
    TwoDimensions = 13,  // 2 x 2 array of VARIANT BSTRs
    EmptyArray = 14,     // array of VARIANTs with no element (upper bound below lower)
    ScalarBstr = 15,     // plain VT_BSTR "scalar"
    BoolTrue = 16,       // VT_BOOL VARIANT_TRUE
    BoolFalse = 17,      // VT_BOOL VARIANT_FALSE
    NestedArray = 18,    // array of VARIANTs: VT_BSTR "a", an inner array, VT_BSTR "b"
    OffsetBounds = 19,   // array of VARIANTs with lower bound 3: "p", "q"
};

// Text argument values that switch the behaviour.
inline constexpr const wchar_t* kStandinMagicFail = L"standin:fail";
inline constexpr const wchar_t* kStandinMagicNull = L"standin:null";
inline constexpr const wchar_t* kStandinMagicEmpty = L"standin:empty";
inline constexpr const wchar_t* kStandinMagicLeave = L"standin:leave";
inline constexpr const wchar_t* kStandinMagicSleep = L"standin:sleep:";
// An integer argument of kStandinShapeBase + int(behaviour) switches to that behaviour.
inline constexpr int32_t kStandinShapeBase = 770000;
// The HRESULT and the description of a switched failure.
inline constexpr HRESULT kStandinFailure = static_cast<HRESULT>(0x80040A01L);
inline constexpr const wchar_t* kStandinFailureText = L"stand-in failure";

// ---- Records ---------------------------------------------------------------------------------

struct StandinArg {
    enum class Kind { NullText, Text, Int };
    Kind kind = Kind::Int;
    std::wstring text;        // Text: the received units (up to SysStringLen)
    int32_t value = 0;        // Int
    BSTR received = nullptr;  // Text/NullText: the caller's pointer, observed, never owned
    UINT byteLength = 0;      // Text: SysStringByteLen at the call
};

struct StandinCall {
    int index = -1;
    std::string name;
    std::vector<StandinArg> args;
};

// Argument builders for answer().
StandinArg text(BSTR value);
// An ANSI-text argument, a VT_BSTR VARIANT passed by value; any other type records its type.
StandinArg ansi(const VARIANT& value);
StandinArg number(int32_t value);

// "null", "s<n>:<text>" or "i:<decimal>".
std::wstring standinArgText(const StandinArg& arg);
// "<index>|<name>|<arg>...".
std::wstring standinRecordText(const StandinCall& call);

// Every call recorded since the last clear, oldest first (any thread, any stand-in).
std::vector<StandinCall> standinCallsForTesting();
void clearStandinCallsForTesting();
// Overrides the behaviour of every following call (Normal: back to the magic values).
void setStandinBehaviourForTesting(StandinBehaviour behaviour);
// QueryInterface for the stand-in's own interface answers S_OK with a NULL pointer.
void setStandinNullInterfaceForTesting(bool on);
bool standinNullInterfaceForTesting();
// QueryInterface for the stand-in's own interface answers E_NOINTERFACE (IUnknown still works).
void setStandinRefuseInterfaceForTesting(bool on);
bool standinRefuseInterfaceForTesting();
// Objects alive and server locks, for DllCanUnloadNow.
std::atomic<long>& standinModuleReferences();
// The thread that deleted the last stand-in object (its last Release); 0 before any.
std::atomic<DWORD>& standinLastDeletingThreadForTesting();

// Answers of the four out-value kinds; record the call and apply the behaviour.
HRESULT standinAnswer(const wchar_t* source, StandinCall call, BSTR* out);
HRESULT standinAnswer(const wchar_t* source, StandinCall call, long* out);
HRESULT standinAnswer(const wchar_t* source, StandinCall call, int* out);
HRESULT standinAnswer(const wchar_t* source, StandinCall call, VARIANT* out);
HRESULT standinAnswer(const wchar_t* source, StandinCall call);

// COM objects are deleted by their own Release, never through an interface pointer, so the
// interfaces' non-virtual destructors are as COM intends.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// ---- The object base -------------------------------------------------------------------------

// IUnknown, IDispatch (no type information: callers use the vtable) and ISupportErrorInfo for a
// stand-in's own interface. Objects start with one reference.
template <class Interface>
class StandinObject : public Interface, public ISupportErrorInfo {
public:
    StandinObject(REFIID iid, const wchar_t* source) : iid_(iid), source_(source) {
        ++standinModuleReferences();
    }
    StandinObject(const StandinObject&) = delete;
    StandinObject& operator=(const StandinObject&) = delete;
    virtual ~StandinObject() {
        standinLastDeletingThreadForTesting() = GetCurrentThreadId();
        --standinModuleReferences();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(riid, iid_)) {
            if (standinRefuseInterfaceForTesting()) {
                return E_NOINTERFACE;
            }
            if (standinNullInterfaceForTesting()) {
                return S_OK;
            }
            *out = static_cast<Interface*>(this);
        } else if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *out = static_cast<Interface*>(this);
        } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
            *out = static_cast<ISupportErrorInfo*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --refs_;
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) {
            *info = nullptr;
        }
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return IsEqualIID(riid, iid_) ? S_OK : S_FALSE;
    }

protected:
    template <class Out>
    HRESULT answer(int index, const char* name, Out* out, std::initializer_list<StandinArg> args) {
        return standinAnswer(source_, StandinCall{index, name, args}, out);
    }
    HRESULT answer(int index, const char* name, std::initializer_list<StandinArg> args) {
        return standinAnswer(source_, StandinCall{index, name, args});
    }

private:
    std::atomic<long> refs_{1};
    IID iid_;
    const wchar_t* source_;
};

// ---- Class factory, registration ------------------------------------------------------------

template <class Object>
class StandinClassFactory : public IClassFactory {
public:
    StandinClassFactory() { ++standinModuleReferences(); }
    StandinClassFactory(const StandinClassFactory&) = delete;
    StandinClassFactory& operator=(const StandinClassFactory&) = delete;
    virtual ~StandinClassFactory() { --standinModuleReferences(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --refs_;
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* object = new (std::nothrow) Object();
        if (object == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = object->QueryInterface(riid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++standinModuleReferences();
        } else {
            --standinModuleReferences();
        }
        return S_OK;
    }

private:
    std::atomic<long> refs_{1};
};

#pragma GCC diagnostic pop

template <class Object>
ComPtr<IClassFactory> makeStandinFactory() {
    return ComPtr<IClassFactory>::adopt(new (std::nothrow) StandinClassFactory<Object>());
}

// Registers a class factory for this process (CoRegisterClassObject, in-process, multiple use)
// until destruction. Beats the registry, and works with nothing registered.
class StandinClassRegistration {
public:
    StandinClassRegistration(REFCLSID clsid, ComPtr<IClassFactory> factory);
    StandinClassRegistration(const StandinClassRegistration&) = delete;
    StandinClassRegistration& operator=(const StandinClassRegistration&) = delete;
    ~StandinClassRegistration();
    HRESULT hr() const { return hr_; }

private:
    HRESULT hr_ = E_FAIL;
    DWORD cookie_ = 0;
};

// Writes HKCR\CLSID\{clsid} (default value: description) and its InprocServer32 key (default
// value: the module's path; ThreadingModel "Both").
HRESULT registerStandinServer(HMODULE module, REFCLSID clsid, const wchar_t* description);
// The same for a server DLL at path.
HRESULT registerStandinServerPath(const wchar_t* path, REFCLSID clsid, const wchar_t* description);
// Deletes HKCR\CLSID\{clsid} with its subkeys.
HRESULT unregisterStandinServer(REFCLSID clsid);

// The four exports of a stand-in server DLL (list them in the DLL's .def file).
#define QM_STANDIN_SERVER_EXPORTS(ObjectType, clsid, description)                                  \
    static HMODULE standinModuleHandle() {                                                         \
        HMODULE module = nullptr;                                                                  \
        GetModuleHandleExW(                                                                        \
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, \
            reinterpret_cast<LPCWSTR>(&standinModuleHandle), &module);                             \
        return module;                                                                             \
    }                                                                                              \
    STDAPI DllGetClassObject(REFCLSID requested, REFIID riid, LPVOID* out) {                       \
        if (out == nullptr) {                                                                      \
            return E_POINTER;                                                                      \
        }                                                                                          \
        *out = nullptr;                                                                            \
        if (!IsEqualCLSID(requested, clsid)) {                                                     \
            return CLASS_E_CLASSNOTAVAILABLE;                                                      \
        }                                                                                          \
        ComPtr<IClassFactory> factory = makeStandinFactory<ObjectType>();                          \
        if (!factory) {                                                                            \
            return E_OUTOFMEMORY;                                                                  \
        }                                                                                          \
        return factory->QueryInterface(riid, out);                                                 \
    }                                                                                              \
    STDAPI DllCanUnloadNow() {                                                                     \
        return standinModuleReferences().load() == 0 ? S_OK : S_FALSE;                             \
    }                                                                                              \
    STDAPI DllRegisterServer() {                                                                   \
        return registerStandinServer(standinModuleHandle(), clsid, description);                   \
    }                                                                                              \
    STDAPI DllUnregisterServer() {                                                                 \
        return unregisterStandinServer(clsid);                                                     \
    }

#endif
