// Platform layer of the Log module: the few calls that differ between the Windows build
// (LogWin.cpp) and the host build (LogHost.cpp). Used only by Log.cpp.
#ifndef QM_COMMON_LOGPLATFORM_H
#define QM_COMMON_LOGPLATFORM_H

#include <cstdio>
#include <string>
#include <vector>

#include "common/Log.h"

// Separator put between a folder and a file name.
#ifdef _WIN32
inline constexpr char kLogPathSeparator = '\\';
#else
inline constexpr char kLogPathSeparator = '/';
#endif

unsigned long logProcessId();
unsigned long logThreadId();

// The log-line lock of the whole process: lockLogLines waits for it (a bounded wait) and returns
// a token for unlockLogLines, null when it could not be had (the line is then written without it).
// The program and every adapter library copy it loads carry their own copy of the log writer and
// append to the same file, so on Windows the lock is a mutex named after the process id, which
// all of them share; nothing of it stays open between lines.
void* lockLogLines();
void unlockLogLines(void* token);

// Current local date and time with the millisecond of the system clock; false when the local
// time cannot be had.
bool readLocalLogTime(LogTime& time);

// second * 1000 + millisecond of the system clock.
unsigned long readMillisecondsInMinute();

// The places tried, in order, for an INI file given without a folder: the Windows folder, then
// %HOMEDRIVE%%HOMEPATH%, then %HOMEDRIVE%\tmp, each with fileName appended, as UTF-8 paths.
// Places that cannot be determined are left out.
std::vector<std::string> logIniFallbackPaths(const std::string& fileName);

// Opens the INI file at a UTF-8 path for reading in text mode; null when it cannot be opened.
std::FILE* openIniFile(const char* utf8Path);

#endif  // QM_COMMON_LOGPLATFORM_H
