// The HCA adapter DLL, loaded as the service loads it, against the HCA stand-in registered in this
// process. What the framework does the same for both adapters is covered by GpkiAdapterTest; this
// file covers the HCA table and what only the HCA adapter has (the ANSI-text VARIANT argument).
#include "common/Log.h"
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/adapters/HcaRows.h"
#include "tests/support/LogCapture.h"
#include "tests/support/hca/HcaStandin.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

const std::string kVersion = "1,1,22,216";

class HcaAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        clearStandinCallsForTesting();
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        setStandinNullInterfaceForTesting(false);
        registerStandin();
        library_ = std::make_unique<AdapterLibrary>(windowsPath(QM_HCA_ADAPTER_PATH));
        ASSERT_TRUE(library_->loaded());
        watch_ = std::make_unique<BstrFreeWatch>(library_->module());
        ASSERT_TRUE(watch_->ok());
    }

    void TearDown() override {
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        setStandinNullInterfaceForTesting(false);
        if (library_ && library_->loaded()) {
            library_->callIndex(-3, "Quillmark_Release", {});
        }
        watch_.reset();
        library_.reset();
        registration_.reset();
    }

    void registerStandin() {
        registration_ = std::make_unique<StandinClassRegistration>(
            kHcaStandinClsid, makeStandinFactory<HcaStandin>());
        ASSERT_HRESULT_SUCCEEDED(registration_->hr());
    }

    AdapterLibrary& lib() { return *library_; }

    // Every text (BSTR) argument of call was zeroed when the adapter freed it, last-read first.
    // The ANSI-text VARIANT of row's 'a' position is the component's title, not a secret: it is
    // cleared, not overwritten, so it is left out.
    void expectTextArgumentsWiped(const StandinCall& call, const HcaRow& row) {
        ::expectTextArgumentsWiped(watch_->freed(), call, &row);
    }

    ComApartment apartment_;
    std::unique_ptr<StandinClassRegistration> registration_;
    std::unique_ptr<AdapterLibrary> library_;
    std::unique_ptr<BstrFreeWatch> watch_;
};

const HcaRow& hcaRow(int index) {
    return hcaRows()[static_cast<size_t>(index)];
}

Pairs withKeyCheck(Pairs pairs, const char* check = "true") {
    pairs.emplace_back("AdapterJsonKeyCheck", check);
    return pairs;
}

TEST_F(HcaAdapter, EveryRowByIndexByNameAndAsText) {
    ASSERT_EQ(hcaRows().size(), 44u);
    for (const HcaRow& row : hcaRows()) {
        SCOPED_TRACE(row.name);
        const RowRequest request = rowRequest(row);
        const std::string expected = expectedAnswer(row, request.expected);

        // By index and name through the map export, with the key check, as the service sends it.
        clearStandinCallsForTesting();
        watch_->clear();
        EXPECT_EQ(lib().callIndex(row.index, row.name, withKeyCheck(request.pairs)), expected);
        expectCall(lastCall(), row, request.expected);
        expectTextArgumentsWiped(lastCall(), row);

        // By name alone (index 0, then the name search for every row but 0).
        clearStandinCallsForTesting();
        EXPECT_EQ(lib().call(row.name, request.pairs), expected);
        expectCall(lastCall(), row, request.expected);

        // As request text through callMethod, by index, the name in other letter case.
        Pairs pairs = request.pairs;
        pairs.emplace_back("FunctionName", lowerCase(row.name));
        pairs.emplace_back("QuillmarkFunctionIndex", std::to_string(row.index));
        clearStandinCallsForTesting();
        watch_->clear();
        EXPECT_EQ(lib().callText(jsonText(pairs)), expected);
        expectCall(lastCall(), row, request.expected);
        expectTextArgumentsWiped(lastCall(), row);

        // As request text by name alone.
        pairs = request.pairs;
        pairs.emplace_back("FunctionName", row.name);
        clearStandinCallsForTesting();
        EXPECT_EQ(lib().callText(jsonText(pairs)), expected);
        expectCall(lastCall(), row, request.expected);
        EXPECT_EQ(standinCallsForTesting().size(), 1u);
    }
}

struct TitleCase {
    const char* name;
    Pairs pairs;              // besides the row's first argument
    const char* answer;       // null: the stand-in's record
    const wchar_t* received;  // the title as standinArgText gives it
};

// strPemTitle reaches the component as a VT_BSTR VARIANT (the stand-in records any other type
// as "vt=<n>") in both rows that read it.
TEST_F(HcaAdapter, PemTitleArrivesAsABstrVariant) {
    const std::vector<TitleCase> cases = {
        {"Ascii", {{"strPemTitle", "CERTIFICATE"}}, nullptr, L"s11:CERTIFICATE"},
        {"AsciiUnderKeyCheck", withKeyCheck({{"strPemTitle", "PKCS7"}}), nullptr, L"s5:PKCS7"},
        // An empty title is a present key: an empty BSTR, never "61011".
        {"Empty", {{"strPemTitle", ""}}, nullptr, L"s0:"},
        {"EmptyUnderKeyCheck", withKeyCheck({{"strPemTitle", ""}}), nullptr, L"s0:"},
        {"MissingWithoutKeyCheck", {}, nullptr, L"null"},
        {"MissingKeyCheckFalse", withKeyCheck({}, "false"), nullptr, L"null"},
        {"MissingWithKeyCheck", withKeyCheck({}), "61016", nullptr},
        {"MissingWithKeyCheckUpperCase", withKeyCheck({}, "TRUE"), "61016", nullptr},
        {"KeyInOtherCase", withKeyCheck({{"STRPEMTITLE", "X509"}}), nullptr, L"s4:X509"},
        {"Base64Flag",
         {{"strPemTitle", "UlNBIEtFWQ%3D%3D"}, {"strPemTitle_QuillmarkBase64Flag", "true"}},
         nullptr,
         L"s7:RSA KEY"},
        {"StarFlag",
         {{"strPemTitle", "A*B"}, {"strPemTitle_QuillmarkFlag", "true"}},
         nullptr,
         L"s3:A\\B"},
    };
    for (const int index : {1, 12}) {
        const HcaRow& row = hcaRow(index);
        const char* firstKey = row.args[0].second;
        for (const TitleCase& c : cases) {
            SCOPED_TRACE(std::string(row.name) + " " + c.name);
            Pairs pairs = c.pairs;
            pairs.emplace_back(firstKey, "data");
            clearStandinCallsForTesting();
            watch_->clear();
            const std::string answer = lib().callIndex(row.index, row.name, pairs);
            const std::vector<StandinCall> calls = standinCallsForTesting();
            if (c.answer != nullptr) {
                EXPECT_EQ(answer, c.answer);
                EXPECT_TRUE(calls.empty()) << "the component must not be called";
                // The first argument was read and is freed zeroed all the same.
                const std::vector<FreedBstr> freed = watch_->freed();
                ASSERT_EQ(freed.size(), 1u);
                EXPECT_TRUE(freed[0].allZero);
                EXPECT_EQ(freed[0].byteLength, 8u);
                continue;
            }
            ASSERT_EQ(calls.size(), 1u);
            ASSERT_EQ(calls[0].args.size(), 2u);
            EXPECT_EQ(standinArgText(calls[0].args[0]), L"s4:data");
            EXPECT_EQ(standinArgText(calls[0].args[1]), c.received);
            EXPECT_EQ(answer, toUtf8(standinRecordText(calls[0])));
            expectTextArgumentsWiped(calls[0], row);
        }
    }
}

TEST_F(HcaAdapter, PemTitleRowFailureAnswers61011AndTheNextRequestIsServed) {
    for (const int index : {1, 12}) {
        const HcaRow& row = hcaRow(index);
        SCOPED_TRACE(row.name);
        clearStandinCallsForTesting();
        watch_->clear();
        EXPECT_EQ(lib().callIndex(row.index, row.name,
                                  {{row.args[0].second, "standin:fail"}, {"strPemTitle", "T"}}),
                  "61011");
        ASSERT_EQ(standinCallsForTesting().size(), 1u);
        expectTextArgumentsWiped(lastCall(), row);
        EXPECT_EQ(lib().callIndex(row.index, row.name, {{row.args[0].second, "d"}}),
                  std::to_string(row.index) + "|" + row.name + "|s1:d|null");
    }
}

struct KeyCheckCase {
    const char* name;
    int index;
    Pairs pairs;
    const char* answer;                  // null: served, the arguments checked through received
    std::vector<std::wstring> received;  // argument texts as standinArgText gives them
};

TEST_F(HcaAdapter, KeyCheckWithTheTablesKeys) {
    const std::vector<KeyCheckCase> cases = {
        {"IFlagsIsNotIFlag", 29, withKeyCheck({{"readername", "r"}, {"iFlags", "3"}}), "61016", {}},
        {"IFlagsIsNotIFlagWithoutCheck",
         29,
         {{"readername", "r"}, {"iFlags", "3"}},
         nullptr,
         {L"s1:r", L"i:0"}},
        {"IFlagFound",
         29,
         withKeyCheck({{"readername", "r"}, {"IFLAG", "3"}}),
         nullptr,
         {L"s1:r", L"i:3"}},
        {"OutFileInOtherCase",
         40,
         withKeyCheck(
             {{"bstrXML", "x"}, {"bstrSignId", "i"}, {"bstrOutFile", "o"}, {"iFlags", "1"}}),
         nullptr,
         {L"s1:x", L"s1:i", L"s1:o", L"i:1"}},
        {"CodePageInOtherCase", 31, withKeyCheck({{"CodePage", "950"}}), "0", {L"i:950"}},
        {"FlagIsNotIFlags", 16, withKeyCheck({{"iFlags", "1"}}), "61016", {}},
        {"CertIsNotStrCert",
         30,
         withKeyCheck({{"signature", "s"},
                       {"strCert", "c"},
                       {"data", "d"},
                       {"flag", "1"},
                       {"iHashFlag", "2"}}),
         "61016",
         {}},
        {"TwoMissing", 43, withKeyCheck({}), "61016", {}},
        {"TwoMissingWithoutCheck", 43, {}, nullptr, {L"i:0", L"i:0"}},
        {"PinPresentEmpty",
         34,
         withKeyCheck({{"readername", "r"}, {"pincode", ""}}),
         "34",
         {L"s1:r", L"s0:"}},
        {"NoKeysRowText", 2, withKeyCheck({}), nullptr, {}},
        {"NoKeysRowDecimal", 36, withKeyCheck({}), "36", {}},
        {"NoKeysRowList", 15, withKeyCheck({}), "15;HCA_GetHCBasicData;", {}},
    };
    for (const KeyCheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HcaRow& row = hcaRow(c.index);
        clearStandinCallsForTesting();
        const std::string answer = lib().callIndex(row.index, row.name, c.pairs);
        const std::vector<StandinCall> calls = standinCallsForTesting();
        if (c.answer != nullptr) {
            EXPECT_EQ(answer, c.answer);
        }
        if (c.answer != nullptr && std::string(c.answer) == "61016") {
            EXPECT_TRUE(calls.empty()) << "the component must not be called";
            continue;
        }
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].index, row.index);
        ASSERT_EQ(calls[0].args.size(), c.received.size());
        for (size_t i = 0; i < c.received.size(); ++i) {
            EXPECT_EQ(standinArgText(calls[0].args[i]), c.received[i]) << i;
        }
    }
}

struct DispatchCase {
    const char* name;
    const char* index;  // null: no "QuillmarkFunctionIndex"
    std::string function;
    int calledRow;  // -1: no row runs
    const char* answer;
};

TEST_F(HcaAdapter, DispatchByIndexAndName) {
    const std::vector<DispatchCase> cases = {
        {"IndexAndName", "31", "SetCodePage", 31, "0"},
        {"NameInOtherCase", "31", "setcodepage", 31, "0"},
        {"LastRow", "43", "DetectReplug", 43, "0"},
        {"IndexOutOfRange", "44", "DetectReplug", 43, "0"},
        {"IndexOfAnotherRow", "5", "HCA_GetCertSubject", 6, "6|HCA_GetCertSubject|null|i:0"},
        {"IndexOfAGpkiRow", "44", "SetDialogString", -1, "61005"},
        {"VersionWithAnyName", "-1", "HCA_GetCardSN", -1, kVersion.c_str()},
        {"UnlockWithAnyName", "-2", "HCA_GetCardSN", -1, "0"},
        {"VersionByName", nullptr, "QUILLMARK_GETVERSION", -1, kVersion.c_str()},
        {"ProperPrefix", nullptr, "HCA_GetCert", -1, "61005"},
        {"UnknownName", "0", "HCA_NoSuchFunction", -1, "61005"},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        clearStandinCallsForTesting();
        Pairs pairs;
        if (c.index != nullptr) {
            pairs.emplace_back("QuillmarkFunctionIndex", c.index);
        }
        EXPECT_EQ(lib().call(c.function, pairs), c.answer);
        const std::vector<StandinCall> calls = standinCallsForTesting();
        if (c.calledRow < 0) {
            EXPECT_TRUE(calls.empty());
        } else {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].index, c.calledRow);
        }
    }
}

struct ResultCase {
    const char* name;
    int index;
    Pairs pairs;
    StandinBehaviour forced;
    std::string answer;
};

TEST_F(HcaAdapter, ResultKinds) {
    using B = StandinBehaviour;
    const std::vector<ResultCase> cases = {
        {"ListOfTwoBstrVariants", 4, {}, B::OffsetBounds, "p;q;"},
        {"ListOfBstrs", 4, {}, B::BstrArray, ""},
        {"ListMixed", 14, {}, B::MixedElements, "x;5;;"},
        {"ListLeftEmpty", 15, {}, B::LeaveOut, ""},
        {"ListByArgument", 21, {{"iFlags", shape(B::BoolTrue)}}, B::Normal, "1"},
        {"TextNullBstr", 2, {}, B::NullText, ""},
        {"TextEmptyBstr", 42, {}, B::EmptyText, ""},
        {"LongDecimalOfNoKeys", 0, {}, B::Normal, "0"},
        {"LongDecimalLeftUnset", 0, {}, B::LeaveOut, "0"},
        {"IntDecimalNegative", 43, {{"iFlags", "-5"}}, B::Normal, "-5"},
        {"IntDecimalHeldAtTop", 16, {{"flag", "99999999999"}}, B::Normal, "2147483647"},
        {"IntDecimalTrue", 16, {{"flag", "TRUE"}}, B::Normal, "1"},
        {"NoneAfterSuccess", 31, {{"codepage", "65001"}}, B::Normal, "0"},
        {"NoneAfterFailure", 31, {{"codepage", "65001"}}, B::Fail, "61011"},
        {"NoKeysRowFailure", 24, {}, B::Fail, "61011"},
        {"ListRowFailure", 17, {{"readername", "r"}}, B::Fail, "61011"},
    };
    for (const ResultCase& c : cases) {
        SCOPED_TRACE(c.name);
        setStandinBehaviourForTesting(c.forced);
        const HcaRow& row = hcaRow(c.index);
        EXPECT_EQ(lib().callIndex(row.index, row.name, c.pairs), c.answer);
        setStandinBehaviourForTesting(B::Normal);
    }
    EXPECT_EQ(lib().callIndex(24, "HCA_GetRetryCounter", {}), "24") << "served after failures";
}

TEST_F(HcaAdapter, NullInterfaceAnswers61011) {
    setStandinNullInterfaceForTesting(true);
    // Start-up first: setting up the log frees BSTRs of its own (paths, not arguments).
    EXPECT_EQ(lib().callIndex(-1, "Quillmark_GetVersion", {}), kVersion);
    watch_->clear();
    EXPECT_EQ(lib().callIndex(1, "HCA_Encode", {{"strData", "secret"}, {"strPemTitle", "T"}}),
              "61011");
    EXPECT_EQ(lib().callIndex(4, "HCA_GetCardInfo", {}), "61011");
    EXPECT_TRUE(standinCallsForTesting().empty());
    const std::vector<FreedBstr> freed = watch_->freed();
    ASSERT_EQ(freed.size(), 1u);
    EXPECT_TRUE(freed[0].allZero);
    EXPECT_EQ(lib().callIndex(-1, "Quillmark_GetVersion", {}), kVersion);
}

TEST_F(HcaAdapter, SystemFunctionsAndReleaseThenRestart) {
    EXPECT_EQ(lib().callIndex(-1, "Quillmark_GetVersion", {}), kVersion);
    EXPECT_EQ(lib().callIndex(-2, "Quillmark_Unlock", {{"url", "https://page.example"}}), "0");
    EXPECT_TRUE(standinCallsForTesting().empty()) << "no row of the table runs";
    const long withComponent = standinModuleReferences().load();

    EXPECT_EQ(lib().callIndex(-3, "Quillmark_Release", {}), "");
    EXPECT_EQ(standinModuleReferences().load(), withComponent - 1);

    EXPECT_EQ(lib().callIndex(36, "HCA_SignFinal", {}), "36");
    EXPECT_EQ(standinModuleReferences().load(), withComponent) << "start-up creates it anew";
    EXPECT_EQ(lib().callText("{\"FunctionName\":\"Quillmark_Release\"}"), "");
    EXPECT_EQ(lib().callText("{\"FunctionName\":\"quillmark_getversion\"}"), kVersion);
}

// The adapter logs into the service's log file under its own name once the log INI file is
// beside the program that loaded it (this test program has a folder of its own).
TEST_F(HcaAdapter, StartUpLogsItsNameAndTheFunctionCounts) {
    namespace fs = std::filesystem;
    const fs::path folder = makeTestFolder("qm-hca-log");
    ASSERT_FALSE(folder.empty());
    wchar_t program[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    const fs::path ini = fs::path(program).parent_path() / kLogIniFileName;
    ASSERT_FALSE(fs::exists(ini)) << "a log INI file is left beside the test program";
    // Gone however the test ends, or every later run of this program would log.
    struct RemoveAfter {
        fs::path ini;
        fs::path folder;
        ~RemoveAfter() {
            std::error_code error;
            fs::remove(ini, error);
            fs::remove_all(folder, error);
        }
    } removeAfter{ini, folder};
    {
        std::ofstream out(ini);
        out << "[" << kLogIniSection << "]\n"
            << kLogFileKey << "=" << (folder / "hca.log").string() << "\n"
            << kLogLevelKey << "=5\n";
    }
    // A fresh copy of the library: its logging is set up by its first start-up.
    watch_.reset();
    library_.reset();
    library_ = std::make_unique<AdapterLibrary>(windowsPath(QM_HCA_ADAPTER_PATH));
    ASSERT_TRUE(library_->loaded());
    EXPECT_EQ(lib().callIndex(3, "HCA_GetCardType", {{"readername", "r"}}), "3");
    EXPECT_EQ(lib().callIndex(31, "SetCodePage", {{"AdapterJsonKeyCheck", "true"}}), "61016");
    std::error_code error;
    fs::remove(ini, error);

    std::vector<std::string> messages;
    for (const std::string& line : readLogLines(folder)) {
        messages.push_back(stripLogPrefix(line));
    }
    using ::testing::Contains;
    const std::string tag = "[OqtTvqHCAXrbAdapter]";
    EXPECT_THAT(messages, Contains(tag + "[Normal] Init adapter: OqtTvqHCAXrbAdapter"));
    EXPECT_THAT(messages, Contains(tag + "[Normal] \tComponent api: 44"));
    EXPECT_THAT(messages, Contains(tag + "[Normal] \tSystem api: 3"));
    EXPECT_THAT(messages,
                Contains(tag + "[Normal] Into adapter function: ComponentAPI_HCA_GetCardType"));
    EXPECT_THAT(messages, Contains(tag + "[Normal] Ready into component func: HCA_GetCardType"));
    EXPECT_THAT(messages, Contains(tag + "[Normal] Finish component func: HCA_GetCardType"));
    EXPECT_THAT(messages, Contains(tag + "[Warning] Json map key not found: codepage"));
}

}  // namespace
