// What an adapter copy gives back at unload (AdapterUnload.cpp), against runtime behaviour that
// today's toolchain does not show and the next one may: a runtime part that frees its own TLS
// index, and a start that fails. Through the unload probe library (UnloadProbe.cpp). Runs with
// Wine's heap checks on: a block freed twice fails the case, as it would corrupt a Windows heap.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/adapters/AdapterHarness.h"
#include "tests/adapters/UnloadProbe.h"

namespace {

std::optional<std::string> environmentValue(const char* name) {
    char text[64] = {};
    const DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length == 0 || length >= sizeof text) {
        return std::nullopt;
    }
    return std::string(text, length);
}

// The TLS indexes the process can still take (each one taken and given back).
int freeTlsIndexes() {
    std::vector<DWORD> taken;
    for (DWORD index = TlsAlloc(); index != TLS_OUT_OF_INDEXES; index = TlsAlloc()) {
        taken.push_back(index);
    }
    for (DWORD index : taken) {
        TlsFree(index);
    }
    return static_cast<int>(taken.size());
}

class AdapterUnload : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* name :
             {kUnloadProbeMode, kUnloadProbeOwn, kUnloadProbeOther, kUnloadProbeDestructor}) {
            SetEnvironmentVariableA(name, nullptr);
        }
    }

    static HMODULE loadProbe(const char* mode) {
        SetEnvironmentVariableA(kUnloadProbeMode, mode);
        return LoadLibraryW(windowsPath(QM_UNLOAD_PROBE_PATH).c_str());
    }
};

// The index a runtime part frees at its own detach is free for the next taker at once; the copy's
// unload must not free it a second time, from whoever holds it by then.
TEST_F(AdapterUnload, AnIndexTheRuntimeFreesItselfIsNotFreedAgain) {
    HMODULE probe = loadProbe(kUnloadProbeOwnIndex);
    ASSERT_NE(probe, nullptr);
    ASSERT_TRUE(FreeLibrary(probe));
    const std::optional<std::string> own = environmentValue(kUnloadProbeOwn);
    const std::optional<std::string> other = environmentValue(kUnloadProbeOther);
    ASSERT_TRUE(own && other) << "the probe's detach ran";
    ASSERT_EQ(*other, *own) << "the other module was given the index the probe freed";
    const DWORD index = std::stoul(*other);

    EXPECT_EQ(TlsGetValue(index), reinterpret_cast<void*>(kUnloadProbeOtherValue))
        << "the unload freed the other module's index " << index;
    const DWORD next = TlsAlloc();
    EXPECT_NE(next, index) << "index " << index << " was handed out again";
    TlsFree(next);
    TlsFree(index);
}

// A start that fails is followed by the detach (to the runtime's TLS callbacks, then the entry
// point), and the runtime's callbacks still walk their key list then, under their critical
// section: what the copy took is given back after them, and all of it, load after load, well
// past the 1,088 TLS indexes of a process.
TEST_F(AdapterUnload, AFailedStartGivesBackAfterTheDetachThatFollows) {
    constexpr int kLoads = 2000;
    const int freeBefore = freeTlsIndexes();
    for (int load = 0; load < kLoads; ++load) {
        SetEnvironmentVariableA(kUnloadProbeDestructor, nullptr);
        HMODULE probe = loadProbe(kUnloadProbeFailAttach);
        ASSERT_EQ(probe, nullptr) << "load " << load;
        ASSERT_EQ(environmentValue(kUnloadProbeDestructor), "ran")
            << "load " << load << ": the runtime's key destructor ran at the detach";
    }
    EXPECT_EQ(freeTlsIndexes(), freeBefore);
}

}  // namespace
