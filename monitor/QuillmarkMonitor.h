// QuillmarkMonitor: the tray program's entry, its hidden main window and the handlers of the
// user's and the worker's Start, Stop, Restart and quit.
#ifndef QM_MONITOR_QUILLMARKMONITOR_H
#define QM_MONITOR_QUILLMARKMONITOR_H

#include <windows.h>

#include "common/Message.h"

// The program entry (WinMain form; only the instance is read). Returns 0.
int monitorMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int show);

// The main window's procedure.
LRESULT CALLBACK monitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Quits: stops the service, sends Suicide to the watchdog, deletes the tray icon and ends the
// main thread's message loop (from whichever thread it runs on).
void MonitorFinal();
// The handlers of Start, Stop and Restart, from the menu and from instructions by window or by
// lock mode. They run one at a time: a second call waits until the first has returned.
// RunState := 1.
void onStartInstruction();
// RunState := 2, then the service is stopped.
void onStopInstruction();
// restartFlag := 1, the keeper held (keeperEnabled := 0 and RunState := 3 in one step with the
// keeper's check), the service stopped, the keeper let go.
void onRestartInstruction();

// The instruction handlers of the tray program (with the keeper's switched-out byte).
IpcCallbacks monitorIpcCallbacks();

// The registered "TaskbarCreated" message.
UINT taskbarCreatedMessage();

// Registers the main window class and creates the hidden window (start-up steps of the window);
// null on failure (the class is then unregistered again).
HWND createMonitorWindow(HINSTANCE instance);
// Destroys the window (when it still exists) and unregisters the class.
void destroyMonitorWindow(HWND window, HINSTANCE instance);

// Test hooks: the service stopper and the instruction sender that the handlers call (null: the
// real stopMainProgram and sendInstruction).
void setMonitorStoppersForTesting(bool (*stopper)(), bool (*sender)(const char* target));

#endif  // QM_MONITOR_QUILLMARKMONITOR_H
