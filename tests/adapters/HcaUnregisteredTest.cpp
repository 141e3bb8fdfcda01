// The HCA adapter with no component registered anywhere: "61905" for every function, the system
// functions included, and start-up retried on the next call.
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/support/hca/HcaStandin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HcaUnregistered, EveryFunctionAnswers61905UntilTheComponentAppears) {
    ComApartment apartment;
    WithoutRegistration without(kHcaStandinClsid, L"HCA component stand-in");
    AdapterLibrary library(windowsPath(QM_HCA_ADAPTER_PATH));
    ASSERT_TRUE(library.loaded());
    EXPECT_EQ(library.callIndex(2, "HCA_GetCardSN", {}), "61905");
    EXPECT_EQ(library.callIndex(1, "HCA_Encode", {{"strData", "d"}, {"strPemTitle", ""}}), "61905");
    EXPECT_EQ(library.callIndex(-1, "Quillmark_GetVersion", {}), "61905");
    EXPECT_EQ(library.callIndex(-2, "Quillmark_Unlock", {{"url", "https://localhost"}}), "61905");
    EXPECT_EQ(library.callText("{\"FunctionName\":\"HCA_GetErrorCode\"}"), "61905");

    const StandinClassRegistration registration(kHcaStandinClsid, makeStandinFactory<HcaStandin>());
    ASSERT_HRESULT_SUCCEEDED(registration.hr());
    EXPECT_EQ(library.callIndex(2, "HCA_GetCardSN", {}), "2|HCA_GetCardSN");
    EXPECT_EQ(library.callIndex(-1, "Quillmark_GetVersion", {}), "1,1,22,216");
    EXPECT_EQ(library.callIndex(-3, "Quillmark_Release", {}), "");
}

}  // namespace
