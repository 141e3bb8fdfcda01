#include "tests/support/LogCapture.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>
#include <system_error>

#include "common/Log.h"

namespace fs = std::filesystem;

namespace {

// "[ddddd-ddddd] ": the process and thread ids of a line.
bool isIdsBlock(std::string_view text) {
    if (text.size() != 14 || text[0] != '[' || text[6] != '-' || text[12] != ']' ||
        text[13] != ' ') {
        return false;
    }
    for (std::size_t i : {1, 2, 3, 4, 5, 7, 8, 9, 10, 11}) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

fs::path makeTestFolder(std::string_view stem) {
    static std::atomic<unsigned> counter{0};
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) {
        base = fs::current_path();
    }
    // Parallel test processes share the temporary folder: create_directory decides who gets a
    // name.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        std::string name = std::string(stem) + "-" + std::to_string(ticks % 1000000000) + "-" +
                           std::to_string(counter++);
        fs::path folder = base / name;
        if (fs::create_directory(folder, error)) {
            return folder;
        }
    }
    return fs::path();
}

std::vector<std::string> readLogLines(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file() && entry.path().extension() != ".ini") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const fs::path& file : files) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
        }
    }
    return lines;
}

std::string stripLogPrefix(std::string_view line) {
    // "YYYY-MM-DD hh:mm:ss.mmm ", then the level tag (empty or 7 characters) and a blank.
    constexpr std::size_t kStampLength = 24;
    if (line.size() < kStampLength || line[4] != '-' || line[10] != ' ' || line[19] != '.' ||
        line[23] != ' ') {
        return std::string(line);
    }
    for (std::size_t at = kStampLength; at <= kStampLength + 8 && at + 14 <= line.size(); ++at) {
        if (isIdsBlock(line.substr(at, 14))) {
            return std::string(line.substr(at + 14));
        }
    }
    return std::string(line);
}

LogCapture::LogCapture(int level, const char* tag, bool enabled) {
    resetLogForTesting();
    folder_ = makeTestFolder("qm-log");
    logFile_ = (folder_ / "capture.log").string();
    setLogState(logFile_.c_str(), level);
    setLogTagForTesting(tag);
    setLogEnabledForTesting(enabled);
}

LogCapture::~LogCapture() {
    resetLogForTesting();
    std::error_code error;
    fs::remove_all(folder_, error);
}

std::vector<std::string> LogCapture::lines() const {
    return readLogLines(folder_);
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> result;
    for (const std::string& line : lines()) {
        result.push_back(stripLogPrefix(line));
    }
    return result;
}

bool LogCapture::contains(std::string_view text) const {
    std::vector<std::string> all = messages();
    return std::any_of(all.begin(), all.end(), [text](const std::string& message) {
        return message.find(text) != std::string::npos;
    });
}

void LogCapture::clear() {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_, error)) {
        fs::remove(entry.path(), error);
    }
}
