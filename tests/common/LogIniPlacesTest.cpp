// The system's own places for "OqtQuillmark.ini": beside the program, the Windows folder, the
// user's temporary folder, and the home places tried for a bare file name. These tests put the
// file into those real places, so they run under the CTest resource lock "log_ini".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/Log.h"
#include "common/Tool.h"
#include "tests/support/LogCapture.h"

namespace fs = std::filesystem;
using ::testing::SizeIs;

namespace {

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};

std::string owned(char* text) {
    std::unique_ptr<char, FreeDeleter> owner(text);
    return owner != nullptr ? std::string(owner.get()) : std::string();
}

std::string inFolder(const std::string& folder, const std::string& name) {
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) {
        return folder + name;
    }
#ifdef _WIN32
    return folder + "\\" + name;
#else
    return folder + "/" + name;
#endif
}

class LogIniPlacesTest : public ::testing::Test {
protected:
    LogIniPlacesTest() { resetLogForTesting(); }
    ~LogIniPlacesTest() override {
        resetLogForTesting();
        std::error_code error;
        for (const std::string& path : created_) {
            fs::remove(path, error);
        }
        fs::remove_all(folder_, error);
    }

    // Writes a settings file naming logName in the test folder into folder; false when the
    // place cannot be written (then the test is skipped).
    bool putIni(const std::string& folder, const char* logName, const char* level = "5") {
        const std::string path = inFolder(folder, kLogIniFileName);
        std::ofstream out(path, std::ios::binary);
        if (!out) {
            return false;
        }
        out << "[OqtQuillmark]\nLog File=" << (folder_ / logName).string()
            << "\nLog Level=" << level << "\n";
        created_.push_back(path);
        return static_cast<bool>(out);
    }

    std::string logFile() const { return logSettingsForTesting().logFile; }

    fs::path folder_ = makeTestFolder("qm-logplaces");
    std::vector<std::string> created_;
};

TEST_F(LogIniPlacesTest, TemporaryFolderIsFound) {
    const std::string temp = owned(getUserTempPathUtf8());
    ASSERT_FALSE(temp.empty());
    ASSERT_TRUE(putIni(temp, "temp.log"));
    EXPECT_TRUE(setLog("Places"));
    EXPECT_EQ(logFile(), (folder_ / "temp.log").string());
    std::vector<std::string> lines = readLogLines(folder_);
    ASSERT_THAT(lines, SizeIs(3));
    EXPECT_EQ(stripLogPrefix(lines[0]), "Log Enable '" + inFolder(temp, kLogIniFileName) + "'");
}

TEST_F(LogIniPlacesTest, ProgramFolderBeatsTemporaryFolder) {
    const std::string program = owned(getExecutePathUtf8());
    const std::string temp = owned(getUserTempPathUtf8());
    ASSERT_FALSE(program.empty());
    ASSERT_TRUE(putIni(temp, "temp.log"));
    ASSERT_TRUE(putIni(program, "program.log"));
    EXPECT_TRUE(setLog("Places"));
    EXPECT_EQ(logFile(), (folder_ / "program.log").string());
}

#ifdef _WIN32
TEST_F(LogIniPlacesTest, WindowsFolderBeatsTemporaryFolder) {
    const std::string windows = owned(getWindowsPathUtf8());
    const std::string temp = owned(getUserTempPathUtf8());
    ASSERT_TRUE(putIni(temp, "temp.log"));
    if (!putIni(windows, "windows.log")) {
        GTEST_SKIP() << "the Windows folder cannot be written here";
    }
    EXPECT_TRUE(setLog("Places"));
    EXPECT_EQ(logFile(), (folder_ / "windows.log").string());

    // A bare name given to the reader itself also finds the Windows folder first.
    resetLogForTesting();
    EXPECT_EQ(configureLogFromIni(kLogIniSection, kLogIniFileName), 0);
    EXPECT_EQ(logFile(), (folder_ / "windows.log").string());
}

// Points this process's temporary folder (TMP) elsewhere while it lives.
class TemporaryFolderOverride {
public:
    explicit TemporaryFolderOverride(const std::wstring& folder) {
        const DWORD length = GetEnvironmentVariableW(L"TMP", nullptr, 0);
        if (length > 0) {
            saved_.resize(length);
            GetEnvironmentVariableW(L"TMP", saved_.data(), length);
            saved_.resize(length - 1);
            hadValue_ = true;
        }
        SetEnvironmentVariableW(L"TMP", folder.c_str());
    }
    ~TemporaryFolderOverride() {
        SetEnvironmentVariableW(L"TMP", hadValue_ ? saved_.c_str() : nullptr);
    }
    TemporaryFolderOverride(const TemporaryFolderOverride&) = delete;
    TemporaryFolderOverride& operator=(const TemporaryFolderOverride&) = delete;

private:
    std::wstring saved_;
    bool hadValue_ = false;
};

// A user whose temporary folder has letters that the ANSI code page cannot spell still switches
// logging on there.
TEST_F(LogIniPlacesTest, TemporaryFolderOutsideTheAnsiCodePageIsFound) {
    const std::wstring name = L"qm-\u65e5\u5fd7-\u03a9";
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (!lossy) {
        GTEST_SKIP() << "the ANSI code page of this system spells the folder name";
    }
    const fs::path temp = folder_ / name;
    fs::create_directories(temp);
    const TemporaryFolderOverride override(temp.wstring() + L"\\");
    const std::string tempUtf8 = owned(getUserTempPathUtf8());
    ASSERT_EQ(fs::path(std::u8string(tempUtf8.begin(), tempUtf8.end())), temp / "");
    {
        std::ofstream out(temp / kLogIniFileName, std::ios::binary);
        out << "[OqtQuillmark]\nLog File=" << (folder_ / "wide.log").string() << "\nLog Level=5\n";
        ASSERT_TRUE(out);
    }

    EXPECT_TRUE(setLog("Places"));
    EXPECT_EQ(logFile(), (folder_ / "wide.log").string());
    std::vector<std::string> lines = readLogLines(folder_);
    ASSERT_THAT(lines, SizeIs(3));
    EXPECT_EQ(stripLogPrefix(lines[0]), "Log Enable '" + inFolder(tempUtf8, kLogIniFileName) + "'");
}

// The two home places of a bare name, steered through this process's environment.
TEST_F(LogIniPlacesTest, BareNameTriesTheHomePlaces) {
    const std::string home = (folder_ / "home").string();
    const std::string driveRoot = (folder_ / "drive").string();
    fs::create_directories(home);
    fs::create_directories(folder_ / "drive" / "tmp");
    struct HomeCase {
        const char* name;
        std::string homeDrive;
        std::string homePath;
        std::string iniFolder;
    };
    const HomeCase cases[] = {
        // %HOMEDRIVE%%HOMEPATH%: the drive letter and the rest of the folder.
        {"home folder", home.substr(0, 2), home.substr(2), home},
        // %HOMEDRIVE%\tmp, the last place: a whole folder stands in for the drive.
        {"tmp under the home drive", driveRoot, "\\missing", driveRoot + "\\tmp"},
    };
    for (const HomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        resetLogForTesting();
        ASSERT_TRUE(SetEnvironmentVariableA("HOMEDRIVE", c.homeDrive.c_str()));
        ASSERT_TRUE(SetEnvironmentVariableA("HOMEPATH", c.homePath.c_str()));
        ASSERT_TRUE(putIni(c.iniFolder, "home.log", "4"));
        EXPECT_EQ(configureLogFromIni(kLogIniSection, kLogIniFileName), 0);
        EXPECT_EQ(logFile(), (folder_ / "home.log").string());
        EXPECT_EQ(logSettingsForTesting().logLevel, 4);
        fs::remove(inFolder(c.iniFolder, kLogIniFileName));
    }
}
#endif

}  // namespace
