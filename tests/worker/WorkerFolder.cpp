#include "worker/WorkerFolder.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include <gtest/gtest.h>

namespace {

std::wstring windowsPath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* c = unixPath; *c != '\0'; ++c) {
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    }
    return path;
}

std::wstring tempFolder() {
    wchar_t buffer[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, buffer);
    std::wstring path = buffer;
    if (!path.empty() && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

std::atomic<int> gFolderCount{0};

bool sameFileContent(const std::wstring& a, const std::wstring& b) {
    std::ifstream first(std::filesystem::path(a), std::ios::binary);
    std::ifstream second(std::filesystem::path(b), std::ios::binary);
    if (!first || !second) {
        return false;
    }
    return std::equal(std::istreambuf_iterator<char>(first), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(second), std::istreambuf_iterator<char>());
}

// The worker's delayed self-delete starts the system folder's ping.exe, which would send an echo
// request off the machine. The tests run in a Wine prefix of their own: there the stand-in takes
// the system ping's place, and a native override makes Wine run it instead of its builtin one.
void installPingStandIn() {
    static std::once_flag once;
    std::call_once(once, [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        ASSERT_NE(ntdll, nullptr);
        ASSERT_NE(GetProcAddress(ntdll, "wine_get_version"), nullptr)
            << "the stand-in ping replaces a system file: only in a Wine prefix of the tests";
        wchar_t system[MAX_PATH] = {};
        ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
        // Test programs run side by side in one prefix: another one may be copying the stand-in
        // or running it right now, and then its copy is already in place.
        const std::wstring standIn = windowsPath(QM_PING_STANDIN_EXE);
        const std::wstring ping = std::wstring(system) + L"\\ping.exe";
        bool placed = false;
        for (int attempt = 0; attempt < 50 && !placed; ++attempt) {
            placed =
                CopyFileW(standIn.c_str(), ping.c_str(), FALSE) || sameFileContent(standIn, ping);
            if (!placed) {
                Sleep(100);
            }
        }
        ASSERT_TRUE(placed) << "the stand-in ping could not be put in place";
        const wchar_t native[] = L"native";
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"ping.exe",
                                  REG_SZ, native, sizeof(native)),
                  ERROR_SUCCESS);
    });
}

bool startsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

std::vector<std::wstring> filesMatching(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.push_back(folder + L"\\" + entry.cFileName);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

void removeTree(const std::wstring& folder) {
    for (const std::wstring& path : filesMatching(folder, L"*")) {
        std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
        if (name == L"." || name == L"..") {
            continue;
        }
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            removeTree(path);
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

bool waitFor(const std::function<bool()>& condition, DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount() - start >= milliseconds) {
            return condition();
        }
        Sleep(50);
    }
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

std::string readFile(const std::wstring& path) {
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return bytes;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    std::fclose(file);
    return bytes;
}

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

WorkerFolder::WorkerFolder() {
    path_ = tempFolder() + L"\\qmw-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(gFolderCount.fetch_add(1));
    removeTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
    CopyFileW(windowsPath(QM_WORKER_EXE).c_str(), file(L"OqtQuillmarkWorker.exe").c_str(), FALSE);
    installPingStandIn();
    // The worker looks for its log settings beside itself first.
    std::string logPath;
    for (wchar_t c : file(L"worker.txt")) {
        logPath += static_cast<char>(c);
    }
    writeFile(file(L"OqtQuillmark.ini"), "[OqtQuillmark]\nLog File=" + logPath + "\nLog Level=5\n");
}

WorkerFolder::~WorkerFolder() {
    endProcesses();
    for (HANDLE process : processes_) {
        CloseHandle(process);
    }
    removeTree(path_);
}

void WorkerFolder::addStandIn(const std::wstring& name) const {
    addProgram(QM_WORKER_STANDIN_EXE, name);
}

void WorkerFolder::addProgram(const char* unixPath, const std::wstring& name) const {
    ASSERT_TRUE(CopyFileW(windowsPath(unixPath).c_str(), file(name).c_str(), FALSE));
}

HANDLE WorkerFolder::start(const std::wstring& name, const std::wstring& arguments) {
    std::wstring program = file(name);
    std::wstring line = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        line += L" " + arguments;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, path_.c_str(), &startup, &info)) {
        ADD_FAILURE() << "could not start " << name.size() << "-unit name";
        return nullptr;
    }
    CloseHandle(info.hThread);
    processes_.push_back(info.hProcess);
    return info.hProcess;
}

long WorkerFolder::runWorker(const std::wstring& arguments, DWORD milliseconds) {
    HANDLE process = start(L"OqtQuillmarkWorker.exe", arguments);
    if (process == nullptr) {
        return -1;
    }
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return static_cast<long>(code);
}

std::string WorkerFolder::log() const {
    std::string lines;
    for (const std::wstring& path : filesMatching(path_, L"worker*.txt")) {
        lines += readFile(path);
    }
    return lines;
}

std::string WorkerFolder::journal() const {
    return readFile(file(L"journal.txt"));
}

bool WorkerFolder::logHas(const std::string& text) const {
    return log().find(text) != std::string::npos;
}

bool WorkerFolder::journalHas(const std::string& text) const {
    return journal().find(text) != std::string::npos;
}

namespace {

size_t occurrences(const std::string& lines, const std::string& text) {
    size_t count = 0;
    for (size_t at = lines.find(text); at != std::string::npos; at = lines.find(text, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

size_t WorkerFolder::journalCount(const std::string& text) const {
    return occurrences(journal(), text);
}

size_t WorkerFolder::logCount(const std::string& text) const {
    return occurrences(log(), text);
}

void WorkerFolder::endProcesses() const {
    // A watchdog restarts what it watches: repeat until a pass finds nothing.
    for (int pass = 0; pass < 50; ++pass) {
        bool found = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) {
            return;
        }
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry)) {
            HANDLE process =
                OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                            FALSE, entry.th32ProcessID);
            if (process == nullptr) {
                continue;
            }
            wchar_t image[MAX_PATH] = {};
            DWORD size = MAX_PATH;
            if (QueryFullProcessImageNameW(process, 0, image, &size) &&
                startsWithNoCase(image, path_ + L"\\")) {
                TerminateProcess(process, 9);
                WaitForSingleObject(process, 2000);
                found = true;
            }
            CloseHandle(process);
        }
        CloseHandle(snapshot);
        if (!found) {
            return;
        }
    }
}
