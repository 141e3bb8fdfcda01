// Instructions across real processes: the test receiver (qm_ipc_receiver, the Message module's
// receivers with journaling handlers) and the test sender (qm_ipc_sender) run as separate
// programs, as the tray program, the worker and the service do. The lock-mode timings are tried
// on the real lock-mode thread in this process, against holds the test makes to the millisecond.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Message.h"
#include "common/Tool.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"

namespace {

namespace fs = std::filesystem;

// A Linux path of the build (as CMake gives it) as Wine sees it.
std::wstring windowsPath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* c = unixPath; *c != '\0'; ++c) {
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return path;
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::vector<std::string> readLines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

template <typename Condition>
bool waitFor(Condition condition, int milliseconds = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Instructions : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = makeTestFolder("ipc");
        static int counter = 0;
        channel_ = "QmIpcTest" + std::to_string(GetCurrentProcessId()) + "_" +
                   std::to_string(++counter) + ".exe";
        workerJournal_ = folder_ / "worker.txt";
        SetEnvironmentVariableW(L"QM_FAKE_WORKER_JOURNAL", workerJournal_.wstring().c_str());
    }
    void TearDown() override {
        receivers_.clear();
        std::error_code ignored;
        if (std::getenv("QM_KEEP_TEST_FILES") == nullptr) {
            fs::remove_all(folder_, ignored);
        }
    }

    struct Receiver {
        ChildProcess process;
        fs::path journal;
        fs::path log;
    };

    // Starts a receiver on the test's channel and waits until its window can be found.
    Receiver& startReceiver(const std::string& options = "", const std::string& name = "a") {
        Receiver receiver;
        receiver.journal = folder_ / (name + "-journal.txt");
        receiver.log = folder_ / (name + "-log.txt");
        std::wstring arguments = L"--channel " + wide(channel_) + L" --journal \"" +
                                 receiver.journal.wstring() + L"\" --log \"" +
                                 receiver.log.wstring() + L"\" " + wide(options);
        receiver.process =
            ChildProcess::launch(windowsPath(QM_IPC_RECEIVER), arguments, CREATE_NO_WINDOW);
        EXPECT_TRUE(receiver.process.started());
        receivers_.push_back(std::move(receiver));
        Receiver& started = receivers_.back();
        EXPECT_TRUE(waitFor([&] { return count(started, "ready") == 1; }));
        return started;
    }

    // Runs the sender against the test's channel; its exit code.
    long send(const std::string& instruction, const std::string& options = "") {
        std::wstring arguments = L"--channel " + wide(channel_) + L" --instruction " +
                                 wide(instruction) + L" " + wide(options);
        ChildProcess sender =
            ChildProcess::launch(windowsPath(QM_IPC_SENDER), arguments, CREATE_NO_WINDOW);
        return sender.waitForExit(10000);
    }

    static long count(const Receiver& receiver, const std::string& line) {
        std::vector<std::string> lines = readLines(receiver.journal);
        return std::count(lines.begin(), lines.end(), line);
    }
    static bool logged(const Receiver& receiver, const std::string& text) {
        // The receiver writes its log with a fixed date in the file name.
        fs::path dated = receiver.log;
        dated.replace_filename(receiver.log.stem().string() + "_20260115" +
                               receiver.log.extension().string());
        for (const std::string& line : readLines(dated)) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // Sends until the condition holds. The lock-mode thread polls, and on a loaded machine a
    // 200 ms hold can fall between two of its probes; each attempt waits 2 s for the receiver.
    template <typename Condition>
    bool sendUntil(const std::string& instruction, const std::string& options,
                   Condition condition) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            if (send(instruction, options) != 0) {
                return false;
            }
            if (waitFor(condition, 2000)) {
                return true;
            }
        }
        return false;
    }

    // Sends a Restart by the given mode and waits for it: every instruction sent earlier the
    // same way has been handled by then (each receiver handles its instructions in order).
    void drain(Receiver& receiver, const std::string& mode) {
        long before = count(receiver, "restart");
        ASSERT_TRUE(sendUntil(kInstructionRestart, "--mode " + mode,
                              [&] { return count(receiver, "restart") > before; }));
    }

    fs::path folder_;
    std::string channel_;
    fs::path workerJournal_;
    std::deque<Receiver> receivers_;  // references stay valid as receivers are added
};

TEST_F(Instructions, StartSentBothWaysIsActedOnTwice) {
    Receiver& receiver = startReceiver();
    EXPECT_TRUE(sendUntil(kInstructionStart, "--mode both", [&] {
        return logged(receiver, "IPC Message Lock Mode: Recivie start message");
    }));
    EXPECT_TRUE(logged(receiver, "Receive COPYDATA message: QuillmarkInstruction_Start"));
    EXPECT_GE(count(receiver, "start"), 2);
}

TEST_F(Instructions, EachWayAloneActsOnce) {
    Receiver& receiver = startReceiver();
    ASSERT_EQ(send(kInstructionStop, "--mode window"), 0);
    drain(receiver, "window");
    EXPECT_EQ(count(receiver, "stop"), 1);
    ASSERT_TRUE(
        sendUntil(kInstructionStop, "--mode lock", [&] { return count(receiver, "stop") == 2; }));
    drain(receiver, "lock");
    EXPECT_EQ(count(receiver, "stop"), 2);
}

// A sender holds the mutex once, for 200 ms, and never sends again: every hold must be found by
// a round and confirmed within it, however the hold falls between two probes.
TEST_F(Instructions, EveryLockModeInstructionIsActedOnWithoutResending) {
    Receiver& receiver = startReceiver();
    constexpr int kSends = 50;
    int missed = 0;
    for (int i = 0; i < kSends; ++i) {
        const long before = count(receiver, "stop");
        ASSERT_EQ(send(kInstructionStop, "--mode lock"), 0);
        if (!waitFor([&] { return count(receiver, "stop") > before; }, 2000)) {
            ++missed;
        }
    }
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(count(receiver, "stop"), kSends);
}

TEST_F(Instructions, AnyFromAndToAreAccepted) {
    Receiver& receiver = startReceiver();
    ASSERT_EQ(send(kInstructionStart, "--mode window --from nobody --to nowhere"), 0);
    EXPECT_TRUE(waitFor([&] { return count(receiver, "start") == 1; }));
}

TEST_F(Instructions, BadWindowMessagesAreIgnored) {
    Receiver& receiver = startReceiver();
    const char* const options[] = {
        "--time-offset -10",  // stale
        "--time-offset 5",    // from the future
        "--lower-hash",
        "--length 40",  // cut short: the NUL is not within the stated length
        "--no-data",         "--raw {\"Instruction\":\"QuillmarkInstruction_Start\"}",
    };
    for (const char* option : options) {
        ASSERT_EQ(send(kInstructionStart, std::string("--mode window ") + option), 0) << option;
    }
    drain(receiver, "window");
    EXPECT_EQ(count(receiver, "start"), 0);
    EXPECT_TRUE(logged(receiver, "[Warning] Verify QuillmarkMessage fail"));
    EXPECT_TRUE(logged(receiver, "QuillmarkMessage verify fail: Replay attack"));
}

TEST_F(Instructions, SuicideSentBothWaysRunsTheFinalFunctionOnce) {
    Receiver& receiver = startReceiver();
    ASSERT_EQ(send(kInstructionSuicide, "--mode both"), 0);
    EXPECT_EQ(receiver.process.waitForExit(10000), 0);
    EXPECT_EQ(count(receiver, "final"), 1);
    EXPECT_TRUE(logged(receiver, "Execute final function"));
    EXPECT_FALSE(logged(receiver, "Recivie Suicide message"));
}

TEST_F(Instructions, SuicideByLockModeRunsTheFinalFunctionAndEnds) {
    Receiver& receiver = startReceiver();
    ASSERT_TRUE(
        sendUntil(kInstructionSuicide, "--mode lock", [&] { return !receiver.process.running(); }));
    EXPECT_EQ(receiver.process.waitForExit(10000), 0);
    EXPECT_EQ(count(receiver, "final"), 1);
    EXPECT_TRUE(logged(receiver, "IPC Message Lock Mode: Exec final function"));
}

TEST_F(Instructions, SuicideWithoutFinalFunctionEndsWithExitCodeZero) {
    struct {
        const char* mode;
        const char* logLine;
    } const rows[] = {
        {"window", "Execute exit"},
        {"lock", "IPC Message Lock Mode: Recivie Suicide message"},
    };
    for (const auto& row : rows) {
        Receiver& receiver = startReceiver("--no-final", row.mode);
        ASSERT_TRUE(sendUntil(kInstructionSuicide, std::string("--mode ") + row.mode,
                              [&] { return !receiver.process.running(); }));
        EXPECT_EQ(receiver.process.waitForExit(10000), 0) << row.mode;
        EXPECT_TRUE(logged(receiver, row.logLine)) << row.mode;
        EXPECT_EQ(count(receiver, "final"), 0);
    }
}

TEST_F(Instructions, LowerCaseSuicideIsNotActedOnByTheWindow) {
    Receiver& receiver = startReceiver();
    ASSERT_EQ(send("quillmarkinstruction_suicide", "--mode window"), 0);
    drain(receiver, "window");
    EXPECT_TRUE(logged(receiver, "Receive UNKNOW instruction: quillmarkinstruction_suicide"));
    EXPECT_EQ(count(receiver, "final"), 0);
    EXPECT_EQ(receiver.process.waitForExit(0), -1);
}

TEST_F(Instructions, SessionLockRunsTheFinalFunction) {
    Receiver& receiver = startReceiver();
    ASSERT_EQ(send(kInstructionSuicide, "--mode window --session 7"), 0);
    EXPECT_EQ(receiver.process.waitForExit(10000), 0);
    EXPECT_EQ(count(receiver, "final"), 1);
    EXPECT_TRUE(logged(receiver, "Receive windows lock signal"));
}

TEST_F(Instructions, SessionChangesFlipARegisteredSwitchedOutByte) {
    Receiver& receiver = startReceiver("--switched-out");
    ASSERT_EQ(send(kInstructionSuicide, "--mode window --session 2"), 0);
    EXPECT_TRUE(waitFor([&] { return count(receiver, "switched-out 1") == 1; }));
    ASSERT_EQ(send(kInstructionSuicide, "--mode window --session 1"), 0);
    EXPECT_TRUE(waitFor([&] { return count(receiver, "switched-out 0") == 1; }));
    EXPECT_EQ(count(receiver, "final"), 0);
}

TEST_F(Instructions, SessionDisconnectWithoutHandlersEndsTheProgram) {
    Receiver& receiver = startReceiver("--no-final");
    ASSERT_EQ(send(kInstructionSuicide, "--mode window --session 4"), 0);
    EXPECT_EQ(receiver.process.waitForExit(10000), 0);
    EXPECT_TRUE(logged(receiver, "Receive remote disconnect signal"));
}

TEST_F(Instructions, MonitorStartByLockModeStartsTheWorker) {
    Receiver& receiver = startReceiver();
    // Only the lock-mode thread acts on it.
    EXPECT_TRUE(sendUntil(kInstructionMonitorStart, "--mode both",
                          [&] { return !readLines(workerJournal_).empty(); }));
    for (const std::string& line : readLines(workerJournal_)) {
        EXPECT_EQ(line, "-start");
    }
    EXPECT_TRUE(logged(receiver, "IPC Message Lock Mode: Recivie MonitorStart message"));
    EXPECT_TRUE(logged(receiver, "Receive UNKNOW instruction: QuillmarkInstruction_MonitorStart"));
}

TEST_F(Instructions, SecondReceiverLeavesTheChannelToTheFirst) {
    Receiver& first = startReceiver("", "first");
    Receiver& second = startReceiver("", "second");
    EXPECT_TRUE(waitFor([&] {
        return logged(second,
                      "[Catastrophic failure] Start Windows API IPC message receiver: Fail");
    }));
    ASSERT_EQ(send(kInstructionStart, "--mode window"), 0);
    drain(first, "window");
    EXPECT_EQ(count(first, "start"), 1);
    EXPECT_EQ(count(second, "start"), 0);
}

TEST_F(Instructions, MutexThatCannotBeMadeIsNoInstruction) {
    Receiver& receiver = startReceiver();
    // An object of another kind under the Stop mutex's name: the receiver's probe cannot create
    // the mutex there.
    wchar_t* user = getCurrentUserName();
    ASSERT_NE(user, nullptr);
    std::wstring name = std::wstring(user) + L"_" + wide(channel_) + L"QuillmarkInstruction_Stop";
    std::free(user);
    // The receiver's probe holds the mutex for an instant each round: try until it is let go.
    HANDLE clash = nullptr;
    ASSERT_TRUE(waitFor([&] {
        clash = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        return clash != nullptr;
    }));
    drain(receiver, "lock");
    drain(receiver, "lock");
    CloseHandle(clash);
    EXPECT_EQ(count(receiver, "stop"), 0);
}

// ---- The lock-mode receiver against exact holds ------------------------------------------------

std::mutex gActionsLock;
std::vector<std::string> gActions;
std::string gTimeline;  // what happened when, for a row that fails
std::atomic<ULONGLONG> gRowBegin{0};
std::atomic<DWORD> gHandlerMs{0};

void note(const std::string& event) {
    std::lock_guard<std::mutex> guard(gActionsLock);
    gTimeline += " " + event + "@" + std::to_string(GetTickCount64() - gRowBegin.load());
}

void act(const char* action) {
    note(action);
    {
        std::lock_guard<std::mutex> guard(gActionsLock);
        gActions.push_back(action);
    }
    Sleep(gHandlerMs.load());
}
void actStart() {
    act("start");
}
void actStop() {
    act("stop");
}
void actRestart() {
    act("restart");
}

std::vector<std::string> actions() {
    std::lock_guard<std::mutex> guard(gActionsLock);
    return gActions;
}

// Until the lock-mode thread has ended two rounds with nothing held, waiting or running.
bool waitUntilLockModeIdle() {
    const uint64_t seen = ipcLockModeIdleRoundsForTesting();
    return waitFor([&] { return ipcLockModeIdleRoundsForTesting() >= seen + 2; });
}

// Holds made by one thread of the test, as a sender would make them.
struct Hold {
    const char* instruction;
    DWORD startMs;  // after the row begins
    DWORD holdMs;
    int times;  // holds in a row, gapMs apart
    DWORD gapMs;
    bool abandon;             // the thread ends while holding, as a sender that dies
    size_t afterActions = 0;  // the first hold waits until the receiver has taken this many
};

void sleepUntil(ULONGLONG tick) {
    const ULONGLONG now = GetTickCount64();
    if (now < tick) {
        Sleep(static_cast<DWORD>(tick - now));
    }
}

void makeHolds(HANDLE mutex, const Hold& hold, ULONGLONG begin) {
    sleepUntil(begin + hold.startMs);
    EXPECT_TRUE(waitFor([&] { return actions().size() >= hold.afterActions; })) << hold.instruction;
    for (int i = 0; i < hold.times; ++i) {
        if (i > 0) {
            Sleep(hold.gapMs);
        }
        // A receiver's probe may have it for an instant.
        const DWORD taken = WaitForSingleObject(mutex, 2000);
        EXPECT_TRUE(taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) << hold.instruction;
        note(std::string("held:") + hold.instruction);
        Sleep(hold.holdMs);
        if (hold.abandon && i == hold.times - 1) {
            return;  // a thread that ends owning a mutex abandons it
        }
        note(std::string("free:") + hold.instruction);
        ReleaseMutex(mutex);
    }
}

// One hold is one instruction however long it lasts or the handler takes, and a hold that begins
// while the handler runs, or that is found late behind another, is one more.
TEST_F(Instructions, EachLockModeHoldIsActedOnOnce) {
    const std::string channel = "QmLockHolds" + std::to_string(GetCurrentProcessId()) + ".exe";
    IpcCallbacks callbacks;
    callbacks.startFunction = actStart;
    callbacks.stopFunction = actStop;
    callbacks.restartFunction = actRestart;
    setIpcCallbacks(callbacks);
    std::thread(ipcLockModeThread, _strdup(channel.c_str())).detach();
    ASSERT_TRUE(waitUntilLockModeIdle());
    wchar_t* user = getCurrentUserName();
    ASSERT_NE(user, nullptr);
    const std::wstring prefix = std::wstring(user) + L"_" + wide(channel);
    std::free(user);

    struct Case {
        const char* name;
        DWORD handlerMs;
        std::vector<Hold> holds;
        std::vector<std::string> actions;
        bool anyOrder = false;  // holds that begin 5 ms apart may be found in either order
    };
    const Case cases[] = {
        {"one 450 ms hold", 100, {{kInstructionStop, 0, 450, 1, 0, false}}, {"stop"}},
        {"two 200 ms holds 5 ms apart",
         150,
         {{kInstructionStop, 0, 200, 2, 5, false}},
         {"stop", "stop"}},
        {"a hold that begins while the handler runs",
         400,
         {{kInstructionStop, 0, 200, 2, 50, false}},
         {"stop", "stop"}},
        {"a Stop found late behind a Start hold",
         100,
         {{kInstructionStart, 0, 200, 1, 0, false}, {kInstructionStop, 5, 200, 1, 0, false}},
         {"start", "stop"},
         true},
        {"a Start sent while a Stop is handled",
         100,
         {{kInstructionStop, 0, 200, 1, 0, false}, {kInstructionStart, 50, 200, 1, 0, false, 1}},
         {"stop", "start"}},
        {"a sender that ends while holding", 0, {{kInstructionStop, 0, 0, 1, 0, true}}, {"stop"}},
        {"a sender that ends 100 ms into its hold",
         50,
         {{kInstructionStop, 0, 100, 1, 0, true}},
         {"stop"}},
    };
    for (const Case& row : cases) {
        {
            std::lock_guard<std::mutex> guard(gActionsLock);
            gActions.clear();
            gTimeline.clear();
        }
        gHandlerMs = row.handlerMs;
        std::vector<HANDLE> mutexes;
        for (const Hold& hold : row.holds) {
            mutexes.push_back(
                CreateMutexW(nullptr, FALSE, (prefix + wide(hold.instruction)).c_str()));
            ASSERT_NE(mutexes.back(), nullptr) << row.name;
        }
        const ULONGLONG begin = GetTickCount64() + 20;
        gRowBegin = begin;
        std::vector<std::thread> holders;
        for (size_t i = 0; i < row.holds.size(); ++i) {
            holders.emplace_back(makeHolds, mutexes[i], row.holds[i], begin);
        }
        for (std::thread& holder : holders) {
            holder.join();
        }
        EXPECT_TRUE(waitFor([&] { return actions().size() >= row.actions.size(); })) << row.name;
        EXPECT_TRUE(waitUntilLockModeIdle()) << row.name;
        for (HANDLE mutex : mutexes) {
            CloseHandle(mutex);
        }
        std::lock_guard<std::mutex> guard(gActionsLock);
        std::vector<std::string> taken = gActions;
        if (row.anyOrder) {
            std::sort(taken.begin(), taken.end());
        }
        EXPECT_EQ(taken, row.actions) << row.name << ":" << gTimeline;
    }
}

}  // namespace
