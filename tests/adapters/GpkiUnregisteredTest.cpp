// The GPKI adapter with no component registered anywhere: "61905" for every function, the system
// functions included, and start-up retried on the next call.
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/support/gpki/GpkiStandin.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(GpkiUnregistered, EveryFunctionAnswers61905UntilTheComponentAppears) {
    ComApartment apartment;
    WithoutRegistration without(kGpkiStandinClsid, L"GPKI component stand-in");
    AdapterLibrary library(windowsPath(QM_GPKI_ADAPTER_PATH));
    ASSERT_TRUE(library.loaded());
    EXPECT_EQ(library.callIndex(45, "GPKI_GetSlotCount", {}), "61905");
    EXPECT_EQ(library.callIndex(-1, "Quillmark_GetVersion", {}), "61905");
    EXPECT_EQ(library.callIndex(-2, "Quillmark_Unlock", {{"url", "https://localhost"}}), "61905");
    EXPECT_EQ(library.callIndex(-3, "Quillmark_Release", {}), "61905");
    EXPECT_EQ(library.callText("{\"FunctionName\":\"get_lastError\"}"), "61905");

    const StandinClassRegistration registration(kGpkiStandinClsid,
                                                makeStandinFactory<GpkiStandin>());
    ASSERT_HRESULT_SUCCEEDED(registration.hr());
    EXPECT_EQ(library.callIndex(45, "GPKI_GetSlotCount", {}), "45");
    EXPECT_EQ(library.callIndex(-2, "Quillmark_Unlock", {}), "0");
    EXPECT_EQ(library.callIndex(-3, "Quillmark_Release", {}), "");
}

}  // namespace
