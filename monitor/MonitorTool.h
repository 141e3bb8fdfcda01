// MonitorTool: the process control helpers that the tray program and the worker share: hidden
// command starts, process lookup and kill by executable file name, the staged stopper (Suicide
// instruction and kill, then taskkill), named-mutex release, a few folder paths, files and time
// texts. The per-user mutex itself is common/Tool.h's getMutexLock (name, wait in ms).
//
// Ownership, unless said otherwise: a returned char* / wchar_t* is a new heap block the caller
// frees with free(); null means failure. Failures are reported only through the log front-ends.
// Process names are bare executable file names in UTF-8 ("OqtQuillmark.exe"); command lines are
// wide texts.
//
// Threading: nothing here keeps shared state; every call uses its own buffers and handles, so the
// routines may run on several threads at once. A mutex from getMutexLock is released by the
// thread that obtained it.
#ifndef QM_MONITOR_MONITORTOOL_H
#define QM_MONITOR_MONITORTOOL_H

#include <cstdint>
#include <ctime>
#include <string>

#include "common/Tool.h"

// The programs of the system, started and found by bare file name (they share one folder).
inline constexpr char kServiceProgramName[] = "OqtQuillmark.exe";
inline constexpr char kMonitorProgramName[] = "OqtQuillmarkMonitor.exe";
inline constexpr char kWorkerProgramName[] = "OqtQuillmarkWorker.exe";

// hideWaitCommand's result when no process ran (no memory, or the process could not be created
// or its exit code not read): nonzero, so that a caller testing for 0 never takes it for success.
inline constexpr unsigned long kWaitCommandNotRun = kHiddenCommandNotRun;

// ---- Hidden commands ------------------------------------------------------------------------

// Starts command without a window (CREATE_NO_WINDOW, the caller's environment and folder) and
// waits without limit for its exit code. With useCmd (the worker's build) it runs
// "<system folder>\cmd.exe /c <command>"; without (the tray program's build) the command unchanged.
// The command is not logged. Null command: 1 without starting anything; no process ran:
// kWaitCommandNotRun.
unsigned long hideWaitCommand(const wchar_t* command, bool useCmd = false);

// Starts inputCommand without a window and without waiting (both handles closed at once), after
// logging "hideNOWaitCommand: " with the command. Null: the parameter warning ("inputCommand").
// (The no-argument hideNOWaitCommand() of common/Tool.h starts "OqtQuillmarkWorker.exe -start".)
void hideNOWaitCommand(const wchar_t* inputCommand);

// ---- Processes by file name -----------------------------------------------------------------

// True when a process whose executable file name equals processName, ignoring case, runs: first
// by module name of every process that can be opened (PSAPI), then by a Toolhelp snapshot for
// the others. Null: the parameter warning ("processName") and false; an EnumProcesses failure
// logs "EnumProcesses fail" and gives false.
bool isProcessRunning(const char* processName);

// Ends every process whose executable file name equals filename exactly (with case) with exit
// code 9. Always true (null: the parameter warning ("filename")).
bool killProcessByName(const char* filename);

// ---- Staged stoppers ------------------------------------------------------------------------
// Each sends Suicide to the target's channel (window message and 200 ms lock hold), kills the
// target by name at once, polls up to 3 s (100 ms steps) for it to vanish and, only if it still
// runs, runs "<system folder>\taskkill.exe /F /im <target>" and polls up to 3 s again, logging
// every wait. The result is true when the target no longer runs.

// The tray program's stopper of the service ("OqtQuillmark.exe"), log label
// "OqtQuillmarkMonitor.exe".
bool stopMainProgram();

// The worker's stopper of inputTo (a channel that is also the program's file name), log label
// "QuillmarkWorker". Null: the parameter warning ("inputTo"), nothing stopped, false.
bool stopProgram(const char* inputTo);

// ---- Mutexes ----------------------------------------------------------------------------------

// ReleaseMutex and CloseHandle of a handle from getMutexLock (a HANDLE); null does nothing.
void releaseMutexLock(void* mutex);

// ---- Paths, files and texts ---------------------------------------------------------------------

// The data folder: the common application-data folder, "\" and "OqtQuillmark" (260 units). An
// empty path after the error "Get copy path: " "Fail" when the shell cannot give the folder; null
// on no memory. (The tray program uses common/Tool.h's getCopyPath("OqtQuillmark").)
wchar_t* getCommonDataPath();

// Writes text with "%s" into path (mode "w": truncating, text mode). False for a null or empty
// path, a null text, or a file that cannot be opened.
bool writeTextFile(const wchar_t* path, const char* text);

// Appends text to "Cert.h" in the current folder (mode "a"). False for a null text or a file that
// cannot be opened.
bool appendKeyHeader(const char* text);

// The local time as "YYYY-MM-DD hh-mm-ss" (each field but the year two digits), for example
// "2022-03-11 14-26-48"; "Unknow time" when the local time cannot be computed. Null on no memory.
char* getLocalTimeText();

// The text of getLocalTimeText for a given broken-down local time (tm_year from 1900, tm_mon
// from 0). Null on no memory.
char* localTimeTextOf(const std::tm& localTime);

// The message time count (getTimeValue) as "%llx" in a new 32-byte text; null on no memory.
char* getTimeValueHex();

// The user's desktop folder (not created when missing); null when the shell cannot give it.
wchar_t* getDesktopPath();

// Creates every folder on the way to the file that path names ("\" or "/" separated); the last
// part (the file name) is not created, existing folders and failures are ignored. Null or empty
// does nothing. Always true.
bool createDirectories(const wchar_t* path);

// Starts, hidden and without waiting, "<system folder>\cmd.exe /C <system folder>\ping.exe
// 198.51.100.1 -n 1 -w 2000 > Nul & Del "<own path>"", which deletes the running program's file
// once it has ended: the address is a documentation address that nobody answers, so the single
// echo request waits out its 2000 ms. A failed or cut own path deletes nothing.
// Tests: the echo request would leave the machine, which tests must never do. A test that makes
// a program call this first puts a stand-in ping.exe into the system folder of its own Wine
// prefix; in-process tests check deleteSelfCommandForTesting instead.
void deleteSelfDelayed();

// ---- Test hooks -------------------------------------------------------------------------------

// The command that the stoppers run in place of the taskkill line, which is still built and
// logged (null: taskkill again). Copied.
void setStopKillCommandForTesting(const wchar_t* command);
// The command line deleteSelfDelayed starts for a given own path.
std::wstring deleteSelfCommandForTesting(const wchar_t* ownPath);

#endif  // QM_MONITOR_MONITORTOOL_H
