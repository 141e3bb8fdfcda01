// The GPKI adapter against the stand-in as other processes find it: registered in the Wine prefix
// by scripts/register-standins.sh (the ctest fixture), created through the registry.
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/support/gpki/GpkiStandin.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

std::wstring registryValue(const wchar_t* name) {
    wchar_t clsid[64] = {};
    StringFromGUID2(kGpkiStandinClsid, clsid, 64);
    const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return value;
}

TEST(GpkiRegistry, StandinIsRegisteredUnderTheAdaptersClassBothThreaded) {
    EXPECT_EQ(registryValue(L"ThreadingModel"), L"Both");
    const std::wstring path = registryValue(nullptr);
    ASSERT_GE(path.size(), 15u);
    EXPECT_EQ(path.substr(path.size() - 15), L"GpkiStandin.dll");
}

TEST(GpkiRegistry, AdapterCreatesTheRegisteredStandin) {
    ComApartment apartment;
    AdapterLibrary library(windowsPath(QM_GPKI_ADAPTER_PATH));
    ASSERT_TRUE(library.loaded());
    EXPECT_EQ(library.callIndex(37, "GPKI_GetSerialNumber", {}), "37|GPKI_GetSerialNumber");
    EXPECT_EQ(
        library.callText("{\"FunctionName\":\"GPKI_VerifyPIN\",\"bPIN\":\"1\",\"iFlags\":\"-9\"}"),
        "-9");
    EXPECT_EQ(library.callIndex(-3, "Quillmark_Release", {}), "");
}

TEST(GpkiRegistry, StartUpOnAMultithreadedApartment) {
    std::string answer;
    std::thread worker([&] {
        ComApartment apartment(COINIT_MULTITHREADED);
        AdapterLibrary library(windowsPath(QM_GPKI_ADAPTER_PATH));
        answer = library.callIndex(56, "GPKI_GetCachedCert", {});
        library.callIndex(-3, "Quillmark_Release", {});
    });
    worker.join();
    EXPECT_EQ(answer, "56|GPKI_GetCachedCert");
}

}  // namespace
