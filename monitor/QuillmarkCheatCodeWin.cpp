// The tray program's debug-log switch, the debug event and the key-sequence watcher.
#include <windows.h>

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/Log.h"
#include "common/Message.h"
#include "common/Tool.h"
#include "monitor/MonitorState.h"
#include "monitor/MonitorTool.h"
#include "monitor/MonitorTray.h"
#include "monitor/QuillmarkCheatCode.h"

namespace {

constexpr DWORD kIdleMilliseconds = 200;
constexpr DWORD kScanMilliseconds = 50;
constexpr int kLastVirtualKey = 254;

std::atomic<long> keysSeen{0};
std::atomic<long> keysTaken{0};
std::atomic<void (*)()> switchHook{nullptr};

void runSwitchHook() {
    if (void (*hook)() = switchHook.load(); hook != nullptr) {
        hook();
    }
}

struct CheatCodeState {
    std::mutex lock;  // the event handle and the registered list
    HANDLE debugEvent = nullptr;
    std::vector<std::unique_ptr<CheatCodeRecord>> records;
    bool watcherStarted = false;
};

CheatCodeState& cheatState() {
    static CheatCodeState state;
    return state;
}

std::wstring wideOfUtf8(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return L"";
    }
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, result.data(), length);
    result.resize(static_cast<size_t>(length - 1));
    return result;
}

void closeAboutBox() {
    HWND about = FindWindowW(nullptr, kAboutCaption);
    if (about != nullptr) {
        PostMessageW(about, WM_CLOSE, 0, 0);
    }
}

std::wstring desktopFolder() {
    std::unique_ptr<wchar_t, decltype(&std::free)> desktop(getDesktopPath(), &std::free);
    return desktop ? std::wstring(desktop.get()) : std::wstring();
}

bool keyDown(int code) {
    return (static_cast<unsigned short>(GetKeyState(code)) & 0x8000U) != 0;
}

}  // namespace

bool writeDebugLogIni(const wchar_t* iniPath, const char* iniText, const wchar_t* logRoot) {
    const bool written = writeTextFile(iniPath, iniText);
    if (!written) {
        logWarning("[Warning] ", "Write log ini file fail");
    }
    if (logRoot != nullptr && logRoot[0] != L'\0') {
        const std::wstring folder = std::wstring(logRoot) + L"\\" + wideOfUtf8(kLogFolderName);
        logNormalWString("Try to create: ", folder.c_str());
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    return written;
}

bool createDebugModeEvent() {
    CheatCodeState& state = cheatState();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.debugEvent != nullptr) {
        return false;
    }
    const std::wstring name = wideOfUtf8(kDebugModeEventName);
    state.debugEvent = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str());
    if (state.debugEvent == nullptr) {
        state.debugEvent = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    }
    return state.debugEvent != nullptr;
}

void pulseDebugModeEvent() {
    CheatCodeState& state = cheatState();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.debugEvent != nullptr && SetEvent(state.debugEvent)) {
        ResetEvent(state.debugEvent);
    }
}

void closeDebugModeEventForTesting() {
    CheatCodeState& state = cheatState();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.debugEvent != nullptr) {
        CloseHandle(state.debugEvent);
        state.debugEvent = nullptr;
    }
}

bool setMonitorLog() {
    if (isLogEnabled()) {
        return true;
    }
    return setLog(monitorState().monitorLogTag.c_str());
}

void writeLogIni() {
    MonitorState& shared = monitorState();
    const std::wstring desktop = desktopFolder();
    writeDebugLogIni(shared.logIniPath.c_str(), shared.logIniText.c_str(),
                     desktop.empty() ? nullptr : desktop.c_str());
    setMonitorLog();
    shared.debugMode.store(1);
}

// The service and the watchdog flip their logging at every pulse they see, so a click that
// leaves the logging as it was must not pulse. The menu (main thread) and a key sequence (the
// watcher) may switch at the same moment: each switch checks and changes in one step.
void startDebugMode() {
    MonitorState& shared = monitorState();
    {
        const std::lock_guard<CountedLock> change(shared.debugSwitchLock);
        const bool changes = shared.debugMode.load() == 0;
        runSwitchHook();
        shared.debugSwitchedOn.store(1);
        closeAboutBox();
        writeLogIni();
        if (changes) {
            pulseDebugModeEvent();
        }
    }
    showTrayBalloon(slotText(kSlotDebugOn));
}

void stopDebugMode() {
    MonitorState& shared = monitorState();
    {
        const std::lock_guard<CountedLock> change(shared.debugSwitchLock);
        const bool changes = shared.debugMode.load() != 0;
        runSwitchHook();
        shared.debugSwitchedOn.store(0);
        closeAboutBox();
        DeleteFileW(shared.logIniPath.c_str());
        logNormal("Log state: ", "Disable");
        clearLogEnabled();
        setLogState(nullptr, 0);
        shared.debugMode.store(0);
        if (changes) {
            pulseDebugModeEvent();
        }
    }
    showTrayBalloon(slotText(kSlotDebugOff));
}

void setDebugSwitchHookForTesting(void (*hook)()) {
    switchHook.store(hook);
}

void toggleDebugMode() {
    if (monitorState().debugSwitchedOn.load() == 1) {
        stopDebugMode();
        return;
    }
    startDebugMode();
}

std::unique_ptr<CheatCodeRecord> initCheatCode(const int32_t* codes, int32_t count) {
    if (codes == nullptr) {
        qm::logNullParameter("inputCheatCode", "QuillmarkCheatCode", 23);
        return nullptr;
    }
    auto record = std::make_unique<CheatCodeRecord>();
    std::memset(record.get(), 0, sizeof(CheatCodeRecord));
    int32_t copied = 0;
    while (copied < count && codes[copied] != 0) {
        if (copied == kCheatCodeSlots - 1) {
            logError(" Init cheat code error, input too long", "");
            return nullptr;
        }
        record->codes[copied] = codes[copied];
        ++copied;
    }
    record->count = copied;
    record->callback = toggleDebugMode;
    return record;
}

void setupCheatCodes() {
    CheatCodeState& state = cheatState();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.records.empty()) {
            return;
        }
        for (const std::vector<int32_t>& sequence : cheatCodeSequences()) {
            std::unique_ptr<CheatCodeRecord> record =
                initCheatCode(sequence.data(), static_cast<int32_t>(sequence.size()));
            if (record) {
                state.records.push_back(std::move(record));
            }
        }
        if (state.watcherStarted) {
            return;
        }
        state.watcherStarted = true;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, cheatCodeWatcher, nullptr) == 0) {
        pthread_detach(thread);
    }
}

void* cheatCodeWatcher(void*) {
    // The list is complete before this thread starts and never changes afterwards.
    const std::vector<std::unique_ptr<CheatCodeRecord>>& records = cheatState().records;
    std::deque<int32_t> history;
    for (;;) {
        if (monitorState().aboutClosed.load() == 1) {
            Sleep(kIdleMilliseconds);
            continue;
        }
        for (int code = 1; code <= kLastVirtualKey; ++code) {
            if (!keyDown(code)) {
                continue;
            }
            // No key is logged: the scan sees keys typed into every window, passwords included.
            keysSeen.fetch_add(1);
            // A held key counts once: wait for its release before looking further.
            while (keyDown(code)) {
                Sleep(kScanMilliseconds);
            }
            const CheatCodeRecord* match = pushKeyAndMatch(history, code, records);
            keysTaken.fetch_add(1);
            if (match != nullptr && match->callback != nullptr) {
                logNormal("Key sequence matched", "");
                match->callback();
            }
        }
        Sleep(kScanMilliseconds);
    }
    return nullptr;
}

const std::vector<std::unique_ptr<CheatCodeRecord>>& registeredCheatCodesForTesting() {
    return cheatState().records;
}

long keysSeenForTesting() {
    return keysSeen.load();
}

long keysTakenForTesting() {
    return keysTaken.load();
}
