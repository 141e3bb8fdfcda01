#include "service/QuillmarkValue.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>

#include "common/AES.h"
#include "common/Json.h"
#include "common/Log.h"
#include "common/Tool.h"
#include "service/ServiceLog.h"

namespace {

constexpr const char* kModuleName = "QuillmarkValue";

// http or https, a dotted IPv4 address or host labels, an optional "/", an optional port.
constexpr const char* kUrlPattern =
    "^https?:\\/\\/"
    "(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?"
    ")){3})|(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])(\\.([a-zA-Z0-9]|[a-zA-Z0-9]"
    "[a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9]))*))\\/?(:\\d+)?$";
constexpr const char* kSchemePattern = "https?:\\/\\/";
constexpr const char* kPortPattern = ":.*";
constexpr const char* kWhiteSpace = " \t\n\v\f\r";

// The only expressions are these fixed ones; the origin they run on is the page's own text, and
// libstdc++'s backtracking matcher recurses once per input character, so they run on the
// polynomial matcher.
constexpr auto kRegexFlags = std::regex::ECMAScript | std::regex_constants::__polynomial;
constexpr auto kRegexFlagsIgnoreCase = kRegexFlags | std::regex::icase;

struct FreeDeleter {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
};
using CipherBytes = std::unique_ptr<uint8_t, FreeDeleter>;

struct ValueEntry {
    bool used = false;  // the channel is present
    std::string channel;
    std::string domainList;
    int32_t timeoutMinutes = 0;
    int64_t expiry = 0;  // seconds since 1970 UTC; 0 = no expiry
    CipherBytes cipherText;
    int32_t cipherLength = 0;
};

int64_t systemClock() {
#ifdef _WIN32
    // time_t is 32 bits in this runtime.
    return static_cast<int64_t>(_time64(nullptr));
#else
    return static_cast<int64_t>(std::time(nullptr));
#endif
}

struct Module {
    std::array<ValueEntry, kValueEntryCount> valueStore;
    std::array<uint8_t, kValueKeySize> valueKey{};
    std::array<uint8_t, kValueKeySize> valueIV{};
    std::vector<std::string> urlCheckList;
    bool urlUnlocked = false;
    ValueClock clock = systemClock;
};

Module& module() {
    static Module instance;
    return instance;
}

int64_t now() {
    return module().clock();
}

// Channels compare as request keys do: ASCII letters without regard to case.
bool equalsIgnoringCase(const std::string& a, const char* b) {
    return compareJsonMapKeys(a.c_str(), b) == 0;
}

int findChannel(const char* channel) {
    auto& store = module().valueStore;
    for (int i = 0; i < kValueEntryCount; ++i) {
        if (store[i].used && equalsIgnoringCase(store[i].channel, channel)) {
            return i;
        }
    }
    return -1;
}

int findFreeEntry() {
    auto& store = module().valueStore;
    for (int i = 0; i < kValueEntryCount; ++i) {
        if (!store[i].used) {
            return i;
        }
    }
    return -1;
}

// Entries a full store clears to make room: every one that has expired, and those without expiry
// (stored as 0) too.
bool isSweptWhenFull(const ValueEntry& entry, int64_t current) {
    return entry.expiry < current;
}

// What an entry holds against kMaxStoreBytes: the page's texts are kept as well as its value.
size_t entryBytes(const ValueEntry& entry) {
    if (!entry.used) {
        return 0;
    }
    return entry.channel.size() + entry.domainList.size() + static_cast<size_t>(entry.cipherLength);
}

size_t storedBytes() {
    size_t total = 0;
    for (const ValueEntry& entry : module().valueStore) {
        total += entryBytes(entry);
    }
    return total;
}

// The entry for channel in a full store, made free of what the sweep clears: the channel's own
// entry when it stays, else the highest index cleared. -1, with nothing cleared, when there would
// be no entry or no room for bytes.
int makeRoom(const char* channel, size_t bytes) {
    auto& store = module().valueStore;
    const int64_t current = now();
    size_t kept = 0;
    int own = -1;
    int cleared = -1;
    for (int i = 0; i < kValueEntryCount; ++i) {
        if (isSweptWhenFull(store[i], current)) {
            cleared = i;
        } else if (store[i].used && equalsIgnoringCase(store[i].channel, channel)) {
            own = i;
        } else {
            kept += entryBytes(store[i]);
        }
    }
    const int taken = own >= 0 ? own : cleared;
    if (taken < 0 || kept + bytes > kMaxStoreBytes) {
        return -1;
    }
    for (int i = 0; i < kValueEntryCount; ++i) {
        if (isSweptWhenFull(store[i], current)) {
            clearValueEntry(i);
        }
    }
    return taken;
}

void logRegexException(const char* message, const std::exception* error) {
    const char* text = error != nullptr ? error->what() : nullptr;
    logWarning(message, (text != nullptr && *text != '\0') ? text : "Unknown exception");
}

// One element of a list entry: the wildcard "*" (any run of characters other than white space)
// or one character compared without regard to ASCII letter case.
struct GlobToken {
    bool star;
    char character;
};

std::vector<GlobToken> toGlobTokens(const std::string& entry) {
    std::vector<GlobToken> tokens;
    tokens.reserve(entry.size());
    for (const char c : entry) {
        if (c != '*') {
            tokens.push_back(GlobToken{false, c});
        } else if (tokens.empty() || !tokens.back().star) {
            // Two wildcards in a row match what one matches.
            tokens.push_back(GlobToken{true, '\0'});
        }
    }
    return tokens;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isWhiteSpace(char c) {
    return std::strchr(kWhiteSpace, c) != nullptr && c != '\0';
}

// Whether the whole of text matches the tokens: one pass over the text per token.
bool globMatch(const std::vector<GlobToken>& tokens, const char* text, size_t length) {
    // matched[j]: the tokens so far match the first j characters.
    std::string matched(length + 1, '\0');
    std::string next(length + 1, '\0');
    matched[0] = 1;
    for (const GlobToken& token : tokens) {
        if (token.star) {
            next[0] = matched[0];
            for (size_t j = 1; j <= length; ++j) {
                next[j] = matched[j] || (next[j - 1] && !isWhiteSpace(text[j - 1]));
            }
        } else {
            next[0] = 0;
            for (size_t j = 1; j <= length; ++j) {
                next[j] = matched[j - 1] && lowerAscii(text[j - 1]) == lowerAscii(token.character);
            }
        }
        matched.swap(next);
    }
    return matched[length] != 0;
}

// Whether some entry admits the host: an entry (its final "/" dropped) matches the host with or
// without one "/" after it.
bool matchList(const std::vector<std::string>& entries, const std::string& host) {
    const bool slashed = !host.empty() && host.back() == '/';
    for (std::string entry : entries) {
        if (!entry.empty() && entry.back() == '/') {
            entry.pop_back();
        }
        const std::vector<GlobToken> tokens = toGlobTokens(entry);
        if (globMatch(tokens, host.c_str(), host.size()) ||
            (slashed && globMatch(tokens, host.c_str(), host.size() - 1))) {
            return true;
        }
    }
    return false;
}

// Empties the state of one read on every way out of getQuillmarkValue.
struct ReadScope {
    ~ReadScope() {
        module().urlCheckList.clear();
        module().urlUnlocked = false;
    }
};

char* newEmptyText() {
    auto* text = static_cast<char*>(std::calloc(1, 1));
    if (text == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
    }
    return text;
}

}  // namespace

void trimLeft(std::string& text) {
    text.erase(0, text.find_first_not_of(kWhiteSpace));
}

void trimRight(std::string& text) {
    const size_t last = text.find_last_not_of(kWhiteSpace);
    text.erase(last == std::string::npos ? 0 : last + 1);
}

void initValueStore(const uint8_t* valueKey, const uint8_t* valueIV) {
    Module& state = module();
    for (int i = 0; i < kValueEntryCount; ++i) {
        clearValueEntry(i);
    }
    if (valueKey == nullptr || valueIV == nullptr) {
        state.valueKey.fill(0);
        state.valueIV.fill(0);
        aesSetValueKey(nullptr, nullptr);
        return;
    }
    std::memcpy(state.valueKey.data(), valueKey, kValueKeySize);
    std::memcpy(state.valueIV.data(), valueIV, kValueKeySize);
    aesSetValueKey(state.valueKey.data(), state.valueIV.data());
}

void clearValueEntry(int32_t index) {
    if (index < 0 || index >= kValueEntryCount) {
        return;
    }
    module().valueStore[index] = ValueEntry{};
}

int32_t setQuillmarkValue(const char* channel, const char* domainList, int32_t timeoutMinutes,
                          const char* value) {
    if (channel == nullptr) {
        qm::logNullParameter("channel", kModuleName, __LINE__);
        return kValueBadArgument;
    }
    if (domainList == nullptr) {
        qm::logNullParameter("domain_list", kModuleName, __LINE__);
        return kValueBadArgument;
    }
    if (timeoutMinutes < 0) {
        return kValueBadArgument;
    }
    if (value == nullptr) {
        qm::logNullParameter("value", kModuleName, __LINE__);
        return kValueBadArgument;
    }
    const size_t channelLength = strnlen(channel, kMaxChannelLength + 1);
    if (channelLength > kMaxChannelLength) {
        logWarningInt("QuillmarkValue channel too long, limit: ",
                      static_cast<int32_t>(kMaxChannelLength));
        return kValueBadArgument;
    }
    const size_t listLength = std::strlen(domainList);
    if (listLength > kMaxDomainListLength) {
        logWarningInt("QuillmarkValue domain list too long: ", static_cast<int32_t>(listLength));
        return kValueBadArgument;
    }

    if (strnlen(value, kMaxValueBytes + 1) > kMaxValueBytes) {
        logWarningInt("QuillmarkValue value too long, limit: ",
                      static_cast<int32_t>(kMaxValueBytes));
        return kValueBadArgument;
    }

    // Encipher before touching the store: a value that cannot be kept must not replace the old
    // one, nor be answered as stored.
    int32_t cipherLength = 0;
    CipherBytes cipherText(aesEncryptWithPrefix(value, &cipherLength));
    if (!cipherText) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return kValueNotEnciphered;
    }

    const size_t bytes = channelLength + listLength + static_cast<size_t>(cipherLength);
    int index = findChannel(channel);
    const size_t replaced = index >= 0 ? entryBytes(module().valueStore[index]) : 0;
    if (index < 0) {
        index = findFreeEntry();
    }
    if (index < 0 || storedBytes() - replaced + bytes > kMaxStoreBytes) {
        index = makeRoom(channel, bytes);
    }
    if (index < 0) {
        logWarning("QuillmarkValue: ", "Full");
        return kValueStoreFull;
    }

    ValueEntry& entry = module().valueStore[index];
    if (!entry.used) {
        entry.used = true;
        entry.channel = channel;
    }
    entry.domainList = domainList;
    entry.timeoutMinutes = timeoutMinutes;
    entry.expiry = timeoutMinutes == 0 ? 0 : now() + int64_t{60} * timeoutMinutes;
    entry.cipherText = std::move(cipherText);
    entry.cipherLength = cipherLength;
    return kValueStored;
}

void setUnlockURL(const char* domainList) {
    Module& state = module();
    state.urlUnlocked = false;
    state.urlCheckList.clear();
    if (domainList == nullptr || *domainList == '\0') {
        return;
    }
    const size_t listLength = std::strlen(domainList);
    if (listLength > kMaxDomainListLength) {
        logWarningInt("QuillmarkValue domain list too long: ", static_cast<int32_t>(listLength));
        return;
    }
    std::vector<std::string> pieces;
    splitToVector(domainList, ";", pieces);
    logNormal("Enable url check list", "");
    for (std::string& piece : pieces) {
        trimLeft(piece);
        trimRight(piece);
        if (piece.empty()) {
            continue;
        }
        if (piece.front() == '.') {
            piece.insert(0, "*");
        }
        if (piece.back() == '.') {
            piece.push_back('*');
        }
        logNormal("Url check list: ", piece.c_str());
        state.urlCheckList.push_back(std::move(piece));
    }
}

bool checkUnlockDomain(const char* origin) {
    Module& state = module();
    state.urlUnlocked = false;
    if (origin == nullptr) {
        return false;
    }
    try {
        static const std::regex urlPattern(kUrlPattern, kRegexFlagsIgnoreCase);
        if (std::strlen(origin) > kMaxOriginLength || !std::regex_match(origin, urlPattern)) {
            logWarning("[Warning] ", "Input domain is not url");
            return false;
        }
        if (state.urlCheckList.empty()) {
            return false;
        }
        logNormal("Unlock original domain input: ", origin);

        static const std::regex scheme(kSchemePattern, kRegexFlags);
        static const std::regex port(kPortPattern, kRegexFlags);
        std::string host = std::regex_replace(std::string(origin), scheme, "");
        host = std::regex_replace(host, port, "");

        state.urlUnlocked = matchList(state.urlCheckList, host);
    } catch (const std::exception& error) {
        logRegexException("unlock exception: ", &error);
        state.urlUnlocked = false;
    } catch (...) {
        logRegexException("unlock exception: ", nullptr);
        state.urlUnlocked = false;
    }
    return state.urlUnlocked;
}

char* getQuillmarkValue(const char* channel, const char* origin) {
    ReadScope scope;
    if (channel == nullptr) {
        qm::logNullParameter("channel", kModuleName, __LINE__);
        return newEmptyText();
    }
    if (origin == nullptr) {
        qm::logNullParameter("domain", kModuleName, __LINE__);
        return newEmptyText();
    }
    const int index = findChannel(channel);
    if (index < 0) {
        logWarning("QuillmarkValue no current channel", boundedLogText(channel).c_str());
        return newEmptyText();
    }
    ValueEntry& entry = module().valueStore[index];
    setUnlockURL(entry.domainList.c_str());
    if (!checkUnlockDomain(origin)) {
        logWarning("QuillmarkValue url check fail", boundedLogText(origin).c_str());
        return newEmptyText();
    }
    if (entry.expiry != 0) {
        const int64_t current = now();
        logNormalInt("QuillmarkValue current_time: ", static_cast<int32_t>(current));
        if (current > entry.expiry) {
            logWarning("QuillmarkValue: ", "Timeout");
            logWarningInt("QuillmarkValue expired_time: ", static_cast<int32_t>(entry.expiry));
            return newEmptyText();
        }
        entry.expiry = current + int64_t{60} * entry.timeoutMinutes;
        logNormalInt("QuillmarkValue update expired_time: ", static_cast<int32_t>(entry.expiry));
    } else {
        logNormal("QuillmarkValue: ", "No expired time");
    }
    char* text = aesDecryptStripPrefix(entry.cipherText.get(), entry.cipherLength,
                                       module().valueKey.data(), module().valueIV.data());
    if (text == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
    }
    return text;
}

void setValueClockForTesting(ValueClock clock) {
    module().clock = clock != nullptr ? clock : systemClock;
}

ValueEntryView valueEntryForTesting(int32_t index) {
    if (index < 0 || index >= kValueEntryCount) {
        return ValueEntryView{};
    }
    const ValueEntry& entry = module().valueStore[index];
    return ValueEntryView{entry.used,           entry.channel, entry.domainList,
                          entry.timeoutMinutes, entry.expiry,  entry.cipherLength};
}

std::vector<std::string> urlCheckListForTesting() {
    return module().urlCheckList;
}
