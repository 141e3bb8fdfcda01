// MonitorMessage: the senders of the tray program and the worker against receivers in real
// child processes (the tray program's "OqtMonitor" and lock-mode receivers, the watchdog's, and a
// service stand-in for the tray program's stopper), the argument checks, and the main window's
// handling of WM_COPYDATA.
#include "monitor/MonitorMessage.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "NamedProcess.h"
#include "common/Log.h"
#include "common/Tool.h"
#include "monitor/MonitorTool.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"

namespace {

std::string narrow(const std::wstring& wide) {
    return std::string(wide.begin(), wide.end());
}

std::wstring gJournal;

void journal(const char* line) {
    FILE* file = _wfopen(gJournal.c_str(), L"a");
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
    endProcess(3);
}

std::atomic<uint8_t> gSwitchedOut{0};

bool waitForWindow(const wchar_t* className) {
    for (int i = 0; i < 500; ++i) {
        if (FindWindowW(className, nullptr) != nullptr) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

}  // namespace

// Receivers of the tray program or the watchdog. Arguments: journal file, ready event, which
// receivers ("monitor-ipc", "monitor-lock" or "watchdog").
QM_TEST_CHILD_MAIN(receivers) {
    gJournal = arguments.at(0);
    const std::wstring& kind = arguments.at(2);
    IpcCallbacks callbacks;
    if (kind == L"watchdog") {
        // The worker registers only a switched-out byte.
        callbacks.switchedOutFlag = &gSwitchedOut;
        setIpcCallbacks(callbacks);
        startWatchdogIpcMessage();
        waitForWindow(L"OqtQuillmarkWatchdog");
    } else {
        callbacks.startFunction = onStart;
        callbacks.stopFunction = onStop;
        callbacks.restartFunction = onRestart;
        callbacks.finalFunction = onFinal;
        setIpcCallbacks(callbacks);
        if (kind == L"monitor-ipc") {
            startMonitorIpcMessage();
            waitForWindow(L"OqtMonitor");
        } else {
            startMonitorLockMode();
        }
    }
    TestEvent(arguments.at(1)).set();
    Sleep(60000);
    return 1;
}

// The service's receivers, as a stand-in copied under the service's file name. Argument: ready
// event.
QM_TEST_CHILD_MAIN(serviceStandIn) {
    startIpcMessage(kServiceChannel);
    waitForWindow(L"OqtQuillmark.exe");
    TestEvent(arguments.at(0)).set();
    Sleep(60000);
    return 1;
}

namespace {

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

template <typename Condition>
bool waitFor(Condition condition, int milliseconds = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

std::string uniqueChannel() {
    return narrow(uniqueObjectName(L"QmMonitorChannel"));
}

// ---- Sending ------------------------------------------------------------------------------

TEST(MonitorMessageTest, SendToAChannelWithoutWindowStillHoldsTheLockAndSaysSuccess) {
    LogCapture log;
    const std::string channel = uniqueChannel();
    struct Case {
        const char* name;
        const char* instruction;
        bool worker;
    };
    const Case cases[] = {
        {"worker Stop", kInstructionStop, true},
        {"tray program Suicide", kInstructionSuicide, false},
    };
    for (const Case& row : cases) {
        log.clear();
        const std::string mutexName = channel + row.instruction;
        std::atomic<bool> result{false};
        std::thread sender([&] {
            result = row.worker ? sendInstruction(channel.c_str(), row.instruction)
                                : sendInstruction(channel.c_str());
        });
        EXPECT_TRUE(waitFor(
            [&] { return probeInstructionMutex(mutexName.c_str()) == MutexProbe::Held; }, 5000))
            << row.name;
        sender.join();
        EXPECT_TRUE(result) << row.name;
        EXPECT_EQ(probeInstructionMutex(mutexName.c_str()), MutexProbe::Free) << row.name;
        EXPECT_TRUE(log.contains("sendIPCMsgWin can't find window " + channel)) << row.name;
        EXPECT_TRUE(log.contains("sendIPCMsgWin: Lock Mode")) << row.name;
        EXPECT_TRUE(log.contains("Send message final result: Success")) << row.name;
    }
}

// A receiver whose window hangs: the send gives up within its bound and the lock half follows, so
// stoppers and the tray program's Stop and Quit never freeze on it.
TEST(MonitorMessageTest, SendToAHungWindowGivesUpAndStillHoldsTheLock) {
    const std::string channel = uniqueChannel();
    const std::wstring className = utf8ToWide(channel.c_str());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    std::atomic<HWND> window{nullptr};
    std::thread hung([&] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = className.c_str();
        RegisterClassW(&windowClass);
        HWND own = CreateWindowExW(0, className.c_str(), L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                   windowClass.hInstance, nullptr);
        window = own;
        // Hung: no message is handled until the test lets go.
        WaitForSingleObject(release, 60000);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        DestroyWindow(own);
        UnregisterClassW(className.c_str(), windowClass.hInstance);
    });
    ASSERT_TRUE(waitFor([&] { return window.load() != nullptr; }, 5000));
    LogCapture log;
    const ULONGLONG began = GetTickCount64();
    std::atomic<bool> done{false};
    std::thread sender([&] {
        sendInstruction(channel.c_str(), kInstructionStop);
        done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done.load(); }, 20000)) << "the send waits on a hung window";
    EXPECT_LT(GetTickCount64() - began, 15000U);
    SetEvent(release);
    sender.join();
    hung.join();
    CloseHandle(release);
    EXPECT_TRUE(log.contains("sendIPCMsgWin window send fail: "));
    EXPECT_TRUE(log.contains("sendIPCMsgWin: Lock Mode"));
}

// The tray program sends from inside its Stop and Restart handlers, which run one at a time: a
// send that took another instruction while it waits would run that handler inside the one it
// interrupted, and the second would wait for the first for ever.
HWND gSenderWindow = nullptr;
std::atomic<int> gNestedAnswer{-1};

LRESULT CALLBACK sendBackWhileHandling(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        DWORD_PTR result = 0;
        gNestedAnswer =
            SendMessageTimeoutW(gSenderWindow, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result) != 0 ? 1
                                                                                               : 0;
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(MonitorMessageTest, ASendTakesNoOtherMessageWhileItWaits) {
    const std::string channel = uniqueChannel();
    const std::wstring className = utf8ToWide(channel.c_str());
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW senderClass{};
    senderClass.lpfnWndProc = DefWindowProcW;
    senderClass.hInstance = instance;
    senderClass.lpszClassName = L"QmSenderWindow";
    RegisterClassW(&senderClass);
    gSenderWindow = CreateWindowExW(0, L"QmSenderWindow", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                    instance, nullptr);
    ASSERT_NE(gSenderWindow, nullptr);
    std::atomic<HWND> receiver{nullptr};
    std::atomic<DWORD> receiverThreadId{0};
    std::thread receiverThread([&] {
        receiverThreadId = GetCurrentThreadId();
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = sendBackWhileHandling;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = className.c_str();
        RegisterClassW(&windowClass);
        HWND own = CreateWindowExW(0, className.c_str(), L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                   instance, nullptr);
        receiver = own;
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
        DestroyWindow(own);
        UnregisterClassW(className.c_str(), instance);
    });
    ASSERT_TRUE(waitFor([&] { return receiver.load() != nullptr; }, 5000));
    gNestedAnswer = -1;
    EXPECT_TRUE(sendInstruction(channel.c_str(), kInstructionStop));
    EXPECT_EQ(gNestedAnswer.load(), 0) << "the sender took a message while it waited";
    PostThreadMessageW(receiverThreadId.load(), WM_QUIT, 0, 0);
    receiverThread.join();
    DestroyWindow(gSenderWindow);
    UnregisterClassW(L"QmSenderWindow", instance);
}

TEST(MonitorMessageTest, MissingArgumentsSendNothing) {
    LogCapture log;
    const std::string channel = uniqueChannel();
    struct Case {
        const char* name;
        bool (*send)(const char*);
        bool expected;
        const char* logged;
    };
    const Case cases[] = {
        {"worker without target",
         [](const char*) { return sendInstruction(nullptr, kInstructionStart); }, false,
         "Parameter kcstrInputTo is null at Message"},
        {"worker with empty instruction", [](const char* to) { return sendInstruction(to, ""); },
         false, "[Warning] Instruction is empty"},
        {"worker without instruction", [](const char* to) { return sendInstruction(to, nullptr); },
         false, "[Warning] Instruction is empty"},
        {"worker send without sender",
         [](const char* to) { return sendIPCMsgWin(nullptr, to, kInstructionStart); }, true,
         "Parameter kcstrInputFrom is null at Message"},
        {"worker send without instruction",
         [](const char* to) { return sendIPCMsgWin("QuillmarkWorker", to, nullptr); }, true,
         "Parameter kcstrInputInstruction is null at Message"},
        {"tray program without target",
         [](const char*) { return sendInstruction(static_cast<const char*>(nullptr)); }, false,
         "Parameter kcstrInputTo is null at Message"},
        {"tray program send without target",
         [](const char*) { return sendIPCMsgWin(static_cast<const char*>(nullptr)); }, true,
         "Parameter kcstrInputTo is null at Message"},
    };
    for (const Case& row : cases) {
        log.clear();
        EXPECT_EQ(row.send(channel.c_str()), row.expected) << row.name;
        EXPECT_TRUE(log.contains(row.logged)) << row.name;
        EXPECT_FALSE(log.contains("sendIPCMsgWin: ")) << row.name;
    }
}

TEST(MonitorMessageTest, RecordsCarryTheirSenderAndVerify) {
    UniqueIpcMessage tray(buildMonitorMessage("OqtQuillmark.exe"));
    ASSERT_NE(tray, nullptr);
    EXPECT_STREQ(tray->From, "OqtQuillmarkMonitor.exe");
    EXPECT_STREQ(tray->To, "OqtQuillmark.exe");
    EXPECT_STREQ(tray->Instruction, kInstructionSuicide);
    EXPECT_STREQ(tray->Message, "");
    EXPECT_TRUE(verifyIpcMessage(tray.get()));

    UniqueIpcMessage worker(buildMessage("QuillmarkWorker-1", kMonitorChannel, kInstructionStart));
    ASSERT_NE(worker, nullptr);
    EXPECT_STREQ(worker->From, "QuillmarkWorker-1");
    EXPECT_STREQ(worker->Instruction, kInstructionStart);
    EXPECT_TRUE(verifyIpcMessage(worker.get()));

    EXPECT_EQ(buildMonitorMessage(nullptr), nullptr);
    EXPECT_EQ(buildMessage(nullptr, "a", kInstructionStart), nullptr);
    EXPECT_EQ(buildMessage("a", nullptr, kInstructionStart), nullptr);
}

// ---- The main window's WM_COPYDATA --------------------------------------------------------------

std::vector<std::string> gCalls;

TEST(MonitorMessageTest, MainWindowActsOnEveryVerifiedInstruction) {
    LogCapture log;
    IpcCallbacks handlers;
    handlers.startFunction = [] { gCalls.push_back("start"); };
    handlers.stopFunction = [] { gCalls.push_back("stop"); };
    handlers.restartFunction = [] { gCalls.push_back("restart"); };
    handlers.finalFunction = [] { gCalls.push_back("final"); };
    struct Case {
        const char* name;
        const char* instruction;
        const char* call;  // null: none
    };
    const Case cases[] = {
        {"MonitorStart starts", kInstructionMonitorStart, "start"},
        {"Start", kInstructionStart, "start"},
        {"Stop", kInstructionStop, "stop"},
        {"Restart", kInstructionRestart, "restart"},
        {"Suicide runs the final function", kInstructionSuicide, "final"},
        {"unknown", "QuillmarkInstruction_Other", nullptr},
    };
    for (const Case& row : cases) {
        gCalls.clear();
        log.clear();
        UniqueIpcMessage record(buildMessage("QuillmarkWorker", kMonitorChannel, row.instruction));
        ASSERT_NE(record, nullptr);
        HeapText json(formatMessageJson(record.get()));
        COPYDATASTRUCT data{0, static_cast<DWORD>(std::strlen(json.get()) + 1), json.get()};
        handleMonitorCopyData(&data, handlers);
        EXPECT_EQ(gCalls,
                  row.call ? std::vector<std::string>{row.call} : std::vector<std::string>{})
            << row.name;
        EXPECT_TRUE(log.contains(std::string("Receive COPYDATA message: ") + row.instruction))
            << row.name;
        if (row.call == nullptr) {
            EXPECT_TRUE(log.contains("Receive unknow instruction: QuillmarkInstruction_Other"));
            EXPECT_TRUE(log.contains("Receive unknow message: "));
        }
    }
    // The main window never marks a Suicide as received: the lock-mode thread acts on it too.
    EXPECT_FALSE(ipcSuicideReceived());
}

TEST(MonitorMessageTest, MainWindowRefusesDamagedRecords) {
    LogCapture log;
    IpcCallbacks handlers;
    handlers.stopFunction = [] { gCalls.push_back("stop"); };
    gCalls.clear();
    UniqueIpcMessage record(buildMessage("QuillmarkWorker", kMonitorChannel, kInstructionStop));
    HeapText json(formatMessageJson(record.get()));
    std::string forged = json.get();
    forged.replace(forged.find("Stop"), 4, "Quit");
    std::string unterminated = json.get();
    struct Case {
        const char* name;
        COPYDATASTRUCT data;
    };
    const Case cases[] = {
        {"instruction changed after hashing",
         {0, static_cast<DWORD>(forged.size() + 1), forged.data()}},
        {"no terminating zero within the length",
         {0, static_cast<DWORD>(unterminated.size()), unterminated.data()}},
        {"no data", {0, 0, nullptr}},
        {"not JSON", {0, 4, const_cast<char*>("abc")}},
    };
    for (const Case& row : cases) {
        log.clear();
        handleMonitorCopyData(&row.data, handlers);
        EXPECT_TRUE(log.contains("Verify QuillmarkMessage fail")) << row.name;
    }
    handleMonitorCopyData(nullptr, handlers);
    EXPECT_TRUE(gCalls.empty());
}

// ---- Receivers in other processes (fixed channel names) ----------------------------------------

class ReceiverProcess {
public:
    explicit ReceiverProcess(const wchar_t* kind) {
        folder_ = makeTestFolder("receivers");
        journal_ = folder_ / "journal.txt";
        const std::wstring ready = uniqueObjectName(L"QmReceiversReady");
        TestEvent event(ready);
        child_ = ChildProcess::start(L"receivers", {journal_.wstring(), ready, kind});
        ready_ = event.wait(20000);
    }
    ~ReceiverProcess() {
        child_.terminate();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    bool ready() const { return ready_; }
    long count(const std::string& line) const {
        const auto lines = readLines(journal_);
        return static_cast<long>(std::count(lines.begin(), lines.end(), line));
    }
    ChildProcess& child() { return child_; }

private:
    std::filesystem::path folder_;
    std::filesystem::path journal_;
    ChildProcess child_;
    bool ready_ = false;
};

TEST(MonitorMessageTest, OqtMonitorReceiversActOnStartTwiceAndOnSuicideOnce) {
    ReceiverProcess receivers(L"monitor-ipc");
    ASSERT_TRUE(receivers.ready());
    // The window acts before each send returns; the lock-mode thread during the hold, unless on
    // a loaded machine the 200 ms hold falls between two of its probes: send until it acts.
    long sends = 0;
    EXPECT_TRUE(waitFor(
        [&] {
            EXPECT_TRUE(sendIPCMsgWin("QuillmarkWorker", kMonitorIpcChannel, kInstructionStart));
            ++sends;
            EXPECT_GE(receivers.count("start"), sends);
            return waitFor([&] { return receivers.count("start") > sends; }, 2000);
        },
        20000));

    EXPECT_TRUE(sendIPCMsgWin("QuillmarkWorker", kMonitorIpcChannel, kInstructionSuicide));
    EXPECT_EQ(receivers.child().waitForExit(10000), 3);
    EXPECT_EQ(receivers.count("final"), 1);
}

TEST(MonitorMessageTest, MainChannelLockModeActsWithoutAWindow) {
    ReceiverProcess receivers(L"monitor-lock");
    ASSERT_TRUE(receivers.ready());
    LogCapture log;
    EXPECT_TRUE(sendInstruction(kMonitorChannel, kInstructionStop));
    EXPECT_TRUE(log.contains("sendIPCMsgWin can't find window OqtQuillmarkMonitor.exe"));
    EXPECT_TRUE(waitFor([&] { return receivers.count("stop") == 1; }));
    // The thread pauses after acting, and a hold that falls into the pause goes unseen: send
    // until it is taken.
    EXPECT_TRUE(waitFor([&] {
        sendInstruction(kMonitorChannel, kInstructionSuicide);
        return receivers.child().waitForExit(0) != -1;
    }));
    EXPECT_EQ(receivers.child().waitForExit(0), 3);
    EXPECT_EQ(receivers.count("stop"), 1);
}

TEST(MonitorMessageTest, WatchdogIgnoresControlInstructionsAndEndsOnSuicide) {
    ReceiverProcess receivers(L"watchdog");
    ASSERT_TRUE(receivers.ready());
    EXPECT_TRUE(sendInstruction(kWatchdogChannel, kInstructionStart));
    EXPECT_TRUE(sendInstruction(kWatchdogChannel, kInstructionStop));
    EXPECT_EQ(receivers.child().waitForExit(300), -1);
    LogCapture log;
    EXPECT_TRUE(sendInstruction(kWatchdogChannel, kInstructionSuicide));
    EXPECT_EQ(receivers.child().waitForExit(10000), 0);
    // It ended inside its window's handler, which is no failed send.
    EXPECT_FALSE(log.contains("sendIPCMsgWin can't find window"));
    EXPECT_FALSE(log.contains("window send fail"));
}

TEST(MonitorMessageTest, ServiceStopperEndsTheServiceBySuicide) {
    if (isProcessRunning(kServiceProgramName)) {
        GTEST_SKIP() << "a service runs in this session";
    }
    const std::wstring ready = uniqueObjectName(L"QmServiceReady");
    TestEvent event(ready);
    NamedProcess service(L"OqtQuillmark.exe", L"serviceStandIn", ready);
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(event.wait(20000));
    LogCapture log;
    EXPECT_TRUE(stopMainProgram());
    // The receiver window ended it with exit code 0 before the kill by name came.
    EXPECT_EQ(service.exitCode(0), 0);
    EXPECT_FALSE(log.contains("sendIPCMsgWin can't find window"));
    EXPECT_FALSE(log.contains("window send fail"));
    EXPECT_TRUE(log.contains(
        "[OqtQuillmarkMonitor.exe] OqtQuillmarkMonitor.exe kill OqtQuillmark.exe success"));
    EXPECT_TRUE(
        log.contains("[OqtQuillmarkMonitor.exe] kill OqtQuillmark.exe shutdown state: Success"));
}

}  // namespace
