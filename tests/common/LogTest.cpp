#include "common/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <process.h>
#else
#include <unistd.h>
#endif

#include "tests/support/LogCapture.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

bool fixedClock(LogTime& time) {
    time = LogTime{2026, 12, 9, 7, 8, 9, 45};
    return true;
}

bool failingClock(LogTime&) {
    return false;
}

// Counts how often a line got past the level test (the writer asks the clock only then) and
// writes nothing.
std::atomic<int> gClockCalls{0};
bool countingClock(LogTime&) {
    ++gClockCalls;
    return false;
}

unsigned long processId() {
#ifdef _WIN32
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// text has the shape: 'd' a digit, 'A' an upper-case and 'a' a lower-case letter, '_' a blank or
// a digit; other characters stand for themselves.
bool hasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        bool ok = false;
        switch (shape[i]) {
            case 'd':
                ok = std::isdigit(c) != 0;
                break;
            case 'A':
                ok = std::isupper(c) != 0;
                break;
            case 'a':
                ok = std::islower(c) != 0;
                break;
            case '_':
                ok = c == ' ' || std::isdigit(c) != 0;
                break;
            default:
                ok = text[i] == shape[i];
                break;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Exact bytes, so that line ends are what the case says.
void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string iniText(const std::string& logFile, const std::string& level) {
    std::string text = "[OqtQuillmark]\n";
    if (!logFile.empty()) {
        text += "Log File=" + logFile + "\n";
    }
    if (!level.empty()) {
        text += "Log Level=" + level + "\n";
    }
    return text;
}

// A test folder, removed with the fixture; the log module is reset before and after each test.
class LogTest : public ::testing::Test {
protected:
    LogTest() { resetLogForTesting(); }
    ~LogTest() override {
        resetLogForTesting();
        std::error_code error;
        fs::remove_all(folder_, error);
    }

    fs::path folder_ = makeTestFolder("qm-logtest");
};

// ---- Dated file names -----------------------------------------------------------------------

struct DatedNameCase {
    const char* name;
    std::string logFile;
    std::string expected;
};

TEST_F(LogTest, DatedFileNames) {
    const std::string longStem(114, 'x');
    const DatedNameCase cases[] = {
        {"dot in the file name", "C:\\logs\\a.txt", "C:\\logs\\a_20261209.txt"},
        {"dot only in a folder name", "C:\\my.logs\\trace", "C:\\my_20261209.logs\\trace"},
        {"no dot at all", "C:\\logs\\trace", "C:\\logs\\trace_20261209"},
        {"last of several dots", "C:\\logs\\a.b.txt", "C:\\logs\\a.b_20261209.txt"},
        {"118 characters still fit", longStem + ".log", longStem + "_20261209.log"},
        {"a longer path gives no name rather than a cut one", longStem + "x.log", ""},
    };
    setLogClockForTesting(fixedClock);
    for (const DatedNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        setLogState(c.logFile.c_str(), 5);
        char fileName[kLogPathSize] = "junk";
        char timeStamp[kLogPathSize] = "junk";
        buildLogFileName(fileName, timeStamp);
        EXPECT_EQ(std::string(fileName), c.expected);
        EXPECT_STREQ(timeStamp, "2026-12-09 07:08:09.045");
    }
}

TEST_F(LogTest, EmptyLogFileValueGivesUnderscoreAndDate) {
    const fs::path ini = folder_ / "OqtQuillmark.ini";
    writeFile(ini, "[OqtQuillmark]\nLog File=\nLog Level=5\n");
    setLogClockForTesting(failingClock);
    ASSERT_EQ(configureLogFromIni("OqtQuillmark", ini.string().c_str()), 0);
    setLogClockForTesting(fixedClock);
    char fileName[kLogPathSize];
    char timeStamp[kLogPathSize];
    buildLogFileName(fileName, timeStamp);
    EXPECT_STREQ(fileName, "_20261209");
}

TEST_F(LogTest, NoLocalTimeLeavesBothBuffersEmpty) {
    setLogState("C:\\logs\\a.txt", 5);
    setLogClockForTesting(failingClock);
    char fileName[kLogPathSize] = "junk";
    char timeStamp[kLogPathSize] = "junk";
    buildLogFileName(fileName, timeStamp);
    EXPECT_STREQ(fileName, "");
    EXPECT_STREQ(timeStamp, "");
    EXPECT_LT(getMillisecondsInMinute(), 60000UL);
}

// ---- Lines ----------------------------------------------------------------------------------

TEST_F(LogTest, LinePrefixCarriesTimeLevelTagAndIds) {
    LogCapture log(9);
    setLogClockForTesting(fixedClock);
    struct LevelCase {
        const char* name;
        int level;
        const char* tag;
    };
    const LevelCase cases[] = {
        {"no tag", 0, ""},          {"fatal", 1, "[FATAL]"},     {"error", 2, "[ERROR]"},
        {"warn", 3, "[WARN ]"},     {"info", 4, "[INFO ]"},      {"debug", 5, "[DEBUG]"},
        {"above the table", 7, ""}, {"below the table", -1, ""},
    };
    for (const LevelCase& c : cases) {
        EXPECT_EQ(writeLogLine(c.level, "%s %d", c.name, 42), 0) << c.name;
    }
    std::vector<std::string> lines = log.lines();
    ASSERT_THAT(lines, SizeIs(std::size(cases)));
    char ids[16];
    std::snprintf(ids, sizeof ids, "[%05lu-", processId() % 100000UL);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::string prefix =
            std::string("2026-12-09 07:08:09.045 ") + cases[i].tag + " " + ids;
        ASSERT_EQ(lines[i].substr(0, prefix.size()), prefix);
        EXPECT_TRUE(hasShape(lines[i].substr(prefix.size(), 7), "ddddd] ")) << lines[i];
        EXPECT_EQ(lines[i].substr(prefix.size() + 7), std::string(cases[i].name) + " 42");
    }
    // The configured path got the date before its extension.
    EXPECT_TRUE(fs::exists(log.folder() / "capture_20261209.log"));
}

TEST_F(LogTest, LevelAboveTheConfiguredOneIsDropped) {
    LogCapture log(3);
    EXPECT_EQ(writeLogLine(4, "dropped"), kLogLineDropped);
    EXPECT_EQ(writeLogLine(3, "kept"), 0);
    EXPECT_THAT(log.messages(), ElementsAre("kept"));
}

TEST_F(LogTest, UnopenableFileLosesOnlyThatLine) {
    const fs::path missing = folder_ / "later";
    setLogState((missing / "a.log").string().c_str(), 5);
    EXPECT_EQ(writeLogLine(5, "lost"), 0);
    EXPECT_FALSE(fs::exists(missing));
    fs::create_directory(missing);
    EXPECT_EQ(writeLogLine(5, "kept"), 0);
    std::vector<std::string> lines = readLogLines(missing);
    ASSERT_THAT(lines, SizeIs(1));
    EXPECT_EQ(stripLogPrefix(lines[0]), "kept");
}

// Lines longer than the runtime's file buffer leave it in several writes: threads that log at
// once must still each append their lines whole, none mixed into or written over another.
TEST_F(LogTest, LinesOfConcurrentThreadsStayWhole) {
    LogCapture log(5);
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 60;
    constexpr std::size_t kPayload = 9000;
    auto lineOf = [](int thread, int line) {
        return "thread " + std::to_string(thread) + " line " + std::to_string(line) + " " +
               std::string(kPayload, static_cast<char>('a' + thread)) + " end";
    };
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // All threads start writing together.
            ++ready;
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kLinesEach; ++i) {
                writeLogLine(5, "%s", lineOf(t, i).c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLinesEach; ++i) {
            expected.insert(lineOf(t, i));
        }
    }
    const std::vector<std::string> messages = log.messages();
    EXPECT_EQ(messages.size(), expected.size());
    std::set<std::string> written;
    for (const std::string& message : messages) {
        if (expected.count(message) == 0) {
            ADD_FAILURE() << "a mixed line: " << message.substr(0, 80) << "...";
            break;
        }
        written.insert(message);
    }
    EXPECT_EQ(written.size(), expected.size());
#ifdef _WIN32
    // The process's lock is a mutex named after it, opened and closed with each line: once the
    // lines are out, no handle keeps it.
    const std::wstring lockName = L"OqtQuillmarkLogLine_" + std::to_wstring(GetCurrentProcessId());
    HANDLE left = OpenMutexW(SYNCHRONIZE, FALSE, lockName.c_str());
    EXPECT_EQ(left, nullptr);
    if (left != nullptr) {
        CloseHandle(left);
    }
#endif
}

// ---- Front-ends -----------------------------------------------------------------------------

struct FrontEndCase {
    const char* name;
    std::function<void()> call;
    const char* expected;
};

TEST_F(LogTest, FrontEndLines) {
    LogCapture log(5, "Tag");
    const FrontEndCase cases[] = {
        {"normal", [] { logNormal("Msg: ", "v"); }, "[Tag][Normal] Msg: v"},
        {"error", [] { logError("Msg: ", "v"); }, "[Tag][Error] Msg: v"},
        {"warning", [] { logWarning("Msg: ", "v"); }, "[Tag][Warning] Msg: v"},
        {"normal int", [] { logNormalInt("Count: ", -5); }, "[Tag][Normal] Count: -5"},
        {"error int", [] { logErrorInt("Code: ", 61001); }, "[Tag][Error] Code: 61001"},
        {"warning int", [] { logWarningInt("Max: ", INT32_MAX); },
         "[Tag][Warning] Max: 2147483647"},
        {"nulls count as empty", [] { logNormal(nullptr, nullptr); }, "[Tag][Normal] "},
        {"exists", [] { logExists("File: ", true); }, "[Tag][Normal] File: Exist"},
        {"does not exist", [] { logExists("File: ", false); }, "[Tag][Error] File: Not Exist"},
        {"choice set", [] { logChoice("Mode: ", true, "on", "off"); }, "[Tag][Normal] Mode: on"},
        {"choice clear", [] { logChoice("Mode: ", false, "on", "off"); },
         "[Tag][Normal] Mode: off"},
        {"raw", [] { logRaw(" Component result: ", "0"); }, " Component result: 0"},
        {"format characters in texts are not formats", [] { logNormal("100%s ", "%d%n"); },
         "[Tag][Normal] 100%s %d%n"},
    };
    for (const FrontEndCase& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        c.call();
        EXPECT_THAT(log.messages(), ElementsAre(c.expected));
    }
}

TEST_F(LogTest, BoundedTextKeepsShortTextsAndCutsLongOnes) {
    const std::string limit(kMaxLoggedTextBytes, 'a');
    // "\xC3\xA9" (e with an acute accent) straddling the cut, and a four-byte character whose
    // last byte would be the first one cut.
    const std::string straddling = std::string(kMaxLoggedTextBytes - 1, 'a') + "\xC3\xA9";
    const std::string fourBytes =
        std::string(kMaxLoggedTextBytes - 3, 'a') + "\xF0\x9F\x98\x80" + 'b';
    const std::string notUtf8(kMaxLoggedTextBytes + 4, '\x80');
    struct Case {
        const char* name;
        std::string text;
        bool masked;
        std::string expected;
    };
    const Case cases[] = {
        {"empty", "", false, ""},
        {"short", "abc", false, "abc"},
        {"short masked", "abc", true, "***"},
        {"at the limit", limit, false, limit},
        {"at the limit masked", limit, true, std::string(kMaxLoggedTextBytes, '*')},
        {"one byte over", limit + "b", false, limit + "... (1025 bytes)"},
        {"one byte over masked", limit + "b", true,
         std::string(kMaxLoggedTextBytes, '*') + "... (1025 bytes)"},
        {"character straddling the cut", straddling, false,
         std::string(kMaxLoggedTextBytes - 1, 'a') + "... (1025 bytes)"},
        {"four-byte character straddling the cut", fourBytes, false,
         std::string(kMaxLoggedTextBytes - 3, 'a') + "... (1026 bytes)"},
        {"not UTF-8", notUtf8, false,
         std::string(kMaxLoggedTextBytes, '\x80') + "... (1028 bytes)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(boundedLogText(c.text, c.masked), c.expected) << c.name;
    }
}

TEST_F(LogTest, FrontEndsAreSilentWhileDisabledExceptRaw) {
    LogCapture log(5, "Tag", false);
    logNormal("a", "b");
    logNormalInt("a", 1);
    logError("a", "b");
    logErrorInt("a", 1);
    logWarning("a", "b");
    logWarningInt("a", 1);
    logExists("a", true);
    logExists("a", false);
    logChoice("a", true, "x", "y");
    EXPECT_THAT(log.lines(), IsEmpty());
    logRaw("raw ", "line");
    EXPECT_THAT(log.messages(), ElementsAre("raw line"));
}

#ifdef _WIN32
TEST_F(LogTest, WideValueIsWrittenInUtf8) {
    LogCapture log(5, "Tag");
    logNormalWString("Name: ", L"caf\u00e9 \u4e2d");
    logNormalWString("Name: ", nullptr);
    logNormalWString("Name: ", L"");
    EXPECT_THAT(log.messages(), ElementsAre("[Tag][Normal] Name: caf\xc3\xa9 \xe4\xb8\xad",
                                            "[Tag][Normal] Name: ", "[Tag][Normal] Name: "));
    setLogEnabledForTesting(false);
    log.clear();
    logNormalWString("Name: ", L"x");
    EXPECT_THAT(log.lines(), IsEmpty());
}
#endif

// ---- INI reader -----------------------------------------------------------------------------

struct IniCase {
    const char* name;
    std::string text;
    const char* key;
    int size;
    int code;
    const char* value;
};

TEST_F(LogTest, IniReader) {
    const std::string longLine(255, 'x');
    const std::string twoPieces(2 * 127, 'x');
    const IniCase cases[] = {
        {"plain value", "[OqtQuillmark]\nLog File=C:\\a.txt\n", "Log File", 128, 0, "C:\\a.txt"},
        {"quoted value with a comment behind",
         "[OqtQuillmark]\nLog File=\"C:\\a b.txt\" ; the note\n", "Log File", 128, 0,
         "C:\\a b.txt"},
        {"apostrophes after blanks", "[OqtQuillmark]\nLog File=  'C:\\a b.txt'\n", "Log File", 128,
         0, "C:\\a b.txt"},
        {"only an opening mark is kept", "[OqtQuillmark]\nLog File=\"C:\\a.txt\n", "Log File", 128,
         0, "\"C:\\a.txt"},
        {"the last closing mark counts", "[OqtQuillmark]\nk=\"a\" \"b\" c\n", "k", 128, 0,
         "a\" \"b"},
        {"blanks around an unquoted value stay", "[OqtQuillmark]\nk= a b \n", "k", 128, 0, " a b "},
        {"carriage return and line feed removed", "[OqtQuillmark]\r\nk=v\r\n", "k", 128, 0, "v"},
        {"key in lower case", "[OqtQuillmark]\nlog file=x\n", "Log File", 128, 0, "x"},
        {"key in upper case", "[OqtQuillmark]\nLOG FILE=x\n", "Log File", 128, 0, "x"},
        {"indented key", "[OqtQuillmark]\n   Log File=x\n", "Log File", 128, 0, "x"},
        {"blank before the equals sign is another key", "[OqtQuillmark]\nLog File =x\n", "Log File",
         128, 103, ""},
        {"longer key does not match", "[OqtQuillmark]\nLog Files=x\n", "Log File", 128, 103, ""},
        {"comment line", "[OqtQuillmark]\n  ;Log File=x\n", "Log File", 128, 103, ""},
        {"first match wins", "[OqtQuillmark]\nk=1\nk=2\n", "k", 128, 0, "1"},
        {"empty value", "[OqtQuillmark]\nk=\n", "k", 128, 0, ""},
        {"header with blanks and lower case", "  [ oqtquillmark ]  \nk=v\n", "k", 128, 0, "v"},
        {"key only under a second header of the section",
         "[OqtQuillmark]\na=1\n[Other]\nk=x\n[OqtQuillmark]\nk=v\n", "k", 128, 103, ""},
        {"key of another section", "[Other]\nk=x\n", "k", 128, 102, ""},
        {"blank header matches no name", "[  ]\nk=x\n", "k", 128, 102, ""},
        {"no header", "k=x\n", "k", 128, 102, ""},
        {"value cut to the piece", "[OqtQuillmark]\nk=123456789\n", "k", 8, 0, "12345"},
        {"the rest of a long line is a piece of its own", "[OqtQuillmark]\n" + twoPieces + "k=v\n",
         "k", 128, 0, "v"},
        {"a header behind 255 characters is still found", longLine + "[OqtQuillmark]\nk=v\n", "k",
         128, 0, "v"},
        {"end of file without a line end", "[OqtQuillmark]\nk=v", "k", 128, 0, "v"},
    };
    const fs::path path = folder_ / "case.ini";
    for (const IniCase& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path, c.text);
        std::vector<char> output(static_cast<std::size_t>(c.size), '#');
        EXPECT_EQ(readIniValue("OqtQuillmark", c.key, output.data(), c.size, path.string().c_str()),
                  c.code);
        EXPECT_STREQ(output.data(), c.value);
    }
}

TEST_F(LogTest, IniReaderRefusesMissingFileAndBadArguments) {
    char output[16] = "junk";
    const std::string missing = (folder_ / "missing.ini").string();
    EXPECT_EQ(readIniValue("OqtQuillmark", "k", output, 16, missing.c_str()), kIniCannotOpen);
    EXPECT_STREQ(output, "");
    writeFile(folder_ / "a.ini", "[OqtQuillmark]\nk=v\n");
    const std::string path = (folder_ / "a.ini").string();
    EXPECT_EQ(readIniValue("OqtQuillmark", "k", output, 1, path.c_str()), kIniCannotOpen);
    EXPECT_EQ(readIniValue(nullptr, "k", output, 16, path.c_str()), kIniCannotOpen);
    EXPECT_EQ(readIniValue("OqtQuillmark", nullptr, output, 16, path.c_str()), kIniCannotOpen);
    EXPECT_EQ(readIniValue("OqtQuillmark", "k", nullptr, 16, path.c_str()), kIniCannotOpen);
    EXPECT_EQ(readIniValue("OqtQuillmark", "k", output, 16, nullptr), kIniCannotOpen);
    // A header with only blanks between its brackets is no header of an empty name.
    writeFile(folder_ / "blank.ini", "[  ]\nk=v\n");
    EXPECT_EQ(readIniValue("", "k", output, 16, (folder_ / "blank.ini").string().c_str()),
              kIniNoSection);
    // Pieces of one character never hold a key and its "=".
    EXPECT_EQ(readIniValue("OqtQuillmark", "k", output, 2, path.c_str()), kIniNoKey);
    EXPECT_STREQ(output, "");
}

// ---- Settings -------------------------------------------------------------------------------

TEST_F(LogTest, ConfigureReadsFileAndLevelAndWritesEnableLine) {
    const fs::path ini = folder_ / "OqtQuillmark.ini";
    const fs::path logFile = folder_ / "logs" / "trace.txt";
    writeFile(ini, iniText(logFile.string(), "5"));
    fs::create_directories(logFile.parent_path());

    EXPECT_EQ(configureLogFromIni("OqtQuillmark", ini.string().c_str()), 0);
    LogSettings settings = logSettingsForTesting();
    EXPECT_EQ(std::string(settings.logFile), logFile.string());
    EXPECT_EQ(settings.logLevel, 5);
    EXPECT_EQ(settings.configured, 1);
    std::vector<std::string> lines = readLogLines(logFile.parent_path());
    ASSERT_THAT(lines, SizeIs(1));
    EXPECT_EQ(stripLogPrefix(lines[0]), "Log Enable '" + ini.string() + "'");
    EXPECT_NE(lines[0].find(" [DEBUG] ["), std::string::npos);

    // Once configured, a second read changes nothing.
    writeFile(ini, iniText((folder_ / "other.txt").string(), "3"));
    EXPECT_EQ(configureLogFromIni("OqtQuillmark", ini.string().c_str()), kLogAlreadyConfigured);
    EXPECT_EQ(std::string(logSettingsForTesting().logFile), logFile.string());
    EXPECT_EQ(logSettingsForTesting().logLevel, 5);
}

struct ConfigureCase {
    const char* name;
    std::string text;  // empty: no file
    int code;
    const char* logFile;  // null: the path of the test's log file
    int32_t level;
    int32_t configured;
};

TEST_F(LogTest, ConfigureOutcomes) {
    const std::string logFile = (folder_ / "a.log").string();
    const ConfigureCase cases[] = {
        {"level 5", iniText(logFile, "5"), 0, nullptr, 5, 1},
        {"blanks, sign and trailing text", iniText(logFile, " +7x"), 0, nullptr, 7, 1},
        {"negative level", iniText(logFile, "-3"), 0, nullptr, -3, 1},
        {"not a number counts as 0", iniText(logFile, "abc"), 0, nullptr, 0, 1},
        {"level text cut to its 15-character piece", iniText(logFile, "99999999999"), 0, nullptr,
         99999, 1},
        {"no Log File: the default file", iniText("", "5"), 0, "C:\\TvqLog.log", 5, 1},
        {"no Log Level: off", iniText(logFile, ""), 103, nullptr, 0, 0},
        {"no section", "[Other]\nLog Level=5\n", 102, "C:\\TvqLog.log", 0, 0},
        {"no file", "", 101, "C:\\TvqLog.log", 0, 0},
    };
    const fs::path ini = folder_ / "OqtQuillmark.ini";
    for (const ConfigureCase& c : cases) {
        SCOPED_TRACE(c.name);
        resetLogForTesting();
        // Lines at the level read would go to C:\ for the default file: write none.
        setLogClockForTesting(failingClock);
        std::error_code error;
        fs::remove(ini, error);
        if (!c.text.empty()) {
            writeFile(ini, c.text);
        }
        EXPECT_EQ(configureLogFromIni("OqtQuillmark", ini.string().c_str()), c.code);
        LogSettings settings = logSettingsForTesting();
        EXPECT_EQ(std::string(settings.logFile), c.logFile != nullptr ? c.logFile : logFile);
        EXPECT_EQ(settings.logLevel, c.level);
        EXPECT_EQ(settings.configured, c.configured);
    }
}

struct BareNameCase {
    const char* name;
    // Settings files in the places A, B, C ("" for none).
    std::string a, b, c;
    int code;
    const char* chosen;   // place whose file the Log Enable line names (with a Log File)
    const char* logFile;  // null: the default file
};

TEST_F(LogTest, BareNameSearchesThePlacesInOrder) {
    const std::string fileB = (folder_ / "b.log").string();
    const std::string fileC = (folder_ / "c.log").string();
    const std::string levelOnly = iniText("", "5");
    const BareNameCase cases[] = {
        {"first place with a Log File", "", iniText(fileB, "5"), iniText(fileC, "4"), 0, "B",
         "b.log"},
        {"a file without Log File is passed over", levelOnly, "", iniText(fileC, "4"), 0, "C",
         "c.log"},
        {"none with Log File: the last place", "", "", levelOnly, 0, "C", nullptr},
        {"no file anywhere", "", "", "", 101, nullptr, nullptr},
    };
    for (const BareNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        resetLogForTesting();
        const fs::path places = folder_ / "places";
        fs::remove_all(places);
        std::vector<std::string> folders;
        for (auto [place, text] : {std::pair{"A", c.a}, std::pair{"B", c.b}, std::pair{"C", c.c}}) {
            fs::create_directories(places / place);
            if (!text.empty()) {
                writeFile(places / place / "OqtQuillmark.ini", text);
            }
            folders.push_back((places / place).string());
        }
        setLogIniFoldersForTesting({}, folders);
        // The Log Enable line goes to the file read; none at all for the default file on C:\.
        setLogClockForTesting(c.logFile != nullptr ? fixedClock : failingClock);
        fs::remove(folder_ / "b_20261209.log");
        fs::remove(folder_ / "c_20261209.log");

        EXPECT_EQ(configureLogFromIni("OqtQuillmark", "OqtQuillmark.ini"), c.code);
        const std::string expectedFile =
            c.logFile != nullptr ? (folder_ / c.logFile).string() : "C:\\TvqLog.log";
        EXPECT_EQ(std::string(logSettingsForTesting().logFile), expectedFile);
        if (c.logFile != nullptr) {
            std::vector<std::string> lines = readLogLines(folder_);
            ASSERT_THAT(lines, SizeIs(1));
            EXPECT_EQ(stripLogPrefix(lines[0]),
                      "Log Enable '" + (places / c.chosen / "OqtQuillmark.ini").string() + "'");
        }
        fs::remove(folder_ / "b_20261209.log");
        fs::remove(folder_ / "c_20261209.log");
    }
}

TEST_F(LogTest, BarePlacesLongerThanAPathBufferAreSkipped) {
    const fs::path deep = folder_ / std::string(120, 'd');
    writeFile(deep / "OqtQuillmark.ini", iniText((folder_ / "a.log").string(), "5"));
    setLogIniFoldersForTesting({}, {deep.string()});
    setLogClockForTesting(failingClock);
    EXPECT_EQ(configureLogFromIni("OqtQuillmark", "OqtQuillmark.ini"), kIniCannotOpen);
    EXPECT_EQ(logSettingsForTesting().configured, 0);
}

struct StateCase {
    const char* name;
    const char* path;
    int level;
    std::string logFile;
    int32_t logLevel;
    int32_t configured;
};

TEST_F(LogTest, SetLogStateDirectly) {
    const std::string longPath(200, 'p');
    const StateCase cases[] = {
        {"level with a path", "D:\\x.log", 4, "D:\\x.log", 4, 1},
        {"level 0 clears but keeps the path", "E:\\ignored.log", 0, "D:\\x.log", 0, 0},
        {"level without a path changes nothing", nullptr, 5, "D:\\x.log", 0, 0},
        {"long path cut to 127 characters", longPath.c_str(), 5, longPath.substr(0, 127), 5, 1},
    };
    // The cases follow each other: each starts from the state the previous one left.
    for (const StateCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(setLogState(c.path, c.level), 0);
        LogSettings settings = logSettingsForTesting();
        EXPECT_EQ(std::string(settings.logFile), c.logFile);
        EXPECT_EQ(settings.logLevel, c.logLevel);
        EXPECT_EQ(settings.configured, c.configured);
    }
}

// ---- Set-up ---------------------------------------------------------------------------------

// setLog over three test folders standing for the program's, the Windows and the temporary
// folder; the bare-name places are empty folders.
class SetLogTest : public LogTest {
protected:
    SetLogTest() {
        for (const char* place : {"program", "windows", "temp", "fallback"}) {
            fs::create_directories(folder_ / place);
        }
        fs::create_directories(logs_);
        setLogIniFoldersForTesting({place("program"), place("windows"), place("temp")},
                                   {place("fallback")});
    }

    std::string place(const char* name) const { return (folder_ / name).string(); }
    fs::path iniIn(const char* name) const { return folder_ / name / "OqtQuillmark.ini"; }
    void putIni(const char* name, const std::string& level, const char* logName = "a.log") {
        writeFile(iniIn(name), iniText((logs_ / logName).string(), level));
    }
    std::vector<std::string> lines() const { return readLogLines(logs_); }

    fs::path logs_ = folder_ / "logs";
};

TEST_F(SetLogTest, FindsTheFileAndWritesItsThreeLines) {
    putIni("windows", "5");
    EXPECT_TRUE(setLog("Prog"));
    EXPECT_TRUE(isLogEnabled());
    EXPECT_EQ(logTagForTesting(), "Prog");
    std::vector<std::string> written = lines();
    ASSERT_THAT(written, SizeIs(3));
    EXPECT_EQ(stripLogPrefix(written[0]), "Log Enable '" + iniIn("windows").string() + "'");
    // "Tool <line> setLog Compile Time : Mar 11 2022 14:26:44"
    const std::string build = stripLogPrefix(written[1]);
    const std::string head = "Tool ";
    const std::string middle = " setLog Compile Time : ";
    const std::size_t at = build.find(middle);
    ASSERT_NE(at, std::string::npos) << build;
    EXPECT_EQ(build.substr(0, head.size()), head);
    const std::string line = build.substr(head.size(), at - head.size());
    EXPECT_TRUE(!line.empty() && hasShape(line, std::string(line.size(), 'd'))) << build;
    EXPECT_TRUE(hasShape(build.substr(at + middle.size()), "Aaa _d dddd dd:dd:dd")) << build;
    EXPECT_EQ(stripLogPrefix(written[2]), "[Prog][Normal] Log state: Enable");
}

TEST_F(SetLogTest, ProgramFolderComesFirst) {
    putIni("temp", "5", "temp.log");
    putIni("program", "5", "program.log");
    putIni("windows", "5", "windows.log");
    EXPECT_TRUE(setLog("Prog"));
    EXPECT_EQ(std::string(logSettingsForTesting().logFile), (logs_ / "program.log").string());
}

TEST_F(SetLogTest, TemporaryFolderIsTheLastPlace) {
    putIni("temp", "5", "temp.log");
    EXPECT_TRUE(setLog("Prog"));
    EXPECT_EQ(std::string(logSettingsForTesting().logFile), (logs_ / "temp.log").string());
}

TEST_F(SetLogTest, Level3WritesOnlyTheEnableLine) {
    putIni("temp", "3");
    EXPECT_TRUE(setLog("Prog"));
    logNormal("dropped: ", "x");
    logRaw("dropped", "");
    std::vector<std::string> written = lines();
    ASSERT_THAT(written, SizeIs(1));
    EXPECT_NE(written[0].find(" [WARN ] ["), std::string::npos) << written[0];
    EXPECT_EQ(stripLogPrefix(written[0]), "Log Enable '" + iniIn("temp").string() + "'");
}

TEST_F(SetLogTest, Level0WritesTheEnableLineWithoutTag) {
    putIni("temp", "0");
    setLogClockForTesting(fixedClock);
    EXPECT_TRUE(setLog("Prog"));
    logNormal("dropped: ", "x");
    std::vector<std::string> written = lines();
    ASSERT_THAT(written, SizeIs(1));
    EXPECT_EQ(written[0].substr(0, 26), "2026-12-09 07:08:09.045  [");
    EXPECT_EQ(stripLogPrefix(written[0]), "Log Enable '" + iniIn("temp").string() + "'");
}

TEST_F(SetLogTest, NoFileAnywhereWritesNothing) {
    gClockCalls = 0;
    setLogClockForTesting(countingClock);
    EXPECT_FALSE(setLog("Prog"));
    EXPECT_FALSE(isLogEnabled());
    EXPECT_EQ(gClockCalls.load(), 0);  // not even the build line got past the level
    EXPECT_EQ(logSettingsForTesting().logLevel, 0);
}

TEST_F(SetLogTest, SecondCallChangesNothing) {
    putIni("program", "5");
    ASSERT_TRUE(setLog("Prog"));
    const std::size_t count = lines().size();
    fs::remove(iniIn("program"));
    EXPECT_TRUE(setLog("Other"));
    EXPECT_EQ(logTagForTesting(), "Prog");
    EXPECT_THAT(lines(), SizeIs(count));
}

TEST_F(SetLogTest, NullTagFails) {
    putIni("program", "5");
    EXPECT_FALSE(setLog(nullptr));
    EXPECT_FALSE(isLogEnabled());
    EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(SetLogTest, LongTagIsCut) {
    putIni("program", "5");
    const std::string tag(100, 't');
    EXPECT_TRUE(setLog(tag.c_str()));
    EXPECT_EQ(logTagForTesting(), tag.substr(0, 63));
}

TEST_F(SetLogTest, DirectStateKeepsSetLogOff) {
    putIni("program", "5");
    setLogState((logs_ / "direct.log").string().c_str(), 5);
    EXPECT_FALSE(setLog("Prog"));
    EXPECT_FALSE(isLogEnabled());
    EXPECT_EQ(std::string(logSettingsForTesting().logFile), (logs_ / "direct.log").string());
}

TEST_F(SetLogTest, SwitchedOffReadsTheFileAgain) {
    putIni("program", "5", "first.log");
    ASSERT_TRUE(setLog("Prog"));
    EXPECT_TRUE(clearLogEnabled());
    EXPECT_FALSE(clearLogEnabled());
    setLogState(nullptr, 0);
    logNormal("while off: ", "x");
    EXPECT_EQ(readLogLines(logs_).size(), 3U);

    putIni("program", "4", "second.log");
    EXPECT_TRUE(setLog("Prog"));
    EXPECT_EQ(std::string(logSettingsForTesting().logFile), (logs_ / "second.log").string());
    EXPECT_EQ(logSettingsForTesting().logLevel, 4);
}

}  // namespace
