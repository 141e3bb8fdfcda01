// Tool: host-build (Linux) stand-ins for the platform calls of the portable modules, so that they
// build and run natively under the sanitizers.
#include "common/Tool.h"

#include "common/ToolInternal.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

bool genRandom(void* buffer, size_t length) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t got = getrandom(out, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        out += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

int64_t getTimeValue() {
    const time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    return timeValueOf(local);
}

char* getExecutePathUtf8() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return nullptr;
    }
    char* slash = std::strrchr(path, '/');
    if (slash != nullptr && slash != path) {
        *slash = '\0';
    }
    return duplicateString(path);
}

char* getWindowsPathUtf8() {
    return duplicateString("/etc");
}

char* getUserTempPathUtf8() {
    const char* folder = std::getenv("TMPDIR");
    std::string path = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    if (path.back() != '/') {
        path += '/';
    }
    return duplicateString(path.c_str());
}

bool isFileExistUtf8(const char* inputFileName) {
    if (inputFileName == nullptr) {
        QM_TOOL_WARN_NULL("inputFileName");
        return false;
    }
    struct stat info {};
    if (stat(inputFileName, &info) == 0) {
        return true;
    }
    return errno != ENOENT && errno != ENOTDIR;
}
