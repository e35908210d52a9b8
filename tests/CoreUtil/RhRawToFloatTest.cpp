#include "RhRawToFloat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr float kSentinel = 12345.0f;

// One sample, its raw bytes, the width that scales it, and its float value.
struct SampleCase {
    Bytes raw;
    int bytesPerSample;
    int byteOrder;  // 0 big-endian, else little-endian
    int scaleBytes;
    float expected;
};

const float k2pow23 = 8388608.0f;

const SampleCase kSampleCases[] = {
    // 8-bit: signed big-endian files, unsigned (offset 128) little-endian files.
    {{0x80}, 1, 0, 1, -1.0f},
    {{0x7F}, 1, 0, 1, 127.0f / 128},
    {{0x01}, 1, 0, 1, 1.0f / 128},
    {{0x80}, 1, 1, 1, 0.0f},
    {{0x00}, 1, 1, 1, -1.0f},
    {{0xFF}, 1, 1, 1, 127.0f / 128},
    {{0x00}, 1, 7, 1, -1.0f},  // any non-zero byte order is little-endian
    // 16-bit
    {{0x80, 0x00}, 2, 0, 2, -1.0f},
    {{0x7F, 0xFF}, 2, 0, 2, 32767.0f / 32768},
    {{0x00, 0x01}, 2, 0, 2, 1.0f / 32768},
    {{0x00, 0x80}, 2, 1, 2, -1.0f},
    {{0xFF, 0x7F}, 2, 1, 2, 32767.0f / 32768},
    {{0x01, 0x00}, 2, 1, 2, 1.0f / 32768},
    {{0xFF, 0xFF}, 2, 1, 2, -1.0f / 32768},
    // 24-bit
    {{0x80, 0x00, 0x00}, 3, 0, 3, -1.0f},
    {{0x7F, 0xFF, 0xFF}, 3, 0, 3, 8388607.0f / k2pow23},
    {{0x00, 0x00, 0x01}, 3, 0, 3, 1.0f / k2pow23},
    {{0x00, 0x00, 0x80}, 3, 1, 3, -1.0f},
    {{0xFF, 0xFF, 0x7F}, 3, 1, 3, 8388607.0f / k2pow23},
    {{0x01, 0x00, 0x00}, 3, 1, 3, 1.0f / k2pow23},
    {{0xFF, 0xFF, 0xFF}, 3, 1, 3, -1.0f / k2pow23},
    // 32-bit
    {{0x80, 0x00, 0x00, 0x00}, 4, 0, 4, -1.0f},
    {{0x40, 0x00, 0x00, 0x00}, 4, 0, 4, 0.5f},
    {{0x00, 0x00, 0x01, 0x00}, 4, 0, 4, 1.0f / k2pow23},
    {{0x00, 0x00, 0x00, 0x80}, 4, 1, 4, -1.0f},
    {{0x00, 0x00, 0x00, 0x40}, 4, 1, 4, 0.5f},
    {{0x00, 0x01, 0x00, 0x00}, 4, 1, 4, 1.0f / k2pow23},
    // Right-aligned host integers scaled for a narrower width (decoded audio).
    {{0xFF, 0x7F, 0x00, 0x00}, 4, 1, 2, 32767.0f / 32768},
    {{0x00, 0x80, 0xFF, 0xFF}, 4, 1, 2, -1.0f},
    {{0xFF, 0xFF, 0x7F, 0x00}, 4, 1, 3, 8388607.0f / k2pow23},
    {{0x00, 0x00, 0x80, 0xFF}, 4, 1, 3, -1.0f},
};

std::string describe(const SampleCase& c) {
    std::string s = "bytes";
    char hex[4];
    for (unsigned char b : c.raw) {
        std::snprintf(hex, sizeof hex, " %02X", b);
        s += hex;
    }
    return s + " width " + std::to_string(c.bytesPerSample) + " order " + std::to_string(c.byteOrder) +
           " scale " + std::to_string(c.scaleBytes);
}

void convert(int32_t frames, const void* raw, bool interleaved, int32_t channels, int32_t bytesPerSample,
             int32_t byteOrder, float* const* destinations, int32_t scaleBytes) {
    if (scaleBytes == bytesPerSample)
        RhConvertSamplesRawToFloat(frames, raw, interleaved, channels, bytesPerSample, byteOrder, destinations);
    else
        RhConvertSamplesRawToFloatV(frames, raw, interleaved, channels, bytesPerSample, byteOrder, destinations,
                                    scaleBytes);
}

// Each sample value, repeated over a run long enough for the vector loops, mono
// and as the left channel of a stereo pair.
TEST(RhRawToFloatTest, SampleValuesOfEveryWidthAndByteOrder) {
    constexpr int32_t kFrames = 45;
    for (const SampleCase& c : kSampleCases) {
        SCOPED_TRACE(describe(c));
        for (int32_t channels : {1, 2}) {
            Bytes raw;
            for (int32_t i = 0; i < kFrames * channels; ++i) raw.insert(raw.end(), c.raw.begin(), c.raw.end());
            std::vector<float> left(kFrames, kSentinel), right(kFrames, kSentinel);
            float* destinations[] = {left.data(), right.data()};
            convert(kFrames, raw.data(), true, channels, c.bytesPerSample, c.byteOrder, destinations, c.scaleBytes);
            EXPECT_EQ(left, std::vector<float>(kFrames, c.expected)) << channels << " channel(s)";
        }
    }
}

TEST(RhRawToFloatTest, StereoFramesAreSplitIntoChannels) {
    const Bytes raw = {0x80, 0x00, 0x7F, 0xFF, 0x00, 0x01, 0xFF, 0xFF};  // L0 R0 L1 R1, big-endian
    std::vector<float> left(2), right(2);
    float* destinations[] = {left.data(), right.data()};
    RhConvertSamplesRawToFloat(2, raw.data(), true, 2, 2, 0, destinations);
    EXPECT_EQ(left, (std::vector<float>{-1.0f, 1.0f / 32768}));
    EXPECT_EQ(right, (std::vector<float>{32767.0f / 32768, -1.0f / 32768}));
}

// The integer value of one sample by the byte-order table, right-aligned.
int64_t sampleValue(const unsigned char* p, int bytesPerSample, int byteOrder) {
    if (bytesPerSample == 1) return byteOrder == 0 ? static_cast<int8_t>(p[0]) : p[0] - 128;
    int64_t v = 0;
    for (int k = 0; k < bytesPerSample; ++k) {
        const int index = byteOrder == 0 ? k : bytesPerSample - 1 - k;  // most significant first
        v = v * 256 + p[index];
    }
    const int64_t half = int64_t{1} << (8 * bytesPerSample - 1);
    return v >= half ? v - 2 * half : v;
}

// Random data against a straightforward per-sample model, over lengths that leave
// every kind of loop remainder and cross the internal block sizes, for mono,
// stereo and channel counts without a loop of their own.
TEST(RhRawToFloatTest, MatchesPerSampleModelForAllLayoutsAndLengths) {
    std::mt19937 rng(7);
    const int32_t lengths[] = {1, 2, 3, 7, 8, 9, 15, 17, 31, 33, 63, 65, 511, 513, 1025, 6007};
    int call = 0;
    for (int bytesPerSample = 1; bytesPerSample <= 4; ++bytesPerSample) {
        for (int byteOrder : {0, 1}) {
            for (int32_t channels : {1, 2, 3, 6}) {
                for (int32_t frames : lengths) {
                    SCOPED_TRACE("width " + std::to_string(bytesPerSample) + " order " + std::to_string(byteOrder) +
                                 " channels " + std::to_string(channels) + " frames " + std::to_string(frames));
                    Bytes raw(static_cast<size_t>(frames) * channels * bytesPerSample);
                    for (unsigned char& b : raw) b = static_cast<unsigned char>(rng());
                    const Bytes original = raw;

                    // One guard value past the end of each channel catches tail overruns.
                    std::vector<std::vector<float>> out(channels, std::vector<float>(frames + 1, kSentinel));
                    std::vector<float*> destinations;
                    for (auto& channel : out) destinations.push_back(channel.data());
                    const bool interleaved = (call++ % 2) == 0;  // the flag must not matter
                    RhConvertSamplesRawToFloat(frames, raw.data(), interleaved, channels, bytesPerSample, byteOrder,
                                               destinations.data());

                    const double scale = std::ldexp(1.0, 1 - 8 * bytesPerSample);
                    for (int32_t c = 0; c < channels; ++c) {
                        std::vector<float> expected(frames + 1, kSentinel);
                        for (int32_t i = 0; i < frames; ++i) {
                            const unsigned char* p = raw.data() + (static_cast<size_t>(i) * channels + c) * bytesPerSample;
                            expected[i] = static_cast<float>(sampleValue(p, bytesPerSample, byteOrder) * scale);
                        }
                        ASSERT_EQ(out[c], expected) << "channel " << c;
                    }
                    ASSERT_EQ(raw, original) << "raw bytes modified";
                }
            }
        }
    }
}

// Calls that must leave every destination untouched.
TEST(RhRawToFloatTest, InvalidArgumentsWriteNothing) {
    const Bytes raw(64, 0x40);
    struct Case {
        const char* what;
        int32_t frames;
        bool nullRaw;
        int32_t channels;
        int32_t bytesPerSample;
    };
    const Case cases[] = {
        {"5-byte samples", 4, false, 2, 5},
        {"0-byte samples", 4, false, 2, 0},
        {"negative width", 4, false, 2, -2},
        {"no frames", 0, false, 2, 2},
        {"negative frames", -4, false, 2, 2},
        {"no channels", 4, false, 0, 2},
        {"negative channels", 4, false, -1, 2},
        {"null raw", 4, true, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int byteOrder : {0, 1}) {
            std::vector<float> left(4, kSentinel), right(4, kSentinel);
            float* destinations[] = {left.data(), right.data()};
            RhConvertSamplesRawToFloat(c.frames, c.nullRaw ? nullptr : raw.data(), true, c.channels,
                                       c.bytesPerSample, byteOrder, destinations);
            EXPECT_EQ(left, std::vector<float>(4, kSentinel));
            EXPECT_EQ(right, std::vector<float>(4, kSentinel));
        }
    }
    RhConvertSamplesRawToFloat(4, raw.data(), true, 2, 2, 0, nullptr);  // must not crash
    RhConvertSamplesRawToFloatV(4, raw.data(), true, 2, 2, 0, nullptr, 2);
}

// A null pointer among the destinations skips that channel instead of crashing.
TEST(RhRawToFloatTest, NullChannelDestinationIsSkipped) {
    const Bytes raw = {0x40, 0x00, 0xC0, 0x00, 0x40, 0x00, 0xC0, 0x00, 0x40, 0x00, 0xC0, 0x00};
    for (int32_t channels : {2, 3}) {
        SCOPED_TRACE(channels);
        const int32_t frames = 6 / channels;
        std::vector<float> second(frames, kSentinel);
        float* destinations[] = {nullptr, second.data(), nullptr};
        RhConvertSamplesRawToFloat(frames, raw.data(), true, channels, 2, 0, destinations);
        // 40 00 is +0.5, C0 00 is -0.5; with 2 channels the second is all -0.5,
        // with 3 it alternates.
        const std::vector<float> expected =
            channels == 2 ? std::vector<float>{-0.5f, -0.5f, -0.5f} : std::vector<float>{-0.5f, 0.5f};
        EXPECT_EQ(second, expected);
    }
}

TEST(RhRawToFloatTest, ByteOrderHelpers) {
    EXPECT_EQ(bigEndian2BytesToFromHost(uint16_t{0x1234}), 0x3412);
    EXPECT_EQ(littleEndian2BytesToFromHost(uint16_t{0x1234}), 0x1234);
    EXPECT_EQ(littleEndian2BytesToFromHost(int16_t{-2}), -2);
    EXPECT_EQ(bigEndian4ByteToFromHost(uint32_t{0x12345678}), 0x78563412u);
    EXPECT_EQ(bigEndian4ByteToFromHost(int32_t{0x00000080}), static_cast<int32_t>(0x80000000u));

    unsigned char bytes[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(bigEndian4ByteToFromHost(static_cast<void*>(bytes)), 0x12345678u);
    EXPECT_EQ(Bytes(bytes, bytes + 4), (Bytes{0x78, 0x56, 0x34, 0x12}));  // reversed in place
    EXPECT_EQ(littleEndian4ByteToFromHost(bytes), 0x12345678u);
    EXPECT_EQ(bigEndian4ByteToFromHost(static_cast<void*>(nullptr)), 0u);
    EXPECT_EQ(littleEndian4ByteToFromHost(nullptr), 0u);
}

}  // namespace
