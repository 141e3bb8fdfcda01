// MonitorState: the tray program's process-wide state, shared by its threads (main window, keeper,
// screenshot key watcher, key-sequence watcher, instruction receivers). Flags are atomics written
// with single stores and read by polling; what must change in one step with a check goes under
// one of the three locks below. The texts are set during start-up, before the other threads
// start, and only read afterwards (the language slots are refilled by the main thread and guarded
// by their own lock in MonitorTray).
#ifndef QM_MONITOR_MONITORSTATE_H
#define QM_MONITOR_MONITORSTATE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "monitor/MonitorConfig.h"
#include "monitor/MonitorText.h"

// RunState values.
inline constexpr int32_t kRunKeep = 1;
inline constexpr int32_t kRunStopped = 2;
inline constexpr int32_t kRunRestarting = 3;

// The main window's class (also the channel of its instructions) and the tray callback message.
inline constexpr wchar_t kMonitorWindowClass[] = L"OqtQuillmarkMonitor.exe";
inline constexpr unsigned kTrayCallbackMessage = 0x401;
inline constexpr unsigned kTrayDoubleClick = 0x203;  // WM_LBUTTONDBLCLK
inline constexpr unsigned kTrayRightDown = 0x204;    // WM_RBUTTONDOWN

// The About box's caption, by which the debug switch finds and closes it.
inline constexpr wchar_t kAboutCaption[] = L"OqtQuillmark Monitor";

// A mutex that counts the callers waiting for it, so that a test can tell a second caller held up
// from one let through.
class CountedLock {
public:
    void lock() {
        waiting_.fetch_add(1);
        mutex_.lock();
        waiting_.fetch_sub(1);
    }
    void unlock() { mutex_.unlock(); }
    int waitersForTesting() const { return waiting_.load(); }

private:
    std::mutex mutex_;
    std::atomic<int> waiting_{0};
};

struct MonitorState {
    std::atomic<int32_t> runState{kRunKeep};
    std::atomic<uint8_t> keeperEnabled{1};
    std::atomic<uint8_t> restartFlag{0};
    std::atomic<uint8_t> mainRunning{0};
    std::atomic<uint8_t> aboutClosed{1};
    std::atomic<uint8_t> debugMode{0};
    std::atomic<uint8_t> debugSwitchedOn{0};
    std::atomic<int32_t> currentLanguage{kLanguageTradChinese};
    std::atomic<bool> isScreenShot{false};
    std::atomic<bool> silentmode{false};
    std::atomic<bool> autocheckupdate{true};
    // Start, Stop and Restart run one at a time, whichever thread the instruction or the menu
    // command reached: one instruction sent both ways must not run its handler twice at once.
    CountedLock controlLock;
    // A Restart's hold of the keeper (keeperEnabled and runState) and the keeper's check of
    // keeperEnabled with its swap of runState are each one step under this (MonitorKeeper).
    CountedLock keeperGate;
    // A switch of the debug log (its check of debugMode, the settings file, the own logging,
    // debugMode and the pulse) is one step, so that two switches at once pulse once per change.
    CountedLock debugSwitchLock;
    // Set at start-up.
    std::string monitorLogTag;  // "QuillmarkMonitor-<session id>"
    std::wstring dataFolder;    // <common app data>\OqtQuillmark
    std::wstring configPath;    // <dataFolder>\OqtQuillmarkConfig
    std::wstring logIniPath;    // <user temp>\OqtQuillmark.ini
    std::string logIniText;     // the log settings text written when logging goes on
};

// The one instance.
MonitorState& monitorState();

// The settings as a record (for writing the file) and back.
MonitorConfig currentMonitorConfig();
void applyMonitorConfig(const MonitorConfig& config);

// Back to the initial values (tests).
void resetMonitorStateForTesting();

#endif  // QM_MONITOR_MONITORSTATE_H
