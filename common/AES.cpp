// AES: the cipher kit (AES-256, DES, triple DES, RC4 and their chaining modes) and the value
// encryption with the "QuillmarkAESCBC" prefix.
#include "common/AES.h"

#include "common/Log.h"
#include "common/Tool.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kModuleName = "AES";
constexpr int kAesRounds = 14;
constexpr int kDesRounds = 16;
constexpr int32_t kRc4ScheduleWords = 65;  // 256 state bytes and the two index bytes

// ---- Module state -----------------------------------------------------------------------------

struct AesState {
    // Written once at start-up by aesSetValueKey, read by every later aesEncryptWithPrefix.
    bool hasValueKey = false;
    uint8_t valueKey[kAesKeySize] = {};
    uint8_t valueIV[kAesIvSize] = {};
};

AesState state;

// ---- Helpers ----------------------------------------------------------------------------------

void warnNullParameter(const char* name, int line) {
    qm::logNullParameter(name, kModuleName, line);
}

void logAllocationFailure(int line) {
    qm::logAllocationFailure(kModuleName, line);
}

void logCipherStatus(int32_t status, int line) {
    char text[128] = {};
    std::snprintf(text, sizeof(text), "Error code %d = 0x%X at %d line in %s", status,
                  static_cast<unsigned>(status), line, kModuleName);
    logWarning("", text);
}

// ---- AES-256 (FIPS 197) -----------------------------------------------------------------------

constexpr uint8_t gfMultiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0) {
            product = static_cast<uint8_t>(product ^ a);
        }
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1B : 0x00));
        b = static_cast<uint8_t>(b >> 1);
    }
    return product;
}

constexpr uint8_t rotateLeft8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

// The S-box from its definition: the multiplicative inverse in GF(2^8), then the affine map.
constexpr std::array<uint8_t, 256> makeSbox() {
    std::array<uint8_t, 256> box{};
    for (int x = 0; x < 256; ++x) {
        uint8_t inverse = 0;
        for (int y = 1; y < 256 && x != 0; ++y) {
            if (gfMultiply(static_cast<uint8_t>(x), static_cast<uint8_t>(y)) == 1) {
                inverse = static_cast<uint8_t>(y);
                break;
            }
        }
        box[x] = static_cast<uint8_t>(inverse ^ rotateLeft8(inverse, 1) ^ rotateLeft8(inverse, 2) ^
                                      rotateLeft8(inverse, 3) ^ rotateLeft8(inverse, 4) ^ 0x63);
    }
    return box;
}

constexpr std::array<uint8_t, 256> makeInverseSbox(const std::array<uint8_t, 256>& box) {
    std::array<uint8_t, 256> inverse{};
    for (int x = 0; x < 256; ++x) {
        inverse[box[x]] = static_cast<uint8_t>(x);
    }
    return inverse;
}

constexpr std::array<uint8_t, 256> kSbox = makeSbox();
constexpr std::array<uint8_t, 256> kInverseSbox = makeInverseSbox(kSbox);
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xED && kInverseSbox[0x63] == 0x00);

uint32_t subWord(uint32_t word) {
    return static_cast<uint32_t>(kSbox[word >> 24]) << 24 |
           static_cast<uint32_t>(kSbox[(word >> 16) & 0xFF]) << 16 |
           static_cast<uint32_t>(kSbox[(word >> 8) & 0xFF]) << 8 | kSbox[word & 0xFF];
}

constexpr uint8_t xtime(uint8_t a) {
    return static_cast<uint8_t>((a << 1) ^ ((a >> 7) * 0x1B));
}

// One column (four state bytes) through MixColumns or InvMixColumns, the latter as a first step
// and then MixColumns (the designers' decomposition): a few doublings per column instead of
// sixteen field products, which made deciphering a large value take seconds.
void mixColumn(uint8_t* column, bool inverse) {
    if (inverse) {
        const uint8_t u = xtime(xtime(static_cast<uint8_t>(column[0] ^ column[2])));
        const uint8_t v = xtime(xtime(static_cast<uint8_t>(column[1] ^ column[3])));
        column[0] ^= u;
        column[1] ^= v;
        column[2] ^= u;
        column[3] ^= v;
    }
    const uint8_t a0 = column[0];
    const uint8_t a1 = column[1];
    const uint8_t a2 = column[2];
    const uint8_t a3 = column[3];
    const auto all = static_cast<uint8_t>(a0 ^ a1 ^ a2 ^ a3);
    column[0] = static_cast<uint8_t>(a0 ^ all ^ xtime(static_cast<uint8_t>(a0 ^ a1)));
    column[1] = static_cast<uint8_t>(a1 ^ all ^ xtime(static_cast<uint8_t>(a1 ^ a2)));
    column[2] = static_cast<uint8_t>(a2 ^ all ^ xtime(static_cast<uint8_t>(a2 ^ a3)));
    column[3] = static_cast<uint8_t>(a3 ^ all ^ xtime(static_cast<uint8_t>(a3 ^ a0)));
}

uint32_t invMixWord(uint32_t word) {
    uint8_t column[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                         static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    mixColumn(column, true);
    return static_cast<uint32_t>(column[0]) << 24 | static_cast<uint32_t>(column[1]) << 16 |
           static_cast<uint32_t>(column[2]) << 8 | column[3];
}

void addRoundKey(uint8_t* s, const uint32_t* roundKey) {
    for (int c = 0; c < 4; ++c) {
        s[4 * c] ^= static_cast<uint8_t>(roundKey[c] >> 24);
        s[4 * c + 1] ^= static_cast<uint8_t>(roundKey[c] >> 16);
        s[4 * c + 2] ^= static_cast<uint8_t>(roundKey[c] >> 8);
        s[4 * c + 3] ^= static_cast<uint8_t>(roundKey[c]);
    }
}

// SubBytes and ShiftRows in one pass (state bytes are column-major: s[row + 4 * column]).
void subShiftRows(uint8_t* s) {
    uint8_t t[16];
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            t[r + 4 * c] = kSbox[s[r + 4 * ((c + r) % 4)]];
        }
    }
    std::memcpy(s, t, sizeof(t));
}

void invSubShiftRows(uint8_t* s) {
    uint8_t t[16];
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            t[r + 4 * ((c + r) % 4)] = kInverseSbox[s[r + 4 * c]];
        }
    }
    std::memcpy(s, t, sizeof(t));
}

void aesEncryptBlock(const uint32_t* schedule, const uint8_t* input, uint8_t* output) {
    uint8_t s[16];
    std::memcpy(s, input, sizeof(s));
    addRoundKey(s, schedule);
    for (int round = 1; round < kAesRounds; ++round) {
        subShiftRows(s);
        for (int c = 0; c < 4; ++c) {
            mixColumn(s + 4 * c, false);
        }
        addRoundKey(s, schedule + 4 * round);
    }
    subShiftRows(s);
    addRoundKey(s, schedule + 4 * kAesRounds);
    std::memcpy(output, s, sizeof(s));
    secureZero(s, sizeof(s));
}

// The equivalent inverse cipher over a schedule made by aesInvertKey (round keys in order of use).
void aesDecryptBlock(const uint32_t* schedule, const uint8_t* input, uint8_t* output) {
    uint8_t s[16];
    std::memcpy(s, input, sizeof(s));
    addRoundKey(s, schedule);
    for (int round = 1; round < kAesRounds; ++round) {
        invSubShiftRows(s);
        for (int c = 0; c < 4; ++c) {
            mixColumn(s + 4 * c, true);
        }
        addRoundKey(s, schedule + 4 * round);
    }
    invSubShiftRows(s);
    addRoundKey(s, schedule + 4 * kAesRounds);
    std::memcpy(output, s, sizeof(s));
    secureZero(s, sizeof(s));
}

// ---- DES (FIPS 46-3) --------------------------------------------------------------------------

constexpr uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kFinalPermutation[64] = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25};

constexpr uint8_t kExpansion[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                                    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                                    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr uint8_t kRoundPermutation[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                           26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                           3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPermutedChoice1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kKeyShifts[kDesRounds] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kSboxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// Bit positions count from 1 at the most significant of inputBits bits, as the standard's tables.
uint64_t permute(uint64_t input, int inputBits, const uint8_t* table, int outputBits) {
    uint64_t output = 0;
    for (int i = 0; i < outputBits; ++i) {
        output = (output << 1) | ((input >> (inputBits - table[i])) & 1U);
    }
    return output;
}

uint32_t desFeistel(uint32_t right, uint64_t subkey) {
    const uint64_t mixed = permute(right, 32, kExpansion, 48) ^ subkey;
    uint32_t substituted = 0;
    for (int box = 0; box < 8; ++box) {
        const unsigned six = static_cast<unsigned>(mixed >> (42 - 6 * box)) & 0x3FU;
        const unsigned row = ((six >> 4) & 0x2U) | (six & 0x1U);
        const unsigned column = (six >> 1) & 0xFU;
        substituted = (substituted << 4) | kSboxes[box][16 * row + column];
    }
    return static_cast<uint32_t>(permute(substituted, 32, kRoundPermutation, 32));
}

// One DES pass over an 8-byte block with the 32-word schedule of one key (16 subkeys of 48 bits,
// each as two 24-bit words); decryption takes the subkeys in reverse order.
void desBlock(const uint32_t* schedule, bool decrypt, const uint8_t* input, uint8_t* output) {
    uint64_t block = 0;
    for (int i = 0; i < 8; ++i) {
        block = (block << 8) | input[i];
    }
    block = permute(block, 64, kInitialPermutation, 64);
    uint32_t left = static_cast<uint32_t>(block >> 32);
    uint32_t right = static_cast<uint32_t>(block);
    for (int round = 0; round < kDesRounds; ++round) {
        const int k = decrypt ? kDesRounds - 1 - round : round;
        const uint64_t subkey = static_cast<uint64_t>(schedule[2 * k]) << 24 |
                                static_cast<uint64_t>(schedule[2 * k + 1]);
        const uint32_t next = left ^ desFeistel(right, subkey);
        left = right;
        right = next;
    }
    block = permute(static_cast<uint64_t>(right) << 32 | left, 64, kFinalPermutation, 64);
    for (int i = 7; i >= 0; --i) {
        output[i] = static_cast<uint8_t>(block);
        block >>= 8;
    }
}

// Triple DES as EDE: 64 words give the keys 1, 2, 1; 96 words 1, 2, 3; anything else one pass.
void tripleDesBlock(const uint32_t* schedule, int32_t scheduleSize, bool decrypt,
                    const uint8_t* input, uint8_t* output) {
    if (scheduleSize != 2 * kDesScheduleWords && scheduleSize != 3 * kDesScheduleWords) {
        desBlock(schedule, decrypt, input, output);
        return;
    }
    const uint32_t* first = schedule;
    const uint32_t* second = schedule + kDesScheduleWords;
    const uint32_t* third =
        scheduleSize == 3 * kDesScheduleWords ? schedule + 2 * kDesScheduleWords : schedule;
    uint8_t t[kDesBlockSize];
    if (decrypt) {
        desBlock(third, true, input, t);
        desBlock(second, false, t, t);
        desBlock(first, true, t, output);
    } else {
        desBlock(first, false, input, t);
        desBlock(second, true, t, t);
        desBlock(third, false, t, output);
    }
    secureZero(t, sizeof(t));
}

// ---- RC4 --------------------------------------------------------------------------------------

uint8_t* rc4State(CipherContext* context) {
    return reinterpret_cast<uint8_t*>(context->schedule);
}

void rc4Apply(CipherContext* context, const uint8_t* input, uint8_t* output, int32_t length) {
    uint8_t* s = rc4State(context);
    uint8_t i = s[256];
    uint8_t j = s[257];
    for (int32_t n = 0; n < length; ++n) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + s[i]);
        const uint8_t t = s[i];
        s[i] = s[j];
        s[j] = t;
        output[n] = static_cast<uint8_t>(input[n] ^ s[static_cast<uint8_t>(s[i] + s[j])]);
    }
    s[256] = i;
    s[257] = j;
}

// ---- Mode table -------------------------------------------------------------------------------

enum class Cipher { Rc4, Des, TripleDes, Aes, None };
enum class Chaining { Stream, Ecb, Cbc, ChainOnly, Plain };

struct ModeInfo {
    int32_t mode;
    Cipher cipher;
    Chaining chaining;
    bool padding;
};

constexpr ModeInfo kModes[] = {
    {kCipherModeRc4, Cipher::Rc4, Chaining::Stream, false},
    {kCipherModeDesEcb, Cipher::Des, Chaining::Ecb, false},
    {kCipherModeDesCbc, Cipher::Des, Chaining::Cbc, false},
    {kCipherModeDesChain, Cipher::Des, Chaining::ChainOnly, false},
    {kCipherModeDesChainAlt, Cipher::Des, Chaining::ChainOnly, false},
    {kCipherModeDesCbcPad, Cipher::Des, Chaining::Cbc, true},
    {kCipherModeTdesEcb, Cipher::TripleDes, Chaining::Ecb, false},
    {kCipherModeTdesCbc, Cipher::TripleDes, Chaining::Cbc, false},
    {kCipherModeTdesChain, Cipher::TripleDes, Chaining::ChainOnly, false},
    {kCipherModeTdesChainAlt, Cipher::TripleDes, Chaining::ChainOnly, false},
    {kCipherModeTdesCbcPad, Cipher::TripleDes, Chaining::Cbc, true},
    {kCipherModeAesEcb, Cipher::Aes, Chaining::Ecb, false},
    {kCipherModeAesCbc, Cipher::Aes, Chaining::Cbc, false},
    {kCipherModeAesChain, Cipher::Aes, Chaining::ChainOnly, false},
    {kCipherModeAesChainAlt, Cipher::Aes, Chaining::ChainOnly, false},
    {kCipherModeAesCbcPad, Cipher::Aes, Chaining::Cbc, true},
    {kCipherModeNone, Cipher::None, Chaining::Plain, false},
};

// The mode of a context whose block size suits its cipher, or null. A block size the cipher does
// not have would make the kit read or write past its 16-byte buffers or a transform's block.
const ModeInfo* findMode(const CipherContext* context) {
    for (const ModeInfo& info : kModes) {
        if (info.mode != context->mode) {
            continue;
        }
        const int32_t size = context->blockSize;
        switch (info.cipher) {
            case Cipher::Rc4:
                return size == 1 ? &info : nullptr;
            case Cipher::Des:
            case Cipher::TripleDes:
                return size == kDesBlockSize ? &info : nullptr;
            case Cipher::Aes:
                return size == kAesBlockSize ? &info : nullptr;
            case Cipher::None:
                return size >= 1 && size <= kCipherMaxBlockSize ? &info : nullptr;
        }
    }
    return nullptr;
}

void transformBlock(CipherContext* context, Cipher cipher, bool decrypt, const uint8_t* input,
                    uint8_t* output) {
    switch (cipher) {
        case Cipher::Aes:
            if (decrypt) {
                aesDecryptBlock(context->schedule, input, output);
            } else {
                aesEncryptBlock(context->schedule, input, output);
            }
            return;
        case Cipher::Des:
            desBlock(context->schedule, decrypt, input, output);
            return;
        case Cipher::TripleDes:
            tripleDesBlock(context->schedule, context->scheduleSize, decrypt, input, output);
            return;
        case Cipher::Rc4:
        case Cipher::None:
            std::memmove(output, input, static_cast<size_t>(context->blockSize));
            return;
    }
}

// One whole block through the mode's chaining; output is null for chain-only modes.
void processBlock(CipherContext* context, const ModeInfo& info, bool decrypt, const uint8_t* block,
                  uint8_t* output) {
    const int32_t size = context->blockSize;
    switch (info.chaining) {
        case Chaining::Ecb:
            transformBlock(context, info.cipher, decrypt, block, output);
            return;
        case Chaining::Cbc:
            if (decrypt) {
                uint8_t plain[kCipherMaxBlockSize];
                transformBlock(context, info.cipher, true, block, plain);
                for (int32_t i = 0; i < size; ++i) {
                    output[i] = plain[i] ^ context->chain[i];
                }
                std::memcpy(context->chain, block, static_cast<size_t>(size));
                secureZero(plain, sizeof(plain));
                return;
            }
            for (int32_t i = 0; i < size; ++i) {
                context->chain[i] ^= block[i];
            }
            transformBlock(context, info.cipher, false, context->chain, context->chain);
            std::memcpy(output, context->chain, static_cast<size_t>(size));
            return;
        case Chaining::ChainOnly:
            // The running chain is the only result (a MAC); there is nothing to decrypt.
            if (!decrypt) {
                for (int32_t i = 0; i < size; ++i) {
                    context->chain[i] ^= block[i];
                }
                transformBlock(context, info.cipher, false, context->chain, context->chain);
            }
            return;
        case Chaining::Plain:
            std::memcpy(output, block, static_cast<size_t>(size));
            return;
        case Chaining::Stream:
            return;
    }
}

int32_t cipherUpdate(CipherContext* context, const uint8_t* input, int32_t inputLength,
                     uint8_t* output, int32_t* length, bool decrypt) {
    if (context == nullptr || length == nullptr) {
        return kCipherNullArgument;
    }
    if (inputLength == 0) {
        *length = 0;
        return kCipherOk;
    }
    if (input == nullptr || inputLength < 0) {
        return kCipherNullInput;
    }
    if (context->blockSize == 0) {
        return kCipherUnknownMode;
    }
    const ModeInfo* info = findMode(context);
    if (info == nullptr) {
        return kCipherUnknownMode;
    }
    const int32_t size = context->blockSize;

    if (size == 1) {
        if (output == nullptr) {
            *length = inputLength;
            return kCipherOk;
        }
        if (*length < inputLength) {
            *length = inputLength;
            return kCipherBufferTooSmall;
        }
        if (info->cipher == Cipher::Rc4) {
            rc4Apply(context, input, output, inputLength);
        } else {
            std::memmove(output, input, static_cast<size_t>(inputLength));
        }
        *length = inputLength;
        return kCipherOk;
    }

    const int32_t pendingCount = context->pendingCount;
    if (pendingCount < 0 || pendingCount > size) {
        return kCipherUnknownMode;
    }
    const int64_t run = static_cast<int64_t>(pendingCount) + inputLength;
    const bool keepBack = decrypt && context->keepLastBlock == 1;
    const int64_t blocks = keepBack ? (run - 1) / size : run / size;
    const int64_t outputBlocks = info->chaining == Chaining::ChainOnly ? 0 : blocks;
    const int64_t needed = outputBlocks * size;
    if (needed > INT32_MAX) {
        return kCipherNullInput;
    }
    if (output == nullptr) {
        *length = static_cast<int32_t>(needed);
        return kCipherOk;
    }
    if (*length < 0 || *length / size < outputBlocks) {
        *length = static_cast<int32_t>(needed);
        return kCipherBufferTooSmall;
    }

    const uint8_t* next = input;
    uint8_t* out = output;
    for (int64_t b = 0; b < blocks; ++b) {
        const bool chained = info->chaining == Chaining::ChainOnly;
        if (b == 0 && pendingCount > 0) {
            uint8_t block[kCipherMaxBlockSize];
            const int32_t take = size - pendingCount;
            std::memcpy(block, context->pending, static_cast<size_t>(pendingCount));
            std::memcpy(block + pendingCount, next, static_cast<size_t>(take));
            next += take;
            processBlock(context, *info, decrypt, block, chained ? nullptr : out);
            secureZero(block, sizeof(block));
        } else {
            processBlock(context, *info, decrypt, next, chained ? nullptr : out);
            next += size;
        }
        if (!chained) {
            out += size;
        }
    }
    const int32_t rest = static_cast<int32_t>(run - blocks * size);
    if (blocks == 0) {
        std::memcpy(context->pending + pendingCount, input, static_cast<size_t>(inputLength));
    } else {
        std::memcpy(context->pending, next, static_cast<size_t>(rest));
    }
    context->pendingCount = rest;
    *length = static_cast<int32_t>(needed);
    return kCipherOk;
}

int32_t cipherFinal(CipherContext* context, uint8_t* output, int32_t* length, bool decrypt) {
    if (context == nullptr || length == nullptr) {
        return kCipherNullArgument;
    }
    if (context->blockSize == 0) {
        return kCipherUnknownMode;
    }
    const ModeInfo* info = findMode(context);
    if (info == nullptr || info->chaining == Chaining::ChainOnly) {
        return kCipherUnknownMode;
    }
    const int32_t size = context->blockSize;
    if (!info->padding) {
        if (context->pendingCount != 0) {
            return kCipherPendingBytes;
        }
        *length = 0;
        secureZero(context, sizeof(*context));
        return kCipherOk;
    }
    if (output == nullptr) {
        *length = size;
        return kCipherOk;
    }
    if (*length < size) {
        *length = size;
        return kCipherBufferTooSmall;
    }
    if (!decrypt) {
        const int32_t pendingCount = context->pendingCount;
        if (pendingCount < 0 || pendingCount >= size) {
            return kCipherUnknownMode;
        }
        const uint8_t pad = static_cast<uint8_t>(size - pendingCount);
        std::memset(context->pending + pendingCount, pad, pad);
        processBlock(context, *info, false, context->pending, output);
        *length = size;
        secureZero(context, sizeof(*context));
        return kCipherOk;
    }
    if (context->pendingCount != size) {
        std::printf("p->Buse: %d\n", context->pendingCount);
        std::printf("bufsize: %d\n", size);
        return kCipherBadFinalBlock;
    }
    // The chain is not advanced: on a bad pad the context stays as it was.
    uint8_t chain[kCipherMaxBlockSize];
    std::memcpy(chain, context->chain, sizeof(chain));
    processBlock(context, *info, true, context->pending, output);
    std::memcpy(context->chain, chain, sizeof(chain));
    const uint8_t pad = output[size - 1];
    if (pad == 0 || pad > size) {
        return kCipherBadPadding;
    }
    for (int32_t i = size - pad; i < size; ++i) {
        if (output[i] != pad) {
            return kCipherBadPadding;
        }
    }
    *length = size - pad;
    secureZero(context, sizeof(*context));
    return kCipherOk;
}

// Overwrites a buffer that held plaintext before it is freed: random bytes, zeros without them.
void scrubBuffer(void* buffer, size_t length) {
    if (!genRandom(buffer, length)) {
        secureZero(buffer, length);
    }
}

}  // namespace

// ---- AES key set-up ---------------------------------------------------------------------------

void aesExpandKey(uint32_t* schedule, int32_t* scheduleSize, const uint8_t* key) {
    if (schedule == nullptr || scheduleSize == nullptr || key == nullptr) {
        return;
    }
    constexpr int kKeyWords = kAesKeySize / 4;
    for (int i = 0; i < kKeyWords; ++i) {
        schedule[i] = static_cast<uint32_t>(key[4 * i]) << 24 |
                      static_cast<uint32_t>(key[4 * i + 1]) << 16 |
                      static_cast<uint32_t>(key[4 * i + 2]) << 8 | key[4 * i + 3];
    }
    uint32_t roundConstant = 0x01;
    for (int i = kKeyWords; i < kAesScheduleWords; ++i) {
        uint32_t temp = schedule[i - 1];
        if (i % kKeyWords == 0) {
            temp = subWord((temp << 8) | (temp >> 24)) ^ (roundConstant << 24);
            roundConstant = gfMultiply(static_cast<uint8_t>(roundConstant), 0x02);
        } else if (i % kKeyWords == 4) {
            temp = subWord(temp);
        }
        schedule[i] = schedule[i - kKeyWords] ^ temp;
    }
    *scheduleSize = kAesScheduleWords;
}

void aesInvertKey(uint32_t* schedule, int32_t scheduleSize) {
    if (schedule == nullptr || scheduleSize < 8 || scheduleSize % 4 != 0 ||
        scheduleSize > kCipherScheduleWords) {
        return;
    }
    const int rounds = scheduleSize / 4 - 1;
    // Reverse the round keys, so that decryption walks the schedule forward.
    for (int low = 0, high = rounds; low < high; ++low, --high) {
        for (int c = 0; c < 4; ++c) {
            const uint32_t t = schedule[4 * low + c];
            schedule[4 * low + c] = schedule[4 * high + c];
            schedule[4 * high + c] = t;
        }
    }
    for (int i = 4; i < 4 * rounds; ++i) {
        schedule[i] = invMixWord(schedule[i]);
    }
}

int32_t aesDecryptInit(CipherContext* context, const uint8_t* key) {
    if (context == nullptr || key == nullptr) {
        return kCipherNullArgument;
    }
    context->mode = kCipherModeAesCbcPad;
    context->blockSize = kAesBlockSize;
    context->keepLastBlock = 1;
    aesExpandKey(context->schedule, &context->scheduleSize, key);
    aesInvertKey(context->schedule, context->scheduleSize);
    return kCipherOk;
}

// ---- Cipher kit -------------------------------------------------------------------------------

int32_t cipherEncryptUpdate(CipherContext* context, const uint8_t* input, int32_t inputLength,
                            uint8_t* output, int32_t* length) {
    return cipherUpdate(context, input, inputLength, output, length, false);
}

int32_t cipherDecryptUpdate(CipherContext* context, const uint8_t* input, int32_t inputLength,
                            uint8_t* output, int32_t* length) {
    return cipherUpdate(context, input, inputLength, output, length, true);
}

int32_t cipherEncryptFinal(CipherContext* context, uint8_t* output, int32_t* length) {
    return cipherFinal(context, output, length, false);
}

int32_t cipherDecryptFinal(CipherContext* context, uint8_t* output, int32_t* length) {
    return cipherFinal(context, output, length, true);
}

// ---- Value encryption -------------------------------------------------------------------------

void aesSetValueKey(const uint8_t* valueKey, const uint8_t* valueIV) {
    if (valueKey == nullptr || valueIV == nullptr) {
        secureZero(&state, sizeof(state));
        state.hasValueKey = false;
        return;
    }
    std::memcpy(state.valueKey, valueKey, sizeof(state.valueKey));
    std::memcpy(state.valueIV, valueIV, sizeof(state.valueIV));
    state.hasValueKey = true;
}

uint8_t* aesEncryptWithPrefix(const char* inputText, int32_t* outputLength) {
    if (inputText == nullptr) {
        warnNullParameter("inputText", __LINE__);
        return nullptr;
    }
    // Without the key the value would be enciphered under a key that everybody knows.
    if (!state.hasValueKey) {
        warnNullParameter("valueKey", __LINE__);
        return nullptr;
    }
    const size_t textLength = std::strlen(inputText);
    const size_t plainLength = kAesTextPrefixLength + textLength + 1;
    const size_t bufferLength = (plainLength / kAesBlockSize + 1) * kAesBlockSize;
    if (bufferLength > INT32_MAX) {
        logAllocationFailure(__LINE__);
        return nullptr;
    }
    auto* plain = static_cast<uint8_t*>(allocZeroed(plainLength));
    if (plain == nullptr) {
        logAllocationFailure(__LINE__);
        return nullptr;
    }
    auto* cipherText = static_cast<uint8_t*>(allocZeroed(bufferLength));
    if (cipherText == nullptr) {
        logAllocationFailure(__LINE__);
        secureZero(plain, plainLength);
        std::free(plain);
        return nullptr;
    }
    std::memcpy(plain, kAesTextPrefix, kAesTextPrefixLength);
    std::memcpy(plain + kAesTextPrefixLength, inputText, textLength);

    CipherContext context{};
    context.mode = kCipherModeAesCbcPad;
    context.blockSize = kAesBlockSize;
    context.keepLastBlock = 0;
    aesExpandKey(context.schedule, &context.scheduleSize, state.valueKey);
    std::memcpy(context.chain, state.valueIV, kAesIvSize);

    int32_t written = static_cast<int32_t>(bufferLength);
    int32_t status = cipherEncryptUpdate(&context, plain, static_cast<int32_t>(plainLength),
                                         cipherText, &written);
    int32_t finalLength = 0;
    if (status != kCipherOk) {
        logCipherStatus(status, __LINE__);
    } else {
        finalLength = static_cast<int32_t>(bufferLength) - written;
        status = cipherEncryptFinal(&context, cipherText + written, &finalLength);
        if (status != kCipherOk) {
            logCipherStatus(status, __LINE__);
        }
    }
    secureZero(&context, sizeof(context));
    secureZero(plain, plainLength);
    std::free(plain);
    if (status != kCipherOk) {
        std::free(cipherText);
        return nullptr;
    }
    if (outputLength != nullptr) {
        *outputLength = written + finalLength;
    }
    return cipherText;
}

char* aesDecryptStripPrefix(const uint8_t* inputText, int32_t inputLength, const uint8_t* inputKey,
                            const uint8_t* inputIV) {
    if (inputText == nullptr) {
        warnNullParameter("inputText", __LINE__);
        return nullptr;
    }
    if (inputKey == nullptr) {
        warnNullParameter("inputKey", __LINE__);
        return nullptr;
    }
    if (inputIV == nullptr) {
        warnNullParameter("inputIV", __LINE__);
        return nullptr;
    }
    if (inputLength < 0 || inputLength == INT32_MAX) {
        logCipherStatus(kCipherNullInput, __LINE__);
        return nullptr;
    }
    const size_t bufferLength = static_cast<size_t>(inputLength) + 1;
    auto* plain = static_cast<uint8_t*>(allocZeroed(bufferLength));
    if (plain == nullptr) {
        logAllocationFailure(__LINE__);
        return nullptr;
    }

    CipherContext context{};
    aesDecryptInit(&context, inputKey);
    std::memcpy(context.chain, inputIV, kAesIvSize);
    int32_t written = static_cast<int32_t>(bufferLength);
    int32_t status = cipherDecryptUpdate(&context, inputText, inputLength, plain, &written);
    if (status != kCipherOk) {
        logCipherStatus(status, __LINE__);
    } else {
        int32_t finalLength = static_cast<int32_t>(bufferLength) - written;
        status = cipherDecryptFinal(&context, plain + written, &finalLength);
        if (status != kCipherOk) {
            logCipherStatus(status, __LINE__);
        } else {
            // The finish leaves the pad bytes in the buffer: a page that enciphered its text
            // without a NUL would otherwise get them back as part of the value.
            const size_t textLength =
                static_cast<size_t>(written) + static_cast<size_t>(finalLength);
            secureZero(plain + textLength, bufferLength - textLength);
        }
    }
    secureZero(&context, sizeof(context));
    if (status != kCipherOk) {
        // A failed finish has already written the decrypted last block.
        secureZero(plain, bufferLength);
        std::free(plain);
        return nullptr;
    }

    // The text ends at its first zero byte: its own NUL, or the first byte after it.
    char* text = reinterpret_cast<char*>(plain);
    if (std::strncmp(text, kAesTextPrefix, kAesTextPrefixLength) != 0) {
        return text;
    }
    logNormal("AES: ", "Remove prefix");
    char* stripped = duplicateString(text + kAesTextPrefixLength);
    if (stripped == nullptr) {
        logAllocationFailure(__LINE__);
        return text;
    }
    scrubBuffer(plain, bufferLength);
    std::free(plain);
    return stripped;
}

// ---- Test hooks -------------------------------------------------------------------------------

void desExpandKeyForTesting(uint32_t* schedule, int32_t* scheduleSize, const uint8_t* keys,
                            int keyCount) {
    if (schedule == nullptr || scheduleSize == nullptr || keys == nullptr || keyCount < 1 ||
        keyCount > 3) {
        return;
    }
    for (int k = 0; k < keyCount; ++k) {
        uint64_t key = 0;
        for (int i = 0; i < 8; ++i) {
            key = (key << 8) | keys[8 * k + i];
        }
        const uint64_t permuted = permute(key, 64, kPermutedChoice1, 56);
        uint32_t c = static_cast<uint32_t>(permuted >> 28) & 0x0FFFFFFFU;
        uint32_t d = static_cast<uint32_t>(permuted) & 0x0FFFFFFFU;
        uint32_t* words = schedule + kDesScheduleWords * k;
        for (int round = 0; round < kDesRounds; ++round) {
            const int shift = kKeyShifts[round];
            c = ((c << shift) | (c >> (28 - shift))) & 0x0FFFFFFFU;
            d = ((d << shift) | (d >> (28 - shift))) & 0x0FFFFFFFU;
            const uint64_t subkey =
                permute(static_cast<uint64_t>(c) << 28 | d, 56, kPermutedChoice2, 48);
            words[2 * round] = static_cast<uint32_t>(subkey >> 24) & 0xFFFFFFU;
            words[2 * round + 1] = static_cast<uint32_t>(subkey) & 0xFFFFFFU;
        }
    }
    *scheduleSize = kDesScheduleWords * keyCount;
}

void rc4ExpandKeyForTesting(uint32_t* schedule, int32_t* scheduleSize, const uint8_t* key,
                            size_t keyLength) {
    if (schedule == nullptr || scheduleSize == nullptr || key == nullptr || keyLength == 0 ||
        keyLength > 256) {
        return;
    }
    uint8_t* s = reinterpret_cast<uint8_t*>(schedule);
    for (int i = 0; i < 256; ++i) {
        s[i] = static_cast<uint8_t>(i);
    }
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<uint8_t>(j + s[i] + key[static_cast<size_t>(i) % keyLength]);
        const uint8_t t = s[i];
        s[i] = s[j];
        s[j] = t;
    }
    s[256] = 0;
    s[257] = 0;
    *scheduleSize = kRc4ScheduleWords;
}
