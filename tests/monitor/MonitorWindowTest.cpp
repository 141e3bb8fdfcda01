// The tray program's main window in this process: menu commands, instructions by window message,
// tray callbacks (menu and About box), icon states and balloons, the debug switch, the settings
// file, the component list, screenshots and the keeper. The service stopper and the instruction
// sender are replaced by counters, so no program of the system is touched.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "common/Message.h"
#include "common/Tool.h"
#include "monitor/MonitorAbout.h"
#include "monitor/MonitorKeeper.h"
#include "monitor/MonitorScreenshot.h"
#include "monitor/MonitorState.h"
#include "monitor/MonitorText.h"
#include "monitor/MonitorTray.h"
#include "monitor/QuillmarkCheatCode.h"
#include "monitor/QuillmarkMonitor.h"
#include "support/LogCapture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::atomic<int> gStops{0};
std::mutex gSendsLock;
std::vector<std::string> gSends;

bool countStop() {
    ++gStops;
    return true;
}

bool recordSend(const char* target) {
    std::lock_guard<std::mutex> guard(gSendsLock);
    gSends.push_back(target != nullptr ? target : "(null)");
    return true;
}

std::vector<std::string> sends() {
    std::lock_guard<std::mutex> guard(gSendsLock);
    return gSends;
}

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool waitFor(const std::function<bool()>& condition, int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        Sleep(20);
    }
    return condition();
}

bool quitPosted() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            return true;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return false;
}

class MonitorWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetMonitorStateForTesting();
        folder_ = makeTestFolder("monitor-window");
        MonitorState& shared = monitorState();
        shared.configPath = (folder_ / "OqtQuillmarkConfig").wstring();
        shared.logIniPath = (folder_ / "OqtQuillmark.ini").wstring();
        shared.logIniText = buildLogIniText(folder_.string().c_str());
        shared.monitorLogTag = "MonitorTest";
        shared.currentLanguage.store(kLanguageEnglish);
        loadLanguageStrings();
        resetBalloonsForTesting();
        gStops = 0;
        {
            std::lock_guard<std::mutex> guard(gSendsLock);
            gSends.clear();
        }
        setMonitorStoppersForTesting(countStop, recordSend);
        window_ = createMonitorWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window_, nullptr);
        log_.clear();
    }

    void TearDown() override {
        destroyMonitorWindow(window_, GetModuleHandleW(nullptr));
        quitPosted();
        setMonitorStoppersForTesting(nullptr, nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    LRESULT command(UINT id) { return SendMessageW(window_, WM_COMMAND, id, 0); }

    void sendCopyData(const char* instruction, const char* text, bool breakHash = false) {
        UniqueIpcMessage record(buildIpcMessage("QuillmarkWorker", "OqtQuillmarkMonitor.exe",
                                                instruction, text, getTimeValue()));
        ASSERT_TRUE(record);
        if (breakHash) {
            record->HashValue[0] = record->HashValue[0] == 'A' ? 'B' : 'A';
        }
        std::unique_ptr<char, decltype(&std::free)> json(formatMessageJson(record.get()),
                                                         &std::free);
        ASSERT_TRUE(json);
        COPYDATASTRUCT data{};
        data.cbData = static_cast<DWORD>(std::strlen(json.get()) + 1);
        data.lpData = json.get();
        SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    }

    LogCapture log_;
    std::filesystem::path folder_;
    HWND window_ = nullptr;
};

TEST_F(MonitorWindowTest, CreationAddsTheIcon) {
    const NOTIFYICONDATAW data = trayIconDataForTesting();
    EXPECT_EQ(data.cbSize, sizeof(NOTIFYICONDATAW));
    EXPECT_EQ(data.hWnd, window_);
    EXPECT_EQ(data.uID, 0U);
    EXPECT_EQ(data.uCallbackMessage, 0x401U);
    EXPECT_NE(data.hIcon, nullptr);
    EXPECT_STREQ(data.szTip, L"OqtQuillmark");
}

TEST_F(MonitorWindowTest, MenuCommandsChangeTheRunState) {
    struct Case {
        const char* name;
        UINT command;
        int32_t before;
        int32_t after;
        int stops;
        const char* logLine;
    };
    const Case cases[] = {
        {"start", kMenuStart, kRunStopped, kRunKeep, 0, "Click Quillmark Start"},
        {"stop", kMenuStop, kRunKeep, kRunStopped, 1, "Click Quillmark Stop"},
        {"restart", kMenuRestart, kRunKeep, kRunRestarting, 1, "Click Quillmark Restart"},
        {"unknown", 61999, kRunStopped, kRunStopped, 0, nullptr},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        MonitorState& shared = monitorState();
        shared.runState.store(row.before);
        shared.restartFlag.store(0);
        gStops = 0;
        log_.clear();
        command(row.command);
        EXPECT_EQ(shared.runState.load(), row.after);
        EXPECT_EQ(gStops.load(), row.stops);
        EXPECT_EQ(shared.keeperEnabled.load(), 1);
        if (row.logLine != nullptr) {
            EXPECT_TRUE(log_.contains(std::string("[Normal] ") + row.logLine));
        } else {
            EXPECT_TRUE(log_.messages().empty());
        }
    }
    EXPECT_EQ(monitorState().restartFlag.load(), 0);
    command(kMenuRestart);
    EXPECT_EQ(monitorState().restartFlag.load(), 1);
}

TEST_F(MonitorWindowTest, SystemHintTogglesSilentModeAndRewritesTheSettings) {
    command(kMenuSystemHint);
    EXPECT_TRUE(monitorState().silentmode.load());
    EXPECT_EQ(readBytes(folder_ / "OqtQuillmarkConfig"),
              "isScreenShot=false\r\nsilentmode=true\r\nautocheckupdate=true\r\n");
    command(kMenuSystemHint);
    EXPECT_FALSE(monitorState().silentmode.load());
    EXPECT_EQ(readBytes(folder_ / "OqtQuillmarkConfig"),
              "isScreenShot=false\r\nsilentmode=false\r\nautocheckupdate=true\r\n");
}

TEST_F(MonitorWindowTest, LanguageCommandsSwitchAndSayItInTheNewLanguage) {
    monitorState().currentLanguage.store(kLanguageTradChinese);
    loadLanguageStrings();
    command(kMenuLanguageEnglish);
    EXPECT_EQ(monitorState().currentLanguage.load(), kLanguageEnglish);
    EXPECT_EQ(lastBalloonForTesting(), L"Switch toEnglish");
    EXPECT_EQ(slotText(kSlotStart), L"Start");
    command(kMenuLanguageJapanese);
    EXPECT_EQ(monitorState().currentLanguage.load(), kLanguageJapanese);
    EXPECT_EQ(lastBalloonForTesting(), L"に切り替え日本語");
}

TEST_F(MonitorWindowTest, InstructionsByWindowMessage) {
    struct Case {
        const char* name;
        const char* instruction;
        int32_t before;
        int32_t after;
        int stops;
    };
    const Case cases[] = {
        {"start", kInstructionStart, kRunStopped, kRunKeep, 0},
        {"monitor start", kInstructionMonitorStart, kRunStopped, kRunKeep, 0},
        {"stop", kInstructionStop, kRunKeep, kRunStopped, 1},
        {"restart", kInstructionRestart, kRunKeep, kRunRestarting, 1},
        {"longer than start", "QuillmarkInstruction_StartX", kRunStopped, kRunStopped, 0},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        monitorState().runState.store(row.before);
        gStops = 0;
        log_.clear();
        sendCopyData(row.instruction, "hello");
        EXPECT_EQ(monitorState().runState.load(), row.after);
        EXPECT_EQ(gStops.load(), row.stops);
        EXPECT_TRUE(log_.contains(std::string("Receive COPYDATA message: ") + row.instruction));
    }
    EXPECT_TRUE(log_.contains("Receive unknow instruction: QuillmarkInstruction_StartX"));
    EXPECT_TRUE(log_.contains("Receive unknow message: hello"));
    EXPECT_TRUE(sends().empty());
}

// A stopper that marks how many handlers stop at once. The first one lasts until the second
// instruction is seen waiting for it, or has got in beside it, or has already returned.
std::atomic<int> gInside{0};
std::atomic<int> gMostInside{0};
std::atomic<bool> gFirstTaken{false};
std::atomic<bool> gSecondReturned{false};

bool watchedStop() {
    const int inside = ++gInside;
    for (int most = gMostInside.load(); inside > most;) {
        if (gMostInside.compare_exchange_weak(most, inside)) {
            break;
        }
    }
    if (!gFirstTaken.exchange(true)) {
        waitFor(
            [] {
                return monitorState().controlLock.waitersForTesting() > 0 ||
                       gMostInside.load() > 1 || gSecondReturned.load();
            },
            20000);
    }
    --gInside;
    return true;
}

// One instruction reaches the tray program twice, by window and by lock mode, and a Stop or
// Restart can outlast the sender's 5 s bound on the window half: the second reception must wait
// for the first to end rather than run beside it.
TEST_F(MonitorWindowTest, StartStopAndRestartRunOneAtATime) {
    struct Case {
        const char* name;
        void (*first)();     // on another thread, as the lock-mode thread runs it
        const char* second;  // by window message, while the first still stops
        int32_t after;       // run state once both have run
    };
    const Case cases[] = {
        {"restart, then restart", onRestartInstruction, kInstructionRestart, kRunRestarting},
        {"restart, then stop", onRestartInstruction, kInstructionStop, kRunStopped},
        {"stop, then restart", onStopInstruction, kInstructionRestart, kRunRestarting},
        {"restart, then start", onRestartInstruction, kInstructionStart, kRunKeep},
    };
    setMonitorStoppersForTesting(watchedStop, recordSend);
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        monitorState().runState.store(kRunKeep);
        gInside = 0;
        gMostInside = 0;
        gFirstTaken = false;
        gSecondReturned = false;
        std::thread first(row.first);
        ASSERT_TRUE(waitFor([] { return gInside.load() == 1; }, 10000));
        sendCopyData(row.second, "");
        // Returned while the first still stops: it ran beside it instead of after it.
        const bool firstStillInside = gInside.load() > 0;
        gSecondReturned = true;
        first.join();
        EXPECT_FALSE(firstStillInside);
        EXPECT_EQ(gMostInside.load(), 1);
        EXPECT_EQ(monitorState().runState.load(), row.after);
        EXPECT_EQ(monitorState().keeperEnabled.load(), 1);
    }
    setMonitorStoppersForTesting(countStop, recordSend);
}

TEST_F(MonitorWindowTest, ForgedInstructionIsDropped) {
    monitorState().runState.store(kRunKeep);
    sendCopyData(kInstructionStop, "", true);
    EXPECT_EQ(monitorState().runState.load(), kRunKeep);
    EXPECT_EQ(gStops.load(), 0);
    EXPECT_TRUE(log_.contains("Verify QuillmarkMessage fail"));
}

TEST_F(MonitorWindowTest, SuicideQuits) {
    sendCopyData(kInstructionSuicide, "");
    EXPECT_EQ(monitorState().runState.load(), kRunStopped);
    EXPECT_EQ(gStops.load(), 1);
    EXPECT_THAT(sends(), ElementsAre("OqtQuillmarkWatchdog"));
    EXPECT_EQ(trayIconDataForTesting().hWnd, nullptr);
    EXPECT_EQ(trayIconDataForTesting().cbSize, sizeof(NOTIFYICONDATAW));
    EXPECT_TRUE(quitPosted());
}

TEST_F(MonitorWindowTest, QuitFromTheMenuEndsTheLoopFromAnyThread) {
    command(kMenuQuit);
    EXPECT_TRUE(log_.contains("[Normal] Click MonitorFinal"));
    EXPECT_THAT(sends(), ElementsAre("OqtQuillmarkWatchdog"));
    EXPECT_TRUE(quitPosted());
}

TEST_F(MonitorWindowTest, RunningAndStoppedStatesWithTheirBalloons) {
    struct Case {
        const char* name;
        bool running;
        bool silent;
        uint8_t restartFlag;
        const wchar_t* balloon;  // null: none
        uint8_t restartFlagAfter;
    };
    const Case cases[] = {
        {"running", true, false, 0, L"OqtQuillmark turned on", 0},
        {"running after a restart", true, false, 1, L"OqtQuillmark already restarted", 0},
        {"running silent after a restart", true, true, 1, nullptr, 1},
        {"stopped", false, false, 0, L"OqtQuillmark turned off", 0},
        {"stopped during a restart", false, false, 1, nullptr, 1},
        {"stopped silent", false, true, 0, nullptr, 0},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        MonitorState& shared = monitorState();
        shared.silentmode.store(row.silent);
        shared.restartFlag.store(row.restartFlag);
        resetBalloonsForTesting();
        const HICON before = trayIconDataForTesting().hIcon;
        if (row.running) {
            showRunningTrayState();
        } else {
            showStoppedTrayState();
        }
        EXPECT_EQ(shared.mainRunning.load(), row.running ? 1 : 0);
        EXPECT_NE(trayIconDataForTesting().hIcon, before);
        EXPECT_NE(trayIconDataForTesting().hIcon, nullptr);
        if (row.balloon != nullptr) {
            EXPECT_EQ(balloonCountForTesting(), 1);
            EXPECT_EQ(lastBalloonForTesting(), row.balloon);
        } else {
            EXPECT_EQ(balloonCountForTesting(), 0);
        }
        EXPECT_EQ(shared.restartFlag.load(), row.restartFlagAfter);
    }
}

TEST_F(MonitorWindowTest, TaskbarRestartAddsTheIconAgain) {
    ASSERT_NE(taskbarCreatedMessage(), 0U);
    NOTIFYICONDATAW data = trayIconDataForTesting();
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
    SendMessageW(window_, taskbarCreatedMessage(), 0, 0);
    EXPECT_FALSE(log_.contains("Add icon: fail"));
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    // The icon is there now: the shell refuses a second one.
    SendMessageW(window_, taskbarCreatedMessage(), 0, 0);
    EXPECT_TRUE(log_.contains("Add icon: fail"));
}

std::vector<std::wstring> gMenuLines;

std::wstring describeMenu(HMENU menu, const std::wstring& indent) {
    std::wstring lines;
    const int count = GetMenuItemCount(menu);
    for (int position = 0; position < count; ++position) {
        wchar_t text[128] = {};
        GetMenuStringW(menu, static_cast<UINT>(position), text, 128, MF_BYPOSITION);
        const UINT state = GetMenuState(menu, static_cast<UINT>(position), MF_BYPOSITION);
        std::wstring line = indent + text;
        if ((state & MF_CHECKED) != 0) {
            line += L" *";
        }
        gMenuLines.push_back(line);
        if (HMENU sub = GetSubMenu(menu, position); sub != nullptr) {
            describeMenu(sub, indent + L"  ");
        }
    }
    return lines;
}

void CALLBACK endMenuTimer(HWND, UINT, UINT_PTR, DWORD) {
    EndMenu();
}

void inspectAndCloseMenu(HMENU menu) {
    gMenuLines.clear();
    describeMenu(menu, L"");
    SetTimer(nullptr, 0, 100, endMenuTimer);
}

TEST_F(MonitorWindowTest, RightClickOpensTheMenuOfTheCurrentState) {
    setTrayMenuHookForTesting(inspectAndCloseMenu);
    monitorState().debugMode.store(1);
    SendMessageW(window_, kTrayCallbackMessage, 0, kTrayRightDown);
    EXPECT_THAT(gMenuLines,
                ElementsAre(L"Start", L"Language", L"  TradChinese", L"  English *", L"  Japanese",
                            L"  SimpChinese", L"Log", L"  Start logging *", L"  Stop logging",
                            L"System hint *", L"About", L"Quit"));
    monitorState().mainRunning.store(1);
    monitorState().silentmode.store(true);
    SendMessageW(window_, kTrayCallbackMessage, 0, kTrayRightDown);
    EXPECT_THAT(gMenuLines,
                ElementsAre(L"Stop", L"Restart", L"Language", L"  TradChinese", L"  English *",
                            L"  Japanese", L"  SimpChinese", L"Log", L"  Start logging *",
                            L"  Stop logging", L"System hint", L"About", L"Quit"));
    setTrayMenuHookForTesting(nullptr);
}

BOOL CALLBACK collectText(HWND child, LPARAM texts) {
    wchar_t text[1024] = {};
    GetWindowTextW(child, text, 1024);
    reinterpret_cast<std::vector<std::wstring>*>(texts)->push_back(text);
    return TRUE;
}

int countAboutBoxes() {
    int count = 0;
    for (HWND box = FindWindowExW(nullptr, nullptr, L"#32770", kAboutCaption); box != nullptr;
         box = FindWindowExW(nullptr, box, L"#32770", kAboutCaption)) {
        ++count;
    }
    return count;
}

TEST_F(MonitorWindowTest, DoubleClickOpensOneAboutBoxAndCommandsStillAct) {
    std::vector<std::wstring> texts;
    std::atomic<int> boxesSeen{0};
    std::atomic<int32_t> runStateWhileOpen{0};
    std::thread closer([&] {
        HWND box = nullptr;
        waitFor([&] { return (box = FindWindowW(L"#32770", kAboutCaption)) != nullptr; }, 10000);
        if (box == nullptr) {
            return;
        }
        // A second double click and a Stop command while the box is open.
        SendMessageW(window_, kTrayCallbackMessage, 0, kTrayDoubleClick);
        SendMessageW(window_, WM_COMMAND, kMenuStop, 0);
        runStateWhileOpen = monitorState().runState.load();
        boxesSeen = countAboutBoxes();
        EnumChildWindows(box, collectText, reinterpret_cast<LPARAM>(&texts));
        SendMessageW(box, WM_COMMAND, IDOK, 0);
    });
    SendMessageW(window_, kTrayCallbackMessage, 0, kTrayDoubleClick);
    closer.join();
    EXPECT_EQ(boxesSeen.load(), 1);
    EXPECT_EQ(runStateWhileOpen.load(), kRunStopped);
    EXPECT_EQ(monitorState().aboutClosed.load(), 1);
    bool found = false;
    for (const std::wstring& text : texts) {
        found = found || text.find(L"OqtQuillmark\nPublisher: Oqt Technologies") == 0;
    }
    EXPECT_TRUE(found);
}

TEST_F(MonitorWindowTest, AboutTextFollowsTheDebugSwitchOfThisRun) {
    monitorState().debugMode.store(1);  // logging was on at start
    EXPECT_EQ(buildAboutTextForTesting().find(L"1.0.22.0303"), std::wstring::npos);
    monitorState().debugSwitchedOn.store(1);
    const std::wstring text = buildAboutTextForTesting();
    EXPECT_THAT(text, HasSubstr(L"Service version: 1.0.22.0303\n"));
    EXPECT_THAT(text, HasSubstr(L"Monitor version: 1.0.20.0309\n"));
}

TEST_F(MonitorWindowTest, ComponentsAreReadInCodePage950) {
    std::filesystem::create_directories(folder_ / "gpki");
    // "中文" in Big5, and a version file beside it.
    std::ofstream(folder_ / "gpki" / "GPKIDisplayName.txt", std::ios::binary) << "\xA4\xA4\xA4\xE5";
    std::ofstream(folder_ / "gpki" / "GPKIVersion.txt", std::ios::binary) << "1.2.3";
    clearComponentList();
    scanInstalledComponents(folder_.wstring().c_str());
    EXPECT_EQ(componentListForTesting(), L"中文 Version:1.2.3 \n");

    std::filesystem::remove_all(folder_ / "gpki");
    std::ofstream(folder_ / "HCADisplayName.txt", std::ios::binary) << "Card";
    clearComponentList();
    scanInstalledComponents(folder_.wstring().c_str());
    EXPECT_EQ(componentListForTesting(), L"Card Version: \n");

    // Another scan while the list is filled adds nothing.
    scanInstalledComponents(folder_.wstring().c_str());
    EXPECT_EQ(componentListForTesting(), L"Card Version: \n");

    scanInstalledComponents(nullptr);
    EXPECT_TRUE(log_.contains("Parameter dirn is null at QuillmarkMonitor 365"));
}

TEST_F(MonitorWindowTest, ComponentLinesThatDoNotFitAreDroppedWhole) {
    clearComponentList();
    for (int index = 0; index < 40; ++index) {
        const std::string stem = "c" + std::to_string(index);
        std::ofstream(folder_ / (stem + "DisplayName.txt"), std::ios::binary)
            << "Component number " << index;
    }
    scanInstalledComponents(folder_.wstring().c_str());
    const std::wstring list = componentListForTesting();
    EXPECT_LE(list.size(), 511U);
    EXPECT_EQ(list.back(), L'\n');
}

TEST_F(MonitorWindowTest, DebugSwitchWritesAndDeletesTheSettingsFile) {
    closeDebugModeEventForTesting();
    ASSERT_TRUE(createDebugModeEvent());
    EXPECT_FALSE(createDebugModeEvent());
    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, L"OqtQuillmark_DEBUG_MODE");
    EXPECT_NE(opened, nullptr);
    if (opened != nullptr) {
        CloseHandle(opened);
    }

    const std::filesystem::path ini = folder_ / "OqtQuillmark.ini";
    toggleDebugMode();
    EXPECT_EQ(monitorState().debugSwitchedOn.load(), 1);
    EXPECT_EQ(monitorState().debugMode.load(), 1);
    EXPECT_EQ(readBytes(ini), "[OqtQuillmark]\r\nLog File=" + folder_.string() +
                                  "\\QuillmarkLog\\OqtQuillmark.txt\r\nLog Level=5");
    EXPECT_EQ(lastBalloonForTesting(), L"Turn on debug mode");

    toggleDebugMode();
    EXPECT_EQ(monitorState().debugSwitchedOn.load(), 0);
    EXPECT_EQ(monitorState().debugMode.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(ini));
    EXPECT_FALSE(isLogEnabled());
    EXPECT_TRUE(log_.contains("Log state: Disable"));
    EXPECT_EQ(lastBalloonForTesting(), L"Turn off debug mode");
    closeDebugModeEventForTesting();
}

// Counts the signals of the debug event that a waiter in another thread sees, as the service and
// the watchdog wait on it.
class DebugEventWaiter {
public:
    DebugEventWaiter() : event_(OpenEventW(SYNCHRONIZE, FALSE, L"OqtQuillmark_DEBUG_MODE")) {
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] {
            const HANDLE handles[] = {stop_, event_};
            for (;;) {
                waiting_ = true;
                const DWORD which = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
                waiting_ = false;
                if (which != WAIT_OBJECT_0 + 1) {
                    return;
                }
                ++signals_;
                Sleep(5);  // a pulse is a set and an immediate reset: never seen twice
            }
        });
    }
    DebugEventWaiter(const DebugEventWaiter&) = delete;
    DebugEventWaiter& operator=(const DebugEventWaiter&) = delete;
    ~DebugEventWaiter() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
        CloseHandle(event_);
    }
    bool opened() const { return event_ != nullptr; }
    int signals() const { return signals_.load(); }
    // Until the waiter waits again, so that the next pulse can't fall between two waits.
    bool armed() {
        if (!waitFor([this] { return waiting_.load(); }, 5000)) {
            return false;
        }
        Sleep(20);  // the flag is set just before the wait begins
        return true;
    }

private:
    HANDLE event_ = nullptr;
    HANDLE stop_ = nullptr;
    std::atomic<bool> waiting_{false};
    std::atomic<int> signals_{0};
    std::thread thread_;
};

TEST_F(MonitorWindowTest, DebugEventIsSignalledOnlyByClicksThatChangeTheLogging) {
    closeDebugModeEventForTesting();
    ASSERT_TRUE(createDebugModeEvent());
    DebugEventWaiter waiter;
    ASSERT_TRUE(waiter.opened());
    struct Click {
        const char* name;
        UINT command;
        int signals;  // seen after the click
    };
    const Click clicks[] = {
        {"start logging", kMenuLogOn, 1},
        {"start logging again", kMenuLogOn, 1},
        {"stop logging", kMenuLogOff, 2},
        {"stop logging again", kMenuLogOff, 2},
        {"start logging after a stop", kMenuLogOn, 3},
    };
    for (const Click& click : clicks) {
        ASSERT_TRUE(waiter.armed()) << click.name;
        command(click.command);
        // A click that pulses is seen within moments; one that doesn't must stay unseen while
        // the next click that does is counted.
        EXPECT_TRUE(waitFor([&] { return waiter.signals() >= click.signals; }, 5000)) << click.name;
        ASSERT_TRUE(waiter.armed()) << click.name;
        EXPECT_EQ(waiter.signals(), click.signals) << click.name;
    }
    command(kMenuLogOff);
    closeDebugModeEventForTesting();
}

// A menu click and a key-sequence match at the same moment: the second switch comes in while the
// first has checked the logging but not yet changed it.
void (*gSecondSwitch)() = nullptr;
DebugEventWaiter* gSwitchWaiter = nullptr;
std::thread gSecondSwitchThread;
std::atomic<bool> gSecondSwitchStarted{false};
std::atomic<bool> gSecondSwitchDone{false};

void switchAgainInsideTheFirst() {
    if (gSecondSwitchStarted.exchange(true)) {
        return;
    }
    gSecondSwitchThread = std::thread([] {
        gSecondSwitch();
        gSecondSwitchDone = true;
    });
    // Until the second waits for the first, or has switched beside it.
    waitFor(
        [] {
            return monitorState().debugSwitchLock.waitersForTesting() > 0 ||
                   gSecondSwitchDone.load();
        },
        20000);
    if (gSecondSwitchDone.load()) {
        // Its pulse is counted before the first one pulses.
        gSwitchWaiter->armed();
    }
}

TEST_F(MonitorWindowTest, TwoSwitchesAtTheSameMomentPulseOncePerChange) {
    closeDebugModeEventForTesting();
    ASSERT_TRUE(createDebugModeEvent());
    DebugEventWaiter waiter;
    ASSERT_TRUE(waiter.opened());
    gSwitchWaiter = &waiter;
    struct Case {
        const char* name;
        bool loggingBefore;
        void (*first)();
        void (*second)();
        uint8_t debugModeAfter;
    };
    const Case cases[] = {
        {"both switch on", false, startDebugMode, startDebugMode, 1},
        {"both switch off", true, stopDebugMode, stopDebugMode, 0},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        row.loggingBefore ? startDebugMode() : stopDebugMode();
        ASSERT_TRUE(waiter.armed());
        const int before = waiter.signals();
        gSecondSwitch = row.second;
        gSecondSwitchStarted = false;
        gSecondSwitchDone = false;
        setDebugSwitchHookForTesting(switchAgainInsideTheFirst);
        row.first();
        setDebugSwitchHookForTesting(nullptr);
        ASSERT_TRUE(gSecondSwitchStarted.load());
        // The second switch, held up until the first was done, changes nothing.
        gSecondSwitchThread.join();
        ASSERT_TRUE(waiter.armed());
        EXPECT_EQ(waiter.signals() - before, 1);
        EXPECT_EQ(monitorState().debugMode.load(), row.debugModeAfter);
    }
    command(kMenuLogOff);
    gSwitchWaiter = nullptr;
    closeDebugModeEventForTesting();
}

TEST_F(MonitorWindowTest, LogMenuStartsLoggingFromTheSettingsFile) {
    // Logging off in this process; the menu's Start logging writes the file and the set-up reads
    // it back.
    setLogIniFoldersForTesting({folder_.string()}, {folder_.string()});
    setLogState(nullptr, 0);
    clearLogEnabled();
    command(kMenuLogOn);
    EXPECT_TRUE(isLogEnabled());
    EXPECT_EQ(logTagForTesting(), "MonitorTest");
    command(kMenuLogOff);
    EXPECT_FALSE(isLogEnabled());
    EXPECT_FALSE(std::filesystem::exists(folder_ / "OqtQuillmark.ini"));
}

void sendKey(WORD key, DWORD flags) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = flags;
    SendInput(1, &input, sizeof(INPUT));
}

// A press held longer than the watcher's 50 ms scan.
void tapKey(WORD key) {
    sendKey(key, 0);
    Sleep(120);
    sendKey(key, KEYEVENTF_KEYUP);
    Sleep(120);
}

// A press held until the watcher has seen it, and released until it has taken it: on a loaded
// machine a fixed rhythm can fall between two scans.
bool pressKey(WORD key) {
    const long seen = keysSeenForTesting();
    sendKey(key, 0);
    const bool down = waitFor([&] { return keysSeenForTesting() > seen; }, 5000);
    sendKey(key, KEYEVENTF_KEYUP);
    return down && waitFor([] { return keysTakenForTesting() == keysSeenForTesting(); }, 5000);
}

TEST_F(MonitorWindowTest, KeySequenceWhileTheAboutBoxIsOpenSwitchesLogging) {
    setupCheatCodes();
    ASSERT_EQ(registeredCheatCodesForTesting().size(), 3U);
    const std::vector<int32_t> sequence = cheatCodeSequences()[1];
    // Closed box: the keys have no effect.
    for (int32_t key : sequence) {
        tapKey(static_cast<WORD>(key));
    }
    EXPECT_EQ(keysSeenForTesting(), 0);
    EXPECT_EQ(monitorState().debugSwitchedOn.load(), 0);

    monitorState().aboutClosed.store(0);
    // Under Wine a thread's key state starts with its first query and misses a key already down
    // then: tap a key of no sequence until the watcher sees one.
    EXPECT_TRUE(waitFor(
        [] {
            tapKey('Z');
            return keysSeenForTesting() > 0;
        },
        10000));
    for (int32_t key : sequence) {
        ASSERT_TRUE(pressKey(static_cast<WORD>(key))) << key;
    }
    EXPECT_TRUE(waitFor([] { return monitorState().debugSwitchedOn.load() == 1; }, 5000));
    monitorState().aboutClosed.store(1);
    // The watcher sees keys typed into any window: none of them may reach the log.
    EXPECT_FALSE(log_.contains("pressed"));
    EXPECT_TRUE(log_.contains("Key sequence matched"));
    stopDebugMode();
}

TEST_F(MonitorWindowTest, ScreenshotIsSavedOnTheDesktopAndReported) {
    EXPECT_EQ(screenshotFileName(L"C:\\d", L"Screenshots", L"2022-03-01 09-05-07"),
              L"C:\\d\\OqtQuillmark Screenshots 2022-03-01 09-05-07.png");
    EXPECT_EQ(screenshotBalloonText(slotText(kSlotScreenshotSaved), L"C:\\d\\x.png"),
              L"Output C:\\d\\x.png to desktop success");
    setScreenshotBalloonDelayForTesting(0);
    const std::wstring path = takeScreenshot();
    ASSERT_FALSE(path.empty());
    EXPECT_THAT(path, HasSubstr(L"\\OqtQuillmark Screenshots "));
    EXPECT_EQ(readBytes(path).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(lastBalloonForTesting(), L"Output " + path + L" to desktop success");
    DeleteFileW(path.c_str());
}

TEST_F(MonitorWindowTest, ScreenshotThatCannotBeSavedSaysSo) {
    setScreenshotBalloonDelayForTesting(0);
    struct Case {
        const char* name;
        std::wstring desktop;
        const char* logLine;
    };
    const Case cases[] = {
        {"desktop folder missing", (folder_ / "no such folder").wstring(),
         "Save screenshot fail: "},
        {"no desktop folder", L"", "Screenshot: No desktop folder"},
    };
    for (const Case& c : cases) {
        resetBalloonsForTesting();
        setScreenshotDesktopForTesting(c.desktop.c_str());
        EXPECT_EQ(takeScreenshot(), L"") << c.name;
        EXPECT_EQ(lastBalloonForTesting(), L"Screenshot not saved") << c.name;
        EXPECT_TRUE(log_.contains(c.logLine)) << c.name;
    }
    setScreenshotDesktopForTesting(nullptr);
}

std::vector<std::string> lines(const std::filesystem::path& path) {
    std::vector<std::string> result;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

std::wstring startsCommand(const std::filesystem::path& file) {
    return L"cmd /c echo %d >>\"" + file.wstring() + L"\"";
}

// Runs the keeper on its own thread until it gives up; false (the thread left detached) when it
// still runs after milliseconds.
bool keeperGivesUpWithin(int milliseconds) {
    std::atomic<bool> ended{false};
    std::thread keeper([&] {
        keeperThread(nullptr);
        ended = true;
    });
    if (!waitFor([&] { return ended.load(); }, milliseconds)) {
        keeper.detach();
        return false;
    }
    keeper.join();
    return true;
}

TEST_F(MonitorWindowTest, KeeperGivesUpAfterEightStartsInARow) {
    const std::filesystem::path starts = folder_ / "starts.txt";
    setKeeperStartupForTesting(false);
    setKeeperCommandFormatForTesting(startsCommand(starts));
    ASSERT_TRUE(keeperGivesUpWithin(60000)) << "the keeper did not give up";
    EXPECT_THAT(lines(starts), ElementsAre("0", "1", "2", "3", "4", "5", "6", "7"));
    EXPECT_EQ(balloonCountForTesting(), 16);
    EXPECT_EQ(monitorState().mainRunning.load(), 0);
    EXPECT_TRUE(log_.contains("[Keeper] Restart main program too many times, shutdown Keeper"));
    setKeeperCommandFormatForTesting(L"");
}

TEST_F(MonitorWindowTest, KeeperAfterARestartKeepsTheLimitOfEightStarts) {
    const std::filesystem::path starts = folder_ / "starts.txt";
    setKeeperStartupForTesting(false);
    setKeeperCommandFormatForTesting(startsCommand(starts));
    command(kMenuRestart);
    ASSERT_TRUE(keeperGivesUpWithin(60000)) << "a dead service was started for ever";
    EXPECT_THAT(lines(starts), ElementsAre("0", "1", "2", "3", "4", "5", "6", "7"));
    EXPECT_EQ(monitorState().runState.load(), kRunKeep);
    setKeeperCommandFormatForTesting(L"");
}

// What the keeper's check before a series gives while a Restart stops the service.
std::atomic<bool> gGateDuringStop{true};
std::atomic<int32_t> gRunStateDuringStop{0};

bool stopThatAsksTheKeeper() {
    gGateDuringStop = keeperMayBeginSeries();
    gRunStateDuringStop = monitorState().runState.load();
    return true;
}

TEST_F(MonitorWindowTest, KeeperStartsNothingWhileARestartHoldsIt) {
    struct Case {
        const char* name;
        int32_t before;
    };
    const Case cases[] = {
        {"stopped by the user", kRunStopped},
        {"running", kRunKeep},
        {"right after another restart", kRunRestarting},
    };
    setMonitorStoppersForTesting(stopThatAsksTheKeeper, recordSend);
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        monitorState().runState.store(row.before);
        gGateDuringStop = true;
        gRunStateDuringStop = 0;
        onRestartInstruction();
        EXPECT_FALSE(gGateDuringStop.load());
        EXPECT_EQ(gRunStateDuringStop.load(), kRunRestarting);
        // Let go after the stop: the next series ends the restart.
        EXPECT_EQ(monitorState().keeperEnabled.load(), 1);
        EXPECT_TRUE(keeperMayBeginSeries());
        EXPECT_EQ(monitorState().runState.load(), kRunKeep);
    }
    setMonitorStoppersForTesting(countStop, recordSend);
}

// A Restart's stop during which the real keeper thread looks twice whether it may begin a
// series: the stop holds the keeper's gate until the keeper waits at it, then lets it through.
// A keeper that started the service meanwhile has written its start by the time it looks again.
std::filesystem::path gKeeperStarts;
std::atomic<int> gKeeperLooks{0};
std::atomic<size_t> gStartsDuringStop{0};

bool stopThatWatchesTheKeeper() {
    CountedLock& gate = monitorState().keeperGate;
    gKeeperLooks = 0;
    for (int look = 0; look < 2; ++look) {
        gate.lock();
        waitFor([&] { return gate.waitersForTesting() > 0 || !lines(gKeeperStarts).empty(); },
                20000);
        const bool keeperWaits = gate.waitersForTesting() > 0;
        gate.unlock();
        if (!keeperWaits) {
            break;
        }
        ++gKeeperLooks;
    }
    gStartsDuringStop = lines(gKeeperStarts).size();
    return true;
}

TEST_F(MonitorWindowTest, KeeperParkedByAStopStartsNothingDuringARestartsStop) {
    gKeeperStarts = folder_ / "starts.txt";
    setKeeperStartupForTesting(false);
    setKeeperCommandFormatForTesting(startsCommand(gKeeperStarts));
    onStopInstruction();  // parks the keeper before it starts anything
    pthread_t keeper;
    ASSERT_EQ(pthread_create(&keeper, nullptr, keeperThread, nullptr), 0);
    pthread_detach(keeper);
    setMonitorStoppersForTesting(stopThatWatchesTheKeeper, recordSend);
    onRestartInstruction();
    EXPECT_EQ(gKeeperLooks.load(), 2);
    EXPECT_EQ(gStartsDuringStop.load(), 0u);
    // Let go after the stop, it begins a series.
    EXPECT_TRUE(waitFor([] { return !lines(gKeeperStarts).empty(); }, 20000));
    monitorState().runState.store(kRunStopped);  // park it again
    setMonitorStoppersForTesting(countStop, recordSend);
}

// A Restart that begins while the keeper has found itself let go but not yet swapped the run
// state: the swap must not undo the Restart.
std::thread gLateRestart;
std::atomic<bool> gLateRestartStarted{false};

void restartInsideTheKeepersCheck() {
    if (gLateRestartStarted.exchange(true)) {
        return;
    }
    gLateRestart = std::thread(onRestartInstruction);
    // Until the Restart waits for the keeper's step, or has got through it.
    waitFor(
        [] {
            return monitorState().keeperGate.waitersForTesting() > 0 ||
                   monitorState().runState.load() == kRunRestarting;
        },
        20000);
}

TEST_F(MonitorWindowTest, RestartCannotSlipBetweenTheKeepersCheckAndItsSwap) {
    monitorState().runState.store(kRunKeep);
    gLateRestartStarted = false;
    setKeeperGateHookForTesting(restartInsideTheKeepersCheck);
    // The keeper was let go before the Restart began, so this series may begin.
    EXPECT_TRUE(keeperMayBeginSeries());
    setKeeperGateHookForTesting(nullptr);
    ASSERT_TRUE(gLateRestartStarted.load());
    gLateRestart.join();
    // The Restart's state stands until the keeper's next check ends it.
    EXPECT_EQ(monitorState().runState.load(), kRunRestarting);
    EXPECT_EQ(gStops.load(), 1);
    EXPECT_TRUE(keeperMayBeginSeries());
    EXPECT_EQ(monitorState().runState.load(), kRunKeep);
}

TEST_F(MonitorWindowTest, KeeperSleepsWhileTheSessionIsAwayAndBeginsANewSeries) {
    const std::filesystem::path starts = folder_ / "starts.txt";
    setKeeperStartupForTesting(false);
    setKeeperCommandFormatForTesting(startsCommand(starts));
    keeperSwitchedOut().store(1);  // locked before the keeper starts: nothing is started
    pthread_t keeper;
    ASSERT_EQ(pthread_create(&keeper, nullptr, keeperThread, nullptr), 0);
    pthread_detach(keeper);
    Sleep(1500);
    EXPECT_TRUE(lines(starts).empty());

    keeperSwitchedOut().store(0);
    ASSERT_TRUE(waitFor([&] { return lines(starts).size() >= 2; }, 10000));
    keeperSwitchedOut().store(1);
    EXPECT_TRUE(waitFor(
        [&] { return log_.contains("[Keeper] Detect user switch out event, into sleep mode"); },
        10000));
    const size_t beforeUnlock = lines(starts).size();
    keeperSwitchedOut().store(0);
    ASSERT_TRUE(waitFor([&] { return lines(starts).size() > beforeUnlock; }, 10000));
    monitorState().runState.store(kRunStopped);  // park it
    const std::vector<std::string> seen = lines(starts);
    EXPECT_EQ(seen.front(), "0");
    EXPECT_EQ(seen[1], "1");
    EXPECT_EQ(seen[beforeUnlock], "0");  // a new series after the unlock
    EXPECT_TRUE(log_.contains("Get SysPager Error: "));
}

TEST_F(MonitorWindowTest, DetectedLanguageFollowsTheLocaleName) {
    const int32_t language = detectLanguage();
    EXPECT_TRUE(isKnownLanguage(language));
    EXPECT_TRUE(log_.contains("Detect language: "));
    EXPECT_TRUE(log_.contains("Language"));
}

void holdKey(WORD key, DWORD milliseconds) {
    INPUT input[2] = {};
    input[0].type = INPUT_KEYBOARD;
    input[0].ki.wVk = key;
    input[1] = input[0];
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(1, &input[0], sizeof(INPUT));
    Sleep(milliseconds);
    SendInput(1, &input[1], sizeof(INPUT));
}

TEST_F(MonitorWindowTest, PrintScreenGivesOneScreenshotPerPressOnlyWhenSwitchedOn) {
    setScreenshotBalloonDelayForTesting(0);
    pthread_t watcher;
    ASSERT_EQ(pthread_create(&watcher, nullptr, screenshotHotkeyThread, nullptr), 0);
    pthread_detach(watcher);
    holdKey(VK_SNAPSHOT, 300);
    Sleep(300);
    EXPECT_EQ(balloonCountForTesting(), 0);  // the setting is off by default

    monitorState().isScreenShot.store(true);
    Sleep(100);  // the watcher reads key states from now on; a thread sees only later key events
    holdKey(VK_SNAPSHOT, 600);  // held: still one picture
    ASSERT_TRUE(waitFor([] { return balloonCountForTesting() >= 1; }, 10000));
    Sleep(300);
    monitorState().isScreenShot.store(false);
    EXPECT_EQ(balloonCountForTesting(), 1);
    const std::wstring balloon = lastBalloonForTesting();
    const std::wstring prefix = L"Output ";
    const std::wstring suffix = L" to desktop success";
    ASSERT_GT(balloon.size(), prefix.size() + suffix.size());
    const std::wstring path =
        balloon.substr(prefix.size(), balloon.size() - prefix.size() - suffix.size());
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(path)));
    DeleteFileW(path.c_str());
}

}  // namespace
