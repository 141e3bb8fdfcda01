// The worker's start-up, mode selection, control modes and end steps.
#include "worker/QuillmarkWorker.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/Log.h"
#include "common/Tool.h"
#include "monitor/MonitorMessage.h"
#include "monitor/MonitorTool.h"
#include "worker/WorkerInternal.h"

namespace {

enum class Match { Whole, Prefix };

struct ModeRow {
    const char* option;
    Match match;
    WorkerMode mode;
    bool takesMutex;
};

constexpr ModeRow kModes[] = {
    {"-stop", Match::Whole, WorkerMode::Stop, true},
    {"-allstop", Match::Whole, WorkerMode::AllStop, true},
    {"-start", Match::Whole, WorkerMode::Start, true},
    {"-restart", Match::Whole, WorkerMode::Restart, true},
    {"-monitorstart", Match::Whole, WorkerMode::MonitorStart, true},
    {"-reset", Match::Whole, WorkerMode::Reset, true},
    {"-uninstalldetect", Match::Prefix, WorkerMode::UninstallDetect, false},
    {"-delete", Match::Prefix, WorkerMode::Delete, false},
    {"-KeyToByte", Match::Prefix, WorkerMode::KeyToByte, false},
    {"-watchdog", Match::Whole, WorkerMode::Watchdog, false},
    {"-importRootCACert", Match::Whole, WorkerMode::ImportRootCACert, false},
};

constexpr unsigned long kWorkerMutexWaitMs = 200;
constexpr unsigned long kWorkerMutexPauseMs = 500;
constexpr unsigned long kWorkerMutexPatienceMs = 5000;
constexpr unsigned long kStopSequencePauseMs = 500;
constexpr int kWatchdogChaseAttempts = 10;
constexpr unsigned long kWatchdogChaseWaitMs = 500;

std::wstring adoptWide(wchar_t* text) {
    std::unique_ptr<wchar_t, worker::FreeDeleter> owner(text);
    return owner ? std::wstring(owner.get()) : std::wstring();
}

// Eleven attempts about 700 ms apart: a second control run waits for the first to finish.
void* takeWorkerMutex() {
    unsigned long slept = 0;
    for (;;) {
        void* mutex = getMutexLock(kWorkerMutexName, kWorkerMutexWaitMs);
        if (mutex != nullptr) {
            return mutex;
        }
        if (slept >= kWorkerMutexPatienceMs) {
            return nullptr;
        }
        Sleep(kWorkerMutexPauseMs);
        slept += kWorkerMutexPauseMs;
    }
}

void startHidden(const wchar_t* command) {
    hideNOWaitCommand(command);
}

// -start and -restart: a running tray program is told; otherwise it is started (and then starts
// the service itself).
void startOrTellMonitor(const char* instruction) {
    if (isProcessRunning(kMonitorProgramName)) {
        sendInstruction(kMonitorChannel, instruction);
        return;
    }
    startHidden(L"OqtQuillmarkMonitor.exe");
}

// The watchdog mutex, taken once the watchdog has ended: a watchdog that was still starting when
// Suicide went out (its receivers not yet up) is sent Suicide again until it has gone, and one
// started meanwhile finds the mutex held and ends. So no watchdog sees the tray program stop and
// resets it. Null (logged) when a watchdog outlasts every attempt.
void* takeWatchdogMutex() {
    for (int attempt = 0; attempt < kWatchdogChaseAttempts; ++attempt) {
        void* mutex = getMutexLock(kWatchdogMutexName, kWatchdogChaseWaitMs);
        if (mutex != nullptr) {
            return mutex;
        }
        sendInstruction(kWatchdogChannel, kInstructionSuicide);
    }
    logError("", "Watchdog did not end");
    return nullptr;
}

// Returns the watchdog mutex (or null), held until the caller releases it.
void* stopSequence() {
    logNormal("", "Stop area");
    sendInstruction(kWatchdogChannel, kInstructionSuicide);
    Sleep(kStopSequencePauseMs);
    void* watchdogMutex = takeWatchdogMutex();
    stopProgram(kMonitorProgramName);
    stopProgram(kServiceProgramName);
    return watchdogMutex;
}

}  // namespace

namespace worker {

std::string utf8Of(const wchar_t* text, size_t units) {
    if (units == 0) {
        return std::string();
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr,
                                    nullptr);
    if (bytes <= 0) {
        return std::string();
    }
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), result.data(), bytes, nullptr,
                        nullptr);
    return result;
}

RunState& runState() {
    static RunState state;
    return state;
}

}  // namespace worker

WorkerMode workerModeOf(const char* argumentText) {
    if (argumentText == nullptr || argumentText[0] == '\0') {
        return WorkerMode::None;
    }
    for (const ModeRow& row : kModes) {
        bool matches = row.match == Match::Whole
                           ? _stricmp(argumentText, row.option) == 0
                           : std::strncmp(argumentText, row.option, std::strlen(row.option)) == 0;
        if (matches) {
            return row.mode;
        }
    }
    return WorkerMode::None;
}

bool workerModeTakesMutex(WorkerMode mode) {
    for (const ModeRow& row : kModes) {
        if (row.mode == mode) {
            return row.takesMutex;
        }
    }
    return false;
}

std::string argumentTextOf(const wchar_t* commandLine) {
    if (commandLine == nullptr) {
        return std::string();
    }
    const wchar_t* at = commandLine;
    // The program name: quoted up to the closing quote, else up to the first blank.
    if (*at == L'"') {
        ++at;
        while (*at != L'\0' && *at != L'"') {
            ++at;
        }
        if (*at == L'"') {
            ++at;
        }
    } else {
        while (*at != L'\0' && *at != L' ' && *at != L'\t') {
            ++at;
        }
    }
    while (*at == L' ' || *at == L'\t') {
        ++at;
    }
    return worker::utf8Of(at, std::wcslen(at));
}

std::string prefixModeArguments(const char* argumentText) {
    if (argumentText == nullptr) {
        return std::string();
    }
    const char* blank = std::strchr(argumentText, ' ');
    if (blank == nullptr) {
        return std::string();
    }
    std::string arguments(blank + 1);
    if (arguments.size() > kWorkerTextSize - 1) {
        arguments.resize(kWorkerTextSize - 1);
    }
    return arguments;
}

int workerMain(const char* argumentText) {
    const char* text = argumentText != nullptr ? argumentText : "";
    worker::RunState& state = worker::runState();

    // Start-up.
    state.executePath = adoptWide(getExecutePath());
    {
        std::unique_ptr<char, worker::FreeDeleter> sessionId(generateSessionId());
        char sessionName[kWorkerTextSize] = {};
        std::snprintf(sessionName, sizeof sessionName, "QuillmarkWorker-%s",
                      sessionId ? sessionId.get() : "");
        state.sessionName = sessionName;
    }
    state.logOn.store(setLog(state.sessionName.c_str()));
    char buildTime[kWorkerTextSize] = {};
    std::snprintf(buildTime, sizeof buildTime, "%s %s", __DATE__, __TIME__);
    logNormal("Compile time: ", buildTime);
    logNormal("Command: ", text);

    // The selected mode.
    WorkerMode mode = workerModeOf(text);
    void* workerMutex = nullptr;
    bool mutexOk = true;
    if (workerModeTakesMutex(mode)) {
        workerMutex = takeWorkerMutex();
        if (workerMutex == nullptr) {
            logNormal("", "Get mutex lock time out");
            mutexOk = false;
        }
    }
    if (mutexOk) {
        switch (mode) {
            case WorkerMode::Start:
                startOrTellMonitor(kInstructionStart);
                break;
            case WorkerMode::Stop:
                sendInstruction(kMonitorChannel, kInstructionStop);
                break;
            case WorkerMode::Restart:
                startOrTellMonitor(kInstructionRestart);
                break;
            case WorkerMode::AllStop:
                releaseMutexLock(stopSequence());
                break;
            case WorkerMode::Reset: {
                void* watchdogMutex = stopSequence();
                startHidden(L"OqtQuillmarkMonitor.exe");
                // Held up to here so that no watchdog starting meanwhile saw the stop. The new
                // tray program may well start a watchdog of its own: of that one and the one
                // started below, the second finds the mutex held and ends.
                releaseMutexLock(watchdogMutex);
                logNormal("", "Reset complete");
                startHidden(L"OqtQuillmarkWorker.exe -watchdog");
                break;
            }
            case WorkerMode::UninstallDetect:
                if (!worker::runUninstallDetect(text)) {
                    return kWorkerParameterError;
                }
                break;
            case WorkerMode::Delete:
                worker::runDelete(text);
                break;
            case WorkerMode::KeyToByte:
                worker::runKeyToByte(text);
                break;
            case WorkerMode::Watchdog:
                worker::runWatchdog();
                break;
            case WorkerMode::ImportRootCACert:
                worker::runImportRootCACert();
                break;
            case WorkerMode::MonitorStart:
            case WorkerMode::None:
                break;
        }
    }

    // End steps.
    releaseMutexLock(workerMutex);
    state.executePath.clear();
    if (state.selfDelete) {
        deleteSelfDelayed();
    }
    // The debug event stays open: the debug thread may still wait on it, and the process ends
    // right after this returns.
    return 0;
}
