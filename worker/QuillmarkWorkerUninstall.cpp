// The installer's and uninstaller's clean-up modes: -uninstalldetect and -delete.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/Log.h"
#include "common/Tool.h"
#include "monitor/MonitorMessage.h"
#include "monitor/MonitorTool.h"
#include "worker/QuillmarkWorker.h"
#include "worker/WorkerInternal.h"

namespace {

constexpr size_t kMaxUninstallPieces = 16;
constexpr int kUninstallDetectTests = 32;
constexpr int kDeleteWaitTests = 30;
constexpr unsigned long kUninstallerPollMs = 1000;
constexpr unsigned long kAfterUninstallerMs = 1000;
constexpr unsigned long kBeforeDeleteMs = 200;
constexpr unsigned long kDeleteRetryPauseMs = 500;
constexpr unsigned long kDeleteRetryPatienceMs = 5000;

size_t countDllPaths(const std::vector<std::wstring>& paths) {
    size_t count = 0;
    for (const std::wstring& path : paths) {
        if (path.find(L".dll") != std::wstring::npos) {
            ++count;
        }
    }
    return count;
}

// ".exe" in any letter case: installers write the extension either way.
bool containsExe(const std::string& piece) {
    std::string lower = piece;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower.find(".exe") != std::string::npos;
}

// The uninstaller's path as the start of a command line: quoted, so that a path with blanks
// ("C:\Program Files\...") is not taken for a shorter program first.
std::wstring quotedProgram(const std::wstring& path) {
    if (!path.empty() && path.front() == L'"') {
        return path;
    }
    return L"\"" + path + L"\"";
}

void logDeleteSuccess(const std::string& what) {
    char line[kWorkerTextSize + 32] = {};
    std::snprintf(line, sizeof line, "Delete %s success", what.c_str());
    logNormal("", line);
}

// One system call tried up to 11 times, 500 ms apart: the file or folder may still be in use
// while its owner ends.
template <typename Attempt>
bool retry(Attempt attempt) {
    unsigned long slept = 0;
    for (;;) {
        if (attempt()) {
            return true;
        }
        if (slept >= kDeleteRetryPatienceMs) {
            return false;
        }
        Sleep(kDeleteRetryPauseMs);
        slept += kDeleteRetryPauseMs;
    }
}

size_t lastSeparator(const std::wstring& path) {
    return path.find_last_of(L"\\/");
}

// Removes the folder, then every parent that has become empty, up to the first that can't be.
void climbRemovingFolders(std::wstring path) {
    while (!path.empty()) {
        if (!retry([&] { return RemoveDirectoryW(path.c_str()) != FALSE; })) {
            char line[kWorkerTextSize + 48] = {};
            std::snprintf(line, sizeof line, "Delete %s retry too many times",
                          worker::utf8Of(path.data(), path.size()).c_str());
            logNormal("", line);
            return;
        }
        logDeleteSuccess(worker::utf8Of(path.data(), path.size()));
        size_t cut = lastSeparator(path);
        // Without a separator there is no parent left to try.
        if (cut == std::wstring::npos) {
            return;
        }
        path.resize(cut);
    }
}

}  // namespace

std::vector<std::string> regroupUninstallArguments(const std::string& arguments,
                                                   size_t& pieceCount) {
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < arguments.size()) {
        size_t begin = arguments.find_first_not_of(' ', at);
        if (begin == std::string::npos) {
            break;
        }
        size_t end = arguments.find(' ', begin);
        if (end == std::string::npos) {
            end = arguments.size();
        }
        pieces.push_back(arguments.substr(begin, end - begin));
        at = end;
    }
    pieceCount = pieces.size();
    std::vector<std::string> groups;
    if (pieces.size() > kMaxUninstallPieces) {
        return groups;
    }
    std::string group;
    for (const std::string& piece : pieces) {
        if (!group.empty()) {
            group += ' ';
        }
        group += piece;
        if (containsExe(piece)) {
            groups.push_back(group);
            group.clear();
        }
    }
    if (!group.empty()) {
        groups.push_back(group);
    }
    return groups;
}

bool listFilesRecursive(const std::wstring& folder, const std::wstring& pattern,
                        std::vector<std::wstring>& list) {
    list.clear();
    std::vector<std::wstring> toVisit{folder};
    while (!toVisit.empty()) {
        std::wstring current = toVisit.back();
        toVisit.pop_back();
        std::wstring search = current + L"\\" + pattern;
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW(search.c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) {
            char line[kWorkerTextSize + 32] = {};
            std::snprintf(line, sizeof line, "INVALID_HANDLE_VALUE at %s",
                          worker::utf8Of(search.data(), search.size()).c_str());
            logError("", line);
            return false;
        }
        do {
            if (std::wcscmp(entry.cFileName, L".") == 0 ||
                std::wcscmp(entry.cFileName, L"..") == 0) {
                continue;
            }
            std::wstring path = current + L"\\" + entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                toVisit.push_back(path);
            } else {
                list.push_back(path);
            }
        } while (FindNextFileW(find, &entry) != FALSE);
        DWORD error = GetLastError();
        FindClose(find);
        if (error != ERROR_NO_MORE_FILES) {
            logError("", "ERROR_NO_MORE_FILES");
            return false;
        }
    }
    return true;
}

DeletePathKind deletePathKindOf(const std::wstring& path) {
    size_t separator = lastSeparator(path);
    size_t dot = path.find_last_of(L'.');
    if (separator != std::wstring::npos && (dot == std::wstring::npos || separator > dot)) {
        return DeletePathKind::Folder;
    }
    if (dot != std::wstring::npos) {
        return DeletePathKind::File;
    }
    return DeletePathKind::Bare;
}

namespace worker {

void waitForUninstaller(int tests, const char* label, const char* logLine) {
    bool logged = false;
    for (int test = 0; test < tests; ++test) {
        if (!isProcessRunning(kUninstallerProcessA) && !isProcessRunning(kUninstallerProcessB)) {
            return;
        }
        if (!logged && logLine != nullptr) {
            logNormal(label, logLine);
            logged = true;
        }
        Sleep(kUninstallerPollMs);
    }
}

bool runUninstallDetect(const std::string& argumentText) {
    RunState& state = runState();
    logNormal("", "Uninstall detect area");
    state.selfDelete = true;

    std::string arguments = prefixModeArguments(argumentText.c_str());
    logNormal("CmdLine: ", arguments.c_str());
    size_t pieceCount = 0;
    std::vector<std::string> groups = regroupUninstallArguments(arguments, pieceCount);
    logNormalInt("SplitLength: ", static_cast<int32_t>(pieceCount));
    logNormalInt("SplitLength: ", static_cast<int32_t>(groups.size()));
    for (size_t index = 0; index < groups.size(); ++index) {
        char line[kWorkerTextSize + 32] = {};
        std::snprintf(line, sizeof line, "[%d] = %s", static_cast<int>(index),
                      groups[index].c_str());
        logNormal("argv", line);
    }
    if (groups.size() != 2) {
        logWarning("Quillmark uninstall detect: ", "Parameter error");
        return false;
    }
    const std::string& uninstaller = groups[0];

    waitForUninstaller(kUninstallDetectTests, "", nullptr);
    Sleep(kAfterUninstallerMs);

    std::vector<std::wstring> total;
    if (!listFilesRecursive(state.executePath, L"*", total)) {
        logWarning("TotolFileList: ", "Detect error");
        return true;
    }
    // Everything is linked statically, so the worker's own folder holds no DLL at all in an
    // installation: a search that finds none counts as none, not as a reason to uninstall.
    std::vector<std::wstring> main;
    if (!listFilesRecursive(state.executePath, L"*.dll", main)) {
        main.clear();
    }
    const size_t totalSize = countDllPaths(total);
    const size_t mainSize = countDllPaths(main);
    char line[96] = {};
    std::snprintf(line, sizeof line, "TotolSize = %zu MainSize = %zu", totalSize, mainSize);
    logNormal("Uninstall detect result: ", line);

    if (totalSize != mainSize) {
        // DLLs in sub-folders belong to installed components: keep the product running.
        logNormal("->", "MonitorStart");
        sendIPCMsgWin(state.sessionName.c_str(), kMonitorChannel, kInstructionMonitorStart);
        return true;
    }

    logNormal("->", "Unstall");
    std::wstring command = quotedProgram(utf8ToWide(uninstaller.c_str())) + L" /S";
    hideNOWaitCommand(command.c_str());
    std::unique_ptr<wchar_t, worker::FreeDeleter> dataPath(getCommonDataPath());
    // Without the data folder the pattern would name the DLLs of the current drive's root.
    if (!dataPath || dataPath.get()[0] == L'\0') {
        logError("Delete data folder DLLs: ", "No data folder");
        return true;
    }
    // Quoted: the data folder's path may hold blanks.
    std::wstring folder = dataPath.get();
    std::wstring deleteVisible = L"del /Q \"" + folder + L"\\*.dll\"";
    std::wstring deleteHidden = L"del /A:H /Q \"" + folder + L"\\*.dll\"";
    warnHiddenCommandFailure(deleteVisible.c_str(), hideWaitCommand(deleteVisible.c_str(), true));
    warnHiddenCommandFailure(deleteHidden.c_str(), hideWaitCommand(deleteHidden.c_str(), true));
    return true;
}

void runDelete(const std::string& argumentText) {
    RunState& state = runState();
    logNormal("", "Delete area");
    state.selfDelete = true;
    logNormal("", "Start");

    std::string arguments = prefixModeArguments(argumentText.c_str());
    logNormal("CmdLine: ", arguments.c_str());
    std::string label = "[" + state.sessionName + "] Input: ";
    logNormal(label.c_str(), arguments.c_str());

    std::string unquoted;
    for (char c : arguments) {
        if (c != '"') {
            unquoted += c;
        }
    }
    std::wstring path = utf8ToWide(unquoted.c_str());
    if (path.size() > kWorkerTextSize - 1) {
        path.resize(kWorkerTextSize - 1);
    }
    // The kind is read from the path as given; a trailing separator would then name the same
    // folder twice in the climb.
    DeletePathKind kind = deletePathKindOf(path);
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/') &&
           path[path.size() - 2] != L':') {
        path.pop_back();
    }

    std::string waitLabel = "[" + state.sessionName + "] ";
    waitForUninstaller(kDeleteWaitTests, waitLabel.c_str(), "NSIS uninstaller is running, wait");
    Sleep(kBeforeDeleteMs);

    if (kind == DeletePathKind::Folder) {
        logNormal("", "Folder mode");
        climbRemovingFolders(path);
        return;
    }
    if (kind == DeletePathKind::File) {
        logNormal("", "File mode");
    }
    if (!retry([&] { return DeleteFileW(path.c_str()) != FALSE; })) {
        logNormal("", "Try too many times");
        return;
    }
    logDeleteSuccess(argumentText);
    size_t cut = lastSeparator(path);
    if (cut == std::wstring::npos) {
        return;
    }
    path.resize(cut);
    logNormal("", "Folder mode");
    climbRemovingFolders(path);
}

}  // namespace worker
