#include "Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string encodePlain(std::vector<unsigned char> bytes) {
    char out[256];
    int length = -1;
    base64EncodeEnc(bytes.data(), static_cast<int>(bytes.size()), out, length, 0);
    EXPECT_EQ(static_cast<int>(std::strlen(out)), length);
    return std::string(out, static_cast<size_t>(length));
}

TEST(Base64Test, EncodesGroupsAndShortTailsWithoutPadding) {
    struct Case {
        std::vector<unsigned char> bytes;
        const char* text;
    };
    const Case cases[] = {
        {{0x20, 0xE9, 0x74}, "%@?:"},  // four of the replaced characters
        {{0x20, 0xE9}, "%@k"},
        {{0x20}, "%A"},
        {{'a', 'b', 'c'}, "YWJj"},
        {{'a', 'b', 'c', 'd'}, "YWJjZA"},
        {{}, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encodePlain(c.bytes), c.text) << "for " << c.bytes.size() << " bytes";
}

TEST(Base64Test, EveryIndexMapsToItsAlphabetCharacter) {
    // 48 bytes packing the 6-bit values 0..63 in order.
    std::vector<unsigned char> bytes;
    for (int v = 0; v < 64; v += 4) {
        unsigned group = (v << 18) | ((v + 1) << 12) | ((v + 2) << 6) | (v + 3);
        bytes.push_back(static_cast<unsigned char>(group >> 16));
        bytes.push_back(static_cast<unsigned char>(group >> 8));
        bytes.push_back(static_cast<unsigned char>(group));
    }
    EXPECT_EQ(encodePlain(bytes), "ABCDEFGH%JKLMN@PQRSTUVWXYZabcdefghijk?mnopqrstuvwxyz:=23456789+/");
    EXPECT_STREQ(encodingTable, "ABCDEFGH%JKLMN@PQRSTUVWXYZabcdefghijk?mnopqrstuvwxyz:=23456789+/");
}

TEST(Base64Test, EncodedLengthMatchesTheEncoder) {
    for (int n = 0; n <= 21; ++n) {
        std::vector<unsigned char> bytes(static_cast<size_t>(n), 0xA5);
        EXPECT_EQ(static_cast<int>(encodePlain(bytes).size()), base64EncodedLength(n)) << n;
    }
    EXPECT_EQ(base64EncodedLength(20), 27);  // a SHA-1 digest
}

TEST(Base64Test, ScramblingXorsTheCallersBytesWithTheKeyInPlace) {
    const unsigned char key[4] = {gRhScrambleTable[0], gRhScrambleTable[4], gRhScrambleTable[8],
                                  gRhScrambleTable[12]};
    unsigned char original[20];
    for (int i = 0; i < 20; ++i)
        original[i] = static_cast<unsigned char>(i * 37 + 11);
    unsigned char bytes[20];
    std::memcpy(bytes, original, sizeof bytes);

    char first[32], second[32];
    int firstLength = 0, secondLength = 0;
    base64Encode(bytes, 20, first, firstLength);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(bytes[i], original[i] ^ key[i % 4]) << "byte " << i;

    // The same buffer encoded again is unscrambled by the second XOR: a different text.
    base64Encode(bytes, 20, second, secondLength);
    EXPECT_EQ(firstLength, 27);
    EXPECT_EQ(secondLength, 27);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(0, std::memcmp(bytes, original, sizeof bytes));
    EXPECT_EQ(std::string(second), encodePlain(std::vector<unsigned char>(original, original + 20)));
}

TEST(Base64Test, ToleratesNullAndEmptyInput) {
    char out[8] = "junk";
    int length = 99;
    base64Encode(nullptr, 5, out, length);
    EXPECT_EQ(length, 0);
    EXPECT_STREQ(out, "");

    unsigned char byte = 1;
    length = 99;
    base64Encode(&byte, 1, nullptr, length);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(byte, 1) << "nothing is scrambled when nothing can be written";
}

}  // namespace
