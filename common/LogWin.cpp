// Windows parts of the Log module.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/LogPlatform.h"
#include "common/Tool.h"

namespace {

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using Utf8Text = std::unique_ptr<char, FreeDeleter>;

// Expands environment variables in text and appends fileName, in UTF-8; empty when it does not
// fit a path.
std::string expandedPath(const wchar_t* text, const std::string& fileName) {
    wchar_t expanded[MAX_PATH + 1];
    const DWORD length = ExpandEnvironmentStringsW(text, expanded, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH + 1) {
        return std::string();
    }
    const Utf8Text utf8(bstrToUtf8(expanded));
    return utf8 != nullptr ? std::string(utf8.get()) + fileName : std::string();
}

// A holder that stops for longer than this (a suspended thread, a line of many megabytes) lets
// the others write unlocked rather than stall them.
constexpr DWORD kLogLineLockWaitMs = 5000;

}  // namespace

void* lockLogLines() {
    wchar_t name[48];
    std::swprintf(name, std::size(name), L"OqtQuillmarkLogLine_%lu", GetCurrentProcessId());
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) {
        return nullptr;
    }
    const DWORD wait = WaitForSingleObject(mutex, kLogLineLockWaitMs);
    // An abandoned lock (its holder ended while writing) is ours all the same.
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

void unlockLogLines(void* token) {
    if (token == nullptr) {
        return;
    }
    ReleaseMutex(token);
    CloseHandle(token);
}

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
    const Utf8Text windowsFolder(getWindowsPathUtf8());
    if (windowsFolder != nullptr) {
        paths.push_back(std::string(windowsFolder.get()) + "\\" + fileName);
    }
    for (const wchar_t* place : {L"%HOMEDRIVE%%HOMEPATH%\\", L"%HOMEDRIVE%\\tmp\\"}) {
        std::string path = expandedPath(place, fileName);
        if (!path.empty()) {
            paths.push_back(path);
        }
    }
    return paths;
}

// Opened wide: the folders of a user profile may hold letters that the ANSI code page, through
// which the runtime reads a narrow path, cannot spell.
std::FILE* openIniFile(const char* utf8Path) {
    return _wfopen(utf8ToWide(utf8Path).c_str(), L"rt");
}

void logNormalWString(const char* message, const wchar_t* value) {
    if (!isLogEnabled()) {
        return;
    }
    const Utf8Text utf8(value != nullptr && value[0] != L'\0' ? bstrToUtf8(value) : nullptr);
    logNormal(message, utf8 != nullptr ? utf8.get() : "");
}
