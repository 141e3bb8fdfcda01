// Tool: the portable text, number, encoding, version, time and JSON lookup helpers.
#include "common/Tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/LogCapture.h"

namespace {

using ::testing::HasSubstr;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

// The text of a heap result, or nullopt for null.
std::optional<std::string> adopt(char* text) {
    const Text owner(text);
    if (owner == nullptr) {
        return std::nullopt;
    }
    return std::string(owner.get());
}

std::vector<std::optional<std::string>> adoptArray(char** array) {
    std::vector<std::optional<std::string>> pieces;
    if (array == nullptr) {
        return pieces;
    }
    for (char** p = array; *p != nullptr; ++p) {
        pieces.push_back(adopt(*p));
    }
    std::free(array);
    return pieces;
}

// ---- Bounded copies, allocation --------------------------------------------------------------

TEST(ToolCopy, SafeCopyStringCutsAndAlwaysTerminates) {
    struct Case {
        const char* name;
        size_t size;
        const char* source;
        const char* expected;
    };
    const Case cases[] = {
        {"cut to size minus one", 4, "abcdef", "abc"},
        {"exact fit", 7, "abcdef", "abcdef"},
        {"one too long", 6, "abcdef", "abcde"},
        {"size one", 1, "abc", ""},
        {"empty source", 8, "", ""},
    };
    for (const Case& c : cases) {
        char buffer[16];
        std::memset(buffer, 'x', sizeof(buffer));
        safeCopyString(buffer, c.size, c.source);
        EXPECT_STREQ(buffer, c.expected) << c.name;
        EXPECT_EQ(buffer[c.size - 1], '\0') << c.name;
        EXPECT_EQ(buffer[c.size], 'x') << c.name << ": wrote past the buffer";
    }
}

TEST(ToolCopy, NullSourceLeavesDestinationUnchanged) {
    char buffer[8] = "keep";
    safeCopyString(buffer, sizeof(buffer), nullptr);
    EXPECT_STREQ(buffer, "keep");
    safeCopyStringAndFree(buffer, sizeof(buffer), nullptr);
    EXPECT_STREQ(buffer, "keep");
}

TEST(ToolCopy, AndFreeCopiesThenTakesTheSource) {
    char buffer[4] = {};
    // ASan reports a leak or a double free if the source is not freed exactly once.
    safeCopyStringAndFree(buffer, sizeof(buffer), duplicateString("secret"));
    EXPECT_STREQ(buffer, "sec");
}

TEST(ToolAlloc, ZeroedBlocksAndTheirLimits) {
    EXPECT_EQ(allocZeroed(0), nullptr);
    EXPECT_EQ(allocZeroed(static_cast<size_t>(2147483647U) + 1U), nullptr);
    auto* block = static_cast<unsigned char*>(allocZeroed(64));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(block[i], 0U);
    }
    std::free(block);
    EXPECT_EQ(duplicateString(nullptr), nullptr);
    EXPECT_EQ(adopt(duplicateString("abc")), "abc");
}

// ---- Numbers ---------------------------------------------------------------------------------

TEST(ToolNumbers, StringToLongValuesAndStatus) {
    struct Case {
        const char* name;
        const char* input;
        bool digitsOnly;
        int32_t value;
        int32_t status;
    };
    const Case cases[] = {
        {"negative digits", "-12", true, -12, kConversionOk},
        {"trailing letter, digits only", "12a", true, 0, kConversionNotNumber},
        {"lone minus", "-", true, 0, kConversionNotNumber},
        {"empty", "", true, 0, kConversionNotNumber},
        {"null", nullptr, true, 0, kConversionMissing},
        {"minus inside, digits only", "1-2", true, 0, kConversionNotNumber},
        {"blank and garbage, lenient", " 12abc", false, 12, kConversionOk},
        {"plus sign, lenient", "+7", false, 7, kConversionOk},
        {"blank, digits only", " 12", true, 0, kConversionNotNumber},
        {"largest", "2147483647", true, INT32_MAX, kConversionOk},
        {"smallest", "-2147483648", true, INT32_MIN, kConversionOk},
        {"above the range", "2147483648", true, 0, kConversionNotNumber},
        {"ten digits", "9999999999", true, 0, kConversionNotNumber},
        {"no digit, lenient", "abc", false, 0, kConversionNotNumber},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(stringToLong(c.input, c.digitsOnly), c.value) << c.name;
        EXPECT_EQ(conversionStatusForTesting(), c.status) << c.name;
        EXPECT_EQ(lastConversionFailed(), c.status != kConversionOk) << c.name;
    }
}

TEST(ToolNumbers, HexStringToLong) {
    struct Case {
        const char* name;
        const char* input;
        int32_t value;
        int32_t status;
    };
    const Case cases[] = {
        {"lower case", "1f", 31, kConversionOk},
        {"0x prefix", "0x10", 16, kConversionOk},
        {"0X prefix upper", "0XFF", 255, kConversionOk},
        {"largest", "7fffffff", INT32_MAX, kConversionOk},
        {"eight F digits", "FFFFFFFF", 0, kConversionNotNumber},
        {"not hex", "zz", 0, kConversionNotNumber},
        {"null", nullptr, 0, kConversionMissing},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hexStringToLong(c.input), c.value) << c.name;
        EXPECT_EQ(conversionStatusForTesting(), c.status) << c.name;
    }
    // A success clears the failure of the conversion before it.
    hexStringToLong("zz");
    hexStringToLong("a");
    EXPECT_FALSE(lastConversionFailed());
}

// The listener threads read numbers at the same time: one thread's failed reading must not
// answer another thread's test.
TEST(ToolNumbers, ConversionStatusBelongsToTheReadingThread) {
    EXPECT_EQ(stringToLong("12", true), 12);
    std::thread other([] {
        stringToLong("12a", true);
        EXPECT_TRUE(lastConversionFailed());
    });
    other.join();
    EXPECT_FALSE(lastConversionFailed());
}

// ---- Texts -----------------------------------------------------------------------------------

TEST(ToolTexts, ReplaceAll) {
    struct Case {
        const char* name;
        const char* input;
        const char* needle;
        const char* replacement;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"dots to commas", "a.b.c", ".", ",", "a,b,c"},
        {"no overlap", "aaa", "aa", "b", "ba"},
        {"grows", "xax", "a", "abc", "xabcx"},
        {"removal", "setup.exe.exe", ".exe", "", "setup"},
        {"null replacement removes", "a-b", "-", nullptr, "ab"},
        {"null needle copies", "abc", nullptr, "x", "abc"},
        {"empty needle copies", "abc", "", "x", "abc"},
        {"needle longer than text", "ab", "abc", "x", "ab"},
        {"whole text", "abc", "abc", "", ""},
        {"null input", nullptr, "a", "b", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(adopt(replaceAll(c.input, c.needle, c.replacement)), c.expected) << c.name;
    }
}

TEST(ToolTexts, StartsWithSubstringAndLowerCase) {
    EXPECT_TRUE(startsWith(nullptr, "abc"));
    EXPECT_TRUE(startsWith("ab", "abc"));
    EXPECT_TRUE(startsWith("", "abc"));
    EXPECT_FALSE(startsWith("abcd", "abc"));
    EXPECT_FALSE(startsWith("Ab", "abc"));
    EXPECT_FALSE(startsWith("a", nullptr));

    EXPECT_EQ(adopt(substring("abcdef", 1, 4)), "bcd");
    EXPECT_EQ(adopt(substring("abcdef", 2, 2)), "");
    EXPECT_EQ(adopt(substring("abcdef", 3, 2)), std::nullopt);
    // Positions past the end of the text are never read (ASan checks the reading).
    EXPECT_EQ(adopt(substring("abc", 1, 40)), "bc");
    EXPECT_EQ(adopt(substring("abc", 10, 12)), "");

    EXPECT_EQ(adopt(toLowerCopy("MiXeD 09-\xC3\x84")), "mixed 09-\xC3\x84");
    EXPECT_EQ(adopt(toLowerCopy(nullptr)), std::nullopt);
}

TEST(ToolTexts, SplitString) {
    using Pieces = std::vector<std::optional<std::string>>;
    struct Case {
        const char* name;
        const char* input;
        const char* delimiter;
        Pieces expected;
    };
    const Case cases[] = {
        {"empty piece between", "a,,b", ",", {"a", "", "b"}},
        {"trailing delimiter", "a,b,", ",", {"a", "b", ""}},
        {"leading delimiter", ",a", ",", {"", "a"}},
        {"lone delimiter", ",", ",", {"", ""}},
        {"no delimiter", "abc", ",", {"abc"}},
        {"long delimiter", "a::b::", "::", {"a", "b", ""}},
        {"line ends", "one\ntwo\n", "\n", {"one", "two", ""}},
        {"empty text", "", ",", {}},
        {"null text", nullptr, ",", {}},
        {"empty delimiter", "a,b", "", {}},
        {"null delimiter", "a,b", nullptr, {}},
    };
    for (const Case& c : cases) {
        char** array = splitString(c.input, c.delimiter);
        ASSERT_NE(array, nullptr) << c.name;
        EXPECT_EQ(adoptArray(array), c.expected) << c.name;

        std::vector<std::string> vector;
        splitToVector(c.input != nullptr ? c.input : "", c.delimiter != nullptr ? c.delimiter : "",
                      vector);
        EXPECT_EQ(Pieces(vector.begin(), vector.end()), c.expected) << c.name;
    }
}

TEST(ToolTexts, RightAlign16) {
    struct Case {
        const char* name;
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"short", "abc", "             abc"},
        {"empty", "", "                "},
        {"exactly 16", "0123456789abcdef", "0123456789abcdef"},
        {"longer keeps its right end", "XY0123456789abcdef", "0123456789abcdef"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(adopt(rightAlign16(c.input)), c.expected) << c.name;
    }
    EXPECT_EQ(adopt(rightAlign16(nullptr)), std::nullopt);
}

TEST(ToolTexts, UnescapeJsonValue) {
    struct Case {
        const char* name;
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"line feed", "a\\nb", "a\nb"},
        {"carriage return and tab", "\\r\\t", "\r\t"},
        {"control bytes", "\\u000f\\u000e\\u001b", "\x0f\x0e\x1b"},
        {"quotation mark", "say \\\"hi\\\"", "say \"hi\""},
        {"escaped backslash stays", "a\\\\b", "a\\\\b"},
        {"backslash before n is plain text", "a\\\\nb", "a\\\nb"},
        {"slash escape stays", "a\\/b", "a\\/b"},
        {"other u escape stays", "\\u0041", "\\u0041"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(adopt(unescapeJsonValue(c.input)), c.expected) << c.name;
    }
    EXPECT_EQ(adopt(unescapeJsonValue(nullptr)), std::nullopt);
}

// One pass must give what the replacements one after another give, however backslashes and the
// escapes' letters meet.
TEST(ToolTexts, UnescapeJsonTextMatchesTheReplacementsInTurn) {
    const char* const pieces[] = {"\\", "r",  "n",  "t", "u",      "000", "0f",
                                  "0e", "1b", "\"", "x", "\\u000", "\\\\"};
    const std::pair<const char*, const char*> escapes[] = {
        {"\\r", "\r"},       {"\\n", "\n"},       {"\\t", "\t"},  {"\\u000f", "\x0f"},
        {"\\u000e", "\x0e"}, {"\\u001b", "\x1b"}, {"\\\"", "\""},
    };
    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        for (unsigned int i = random() % 12; i > 0; --i) {
            input += pieces[random() % std::size(pieces)];
        }
        std::unique_ptr<char, decltype(&std::free)> expected(duplicateString(input.c_str()),
                                                             &std::free);
        for (const auto& [needle, replacement] : escapes) {
            expected.reset(replaceAll(expected.get(), needle, replacement));
        }
        std::vector<char> output(input.size() + 1, 'X');
        const size_t length = unescapeJsonText(output.data(), input.data(), input.size());
        EXPECT_EQ(std::string(output.data(), length), expected.get()) << input;
        EXPECT_EQ(output[length], '\0') << input;
    }
    // A NUL ends the text.
    char output[8];
    EXPECT_EQ(unescapeJsonText(output, "a\\n\0b", 5), 2u);
    EXPECT_STREQ(output, "a\n");
}

// ---- Encodings -------------------------------------------------------------------------------

TEST(ToolEncodings, Base64Encode) {
    struct Case {
        const char* name;
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"three bytes", "abc", "YWJj"}, {"empty", "", ""},
        {"one byte", "a", "YQ=="},      {"two bytes", "ab", "YWI="},
        {"four", "abcd", "YWJjZA=="},
    };
    for (const Case& c : cases) {
        char output[32];
        const size_t length = std::strlen(c.input);
        EXPECT_EQ(base64Encode(output, reinterpret_cast<const unsigned char*>(c.input), length),
                  std::strlen(c.expected) + 1)
            << c.name;
        EXPECT_STREQ(output, c.expected) << c.name;
        EXPECT_EQ(adopt(base64EncodeString(c.input)), c.expected) << c.name;
    }
    EXPECT_EQ(adopt(base64EncodeString(nullptr)), std::nullopt);
}

TEST(ToolEncodings, Base64Decode) {
    struct Case {
        const char* name;
        const char* input;
        std::string expected;
    };
    const Case cases[] = {
        {"full group", "QUJD", "ABC"},
        {"padding", "QUI=", "AB"},
        {"two characters", "QQ", "A"},
        {"single character gives nothing", "Q", ""},
        {"blank ends the input", "QU JD", "A"},
        {"plus and slash", "+/+/", "\xfb\xff\xbf"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        unsigned char output[16];
        std::memset(output, 0xAA, sizeof(output));
        const size_t count = base64Decode(output, c.input);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(output), count), c.expected) << c.name;
        EXPECT_EQ(output[count], 0U) << c.name << ": no NUL behind the bytes";
    }
}

TEST(ToolEncodings, Base64RoundTripOfEveryByte) {
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    for (size_t length : {size_t{254}, size_t{255}, size_t{256}}) {
        std::vector<char> text((length + 2) / 3 * 4 + 1);
        base64Encode(text.data(), bytes, length);
        std::vector<unsigned char> decoded((length + 2) / 3 * 3 + 1);
        ASSERT_EQ(base64Decode(decoded.data(), text.data()), length);
        EXPECT_EQ(std::memcmp(decoded.data(), bytes, length), 0) << length;
    }
}

TEST(ToolEncodings, UrlBase64Decode) {
    struct Case {
        const char* name;
        const char* input;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"escaped padding ends the input", "QUI%3DQUJD", "AB"},
        {"escaped plus and slash", "%2B%2F%2B%2F", "\xfb\xff\xbf"},
        {"lower-case escape is not undone", "QUJD%2bQUJD", "ABC"},
        {"plain", "YWJj", "abc"},
        {"empty", "", ""},
        {"null", nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(adopt(urlBase64Decode(c.input)), c.expected) << c.name;
    }
}

// Reading the escapes in place must give what replacing them one after another gives, however
// escapes, stray "%" signs, padding and group boundaries meet.
TEST(ToolEncodings, UrlBase64DecodeMatchesReplacingTheEscapesFirst) {
    const char* const pieces[] = {"%2B", "%2F", "%3D", "%2", "%3", "%",   "2B",
                                  "3D",  "Q",   "UJ",  "D",  "=",  "%2b", "%%"};
    const std::pair<const char*, const char*> escapes[] = {
        {"%2B", "+"}, {"%2F", "/"}, {"%3D", "="}};
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        for (unsigned int i = random() % 14; i > 0; --i) {
            input += pieces[random() % std::size(pieces)];
        }
        std::unique_ptr<char, decltype(&std::free)> unescaped(duplicateString(input.c_str()),
                                                              &std::free);
        for (const auto& [needle, replacement] : escapes) {
            unescaped.reset(replaceAll(unescaped.get(), needle, replacement));
        }
        std::vector<unsigned char> expected(input.size() + 4);
        const size_t length = base64Decode(expected.data(), unescaped.get());
        std::unique_ptr<char, decltype(&std::free)> decoded(urlBase64Decode(input.c_str()),
                                                            &std::free);
        ASSERT_NE(decoded, nullptr) << input;
        EXPECT_EQ(std::memcmp(decoded.get(), expected.data(), length + 1), 0) << input;
    }
}

// Fed in pieces, cut anywhere (inside an escape too), the decoder gives urlBase64Decode's bytes.
TEST(ToolEncodings, UrlBase64DecoderInPiecesMatchesTheWholeText) {
    const char* const pieces[] = {"%2B", "%2F", "%3D", "%2", "%3",  "%",  "2B",  "QUJD",
                                  "Q",   "UJ",  "D",   "=",  "%2b", "%%", "YWJj"};
    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        std::string input;
        for (unsigned int i = random() % 14; i > 0; --i) {
            input += pieces[random() % std::size(pieces)];
        }
        std::unique_ptr<char, decltype(&std::free)> whole(urlBase64Decode(input.c_str()),
                                                          &std::free);
        ASSERT_NE(whole, nullptr);
        const std::string expected(whole.get());
        for (const size_t pieceSize : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, input.size()}) {
            UrlBase64Decoder decoder;
            std::vector<unsigned char> output(input.size() + 8);
            size_t length = 0;
            for (size_t at = 0; at < input.size(); at += pieceSize) {
                const size_t size = std::min(pieceSize, input.size() - at);
                const size_t before = length;
                length +=
                    feedUrlBase64Decoder(decoder, input.data() + at, size, output.data() + length);
                EXPECT_LE(length - before, urlBase64DecodedBound(size));
            }
            length += finishUrlBase64Decoder(decoder, output.data() + length);
            // Byte for byte, a decoded NUL included: the whole text's block is zeroed behind
            // its bytes.
            EXPECT_EQ(std::memcmp(output.data(), whole.get(), length), 0)
                << input << " in pieces of " << pieceSize;
            EXPECT_EQ(whole.get()[length], '\0') << input << " in pieces of " << pieceSize;
            EXPECT_GE(length, expected.size()) << input << " in pieces of " << pieceSize;
        }
    }
}

TEST(ToolEncodings, HexToBytes) {
    struct Case {
        const char* name;
        const char* input;
        std::string expected;
    };
    const Case cases[] = {
        {"both cases", "0aFf", std::string("\x0a\xff", 2)},
        {"odd last digit ignored", "414", "A"},
        {"other characters count as 0", "g1zz", std::string("\x01\x00", 2)},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        unsigned char* bytes = hexToBytes(c.input);
        ASSERT_NE(bytes, nullptr) << c.name;
        const size_t count = std::strlen(c.input) / 2;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), count), c.expected) << c.name;
        EXPECT_EQ(bytes[count], 0U) << c.name;
        std::free(bytes);
    }
    EXPECT_EQ(hexToBytes(nullptr), nullptr);
}

// ---- Versions, identifiers, time -------------------------------------------------------------

TEST(ToolVersions, CompareVersion) {
    struct Case {
        const char* name;
        const char* a;
        const char* b;
        int32_t expected;
    };
    const Case cases[] = {
        {"numeric, not text", "1.10", "1.9", 1},
        {"older", "1.9", "1.10", -1},
        {"equal", "1.0.22.0303", "1.0.22.0303", 0},
        {"leading zeros are numbers", "1.02", "1.2", 0},
        {"part counts differ", "1.2", "1.2.0", 3},
        {"final dot", "1.2.", "1.2.3", kVersionEmptyPart},
        {"double dot", "1..2", "1.0.2", kVersionEmptyPart},
        {"empty part checked before comparing", "2.1", "1.", kVersionEmptyPart},
        {"blanks ignored", "1 . 2", "1.2", 0},
        {"comma separates", "1,2", "1.2", 0},
        {"text parts differ", "1.2a", "1.2b", 2},
        {"text parts equal", "1.2a", "1.2a", 0},
        {"text only in B", "1.2", "1.2b", 2},
        {"negative", "-1", "1", -1},
        {"both empty", "", "", 0},
        {"only blanks", "  ", "", 0},
        {"empty against one part", "", "1", 3},
        {"ten digits compared as text", "9999999999", "9999999998", 2},
        {"ten digits equal as text", "1.9999999999", "1.9999999999", 0},
        {"first difference decides", "2.0", "1.9", 1},
        {"null A", nullptr, "1", kVersionMissing},
        {"null B", "1", nullptr, kVersionMissing},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compareVersion(c.a, c.b), c.expected) << c.name;
    }
}

TEST(ToolVersions, TextCompareAndNullArgumentsAreLogged) {
    LogCapture log;
    EXPECT_EQ(compareVersion("1.2a", "1.2b"), 2);
    EXPECT_TRUE(log.contains("[Test][Warning] Version check: String compare mode"));
    EXPECT_TRUE(log.contains("[Test][Warning]  - Version A: 2a"));
    EXPECT_TRUE(log.contains("[Test][Warning]  - Version B: 2b"));
    log.clear();
    EXPECT_EQ(compareVersion(nullptr, "1"), kVersionMissing);
    EXPECT_TRUE(log.contains("[Test][Warning] Parameter inputVersionA is null at Tool "));
    log.clear();
    EXPECT_EQ(adopt(toLowerCopy(nullptr)), std::nullopt);
    EXPECT_TRUE(log.contains("[Test][Warning] Parameter input is null at Tool "));
}

TEST(ToolIdentifiers, SessionIdShape) {
    const std::optional<std::string> first = adopt(generateSessionId());
    const std::optional<std::string> second = adopt(generateSessionId());
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    for (const std::string& id : {*first, *second}) {
        ASSERT_EQ(id.size(), 12U) << id;
        EXPECT_EQ(id.substr(8), "_SID") << id;
        EXPECT_EQ(id.substr(0, 8).find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
                  std::string::npos)
            << id;
    }
    // 36^8 identifiers: two equal draws mean the random source is not used.
    EXPECT_NE(*first, *second);
}

TEST(ToolRandom, FillsTheBuffer) {
    unsigned char a[32] = {};
    unsigned char b[32] = {};
    ASSERT_TRUE(genRandom(a, sizeof(a)));
    ASSERT_TRUE(genRandom(b, sizeof(b)));
    EXPECT_NE(std::memcmp(a, b, sizeof(a)), 0);
    EXPECT_TRUE(genRandom(a, 0));
}

std::tm makeTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

TEST(ToolTime, TimeValueFormula) {
    struct Case {
        const char* name;
        std::tm time;
        int64_t expected;
    };
    const Case cases[] = {
        {"2015 has no year part", makeTime(2015, 3, 1, 0, 0, 0), 86400},
        {"common year", makeTime(2023, 7, 5, 10, 20, 30),
         8LL * 31536000 + 5 * 86400 + 10 * 3600 + 20 * 60 + 30},
        {"leap year", makeTime(2024, 1, 1, 0, 0, 1), 9LL * 31622400 + 86400 + 1},
        {"2000 counts as a common year", makeTime(2000, 1, 1, 0, 0, 0), -15LL * 31536000 + 86400},
        {"far future stays 64-bit", makeTime(2200, 1, 1, 0, 0, 0), 185LL * 31536000 + 86400},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(timeValueOf(c.time), c.expected) << c.name;
    }
    // The month does not count: the 5th of January and of February are the same.
    EXPECT_EQ(timeValueOf(makeTime(2026, 1, 5, 8, 0, 0)),
              timeValueOf(makeTime(2026, 2, 5, 8, 0, 0)));
    // Just after midnight on the 1st is below just before midnight at the previous month's end.
    EXPECT_LT(timeValueOf(makeTime(2026, 3, 1, 0, 0, 1)),
              timeValueOf(makeTime(2026, 2, 28, 23, 59, 59)));
}

TEST(ToolTime, CurrentValueFollowsTheClock) {
    const int64_t before = getTimeValue();
    const time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    const int64_t expected = timeValueOf(local);
    const int64_t after = getTimeValue();
    // Read between two readings of the clock (a day change in between would show as a jump).
    EXPECT_LE(before, expected + 1);
    EXPECT_GE(after + 1, expected);
    EXPECT_GT(before, 0);
}

// ---- JSON lookup -----------------------------------------------------------------------------

TEST(ToolJson, GetJsonValue) {
    struct Case {
        const char* name;
        const char* json;
        const char* key;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"key without case", R"({"From":"a","To":"b"})", "to", "b"},
        {"key asked in upper case", R"({"From":"a","To":"b"})", "FROM", "a"},
        {"absent key", R"({"From":"a","To":"b"})", "Message", std::nullopt},
        {"escaped quotation mark", R"({"Message":"say \"hi\""})", "message", "say \"hi\""},
        {"other escapes stay", R"({"Message":"a\\nb"})", "message", "a\\\\nb"},
        {"primitive value", R"({"n":12,"b":true})", "b", "true"},
        {"empty value", R"({"k":""})", "k", ""},
        {"value is not a key", R"({"a":"To","To":"x"})", "to", "x"},
        {"even nested object keeps keys aligned", R"({"o":{"x":"1"},"To":"b"})", "to", "b"},
        {"inner key found as if at the top", R"({"o":{"x":"1"},"To":"b"})", "x", "1"},
        {"not an object", "\"text\"", "text", std::nullopt},
        {"empty text", "", "a", std::nullopt},
        {"broken text", R"({"a":"b)", "a", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(adopt(getJsonValue(c.json, c.key)), c.expected) << c.name;
    }
    EXPECT_EQ(adopt(getJsonValue(nullptr, "a")), std::nullopt);
}

TEST(ToolJson, MoreThan64TokensFindsNothing) {
    // 31 pairs are 63 tokens with the object; 32 pairs are 65.
    std::string json31 = "{";
    for (int i = 0; i < 31; ++i) {
        json31 +=
            (i != 0 ? ",\"k" : "\"k") + std::to_string(i) + "\":\"v" + std::to_string(i) + "\"";
    }
    const std::string json32 = json31 + ",\"k31\":\"v31\"}";
    json31 += "}";
    EXPECT_EQ(adopt(getJsonValue(json31.c_str(), "k30")), "v30");
    EXPECT_EQ(adopt(getJsonValue(json32.c_str(), "k0")), std::nullopt);
    EXPECT_EQ(adopt(getJsonValue(json32.c_str(), "k31")), std::nullopt);
}

}  // namespace
