// The probe adapter: a stand-in adapter library for the service's tests. It answers fixed texts,
// chosen by the test through environment variables that it reads at every call, and appends one
// journal line per call to the file named by QM_PROBE_JOURNAL, so a test can see which exports
// were bound, in which order the handshake ran, which copy of the library answered and what the
// service passed.
//
// Built three times: with both exports, with only callMethod, and with neither. Each loaded copy
// has its own call counter, which shows whether two sessions share one instance.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/Json.h"

#ifndef QM_PROBE_JSON_MAP_EXPORT
#define QM_PROBE_JSON_MAP_EXPORT 0
#endif
#ifndef QM_PROBE_CALL_METHOD_EXPORT
#define QM_PROBE_CALL_METHOD_EXPORT 0
#endif

namespace {

struct ProbeState {
    int pageCalls = 0;   // page functions answered by this copy
    std::string answer;  // valid until the next call, as the service expects
};

ProbeState state;

std::optional<std::string> environmentValue(const char* name) {
    char buffer[4096];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length >= sizeof buffer || (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)) {
        return std::nullopt;
    }
    return std::string(buffer, length);
}

std::string environmentText(const char* name, const char* fallback) {
    return environmentValue(name).value_or(fallback);
}

bool equalsIgnoreCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) {
            return false;
        }
        if (x == '\0') {
            return true;
        }
    }
}

// Raw value of key in the map, walked directly so that the probe needs nothing but the layout.
[[maybe_unused]] std::string mapValue(const JsonMap* map, const char* key) {
    for (int32_t i = 0; map != nullptr && i < map->count; ++i) {
        const JsonMapEntry& entry = map->entries[i];
        if (entry.key != nullptr && equalsIgnoreCase(entry.key, key)) {
            return entry.value != nullptr ? entry.value : "";
        }
    }
    return "";
}

[[maybe_unused]] std::string mapKeys(const JsonMap* map) {
    std::string keys;
    for (int32_t i = 0; map != nullptr && i < map->count; ++i) {
        if (i > 0) {
            keys += ',';
        }
        keys += map->entries[i].key != nullptr ? map->entries[i].key : "";
    }
    return keys;
}

std::string ownPath() {
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&state), &self);
    wchar_t wide[MAX_PATH] = {};
    GetModuleFileNameW(self, wide, MAX_PATH);
    char narrow[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

// One line: copy path, export, function name, index, url, keys; tab-separated. Line breaks in the
// fields are written as "\n" so that one call stays one line.
[[maybe_unused]] void journal(const char* exportName, const std::string& function,
                              const std::string& index, const std::string& url,
                              const std::string& keys) {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"QM_PROBE_JOURNAL", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    std::string line =
        ownPath() + "\t" + exportName + "\t" + function + "\t" + index + "\t" + url + "\t" + keys;
    std::string escaped;
    for (char c : line) {
        if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    escaped += '\n';
    FILE* file = _wfopen(path, L"ab");
    if (file == nullptr) {
        return;
    }
    std::fwrite(escaped.data(), 1, escaped.size(), file);
    std::fclose(file);
}

[[maybe_unused]] const char* answerFor(const std::string& function) {
    if (equalsIgnoreCase(function.c_str(), "Quillmark_Unlock")) {
        state.answer = environmentText("QM_PROBE_UNLOCK", "0");
    } else if (equalsIgnoreCase(function.c_str(), "Quillmark_GetVersion")) {
        state.answer = environmentText("QM_PROBE_VERSION", "1.0.0.1");
    } else if (equalsIgnoreCase(function.c_str(), "Quillmark_Release")) {
        state.answer = "0";
    } else {
        // A page function may hold the call for a while, as a component prompt would.
        Sleep(static_cast<DWORD>(std::atoi(environmentText("QM_PROBE_SLEEP_MS", "0").c_str())));
        if (environmentValue("QM_PROBE_JOURNAL_RETURNS")) {
            journal("returned", function, "", "", "");
        }
        ++state.pageCalls;
        state.answer = environmentValue("QM_PROBE_ANSWER")
                           .value_or(function + "#" + std::to_string(state.pageCalls));
    }
    return state.answer.c_str();
}

}  // namespace

extern "C" {
__declspec(dllexport) const char* __cdecl callJsonMapMethod(JsonMap* map, const char* functionName);
__declspec(dllexport) const char* __cdecl callMethod(const char* jsonText);
__declspec(dllexport) int __cdecl probeWithoutEntryPoints();
}

#if QM_PROBE_JSON_MAP_EXPORT
extern "C" __declspec(dllexport) const
    char* __cdecl callJsonMapMethod(JsonMap* map, const char* functionName) {
    const std::string function = functionName != nullptr ? functionName : "";
    journal("callJsonMapMethod", function, mapValue(map, "QuillmarkFunctionIndex"),
            mapValue(map, "url"), mapKeys(map));
    return answerFor(function);
}
#endif

#if QM_PROBE_CALL_METHOD_EXPORT
// The text export sees only the JSON text; a map built by the service has none, and a real
// adapter answers such a call with the empty text.
extern "C" __declspec(dllexport) const char* __cdecl callMethod(const char* jsonText) {
    if (jsonText == nullptr) {
        journal("callMethod", "", "", "", "(no text)");
        state.answer.clear();
        return state.answer.c_str();
    }
    journal("callMethod", "", "", "", jsonText);
    return answerFor("callMethod");
}
#endif

#if !QM_PROBE_JSON_MAP_EXPORT && !QM_PROBE_CALL_METHOD_EXPORT
// A library with neither entry point still exports something.
extern "C" __declspec(dllexport) int __cdecl probeWithoutEntryPoints() {
    return 0;
}
#endif
