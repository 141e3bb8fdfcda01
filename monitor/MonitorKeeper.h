// MonitorKeeper: the thread that keeps the signing service running. It starts "OqtQuillmark.exe
// <n>" hidden, waits for it to end and starts it again, n counting the starts of one series from
// 0; after the eighth start of a series while the run state is "keep running" it gives up for
// the rest of the program's life. Stop and Restart (menu or instructions) change the run state
// and stop the service; the keeper reads the state between runs, and sleeps while the user's
// session is locked or disconnected. A series that begins after a Restart turns the run state
// back to "keep running", so the limit holds after a Restart too.
#ifndef QM_MONITOR_MONITORKEEPER_H
#define QM_MONITOR_MONITORKEEPER_H

#include <atomic>
#include <cstdint>
#include <string>

inline constexpr int kKeeperSeriesLength = 8;

// The thread body (argument not read); returns 0 only when it gives up.
void* keeperThread(void* argument);

// A Restart's hold of the keeper: keeperEnabled := 0 and runState := 3, in one step with the
// keeper's check below. The Restart lets the keeper go again with keeperEnabled := 1.
void holdKeeperForRestart();
// The keeper's check before a series, in one step: false while a Restart holds it; else a
// runState of 3 (a Restart done) becomes 1 and the result is true.
bool keeperMayBeginSeries();

// The keeper's switched-out byte (1 while the session is locked or disconnected), registered as
// the instruction receivers' switchedOutFlag.
std::atomic<uint8_t>& keeperSwitchedOut();

// The command of start n: "OqtQuillmark.exe <n>".
std::wstring keeperCommand(int startNumber);

// Test hooks: a format with one %d in place of "OqtQuillmark.exe %d" (empty: back to it); and
// whether the keeper is to skip its start-up stop of the service and its receivers.
void setKeeperCommandFormatForTesting(const std::wstring& format);
void setKeeperStartupForTesting(bool stopAndListen);
// Called inside keeperMayBeginSeries between its check and its swap (null: nothing).
void setKeeperGateHookForTesting(void (*hook)());

#endif  // QM_MONITOR_MONITORKEEPER_H
