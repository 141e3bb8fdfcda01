// The GPKI adapter DLL, loaded as the service loads it, against the stand-in component registered
// in this process.
#include "common/AES.h"
#include "common/Json.h"
#include "common/win/Com.h"
#include "tests/adapters/AdapterHarness.h"
#include "tests/adapters/GpkiRows.h"
#include "tests/support/gpki/GpkiStandin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

namespace {

const std::string kVersion = "1,6,3,10070";

class GpkiAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        clearStandinCallsForTesting();
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        setStandinNullInterfaceForTesting(false);
        setStandinRefuseInterfaceForTesting(false);
        registration_ = std::make_unique<StandinClassRegistration>(
            kGpkiStandinClsid, makeStandinFactory<GpkiStandin>());
        ASSERT_HRESULT_SUCCEEDED(registration_->hr());
        library_ = std::make_unique<AdapterLibrary>(windowsPath(QM_GPKI_ADAPTER_PATH));
        ASSERT_TRUE(library_->loaded());
        watch_ = std::make_unique<BstrFreeWatch>(library_->module());
        ASSERT_TRUE(watch_->ok());
    }

    void TearDown() override {
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        setStandinNullInterfaceForTesting(false);
        setStandinRefuseInterfaceForTesting(false);
        if (library_ && library_->loaded()) {
            library_->callIndex(-3, "Quillmark_Release", {});
        }
        watch_.reset();
        library_.reset();
        registration_.reset();
    }

    AdapterLibrary& lib() { return *library_; }

    // Every text argument the stand-in received in call was zeroed when the adapter freed it,
    // and the adapter freed them last-read first.
    void expectArgumentsWiped(const StandinCall& call) {
        expectTextArgumentsWiped(watch_->freed(), call);
    }

    ComApartment apartment_;
    std::unique_ptr<StandinClassRegistration> registration_;
    std::unique_ptr<AdapterLibrary> library_;
    std::unique_ptr<BstrFreeWatch> watch_;
};

TEST_F(GpkiAdapter, EveryRowByIndexByNameAndAsText) {
    ASSERT_EQ(gpkiRows().size(), 60u);
    for (const GpkiRow& row : gpkiRows()) {
        SCOPED_TRACE(row.name);
        const RowRequest request = rowRequest(row);
        const std::string expected = expectedAnswer(row, request.expected);

        // By index and name, as the service sends it.
        clearStandinCallsForTesting();
        watch_->clear();
        EXPECT_EQ(lib().callIndex(row.index, row.name, request.pairs), expected);
        expectCall(lastCall(), row, request.expected);
        expectArgumentsWiped(lastCall());

        // By name alone (through index 0 and its mismatch for every row but 0).
        clearStandinCallsForTesting();
        EXPECT_EQ(lib().call(row.name, request.pairs), expected);
        expectCall(lastCall(), row, request.expected);

        // As request text through callMethod, the name in other letter case.
        Pairs pairs = request.pairs;
        pairs.emplace_back("FunctionName", lowerCase(row.name));
        pairs.emplace_back("QuillmarkFunctionIndex", std::to_string(row.index));
        clearStandinCallsForTesting();
        EXPECT_EQ(lib().callText(jsonText(pairs)), expected);
        expectCall(lastCall(), row, request.expected);
        EXPECT_EQ(standinCallsForTesting().size(), 1u);
    }
}

// The one row whose key is read outside the key check.
constexpr int kRowReadOutsideTheKeyCheck = 48;

TEST_F(GpkiAdapter, EveryRowWithKeysAnswers61016WhenTheyAreMissingAndTheCheckIsAsked) {
    for (const GpkiRow& row : gpkiRows()) {
        SCOPED_TRACE(row.name);
        clearStandinCallsForTesting();
        const std::string answer =
            lib().callIndex(row.index, row.name, {{"AdapterJsonKeyCheck", "true"}});
        const bool checked = !row.args.empty() && row.index != kRowReadOutsideTheKeyCheck;
        EXPECT_EQ(answer == "61016", checked) << answer;
        EXPECT_EQ(standinCallsForTesting().size(), checked ? 0u : 1u);
    }
}

std::string hexOf(const uint8_t* bytes, int32_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (int32_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

const char kShareSecret[] = "0123456789abcdefghijklmnopqrstuv";

// The request's hexadecimal ciphertext of text under kShareSecret and the request IV.
std::string encryptedValue(const char* text) {
    uint8_t iv[kRequestValueIvSize];
    getRequestValueIv(iv);
    aesSetValueKey(reinterpret_cast<const uint8_t*>(kShareSecret), iv);
    int32_t length = 0;
    uint8_t* cipher = aesEncryptWithPrefix(text, &length);
    std::string hex = cipher == nullptr ? std::string() : hexOf(cipher, length);
    std::free(cipher);
    aesSetValueKey(nullptr, nullptr);
    return hex;
}

struct DecodingCase {
    const char* name;
    Pairs pairs;  // for GPKI_VerifyPIN (bPIN, iFlags)
    std::wstring pin;
    int32_t flags;
};

TEST_F(GpkiAdapter, ArgumentsArriveDecoded) {
    const std::vector<DecodingCase> cases = {
        {"Plain", {{"bPIN", "1234"}, {"iFlags", "3"}}, L"1234", 3},
        {"StarFlag",
         {{"bPIN", "a*b"}, {"bPIN_QuillmarkFlag", "true"}, {"iFlags", "3"}},
         L"a\\b",
         3},
        {"SlashFlag",
         {{"bPIN", "a==QuillmarkSlash==b"}, {"bPIN_QuillmarkSlashFlag", "TRUE"}, {"iFlags", "3"}},
         L"a\\b",
         3},
        {"Base64Flag",
         {{"bPIN", "YWI%3D"}, {"bPIN_QuillmarkBase64Flag", "true"}, {"iFlags", "3"}},
         L"ab",
         3},
        {"FlagOff",
         {{"bPIN", "YWI%3D"}, {"bPIN_QuillmarkBase64Flag", "trueX"}, {"iFlags", "3"}},
         L"YWI%3D",
         3},
        {"IntegerInBase64",
         {{"bPIN", "x"}, {"iFlags", "NDI%3D"}, {"iFlags_QuillmarkBase64Flag", "true"}},
         L"x",
         42},
        {"Encrypted",
         {{"bPIN", encryptedValue("9876")},
          {"bPIN_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kShareSecret},
          {"iFlags", "3"}},
         L"9876",
         3},
        {"EncryptedWinsOverStar",
         {{"bPIN", encryptedValue("9*6")},
          {"bPIN_QuillmarkEncryptFlag", "true"},
          {"bPIN_QuillmarkFlag", "true"},
          {"Quillmark_share_secret", kShareSecret},
          {"iFlags", "3"}},
         L"9*6",
         3},
        {"NonAscii", {{"bPIN", "\xe6\x97\xa5\xe6\x9c\xac"}, {"iFlags", "3"}}, L"\u65e5\u672c", 3},
        {"KeysIgnoreCase", {{"BPIN", "k"}, {"IFLAGS", "9"}}, L"k", 9},
    };
    // The same, whether the service deciphered the encrypted values ahead or the adapter does.
    for (const bool ahead : {true, false}) {
        for (const DecodingCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (ahead ? ", deciphered ahead" : ""));
            clearStandinCallsForTesting();
            watch_->clear();
            EXPECT_EQ(lib().callIndex(46, "GPKI_VerifyPIN", c.pairs, ahead),
                      std::to_string(c.flags));
            const StandinCall call = lastCall();
            ASSERT_EQ(call.args.size(), 2u);
            EXPECT_EQ(call.args[0].text, c.pin);
            EXPECT_EQ(call.args[1].value, c.flags);
            expectArgumentsWiped(call);
        }
    }
}

struct KeyCheckCase {
    const char* name;
    int index;
    const char* function;
    Pairs pairs;
    const char* answer;  // null: the stand-in's record of the call, checked through expected
    std::vector<std::wstring> expected;  // argument texts as standinArgText gives them
    size_t wipedTexts;                   // text arguments freed (all zeroed)
};

TEST_F(GpkiAdapter, KeyCheck) {
    const Pairs cipherOnly = {{"strCipher", "c"}};
    auto with = [](Pairs p, const char* check) {
        p.emplace_back("AdapterJsonKeyCheck", check);
        return p;
    };
    const std::vector<KeyCheckCase> cases = {
        {"OneMissing",
         38,
         "GPKI_RSADecrypt",
         with({{"strCipher", "c"}, {"iFlags", "1"}}, "true"),
         "61016",
         {},
         1},
        {"TwoMissing", 38, "GPKI_RSADecrypt", with(cipherOnly, "true"), "61016", {}, 1},
        {"UpperCaseTrue", 38, "GPKI_RSADecrypt", with(cipherOnly, "TRUE"), "61016", {}, 1},
        {"CheckFalse",
         38,
         "GPKI_RSADecrypt",
         with(cipherOnly, "false"),
         nullptr,
         {L"s1:c", L"null", L"i:0"},
         1},
        {"CheckAbsent", 38, "GPKI_RSADecrypt", cipherOnly, nullptr, {L"s1:c", L"null", L"i:0"}, 1},
        {"CheckTrueX",
         38,
         "GPKI_RSADecrypt",
         with(cipherOnly, "trueX"),
         nullptr,
         {L"s1:c", L"null", L"i:0"},
         1},
        {"AllPresent",
         38,
         "GPKI_RSADecrypt",
         with({{"STRCIPHER", "c"}, {"strpincode", ""}, {"iFlags", "2"}}, "true"),
         nullptr,
         {L"s1:c", L"s0:", L"i:2"},
         1},
        {"ReadOutsideTheCheck", 48, "GetVersion", with({}, "true"), nullptr, {L"i:0"}, 0},
        {"IntegerMissing", 55, "GPKI_DetectCard", with({}, "true"), "61016", {}, 0},
        {"CertIsNotStrCert",
         10,
         "GPKI_GetEntityOID",
         with({{"strCert", "c"}, {"iFlags", "1"}}, "true"),
         "61016",
         {},
         0},
        {"FlagsIsNotIFlags",
         30,
         "GPKI_ReadFile",
         with({{"strFilepath", "p"}, {"iFlags", "1"}}, "true"),
         "61016",
         {},
         1},
        {"NoKeysRow", 45, "GPKI_GetSlotCount", with({}, "true"), "45", {}, 0},
        {"UndecryptableWithCheck",
         46,
         "GPKI_VerifyPIN",
         with({{"bPIN", "ABCD"}, {"bPIN_QuillmarkEncryptFlag", "true"}, {"iFlags", "1"}}, "true"),
         "61016",
         {},
         0},
        {"UndecryptableWithoutCheck",
         46,
         "GPKI_VerifyPIN",
         {{"bPIN", "ABCD"}, {"bPIN_QuillmarkEncryptFlag", "true"}, {"iFlags", "1"}},
         nullptr,
         {L"null", L"i:1"},
         0},
    };
    // Started first, so that only the calls' own strings are counted.
    ASSERT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45");
    // An undecryptable value is missing alike, whether deciphered ahead or in the call.
    for (const bool ahead : {true, false}) {
        for (const KeyCheckCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (ahead ? ", deciphered ahead" : ""));
            clearStandinCallsForTesting();
            watch_->clear();
            const std::string answer = lib().callIndex(c.index, c.function, c.pairs, ahead);
            const std::vector<StandinCall> calls = standinCallsForTesting();
            if (c.answer != nullptr) {
                EXPECT_EQ(answer, c.answer);
            }
            if (c.answer != nullptr && std::string(c.answer) == "61016") {
                EXPECT_TRUE(calls.empty()) << "the component must not be called";
            } else {
                ASSERT_EQ(calls.size(), 1u);
                ASSERT_EQ(calls[0].args.size(), c.expected.size());
                for (size_t i = 0; i < c.expected.size(); ++i) {
                    EXPECT_EQ(standinArgText(calls[0].args[i]), c.expected[i]) << i;
                }
            }
            const std::vector<FreedBstr> freed = watch_->freed();
            size_t zeroed = 0;
            for (const FreedBstr& f : freed) {
                zeroed += f.allZero && f.byteLength > 0 ? 1 : 0;
            }
            EXPECT_EQ(zeroed, c.wipedTexts);
            if (c.answer != nullptr && std::string(c.answer) == "61016") {
                EXPECT_EQ(freed.size(), c.wipedTexts) << "only the arguments are freed";
            }
        }
    }
}

struct ResultCase {
    const char* name;
    int index;
    const char* function;
    Pairs pairs;
    std::string answer;
};

TEST_F(GpkiAdapter, ResultKinds) {
    const std::vector<ResultCase> cases = {
        {"TextNullBstr", 2, "CAPICertGetSerialNumber", {{"strCert", "standin:null"}}, ""},
        {"TextEmptyBstr", 2, "CAPICertGetSerialNumber", {{"strCert", "standin:empty"}}, ""},
        {"TextLeftUnset", 2, "CAPICertGetSerialNumber", {{"strCert", "standin:leave"}}, ""},
        {"DecimalNegative", 6, "GPKI_GetCertType", {{"iFlags", "-1"}}, "-1"},
        {"DecimalTop", 6, "GPKI_GetCertType", {{"iFlags", "2147483647"}}, "2147483647"},
        {"DecimalHeldAtTop", 6, "GPKI_GetCertType", {{"iFlags", "99999999999"}}, "2147483647"},
        {"DecimalHeldAtBottom", 6, "GPKI_GetCertType", {{"iFlags", "-99999999999"}}, "-2147483648"},
        {"LeadingNumber", 6, "GPKI_GetCertType", {{"iFlags", " -7x"}}, "-7"},
        {"NoDigits", 6, "GPKI_GetCertType", {{"iFlags", "abc"}}, "0"},
        {"EmptyNumber", 6, "GPKI_GetCertType", {{"iFlags", ""}}, "0"},
        {"True", 6, "GPKI_GetCertType", {{"iFlags", "TRUE"}}, "1"},
        {"False", 6, "GPKI_GetCertType", {{"iFlags", "False"}}, "0"},
        {"DecimalLeftUnset", 6, "GPKI_GetCertType", {{"strCert", "standin:leave"}}, "0"},
        {"IntDecimal", 59, "SetDialogString", {{"dlgID", "-5"}}, "-5"},
        {"None", 44, "SetCodePage", {{"codePage", "950"}}, "0"},
        {"ListMixed",
         1,
         "GPKI_EnumCerts",
         {{"iFlags", shape(StandinBehaviour::MixedElements)}},
         "x;5;;"},
        {"ListOfBstrs", 1, "GPKI_EnumCerts", {{"iFlags", shape(StandinBehaviour::BstrArray)}}, ""},
        {"ListNullArray",
         1,
         "GPKI_EnumCerts",
         {{"iFlags", shape(StandinBehaviour::NullArray)}},
         ""},
        {"ListTwoDimensions",
         1,
         "GPKI_EnumCerts",
         {{"iFlags", shape(StandinBehaviour::TwoDimensions)}},
         ""},
        {"ListEmpty", 1, "GPKI_EnumCerts", {{"iFlags", shape(StandinBehaviour::EmptyArray)}}, ""},
        {"ListScalarBstr",
         1,
         "GPKI_EnumCerts",
         {{"iFlags", shape(StandinBehaviour::ScalarBstr)}},
         ""},
        {"ListBoolTrue", 1, "GPKI_EnumCerts", {{"iFlags", shape(StandinBehaviour::BoolTrue)}}, "1"},
        {"ListBoolFalse",
         1,
         "GPKI_EnumCerts",
         {{"iFlags", shape(StandinBehaviour::BoolFalse)}},
         "0"},
        {"ListNested",
         1,
         "GPKI_EnumCerts",
         {{"iFlags", shape(StandinBehaviour::NestedArray)}},
         "a;;b;"},
        {"ListOffsetBounds",
         1,
         "GPKI_EnumCerts",
         {{"iFlags", shape(StandinBehaviour::OffsetBounds)}},
         "p;q;"},
        {"ListLeftEmpty", 1, "GPKI_EnumCerts", {{"iFlags", shape(StandinBehaviour::LeaveOut)}}, ""},
    };
    for (const ResultCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lib().callIndex(c.index, c.function, c.pairs), c.answer);
    }
}

struct FailureCase {
    const char* name;
    int index;
    const char* function;
    Pairs pairs;
    bool forced;  // the stand-in fails every call (rows without a text argument)
};

TEST_F(GpkiAdapter, ComponentFailureAnswers61011AndTheNextRequestIsServed) {
    const std::vector<FailureCase> cases = {
        {"TextRow",
         49,
         "GPKI_SignData",
         {{"sOptPIN", "1234"}, {"sData", "standin:fail"}, {"signcodepage", "65001"}},
         false},
        {"DecimalRow", 17, "GPKI_Decrypt2File", {{"strCipher", "standin:fail"}}, false},
        {"NoneRow", 36, "SetXMLReferenceDirs", {{"bstrMultiRefDir", "standin:fail"}}, false},
        {"ListRow", 1, "GPKI_EnumCerts", {{"iFlags", "1"}}, true},
        {"NoKeysRow", 0, "get_lastError", {}, true},
        {"NoneIntegerRow", 44, "SetCodePage", {{"codePage", "1"}}, true},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        setStandinBehaviourForTesting(c.forced ? StandinBehaviour::Fail : StandinBehaviour::Normal);
        clearStandinCallsForTesting();
        watch_->clear();
        EXPECT_EQ(lib().callIndex(c.index, c.function, c.pairs), "61011");
        ASSERT_EQ(standinCallsForTesting().size(), 1u);
        expectArgumentsWiped(lastCall());
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
        EXPECT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45");
    }
}

TEST_F(GpkiAdapter, NullInterfaceAnswers61011OnEveryCall) {
    setStandinNullInterfaceForTesting(true);
    EXPECT_EQ(lib().callIndex(0, "get_lastError", {}), "61011");
    watch_->clear();
    EXPECT_EQ(lib().callIndex(2, "CAPICertGetSerialNumber", {{"strCert", "secret"}}), "61011");
    EXPECT_TRUE(standinCallsForTesting().empty());
    const std::vector<FreedBstr> freed = watch_->freed();
    ASSERT_EQ(freed.size(), 1u);
    EXPECT_TRUE(freed[0].allZero);
    EXPECT_EQ(lib().callIndex(-1, "Quillmark_GetVersion", {}), kVersion);
}

TEST_F(GpkiAdapter, RefusedInterfaceAnswers61905WithoutKeepingTheObject) {
    const long baseline = standinModuleReferences().load();
    setStandinRefuseInterfaceForTesting(true);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "61905");
        EXPECT_EQ(lib().callIndex(-1, "Quillmark_GetVersion", {}), "61905");
        EXPECT_EQ(standinModuleReferences().load(), baseline) << "attempt " << attempt;
    }
    setStandinRefuseInterfaceForTesting(false);
    EXPECT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45") << "start-up is retried";
}

TEST_F(GpkiAdapter, SystemFunctionsAndReleaseThenRestart) {
    EXPECT_EQ(lib().callIndex(-1, "anything", {}), kVersion);
    EXPECT_EQ(lib().callIndex(-2, "Quillmark_Unlock", {{"url", "https://x"}}), "0");
    EXPECT_TRUE(standinCallsForTesting().empty()) << "no row of the table runs";
    const long withComponent = standinModuleReferences().load();

    EXPECT_EQ(lib().callIndex(-3, "Quillmark_Release", {}), "");
    EXPECT_EQ(standinModuleReferences().load(), withComponent - 1)
        << "the component is released by Quillmark_Release";

    EXPECT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45");
    EXPECT_EQ(standinModuleReferences().load(), withComponent) << "start-up creates it anew";
    EXPECT_EQ(lib().call("Quillmark_Release", {}), "") << "found by name through index 0";
    EXPECT_EQ(lib().call("quillmark_getversion", {}), kVersion);
}

// A copy unloaded without "Quillmark_Release" (the service could not build its map) still holds
// the component: it is released, but not by the unloading thread, which holds the loader lock,
// where a call into the component can deadlock.
TEST_F(GpkiAdapter, UnloadWithoutReleaseReleasesTheComponentOffTheLoaderLock) {
    ASSERT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45");
    const long withComponent = standinModuleReferences().load();
    watch_.reset();
    library_.reset();
    constexpr DWORD kPatienceMs = 30000;
    const ULONGLONG start = GetTickCount64();
    while (standinModuleReferences().load() != withComponent - 1 &&
           GetTickCount64() - start < kPatienceMs) {
        Sleep(1);
    }
    EXPECT_EQ(standinModuleReferences().load(), withComponent - 1);
    EXPECT_NE(standinLastDeletingThreadForTesting().load(), GetCurrentThreadId());
}

struct DispatchCase {
    const char* name;
    const char* index;  // null: no "QuillmarkFunctionIndex"
    std::string function;
    int calledRow;  // -1: no row runs
    const char* answer;
};

TEST_F(GpkiAdapter, DispatchByIndexAndName) {
    const std::vector<DispatchCase> cases = {
        {"IndexAndName", "44", "SetCodePage", 44, "0"},
        {"NameInOtherCase", "44", "setcodepage", 44, "0"},
        {"IndexOutOfRange", "60", "SetDialogString", 59, nullptr},
        {"IndexBelowSystem", "-4", "GPKI_GetSlotCount", 45, "45"},
        {"IndexOfAnotherRow", "2", "CAPICertGetIssuer", 3, nullptr},
        {"IndexText", "true", "CAPICertGetSerialNumber", 2, nullptr},
        {"VersionWithAnyName", "-1", "GPKI_GetSlotCount", -1, kVersion.c_str()},
        {"UnknownName", "5", "NoSuchFunction", -1, "61005"},
        {"ProperPrefix", nullptr, "GPKI_Sign", -1, "61005"},
        {"LongerThanAnyName", nullptr, "GPKI_SignDataX", -1, "61005"},
        {"Name128", nullptr, std::string(128, 'a'), -1, "61005"},
        {"Name1000", nullptr, "get_lastError" + std::string(1000, 'x'), -1, "61005"},
        {"EmptyName", nullptr, "", -1, "61005"},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        clearStandinCallsForTesting();
        Pairs pairs;
        if (c.index != nullptr) {
            pairs.emplace_back("QuillmarkFunctionIndex", c.index);
        }
        const std::string answer = lib().call(c.function, pairs);
        if (c.answer != nullptr) {
            EXPECT_EQ(answer, c.answer);
        }
        const std::vector<StandinCall> calls = standinCallsForTesting();
        if (c.calledRow < 0) {
            EXPECT_TRUE(calls.empty());
        } else {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].index, c.calledRow);
        }
    }
}

TEST_F(GpkiAdapter, ExportsNeverAnswerNull) {
    const char* a = lib().rawCallMethod(nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "");
    // Texts that do not parse answer ""; one that parses into no pairs lacks the name.
    const std::pair<const char*, const char*> texts[] = {
        {"", ""}, {"{}", ""}, {"[]", ""}, {"{\"a\":", ""}, {"not json", "61005"}};
    for (const auto& [text, expected] : texts) {
        SCOPED_TRACE(text);
        a = lib().rawCallMethod(text);
        ASSERT_NE(a, nullptr);
        EXPECT_STREQ(a, expected);
    }
    const JsonMapPtr map = requestMap({{"x", "1"}});
    a = lib().rawCallJsonMapMethod(nullptr, "get_lastError");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "");
    a = lib().rawCallJsonMapMethod(map.get(), nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "");
}

TEST_F(GpkiAdapter, RequestWithoutFunctionNameAnswers61005WithoutStartUp) {
    const long before = standinModuleReferences().load();
    EXPECT_EQ(lib().callText("{\"x\":\"1\"}"), "61005");
    EXPECT_EQ(standinModuleReferences().load(), before) << "no component was created";
    EXPECT_EQ(lib().callText("{\"FunctionName\":\"GPKI_GetSlotCount\"}"), "45");
}

struct EntrySnapshot {
    const char* keyPointer;
    const char* valuePointer;
    std::string key;
    std::string value;
};

std::vector<EntrySnapshot> snapshot(const JsonMap& map) {
    std::vector<EntrySnapshot> s;
    for (int32_t i = 0; i < map.count; ++i) {
        const JsonMapEntry& e = map.entries[i];
        s.push_back({e.key, e.value, e.key, e.value == nullptr ? "<null>" : e.value});
    }
    return s;
}

TEST_F(GpkiAdapter, CallJsonMapMethodLeavesTheMapUntouchedAndIgnoresItsFunctionName) {
    const JsonMapPtr map = requestMap({
        {"FunctionName", "GPKI_GetSlotCount"},
        {"sOptPIN", encryptedValue("1111")},
        {"sOptPIN_QuillmarkEncryptFlag", "true"},
        {"Quillmark_share_secret", kShareSecret},
        {"sData", "standin:fail"},
        {"AdapterJsonKeyCheck", "true"},
    });
    ASSERT_TRUE(map);
    const std::vector<EntrySnapshot> before = snapshot(*map);
    const int32_t count = map->count;
    const char* source = map->sourceText;
    const std::string sourceCopy = source;

    EXPECT_STREQ(lib().rawCallJsonMapMethod(map.get(), "GPKI_SignData"), "61016");
    EXPECT_STREQ(lib().rawCallJsonMapMethod(map.get(), "GPKI_PureSign"), "61016");
    EXPECT_STREQ(lib().rawCallJsonMapMethod(map.get(), "GPKI_SignInit"), "61016");
    EXPECT_STREQ(lib().rawCallJsonMapMethod(map.get(), "GPKI_SignDataUpdate"), "61016");
    clearStandinCallsForTesting();
    EXPECT_STREQ(lib().rawCallJsonMapMethod(map.get(), "get_lastError"), "0");
    ASSERT_EQ(standinCallsForTesting().size(), 1u);
    EXPECT_EQ(standinCallsForTesting()[0].index, 0) << "the map's own FunctionName is ignored";

    ASSERT_EQ(map->count, count);
    EXPECT_EQ(map->sourceText, source);
    EXPECT_EQ(std::string(map->sourceText), sourceCopy);
    const std::vector<EntrySnapshot> after = snapshot(*map);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].keyPointer, before[i].keyPointer);
        EXPECT_EQ(after[i].valuePointer, before[i].valuePointer);
        EXPECT_EQ(after[i].key, before[i].key);
        EXPECT_EQ(after[i].value, before[i].value);
    }
}

TEST_F(GpkiAdapter, TextArgumentsAreZeroedWhenFreedOnEveryPath) {
    const Pairs full = {{"sOptPIN", "1234"},
                        {"sData", "data"},
                        {"signcodepage", "65001"},
                        {"iFlags", "1"},
                        {"iHashFlag", "2"}};
    // Success.
    watch_->clear();
    lib().callIndex(49, "GPKI_SignData", full);
    ASSERT_EQ(standinCallsForTesting().size(), 1u);
    expectArgumentsWiped(lastCall());

    // "61011".
    Pairs failing = full;
    failing[1].second = "standin:fail";
    watch_->clear();
    clearStandinCallsForTesting();
    EXPECT_EQ(lib().callIndex(49, "GPKI_SignData", failing), "61011");
    expectArgumentsWiped(lastCall());

    // "61016": the two texts that were present, and nothing else, are freed zeroed.
    watch_->clear();
    clearStandinCallsForTesting();
    EXPECT_EQ(
        lib().callIndex(
            49, "GPKI_SignData",
            {{"sOptPIN", "1234"}, {"signcodepage", "65001"}, {"AdapterJsonKeyCheck", "true"}}),
        "61016");
    EXPECT_TRUE(standinCallsForTesting().empty());
    const std::vector<FreedBstr> freed = watch_->freed();
    ASSERT_EQ(freed.size(), 2u);
    for (const FreedBstr& f : freed) {
        EXPECT_TRUE(f.allZero);
        EXPECT_GT(f.byteLength, 0u);
    }
}

struct SecretCase {
    const char* name;
    Pairs pairs;         // for GPKI_VerifyPIN (bPIN, iFlags)
    const char* secret;  // the PIN as the adapter decodes it
    StandinBehaviour behaviour;
    const char* answer;
};

// Every heap text the adapter makes of a PIN while it reads the arguments (the raw copy, the
// decoded or decrypted value) no longer holds it when it is freed.
TEST_F(GpkiAdapter, DecodedAndDecryptedTextsAreZeroedWhenFreed) {
    const std::vector<SecretCase> cases = {
        {"Plain",
         {{"bPIN", "Pin7Qx93"}, {"iFlags", "4"}},
         "Pin7Qx93",
         StandinBehaviour::Normal,
         "4"},
        {"StarFlag",
         {{"bPIN", "Pin*7Qx93"}, {"bPIN_QuillmarkFlag", "true"}, {"iFlags", "4"}},
         "Pin\\7Qx93",
         StandinBehaviour::Normal,
         "4"},
        {"Base64Flag",
         {{"bPIN", "UGluN1F4OTM%3D"}, {"bPIN_QuillmarkBase64Flag", "true"}, {"iFlags", "4"}},
         "Pin7Qx93",
         StandinBehaviour::Normal,
         "4"},
        {"Encrypted",
         {{"bPIN", encryptedValue("Pin7Qx93")},
          {"bPIN_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kShareSecret},
          {"iFlags", "4"}},
         "Pin7Qx93",
         StandinBehaviour::Normal,
         "4"},
        {"EncryptedComponentFails",
         {{"bPIN", encryptedValue("Pin7Qx93")},
          {"bPIN_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kShareSecret},
          {"iFlags", "4"}},
         "Pin7Qx93",
         StandinBehaviour::Fail,
         "61011"},
        {"EncryptedKeyMissing",
         {{"bPIN", encryptedValue("Pin7Qx93")},
          {"bPIN_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kShareSecret},
          {"AdapterJsonKeyCheck", "true"}},
         "Pin7Qx93",
         StandinBehaviour::Normal,
         "61016"},
    };
    ASSERT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45");
    for (const SecretCase& c : cases) {
        SCOPED_TRACE(c.name);
        setStandinBehaviourForTesting(c.behaviour);
        const HeapFreeWatch heap(library_->module(), c.secret);
        ASSERT_TRUE(heap.ok());
        EXPECT_EQ(lib().callIndex(46, "GPKI_VerifyPIN", c.pairs), c.answer);
        EXPECT_GT(heap.blocksFreed(), 0u);
        EXPECT_EQ(heap.blocksHoldingNeedle(), 0u);
        setStandinBehaviourForTesting(StandinBehaviour::Normal);

        // The same request as text through callMethod: the unescaping steps of the parse hold the
        // values too.
        Pairs pairs = c.pairs;
        pairs.emplace_back("FunctionName", "GPKI_VerifyPIN");
        pairs.emplace_back("QuillmarkFunctionIndex", "46");
        setStandinBehaviourForTesting(c.behaviour);
        const HeapFreeWatch textHeap(library_->module(), c.secret);
        ASSERT_TRUE(textHeap.ok());
        EXPECT_EQ(lib().callText(jsonText(pairs)), c.answer);
        EXPECT_EQ(textHeap.blocksHoldingNeedle(), 0u);
        setStandinBehaviourForTesting(StandinBehaviour::Normal);
    }
}

struct AllocationCase {
    const char* name;
    std::function<const char*()> call;
};

// Whichever one heap allocation of the adapter fails, the export answers a text (never NULL, and
// no exception leaves it), and the same request afterwards gets its usual answer.
TEST_F(GpkiAdapter, AnyFailedAllocationStillAnswersAndTheNextRequestIsServed) {
    const JsonMapPtr sign = requestMap({{"FunctionName", "GPKI_SignData"},
                                        {"sOptPIN", "1234"},
                                        {"sData", "data"},
                                        {"signcodepage", "65001"},
                                        {"iFlags", "1"},
                                        {"iHashFlag", "2"},
                                        {"QuillmarkFunctionIndex", "49"}});
    const JsonMapPtr failing = requestMap({{"sData", "standin:fail"}});
    const JsonMapPtr missing = requestMap({{"sData", "d"}, {"AdapterJsonKeyCheck", "true"}});
    const JsonMapPtr list = requestMap({{"iFlags", "3"}});
    const JsonMapPtr none = requestMap({{"x", "1"}});
    const std::string text = jsonText({{"FunctionName", "GPKI_VerifyPIN"},
                                       {"bPIN", encryptedValue("4321")},
                                       {"bPIN_QuillmarkEncryptFlag", "true"},
                                       {"Quillmark_share_secret", kShareSecret},
                                       {"iFlags", "8"}});
    AdapterLibrary& l = lib();
    const std::vector<AllocationCase> cases = {
        {"TextRow", [&] { return l.rawCallJsonMapMethod(sign.get(), "GPKI_SignData"); }},
        {"Failing", [&] { return l.rawCallJsonMapMethod(failing.get(), "GPKI_PureSign"); }},
        {"KeyMissing", [&] { return l.rawCallJsonMapMethod(missing.get(), "GPKI_SignData"); }},
        {"List", [&] { return l.rawCallJsonMapMethod(list.get(), "GPKI_EnumCerts"); }},
        {"Version", [&] { return l.rawCallJsonMapMethod(none.get(), "Quillmark_GetVersion"); }},
        {"RequestText", [&] { return l.rawCallMethod(text.c_str()); }},
        {"StartUp",
         [&] {
             l.rawCallJsonMapMethod(none.get(), "Quillmark_Release");
             return l.rawCallJsonMapMethod(none.get(), "GPKI_GetSlotCount");
         }},
    };
    ASSERT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45");
    HeapFailure heap(library_->module());
    ASSERT_TRUE(heap.ok());
    for (const AllocationCase& c : cases) {
        SCOPED_TRACE(c.name);
        heap.failAllocation(0);
        const std::string usual = c.call();
        const long allocations = heap.allocations();
        ASSERT_GT(allocations, 0);
        for (long n = 1; n <= allocations; ++n) {
            heap.failAllocation(n);
            const char* answer = c.call();
            ASSERT_NE(answer, nullptr) << "allocation " << n;
            heap.failAllocation(0);
            ASSERT_EQ(std::string(c.call()), usual) << "after allocation " << n << " failed";
        }
    }
}

TEST_F(GpkiAdapter, CallsFromAThreadWithoutComAreServed) {
    ASSERT_EQ(lib().callIndex(45, "GPKI_GetSlotCount", {}), "45");
    std::string answer;
    std::string failed;
    HRESULT afterwards = E_FAIL;
    std::thread worker([&] {
        answer = lib().callIndex(49, "GPKI_SignData", {{"sOptPIN", "standin:fail"}});
        failed = lib().callIndex(2, "CAPICertGetSerialNumber", {{"strCert", "c"}});
        // The adapter initialised COM on this thread: a further initialisation only counts up.
        afterwards = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(afterwards)) {
            CoUninitialize();
        }
    });
    worker.join();
    EXPECT_EQ(answer, "61011");
    EXPECT_EQ(failed, "2|CAPICertGetSerialNumber|s1:c|i:0");
    EXPECT_EQ(afterwards, S_FALSE);
}

}  // namespace
