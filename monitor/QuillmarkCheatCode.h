// QuillmarkCheatCode: the system-wide debug-log switch and the hidden key sequences that work it
// while the About box is open.
//
// Logging of every program is switched on by writing the log settings file "OqtQuillmark.ini"
// into the user's temporary folder (every program looks there after its own folder and the
// Windows folder), creating the log folder "QuillmarkLog" on the desktop and pulsing the named
// event "OqtQuillmark_DEBUG_MODE"; it is switched off by deleting the file and pulsing again.
//
// The settings text and the key-sequence matcher are pure; writeDebugLogIni and the event
// helpers need no tray-program state, so other programs (the worker) can switch logging with
// them too. The rest (start/stop/toggle, the watcher thread) acts on the tray program's state.
#ifndef QM_MONITOR_QUILLMARKCHEATCODE_H
#define QM_MONITOR_QUILLMARKCHEATCODE_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// The log folder's name under the desktop.
inline constexpr char kLogFolderName[] = "QuillmarkLog";

// The log settings text: "[OqtQuillmark]\nLog File=<logRoot>\QuillmarkLog\OqtQuillmark.txt\n
// Log Level=5" (no line break at the end), cut to 511 bytes. logRoot is the desktop folder in the
// ANSI code page (the log writer hands the path to the C runtime as it stands); null or empty
// gives a text without the Log File line, so the writer uses its default file.
std::string buildLogIniText(const char* logRoot);

// ---- Key sequences ----------------------------------------------------------------------------

inline constexpr int kCheatCodeSlots = 64;
inline constexpr size_t kKeyHistoryLimit = 16;

struct CheatCodeRecord {
    int32_t codes[kCheatCodeSlots];  // virtual-key codes, at most 63 used
    int32_t count;
    void (*callback)();
};

// A record of codes copied in order until count are copied or a code 0 is met, with callback
// toggleDebugMode. Null codes: the parameter warning ("inputCheatCode", "QuillmarkCheatCode", 23)
// and null; a 64th code: the error " Init cheat code error, input too long" and null.
std::unique_ptr<CheatCodeRecord> initCheatCode(const int32_t* codes, int32_t count);

// The three registered sequences (13, 7 and 11 codes), in registration order.
std::vector<std::vector<int32_t>> cheatCodeSequences();

// Appends key to history (keeping the last 16), then tests the records in order: the first whose
// codes equal the tail of the history clears the history and is returned (its callback is not
// run here); null when none matches.
const CheatCodeRecord* pushKeyAndMatch(
    std::deque<int32_t>& history, int32_t key,
    const std::vector<std::unique_ptr<CheatCodeRecord>>& records);

#ifdef _WIN32
// ---- Switching, for any program ------------------------------------------------------------

// Writes iniText to iniPath (text mode, truncating), then creates "<logRoot>\QuillmarkLog" (one
// level; existing is fine) when logRoot is given. A failed write logs the warning
// "[Warning] " "Write log ini file fail" and the folder is still made. True when the file was
// written.
bool writeDebugLogIni(const wchar_t* iniPath, const char* iniText, const wchar_t* logRoot);

// Opens "OqtQuillmark_DEBUG_MODE" (set and wait rights) or, when it does not exist, creates it
// (default security, manual reset, not signalled). False, changing nothing, when the handle is
// already held; else whether a handle is now held.
bool createDebugModeEvent();
// Sets the event and, only if that worked, resets it at once; nothing without a handle.
void pulseDebugModeEvent();
// Closes the held handle (tests).
void closeDebugModeEventForTesting();

// ---- The tray program's switch -----------------------------------------------------------------

// writeDebugLogIni with the tray program's paths and text, then its log set-up; debugMode := 1.
void writeLogIni();
// debugSwitchedOn := 1, closes an open About box, writeLogIni, pulses, balloon slot 23.
void startDebugMode();
// debugSwitchedOn := 0, closes an open About box, deletes the settings file, switches the tray
// program's own logging off, debugMode := 0, pulses, balloon slot 22.
void stopDebugMode();
// stopDebugMode when debugSwitchedOn, else startDebugMode.
void toggleDebugMode();
// Each switch checks debugMode and changes the state in one step (two at once pulse once per
// change); the balloon follows outside it. Test hook: called inside that step right after the
// check (null: nothing).
void setDebugSwitchHookForTesting(void (*hook)());
// The tray program's log set-up under its own tag; true when logging is on.
bool setMonitorLog();

// Registers the three sequences and starts the watcher once (the first About box).
void setupCheatCodes();
// The watcher thread: while the About box is open, scans the key states every 50 ms, logs each
// press ("User pressed: " %X) and runs the callback of a matching sequence.
void* cheatCodeWatcher(void* argument);
// The registered records (tests).
const std::vector<std::unique_ptr<CheatCodeRecord>>& registeredCheatCodesForTesting();
// How many presses the watcher has logged, and how many of them it has taken at their release
// (tests).
long keysSeenForTesting();
long keysTakenForTesting();
#endif

#endif  // QM_MONITOR_QUILLMARKCHEATCODE_H
