// The service keeper thread.
#include <windows.h>

#include <cwchar>
#include <mutex>

#include "common/Log.h"
#include "common/Message.h"
#include "monitor/MonitorKeeper.h"
#include "monitor/MonitorMessage.h"
#include "monitor/MonitorState.h"
#include "monitor/MonitorTool.h"
#include "monitor/MonitorTray.h"
#include "monitor/QuillmarkMonitor.h"

namespace {

constexpr DWORD kPollMilliseconds = 100;
constexpr DWORD kSwitchedOutMilliseconds = 1000;
constexpr DWORD kAfterRunMilliseconds = 100;
constexpr DWORD kAfterStoppedMilliseconds = 500;

std::atomic<uint8_t> gSwitchedOut{0};
std::atomic<bool> gStartupStopAndListen{true};
std::atomic<void (*)()> gGateHook{nullptr};
std::mutex gFormatLock;
std::wstring gCommandFormat;

void waitWhile(bool (*condition)()) {
    while (condition()) {
        Sleep(kPollMilliseconds);
    }
}

}  // namespace

std::atomic<uint8_t>& keeperSwitchedOut() {
    return gSwitchedOut;
}

std::wstring keeperCommand(int startNumber) {
    std::wstring format;
    {
        std::lock_guard<std::mutex> guard(gFormatLock);
        format = gCommandFormat;
    }
    if (format.empty()) {
        format = L"OqtQuillmark.exe %d";
    }
    wchar_t command[512] = {};
    std::swprintf(command, sizeof(command) / sizeof(wchar_t), format.c_str(), startNumber);
    return command;
}

void holdKeeperForRestart() {
    MonitorState& shared = monitorState();
    const std::lock_guard<CountedLock> gate(shared.keeperGate);
    shared.keeperEnabled.store(0);
    shared.runState.store(kRunRestarting);
}

bool keeperMayBeginSeries() {
    MonitorState& shared = monitorState();
    const std::lock_guard<CountedLock> gate(shared.keeperGate);
    if (shared.keeperEnabled.load() == 0) {
        return false;
    }
    if (void (*hook)() = gGateHook.load(); hook != nullptr) {
        hook();
    }
    // A restart is complete once its new series begins: from here on the main program is kept
    // running, with the limit of starts in a row, instead of being started for ever.
    int32_t restarting = kRunRestarting;
    shared.runState.compare_exchange_strong(restarting, kRunKeep);
    return true;
}

void* keeperThread(void*) {
    MonitorState& shared = monitorState();
    if (gStartupStopAndListen.load()) {
        stopMainProgram();
        // The main thread registers the same record (switched-out byte included), so whichever
        // registration comes last, the receivers see the byte.
        setIpcCallbacks(monitorIpcCallbacks());
        startMonitorIpcMessage();
    }
    for (;;) {
        if (gSwitchedOut.load() != 0) {
            while (gSwitchedOut.load() != 0) {
                Sleep(kSwitchedOutMilliseconds);
            }
            Sleep(kPollMilliseconds);
            cleanTrayIcons();
        }
        waitWhile([] { return monitorState().runState.load() == kRunStopped; });
        waitWhile([] { return !keeperMayBeginSeries(); });
        for (int start = 0; start < kKeeperSeriesLength; ++start) {
            logNormal("Start Quillmark main program", "");
            const std::wstring command = keeperCommand(start);
            showRunningTrayState();
            hideWaitCommand(command.c_str());
            Sleep(kAfterRunMilliseconds);
            showStoppedTrayState();
            Sleep(kAfterStoppedMilliseconds);
            if (shared.runState.load() != kRunKeep) {
                break;
            }
            if (gSwitchedOut.load() != 0) {
                logNormal("[Keeper] ", "Detect user switch out event, into sleep mode");
                break;
            }
            if (start == kKeeperSeriesLength - 1) {
                logNormal("[Keeper] ", "Restart main program too many times, shutdown Keeper");
                return nullptr;
            }
        }
    }
}

void setKeeperCommandFormatForTesting(const std::wstring& format) {
    std::lock_guard<std::mutex> guard(gFormatLock);
    gCommandFormat = format;
}

void setKeeperStartupForTesting(bool stopAndListen) {
    gStartupStopAndListen.store(stopAndListen);
}

void setKeeperGateHookForTesting(void (*hook)()) {
    gGateHook.store(hook);
}
