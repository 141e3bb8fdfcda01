// Test harness for the adapter libraries: loads the real DLL with LoadLibraryW/GetProcAddress, as
// the service does, builds request maps the way the service does (parseJsonMap of the request
// text, its encrypted values deciphered ahead), calls both exports, and watches every BSTR the
// library frees (through its import of SysFreeString) to check that it was zeroed at that moment,
// and every heap block it frees for a secret's text.
#ifndef QM_TESTS_ADAPTERS_ADAPTERHARNESS_H
#define QM_TESTS_ADAPTERS_ADAPTERHARNESS_H

#include "adapters/AdapterProject/AdapterExports.h"
#include "common/Json.h"
#include "tests/support/standin/ComStandin.h"
#include "tests/support/standin/ImportHook.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

using Pairs = std::vector<std::pair<std::string, std::string>>;

// {"k": "v", ...} in the given order (keys and values are written as they are).
std::string jsonText(const Pairs& pairs);
// The map the service would build from that text; null when it does not parse. With
// decipherAhead false, its encrypted values are left for the adapter to decipher, as in a map
// built without the service.
JsonMapPtr requestMap(const Pairs& pairs, bool decipherAhead = true);

std::string toUtf8(const std::wstring& text);
// A Unix path of the build as the Windows path Wine maps it to (Z:\...).
std::wstring windowsPath(const std::string& unixPath);

struct FreedBstr {
    BSTR pointer;
    UINT byteLength;
    bool allZero;
};

// One row of an adapter's method table as the tests expect it: index, name, argument keys in
// order with their kinds ('s' text, 'a' ANSI text in a VARIANT, 'i' integer) and the result kind
// ('T' text, 'D' decimal, 'L' list, 'N' none).
struct AdapterRow {
    int index;
    const char* name;
    std::vector<std::pair<char, const char*>> args;
    char result;
};

// The request values of a row, distinct per row and position: non-ASCII UTF-8 for text, plain
// ASCII for an ANSI text (its non-ASCII bytes depend on the code page).
struct RowRequest {
    Pairs pairs;
    std::vector<StandinArg> expected;
};
RowRequest rowRequest(const AdapterRow& row);
// What the stand-in answers to row called with args, and the adapter makes of it.
std::string expectedAnswer(const AdapterRow& row, const std::vector<StandinArg>& args);
// The stand-in's call is row's, with the expected arguments.
void expectCall(const StandinCall& call, const AdapterRow& row,
                const std::vector<StandinArg>& expected);
// Every text (BSTR) argument of call is among freed, was zeroed at that moment and was freed
// last-read first. Given a row, only the arguments at its 's' positions are checked.
void expectTextArgumentsWiped(const std::vector<FreedBstr>& freed, const StandinCall& call,
                              const AdapterRow* row = nullptr);
// The last call the stand-in recorded; index -1 when there was none.
StandinCall lastCall();
std::string lowerCase(std::string text);
// The integer argument that switches the stand-in to behaviour b.
std::string shape(StandinBehaviour b);

// One loaded copy of an adapter library. FreeLibrary on destruction.
class AdapterLibrary {
public:
    explicit AdapterLibrary(const std::wstring& path);
    AdapterLibrary(const AdapterLibrary&) = delete;
    AdapterLibrary& operator=(const AdapterLibrary&) = delete;
    ~AdapterLibrary();

    bool loaded() const { return callMethod_ != nullptr && callJsonMapMethod_ != nullptr; }
    HMODULE module() const { return module_; }

    // The export's answer as it came (the pointer) and copied.
    const char* rawCallMethod(const char* text) { return callMethod_(text); }
    const char* rawCallJsonMapMethod(const JsonMap* map, const char* name) {
        return callJsonMapMethod_(map, name);
    }
    std::string callText(const std::string& text);
    // callJsonMapMethod with the map of pairs plus "FunctionName" and the given name.
    std::string call(const std::string& name, const Pairs& pairs, bool decipherAhead = true);
    // The same with "QuillmarkFunctionIndex" set to index.
    std::string callIndex(int index, const std::string& name, Pairs pairs,
                          bool decipherAhead = true);

private:
    HMODULE module_ = nullptr;
    CallMethodFunction callMethod_ = nullptr;
    CallJsonMapMethodFunction callJsonMapMethod_ = nullptr;
};

// Takes the prefix's registration of a stand-in (clsid) out for its lifetime and puts it back,
// under description, on destruction.
class WithoutRegistration {
public:
    WithoutRegistration(REFCLSID clsid, const wchar_t* description);
    WithoutRegistration(const WithoutRegistration&) = delete;
    WithoutRegistration& operator=(const WithoutRegistration&) = delete;
    ~WithoutRegistration();

private:
    CLSID clsid_;
    std::wstring description_;
    std::wstring saved_;
};

// Watches SysFreeString as called by one module, from construction to destruction.
class BstrFreeWatch {
public:
    explicit BstrFreeWatch(HMODULE module);
    BstrFreeWatch(const BstrFreeWatch&) = delete;
    BstrFreeWatch& operator=(const BstrFreeWatch&) = delete;
    ~BstrFreeWatch();

    bool ok() const { return hook_ && hook_->ok(); }
    std::vector<FreedBstr> freed() const;
    void clear();

private:
    std::unique_ptr<ImportHook> hook_;
};

// Watches free() as called by one module (its import from msvcrt.dll, which the statically linked
// C++ runtime's operator delete goes through too), from construction to destruction: counts the
// blocks that still held `needle` at the moment they were freed.
class HeapFreeWatch {
public:
    HeapFreeWatch(HMODULE module, const std::string& needle);
    HeapFreeWatch(const HeapFreeWatch&) = delete;
    HeapFreeWatch& operator=(const HeapFreeWatch&) = delete;
    ~HeapFreeWatch();

    bool ok() const { return hook_ && hook_->ok(); }
    size_t blocksFreed() const;
    size_t blocksHoldingNeedle() const;

private:
    std::unique_ptr<ImportHook> hook_;
};

// Makes one heap allocation of a module fail (malloc, calloc and realloc through its imports from
// msvcrt.dll; the statically linked C++ runtime's operator new goes through malloc), from
// construction to destruction.
class HeapFailure {
public:
    explicit HeapFailure(HMODULE module);
    HeapFailure(const HeapFailure&) = delete;
    HeapFailure& operator=(const HeapFailure&) = delete;
    ~HeapFailure();

    bool ok() const;
    // Restarts the count; the n-th allocation from now fails (0: none fails).
    void failAllocation(long n);
    // Allocations asked for since the last failAllocation.
    long allocations() const;

private:
    std::unique_ptr<ImportHook> malloc_;
    std::unique_ptr<ImportHook> calloc_;
    std::unique_ptr<ImportHook> realloc_;
};

#endif
