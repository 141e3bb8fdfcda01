// Tool: the single-key lookup in a small flat JSON object (instruction messages between programs).
#include "common/Tool.h"

#include "common/ToolInternal.h"

#include <cstdlib>
#include <cstring>

#define JSMN_STATIC
#include <jsmn.h>

namespace {

constexpr unsigned int kJsonTokenCount = 64;

// One parser and token array for the process: the lookup runs on one thread at a time.
struct JsonLookupState {
    jsmn_parser parser;
    jsmntok_t tokens[kJsonTokenCount];
};

JsonLookupState lookup;

bool equalsLowered(const char* text, size_t length, const char* lowered) {
    if (std::strlen(lowered) != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lowered[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

char* getJsonValue(const char* inputJSONObj, const char* key) {
    if (inputJSONObj == nullptr) {
        QM_TOOL_WARN_NULL("inputJSONObj");
        return nullptr;
    }
    jsmn_init(&lookup.parser);
    char* loweredKey = toLowerCopy(key);
    if (loweredKey == nullptr) {
        QM_TOOL_ALLOC_FAILED();
        return nullptr;
    }
    const int count = jsmn_parse(&lookup.parser, inputJSONObj, std::strlen(inputJSONObj),
                                 lookup.tokens, kJsonTokenCount);
    char* result = nullptr;
    // Keys stand at the odd positions of a flat object; the value follows its key.
    for (int i = 1; i < count; i += 2) {
        const jsmntok_t& keyToken = lookup.tokens[i];
        if (keyToken.start < 0 || keyToken.end <= keyToken.start) {
            continue;
        }
        const auto keyLength = static_cast<size_t>(keyToken.end - keyToken.start);
        if (!equalsLowered(inputJSONObj + keyToken.start, keyLength, loweredKey)) {
            continue;
        }
        if (i + 1 >= count) {
            break;
        }
        const jsmntok_t& valueToken = lookup.tokens[i + 1];
        char* raw = substring(inputJSONObj, static_cast<size_t>(valueToken.start),
                              static_cast<size_t>(valueToken.end));
        result = replaceAll(raw, "\\\"", "\"");
        std::free(raw);
        break;
    }
    std::free(loweredKey);
    return result;
}
