// Message: the receiver window, the lock-mode thread and the debug-mode event (Win32 part).
#include "common/Message.h"

#include <pthread.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "common/Log.h"
#include "common/Os.h"
#include "common/Tool.h"
#include "common/win/Handles.h"

namespace {

constexpr char kModuleName[] = "Message";
constexpr DWORD kWindowStyle = 8;
constexpr DWORD kLockRoundPauseMs = 50;
// While a hold it acted on lasts, or a handler runs, the lock-mode thread probes the other
// mutexes in steps this short, so that a hold that begins meanwhile is found early in its time.
constexpr DWORD kLockWatchStepMs = 10;
// A hold is watched until it ends; this only keeps a mutex that somebody holds for ever from
// being one instruction for ever. Far beyond a sender's 200 ms, so that a sender a busy machine
// wakes late is still one instruction.
constexpr DWORD kLockWatchLimitMs = 2000;
// A second receiver's probe holds a mutex for an instant, a sender for 200 ms. A held mutex is
// confirmed by waiting for it: the other receiver's probe lets it go at once (the wait obtains it
// and ends early), while a sender's hold outlasts the wait. Short beside the hold, so that a hold
// found late in a round is still confirmed while it lasts.
constexpr DWORD kLockConfirmWaitMs = 15;
// Instructions found while a handler runs wait for it in the order found. A handler that never
// returns must not let them pile up without end: past this many, further holds are dropped.
constexpr size_t kLockPendingMax = 16;
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
    std::atomic<uint64_t> lockModeIdleRounds{0};
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

// The instruction mutex, created or opened with full access for every account, as the senders'
// getMutexLock makes it; empty when it cannot be had.
UniqueHandle openMutexObject(const std::wstring& objectName) {
    if (objectName.empty()) {
        return UniqueHandle();
    }
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, TRUE)) {
        return UniqueHandle();
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, TRUE};
    return UniqueHandle(CreateMutexW(&attributes, FALSE, objectName.c_str()));
}

enum class MutexWait {
    Obtained,   // nobody held it (let go again at once)
    Abandoned,  // its holder ended while holding it (let go again at once)
    Held,
    Failed
};

MutexWait waitForMutex(HANDLE mutex, DWORD waitMs) {
    switch (WaitForSingleObject(mutex, waitMs)) {
        case WAIT_OBJECT_0:
            ReleaseMutex(mutex);
            return MutexWait::Obtained;
        case WAIT_ABANDONED:
            ReleaseMutex(mutex);
            return MutexWait::Abandoned;
        case WAIT_TIMEOUT:
            return MutexWait::Held;
        default:
            return MutexWait::Failed;
    }
}

MutexProbe probeMutexObject(const std::wstring& objectName) {
    UniqueHandle mutex = openMutexObject(objectName);
    if (!mutex) {
        return MutexProbe::Unavailable;
    }
    switch (waitForMutex(mutex.get(), 0)) {
        case MutexWait::Obtained:
            return MutexProbe::Free;
        case MutexWait::Abandoned:  // it was held, and its sender is gone
        case MutexWait::Held:
            return MutexProbe::Held;
        case MutexWait::Failed:
            break;
    }
    return MutexProbe::Unavailable;
}

constexpr size_t kLockInstructionCount = 5;
// Probed in this order every round.
constexpr const char* kLockModeOrder[kLockInstructionCount] = {
    kInstructionSuicide, kInstructionMonitorStart, kInstructionStart, kInstructionStop,
    kInstructionRestart};

// MonitorStart, Start, Stop and Restart as the lock mode acts on them.
void actOnLockModeInstruction(const char* instruction) {
    if (std::strcmp(instruction, kInstructionMonitorStart) == 0) {
        logNormal("IPC Message Lock Mode: ", "Recivie MonitorStart message");
        hideNOWaitCommand();
        return;
    }
    const ControlInstruction* row = findControlInstruction(instruction);
    if (row == nullptr) {
        return;
    }
    logNormal("IPC Message Lock Mode: ", row->lockModeText);
    runControlFunction(*row);
}

[[noreturn]] void actOnLockModeSuicide() {
    logNormal("IPC Message Lock Mode: ", "Recivie Suicide message");
    Handler final = gState.finalFunction.load();
    if (final != nullptr) {
        logNormal("IPC Message Lock Mode: ", "Exec final function");
        final();
    }
    endProcess(0);
}

// A short-lived thread that sets an event as it ends, so that the lock-mode thread can wait for
// several at once and join each as it ends.
class SignallingThread {
public:
    SignallingThread() : ended_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    SignallingThread(const SignallingThread&) = delete;
    SignallingThread& operator=(const SignallingThread&) = delete;
    ~SignallingThread() { join(); }

    // False when no thread could be started: the caller does the work itself.
    bool start(void (*body)(void*), void* argument) {
        if (!ended_ || running_ || !ResetEvent(ended_.get())) {
            return false;
        }
        body_ = body;
        argument_ = argument;
        if (pthread_create(&thread_, nullptr, run, this) != 0) {
            return false;
        }
        running_ = true;
        return true;
    }
    bool running() const { return running_; }
    HANDLE endedEvent() const { return ended_.get(); }
    // Joins the thread if it has ended; true when it had.
    bool joinIfEnded() {
        if (!running_ || WaitForSingleObject(ended_.get(), 0) != WAIT_OBJECT_0) {
            return false;
        }
        join();
        return true;
    }
    void join() {
        if (running_) {
            pthread_join(thread_, nullptr);
            running_ = false;
        }
    }

private:
    static void* run(void* self) {
        auto* thread = static_cast<SignallingThread*>(self);
        thread->body_(thread->argument_);
        SetEvent(thread->ended_.get());
        return nullptr;
    }

    UniqueHandle ended_;
    pthread_t thread_{};
    bool running_ = false;
    void (*body_)(void*) = nullptr;
    void* argument_ = nullptr;
};

// One watched hold: its mutex, and the thread that waits on it until the hold ends.
struct HoldWatch {
    UniqueHandle mutex;
    UniqueHandle ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // the watcher waits now
    std::atomic<bool> endedEarly{false};  // the hold ended before the watcher got to wait
    SignallingThread thread;              // declared last: joined before the handles close
};

// Waits on a held instruction mutex until its hold ends (or the limit passes). Queued on the
// mutex the whole time, the wait takes it the moment its sender lets go, so that a hold which
// begins right after, even 1 ms later, is seen as a new one and not as the same.
void watchHold(void* argument) {
    auto* watch = static_cast<HoldWatch*>(argument);
    SetEvent(watch->ready.get());
    if (watch->endedEarly.load()) {
        return;
    }
    const DWORD waited = WaitForSingleObject(watch->mutex.get(), kLockWatchLimitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        ReleaseMutex(watch->mutex.get());
    }
}

void runLockModeHandler(void* instruction) {
    actOnLockModeInstruction(static_cast<const char*>(instruction));
}

// The lock-mode receiver of one channel. Each hold it acts on is watched by a thread of its own
// until that hold itself ends, however long the handler takes, so one hold is one instruction
// and a hold that begins after it is another. Handlers run one at a time on a short-lived
// thread, so that the probes go on while they run; what is found meanwhile waits for them in the
// order found.
class LockModeReceiver {
public:
    explicit LockModeReceiver(const char* channel) {
        for (size_t i = 0; i < kLockInstructionCount; ++i) {
            // Named once: a round must stay short beside a sender's 200 ms hold.
            names_[i] =
                instructionMutexObjectName((std::string(channel) + kLockModeOrder[i]).c_str());
        }
    }

    void run() {
        while (!gState.suicideReceived.load()) {
            for (HoldWatch& watch : watches_) {
                // A hold that has ended: its mutex is probed again at once.
                if (watch.thread.joinIfEnded()) {
                    watch.mutex.reset();
                }
            }
            handler_.joinIfEnded();
            probeRound();
            startNextHandler();
            if (!busy()) {
                gState.lockModeIdleRounds.fetch_add(1);
                Sleep(kLockRoundPauseMs);
                continue;
            }
            waitForAnEnd(kLockWatchStepMs);
        }
    }

private:
    bool busy() const {
        if (handler_.running() || !pending_.empty()) {
            return true;
        }
        for (const HoldWatch& watch : watches_) {
            if (watch.thread.running()) {
                return true;
            }
        }
        return false;
    }

    // Until the handler or a watched hold ends, at most waitMs.
    void waitForAnEnd(DWORD waitMs) const {
        HANDLE events[kLockInstructionCount + 1];
        DWORD count = 0;
        if (handler_.running()) {
            events[count++] = handler_.endedEvent();
        }
        for (const HoldWatch& watch : watches_) {
            if (watch.thread.running()) {
                events[count++] = watch.thread.endedEvent();
            }
        }
        if (count == 0) {
            Sleep(waitMs);
            return;
        }
        WaitForMultipleObjects(count, events, FALSE, waitMs);
    }

    void queue(size_t index) {
        if (pending_.size() < kLockPendingMax) {
            pending_.push_back(index);
        }
    }

    // One probe of every mutex whose hold is not already watched.
    void probeRound() {
        for (size_t i = 0; i < kLockInstructionCount; ++i) {
            if (watches_[i].mutex) {
                continue;
            }
            UniqueHandle mutex = openMutexObject(names_[i]);
            if (!mutex) {
                continue;
            }
            switch (waitForMutex(mutex.get(), 0)) {
                case MutexWait::Abandoned:
                    // Its sender ended while holding it: that hold is over, and counts once.
                    queue(i);
                    break;
                case MutexWait::Held:
                    confirm(i, std::move(mutex));
                    break;
                case MutexWait::Obtained:
                case MutexWait::Failed:
                    break;
            }
        }
    }

    // A second receiver polling the same channel holds each mutex for an instant while it
    // probes; a sender holds it for 200 ms. Only a hold that lasts is an instruction.
    void confirm(size_t index, UniqueHandle mutex) {
        switch (waitForMutex(mutex.get(), kLockConfirmWaitMs)) {
            case MutexWait::Held:
                queue(index);
                // Its handler need not wait for the watcher to get going.
                startNextHandler();
                watch(watches_[index], std::move(mutex));
                break;
            case MutexWait::Abandoned:
                queue(index);
                break;
            case MutexWait::Obtained:
            case MutexWait::Failed:
                break;
        }
    }

    void watch(HoldWatch& watch, UniqueHandle mutex) {
        watch.mutex = std::move(mutex);
        watch.endedEarly.store(false);
        if (!watch.ready || !ResetEvent(watch.ready.get()) ||
            !watch.thread.start(watchHold, &watch)) {
            // No thread to watch it: wait for its end here, the probes paused meanwhile.
            waitForMutex(watch.mutex.get(), kLockWatchLimitMs);
            watch.mutex.reset();
            return;
        }
        // Until the watcher waits on the mutex, this thread does, so that no moment of the hold
        // goes unwatched however late the watcher starts.
        HANDLE handles[2] = {watch.mutex.get(), watch.ready.get()};
        const DWORD waited = WaitForMultipleObjects(2, handles, FALSE, kLockWatchLimitMs);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED_0) {
            // Told before the mutex is let go, so that the watcher never waits on a new hold.
            watch.endedEarly.store(true);
            ReleaseMutex(watch.mutex.get());
        }
    }

    void startNextHandler() {
        if (handler_.running() || pending_.empty()) {
            return;
        }
        const char* instruction = kLockModeOrder[pending_.front()];
        pending_.pop_front();
        if (std::strcmp(instruction, kInstructionSuicide) == 0) {
            // The window may have taken the same Suicide meanwhile: then this thread just ends.
            if (!gState.suicideReceived.load()) {
                actOnLockModeSuicide();
            }
            return;
        }
        if (!handler_.start(runLockModeHandler,
                            const_cast<void*>(static_cast<const void*>(instruction)))) {
            actOnLockModeInstruction(instruction);
        }
    }

    std::wstring names_[kLockInstructionCount];
    HoldWatch watches_[kLockInstructionCount];
    SignallingThread handler_;
    std::deque<size_t> pending_;  // found, not yet acted on, in the order found
};

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
    LockModeReceiver receiver(channel.get());
    receiver.run();
    return nullptr;
}

uint64_t ipcLockModeIdleRoundsForTesting() {
    return gState.lockModeIdleRounds.load();
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
