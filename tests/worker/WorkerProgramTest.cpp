// The real OqtQuillmarkWorker.exe in a folder of its own, beside stand-ins of the tray program,
// the service and the uninstaller (see StandInProgram.cpp). The programs' names, channels and
// mutexes are fixed, so these tests hold one resource lock.
#include <windows.h>

#include <cstdlib>
#include <string>

#include <wtsapi32.h>

#include <gtest/gtest.h>

#include "common/Tool.h"
#include "monitor/MonitorTool.h"
#include "worker/QuillmarkWorker.h"
#include "worker/WorkerFolder.h"

namespace {

constexpr DWORD kStartWait = 15000;

class WorkerProgramTest : public ::testing::Test {
protected:
    // Starts the tray program's stand-in and waits until its receiver window exists.
    void startMonitor() {
        folder.addStandIn(L"OqtQuillmarkMonitor.exe");
        monitor = folder.start(L"OqtQuillmarkMonitor.exe", L"");
        ASSERT_TRUE(waitFor([&] { return folder.journalHas("OqtQuillmarkMonitor.exe ready"); },
                            kStartWait));
    }
    void startService() {
        folder.addStandIn(L"OqtQuillmark.exe");
        folder.start(L"OqtQuillmark.exe", L"");
        ASSERT_TRUE(
            waitFor([&] { return folder.journalHas("OqtQuillmark.exe ready"); }, kStartWait));
    }
    bool workerDeleted() const {
        return waitFor([&] { return !fileExists(folder.file(L"OqtQuillmarkWorker.exe")); },
                       kStartWait);
    }

    WorkerFolder folder;
    HANDLE monitor = nullptr;
};

TEST_F(WorkerProgramTest, UnknownOrEmptyArgumentsOnlyLogTheStartUp) {
    EXPECT_EQ(folder.runWorker(L""), 0);
    EXPECT_EQ(folder.runWorker(L"-start x"), 0);
    std::string log = folder.log();
    EXPECT_NE(log.find("[Normal] Compile time: "), std::string::npos) << log;
    EXPECT_NE(log.find("[Normal] Command: -start x"), std::string::npos) << log;
    EXPECT_NE(log.find("[QuillmarkWorker-"), std::string::npos) << log;
    EXPECT_EQ(log.find("hideNOWaitCommand"), std::string::npos) << log;
    EXPECT_TRUE(fileExists(folder.file(L"OqtQuillmarkWorker.exe")));
}

TEST_F(WorkerProgramTest, StartLaunchesAMissingTrayProgramAndTellsARunningOne) {
    folder.addStandIn(L"OqtQuillmarkMonitor.exe");
    EXPECT_EQ(folder.runWorker(L"-START"), 0);
    ASSERT_TRUE(
        waitFor([&] { return folder.journalHas("OqtQuillmarkMonitor.exe ready"); }, kStartWait));
    EXPECT_FALSE(folder.journalHas("QuillmarkInstruction_Start"));

    EXPECT_EQ(folder.runWorker(L"-start"), 0);
    EXPECT_TRUE(
        folder.journalHas("OqtQuillmarkMonitor.exe QuillmarkInstruction_Start QuillmarkWorker\n"))
        << folder.journal() << folder.log();
    EXPECT_EQ(folder.journalCount("OqtQuillmarkMonitor.exe started"), 1u);

    EXPECT_EQ(folder.runWorker(L"-restart"), 0);
    EXPECT_EQ(folder.runWorker(L"-stop"), 0);
    EXPECT_TRUE(folder.journalHas("QuillmarkInstruction_Restart QuillmarkWorker"));
    EXPECT_TRUE(folder.journalHas("QuillmarkInstruction_Stop QuillmarkWorker"));
    EXPECT_EQ(folder.journalCount("OqtQuillmarkMonitor.exe started"), 1u);
}

TEST_F(WorkerProgramTest, StopWithoutTrayProgramIsLoggedAsSent) {
    EXPECT_EQ(folder.runWorker(L"-stop"), 0);
    std::string log = folder.log();
    EXPECT_NE(log.find("sendIPCMsgWin can't find window OqtQuillmarkMonitor.exe"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Send message final result: Success"), std::string::npos) << log;
}

TEST_F(WorkerProgramTest, MonitorStartOnlyTakesTheWorkerMutex) {
    startMonitor();
    EXPECT_EQ(folder.runWorker(L"-monitorstart"), 0);
    EXPECT_EQ(folder.journalCount("QuillmarkInstruction"), 0u);
    EXPECT_EQ(folder.log().find("sendIPCMsgWin"), std::string::npos);
}

TEST_F(WorkerProgramTest, AllStopEndsWatchdogTrayProgramAndService) {
    startMonitor();
    startService();
    HANDLE watchdog = folder.start(L"OqtQuillmarkWorker.exe", L"-watchdog");
    ASSERT_TRUE(waitFor([&] { return FindWindowW(L"OqtQuillmarkWatchdog", nullptr) != nullptr; },
                        kStartWait));
    // Another handle to the watchdog mutex (a tray program or a watchdog waiting for it at that
    // moment) keeps it alive after the watchdog, which ends holding it: it is left abandoned.
    wchar_t* user = getCurrentUserName();
    ASSERT_NE(user, nullptr);
    const HANDLE other =
        OpenMutexW(SYNCHRONIZE, FALSE, (std::wstring(user) + L"_OqtQuillmarkWatchdog").c_str());
    std::free(user);
    ASSERT_NE(other, nullptr);

    EXPECT_EQ(folder.runWorker(L"-allstop"), 0);
    CloseHandle(other);
    EXPECT_EQ(WaitForSingleObject(watchdog, kStartWait), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(watchdog, &code);
    EXPECT_EQ(code, 0u);
    std::string log = folder.log();
    EXPECT_NE(log.find("Stop area"), std::string::npos) << log;
    // One Suicide ended it inside its window's handler: neither an error for that send nor a
    // second Suicide for the mutex it left abandoned.
    EXPECT_EQ(log.find("window send fail"), std::string::npos) << log;
    EXPECT_EQ(log.find("sendIPCMsgWin can't find window OqtQuillmarkWatchdog"), std::string::npos)
        << log;
    EXPECT_NE(log.find("kill OqtQuillmarkMonitor.exe shutdown state: Success"), std::string::npos)
        << log;
    EXPECT_NE(log.find("kill OqtQuillmark.exe shutdown state: Success"), std::string::npos) << log;
    EXPECT_TRUE(folder.journalHas("OqtQuillmarkMonitor.exe QuillmarkInstruction_Suicide"));
    EXPECT_TRUE(folder.journalHas("OqtQuillmark.exe QuillmarkInstruction_Suicide"));
    // The watchdog ended on Suicide, not by finding the tray program gone.
    EXPECT_EQ(log.find("Monitor is NOT alive"), std::string::npos) << log;
}

TEST_F(WorkerProgramTest, WatchdogResetsAfterTheTrayProgramVanishes) {
    startMonitor();
    folder.start(L"OqtQuillmarkWorker.exe", L"-watchdog");
    ASSERT_TRUE(waitFor([&] { return folder.logHas("getMutexLock: Success"); }, kStartWait));

    // A second watchdog finds the mutex held and ends.
    EXPECT_EQ(folder.runWorker(L"-watchdog", kStartWait), 0);
    EXPECT_TRUE(folder.logHas("getMutexLock: Fail"));

    // The tray program ended by force: the watchdog resets, which starts a new tray program and a
    // new watchdog.
    ASSERT_TRUE(waitFor([&] { return folder.logHas("Monitor is alive"); }, kStartWait));
    TerminateProcess(monitor, 9);
    ASSERT_TRUE(waitFor([&] { return folder.logHas("Monitor is NOT alive"); }, kStartWait));
    // The watchdog writes "Reset!" as its next line, a moment later.
    EXPECT_TRUE(waitFor([&] { return folder.logHas("Reset!"); }, kStartWait));
    ASSERT_TRUE(waitFor([&] { return folder.logHas("Reset complete"); }, 30000));
    EXPECT_TRUE(waitFor([&] { return folder.journalCount("OqtQuillmarkMonitor.exe ready") == 2; },
                        kStartWait));
    EXPECT_TRUE(waitFor(
        [&] {
            std::string log = folder.log();
            size_t first = log.find("getMutexLock: Success");
            return first != std::string::npos &&
                   log.find("getMutexLock: Success", first + 1) != std::string::npos;
        },
        kStartWait));
    // Stop the restored set before the folder goes, so no watchdog outlives the test.
    EXPECT_EQ(folder.runWorker(L"-allstop"), 0);
}

// The watchdogs of these tests see the count of resets in a row that the test sets here.
class ResetCount {
public:
    explicit ResetCount(const wchar_t* value) {
        SetEnvironmentVariableW(L"OqtQuillmarkResets", value);
    }
    ResetCount(const ResetCount&) = delete;
    ResetCount& operator=(const ResetCount&) = delete;
    ~ResetCount() { SetEnvironmentVariableW(L"OqtQuillmarkResets", nullptr); }
};

TEST_F(WorkerProgramTest, WatchdogGivesUpAfterEightResetsInARow) {
    const ResetCount resets(L"8");
    startMonitor();
    HANDLE watchdog = folder.start(L"OqtQuillmarkWorker.exe", L"-watchdog");
    ASSERT_TRUE(waitFor([&] { return folder.logHas("Monitor is alive"); }, kStartWait));
    TerminateProcess(monitor, 9);
    EXPECT_EQ(WaitForSingleObject(watchdog, kStartWait), WAIT_OBJECT_0);
    EXPECT_TRUE(folder.logHas("Monitor is NOT alive"));
    EXPECT_TRUE(folder.logHas("Reset too many times, shutdown watchdog")) << folder.log();
    EXPECT_FALSE(folder.logHas("Reset!"));
}

TEST_F(WorkerProgramTest, WatchdogResetsNoTrayProgramThatNeverStarted) {
    // No tray program at all (it can't start): the watchdog waits for it a while and ends.
    HANDLE watchdog = folder.start(L"OqtQuillmarkWorker.exe", L"-watchdog");
    ASSERT_EQ(WaitForSingleObject(watchdog, 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(folder.logHas("Monitor did not start, no reset")) << folder.log();
    EXPECT_FALSE(folder.logHas("Reset!"));
}

TEST_F(WorkerProgramTest, WatchdogResetCountTravelsThroughARealReset) {
    const ResetCount resets(L"7");
    startMonitor();
    folder.start(L"OqtQuillmarkWorker.exe", L"-watchdog");
    ASSERT_TRUE(waitFor([&] { return folder.logHas("Monitor is alive"); }, kStartWait));
    TerminateProcess(monitor, 9);
    // The eighth reset in a row: the reset worker starts a new tray program and a new watchdog.
    ASSERT_TRUE(waitFor([&] { return folder.logHas("Reset complete"); }, 30000)) << folder.log();
    ASSERT_TRUE(waitFor([&] { return folder.logCount("Monitor is alive") == 2; }, 30000))
        << folder.log();
    killProcessByName("OqtQuillmarkMonitor.exe");
    // The new watchdog counts that reset and gives up instead of resetting a ninth time.
    EXPECT_TRUE(waitFor([&] { return folder.logHas("Reset too many times, shutdown watchdog"); },
                        kStartWait))
        << folder.log();
    EXPECT_EQ(folder.logCount("Reset!"), 1u) << folder.log();
}

// A watchdog that has taken its mutex but whose receivers are not up yet when -allstop sends its
// first Suicide; they come up right after it.
TEST_F(WorkerProgramTest, AllStopWinsOverAWatchdogStillStarting) {
    startMonitor();
    folder.addStandIn(L"StartingWatchdog.exe");
    HANDLE watchdog = folder.start(L"StartingWatchdog.exe", L"");
    ASSERT_TRUE(
        waitFor([&] { return folder.journalHas("StartingWatchdog.exe holding"); }, kStartWait));
    HANDLE allStop = folder.start(L"OqtQuillmarkWorker.exe", L"-allstop");
    ASSERT_TRUE(waitFor(
        [&] { return folder.logHas("sendIPCMsgWin can't find window OqtQuillmarkWatchdog"); },
        kStartWait));
    writeFile(folder.file(L"receivers.go"), "");

    ASSERT_EQ(WaitForSingleObject(allStop, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(watchdog, 0), WAIT_OBJECT_0) << "the watchdog outlived -allstop";
    // Told again once it listened, and the tray program stopped only after it had gone, while
    // -allstop held the watchdog mutex.
    const std::string journal = folder.journal();
    const size_t watchdogTold =
        journal.find("StartingWatchdog.exe QuillmarkInstruction_Suicide QuillmarkWorker");
    const size_t monitorTold =
        journal.find("OqtQuillmarkMonitor.exe QuillmarkInstruction_Suicide QuillmarkWorker");
    ASSERT_NE(watchdogTold, std::string::npos) << journal;
    ASSERT_NE(monitorTold, std::string::npos) << journal;
    EXPECT_LT(watchdogTold, monitorTold) << journal;
    EXPECT_TRUE(folder.journalHas("OqtQuillmarkMonitor.exe watchdog mutex held")) << journal;
    EXPECT_FALSE(isProcessRunning("OqtQuillmarkMonitor.exe"));
}

TEST_F(WorkerProgramTest, ControlModeGivesUpWhileAnotherHoldsTheWorkerMutex) {
    startMonitor();
    HANDLE held = static_cast<HANDLE>(getMutexLock(kWorkerMutexName, 0));
    ASSERT_NE(held, nullptr);
    DWORD began = GetTickCount();
    EXPECT_EQ(folder.runWorker(L"-stop"), 0);
    DWORD took = GetTickCount() - began;
    ReleaseMutex(held);
    CloseHandle(held);
    // Eleven attempts of 200 ms, 500 ms apart.
    EXPECT_GE(took, 7000u);
    EXPECT_TRUE(folder.logHas("Get mutex lock time out"));
    EXPECT_FALSE(folder.journalHas("QuillmarkInstruction_Stop"));

    // Free again: the next control run goes through.
    EXPECT_EQ(folder.runWorker(L"-stop"), 0);
    EXPECT_TRUE(folder.journalHas("QuillmarkInstruction_Stop QuillmarkWorker"));
}

TEST_F(WorkerProgramTest, WatchdogFollowsTheDebugSwitchAndOutlivesASessionLock) {
    startMonitor();
    // The tray program's debug event, made here as the tray program makes it.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"OqtQuillmark_DEBUG_MODE");
    ASSERT_NE(event, nullptr);
    HANDLE watchdog = folder.start(L"OqtQuillmarkWorker.exe", L"-watchdog");
    ASSERT_TRUE(waitFor([&] { return folder.logHas("getMutexLock: Success"); }, kStartWait));
    HWND window = nullptr;
    ASSERT_TRUE(
        waitFor([&] { return (window = FindWindowW(L"OqtQuillmarkWatchdog", nullptr)) != nullptr; },
                kStartWait));

    auto pulse = [&] {
        SetEvent(event);
        Sleep(30);
        ResetEvent(event);
    };
    auto enables = [&] {
        std::string log = folder.log();
        size_t count = 0;
        for (size_t at = log.find("Log Enable"); at != std::string::npos;
             at = log.find("Log Enable", at + 1)) {
            ++count;
        }
        return count;
    };
    EXPECT_EQ(enables(), 1u);
    pulse();
    EXPECT_TRUE(waitFor([&] { return folder.logHas("Log state: Disable"); }, kStartWait));
    Sleep(200);
    pulse();
    EXPECT_TRUE(waitFor([&] { return enables() == 2; }, kStartWait)) << folder.log();

    SendMessageW(window, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 1);
    SendMessageW(window, WM_WTSSESSION_CHANGE, WTS_REMOTE_DISCONNECT, 1);
    EXPECT_EQ(WaitForSingleObject(watchdog, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(folder.runWorker(L"-allstop"), 0);
    EXPECT_EQ(WaitForSingleObject(watchdog, kStartWait), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST_F(WorkerProgramTest, UninstallDetectWithWrongArgumentsKeepsTheWorker) {
    EXPECT_EQ(folder.runWorker(L"-uninstalldetect"), kWorkerParameterError);
    EXPECT_EQ(folder.runWorker(L"-uninstalldetect a.exe b.exe c.exe"), kWorkerParameterError);
    std::string log = folder.log();
    EXPECT_NE(log.find("Quillmark uninstall detect: Parameter error"), std::string::npos) << log;
    EXPECT_NE(log.find("[Normal] argv[2] = c.exe"), std::string::npos) << log;
    Sleep(3000);  // self-deletion would have happened by now
    EXPECT_TRUE(fileExists(folder.file(L"OqtQuillmarkWorker.exe")));
}

// An installation as it is laid out: the programs linked statically, so no DLL beside the worker;
// the adapters of the installed components in "Oqt\".
TEST_F(WorkerProgramTest, UninstallDetectWithComponentsLeftSendsMonitorStart) {
    startMonitor();
    writeFile(folder.file(L"Oqt\\OqtTvqGPKICryptXrbAdapter.dll"), "x");
    writeFile(folder.file(L"Oqt\\OqtTvqHCAXrbAdapter.dll"), "x");
    folder.addStandIn(L"uninst.exe");
    EXPECT_EQ(folder.runWorker(L"-uninstalldetect uninst.exe C:\\t\\Au_.exe"), 0);
    EXPECT_TRUE(
        folder.journalHas("OqtQuillmarkMonitor.exe QuillmarkInstruction_MonitorStart "
                          "QuillmarkWorker-"));
    EXPECT_FALSE(folder.journalHas("uninst.exe started"));
    EXPECT_TRUE(folder.logHas("TotolSize = 2 MainSize = 0"));
    EXPECT_TRUE(workerDeleted());
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST_F(WorkerProgramTest, UninstallDetectWithoutComponentsRunsTheUninstallerSilently) {
    // The uninstaller lies in a folder whose name holds a blank; a program named like the part
    // before the blank must not be started in its place.
    CreateDirectoryW(folder.file(L"Un inst").c_str(), nullptr);
    folder.addStandIn(L"Un inst\\uninst.exe");
    folder.addStandIn(L"Un.exe");
    wchar_t* dataPath = getCommonDataPath();
    ASSERT_NE(dataPath, nullptr);
    std::wstring data = dataPath;
    free(dataPath);
    ASSERT_FALSE(data.empty());
    writeFile(data + L"\\qm-worker-visible.dll", "x");
    writeFile(data + L"\\qm-worker-hidden.dll", "x");
    SetFileAttributesW((data + L"\\qm-worker-hidden.dll").c_str(), FILE_ATTRIBUTE_HIDDEN);
    writeFile(data + L"\\qm-worker-kept.txt", "x");
    // The uninstaller's temporary copy is still running: the worker waits for it.
    folder.addStandIn(L"Au_.exe");
    HANDLE au = folder.start(L"Au_.exe", L"");
    ASSERT_TRUE(waitFor([&] { return folder.journalHas("Au_.exe started"); }, kStartWait));
    HANDLE worker =
        folder.start(L"OqtQuillmarkWorker.exe",
                     L"-uninstalldetect " + folder.file(L"Un inst\\uninst.EXE") + L" Au_.exe");
    Sleep(1500);
    EXPECT_FALSE(fileExists(folder.file(L"Un inst\\journal.txt")));
    TerminateProcess(au, 9);
    ASSERT_EQ(WaitForSingleObject(worker, 30000), WAIT_OBJECT_0);
    // The stand-in journals beside itself.
    const std::wstring uninstallerJournal = folder.file(L"Un inst\\journal.txt");
    EXPECT_TRUE(waitFor(
        [&] {
            return lowerCase(readFile(uninstallerJournal)).find("uninst.exe started /s") !=
                   std::string::npos;
        },
        kStartWait))
        << readFile(uninstallerJournal) << folder.log();
    EXPECT_FALSE(folder.journalHas("Un.exe started"));
    EXPECT_TRUE(folder.logHas("TotolSize = 0 MainSize = 0"));
    EXPECT_TRUE(folder.logHas("->Unstall"));
    EXPECT_FALSE(fileExists(data + L"\\qm-worker-visible.dll"));
    EXPECT_FALSE(fileExists(data + L"\\qm-worker-hidden.dll"));
    EXPECT_TRUE(fileExists(data + L"\\qm-worker-kept.txt"));
    DeleteFileW((data + L"\\qm-worker-kept.txt").c_str());
    EXPECT_TRUE(workerDeleted());
}

TEST_F(WorkerProgramTest, DeleteRemovesTheFileAndEveryEmptyParent) {
    std::wstring top = folder.file(L"app");
    writeFile(top + L"\\keep.txt", "x");
    writeFile(top + L"\\a\\b\\c.txt", "x");
    EXPECT_EQ(folder.runWorker(L"-delete \"" + top + L"\\a\\b\\c.txt\""), 0);
    EXPECT_FALSE(fileExists(top + L"\\a"));
    EXPECT_TRUE(fileExists(top + L"\\keep.txt"));
    std::string log = folder.log();
    EXPECT_NE(log.find("File mode"), std::string::npos) << log;
    EXPECT_NE(log.find("\\app\\a success"), std::string::npos) << log;
    EXPECT_NE(log.find("\\app retry too many times"), std::string::npos) << log;
    EXPECT_TRUE(workerDeleted());
}

TEST_F(WorkerProgramTest, DeleteWaitsForTheUninstallerAndTakesFoldersWithDots) {
    std::wstring top = folder.file(L"keep");
    writeFile(top + L"\\other.txt", "x");
    CreateDirectoryW((top + L"\\v1.2").c_str(), nullptr);
    CreateDirectoryW((top + L"\\v1.2\\bin").c_str(), nullptr);
    folder.addStandIn(L"Un_A.exe");
    HANDLE uninstaller = folder.start(L"Un_A.exe", L"");
    ASSERT_TRUE(waitFor([&] { return folder.journalHas("Un_A.exe started"); }, kStartWait));
    HANDLE worker = folder.start(L"OqtQuillmarkWorker.exe", L"-delete " + top + L"\\v1.2\\bin\\");
    ASSERT_TRUE(
        waitFor([&] { return folder.logHas("NSIS uninstaller is running, wait"); }, kStartWait));
    EXPECT_TRUE(fileExists(top + L"\\v1.2\\bin"));
    TerminateProcess(uninstaller, 9);
    ASSERT_EQ(WaitForSingleObject(worker, 30000), WAIT_OBJECT_0);
    EXPECT_FALSE(fileExists(top + L"\\v1.2"));
    EXPECT_TRUE(fileExists(top + L"\\other.txt"));
    EXPECT_TRUE(folder.logHas("Folder mode"));
    EXPECT_FALSE(folder.logHas("File mode"));
}

TEST_F(WorkerProgramTest, DeleteOfABareFileNameEndsWithTheFile) {
    // Relative to the worker's current folder; there is no parent in the path to climb to.
    writeFile(folder.file(L"leftover"), "x");
    DWORD began = GetTickCount();
    EXPECT_EQ(folder.runWorker(L"-delete leftover"), 0);
    EXPECT_LT(GetTickCount() - began, 4000u);
    EXPECT_FALSE(fileExists(folder.file(L"leftover")));
    EXPECT_TRUE(folder.logHas("Delete -delete leftover success"));
    EXPECT_FALSE(folder.logHas("too many"));
    EXPECT_FALSE(folder.logHas("File mode"));
}

TEST_F(WorkerProgramTest, DeleteOfAMissingFolderGivesUpAfterElevenAttempts) {
    DWORD began = GetTickCount();
    EXPECT_EQ(folder.runWorker(L"-delete " + folder.file(L"none\\gone")), 0);
    EXPECT_GE(GetTickCount() - began, 5000u);
    EXPECT_TRUE(folder.logHas("none\\gone retry too many times"));
    EXPECT_FALSE(folder.logHas("success"));
    EXPECT_TRUE(fileExists(folder.path()));
}

TEST_F(WorkerProgramTest, KeyToByteAppendsDeclarationsToCertH) {
    writeFile(folder.file(L"key_RSA.der"), std::string("\x30\x82\x00\x0d\x0a", 5));
    writeFile(folder.file(L"other_rsa.der"), std::string("\x30\x82", 2));
    writeFile(folder.file(L"empty.der"), "");
    EXPECT_EQ(folder.runWorker(L"-KeyToByte key_RSA.der"), 0);
    EXPECT_EQ(folder.runWorker(L"-KeyToByte other_rsa.der"), 0);
    EXPECT_EQ(folder.runWorker(L"-KeyToByte empty.der"), 0);
    EXPECT_EQ(folder.runWorker(L"-KeyToByte missing.der"), 0);
    EXPECT_EQ(readFile(folder.file(L"Cert.h")),
              "byte RSAKey[] = { 0x30, 0x82, 0x0, 0xD, 0xA};byte ECKey[] = { 0x30, 0x82};};");
    EXPECT_TRUE(folder.logHas("FileName: missing.der"));
    EXPECT_TRUE(fileExists(folder.file(L"OqtQuillmarkWorker.exe")));
}

}  // namespace
