// Tool: the portable text, number and encoding helpers (no Win32 calls).
#include "common/Tool.h"

#include "common/Log.h"
#include "common/ToolInternal.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kMaxAllocation = 2147483647U;
constexpr size_t kVersionBufferSize = 512;
constexpr size_t kAlignWidth = 16;
constexpr const char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char kSessionAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr size_t kSessionRandomBytes = 8;

struct ToolState {
    // Written by the number readers, read by lastConversionFailed. One word per thread: the
    // listener threads read numbers at the same time, and a reading must be tested by the thread
    // that made it.
    int32_t conversionStatus = kConversionOk;
};

thread_local ToolState state;

// The value of each character in the base64 alphabet, -1 for every other one. A table: a 64 MiB
// request field is decoded one character at a time on its listener's thread.
constexpr std::array<signed char, 256> kBase64Values = [] {
    std::array<signed char, 256> values{};
    values.fill(-1);
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) {
        values[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    }
    return values;
}();

// How a base64 run is read: as written, or with the URL escapes "%2B", "%2F" and "%3D" (upper
// case only) standing for "+", "/" and "=". The escapes cannot overlap and their replacements
// form no new escape, so reading them in place gives what replacing them one after another does.
enum class Base64Text { kPlain, kUrlEscaped };

// The value of the character at p (-1 outside the alphabet, the NUL included) and, in
// *width, how many characters it took.
inline int base64ValueAt(const char* p, Base64Text kind, size_t* width) {
    *width = 1;
    if (kind == Base64Text::kUrlEscaped && p[0] == '%') {
        if (p[1] == '2' && (p[2] == 'B' || p[2] == 'F')) {
            *width = 3;
            return p[2] == 'B' ? 62 : 63;
        }
        if (p[1] == '3' && p[2] == 'D') {
            return -1;  // "=": the padding ends the run
        }
    }
    return kBase64Values[static_cast<unsigned char>(*p)];
}

// The number of characters in the leading run of the alphabet (an escape counts as one).
size_t base64RunLength(const char* text, Base64Text kind) {
    size_t n = 0;
    size_t width;
    for (const char* p = text; base64ValueAt(p, kind, &width) >= 0; p += width) {
        ++n;
    }
    return n;
}

// Adds one character's six bits to the group; the fourth gives the group's three bytes.
void addToGroup(unsigned int& group, unsigned int& inGroup, unsigned int value,
                unsigned char* output, size_t& out) {
    group = (group << 6U) | value;
    if (++inGroup == 4) {
        output[out++] = static_cast<unsigned char>(group >> 16U);
        output[out++] = static_cast<unsigned char>(group >> 8U);
        output[out++] = static_cast<unsigned char>(group);
        group = 0;
        inGroup = 0;
    }
}

// A last group of 3 or 2 characters gives 2 or 1 bytes; a lone character gives nothing. Returns
// the bytes written.
size_t finishGroup(unsigned int group, unsigned int inGroup, unsigned char* output) {
    if (inGroup == 3) {
        group <<= 6U;
        output[0] = static_cast<unsigned char>(group >> 16U);
        output[1] = static_cast<unsigned char>(group >> 8U);
        return 2;
    }
    if (inGroup == 2) {
        group <<= 12U;
        output[0] = static_cast<unsigned char>(group >> 16U);
        return 1;
    }
    return 0;
}

// Decodes the leading run into output (room for (n+3)/4*3+1 bytes), NUL-terminated; returns the
// number of bytes.
size_t decodeBase64Run(unsigned char* output, const char* input, Base64Text kind) {
    size_t out = 0;
    unsigned int group = 0;
    unsigned int inGroup = 0;
    size_t width;
    for (const char* p = input;; p += width) {
        const int value = base64ValueAt(p, kind, &width);
        if (value < 0) {
            break;
        }
        addToGroup(group, inGroup, static_cast<unsigned int>(value), output, out);
    }
    out += finishGroup(group, inGroup, output + out);
    output[out] = '\0';
    return out;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return 0;
}

// Converts with strtoll so that the 32-bit range test is the same on every platform (long is 32
// bits on Windows and 64 on Linux).
int32_t convertNumber(const char* input, int base) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(input, &end, base);
    if (end == input || errno == ERANGE || value > INT32_MAX || value < INT32_MIN) {
        state.conversionStatus = kConversionNotNumber;
        return 0;
    }
    return static_cast<int32_t>(value);
}

void freeStringArray(char** array) {
    if (array == nullptr) {
        return;
    }
    for (char** p = array; *p != nullptr; ++p) {
        std::free(*p);
    }
    std::free(array);
}

size_t countStrings(char** array) {
    size_t n = 0;
    while (array[n] != nullptr) {
        ++n;
    }
    return n;
}

// Owner of a splitString array.
struct StringArray {
    char** items = nullptr;
    StringArray() = default;
    explicit StringArray(char** adopted) : items(adopted) {}
    StringArray(const StringArray&) = delete;
    StringArray& operator=(const StringArray&) = delete;
    ~StringArray() { freeStringArray(items); }
};

void warnStringCompare(const char* partA, const char* partB) {
    logWarning("Version check: ", "String compare mode");
    logWarning(" - Version A: ", partA);
    logWarning(" - Version B: ", partB);
}

// Splits one version into its parts; null on no memory. Blanks go, "." and "," both separate.
char** splitVersion(const char* version) {
    char buffer[kVersionBufferSize] = {};
    safeCopyString(buffer, sizeof(buffer), version);
    size_t out = 0;
    for (size_t in = 0; buffer[in] != '\0'; ++in) {
        if (buffer[in] == ' ') {
            continue;
        }
        buffer[out++] = buffer[in] == '.' ? ',' : buffer[in];
    }
    buffer[out] = '\0';
    return splitString(buffer, ",");
}

}  // namespace

void safeCopyString(char* destination, size_t size, const char* source) {
    if (destination == nullptr || size == 0 || source == nullptr) {
        return;
    }
    const size_t length = strnlen(source, size - 1);
    std::memcpy(destination, source, length);
    destination[length] = '\0';
    destination[size - 1] = '\0';
}

void safeCopyStringAndFree(char* destination, size_t size, char* source) {
    safeCopyString(destination, size, source);
    if (source == nullptr) {
        return;
    }
    secureZero(source, std::strlen(source));
    std::free(source);
}

void secureZero(void* memory, size_t length) {
    if (length == 0) {
        return;
    }
    // memset, ten times faster over a request's block than stores through a volatile pointer,
    // then a barrier that claims to read the block, so that the stores count as used.
    std::memset(memory, 0, length);
    __asm__ __volatile__("" : : "r"(memory) : "memory");
}

void* allocZeroed(size_t count) {
    if (count == 0 || count > kMaxAllocation) {
        return nullptr;
    }
    void* block = std::calloc(1, count);
    if (block == nullptr) {
        QM_TOOL_ALLOC_FAILED();
    }
    return block;
}

char* duplicateString(const char* input) {
    if (input == nullptr) {
        return nullptr;
    }
    const size_t length = std::strlen(input);
    char* copy = static_cast<char*>(allocZeroed(length + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, input, length);
    return copy;
}

int32_t stringToLong(const char* input, bool digitsOnly) {
    state.conversionStatus = kConversionOk;
    if (input == nullptr) {
        state.conversionStatus = kConversionMissing;
        return 0;
    }
    if (digitsOnly) {
        for (size_t i = 0; input[i] != '\0'; ++i) {
            const bool digit = input[i] >= '0' && input[i] <= '9';
            if (!digit && !(i == 0 && input[i] == '-')) {
                state.conversionStatus = kConversionNotNumber;
                return 0;
            }
        }
    }
    return convertNumber(input, 10);
}

int32_t hexStringToLong(const char* input) {
    state.conversionStatus = kConversionOk;
    if (input == nullptr) {
        state.conversionStatus = kConversionMissing;
        return 0;
    }
    return convertNumber(input, 16);
}

bool lastConversionFailed() {
    const int32_t status = state.conversionStatus;
    return status == kConversionNotNumber || status == kConversionMissing;
}

int32_t conversionStatusForTesting() {
    return state.conversionStatus;
}

char* replaceAll(const char* input, const char* needle, const char* replacement) {
    if (input == nullptr) {
        return nullptr;
    }
    if (needle == nullptr) {
        needle = "";
    }
    if (replacement == nullptr) {
        replacement = "";
    }
    const size_t inputLength = std::strlen(input);
    const size_t needleLength = std::strlen(needle);
    const size_t replacementLength = std::strlen(replacement);
    // An empty needle would match everywhere without advancing: it replaces nothing.
    if (needleLength == 0) {
        return duplicateString(input);
    }
    size_t count = 0;
    for (const char* p = std::strstr(input, needle); p != nullptr;
         p = std::strstr(p + needleLength, needle)) {
        ++count;
    }
    size_t resultLength = inputLength - count * needleLength;
    if (replacementLength != 0 && count > (kMaxAllocation - resultLength) / replacementLength) {
        return nullptr;
    }
    resultLength += count * replacementLength;
    char* result = static_cast<char*>(allocZeroed(resultLength + 1));
    if (result == nullptr) {
        return nullptr;
    }
    char* out = result;
    const char* from = input;
    for (const char* p = std::strstr(from, needle); p != nullptr; p = std::strstr(from, needle)) {
        std::memcpy(out, from, static_cast<size_t>(p - from));
        out += p - from;
        std::memcpy(out, replacement, replacementLength);
        out += replacementLength;
        from = p + needleLength;
    }
    std::memcpy(out, from, std::strlen(from));
    return result;
}

bool startsWith(const char* prefix, const char* input) {
    if (prefix == nullptr) {
        return true;
    }
    if (input == nullptr) {
        QM_TOOL_WARN_NULL("inputMainString");
        return false;
    }
    return std::strncmp(prefix, input, std::strlen(prefix)) == 0;
}

char* substring(const char* input, size_t begin, size_t end) {
    if (input == nullptr || end < begin) {
        return nullptr;
    }
    char* result = static_cast<char*>(allocZeroed(end - begin + 1));
    if (result == nullptr) {
        return nullptr;
    }
    // Positions past the text's end are never read; they stay zero.
    const size_t length = strnlen(input, end);
    if (begin < length) {
        std::memcpy(result, input + begin, length - begin);
    }
    return result;
}

char* toLowerCopy(const char* input) {
    if (input == nullptr) {
        QM_TOOL_WARN_NULL("input");
        return nullptr;
    }
    char* copy = duplicateString(input);
    if (copy == nullptr) {
        return nullptr;
    }
    for (char* p = copy; *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z') {
            *p = static_cast<char>(*p - 'A' + 'a');
        }
    }
    return copy;
}

void splitToVector(const std::string& input, const std::string& delimiter,
                   std::vector<std::string>& pieces) {
    if (input.empty() || delimiter.empty()) {
        return;
    }
    size_t from = 0;
    for (size_t at = input.find(delimiter); at != std::string::npos;
         at = input.find(delimiter, from)) {
        pieces.push_back(input.substr(from, at - from));
        from = at + delimiter.size();
    }
    // The rest, or the one empty piece behind a final delimiter.
    pieces.push_back(input.substr(from));
}

char** splitString(const char* input, const char* delimiter) {
    if (input == nullptr || *input == '\0' || delimiter == nullptr || *delimiter == '\0') {
        return static_cast<char**>(allocZeroed(sizeof(char*)));
    }
    // Count first so that the pieces are built straight into heap blocks.
    const size_t delimiterLength = std::strlen(delimiter);
    size_t count = 1;
    for (const char* p = std::strstr(input, delimiter); p != nullptr;
         p = std::strstr(p + delimiterLength, delimiter)) {
        ++count;
    }
    char** array = static_cast<char**>(allocZeroed((count + 1) * sizeof(char*)));
    if (array == nullptr) {
        return nullptr;
    }
    const char* from = input;
    for (size_t i = 0; i < count; ++i) {
        const char* at = std::strstr(from, delimiter);
        const char* pieceEnd = at != nullptr ? at : from + std::strlen(from);
        array[i] = substring(from, 0, static_cast<size_t>(pieceEnd - from));
        from = at != nullptr ? at + delimiterLength : pieceEnd;
    }
    return array;
}

char* rightAlign16(const char* input) {
    if (input == nullptr) {
        QM_TOOL_WARN_NULL("MainText");
        return nullptr;
    }
    char* result = static_cast<char*>(allocZeroed(kAlignWidth + 1));
    if (result == nullptr) {
        return nullptr;
    }
    std::memset(result, ' ', kAlignWidth);
    size_t length = std::strlen(input);
    // A longer text keeps its right end, as the alignment would show it.
    if (length > kAlignWidth) {
        input += length - kAlignWidth;
        length = kAlignWidth;
    }
    std::memcpy(result + kAlignWidth - length, input, length);
    return result;
}

char* unescapeJsonValue(const char* input) {
    if (input == nullptr) {
        QM_TOOL_WARN_NULL("inputData");
        return nullptr;
    }
    const size_t length = std::strlen(input);
    char* text = static_cast<char*>(allocZeroed(length + 1));
    if (text != nullptr) {
        unescapeJsonText(text, input, length);
    }
    return text;
}

size_t unescapeJsonText(char* output, const char* input, size_t length) {
    // Each escape starts with the only backslash it holds and is replaced by a byte that is
    // neither a backslash nor part of another escape: one pass gives what the replacements one
    // after another give.
    static constexpr struct {
        const char* escape;
        size_t length;
        char byte;
    } kEscapes[] = {
        {"\\r", 2, '\r'},       {"\\n", 2, '\n'},       {"\\t", 2, '\t'}, {"\\u000f", 6, '\x0f'},
        {"\\u000e", 6, '\x0e'}, {"\\u001b", 6, '\x1b'}, {"\\\"", 2, '"'},
    };
    size_t out = 0;
    size_t i = 0;
    while (i < length) {
        const char* backslash = static_cast<const char*>(std::memchr(input + i, '\\', length - i));
        const size_t plainEnd =
            backslash != nullptr ? static_cast<size_t>(backslash - input) : length;
        const void* nul = std::memchr(input + i, '\0', plainEnd - i);
        if (nul != nullptr) {
            const size_t end = static_cast<size_t>(static_cast<const char*>(nul) - input);
            std::memcpy(output + out, input + i, end - i);
            out += end - i;
            break;
        }
        std::memcpy(output + out, input + i, plainEnd - i);
        out += plainEnd - i;
        i = plainEnd;
        if (i == length) {
            break;
        }
        size_t taken = 1;
        char byte = '\\';
        for (const auto& escape : kEscapes) {
            if (escape.length <= length - i &&
                std::memcmp(input + i, escape.escape, escape.length) == 0) {
                taken = escape.length;
                byte = escape.byte;
                break;
            }
        }
        output[out++] = byte;
        i += taken;
    }
    output[out] = '\0';
    return out;
}

size_t base64Encode(char* output, const unsigned char* bytes, size_t length) {
    size_t out = 0;
    size_t i = 0;
    for (; i + 2 < length; i += 3) {
        const unsigned int group = (bytes[i] << 16U) | (bytes[i + 1] << 8U) | bytes[i + 2];
        output[out++] = kBase64Alphabet[(group >> 18U) & 0x3FU];
        output[out++] = kBase64Alphabet[(group >> 12U) & 0x3FU];
        output[out++] = kBase64Alphabet[(group >> 6U) & 0x3FU];
        output[out++] = kBase64Alphabet[group & 0x3FU];
    }
    if (i < length) {
        const bool two = i + 1 < length;
        const unsigned int group = (bytes[i] << 16U) | (two ? bytes[i + 1] << 8U : 0U);
        output[out++] = kBase64Alphabet[(group >> 18U) & 0x3FU];
        output[out++] = kBase64Alphabet[(group >> 12U) & 0x3FU];
        output[out++] = two ? kBase64Alphabet[(group >> 6U) & 0x3FU] : '=';
        output[out++] = '=';
    }
    output[out] = '\0';
    return out + 1;
}

char* base64EncodeString(const char* input) {
    if (input == nullptr) {
        QM_TOOL_WARN_NULL("input");
        return nullptr;
    }
    const size_t length = std::strlen(input);
    char* result = static_cast<char*>(allocZeroed((length + 2) / 3 * 4 + 2));
    if (result == nullptr) {
        return nullptr;
    }
    base64Encode(result, reinterpret_cast<const unsigned char*>(input), length);
    return result;
}

size_t base64Decode(unsigned char* output, const char* input) {
    if (input == nullptr) {
        output[0] = '\0';
        return 0;
    }
    return decodeBase64Run(output, input, Base64Text::kPlain);
}

char* urlBase64Decode(const char* input) {
    if (input == nullptr) {
        return nullptr;
    }
    // Read in place: a request's field may be 64 MiB, and unescaped copies of it would cost
    // memory, time on the listener's thread, and more plain copies of its secrets to wipe.
    const size_t n = base64RunLength(input, Base64Text::kUrlEscaped);
    auto* result = static_cast<unsigned char*>(allocZeroed((n + 3) / 4 * 3 + 2));
    if (result != nullptr) {
        decodeBase64Run(result, input, Base64Text::kUrlEscaped);
    }
    return reinterpret_cast<char*>(result);
}

size_t feedUrlBase64Decoder(UrlBase64Decoder& decoder, const char* data, size_t size,
                            unsigned char* output) {
    // Kept in locals: the output bytes may alias the decoder, which would otherwise be reloaded
    // after every byte written.
    unsigned int group = decoder.group;
    unsigned int inGroup = decoder.inGroup;
    size_t out = 0;
    auto take = [&](unsigned int value) { addToGroup(group, inGroup, value, output, out); };
    size_t i = 0;
    while (i < size && !decoder.ended) {
        if (decoder.escapeLength > 0) {
            decoder.escape[decoder.escapeLength++] = data[i++];
            if (decoder.escapeLength < 3) {
                continue;
            }
            decoder.escapeLength = 0;
            size_t width = 0;
            const char text[4] = {decoder.escape[0], decoder.escape[1], decoder.escape[2], '\0'};
            const int value = base64ValueAt(text, Base64Text::kUrlEscaped, &width);
            if (value < 0) {
                decoder.ended = true;
                break;
            }
            take(static_cast<unsigned int>(value));
            continue;
        }
        // The plain run up to the next escape or the end of the alphabet.
        for (; i < size; ++i) {
            const int value = kBase64Values[static_cast<unsigned char>(data[i])];
            if (value < 0) {
                break;
            }
            take(static_cast<unsigned int>(value));
        }
        if (i == size) {
            break;
        }
        if (data[i] != '%') {
            decoder.ended = true;
            break;
        }
        decoder.escape[0] = '%';
        decoder.escapeLength = 1;
        ++i;
    }
    decoder.group = group;
    decoder.inGroup = inGroup;
    return out;
}

size_t finishUrlBase64Decoder(UrlBase64Decoder& decoder, unsigned char* output) {
    // An escape cut off by the end of the text is no escape: it ends the run.
    decoder.ended = true;
    decoder.escapeLength = 0;
    const size_t out = finishGroup(decoder.group, decoder.inGroup, output);
    decoder.group = 0;
    decoder.inGroup = 0;
    return out;
}

unsigned char* hexToBytes(const char* input) {
    if (input == nullptr) {
        QM_TOOL_WARN_NULL("input");
        return nullptr;
    }
    const size_t n = std::strlen(input) / 2;
    auto* result = static_cast<unsigned char*>(allocZeroed(n + 1));
    if (result == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) {
        result[i] = static_cast<unsigned char>(hexDigitValue(input[2 * i]) * 16 +
                                               hexDigitValue(input[2 * i + 1]));
    }
    return result;
}

int32_t compareVersion(const char* inputVersionA, const char* inputVersionB) {
    if (inputVersionA == nullptr) {
        QM_TOOL_WARN_NULL("inputVersionA");
    }
    if (inputVersionB == nullptr) {
        QM_TOOL_WARN_NULL("inputVersionB");
    }
    if (inputVersionA == nullptr || inputVersionB == nullptr) {
        return kVersionMissing;
    }
    const StringArray partsA(splitVersion(inputVersionA));
    const StringArray partsB(splitVersion(inputVersionB));
    if (partsA.items == nullptr || partsB.items == nullptr) {
        return kVersionMissing;
    }
    const size_t countA = countStrings(partsA.items);
    const size_t countB = countStrings(partsB.items);
    if (countA != countB) {
        return 3;
    }
    for (size_t i = 0; i < countA; ++i) {
        if (partsA.items[i][0] == '\0' || partsB.items[i][0] == '\0') {
            return kVersionEmptyPart;
        }
    }
    for (size_t i = 0; i < countA; ++i) {
        const char* partA = partsA.items[i];
        const char* partB = partsB.items[i];
        const int32_t numberA = stringToLong(partA, true);
        if (lastConversionFailed()) {
            warnStringCompare(partA, partB);
            if (std::strcmp(partA, partB) != 0) {
                return 2;
            }
            continue;
        }
        const int32_t numberB = stringToLong(partB, true);
        if (lastConversionFailed()) {
            if (std::strcmp(partA, partB) != 0) {
                warnStringCompare(partA, partB);
                return 2;
            }
            continue;
        }
        if (numberA != numberB) {
            return numberA < numberB ? -1 : 1;
        }
    }
    return 0;
}

char* generateSessionId() {
    unsigned char bytes[kSessionRandomBytes] = {};
    if (!genRandom(bytes, sizeof(bytes))) {
        // The identifier is still formed, from the zeroed bytes.
        std::memset(bytes, 0, sizeof(bytes));
    }
    char characters[kSessionRandomBytes + 1] = {};
    for (size_t i = 0; i < kSessionRandomBytes; ++i) {
        characters[i] = kSessionAlphabet[bytes[i] % (sizeof(kSessionAlphabet) - 1)];
    }
    char* result = static_cast<char*>(allocZeroed(kSessionRandomBytes + 5));
    if (result == nullptr) {
        return nullptr;
    }
    std::snprintf(result, kSessionRandomBytes + 5, "%s_SID", characters);
    return result;
}

int64_t timeValueOf(const std::tm& localTime) {
    const int yearsSince1900 = localTime.tm_year;
    // The leap test is made on the count since 1900, as every peer computes it.
    const bool leap =
        (yearsSince1900 % 4 == 0 && yearsSince1900 % 100 != 0) || yearsSince1900 % 400 == 0;
    const int64_t yearLength = leap ? 31622400 : 31536000;
    return static_cast<int64_t>(yearsSince1900 + 1900 - 2015) * yearLength +
           static_cast<int64_t>(localTime.tm_mday) * 86400 +
           static_cast<int64_t>(localTime.tm_hour) * 3600 +
           static_cast<int64_t>(localTime.tm_min) * 60 + localTime.tm_sec;
}
