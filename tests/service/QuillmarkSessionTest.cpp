#include "service/QuillmarkSession.h"

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/AES.h"
#include "common/Log.h"
#include "common/Tool.h"
#include "service/AdapterInstallation.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkValue.h"
#include "support/LogCapture.h"

namespace fs = std::filesystem;
using qmtest::ProbeBuild;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr const char* kOrigin = "https://page.example";
// Stands in the expected replies for the session id the service generated.
constexpr const char* kNewId = "<new id>";

using Fields = std::vector<std::pair<std::string, std::optional<std::string>>>;

// A JSON object of the fields (values written as JSON strings with quotation marks, backslashes
// and line feeds escaped); a field without value is left out.
std::string json(const Fields& fields) {
    std::string out = "{";
    for (const auto& [key, value] : fields) {
        if (!value) {
            continue;
        }
        if (out.size() > 1) {
            out += ",";
        }
        out += "\"" + key + "\":\"";
        for (char c : *value) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (c == '\n') {
                out += "\\n";
            } else {
                out += c;
            }
        }
        out += "\"";
    }
    return out + "}";
}

// The fields of a request that opens a session on the GPKI row, with overrides (nullopt removes).
Fields opening(const Fields& overrides = {}) {
    Fields fields = {{"PathID", kGpkiPathId},
                     {"minServerVersion", "1.0.22.0303"},
                     {"FunctionName", "QuillmarkEcho"}};
    for (const auto& [key, value] : overrides) {
        bool replaced = false;
        for (auto& field : fields) {
            if (field.first == key) {
                field.second = value;
                replaced = true;
            }
        }
        if (!replaced) {
            fields.emplace_back(key, value);
        }
    }
    return fields;
}

bool hasGeneratedForm(const std::string& id) {
    if (id.size() != 12 || id.substr(8) != "_SID") {
        return false;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(id[i])) && !(id[i] >= 'A' && id[i] <= 'Z')) {
            return false;
        }
    }
    return true;
}

ReplyMap send(const Fields& fields, const std::string& origin = kOrigin) {
    std::optional<ReplyMap> reply = dispatchJson(json(fields), origin);
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(ReplyMap{});
}

// Opens a session with an echo and returns its id.
std::string openSession(const Fields& overrides = {}) {
    ReplyMap reply = send(opening(overrides));
    EXPECT_EQ(reply["result"], "0");
    return reply["SessionID"];
}

const ReplyMap kEchoReply = {{"SessionID", kNewId},
                             {"ServerVersion", "1.0.22.0303"},
                             {"LibVersion", "1.0.0.1"},
                             {"result", "0"}};

ReplyMap withEntries(ReplyMap reply, const ReplyMap& changes) {
    for (const auto& [key, value] : changes) {
        reply[key] = value;
    }
    return reply;
}

// ---- A new session ----------------------------------------------------------------------------

struct OpeningCase {
    const char* name;
    Fields overrides;
    ReplyMap expected;
    std::vector<std::string> calls;  // the probe's journal, by function name
    std::optional<std::string> unlock = std::nullopt;
    std::optional<std::string> version = std::nullopt;
    std::optional<std::string> answer = std::nullopt;
    ProbeBuild gpki = ProbeBuild::kBothExports;
};

void PrintTo(const OpeningCase& c, std::ostream* out) {
    *out << c.name;
}

const std::vector<std::string> kHandshake = {"Quillmark_Unlock", "Quillmark_GetVersion"};
const std::vector<std::string> kHandshakeReleased = {"Quillmark_Unlock", "Quillmark_GetVersion",
                                                     "Quillmark_Release"};
const std::vector<std::string> kUnlockReleased = {"Quillmark_Unlock", "Quillmark_Release"};
const ReplyMap kSessionIdOnly = {{"SessionID", kNewId}};

const OpeningCase kOpeningCases[] = {
    {"echo", {}, kEchoReply, kHandshake},
    {"echo_short_name", {{"FunctionName", "echo"}}, kEchoReply, kHandshake},
    {"page_function",
     {{"FunctionName", "SignData"}},
     withEntries(kEchoReply, {{"result", "SignData#1"}}),
     {"Quillmark_Unlock", "Quillmark_GetVersion", "SignData"}},
    {"answer_with_line_breaks",
     {{"FunctionName", "SignData"}},
     withEntries(kEchoReply, {{"result", "line 1\nline 2\r\n"}}),
     {"Quillmark_Unlock", "Quillmark_GetVersion", "SignData"},
     std::nullopt,
     std::nullopt,
     "line 1\nline 2\r\n"},
    {"empty_answer",
     {{"FunctionName", "SignData"}},
     withEntries(kEchoReply, {{"result", ""}}),
     {"Quillmark_Unlock", "Quillmark_GetVersion", "SignData"},
     std::nullopt,
     std::nullopt,
     ""},
    {"close_loads_nothing", {{"FunctionName", "QuillmarkClose"}}, kSessionIdOnly, {}},
    {"release_loads_nothing", {{"FunctionName", "quillmarkrelease"}}, kSessionIdOnly, {}},
    {"force_release_loads_nothing",
     {{"FunctionName", "QuillmarkForceRelease"}},
     kSessionIdOnly,
     {}},
    {"value_store_names_go_to_the_adapter",
     {{"FunctionName", "getQuillmarkValue"}, {"channel", "c"}},
     withEntries(kEchoReply, {{"result", "getQuillmarkValue#1"}}),
     {"Quillmark_Unlock", "Quillmark_GetVersion", "getQuillmarkValue"}},
    {"unknown_path_id_with_a_row_pair",
     {{"PathID", "0123456789ABCDEF0123456789ABCDEF"},
      {"LibDir", "Oqt"},
      {"ComName", "OqtTvqGPKICryptXrbAdapter"}},
     kEchoReply,
     kHandshake},
    {"unknown_path_id_with_another_pair",
     {{"PathID", "0123456789ABCDEF0123456789ABCDEF"}, {"LibDir", "Oqt"}, {"ComName", "OqtOther"}},
     {{"result", "61009"}},
     {}},
    {"pair_in_other_case",
     {{"PathID", std::nullopt}, {"LibDir", "oqt"}, {"ComName", "OQTTVQGPKICRYPTXRBADAPTER"}},
     kEchoReply,
     kHandshake},
    {"pair_outside_the_table",
     {{"PathID", std::nullopt}, {"LibDir", "..\\Oqt"}, {"ComName", "OqtTvqGPKICryptXrbAdapter"}},
     {{"result", "61009"}},
     {}},
    {"no_location", {{"PathID", std::nullopt}}, {{"result", "61009"}}, {}},
    {"library_missing", {{"PathID", kHcaPathId}}, {{"result", "61902"}}, {}},
    {"no_entry_point",
     {},
     {{"result", "61906"}},
     {},
     std::nullopt,
     std::nullopt,
     std::nullopt,
     ProbeBuild::kNoEntryPoint},
    // A library with only the text export gets no text for the service's own maps, answers
    // "" to the unlock and is released.
    {"text_export_only",
     {},
     {{"result", ""}},
     {"callMethod", "callMethod"},
     std::nullopt,
     std::nullopt,
     std::nullopt,
     ProbeBuild::kCallMethodOnly},
    {"unlock_refused", {}, {{"result", "Not for this page"}}, kUnlockReleased, "Not for this page"},
    {"unlock_code", {}, {{"result", "61901"}}, kUnlockReleased, "61901"},
    {"version_error_code", {}, {{"result", "61234"}}, kHandshakeReleased, std::nullopt, "61234"},
    {"version_error_low_bound",
     {},
     {{"result", "61000"}},
     kHandshakeReleased,
     std::nullopt,
     "61000"},
    {"version_error_high_bound",
     {},
     {{"result", "61999"}},
     kHandshakeReleased,
     std::nullopt,
     "61999"},
    // Outside the range the answer is a version, and one of one part fails the default gate.
    {"version_number_outside_the_range",
     {},
     {{"result", "61204"}},
     kHandshakeReleased,
     std::nullopt,
     "62000"},
    {"version_list_reads_as_one",
     {},
     withEntries(kEchoReply, {{"LibVersion", "1,6,3,10070"}}),
     kHandshake,
     std::nullopt,
     "1,6,3,10070"},
    {"version_empty", {}, kSessionIdOnly, kHandshakeReleased, std::nullopt, ""},
    {"no_min_server_version",
     {{"minServerVersion", std::nullopt}},
     {{"result", "61203"}},
     kHandshakeReleased},
    {"newer_min_server_version",
     {{"minServerVersion", "1.0.22.0304"}},
     {{"result", "61203"}},
     kHandshakeReleased},
    {"older_min_server_version", {{"minServerVersion", "1.0.21.9999"}}, kEchoReply, kHandshake},
    {"min_server_version_of_other_length",
     {{"minServerVersion", "1.0.22"}},
     {{"result", "61203"}},
     kHandshakeReleased},
    {"min_server_version_not_a_number",
     {{"minServerVersion", "1.0.x.0303"}},
     {{"result", "61203"}},
     kHandshakeReleased},
    {"min_server_version_with_empty_part",
     {{"minServerVersion", "1.0..0303"}},
     {{"result", "61203"}},
     kHandshakeReleased},
    {"newer_min_lib_version",
     {{"minLibVersion", "1.0.0.2"}},
     {{"result", "61204"}},
     kHandshakeReleased},
    {"equal_min_lib_version", {{"minLibVersion", "1.0.0.1"}}, kEchoReply, kHandshake},
    {"installer_version",
     {{"InstallerName", "Setup.exe"}},
     withEntries(kEchoReply, {{"InstallerVersion", "2.3.4"}}),
     kHandshake},
    // No version file: no "InstallerVersion" at all, rather than an empty one.
    {"installer_version_file_missing", {{"InstallerName", "Missing.exe"}}, kEchoReply, kHandshake},
    {"installer_name_climbing_out", {{"InstallerName", "..\\Setup"}}, kEchoReply, kHandshake},
    {"installer_name_with_slash", {{"InstallerName", "sub/Setup"}}, kEchoReply, kHandshake},
    {"installer_name_with_drive", {{"InstallerName", "C:Setup"}}, kEchoReply, kHandshake},
};

class OpeningTest : public ::testing::TestWithParam<OpeningCase> {};

TEST_P(OpeningTest, RepliesAndCallsTheAdapterInOrder) {
    const OpeningCase& c = GetParam();
    AdapterInstallation installation(c.gpki, std::nullopt);
    std::ofstream(installation.dataFolder() / "SetupVersion.txt") << "2.3.4";
    // A file the refused installer names would reach.
    std::ofstream(installation.dataFolder() / ".." / "SetupVersion.txt") << "outside";
    qmtest::ScopedProbeSetting unlock("QM_PROBE_UNLOCK", c.unlock);
    qmtest::ScopedProbeSetting version("QM_PROBE_VERSION", c.version);
    qmtest::ScopedProbeSetting answer("QM_PROBE_ANSWER", c.answer);

    ReplyMap reply = send(opening(c.overrides));
    ReplyMap expected = c.expected;
    if (expected.count("SessionID") != 0) {
        EXPECT_TRUE(hasGeneratedForm(reply["SessionID"])) << reply["SessionID"];
        expected["SessionID"] = reply["SessionID"];
    }
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(installation.journalFunctions(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(Requests, OpeningTest, ::testing::ValuesIn(kOpeningCases),
                         [](const ::testing::TestParamInfo<OpeningCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(OpeningHandshakeTest, UnlockCarriesTheOriginAndEachSystemMapItsIndex) {
    AdapterInstallation installation;
    openSession();
    const std::vector<qmtest::ProbeCall> calls = installation.journal();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].entryPoint, "callJsonMapMethod");
    EXPECT_EQ(calls[0].index, "-2");
    EXPECT_EQ(calls[0].url, kOrigin);
    EXPECT_EQ(calls[0].keys, "AdapterJsonKeyCheck,functionname,QuillmarkFunctionIndex,url");
    EXPECT_EQ(calls[1].index, "-1");
    EXPECT_EQ(calls[1].keys, "AdapterJsonKeyCheck,functionname,QuillmarkFunctionIndex");
    EXPECT_EQ(fs::path(calls[0].copy), installation.sessionCopy(0, kGpkiAdapterName));
}

TEST(OpeningHandshakeTest, TheSecondRowLoadsItsOwnLibrary) {
    AdapterInstallation installation;
    openSession({{"PathID", kHcaPathId}, {"LibDir", "Other"}, {"ComName", "Other"}});
    ASSERT_FALSE(installation.journal().empty());
    EXPECT_EQ(fs::path(installation.journal()[0].copy),
              installation.sessionCopy(0, kHcaAdapterName));
}

// ---- A known session --------------------------------------------------------------------------

TEST(KnownSessionTest, EchoRepliesTheVersionsWithoutCallingTheAdapter) {
    AdapterInstallation installation;
    std::ofstream(installation.dataFolder() / "SetupVersion.txt") << "2.3.4";
    const std::string id = openSession({{"InstallerName", "Setup"}});
    const std::string plain = openSession();
    const std::string missing = openSession({{"InstallerName", "Missing"}});
    installation.forget();
    EXPECT_EQ(send({{"SessionId", id}, {"FunctionName", "Echo"}}),
              (ReplyMap{{"ServerVersion", "1.0.22.0303"},
                        {"LibVersion", "1.0.0.1"},
                        {"InstallerVersion", "2.3.4"},
                        {"result", "0"}}));
    const ReplyMap withoutInstaller = {
        {"ServerVersion", "1.0.22.0303"}, {"LibVersion", "1.0.0.1"}, {"result", "0"}};
    EXPECT_EQ(send({{"SessionId", plain}, {"FunctionName", "QuillmarkEcho"}}), withoutInstaller);
    EXPECT_EQ(send({{"SessionId", missing}, {"FunctionName", "Echo"}}), withoutInstaller);
    EXPECT_THAT(installation.journal(), IsEmpty());
}

TEST(KnownSessionTest, PageFunctionsGoToTheSessionsOwnCopy) {
    AdapterInstallation installation;
    const std::string first = openSession();
    const std::string second = openSession();
    installation.forget();
    EXPECT_EQ(send({{"SessionId", first}, {"FunctionName", "SignData"}}),
              (ReplyMap{{"result", "SignData#1"}}));
    EXPECT_EQ(send({{"SessionId", second}, {"FunctionName", "SignData"}}),
              (ReplyMap{{"result", "SignData#1"}}));
    EXPECT_EQ(send({{"SessionId", first}, {"FunctionName", "SignData"}, {"pin", "1234"}}),
              (ReplyMap{{"result", "SignData#2"}}));
    const std::vector<qmtest::ProbeCall> calls = installation.journal();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(fs::path(calls[0].copy), installation.sessionCopy(0, kGpkiAdapterName));
    EXPECT_EQ(fs::path(calls[1].copy), installation.sessionCopy(1, kGpkiAdapterName));
    // The page's own map, with every key it sent.
    EXPECT_EQ(calls[2].keys, "FunctionName,pin,SessionId");
}

struct ReleaseCase {
    const char* name;
    std::optional<std::string> mode;  // "QuillmarkMode" of the opening echo
    const char* function;
    bool released;
};

void PrintTo(const ReleaseCase& c, std::ostream* out) {
    *out << c.name;
}

class ReleaseTest : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(ReleaseTest, BrowserModeSurvivesCloseAndReleaseButNotForceRelease) {
    const ReleaseCase& c = GetParam();
    AdapterInstallation installation;
    const std::string id = openSession({{"QuillmarkMode", c.mode}});
    const fs::path copy = installation.sessionCopy(0, kGpkiAdapterName);
    installation.forget();

    EXPECT_EQ(send({{"SessionId", id}, {"FunctionName", c.function}}), ReplyMap{});
    if (c.released) {
        ASSERT_EQ(installation.journal().size(), 1u);
        EXPECT_EQ(installation.journal()[0].function, "Quillmark_Release");
        EXPECT_EQ(installation.journal()[0].index, "-3");
        EXPECT_EQ(GetModuleHandleW(copy.wstring().c_str()), nullptr);
        EXPECT_FALSE(fs::exists(copy));
        EXPECT_EQ(sessionIdForTesting(0), "");
    } else {
        EXPECT_THAT(installation.journal(), IsEmpty());
        EXPECT_NE(GetModuleHandleW(copy.wstring().c_str()), nullptr);
        EXPECT_EQ(sessionIdForTesting(0), id);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Functions, ReleaseTest,
    ::testing::Values(ReleaseCase{"close", std::nullopt, "QuillmarkClose", true},
                      ReleaseCase{"release", "0", "QuillmarkRelease", true},
                      ReleaseCase{"force_release", std::nullopt, "QuillmarkForceRelease", true},
                      ReleaseCase{"browser_close", "1", "QuillmarkClose", false},
                      ReleaseCase{"browser_release_true", "true", "QuillmarkRelease", false},
                      ReleaseCase{"browser_force_release", "1", "QuillmarkForceRelease", true}),
    [](const ::testing::TestParamInfo<ReleaseCase>& param) {
        return std::string(param.param.name);
    });

// The value store's functions on a known session, in order: each row sees the rows before it.
struct ValueCase {
    const char* name;
    Fields fields;  // besides "SessionId"
    const char* origin;
    const char* result;
};

const ValueCase kValueCases[] = {
    {"store",
     {{"FunctionName", "setQuillmarkValue"},
      {"channel", "card"},
      {"domain_list", ".example"},
      {"value", "secret text"},
      {"timeout", "5"}},
     kOrigin,
     "0"},
    {"read_in_other_case",
     {{"FunctionName", "getQuillmarkValue"}, {"channel", "CARD"}},
     kOrigin,
     "secret text"},
    {"read_refused",
     {{"FunctionName", "getQuillmarkValue"}, {"channel", "card"}},
     "https://elsewhere.test",
     ""},
    {"read_unknown_channel",
     {{"FunctionName", "getQuillmarkValue"}, {"channel", "x"}},
     kOrigin,
     ""},
    {"read_without_channel", {{"FunctionName", "getQuillmarkValue"}}, kOrigin, "61005"},
    {"store_without_value",
     {{"FunctionName", "setQuillmarkValue"}, {"channel", "card"}, {"domain_list", "*"}},
     kOrigin,
     "61005"},
    {"store_without_list",
     {{"FunctionName", "setQuillmarkValue"}, {"channel", "card"}, {"value", "v"}},
     kOrigin,
     "61005"},
    {"store_without_channel",
     {{"FunctionName", "setQuillmarkValue"}, {"domain_list", "*"}, {"value", "v"}},
     kOrigin,
     "61005"},
    {"store_with_negative_timeout",
     {{"FunctionName", "setQuillmarkValue"},
      {"channel", "card"},
      {"domain_list", "*"},
      {"value", "v"},
      {"timeout", "-3"}},
     kOrigin,
     "61005"},
    {"refused_stores_kept_the_value",
     {{"FunctionName", "getQuillmarkValue"}, {"channel", "card"}},
     kOrigin,
     "secret text"},
    {"store_again_replaces",
     {{"FunctionName", "SETQUILLMARKVALUE"},
      {"channel", "Card"},
      {"domain_list", "*"},
      {"value", "line 1\nline 2"}},
     kOrigin,
     "0"},
    {"read_the_new_value",
     {{"FunctionName", "getquillmarkvalue"}, {"channel", "card"}},
     "https://elsewhere.test",
     "line 1\nline 2"},
    {"store_flagged_keys",
     {{"FunctionName", "setQuillmarkValue"},
      {"channel", "Y2FyZA%3D%3D"},
      {"channel_QuillmarkBase64Flag", "true"},
      {"domain_list", "*"},
      {"value", "a*b"},
      {"value_QuillmarkFlag", "true"}},
     kOrigin,
     "0"},
    {"read_the_decoded_value",
     {{"FunctionName", "getQuillmarkValue"}, {"channel", "card"}},
     kOrigin,
     "a\\b"},
};

TEST(KnownSessionTest, ValueStoreFunctionsAnswerTheirResult) {
    AdapterInstallation installation;
    const std::string id = openSession();
    installation.forget();
    for (const ValueCase& c : kValueCases) {
        Fields fields = {{"SessionId", id}};
        fields.insert(fields.end(), c.fields.begin(), c.fields.end());
        EXPECT_EQ(send(fields, c.origin), (ReplyMap{{"result", c.result}})) << c.name;
    }
    EXPECT_THAT(installation.journal(), IsEmpty());
}

TEST(KnownSessionTest, AValueThatCannotBeEncipheredOrDecipheredAnswers61001) {
    AdapterInstallation installation;
    const std::vector<uint8_t> key(kValueKeySize, 0x11);
    const std::vector<uint8_t> iv(kValueKeySize, 0x5a);
    const std::vector<uint8_t> otherKey(kValueKeySize, 0x99);
    initValueStore(key.data(), iv.data());
    const std::string id = openSession();
    auto store = [&id](const char* channel, const char* value) {
        return send({{"SessionId", id},
                     {"FunctionName", "setQuillmarkValue"},
                     {"channel", channel},
                     {"domain_list", "*"},
                     {"value", value}});
    };
    auto read = [&id](const char* channel) {
        return send(
            {{"SessionId", id}, {"FunctionName", "getQuillmarkValue"}, {"channel", channel}});
    };
    ASSERT_EQ(store("c", "old"), (ReplyMap{{"result", "0"}}));

    LogCapture log;
    aesSetValueKey(nullptr, nullptr);
    EXPECT_EQ(store("c", "new"), (ReplyMap{{"result", "61001"}}));
    aesSetValueKey(key.data(), iv.data());
    EXPECT_EQ(read("c"), (ReplyMap{{"result", "old"}}));

    // Enciphered under another key than the one the store deciphers with.
    aesSetValueKey(otherKey.data(), iv.data());
    EXPECT_EQ(store("d", "v"), (ReplyMap{{"result", "0"}}));
    aesSetValueKey(key.data(), iv.data());
    EXPECT_EQ(read("d"), (ReplyMap{{"result", "61001"}}));
    EXPECT_TRUE(log.contains("reset Quillmark Json at file: QuillmarkSession"));
}

TEST(KnownSessionTest, HiddenResultsAreLoggedAsAsterisks) {
    AdapterInstallation installation;
    LogCapture log;
    const std::string id = openSession();
    qmtest::ScopedProbeSetting answer("QM_PROBE_ANSWER", std::string("S3CR3T"));
    send({{"SessionId", id}, {"FunctionName", "SignData"}, {"hide_result", "true"}});
    EXPECT_TRUE(log.contains(" Component result: ******"));
    EXPECT_FALSE(log.contains("S3CR3T"));
    qmtest::ScopedProbeSetting lines("QM_PROBE_ANSWER", std::string("a\nb"));
    send({{"SessionId", id}, {"FunctionName", "SignData"}});
    EXPECT_TRUE(log.contains(" Component result:"));
}

// Each log line is written under the log lock: a page's megabytes must not become one line.
TEST(KnownSessionTest, PageTextsAndComponentResultsAreLoggedBounded) {
    AdapterInstallation installation;
    LogCapture log;
    const std::string id = openSession();
    const std::string huge(2u << 20, 'Y');
    EXPECT_EQ(send(opening({{"SessionId", huge}}))["result"], "0");
    EXPECT_EQ(send({{"SessionId", id}, {"FunctionName", "getQuillmarkValue"}, {"channel", huge}}),
              (ReplyMap{{"result", ""}}));
    qmtest::ScopedProbeSetting answer("QM_PROBE_ANSWER", std::string(3000, 'r'));
    send({{"SessionId", id}, {"FunctionName", "SignData"}, {"hide_result", "true"}});

    // Checked first, so that a failure does not print megabytes.
    for (const std::string& line : log.lines()) {
        ASSERT_LT(line.size(), 2 * kMaxLoggedTextBytes + 200);
    }
    const std::string shown = std::string(kMaxLoggedTextBytes, 'Y') + "... (2097152 bytes)";
    EXPECT_TRUE(log.contains("SessionId: " + shown));
    EXPECT_TRUE(log.contains("QuillmarkValue no current channel" + shown));
    EXPECT_TRUE(log.contains(" Component result: " + std::string(kMaxLoggedTextBytes, '*') +
                             "... (3000 bytes)"));
}

// ---- The request lock ------------------------------------------------------------------------

// Stands inside the dispatcher's reading of a request's "SessionId": the reading of an encrypted
// key that cannot be deciphered ends in the miss handler, which holds it there until released.
struct HeldRead {
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> armed{false};
    bool inside = false;
    bool released = false;
};
HeldRead heldRead;

void holdSessionIdRead(const char* key) {
    if (std::strcmp(key, "SessionId") != 0 || !heldRead.armed.exchange(false)) {
        return;
    }
    std::unique_lock<std::mutex> lock(heldRead.mutex);
    heldRead.inside = true;
    heldRead.changed.notify_all();
    heldRead.changed.wait(lock, [] { return heldRead.released; });
}

// A huge "SessionId" flagged encrypted is deciphered, from 16 MiB of hexadecimal text, before the
// request lock is taken: while that request is still reading it, another page's echo completes.
TEST(RequestLockTest, AHugeEncryptedSessionIdIsReadWithoutTheLock) {
    AdapterInstallation installation;
    const std::string id = openSession();
    // Zero blocks whose decipherment has no valid padding under this secret.
    const std::string huge(16u << 20, '0');
    const std::string request = json({{"SessionId", huge},
                                      {"SessionId_QuillmarkEncryptFlag", "true"},
                                      {"Quillmark_share_secret", "page secret"},
                                      {"FunctionName", "QuillmarkClose"}});
    const JsonMapMissHandler previous = setJsonMapMissHandler(&holdSessionIdRead);
    heldRead.inside = false;
    heldRead.released = false;
    heldRead.armed = true;
    auto hugeReply = std::async(std::launch::async, [&] { return dispatchJson(request); });
    {
        std::unique_lock<std::mutex> lock(heldRead.mutex);
        ASSERT_TRUE(heldRead.changed.wait_for(lock, std::chrono::minutes(2), [] {
            return heldRead.inside;
        })) << "the SessionId was deciphered";
    }
    auto echo = std::async(std::launch::async, [&] {
        return dispatchJson(json({{"SessionId", id}, {"FunctionName", "Echo"}}));
    });
    // Ready at once unless the lock is held; the bound only ends a failing test.
    const bool echoed = echo.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(heldRead.mutex);
        heldRead.released = true;
    }
    heldRead.changed.notify_all();
    EXPECT_TRUE(echoed) << "the echo waited for the request lock";
    const std::optional<ReplyMap> echoReply = echo.get();
    ASSERT_TRUE(echoReply.has_value());
    EXPECT_EQ(echoReply->at("result"), "0");

    // The id that cannot be deciphered counts as absent: a new one is generated, as before.
    const std::optional<ReplyMap> reply = hugeReply.get();
    setJsonMapMissHandler(previous);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), 1u);
    EXPECT_TRUE(hasGeneratedForm(reply->count("SessionID") ? reply->at("SessionID") : ""));
}

// ---- Choosing the session ---------------------------------------------------------------------

TEST(SessionSelectionTest, AnIdContainingASessionsIdReachesThatSession) {
    AdapterInstallation installation;
    const std::string id = openSession();
    installation.forget();
    EXPECT_EQ(send({{"SessionId", "page-" + id + "-tab2"}, {"FunctionName", "SignData"}}),
              (ReplyMap{{"result", "SignData#1"}}));
    EXPECT_THAT(installation.journalFunctions(), ElementsAre("SignData"));
}

TEST(SessionSelectionTest, AnUnknownIdOfTheGeneratedFormOpensASessionUnderIt) {
    AdapterInstallation installation;
    ReplyMap reply = send(opening({{"SessionId", "QWERTY12_SID"}}));
    EXPECT_EQ(reply.count("SessionID"), 0u);
    EXPECT_EQ(reply["result"], "0");
    EXPECT_EQ(sessionIdForTesting(0), "QWERTY12_SID");
}

class ForeignIdTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ForeignIdTest, GetsANewlyGeneratedId) {
    AdapterInstallation installation;
    ReplyMap reply = send(opening({{"SessionId", GetParam()}}));
    EXPECT_TRUE(hasGeneratedForm(reply["SessionID"])) << reply["SessionID"];
    EXPECT_EQ(sessionIdForTesting(0), reply["SessionID"]);
}

INSTANTIATE_TEST_SUITE_P(Ids, ForeignIdTest,
                         ::testing::Values("_SID", "SID", "abcdefgh_sid", "ABCDEFGH_SIDX",
                                           "ABCDEFG_SID", "ABCDEFGH-SID", "page-one"));

TEST(SessionSelectionTest, APageCannotOpenASessionThatCapturesOtherPagesCalls) {
    AdapterInstallation installation;
    // With the page's own "_SID" as session id, every later id would contain it.
    const std::string assigned = send(opening({{"SessionId", "_SID"}}))["SessionID"];
    ASSERT_NE(assigned, "_SID");
    installation.forget();
    ReplyMap other = send(opening({{"SessionId", "ZXCVBN12_SID"}, {"FunctionName", "SignData"}}));
    EXPECT_EQ(other["result"], "SignData#1");
    EXPECT_THAT(installation.journalFunctions(),
                ElementsAre("Quillmark_Unlock", "Quillmark_GetVersion", "SignData"));
    EXPECT_EQ(fs::path(installation.journal()[0].copy),
              installation.sessionCopy(1, kGpkiAdapterName));
}

const char* const* nextIds = nullptr;
char* listedId() {
    return duplicateString(*nextIds++);
}

TEST(SessionSelectionTest, AnExactMatchWinsOverASlotWhoseIdItContains) {
    AdapterInstallation installation;
    static const char* const kIds[] = {"B_SID", "AB_SID"};
    nextIds = kIds;
    setSessionIdSourceForTesting(&listedId);
    EXPECT_EQ(openSession(), "B_SID");
    EXPECT_EQ(openSession(), "AB_SID");
    setSessionIdSourceForTesting(nullptr);
    installation.forget();
    send({{"SessionId", "AB_SID"}, {"FunctionName", "SignData"}});
    ASSERT_EQ(installation.journal().size(), 1u);
    EXPECT_EQ(fs::path(installation.journal()[0].copy),
              installation.sessionCopy(1, kGpkiAdapterName));
    // Without an exact match the first slot whose id occurs in the given one is taken.
    installation.forget();
    send({{"SessionId", "xAB_SIDx"}, {"FunctionName", "SignData"}});
    ASSERT_EQ(installation.journal().size(), 1u);
    EXPECT_EQ(fs::path(installation.journal()[0].copy),
              installation.sessionCopy(0, kGpkiAdapterName));
}

char* constantId() {
    return duplicateString("00000000_SID");
}

TEST(SessionSelectionTest, IdDrawsAreBoundedWhenTheRandomSourceRepeatsItself) {
    AdapterInstallation installation;
    LogCapture log;
    setSessionIdSourceForTesting(&constantId);
    EXPECT_EQ(openSession(), "00000000_SID");
    EXPECT_EQ(send(opening()), (ReplyMap{{"result", "61001"}}));
    EXPECT_EQ(send(opening({{"SessionId", "foreign"}})), (ReplyMap{{"result", "61001"}}));
    setSessionIdSourceForTesting(nullptr);
    EXPECT_TRUE(log.contains("Session id collision index: 0"));
    EXPECT_EQ(sessionIdForTesting(1), "");
}

// ---- A full table -----------------------------------------------------------------------------

TEST(SessionTableTest, The33rdSessionEvictsTheOldestByCreation) {
    AdapterInstallation installation;
    std::vector<std::string> ids;
    for (int i = 0; i < kSessionSlotCount; ++i) {
        ids.push_back(openSession());
    }
    // Use since creation does not count.
    send({{"SessionId", ids[0]}, {"FunctionName", "SignData"}});
    installation.forget();

    const std::string newest = openSession();
    EXPECT_EQ(sessionIdForTesting(0), newest);
    std::vector<qmtest::ProbeCall> calls = installation.journal();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].function, "Quillmark_Release");
    EXPECT_EQ(fs::path(calls[0].copy), installation.sessionCopy(0, kGpkiAdapterName));

    // The evicted page's id now opens a session again, in place of the next oldest.
    installation.forget();
    ReplyMap reply = send(opening({{"SessionId", ids[0]}}));
    EXPECT_EQ(reply.count("SessionID"), 0u);
    EXPECT_EQ(sessionIdForTesting(1), ids[0]);
    calls = installation.journal();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(fs::path(calls[0].copy), installation.sessionCopy(1, kGpkiAdapterName));
}

TEST(SessionTableTest, ReleaseAllReleasesOldestFirstAndDeletesStrayLibraries) {
    AdapterInstallation installation;
    openSession();
    openSession({{"PathID", kHcaPathId}});
    openSession();
    std::ofstream(installation.dataFolder() / "stray.dll") << "x";
    installation.forget();
    {
        auto lock = lockRequests();
        releaseAllAdapters();
    }
    const std::vector<qmtest::ProbeCall> calls = installation.journal();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(fs::path(calls[0].copy), installation.sessionCopy(0, kGpkiAdapterName));
    EXPECT_EQ(fs::path(calls[1].copy), installation.sessionCopy(1, kHcaAdapterName));
    EXPECT_EQ(fs::path(calls[2].copy), installation.sessionCopy(2, kGpkiAdapterName));
    for (const qmtest::ProbeCall& call : calls) {
        EXPECT_EQ(call.function, "Quillmark_Release");
        EXPECT_EQ(GetModuleHandleW(fs::path(call.copy).wstring().c_str()), nullptr);
        EXPECT_FALSE(fs::exists(call.copy));
    }
    EXPECT_FALSE(fs::exists(installation.dataFolder() / "stray.dll"));
    EXPECT_EQ(getOldestSessionIndex(), -1);
}

// The final function's stop: once every session is released, no request may open another one,
// whose library copy nobody would release before the process ends.
TEST(SessionTableTest, AfterTheStopNoRequestOpensASession) {
    AdapterInstallation installation;
    const std::string id = openSession();
    installation.forget();
    stopAllSessions();
    EXPECT_FALSE(isServingRequestsForTesting());
    ASSERT_EQ(installation.journalFunctions(), std::vector<std::string>{"Quillmark_Release"});
    installation.forget();
    EXPECT_FALSE(dispatchJson(json(opening())).has_value());
    EXPECT_FALSE(dispatchJson(json({{"SessionId", id}, {"FunctionName", "Echo"}})).has_value());
    EXPECT_THAT(installation.journal(), IsEmpty());
    EXPECT_EQ(getOldestSessionIndex(), -1);
    EXPECT_FALSE(fs::exists(installation.sessionCopy(0, kGpkiAdapterName)));
}

// The instruction receivers run before the session table is made: a stop then must wait for it.
TEST(SessionEnvironmentTest, StartUpWaitsForTheRequestLock) {
    AdapterInstallation installation;
    std::future<bool> started;
    {
        auto lock = lockRequests();
        started = std::async(std::launch::async, [&] { return installation.initialise(); });
        EXPECT_EQ(started.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    }
    EXPECT_TRUE(started.get());
}

TEST(SessionEnvironmentTest, StartUpWritesTheVersionFileAndEmptiesTheSessionFolders) {
    AdapterInstallation installation;
    openSession();
    const fs::path copy = installation.sessionCopy(0, kGpkiAdapterName);
    {
        auto lock = lockRequests();
        releaseAllAdapters();
    }
    std::ofstream(installation.dataFolder() / "Tempfile" / "Session_3" / "left.dll") << "x";
    ASSERT_TRUE(installation.initialise());
    std::ifstream in(installation.dataFolder() / "OqtQuillmarkMainVersion", std::ios::binary);
    std::string text(64, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    EXPECT_EQ(text, "Quillmark version=1.0.22.0303");
    EXPECT_FALSE(fs::exists(installation.dataFolder() / "Tempfile" / "Session_3" / "left.dll"));
    for (int i = 0; i < kSessionSlotCount; ++i) {
        EXPECT_TRUE(fs::is_directory(installation.dataFolder() / "Tempfile" /
                                     ("Session_" + std::to_string(i))));
    }
}

}  // namespace
