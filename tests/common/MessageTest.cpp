#include "common/Message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Tool.h"
#include "support/LogCapture.h"

#ifdef _WIN32
#include <thread>
#endif

namespace {

using ::testing::HasSubstr;

// A realistic stamp: nine hexadecimal digits, above 2^32 (a broken "%llx" would cut it).
constexpr int64_t kStamp = 0x14AD3C2F1;

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

UniqueIpcMessage makeMessage(const char* instruction = kInstructionStart, int64_t stamp = kStamp) {
    return UniqueIpcMessage(buildIpcMessage("Sender", "Target", instruction, "", stamp));
}

std::string jsonOf(const QuillmarkMessage* message) {
    Text json(formatMessageJson(message));
    return json ? std::string(json.get()) : std::string();
}

TEST(MessageFormat, TimeValueIsLowerCaseHexWithoutLeadingZeros) {
    Text text(formatTimeValue(0x123456789ABLL));
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), "123456789ab");
    Text zero(formatTimeValue(0));
    EXPECT_STREQ(zero.get(), "0");
}

TEST(MessageFormat, JsonTextHasTheExactLayout) {
    UniqueIpcMessage message = makeMessage();
    ASSERT_TRUE(message);
    std::string expected =
        "{\"From\":\"Sender\", \"To\":\"Target\", "
        "\"Instruction\":\"QuillmarkInstruction_Start\", \"Message\":\"\", "
        "\"TimeValue\":\"14ad3c2f1\", \"HashValue\":\"" +
        std::string(message->HashValue) + "\"}";
    EXPECT_EQ(jsonOf(message.get()), expected);
}

TEST(MessageFormat, TimeTextIsCutIntoFourPieces) {
    UniqueIpcMessage message = makeMessage();
    ASSERT_TRUE(message);
    EXPECT_STREQ(message->timePieces[0], "14a");
    EXPECT_STREQ(message->timePieces[1], "d3c2");
    EXPECT_STREQ(message->timePieces[2], "f1");
    EXPECT_STREQ(message->timePieces[3], "");
    EXPECT_EQ(ipcMessageTime(message.get()), kStamp);
}

// Pins the salt and the order of the hashed texts: every program of the system must compute the
// same digest, so a change here cuts the programs off from each other. The digest was computed
// outside this code base: SHA-512 of "Sender" "Target" "14ad3c2f1" <salt>
// "QuillmarkInstruction_Start" "".
TEST(MessageHash, IsTheDigestOfFromToTimeSaltInstructionMessage) {
    UniqueIpcMessage message = makeMessage();
    ASSERT_TRUE(message);
    EXPECT_STREQ(message->HashValue,
                 "E473814A7F08353DB89C494FD0D6F044F33B1EAAC680291B366F56A947E5B69E"
                 "DAD8DD823412231DFA526473A361AF84AB001219F75A63127509B3BA80B895B7");
    EXPECT_EQ(std::strlen(messageSaltForTesting()), kMessageSaltLength);
}

TEST(MessageParse, ReadsTheSentTextBack) {
    UniqueIpcMessage sent = makeMessage(kInstructionRestart);
    ASSERT_TRUE(sent);
    UniqueIpcMessage received(parseIpcMessage(jsonOf(sent.get()).c_str()));
    ASSERT_TRUE(received);
    EXPECT_STREQ(received->From, "Sender");
    EXPECT_STREQ(received->To, "Target");
    EXPECT_STREQ(received->Instruction, kInstructionRestart);
    EXPECT_STREQ(received->Message, "");
    EXPECT_STREQ(received->HashValue, sent->HashValue);
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(received->timePieces[i], sent->timePieces[i]) << i;
    }
    EXPECT_TRUE(verifyIpcMessageAt(received.get(), kStamp));
}

TEST(MessageParse, KeysAreFoundWithoutRegardToCase) {
    UniqueIpcMessage received(
        parseIpcMessage("{\"from\":\"a\", \"TO\":\"b\", \"instruction\":\"c\", \"MESSAGE\":\"d\", "
                        "\"timevalue\":\"123\", \"hashvalue\":\"e\"}"));
    ASSERT_TRUE(received);
    EXPECT_STREQ(received->From, "a");
    EXPECT_STREQ(received->To, "b");
    EXPECT_STREQ(received->Instruction, "c");
    EXPECT_STREQ(received->Message, "d");
    EXPECT_STREQ(received->timePieces[0], "123");
    EXPECT_STREQ(received->HashValue, "e");
}

TEST(MessageParse, LongTimeTextCountsOnlyItsFirstSixteenCharacters) {
    UniqueIpcMessage received(parseIpcMessage("{\"TimeValue\":\"0123456789abcdefXYZW\"}"));
    ASSERT_TRUE(received);
    EXPECT_STREQ(received->timePieces[0], "012");
    EXPECT_STREQ(received->timePieces[3], "bcdef");
    EXPECT_EQ(ipcMessageTime(received.get()), 0x0123456789abcdefLL);
    EXPECT_EQ(received->From, nullptr);
}

TEST(MessageParse, TextThatIsNotJsonLeavesEveryFieldNull) {
    UniqueIpcMessage received(parseIpcMessage("not json at all"));
    ASSERT_TRUE(received);
    EXPECT_EQ(received->Instruction, nullptr);
    EXPECT_EQ(received->timePieces[0], nullptr);
    EXPECT_FALSE(verifyIpcMessageAt(received.get(), kStamp));
}

struct WindowCase {
    const char* name;
    int64_t receiverLead;  // receiver's count minus the stamp
    bool valid;
};

const WindowCase kWindowCases[] = {
    {"same second", 0, true},        {"one second old", 1, true},     {"two seconds old", 2, true},
    {"three seconds old", 3, false}, {"one second ahead", -1, false}, {"a day old", 86400, false},
};

TEST(MessageVerify, AcceptsOnlyMessagesZeroToTwoSecondsOld) {
    UniqueIpcMessage message = makeMessage();
    ASSERT_TRUE(message);
    for (const WindowCase& row : kWindowCases) {
        LogCapture log;
        EXPECT_EQ(verifyIpcMessageAt(message.get(), kStamp + row.receiverLead), row.valid)
            << row.name;
        EXPECT_EQ(log.contains("QuillmarkMessage verify fail: Replay attack"), !row.valid)
            << row.name;
    }
}

TEST(MessageVerify, SameMessageTwiceWithinTheWindowPassesTwice) {
    UniqueIpcMessage message = makeMessage();
    EXPECT_TRUE(verifyIpcMessageAt(message.get(), kStamp + 1));
    EXPECT_TRUE(verifyIpcMessageAt(message.get(), kStamp + 2));
}

TEST(MessageVerify, UnknownReceiverTimeAcceptsNothing) {
    // A sender whose clock also failed stamps 0; without the check, 0 <= 0 <= 2 would pass.
    UniqueIpcMessage message = makeMessage(kInstructionStart, 0);
    ASSERT_TRUE(message);
    EXPECT_FALSE(verifyIpcMessageAt(message.get(), 0));
}

TEST(MessageVerify, ReportsTheTimesOfAStaleMessage) {
    UniqueIpcMessage message = makeMessage();
    LogCapture log;
    EXPECT_FALSE(verifyIpcMessageAt(message.get(), kStamp + 3));
    EXPECT_TRUE(log.contains("QuillmarkMessage now time value: 14ad3c2f4"));
    EXPECT_TRUE(log.contains("QuillmarkMessage message time value: 14ad3c2f1"));
}

using Tamper = void (*)(QuillmarkMessage&);

struct TamperCase {
    const char* name;
    Tamper tamper;
};

void replace(char*& field, const char* text) {
    std::free(field);
    field = duplicateString(text);
}

const TamperCase kTamperCases[] = {
    {"hash in lower case",
     [](QuillmarkMessage& m) {
         for (char* c = m.HashValue; *c != '\0'; ++c) {
             if (*c >= 'A' && *c <= 'F') {
                 *c = static_cast<char>(*c - 'A' + 'a');
             }
         }
     }},
    {"other instruction", [](QuillmarkMessage& m) { replace(m.Instruction, kInstructionStop); }},
    {"other sender", [](QuillmarkMessage& m) { replace(m.From, "Someone"); }},
    {"other message text", [](QuillmarkMessage& m) { replace(m.Message, "x"); }},
    {"time moved within the window", [](QuillmarkMessage& m) { replace(m.timePieces[2], "f0"); }},
    {"message text missing",
     [](QuillmarkMessage& m) {
         std::free(m.Message);
         m.Message = nullptr;
     }},
    {"time piece missing",
     [](QuillmarkMessage& m) {
         std::free(m.timePieces[3]);
         m.timePieces[3] = nullptr;
     }},
};

TEST(MessageVerify, RejectsAChangedOrIncompleteMessage) {
    for (const TamperCase& row : kTamperCases) {
        UniqueIpcMessage message = makeMessage();
        ASSERT_TRUE(message);
        row.tamper(*message);
        EXPECT_FALSE(verifyIpcMessageAt(message.get(), kStamp + 1)) << row.name;
    }
    EXPECT_FALSE(verifyIpcMessageAt(nullptr, kStamp));
}

TEST(MessageVerify, HashIsComputedOverTheReceivedFields) {
    UniqueIpcMessage message = makeMessage();
    replace(message->From, "Anyone");
    replace(message->To, "Anywhere");
    std::free(message->HashValue);
    message->HashValue = computeMessageHash(message.get());
    EXPECT_TRUE(verifyIpcMessageAt(message.get(), kStamp));
}

TEST(MessageVerify, ChecksAgainstTheSharedTimeCount) {
    UniqueIpcMessage fresh = makeMessage(kInstructionStart, getTimeValue());
    EXPECT_TRUE(verifyIpcMessage(fresh.get()));
    UniqueIpcMessage stale = makeMessage(kInstructionStart, getTimeValue() - 60);
    EXPECT_FALSE(verifyIpcMessage(stale.get()));
}

#ifdef _WIN32

// ---- Receiver window procedure and lock-mode probe, in this process ---------------------------

int gStartCalls = 0;
int gFinalCalls = 0;
void countStart() {
    ++gStartCalls;
}
void countFinal() {
    ++gFinalCalls;
}

class ReceiverWindow : public ::testing::Test {
protected:
    void SetUp() override {
        gStartCalls = 0;
        gFinalCalls = 0;
        IpcCallbacks callbacks;
        callbacks.startFunction = countStart;
        callbacks.finalFunction = countFinal;
        setIpcCallbacks(callbacks);
    }
    void TearDown() override { setIpcCallbacks(IpcCallbacks{}); }

    static void deliver(const void* data, DWORD length) {
        COPYDATASTRUCT record{0, length, const_cast<void*>(data)};
        ipcWndProc(nullptr, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record));
    }
    static std::string freshJson(const char* instruction) {
        UniqueIpcMessage message(
            buildIpcMessage("Sender", "Target", instruction, "", getTimeValue()));
        return jsonOf(message.get());
    }
};

struct CopyDataCase {
    const char* name;
    // Bytes stated in the record, from the text's length; -1 means the length with its NUL.
    int lengthDelta;
    int startCalls;
};

const CopyDataCase kCopyDataCases[] = {
    {"text with its NUL", 1, 1},
    {"stated length beyond the NUL", 9, 1},
    {"unterminated: NUL outside the stated length", 0, 0},
    {"cut short", -20, 0},
};

TEST_F(ReceiverWindow, ReadsCopyDataOnlyWithinItsStatedLength) {
    for (const CopyDataCase& row : kCopyDataCases) {
        gStartCalls = 0;
        LogCapture log;
        std::string json = freshJson(kInstructionStart);
        // Room behind the text, so that a reader that ignores the stated length would find a
        // valid message there.
        std::string buffer = json + std::string(16, '\0');
        deliver(buffer.data(), static_cast<DWORD>(static_cast<int>(json.size()) + row.lengthDelta));
        EXPECT_EQ(gStartCalls, row.startCalls) << row.name;
        EXPECT_EQ(log.contains("[Warning] Verify QuillmarkMessage fail"), row.startCalls == 0)
            << row.name;
    }
}

TEST_F(ReceiverWindow, RefusesAnEmptyRecord) {
    LogCapture log;
    deliver(nullptr, 0);
    std::string json = freshJson(kInstructionStart);
    deliver(json.c_str(), 0);
    deliver(nullptr, 40);
    EXPECT_EQ(gStartCalls, 0);
    EXPECT_TRUE(log.contains("[Warning] Verify QuillmarkMessage fail"));
}

TEST_F(ReceiverWindow, RunsTheRegisteredFunctionOfAValidInstruction) {
    LogCapture log;
    std::string json = freshJson(kInstructionStart);
    deliver(json.c_str(), static_cast<DWORD>(json.size() + 1));
    EXPECT_EQ(gStartCalls, 1);
    EXPECT_TRUE(log.contains("Receive COPYDATA message: QuillmarkInstruction_Start"));
    EXPECT_TRUE(log.contains("Execute start function"));
    json = freshJson(kInstructionStop);
    deliver(json.c_str(), static_cast<DWORD>(json.size() + 1));
    EXPECT_TRUE(log.contains("No stop function"));
}

TEST_F(ReceiverWindow, InstructionNamesAreComparedExactly) {
    struct {
        const char* name;
        const char* instruction;
    } const rows[] = {
        {"suicide in lower case", "quillmarkinstruction_suicide"},
        {"monitor start is not the window's", kInstructionMonitorStart},
        {"start with a trailing blank", "QuillmarkInstruction_Start "},
    };
    for (const auto& row : rows) {
        LogCapture log;
        std::string json = freshJson(row.instruction);
        deliver(json.c_str(), static_cast<DWORD>(json.size() + 1));
        EXPECT_TRUE(log.contains(std::string("Receive UNKNOW instruction: ") + row.instruction))
            << row.name;
        EXPECT_TRUE(log.contains("Receive UNKNOW message: ")) << row.name;
    }
    EXPECT_EQ(gStartCalls, 0);
    EXPECT_EQ(gFinalCalls, 0);
    EXPECT_FALSE(ipcSuicideReceived());
}

TEST_F(ReceiverWindow, StaleInstructionIsIgnored) {
    UniqueIpcMessage message(
        buildIpcMessage("Sender", "Target", kInstructionStart, "", getTimeValue() - 3));
    std::string json = jsonOf(message.get());
    deliver(json.c_str(), static_cast<DWORD>(json.size() + 1));
    EXPECT_EQ(gStartCalls, 0);
}

TEST_F(ReceiverWindow, SessionChangesSetAndClearTheSwitchedOutByte) {
    std::atomic<uint8_t> switchedOut{0};
    IpcCallbacks callbacks;
    callbacks.finalFunction = countFinal;
    callbacks.switchedOutFlag = &switchedOut;
    setIpcCallbacks(callbacks);
    struct {
        WPARAM code;
        const char* text;
        uint8_t switchedOut;
    } const rows[] = {
        {WTS_SESSION_LOCK, "Receive windows lock signal", 1},
        {WTS_SESSION_UNLOCK, "Receive windows unlock signal", 0},
        {WTS_CONSOLE_DISCONNECT, "Receive disconnect signal", 1},
        {WTS_CONSOLE_CONNECT, "Receive connect signal", 0},
        {WTS_REMOTE_DISCONNECT, "Receive remote disconnect signal", 1},
        {WTS_REMOTE_CONNECT, "Receive remote connect signal", 0},
    };
    for (const auto& row : rows) {
        LogCapture log;
        ipcWndProc(nullptr, WM_WTSSESSION_CHANGE, row.code, 0);
        EXPECT_EQ(switchedOut.load(), row.switchedOut) << row.text;
        EXPECT_TRUE(log.contains(row.text)) << row.text;
    }
    EXPECT_EQ(gFinalCalls, 0);
    LogCapture log;
    ipcWndProc(nullptr, WM_WTSSESSION_CHANGE, 5, 0);
    EXPECT_TRUE(log.contains("Receive unknow system signal: 5"));
}

TEST_F(ReceiverWindow, LockingTheSessionRunsTheFinalFunctionWithoutSwitchedOutByte) {
    ipcWndProc(nullptr, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 0);
    ipcWndProc(nullptr, WM_WTSSESSION_CHANGE, WTS_REMOTE_DISCONNECT, 0);
    EXPECT_EQ(gFinalCalls, 2);
    ipcWndProc(nullptr, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, 0);
    EXPECT_EQ(gFinalCalls, 2);
}

TEST(InstructionMutex, ProbeTellsFreeHeldAndUnavailableApart) {
    std::string name = "QmMessageTestProbe" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(probeInstructionMutex(name.c_str()), MutexProbe::Free);

    // Held by another thread: the probe's zero wait times out, as it does for another process.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE mutex = static_cast<HANDLE>(getMutexLock(name.c_str(), 0));
        SetEvent(ready);
        WaitForSingleObject(done, 5000);
        if (mutex != nullptr) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
    });
    WaitForSingleObject(ready, 5000);
    EXPECT_EQ(probeInstructionMutex(name.c_str()), MutexProbe::Held);
    SetEvent(done);
    holder.join();
    EXPECT_EQ(probeInstructionMutex(name.c_str()), MutexProbe::Free);
    CloseHandle(ready);
    CloseHandle(done);

    // An object of another kind under the same name: the mutex cannot be created, and that is
    // no instruction.
    wchar_t* user = getCurrentUserName();
    ASSERT_NE(user, nullptr);
    std::wstring objectName =
        std::wstring(user) + L"_QmMessageTestClash" + std::to_wstring(GetCurrentProcessId());
    std::free(user);
    HANDLE clash = CreateEventW(nullptr, TRUE, FALSE, objectName.c_str());
    ASSERT_NE(clash, nullptr);
    std::string clashName = "QmMessageTestClash" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(probeInstructionMutex(clashName.c_str()), MutexProbe::Unavailable);
    EXPECT_EQ(getMutexLock(clashName.c_str(), 0), nullptr);
    CloseHandle(clash);
}

TEST(DebugModeEvent, OpensTheExistingEventOnce) {
    // Not created yet: nothing to open (unless another program of this session made it).
    HANDLE existing = OpenEventW(SYNCHRONIZE, FALSE, L"OqtQuillmark_DEBUG_MODE");
    if (existing == nullptr) {
        EXPECT_FALSE(openDebugModeEvent());
        EXPECT_EQ(debugModeEvent(), nullptr);
    } else {
        CloseHandle(existing);
    }
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, L"OqtQuillmark_DEBUG_MODE");
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(openDebugModeEvent());
    EXPECT_FALSE(openDebugModeEvent());
    HANDLE opened = debugModeEvent();
    ASSERT_NE(opened, nullptr);
    // Set through the opened handle, seen through the creator's.
    EXPECT_TRUE(SetEvent(opened));
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_OBJECT_0);
    CloseHandle(created);
}

#endif  // _WIN32

}  // namespace
