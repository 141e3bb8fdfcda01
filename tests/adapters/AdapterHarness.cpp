#include "tests/adapters/AdapterHarness.h"

#include "common/Tool.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <string_view>

namespace {

struct WatchState {
    std::mutex lock;
    std::vector<FreedBstr> freed;
    void(WINAPI* original)(BSTR) = nullptr;
};

WatchState& watchState() {
    static auto* s = new WatchState();
    return *s;
}

void WINAPI watchedSysFreeString(BSTR s) {
    WatchState& w = watchState();
    if (s != nullptr) {
        FreedBstr f{s, SysStringByteLen(s), true};
        const auto* bytes = reinterpret_cast<const unsigned char*>(s);
        for (UINT i = 0; i < f.byteLength; ++i) {
            if (bytes[i] != 0) {
                f.allZero = false;
                break;
            }
        }
        std::lock_guard<std::mutex> guard(w.lock);
        w.freed.push_back(f);
    }
    w.original(s);
}

struct HeapWatchState {
    std::string needle;
    std::atomic<size_t> freed{0};
    std::atomic<size_t> holdingNeedle{0};
    void(__cdecl* original)(void*) = nullptr;
};

HeapWatchState& heapWatchState() {
    static auto* s = new HeapWatchState();
    return *s;
}

void __cdecl watchedFree(void* block) {
    HeapWatchState& w = heapWatchState();
    if (block != nullptr) {
        const auto* bytes = static_cast<const char*>(block);
        const std::string_view content(bytes, _msize(block));
        ++w.freed;
        if (!w.needle.empty() && content.find(w.needle) != std::string_view::npos) {
            ++w.holdingNeedle;
        }
    }
    w.original(block);
}

struct HeapFailureState {
    std::atomic<long> count{0};
    std::atomic<long> failAt{0};
    void*(__cdecl* malloc)(size_t) = nullptr;
    void*(__cdecl* calloc)(size_t, size_t) = nullptr;
    void*(__cdecl* realloc)(void*, size_t) = nullptr;
};

HeapFailureState& heapFailureState() {
    static auto* s = new HeapFailureState();
    return *s;
}

bool allocationFails() {
    HeapFailureState& s = heapFailureState();
    return ++s.count == s.failAt.load();
}

void* __cdecl failingMalloc(size_t size) {
    return allocationFails() ? nullptr : heapFailureState().malloc(size);
}

void* __cdecl failingCalloc(size_t count, size_t size) {
    return allocationFails() ? nullptr : heapFailureState().calloc(count, size);
}

void* __cdecl failingRealloc(void* block, size_t size) {
    return allocationFails() ? nullptr : heapFailureState().realloc(block, size);
}

template <class Function>
Function msvcrtFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), name)));
}

}  // namespace

std::string jsonText(const Pairs& pairs) {
    std::string text = "{";
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (i > 0) {
            text += ",";
        }
        text += "\"" + pairs[i].first + "\":\"" + pairs[i].second + "\"";
    }
    return text + "}";
}

JsonMapPtr requestMap(const Pairs& pairs, bool decipherAhead) {
    JsonMapPtr map(parseJsonMap(jsonText(pairs).c_str()));
    if (map && decipherAhead) {
        decipherJsonMapValues(map.get());
    }
    return map;
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

RowRequest rowRequest(const AdapterRow& row) {
    RowRequest r;
    int position = 0;
    for (const auto& [kind, key] : row.args) {
        StandinArg a;
        const std::wstring tag = std::to_wstring(row.index) + L"_" + std::to_wstring(position);
        if (kind == 's' || kind == 'a') {
            a.kind = StandinArg::Kind::Text;
            a.text = kind == 's' ? L"v" + tag + L"-\u00e4\u20ac" : L"PEM TITLE " + tag;
            r.pairs.emplace_back(key, toUtf8(a.text));
        } else {
            a.value = 1000 * row.index + position + 1;
            r.pairs.emplace_back(key, std::to_string(a.value));
        }
        r.expected.push_back(a);
        ++position;
    }
    return r;
}

std::string expectedAnswer(const AdapterRow& row, const std::vector<StandinArg>& args) {
    const StandinCall call{row.index, row.name, args};
    switch (row.result) {
        case 'T':
            return toUtf8(standinRecordText(call));
        case 'D':
            for (const StandinArg& a : args) {
                if (a.kind == StandinArg::Kind::Int) {
                    return std::to_string(a.value);
                }
            }
            return std::to_string(row.index);
        case 'L': {
            std::string s = std::to_string(row.index) + ";" + row.name + ";";
            for (const StandinArg& a : args) {
                s += toUtf8(standinArgText(a)) + ";";
            }
            return s;
        }
        default:
            return "0";
    }
}

void expectCall(const StandinCall& call, const AdapterRow& row,
                const std::vector<StandinArg>& expected) {
    EXPECT_EQ(call.index, row.index) << row.name;
    EXPECT_EQ(call.name, row.name);
    ASSERT_EQ(call.args.size(), expected.size()) << row.name;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(standinArgText(call.args[i]), standinArgText(expected[i]))
            << row.name << " argument " << i;
    }
}

void expectTextArgumentsWiped(const std::vector<FreedBstr>& freed, const StandinCall& call,
                              const AdapterRow* row) {
    long previous = static_cast<long>(freed.size());
    for (size_t i = 0; i < call.args.size() && (row == nullptr || i < row->args.size()); ++i) {
        const StandinArg& arg = call.args[i];
        if ((row != nullptr && row->args[i].first != 's') || arg.kind != StandinArg::Kind::Text) {
            continue;
        }
        const auto it = std::find_if(freed.begin(), freed.end(),
                                     [&](const FreedBstr& f) { return f.pointer == arg.received; });
        ASSERT_NE(it, freed.end()) << "argument never freed: " << toUtf8(arg.text);
        EXPECT_TRUE(it->allZero) << "argument freed unwiped: " << toUtf8(arg.text);
        EXPECT_EQ(it->byteLength, arg.byteLength);
        const long at = static_cast<long>(it - freed.begin());
        EXPECT_LT(at, previous) << "arguments must be freed last-read first";
        previous = at;
    }
}

StandinCall lastCall() {
    const std::vector<StandinCall> calls = standinCallsForTesting();
    return calls.empty() ? StandinCall{} : calls.back();
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string shape(StandinBehaviour b) {
    return std::to_string(kStandinShapeBase + static_cast<int32_t>(b));
}

WithoutRegistration::WithoutRegistration(REFCLSID clsid, const wchar_t* description)
    : clsid_(clsid), description_(description) {
    wchar_t text[64] = {};
    StringFromGUID2(clsid_, text, 64);
    const std::wstring key = std::wstring(L"CLSID\\") + text + L"\\InprocServer32";
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) == ERROR_SUCCESS) {
        saved_ = value;
    }
    unregisterStandinServer(clsid_);
}

WithoutRegistration::~WithoutRegistration() {
    if (!saved_.empty()) {
        registerStandinServerPath(saved_.c_str(), clsid_, description_.c_str());
    }
}

std::wstring windowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + utf8ToWide(unixPath.c_str());
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

AdapterLibrary::AdapterLibrary(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
    if (module_ == nullptr) {
        return;
    }
    callMethod_ = reinterpret_cast<CallMethodFunction>(
        reinterpret_cast<void*>(GetProcAddress(module_, kCallMethodExport)));
    callJsonMapMethod_ = reinterpret_cast<CallJsonMapMethodFunction>(
        reinterpret_cast<void*>(GetProcAddress(module_, kCallJsonMapMethodExport)));
}

AdapterLibrary::~AdapterLibrary() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

std::string AdapterLibrary::callText(const std::string& text) {
    const char* answer = callMethod_(text.c_str());
    return answer == nullptr ? std::string("<null>") : std::string(answer);
}

std::string AdapterLibrary::call(const std::string& name, const Pairs& pairs, bool decipherAhead) {
    // The service's request map always holds the name it passes.
    Pairs request = pairs;
    request.emplace_back("FunctionName", name);
    const JsonMapPtr map = requestMap(request, decipherAhead);
    if (!map) {
        return "<no map>";
    }
    const char* answer = callJsonMapMethod_(map.get(), name.c_str());
    return answer == nullptr ? std::string("<null>") : std::string(answer);
}

std::string AdapterLibrary::callIndex(int index, const std::string& name, Pairs pairs,
                                      bool decipherAhead) {
    pairs.emplace_back("QuillmarkFunctionIndex", std::to_string(index));
    return call(name, pairs, decipherAhead);
}

BstrFreeWatch::BstrFreeWatch(HMODULE module) {
    hook_ = std::make_unique<ImportHook>(module, "oleaut32.dll", "SysFreeString",
                                         reinterpret_cast<void*>(&watchedSysFreeString));
    if (hook_->ok()) {
        watchState().original = reinterpret_cast<void(WINAPI*)(BSTR)>(hook_->original());
    }
}

BstrFreeWatch::~BstrFreeWatch() {
    hook_.reset();
}

std::vector<FreedBstr> BstrFreeWatch::freed() const {
    std::lock_guard<std::mutex> guard(watchState().lock);
    return watchState().freed;
}

void BstrFreeWatch::clear() {
    std::lock_guard<std::mutex> guard(watchState().lock);
    watchState().freed.clear();
}

HeapFreeWatch::HeapFreeWatch(HMODULE module, const std::string& needle) {
    HeapWatchState& w = heapWatchState();
    w.needle = needle;
    w.freed = 0;
    w.holdingNeedle = 0;
    // The original is known before the slot is switched, so no freed block goes unforwarded.
    w.original = msvcrtFunction<void(__cdecl*)(void*)>("free");
    hook_ = std::make_unique<ImportHook>(module, "msvcrt.dll", "free",
                                         reinterpret_cast<void*>(&watchedFree));
}

HeapFreeWatch::~HeapFreeWatch() {
    hook_.reset();
}

size_t HeapFreeWatch::blocksFreed() const {
    return heapWatchState().freed.load();
}

size_t HeapFreeWatch::blocksHoldingNeedle() const {
    return heapWatchState().holdingNeedle.load();
}

HeapFailure::HeapFailure(HMODULE module) {
    HeapFailureState& s = heapFailureState();
    s.failAt = 0;
    s.count = 0;
    s.malloc = msvcrtFunction<void*(__cdecl*)(size_t)>("malloc");
    s.calloc = msvcrtFunction<void*(__cdecl*)(size_t, size_t)>("calloc");
    s.realloc = msvcrtFunction<void*(__cdecl*)(void*, size_t)>("realloc");
    malloc_ = std::make_unique<ImportHook>(module, "msvcrt.dll", "malloc",
                                           reinterpret_cast<void*>(&failingMalloc));
    calloc_ = std::make_unique<ImportHook>(module, "msvcrt.dll", "calloc",
                                           reinterpret_cast<void*>(&failingCalloc));
    realloc_ = std::make_unique<ImportHook>(module, "msvcrt.dll", "realloc",
                                            reinterpret_cast<void*>(&failingRealloc));
}

HeapFailure::~HeapFailure() {
    malloc_.reset();
    calloc_.reset();
    realloc_.reset();
    heapFailureState().failAt = 0;
}

bool HeapFailure::ok() const {
    return malloc_->ok() && calloc_->ok();
}

void HeapFailure::failAllocation(long n) {
    HeapFailureState& s = heapFailureState();
    s.failAt = 0;
    s.count = 0;
    s.failAt = n;
}

long HeapFailure::allocations() const {
    return heapFailureState().count.load();
}
