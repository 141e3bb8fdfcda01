// AES: a small block-cipher kit with numbered modes, a streaming update and a finishing step; on
// top of it the two text operations of the value store and of encrypted request values; and
// SHA-512, whose upper-case hexadecimal digest signs every instruction between programs.
//
// The only mode the system keys is AES-256 in CBC mode with PKCS#7 padding (kCipherModeAesCbcPad).
// The other modes of the table keep their numbers and status codes; DES, triple DES and RC4 have
// no key set-up outside the test hooks at the end of this header.
//
// Ownership: every char* / unsigned char* returned here is a new heap block that the caller frees
// with free(). Failure is a null result. A decrypted text is a secret: the caller wipes it before
// freeing it.
//
// Threading: the functions lock nothing and keep no state, except the value key and IV that
// aesSetValueKey stores once at start-up and aesEncryptWithPrefix reads afterwards.
#ifndef QM_COMMON_AES_H
#define QM_COMMON_AES_H

#include <cstddef>
#include <cstdint>

// ---- SHA-512 ----------------------------------------------------------------------------------

inline constexpr size_t kSha512DigestSize = 64;
inline constexpr size_t kSha512BlockSize = 128;
// Length of sha512Hex's text (without the NUL).
inline constexpr size_t kSha512HexLength = 128;

struct Sha512Context {
    uint32_t byteCount[4];            // bytes hashed so far, 128 bits, lowest word first
    uint64_t state[8];                // chaining words
    uint8_t block[kSha512BlockSize];  // input that does not yet fill a block
};

// Starts a hash: count 0, the standard initial hash values.
void sha512Init(Sha512Context* context);
// Adds length bytes; whole blocks are compressed as soon as they are complete. Null bytes add
// nothing.
void sha512Update(Sha512Context* context, const void* bytes, size_t length);
// Pads, compresses the last block(s) and writes the 64-byte digest (chaining words big-endian).
// The context must be initialised again before reuse.
void sha512Final(Sha512Context* context, uint8_t* digest);

// Digest of the text's bytes up to its NUL as 128 upper-case hexadecimal digits (the receivers
// of instructions compare it byte for byte, so the case matters). Null text or no memory: null.
char* sha512Hex(const char* text);

// 128 characters of "0123456789ABCDEF", high nibble first, from 64 bytes. No memory: the
// allocation-failure lines (module "Tool") and null.
char* hexEncodeUpper(const uint8_t* digest);

// ---- Cipher kit -------------------------------------------------------------------------------

// Mode numbers: the low digit (or two) names the chaining, the rest the cipher.
inline constexpr int32_t kCipherModeRc4 = 0x111;
inline constexpr int32_t kCipherModeDesEcb = 0x121;
inline constexpr int32_t kCipherModeDesCbc = 0x122;
inline constexpr int32_t kCipherModeDesChain = 0x123;
inline constexpr int32_t kCipherModeDesChainAlt = 0x124;
inline constexpr int32_t kCipherModeDesCbcPad = 0x125;
inline constexpr int32_t kCipherModeTdesEcb = 0x132;
inline constexpr int32_t kCipherModeTdesCbc = 0x133;
inline constexpr int32_t kCipherModeTdesChain = 0x134;
inline constexpr int32_t kCipherModeTdesChainAlt = 0x135;
inline constexpr int32_t kCipherModeTdesCbcPad = 0x136;
inline constexpr int32_t kCipherModeAesEcb = 0x1081;
inline constexpr int32_t kCipherModeAesCbc = 0x1082;
inline constexpr int32_t kCipherModeAesChain = 0x1083;
inline constexpr int32_t kCipherModeAesChainAlt = 0x1084;
inline constexpr int32_t kCipherModeAesCbcPad = 0x1085;
inline constexpr int32_t kCipherModeNone = 0x1086;

// Status codes of the cipher kit.
inline constexpr int32_t kCipherOk = 0;
inline constexpr int32_t kCipherNullArgument = 7;   // null context or null length argument
inline constexpr int32_t kCipherNullInput = 32;     // null input with a length above 0
inline constexpr int32_t kCipherPendingBytes = 33;  // finishing without padding, bytes pending
inline constexpr int32_t kCipherBadPadding = 64;
inline constexpr int32_t kCipherBadFinalBlock = 65;  // padded decryption not ending on a block
inline constexpr int32_t kCipherUnknownMode = 145;   // unknown or unfinishable mode, bad block size
inline constexpr int32_t kCipherBufferTooSmall = 336;  // needed size written to the length

inline constexpr int32_t kAesKeySize = 32;
inline constexpr int32_t kAesBlockSize = 16;
inline constexpr int32_t kAesScheduleWords = 60;
inline constexpr int32_t kDesBlockSize = 8;
inline constexpr int32_t kDesScheduleWords = 32;  // one DES key; 64 or 96 for triple DES
inline constexpr int32_t kCipherScheduleWords = 96;
inline constexpr int32_t kCipherMaxBlockSize = 16;

struct CipherContext {
    int32_t mode;                             // kCipherMode*
    uint32_t schedule[kCipherScheduleWords];  // key schedule (the RC4 state lies in the same space)
    int32_t scheduleSize;                     // 60 for AES-256; 32, 64 or 96 for the DES family
    uint8_t pending[kCipherMaxBlockSize];     // input not yet processed
    int32_t blockSize;                        // 16 (AES), 8 (DES family), 1 (stream mode)
    int32_t pendingCount;                     // bytes held in pending
    int32_t keepLastBlock;                    // 1: decryption keeps the last whole block back
    uint8_t chain[kCipherMaxBlockSize];       // CBC chaining block; the IV before the first block
};

// AES-256 encryption schedule of a 32-byte key; sets *scheduleSize to 60.
void aesExpandKey(uint32_t* schedule, int32_t* scheduleSize, const uint8_t* key);
// Turns an encryption schedule of scheduleSize words into the schedule of the equivalent inverse
// cipher (round keys reversed, rounds 1 to 13 passed through InvMixColumns).
void aesInvertKey(uint32_t* schedule, int32_t scheduleSize);
// Decryption context for kCipherModeAesCbcPad from a 32-byte key: block size 16, keepLastBlock
// 1, decryption schedule. The caller zeroes the context before and copies the IV into chain
// after. Returns 0.
int32_t aesDecryptInit(CipherContext* context, const uint8_t* key);
// An encryption context is set up without an init operation: mode, block size, keepLastBlock 0,
// aesExpandKey of the key, the IV copied into chain.

// Updates: *length carries the output capacity in bytes on entry and the bytes written on return.
// The run of pending bytes and input is processed in whole blocks (decryption with keepLastBlock
// keeps the last whole block pending); the rest is kept for the next call. A null output only
// writes the size needed and leaves the context unchanged; a capacity below the size needed
// writes the size and returns kCipherBufferTooSmall without processing anything. Chain-only modes
// output nothing. Input and output must not overlap. A block size of 0, or one that does not fit
// the mode's cipher, and an unknown mode give kCipherUnknownMode; a negative input length gives
// kCipherNullInput.
int32_t cipherEncryptUpdate(CipherContext* context, const uint8_t* input, int32_t inputLength,
                            uint8_t* output, int32_t* length);
int32_t cipherDecryptUpdate(CipherContext* context, const uint8_t* input, int32_t inputLength,
                            uint8_t* output, int32_t* length);

// Finishing steps; on success they overwrite the whole context with zeros. Modes without
// padding: kCipherPendingBytes while bytes are pending, else length 0. Padding modes need an
// output of at least one block (the length becomes the block size; 336, or 0 without an output,
// when the output is missing or smaller). Encryption writes the padded last block. Decryption
// needs exactly one block pending (else kCipherBadFinalBlock), writes the whole decrypted block,
// pad bytes included, and reports blockSize - pad length; a bad pad gives kCipherBadPadding.
// Chain-only and unknown modes: kCipherUnknownMode.
int32_t cipherEncryptFinal(CipherContext* context, uint8_t* output, int32_t* length);
int32_t cipherDecryptFinal(CipherContext* context, uint8_t* output, int32_t* length);

// ---- Value encryption -------------------------------------------------------------------------

// The prefix that marks a plaintext of aesEncryptWithPrefix.
inline constexpr char kAesTextPrefix[] = "QuillmarkAESCBC";
inline constexpr size_t kAesTextPrefixLength = 15;
inline constexpr size_t kAesIvSize = 16;

// Stores copies of the value store's 32-byte key and the first 16 bytes of its IV, with which
// aesEncryptWithPrefix enciphers. The service calls it once at start-up after drawing them (the
// value store keeps its own copies for aesDecryptStripPrefix). Null arguments forget the key.
void aesSetValueKey(const uint8_t* valueKey, const uint8_t* valueIV);

// Ciphertext of "QuillmarkAESCBC" + text + its NUL under the value key and IV (AES-256-CBC,
// PKCS#7): (P/16 + 1) * 16 bytes for a plaintext of P bytes. The length is stored through
// outputLength when it is not null. Null text (warning "inputText"), no value key set (warning
// "valueKey"), a cipher failure ("Error code ..." warning) or no memory: null.
uint8_t* aesEncryptWithPrefix(const char* inputText, int32_t* outputLength);

// Decrypts inputLength bytes of AES-256-CBC ciphertext with PKCS#7 padding under a key of exactly
// 32 bytes and a 16-byte IV, removes the padding and returns the plaintext up to its first zero
// byte (so a text enciphered with or without its NUL comes back the same), without the
// "QuillmarkAESCBC" prefix where it stands at the start. All 32 key bytes are read: a caller
// whose key text is shorter (a request's "Quillmark_share_secret") pads it with zero bytes to 32
// first. Null arguments (warnings "inputText", "inputKey", "inputIV"), a length that is not a
// positive multiple of 16, a bad pad (mostly a wrong key) or no memory: null. A wrong IV garbles
// the first 16 bytes only.
char* aesDecryptStripPrefix(const uint8_t* inputText, int32_t inputLength, const uint8_t* inputKey,
                            const uint8_t* inputIV);

// ---- Test hooks -------------------------------------------------------------------------------

// DES key set-up for the DES and triple-DES modes: keyCount (1, 2 or 3) keys of 8 bytes give a
// schedule of 32, 64 or 96 words (parity bits ignored).
void desExpandKeyForTesting(uint32_t* schedule, int32_t* scheduleSize, const uint8_t* keys,
                            int keyCount);
// RC4 state (256 bytes and two index bytes) from a key of 1 to 256 bytes, in the schedule space.
void rc4ExpandKeyForTesting(uint32_t* schedule, int32_t* scheduleSize, const uint8_t* key,
                            size_t keyLength);

#endif  // QM_COMMON_AES_H
