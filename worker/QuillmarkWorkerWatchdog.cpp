// The -watchdog mode: holds the watchdog mutex, follows the debug-log switch, and starts a reset
// when the tray program's single-instance mutex becomes free without a proper quit.
#include <windows.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <string>

#include "common/Log.h"
#include "common/Message.h"
#include "common/Tool.h"
#include "monitor/MonitorMessage.h"
#include "monitor/MonitorTool.h"
#include "worker/QuillmarkWorker.h"
#include "worker/WorkerInternal.h"

namespace {

constexpr unsigned long kWatchdogMutexWaitMs = 500;
constexpr unsigned long kMonitorPollMs = 1000;
constexpr unsigned long kDebugPauseMs = 100;
// How long a watchdog waits for a tray program that is still starting.
constexpr unsigned long kMonitorStartPatienceMs = 10000;
constexpr unsigned long kMonitorStartPollMs = 200;
// Resets in a row, as the keeper's limit of starts: a tray program that keeps dying soon after
// its start is not restarted for ever. One that lived this long begins a new count.
constexpr int kResetLimit = 8;
constexpr unsigned long kLongLivedMonitorMs = 60000;
// The count of resets in a row travels to the next watchdog in the environment, which the reset
// worker and the programs it starts inherit.
constexpr wchar_t kResetCountVariable[] = L"OqtQuillmarkResets";

// Registered as the receivers' switched-out byte so that a lock or disconnect never ends the
// watchdog; nothing reads it.
std::atomic<uint8_t> gSwitchedOut{0};

void* debugStatusUpdateThread(void* /*unused*/) {
    worker::RunState& state = worker::runState();
    HANDLE event = debugModeEvent();
    for (;;) {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) {
            if (!state.logOn.load()) {
                state.logOn.store(setLog(state.sessionName.c_str()));
            } else {
                logNormal("Log state: ", "Disable");
                clearLogEnabled();
                setLogState(nullptr, 0);
                state.logOn.store(false);
            }
        }
        Sleep(kDebugPauseMs);
    }
    return nullptr;
}

bool monitorAlive() {
    void* monitorMutex = getMutexLock(kMonitorProgramName, 0);
    if (monitorMutex == nullptr) {
        return true;
    }
    releaseMutexLock(monitorMutex);
    return false;
}

int resetCount() {
    wchar_t value[16] = {};
    const DWORD length = GetEnvironmentVariableW(kResetCountVariable, value, 16);
    if (length == 0 || length >= 16) {
        return 0;
    }
    return static_cast<int>(std::wcstol(value, nullptr, 10));
}

void setResetCount(int count) {
    SetEnvironmentVariableW(kResetCountVariable, std::to_wstring(count).c_str());
}

}  // namespace

namespace worker {

void runWatchdog() {
    if (openDebugModeEvent()) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, debugStatusUpdateThread, nullptr) == 0) {
            pthread_detach(thread);
        }
    } else {
        logError("", "debugStatusUpdateEvent init failed.");
    }

    void* watchdogMutex = getMutexLock(kWatchdogMutexName, kWatchdogMutexWaitMs);
    if (watchdogMutex == nullptr) {
        logNormal("getMutexLock: ", "Fail");
        return;
    }
    logNormal("getMutexLock: ", "Success");

    IpcCallbacks callbacks;
    callbacks.switchedOutFlag = &gSwitchedOut;
    setIpcCallbacks(callbacks);
    startWatchdogIpcMessage();

    // Only a tray program seen alive is restored: one still starting is waited for, and one that
    // never comes (it can't start, or -allstop ended it meanwhile) is left alone.
    unsigned long waited = 0;
    while (!monitorAlive()) {
        if (waited >= kMonitorStartPatienceMs) {
            logNormal("", "Monitor did not start, no reset");
            releaseMutexLock(watchdogMutex);
            return;
        }
        Sleep(kMonitorStartPollMs);
        waited += kMonitorStartPollMs;
    }
    logNormal("", "Monitor is alive");
    const ULONGLONG seen = GetTickCount64();

    // The tray program holds its mutex for its whole life; the first poll that obtains it means
    // the tray program is gone.
    while (monitorAlive()) {
        Sleep(kMonitorPollMs);
    }
    logNormal("", "Monitor is NOT alive");
    int resets = GetTickCount64() - seen >= kLongLivedMonitorMs ? 0 : resetCount();
    if (resets >= kResetLimit) {
        logNormal("", "Reset too many times, shutdown watchdog");
        releaseMutexLock(watchdogMutex);
        return;
    }
    setResetCount(resets + 1);
    logNormal("", "Reset!");
    hideNOWaitCommand(L"OqtQuillmarkWorker.exe -reset");
    releaseMutexLock(watchdogMutex);
}

}  // namespace worker
