// Test-only stand-in for the programs the worker starts, stops and waits for. The tests copy it
// into a worker's folder under the names "OqtQuillmarkMonitor.exe", "OqtQuillmark.exe",
// "StartingWatchdog.exe", "Au_.exe", "Un_A.exe" or an uninstaller's name; it acts by its own file
// name and appends one line per event to "journal.txt" beside itself:
//   "<name> started <arguments>"      at every start
//   "<name> ready"                     once its receiver window exists (tray program, service,
//                                      watchdog)
//   "<name> second"                    a second tray program or watchdog (its mutex is held)
//                                      ends at once
//   "<name> <instruction> <from>"      a verified WM_COPYDATA instruction ("unverified" if not)
//   "<name> watchdog mutex held|free"  the tray program's look at the watchdog mutex on Suicide
//   "<name> holding"                   the watchdog holds its mutex, its receiver not yet up
// The tray program holds its per-user single-instance mutex like the real one; the tray program
// and the service end with exit code 0 on Suicide. "StartingWatchdog.exe" is a watchdog caught
// while it starts: it takes the watchdog mutex, opens its receiver window on the watchdog's
// channel only once the file "receivers.go" lies beside it, and on Suicide ends at once inside
// its handler, leaving the mutex abandoned, as the real one does. Any other name ends at once
// when its arguments hold "/S" (a silent uninstaller) and otherwise runs until it is ended (at
// most 120 s).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Message.h"
#include "common/Tool.h"

namespace {

std::wstring gJournal;
std::string gName;

constexpr char kWatchdogMutex[] = "OqtQuillmarkWatchdog";
constexpr DWORD kLifetimeMs = 120000;
constexpr DWORD kPollMs = 20;

std::string utf8Of(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return std::string();
    }
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), bytes, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(bytes) - 1);
    return narrow;
}

void journal(const std::string& line) {
    FILE* file = _wfopen(gJournal.c_str(), L"ab");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "%s %s\n", gName.c_str(), line.c_str());
    std::fclose(file);
}

LRESULT CALLBACK standInWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COPYDATA) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data == nullptr || data->lpData == nullptr || data->cbData == 0) {
        journal("unverified");
        return TRUE;
    }
    std::string text(static_cast<const char*>(data->lpData), data->cbData);
    UniqueIpcMessage record(parseIpcMessage(text.c_str()));
    if (!record || !verifyIpcMessage(record.get())) {
        journal("unverified");
        return TRUE;
    }
    journal(std::string(record->Instruction) + " " + record->From);
    if (std::string(record->Instruction) != kInstructionSuicide) {
        return TRUE;
    }
    if (_stricmp(gName.c_str(), "StartingWatchdog.exe") == 0) {
        TerminateProcess(GetCurrentProcess(), 0);
    }
    if (_stricmp(gName.c_str(), "OqtQuillmarkMonitor.exe") == 0) {
        // A stopper that holds the watchdog mutex while it stops the tray program keeps any
        // watchdog from seeing the stop.
        void* watchdog = getMutexLock(kWatchdogMutex, 0);
        journal(watchdog != nullptr ? "watchdog mutex free" : "watchdog mutex held");
        if (watchdog != nullptr) {
            ReleaseMutex(watchdog);
            CloseHandle(watchdog);
        }
    }
    PostQuitMessage(0);
    return TRUE;
}

int runReceiver(const wchar_t* channel) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = standInWndProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = channel;
    if (RegisterClassW(&windowClass) == 0) {
        journal("no-class");
        return 3;
    }
    HWND window = CreateWindowExW(0, channel, L"", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window == nullptr) {
        journal("no-window");
        return 3;
    }
    journal("ready");
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

int main() {
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring path = own;
    size_t cut = path.find_last_of(L'\\');
    std::wstring folder = cut == std::wstring::npos ? L"." : path.substr(0, cut);
    std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
    gJournal = folder + L"\\journal.txt";
    gName = utf8Of(name);

    // The arguments: what follows the (quoted or bare) program name.
    std::wstring line = GetCommandLineW();
    size_t at = 0;
    if (!line.empty() && line[0] == L'"') {
        at = line.find(L'"', 1);
        at = at == std::wstring::npos ? line.size() : at + 1;
    } else {
        at = line.find(L' ');
        at = at == std::wstring::npos ? line.size() : at;
    }
    while (at < line.size() && line[at] == L' ') {
        ++at;
    }
    std::wstring arguments = line.substr(at);
    journal("started " + utf8Of(arguments));

    if (_wcsicmp(name.c_str(), L"OqtQuillmarkMonitor.exe") == 0) {
        void* mutex = getMutexLock("OqtQuillmarkMonitor.exe", 0);
        if (mutex == nullptr) {
            journal("second");
            return 0;
        }
        return runReceiver(L"OqtQuillmarkMonitor.exe");
    }
    if (_wcsicmp(name.c_str(), L"OqtQuillmark.exe") == 0) {
        return runReceiver(L"OqtQuillmark.exe");
    }
    if (_wcsicmp(name.c_str(), L"StartingWatchdog.exe") == 0) {
        void* mutex = getMutexLock(kWatchdogMutex, 0);
        if (mutex == nullptr) {
            journal("second");
            return 0;
        }
        journal("holding");
        const std::wstring go = folder + L"\\receivers.go";
        for (DWORD waited = 0; GetFileAttributesW(go.c_str()) == INVALID_FILE_ATTRIBUTES;
             waited += kPollMs) {
            if (waited >= kLifetimeMs) {
                return 0;
            }
            Sleep(kPollMs);
        }
        return runReceiver(L"OqtQuillmarkWatchdog");
    }
    if (arguments.find(L"/S") != std::wstring::npos) {
        return 0;
    }
    Sleep(kLifetimeMs);
    return 0;
}
