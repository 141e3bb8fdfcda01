#include "service/TopMost.h"

#include <windows.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>

#include "service/ServiceLog.h"

namespace {

constexpr int kTitleSize = 512;
// Windows of the input-method system: raising them would put an invisible frame over the page.
constexpr const wchar_t* kSkippedTitles[] = {L"MSCTFIME UI", L"Default IME"};
// How long a stop waits for the thread before it cancels it, and again after cancelling.
constexpr auto kStopGrace = std::chrono::seconds(5);

enum class Phase {
    kRecording = 1,
    kRaising = 2,
};

struct FreeDeleter {
    void operator()(HWND* list) const { std::free(list); }
};

// The state of one watch. The dispatching thread and the watch thread each hold a reference, so
// a thread that must be abandoned at stop still has its list.
struct TopMostWatch {
    DWORD targetProcessId = 0;
    bool allProcesses = false;
    std::unique_ptr<HWND[], FreeDeleter> windowList;
    size_t windowCount = 0;
    size_t WNDListSize = 0;
    std::atomic<Phase> phase{Phase::kRecording};

    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false;  // guarded by mutex
    bool finished = false;       // guarded by mutex
};

struct Module {
    // Shared with an abandoned watch thread that may still grow its list.
    std::atomic<size_t> listSize{kTopMostInitialListSize};
    std::atomic<uint64_t> passCount{0};
    std::shared_ptr<TopMostWatch> watch;
    pthread_t thread{};
};

Module& module() {
    static Module instance;
    return instance;
}

bool isSkippedTitle(const wchar_t* title) {
    for (const wchar_t* skipped : kSkippedTitles) {
        if (std::wcscmp(title, skipped) == 0) {
            return true;
        }
    }
    return false;
}

bool isListed(const TopMostWatch& watch, HWND window) {
    for (size_t i = 0; i < watch.windowCount; ++i) {
        if (watch.windowList[i] == window) {
            return true;
        }
    }
    return false;
}

bool growWindowList(TopMostWatch& watch) {
    const size_t newSize = watch.WNDListSize * 2;
    auto* grown = static_cast<HWND*>(std::realloc(watch.windowList.get(), newSize * sizeof(HWND)));
    if (grown == nullptr) {
        logError("Resizing WNDListSize failed", "");
        return false;
    }
    (void)watch.windowList.release();
    watch.windowList.reset(grown);
    std::memset(grown + watch.WNDListSize, 0, (newSize - watch.WNDListSize) * sizeof(HWND));
    watch.WNDListSize = newSize;
    module().listSize = newSize;
    logNormalInt("Resize WNDListSize to ", static_cast<int32_t>(newSize));
    return true;
}

void raiseWindow(HWND window) {
    // InternalGetWindowText reads the title without sending WM_GETTEXT, and SWP_ASYNCWINDOWPOS
    // posts the change: the window's thread may be the dispatching thread, blocked until this
    // watch ends, and a sent message would wait for it for ever.
    wchar_t title[kTitleSize] = {};
    InternalGetWindowText(window, title, kTitleSize);
    if (isSkippedTitle(title)) {
        return;
    }
    logNormalWString("Set UI top: ", title);
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_ASYNCWINDOWPOS);
    logNormal("Set UI top: ", "Complete");
}

BOOL CALLBACK setWindowTopMostProc(HWND window, LPARAM parameter) {
    auto& watch = *reinterpret_cast<TopMostWatch*>(parameter);
    if (!watch.allProcesses) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        if (processId != watch.targetProcessId) {
            return TRUE;
        }
    }
    if (watch.windowCount >= watch.WNDListSize && !growWindowList(watch)) {
        return FALSE;
    }
    if (watch.phase == Phase::kRaising) {
        if (isListed(watch, window)) {
            return TRUE;
        }
        raiseWindow(window);
    }
    watch.windowList[watch.windowCount++] = window;
    return TRUE;
}

void* topMostWatchThread(void* argument) {
    // The thread's own reference to the watch; released when the thread ends.
    std::unique_ptr<std::shared_ptr<TopMostWatch>> reference(
        static_cast<std::shared_ptr<TopMostWatch>*>(argument));
    TopMostWatch& watch = **reference;
    watch.phase = Phase::kRaising;
    std::unique_lock<std::mutex> lock(watch.mutex);
    for (;;) {
        watch.wake.wait_for(lock, std::chrono::milliseconds(kTopMostPeriodMilliseconds),
                            [&watch] { return watch.stopRequested; });
        if (watch.stopRequested) {
            break;
        }
        lock.unlock();
        EnumWindows(setWindowTopMostProc, reinterpret_cast<LPARAM>(&watch));
        ++module().passCount;
        lock.lock();
    }
    watch.finished = true;
    watch.wake.notify_all();
    return nullptr;
}

bool waitForFinish(TopMostWatch& watch) {
    std::unique_lock<std::mutex> lock(watch.mutex);
    return watch.wake.wait_for(lock, kStopGrace, [&watch] { return watch.finished; });
}

}  // namespace

bool startTopMostWatch(uint32_t processId, bool allProcesses) {
    Module& state = module();
    if (state.watch) {
        logError("Top-most watch: ", "Already running");
        return false;
    }
    auto watch = std::make_shared<TopMostWatch>();
    watch->targetProcessId = processId;
    watch->allProcesses = allProcesses;
    watch->WNDListSize = state.listSize;
    watch->windowList.reset(static_cast<HWND*>(std::calloc(watch->WNDListSize, sizeof(HWND))));
    if (!watch->windowList) {
        qm::logAllocationFailure("TopMost", __LINE__);
        return false;
    }
    watch->phase = Phase::kRecording;
    EnumWindows(setWindowTopMostProc, reinterpret_cast<LPARAM>(watch.get()));

    auto* reference = new std::shared_ptr<TopMostWatch>(watch);
    const int error = pthread_create(&state.thread, nullptr, topMostWatchThread, reference);
    if (error != 0) {
        delete reference;
        logErrorInt("Top-most watch thread start failed: ", error);
        return false;
    }
    state.watch = std::move(watch);
    return true;
}

void stopTopMostWatch() {
    Module& state = module();
    if (!state.watch) {
        return;
    }
    TopMostWatch& watch = *state.watch;
    {
        std::lock_guard<std::mutex> lock(watch.mutex);
        watch.stopRequested = true;
    }
    watch.wake.notify_all();
    if (waitForFinish(watch)) {
        pthread_join(state.thread, nullptr);
    } else {
        logError("Top-most watch: ", "Thread did not stop, cancel it");
        pthread_cancel(state.thread);
        if (waitForFinish(watch)) {
            pthread_join(state.thread, nullptr);
        } else {
            // Still running: it keeps its own reference to the list and frees it when it ends.
            logError("Top-most watch: ", "Thread abandoned");
            pthread_detach(state.thread);
        }
    }
    state.watch.reset();
}

size_t topMostListSizeForTesting() {
    return module().listSize;
}

uint64_t topMostPassCountForTesting() {
    return module().passCount;
}

void resetTopMostForTesting() {
    if (!module().watch) {
        module().listSize = kTopMostInitialListSize;
    }
}
