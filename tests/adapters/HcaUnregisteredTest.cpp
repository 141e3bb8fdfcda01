// The HCA adapter with no component registered anywhere: "61905" for every function, the system
// functions included, and start-up retried on the next call.
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/support/hca/HcaStandin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Takes a registration of the stand-in out of the prefix for the test and puts it back after.
class WithoutRegistration {
public:
    WithoutRegistration() {
        wchar_t clsid[64] = {};
        StringFromGUID2(kHcaStandinClsid, clsid, 64);
        const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                         &size) == ERROR_SUCCESS) {
            saved_ = value;
        }
        unregisterStandinServer(kHcaStandinClsid);
    }
    WithoutRegistration(const WithoutRegistration&) = delete;
    WithoutRegistration& operator=(const WithoutRegistration&) = delete;
    ~WithoutRegistration() {
        if (!saved_.empty()) {
            registerStandinServerPath(saved_.c_str(), kHcaStandinClsid, L"HCA component stand-in");
        }
    }

private:
    std::wstring saved_;
};

TEST(HcaUnregistered, EveryFunctionAnswers61905UntilTheComponentAppears) {
    ComApartment apartment;
    WithoutRegistration without;
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
