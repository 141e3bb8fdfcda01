// Windows parts of the Log module.
#include <windows.h>

#include <cstdlib>
#include <memory>

#include "common/Log.h"
#include "common/LogPlatform.h"
#include "common/Tool.h"

namespace {

// Expands environment variables in text and appends fileName; empty when it does not fit a path.
std::string expandedPath(const char* text, const std::string& fileName) {
    char expanded[MAX_PATH + 1];
    DWORD length = ExpandEnvironmentStringsA(text, expanded, sizeof expanded);
    if (length == 0 || length > sizeof expanded) {
        return std::string();
    }
    return std::string(expanded) + fileName;
}

}  // namespace

unsigned long logProcessId() {
    return GetCurrentProcessId();
}

unsigned long logThreadId() {
    return GetCurrentThreadId();
}

bool readLocalLogTime(LogTime& time) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    time.year = now.wYear;
    time.month = now.wMonth;
    time.day = now.wDay;
    time.hour = now.wHour;
    time.minute = now.wMinute;
    time.second = now.wSecond;
    time.millisecond = now.wMilliseconds;
    return true;
}

unsigned long readMillisecondsInMinute() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return now.wSecond * 1000UL + now.wMilliseconds;
}

std::vector<std::string> logIniFallbackPaths(const std::string& fileName) {
    std::vector<std::string> paths;
    char windowsFolder[MAX_PATH + 1];
    UINT length = GetWindowsDirectoryA(windowsFolder, sizeof windowsFolder);
    if (length > 0 && length < sizeof windowsFolder) {
        paths.push_back(std::string(windowsFolder) + "\\" + fileName);
    }
    for (const char* place : {"%HOMEDRIVE%%HOMEPATH%\\", "%HOMEDRIVE%\\tmp\\"}) {
        std::string path = expandedPath(place, fileName);
        if (!path.empty()) {
            paths.push_back(path);
        }
    }
    return paths;
}

// The runtime's fopen reads narrow paths in the ANSI code page; a UTF-8 path of a profile folder
// with non-ASCII letters would name another file.
std::string toRuntimePath(const std::string& utf8Path) {
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8Path.c_str(), -1, nullptr, 0);
    if (wideLength <= 0) {
        return utf8Path;
    }
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8Path.c_str(), -1, wide.data(), wideLength);
    int ansiLength = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (ansiLength <= 0) {
        return utf8Path;
    }
    std::string ansi(static_cast<std::size_t>(ansiLength), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, ansi.data(), ansiLength, nullptr, nullptr);
    ansi.resize(static_cast<std::size_t>(ansiLength) - 1);
    return ansi;
}

void logNormalWString(const char* message, const wchar_t* value) {
    if (!isLogEnabled()) {
        return;
    }
    struct FreeDeleter {
        void operator()(char* text) const { std::free(text); }
    };
    std::unique_ptr<char, FreeDeleter> utf8(
        value != nullptr && value[0] != L'\0' ? bstrToUtf8(value) : nullptr);
    logNormal(message, utf8 != nullptr ? utf8.get() : "");
}
