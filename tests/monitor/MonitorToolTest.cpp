// MonitorTool: hidden commands, process lookup and kill by file name and the staged stopper on
// real processes (copies of this test program under names of their own), paths, files and time
// texts.
#include "monitor/MonitorTool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "NamedProcess.h"
#include "common/Log.h"
#include "common/Tool.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"

namespace {

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Heap = std::unique_ptr<T, FreeDeleter>;

std::string narrow(const std::wstring& wide) {
    return std::string(wide.begin(), wide.end());
}

bool anyContains(const std::vector<std::string>& messages, const std::string& text) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
}

size_t countContaining(const std::vector<std::string>& messages, const std::string& text) {
    return static_cast<size_t>(
        std::count_if(messages.begin(), messages.end(),
                      [&](const std::string& m) { return m.find(text) != std::string::npos; }));
}

}  // namespace

// A target process: idles until it is ended (at most a minute).
QM_TEST_CHILD_MAIN(idle) {
    Sleep(60000);
    return 0;
}

// Sets the event named by its argument, so a test sees that it was started.
QM_TEST_CHILD_MAIN(signal) {
    TestEvent event(arguments.at(0));
    event.set();
    return 0;
}

namespace {

// A file name no other test process uses ("QmTarget<pid>_<n>.exe").
std::wstring uniqueProgramName(const wchar_t* stem) {
    return uniqueObjectName(stem) + L".exe";
}

// The system folder's path of a program, as the stoppers log it.
std::string systemProgram(const char* name) {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return narrow(folder) + "\\" + name;
}

// Makes a fresh folder holding files named like the system commands that are no programs, and
// makes it the current folder while the owner lives: a command started by bare name would find
// these first and fail to start.
class PlantedCommands {
public:
    PlantedCommands() : folder_(makeTestFolder("planted")) {
        for (const char* name : {"cmd.exe", "taskkill.exe", "ping.exe"}) {
            std::ofstream(folder_ / name) << "not a program";
        }
        GetCurrentDirectoryW(MAX_PATH, previous_);
        SetCurrentDirectoryW(folder_.wstring().c_str());
    }
    PlantedCommands(const PlantedCommands&) = delete;
    PlantedCommands& operator=(const PlantedCommands&) = delete;
    ~PlantedCommands() {
        SetCurrentDirectoryW(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

private:
    std::filesystem::path folder_;
    wchar_t previous_[MAX_PATH] = {};
};

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// ---- Hidden commands ------------------------------------------------------------------------

struct WaitCase {
    const char* name;
    const wchar_t* command;
    bool useCmd;
    unsigned long expected;
};

TEST(MonitorToolTest, HideWaitCommandGivesTheExitCodeOrSaysNothingRan) {
    const PlantedCommands planted;
    const WaitCase cases[] = {
        {"null command", nullptr, false, 1},
        {"command unchanged", L"QmNoSuchProgram_4711.exe /c exit 7", false, kWaitCommandNotRun},
        {"through cmd /c", L"exit 5", true, 5},
        {"program that does not exist", L"QmNoSuchProgram_4711.exe", false, kWaitCommandNotRun},
    };
    for (const WaitCase& row : cases) {
        EXPECT_EQ(hideWaitCommand(row.command, row.useCmd), row.expected) << row.name;
    }
}

TEST(MonitorToolTest, HideNoWaitCommandStartsWithoutWaitingAndLogsTheCommand) {
    LogCapture log;
    const std::wstring eventName = uniqueObjectName(L"QmNoWait");
    TestEvent started(eventName);
    const std::wstring command = L"\"" + ownProgramFile() + L"\" --qm-child=signal " + eventName;
    hideNOWaitCommand(command.c_str());
    EXPECT_TRUE(started.wait(20000));
    EXPECT_TRUE(log.contains("hideNOWaitCommand: " + narrow(command)));

    hideNOWaitCommand(static_cast<const wchar_t*>(nullptr));
    EXPECT_TRUE(log.contains("Parameter inputCommand is null at Tool"));
}

// ---- Processes by file name -----------------------------------------------------------------

TEST(MonitorToolTest, LookupIgnoresCaseAndKillTakesOnlyTheExactName) {
    const std::wstring name = uniqueProgramName(L"QmTarget");
    NamedProcess target(name, L"idle");
    ASSERT_TRUE(target.started());
    const std::string exact = narrow(name);
    const std::string lowered = lowerCase(exact);

    EXPECT_TRUE(isProcessRunning(exact.c_str()));
    EXPECT_TRUE(isProcessRunning(lowered.c_str()));
    EXPECT_FALSE(isProcessRunning("QmNoSuchProgram_4711.exe"));

    EXPECT_TRUE(killProcessByName(lowered.c_str()));
    EXPECT_EQ(target.exitCode(300), -1) << "a name in other letter case must not be killed";

    EXPECT_TRUE(killProcessByName(exact.c_str()));
    EXPECT_EQ(target.exitCode(10000), 9);
    EXPECT_FALSE(isProcessRunning(exact.c_str()));
}

TEST(MonitorToolTest, NullNamesAreReported) {
    LogCapture log;
    EXPECT_FALSE(isProcessRunning(nullptr));
    EXPECT_TRUE(killProcessByName(nullptr));
    EXPECT_FALSE(stopProgram(nullptr));
    EXPECT_TRUE(log.contains("Parameter processName is null at Tool"));
    EXPECT_TRUE(log.contains("Parameter filename is null at Tool"));
    EXPECT_TRUE(log.contains("Parameter inputTo is null at Tool"));
}

// ---- Staged stopper -------------------------------------------------------------------------

class MonitorToolStopTest : public ::testing::Test {
protected:
    void TearDown() override { setStopKillCommandForTesting(nullptr); }
    LogCapture log;
    const PlantedCommands planted;
};

TEST_F(MonitorToolStopTest, TargetThatDoesNotRunNeedsNoKillCommand) {
    const std::string target = narrow(uniqueProgramName(L"QmAbsent"));
    EXPECT_TRUE(stopProgram(target.c_str()));
    const auto messages = log.messages();
    EXPECT_TRUE(anyContains(messages, "sendIPCMsgWin can't find window " + target));
    EXPECT_TRUE(
        anyContains(messages, "[QuillmarkWorker] QuillmarkWorker kill " + target + " success"));
    EXPECT_TRUE(anyContains(
        messages, "[Normal] [QuillmarkWorker] kill " + target + " shutdown state: Success"));
    EXPECT_FALSE(anyContains(messages, "Start command kill mode"));
}

TEST_F(MonitorToolStopTest, KillByNameEndsTheTargetBeforeTheFirstTest) {
    const std::wstring name = uniqueProgramName(L"QmTarget");
    NamedProcess target(name, L"idle");
    ASSERT_TRUE(target.started());
    EXPECT_TRUE(stopProgram(narrow(name).c_str()));
    EXPECT_EQ(target.exitCode(0), 9);
    EXPECT_FALSE(log.contains("Start command kill mode"));
}

TEST_F(MonitorToolStopTest, TaskkillEndsATargetNamedInOtherCase) {
    const std::wstring name = uniqueProgramName(L"QmCaseTarget");
    NamedProcess target(name, L"idle");
    ASSERT_TRUE(target.started());
    const std::string lowered = lowerCase(narrow(name));
    EXPECT_TRUE(stopProgram(lowered.c_str()));
    EXPECT_NE(target.exitCode(0), -1);
    const auto messages = log.messages();
    EXPECT_TRUE(anyContains(messages, "QuillmarkWorker kill " + lowered + " fail"));
    EXPECT_TRUE(anyContains(messages, "[QuillmarkWorker] Start command kill mode"));
    // /F once: Windows' own tools refuse an option given twice.
    EXPECT_TRUE(
        anyContains(messages, "Command: " + systemProgram("taskkill.exe") + " /F /im " + lowered));
    EXPECT_FALSE(anyContains(messages, lowered + " /F"));
    EXPECT_TRUE(anyContains(messages, "shutdown state: Success"));
}

TEST_F(MonitorToolStopTest, TargetThatSurvivesEveryStageIsReportedAsNotStopped) {
    const std::wstring name = uniqueProgramName(L"QmCaseTarget");
    NamedProcess target(name, L"idle");
    ASSERT_TRUE(target.started());
    const std::string lowered = lowerCase(narrow(name));
    setStopKillCommandForTesting(
        utf8ToWide((systemProgram("cmd.exe") + " /c exit 0").c_str()).c_str());
    EXPECT_FALSE(stopProgram(lowered.c_str()));
    EXPECT_EQ(target.exitCode(0), -1);
    const auto messages = log.messages();
    const std::string waitLine = "[QuillmarkWorker] Wait for " + lowered + " shutdown: ";
    EXPECT_EQ(countContaining(messages, waitLine), 30U);
    EXPECT_TRUE(anyContains(messages, waitLine + "0"));
    EXPECT_TRUE(anyContains(messages, waitLine + "29"));
    EXPECT_TRUE(
        anyContains(messages, "Command: " + systemProgram("taskkill.exe") + " /F /im " + lowered));
    EXPECT_TRUE(anyContains(messages,
                            "[Error] [QuillmarkWorker] kill " + lowered + " shutdown state: Fail"));
}

// ---- Paths, files and texts ---------------------------------------------------------------------

TEST(MonitorToolTest, LocalTimeTextPadsEveryFieldButTheYear) {
    struct Case {
        const char* name;
        int year, month, day, hour, minute, second;
        const char* expected;
    };
    const Case cases[] = {
        {"single digits", 2022, 3, 1, 9, 5, 7, "2022-03-01 09-05-07"},
        {"two digits", 2022, 3, 11, 14, 26, 48, "2022-03-11 14-26-48"},
        {"midnight new year", 2030, 1, 1, 0, 0, 0, "2030-01-01 00-00-00"},
    };
    for (const Case& row : cases) {
        std::tm time{};
        time.tm_year = row.year - 1900;
        time.tm_mon = row.month - 1;
        time.tm_mday = row.day;
        time.tm_hour = row.hour;
        time.tm_min = row.minute;
        time.tm_sec = row.second;
        Heap<char> text(localTimeTextOf(time));
        ASSERT_NE(text, nullptr) << row.name;
        EXPECT_STREQ(text.get(), row.expected) << row.name;
    }
    Heap<char> now(getLocalTimeText());
    ASSERT_NE(now, nullptr);
    EXPECT_TRUE(std::regex_match(now.get(), std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)")))
        << now.get();
}

TEST(MonitorToolTest, TimeValueHexIsTheMessageTimeCount) {
    const int64_t before = getTimeValue();
    Heap<char> text(getTimeValueHex());
    const int64_t after = getTimeValue();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(std::regex_match(text.get(), std::regex("[1-9a-f][0-9a-f]*"))) << text.get();
    const auto value = static_cast<int64_t>(std::stoull(text.get(), nullptr, 16));
    EXPECT_GE(value, before);
    EXPECT_LE(value, after);
}

TEST(MonitorToolTest, CreateDirectoriesMakesEveryFolderButNotTheFile) {
    const std::filesystem::path root = makeTestFolder("dirs");
    const std::wstring path = root.wstring() + L"\\a\\b/c\\x.ini";
    EXPECT_TRUE(createDirectories(path.c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(root / "a" / "b" / "c"));
    EXPECT_FALSE(std::filesystem::exists(root / "a" / "b" / "c" / "x.ini"));
    // Existing folders are no failure.
    EXPECT_TRUE(createDirectories(path.c_str()));
    EXPECT_TRUE(createDirectories(L""));
    EXPECT_TRUE(createDirectories(nullptr));
    std::filesystem::remove_all(root);
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

TEST(MonitorToolTest, WriteTextFileTruncatesAndRefusesBadArguments) {
    const std::filesystem::path root = makeTestFolder("write");
    const std::wstring file = (root / "settings.txt").wstring();
    EXPECT_TRUE(writeTextFile(file.c_str(), "first line that is long\n"));
    EXPECT_TRUE(writeTextFile(file.c_str(), "short\n"));
    EXPECT_EQ(readAll(file), "short\r\n") << "text mode, truncated";
    EXPECT_FALSE(writeTextFile(nullptr, "x"));
    EXPECT_FALSE(writeTextFile(L"", "x"));
    EXPECT_FALSE(writeTextFile(file.c_str(), nullptr));
    EXPECT_FALSE(writeTextFile(root.wstring().c_str(), "a folder"));
    std::filesystem::remove_all(root);
}

TEST(MonitorToolTest, AppendKeyHeaderAppendsToCertHeaderInTheCurrentFolder) {
    const std::filesystem::path root = makeTestFolder("cert");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(root);
    EXPECT_TRUE(appendKeyHeader("unsigned char a[] = {0x01};"));
    EXPECT_TRUE(appendKeyHeader(" // second"));
    EXPECT_FALSE(appendKeyHeader(nullptr));
    std::filesystem::current_path(previous);
    EXPECT_EQ(readAll(root / "Cert.h"), "unsigned char a[] = {0x01}; // second");
    std::filesystem::remove_all(root);
}

TEST(MonitorToolTest, FolderPathsComeFromTheShell) {
    wchar_t common[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common)));
    Heap<wchar_t> data(getCommonDataPath());
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::wstring(data.get()), std::wstring(common) + L"\\OqtQuillmark");

    wchar_t desktop[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOPDIRECTORY, FALSE));
    Heap<wchar_t> path(getDesktopPath());
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), desktop);
}

TEST(MonitorToolTest, DeleteSelfCommandPingsOnceThenDeletesTheQuotedPath) {
    const std::wstring command =
        deleteSelfCommandForTesting(L"C:\\Program Files\\Oqt\\OqtQuillmarkWorker.exe");
    EXPECT_EQ(narrow(command), systemProgram("cmd.exe") + " /C " + systemProgram("ping.exe") +
                                   " 198.51.100.1 -n 1 -w 2000 > Nul & Del \"C:\\Program "
                                   "Files\\Oqt\\OqtQuillmarkWorker.exe\"");
}

}  // namespace
