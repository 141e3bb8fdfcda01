#include "common/Json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/AES.h"
#include "common/Log.h"
#include "support/LogCapture.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

std::optional<std::string> take(char* text) {
    Text owned(text);
    if (!owned) {
        return std::nullopt;
    }
    return std::string(owned.get());
}

Pairs entriesOf(const JsonMap& map) {
    Pairs pairs;
    for (int32_t i = 0; i < map.count; ++i) {
        pairs.emplace_back(map.entries[i].key,
                           map.entries[i].value != nullptr ? map.entries[i].value : "<null>");
    }
    return pairs;
}

JsonMapPtr makeMap(const Pairs& pairs) {
    JsonMapPtr map(createJsonMap());
    for (const auto& [key, value] : pairs) {
        setJsonMapValue(map.get(), key.c_str(), value.c_str());
    }
    return map;
}

std::optional<std::string> valueOf(const JsonMap* map, const char* key) {
    return take(getJsonMapValue(map, key));
}

// The value as a page would send it: "QuillmarkAESCBC", the text and its NUL under AES-256-CBC
// with the request IV, as hexadecimal text. The key is the secret zero-padded to 32 bytes.
std::string encryptForRequest(const std::string& secret, const std::string& text) {
    uint8_t key[kAesKeySize] = {};
    std::memcpy(key, secret.data(), std::min(secret.size(), sizeof(key)));
    CipherContext context = {};
    context.mode = kCipherModeAesCbcPad;
    context.blockSize = kAesBlockSize;
    aesExpandKey(context.schedule, &context.scheduleSize, key);
    getRequestValueIv(context.chain);
    std::string plain = std::string(kAesTextPrefix) + text;
    plain.push_back('\0');
    std::vector<uint8_t> out(plain.size() + 2 * kAesBlockSize);
    int32_t length = static_cast<int32_t>(out.size());
    EXPECT_EQ(cipherEncryptUpdate(&context, reinterpret_cast<const uint8_t*>(plain.data()),
                                  static_cast<int32_t>(plain.size()), out.data(), &length),
              kCipherOk);
    int32_t last = static_cast<int32_t>(out.size()) - length;
    EXPECT_EQ(cipherEncryptFinal(&context, out.data() + length, &last), kCipherOk);
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (int32_t i = 0; i < length + last; ++i) {
        hex += kDigits[out[static_cast<size_t>(i)] >> 4];
        hex += kDigits[out[static_cast<size_t>(i)] & 0xF];
    }
    return hex;
}

std::string objectOfPairs(int pairs, const std::string& extra = "") {
    std::string text = "{" + extra;
    for (int i = 0; i < pairs; ++i) {
        text += (i == 0 && extra.empty() ? "" : ",") + std::string("\"k") + std::to_string(i) +
                "\":\"" + std::to_string(i) + "\"";
    }
    return text + "}";
}

// Records the keys reported missing.
std::vector<std::string> misses;
void recordMiss(const char* key) {
    misses.emplace_back(key);
}

class JsonTest : public ::testing::Test {
protected:
    void SetUp() override {
        misses.clear();
        setJsonMapMissHandler(&recordMiss);
    }
    void TearDown() override { setJsonMapMissHandler(nullptr); }
};

// ---- Parsing -----------------------------------------------------------------------------------

struct ParseCase {
    const char* name;
    const char* text;
    bool parses;
    Pairs entries;
};

const ParseCase kParseCases[] = {
    {"SortedIgnoringCase", R"({"b":"2","A":"1"})", true, {{"A", "1"}, {"b", "2"}}},
    {"UnderscoreBeforeLetters",
     R"({"Ab":"1","A_":"2","aa":"3"})",
     true,
     {{"A_", "2"}, {"aa", "3"}, {"Ab", "1"}}},
    {"PrimitivesAsText",
     R"({"k":12,"t":true,"n":null})",
     true,
     {{"k", "12"}, {"n", "null"}, {"t", "true"}}},
    {"EscapedQuoteUndone", R"({"a":"x\"y"})", true, {{"a", "x\"y"}}},
    {"EscapedBackslashKept", R"({"a":"x\\y"})", true, {{"a", R"(x\\y)"}}},
    {"ControlEscapesUndone",
     R"({"a":"1\r2\n3\t4\u000f\u000e\u001b"})",
     true,
     {{"a", "1\r2\n3\t4\x0f\x0e\x1b"}}},
    {"OtherEscapesKept", R"({"a":"\b\f\/\u0041"})", true, {{"a", R"(\b\f\/\u0041)"}}},
    {"KeyKeepsItsEscapes", R"({"a\"b":"1"})", true, {{R"(a\"b)", "1"}}},
    {"EmptyValue", R"({"a":""})", true, {{"a", ""}}},
    {"NestedObjectAddsInnerPairs", R"({"a":{"b":"c"}})", true, {{"a", R"({"b":"c"})"}, {"b", "c"}}},
    // One inner token shifts every pair before it.
    {"OddNestedArrayShiftsPairs",
     R"({"x":"1","a":[1],"b":"c"})",
     true,
     {{"1", "a"}, {"[1]", "1"}, {"b", "c"}}},
    {"OneKeyObjectIsEmpty", R"({"a"})", true, {}},
    {"EmptyObject", "{}", false, {}},
    {"EmptyArray", "[]", false, {}},
    {"EmptyText", "", false, {}},
    {"Unclosed", R"({"a":"1")", false, {}},
};

TEST_F(JsonTest, ParsesByPairingTokensFromTheEnd) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.name);
        JsonMapPtr map(parseJsonMap(c.text));
        ASSERT_EQ(map != nullptr, c.parses);
        if (!map) {
            continue;
        }
        EXPECT_EQ(entriesOf(*map), c.entries);
        EXPECT_STREQ(map->sourceText, c.text);
    }
}

// A map that takes the text over parses it the same, and keeps that very text.
TEST_F(JsonTest, ParsingATakenTextGivesTheSameMap) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.name);
        char* text = strdup(c.text);
        ASSERT_NE(text, nullptr);
        JsonMapPtr map(parseJsonMapTakingText(text, std::strlen(text)));
        ASSERT_EQ(map != nullptr, c.parses);
        if (!map) {
            continue;
        }
        EXPECT_EQ(entriesOf(*map), c.entries);
        EXPECT_EQ(map->sourceText, text);
    }
    EXPECT_EQ(parseJsonMapTakingText(nullptr, 0), nullptr);
}

TEST_F(JsonTest, HoldsExactly128Pairs) {
    JsonMapPtr full(parseJsonMap(objectOfPairs(128).c_str()));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->count, 128);
    EXPECT_EQ(valueOf(full.get(), "K0"), "0");
    EXPECT_EQ(valueOf(full.get(), "k127"), "127");

    LogCapture log;
    EXPECT_EQ(parseJsonMap(objectOfPairs(129).c_str()), nullptr);
    EXPECT_THAT(log.messages(), Contains("[Test][Error] jsmn parse error"));
}

TEST_F(JsonTest, ParseErrorLogsTheTextMaskedOrOnlyItsLength) {
    LogCapture log;
    // Too many tokens: still tokenisable, so the text is logged with the secrets masked.
    const std::string tooLong = objectOfPairs(
        129, R"("userPin":"1234","Quillmark_share_secret":"k3y","note":"plain","n":5)");
    EXPECT_EQ(parseJsonMap(tooLong.c_str()), nullptr);
    const std::string expected =
        R"({"userPin":"****","Quillmark_share_secret":"***","note":"plain","n":5,"k0":"0")";
    EXPECT_TRUE(log.contains("[Test][Error] Error json: " + expected));
    EXPECT_FALSE(log.contains("1234"));
    EXPECT_FALSE(log.contains("k3y"));

    // Not tokenisable at all: only the length.
    log.clear();
    EXPECT_EQ(parseJsonMap(R"({"pin":"12345)"), nullptr);
    EXPECT_THAT(log.messages(), ElementsAre("[Test][Error] jsmn parse error",
                                            "[Test][Error] Error json: [length: 13]"));

    // Beyond a few thousand tokens only the length, however well-formed the text.
    log.clear();
    std::string huge = R"({"pin":"1234","list":[)";
    for (int i = 0; i < 5000; ++i) {
        huge += "1,";
    }
    huge += "1]}";
    EXPECT_EQ(parseJsonMap(huge.c_str()), nullptr);
    EXPECT_THAT(
        log.messages(),
        ElementsAre("[Test][Error] jsmn parse error",
                    "[Test][Error] Error json: [length: " + std::to_string(huge.size()) + "]"));

    // A long text: its start and its length.
    log.clear();
    const std::string longText =
        objectOfPairs(129, R"("note":")" + std::string(1u << 20, 'n') + R"(")");
    EXPECT_EQ(parseJsonMap(longText.c_str()), nullptr);
    for (const std::string& line : log.lines()) {
        ASSERT_LT(line.size(), kMaxLoggedTextBytes + 200);
    }
    EXPECT_TRUE(log.contains("[Test][Error] Error json: {\"note\":\"nnnn"));
    EXPECT_TRUE(log.contains("n... (" + std::to_string(longText.size()) + " bytes)"));

    // A lone value has no key that could show it.
    log.clear();
    EXPECT_EQ(parseJsonMap("\"123456\""), nullptr);
    EXPECT_THAT(log.messages(), Contains("[Test][Error] Error json: \"******\""));
}

TEST_F(JsonTest, NullArgumentsWarnWithTheirNames) {
    LogCapture log;
    EXPECT_EQ(parseJsonMap(nullptr), nullptr);
    EXPECT_EQ(setJsonMapValue(nullptr, "a", "b"), 0);
    EXPECT_EQ(getJsonMapValue(nullptr, "a"), nullptr);
    EXPECT_EQ(serializeJsonMap(nullptr), nullptr);
    JsonMapPtr map = makeMap({{"a", "1"}});
    EXPECT_EQ(setJsonMapValue(map.get(), nullptr, "b"), 0);
    EXPECT_EQ(BinarySearchQuillmarkJsonMap(map.get(), 0, 0, nullptr), nullptr);
    EXPECT_FALSE(getJsonMapBool(map.get(), nullptr));
    EXPECT_EQ(getJsonMapMode(nullptr), 0);
    EXPECT_EQ(take(decodeJsonMapValue(nullptr, map.get(), "raw")), "raw");
    EXPECT_EQ(compareJsonMapEntry(nullptr, &map->entries[0]), 100);
    const std::vector<std::string> names = {
        "inputJsonStr", "inputQuillmarkJson", "inputQuillmarkJson", "responseMap", "Key",
        "inputKey",     "inputKey",           "inputQuillmarkJson", "inputKey"};
    const std::vector<std::string> messages = log.messages();
    ASSERT_EQ(messages.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_THAT(messages[i],
                    HasSubstr("[Test][Warning] Parameter " + names[i] + " is null at Json "));
    }
}

// ---- Lookup ------------------------------------------------------------------------------------

TEST_F(JsonTest, LookupFindsEveryKeyIgnoringCaseAndReportsMisses) {
    JsonMapPtr map(parseJsonMap(objectOfPairs(128).c_str()));
    ASSERT_TRUE(map);
    for (int i = 0; i < 128; ++i) {
        const std::string key = "K" + std::to_string(i);
        EXPECT_EQ(take(BinarySearchQuillmarkJsonMap(map.get(), 0, map->count - 1, key.c_str())),
                  std::to_string(i))
            << key;
    }
    EXPECT_TRUE(misses.empty());
    // Absent keys before, between and after the stored ones.
    for (const char* key : {"a", "k", "k00", "k1000", "k99a", "z"}) {
        EXPECT_EQ(BinarySearchQuillmarkJsonMap(map.get(), 0, map->count - 1, key), nullptr) << key;
    }
    EXPECT_THAT(misses, ElementsAre("a", "k", "k00", "k1000", "k99a", "z"));

    JsonMapPtr empty(createJsonMap());
    EXPECT_EQ(BinarySearchQuillmarkJsonMap(empty.get(), 0, -1, "a"), nullptr);
    JsonMapPtr oneKey(parseJsonMap(R"({"a"})"));
    EXPECT_EQ(valueOf(oneKey.get(), "a"), std::nullopt);
}

TEST_F(JsonTest, LookupCopiesBinaryValuesAndTreatsEmptyEntriesAsNull) {
    JsonMapPtr map = makeMap({{"b", "x"}, {"c", "y"}});
    // Binary values are never set by the system; a caller of the record may.
    auto* bytes = static_cast<unsigned char*>(std::malloc(3));
    std::memcpy(bytes, "ab\0", 3);
    std::free(map->entries[0].value);
    map->entries[0].value = nullptr;
    map->entries[0].binaryValue = bytes;
    map->entries[0].binaryLength = 2;
    std::free(map->entries[1].value);
    map->entries[1].value = nullptr;

    EXPECT_EQ(take(BinarySearchQuillmarkJsonMap(map.get(), 0, 1, "B")), "ab");
    EXPECT_EQ(BinarySearchQuillmarkJsonMap(map.get(), 0, 1, "c"), nullptr);
    EXPECT_TRUE(misses.empty()) << "a present key without value is not missing";
    EXPECT_EQ(take(serializeJsonMap(map.get())), "{}");
}

TEST_F(JsonTest, DuplicateKeysAreKeptAndSetReplacesTheFirst) {
    JsonMapPtr map(parseJsonMap(R"({"a":"1","A":"2"})"));
    ASSERT_TRUE(map);
    ASSERT_EQ(map->count, 2);
    const std::optional<std::string> found = valueOf(map.get(), "a");
    EXPECT_TRUE(found == "1" || found == "2");
    const std::string firstKey = map->entries[0].key;
    const std::string secondValue = map->entries[1].value;
    setJsonMapValue(map.get(), "a", "3");
    EXPECT_EQ(map->entries[0].key, firstKey);
    EXPECT_STREQ(map->entries[0].value, "3");
    EXPECT_EQ(map->entries[1].value, secondValue);
}

// ---- Building and serialising ----------------------------------------------------------------

TEST_F(JsonTest, SetAddsSortedReplacesInPlaceAndStopsAt128) {
    JsonMapPtr map(createJsonMap());
    setJsonMapValue(map.get(), "x", "ab");
    setJsonMapResult(map.get(), 0);
    setJsonMapValue(map.get(), "none", nullptr);
    EXPECT_EQ(entriesOf(*map), (Pairs{{"none", "<null>"}, {"result", "0"}, {"x", "ab"}}));
    EXPECT_EQ(map->sourceText, nullptr);
    EXPECT_EQ(take(serializeJsonMap(map.get())), R"({"result": "MA==", "x": "YWI="})");

    setJsonMapResult(map.get(), -61005);
    setJsonMapValue(map.get(), "X", nullptr);
    EXPECT_EQ(entriesOf(*map), (Pairs{{"none", "<null>"}, {"result", "-61005"}, {"x", "<null>"}}));

    LogCapture log;
    JsonMapPtr full(parseJsonMap(objectOfPairs(128).c_str()));
    setJsonMapValue(full.get(), "extra", "1");
    EXPECT_EQ(full->count, 128);
    EXPECT_EQ(valueOf(full.get(), "extra"), std::nullopt);
    EXPECT_TRUE(log.contains("[Test][Warning] Json map full, key not added: extra"));
    setJsonMapValue(full.get(), "K5", "five");
    EXPECT_EQ(valueOf(full.get(), "k5"), "five");
}

TEST_F(JsonTest, SerialisesEmptyMapAsBraces) {
    JsonMapPtr map(createJsonMap());
    EXPECT_EQ(take(serializeJsonMap(map.get())), "{}");
    setJsonMapValue(map.get(), "a\"b", "");
    EXPECT_EQ(take(serializeJsonMap(map.get())), R"({"a"b": ""})");
}

// ---- Decoding -----------------------------------------------------------------------------------

struct DecodeCase {
    const char* name;
    Pairs entries;
    std::optional<std::string> expected;  // of key "x"
};

const std::string kSecret = "0123456789abcdef0123456789ABCDEF";

std::string upperCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

const std::vector<DecodeCase>& decodeCases() {
    static const std::vector<DecodeCase> cases = {
        {"NoCompanion", {{"x", "a*b"}}, "a*b"},
        {"StarFlag", {{"x", "a*b*"}, {"x_QuillmarkFlag", "true"}}, R"(a\b\)"},
        {"CompanionTrueFollowedByMoreIsOff", {{"x", "a*b"}, {"x_QuillmarkFlag", "trueX"}}, "a*b"},
        {"SlashFlagAnyCase",
         {{"x", "a==QuillmarkSlash==b"}, {"X_QUILLMARKSLASHFLAG", "TRUE"}},
         R"(a\b)"},
        {"OffFlagLetsTheNextDecide",
         {{"x", "YWI%3D"}, {"x_QuillmarkFlag", "false"}, {"x_QuillmarkBase64Flag", "true"}},
         "ab"},
        {"Base64UrlEscapes", {{"x", "Pz8%2F"}, {"x_QuillmarkBase64Flag", "True"}}, "???"},
        {"StarBeforeSlash",
         {{"x", "*==QuillmarkSlash=="},
          {"x_QuillmarkFlag", "true"},
          {"x_QuillmarkSlashFlag", "true"}},
         R"(\==QuillmarkSlash==)"},
        // The companion is read raw: its own flags do not decode it.
        {"CompanionReadRaw",
         {{"x", "a*b"},
          {"x_QuillmarkFlag", "true"},
          {"x_QuillmarkFlag_QuillmarkBase64Flag", "true"}},
         R"(a\b)"},
        {"EncryptWinsOverStar",
         {{"x", encryptForRequest(kSecret, "1*2")},
          {"x_QuillmarkEncryptFlag", "true"},
          {"x_QuillmarkFlag", "true"},
          {"Quillmark_share_secret", kSecret}},
         "1*2"},
        {"EncryptLongSecretUsesFirst32Bytes",
         {{"x", encryptForRequest(kSecret, "pin")},
          {"x_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kSecret + "ignored"}},
         "pin"},
        {"EncryptShortSecretIsZeroPadded",
         {{"x", encryptForRequest("short", "secret text")},
          {"x_QuillmarkEncryptFlag", "true"},
          {"quillmark_share_secret", "short"}},
         "secret text"},
        {"EncryptUpperCaseHex",
         {{"x", upperCase(encryptForRequest(kSecret, "up"))},
          {"x_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kSecret}},
         "up"},
        {"EncryptWithoutSecret",
         {{"x", encryptForRequest(kSecret, "1234")}, {"x_QuillmarkEncryptFlag", "true"}},
         std::nullopt},
        {"EncryptWithWrongSecret",
         {{"x", encryptForRequest(kSecret, "1234")},
          {"x_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", "another secret of thirty-two by"}},
         std::nullopt},
        {"EncryptBadHex",
         {{"x", "zz" + encryptForRequest(kSecret, "1234").substr(2)},
          {"x_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kSecret}},
         std::nullopt},
        {"EncryptOddHex",
         {{"x", encryptForRequest(kSecret, "1234") + "0"},
          {"x_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kSecret}},
         std::nullopt},
        {"EncryptNotABlockMultiple",
         {{"x", encryptForRequest(kSecret, "1234").substr(2)},
          {"x_QuillmarkEncryptFlag", "true"},
          {"Quillmark_share_secret", kSecret}},
         std::nullopt},
    };
    return cases;
}

TEST_F(JsonTest, DecodesByTheFirstCompanionThatIsOn) {
    for (const DecodeCase& c : decodeCases()) {
        SCOPED_TRACE(c.name);
        misses.clear();
        JsonMapPtr map = makeMap(c.entries);
        EXPECT_EQ(valueOf(map.get(), "x"), c.expected);
        // An undecryptable value counts as absent, also for the adapters' key check.
        EXPECT_EQ(misses, c.expected ? std::vector<std::string>{} : std::vector<std::string>{"x"});
    }
}

// Deciphered once ahead of the reads, every value reads as it did, a value that cannot be
// deciphered is still a miss at each read, and nothing is deciphered again.
TEST_F(JsonTest, ValuesDecipheredAheadReadAsBefore) {
    std::vector<DecodeCase> cases = decodeCases();
    // A flagged companion is still read raw by the value it belongs to.
    cases.push_back({"EncryptedCompanionStaysRaw",
                     {{"x", "a*b"},
                      {"x_QuillmarkFlag", encryptForRequest(kSecret, "true")},
                      {"x_QuillmarkFlag_QuillmarkEncryptFlag", "true"},
                      {"Quillmark_share_secret", kSecret}},
                     "a*b"});
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        JsonMapPtr map = makeMap(c.entries);
        const std::optional<std::string> raw =
            take(BinarySearchQuillmarkJsonMap(map.get(), 0, map->count - 1, "x"));
        LogCapture log;
        decipherJsonMapValues(map.get());
        log.clear();
        misses.clear();
        for (int read = 0; read < 2; ++read) {
            EXPECT_EQ(valueOf(map.get(), "x"), c.expected);
        }
        const std::vector<std::string> expectedMisses =
            c.expected ? std::vector<std::string>{} : std::vector<std::string>{"x", "x"};
        EXPECT_EQ(misses, expectedMisses);
        EXPECT_FALSE(log.contains("find key: ")) << "deciphered again";
        EXPECT_FALSE(log.contains("= DISPLAY PARAMETER"));
        // Lookups still give the text as sent.
        EXPECT_EQ(take(BinarySearchQuillmarkJsonMap(map.get(), 0, map->count - 1, "x")), raw);
    }
}

TEST_F(JsonTest, DecipheredValuesStayOutOfTheLogAndGoWithANewValue) {
    const std::string cipherText = encryptForRequest(kSecret, "plain secret");
    JsonMapPtr map = makeMap({{"strCert", cipherText},
                              {"strCert_QuillmarkEncryptFlag", "true"},
                              {"Quillmark_share_secret", kSecret}});
    EXPECT_EQ(encryptedJsonMapTextBytes(map.get()), cipherText.size());
    LogCapture log;
    decipherJsonMapValues(map.get());
    EXPECT_THAT(log.messages(), Contains("[Test][Normal] find key: Quillmark_share_secret"));
    displayJsonMap(map.get());
    EXPECT_THAT(log.messages(), Contains("[Test][Normal] strCert: " + cipherText));
    EXPECT_FALSE(log.contains("plain secret"));
    EXPECT_EQ(valueOf(map.get(), "strCert"), "plain secret");

    // Another secret: the value is deciphered afresh (and now fails), not taken from before.
    setJsonMapValue(map.get(), "Quillmark_share_secret", "another secret of thirty-two by");
    misses.clear();
    EXPECT_EQ(valueOf(map.get(), "strCert"), std::nullopt);
    EXPECT_EQ(misses, std::vector<std::string>{"strCert"});
    EXPECT_EQ(encryptedJsonMapTextBytes(nullptr), 0u);
}

TEST_F(JsonTest, UndecryptableValueIsNeitherPassedOnNorLoggedInPlain) {
    const std::string cipherText = encryptForRequest(kSecret, "1234");
    JsonMapPtr map = makeMap({{"userPin", cipherText},
                              {"userPin_QuillmarkEncryptFlag", "true"},
                              {"Quillmark_share_secret", "wrong"}});
    LogCapture log;
    EXPECT_EQ(valueOf(map.get(), "userPin"), std::nullopt);
    EXPECT_FALSE(getJsonMapBool(map.get(), "userPin"));
    EXPECT_EQ(getJsonMapInt(map.get(), "userPin"), 0);
    EXPECT_TRUE(log.contains("[Test][Normal] find key: Quillmark_share_secret"));
    EXPECT_TRUE(log.contains("[Test][Error] Decrypt value fail: userPin"));
    EXPECT_FALSE(log.contains("wrong"));
}

struct IntCase {
    const char* name;
    std::optional<std::string> value;
    int32_t expected;
};

TEST_F(JsonTest, IntegerGettersReadBooleansAndLeadingNumbers) {
    const IntCase cases[] = {
        {"True", "TRUE", 1},
        {"False", "False", 0},
        {"Number", "30", 30},
        {"BlankSignAndTail", " -7x", -7},
        {"Empty", "", 0},
        {"NoDigits", "abc", 0},
        {"AboveRange", "99999999999", INT32_MAX},
        {"BelowRange", "-99999999999", INT32_MIN},
        {"Absent", std::nullopt, 0},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.name);
        JsonMapPtr map(createJsonMap());
        if (c.value) {
            setJsonMapValue(map.get(), "QuillmarkMode", c.value->c_str());
            setJsonMapValue(map.get(), "timeout", c.value->c_str());
        }
        EXPECT_EQ(getJsonMapMode(map.get()), c.expected);
        EXPECT_EQ(getJsonMapTimeout(map.get()), c.expected);
    }
    // The getters decode first.
    JsonMapPtr map = makeMap({{"timeout", "MTI%3D"}, {"timeout_QuillmarkBase64Flag", "true"}});
    EXPECT_EQ(getJsonMapTimeout(map.get()), 12);
}

TEST_F(JsonTest, BoolIsTrueOnlyForDecodedTrue) {
    JsonMapPtr map = makeMap({{"a", "TRUE"},
                              {"b", "true "},
                              {"c", "dHJ1ZQ%3D%3D"},
                              {"c_QuillmarkBase64Flag", "true"},
                              {"d", "1"}});
    EXPECT_TRUE(getJsonMapBool(map.get(), "A"));
    EXPECT_FALSE(getJsonMapBool(map.get(), "b"));
    EXPECT_TRUE(getJsonMapBool(map.get(), "c"));
    EXPECT_FALSE(getJsonMapBool(map.get(), "d"));
    EXPECT_FALSE(getJsonMapBool(map.get(), "e"));
}

TEST(JsonKeyCheckTest, CompanionsAndServiceKeysNeverCountAsMissing) {
    EXPECT_TRUE(isCheckedJsonMapKey("iFlags"));
    EXPECT_TRUE(isCheckedJsonMapKey("quillmarkx"));  // exact case only
    EXPECT_FALSE(isCheckedJsonMapKey("x_QuillmarkEncryptFlag"));
    EXPECT_FALSE(isCheckedJsonMapKey("QuillmarkFunctionIndex"));
    EXPECT_FALSE(isCheckedJsonMapKey("topuidetect"));
    EXPECT_FALSE(isCheckedJsonMapKey(nullptr));
}

// ---- Log display --------------------------------------------------------------------------------

TEST_F(JsonTest, DisplayMasksSecretsAndShowsTheRest) {
    auto* bytes = static_cast<unsigned char*>(std::malloc(1));
    bytes[0] = 7;
    JsonMapPtr map = makeMap({{"userPIN", "1234"},
                              {"QuillmarkPin", "5678"},
                              {"Password", "pw"},
                              {"newPw", "abc"},
                              {"x", "hidden"},
                              {"x_QuillmarkHide", "TRUE"},
                              {"y", "shown"},
                              {"y_QuillmarkHide", "trueX"},
                              {"Quillmark_share_secret", "s3cr3t"},
                              {"QUILLMARK_SHARE_SECRET2", "plain"},
                              {"bin", "-"},
                              {"none", "-"}});
    for (int32_t i = 0; i < map->count; ++i) {
        JsonMapEntry& entry = map->entries[i];
        if (std::strcmp(entry.key, "bin") == 0 || std::strcmp(entry.key, "none") == 0) {
            std::free(entry.value);
            entry.value = nullptr;
        }
        if (std::strcmp(entry.key, "bin") == 0) {
            entry.binaryValue = bytes;
            entry.binaryLength = 1;
        }
    }
    LogCapture log;
    displayJsonMap(map.get());
    EXPECT_THAT(log.messages(),
                ElementsAre("[Test][Normal] = DISPLAY PARAMETER ===== start =====",
                            "[Test][Normal] bin: [binary_value]", "[Test][Normal] newPw: ***",
                            "[Test][Normal] none: [empty]", "[Test][Normal] Password: **",
                            "[Test][Normal] Quillmark_share_secret: ******",
                            "[Test][Normal] QUILLMARK_SHARE_SECRET2: plain",
                            "[Test][Normal] QuillmarkPin: 5678", "[Test][Normal] userPIN: ****",
                            "[Test][Normal] x: ******", "[Test][Normal] x_QuillmarkHide: TRUE",
                            "[Test][Normal] y: shown", "[Test][Normal] y_QuillmarkHide: trueX",
                            "[Test][Normal] = DISPLAY PARAMETER ===== end ====="));

    log.clear();
    displayJsonMap(nullptr);
    EXPECT_THAT(log.messages(), ElementsAre("[Test][Normal] = DISPLAY PARAMETER ===== start =====",
                                            "[Test][Normal] = DISPLAY PARAMETER ===== end ====="));
}

// A page's values can be tens of megabytes; each display line is written under the log lock.
TEST_F(JsonTest, DisplayBoundsLongKeysAndValuesAndKeepsTheirMasking) {
    const std::string sessionId(40u << 20, 'v');
    // The rule does not depend on the size: smaller texts keep the test quick.
    const std::string secret(70000, 's');
    const std::string longKey = std::string(70000, 'k') + "pin";
    const std::string stars = std::string(kMaxLoggedTextBytes, '*') + "... (70000 bytes)";
    JsonMapPtr map = makeMap({{"SessionId", sessionId},
                              {"userPIN", secret},
                              {"x", secret},
                              {"x_QuillmarkHide", "true"},
                              {longKey, "1234"}});
    LogCapture log;
    displayJsonMap(map.get());
    // Checked first, so that a failure does not print megabytes.
    for (const std::string& line : log.lines()) {
        ASSERT_LT(line.size(), 2 * kMaxLoggedTextBytes + 200);
    }
    const std::vector<std::string> messages = log.messages();
    EXPECT_THAT(messages, Contains("[Test][Normal] SessionId: " +
                                   std::string(kMaxLoggedTextBytes, 'v') + "... (41943040 bytes)"));
    EXPECT_THAT(messages, Contains("[Test][Normal] userPIN: " + stars));
    EXPECT_THAT(messages, Contains("[Test][Normal] x: " + stars));
    // The key is cut for the label, but its "pin" beyond the cut still masks its value.
    EXPECT_THAT(messages, Contains("[Test][Normal] " + std::string(kMaxLoggedTextBytes, 'k') +
                                   "... (70003 bytes): ****"));
}

TEST_F(JsonTest, DisplayWritesNothingWhileLoggingIsOff) {
    JsonMapPtr map = makeMap({{"a", "1"}});
    LogCapture log(5, "Test", false);
    displayJsonMap(map.get());
    EXPECT_TRUE(log.lines().empty());
}

// Flagged companions once sent the display and the decoding round in circles until the stack
// ran out; with logging on, every path must come back.
TEST_F(JsonTest, FlaggedCompanionsDoNotRecurse) {
    JsonMapPtr map = makeMap({{"a", "1"},
                              {"a_QuillmarkHide", "true"},
                              {"a_QuillmarkHide_QuillmarkEncryptFlag", "true"},
                              {"b", "2"},
                              {"b_QuillmarkEncryptFlag", "true"},
                              {"b_QuillmarkEncryptFlag_QuillmarkEncryptFlag", "true"},
                              {"Quillmark_share_secret", kSecret}});
    LogCapture log;
    displayJsonMap(map.get());
    EXPECT_THAT(log.messages(), Contains("[Test][Normal] a: *"));
    EXPECT_EQ(valueOf(map.get(), "a"), "1");
    EXPECT_FALSE(getJsonMapBool(map.get(), "b_QuillmarkEncryptFlag"));
    EXPECT_EQ(valueOf(map.get(), "b"), std::nullopt);  // "2" is no ciphertext
    EXPECT_THAT(log.messages(), Not(Contains(HasSubstr(kSecret))));
}

}  // namespace
