// AES: SHA-512 and its upper-case hexadecimal text.
#include "common/AES.h"

#include "common/Log.h"
#include "common/Tool.h"

#include <cstdlib>
#include <cstring>

namespace {

// Allocation failures of the hexadecimal text are reported under the text helpers' module.
constexpr const char* kHexModuleName = "Tool";

constexpr uint64_t kInitialHash[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr uint64_t kRoundConstants[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

uint64_t rotateRight(uint64_t x, unsigned n) {
    return (x >> n) | (x << (64 - n));
}

uint64_t loadBigEndian64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

void storeBigEndian64(uint8_t* p, uint64_t value) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

void compress(uint64_t* state, const uint8_t* block) {
    uint64_t w[80];
    for (int t = 0; t < 16; ++t) {
        w[t] = loadBigEndian64(block + 8 * t);
    }
    for (int t = 16; t < 80; ++t) {
        const uint64_t s0 =
            rotateRight(w[t - 15], 1) ^ rotateRight(w[t - 15], 8) ^ (w[t - 15] >> 7);
        const uint64_t s1 = rotateRight(w[t - 2], 19) ^ rotateRight(w[t - 2], 61) ^ (w[t - 2] >> 6);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint64_t a = state[0];
    uint64_t b = state[1];
    uint64_t c = state[2];
    uint64_t d = state[3];
    uint64_t e = state[4];
    uint64_t f = state[5];
    uint64_t g = state[6];
    uint64_t h = state[7];
    for (int t = 0; t < 80; ++t) {
        const uint64_t sum1 = rotateRight(e, 14) ^ rotateRight(e, 18) ^ rotateRight(e, 41);
        const uint64_t choice = (e & f) ^ (~e & g);
        const uint64_t t1 = h + sum1 + choice + kRoundConstants[t] + w[t];
        const uint64_t sum0 = rotateRight(a, 28) ^ rotateRight(a, 34) ^ rotateRight(a, 39);
        const uint64_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint64_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
    // The message schedule is derived from the input, which may be a secret.
    secureZero(w, sizeof(w));
}

// Bytes in the partial block: the count modulo 128 (only its lowest word matters).
size_t blockFill(const Sha512Context* context) {
    return context->byteCount[0] % kSha512BlockSize;
}

void addToCount(Sha512Context* context, size_t length) {
    uint64_t carry = length;
    for (int i = 0; i < 4 && carry != 0; ++i) {
        const uint64_t sum = static_cast<uint64_t>(context->byteCount[i]) + (carry & 0xFFFFFFFFU);
        context->byteCount[i] = static_cast<uint32_t>(sum);
        carry = (carry >> 32) + (sum >> 32);
    }
}

}  // namespace

void sha512Init(Sha512Context* context) {
    if (context == nullptr) {
        return;
    }
    std::memset(context, 0, sizeof(*context));
    std::memcpy(context->state, kInitialHash, sizeof(kInitialHash));
}

void sha512Update(Sha512Context* context, const void* bytes, size_t length) {
    if (context == nullptr || bytes == nullptr || length == 0) {
        return;
    }
    const uint8_t* input = static_cast<const uint8_t*>(bytes);
    size_t fill = blockFill(context);
    addToCount(context, length);
    if (fill != 0) {
        const size_t room = kSha512BlockSize - fill;
        const size_t take = length < room ? length : room;
        std::memcpy(context->block + fill, input, take);
        input += take;
        length -= take;
        fill += take;
        if (fill < kSha512BlockSize) {
            return;
        }
        compress(context->state, context->block);
    }
    while (length >= kSha512BlockSize) {
        compress(context->state, input);
        input += kSha512BlockSize;
        length -= kSha512BlockSize;
    }
    if (length != 0) {
        std::memcpy(context->block, input, length);
    }
}

void sha512Final(Sha512Context* context, uint8_t* digest) {
    if (context == nullptr || digest == nullptr) {
        return;
    }
    // The bit length is the 128-bit byte count shifted left by three, big-endian.
    uint8_t lengthField[16];
    for (int i = 0; i < 4; ++i) {
        const uint32_t low = context->byteCount[i] << 3;
        const uint32_t fromBelow = i == 0 ? 0 : context->byteCount[i - 1] >> 29;
        const uint32_t word = low | fromBelow;
        uint8_t* p = lengthField + 16 - 4 * (i + 1);
        p[0] = static_cast<uint8_t>(word >> 24);
        p[1] = static_cast<uint8_t>(word >> 16);
        p[2] = static_cast<uint8_t>(word >> 8);
        p[3] = static_cast<uint8_t>(word);
    }
    size_t fill = blockFill(context);
    context->block[fill++] = 0x80;
    if (fill > kSha512BlockSize - sizeof(lengthField)) {
        std::memset(context->block + fill, 0, kSha512BlockSize - fill);
        compress(context->state, context->block);
        fill = 0;
    }
    std::memset(context->block + fill, 0, kSha512BlockSize - sizeof(lengthField) - fill);
    std::memcpy(context->block + kSha512BlockSize - sizeof(lengthField), lengthField,
                sizeof(lengthField));
    compress(context->state, context->block);
    for (int i = 0; i < 8; ++i) {
        storeBigEndian64(digest + 8 * i, context->state[i]);
    }
}

char* hexEncodeUpper(const uint8_t* digest) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (digest == nullptr) {
        return nullptr;
    }
    char* text = static_cast<char*>(std::calloc(kSha512HexLength + 1, 1));
    if (text == nullptr) {
        qm::logAllocationFailure(kHexModuleName, __LINE__);
        return nullptr;
    }
    for (size_t i = 0; i < kSha512DigestSize; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    return text;
}

char* sha512Hex(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    Sha512Context context;
    uint8_t digest[kSha512DigestSize];
    sha512Init(&context);
    sha512Update(&context, text, std::strlen(text));
    sha512Final(&context, digest);
    secureZero(&context, sizeof(context));
    char* hex = hexEncodeUpper(digest);
    secureZero(digest, sizeof(digest));
    return hex;
}
