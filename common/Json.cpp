// The JsonMap: parsing over jsmn, the shared key order, lookup, value decoding by the companion
// flags, serialisation and the masked log display.
#define JSMN_STATIC
#include <jsmn.h>

#include "common/Json.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/AES.h"
#include "common/Log.h"
#include "common/Tool.h"

namespace {

constexpr char kModule[] = "Json";
constexpr char kShareSecretKey[] = "Quillmark_share_secret";
constexpr char kHideSuffix[] = "_QuillmarkHide";
constexpr char kEncryptSuffix[] = "_QuillmarkEncryptFlag";
constexpr char kStarSuffix[] = "_QuillmarkFlag";
constexpr char kSlashSuffix[] = "_QuillmarkSlashFlag";
constexpr char kBase64Suffix[] = "_QuillmarkBase64Flag";
constexpr char kSlashMarker[] = "==QuillmarkSlash==";
// Most tokens of a text that a parse error still logs, masked.
constexpr int kMaxMaskedTokens = 4096;

// Words of the request IV; kept as numbers so the IV never stands as one byte string in the
// program file.
constexpr uint32_t kRequestIvWords[4] = {0x6A3F9C21u, 0xD4587B0Eu, 0x91C2E6F3u, 0x3B7D0A58u};

std::atomic<JsonMapMissHandler> missHandler{nullptr};

void warnNull(const char* name, int line) {
    qm::logNullParameter(name, kModule, line);
}

void logAllocationFailure(int line) {
    qm::logAllocationFailure(kModule, line);
}

// The null warnings of an operation's map and key arguments; true when both are given.
bool haveMapAndKey(const JsonMap* map, const char* key, const char* keyName, int line) {
    if (map == nullptr) {
        warnNull("inputQuillmarkJson", line);
        return false;
    }
    if (key == nullptr) {
        warnNull(keyName, line);
        return false;
    }
    return true;
}

void wipeAndFree(char* text) {
    if (text != nullptr) {
        secureZero(text, std::strlen(text));
        std::free(text);
    }
}

void wipeString(std::string& text) {
    secureZero(text.data(), text.size());
    text.clear();
}

struct WipeFree {
    void operator()(char* text) const { wipeAndFree(text); }
};
using SecretText = std::unique_ptr<char, WipeFree>;

struct Free {
    void operator()(void* block) const { std::free(block); }
};

unsigned char lowerAscii(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

std::string lowerCopy(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        c = static_cast<char>(lowerAscii(c));
    }
    return lowered;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

int32_t usedCount(const JsonMap& map) {
    return std::clamp(map.count, 0, kJsonMapCapacity);
}

// The raw text of an entry as a lookup copies it: the value, else the binary bytes up to their
// first NUL.
std::string_view rawView(const JsonMapEntry& entry) {
    if (entry.value != nullptr) {
        return entry.value;
    }
    if (entry.binaryValue != nullptr) {
        const auto* bytes = reinterpret_cast<const char*>(entry.binaryValue);
        return {bytes, strnlen(bytes, entry.binaryLength)};
    }
    return {};
}

void reportMiss(const char* key) {
    const JsonMapMissHandler handler = missHandler.load();
    if (handler != nullptr) {
        handler(key);
    }
}

enum class Search { Found, Missing, CompareSame };

// The binary search over entries[low .. high]. The steps stay within 0 .. count-1, so the
// middle may leave [low, high] once without ever leaving the array.
Search searchEntry(const JsonMap& map, int32_t low, int32_t high, const char* key,
                   const JsonMapEntry** found) {
    const int32_t count = usedCount(map);
    low = std::max(low, 0);
    high = std::min(high, count - 1);
    if (count == 0 || low > high) {
        return Search::Missing;
    }
    for (;;) {
        const int32_t mid = (low + high) / 2;  // both are non-negative: rounds down
        const int order = compareJsonMapKeys(map.entries[mid].key, key);
        if (order == 0) {
            *found = &map.entries[mid];
            return Search::Found;
        }
        if (order != -1 && order != 1) {
            // Only an entry without a key gets here.
            logWarning("BinarySearchQuillmarkJsonMap Compare_Same!", "");
            return Search::CompareSame;
        }
        if (low >= high) {
            return Search::Missing;
        }
        if (order < 0) {
            if (mid + 1 >= count) {
                return Search::Missing;
            }
            low = mid + 1;
        } else {
            if (mid - 1 < 0) {
                return Search::Missing;
            }
            high = mid - 1;
        }
    }
}

// A companion flag is read raw: decoding it could consult its own companions, and a flagged
// flag would then loop through decoding and the display without end.
bool companionOn(const JsonMap& map, std::string_view key, const char* suffix) {
    const std::string name = std::string(key) + suffix;
    const JsonMapEntry* entry = nullptr;
    if (searchEntry(map, 0, usedCount(map) - 1, name.c_str(), &entry) != Search::Found) {
        return false;
    }
    return equalsIgnoreCase(rawView(*entry), "true");
}

bool isHexText(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// Why an encrypted value could not be deciphered, as its log line gives it; the index is kept in
// the one byte of the block that marks such a value deciphered ahead of its reads.
constexpr const char* kDecipherFailures[] = {"no share secret", "not hexadecimal", "no memory",
                                             "cannot decrypt"};
enum DecipherFailure : unsigned char { kNoSecret, kNotHex, kNoMemory, kCannotDecrypt };

// A page's key can be as long as its request: the line shows it bounded.
void logDecipherFailure(const char* key, unsigned char reason) {
    const char* text = reason < std::size(kDecipherFailures) ? kDecipherFailures[reason] : "";
    const std::string line = boundedLogText(key) + " (" + text + ")";
    logError("Decrypt value fail: ", line.c_str());
}

// An encrypted value that cannot be read must not travel on as its hexadecimal text (a component
// would take it for the PIN and count a failed try): it counts as absent.
char* failDecryption(const char* key, unsigned char reason) {
    logDecipherFailure(key, reason);
    reportMiss(key);
    return nullptr;
}

// The plaintext of hexText under the map's share secret, or null with the reason.
char* decipher(const JsonMap& map, const char* hexText, unsigned char* reason) {
    const JsonMapEntry* secret = nullptr;
    if (searchEntry(map, 0, usedCount(map) - 1, kShareSecretKey, &secret) != Search::Found ||
        rawView(*secret).empty()) {
        *reason = kNoSecret;
        return nullptr;
    }
    const std::string_view hex(hexText);
    if (!isHexText(hex) || hex.size() / 2 > static_cast<size_t>(INT32_MAX)) {
        *reason = kNotHex;
        return nullptr;
    }
    std::unique_ptr<unsigned char, Free> cipherText(hexToBytes(hexText));
    if (!cipherText) {
        logAllocationFailure(__LINE__);
        *reason = kNoMemory;
        return nullptr;
    }
    // A secret shorter than the key is padded with zero bytes rather than read past its end.
    uint8_t aesKey[kAesKeySize] = {};
    const std::string_view secretText = rawView(*secret);
    std::memcpy(aesKey, secretText.data(),
                std::min(secretText.size(), static_cast<size_t>(kAesKeySize)));
    uint8_t iv[kRequestValueIvSize];
    getRequestValueIv(iv);
    char* plainText =
        aesDecryptStripPrefix(cipherText.get(), static_cast<int32_t>(hex.size() / 2), aesKey, iv);
    secureZero(aesKey, sizeof(aesKey));
    secureZero(iv, sizeof(iv));
    if (plainText == nullptr) {
        *reason = kCannotDecrypt;
    }
    return plainText;
}

char* decryptValue(const char* key, const JsonMap& map, const char* hexText) {
    displayJsonMap(&map);
    logNormal("find key: ", kShareSecretKey);
    unsigned char reason = kCannotDecrypt;
    char* plainText = decipher(map, hexText, &reason);
    if (plainText == nullptr) {
        return failDecryption(key, reason);
    }
    return plainText;
}

// An entry whose encrypted value was deciphered ahead of its reads (decipherJsonMapValues): its
// text value stays the hexadecimal text, which lookups and the display go on using, and
// binaryValue holds the plaintext with its NUL (binaryLength counting the NUL), or one byte with
// the reason it could not be deciphered (binaryLength 0). Parsing never sets binaryValue beside
// a text value.
bool hasDecipheredForm(const JsonMapEntry& entry) {
    return entry.value != nullptr && entry.binaryValue != nullptr;
}

void dropDecipheredForms(JsonMap& map) {
    for (int32_t i = 0; i < usedCount(map); ++i) {
        JsonMapEntry& entry = map.entries[i];
        if (hasDecipheredForm(entry)) {
            secureZero(entry.binaryValue, entry.binaryLength);
            std::free(entry.binaryValue);
            entry.binaryValue = nullptr;
            entry.binaryLength = 0;
        }
    }
}

// The decoded value of a flagged encrypted value: its deciphered form when rawValue is the
// entry's own text and one was made, else deciphered now.
char* decodeEncrypted(const char* key, const JsonMap& map, const JsonMapEntry* entry,
                      const char* rawValue) {
    if (entry == nullptr || entry->value != rawValue || !hasDecipheredForm(*entry)) {
        return decryptValue(key, map, rawValue);
    }
    if (entry->binaryLength == 0) {
        return failDecryption(key, entry->binaryValue[0]);
    }
    auto* plainText = static_cast<char*>(std::malloc(entry->binaryLength));
    if (plainText == nullptr) {
        logAllocationFailure(__LINE__);
        return failDecryption(key, kNoMemory);
    }
    std::memcpy(plainText, entry->binaryValue, entry->binaryLength);
    return plainText;
}

bool validSpan(const jsmntok_t& token, size_t length) {
    return token.start >= 0 && token.end >= token.start && static_cast<size_t>(token.end) <= length;
}

// Text of a token: between the quotation marks of a string, the whole text of anything else.
// Null for a span outside the text (jsmn never gives one for a complete parse).
char* tokenCopy(const char* text, size_t length, const jsmntok_t& token) {
    if (!validSpan(token, length)) {
        return nullptr;
    }
    return substring(text, static_cast<size_t>(token.start), static_cast<size_t>(token.end));
}

std::string_view tokenView(const char* text, size_t length, const jsmntok_t& token) {
    if (!validSpan(token, length)) {
        return {};
    }
    return {text + token.start, static_cast<size_t>(token.end - token.start)};
}

struct KeyLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return compareJsonMapKeys(a.c_str(), b.c_str()) < 0;
    }
};

// The text with every value that the display would mask turned into asterisks, pairing the
// tokens as parsing does. Tokens outside every pair (a lone string or number) have no key that
// could clear them and are masked too.
std::string maskedJsonText(const char* text, size_t length, const jsmntok_t* tokens, int count) {
    std::string masked(text, length);
    std::vector<bool> paired(static_cast<size_t>(count), false);
    std::set<std::string, KeyLess> hideOn;
    for (int first = count - 2; first > 0; first -= 2) {
        if (equalsIgnoreCase(tokenView(text, length, tokens[first + 1]), "true")) {
            hideOn.emplace(tokenView(text, length, tokens[first]));
        }
    }
    auto fill = [&](const jsmntok_t& token) {
        if (validSpan(token, length)) {
            std::fill(masked.begin() + token.start, masked.begin() + token.end, '*');
        }
    };
    for (int first = count - 2; first > 0; first -= 2) {
        paired[static_cast<size_t>(first)] = true;
        paired[static_cast<size_t>(first) + 1] = true;
        const std::string key(tokenView(text, length, tokens[first]));
        if (isMaskedJsonMapKey(key.c_str(), hideOn.count(key + kHideSuffix) != 0)) {
            fill(tokens[first + 1]);
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!paired[static_cast<size_t>(i)] &&
            (tokens[i].type == JSMN_STRING || tokens[i].type == JSMN_PRIMITIVE)) {
            fill(tokens[i]);
        }
    }
    return masked;
}

// The request text of a parse error may hold PINs: it is logged masked when it can be
// tokenised at all (also when it only had too many tokens), else by its length only. A text of
// more tokens than kMaxMaskedTokens is also shown by its length: a body of many megabytes would
// otherwise need a token array several times its size just to be logged.
void logUnparsedText(const char* text, size_t length, int result, const jsmntok_t* tokens) {
    if (!isLogEnabled()) {
        return;
    }
    std::vector<jsmntok_t> allTokens;
    int count = result;
    if (result == JSMN_ERROR_NOMEM) {
        jsmn_parser parser;
        jsmn_init(&parser);
        count = jsmn_parse(&parser, text, length, nullptr, 0);
        if (count > kMaxMaskedTokens) {
            count = JSMN_ERROR_NOMEM;
        }
        if (count > 0) {
            allTokens.resize(static_cast<size_t>(count));
            jsmn_init(&parser);
            count =
                jsmn_parse(&parser, text, length, allTokens.data(), static_cast<unsigned>(count));
        }
        tokens = allTokens.data();
    }
    if (count < 0) {
        const std::string size = "[length: " + std::to_string(length) + "]";
        logError("Error json: ", size.c_str());
        return;
    }
    std::string masked = maskedJsonText(text, length, tokens, count);
    std::string shown = boundedLogText(masked);
    logError("Error json: ", shown.c_str());
    wipeString(shown);
    wipeString(masked);
}

// A copy of an entry's binary bytes with a NUL behind them; null when it has none.
char* copyBinaryValue(const JsonMapEntry& entry) {
    if (entry.binaryValue == nullptr || entry.binaryLength == 0) {
        return nullptr;
    }
    auto* copy = static_cast<char*>(allocZeroed(size_t{entry.binaryLength} + 1));
    if (copy == nullptr) {
        logAllocationFailure(__LINE__);
        return nullptr;
    }
    std::memcpy(copy, entry.binaryValue, entry.binaryLength);
    return copy;
}

bool entryLess(const JsonMapEntry& a, const JsonMapEntry& b) {
    return compareJsonMapEntry(&a, &b) < 0;
}

}  // namespace

// ---- Owning maps -----------------------------------------------------------------------------

JsonMap* createJsonMap() {
    auto* map = static_cast<JsonMap*>(allocZeroed(sizeof(JsonMap)));
    if (map == nullptr) {
        logAllocationFailure(__LINE__);
    }
    return map;
}

void freeJsonMap(JsonMap* map) {
    if (map == nullptr) {
        return;
    }
    for (int32_t i = 0; i < usedCount(*map); ++i) {
        JsonMapEntry& entry = map->entries[i];
        std::free(entry.key);
        wipeAndFree(entry.value);
        if (entry.binaryValue != nullptr) {
            secureZero(entry.binaryValue, entry.binaryLength);
            std::free(entry.binaryValue);
        }
    }
    wipeAndFree(map->sourceText);
    std::free(map);
}

// ---- Order -----------------------------------------------------------------------------------

int compareJsonMapKeys(const char* keyA, const char* keyB) {
    if (keyA == nullptr || keyB == nullptr) {
        return 100;
    }
    for (size_t i = 0;; ++i) {
        const unsigned char a = lowerAscii(keyA[i]);
        const unsigned char b = lowerAscii(keyB[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == 0) {
            return 0;
        }
    }
}

int compareJsonMapEntry(const JsonMapEntry* inputA, const JsonMapEntry* inputB) {
    if (inputA == nullptr || inputB == nullptr) {
        return 100;
    }
    return compareJsonMapKeys(inputA->key, inputB->key);
}

// ---- Parsing and building --------------------------------------------------------------------

namespace {

// The value of a token with its escapes undone, straight from the text; null on no memory.
char* tokenValue(const char* text, size_t length, const jsmntok_t& token) {
    if (!validSpan(token, length)) {
        return nullptr;
    }
    const auto size = static_cast<size_t>(token.end - token.start);
    auto* value = static_cast<char*>(allocZeroed(size + 1));
    if (value != nullptr) {
        unescapeJsonText(value, text + token.start, size);
    }
    return value;
}

// Parsing over text of length bytes; the map keeps sourceText when one is made, and frees it
// (wiped) otherwise.
JsonMap* parseWithSource(const char* text, size_t length, SecretText sourceText) {
    std::vector<jsmntok_t> tokens(kJsonMapMaxTokens);
    jsmn_parser parser;
    jsmn_init(&parser);
    const int count = jsmn_parse(&parser, text, length, tokens.data(), kJsonMapMaxTokens);
    if (count < 2) {
        logError("jsmn parse error", "");
        logUnparsedText(text, length, count, tokens.data());
        return nullptr;
    }

    JsonMapPtr map(createJsonMap());
    if (!map) {
        return nullptr;
    }
    // Pairs by position from the end, whatever their depth: a flat object of k pairs gives its k
    // pairs, and 257 tokens give at most 128.
    for (int first = count - 2; first > 0 && map->count < kJsonMapCapacity; first -= 2) {
        JsonMapEntry& entry = map->entries[map->count];
        ++map->count;  // counted at once, so that freeing the map frees a half-made entry
        entry.key = tokenCopy(text, length, tokens[first]);
        entry.value = tokenValue(text, length, tokens[first + 1]);
        // A map with pairs missing could lose a companion flag and pass a value on undecoded:
        // no map at all.
        if (entry.key == nullptr || entry.value == nullptr) {
            logAllocationFailure(__LINE__);
            return nullptr;
        }
    }
    std::sort(map->entries, map->entries + map->count, entryLess);
    if (!sourceText) {
        logAllocationFailure(__LINE__);
        return nullptr;
    }
    map->sourceText = sourceText.release();
    return map.release();
}

}  // namespace

JsonMap* parseJsonMap(const char* inputJsonStr) {
    if (inputJsonStr == nullptr) {
        warnNull("inputJsonStr", __LINE__);
        return nullptr;
    }
    return parseWithSource(inputJsonStr, std::strlen(inputJsonStr),
                           SecretText(duplicateString(inputJsonStr)));
}

JsonMap* parseJsonMapTakingText(char* inputJsonStr, size_t length) {
    if (inputJsonStr == nullptr) {
        warnNull("inputJsonStr", __LINE__);
        return nullptr;
    }
    SecretText text(inputJsonStr);
    return parseWithSource(inputJsonStr, length, std::move(text));
}

int setJsonMapValue(JsonMap* inputQuillmarkJson, const char* Key, const char* value) {
    if (!haveMapAndKey(inputQuillmarkJson, Key, "Key", __LINE__)) {
        return 0;
    }
    JsonMap& map = *inputQuillmarkJson;
    // A new value, companion or share secret may change what any encrypted value deciphers to.
    dropDecipheredForms(map);
    const int32_t count = usedCount(map);
    for (int32_t i = 0; i < count; ++i) {
        JsonMapEntry& entry = map.entries[i];
        if (compareJsonMapKeys(entry.key, Key) == 0) {
            wipeAndFree(entry.value);
            entry.value = duplicateString(value);
            return 0;
        }
    }
    if (count >= kJsonMapCapacity) {
        logWarning("Json map full, key not added: ", Key);
        return 0;
    }
    char* key = duplicateString(Key);
    if (key == nullptr) {
        return 0;
    }
    char* copy = nullptr;
    if (value != nullptr) {
        copy = duplicateString(value);
        if (copy == nullptr) {
            std::free(key);
            return 0;
        }
    }
    map.entries[count] = JsonMapEntry{key, copy, nullptr, 0};
    map.count = count + 1;
    std::sort(map.entries, map.entries + map.count, entryLess);
    return 0;
}

int setJsonMapResult(JsonMap* inputQuillmarkJson, int32_t code) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", static_cast<int>(code));
    return setJsonMapValue(inputQuillmarkJson, "result", text);
}

char* serializeJsonMap(const JsonMap* responseMap) {
    if (responseMap == nullptr) {
        warnNull("responseMap", __LINE__);
        return nullptr;
    }
    const int32_t count = usedCount(*responseMap);
    // Reserved up front: the text holds answers and must not leave copies behind as it grows.
    size_t size = 3;
    for (int32_t i = 0; i < count; ++i) {
        const JsonMapEntry& entry = responseMap->entries[i];
        if (entry.value != nullptr) {
            size += std::strlen(entry.key != nullptr ? entry.key : "") +
                    (std::strlen(entry.value) + 2) / 3 * 4 + 8;
        }
    }
    std::string text;
    text.reserve(size);
    text += '{';
    bool first = true;
    for (int32_t i = 0; i < count; ++i) {
        const JsonMapEntry& entry = responseMap->entries[i];
        if (entry.value == nullptr) {
            continue;
        }
        SecretText encoded(base64EncodeString(entry.value));
        if (!encoded) {
            wipeString(text);
            return nullptr;
        }
        if (!first) {
            text += ", ";
        }
        first = false;
        text += '"';
        text += entry.key != nullptr ? entry.key : "";
        text += "\": \"";
        text += encoded.get();
        text += '"';
    }
    text += '}';
    char* result = duplicateString(text.c_str());
    wipeString(text);
    return result;
}

// ---- Reading ---------------------------------------------------------------------------------

namespace {

// The entry of key in entries[low .. high]; null when there is none, a miss being reported.
const JsonMapEntry* lookUpEntry(const JsonMap& map, int32_t low, int32_t high, const char* key) {
    const JsonMapEntry* entry = nullptr;
    switch (searchEntry(map, low, high, key, &entry)) {
        case Search::Missing:
            reportMiss(key);
            return nullptr;
        case Search::CompareSame:
            return nullptr;
        case Search::Found:
            break;
    }
    return entry;
}

}  // namespace

char* BinarySearchQuillmarkJsonMap(const JsonMap* inputQuillmarkJson, int32_t low, int32_t high,
                                   const char* inputKey) {
    if (!haveMapAndKey(inputQuillmarkJson, inputKey, "inputKey", __LINE__)) {
        return nullptr;
    }
    const JsonMapEntry* entry = lookUpEntry(*inputQuillmarkJson, low, high, inputKey);
    if (entry == nullptr) {
        return nullptr;
    }
    if (entry->value != nullptr) {
        return duplicateString(entry->value);
    }
    return copyBinaryValue(*entry);
}

namespace {

// The decoding of decodeJsonMapValue; entry is the entry whose value rawValue may be (or null).
char* decodeRaw(const char* key, const JsonMap& map, const JsonMapEntry* entry,
                const char* rawValue) {
    if (companionOn(map, key, kEncryptSuffix)) {
        return decodeEncrypted(key, map, entry, rawValue);
    }
    char* decoded = nullptr;
    if (companionOn(map, key, kStarSuffix)) {
        decoded = replaceAll(rawValue, "*", "\\");
    } else if (companionOn(map, key, kSlashSuffix)) {
        decoded = replaceAll(rawValue, kSlashMarker, "\\");
    } else if (companionOn(map, key, kBase64Suffix)) {
        decoded = urlBase64Decode(rawValue);
    } else {
        return duplicateString(rawValue);
    }
    if (decoded == nullptr) {
        logAllocationFailure(__LINE__);
        return duplicateString(rawValue);
    }
    return decoded;
}

}  // namespace

char* decodeJsonMapValue(const char* inputKey, const JsonMap* inputQuillmarkJson,
                         const char* inputValue) {
    if (!haveMapAndKey(inputQuillmarkJson, inputKey, "inputKey", __LINE__)) {
        return duplicateString(inputValue);
    }
    if (inputValue == nullptr) {
        warnNull("inputValue", __LINE__);
        return nullptr;
    }
    const JsonMap& map = *inputQuillmarkJson;
    const JsonMapEntry* entry = nullptr;
    if (searchEntry(map, 0, usedCount(map) - 1, inputKey, &entry) != Search::Found) {
        entry = nullptr;
    }
    return decodeRaw(inputKey, map, entry, inputValue);
}

char* getJsonMapValue(const JsonMap* inputQuillmarkJson, const char* inputKey) {
    if (!haveMapAndKey(inputQuillmarkJson, inputKey, "inputKey", __LINE__)) {
        return nullptr;
    }
    const JsonMap& map = *inputQuillmarkJson;
    const JsonMapEntry* entry = lookUpEntry(map, 0, map.count - 1, inputKey);
    if (entry == nullptr) {
        return nullptr;
    }
    // The value is read where it stands: copying a value of many megabytes first would double
    // the work of every read.
    if (entry->value != nullptr) {
        return decodeRaw(inputKey, map, entry, entry->value);
    }
    SecretText raw(copyBinaryValue(*entry));
    if (!raw) {
        return nullptr;
    }
    return decodeRaw(inputKey, map, nullptr, raw.get());
}

int32_t getJsonMapInt(const JsonMap* inputQuillmarkJson, const char* inputKey) {
    if (!haveMapAndKey(inputQuillmarkJson, inputKey, "inputKey", __LINE__)) {
        return 0;
    }
    const SecretText value(getJsonMapValue(inputQuillmarkJson, inputKey));
    if (!value) {
        return 0;
    }
    if (equalsIgnoreCase(value.get(), "true")) {
        return 1;
    }
    if (equalsIgnoreCase(value.get(), "false")) {
        return 0;
    }
    const long long number = std::strtoll(value.get(), nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(number, INT32_MIN, INT32_MAX));
}

int32_t getJsonMapMode(const JsonMap* inputQuillmarkJson) {
    return getJsonMapInt(inputQuillmarkJson, "QuillmarkMode");
}

int32_t getJsonMapTimeout(const JsonMap* inputQuillmarkJson) {
    return getJsonMapInt(inputQuillmarkJson, "timeout");
}

bool getJsonMapBool(const JsonMap* inputQuillmarkJson, const char* inputKey) {
    if (!haveMapAndKey(inputQuillmarkJson, inputKey, "inputKey", __LINE__)) {
        return false;
    }
    const SecretText value(getJsonMapValue(inputQuillmarkJson, inputKey));
    return value && equalsIgnoreCase(value.get(), "true");
}

JsonMapMissHandler setJsonMapMissHandler(JsonMapMissHandler handler) {
    return missHandler.exchange(handler);
}

bool isCheckedJsonMapKey(const char* key) {
    return key != nullptr && std::strstr(key, "Quillmark") == nullptr &&
           std::strstr(key, "topui") == nullptr;
}

// ---- Log display -----------------------------------------------------------------------------

bool isMaskedJsonMapKey(const char* key, bool hideCompanionOn) {
    const std::string lowered = lowerCopy(key != nullptr ? key : "");
    // The share secret is the key of the encrypted values: never in plain, whatever its name.
    if (equalsIgnoreCase(lowered, kShareSecretKey)) {
        return true;
    }
    if (lowered.find("quillmark") != std::string::npos) {
        return false;
    }
    return lowered.find("pin") != std::string::npos || lowered.find("pw") != std::string::npos ||
           lowered.find("pass") != std::string::npos || hideCompanionOn;
}

void displayJsonMap(const JsonMap* inputQuillmarkJson) {
    if (!isLogEnabled()) {
        return;
    }
    logNormal("= DISPLAY PARAMETER", " ===== start =====");
    if (inputQuillmarkJson != nullptr) {
        const JsonMap& map = *inputQuillmarkJson;
        for (int32_t i = 0; i < usedCount(map); ++i) {
            const JsonMapEntry& entry = map.entries[i];
            const char* key = entry.key != nullptr ? entry.key : "";
            const std::string label = boundedLogText(key) + ": ";
            if (entry.value == nullptr) {
                logNormal(label.c_str(),
                          entry.binaryValue != nullptr ? "[binary_value]" : "[empty]");
                continue;
            }
            // The whole key decides the masking, not the part of it that is shown.
            const bool masked = isMaskedJsonMapKey(key, companionOn(map, key, kHideSuffix));
            logNormal(label.c_str(), boundedLogText(entry.value, masked).c_str());
        }
    }
    logNormal("= DISPLAY PARAMETER", " ===== end =====");
}

// ---- Encrypted values --------------------------------------------------------------------------

void getRequestValueIv(unsigned char iv[kRequestValueIvSize]) {
    for (size_t word = 0; word < 4; ++word) {
        for (size_t byte = 0; byte < 4; ++byte) {
            iv[word * 4 + byte] =
                static_cast<unsigned char>(kRequestIvWords[word] >> (24 - 8 * byte));
        }
    }
}

size_t encryptedJsonMapTextBytes(const JsonMap* inputQuillmarkJson) {
    if (inputQuillmarkJson == nullptr) {
        warnNull("inputQuillmarkJson", __LINE__);
        return 0;
    }
    const JsonMap& map = *inputQuillmarkJson;
    size_t bytes = 0;
    for (int32_t i = 0; i < usedCount(map); ++i) {
        const JsonMapEntry& entry = map.entries[i];
        if (entry.key != nullptr && entry.value != nullptr &&
            companionOn(map, entry.key, kEncryptSuffix)) {
            bytes += std::strlen(entry.value);
        }
    }
    return bytes;
}

void decipherJsonMapValues(JsonMap* inputQuillmarkJson) {
    if (inputQuillmarkJson == nullptr) {
        warnNull("inputQuillmarkJson", __LINE__);
        return;
    }
    JsonMap& map = *inputQuillmarkJson;
    for (int32_t i = 0; i < usedCount(map); ++i) {
        JsonMapEntry& entry = map.entries[i];
        if (entry.key == nullptr || entry.value == nullptr || hasDecipheredForm(entry) ||
            !companionOn(map, entry.key, kEncryptSuffix)) {
            continue;
        }
        logNormal("find key: ", kShareSecretKey);
        unsigned char reason = kCannotDecrypt;
        char* plainText = decipher(map, entry.value, &reason);
        if (plainText != nullptr) {
            entry.binaryValue = reinterpret_cast<unsigned char*>(plainText);
            entry.binaryLength = static_cast<uint32_t>(std::strlen(plainText) + 1);
            continue;
        }
        logDecipherFailure(entry.key, reason);
        auto* mark = static_cast<unsigned char*>(std::malloc(1));
        if (mark == nullptr) {
            // Left without a form, the value is deciphered again when it is read.
            logAllocationFailure(__LINE__);
            continue;
        }
        mark[0] = reason;
        entry.binaryValue = mark;
        entry.binaryLength = 0;
    }
}
