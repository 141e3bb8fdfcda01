// SHA-512 and its upper-case hexadecimal text, against the published digests.
#include "common/AES.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

constexpr const char* k896BitMessage =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
    "qrsmnopqrstnopqrstu";
constexpr const char* kDigest896 =
    "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018501D289E4900F7E4331B99DEC4B5"
    "433AC7D329EEB6DD26545E96E55B874BE909";
constexpr const char* kDigestMillionA =
    "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EBDE0FF244877EA60A4CB0432CE577"
    "C31BEB009C5C2C49AA2E4EADB217AD8CC09B";

std::string digestOf(Sha512Context& context) {
    uint8_t digest[kSha512DigestSize];
    sha512Final(&context, digest);
    Text hex(hexEncodeUpper(digest));
    return hex ? std::string(hex.get()) : std::string();
}

struct HexCase {
    const char* name;
    std::string text;
    const char* digest;
};

TEST(Sha512Test, HexOfPublishedMessages) {
    const HexCase cases[] = {
        {"empty", "",
         "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2"
         "877EEC2F63B931BD47417A81A538327AF927DA3E"},
        {"abc", "abc",
         "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23"
         "A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
        {"896 bits", k896BitMessage, kDigest896},
        // 111 bytes are the most that leave room for the 0x80 and the length in one block.
        {"111 bytes", std::string(111, 'a'),
         "FA9121C7B32B9E01733D034CFC78CBF67F926C7ED83E82200EF86818196921760B4BEFF48404DF811B953828"
         "274461673C68D04E297B0EB7B2B4D60FC6B566A2"},
        {"112 bytes", std::string(112, 'a'),
         "C01D080EFD492776A1C43BD23DD99D0A2E626D481E16782E75D54C2503B5DC32BD05F0F1BA33E568B88FD2D9"
         "70929B719ECBB152F58F130A407C8830604B70CA"},
    };
    for (const HexCase& c : cases) {
        Text hex(sha512Hex(c.text.c_str()));
        ASSERT_NE(hex, nullptr) << c.name;
        EXPECT_EQ(std::strlen(hex.get()), kSha512HexLength) << c.name;
        // Upper case only: a receiver compares the text byte for byte.
        EXPECT_STREQ(hex.get(), c.digest) << c.name;
    }
}

TEST(Sha512Test, NullTextGivesNull) {
    EXPECT_EQ(sha512Hex(nullptr), nullptr);
}

TEST(Sha512Test, UpdatesSplitAnywhereGiveTheSameDigest) {
    const size_t length = std::strlen(k896BitMessage);
    for (size_t split = 0; split <= length; ++split) {
        Sha512Context context;
        sha512Init(&context);
        sha512Update(&context, k896BitMessage, split);
        sha512Update(&context, k896BitMessage + split, length - split);
        EXPECT_EQ(digestOf(context), kDigest896) << "split at " << split;
    }
    Sha512Context context;
    sha512Init(&context);
    for (size_t i = 0; i < length; ++i) {
        sha512Update(&context, k896BitMessage + i, 1);
    }
    EXPECT_EQ(digestOf(context), kDigest896) << "byte by byte";
}

TEST(Sha512Test, MillionBytesInUnevenPieces) {
    const std::string piece(997, 'a');
    Sha512Context context;
    sha512Init(&context);
    size_t left = 1000000;
    while (left > 0) {
        const size_t take = left < piece.size() ? left : piece.size();
        sha512Update(&context, piece.data(), take);
        left -= take;
    }
    EXPECT_EQ(context.byteCount[0], 1000000U);
    EXPECT_EQ(digestOf(context), kDigestMillionA);
}

TEST(Sha512Test, ByteCountCarriesIntoTheNextWord) {
    Sha512Context context;
    sha512Init(&context);
    context.byteCount[0] = 0xFFFFFF80U;  // a whole number of blocks, so nothing is buffered
    const uint8_t block[kSha512BlockSize] = {};
    sha512Update(&context, block, sizeof(block));
    EXPECT_EQ(context.byteCount[0], 0U);
    EXPECT_EQ(context.byteCount[1], 1U);
    EXPECT_EQ(context.byteCount[2], 0U);
    EXPECT_EQ(context.byteCount[3], 0U);
}

TEST(Sha512Test, HexEncodeUpperWritesHighNibbleFirst) {
    uint8_t bytes[kSha512DigestSize] = {};
    for (size_t i = 0; i < sizeof(bytes); ++i) {
        bytes[i] = static_cast<uint8_t>(0x01 + 0x22 * i);
    }
    Text hex(hexEncodeUpper(bytes));
    ASSERT_NE(hex, nullptr);
    EXPECT_EQ(std::string(hex.get(), 16), "0123456789ABCDEF");
    EXPECT_EQ(std::strlen(hex.get()), kSha512HexLength);
    EXPECT_EQ(hexEncodeUpper(nullptr), nullptr);
}

}  // namespace
