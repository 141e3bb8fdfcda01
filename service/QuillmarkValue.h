// QuillmarkValue: the channel value store. A page leaves a short text under a channel name with
// a list of sites allowed to read it back and an idle timeout in minutes; later requests whose
// origin matches the list get it back. Values live only in memory, enciphered (AES-256-CBC) under
// a key drawn at every start, so they never outlive the service.
//
// Domain lists: ";"-separated entries, each trimmed of white space; a leading "." means "any
// sub-domain of" and a trailing "." "under any top-level label"; "*" matches any run of
// characters other than white space, and every other character stands for itself. Only the
// caller's host is compared with the list (the scheme and the port are dropped), without regard to
// ASCII letter case, and only callers whose origin is a plain http(s)://host[:port] URL are
// compared at all.
//
// A list is a list of sites, never a pattern language: no text a page sent is compiled as a
// regular expression. The wildcard matcher's work grows with the list's length times the host's,
// and lists and origins are length-capped before it runs, so a read stays within milliseconds
// whatever list a page stored.
//
// Threading: the store and the state of one read (the entry list and its outcome) are shared
// by all listener threads; callers hold the service's request lock around every call.
#ifndef QM_SERVICE_QUILLMARKVALUE_H
#define QM_SERVICE_QUILLMARKVALUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Entries in the store.
inline constexpr int32_t kValueEntryCount = 16;
// Size of the value key and of the value IV (the cipher uses the IV's first 16 bytes).
inline constexpr size_t kValueKeySize = 32;
// Longest domain list a channel may carry; a longer one is refused with kValueBadArgument.
inline constexpr size_t kMaxDomainListLength = 2048;
// Longest caller origin compared with a list; a longer one is never admitted. (A host name has at
// most 253 characters, so a real origin is far shorter.)
inline constexpr size_t kMaxOriginLength = 512;

// Longest channel name, in bytes; a longer one is refused with kValueBadArgument. Names are short
// words chosen by the calling pages; every store and read compares the name with all sixteen.
inline constexpr size_t kMaxChannelLength = 1024;
// Longest value a channel may hold, in bytes; a longer one is refused with kValueBadArgument. The
// store keeps short texts (an id, a token, a certificate in base64 of a few KiB): this is ten
// times the largest of those.
inline constexpr size_t kMaxValueBytes = 64 * 1024;
// Bytes that all entries may hold together, counting each entry's channel name, domain list and
// ciphertext. A value enciphers to its length plus 17 to 32 bytes (65,568 for the largest), so
// seven values of the largest size fit, or fifteen of 32 KiB under short names and lists. A store
// past it makes room as a store of sixteen channels does, and is refused with kValueStoreFull
// when that is not enough.
inline constexpr size_t kMaxStoreBytes = 512 * 1024;

// Answers of setQuillmarkValue (the dispatcher's "result").
inline constexpr int32_t kValueStored = 0;
inline constexpr int32_t kValueNotEnciphered = 61001;
inline constexpr int32_t kValueBadArgument = 61005;
inline constexpr int32_t kValueStoreFull = 61019;

// Keeps copies of the value key and IV (kValueKeySize random bytes each, drawn by the session
// start-up), hands them to the AES module's value encryption and clears every entry. Null
// arguments forget the key: every later store then answers kValueNotEnciphered.
void initValueStore(const uint8_t* valueKey, const uint8_t* valueIV);

// Stores value under channel (found ignoring case, else the first free entry) with its domain list
// and timeout (0: no expiry). A store that is full, with all 16 entries in use or without room
// for the entry's bytes (name, list and ciphertext) within kMaxStoreBytes, first sweeps every
// expired or non-expiring entry out; the channel then keeps its entry if that stayed, else takes
// the highest index cleared. Returns kValueStored; kValueBadArgument for a null channel, list or
// value (warning), a negative timeout, a channel longer than kMaxChannelLength, a list longer
// than kMaxDomainListLength or a value longer than kMaxValueBytes (warning); kValueStoreFull
// (warning) when the sweep would not make room, in which case nothing is swept;
// kValueNotEnciphered when the value cannot be enciphered. Every answer but kValueStored leaves
// the store as it was.
int32_t setQuillmarkValue(const char* channel, const char* domainList, int32_t timeoutMinutes,
                          const char* value);

// The value of channel for a caller from origin: a new text (free() it, after wiping: it is the
// page's secret). The empty text when the caller gets nothing: null argument, unknown channel,
// origin not admitted by the channel's list, or the value expired (an admitted read of a value
// with a timeout slides its expiry). Null when the value cannot be deciphered, or no memory.
char* getQuillmarkValue(const char* channel, const char* origin);

// Frees the entry's texts and bytes and zeroes its numbers; an index outside 0-15 does nothing.
void clearValueEntry(int32_t index);

// Builds the entry list of one read from a domain list (see the top of this file): each entry
// trimmed, with "*" put before a leading "." and after a trailing ".".
void setUnlockURL(const char* domainList);
// Compares the caller's origin with the entry list of setUnlockURL; returns (and keeps for the
// read) whether the caller may read.
bool checkUnlockDomain(const char* origin);

// Remove leading resp. trailing blanks, tabs, line feeds, vertical tabs, form feeds and carriage
// returns in place.
void trimLeft(std::string& text);
void trimRight(std::string& text);

// ---- Test hooks ------------------------------------------------------------------------------

// Seconds since 1970-01-01 UTC as the store sees them.
using ValueClock = int64_t (*)();
// Replaces the clock (null: the system clock again).
void setValueClockForTesting(ValueClock clock);

struct ValueEntryView {
    bool used;
    std::string channel;
    std::string domainList;
    int32_t timeoutMinutes;
    int64_t expiry;
    int32_t cipherLength;
};
ValueEntryView valueEntryForTesting(int32_t index);
// The entry list of the current read (empty between reads).
std::vector<std::string> urlCheckListForTesting();

#endif  // QM_SERVICE_QUILLMARKVALUE_H
