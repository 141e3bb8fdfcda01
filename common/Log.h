// Log: the dated log writer, the log settings read from "OqtQuillmark.ini", the set-up that finds
// that file and switches logging on, and the front-ends through which every module logs a
// message and a value under the program's log tag.
//
// A line reads "<date> <time>.<ms> <level tag> [<pid>-<tid>] <message>" and is appended to the
// configured file with the date put into its name (C:\logs\a.txt -> C:\logs\a_20261209.txt). The
// file is opened and closed for every line, so several threads and programs share it.
//
// Threading: each line is written whole under one lock of the process, which the program and the
// adapter library copies it loads share; lines of other processes are not locked out. The settings
// are written at start-up and by the debug switch and read by every thread that logs; the enabled
// flag is atomic.
//
// Paths of the INI file are UTF-8 (opened wide on Windows). The log file's path, as the INI file
// gives it, is handed to the C runtime as it stands (on Windows: the ANSI code page, in which the
// tray program writes it).
#ifndef QM_COMMON_LOG_H
#define QM_COMMON_LOG_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Room of the path and time-stamp buffers; a configured path holds at most 127 characters, and
// at most 118 if the dated name is to fit.
inline constexpr std::size_t kLogPathSize = 128;
// Room of the log tag (at most 63 characters).
inline constexpr std::size_t kLogTagSize = 64;

// The INI file, its section and its keys.
inline constexpr const char* kLogIniSection = "OqtQuillmark";
inline constexpr const char* kLogIniFileName = "OqtQuillmark.ini";
inline constexpr const char* kLogFileKey = "Log File";
inline constexpr const char* kLogLevelKey = "Log Level";
// Log file used when the INI file names none.
inline constexpr const char* kDefaultLogFile = "C:\\TvqLog.log";

// Levels and the level the front-ends write at.
inline constexpr int32_t kLogLevelFatal = 1;
inline constexpr int32_t kLogLevelError = 2;
inline constexpr int32_t kLogLevelWarn = 3;
inline constexpr int32_t kLogLevelInfo = 4;
inline constexpr int32_t kLogLevelDebug = 5;

// writeLogLine: the level is above the configured one, nothing written.
inline constexpr int kLogLineDropped = -2;
// configureLogFromIni: the settings were already configured, nothing changed.
inline constexpr int kLogAlreadyConfigured = -1;

// readIniValue codes.
inline constexpr int kIniFound = 0;
inline constexpr int kIniCannotOpen = 101;
inline constexpr int kIniNoSection = 102;
inline constexpr int kIniNoKey = 103;

// The settings of the writer (one per process).
struct LogSettings {
    char logFile[kLogPathSize];  // configured path, NUL-terminated
    int32_t configured;          // 1 once a level was read or set
    int32_t logLevel;            // highest level written; 0 at start
};

// ---- Writer ----------------------------------------------------------------------------------

// Appends one line at the given level: 0 when written or when the file could not be opened (the
// line is then lost; the next one tries again), kLogLineDropped when level is above the
// configured level. A null format writes an empty message.
int writeLogLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// writeLogLine with an argument list (for libraries that hand one over).
int writeLogLineV(int level, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));

// Fills fileName with the dated name of the configured log file and timeStamp with the current
// local time "YYYY-MM-DD hh:mm:ss.mmm"; both point to kLogPathSize bytes. The date goes before
// the last "." of the path (also when that dot is in a folder name), or at the end when there is
// none. When the local time cannot be had both stay empty; when the dated name does not fit,
// fileName stays empty (no file is written).
void buildLogFileName(char* fileName, char* timeStamp);

// second * 1000 + millisecond of the system clock (0-59999).
unsigned long getMillisecondsInMinute();

// ---- Settings --------------------------------------------------------------------------------

// Reads "Log File" and "Log Level" from the INI file at iniPath (section as given). A path
// without "/" or "\" is a bare file name, looked for in the Windows folder, under
// %HOMEDRIVE%%HOMEPATH% and under %HOMEDRIVE%\tmp (the last one when found in none). Returns 0
// and writes "Log Enable '<path>'" at the level read when "Log Level" was read; otherwise the
// reader's code with the level set to 0. A missing "Log File" gives kDefaultLogFile. Returns
// kLogAlreadyConfigured, changing nothing, when the settings are already configured.
int configureLogFromIni(const char* section, const char* iniPath);

// Sets the settings directly. Level 0 clears the level and the configured mark (the path is
// ignored); another level with a path sets both (the path cut to 127 characters); another level
// without a path changes nothing. Returns 0.
int setLogState(const char* logFilePath, int level);

// INI reader: copies the value of key in section (both compared without ASCII case) into output
// (size bytes, NUL-terminated). The file is read in pieces of 255 characters while looking for
// the header and of size-1 characters in the section, so the value of a longer line arrives cut.
// A value in quotation marks or apostrophes loses them and what follows the closing one.
// Returns kIniFound, kIniCannotOpen (also for null arguments or a size below 2), kIniNoSection or
// kIniNoKey; output holds "" unless the code is kIniFound.
int readIniValue(const char* section, const char* key, char* output, int size, const char* iniPath);

// ---- Set-up ----------------------------------------------------------------------------------

// Set-up of a program's logging: copies the tag (cut to 63 characters), looks for
// "OqtQuillmark.ini" beside the program, in the Windows folder and in the user's temporary
// folder (the first found wins; none found: configureLogFromIni's own places) and reads the
// settings. Returns true when logging is on. Once on, further calls return true and change
// nothing. A null tag gives false.
bool setLog(const char* inputPrefixName);

// True while the front-ends write.
bool isLogEnabled();
// Switches the front-ends off (the debug switch then calls setLogState(nullptr, 0) so that the
// next setLog reads the INI file again). Returns the previous state.
bool clearLogEnabled();

// ---- Front-ends ------------------------------------------------------------------------------
// All write "[<tag>][Normal|Error|Warning] <message><value>" at level 5 and only while logging is
// enabled; a null message or value counts as "".

// "<message><value>" at level 5 whether or not logging is enabled (the level still decides).
void logRaw(const char* message, const char* value);
void logNormal(const char* message, const char* value);
void logNormalInt(const char* message, int32_t value);
void logError(const char* message, const char* value);
void logErrorInt(const char* message, int32_t value);
void logWarning(const char* message, const char* value);
void logWarningInt(const char* message, int32_t value);
// logNormal(message, "Exist") when flag is set, else logError(message, "Not Exist").
void logExists(const char* message, bool flag);
// logNormal with textIfSet or textIfClear.
void logChoice(const char* message, bool flag, const char* textIfSet, const char* textIfClear);
#ifdef _WIN32
// logNormal with the wide value converted to UTF-8 (null or empty: "").
void logNormalWString(const char* message, const wchar_t* value);
#endif

// Longest part of a text from a page (or of a component's answer to it) that one log line shows:
// such texts can run to many megabytes, and each line is written under the process's log lock.
inline constexpr std::size_t kMaxLoggedTextBytes = 1024;
// text as a log line shows it: whole up to kMaxLoggedTextBytes bytes, else its first
// kMaxLoggedTextBytes bytes (a few fewer rather than cut a UTF-8 character) followed by
// "... (<length> bytes)". masked: asterisks in place of the bytes shown, one per byte; the
// length given stays the text's own.
std::string boundedLogText(std::string_view text, bool masked = false);

// The two reports every module of the common library writes alike, naming its source module.
namespace qm {
// logWarning with an empty message and "Parameter <name> is null at <module> <line>".
void logNullParameter(const char* name, const char* module, int line);
// logError "Memory allocate fail at file: " <module>, then logErrorInt "Memory allocate fail at
// line: " <line>.
void logAllocationFailure(const char* module, int line);
}  // namespace qm

// ---- Test hooks ------------------------------------------------------------------------------

// The local time as the writer sees it.
struct LogTime {
    int year;         // e.g. 2026
    int month;        // 1-12
    int day;          // 1-31
    int hour;         // 0-23
    int minute;       // 0-59
    int second;       // 0-59
    int millisecond;  // 0-999
};
// Fills the time; false when the local time cannot be had.
using LogClock = bool (*)(LogTime& time);

// Back to the start state: logging off, level 0, not configured, default file, empty tag, the
// system clock and the system's INI places.
void resetLogForTesting();
void setLogEnabledForTesting(bool enabled);
// Copies the tag (cut to 63 characters); null gives "".
void setLogTagForTesting(const char* tag);
std::string logTagForTesting();
LogSettings logSettingsForTesting();
// Replaces the clock (null: the system clock again).
void setLogClockForTesting(LogClock clock);
// Replaces the places searched for the INI file: setLogFolders stand for setLog's program,
// Windows and temporary folders, fallbackFolders for configureLogFromIni's places for a bare
// name. Each folder gets a separator and the file name appended.
void setLogIniFoldersForTesting(std::vector<std::string> setLogFolders,
                                std::vector<std::string> fallbackFolders);

#endif  // QM_COMMON_LOG_H
