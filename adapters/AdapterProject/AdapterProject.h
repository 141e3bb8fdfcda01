// AdapterProject: the framework of the component adapter libraries. An adapter library offers one
// installed COM crypto component to the signing service through the two exports callMethod and
// callJsonMapMethod: it starts once (initAdapter: log set-up, the component created by class
// identifier, the function map filled), dispatches each request by "QuillmarkFunctionIndex" or
// "FunctionName" (Adapter.h), and runs one generic component wrapper per method-table row.
//
// How an adapter library plugs in (one per component; see adapters/gpki/GpkiAdapter.cpp):
// 1. Write its method table as `inline constexpr std::array<MethodRow, N> kRows = {{ row(...),
//    ... }};` in table order, and pin it: `static_assert(kRows.size() == N)` and
//    `static_assert(methodRowsInOrder(kRows))`. Row i calls vtable slot 7 + i of the component's
//    dual interface (after IUnknown's three and IDispatch's four methods).
// 2. Define `const AdapterDescription& adapterDescription()` returning its name (the log tag),
//    version text, CLSID and IID, the rows and `makeMethodFunctions<kRows>()`.
// 3. In CMake: `qm_adapter(<DllName> SOURCES <its .cpp>)` builds <DllName>.dll with the exports,
//    the unload clean-up (AdapterUnload.cpp), the framework and common, and adds the export check
//    test.
#ifndef QM_ADAPTERS_ADAPTERPROJECT_ADAPTERPROJECT_H
#define QM_ADAPTERS_ADAPTERPROJECT_ADAPTERPROJECT_H

#include "common/Json.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

// Every adapter function takes the request map and leaves its answer as the result text.
using AdapterFunction = void (*)(const JsonMap* map);

// The answers the framework itself gives.
inline constexpr int32_t kAdapterNoFunction = 61005;
inline constexpr int32_t kAdapterComponentFailed = 61011;
inline constexpr int32_t kAdapterKeyMissing = 61016;
inline constexpr int32_t kAdapterComponentInitFailed = 61905;

// ---- Method tables ---------------------------------------------------------------------------

// How an argument is read from the request and passed to the method.
enum class ArgKind : uint8_t {
    Text,      // getJsonMapBstr: UTF-8 to a BSTR (NULL when missing); wiped and freed after
    AnsiText,  // getJsonMapValue, then a VT_BSTR VARIANT by value through the ANSI code page
    Int,       // getJsonMapInt, a signed 32-bit value
    Long,      // getJsonMapLong, a signed 32-bit value
};

// The method's out value and how it becomes the answer.
enum class ResultKind : uint8_t {
    Text,         // BSTR* -> bstrResultToUtf8
    DecimalLong,  // 32-bit integer* -> longToDecimalString
    DecimalInt,   // 32-bit integer* -> intToDecimalString
    List,         // VARIANT* -> VariantCopy, variantToUtf8
    None,         // no out value; "0" after success
};

enum class KeyCheck : uint8_t {
    On,       // arguments read in key-check mode; "61016" when one is missing and asked for
    Outside,  // arguments read outside the key check; never "61016"
};

struct MethodArg {
    const char* key = nullptr;
    ArgKind kind = ArgKind::Int;
};

inline constexpr int kMaxMethodArgs = 8;

struct MethodRow {
    int index = 0;
    const char* name = nullptr;
    ResultKind result = ResultKind::None;
    std::array<MethodArg, kMaxMethodArgs> args{};
    int argCount = 0;
    KeyCheck keyCheck = KeyCheck::On;
};

// One row of a method table. More than kMaxMethodArgs arguments does not compile.
constexpr MethodRow row(int index, const char* name, std::initializer_list<MethodArg> args,
                        ResultKind result, KeyCheck keyCheck = KeyCheck::On) {
    MethodRow r;
    r.index = index;
    r.name = name;
    r.result = result;
    r.keyCheck = keyCheck;
    if (args.size() > kMaxMethodArgs) {
        // Only ever evaluated at compile time: a constexpr table row with too many arguments
        // fails to compile here.
        throw "too many method arguments";
    }
    for (const MethodArg& a : args) {
        r.args[static_cast<std::size_t>(r.argCount++)] = a;
    }
    return r;
}

constexpr MethodArg text(const char* key) {
    return {key, ArgKind::Text};
}
constexpr MethodArg ansiText(const char* key) {
    return {key, ArgKind::AnsiText};
}
constexpr MethodArg intArg(const char* key) {
    return {key, ArgKind::Int};
}
constexpr MethodArg longArg(const char* key) {
    return {key, ArgKind::Long};
}

// True when row i carries index i and a name, for every row.
template <std::size_t N>
constexpr bool methodRowsInOrder(const std::array<MethodRow, N>& rows) {
    for (std::size_t i = 0; i < N; ++i) {
        if (rows[i].index != static_cast<int>(i) || rows[i].name == nullptr) {
            return false;
        }
    }
    return true;
}

// The generic wrapper: reads the row's arguments from map, calls the method through vtable slot
// 7 + row.index of the component, converts the out value and stores the answer; "61016" on a
// missing key under the key check, "61011" on a COM error. Every text argument is zeroed before
// it is freed, on every path.
void callComponentMethod(const MethodRow& row, const JsonMap* map);

template <const auto& Rows, std::size_t I>
void runMethodRow(const JsonMap* map) {
    callComponentMethod(Rows[I], map);
}

template <const auto& Rows, std::size_t... I>
constexpr std::array<AdapterFunction, sizeof...(I)> makeMethodFunctionsImpl(
    std::index_sequence<I...>) {
    return {&runMethodRow<Rows, I>...};
}

// One AdapterFunction per row (the map registers functions, not rows).
template <const auto& Rows>
constexpr auto makeMethodFunctions() {
    return makeMethodFunctionsImpl<Rows>(std::make_index_sequence<Rows.size()>());
}

// ---- The adapter ------------------------------------------------------------------------------

struct AdapterDescription {
    const char* name;                  // log tag and "Into adapter: " value, at most 63 characters
    const char* versionText;           // the answer of "Quillmark_GetVersion"
    CLSID clsid;                       // the component
    IID iid;                           // its dual interface
    const MethodRow* rows;             // the method table, row i at index i
    const AdapterFunction* functions;  // one per row
    int count;                         // rows
};

// Defined once by each adapter library.
const AdapterDescription& adapterDescription();

// ---- Exports and lifecycle ----------------------------------------------------------------

// The bodies of the exports (AdapterExports.cpp). Both return the result text: never null, owned
// by the library, valid until the next call of either export. No exception leaves them.
const char* adapterCallMethod(const char* jsonText) noexcept;
const char* adapterCallJsonMapMethod(const JsonMap* map, const char* functionName) noexcept;

// Start-up, run by every export call until it succeeds once: true when the call may dispatch
// (also after an allocation failure, with the adapter still not started); false after
// "Component init error!" with the answer "61905".
bool initAdapter();

// The system functions (registered after the component functions; indexes -1, -2, -3).
void quillmarkGetVersion(const JsonMap* map);
void quillmarkUnlock(const JsonMap* map);
void quillmarkRelease(const JsonMap* map);

// The build stamp of the framework, "Mar 11 2022" and "14:28:12".
const char* adapterBuildDate();
const char* adapterBuildTime();

#endif
