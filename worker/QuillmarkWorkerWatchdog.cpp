// The -watchdog mode: holds the watchdog mutex, follows the debug-log switch, and starts a reset
// when the tray program's single-instance mutex becomes free without a proper quit.
#include <windows.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>

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

    // The tray program holds its mutex for its whole life; the first poll that obtains it means
    // the tray program is gone.
    for (;;) {
        void* monitorMutex = getMutexLock(kMonitorProgramName, 0);
        if (monitorMutex != nullptr) {
            releaseMutexLock(monitorMutex);
            break;
        }
        Sleep(kMonitorPollMs);
    }
    logNormal("", "Monitor is NOT alive");
    logNormal("", "Reset!");
    hideNOWaitCommand(L"OqtQuillmarkWorker.exe -reset");
    releaseMutexLock(watchdogMutex);
}

}  // namespace worker
