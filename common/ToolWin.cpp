// Tool: the Win32 parts (wide texts, BSTRs, folders, files, hidden commands, named mutexes, the
// port test, the system random source and the local time of the time count).
#include "common/Tool.h"

#include "common/Log.h"
#include "common/ToolInternal.h"
#include "common/win/Handles.h"

#include <windows.h>

#include <oleauto.h>
#include <shlobj.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr size_t kPathUnits = 260;
constexpr size_t kTempPathUnits = 261;
constexpr size_t kUserNameUnits = 512;
constexpr size_t kMutexNameUnits = 512;
constexpr size_t kAppendBufferUnits = 512;
constexpr size_t kPortLineWord = 512;
// CreateProcessW takes at most 32767 characters including the terminator.
constexpr size_t kMaxCommandLineUnits = 32767;
constexpr const char* kWorkerStartCommand = "OqtQuillmarkWorker.exe -start";

using RandomFunction = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);
using BcryptRandomFunction = LONG(WINAPI*)(void* algorithm, PUCHAR buffer, ULONG length,
                                           ULONG flags);
constexpr ULONG kBcryptUseSystemPreferredRng = 0x00000002;

struct ToolWinState {
    // Set once the system random function was found; kept for the life of the process.
    std::atomic<RandomFunction> random{nullptr};
    std::atomic<BcryptRandomFunction> fallbackRandom{nullptr};
    std::atomic<bool> primaryRandomEnabled{true};
    // The data folder of the port test, and how long its netstat may take.
    wchar_t copyPath[kPathUnits] = {};
    std::atomic<unsigned long> portCheckWaitMs{kPortCheckWaitMs};
};

ToolWinState state;

// Frees with free(); for the heap texts this module hands between its own steps.
struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;
using HeapWideText = std::unique_ptr<wchar_t, FreeDeleter>;

wchar_t* allocWide(size_t units) {
    if (units == 0 || units > SIZE_MAX / sizeof(wchar_t)) {
        return nullptr;
    }
    return static_cast<wchar_t*>(allocZeroed(units * sizeof(wchar_t)));
}

// A new heap wide text (free()) of UTF-8 text; "" gives an empty text, no memory null.
wchar_t* utf8ToHeapWide(const char* text) {
    const std::wstring wide = utf8ToWide(text);
    wchar_t* result = allocWide(wide.size() + 1);
    if (result == nullptr) {
        return nullptr;
    }
    std::wmemcpy(result, wide.c_str(), wide.size());
    return result;
}

char* utf8OfWidePath(wchar_t* path) {
    const HeapWideText owned(path);
    return bstrToUtf8(owned.get());
}

bool fillRandomFallback(void* buffer, size_t length) {
    BcryptRandomFunction function = state.fallbackRandom;
    if (function == nullptr) {
        // bcrypt.dll stays loaded for the life of the process, as advapi32.dll does.
        HMODULE library = LoadLibraryW(L"bcrypt.dll");
        if (library == nullptr) {
            return false;
        }
        function = reinterpret_cast<BcryptRandomFunction>(
            reinterpret_cast<void*>(GetProcAddress(library, "BCryptGenRandom")));
        if (function == nullptr) {
            return false;
        }
        state.fallbackRandom = function;
    }
    return function(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(length),
                    kBcryptUseSystemPreferredRng) >= 0;
}

RandomFunction lookUpRandom() {
    RandomFunction function = state.random;
    if (function != nullptr || !state.primaryRandomEnabled) {
        return function;
    }
    HMODULE library = LoadLibraryW(L"advapi32.dll");
    if (library == nullptr) {
        QM_TOOL_ALLOC_FAILED();
        return nullptr;
    }
    function = reinterpret_cast<RandomFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, "SystemFunction036")));
    state.random = function;
    return function;
}

bool createHiddenProcess(wchar_t* commandLine, PROCESS_INFORMATION& process, DWORD flags = 0) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    return CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | flags,
                          nullptr, nullptr, &startup, &process) != FALSE;
}

// A job that ends every process in it when its last handle is closed; null when the system
// gives none.
UniqueHandle createKillOnCloseJob() {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return job;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        job.reset();
    }
    return job;
}

// One netstat line: protocol, local address, foreign address, state.
bool lineShowsAddress(const char* line, const char* address) {
    char protocol[kPortLineWord] = {};
    char local[kPortLineWord] = {};
    char foreign[kPortLineWord] = {};
    char lineState[kPortLineWord] = {};
    if (std::sscanf(line, "%511s %511s %511s %511s", protocol, local, foreign, lineState) != 4) {
        return false;
    }
    const bool active =
        _stricmp(lineState, "LISTENING") == 0 || _stricmp(lineState, "ESTABLISHED") == 0;
    return active && (_stricmp(local, address) == 0 || _stricmp(foreign, address) == 0);
}

// Runs commandLine hidden and waits for its exit code. With ownJob it runs in a job of its own,
// joined before it starts, so that whatever it starts ends with it: cmd ended alone would leave
// its programs running, and holding its files. Without, what it starts outlives it (the tray
// program's keeper waits this way for the service, whose worker must go on).
unsigned long waitForHiddenProcess(wchar_t* commandLine, unsigned long waitMilliseconds,
                                   bool ownJob) {
    PROCESS_INFORMATION process{};
    if (!createHiddenProcess(commandLine, process, ownJob ? CREATE_SUSPENDED : 0)) {
        return kHiddenCommandNotRun;
    }
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    // Where no job can be had (a system that refuses nested jobs to a process already in one),
    // the command runs without, and only cmd is ended on time-out.
    UniqueHandle job = ownJob ? createKillOnCloseJob() : UniqueHandle();
    if (job && !AssignProcessToJobObject(job.get(), processHandle.get())) {
        job.reset();
    }
    if (ownJob) {
        ResumeThread(threadHandle.get());
    }
    if (WaitForSingleObject(processHandle.get(), waitMilliseconds) == WAIT_TIMEOUT) {
        if (job) {
            TerminateJobObject(job.get(), kHiddenCommandTimedOut);
        }
        TerminateProcess(processHandle.get(), kHiddenCommandTimedOut);
        return kHiddenCommandTimedOut;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(processHandle.get(), &exitCode)) {
        return kHiddenCommandNotRun;
    }
    return exitCode;
}

}  // namespace

// ---- Wide texts -------------------------------------------------------------------------------

void safeCopyWString(wchar_t* destination, size_t size, const wchar_t* source) {
    if (destination == nullptr || size == 0 || source == nullptr) {
        return;
    }
    const size_t length = wcsnlen(source, size - 1);
    std::wmemcpy(destination, source, length);
    destination[length] = L'\0';
    destination[size - 1] = L'\0';
}

void safeCopyWStringAndFree(wchar_t* destination, size_t size, wchar_t* source) {
    safeCopyWString(destination, size, source);
    std::free(source);
}

void appendBounded(wchar_t* destination, size_t size, const wchar_t* source) {
    const size_t current = wcsnlen(destination, size);
    if (current + 1 >= size) {
        destination[size - 1] = L'\0';
        return;
    }
    safeCopyWString(destination + current, size - current, source);
}

void appendWString512(wchar_t* destination, const wchar_t* source) {
    if (destination == nullptr || source == nullptr) {
        return;
    }
    appendBounded(destination, kAppendBufferUnits, source);
}

std::wstring utf8ToWide(const char* text) {
    if (text == nullptr || *text == '\0') {
        return {};
    }
    const size_t length = std::strlen(text);
    if (length > INT_MAX) {
        return {};
    }
    const int units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide.data(), units);
    return wide;
}

char* bstrToUtf8(const wchar_t* input) {
    if (input == nullptr || *input == L'\0') {
        return nullptr;
    }
    const size_t length = std::wcslen(input);
    if (length > INT_MAX) {
        return nullptr;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, input, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0) {
        return nullptr;
    }
    char* result = static_cast<char*>(allocZeroed(static_cast<size_t>(bytes) + 1));
    if (result == nullptr) {
        return nullptr;
    }
    WideCharToMultiByte(CP_UTF8, 0, input, static_cast<int>(length), result, bytes, nullptr,
                        nullptr);
    return result;
}

char* bstrToUtf8Ref(const SharedBstr& holder) {
    const SharedBstr reference = holder;
    return bstrToUtf8(reference.get());
}

wchar_t* utf8ToBstr(const char* input, size_t byteCount) {
    if (input == nullptr) {
        return nullptr;
    }
    if (byteCount == 0) {
        return SysAllocString(L"");
    }
    if (byteCount > INT_MAX) {
        return nullptr;
    }
    const int count = static_cast<int>(byteCount);
    const int units = MultiByteToWideChar(CP_UTF8, 0, input, count, nullptr, 0);
    if (units <= 0) {
        return nullptr;
    }
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units));
    if (result == nullptr) {
        QM_TOOL_ALLOC_FAILED();
        return nullptr;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, input, count, result, units) != units) {
        SysFreeString(result);
        return nullptr;
    }
    return result;
}

SharedBstr utf8ToBstrT(const char* input) {
    if (input == nullptr) {
        return {};
    }
    BSTR text = utf8ToBstr(input, std::strlen(input));
    if (text == nullptr) {
        return {};
    }
    try {
        return SharedBstr(text, SysFreeString);
    } catch (const std::bad_alloc&) {
        // The holder's own record could not be made; shared_ptr has freed the BSTR.
        QM_TOOL_ALLOC_FAILED();
        return {};
    }
}

wchar_t* duplicateWString(const wchar_t* input) {
    if (input == nullptr) {
        QM_TOOL_WARN_NULL("input");
        return nullptr;
    }
    const size_t length = std::wcslen(input);
    wchar_t* copy = allocWide(length + 1);
    if (copy == nullptr) {
        return nullptr;
    }
    std::wmemcpy(copy, input, length);
    return copy;
}

wchar_t* stripExeExtension(const wchar_t* fileName) {
    const HeapText name(bstrToUtf8(fileName));
    if (name == nullptr) {
        QM_TOOL_ALLOC_FAILED();
        return nullptr;
    }
    const HeapText stripped(replaceAll(name.get(), ".exe", ""));
    if (stripped == nullptr) {
        QM_TOOL_ALLOC_FAILED();
        return nullptr;
    }
    return utf8ToHeapWide(stripped.get());
}

// ---- Folders and files --------------------------------------------------------------------------

wchar_t* getExecutePath() {
    HeapWideText path(allocWide(kPathUnits));
    if (path == nullptr) {
        return nullptr;
    }
    const DWORD length = GetModuleFileNameW(nullptr, path.get(), kPathUnits);
    if (length == 0 || length >= kPathUnits) {
        return nullptr;
    }
    wchar_t* slash = std::wcsrchr(path.get(), L'\\');
    if (slash != nullptr && slash != path.get()) {
        *slash = L'\0';
    }
    return path.release();
}

wchar_t* getWindowsPath() {
    HeapWideText path(allocWide(kPathUnits));
    if (path == nullptr) {
        return nullptr;
    }
    const UINT length = GetWindowsDirectoryW(path.get(), kPathUnits);
    if (length == 0 || length >= kPathUnits) {
        return nullptr;
    }
    return path.release();
}

wchar_t* getUserTempPath() {
    wchar_t* path = allocWide(kTempPathUnits);
    if (path == nullptr) {
        return nullptr;
    }
    const DWORD length = GetTempPathW(kPathUnits, path);
    if (length == 0 || length > kPathUnits) {
        std::printf("[ERROR] %s extract user temp folder fail at line %d in %s\n",
                    "getUserTempPath", __LINE__, "Tool");
        path[0] = L'\0';
    }
    return path;
}

wchar_t* getCurrentUserName() {
    HeapWideText name(allocWide(kUserNameUnits));
    if (name == nullptr) {
        return nullptr;
    }
    DWORD size = kUserNameUnits;
    if (!GetUserNameW(name.get(), &size)) {
        return nullptr;
    }
    return name.release();
}

wchar_t* getCopyPath(const char* folderName) {
    wchar_t* path = allocWide(kPathUnits);
    if (path == nullptr) {
        return nullptr;
    }
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) {
        logError("Get copy path: ", "Fail");
        path[0] = L'\0';
        return path;
    }
    if (folderName != nullptr) {
        const size_t length = std::wcslen(path);
        if (length == 0 || path[length - 1] != L'\\') {
            appendBounded(path, kPathUnits, L"\\");
        }
        appendBounded(path, kPathUnits, utf8ToWide(folderName).c_str());
    }
    return path;
}

bool isFileExist(const wchar_t* inputFileName) {
    if (inputFileName == nullptr) {
        QM_TOOL_WARN_NULL("inputFileName");
        return false;
    }
    const DWORD attributes = GetFileAttributesW(inputFileName);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    return (attributes & FILE_ATTRIBUTE_ARCHIVE) != 0;
}

char* readTextFile(const wchar_t* inputPath) {
    if (inputPath == nullptr) {
        logWarning("inputPath is null", "");
        return nullptr;
    }
    FILE* file = _wfopen(inputPath, L"r");
    if (file == nullptr) {
        logWarning("Read file pointer is null", "");
        return nullptr;
    }
    std::string text;
    char piece[512];
    while (std::fgets(piece, sizeof(piece), file) != nullptr) {
        text += piece;
    }
    std::fclose(file);
    if (text.empty()) {
        return nullptr;
    }
    return duplicateString(text.c_str());
}

char* getExecutePathUtf8() {
    return utf8OfWidePath(getExecutePath());
}

char* getWindowsPathUtf8() {
    return utf8OfWidePath(getWindowsPath());
}

char* getUserTempPathUtf8() {
    return utf8OfWidePath(getUserTempPath());
}

bool isFileExistUtf8(const char* inputFileName) {
    if (inputFileName == nullptr) {
        QM_TOOL_WARN_NULL("inputFileName");
        return false;
    }
    return isFileExist(utf8ToWide(inputFileName).c_str());
}

// ---- Random bytes -------------------------------------------------------------------------------

bool genRandom(void* buffer, size_t length) {
    if (buffer == nullptr || length > ULONG_MAX) {
        return false;
    }
    const RandomFunction function = lookUpRandom();
    if (function == nullptr) {
        // Where the system function is missing, the system's preferred generator serves.
        return fillRandomFallback(buffer, length);
    }
    return function(buffer, static_cast<ULONG>(length)) != FALSE;
}

// ---- Time count ---------------------------------------------------------------------------------

int64_t getTimeValue() {
    // 64-bit seconds: time_t is 32 bits on this runtime.
    const __time64_t now = _time64(nullptr);
    std::tm local{};
    if (_localtime64_s(&local, &now) != 0) {
        return 0;
    }
    return timeValueOf(local);
}

void setPrimaryRandomEnabledForTesting(bool enabled) {
    state.primaryRandomEnabled = enabled;
    if (!enabled) {
        state.random = nullptr;
    }
}

// ---- Commands ---------------------------------------------------------------------------------

unsigned long waitHiddenProcess(wchar_t* commandLine, unsigned long waitMilliseconds) {
    return waitForHiddenProcess(commandLine, waitMilliseconds, false);
}

bool startHiddenProcess(wchar_t* commandLine) {
    PROCESS_INFORMATION process{};
    if (!createHiddenProcess(commandLine, process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::wstring systemProgramPath(const wchar_t* program) {
    wchar_t folder[kPathUnits] = {};
    const UINT length = GetSystemDirectoryW(folder, kPathUnits);
    if (length == 0 || length >= kPathUnits) {
        logErrorInt("Get system folder fail: ", static_cast<int32_t>(GetLastError()));
        return L"";
    }
    std::wstring path = std::wstring(folder) + L"\\" + program;
    // Quoted when the folder holds a blank, so that no shorter path is tried first.
    if (path.find(L' ') != std::wstring::npos) {
        return L"\"" + path + L"\"";
    }
    return path;
}

unsigned long runHiddenCommand(const wchar_t* command, unsigned long waitMilliseconds) {
    if (command == nullptr) {
        return 1;
    }
    const size_t length = std::wcslen(command);
    // The interpreter by its full path, so that no cmd.exe of the current folder runs instead.
    const std::wstring interpreter = systemProgramPath(L"cmd.exe");
    if (interpreter.empty()) {
        return kHiddenCommandNotRun;
    }
    // "<interpreter> /c " and the terminator must fit the system's limit of a command line.
    if (length > kMaxCommandLineUnits - interpreter.size() - 5) {
        logErrorInt("Hidden command too long: ", static_cast<int32_t>(length));
        return kHiddenCommandNotRun;
    }
    const size_t units = interpreter.size() + length + 16;
    HeapWideText commandLine(allocWide(units));
    if (commandLine == nullptr) {
        return kHiddenCommandNotRun;
    }
    std::swprintf(commandLine.get(), units, L"%ls /c %ls", interpreter.c_str(), command);
    return waitForHiddenProcess(commandLine.get(), waitMilliseconds, true);
}

unsigned long warnHiddenCommandFailure(const wchar_t* command, unsigned long exitCode) {
    if (exitCode == 0 || !isLogEnabled()) {
        return exitCode;
    }
    std::string outcome;
    if (exitCode == kHiddenCommandTimedOut) {
        outcome = "timed out";
    } else if (exitCode == kHiddenCommandNotRun) {
        outcome = "not run";
    } else {
        outcome = "exit code " + std::to_string(exitCode);
    }
    const HeapText text(command != nullptr && command[0] != L'\0' ? bstrToUtf8(command) : nullptr);
    const std::string line = std::string(text ? text.get() : "") + " (" + outcome + ")";
    logWarning("Hidden command failed: ", line.c_str());
    return exitCode;
}

void hideNOWaitCommand() {
    logNormal("hideNOWaitCommand: ", kWorkerStartCommand);
    HeapWideText commandLine(utf8ToHeapWide(kWorkerStartCommand));
    if (commandLine == nullptr) {
        return;
    }
    startHiddenProcess(commandLine.get());
}

// ---- Named mutexes ------------------------------------------------------------------------------

void* getMutexLock(const char* inputMutexLock, unsigned long waitMilliseconds) {
    if (inputMutexLock == nullptr) {
        QM_TOOL_WARN_NULL("inputMutexLock");
        return nullptr;
    }
    HeapWideText user(getCurrentUserName());
    if (user == nullptr) {
        QM_TOOL_ALLOC_FAILED();
        return nullptr;
    }
    // The object lives in the caller's session: no namespace prefix.
    wchar_t objectName[kMutexNameUnits] = {};
    safeCopyWString(objectName, kMutexNameUnits,
                    (std::wstring(user.get()) + L"_" + utf8ToWide(inputMutexLock)).c_str());
    user.reset();

    // A null access list: every account of this session may open the lock.
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, TRUE);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = TRUE;

    UniqueHandle mutex(CreateMutexW(&attributes, FALSE, objectName));
    if (!mutex) {
        QM_TOOL_ALLOC_FAILED();
        return nullptr;
    }
    const DWORD wait = WaitForSingleObject(mutex.get(), waitMilliseconds);
    // An abandoned mutex is obtained as well: its owner ended without letting go (a watchdog
    // that ends on Suicide does), and the wait has made it ours.
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        return nullptr;
    }
    return mutex.release();
}

// ---- Port test ----------------------------------------------------------------------------------

void setCopyPath(const wchar_t* copyPath) {
    state.copyPath[0] = L'\0';
    safeCopyWString(state.copyPath, kPathUnits, copyPath);
}

bool isPortInUse(int port, bool ipv6) {
    if (state.copyPath[0] == L'\0') {
        return false;
    }
    const std::wstring outputFile = std::wstring(state.copyPath) + L"\\Tempfile\\QuillmarkTemp";
    char address[64] = {};
    std::snprintf(address, sizeof(address), ipv6 ? "[::1]:%d" : "127.0.0.1:%d", port);
    // The output path is quoted: the data folder may hold blanks.
    const std::wstring command = std::wstring(L"netstat -n -a | find ") +
                                 (ipv6 ? L"\"[::1]\"" : L"\"127.0.0.1\"") + L" > \"" + outputFile +
                                 L"\"";
    const unsigned long exitCode = runHiddenCommand(command.c_str(), state.portCheckWaitMs.load());
    if (exitCode == kHiddenCommandTimedOut) {
        logWarning("Port check timeout: ", address);
        return true;
    }
    if (exitCode != 0) {
        return false;
    }
    const HeapText text(readTextFile(outputFile.c_str()));
    if (text == nullptr) {
        return false;
    }
    char** lines = splitString(text.get(), "\n");
    if (lines == nullptr) {
        QM_TOOL_ALLOC_FAILED();
        return false;
    }
    bool inUse = false;
    for (char** line = lines; *line != nullptr; ++line) {
        if (!inUse && lineShowsAddress(*line, address)) {
            inUse = true;
        }
        std::free(*line);
    }
    std::free(lines);
    return inUse;
}

void setPortCheckWaitForTesting(unsigned long milliseconds) {
    state.portCheckWaitMs = milliseconds != 0 ? milliseconds : kPortCheckWaitMs;
}
