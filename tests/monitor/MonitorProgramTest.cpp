// The tray program as a real process: one instance per user, a second start ends at once, the
// tray double click opens the About box, and the program quits from the menu and on Suicide.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/Message.h"
#include "monitor/MonitorMessage.h"
#include "support/ChildProcess.h"

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

}  // namespace
