// The cipher kit against published vectors (FIPS 197, SP 800-38A, FIPS 81, SP 800-67, RFC 6229),
// its status codes, and the value encryption with the "QuillmarkAESCBC" prefix.
#include "common/AES.h"

#include "common/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string toHex(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

std::string toHex(const Bytes& bytes) {
    return toHex(bytes.data(), bytes.size());
}

bool isZero(const CipherContext& context) {
    const auto* p = reinterpret_cast<const uint8_t*>(&context);
    for (size_t i = 0; i < sizeof(context); ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

enum class Family { Aes, Des, Rc4, None };

Family familyOf(int32_t mode) {
    if (mode == kCipherModeRc4) {
        return Family::Rc4;
    }
    if (mode == kCipherModeNone) {
        return Family::None;
    }
    return mode >= kCipherModeAesEcb ? Family::Aes : Family::Des;
}

bool isPaddingMode(int32_t mode) {
    return mode == kCipherModeDesCbcPad || mode == kCipherModeTdesCbcPad ||
           mode == kCipherModeAesCbcPad;
}

// A keyed context as the system (AES) or the test key set-up (DES family, RC4) makes it.
CipherContext makeContext(int32_t mode, const Bytes& key, int keyCount, const Bytes& iv,
                          bool decrypt) {
    CipherContext context{};
    const Family family = familyOf(mode);
    switch (family) {
        case Family::Aes:
            if (decrypt && mode == kCipherModeAesCbcPad) {
                aesDecryptInit(&context, key.data());
            } else {
                context.mode = mode;
                context.blockSize = kAesBlockSize;
                aesExpandKey(context.schedule, &context.scheduleSize, key.data());
                if (decrypt) {
                    aesInvertKey(context.schedule, context.scheduleSize);
                }
            }
            break;
        case Family::Des:
            context.blockSize = kDesBlockSize;
            desExpandKeyForTesting(context.schedule, &context.scheduleSize, key.data(), keyCount);
            break;
        case Family::Rc4:
            context.blockSize = 1;
            rc4ExpandKeyForTesting(context.schedule, &context.scheduleSize, key.data(), key.size());
            break;
        case Family::None:
            context.blockSize = kAesBlockSize;
            break;
    }
    context.mode = mode;
    context.keepLastBlock = decrypt && isPaddingMode(mode) ? 1 : 0;
    if (!iv.empty()) {
        std::memcpy(context.chain, iv.data(), iv.size());
    }
    return context;
}

// Feeds input in pieces of pieceSize bytes, asking for each piece's size first with a null
// output (which must leave the context as it was) and giving exactly that capacity, then
// finishes. Returns the status of the first failing step.
int32_t runCipher(CipherContext& context, const Bytes& input, size_t pieceSize, bool decrypt,
                  Bytes& output) {
    auto update = decrypt ? cipherDecryptUpdate : cipherEncryptUpdate;
    auto finish = decrypt ? cipherDecryptFinal : cipherEncryptFinal;
    output.clear();
    for (size_t offset = 0; offset < input.size(); offset += pieceSize) {
        const size_t take = std::min(pieceSize, input.size() - offset);
        const int32_t length = static_cast<int32_t>(take);
        const CipherContext before = context;
        int32_t needed = -1;
        int32_t status = update(&context, input.data() + offset, length, nullptr, &needed);
        if (status != kCipherOk) {
            return status;
        }
        EXPECT_EQ(std::memcmp(&before, &context, sizeof(context)), 0) << "size query changed it";
        Bytes piece(static_cast<size_t>(needed) + 1);
        int32_t written = needed;
        status = update(&context, input.data() + offset, length, piece.data(), &written);
        if (status != kCipherOk) {
            return status;
        }
        EXPECT_EQ(written, needed);
        output.insert(output.end(), piece.begin(), piece.begin() + written);
    }
    Bytes last(kCipherMaxBlockSize);
    int32_t written = static_cast<int32_t>(last.size());
    const int32_t status = finish(&context, last.data(), &written);
    if (status == kCipherOk) {
        output.insert(output.end(), last.begin(), last.begin() + written);
    }
    return status;
}

// ---- Known answers ------------------------------------------------------------------------------

struct VectorCase {
    const char* name;
    int32_t mode;
    const char* key;
    int keyCount;  // DES keys of 8 bytes
    const char* iv;
    const char* plain;
    const char* cipher;
};

constexpr const char* kSp80038aKey =
    "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
constexpr const char* kSp80038aPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52"
    "eff69f2445df4f9b17ad2b417be66c3710";
constexpr const char* kSp80038aCbc =
    "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e263042314"
    "61b2eb05e2c39be9fcda6c19078c6a9d1b";
constexpr const char* kTdesKeys = "0123456789abcdef23456789abcdef01456789abcdef0123";
// "The qufck brown fox jump"
constexpr const char* kTdesPlain = "54686520717566636b2062726f776e20666f78206a756d70";
// "Now is the time for all "
constexpr const char* kFips81Plain = "4e6f77206973207468652074696d6520666f7220616c6c20";

const VectorCase kVectors[] = {
    {"FIPS 197 C.3 AES-256", kCipherModeAesEcb,
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 0, "",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {"SP 800-38A F.1.5 ECB-AES256", kCipherModeAesEcb, kSp80038aKey, 0, "", kSp80038aPlain,
     "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870b6ed21b99ca6f4f9f153e7b1be"
     "afed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
    {"SP 800-38A F.2.5 CBC-AES256", kCipherModeAesCbc, kSp80038aKey, 0,
     "000102030405060708090a0b0c0d0e0f", kSp80038aPlain, kSp80038aCbc},
    // The same blocks with PKCS#7: a whole block of 0x10 follows.
    {"CBC-AES256 PKCS#7", kCipherModeAesCbcPad, kSp80038aKey, 0, "000102030405060708090a0b0c0d0e0f",
     kSp80038aPlain, nullptr},
    {"DES classic", kCipherModeDesEcb, "133457799bbcdff1", 1, "", "0123456789abcdef",
     "85e813540f0ab405"},
    {"FIPS 81 DES ECB", kCipherModeDesEcb, "0123456789abcdef", 1, "", kFips81Plain,
     "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"},
    {"FIPS 81 DES CBC", kCipherModeDesCbc, "0123456789abcdef", 1, "1234567890abcdef", kFips81Plain,
     "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
    {"DES CBC PKCS#7", kCipherModeDesCbcPad, "0123456789abcdef", 1, "1234567890abcdef",
     kFips81Plain, "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f662c16a27e4fcf277"},
    {"SP 800-67 triple DES ECB", kCipherModeTdesEcb, kTdesKeys, 3, "", kTdesPlain,
     "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
    {"triple DES CBC", kCipherModeTdesCbc, kTdesKeys, 3, "f69f2445df4f9b17", kTdesPlain,
     "a5c282bad0de3774becd2e04386b589fb5057d8552fc4336"},
    // The padded form as openssl enc -des-ede3-cbc gives it.
    {"triple DES CBC PKCS#7", kCipherModeTdesCbcPad, kTdesKeys, 3, "f69f2445df4f9b17", kTdesPlain,
     "a5c282bad0de3774becd2e04386b589fb5057d8552fc4336af45148b1b044b00"},
    {"two-key triple DES", kCipherModeTdesEcb, "0123456789abcdef23456789abcdef01", 2, "",
     kTdesPlain, "c44862f70cf2fbdc9077d0909fa91b884cabd61fc58e0cbb"},
    {"RC4 Key", kCipherModeRc4, "4b6579", 0, "", "506c61696e74657874", "bbf316e8d940af0ad3"},
    {"RC4 Wiki", kCipherModeRc4, "57696b69", 0, "", "7065646961", "1021bf0420"},
    {"RC4 Secret", kCipherModeRc4, "536563726574", 0, "", "41747461636b206174206461776e",
     "45a01f645fc35b383552544b9bf5"},
    {"RFC 6229 40-bit key", kCipherModeRc4, "0102030405", 0, "", "00000000000000000000000000000000",
     "b2396305f03dc027ccc3524a0a1118a8"},
    {"no cipher", kCipherModeNone, "", 0, "", "000102030405060708090a0b0c0d0e0f",
     "000102030405060708090a0b0c0d0e0f"},
};

std::string expectedCipher(const VectorCase& c) {
    if (c.cipher != nullptr) {
        return c.cipher;
    }
    return std::string(kSp80038aCbc) + "3f461796d6b0d6b2e0c2a72b4d80e644";
}

TEST(CipherKitTest, KnownAnswersInEveryPieceSize) {
    for (const VectorCase& c : kVectors) {
        for (size_t piece : {size_t{1000}, size_t{1}, size_t{7}, size_t{21}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            const Bytes key = fromHex(c.key);
            const Bytes iv = fromHex(c.iv);
            CipherContext encryptor = makeContext(c.mode, key, c.keyCount, iv, false);
            Bytes output;
            ASSERT_EQ(runCipher(encryptor, fromHex(c.plain), piece, false, output), kCipherOk);
            EXPECT_EQ(toHex(output), expectedCipher(c));
            EXPECT_TRUE(isZero(encryptor)) << "finishing wipes the context";

            CipherContext decryptor = makeContext(c.mode, key, c.keyCount, iv, true);
            ASSERT_EQ(runCipher(decryptor, fromHex(expectedCipher(c)), piece, true, output),
                      kCipherOk);
            EXPECT_EQ(toHex(output), c.plain);
            EXPECT_TRUE(isZero(decryptor));
        }
    }
}

#ifndef _WIN32
// openssl's own AES-256-CBC with PKCS#7 over input, or nothing when it could not be run.
std::optional<Bytes> opensslEncrypt(const Bytes& key, const Bytes& iv, const Bytes& input) {
    const std::filesystem::path folder = makeTestFolder("qm-openssl");
    const std::filesystem::path in = folder / "plain";
    const std::filesystem::path out = folder / "cipher";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), static_cast<long>(input.size()));
    const std::string command = "openssl enc -aes-256-cbc -K " + toHex(key) + " -iv " + toHex(iv) +
                                " -in '" + in.string() + "' -out '" + out.string() +
                                "' 2>/dev/null";
    std::optional<Bytes> result;
    if (std::system(command.c_str()) == 0) {
        std::ifstream file(out, std::ios::binary);
        result = Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return result;
}

// An independent implementation on random keys, IVs, lengths and piece sizes: the cipher, the
// chaining and the padding of the one mode the system uses.
TEST(CipherKitTest, AesCbcPadAgreesWithOpensslOnRandomInputs) {
    ASSERT_EQ(std::system("openssl version >/dev/null 2>&1"), 0) << "openssl is needed here";
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto randomBytes = [&](size_t count) {
        Bytes bytes(count);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        return bytes;
    };
    const size_t lengths[] = {0, 1, 15, 16, 17, 31, 32, 33, 100, 255, 256, 1000};
    for (size_t round = 0; round < 24; ++round) {
        const size_t length = round < std::size(lengths) ? lengths[round] : random() % 2000;
        const size_t piece = 1 + random() % 40;
        SCOPED_TRACE(std::to_string(length) + " bytes in pieces of " + std::to_string(piece));
        const Bytes key = randomBytes(32);
        const Bytes iv = randomBytes(16);
        const Bytes plain = randomBytes(length);
        const std::optional<Bytes> expected = opensslEncrypt(key, iv, plain);
        ASSERT_TRUE(expected.has_value());

        CipherContext encryptor = makeContext(kCipherModeAesCbcPad, key, 0, iv, false);
        Bytes cipher;
        ASSERT_EQ(runCipher(encryptor, plain, piece, false, cipher), kCipherOk);
        EXPECT_EQ(toHex(cipher), toHex(*expected));

        CipherContext decryptor = makeContext(kCipherModeAesCbcPad, key, 0, iv, true);
        Bytes back;
        ASSERT_EQ(runCipher(decryptor, *expected, piece, true, back), kCipherOk);
        EXPECT_EQ(toHex(back), toHex(plain));
    }
}
#endif

TEST(CipherKitTest, Aes256KeyExpansionMatchesFips197) {
    const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    uint32_t schedule[kCipherScheduleWords] = {};
    int32_t size = 0;
    aesExpandKey(schedule, &size, key.data());
    EXPECT_EQ(size, kAesScheduleWords);
    EXPECT_EQ(schedule[0], 0x603deb10U);
    EXPECT_EQ(schedule[8], 0x9ba35411U);
    EXPECT_EQ(schedule[12], 0xa8b09c1aU);
    EXPECT_EQ(schedule[59], 0x706c631eU);
}

// Chain-only modes output nothing and leave the last CBC block in the chain (a MAC).
TEST(CipherKitTest, ChainOnlyModesKeepTheCbcResultInTheChain) {
    struct ChainCase {
        const char* name;
        int32_t mode;
        const char* key;
        int keyCount;
        const char* iv;
        const char* plain;
        const char* lastBlock;
    };
    const ChainCase cases[] = {
        {"AES", kCipherModeAesChain, kSp80038aKey, 0, "000102030405060708090a0b0c0d0e0f",
         kSp80038aPlain, "b2eb05e2c39be9fcda6c19078c6a9d1b"},
        {"AES alternative", kCipherModeAesChainAlt, kSp80038aKey, 0,
         "000102030405060708090a0b0c0d0e0f", kSp80038aPlain, "b2eb05e2c39be9fcda6c19078c6a9d1b"},
        {"DES", kCipherModeDesChain, "0123456789abcdef", 1, "1234567890abcdef", kFips81Plain,
         "683788499a7c05f6"},
        {"triple DES", kCipherModeTdesChainAlt, kTdesKeys, 3, "f69f2445df4f9b17", kTdesPlain,
         "b5057d8552fc4336"},
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes key = fromHex(c.key);
        const Bytes iv = fromHex(c.iv);
        const Bytes plain = fromHex(c.plain);
        CipherContext context = makeContext(c.mode, key, c.keyCount, iv, false);
        uint8_t out[64] = {};
        int32_t length = sizeof(out);
        ASSERT_EQ(cipherEncryptUpdate(&context, plain.data(), static_cast<int32_t>(plain.size()),
                                      out, &length),
                  kCipherOk);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(toHex(context.chain, std::strlen(c.lastBlock) / 2), c.lastBlock);
        length = sizeof(out);
        EXPECT_EQ(cipherEncryptFinal(&context, out, &length), kCipherUnknownMode);

        CipherContext decryptor = makeContext(c.mode, key, c.keyCount, iv, true);
        length = sizeof(out);
        ASSERT_EQ(cipherDecryptUpdate(&decryptor, plain.data(), static_cast<int32_t>(plain.size()),
                                      out, &length),
                  kCipherOk);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(toHex(decryptor.chain, iv.size()), c.iv) << "decryption does nothing";
        EXPECT_EQ(cipherDecryptFinal(&decryptor, out, &length), kCipherUnknownMode);
    }
}

TEST(CipherKitTest, PaddedDecryptionKeepsTheLastWholeBlockBack) {
    const Bytes key = fromHex(kSp80038aKey);
    const Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
    const Bytes cipher = fromHex(kSp80038aCbc);
    CipherContext context = makeContext(kCipherModeAesCbcPad, key, 0, iv, true);
    uint8_t out[64] = {};
    int32_t length = sizeof(out);
    ASSERT_EQ(cipherDecryptUpdate(&context, cipher.data(), 32, out, &length), kCipherOk);
    EXPECT_EQ(length, 16);
    EXPECT_EQ(context.pendingCount, 16);
    EXPECT_EQ(toHex(out, 16), std::string(kSp80038aPlain).substr(0, 32));

    // Without keepLastBlock the same run is decrypted whole.
    CipherContext plainCbc = makeContext(kCipherModeAesCbc, key, 0, iv, true);
    length = sizeof(out);
    ASSERT_EQ(cipherDecryptUpdate(&plainCbc, cipher.data(), 32, out, &length), kCipherOk);
    EXPECT_EQ(length, 32);
    EXPECT_EQ(plainCbc.pendingCount, 0);
}

// ---- Status codes -------------------------------------------------------------------------------

CipherContext aesEncryptor(int32_t mode = kCipherModeAesCbcPad) {
    return makeContext(mode, Bytes(32, 0x11), 0, Bytes(16, 0x22), false);
}

CipherContext withPending(CipherContext context, int32_t count) {
    uint8_t out[16];
    int32_t length = sizeof(out);
    const Bytes input(static_cast<size_t>(count), 0x33);
    EXPECT_EQ(cipherEncryptUpdate(&context, input.data(), count, out, &length), kCipherOk);
    return context;
}

struct StatusCase {
    const char* name;
    CipherContext context;
    bool decrypt;
    bool final;
    int32_t inputLength;  // update only; the input is null when this is -1
    int32_t capacity;     // -1: null output
    int32_t status;
    int32_t length;  // expected length afterwards; -2: unchanged
};

TEST(CipherKitTest, StatusCodes) {
    CipherContext zeroBlock = aesEncryptor();
    zeroBlock.blockSize = 0;
    CipherContext unknown = aesEncryptor();
    unknown.mode = 0x1087;
    CipherContext foreignBlock = aesEncryptor();
    foreignBlock.blockSize = 8;
    CipherContext desWithAesBlock = makeContext(kCipherModeDesCbc, Bytes(8, 1), 1, Bytes(8), false);
    desWithAesBlock.blockSize = 16;
    CipherContext oneBlockPending = aesEncryptor();
    oneBlockPending.keepLastBlock = 1;

    const StatusCase cases[] = {
        {"update of nothing", aesEncryptor(), false, false, 0, 64, kCipherOk, 0},
        {"null input", aesEncryptor(), false, false, -1, 64, kCipherNullInput, -2},
        {"block size 0", zeroBlock, false, false, 16, 64, kCipherUnknownMode, -2},
        {"unknown mode", unknown, true, false, 16, 64, kCipherUnknownMode, -2},
        {"block size foreign to AES", foreignBlock, false, false, 16, 64, kCipherUnknownMode, -2},
        {"block size foreign to DES", desWithAesBlock, false, false, 16, 64, kCipherUnknownMode,
         -2},
        {"output too small", aesEncryptor(), false, false, 40, 31, kCipherBufferTooSmall, 32},
        {"null output asks the size", aesEncryptor(), false, false, 40, -1, kCipherOk, 32},
        {"ECB finish with bytes pending", withPending(aesEncryptor(kCipherModeAesEcb), 5), false,
         true, 0, 16, kCipherPendingBytes, -2},
        {"CBC finish without pending", aesEncryptor(kCipherModeAesCbc), true, true, 0, 0, kCipherOk,
         0},
        {"unknown mode finish", unknown, false, true, 0, 16, kCipherUnknownMode, -2},
        {"padding finish without output", aesEncryptor(), false, true, 0, -1, kCipherOk, 16},
        {"padding finish too small", aesEncryptor(), false, true, 0, 15, kCipherBufferTooSmall, 16},
        {"padding decrypt finish too small", oneBlockPending, true, true, 0, 15,
         kCipherBufferTooSmall, 16},
        {"padding decrypt finish, nothing pending", aesEncryptor(), true, true, 0, 16,
         kCipherBadFinalBlock, -2},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        CipherContext context = c.context;
        const Bytes input(64, 0x44);
        uint8_t out[64] = {};
        int32_t length = c.capacity;
        uint8_t* output = c.capacity < 0 ? nullptr : out;
        int32_t status = 0;
        if (c.final) {
            status = c.decrypt ? cipherDecryptFinal(&context, output, &length)
                               : cipherEncryptFinal(&context, output, &length);
        } else {
            const uint8_t* in = c.inputLength == -1 ? nullptr : input.data();
            const int32_t inLength = c.inputLength == -1 ? 16 : c.inputLength;
            status = c.decrypt ? cipherDecryptUpdate(&context, in, inLength, output, &length)
                               : cipherEncryptUpdate(&context, in, inLength, output, &length);
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(length, c.length == -2 ? c.capacity : c.length);
        // Refusals and size queries leave the context as it was.
        if (status != kCipherOk || output == nullptr) {
            EXPECT_EQ(std::memcmp(&context, &c.context, sizeof(context)), 0) << "context touched";
        }
    }
}

TEST(CipherKitTest, NullContextOrLengthGives7) {
    CipherContext context = aesEncryptor();
    uint8_t data[16] = {};
    int32_t length = 16;
    EXPECT_EQ(cipherEncryptUpdate(nullptr, data, 16, data, &length), kCipherNullArgument);
    EXPECT_EQ(cipherDecryptUpdate(&context, data, 16, data, nullptr), kCipherNullArgument);
    EXPECT_EQ(cipherEncryptFinal(nullptr, data, &length), kCipherNullArgument);
    EXPECT_EQ(cipherDecryptFinal(&context, data, nullptr), kCipherNullArgument);
}

TEST(CipherKitTest, FinishingAPaddedDecryptionNotOnABlockPrintsTheCounts) {
    const Bytes key(32, 0x11);
    CipherContext context = makeContext(kCipherModeAesCbcPad, key, 0, Bytes(16), true);
    const Bytes input(20, 0x55);
    uint8_t out[32] = {};
    int32_t length = sizeof(out);
    ASSERT_EQ(cipherDecryptUpdate(&context, input.data(), 20, out, &length), kCipherOk);
    testing::internal::CaptureStdout();
    length = sizeof(out);
    EXPECT_EQ(cipherDecryptFinal(&context, out, &length), kCipherBadFinalBlock);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "p->Buse: 4\nbufsize: 16\n");
}

// Ciphertexts of one block under key 00..1f and IV 40..4f whose plaintext ends in a bad pad.
TEST(CipherKitTest, BadPaddingGives64) {
    struct PadCase {
        const char* name;
        const char* cipher;
    };
    const PadCase cases[] = {
        {"last byte 0x00", "347c1ee6da31982a3eb777f26a6e9605"},
        {"last byte 0x11", "8df2490c01f2cfecf1d40fba6d422d50"},
        {"pad bytes differ (02 03 03)", "896b6ff8e90998ce3c20fdf24fc282a0"},
    };
    Bytes key(32);
    Bytes iv(16);
    for (size_t i = 0; i < 32; ++i) {
        key[i] = static_cast<uint8_t>(i);
    }
    for (size_t i = 0; i < 16; ++i) {
        iv[i] = static_cast<uint8_t>(0x40 + i);
    }
    for (const PadCase& c : cases) {
        SCOPED_TRACE(c.name);
        CipherContext context = makeContext(kCipherModeAesCbcPad, key, 0, iv, true);
        Bytes output;
        EXPECT_EQ(runCipher(context, fromHex(c.cipher), 16, true, output), kCipherBadPadding);
        EXPECT_FALSE(isZero(context)) << "a failed finish does not wipe";
    }
    // A block of sixteen 0x10 is a valid pad of a whole block: nothing is left.
    CipherContext context = makeContext(kCipherModeAesCbcPad, key, 0, iv, true);
    Bytes output;
    EXPECT_EQ(runCipher(context, fromHex("974b412738e50f45c7f9db25413f274b"), 16, true, output),
              kCipherOk);
    EXPECT_TRUE(output.empty());
}

// ---- Value encryption ---------------------------------------------------------------------------

class ValueEncryptionTest : public testing::Test {
protected:
    void SetUp() override {
        for (size_t i = 0; i < sizeof(key); ++i) {
            key[i] = static_cast<uint8_t>(i);
            valueIV[i] = static_cast<uint8_t>(0x40 + i);  // only the first 16 bytes are used
        }
        aesSetValueKey(key, valueIV);
    }
    void TearDown() override { aesSetValueKey(nullptr, nullptr); }

    Bytes encrypt(const char* text) {
        int32_t length = -1;
        Buffer cipher(aesEncryptWithPrefix(text, &length));
        if (!cipher) {
            ADD_FAILURE() << "no ciphertext";
            return {};
        }
        return Bytes(cipher.get(), cipher.get() + length);
    }

    Text decrypt(const Bytes& cipher, const uint8_t* iv = nullptr) {
        return Text(aesDecryptStripPrefix(cipher.data(), static_cast<int32_t>(cipher.size()), key,
                                          iv != nullptr ? iv : valueIV));
    }

    uint8_t key[32] = {};
    uint8_t valueIV[32] = {};
};

TEST_F(ValueEncryptionTest, CiphertextIsCbcOfPrefixTextAndNul) {
    // AES-256-CBC with PKCS#7 of "QuillmarkAESCBChello" and its NUL (21 bytes), computed apart.
    EXPECT_EQ(toHex(encrypt("hello")),
              "cc40ab3c91ce1b9348dc5b0c23fe81ac41fb35b71b830d211ded19141fe06bcd");
}

TEST_F(ValueEncryptionTest, CiphertextLengths) {
    struct LengthCase {
        const char* name;
        std::string text;
        size_t length;
    };
    const LengthCase cases[] = {
        {"empty: prefix and NUL fill one block, one pad block", "", 32},
        {"15 characters", std::string(15, 'x'), 32},
        {"16 characters", std::string(16, 'x'), 48},
        {"1000 characters", std::string(1000, 'x'), 1024},
    };
    for (const LengthCase& c : cases) {
        EXPECT_EQ(encrypt(c.text.c_str()).size(), c.length) << c.name;
    }
    int32_t length = 0;
    Buffer withoutLength(aesEncryptWithPrefix("x", nullptr));
    EXPECT_NE(withoutLength, nullptr);
    EXPECT_EQ(aesEncryptWithPrefix(nullptr, &length), nullptr);
}

TEST_F(ValueEncryptionTest, RoundTripReturnsTheTextExactly) {
    for (const std::string& text :
         {std::string(), std::string("a"), std::string(15, 'q'), std::string(16, 'q'),
          std::string("QuillmarkAESCBC inside"), std::string("\xe4\xb8\xad\xe6\x96\x87 text"),
          std::string(1000, 'z')}) {
        Text plain = decrypt(encrypt(text.c_str()));
        ASSERT_NE(plain, nullptr) << text;
        EXPECT_EQ(plain.get(), text);
    }
}

TEST_F(ValueEncryptionTest, WithoutValueKeyNothingIsEnciphered) {
    aesSetValueKey(nullptr, nullptr);
    int32_t length = -1;
    EXPECT_EQ(aesEncryptWithPrefix("secret", &length), nullptr);
    EXPECT_EQ(length, -1);
}

TEST_F(ValueEncryptionTest, DecryptionOfForeignCiphertexts) {
    // One block: "abc" padded with thirteen 0x0D, no NUL of its own: the pad is not text.
    Text abc = decrypt(fromHex("b55fe5ce8458ef18e570bb8d1252fd9c"));
    ASSERT_NE(abc, nullptr);
    EXPECT_EQ(std::string(abc.get()), "abc");
    // One block: "no prefix" and its NUL, returned as it is.
    Text plain = decrypt(fromHex("1e7e5c16b6c31f1fabac0e746dbb5e09"));
    ASSERT_NE(plain, nullptr);
    EXPECT_STREQ(plain.get(), "no prefix");
}

// A page's value enciphered with or without its NUL: the same text comes back; a block whose
// last byte is no valid pad is not decryptable.
TEST_F(ValueEncryptionTest, PaddingIsRemovedBeforeTheTextEnds) {
    struct PadCase {
        const char* name;
        std::string block;  // one plaintext block, enciphered without padding
        const char* text;   // null: not decryptable
    };
    const PadCase cases[] = {
        {"PIN without NUL", "1234" + std::string(12, '\x0c'), "1234"},
        {"PIN with NUL", std::string("1234\0", 5) + std::string(11, '\x0b'), "1234"},
        {"15 characters and one pad byte", std::string(15, 'p') + "\x01", "ppppppppppppppp"},
        {"pad byte 0", "1234" + std::string(12, '\0'), nullptr},
        {"pad byte above 16", "1234" + std::string(11, '\x0c') + "\x11", nullptr},
        {"pad bytes that differ", "1234" + std::string(11, '\x0b') + "\x0c", nullptr},
    };
    for (const PadCase& c : cases) {
        CipherContext context = makeContext(kCipherModeAesCbc, Bytes(key, key + 32), 0,
                                            Bytes(valueIV, valueIV + 16), false);
        Bytes cipher;
        ASSERT_EQ(runCipher(context, Bytes(c.block.begin(), c.block.end()), 16, false, cipher),
                  kCipherOk)
            << c.name;
        Text plain = decrypt(cipher);
        if (c.text == nullptr) {
            EXPECT_EQ(plain, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(plain, nullptr) << c.name;
        EXPECT_STREQ(plain.get(), c.text) << c.name;
    }
}

TEST_F(ValueEncryptionTest, WrongIvGarblesOnlyTheFirstBlock) {
    const Bytes cipher = encrypt("a value longer than one block");
    uint8_t iv[16];
    std::memcpy(iv, valueIV, sizeof(iv));
    iv[0] ^= 0x01;  // flips the first plaintext bit only: "Q" becomes "P"
    Text plain = decrypt(cipher, iv);
    ASSERT_NE(plain, nullptr);
    EXPECT_STREQ(plain.get(), "PuillmarkAESCBCa value longer than one block");
}

TEST_F(ValueEncryptionTest, FailuresGiveNull) {
    const Bytes cipher = encrypt("value");
    uint8_t wrongKey[32];
    std::memcpy(wrongKey, key, sizeof(wrongKey));
    wrongKey[31] ^= 0x80;
    EXPECT_EQ(aesDecryptStripPrefix(cipher.data(), 32, wrongKey, valueIV), nullptr)
        << "wrong key: bad pad";
    EXPECT_EQ(aesDecryptStripPrefix(cipher.data(), 31, key, valueIV), nullptr) << "not a block";
    EXPECT_EQ(aesDecryptStripPrefix(cipher.data(), 0, key, valueIV), nullptr) << "empty";
    EXPECT_EQ(aesDecryptStripPrefix(cipher.data(), -16, key, valueIV), nullptr) << "negative";
    EXPECT_EQ(aesDecryptStripPrefix(nullptr, 32, key, valueIV), nullptr);
    EXPECT_EQ(aesDecryptStripPrefix(cipher.data(), 32, nullptr, valueIV), nullptr);
    EXPECT_EQ(aesDecryptStripPrefix(cipher.data(), 32, key, nullptr), nullptr);
}

// The log lines of a failing decryption and of a removed prefix.
TEST(AesLogTest, StatusAndPrefixLines) {
    LogCapture log(kLogLevelDebug, "AesTest");
    const uint8_t key[32] = {};
    const uint8_t iv[16] = {};
    const uint8_t cipher[20] = {};
    EXPECT_EQ(aesDecryptStripPrefix(cipher, 20, key, iv), nullptr);
    EXPECT_EQ(aesDecryptStripPrefix(nullptr, 20, key, iv), nullptr);
    const std::vector<std::string> messages = log.messages();
    // "Error code %d = 0x%X at %d line in %s" with the status, the source line and the module:
    // the finish is left 5 bytes of room behind the one block the update wrote.
    const std::string head = "[AesTest][Warning] Error code 336 = 0x150 at ";
    const std::string tail = " line in AES";
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& m) {
        return m.size() > head.size() + tail.size() && m.compare(0, head.size(), head) == 0 &&
               m.compare(m.size() - tail.size(), tail.size(), tail) == 0 &&
               std::all_of(m.begin() + static_cast<long>(head.size()),
                           m.end() - static_cast<long>(tail.size()),
                           [](char c) { return c >= '0' && c <= '9'; });
    })) << testing::PrintToString(messages);
    EXPECT_TRUE(log.contains("[AesTest][Warning] Parameter inputText is null at AES "));

    uint8_t valueKey[32] = {};
    uint8_t valueIV[32] = {};
    aesSetValueKey(valueKey, valueIV);
    int32_t length = 0;
    Buffer encrypted(aesEncryptWithPrefix("v", &length));
    aesSetValueKey(nullptr, nullptr);
    ASSERT_NE(encrypted, nullptr);
    Text plain(aesDecryptStripPrefix(encrypted.get(), length, valueKey, valueIV));
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(log.contains("[AesTest][Normal] AES: Remove prefix"));
}

}  // namespace
