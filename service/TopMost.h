// TopMost: the top-most window watch. A component may open windows (PIN prompts, certificate
// choosers) while the page waits on an adapter call; they would open behind the browser. During
// such a call this watch makes every top-level window that did not exist when the call began
// top-most, once.
//
// The dispatcher starts the watch right before the adapter call and stops it right after, on the
// same thread; one watch runs at a time (the service completes one request at a time).
//
// The watch thread never sends a message to another thread (titles are read without WM_GETTEXT
// and windows are raised asynchronously), so a component window owned by the dispatching thread,
// which is blocked in the adapter call or in stopTopMostWatch, can never stall it.
#ifndef QM_SERVICE_TOPMOST_H
#define QM_SERVICE_TOPMOST_H

#include <cstddef>
#include <cstdint>

// Period between two looks for new windows.
inline constexpr unsigned kTopMostPeriodMilliseconds = 300;
// Capacity of the window list of the first watch; it doubles whenever it is full and later
// watches start with the size reached.
inline constexpr size_t kTopMostInitialListSize = 256;

// Records the windows that exist now (of processId only, or of every process with allProcesses),
// then starts the thread that raises new ones every 300 ms. Returns false, with an error line,
// when a watch is already running, the list cannot be had or the thread cannot be started; no
// watch then runs and stopTopMostWatch does nothing.
bool startTopMostWatch(uint32_t processId, bool allProcesses);

// Ends the watch thread through its stop flag and waits for it, then frees the window list. A
// thread that has not ended within a few seconds is cancelled; one that still does not end is
// left to end by itself and frees its own list. No watch running: nothing happens.
void stopTopMostWatch();

// ---- Test hooks ------------------------------------------------------------------------------

// Capacity the next watch starts with.
size_t topMostListSizeForTesting();
// Number of looks for new windows completed by the watch thread since the process started.
uint64_t topMostPassCountForTesting();
// Capacity back to kTopMostInitialListSize (only while no watch runs).
void resetTopMostForTesting();

#endif  // QM_SERVICE_TOPMOST_H
