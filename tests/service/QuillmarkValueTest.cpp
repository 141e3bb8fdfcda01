#include "service/QuillmarkValue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/AES.h"
#include "support/LogCapture.h"

namespace {

constexpr int64_t kStart = 1'800'000'000;  // a moment in 2027, past the 32-bit time_t range soon
int64_t fakeNow = kStart;
int64_t fakeClock() {
    return fakeNow;
}

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

std::vector<uint8_t> bytes(uint8_t first) {
    std::vector<uint8_t> result(kValueKeySize);
    for (size_t i = 0; i < result.size(); ++i) {
        result[i] = static_cast<uint8_t>(first + 7 * i);
    }
    return result;
}

const std::vector<uint8_t> kKey = bytes(0x11);
const std::vector<uint8_t> kIv = bytes(0x5a);

// What a caller from origin gets; "<null>" when the value could not be deciphered.
std::string read(const char* channel, const char* origin) {
    Text text(getQuillmarkValue(channel, origin));
    return text ? std::string(text.get()) : std::string("<null>");
}

std::string channelName(int i) {
    return "channel" + std::to_string(i);
}

class QuillmarkValueTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = kStart;
        setValueClockForTesting(fakeClock);
        initValueStore(kKey.data(), kIv.data());
    }
    void TearDown() override {
        initValueStore(kKey.data(), kIv.data());
        setValueClockForTesting(nullptr);
    }
};

// ---- Domain lists ----------------------------------------------------------------------------

struct DomainCase {
    const char* name;
    const char* domainList;
    const char* origin;
    bool admitted;
};

const DomainCase kDomainCases[] = {
    {"leading dot admits a sub-domain", ".example.com", "https://a.example.com", true},
    {"leading dot admits any depth and port", ".example.com", "http://a.b.example.com:8443", true},
    {"leading dot refuses the bare domain", ".example.com", "https://example.com", false},
    {"leading dot refuses a look-alike", ".example.com", "https://a.badexample.com", false},
    {"exact entry admits that host", "example.com", "https://example.com", true},
    {"exact entry admits any port", "example.com", "http://example.com:8080", true},
    {"exact entry refuses a sub-domain", "example.com", "https://www.example.com", false},
    {"exact entry refuses another domain", "example.com", "https://example.org", false},
    {"dot is literal", "example.com", "https://exampleXcom", false},
    {"star admits every host", "*", "https://anything.org", true},
    {"star admits an address", "*", "http://127.0.0.1:56362", true},
    {"trailing dot admits any top-level label", "example.", "https://example.org", true},
    {"trailing dot is not a sub-domain rule", "example.", "https://www.example.com", false},
    {"entry with a scheme never matches", "https://example.com", "https://example.com", false},
    {"entry with a path never matches", "example.com/path", "https://example.com", false},
    {"final slash of an entry is dropped", "example.com/", "https://example.com", true},
    {"origin with a final slash", "example.com", "https://example.com/", true},
    {"upper-case host, lower-case entry", "example.com", "https://EXAMPLE.COM", true},
    {"lower-case host, upper-case entry", "EXAMPLE.Com", "https://example.com", true},
    {"upper-case scheme is kept in the host", "example.com", "HTTPS://example.com", false},
    {"upper-case scheme only passes a star", "*", "HTTPS://example.com", true},
    {"underscore in the host is not a URL", "*", "https://my_host.example.com", false},
    {"path after the port is not a URL", "*", "https://example.com:443/path", false},
    {"other scheme is not a URL", "*", "ftp://example.com", false},
    {"null origin text", "*", "null", false},
    {"empty list admits nobody", "", "https://example.com", false},
    {"list of blanks and separators admits nobody", " ; ;\t", "https://example.com", false},
    {"entries are trimmed", " example.org ;\texample.com\r\n", "https://example.com", true},
    {"second entry", "example.org;example.com", "https://example.com:1", true},
    {"star inside an entry", "a*e.com", "https://abcde.com", true},
    {"star inside an entry needs its ends", "a*e.com", "https://bcde.com", false},
    {"stars in a row match as one", "**.example.com", "https://a.example.com", true},
    {"hyphen and digits are literal", "my-host2.example.com", "https://my-host2.example.com", true},
    {"entry with a colon never matches", "example.com:443", "https://example.com:443", false},
    // A list is a list of sites: what a regular expression would read as syntax is literal.
    {"brackets are literal", "example.org;[a-c]x.com", "https://bx.com", false},
    {"alternation bar is literal", "a|b", "https://a", false},
    {"plus is literal", "a+.com", "https://aa.com", false},
    {"question mark is literal", "ab?.com", "https://a.com", false},
    {"parenthesis is literal", "exa(mple.com", "https://example.com", false},
    {"back-reference is literal", "(a)\\1", "https://aa", false},
    {"counted repetition is literal", "a{2}", "https://aa", false},
    {"caret and dollar are literal", "^example.com$", "https://example.com", false},
    {"star beside literal syntax", "(*)", "https://a", false},
    {"stored counted repetition of a group", "(*){0,5000}", "https://a", false},
    {"stored nested repetition", "(\\S{0,9}){0,3000}", "https://a", false},
    {"stored deep groups", "((((((((((*)))))))))){0,3000}", "https://a", false},
    {"stored overflowing count", "m{9666666666666666666,", "https://m", false},
    // The entries of such a list once made an alternation too long for any caller to pass.
    {"address entry among ten domains admits a listed host",
     "one.example.com;two.example.com;three.example.com;four.example.com;five.example.com;"
     "six.example.com;seven.example.com;eight.example.com;nine.example.com;ten.example.com;"
     "[::1]",
     "https://seven.example.com:8443", true},
    {"address entry among ten domains refuses others",
     "one.example.com;two.example.com;three.example.com;four.example.com;five.example.com;"
     "six.example.com;seven.example.com;eight.example.com;nine.example.com;ten.example.com;"
     "[::1]",
     "https://eleven.example.com", false},
    // An origin with an IPv6 address is not a URL of the fixed pattern.
    {"address entry never matches an IPv6 origin", "[::1]", "https://[::1]:56362", false},
};

void PrintTo(const DomainCase& c, std::ostream* out) {
    *out << c.name;
}

class DomainListTest : public QuillmarkValueTest,
                       public ::testing::WithParamInterface<DomainCase> {};

TEST_P(DomainListTest, AdmitsOnlyListedHosts) {
    const DomainCase& row = GetParam();
    setUnlockURL(row.domainList);
    EXPECT_EQ(checkUnlockDomain(row.origin), row.admitted);

    // The same through the store.
    ASSERT_EQ(setQuillmarkValue("ch", row.domainList, 0, "secret"), kValueStored);
    EXPECT_EQ(read("ch", row.origin), row.admitted ? "secret" : "");
    EXPECT_TRUE(urlCheckListForTesting().empty());
}

std::string caseName(const ::testing::TestParamInfo<DomainCase>& row) {
    std::string name;
    for (const char* c = row.param.name; *c != '\0'; ++c) {
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, DomainListTest, ::testing::ValuesIn(kDomainCases), caseName);

// The comparison as it was made with regular expressions: each entry with "*" turned into \S* and
// "." into \., joined into one alternation, matched ignoring case against the origin's host.
// Only lists of plain entries (no other syntax) are given to it.
bool admittedByRegexRule(const std::string& list, const std::string& origin) {
    static const std::regex url(
        "^https?:\\/\\/(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\\.(25[0-5]|2[0-4][0-9]|[01]?[0-9]"
        "[0-9]?)){3})|(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])(\\.([a-zA-Z0-9]|"
        "[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9]))*))\\/?(:\\d+)?$",
        std::regex::ECMAScript | std::regex::icase);
    if (!std::regex_match(origin, url)) {
        return false;
    }
    std::string alternation;
    std::string piece;
    std::stringstream pieces(list);
    while (std::getline(pieces, piece, ';')) {
        const size_t first = piece.find_first_not_of(" \t");
        if (first == std::string::npos) {
            continue;
        }
        piece = piece.substr(first, piece.find_last_not_of(" \t") - first + 1);
        if (piece.front() == '.') {
            piece.insert(0, "*");
        }
        if (piece.back() == '.') {
            piece += '*';
        }
        std::string pattern;
        for (char c : piece) {
            pattern += c == '*'   ? std::string("\\S*")
                       : c == '.' ? std::string("\\.")
                                  : std::string(1, c);
        }
        if (pattern.back() == '/') {
            pattern.pop_back();
        }
        alternation += "(" + pattern + "\\/?)|";
    }
    if (alternation.empty()) {
        return false;
    }
    alternation.pop_back();
    std::string host = std::regex_replace(origin, std::regex("https?:\\/\\/"), "");
    host = std::regex_replace(host, std::regex(":.*"), "");
    return std::regex_match(host,
                            std::regex(alternation, std::regex::ECMAScript | std::regex::icase));
}

// Lists of plain entries answer as they did when they were compiled as regular expressions.
TEST_F(QuillmarkValueTest, PlainListsAnswerAsTheRegexRuleDid) {
    std::mt19937 random(20261211);
    auto pick = [&random](std::initializer_list<const char*> choices) {
        std::uniform_int_distribution<size_t> index(0, choices.size() - 1);
        return std::string(choices.begin()[index(random)]);
    };
    auto chance = [&random](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(random) < percent;
    };
    // Hosts and entries are drawn from the same few labels, so that many pairs match.
    auto label = [&] { return pick({"a", "b", "ab", "a-b", "A", "B1", "0", "192"}); };
    auto host = [&] {
        std::string text = label();
        while (chance(50)) {
            text += "." + label();
        }
        return text;
    };
    auto entry = [&] {
        std::string text;
        const int parts = std::uniform_int_distribution<int>(1, 4)(random);
        for (int i = 0; i < parts; ++i) {
            text += pick({"*", ".", "a", "b", "ab", "-", "A", "B1", "0", "192", "/", ":", "_", "*.",
                          ".*", "a.b"});
        }
        return text;
    };
    int admitted = 0;
    const int kRounds = 3000;
    for (int round = 0; round < kRounds; ++round) {
        std::string list;
        const int entries = std::uniform_int_distribution<int>(1, 4)(random);
        for (int i = 0; i < entries; ++i) {
            list += (i > 0 ? ";" : "") + std::string(chance(20) ? " " : "") + entry() +
                    (chance(20) ? "\t" : "");
        }
        std::string origin = pick({"https://", "http://", "HTTPS://", "Http://"}) + host();
        if (chance(20)) {
            origin += "/";
        }
        if (chance(30)) {
            origin += ":" + pick({"80", "8443", "56362"});
        }
        const bool expected = admittedByRegexRule(list, origin);
        setUnlockURL(list.c_str());
        ASSERT_EQ(checkUnlockDomain(origin.c_str()), expected)
            << "list \"" << list << "\", origin \"" << origin << "\"";
        admitted += expected ? 1 : 0;
    }
    // Both answers come up often enough for the comparison to mean something.
    EXPECT_GT(admitted, kRounds / 10);
    EXPECT_LT(admitted, kRounds * 9 / 10);
}

TEST_F(QuillmarkValueTest, ListEntriesAreTrimmedAndDotsWidened) {
    setUnlockURL(" .example.com ;; example. ;*;a.b;(x)+");
    EXPECT_EQ(urlCheckListForTesting(),
              (std::vector<std::string>{"*.example.com", "example.*", "*", "a.b", "(x)+"}));
}

// A page chooses the list and its origin; neither may stall the service.
TEST_F(QuillmarkValueTest, PathologicalListsAndOriginsAnswerAtOnce) {
    const std::string longLabel(63, 'a');
    std::string longHost = longLabel;
    while (longHost.size() < 240) {
        longHost += "." + longLabel;
    }
    const std::string hostOrigin = "https://" + longHost.substr(0, 240);
    const char* lists[] = {
        "(a+)+b",
        "*a*a*a*a*a*a*a*a*a*a*a*a*a*b",
        "(a|aa)+b;((a*)*)*b;(a|a?)+b",
    };
    const auto begin = std::chrono::steady_clock::now();
    for (const char* list : lists) {
        setUnlockURL(list);
        EXPECT_FALSE(checkUnlockDomain(hostOrigin.c_str())) << list;
    }
    // A backtracking matcher takes hours on these; the bound leaves room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
}

// A read holds the request lock, so every other page waits for it: the worst lists a page can
// store, read against the longest origin that is compared at all, must answer within 50 ms.
TEST_F(QuillmarkValueTest, WorstCaseReadsStayWithinFiftyMilliseconds) {
    std::string host;
    while (host.size() + 64 <= 484) {
        host += std::string(63, 'a') + ".";
    }
    host += std::string(484 - host.size(), 'a');
    const std::string origin = "https://" + host;
    ASSERT_EQ(origin.size(), 492u);
    auto repeated = [](const std::string& piece) {
        std::string list;
        while (list.size() + piece.size() <= kMaxDomainListLength) {
            list += piece;
        }
        return list;
    };
    std::string distinct;
    for (int i = 0; distinct.size() < kMaxDomainListLength - 16; ++i) {
        distinct +=
            "*" + std::string(static_cast<size_t>(i % 7 + 1), 'a') + "*" + std::to_string(i) + ";";
    }
    struct Case {
        const char* name;
        std::string list;
        bool admitted;
    };
    const Case cases[] = {
        {"stars", repeated("*;"), true},
        {"one entry of stars and letters", repeated("*a"), false},
        {"dotted stars", repeated("*.*;"), true},
        {"distinct entries", distinct, false},
        {"entries of regular-expression syntax", repeated("(a*)*b;"), false},
        {"counted repetitions of a group", repeated("(*){0,5000};"), false},
        {"nested counted repetitions", repeated("(\\S{0,9}){0,3000};"), false},
        {"deep groups", repeated("((((((((((*)))))))))){0,3000};"), false},
        {"one entry of syntax and stars", repeated("(*)"), false},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(setQuillmarkValue("slow", c.list.c_str(), 0, "v"), kValueStored) << c.name;
        // The best of three runs: the bound is on the work, not on the machine's other load.
        auto best = std::chrono::steady_clock::duration::max();
        for (int run = 0; run < 3; ++run) {
            const auto begin = std::chrono::steady_clock::now();
            EXPECT_EQ(read("slow", origin.c_str()), c.admitted ? "v" : "") << c.name;
            best = std::min(best, std::chrono::steady_clock::now() - begin);
        }
        EXPECT_LT(best, std::chrono::milliseconds(50)) << c.name;
    }
}

TEST_F(QuillmarkValueTest, OverlongOriginIsNeverAdmitted) {
    std::string host;
    while (host.size() < kMaxOriginLength) {
        host += "abcdefgh.";
    }
    host += "com";
    const std::string origin = "https://" + host;
    setUnlockURL("*");
    EXPECT_FALSE(checkUnlockDomain(origin.c_str()));
    // A very long one must not exhaust the stack of a matcher either.
    const std::string huge = "https://" + std::string(200000, 'a');
    EXPECT_FALSE(checkUnlockDomain(huge.c_str()));
}

TEST_F(QuillmarkValueTest, OverlongDomainListIsRefused) {
    const std::string fits(kMaxDomainListLength, '*');
    const std::string overlong(kMaxDomainListLength + 1, '*');
    EXPECT_EQ(setQuillmarkValue("long", overlong.c_str(), 0, "v"), kValueBadArgument);
    EXPECT_FALSE(valueEntryForTesting(0).used);
    EXPECT_EQ(setQuillmarkValue("long", fits.c_str(), 0, "v"), kValueStored);
    EXPECT_EQ(read("long", "https://example.com"), "v");
}

// ---- Storing and reading ---------------------------------------------------------------------

TEST_F(QuillmarkValueTest, StoresAndReadsBack) {
    ASSERT_EQ(setQuillmarkValue("ch", "example.com", 0, "the value"), kValueStored);
    const ValueEntryView entry = valueEntryForTesting(0);
    EXPECT_TRUE(entry.used);
    EXPECT_EQ(entry.channel, "ch");
    EXPECT_EQ(entry.expiry, 0);
    // "QuillmarkAESCBC" + 9 characters + NUL = 25 bytes, padded to 32.
    EXPECT_EQ(entry.cipherLength, 32);
    EXPECT_EQ(read("ch", "https://example.com"), "the value");
    EXPECT_EQ(read("ch", "https://example.com"), "the value");
    EXPECT_EQ(read("other", "https://example.com"), "");
    EXPECT_EQ(read(nullptr, "https://example.com"), "");
    EXPECT_EQ(read("ch", nullptr), "");
}

TEST_F(QuillmarkValueTest, ChannelIgnoresCaseAndStoringAgainReplaces) {
    ASSERT_EQ(setQuillmarkValue("Channel", "example.com", 0, "first"), kValueStored);
    ASSERT_EQ(setQuillmarkValue("other", "*", 0, "x"), kValueStored);
    ASSERT_EQ(setQuillmarkValue("CHANNEL", "example.org", 5, "second"), kValueStored);

    const ValueEntryView entry = valueEntryForTesting(0);
    EXPECT_EQ(entry.channel, "Channel");
    EXPECT_EQ(entry.domainList, "example.org");
    EXPECT_EQ(entry.timeoutMinutes, 5);
    EXPECT_FALSE(valueEntryForTesting(2).used);
    EXPECT_EQ(read("channel", "https://example.org"), "second");
    EXPECT_EQ(read("channel", "https://example.com"), "");
}

TEST_F(QuillmarkValueTest, BadArgumentsStoreNothing) {
    const std::string longestChannel(kMaxChannelLength, 'c');
    const std::string overChannel(kMaxChannelLength + 1, 'c');
    const std::string hugeChannel(64 * 1024 + 1, 'c');
    struct Case {
        const char* name;
        const char* channel;
        const char* list;
        int32_t timeout;
        const char* value;
    };
    const Case cases[] = {
        {"no channel", nullptr, "*", 0, "v"},
        {"no list", "ch", nullptr, 0, "v"},
        {"no value", "ch", "*", 0, nullptr},
        {"negative timeout", "ch", "*", -1, "v"},
        {"channel one byte over the limit", overChannel.c_str(), "*", 0, "v"},
        {"channel of 64 KiB and one byte", hugeChannel.c_str(), "*", 0, "v"},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(setQuillmarkValue(row.channel, row.list, row.timeout, row.value),
                  kValueBadArgument)
            << row.name;
    }
    EXPECT_FALSE(valueEntryForTesting(0).used);

    ASSERT_EQ(setQuillmarkValue(longestChannel.c_str(), "*", 0, "v"), kValueStored);
    EXPECT_EQ(read(longestChannel.c_str(), "https://a.b"), "v");
}

TEST_F(QuillmarkValueTest, ExpirySlidesWithEachRead) {
    ASSERT_EQ(setQuillmarkValue("ch", "*", 5, "v"), kValueStored);
    EXPECT_EQ(valueEntryForTesting(0).expiry, kStart + 300);

    fakeNow = kStart + 4 * 60;
    EXPECT_EQ(read("ch", "https://a.b"), "v");
    EXPECT_EQ(valueEntryForTesting(0).expiry, kStart + 9 * 60);

    fakeNow = kStart + 9 * 60;  // exactly at the expiry: still valid
    EXPECT_EQ(read("ch", "https://a.b"), "v");

    fakeNow = kStart + 14 * 60 + 1;
    EXPECT_EQ(read("ch", "https://a.b"), "");
    // An expired entry stays until it is overwritten or swept.
    EXPECT_TRUE(valueEntryForTesting(0).used);
    EXPECT_EQ(read("ch", "https://a.b"), "");

    // A refused caller does not slide the expiry.
    ASSERT_EQ(setQuillmarkValue("ch", "example.com", 5, "w"), kValueStored);
    fakeNow += 4 * 60;
    EXPECT_EQ(read("ch", "https://other.com"), "");
    fakeNow += 2 * 60;
    EXPECT_EQ(read("ch", "https://example.com"), "");
}

TEST_F(QuillmarkValueTest, LongTimeoutsDoNotOverflow) {
    ASSERT_EQ(setQuillmarkValue("ch", "*", 40'000'000, "v"), kValueStored);
    EXPECT_EQ(valueEntryForTesting(0).expiry, kStart + int64_t{2'400'000'000});
    ASSERT_EQ(setQuillmarkValue("ch", "*", INT32_MAX, "v"), kValueStored);
    EXPECT_EQ(valueEntryForTesting(0).expiry, kStart + int64_t{60} * INT32_MAX);
    fakeNow = kStart + int64_t{3'000'000'000};
    EXPECT_EQ(read("ch", "https://a.b"), "v");
}

TEST_F(QuillmarkValueTest, FullStoreSweepsExpiredAndNonExpiringEntries) {
    for (int i = 0; i < kValueEntryCount; ++i) {
        ASSERT_EQ(setQuillmarkValue(channelName(i).c_str(), "*", 10, "v"), kValueStored);
    }
    EXPECT_EQ(setQuillmarkValue("extra", "*", 10, "v"), kValueStoreFull);
    for (int i = 0; i < kValueEntryCount; ++i) {
        EXPECT_EQ(valueEntryForTesting(i).channel, channelName(i));
    }

    ASSERT_EQ(setQuillmarkValue(channelName(3).c_str(), "*", 1, "v"), kValueStored);
    ASSERT_EQ(setQuillmarkValue(channelName(5).c_str(), "*", 0, "v"), kValueStored);
    ASSERT_EQ(setQuillmarkValue(channelName(7).c_str(), "*", 1, "v"), kValueStored);
    fakeNow = kStart + 2 * 60;
    ASSERT_EQ(setQuillmarkValue("extra", "*", 10, "new"), kValueStored);

    EXPECT_EQ(valueEntryForTesting(7).channel, "extra");
    EXPECT_FALSE(valueEntryForTesting(3).used);
    EXPECT_FALSE(valueEntryForTesting(5).used);
    for (int i : {0, 1, 2, 4, 6, 8, 15}) {
        EXPECT_EQ(valueEntryForTesting(i).channel, channelName(i));
    }
    EXPECT_EQ(read("extra", "https://a.b"), "new");
    EXPECT_EQ(read(channelName(3).c_str(), "https://a.b"), "");
}

size_t linesContaining(const LogCapture& log, const std::string& text) {
    const std::vector<std::string> messages = log.messages();
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](const auto& m) {
        return m.find(text) != std::string::npos;
    }));
}

TEST_F(QuillmarkValueTest, ValueLongerThanTheLimitIsRefused) {
    LogCapture log;
    const std::string largest(kMaxValueBytes, 'v');
    const std::string longer(kMaxValueBytes + 1, 'w');
    EXPECT_EQ(setQuillmarkValue("big", "*", 0, longer.c_str()), kValueBadArgument);
    EXPECT_FALSE(valueEntryForTesting(0).used);
    EXPECT_EQ(linesContaining(log, "QuillmarkValue value too long, limit: 65536"), 1u);

    ASSERT_EQ(setQuillmarkValue("big", "*", 0, largest.c_str()), kValueStored);
    EXPECT_EQ(setQuillmarkValue("big", "*", 0, longer.c_str()), kValueBadArgument);
    EXPECT_EQ(read("big", "https://a.b"), largest);
}

TEST_F(QuillmarkValueTest, StoreBytesAreBoundedAndSweptWhenFull) {
    LogCapture log;
    const std::string largest(kMaxValueBytes, 'v');
    ASSERT_EQ(setQuillmarkValue(channelName(0).c_str(), "*", 10, largest.c_str()), kValueStored);
    const size_t each = static_cast<size_t>(valueEntryForTesting(0).cipherLength);
    const int fit = static_cast<int>(kMaxStoreBytes / each);
    ASSERT_GE(fit, 2);
    ASSERT_LT(fit + 1, kValueEntryCount);
    for (int i = 1; i < fit; ++i) {
        ASSERT_EQ(setQuillmarkValue(channelName(i).c_str(), "*", 10, largest.c_str()),
                  kValueStored);
    }
    // A short value without expiry still fits beside them.
    ASSERT_EQ(setQuillmarkValue("short", "*", 0, "s"), kValueStored);

    // One more of the largest: sweeping "short" would not make room, so nothing is swept.
    EXPECT_EQ(setQuillmarkValue("extra", "*", 10, largest.c_str()), kValueStoreFull);
    EXPECT_EQ(linesContaining(log, "QuillmarkValue: Full"), 1u);
    EXPECT_EQ(read("short", "https://a.b"), "s");
    for (int i = 0; i < fit; ++i) {
        EXPECT_EQ(read(channelName(i).c_str(), "https://a.b"), largest) << i;
    }
    // Storing a channel again counts its new bytes in place of its old ones.
    EXPECT_EQ(setQuillmarkValue(channelName(0).c_str(), "*", 10, largest.c_str()), kValueStored);

    // Once the values have expired, the full store sweeps them (and "short") out.
    fakeNow = kStart + 11 * 60;
    ASSERT_EQ(setQuillmarkValue("extra", "*", 10, largest.c_str()), kValueStored);
    EXPECT_EQ(read("extra", "https://a.b"), largest);
    EXPECT_EQ(read("short", "https://a.b"), "");
    EXPECT_EQ(read(channelName(1).c_str(), "https://a.b"), "");
}

// The store's total counts what each entry keeps of the page's texts: its channel name and its
// domain list as well as the ciphertext. Each row fills an empty store with entries alike (none
// expires) until it is full.
TEST_F(QuillmarkValueTest, StoreTotalCountsNamesListsAndCiphertext) {
    struct Case {
        const char* name;
        size_t valueBytes;
        size_t channelLength;
        size_t listLength;
        int fits;
    };
    const Case cases[] = {
        {"largest values under short names", kMaxValueBytes, 8, 1, 7},
        {"largest values under the longest names and lists", kMaxValueBytes, kMaxChannelLength,
         kMaxDomainListLength, 7},
        {"32 KiB values under short names", 32 * 1024, 8, 1, 15},
        {"32 KiB values under the longest names and lists", 32 * 1024, kMaxChannelLength,
         kMaxDomainListLength, 14},
        {"30 KiB values under short names", 30 * 1024, 8, 1, kValueEntryCount},
        {"30 KiB values under the longest names and lists", 30 * 1024, kMaxChannelLength,
         kMaxDomainListLength, 15},
        {"short values under the longest names and lists", 16, kMaxChannelLength,
         kMaxDomainListLength, kValueEntryCount},
    };
    for (const Case& row : cases) {
        initValueStore(kKey.data(), kIv.data());
        const std::string value(row.valueBytes, 'v');
        const std::string list(row.listLength, '*');
        int stored = 0;
        for (int i = 0; i <= kValueEntryCount; ++i) {
            std::string channel = std::to_string(i);
            channel.insert(0, row.channelLength - channel.size(), 'c');
            const int32_t result =
                setQuillmarkValue(channel.c_str(), list.c_str(), 10, value.c_str());
            if (result != kValueStored) {
                EXPECT_EQ(result, kValueStoreFull) << row.name;
                break;
            }
            ++stored;
        }
        EXPECT_EQ(stored, row.fits) << row.name;
        size_t total = 0;
        for (int i = 0; i < kValueEntryCount; ++i) {
            const ValueEntryView entry = valueEntryForTesting(i);
            total += entry.channel.size() + entry.domainList.size() +
                     static_cast<size_t>(entry.cipherLength);
        }
        EXPECT_LE(total, kMaxStoreBytes) << row.name;
    }
}

TEST_F(QuillmarkValueTest, ValueThatCannotBeEncipheredIsNotStored) {
    ASSERT_EQ(setQuillmarkValue("ch", "example.com", 0, "old"), kValueStored);
    aesSetValueKey(nullptr, nullptr);
    EXPECT_EQ(setQuillmarkValue("ch", "*", 5, "new"), kValueNotEnciphered);
    EXPECT_EQ(setQuillmarkValue("fresh", "*", 0, "new"), kValueNotEnciphered);
    aesSetValueKey(kKey.data(), kIv.data());

    const ValueEntryView entry = valueEntryForTesting(0);
    EXPECT_EQ(entry.domainList, "example.com");
    EXPECT_EQ(entry.timeoutMinutes, 0);
    EXPECT_FALSE(valueEntryForTesting(1).used);
    EXPECT_EQ(read("ch", "https://example.com"), "old");
}

TEST_F(QuillmarkValueTest, ValueThatCannotBeDecipheredReadsAsNull) {
    // Enciphered under another key than the one the store deciphers with.
    const std::vector<uint8_t> otherKey = bytes(0x99);
    aesSetValueKey(otherKey.data(), kIv.data());
    ASSERT_EQ(setQuillmarkValue("ch", "*", 0, "v"), kValueStored);
    aesSetValueKey(kKey.data(), kIv.data());
    EXPECT_EQ(read("ch", "https://a.b"), "<null>");
}

TEST_F(QuillmarkValueTest, TrimsWhiteSpace) {
    std::string text = " \t\n\v\f\rtext \t\n\v\f\r";
    trimLeft(text);
    EXPECT_EQ(text, "text \t\n\v\f\r");
    trimRight(text);
    EXPECT_EQ(text, "text");
    std::string blank = " \t ";
    trimRight(blank);
    EXPECT_EQ(blank, "");
}

}  // namespace
