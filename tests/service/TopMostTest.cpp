#include "service/TopMost.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/LogCapture.h"

namespace {

constexpr wchar_t kWindowClass[] = L"QmTopMostTestWindow";

void registerWindowClass() {
    static const bool registered = [] {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        return RegisterClassW(&windowClass) != 0;
    }();
    (void)registered;
}

HWND createWindow(const wchar_t* title) {
    registerWindowClass();
    return CreateWindowExW(0, kWindowClass, title, WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
}

bool isTopMost(HWND window) {
    return (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

void pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// Waits until the watch thread has looked for new windows count more times.
bool waitForPasses(uint64_t count) {
    const uint64_t target = topMostPassCountForTesting() + count;
    return waitUntil([target] { return topMostPassCountForTesting() >= target; });
}

// A thread that owns windows and pumps their messages, as a component's prompt does.
class WindowThread {
public:
    WindowThread() : thread_([this] { run(); }) {}
    ~WindowThread() {
        post([this] {
            for (HWND window : windows_) {
                DestroyWindow(window);
            }
            done_ = true;
        });
        thread_.join();
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    HWND create(const wchar_t* title) {
        std::promise<HWND> created;
        post([this, title, &created] {
            HWND window = createWindow(title);
            windows_.push_back(window);
            created.set_value(window);
        });
        return created.get_future().get();
    }

private:
    void post(std::function<void()> work) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            work_.push_back(std::move(work));
        }
        SetEvent(wake_);
    }

    void run() {
        while (!done_) {
            MsgWaitForMultipleObjects(1, &wake_, FALSE, 50, QS_ALLINPUT);
            pumpMessages();
            std::vector<std::function<void()>> work;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                work.swap(work_);
            }
            for (auto& item : work) {
                item();
            }
        }
    }

    HANDLE wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::mutex mutex_;
    std::vector<std::function<void()>> work_;
    std::vector<HWND> windows_;
    bool done_ = false;  // only touched on the thread
    std::thread thread_;
};

size_t countMessages(const LogCapture& log, const std::string& text) {
    size_t count = 0;
    for (const std::string& message : log.messages()) {
        if (message.find(text) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

// A window of another process: shown until the quit event is set.
QM_TEST_CHILD_MAIN(topMostChildWindow) {
    HWND window = createWindow(arguments.at(0).c_str());
    TestEvent quit(arguments.at(1));
    if (window == nullptr) {
        return 1;
    }
    while (!quit.wait(0)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        pumpMessages();
    }
    DestroyWindow(window);
    return 0;
}

class TopMostTest : public ::testing::Test {
protected:
    void SetUp() override { resetTopMostForTesting(); }
    void TearDown() override { stopTopMostWatch(); }
};

TEST_F(TopMostTest, RaisesNewWindowsOfItsProcessOnceAndLeavesOthersAlone) {
    LogCapture log;
    WindowThread ui;
    HWND existing = ui.create(L"Existing window");
    ASSERT_NE(existing, nullptr);

    ASSERT_TRUE(startTopMostWatch(GetCurrentProcessId(), false));
    HWND prompt = ui.create(L"PIN prompt");
    HWND ime = ui.create(L"Default IME");
    HWND textService = ui.create(L"MSCTFIME UI");
    ASSERT_TRUE(waitUntil([prompt] { return isTopMost(prompt); }));

    // Made top-most once: a window pushed back again stays back.
    SetWindowPos(prompt, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ASSERT_FALSE(isTopMost(prompt));
    ASSERT_TRUE(waitForPasses(3));
    stopTopMostWatch();

    EXPECT_FALSE(isTopMost(prompt));
    EXPECT_FALSE(isTopMost(existing));
    EXPECT_FALSE(isTopMost(ime));
    EXPECT_FALSE(isTopMost(textService));
    EXPECT_EQ(countMessages(log, "Set UI top: PIN prompt"), 1u);
    EXPECT_EQ(countMessages(log, "Set UI top: Default IME"), 0u);
    EXPECT_EQ(countMessages(log, "Set UI top: MSCTFIME UI"), 0u);
    EXPECT_EQ(countMessages(log, "Set UI top: Existing window"), 0u);
}

TEST_F(TopMostTest, WindowsOfOtherProcessesOnlyWithAllProcesses) {
    struct Case {
        const char* name;
        bool allProcesses;
        bool raised;
    };
    const Case cases[] = {
        {"own process only", false, false},
        {"all processes", true, true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const std::wstring title = uniqueObjectName(L"QmTopMostChild");
        const std::wstring quitName = uniqueObjectName(L"QmTopMostQuit");
        TestEvent quit(quitName);

        ASSERT_TRUE(startTopMostWatch(GetCurrentProcessId(), row.allProcesses));
        ChildProcess child = ChildProcess::start(L"topMostChildWindow", {title, quitName});
        ASSERT_TRUE(child.running());
        HWND window = nullptr;
        ASSERT_TRUE(waitUntil([&] {
            window = FindWindowW(kWindowClass, title.c_str());
            return window != nullptr;
        }));
        if (row.raised) {
            EXPECT_TRUE(waitUntil([window] { return isTopMost(window); }));
        } else {
            ASSERT_TRUE(waitForPasses(3));
            EXPECT_FALSE(isTopMost(window));
        }
        stopTopMostWatch();
        quit.set();
        EXPECT_EQ(child.waitForExit(10000), 0);
    }
}

// The component's window may belong to the dispatching thread itself, which neither pumps
// messages during the adapter call nor while it stops the watch: the watch must not wait for it.
TEST_F(TopMostTest, StopNeverWaitsForTheDispatchingThread) {
    LogCapture log;
    auto finished = std::make_shared<std::promise<bool>>();
    std::future<bool> stopped = finished->get_future();
    std::thread dispatcher([finished] {
        if (!startTopMostWatch(GetCurrentProcessId(), false)) {
            finished->set_value(false);
            return;
        }
        HWND prompt = createWindow(L"Prompt of the dispatching thread");
        // The adapter call: busy, no message pumping, while the watch looks twice.
        waitForPasses(2);
        const auto stopBegin = std::chrono::steady_clock::now();
        stopTopMostWatch();
        // A stop that waited for this thread would use up its 5 s grace.
        if (std::chrono::steady_clock::now() - stopBegin > std::chrono::seconds(4)) {
            finished->set_value(false);
            return;
        }
        // Back in a message loop, the posted raise takes effect.
        const bool raised = waitUntil([prompt] {
            pumpMessages();
            return isTopMost(prompt);
        });
        DestroyWindow(prompt);
        finished->set_value(raised);
    });
    if (stopped.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        dispatcher.detach();
        FAIL() << "stopTopMostWatch did not return";
    }
    dispatcher.join();
    EXPECT_TRUE(stopped.get());
    EXPECT_EQ(countMessages(log, "Set UI top: Prompt of the dispatching thread"), 1u);
    EXPECT_FALSE(log.contains("Thread did not stop"));
}

TEST_F(TopMostTest, ListDoublesWhenFullAndKeepsItsSize) {
    LogCapture log;
    WindowThread ui;
    for (int i = 0; i < 300; ++i) {
        ASSERT_NE(ui.create(L"filler"), nullptr);
    }
    EXPECT_EQ(topMostListSizeForTesting(), kTopMostInitialListSize);
    ASSERT_TRUE(startTopMostWatch(GetCurrentProcessId(), false));
    stopTopMostWatch();
    EXPECT_EQ(topMostListSizeForTesting(), 2 * kTopMostInitialListSize);
    EXPECT_TRUE(log.contains("Resize WNDListSize to 512"));

    ASSERT_TRUE(startTopMostWatch(GetCurrentProcessId(), false));
    stopTopMostWatch();
    EXPECT_EQ(topMostListSizeForTesting(), 2 * kTopMostInitialListSize);
}

TEST_F(TopMostTest, OneWatchAtATime) {
    stopTopMostWatch();  // none running: nothing happens
    ASSERT_TRUE(startTopMostWatch(GetCurrentProcessId(), false));
    EXPECT_FALSE(startTopMostWatch(GetCurrentProcessId(), true));
    stopTopMostWatch();
    EXPECT_TRUE(startTopMostWatch(GetCurrentProcessId(), true));
    stopTopMostWatch();
}

}  // namespace
