// Host-build stand-ins of the Log module's platform calls.
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "common/Log.h"
#include "common/LogPlatform.h"

namespace {

std::mutex lineMutex;

}  // namespace

void* lockLogLines() {
    lineMutex.lock();
    return &lineMutex;
}

void unlockLogLines(void* token) {
    if (token != nullptr) {
        static_cast<std::mutex*>(token)->unlock();
    }
}

unsigned long logProcessId() {
    return static_cast<unsigned long>(getpid());
}

unsigned long logThreadId() {
    return static_cast<unsigned long>(gettid());
}

bool readLocalLogTime(LogTime& time) {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return false;
    }
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr) {
        return false;
    }
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return true;
}

unsigned long readMillisecondsInMinute() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<unsigned long>(now.tv_sec % 60) * 1000UL +
           static_cast<unsigned long>(now.tv_nsec / 1000000);
}

// Stand-ins for the Windows folder, the home folder and %HOMEDRIVE%\tmp.
std::vector<std::string> logIniFallbackPaths(const std::string& fileName) {
    std::vector<std::string> paths{"/etc/" + fileName};
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        paths.push_back(std::string(home) + "/" + fileName);
    }
    paths.push_back("/tmp/" + fileName);
    return paths;
}

std::FILE* openIniFile(const char* utf8Path) {
    return std::fopen(utf8Path, "rt");
}
