#include "Base64.h"

const char encodingTable[65] = "ABCDEFGH%JKLMN@PQRSTUVWXYZabcdefghijk?mnopqrstuvwxyz:=23456789+/";

const unsigned char gRhScrambleTable[16] = {
    0x5A, 0x3C, 0x96, 0x0F, 0xC3, 0x71, 0x2E, 0xB8,
    0x47, 0xE1, 0x8D, 0x64, 0x19, 0xA2, 0xF5, 0xD0,
};

namespace {

constexpr int kScrambleKeyLength = 4;

unsigned char scrambleKeyByte(int k) { return gRhScrambleTable[4 * k]; }

}  // namespace

int base64EncodedLength(int length) {
    if (length <= 0)
        return 0;
    int groups = length / 3;
    int rest = length % 3;
    return groups * 4 + (rest == 0 ? 0 : rest + 1);
}

void base64EncodeEnc(unsigned char* bytes, int length, char* outText, int& outLength, int scramble) {
    outLength = 0;
    if (outText == nullptr)
        return;
    outText[0] = '\0';
    if (bytes == nullptr || length <= 0)
        return;

    if (scramble) {
        for (int i = 0; i < length; ++i)
            bytes[i] ^= scrambleKeyByte(i % kScrambleKeyLength);
    }

    char* out = outText;
    int i = 0;
    for (; length - i >= 3; i += 3) {
        unsigned b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
        *out++ = encodingTable[b0 >> 2];
        *out++ = encodingTable[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = encodingTable[((b1 & 15) << 2) | (b2 >> 6)];
        *out++ = encodingTable[b2 & 63];
    }
    if (length - i == 2) {
        unsigned b0 = bytes[i], b1 = bytes[i + 1];
        *out++ = encodingTable[b0 >> 2];
        *out++ = encodingTable[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = encodingTable[(b1 & 15) << 2];
    } else if (length - i == 1) {
        unsigned b0 = bytes[i];
        *out++ = encodingTable[b0 >> 2];
        *out++ = encodingTable[(b0 & 3) << 4];
    }
    *out = '\0';
    outLength = static_cast<int>(out - outText);
}

void base64Encode(unsigned char* bytes, int length, char* outText, int& outLength) {
    base64EncodeEnc(bytes, length, outText, outLength, 1);
}
