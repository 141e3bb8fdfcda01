// MonitorMessage: instruction sending of the tray program and the worker, and their receivers.
#include "monitor/MonitorMessage.h"

#include <pthread.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "common/Os.h"
#include "common/Tool.h"
#include "monitor/MonitorTool.h"

namespace {

constexpr char kModuleName[] = "Message";
constexpr size_t kMutexNameBytes = 512;
constexpr size_t kWindowLogBytes = 256;
constexpr DWORD kStartPauseMs = 500;
// A receiver whose window hangs must not hold up the sender: stoppers and the tray program's Stop
// and Quit wait on this send, and the lock half of the send follows it.
constexpr UINT kWindowSendTimeoutMs = 5000;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using UniqueText = std::unique_ptr<char, FreeDeleter>;

// The JSON lookup behind parseIpcMessage is one process-wide parser: the tray program's two
// receiver windows take turns.
std::mutex parseLock;

void warnNull(const char* name, int line) {
    qm::logNullParameter(name, kModuleName, line);
}

void allocationFailed(int line) {
    qm::logAllocationFailure(kModuleName, line);
}

// The window half of a send: the record's JSON text by WM_COPYDATA, when the channel's window
// exists.
void sendByWindow(const char* to, QuillmarkMessage* (*build)(const char*, const char*, const char*),
                  const char* from, const char* instruction) {
    const std::wstring className = utf8ToWide(to);
    HWND window = className.empty() ? nullptr : FindWindowW(className.c_str(), nullptr);
    if (window == nullptr) {
        char target[kWindowLogBytes] = {};
        safeCopyString(target, sizeof(target), to);
        logError("sendIPCMsgWin can't find window ", target);
        return;
    }
    UniqueIpcMessage record(build(from, to, instruction));
    UniqueText json(record != nullptr ? formatMessageJson(record.get()) : nullptr);
    record.reset();
    if (json == nullptr) {
        return;
    }
    COPYDATASTRUCT data{};
    data.dwData = 0;
    data.cbData = static_cast<DWORD>(std::strlen(json.get()) + 1);
    data.lpData = json.get();
    DWORD_PTR result = 0;
    // Blocking: a tray program thread that sends from inside its Stop or Restart handler must not
    // take another instruction meanwhile, whose handler would wait for the one it interrupted.
    const LRESULT sent =
        SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                            SMTO_ABORTIFHUNG | SMTO_BLOCK, kWindowSendTimeoutMs, &result);
    const DWORD error = GetLastError();
    // A receiver that ends inside its handler (the watchdog and the programs without a final
    // function, on Suicide) gives the send no result either, but its window goes with its thread.
    // Only a window that is still there failed to take the message.
    if (sent == 0 && IsWindow(window)) {
        logErrorInt("sendIPCMsgWin window send fail: ", static_cast<int32_t>(error));
    }
}

// The lock half of a send: the instruction's mutex held for 200 ms, whether or not a window took
// the message.
void sendByLock(const char* to, const char* instruction) {
    logNormal("sendIPCMsgWin: ", "Lock Mode");
    char name[kMutexNameBytes] = {};
    std::snprintf(name, sizeof(name), "%s%s", to, instruction);
    void* mutex = getMutexLock(name, kLockModeHoldMs);
    Sleep(kLockModeHoldMs);
    releaseMutexLock(mutex);
}

QuillmarkMessage* buildMonitorRecord(const char* /*from*/, const char* to,
                                     const char* /*instruction*/) {
    return buildMonitorMessage(to);
}

void logFinalResult(bool result) {
    if (!isLogEnabled()) {
        return;
    }
    if (result) {
        logNormal("Send message final result: ", "Success");
    } else {
        logError("Send message final result: ", "Fail");
    }
}

bool startDetached(void* (*body)(void*), char* argument) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, argument) != 0) {
        std::free(argument);
        return false;
    }
    pthread_detach(thread);
    return true;
}

// The "OqtMonitor" receiver window's thread: as common/Message.h's ipcMessageReceiverThread, with
// ipcMessageWndProc.
void* monitorReceiverThread(void* channel) {
    UniqueText name(static_cast<char*>(channel));
    runIpcReceiverWindow(name.get(), ipcMessageWndProc);
    return nullptr;
}

void logIpcMode() {
    if ((getOsFlags() & kOsFlagXp) != 0) {
        logNormal("IPC mode: ", "Windows API mode");
        return;
    }
    logNormal("IPC mode: ", "Cross platform + Windows API mode");
    Sleep(kStartPauseMs);
}

// The record of a WM_COPYDATA message, read only within its stated length: the sender includes
// the terminating NUL, and a record without one inside its length is refused.
UniqueIpcMessage parseCopyData(const COPYDATASTRUCT* data) {
    if (data == nullptr || data->lpData == nullptr || data->cbData == 0) {
        return nullptr;
    }
    const auto* bytes = static_cast<const char*>(data->lpData);
    if (std::memchr(bytes, '\0', data->cbData) == nullptr) {
        return nullptr;
    }
    const std::lock_guard<std::mutex> guard(parseLock);
    return UniqueIpcMessage(parseIpcMessage(bytes));
}

void runHandler(void (*handler)()) {
    if (handler != nullptr) {
        handler();
    }
}

}  // namespace

// ---- Tray program's sending side --------------------------------------------------------------

QuillmarkMessage* buildMonitorMessage(const char* target) {
    if (target == nullptr) {
        return nullptr;
    }
    return buildMessage(kMonitorSenderName, target, kInstructionSuicide);
}

bool sendIPCMsgWin(const char* kcstrInputTo) {
    if (kcstrInputTo == nullptr) {
        warnNull("kcstrInputTo", __LINE__);
        return true;
    }
    logNormal("sendIPCMsgWin: ", "Windows API Mode");
    sendByWindow(kcstrInputTo, buildMonitorRecord, kMonitorSenderName, kInstructionSuicide);
    sendByLock(kcstrInputTo, kInstructionSuicide);
    return true;
}

bool sendInstruction(const char* target) {
    if (target == nullptr) {
        warnNull("kcstrInputTo", __LINE__);
        return false;
    }
    logNormal("Send message mode: ", "Windows api mode");
    const bool result = sendIPCMsgWin(target);
    logFinalResult(result);
    return result;
}

// ---- Worker's sending side ----------------------------------------------------------------------

QuillmarkMessage* buildMessage(const char* from, const char* to, const char* instruction) {
    if (from == nullptr || to == nullptr || instruction == nullptr) {
        return nullptr;
    }
    return buildIpcMessage(from, to, instruction, "", getTimeValue());
}

bool sendIPCMsgWin(const char* kcstrInputFrom, const char* kcstrInputTo,
                   const char* kcstrInputInstruction) {
    if (kcstrInputFrom == nullptr) {
        warnNull("kcstrInputFrom", __LINE__);
        return true;
    }
    if (kcstrInputTo == nullptr) {
        warnNull("kcstrInputTo", __LINE__);
        return true;
    }
    if (kcstrInputInstruction == nullptr) {
        warnNull("kcstrInputInstruction", __LINE__);
        return true;
    }
    logNormal("sendIPCMsgWin: ", "Windows API Mode");
    sendByWindow(kcstrInputTo, buildMessage, kcstrInputFrom, kcstrInputInstruction);
    sendByLock(kcstrInputTo, kcstrInputInstruction);
    return true;
}

bool sendInstruction(const char* to, const char* instruction) {
    if (to == nullptr) {
        warnNull("kcstrInputTo", __LINE__);
        return false;
    }
    if (instruction == nullptr || *instruction == '\0') {
        logWarning("[Warning] ", "Instruction is empty");
        return false;
    }
    logNormal("Send message mode: ", "Windows api mode");
    const bool result = sendIPCMsgWin(kWorkerSenderName, to, instruction);
    logFinalResult(result);
    return result;
}

// ---- Receivers
// ------------------------------------------------------------------------------------

bool startMonitorLockMode() {
    char* channel = duplicateString(kMonitorChannel);
    if (channel == nullptr) {
        allocationFailed(__LINE__);
        return false;
    }
    return startDetached(ipcLockModeThread, channel);
}

bool startMonitorIpcMessage() {
    char* windowCopy = duplicateString(kMonitorIpcChannel);
    char* lockCopy = duplicateString(kMonitorIpcChannel);
    if (windowCopy == nullptr || lockCopy == nullptr) {
        std::free(windowCopy);
        std::free(lockCopy);
        allocationFailed(__LINE__);
        return false;
    }
    const bool windowStarted = startDetached(monitorReceiverThread, windowCopy);
    const bool lockStarted = startDetached(ipcLockModeThread, lockCopy);
    logIpcMode();
    return windowStarted || lockStarted;
}

LRESULT CALLBACK ipcMessageWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const std::lock_guard<std::mutex> guard(parseLock);
        return ipcWndProc(window, message, wParam, lParam);
    }
    return ipcWndProc(window, message, wParam, lParam);
}

void handleMonitorCopyData(const COPYDATASTRUCT* data, const IpcCallbacks& handlers) {
    UniqueIpcMessage record = parseCopyData(data);
    if (!verifyIpcMessage(record.get())) {
        logWarning("", "Verify QuillmarkMessage fail");
        return;
    }
    const char* instruction = record->Instruction;
    logNormal("Receive COPYDATA message: ", instruction);
    if (std::strcmp(instruction, kInstructionMonitorStart) == 0 ||
        std::strcmp(instruction, kInstructionStart) == 0) {
        runHandler(handlers.startFunction);
        return;
    }
    if (std::strcmp(instruction, kInstructionStop) == 0) {
        runHandler(handlers.stopFunction);
        return;
    }
    if (std::strcmp(instruction, kInstructionRestart) == 0) {
        runHandler(handlers.restartFunction);
        return;
    }
    if (std::strcmp(instruction, kInstructionSuicide) == 0) {
        runHandler(handlers.finalFunction);
        return;
    }
    logNormal("Receive unknow instruction: ", instruction);
    logNormal("Receive unknow message: ", record->Message);
}

bool startWatchdogIpcMessage() {
    return startIpcMessage(kWatchdogChannel);
}
