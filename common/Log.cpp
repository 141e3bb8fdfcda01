#include "common/Log.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/LogPlatform.h"
#include "common/Tool.h"

namespace {

// The lines and warnings of the set-up name the module the set-up has always lived in.
constexpr const char* kSourceModule = "Tool";

constexpr const char* kLevelTags[] = {"", "[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};
constexpr const char* kWordNormal = "[Normal]";
constexpr const char* kWordError = "[Error]";
constexpr const char* kWordWarning = "[Warning]";

// Room of the "Log Level" text.
constexpr int kLevelTextSize = 16;
// Longest INI path tried for a bare file name, and longest path looked for by setLog.
constexpr std::size_t kMaxFallbackPath = 127;
constexpr std::size_t kMaxSetLogPath = 511;
// Pieces read while looking for the section header.
constexpr int kHeaderPieceSize = 256;

struct LogState {
    char logFile[kLogPathSize] = "C:\\TvqLog.log";
    std::atomic<int32_t> configured{0};
    std::atomic<int32_t> logLevel{0};
    char logTag[kLogTagSize] = "";
    std::atomic<bool> logEnabled{false};
    std::atomic<LogClock> clock{nullptr};
};

constinit LogState gState;

// Test replacement of the INI places; kept apart so that gState needs no destructor and stays
// usable while other static objects are torn down.
struct IniFolders {
    bool active = false;
    std::vector<std::string> setLogFolders;
    std::vector<std::string> fallbackFolders;
};

IniFolders& iniFolders() {
    static IniFolders* folders = new IniFolders();
    return *folders;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Holds the process's log-line lock from the open of the file to its close: the runtime's append
// mode seeks to the end before each write, and a line longer than its buffer leaves in several
// writes, so lines of threads writing at once would mix or overwrite one another.
class LineLock {
public:
    LineLock() : token_(lockLogLines()) {}
    ~LineLock() { unlockLogLines(token_); }
    LineLock(const LineLock&) = delete;
    LineLock& operator=(const LineLock&) = delete;

private:
    void* token_;
};

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using UniqueText = std::unique_ptr<char, FreeDeleter>;

void copyBounded(char* destination, std::size_t size, const char* source) {
    std::size_t length = std::strlen(source);
    if (length > size - 1) {
        length = size - 1;
    }
    std::memcpy(destination, source, length);
    destination[length] = '\0';
}

// Copy of a settings buffer that another thread may be rewriting: never reads past its end.
template <std::size_t N>
void snapshot(char (&destination)[N], const char (&source)[N]) {
    std::memcpy(destination, source, N);
    destination[N - 1] = '\0';
}

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// Levels outside the table have no tag.
const char* levelTag(int level) {
    if (level < 0 || level > kLogLevelDebug) {
        return "";
    }
    return kLevelTags[level];
}

bool readClock(LogTime& time) {
    LogClock clock = gState.clock.load();
    if (clock != nullptr) {
        return clock(time);
    }
    return readLocalLogTime(time);
}

std::string joinPath(const std::string& folder, const char* fileName) {
    std::string path = folder;
    if (path.empty() || (path.back() != '\\' && path.back() != '/')) {
        path += kLogPathSeparator;
    }
    return path + fileName;
}

// Decimal level as atoi reads it (blanks, a sign, digits up to the first other character), kept
// within 32 bits.
int32_t parseLevel(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trimLeft(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view trim(std::string_view text) {
    text = trimLeft(text);
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// A piece is a header when, blanks aside, it is "[" ... "]". name gets the trimmed text between.
bool isHeader(std::string_view piece, std::string_view& name) {
    piece = trim(piece);
    if (piece.size() < 2 || piece.front() != '[' || piece.back() != ']') {
        return false;
    }
    name = trim(piece.substr(1, piece.size() - 2));
    return true;
}

bool isWantedHeader(std::string_view piece, std::string_view section) {
    std::string_view name;
    return isHeader(piece, name) && !name.empty() && sameIgnoringCase(name, section);
}

// The candidates for configureLogFromIni with a bare name that fit a path buffer.
std::vector<std::string> fallbackCandidates(const char* fileName) {
    std::vector<std::string> paths;
    const IniFolders& folders = iniFolders();
    if (folders.active) {
        for (const std::string& folder : folders.fallbackFolders) {
            paths.push_back(joinPath(folder, fileName));
        }
    } else {
        paths = logIniFallbackPaths(fileName);
    }
    std::erase_if(paths, [](const std::string& path) { return path.size() > kMaxFallbackPath; });
    return paths;
}

std::vector<std::string> setLogFolders() {
    const IniFolders& folders = iniFolders();
    if (folders.active) {
        return folders.setLogFolders;
    }
    std::vector<std::string> result;
    for (char* folder : {getExecutePathUtf8(), getWindowsPathUtf8(), getUserTempPathUtf8()}) {
        UniqueText owner(folder);
        // A folder the system cannot give would turn into the root of the current drive.
        if (owner != nullptr && owner.get()[0] != '\0') {
            result.emplace_back(owner.get());
        }
    }
    return result;
}

// UTF-8 path of the first INI file found beside the program, in the Windows folder or in the
// temporary folder; empty when there is none.
std::string findLogIniFile() {
    for (const std::string& folder : setLogFolders()) {
        std::string path = joinPath(folder, kLogIniFileName);
        if (path.size() <= kMaxSetLogPath && isFileExistUtf8(path.c_str())) {
            return path;
        }
    }
    return std::string();
}

void writeFrontEnd(const char* word, const char* message, const char* value) {
    if (!gState.logEnabled.load()) {
        return;
    }
    char tag[kLogTagSize];
    snapshot(tag, gState.logTag);
    writeLogLine(kLogLevelDebug, "[%s]%s %s%s", tag, word, orEmpty(message), orEmpty(value));
}

void writeFrontEndInt(const char* word, const char* message, int32_t value) {
    if (!gState.logEnabled.load()) {
        return;
    }
    char tag[kLogTagSize];
    snapshot(tag, gState.logTag);
    writeLogLine(kLogLevelDebug, "[%s]%s %s%d", tag, word, orEmpty(message),
                 static_cast<int>(value));
}

}  // namespace

// ---- Writer ----------------------------------------------------------------------------------

int writeLogLineV(int level, const char* format, va_list arguments) {
    if (level > gState.logLevel.load()) {
        return kLogLineDropped;
    }
    // Declared before the file: the file is closed, and the line out, before the lock goes.
    const LineLock lock;
    char fileName[kLogPathSize];
    char timeStamp[kLogPathSize];
    buildLogFileName(fileName, timeStamp);
    if (fileName[0] == '\0') {
        return 0;
    }
    UniqueFile file(std::fopen(fileName, "at"));
    if (file == nullptr) {
        return 0;
    }
    std::fprintf(file.get(), "%s %s [%05lu-%05lu] ", timeStamp, levelTag(level),
                 logProcessId() % 100000UL, logThreadId() % 100000UL);
    if (format != nullptr) {
        std::vfprintf(file.get(), format, arguments);
    }
    std::fputs("\n", file.get());
    return 0;
}

int writeLogLine(int level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = writeLogLineV(level, format, arguments);
    va_end(arguments);
    return result;
}

void buildLogFileName(char* fileName, char* timeStamp) {
    fileName[0] = '\0';
    timeStamp[0] = '\0';
    LogTime now{};
    if (!readClock(now)) {
        return;
    }
    std::snprintf(timeStamp, kLogPathSize, "%d-%02d-%02d %02d:%02d:%02d.%03lu", now.year, now.month,
                  now.day, now.hour, now.minute, now.second,
                  static_cast<unsigned long>(now.millisecond));

    char path[kLogPathSize];
    snapshot(path, gState.logFile);
    const char* dot = std::strrchr(path, '.');
    int written = 0;
    if (dot != nullptr) {
        written =
            std::snprintf(fileName, kLogPathSize, "%.*s_%04d%02d%02d%s",
                          static_cast<int>(dot - path), path, now.year, now.month, now.day, dot);
    } else {
        written = std::snprintf(fileName, kLogPathSize, "%s_%04d%02d%02d", path, now.year,
                                now.month, now.day);
    }
    // A cut name would be some other file: better no line than a line in the wrong place.
    if (written < 0 || static_cast<std::size_t>(written) >= kLogPathSize) {
        fileName[0] = '\0';
    }
}

unsigned long getMillisecondsInMinute() {
    return readMillisecondsInMinute();
}

// ---- Settings --------------------------------------------------------------------------------

int configureLogFromIni(const char* section, const char* iniPath) {
    if (gState.configured.load() == 1) {
        return kLogAlreadyConfigured;
    }
    section = orEmpty(section);
    std::string path = orEmpty(iniPath);
    char logFile[kLogPathSize] = "";

    if (path.find_first_of("/\\") == std::string::npos) {
        std::vector<std::string> candidates = fallbackCandidates(path.c_str());
        std::string chosen = candidates.empty() ? std::string() : candidates.back();
        for (const std::string& candidate : candidates) {
            if (readIniValue(section, kLogFileKey, logFile, kLogPathSize, candidate.c_str()) ==
                kIniFound) {
                chosen = candidate;
                break;
            }
        }
        // With no place at all the path stays empty and nothing is read (never the current
        // folder).
        path = chosen;
    }

    if (readIniValue(section, kLogFileKey, logFile, kLogPathSize, path.c_str()) != kIniFound) {
        copyBounded(logFile, kLogPathSize, kDefaultLogFile);
    }
    std::memcpy(gState.logFile, logFile, kLogPathSize);

    char levelText[kLevelTextSize] = "";
    int code = readIniValue(section, kLogLevelKey, levelText, kLevelTextSize, path.c_str());
    if (code != kIniFound) {
        gState.logLevel.store(0);
        return code;
    }
    int32_t level = parseLevel(levelText);
    gState.logLevel.store(level);
    gState.configured.store(1);
    writeLogLine(level, "Log Enable '%s'", path.c_str());
    return 0;
}

int setLogState(const char* logFilePath, int level) {
    if (level == 0) {
        gState.configured.store(0);
        gState.logLevel.store(0);
        return 0;
    }
    if (logFilePath == nullptr) {
        return 0;
    }
    copyBounded(gState.logFile, kLogPathSize, logFilePath);
    gState.logLevel.store(level);
    gState.configured.store(1);
    return 0;
}

int readIniValue(const char* section, const char* key, char* output, int size,
                 const char* iniPath) {
    if (output != nullptr && size >= 1) {
        output[0] = '\0';
    }
    if (section == nullptr || key == nullptr || output == nullptr || iniPath == nullptr ||
        size < 2) {
        return kIniCannotOpen;
    }
    UniqueFile file(openIniFile(iniPath));
    if (file == nullptr) {
        return kIniCannotOpen;
    }

    // Lines longer than a piece are tested piece by piece, as the settings file has always been
    // read.
    char piece[kHeaderPieceSize];
    bool inSection = false;
    while (std::fgets(piece, kHeaderPieceSize, file.get()) != nullptr) {
        if (isWantedHeader(piece, section)) {
            inSection = true;
            break;
        }
    }
    if (!inSection) {
        return kIniNoSection;
    }

    // The output buffer itself holds each piece, so a value never outgrows it.
    while (std::fgets(output, size, file.get()) != nullptr) {
        std::string_view line(output);
        std::string_view name;
        if (isHeader(line, name)) {
            break;
        }
        std::string_view text = trimLeft(line);
        if (text.empty() || text.front() == ';') {
            continue;
        }
        std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || !sameIgnoringCase(text.substr(0, equals), key)) {
            continue;
        }
        std::string_view value = text.substr(equals + 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) {
            value.remove_suffix(1);
        }
        std::string_view quoted = trimLeft(value);
        if (!quoted.empty() && (quoted.front() == '"' || quoted.front() == '\'')) {
            std::size_t closing = quoted.rfind(quoted.front());
            if (closing > 0) {
                value = quoted.substr(1, closing - 1);
            }
        }
        std::memmove(output, value.data(), value.size());
        output[value.size()] = '\0';
        return kIniFound;
    }
    output[0] = '\0';
    return kIniNoKey;
}

// ---- Set-up ----------------------------------------------------------------------------------

bool setLog(const char* inputPrefixName) {
    if (gState.logEnabled.load()) {
        return true;
    }
    if (inputPrefixName == nullptr) {
        qm::logNullParameter("inputPrefixName", kSourceModule, __LINE__);
        gState.logEnabled.store(false);
        return false;
    }
    copyBounded(gState.logTag, kLogTagSize, inputPrefixName);

    std::string iniPath = findLogIniFile();
    if (iniPath.empty()) {
        iniPath = kLogIniFileName;
    }
    int code = configureLogFromIni(kLogIniSection, iniPath.c_str());
    writeLogLine(kLogLevelDebug, "%s %d %s Compile Time : %s %s", kSourceModule, __LINE__, "setLog",
                 __DATE__, __TIME__);
    gState.logEnabled.store(code == 0);
    if (gState.logEnabled.load()) {
        logNormal("Log state: ", "Enable");
    }
    return gState.logEnabled.load();
}

bool isLogEnabled() {
    return gState.logEnabled.load();
}

bool clearLogEnabled() {
    return gState.logEnabled.exchange(false);
}

// ---- Front-ends ------------------------------------------------------------------------------

void logRaw(const char* message, const char* value) {
    writeLogLine(kLogLevelDebug, "%s%s", orEmpty(message), orEmpty(value));
}

void logNormal(const char* message, const char* value) {
    writeFrontEnd(kWordNormal, message, value);
}

void logNormalInt(const char* message, int32_t value) {
    writeFrontEndInt(kWordNormal, message, value);
}

void logError(const char* message, const char* value) {
    writeFrontEnd(kWordError, message, value);
}

void logErrorInt(const char* message, int32_t value) {
    writeFrontEndInt(kWordError, message, value);
}

void logWarning(const char* message, const char* value) {
    writeFrontEnd(kWordWarning, message, value);
}

void logWarningInt(const char* message, int32_t value) {
    writeFrontEndInt(kWordWarning, message, value);
}

void logExists(const char* message, bool flag) {
    if (!gState.logEnabled.load()) {
        return;
    }
    if (flag) {
        logNormal(message, "Exist");
        return;
    }
    logError(message, "Not Exist");
}

void logChoice(const char* message, bool flag, const char* textIfSet, const char* textIfClear) {
    if (!gState.logEnabled.load()) {
        return;
    }
    logNormal(message, flag ? textIfSet : textIfClear);
}

std::string boundedLogText(std::string_view text, bool masked) {
    if (text.size() <= kMaxLoggedTextBytes) {
        return masked ? std::string(text.size(), '*') : std::string(text);
    }
    size_t shown = kMaxLoggedTextBytes;
    if (!masked) {
        // Back to the start of a character that would straddle the cut: at most three UTF-8
        // continuation bytes; text that is not UTF-8 there is cut where it stands.
        auto continues = [&text](size_t at) {
            return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
        };
        size_t start = shown;
        while (start > shown - 3 && continues(start)) {
            --start;
        }
        if (!continues(start)) {
            shown = start;
        }
    }
    std::string bounded = masked ? std::string(shown, '*') : std::string(text.substr(0, shown));
    bounded += "... (" + std::to_string(text.size()) + " bytes)";
    return bounded;
}

void qm::logNullParameter(const char* name, const char* module, int line) {
    char text[256];
    std::snprintf(text, sizeof text, "Parameter %s is null at %s %d", orEmpty(name),
                  orEmpty(module), line);
    logWarning("", text);
}

void qm::logAllocationFailure(const char* module, int line) {
    logError("Memory allocate fail at file: ", module);
    logErrorInt("Memory allocate fail at line: ", line);
}

// ---- Test hooks ------------------------------------------------------------------------------

void resetLogForTesting() {
    gState.logEnabled.store(false);
    gState.configured.store(0);
    gState.logLevel.store(0);
    copyBounded(gState.logFile, kLogPathSize, kDefaultLogFile);
    gState.logTag[0] = '\0';
    gState.clock.store(nullptr);
    IniFolders& folders = iniFolders();
    folders.active = false;
    folders.setLogFolders.clear();
    folders.fallbackFolders.clear();
}

void setLogEnabledForTesting(bool enabled) {
    gState.logEnabled.store(enabled);
}

void setLogTagForTesting(const char* tag) {
    copyBounded(gState.logTag, kLogTagSize, orEmpty(tag));
}

std::string logTagForTesting() {
    char tag[kLogTagSize];
    snapshot(tag, gState.logTag);
    return tag;
}

LogSettings logSettingsForTesting() {
    LogSettings settings{};
    snapshot(settings.logFile, gState.logFile);
    settings.configured = gState.configured.load();
    settings.logLevel = gState.logLevel.load();
    return settings;
}

void setLogClockForTesting(LogClock clock) {
    gState.clock.store(clock);
}

void setLogIniFoldersForTesting(std::vector<std::string> setLogFolders,
                                std::vector<std::string> fallbackFolders) {
    IniFolders& folders = iniFolders();
    folders.active = true;
    folders.setLogFolders = std::move(setLogFolders);
    folders.fallbackFolders = std::move(fallbackFolders);
}
