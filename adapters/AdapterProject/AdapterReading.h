// The adapters' reading of request arguments (over common/Json, with the key check) and the
// conversions of component results (BSTR, integers, VARIANT) into answer texts.
//
// Key check: while keyCheckMode is set (a wrapper reading its arguments), a key that is missing,
// or whose value was flagged encrypted and cannot be decrypted, logs "Json map key not found: "
// and sets keyCheckError to 61016, unless it contains "Quillmark" or "topui".
//
// Every decoded text that a reader makes is zeroed before it is freed: decoded and decrypted
// argument values may be PINs.
#ifndef QM_ADAPTERS_ADAPTERPROJECT_ADAPTERREADING_H
#define QM_ADAPTERS_ADAPTERPROJECT_ADAPTERREADING_H

#include "common/Json.h"
#include "common/win/Com.h"

#include <cstdint>
#include <memory>

// A heap text (malloc) that is zeroed over its length before it is freed.
struct WipingFree {
    void operator()(char* text) const;
};
using SecretText = std::unique_ptr<char, WipingFree>;

// Installs the key check into common/Json's lookups (once per library copy).
void installAdapterKeyCheck();

// The adapter builds of the readers; named as common/Json's, hence the namespace.
namespace adapter {

// "true" 1, "false" 0 (ignoring case), else the leading decimal number (blanks and a sign
// allowed, held at the 32-bit limits, 0 without digits); 0 when missing.
int32_t getJsonMapInt(const JsonMap* map, const char* key);
// The same rule and width.
int32_t getJsonMapLong(const JsonMap* map, const char* key);
// The decoded value as a BSTR (UTF-8 to UTF-16); a NULL BSTR when missing, or when a non-empty
// text converts to nothing.
SecretBstr getJsonMapBstr(const JsonMap* map, const char* key);
// A copy of the decoded value; null when missing.
SecretText getJsonMapValue(const JsonMap* map, const char* key);

}  // namespace adapter

// The leading decimal number of text as the integer readers take it ("true"/"false" excepted).
int32_t leadingDecimalNumber(const char* text);

// UTF-8 of the holder's SysStringLen units, a new text (free()); null for a NULL or empty BSTR or
// a failed conversion. The holder's BSTR is freed.
char* bstrResultToUtf8(UniqueBstr& holder);
// "%d" in a new zeroed 64-byte block (free()); null after the memory-failure lines ("Tool").
char* intToDecimalString(int32_t value);
// The decimal text in a block of its own length (free()); null after the memory-failure lines.
char* longToDecimalString(long value);
// Text of a VARIANT: VT_BOOL "1"/"0"; a one-dimensional array of VARIANTs: each element's text
// (VT_BSTR its text, VT_INT its decimal text, anything else nothing) followed by ";"; an array of
// another element type: nothing, with one standard-output line per element; anything else
// (a scalar VT_BSTR included), a NULL or multi-dimensional array, or an element that cannot be
// fetched: nothing. Clears value. Throws ComError when copying or a conversion fails.
UniqueBstr variantToBstrT(VARIANT& value);
// UTF-8 of variantToBstrT of a copy (free()); null when empty. Clears value. Throws ComError.
char* variantToUtf8(VARIANT& value);

#endif
