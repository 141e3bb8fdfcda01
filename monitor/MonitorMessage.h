// MonitorMessage: the sending side of the instructions between programs as the tray program and
// the worker build it, and the tray program's and the watchdog's receivers.
//
// A send goes two ways at once: WM_COPYDATA with the record's JSON text to the window whose class
// is the target channel (it returns once the receiver window has handled it, at once when that
// window hangs, and after 5 s at most; a send that gives up while the window is still there is
// logged, one whose receiver ended inside its handler is not), then always the lock mode:
// the per-user mutex "<channel><instruction>" held for 200 ms. The result of a send says nothing
// about delivery. The record, hash, receiver window procedure and the lock-mode thread are
// common/Message.h's.
//
// Ownership: a returned QuillmarkMessage* is freed with freeIpcMessage (or held in a
// UniqueIpcMessage). Threading: sends keep no shared state; the tray program's two receiver
// windows parse under one lock (the JSON lookup they use is process-wide).
#ifndef QM_MONITOR_MONITORMESSAGE_H
#define QM_MONITOR_MONITORMESSAGE_H

#include <windows.h>

#include "common/Message.h"

// Channels: receiver window class and title, and the prefix of the lock-mode mutex names.
inline constexpr char kMonitorChannel[] = "OqtQuillmarkMonitor.exe";  // tray main window
inline constexpr char kMonitorIpcChannel[] = "OqtMonitor";            // tray keeper's receivers
inline constexpr char kWatchdogChannel[] = "OqtQuillmarkWatchdog";    // worker -watchdog

// Sender names (the record's From).
inline constexpr char kMonitorSenderName[] = "OqtQuillmarkMonitor.exe";
inline constexpr char kWorkerSenderName[] = "QuillmarkWorker";

// ---- Tray program's sending side --------------------------------------------------------------

// Record From "OqtQuillmarkMonitor.exe", To target, Instruction Suicide, Message "", stamped now.
// Null when target is null or memory runs out.
QuillmarkMessage* buildMonitorMessage(const char* target);

// Sends Suicide to the channel kcstrInputTo (window message if its window exists, else the error
// "sendIPCMsgWin can't find window <target>"; then the 200 ms lock hold). Null: the parameter
// warning ("kcstrInputTo"), nothing sent. Always true.
bool sendIPCMsgWin(const char* kcstrInputTo);

// Logged wrapper of sendIPCMsgWin(target): false (parameter warning) for a null target, else
// true, with "Send message final result: " logged while logging is on.
bool sendInstruction(const char* target);

// ---- Worker's sending side ----------------------------------------------------------------------

// Record with the given From, To and Instruction, Message "", stamped now. Null when from, to or
// instruction is null or memory runs out.
QuillmarkMessage* buildMessage(const char* from, const char* to, const char* instruction);

// Sends instruction from kcstrInputFrom to the channel kcstrInputTo as above. A null argument
// gives its parameter warning ("kcstrInputFrom", "kcstrInputTo", "kcstrInputInstruction", in this
// order) and sends nothing. Always true.
bool sendIPCMsgWin(const char* kcstrInputFrom, const char* kcstrInputTo,
                   const char* kcstrInputInstruction);

// Logged wrapper with From "QuillmarkWorker": false for a null target (parameter warning) or a
// null or empty instruction ("Instruction is empty"), else true.
bool sendInstruction(const char* to, const char* instruction);

// ---- Receivers
// ------------------------------------------------------------------------------------

// Tray program: starts the lock-mode thread on "OqtQuillmarkMonitor.exe" (the main window, class
// "OqtQuillmarkMonitor.exe", is the tray program's own). Call after setIpcCallbacks. False when
// the thread could not be started.
bool startMonitorLockMode();

// Tray program (keeper thread): the receiver window (ipcMessageWndProc) and the lock-mode thread
// on "OqtMonitor"; logs the IPC mode and, except on Windows XP, sleeps 500 ms. False when neither
// thread could be started.
bool startMonitorIpcMessage();

// Window procedure of the "OqtMonitor" receiver window: common/Message.h's ipcWndProc with its
// WM_COPYDATA parse kept apart from the main window's.
LRESULT CALLBACK ipcMessageWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The tray program's main window's WM_COPYDATA: parses and verifies the record (a failure logs
// the warning "Verify QuillmarkMessage fail"), logs "Receive COPYDATA message: " and acts:
// MonitorStart and Start run handlers.startFunction, Stop stopFunction, Restart restartFunction,
// Suicide finalFunction (a missing handler does nothing); anything else logs "Receive unknow
// instruction: " and "Receive unknow message: ". Never marks Suicide as received.
void handleMonitorCopyData(const COPYDATASTRUCT* data, const IpcCallbacks& handlers);

// Worker (-watchdog): the receiver window and the lock-mode thread on "OqtQuillmarkWatchdog", as
// startMonitorIpcMessage. False when neither thread could be started.
bool startWatchdogIpcMessage();

#endif  // QM_MONITOR_MONITORMESSAGE_H
