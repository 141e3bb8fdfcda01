// Json: the JsonMap, the one container in which requests, answers and adapter arguments travel.
//
// A JsonMap is parsed from a request's JSON text, searched by key without regard to ASCII case,
// built up by the service for its replies and serialised with every value in base64. The record
// crosses by pointer from the service into the separately built adapter libraries, so its layout
// is an interface: fixed-width fields, pinned below.
//
// Ownership: a map and every text in it are heap blocks (malloc/free) owned by the map's creator;
// freeJsonMap (or JsonMapPtr) wipes the value texts and frees them. A library that is handed a
// map reads it and neither changes nor frees it. Every char* returned here is a new heap block
// that the caller frees with free(); a decoded value may be a secret (a PIN, a decrypted text),
// so the caller wipes it before freeing it.
//
// Null arguments log the warning "Parameter %s is null at Json <line>" with the parameter names
// used below and give the neutral result named at each function.
//
// Threading: no locks. A map is used by one thread at a time.
#ifndef QM_COMMON_JSON_H
#define QM_COMMON_JSON_H

#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr int32_t kJsonMapCapacity = 128;
// Tokens the parser allows: an object of 128 pairs takes 257.
inline constexpr unsigned kJsonMapMaxTokens = 257;
// Size of the fixed value IV of encrypted request values.
inline constexpr size_t kRequestValueIvSize = 16;

// One pair. key is the text exactly as it stood between the quotation marks (escapes kept);
// value has its JSON escapes undone and may be null; binaryValue is set by this system only beside
// a text value, for a value deciphered ahead of its reads (see decipherJsonMapValues); lookups and
// the log display honour it where there is no text value.
struct JsonMapEntry {
    char* key;
    char* value;
    unsigned char* binaryValue;
    uint32_t binaryLength;
};

// entries[0 .. count-1] are in use, sorted ascending under compareJsonMapEntry. sourceText is a
// copy of the parsed text (null for maps built by the program).
struct JsonMap {
    JsonMapEntry entries[kJsonMapCapacity];
    char* sourceText;
    int32_t count;
};

// The layout that the adapter libraries rely on.
static_assert(offsetof(JsonMapEntry, key) == 0);
static_assert(offsetof(JsonMapEntry, value) == sizeof(void*));
static_assert(offsetof(JsonMapEntry, binaryValue) == 2 * sizeof(void*));
static_assert(offsetof(JsonMapEntry, binaryLength) == 3 * sizeof(void*));
static_assert(offsetof(JsonMap, entries) == 0);
static_assert(offsetof(JsonMap, sourceText) == kJsonMapCapacity * sizeof(JsonMapEntry));
static_assert(offsetof(JsonMap, count) == offsetof(JsonMap, sourceText) + sizeof(void*));
// The record as the 32-bit deliverables share it, and as the 64-bit build of the same sources
// lays it out.
#if defined(__i386__)
static_assert(sizeof(JsonMapEntry) == 16);
static_assert(offsetof(JsonMap, sourceText) == 2048);
static_assert(offsetof(JsonMap, count) == 2052);
static_assert(sizeof(JsonMap) == 2056);
#elif defined(__x86_64__)
static_assert(sizeof(JsonMapEntry) == 32);
static_assert(offsetof(JsonMap, sourceText) == 4096);
static_assert(offsetof(JsonMap, count) == 4104);
static_assert(sizeof(JsonMap) == 4112);
#endif

// ---- Owning maps -----------------------------------------------------------------------------

// A zeroed, empty map; null (after the allocation-failure lines) on no memory.
JsonMap* createJsonMap();
// Wipes every value, binary value and the source text, frees every block and the map. Null does
// nothing.
void freeJsonMap(JsonMap* map);

struct JsonMapDeleter {
    void operator()(JsonMap* map) const { freeJsonMap(map); }
};
using JsonMapPtr = std::unique_ptr<JsonMap, JsonMapDeleter>;

// ---- Order -----------------------------------------------------------------------------------

// The one order of the service and the adapters: byte by byte after mapping "A"-"Z" to "a"-"z"
// ("_" sorts before every letter). -1, 0 or 1; 100 when an argument (or its key) is null.
int compareJsonMapEntry(const JsonMapEntry* inputA, const JsonMapEntry* inputB);
// The same order on two keys (100 when one is null).
int compareJsonMapKeys(const char* keyA, const char* keyB);

// ---- Parsing and building --------------------------------------------------------------------

// Parses one JSON object (jsmn, non-strict, at most 257 tokens) by pairing its tokens by position
// from the end, sorts the entries and keeps a copy of the text. A nested value gives its key the
// bracketed text and adds its inner tokens as further pairs. Fewer than 2 tokens (an error, no
// token, more than 257 tokens): "jsmn parse error" and "Error json: " (with the text masked as
// displayJsonMap masks values, or only its length when it cannot be tokenised) as errors, null.
// Null text (warning "inputJsonStr") or no memory: null.
JsonMap* parseJsonMap(const char* inputJsonStr);

// parseJsonMap of a heap text (malloc) of length bytes before its NUL, which the map keeps as its
// sourceText instead of a copy. The text is taken in every case: wiped and freed when no map is
// made. Its bytes after the NUL, if any, are not wiped by freeJsonMap: the caller clears them
// first.
JsonMap* parseJsonMapTakingText(char* inputJsonStr, size_t length);

// Replaces the value of the first entry whose key equals Key ignoring case (value may be null),
// or adds a new sorted entry while fewer than 128 are in use; a full map refuses a new key with a
// warning. Always returns 0 (also for a null map "inputQuillmarkJson" or key "Key").
int setJsonMapValue(JsonMap* inputQuillmarkJson, const char* Key, const char* value);
// Sets "result" to the code in decimal. Returns 0.
int setJsonMapResult(JsonMap* inputQuillmarkJson, int32_t code);

// {"key": "<base64 of value>", ...} over the entries in map order, joined by ", "; entries
// without a text value are skipped; "{}" when none is written. Keys are written as they are.
// Null map (warning "responseMap") or no memory: null.
char* serializeJsonMap(const JsonMap* responseMap);

// ---- Reading ---------------------------------------------------------------------------------

// Binary search of entries[low .. high] (callers pass 0 and count-1) for key ignoring case:
// a copy of the raw value, or of the binary bytes (with a NUL behind them) when there is no
// value; null when there is neither or no match. A miss is reported to the miss handler.
char* BinarySearchQuillmarkJsonMap(const JsonMap* inputQuillmarkJson, int32_t low, int32_t high,
                                   const char* inputKey);

// The decoded value of a raw value of key inputKey, decided by the first companion whose raw
// value is "true" ignoring case, in this order:
//   "<key>_QuillmarkEncryptFlag": hexadecimal AES-256-CBC ciphertext under the request's
//       "Quillmark_share_secret" (its first 32 bytes, zero-padded when shorter) and the fixed
//       request IV; the plaintext without its "QuillmarkAESCBC" prefix. No secret, bad
//       hexadecimal text or a failed decryption: logged, and null, as if the key were absent.
//   "<key>_QuillmarkFlag": every "*" becomes "\".
//   "<key>_QuillmarkSlashFlag": every "==QuillmarkSlash==" becomes "\".
//   "<key>_QuillmarkBase64Flag": URL-escaped base64, decoded.
// Otherwise a copy. A replacement or decoding that yields nothing gives a copy of the raw value.
// A null map or key gives a copy of the raw value (after the warning); a null value gives null.
char* decodeJsonMapValue(const char* inputKey, const JsonMap* inputQuillmarkJson,
                         const char* inputValue);

// The decoded value of key, or null when it is absent (or cannot be decrypted).
char* getJsonMapValue(const JsonMap* inputQuillmarkJson, const char* inputKey);
// The decoded value as an integer: absent 0, "true" 1, "false" 0 (ignoring case), otherwise its
// leading decimal number (blanks and a sign allowed, held at the 32-bit limits, 0 for none).
int32_t getJsonMapInt(const JsonMap* inputQuillmarkJson, const char* inputKey);
// getJsonMapInt of "QuillmarkMode" and of "timeout".
int32_t getJsonMapMode(const JsonMap* inputQuillmarkJson);
int32_t getJsonMapTimeout(const JsonMap* inputQuillmarkJson);
// True only when key is present and its decoded value is "true" ignoring case.
bool getJsonMapBool(const JsonMap* inputQuillmarkJson, const char* inputKey);

// Called with the key whenever a lookup of this module finds no entry, and when a value flagged
// encrypted cannot be decrypted (it then counts as absent). The service installs none; the
// adapter libraries install their key check. Returns the previous handler.
using JsonMapMissHandler = void (*)(const char* key);
JsonMapMissHandler setJsonMapMissHandler(JsonMapMissHandler handler);
// True when a missing key counts for the adapters' key check: it contains neither "Quillmark" nor
// "topui" (exact case), so companions and the service's own keys never count.
bool isCheckedJsonMapKey(const char* key);

// ---- Encrypted values deciphered ahead of their reads ------------------------------------------

// The bytes of hexadecimal text held by the values flagged "<key>_QuillmarkEncryptFlag", which
// decipherJsonMapValues reads: its working memory is about one and a half times this, of which
// half stays with the map. 0 for a null map (after the warning).
size_t encryptedJsonMapTextBytes(const JsonMap* inputQuillmarkJson);
// Deciphers every value flagged "<key>_QuillmarkEncryptFlag" once (logging "find key: " and the
// failures as decoding does, without the map display), so that every later read of it, here or
// in an adapter given the map, takes the outcome instead of deciphering again: the plaintext, or
// a miss for a value that cannot be deciphered. The values, lookups and the log display are
// unchanged: the plaintext is kept beside the value, in the entry's binaryValue, where only the
// decoding looks, and is wiped with the map. setJsonMapValue drops every such form.
void decipherJsonMapValues(JsonMap* inputQuillmarkJson);

// ---- Log display -----------------------------------------------------------------------------

// While logging is on, writes "= DISPLAY PARAMETER ===== start =====", then "<key>: " with each
// value, then the end line. Values are shown in plain when the key contains "quillmark" in any
// case (except "Quillmark_share_secret"), else as one "*" per byte when the lower-case key holds
// "pin", "pw" or "pass", or its "<key>_QuillmarkHide" companion's raw value is "true" ignoring
// case; "[binary_value]" / "[empty]" for entries without a text value. Keys and values longer
// than kMaxLoggedTextBytes are cut there and followed by their length (boundedLogText). A null
// map writes only the start and end lines.
void displayJsonMap(const JsonMap* inputQuillmarkJson);
// True when displayJsonMap shows the value of key as asterisks, given whether its
// "_QuillmarkHide" companion is on.
bool isMaskedJsonMapKey(const char* key, bool hideCompanionOn);

// ---- Encrypted values --------------------------------------------------------------------------

// The fixed IV of encrypted request values, shared with the calling pages: the bytes
// 6A 3F 9C 21 D4 58 7B 0E 91 C2 E6 F3 3B 7D 0A 58 (assembled at run time).
void getRequestValueIv(unsigned char iv[kRequestValueIvSize]);

#endif  // QM_COMMON_JSON_H
