// The worker's per-run state and the mode bodies, shared by the worker's own files only.
#ifndef QM_WORKER_WORKERINTERNAL_H
#define QM_WORKER_WORKERINTERNAL_H

#include <atomic>
#include <cstdlib>
#include <string>

namespace worker {

// What one run keeps from start-up to its end.
struct RunState {
    std::string sessionName;         // "QuillmarkWorker-<id>": log tag, MonitorStart's From
    std::wstring executePath;        // the worker's own folder
    std::atomic<bool> logOn{false};  // set by the start-up's setLog, flipped by the debug thread
    bool selfDelete = false;         // set by -uninstalldetect and -delete
};

RunState& runState();

// Deleter of the worker's unique_ptr owners of heap blocks (free()).
struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

// UTF-8 of units wide characters (unpaired surrogates become U+FFFD); none or nothing converted
// gives "".
std::string utf8Of(const wchar_t* text, size_t units);

// Mode bodies. runUninstallDetect returns false on a parameter error (the run then ends at once).
bool runUninstallDetect(const std::string& argumentText);
void runDelete(const std::string& argumentText);
void runKeyToByte(const std::string& argumentText);
void runImportRootCACert();
void runWatchdog();

// Polls isProcessRunning for the two uninstaller processes at most tests times, sleeping 1000 ms
// after each test that finds one; label (may be empty) prefixes the log line written at the first
// finding (none when logLine is null).
void waitForUninstaller(int tests, const char* label, const char* logLine);

}  // namespace worker

#endif  // QM_WORKER_WORKERINTERNAL_H
