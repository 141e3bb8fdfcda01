// The HCA adapter's ANSI-text argument ("strPemTitle") under a chosen system ANSI code page. Under
// Wine a process's ANSI code page follows the Unix locale it was started with (LC_ALL, with a
// locale built into LOCPATH; the registry's Nls\CodePage values are not read), so CTest runs this
// program once as it is and once as "cp950." with a Traditional Chinese locale, which sets
// QM_TEST_ANSI_CODE_PAGE to the code page that run must have.
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/support/hca/HcaStandin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct AnsiCase {
    const char* name;
    UINT codePage;
    std::string title;      // the request's bytes
    std::wstring expected;  // what the component receives
};

const std::vector<AnsiCase>& ansiCases() {
    static const std::vector<AnsiCase> cases = {
        {"Ascii950", 950, "CERTIFICATE", L"CERTIFICATE"},
        {"Big5", 950, "\xa4\xa4\xa4\xe5", L"\u4e2d\u6587"},
        {"AsciiAndBig5", 950, "PEM \xa4\xa4", L"PEM \u4e2d"},
        // The UTF-8 bytes of the same two characters are read as Big5 pairs, not as UTF-8; the
        // odd last pair has no character and becomes the default one.
        {"Utf8ReadAsBig5", 950, "\xe4\xb8\xad\xe6\x96\x87", L"\u929d\u525c?"},
        {"Ascii1252", 1252, "CERTIFICATE", L"CERTIFICATE"},
        {"Utf8ReadAs1252", 1252, "\xc3\xa9", L"\u00c3\u00a9"},
        {"Utf8ChineseReadAs1252", 1252, "\xe4\xb8\xad\xe6\x96\x87",
         L"\u00e4\u00b8\u00ad\u00e6\u2013\u2021"},
    };
    return cases;
}

class HcaAnsiCodePage : public ::testing::Test {
protected:
    void SetUp() override {
        clearStandinCallsForTesting();
        registration_ = std::make_unique<StandinClassRegistration>(
            kHcaStandinClsid, makeStandinFactory<HcaStandin>());
        ASSERT_HRESULT_SUCCEEDED(registration_->hr());
        library_ = std::make_unique<AdapterLibrary>(windowsPath(QM_HCA_ADAPTER_PATH));
        ASSERT_TRUE(library_->loaded());
    }

    void TearDown() override {
        if (library_ && library_->loaded()) {
            library_->callIndex(-3, "Quillmark_Release", {});
        }
        library_.reset();
        registration_.reset();
    }

    ComApartment apartment_;
    std::unique_ptr<StandinClassRegistration> registration_;
    std::unique_ptr<AdapterLibrary> library_;
};

TEST_F(HcaAnsiCodePage, PemTitleIsReadInTheSystemAnsiCodePage) {
    const UINT codePage = GetACP();
    if (const char* chosen = std::getenv("QM_TEST_ANSI_CODE_PAGE")) {
        ASSERT_EQ(codePage, static_cast<UINT>(std::atoi(chosen)))
            << "this process did not get the chosen locale (LC_ALL, LOCPATH)";
    }
    int ran = 0;
    for (const AnsiCase& c : ansiCases()) {
        if (c.codePage != codePage) {
            continue;
        }
        ++ran;
        for (const auto& [index, name, first] :
             {std::tuple{1, "HCA_Encode", "strData"}, std::tuple{12, "HCA_Decode", "strEncoded"}}) {
            SCOPED_TRACE(std::string(name) + " " + c.name);
            clearStandinCallsForTesting();
            // The same bytes as an ordinary text argument are read as UTF-8.
            const std::string answer = library_->callIndex(
                index, name, {{first, "\xe4\xb8\xad"}, {"strPemTitle", c.title}});
            const std::vector<StandinCall> calls = standinCallsForTesting();
            ASSERT_EQ(calls.size(), 1u);
            ASSERT_EQ(calls[0].args.size(), 2u);
            EXPECT_EQ(calls[0].args[0].text, L"\u4e2d");
            ASSERT_EQ(calls[0].args[1].kind, StandinArg::Kind::Text);
            EXPECT_EQ(calls[0].args[1].text, c.expected);
            EXPECT_EQ(answer, toUtf8(standinRecordText(calls[0])));
        }
    }
    if (ran == 0) {
        GTEST_SKIP() << "no cases for the ANSI code page " << codePage;
    }
}

}  // namespace
