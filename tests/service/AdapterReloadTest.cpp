// Thousands of sessions on each real adapter library in one process, as the service opens them:
// every session loads a private copy, makes one component call through it, and every eviction
// unloads one. Whatever a copy and its statically linked runtime take process-wide (TLS indexes,
// handles, threads, heap) must come back when it is unloaded: a process has only 1,088 TLS
// indexes, and the service must not end after that many sessions. The calls take the copy's text,
// list and error paths (a component error is thrown and caught inside the copy). Runs with Wine's
// heap checks on (tests/service/CMakeLists.txt): a block that a copy frees through the wrong heap
// passes silently under Wine otherwise.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
#include <vector>

#include "common/win/Com.h"
#include "service/AdapterInstallation.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkSession.h"
#include "tests/support/gpki/GpkiStandin.h"
#include "tests/support/hca/HcaStandin.h"
#include "tests/support/standin/ComStandin.h"

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
// Thread-pool threads come and go on their own; a copy that kept a thread would leave thousands.
constexpr DWORD kThreadMargin = 2;
constexpr std::size_t kHeapBytesMargin = 64 * 1024;
// Committed memory also moves with the heaps' slack, which differs from run to run.
constexpr std::size_t kPrivateBytesMargin = 4 * 1024 * 1024;

// One component call of a session, made after it opened.
struct SessionCall {
    const char* name;
    const char* members;  // the request's JSON members after "SessionId"
    const char* result;   // the answer expected
};
// The sessions take these in turn.
constexpr int kCallKinds = 3;

struct AdapterCase {
    const char* name;
    const char* pathId;
    const char* comName;
    const char* builtLibrary;
    const CLSID* clsid;
    ComPtr<IClassFactory> (*factory)();
    SessionCall calls[kCallKinds];
};

const AdapterCase kAdapters[] = {
    {"Gpki",
     kGpkiPathId,
     kGpkiAdapterName,
     QM_GPKI_ADAPTER_PATH,
     &kGpkiStandinClsid,
     &makeStandinFactory<GpkiStandin>,
     {{"TextInTextOut",
       R"("FunctionName":"CAPICertGetSerialNumber","strCert":"reload","iFlags":"7")",
       "2|CAPICertGetSerialNumber|s6:reload|i:7"},
      {"ListOut", R"("FunctionName":"GPKI_EnumCerts","iFlags":"7")", "1;GPKI_EnumCerts;i:7;"},
      {"ComponentError",
       R"("FunctionName":"CAPICertGetSerialNumber","strCert":"standin:fail","iFlags":"7")",
       "61011"}}},
    {"Hca",
     kHcaPathId,
     kHcaAdapterName,
     QM_HCA_ADAPTER_PATH,
     &kHcaStandinClsid,
     &makeStandinFactory<HcaStandin>,
     {{"TextAndAnsiInTextOut",
       R"("FunctionName":"HCA_Encode","strData":"reload","strPemTitle":"T")",
       "1|HCA_Encode|s6:reload|s1:T"},
      {"ListOut", R"("FunctionName":"HCA_HPCBasicDataByReader","readername":"reload","iFlags":"7")",
       "17;HCA_HPCBasicDataByReader;s6:reload;i:7;"},
      {"ComponentError",
       R"("FunctionName":"HCA_Encode","strData":"standin:fail","strPemTitle":"T")", "61011"}}},
};

void PrintTo(const AdapterCase& c, std::ostream* out) {
    *out << c.name;
}

struct ProcessFigures {
    int tlsIndexesTaken = 0;
    DWORD handles = 0;
    DWORD threads = 0;
    std::size_t heapBytes = 0;
    std::size_t privateBytes = 0;
};

// The process's TLS indexes in use: all it has, less those it can still take (each taken and
// given back).
int tlsIndexesTaken() {
    constexpr int kProcessIndexes = 1088;
    std::vector<DWORD> taken;
    for (DWORD index = TlsAlloc(); index != TLS_OUT_OF_INDEXES; index = TlsAlloc()) {
        taken.push_back(index);
    }
    for (DWORD index : taken) {
        TlsFree(index);
    }
    return kProcessIndexes - static_cast<int>(taken.size());
}

DWORD threadCount() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

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
    // The thread snapshot's handle is closed before the handles are counted.
    const DWORD threads = threadCount();
    return {tlsIndexesTaken(), openHandleCount(), threads, heapBytesInUse(),
            committedPrivateBytes()};
}

// Sessions opened so far, for the turn of their calls.
std::atomic<int> sessionsOpened{0};

// Opens count sessions in a row, each on a new copy of the adapter (the oldest session is evicted
// once the slots are full), and makes one call in each; the number opened with result 0 and a
// session id whose call got its answer.
int openSessions(const AdapterCase& adapter, int count) {
    const std::string openingJson =
        std::string("{\"PathID\":\"") + adapter.pathId +
        "\",\"minServerVersion\":\"1.0.0.0\",\"FunctionName\":\"QuillmarkEcho\"}";
    for (int i = 0; i < count; ++i) {
        std::optional<ReplyMap> opened = dispatchJson(openingJson);
        if (!opened || (*opened)["result"] != "0" || (*opened)["SessionID"].empty()) {
            ADD_FAILURE() << "session " << sessionsOpened.load() << " did not open";
            return i;
        }
        const SessionCall& call = adapter.calls[sessionsOpened++ % kCallKinds];
        std::optional<ReplyMap> answered =
            dispatchJson("{\"SessionId\":\"" + (*opened)["SessionID"] + "\"," + call.members + "}");
        // The stand-in records every call; only the answer matters here.
        clearStandinCallsForTesting();
        if (!answered || (*answered)["result"] != call.result) {
            ADD_FAILURE() << call.name << " answered "
                          << (answered ? (*answered)["result"] : std::string("nothing"));
            return i;
        }
    }
    return count;
}

// A second thread that opens sessions, as a second listener of the service does: the other thread
// evicts its copies, each holding this thread's runtime block.
class SecondListener {
public:
    explicit SecondListener(const AdapterCase& adapter)
        : thread_([this, &adapter] { serve(adapter); }) {}
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
    void serve(const AdapterCase& adapter) {
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
            const int answered = openSessions(adapter, count);
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
    }

    void TearDown() override {
        installation_.reset();
        registration_.reset();
    }

    static int openSessions(int count) { return ::openSessions(GetParam(), count); }

    // openSessions(count) in turns of half the slots on this thread and on other.
    static int openSessionsInTurns(SecondListener& other, int count) {
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
    // process-wide figure back near where it was once all sessions are released. Prints what each
    // copy holds while its session is open: the figures with every slot in use, less those after
    // the warm-up, per slot.
    void expectEverythingGivenBack(const std::function<int(int)>& open) const {
        ASSERT_EQ(open(kWarmUpOpens), kWarmUpOpens);
        releaseEverySession();
        const ProcessFigures before = processFigures();

        ASSERT_EQ(open(kSessionSlotCount), kSessionSlotCount);
        const ProcessFigures loaded = processFigures();
        EXPECT_EQ(open(kSessionOpens - kSessionSlotCount), kSessionOpens - kSessionSlotCount);
        releaseEverySession();
        const ProcessFigures after = processFigures();

        const auto perCopy = [](auto with, auto without) {
            return (static_cast<double>(with) - static_cast<double>(without)) / kSessionSlotCount;
        };
        std::printf(
            "%s: each open copy: %.2f TLS indexes, %.2f handles, %.2f threads, %.0f heap bytes, "
            "%.0f private bytes\n",
            GetParam().name, perCopy(loaded.tlsIndexesTaken, before.tlsIndexesTaken),
            perCopy(loaded.handles, before.handles), perCopy(loaded.threads, before.threads),
            perCopy(loaded.heapBytes, before.heapBytes),
            perCopy(loaded.privateBytes, before.privateBytes));
        std::printf(
            "%s: %d opens; TLS indexes %d -> %d; handles %lu -> %lu; threads %lu -> %lu; heap "
            "bytes in use %zu -> %zu; private bytes %zu -> %zu\n",
            GetParam().name, kSessionOpens, before.tlsIndexesTaken, after.tlsIndexesTaken,
            before.handles, after.handles, before.threads, after.threads, before.heapBytes,
            after.heapBytes, before.privateBytes, after.privateBytes);
        EXPECT_EQ(after.tlsIndexesTaken, before.tlsIndexesTaken);
        EXPECT_LE(after.handles, before.handles + kHandleMargin);
        EXPECT_LE(after.threads, before.threads + kThreadMargin);
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
};

TEST_P(AdapterReloadTest, EveryUnloadedCopyGivesBackWhatItTook) {
    expectEverythingGivenBack([](int count) { return openSessions(count); });
}

TEST_P(AdapterReloadTest, CopiesThatAnotherThreadEnteredGiveBackToo) {
    SecondListener other(GetParam());
    expectEverythingGivenBack([&other](int count) { return openSessionsInTurns(other, count); });
}

INSTANTIATE_TEST_SUITE_P(Adapters, AdapterReloadTest, ::testing::ValuesIn(kAdapters),
                         [](const ::testing::TestParamInfo<AdapterCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
