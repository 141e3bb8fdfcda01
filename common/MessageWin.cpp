// Message: the receiver window, the lock-mode thread and the debug-mode event (Win32 part).
#include "common/Message.h"

#include <pthread.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Log.h"
#include "common/Os.h"
#include "common/Tool.h"

namespace {

constexpr char kModuleName[] = "Message";
constexpr DWORD kWindowStyle = 8;
constexpr DWORD kLockRoundPauseMs = 50;
// After acting, the receiver waits for the hold it acted on to end, so that one hold is never
// taken for two instructions; it goes on probing as soon as it has ended, so that a hold that
// starts right after is found. The hold ends at most kLockModeHoldMs after it was found; the
// rest is the margin for a sender that a busy machine wakes late.
constexpr DWORD kLockHoldEndBoundMs = kLockModeHoldMs + kLockModeHoldMs / 2;
// A second receiver's probe holds a mutex for an instant, a sender for 200 ms. A held mutex is
// confirmed by waiting for it: the other receiver's probe lets it go at once (the wait obtains it
// and ends early), while a sender's hold outlasts the wait. Short beside the hold, so that a hold
// found late in a round is still confirmed while it lasts.
constexpr DWORD kLockConfirmWaitMs = 15;
constexpr DWORD kStartPauseMs = 500;
constexpr size_t kMutexNameMax = 511;

using Handler = void (*)();

struct MessageState {
    std::atomic<Handler> startFunction{nullptr};
    std::atomic<Handler> stopFunction{nullptr};
    std::atomic<Handler> restartFunction{nullptr};
    std::atomic<Handler> finalFunction{nullptr};
    std::atomic<std::atomic<uint8_t>*> switchedOutFlag{nullptr};
    std::atomic<bool> suicideReceived{false};
    std::atomic<HANDLE> debugEvent{nullptr};
};

MessageState gState;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using UniqueText = std::unique_ptr<char, FreeDeleter>;

// Start, Stop and Restart act alike in both receivers; only their texts differ.
struct ControlInstruction {
    const char* instruction;
    std::atomic<Handler>* function;
    const char* executeText;
    const char* missingText;
    const char* lockModeText;
};

const ControlInstruction kControlInstructions[] = {
    {kInstructionStart, &gState.startFunction, "Execute start function", "No start function",
     "Recivie start message"},
    {kInstructionStop, &gState.stopFunction, "Execute stop function", "No stop function",
     "Recivie stop message"},
    {kInstructionRestart, &gState.restartFunction, "Execute restart function",
     "No restart function", "Recivie restart message"},
};

const ControlInstruction* findControlInstruction(const char* instruction) {
    for (const ControlInstruction& row : kControlInstructions) {
        if (std::strcmp(row.instruction, instruction) == 0) {
            return &row;
        }
    }
    return nullptr;
}

void runControlFunction(const ControlInstruction& row) {
    Handler function = row.function->load();
    if (function == nullptr) {
        logNormal(row.missingText, "");
        return;
    }
    logNormal(row.executeText, "");
    function();
}

// The text of a WM_COPYDATA record, read only within its stated length. The sender includes the
// terminating NUL; a record without one inside its length (empty, cut short or unterminated) is
// refused rather than read past.
UniqueText copyDataText(const COPYDATASTRUCT* data) {
    if (data == nullptr || data->lpData == nullptr || data->cbData == 0) {
        return nullptr;
    }
    const auto* bytes = static_cast<const char*>(data->lpData);
    if (std::memchr(bytes, '\0', data->cbData) == nullptr) {
        return nullptr;
    }
    UniqueText text(static_cast<char*>(allocZeroed(data->cbData + 1)));
    if (text == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    std::memcpy(text.get(), bytes, data->cbData);
    return text;
}

void handleCopyData(const COPYDATASTRUCT* data) {
    UniqueText text = copyDataText(data);
    UniqueIpcMessage message(text != nullptr ? parseIpcMessage(text.get()) : nullptr);
    text.reset();
    if (!verifyIpcMessage(message.get())) {
        logWarning("[Warning] ", "Verify QuillmarkMessage fail");
        return;
    }
    const char* instruction = message->Instruction;
    logNormal("Receive COPYDATA message: ", instruction);
    if (std::strcmp(instruction, kInstructionSuicide) == 0) {
        logNormal("Receive message: ", instruction);
        gState.suicideReceived.store(true);
        Handler final = gState.finalFunction.load();
        if (final != nullptr) {
            logNormal("Execute final function", "");
            final();
            return;
        }
        logNormal("Execute exit", "");
        message.reset();
        endProcess(0);
    }
    const ControlInstruction* row = findControlInstruction(instruction);
    if (row == nullptr) {
        logNormal("Receive UNKNOW instruction: ", instruction);
        logNormal("Receive UNKNOW message: ", message->Message);
        return;
    }
    logNormal("Receive message: ", instruction);
    runControlFunction(*row);
}

void handleSessionChange(WPARAM code) {
    const char* text = nullptr;
    bool switchedOut = false;
    switch (code) {
        case WTS_CONSOLE_CONNECT:
            text = "Receive connect signal";
            break;
        case WTS_REMOTE_CONNECT:
            text = "Receive remote connect signal";
            break;
        case WTS_SESSION_UNLOCK:
            text = "Receive windows unlock signal";
            break;
        case WTS_CONSOLE_DISCONNECT:
            text = "Receive disconnect signal";
            switchedOut = true;
            break;
        case WTS_REMOTE_DISCONNECT:
            text = "Receive remote disconnect signal";
            switchedOut = true;
            break;
        case WTS_SESSION_LOCK:
            text = "Receive windows lock signal";
            switchedOut = true;
            break;
        default:
            logNormalInt("Receive unknow system signal: ", static_cast<int32_t>(code));
            return;
    }
    logNormal(text, "");
    std::atomic<uint8_t>* flag = gState.switchedOutFlag.load();
    if (!switchedOut) {
        if (flag != nullptr) {
            flag->store(0);
        }
        return;
    }
    if (flag != nullptr) {
        flag->store(1);
        return;
    }
    Handler final = gState.finalFunction.load();
    if (final != nullptr) {
        final();
        return;
    }
    endProcess(0);
}

// Starts a thread that takes over argument; false (argument freed) when it cannot start.
bool startDetached(void* (*body)(void*), char* argument) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, argument) != 0) {
        std::free(argument);
        return false;
    }
    pthread_detach(thread);
    return true;
}

}  // namespace

void setIpcCallbacks(const IpcCallbacks& callbacks) {
    gState.startFunction.store(callbacks.startFunction);
    gState.stopFunction.store(callbacks.stopFunction);
    gState.restartFunction.store(callbacks.restartFunction);
    gState.finalFunction.store(callbacks.finalFunction);
    gState.switchedOutFlag.store(callbacks.switchedOutFlag);
}

bool ipcSuicideReceived() {
    return gState.suicideReceived.load();
}

LRESULT CALLBACK ipcWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA:
            handleCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
            break;
        case WM_WTSSESSION_CHANGE:
            handleSessionChange(wParam);
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void runIpcReceiverWindow(const char* channel, WNDPROC procedure) {
    const std::wstring className = utf8ToWide(channel);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    bool registered = false;
    // A window of this class elsewhere means another instance owns the channel.
    if (!className.empty() && FindWindowW(className.c_str(), nullptr) == nullptr) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = className.c_str();
        registered = RegisterClassW(&windowClass) != 0;
    }
    HWND window = nullptr;
    if (registered) {
        window = CreateWindowExW(0, className.c_str(), className.c_str(), kWindowStyle, 0, 0, 0, 0,
                                 nullptr, nullptr, instance, nullptr);
    }
    if (window != nullptr) {
        logNormal("Windows API IPC message channel: ", channel);
        logNormal("Start Windows API IPC message receiver: ", "Success");
        WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (IsWindow(window)) {
            DestroyWindow(window);
        }
    }
    if (registered) {
        UnregisterClassW(className.c_str(), instance);
    }
    logWarning("[Catastrophic failure] Start Windows API IPC message receiver: ", "Fail");
}

void* ipcMessageReceiverThread(void* channel) {
    UniqueText name(static_cast<char*>(channel));
    if (name == nullptr) {
        qm::logNullParameter("inputChannel", kModuleName, __LINE__);
        return nullptr;
    }
    runIpcReceiverWindow(name.get(), ipcWndProc);
    return nullptr;
}

namespace {

// The object name "<user>_<name>" of an instruction mutex; "" when the user is unknown.
std::wstring instructionMutexObjectName(const char* name) {
    wchar_t* user = getCurrentUserName();
    if (user == nullptr) {
        return std::wstring();
    }
    std::wstring objectName = user;
    std::free(user);
    objectName += L'_';
    objectName += utf8ToWide(name);
    if (objectName.size() > kMutexNameMax) {
        objectName.resize(kMutexNameMax);
    }
    return objectName;
}

MutexProbe probeMutexObject(const std::wstring& objectName, DWORD waitMs = 0) {
    if (objectName.empty()) {
        return MutexProbe::Unavailable;
    }
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, TRUE)) {
        return MutexProbe::Unavailable;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, TRUE};
    HANDLE mutex = CreateMutexW(&attributes, FALSE, objectName.c_str());
    if (mutex == nullptr) {
        return MutexProbe::Unavailable;
    }
    DWORD waited = WaitForSingleObject(mutex, waitMs);
    MutexProbe probe = MutexProbe::Unavailable;
    switch (waited) {
        case WAIT_OBJECT_0:
            ReleaseMutex(mutex);
            probe = MutexProbe::Free;
            break;
        case WAIT_ABANDONED:
            // The holder ended while holding it: it was held, and the probe now owns it.
            ReleaseMutex(mutex);
            probe = MutexProbe::Held;
            break;
        case WAIT_TIMEOUT:
            probe = MutexProbe::Held;
            break;
        default:
            break;
    }
    CloseHandle(mutex);
    return probe;
}

}  // namespace

MutexProbe probeInstructionMutex(const char* name) {
    if (name == nullptr) {
        return MutexProbe::Unavailable;
    }
    return probeMutexObject(instructionMutexObjectName(name));
}

void* ipcLockModeThread(void* inputChannel) {
    UniqueText channel(static_cast<char*>(inputChannel));
    if (channel == nullptr) {
        qm::logNullParameter("inputChannel", kModuleName, __LINE__);
        return nullptr;
    }
    // Probed in this order every round.
    const char* const order[] = {kInstructionSuicide, kInstructionMonitorStart, kInstructionStart,
                                 kInstructionStop, kInstructionRestart};
    // Named once: a round must stay short beside a sender's 200 ms hold.
    std::wstring names[5];
    for (size_t i = 0; i < 5; ++i) {
        names[i] = instructionMutexObjectName((std::string(channel.get()) + order[i]).c_str());
    }
    while (!gState.suicideReceived.load()) {
        for (size_t i = 0; i < 5; ++i) {
            if (probeMutexObject(names[i]) != MutexProbe::Held) {
                continue;
            }
            const ULONGLONG found = GetTickCount64();
            // A second receiver polling the same channel holds each mutex for an instant while
            // it probes; a sender holds it for 200 ms. Only a hold that lasts is an instruction.
            if (probeMutexObject(names[i], kLockConfirmWaitMs) != MutexProbe::Held) {
                continue;
            }
            const char* instruction = order[i];
            if (std::strcmp(instruction, kInstructionSuicide) == 0) {
                // The window may have taken the same Suicide while this round ran.
                if (gState.suicideReceived.load()) {
                    break;
                }
                logNormal("IPC Message Lock Mode: ", "Recivie Suicide message");
                Handler final = gState.finalFunction.load();
                if (final != nullptr) {
                    logNormal("IPC Message Lock Mode: ", "Exec final function");
                    final();
                }
                endProcess(0);
            }
            if (std::strcmp(instruction, kInstructionMonitorStart) == 0) {
                logNormal("IPC Message Lock Mode: ", "Recivie MonitorStart message");
                hideNOWaitCommand();
            } else {
                const ControlInstruction* row = findControlInstruction(instruction);
                logNormal("IPC Message Lock Mode: ", row->lockModeText);
                runControlFunction(*row);
            }
            // A handler that outlasted the bound saw this hold end long ago: anything held now
            // is a new instruction, left to the next probe.
            const ULONGLONG elapsed = GetTickCount64() - found;
            if (elapsed < kLockHoldEndBoundMs) {
                probeMutexObject(names[i], static_cast<DWORD>(kLockHoldEndBoundMs - elapsed));
            }
        }
        Sleep(kLockRoundPauseMs);
    }
    return nullptr;
}

bool startIpcMessage(const char* channel) {
    if (channel == nullptr) {
        qm::logNullParameter("inputChannel", kModuleName, __LINE__);
        return false;
    }
    char* windowCopy = duplicateString(channel);
    char* lockCopy = duplicateString(channel);
    if (windowCopy == nullptr || lockCopy == nullptr) {
        std::free(windowCopy);
        std::free(lockCopy);
        qm::logAllocationFailure(kModuleName, __LINE__);
        return false;
    }
    bool windowStarted = startDetached(ipcMessageReceiverThread, windowCopy);
    bool lockStarted = startDetached(ipcLockModeThread, lockCopy);
    if ((getOsFlags() & kOsFlagXp) != 0) {
        logNormal("IPC mode: ", "Windows API mode");
    } else {
        logNormal("IPC mode: ", "Cross platform + Windows API mode");
        Sleep(kStartPauseMs);
    }
    return windowStarted || lockStarted;
}

bool openDebugModeEvent() {
    if (gState.debugEvent.load() != nullptr) {
        return false;
    }
    HANDLE event = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, L"OqtQuillmark_DEBUG_MODE");
    if (event == nullptr) {
        return false;
    }
    HANDLE expected = nullptr;
    if (!gState.debugEvent.compare_exchange_strong(expected, event)) {
        CloseHandle(event);
        return false;
    }
    return true;
}

HANDLE debugModeEvent() {
    return gState.debugEvent.load();
}

void endProcess(unsigned exitCode) {
    // Every log line is closed as it is written, so nothing is lost by skipping the exit
    // handlers; running them while listener threads still serve could crash those threads.
    TerminateProcess(GetCurrentProcess(), exitCode);
    // TerminateProcess on the own process does not return; should it fail, do not fall through.
    for (;;) {
        Sleep(INFINITE);
    }
}
