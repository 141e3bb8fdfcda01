// Test-only receiver: starts the instruction receivers of the Message module on a channel and
// writes what they do into a journal file, one line per event, so that tests in another process
// can watch them.
//
//   qm_ipc_receiver --channel <name> --journal <file> [--log <file>] [--no-final]
//                   [--switched-out] [--no-window] [--no-lock]
//
// Journal lines: "ready" once both receivers run, "start", "stop", "restart", "final",
// "switched-out <0|1>" on each change of the registered byte, and "exit" when the final function
// has asked the program to end (exit code 0). Log lines go to <file> with the date 20260115 put
// into its name (see Log), at level 5, tag "IpcReceiver".
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/Log.h"
#include "common/Message.h"
#include "common/Tool.h"

namespace {

std::string gJournal;
std::atomic<bool> gStop{false};
std::atomic<uint8_t> gSwitchedOut{0};

void journal(const char* line) {
    FILE* file = std::fopen(gJournal.c_str(), "a");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "%s\n", line);
    std::fclose(file);
}

void onStart() {
    journal("start");
}
void onStop() {
    journal("stop");
}
void onRestart() {
    journal("restart");
}
void onFinal() {
    journal("final");
    gStop.store(true);
}

bool fixedLogClock(LogTime& time) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    time = LogTime{2026, 1, 15, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string channel;
    std::string logFile;
    bool withFinal = true;
    bool withSwitchedOut = false;
    bool withWindow = true;
    bool withLock = true;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--no-final") {
            withFinal = false;
        } else if (name == "--switched-out") {
            withSwitchedOut = true;
        } else if (name == "--no-window") {
            withWindow = false;
        } else if (name == "--no-lock") {
            withLock = false;
        } else if (i + 1 < argc && name == "--channel") {
            channel = argv[++i];
        } else if (i + 1 < argc && name == "--journal") {
            gJournal = argv[++i];
        } else if (i + 1 < argc && name == "--log") {
            logFile = argv[++i];
        } else {
            return 2;
        }
    }
    if (channel.empty() || gJournal.empty()) {
        return 2;
    }
    if (!logFile.empty()) {
        setLogClockForTesting(fixedLogClock);
        setLogState(logFile.c_str(), kLogLevelDebug);
        setLogTagForTesting("IpcReceiver");
        setLogEnabledForTesting(true);
    }
    IpcCallbacks callbacks;
    callbacks.startFunction = onStart;
    callbacks.stopFunction = onStop;
    callbacks.restartFunction = onRestart;
    callbacks.finalFunction = withFinal ? onFinal : nullptr;
    callbacks.switchedOutFlag = withSwitchedOut ? &gSwitchedOut : nullptr;
    setIpcCallbacks(callbacks);
    if (withWindow && withLock) {
        startIpcMessage(channel.c_str());
    } else if (withWindow) {
        std::thread(ipcMessageReceiverThread, _strdup(channel.c_str())).detach();
    } else if (withLock) {
        std::thread(ipcLockModeThread, _strdup(channel.c_str())).detach();
    }
    // Ready once the window can be found by its class, as a sender finds it.
    std::wstring className = utf8ToWide(channel.c_str());
    for (int i = 0; withWindow && i < 500 && FindWindowW(className.c_str(), nullptr) == nullptr;
         ++i) {
        Sleep(10);
    }
    journal("ready");
    uint8_t lastSwitchedOut = 0;
    while (!gStop.load()) {
        uint8_t switchedOut = gSwitchedOut.load();
        if (switchedOut != lastSwitchedOut) {
            lastSwitchedOut = switchedOut;
            journal(switchedOut != 0 ? "switched-out 1" : "switched-out 0");
        }
        Sleep(10);
    }
    journal("exit");
    endProcess(0);
}
