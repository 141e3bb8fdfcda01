// The tray program as a real process: one instance per user, a second start ends at once, the
// tray double click opens the About box, and the program quits from the menu and on Suicide. Its
// start-up in an installation folder of its own beside a stand-in worker: the settings it writes,
// the watchdog it starts, the debug event, the lock-mode receiver of its main channel, and an
// instance of another user that must leave everything alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/Message.h"
#include "common/Tool.h"
#include "monitor/MonitorMessage.h"
#include "monitor/MonitorTool.h"
#include "support/ChildProcess.h"
#include "worker/WorkerFolder.h"

#ifndef QM_MONITOR_EXE
#error "QM_MONITOR_EXE names the program under test"
#endif

namespace {

constexpr wchar_t kWindowClass[] = L"OqtQuillmarkMonitor.exe";
constexpr wchar_t kAboutCaption[] = L"OqtQuillmark Monitor";

std::wstring programPath() {
    const std::string unixPath = QM_MONITOR_EXE;
    std::wstring path = L"Z:";
    for (char c : unixPath) {
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    return path;
}

// The tray program under test, ended by its owner if it still runs.
ChildProcess startProgram() {
    return ChildProcess::launch(programPath(), L"");
}

HWND waitForWindow(const wchar_t* windowClass, const wchar_t* title, DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        if (HWND window = FindWindowW(windowClass, title); window != nullptr) {
            return window;
        }
        if (GetTickCount64() > end) {
            return nullptr;
        }
        Sleep(20);
    }
}

TEST(MonitorProgramTest, OneInstanceAboutBoxAndQuitFromTheMenu) {
    ASSERT_EQ(FindWindowW(kWindowClass, nullptr), nullptr);
    ChildProcess first = startProgram();
    ASSERT_TRUE(first.started());
    HWND window = waitForWindow(kWindowClass, nullptr, 15000);
    ASSERT_NE(window, nullptr);

    // The same user again: the mutex is taken, the second program waits for it and ends.
    ChildProcess second = startProgram();
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.waitForExit(15000), 0);
    EXPECT_EQ(first.waitForExit(0), -1);
    EXPECT_EQ(FindWindowW(kWindowClass, nullptr), window);

    // The tray's double click opens the About box in the program.
    PostMessageW(window, 0x401, 0, 0x203);
    HWND about = waitForWindow(L"#32770", kAboutCaption, 10000);
    ASSERT_NE(about, nullptr);
    SendMessageW(about, WM_COMMAND, IDOK, 0);

    PostMessageW(window, WM_COMMAND, 40003, 0);
    EXPECT_EQ(first.waitForExit(20000), 0);
    EXPECT_EQ(FindWindowW(kWindowClass, nullptr), nullptr);
}

TEST(MonitorProgramTest, SuicideInstructionEndsTheProgram) {
    ChildProcess program = startProgram();
    ASSERT_TRUE(program.started());
    ASSERT_NE(waitForWindow(kWindowClass, nullptr, 15000), nullptr);
    // The send waits in SendMessageW for the program's window: on a thread of its own, so that a
    // program that never answers fails the test instead of holding it.
    std::atomic<bool> sent{false};
    std::thread sender([&sent] { sent = sendInstruction(kMonitorChannel); });
    EXPECT_EQ(program.waitForExit(20000), 0);
    if (program.waitForExit(0) != 0) {
        sender.detach();
        FAIL() << "the program did not end on Suicide";
    }
    sender.join();
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(FindWindowW(kWindowClass, nullptr), nullptr);
}

// The tray program copied into an installation folder beside a stand-in worker, which journals
// its starts; the program logs into the folder.
class InstalledMonitor {
public:
    InstalledMonitor() {
        folder.addProgram(QM_MONITOR_EXE, L"OqtQuillmarkMonitor.exe");
        folder.addStandIn(L"OqtQuillmarkWorker.exe");
    }
    HANDLE start() { return folder.start(L"OqtQuillmarkMonitor.exe", L""); }
    size_t watchdogStarts() const {
        return folder.journalCount("OqtQuillmarkWorker.exe started -watchdog");
    }
    // The program logs each start before it makes it, so an ended program has logged them all.
    bool watchdogStartLogged() const {
        return folder.logHas("hideNOWaitCommand: OqtQuillmarkWorker.exe -watchdog");
    }

    WorkerFolder folder;
};

std::wstring dataFolder() {
    wchar_t* path = getCommonDataPath();
    std::wstring folder = path != nullptr ? path : L"";
    std::free(path);
    return folder;
}

TEST(MonitorProgramTest, StartUpOnAnEmptyDataFolder) {
    const std::wstring config = dataFolder() + L"\\OqtQuillmarkConfig";
    DeleteFileW(config.c_str());
    RemoveDirectoryW(dataFolder().c_str());
    InstalledMonitor installed;
    installed.start();
    ASSERT_NE(waitForWindow(kWindowClass, nullptr, 15000), nullptr) << installed.folder.log();

    EXPECT_EQ(readFile(config),
              "isScreenShot=false\r\nsilentmode=false\r\nautocheckupdate=true\r\n");
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, L"OqtQuillmark_DEBUG_MODE");
    EXPECT_NE(event, nullptr);
    if (event != nullptr) {
        CloseHandle(event);
    }
    EXPECT_TRUE(waitFor([&] { return installed.watchdogStarts() == 1; }, 15000))
        << installed.folder.journal();

    // Stop by lock mode alone: the instruction's mutex held, no window message.
    ASSERT_TRUE(
        waitFor([&] { return installed.folder.logHas("Start Quillmark main program"); }, 15000));
    ASSERT_TRUE(waitFor(
        [&] {
            void* stop = getMutexLock("OqtQuillmarkMonitor.exeQuillmarkInstruction_Stop", 0);
            Sleep(200);
            releaseMutexLock(stop);
            return installed.folder.logHas("Recivie stop message");
        },
        15000))
        << installed.folder.log();
    EXPECT_TRUE(waitFor([&] { return installed.folder.logHas("Execute stop function"); }, 15000));
    EXPECT_EQ(installed.watchdogStarts(), 1U);
    PostMessageW(FindWindowW(kWindowClass, nullptr), WM_COMMAND, 40003, 0);
    EXPECT_TRUE(waitFor([] { return FindWindowW(kWindowClass, nullptr) == nullptr; }, 20000));
}

TEST(MonitorProgramTest, NoWatchdogIsStartedWhileOneHoldsItsMutex) {
    void* watchdog = getMutexLock("OqtQuillmarkWatchdog", 0);
    ASSERT_NE(watchdog, nullptr);
    InstalledMonitor installed;
    installed.start();
    ASSERT_NE(waitForWindow(kWindowClass, nullptr, 15000), nullptr);
    // The probe of the watchdog mutex comes before the log settings and the threads.
    ASSERT_TRUE(
        waitFor([&] { return installed.folder.logHas("Start Quillmark main program"); }, 15000));
    EXPECT_FALSE(installed.watchdogStartLogged());
    EXPECT_EQ(installed.watchdogStarts(), 0U) << installed.folder.journal();
    releaseMutexLock(watchdog);
    PostMessageW(FindWindowW(kWindowClass, nullptr), WM_COMMAND, 40003, 0);
    EXPECT_TRUE(waitFor([] { return FindWindowW(kWindowClass, nullptr) == nullptr; }, 20000));
}

std::atomic<int> gDoubleClicks{0};

LRESULT CALLBACK otherUsersWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == 0x401 && lParam == 0x203) {
        ++gDoubleClicks;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Another user's tray program on this desktop: its window is visible here, its mutexes are not
// (they are that user's). A second instance only asks it to open its About box.
TEST(MonitorProgramTest, InstanceOfAnotherUserLeavesTheRunningOneAlone) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = otherUsersWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    HWND other = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                 windowClass.hInstance, nullptr);
    ASSERT_NE(other, nullptr);
    gDoubleClicks = 0;

    InstalledMonitor installed;
    HANDLE program = installed.start();
    const bool ended = waitFor(
        [&] {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&message);
            }
            return WaitForSingleObject(program, 0) == WAIT_OBJECT_0 && gDoubleClicks.load() == 1;
        },
        15000);
    DestroyWindow(other);
    UnregisterClassW(kWindowClass, windowClass.hInstance);
    EXPECT_TRUE(ended);
    // No watchdog, whose reset would replace the other user's programs; no keeper.
    EXPECT_FALSE(installed.watchdogStartLogged()) << installed.folder.log();
    EXPECT_EQ(installed.watchdogStarts(), 0U) << installed.folder.journal();
    EXPECT_FALSE(installed.folder.logHas("Start Quillmark main program"));
}

}  // namespace
