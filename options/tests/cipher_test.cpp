#include "options/codec/cipher.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(CA_HAVE_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#endif

namespace ca {
namespace {

using Block = std::vector<uint8_t>;

Block FromHex(const std::string& hex) {
    Block out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

struct KnownAnswer {
    std::string test;
    Block key, plain, cipher;
};

std::vector<KnownAnswer> LoadKnownAnswers() {
    std::vector<KnownAnswer> out;
    std::FILE* f = std::fopen(CA_OPTIONS_TESTDATA "/des-known-answers.txt", "r");
    if (!f) return out;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        char test[64], key[32], plain[32], cipher[32];
        if (line[0] == '#' || std::sscanf(line, "%63s %31s %31s %31s", test, key, plain, cipher) != 4) continue;
        out.push_back({test, FromHex(key), FromHex(plain), FromHex(cipher)});
    }
    std::fclose(f);
    return out;
}

TEST(Cipher, KnownAnswersOfTheStandard) {
    const auto vectors = LoadKnownAnswers();
    ASSERT_EQ(vectors.size(), 173u);  // 64 + 56 + 32 + 19 + sample + textbook
    for (const auto& v : vectors) {
        uint8_t out[8] = {};
        ASSERT_TRUE(EncipherBlocks(v.plain.data(), out, v.key.data(), 8));
        EXPECT_EQ(Block(out, out + 8), v.cipher) << v.test;
        ASSERT_TRUE(DecipherBlocks(v.cipher.data(), out, v.key.data(), 8));
        EXPECT_EQ(Block(out, out + 8), v.plain) << v.test;
    }
}

TEST(Cipher, RivestSixteenSteps) {
    Block x = FromHex("9474B8E8C73BCA7D");
    for (int i = 0; i < 16; ++i) {
        uint8_t out[8];
        const Block key = x;
        if (i % 2 == 0)
            EncipherBlocks(x.data(), out, key.data(), 8);
        else
            DecipherBlocks(x.data(), out, key.data(), 8);
        x.assign(out, out + 8);
    }
    EXPECT_EQ(x, FromHex("1B1A2DDB4C642438"));
}

TEST(Cipher, ParityBitsAreIgnored) {
    const Block plain = FromHex("0123456789ABCDEF");
    const Block key = FromHex("133457799BBCDFF1");
    uint8_t expected[8];
    EncipherBlocks(plain.data(), expected, key.data(), 8);
    for (int byte = 0; byte < 8; ++byte) {
        Block flipped = key;
        flipped[byte] ^= 1;
        uint8_t out[8];
        EncipherBlocks(plain.data(), out, flipped.data(), 8);
        EXPECT_EQ(0, std::memcmp(out, expected, 8)) << "byte " << byte;
    }
}

TEST(Cipher, BlocksAreIndependentAndInPlaceWorks) {
    const Block key = FromHex("0E329232EA6D0D73");
    Block plain = FromHex("8787878787878787");
    plain.insert(plain.end(), plain.begin(), plain.end());  // two equal blocks
    Block out(16);
    ASSERT_TRUE(EncipherBlocks(plain.data(), out.data(), key.data(), 16));
    EXPECT_EQ(Block(out.begin(), out.begin() + 8), FromHex("0000000000000000"));
    EXPECT_EQ(0, std::memcmp(out.data(), out.data() + 8, 8));
    Block inPlace = out;
    ASSERT_TRUE(DecipherBlocks(inPlace.data(), inPlace.data(), key.data(), 16));
    EXPECT_EQ(inPlace, plain);
}

TEST(Cipher, LengthsThatAreNotWholeBlocksAreRejected) {
    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t in[24] = {9};
    for (int32_t length : {0, -8, -1, INT32_MIN}) {
        uint8_t out[24];
        std::memset(out, 0xAB, sizeof out);
        EXPECT_TRUE(EncipherBlocks(in, out, key, length));
        EXPECT_TRUE(DecipherBlocks(in, out, key, length));
        for (uint8_t b : out) ASSERT_EQ(b, 0xAB);
    }
    for (int32_t length : {1, 7, 9, 15, 23}) {
        uint8_t out[24];
        std::memset(out, 0xAB, sizeof out);
        EXPECT_FALSE(EncipherBlocks(in, out, key, length)) << length;
        EXPECT_FALSE(DecipherBlocks(in, out, key, length)) << length;
        for (uint8_t b : out) ASSERT_EQ(b, 0xAB);
    }
    uint8_t out[8];
    EXPECT_FALSE(EncipherBlocks(nullptr, out, key, 8));
    EXPECT_FALSE(EncipherBlocks(in, out, nullptr, 8));
}

#if defined(CA_HAVE_OPENSSL)
TEST(Cipher, MatchesLibcryptoOnRandomKeysAndBlocks) {
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 10000; ++round) {
        uint8_t key[8];
        uint8_t plain[32];
        for (auto& b : key) b = static_cast<uint8_t>(random());
        for (auto& b : plain) b = static_cast<uint8_t>(random());
        DES_cblock keyBlock;
        std::memcpy(keyBlock, key, 8);
        DES_key_schedule schedule;
        DES_set_key_unchecked(&keyBlock, &schedule);
        uint8_t expected[32];
        for (int b = 0; b < 32; b += 8) {
            DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(plain + b), reinterpret_cast<DES_cblock*>(expected + b),
                            &schedule, DES_ENCRYPT);
        }
        uint8_t out[32];
        ASSERT_TRUE(EncipherBlocks(plain, out, key, 32));
        ASSERT_EQ(0, std::memcmp(out, expected, 32)) << "round " << round;
        ASSERT_TRUE(DecipherBlocks(expected, out, key, 32));
        ASSERT_EQ(0, std::memcmp(out, plain, 32)) << "round " << round;
    }
}
#endif

}  // namespace
}  // namespace ca
