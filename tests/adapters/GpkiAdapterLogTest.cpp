// The GPKI adapter's log lines, read back from the log file: the adapter finds the log INI file
// beside the program that loaded it (this test's folder, its own), as it finds the service's.
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/support/gpki/GpkiStandin.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

namespace {

std::wstring programFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

class GpkiAdapterLog : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        logFolder_ =
            std::wstring(temp) + L"qm-adapter-log-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(logFolder_.c_str(), nullptr);
        ini_ = programFolder() + L"\\OqtQuillmark.ini";
        std::ofstream ini(ini_.c_str());
        ini << "[OqtQuillmark]\nLog File=" << toUtf8(logFolder_) << "\\adapter.log\nLog Level=5\n";
        ini.close();

        registration_ = std::make_unique<StandinClassRegistration>(
            kGpkiStandinClsid, makeStandinFactory<GpkiStandin>());
        ASSERT_HRESULT_SUCCEEDED(registration_->hr());
        library_ = std::make_unique<AdapterLibrary>(windowsPath(QM_GPKI_ADAPTER_PATH));
        ASSERT_TRUE(library_->loaded());
    }

    void TearDown() override {
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        if (library_ && library_->loaded()) {
            library_->callIndex(-3, "Quillmark_Release", {});
        }
        library_.reset();
        registration_.reset();
        DeleteFileW(ini_.c_str());
        WIN32_FIND_DATAW found;
        const std::wstring pattern = logFolder_ + L"\\*";
        HANDLE find = FindFirstFileW(pattern.c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                DeleteFileW((logFolder_ + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        RemoveDirectoryW(logFolder_.c_str());
    }

    // Every line written so far (the dated file is the only one in the folder).
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        WIN32_FIND_DATAW found;
        const std::wstring pattern = logFolder_ + L"\\adapter*.log";
        HANDLE find = FindFirstFileW(pattern.c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) {
            return out;
        }
        FindClose(find);
        std::ifstream file((logFolder_ + L"\\" + found.cFileName).c_str());
        for (std::string line; std::getline(file, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            out.push_back(line);
        }
        return out;
    }

    // Lines written from `from` on that contain text.
    size_t count(const std::string& text, size_t from = 0) const {
        const std::vector<std::string> all = lines();
        size_t n = 0;
        for (size_t i = from; i < all.size(); ++i) {
            n += all[i].find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    // True when the texts appear in this order, each on a later line than the one before.
    bool inOrder(const std::vector<std::string>& texts, size_t from = 0) const {
        const std::vector<std::string> all = lines();
        size_t next = 0;
        for (size_t i = from; i < all.size() && next < texts.size(); ++i) {
            if (all[i].find(texts[next]) != std::string::npos) {
                ++next;
            }
        }
        return next == texts.size();
    }

    AdapterLibrary& lib() { return *library_; }

    ComApartment apartment_;
    std::wstring logFolder_;
    std::wstring ini_;
    std::unique_ptr<StandinClassRegistration> registration_;
    std::unique_ptr<AdapterLibrary> library_;
};

const std::string kTag = "[OqtTvqGPKICryptXrbAdapter]";

TEST_F(GpkiAdapterLog, StartUpAndOneCall) {
    ASSERT_EQ(lib().callIndex(46, "GPKI_VerifyPIN", {{"bPIN", "1"}, {"iFlags", "2"}}), "2");
    EXPECT_EQ(count("Into json map adapter: "), 0u) << "logging starts with start-up";
    EXPECT_TRUE(
        inOrder({kTag + "[Normal] Log state: Enable",
                 kTag + "[Normal] Init adapter: OqtTvqGPKICryptXrbAdapter",
                 kTag + "[Normal] Adatper compile date: ", kTag + "[Normal] Adatper compile time: ",
                 kTag + "[Normal] Enable adapter func: get_lastError",
                 kTag + "[Normal] Enable adapter func: SetDialogString",
                 kTag + "[Normal] Enable adapter func: Quillmark_Unlock",
                 kTag + "[Normal] Success enable:", kTag + "[Normal] \tComponent api: 60",
                 kTag + "[Normal] \tSystem api: 3", kTag + "[Normal] FunctionIndex: 46",
                 kTag + "[Normal] Into adapter function: ComponentAPI_GPKI_VerifyPIN",
                 kTag + "[Normal] Ready into component func: GPKI_VerifyPIN",
                 kTag + "[Normal] Finish component func: GPKI_VerifyPIN"}));
    EXPECT_EQ(count("Enable adapter func: "), 63u);

    const size_t mark = lines().size();
    lib().callIndex(45, "GPKI_GetSlotCount", {});
    EXPECT_TRUE(
        inOrder({kTag + "[Normal] Into json map adapter: OqtTvqGPKICryptXrbAdapter",
                 kTag + "[Normal] Adatper compile date: ", kTag + "[Normal] Adatper compile time: ",
                 kTag + "[Normal] FunctionIndex: 45"},
                mark));
    EXPECT_EQ(count("Init adapter: ", mark), 0u);
}

TEST_F(GpkiAdapterLog, MissingKeysInKeyCheckModeAreLoggedWhetherOrNotTheRequestAsks) {
    lib().callIndex(45, "GPKI_GetSlotCount", {});
    for (const char* check : {"", "true"}) {
        SCOPED_TRACE(check);
        const size_t mark = lines().size();
        Pairs pairs = {{"strCipher", "c"}, {"strCipher_QuillmarkFlag", "false"}};
        if (*check != '\0') {
            pairs.emplace_back("AdapterJsonKeyCheck", check);
        }
        const std::string answer = lib().callIndex(38, "GPKI_RSADecrypt", pairs);
        EXPECT_EQ(count("[Warning] Json map key not found: strPinCode", mark), 1u);
        EXPECT_EQ(count("[Warning] Json map key not found: iFlags", mark), 1u);
        EXPECT_EQ(count("Json map key not found: ", mark), 2u) << "companions never count";
        EXPECT_EQ(count("Ready into component func: ", mark), *check != '\0' ? 0u : 1u);
        EXPECT_EQ(answer == "61016", *check != '\0');
    }
    const size_t mark = lines().size();
    lib().callIndex(48, "GetVersion", {{"AdapterJsonKeyCheck", "true"}});
    EXPECT_EQ(count("Json map key not found: ", mark), 0u) << "read outside the key check";
    EXPECT_EQ(count("Ready into component func: GetVersion", mark), 1u);
}

TEST_F(GpkiAdapterLog, ComponentFailureLinesCarryTheWrapperAndItsSafeLine) {
    ASSERT_EQ(lib().callIndex(49, "GPKI_SignData", {{"sData", "standin:fail"}}), "61011");
    EXPECT_EQ(count(kTag + "[Warning] Catch component exception"), 1u);
    const std::vector<std::string> all = lines();
    const std::regex safe(R"(\[Error\] \[Safe Line\] Safe in ComponentAPI_GPKI_SignData at \d+ )"
                          R"(lines in AdapterProject$)");
    size_t matched = 0;
    for (const std::string& line : all) {
        matched += std::regex_search(line, safe) ? 1 : 0;
    }
    EXPECT_EQ(matched, 1u);
    EXPECT_EQ(count("Finish component func: "), 0u);
}

TEST_F(GpkiAdapterLog, DispatchWarnings) {
    lib().callIndex(3, "CAPICertGetIssuer", {});
    size_t mark = lines().size();
    lib().callIndex(2, "CAPICertGetIssuer", {});
    EXPECT_TRUE(inOrder({"[Warning] QuillmarkFunctionIndex is not match with adapter",
                         "[Warning] FunctionName from web: CAPICertGetIssuer",
                         "[Warning] FunctionName in adapter: CAPICertGetSerialNumber",
                         "[Warning] FunctionIndex mode: Fail",
                         "[Normal] Function search name mode: CAPICertGetIssuer",
                         "[Normal] Into adapter function: ComponentAPI_CAPICertGetIssuer"},
                        mark));
    mark = lines().size();
    EXPECT_EQ(lib().callIndex(60, "NoSuchFunction", {}), "61005");
    EXPECT_TRUE(
        inOrder({"[Warning] FunctionIndex: Out of range", "[Warning] FunctionIndex mode: Fail",
                 "[Warning] Function name does not match: NoSuchFunction"},
                mark));
    mark = lines().size();
    EXPECT_EQ(lib().callIndex(-3, "Quillmark_Release", {}), "");
    EXPECT_EQ(count("[Normal] QuillmarkRelease", mark), 1u);
}

TEST_F(GpkiAdapterLog, RequestTextWithAPinIsLoggedMasked) {
    lib().callIndex(45, "GPKI_GetSlotCount", {});
    EXPECT_EQ(lib().callText(jsonText(
                  {{"FunctionName", "GPKI_VerifyPIN"}, {"bPIN", "S3cr3tPin"}, {"iFlags", "1"}})),
              "1");
    EXPECT_EQ(count("S3cr3tPin"), 0u);
    EXPECT_GE(count("bPIN: *********"), 1u);
    EXPECT_EQ(lib().callText("{\"x\":\"1\"}"), "61005");
    EXPECT_EQ(count("[Warning] Function name is null"), 1u);
    EXPECT_STREQ(lib().rawCallMethod(nullptr), "");
    EXPECT_EQ(count("[Warning] Parameter JSONObj is null at AdapterProject "), 1u);
}

}  // namespace
