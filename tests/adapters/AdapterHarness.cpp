#include "tests/adapters/AdapterHarness.h"

#include <oleauto.h>

#include <mutex>

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

JsonMapPtr requestMap(const Pairs& pairs) {
    return JsonMapPtr(parseJsonMap(jsonText(pairs).c_str()));
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

std::wstring toWide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring windowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + toWide(unixPath);
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

std::string AdapterLibrary::call(const std::string& name, const Pairs& pairs) {
    // The service's request map always holds the name it passes.
    Pairs request = pairs;
    request.emplace_back("FunctionName", name);
    const JsonMapPtr map = requestMap(request);
    if (!map) {
        return "<no map>";
    }
    const char* answer = callJsonMapMethod_(map.get(), name.c_str());
    return answer == nullptr ? std::string("<null>") : std::string(answer);
}

std::string AdapterLibrary::callIndex(int index, const std::string& name, Pairs pairs) {
    pairs.emplace_back("QuillmarkFunctionIndex", std::to_string(index));
    return call(name, pairs);
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
