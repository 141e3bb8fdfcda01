// Tool: the Win32 parts (wide texts, BSTRs, folders, files, hidden commands, per-user named
// mutexes across processes, the port test over a stand-in netstat) and the handle owners.
#include "common/Tool.h"
#include "common/win/Handles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

std::optional<std::string> adopt(char* text) {
    const std::unique_ptr<char, FreeDeleter> owner(text);
    if (owner == nullptr) {
        return std::nullopt;
    }
    return std::string(owner.get());
}

std::optional<std::wstring> adoptWide(wchar_t* text) {
    const std::unique_ptr<wchar_t, FreeDeleter> owner(text);
    if (owner == nullptr) {
        return std::nullopt;
    }
    return std::wstring(owner.get());
}

// A fresh folder under the temporary folder, removed at the end of the test.
class TempFolder {
public:
    TempFolder() {
        path_ = fs::temp_directory_path() / uniqueObjectName(L"qm_tool");
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// ---- Wide texts and BSTRs ----------------------------------------------------------------------

TEST(ToolWide, SafeCopyWStringCutsAndTerminates) {
    wchar_t buffer[8];
    std::wmemset(buffer, L'x', 8);
    safeCopyWString(buffer, 4, L"abcdef");
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_EQ(buffer[4], L'x');
    safeCopyWString(buffer, 4, nullptr);
    EXPECT_STREQ(buffer, L"abc");
    safeCopyWStringAndFree(buffer, 8, duplicateWString(L"wide"));
    EXPECT_STREQ(buffer, L"wide");
}

TEST(ToolWide, AppendWString512StaysInItsBuffer) {
    struct Case {
        const char* name;
        size_t existing;
        size_t appended;
        size_t expectedLength;
    };
    const Case cases[] = {
        {"fits", 10, 5, 15},
        {"510 plus one unit", 510, 1, 511},
        {"510 plus many units", 510, 40, 511},
        {"full text", 511, 3, 511},
        {"empty", 0, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<wchar_t> buffer(520, L'#');
        std::fill(buffer.begin(), buffer.begin() + static_cast<long>(c.existing), L'a');
        buffer[c.existing] = L'\0';
        const std::wstring source(c.appended, L'b');
        appendWString512(buffer.data(), source.c_str());
        EXPECT_EQ(std::wcslen(buffer.data()), c.expectedLength) << c.name;
        EXPECT_EQ(buffer[511], L'\0') << c.name;
        EXPECT_EQ(buffer[512], L'#') << c.name << ": wrote past the 512 units";
    }
    wchar_t text[512] = L"keep";
    appendWString512(text, nullptr);
    EXPECT_STREQ(text, L"keep");
}

TEST(ToolWide, Utf8AndUtf16RoundTrip) {
    const char* utf8 = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9D\x84\x9E";  // é, euro sign, G clef
    BSTR bstr = utf8ToBstr(utf8, std::strlen(utf8));
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), 10U);  // the G clef takes two units
    EXPECT_EQ(adopt(bstrToUtf8(bstr)), utf8);
    SysFreeString(bstr);

    // Only the given bytes count.
    bstr = utf8ToBstr("abcdef", 3);
    EXPECT_STREQ(bstr, L"abc");
    SysFreeString(bstr);
}

TEST(ToolWide, ConversionEdges) {
    EXPECT_EQ(bstrToUtf8(nullptr), nullptr);
    EXPECT_EQ(bstrToUtf8(L""), nullptr);
    EXPECT_EQ(utf8ToBstr(nullptr, 3), nullptr);

    BSTR empty = utf8ToBstr("abc", 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0U);
    SysFreeString(empty);

    // Lenient both ways: bad input becomes U+FFFD instead of failing.
    BSTR replaced = utf8ToBstr(
        "a\xFF"
        "b",
        3);
    ASSERT_NE(replaced, nullptr);
    EXPECT_STREQ(replaced,
                 L"a\xFFFD"
                 L"b");
    SysFreeString(replaced);
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0};
    EXPECT_EQ(adopt(bstrToUtf8(lone)),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(ToolWide, SharedHolders) {
    EXPECT_EQ(utf8ToBstrT(nullptr), nullptr);
    const SharedBstr holder = utf8ToBstrT("caf\xC3\xA9");
    ASSERT_NE(holder, nullptr);
    EXPECT_STREQ(holder.get(), L"caf\x00E9");
    EXPECT_EQ(adopt(bstrToUtf8Ref(holder)), "caf\xC3\xA9");
    EXPECT_EQ(holder.use_count(), 1);
    EXPECT_EQ(bstrToUtf8Ref(SharedBstr()), nullptr);
}

TEST(ToolWide, DuplicateAndStripExeExtension) {
    EXPECT_EQ(adoptWide(duplicateWString(L"w\x00E9")), L"w\x00E9");
    EXPECT_EQ(duplicateWString(nullptr), nullptr);

    struct Case {
        const char* name;
        const wchar_t* input;
        std::optional<std::wstring> expected;
    };
    const Case cases[] = {
        {"every occurrence", L"setup.exe.exe", L"setup"},
        {"exact case only", L"SETUP.EXE", L"SETUP.EXE"},
        {"inside a path", L"C:\\a.exe\\b.exe.txt", L"C:\\a\\b.txt"},
        {"non-ASCII kept", L"\x00E9t\x00E9.exe", L"\x00E9t\x00E9"},
        {"nothing left", L".exe", L""},
        {"empty", L"", std::nullopt},
        {"null", nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(adoptWide(stripExeExtension(c.input)), c.expected) << c.name;
    }
}

// ---- Folders and files --------------------------------------------------------------------------

TEST(ToolFolders, SystemFolders) {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring expectedFolder(module);
    expectedFolder.resize(expectedFolder.rfind(L'\\'));
    EXPECT_EQ(adoptWide(getExecutePath()), expectedFolder);

    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(adoptWide(getWindowsPath()), std::wstring(windows));

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(adoptWide(getUserTempPath()), std::wstring(temp));

    wchar_t user[512] = {};
    DWORD size = 512;
    GetUserNameW(user, &size);
    EXPECT_EQ(adoptWide(getCurrentUserName()), std::wstring(user));

    wchar_t common[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common),
              S_OK);
    EXPECT_EQ(adoptWide(getCopyPath("OqtQuillmark")), std::wstring(common) + L"\\OqtQuillmark");
    EXPECT_EQ(adoptWide(getCopyPath("D\xC3\xA4t")), std::wstring(common) + L"\\D\x00E4t");
    EXPECT_EQ(adoptWide(getCopyPath(nullptr)), std::wstring(common));
    // The path stays within its 260 units.
    const std::optional<std::wstring> longPath =
        adoptWide(getCopyPath(std::string(400, 'x').c_str()));
    ASSERT_TRUE(longPath.has_value());
    EXPECT_EQ(longPath->size(), 259U);

    // The narrow forms are the same folders in UTF-8.
    EXPECT_EQ(adopt(getExecutePathUtf8()), adopt(bstrToUtf8(expectedFolder.c_str())));
    EXPECT_EQ(adopt(getWindowsPathUtf8()), adopt(bstrToUtf8(windows)));
    EXPECT_EQ(adopt(getUserTempPathUtf8()), adopt(bstrToUtf8(temp)));
}

TEST(ToolFiles, IsFileExistFollowsTheArchiveMark) {
    TempFolder folder;
    const fs::path file = folder.path() / L"present.txt";
    writeFile(file, "x");
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(isFileExist(file.c_str()));
    EXPECT_TRUE(isFileExistUtf8(reinterpret_cast<const char*>(file.u8string().c_str())));

    EXPECT_FALSE(isFileExist((folder.path() / L"missing.txt").c_str()));
    EXPECT_FALSE(isFileExist((folder.path() / L"no-folder" / L"missing.txt").c_str()));
    EXPECT_FALSE(isFileExist(nullptr));
    EXPECT_FALSE(isFileExistUtf8(nullptr));
    // A folder without the mark counts as absent too.
    if ((GetFileAttributesW(folder.path().c_str()) & FILE_ATTRIBUTE_ARCHIVE) == 0) {
        EXPECT_FALSE(isFileExist(folder.path().c_str()));
    }

    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
    if ((GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_ARCHIVE) != 0) {
        GTEST_SKIP() << "this system reports every file with the archive mark (Wine does)";
    }
    EXPECT_FALSE(isFileExist(file.c_str()));
}

TEST(ToolFiles, ReadTextFile) {
    TempFolder folder;
    const std::string longLine(1500, 'L');
    struct Case {
        const char* name;
        std::string bytes;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"Windows line ends become line feeds", "one\r\ntwo\r\n", "one\ntwo\n"},
        {"lines longer than a piece", longLine + "\nend", longLine + "\nend"},
        {"no final line end", "last", "last"},
        {"empty file", "", std::nullopt},
    };
    int index = 0;
    for (const Case& c : cases) {
        const fs::path file = folder.path() / (L"file" + std::to_wstring(index++) + L".txt");
        writeFile(file, c.bytes);
        EXPECT_EQ(adopt(readTextFile(file.c_str())), c.expected) << c.name;
    }
    EXPECT_EQ(readTextFile((folder.path() / L"missing.txt").c_str()), nullptr);
    EXPECT_EQ(readTextFile(nullptr), nullptr);
}

// ---- Commands ---------------------------------------------------------------------------------

TEST(ToolCommands, RunHiddenCommandGivesTheExitCode) {
    TempFolder folder;
    const fs::path file = folder.path() / L"made.txt";
    EXPECT_EQ(runHiddenCommand(L"exit /b 3"), 3UL);
    EXPECT_EQ(runHiddenCommand((L"echo made> \"" + file.wstring() + L"\"").c_str()), 0UL);
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(runHiddenCommand(nullptr), 1UL);
    // Beyond the system's command-line limit nothing runs, and that is not taken for success.
    const std::wstring tooLong = L"echo " + std::wstring(40000, L'x');
    EXPECT_EQ(runHiddenCommand(tooLong.c_str()), kHiddenCommandNotRun);
}

// The callers whose command must do its work log one that did not end with 0, with the command.
TEST(ToolCommands, ACommandThatDidNotEndWith0IsWarnedOfWithTheCommand) {
    LogCapture log;
    struct Case {
        const char* name;
        const wchar_t* command;
        unsigned long exitCode;
        const char* expected;  // null: no line
    };
    const Case cases[] = {
        {"ended with 0", L"exit /b 0", runHiddenCommand(L"exit /b 0"), nullptr},
        {"ended with 3", L"exit /b 3", runHiddenCommand(L"exit /b 3"),
         "[Test][Warning] Hidden command failed: exit /b 3 (exit code 3)"},
        {"timed out", L"rmdir \"C:\\x\" /s /q", kHiddenCommandTimedOut,
         "[Test][Warning] Hidden command failed: rmdir \"C:\\x\" /s /q (timed out)"},
        {"not run", L"del /Q x", kHiddenCommandNotRun,
         "[Test][Warning] Hidden command failed: del /Q x (not run)"},
    };
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(warnHiddenCommandFailure(c.command, c.exitCode), c.exitCode) << c.name;
        if (c.expected == nullptr) {
            EXPECT_THAT(log.messages(), IsEmpty()) << c.name;
        } else {
            EXPECT_THAT(log.messages(), ElementsAre(c.expected)) << c.name;
        }
    }
}

TEST(ToolCommands, RunHiddenCommandNeverTakesACmdOfTheCurrentFolder) {
    // A file named cmd.exe that can't run: found by a bare-name start, it would fail the command.
    TempFolder folder;
    std::ofstream(folder.path() / L"cmd.exe") << "not a program";
    wchar_t previous[MAX_PATH] = {};
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.path().c_str()));
    const unsigned long result = runHiddenCommand(L"exit /b 3");
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(result, 3UL);
}

// Arguments: mutex name, ready event. Holds the mutex until it is ended (at most a minute, so that
// a failed test leaves nothing behind for long).
QM_TEST_CHILD_MAIN(holdUntilEnded) {
    if (arguments.size() != 2) {
        return 2;
    }
    HANDLE mutex = CreateMutexW(nullptr, TRUE, arguments[0].c_str());
    if (mutex == nullptr) {
        return 3;
    }
    TestEvent ready(arguments[1]);
    ready.set();
    Sleep(60000);
    return 0;
}

// A command that does not end is ended at its bound, and so is the program it started: cmd
// ended alone would leave it running, holding whatever it had open.
TEST(ToolCommands, ACommandPastItsWaitIsEndedWithWhatItStarted) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    // The wait grows until the child had time to start within it, however slow the machine.
    for (unsigned long wait = 500; wait <= 64000; wait *= 2) {
        const std::wstring mutexName = uniqueObjectName(L"QmToolChildMutex");
        const std::wstring readyName = uniqueObjectName(L"QmToolChildReady");
        TestEvent ready(readyName);
        // The outer quotation marks are cmd's own, which it strips.
        const std::wstring command = L"\"\"" + std::wstring(self) +
                                     L"\" --qm-child=holdUntilEnded " + mutexName + L" " +
                                     readyName + L"\"";
        EXPECT_EQ(runHiddenCommand(command.c_str(), wait), kHiddenCommandTimedOut);
        if (!ready.wait(0)) {
            continue;
        }
        // The child held the mutex: it is abandoned once the child is gone (and the mutex itself
        // is gone once no handle is left).
        const UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, mutexName.c_str()));
        if (mutex) {
            EXPECT_EQ(WaitForSingleObject(mutex.get(), 30000), static_cast<DWORD>(WAIT_ABANDONED));
        }
        return;
    }
    FAIL() << "the child never started";
}

// ---- Random source ------------------------------------------------------------------------------

TEST(ToolRandomWin, FallbackSourceServesWithoutTheSystemFunction) {
    setPrimaryRandomEnabledForTesting(false);
    unsigned char a[16] = {};
    unsigned char b[16] = {};
    const bool first = genRandom(a, sizeof(a));
    const bool second = genRandom(b, sizeof(b));
    setPrimaryRandomEnabledForTesting(true);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_NE(std::memcmp(a, b, sizeof(a)), 0);
}

// ---- Named mutexes across processes -------------------------------------------------------------

// Arguments: mutex name, ready event, release event, "release" or "abandon".
QM_TEST_CHILD_MAIN(holdMutexChild) {
    if (arguments.size() != 4) {
        return 2;
    }
    const std::optional<std::string> name = adopt(bstrToUtf8(arguments[0].c_str()));
    HANDLE mutex = getMutexLock(name ? name->c_str() : "", 0);
    if (mutex == nullptr) {
        return 3;
    }
    TestEvent ready(arguments[1]);
    TestEvent release(arguments[2]);
    ready.set();
    if (!release.wait(30000)) {
        return 4;
    }
    if (arguments[3] == L"release") {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    // "abandon": the process ends as the owner.
    return 0;
}

class ToolMutexTest : public ::testing::Test {
protected:
    std::wstring mutexName = uniqueObjectName(L"QmToolMutex");
    std::wstring readyName = uniqueObjectName(L"QmToolReady");
    std::wstring releaseName = uniqueObjectName(L"QmToolRelease");
    TestEvent ready{readyName};
    TestEvent release{releaseName};

    std::string narrowName() const { return *adopt(bstrToUtf8(mutexName.c_str())); }

    ChildProcess startHolder(const wchar_t* mode) {
        ChildProcess child =
            ChildProcess::start(L"holdMutexChild", {mutexName, readyName, releaseName, mode});
        EXPECT_TRUE(ready.wait(30000)) << "the child did not take the mutex";
        return child;
    }
};

TEST_F(ToolMutexTest, HeldElsewhereGivesNullAtOnceThenIsObtained) {
    ChildProcess child = startHolder(L"release");
    ASSERT_TRUE(child.running());

    const DWORD start = GetTickCount();
    EXPECT_EQ(getMutexLock(narrowName().c_str(), 0), nullptr);
    EXPECT_LT(GetTickCount() - start, 1000UL);

    // The object carries the user name in front of the given name.
    const std::optional<std::wstring> user = adoptWide(getCurrentUserName());
    ASSERT_TRUE(user.has_value());
    const UniqueHandle opened(OpenMutexW(SYNCHRONIZE, FALSE, (*user + L"_" + mutexName).c_str()));
    EXPECT_TRUE(opened.valid());

    // A waiting call obtains it as soon as the holder lets go.
    release.set();
    UniqueMutex mutex(getMutexLock(narrowName().c_str(), 20000));
    EXPECT_TRUE(mutex.valid());
    EXPECT_EQ(child.waitForExit(20000), 0);
}

// A holder that ended without letting go (as a watchdog does on Suicide) leaves it obtainable at
// the first call.
TEST_F(ToolMutexTest, AbandonedIsObtainedAtOnce) {
    ChildProcess child = startHolder(L"abandon");
    // Keeps the object alive after its last owner's process is gone.
    const std::optional<std::wstring> user = adoptWide(getCurrentUserName());
    ASSERT_TRUE(user.has_value());
    const UniqueHandle keeper(OpenMutexW(SYNCHRONIZE, FALSE, (*user + L"_" + mutexName).c_str()));
    ASSERT_TRUE(keeper.valid());
    release.set();
    ASSERT_EQ(child.waitForExit(20000), 0);

    UniqueMutex mutex(getMutexLock(narrowName().c_str(), 0));
    EXPECT_TRUE(mutex.valid());
}

TEST_F(ToolMutexTest, NullNameGivesNull) {
    EXPECT_EQ(getMutexLock(nullptr, 0), nullptr);
}

// ---- Port test over a stand-in netstat ----------------------------------------------------------

// Puts a netstat.bat that prints the given lines where cmd finds it before the system's netstat
// (the current folder, and the front of PATH), and a data folder for the output file.
class ToolPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t current[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        savedCurrent_ = current;
        const DWORD length = GetEnvironmentVariableW(L"PATH", nullptr, 0);
        savedPath_.resize(length);
        GetEnvironmentVariableW(L"PATH", savedPath_.data(), length);
        savedPath_.resize(length > 0 ? length - 1 : 0);

        fs::create_directories(folder_.path() / L"Tempfile");
        setCopyPath(folder_.path().c_str());
        SetCurrentDirectoryW(folder_.path().c_str());
        SetEnvironmentVariableW(L"PATH", (folder_.path().wstring() + L";" + savedPath_).c_str());
    }

    void TearDown() override {
        SetCurrentDirectoryW(savedCurrent_.c_str());
        SetEnvironmentVariableW(L"PATH", savedPath_.c_str());
        setCopyPath(nullptr);
    }

    void netstatPrints(const std::vector<std::string>& lines) {
        std::string script = "@echo off\r\n";
        for (const std::string& line : lines) {
            script += "echo " + line + "\r\n";
        }
        writeFile(folder_.path() / L"netstat.bat", script);
    }

    TempFolder folder_;
    std::wstring savedCurrent_;
    std::wstring savedPath_;
};

TEST_F(ToolPortTest, ReadsTheNetstatLines) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        int port;
        bool ipv6;
        bool expected;
    };
    const Case cases[] = {
        {"listening",
         {"  TCP    127.0.0.1:56362        0.0.0.0:0              LISTENING"},
         56362,
         false,
         true},
        {"further digit is another port",
         {"  TCP    127.0.0.1:563621       0.0.0.0:0              LISTENING"},
         56362,
         false,
         false},
        {"state without case",
         {"  TCP    127.0.0.1:56362   0.0.0.0:0   listening"},
         56362,
         false,
         true},
        {"foreign address established",
         {"  TCP    127.0.0.1:50000   127.0.0.1:56362   ESTABLISHED"},
         56362,
         false,
         true},
        {"other states do not count",
         {"  TCP    127.0.0.1:56362   127.0.0.1:50000   TIME_WAIT"},
         56362,
         false,
         false},
        {"three words never match", {"  UDP    127.0.0.1:56362        *:*"}, 56362, false, false},
        {"no loopback line",
         {"  TCP    10.0.0.1:56362   0.0.0.0:0   LISTENING"},
         56362,
         false,
         false},
        {"match after other lines",
         {"Active Connections", "  TCP    127.0.0.1:80   0.0.0.0:0   LISTENING",
          "  TCP    127.0.0.1:56362   0.0.0.0:0   LISTENING"},
         56362,
         false,
         true},
        {"IPv6 loopback", {"  TCP    [::1]:56362   [::]:0   LISTENING"}, 56362, true, true},
        {"IPv6 flag ignores IPv4 lines",
         {"  TCP    127.0.0.1:56362   0.0.0.0:0   LISTENING"},
         56362,
         true,
         false},
    };
    for (const Case& c : cases) {
        netstatPrints(c.lines);
        EXPECT_EQ(isPortInUse(c.port, c.ipv6), c.expected) << c.name;
    }
}

// A check that hangs must not hang the service's start-up: past its wait it counts as "in use".
TEST_F(ToolPortTest, ACheckThatDoesNotEndCountsAsInUse) {
    // A loop inside cmd itself: a child program would outlive the ended check and keep the
    // test's output open until it ends.
    writeFile(folder_.path() / L"netstat.bat", "@echo off\r\n:again\r\ngoto again\r\n");
    setPortCheckWaitForTesting(500);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(isPortInUse(56362, false));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    setPortCheckWaitForTesting(0);
}

TEST_F(ToolPortTest, NoDataFolderCountsAsFree) {
    netstatPrints({"  TCP    127.0.0.1:56362   0.0.0.0:0   LISTENING"});
    setCopyPath(nullptr);
    EXPECT_FALSE(isPortInUse(56362, false));
}

// ---- Handle owners ------------------------------------------------------------------------------

bool handleIsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(Handles, UniqueHandleClosesAndKeepsTheLastError) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    {
        UniqueHandle owner(raw);
        EXPECT_TRUE(owner.valid());
        SetLastError(1234);
    }
    EXPECT_EQ(GetLastError(), 1234UL);
    EXPECT_FALSE(handleIsOpen(raw));

    UniqueHandle moved(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle target(std::move(moved));
    EXPECT_FALSE(moved.valid());
    EXPECT_TRUE(target.valid());
    HANDLE released = target.release();
    EXPECT_FALSE(target.valid());
    EXPECT_TRUE(handleIsOpen(released));
    CloseHandle(released);
}

TEST(Handles, EachOwnerKnowsItsInvalidValue) {
    EXPECT_FALSE(UniqueHandle().valid());
    EXPECT_FALSE(UniqueFileHandle().valid());
    EXPECT_FALSE(UniqueFileHandle(INVALID_HANDLE_VALUE).valid());
    const UniqueFileHandle missing(
        CreateFileW(L"Z:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing.valid());
    EXPECT_FALSE(UniqueHmodule().valid());
    UniqueHmodule library(LoadLibraryW(L"version.dll"));
    EXPECT_TRUE(library.valid());
}

TEST(Handles, UniqueMutexReleasesBeforeClosing) {
    const std::wstring name = uniqueObjectName(L"QmHandlesMutex");
    const UniqueHandle observer(CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(observer.valid());
    auto otherThreadObtains = [&] {
        DWORD result = 0;
        std::thread other([&] {
            result = WaitForSingleObject(observer.get(), 0);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
                ReleaseMutex(observer.get());
            }
        });
        other.join();
        return result;
    };
    {
        // Opening an existing mutex ignores the initial-owner flag: acquire it by waiting.
        UniqueMutex owned(CreateMutexW(nullptr, FALSE, name.c_str()));
        ASSERT_TRUE(owned.valid());
        ASSERT_EQ(WaitForSingleObject(owned.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(otherThreadObtains(), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    EXPECT_EQ(otherThreadObtains(), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(Handles, ScopeExitRunsUnlessDismissed) {
    int runs = 0;
    {
        ScopeExit guard([&] { ++runs; });
    }
    EXPECT_EQ(runs, 1);
    {
        ScopeExit guard([&] { ++runs; });
        guard.dismiss();
    }
    EXPECT_EQ(runs, 1);
}

}  // namespace
