// Thousands of sessions on each real adapter library in one process, as the service opens them:
// every session loads a private copy and every eviction unloads one. Whatever a copy and its
// statically linked runtime take process-wide (TLS indexes, handles, heap) must come back when it
// is unloaded: a process has only 1,088 TLS indexes, and the service must not end after that many
// sessions.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "common/win/Com.h"
#include "service/AdapterInstallation.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkSession.h"
#include "tests/support/gpki/GpkiStandin.h"
#include "tests/support/hca/HcaStandin.h"

namespace fs = std::filesystem;

namespace {

// Well past the 1,088 TLS indexes of a process.
constexpr int kSessionOpens = 5000;
// Opens before the baseline: the slots fill up and the process's one-time allocations are made
// (COM, the stand-in's factory), and the heaps reach the size they keep: Wine's heap holds on to
// the memory it once committed.
constexpr int kWarmUpOpens = 1000;
// Margins over the baseline after every session is released: a copy that kept one handle, or
// 16 bytes of heap, would exceed them.
constexpr DWORD kHandleMargin = 16;
constexpr std::size_t kHeapBytesMargin = 64 * 1024;
// Committed memory also moves with the heaps' slack, which differs from run to run.
constexpr std::size_t kPrivateBytesMargin = 4 * 1024 * 1024;

struct AdapterCase {
    const char* name;
    const char* pathId;
    const char* comName;
    const char* builtLibrary;
    const CLSID* clsid;
    ComPtr<IClassFactory> (*factory)();
};

const AdapterCase kAdapters[] = {
    {"Gpki", kGpkiPathId, kGpkiAdapterName, QM_GPKI_ADAPTER_PATH, &kGpkiStandinClsid,
     &makeStandinFactory<GpkiStandin>},
    {"Hca", kHcaPathId, kHcaAdapterName, QM_HCA_ADAPTER_PATH, &kHcaStandinClsid,
     &makeStandinFactory<HcaStandin>},
};

void PrintTo(const AdapterCase& c, std::ostream* out) {
    *out << c.name;
}

struct ProcessFigures {
    DWORD handles = 0;
    std::size_t heapBytes = 0;
    std::size_t privateBytes = 0;
};

// The process's open handles, counted by asking after every handle value in turn: Wine 8 answers
// GetProcessHandleCount with 0. Handle values are reused lowest first, so the count ends after a
// long run of values that name no handle.
DWORD openHandleCount() {
    constexpr uintptr_t kEndGap = 4 * 4096;
    DWORD count = 0;
    uintptr_t gap = 0;
    for (uintptr_t value = 4; gap < kEndGap; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            gap = 0;
        } else {
            gap += 4;
        }
    }
    return count;
}

// The process's committed private memory, region by region: Wine 8 answers GetProcessMemoryInfo
// with a PrivateUsage of 0.
std::size_t committedPrivateBytes() {
    std::size_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
    }
    return total;
}

// The bytes of every heap block in use, in all of the process's heaps.
std::size_t heapBytesInUse() {
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    std::size_t total = 0;
    for (DWORD i = 0; i < count && i < 256; ++i) {
        PROCESS_HEAP_ENTRY entry{};
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                total += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return total;
}

ProcessFigures processFigures() {
    return {openHandleCount(), heapBytesInUse(), committedPrivateBytes()};
}

// True when the process can still take a TLS index (given back at once).
bool tlsIndexAvailable() {
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) {
        return false;
    }
    TlsFree(index);
    return true;
}

// Opens count sessions in a row, each on a new copy of the adapter (the oldest session is evicted
// once the slots are full); the number answered with result 0 and a session id.
int openSessions(const std::string& openingJson, int count) {
    for (int i = 0; i < count; ++i) {
        std::optional<ReplyMap> reply = dispatchJson(openingJson);
        if (!reply || (*reply)["result"] != "0" || (*reply)["SessionID"].empty()) {
            return i;
        }
    }
    return count;
}

// A second thread that opens sessions, as a second listener of the service does: the other thread
// evicts its copies, each holding this thread's runtime block.
class SecondListener {
public:
    SecondListener(const AdapterCase& adapter, std::string openingJson)
        : thread_([this, &adapter, json = std::move(openingJson)] { serve(adapter, json); }) {}
    SecondListener(const SecondListener&) = delete;
    SecondListener& operator=(const SecondListener&) = delete;
    ~SecondListener() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // openSessions(count) on this thread; waits for its answer.
    int open(int count) {
        std::unique_lock<std::mutex> guard(lock_);
        request_ = count;
        answer_ = -1;
        changed_.notify_all();
        changed_.wait(guard, [this] { return answer_ >= 0; });
        return answer_;
    }

private:
    void serve(const AdapterCase& adapter, const std::string& openingJson) {
        // The stand-in is registered in each thread's apartment.
        ComApartment apartment;
        StandinClassRegistration registration(*adapter.clsid, adapter.factory());
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return stop_ || request_ > 0; });
            if (stop_) {
                return;
            }
            const int count = request_;
            request_ = 0;
            guard.unlock();
            const int answered = openSessions(openingJson, count);
            guard.lock();
            answer_ = answered;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    int request_ = 0;
    int answer_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

class AdapterReloadTest : public ::testing::TestWithParam<AdapterCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(apartment_.ok());
        registration_ =
            std::make_unique<StandinClassRegistration>(*GetParam().clsid, GetParam().factory());
        ASSERT_HRESULT_SUCCEEDED(registration_->hr());
        installation_ = std::make_unique<AdapterInstallation>(std::nullopt, std::nullopt);
        fs::copy_file(qmtest::buildPathForWine(GetParam().builtLibrary),
                      installation_->installedLibrary(GetParam().comName));
        openingJson_ = std::string("{\"PathID\":\"") + GetParam().pathId +
                       "\",\"minServerVersion\":\"1.0.0.0\",\"FunctionName\":\"QuillmarkEcho\"}";
    }

    void TearDown() override {
        installation_.reset();
        registration_.reset();
    }

    int openSessions(int count) const { return ::openSessions(openingJson_, count); }

    // openSessions(count) in turns of half the slots on this thread and on other.
    int openSessionsInTurns(SecondListener& other, int count) const {
        constexpr int kTurn = kSessionSlotCount / 2;
        int answered = 0;
        for (int turn = 0; answered < count; ++turn) {
            const int wanted = std::min(kTurn, count - answered);
            const int got = turn % 2 == 0 ? openSessions(wanted) : other.open(wanted);
            answered += got;
            if (got != wanted) {
                break;
            }
        }
        return answered;
    }

    // Runs open(count) for the warm-up and then for the measured sessions, and expects every
    // process-wide figure back near where it was once all sessions are released.
    void expectEverythingGivenBack(const std::function<int(int)>& open) const {
        ASSERT_EQ(open(kWarmUpOpens), kWarmUpOpens);
        releaseEverySession();
        const ProcessFigures before = processFigures();

        EXPECT_EQ(open(kSessionOpens), kSessionOpens);
        releaseEverySession();
        const ProcessFigures after = processFigures();

        std::printf(
            "%s: %d opens; handles %lu -> %lu; heap bytes in use %zu -> %zu; private bytes "
            "%zu -> %zu\n",
            GetParam().name, kSessionOpens, before.handles, after.handles, before.heapBytes,
            after.heapBytes, before.privateBytes, after.privateBytes);
        EXPECT_TRUE(tlsIndexAvailable());
        EXPECT_LE(after.handles, before.handles + kHandleMargin);
        ASSERT_GT(before.heapBytes, 0u);
        EXPECT_LE(after.heapBytes, before.heapBytes + kHeapBytesMargin);
        ASSERT_GT(before.privateBytes, 0u);
        EXPECT_LE(after.privateBytes, before.privateBytes + kPrivateBytesMargin);
        // The service goes on serving: a further session opens on a new copy.
        EXPECT_EQ(open(1), 1);
    }

    static void releaseEverySession() {
        auto lock = lockRequests();
        releaseAllAdapters();
    }

    ComApartment apartment_;
    std::unique_ptr<StandinClassRegistration> registration_;
    std::unique_ptr<AdapterInstallation> installation_;
    std::string openingJson_;
};

TEST_P(AdapterReloadTest, EveryUnloadedCopyGivesBackWhatItTook) {
    expectEverythingGivenBack([this](int count) { return openSessions(count); });
}

TEST_P(AdapterReloadTest, CopiesThatAnotherThreadEnteredGiveBackToo) {
    SecondListener other(GetParam(), openingJson_);
    expectEverythingGivenBack(
        [this, &other](int count) { return openSessionsInTurns(other, count); });
}

INSTANTIATE_TEST_SUITE_P(Adapters, AdapterReloadTest, ::testing::ValuesIn(kAdapters),
                         [](const ::testing::TestParamInfo<AdapterCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
