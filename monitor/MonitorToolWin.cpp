// MonitorTool: the Win32 process control, path, file and time helpers of the tray program and
// the worker.
#include "monitor/MonitorTool.h"

#include <windows.h>

#include <psapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <direct.h>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "common/Message.h"
#include "common/Tool.h"
#include "common/win/Handles.h"
#include "monitor/MonitorMessage.h"

namespace {

constexpr char kModuleName[] = "Tool";
constexpr size_t kPathUnits = 260;
constexpr size_t kProcessIdSlots = 1024;
constexpr size_t kStopCommandUnits = 512;
constexpr size_t kLabelBytes = 512;
constexpr int kStopTests = 30;
constexpr DWORD kStopPollMs = 100;
constexpr size_t kTimeTextBytes = 64;
constexpr size_t kTimeValueTextBytes = 32;
// CreateProcessW takes at most 32767 characters including the terminator; the interpreter's
// path and " /c " go first.
constexpr size_t kMaxCommandUnits = 32767 - kPathUnits - 8;
constexpr DWORD kProcessTerminatedCode = 9;
// Windows' own tools refuse an option given twice, so /F stands once.
constexpr wchar_t kTaskkillOptions[] = L" /F /im ";
constexpr char kDataFolderName[] = "OqtQuillmark";
// A documentation address (TEST-NET-2) that nobody answers: the single echo request waits its
// full time-out, so the file is deleted only after the program has ended.
constexpr wchar_t kDeleteDelayAddress[] = L"198.51.100.1";
constexpr int kDeleteDelayMs = 2000;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using HeapWideText = std::unique_ptr<wchar_t, FreeDeleter>;

struct ToolTestHooks {
    std::mutex lock;
    bool replaceKillCommand = false;
    std::wstring killCommand;
};

ToolTestHooks hooks;

void warnNull(const char* name, int line) {
    qm::logNullParameter(name, kModuleName, line);
}

void allocationFailed(int line) {
    qm::logAllocationFailure(kModuleName, line);
}

wchar_t* allocWide(size_t units) {
    return static_cast<wchar_t*>(allocZeroed(units * sizeof(wchar_t)));
}

// Base name of the first module of an open process; empty when it can't be read.
std::wstring firstModuleName(HANDLE process) {
    HMODULE module = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(process, &module, sizeof(module), &needed)) {
        return {};
    }
    wchar_t name[kPathUnits] = {};
    if (GetModuleBaseNameW(process, module, name, kPathUnits) == 0) {
        return {};
    }
    return name;
}

bool snapshotHasProcess(const std::wstring& name) {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// Up to kStopTests tests of whether target runs, kStopPollMs apart; with logLabel every test that
// still finds it is logged with its number. True when it was gone at some test.
bool waitForExit(const char* target, const char* logLabel) {
    for (int test = 0; test < kStopTests; ++test) {
        if (!isProcessRunning(target)) {
            return true;
        }
        if (logLabel != nullptr) {
            logNormalInt(logLabel, test);
        }
        Sleep(kStopPollMs);
    }
    return false;
}

std::wstring killCommandFor(const char* target) {
    wchar_t command[kStopCommandUnits] = {};
    appendBounded(command, kStopCommandUnits, systemProgramPath(L"taskkill.exe").c_str());
    appendBounded(command, kStopCommandUnits, kTaskkillOptions);
    appendBounded(command, kStopCommandUnits, utf8ToWide(target).c_str());
    return command;
}

// The staged stop of target, logged under label; send is the program's own Suicide sender.
bool stopInStages(const char* target, const char* label, bool (*send)(const char*)) {
    send(target);
    killProcessByName(target);
    waitForExit(target, nullptr);

    char prefix[kLabelBytes];
    std::snprintf(prefix, sizeof(prefix), "[%s] ", label);
    char text[kLabelBytes];
    bool stopped = !isProcessRunning(target);
    if (stopped) {
        std::snprintf(text, sizeof(text), "%s kill %s success", label, target);
        logNormal(prefix, text);
    } else {
        std::snprintf(text, sizeof(text), "%s kill %s fail", label, target);
        logNormal(prefix, text);
        logNormal(prefix, "Start command kill mode");
        const std::wstring command = killCommandFor(target);
        logNormalWString("Command: ", command.c_str());
        std::wstring run = command;
        {
            const std::lock_guard<std::mutex> guard(hooks.lock);
            if (hooks.replaceKillCommand) {
                run = hooks.killCommand;
            }
        }
        hideWaitCommand(run.c_str(), false);
        char waitLabel[kLabelBytes];
        std::snprintf(waitLabel, sizeof(waitLabel), "[%s] Wait for %s shutdown: ", label, target);
        waitForExit(target, waitLabel);
        stopped = !isProcessRunning(target);
    }
    if (isLogEnabled()) {
        char stateLabel[kLabelBytes];
        std::snprintf(stateLabel, sizeof(stateLabel), "[%s] kill %s shutdown state: ", label,
                      target);
        if (stopped) {
            logNormal(stateLabel, "Success");
        } else {
            logError(stateLabel, "Fail");
        }
    }
    return stopped;
}

bool sendMonitorSuicide(const char* target) {
    return sendInstruction(target);
}

bool sendWorkerSuicide(const char* target) {
    return sendInstruction(target, kInstructionSuicide);
}

bool writeToFile(const wchar_t* path, const wchar_t* mode, const char* text) {
    FILE* file = _wfopen(path, mode);
    if (file == nullptr) {
        return false;
    }
    // A short write (full disk) is a failure, not a saved file.
    const bool written = std::fprintf(file, "%s", text) >= 0;
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

}  // namespace

// ---- Hidden commands ------------------------------------------------------------------------

unsigned long hideWaitCommand(const wchar_t* command, bool useCmd) {
    if (command == nullptr) {
        return 1;
    }
    const size_t length = std::wcslen(command);
    if (length > kMaxCommandUnits) {
        logErrorInt("Hidden command too long: ", static_cast<int32_t>(length));
        return kWaitCommandNotRun;
    }
    const std::wstring interpreter = useCmd ? systemProgramPath(L"cmd.exe") + L" /c " : L"";
    const size_t units = length + interpreter.size() + 1;
    HeapWideText commandLine(allocWide(units));
    if (commandLine == nullptr) {
        allocationFailed(__LINE__);
        return kWaitCommandNotRun;
    }
    std::swprintf(commandLine.get(), units, L"%ls%ls", interpreter.c_str(), command);
    return waitHiddenProcess(commandLine.get());
}

void hideNOWaitCommand(const wchar_t* inputCommand) {
    if (inputCommand == nullptr) {
        warnNull("inputCommand", __LINE__);
        return;
    }
    logNormalWString("hideNOWaitCommand: ", inputCommand);
    const size_t units = std::wcslen(inputCommand) + 1;
    HeapWideText commandLine(allocWide(units));
    if (commandLine == nullptr) {
        allocationFailed(__LINE__);
        return;
    }
    std::wmemcpy(commandLine.get(), inputCommand, units);
    startHiddenProcess(commandLine.get());
}

// ---- Processes by file name -----------------------------------------------------------------

bool isProcessRunning(const char* processName) {
    if (processName == nullptr) {
        warnNull("processName", __LINE__);
        return false;
    }
    const std::wstring name = utf8ToWide(processName);
    DWORD ids[kProcessIdSlots] = {};
    DWORD bytes = 0;
    if (!EnumProcesses(ids, sizeof(ids), &bytes)) {
        logError("", "EnumProcesses fail");
        return false;
    }
    const DWORD count = bytes / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
        if (ids[i] == 0) {
            continue;
        }
        const UniqueHandle process(
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]));
        if (!process) {
            continue;
        }
        if (_wcsicmp(firstModuleName(process.get()).c_str(), name.c_str()) == 0) {
            return true;
        }
    }
    // Processes of other accounts can't be opened; the snapshot still names them.
    return snapshotHasProcess(name);
}

bool killProcessByName(const char* filename) {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
    if (filename == nullptr) {
        warnNull("filename", __LINE__);
        return true;
    }
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
        return true;
    }
    const std::wstring name = utf8ToWide(filename);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (std::wcscmp(entry.szExeFile, name.c_str()) != 0) {
            continue;
        }
        const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        if (process) {
            TerminateProcess(process.get(), kProcessTerminatedCode);
        }
    }
    return true;
}

// ---- Staged stoppers ------------------------------------------------------------------------

bool stopMainProgram() {
    return stopInStages(kServiceProgramName, kMonitorProgramName, sendMonitorSuicide);
}

bool stopProgram(const char* inputTo) {
    if (inputTo == nullptr) {
        warnNull("inputTo", __LINE__);
        return false;
    }
    return stopInStages(inputTo, kWorkerSenderName, sendWorkerSuicide);
}

// ---- Mutexes ----------------------------------------------------------------------------------

void releaseMutexLock(void* mutex) {
    if (mutex == nullptr) {
        return;
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// ---- Paths, files and texts ---------------------------------------------------------------------

wchar_t* getCommonDataPath() {
    // getCopyPath gives null only when memory runs out.
    wchar_t* path = getCopyPath(kDataFolderName);
    if (path == nullptr) {
        allocationFailed(__LINE__);
    }
    return path;
}

bool writeTextFile(const wchar_t* path, const char* text) {
    if (path == nullptr || *path == L'\0' || text == nullptr) {
        return false;
    }
    return writeToFile(path, L"w", text);
}

bool appendKeyHeader(const char* text) {
    if (text == nullptr) {
        return false;
    }
    return writeToFile(L"Cert.h", L"a", text);
}

char* localTimeTextOf(const std::tm& localTime) {
    auto* text = static_cast<char*>(allocZeroed(kTimeTextBytes));
    if (text == nullptr) {
        allocationFailed(__LINE__);
        return nullptr;
    }
    std::snprintf(text, kTimeTextBytes, "%d-%02d-%02d %02d-%02d-%02d", localTime.tm_year + 1900,
                  localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour, localTime.tm_min,
                  localTime.tm_sec);
    return text;
}

char* getLocalTimeText() {
    const __time64_t now = _time64(nullptr);
    const std::tm* local = _localtime64(&now);
    if (local == nullptr) {
        char* text = static_cast<char*>(allocZeroed(kTimeTextBytes));
        if (text == nullptr) {
            allocationFailed(__LINE__);
            return nullptr;
        }
        safeCopyString(text, kTimeTextBytes, "Unknow time");
        return text;
    }
    return localTimeTextOf(*local);
}

char* getTimeValueHex() {
    auto* text = static_cast<char*>(allocZeroed(kTimeValueTextBytes));
    if (text == nullptr) {
        allocationFailed(__LINE__);
        return nullptr;
    }
    std::snprintf(text, kTimeValueTextBytes, "%" PRIx64, static_cast<uint64_t>(getTimeValue()));
    return text;
}

wchar_t* getDesktopPath() {
    wchar_t path[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOPDIRECTORY, FALSE)) {
        return nullptr;
    }
    return duplicateWString(path);
}

bool createDirectories(const wchar_t* path) {
    if (path == nullptr || *path == L'\0') {
        return true;
    }
    std::wstring work = path;
    for (size_t i = 0; i < work.size(); ++i) {
        if (work[i] != L'\\' && work[i] != L'/') {
            continue;
        }
        const wchar_t separator = work[i];
        work[i] = L'\0';
        if (i > 0) {
            _wmkdir(work.c_str());
        }
        work[i] = separator;
    }
    return true;
}

std::wstring deleteSelfCommandForTesting(const wchar_t* ownPath) {
    wchar_t command[kStopCommandUnits + kPathUnits] = {};
    std::swprintf(command, sizeof(command) / sizeof(command[0]),
                  L"%ls /C %ls %ls -n 1 -w %d > Nul & Del \"%ls\"",
                  systemProgramPath(L"cmd.exe").c_str(), systemProgramPath(L"ping.exe").c_str(),
                  kDeleteDelayAddress, kDeleteDelayMs, ownPath != nullptr ? ownPath : L"");
    return command;
}

void deleteSelfDelayed() {
    wchar_t ownPath[kPathUnits] = {};
    const DWORD length = GetModuleFileNameW(nullptr, ownPath, kPathUnits);
    if (length == 0 || length >= kPathUnits) {
        // A cut path would name some other file.
        logError("Delete self: ", "Fail");
        return;
    }
    std::wstring command = deleteSelfCommandForTesting(ownPath);
    startHiddenProcess(command.data());
}

// ---- Test hooks -------------------------------------------------------------------------------

void setStopKillCommandForTesting(const wchar_t* command) {
    const std::lock_guard<std::mutex> guard(hooks.lock);
    hooks.replaceKillCommand = command != nullptr;
    hooks.killCommand = command != nullptr ? command : L"";
}
