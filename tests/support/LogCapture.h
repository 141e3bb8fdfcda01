// Log capture for tests: points this process's log writer at a fresh temporary folder, switches
// the front-ends on, and reads back the lines written, so that a test can assert what a module
// logs (and what it must never log, such as a PIN).
//
//   LogCapture log;                       // level 5, tag "Test", logging on
//   logNormal("PIN: ", "****");
//   EXPECT_THAT(log.messages(), Contains("[Test][Normal] PIN: ****"));
//
// Every LogCapture starts and ends with resetLogForTesting(), so the log module's state never
// leaks from one test into the next. One capture at a time per process.
//
// Tests that put "OqtQuillmark.ini" into the real places setLog searches (beside the test
// program, the Windows folder, the user's temporary folder) must run under the CTest resource
// lock "log_ini" (qm_test(... LOCK log_ini)); tests that only need setLog to find a file use
// setLogIniFoldersForTesting with folders of their own instead.
#ifndef QM_TESTS_SUPPORT_LOGCAPTURE_H
#define QM_TESTS_SUPPORT_LOGCAPTURE_H

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class LogCapture {
public:
    // level: the configured log level (0 leaves logging off in the writer, as setLogState does);
    // tag: the log tag of the front-end lines; enabled: the front-ends' on/off switch.
    explicit LogCapture(int level = 5, const char* tag = "Test", bool enabled = true);
    // Resets the log module and removes the folder.
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line written since construction or clear(), oldest first, without line ends.
    std::vector<std::string> lines() const;
    // lines() with the time stamp, level tag and process/thread ids removed (stripLogPrefix).
    std::vector<std::string> messages() const;
    // True when some message contains text.
    bool contains(std::string_view text) const;
    // Forgets the lines written so far.
    void clear();

    // The configured (undated) log file path and the folder that holds the dated files.
    const std::string& logFile() const { return logFile_; }
    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path folder_;
    std::string logFile_;
};

// The line without its "<date> <time>.<ms> <level tag> [<pid>-<tid>] " prefix; a line without
// that prefix comes back unchanged.
std::string stripLogPrefix(std::string_view line);

// Every line of the files in folder (file names in order, so dated files in date order), without
// line ends. Files whose name ends in ".ini" are left out.
std::vector<std::string> readLogLines(const std::filesystem::path& folder);

// A new empty folder under the system's temporary folder, for a test's own files (INI files,
// log files); the caller removes it.
std::filesystem::path makeTestFolder(std::string_view stem);

#endif  // QM_TESTS_SUPPORT_LOGCAPTURE_H
