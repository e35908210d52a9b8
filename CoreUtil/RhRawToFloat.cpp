// Raw integer PCM to float conversion.
//
// This runs over whole sample files, so the width, byte order and common channel
// counts are chosen once per call and each combination gets its own plain loop
// that the compiler vectorises (this file is built at -O3). The hot loops are
// cloned for AVX2 with a portable fallback picked at load time, so the binary
// still runs on any x86-64.
#include "RhRawToFloat.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

// ThreadSanitizer instruments the load-time resolver of cloned functions, which
// then runs before its runtime is ready and crashes; that build gets one version.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define RH_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define RH_VECTOR_CLONES
#endif

namespace {

using Byte = unsigned char;

// Sample decoders: `get` returns the integer value of the sample at p. A 3-byte
// sample lands in the upper three bytes of the integer (the scale makes up for it),
// which spares a sign extension.
struct Signed8 {
    static constexpr int kWidth = 1;
    static int32_t get(const Byte* p) { return static_cast<int8_t>(p[0]); }
};
struct Unsigned8 {
    static constexpr int kWidth = 1;
    static int32_t get(const Byte* p) { return static_cast<int32_t>(p[0]) - 128; }
};
struct Big16 {
    static constexpr int kWidth = 2;
    static int32_t get(const Byte* p) {
        uint16_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<int16_t>(__builtin_bswap16(v));
    }
};
struct Little16 {
    static constexpr int kWidth = 2;
    static int32_t get(const Byte* p) {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
};
// 3-byte samples also have two faster reads for the bulk of the data:
// - getWide reads 4 bytes at p, so the byte after the sample must be readable
//   (true for every sample but the last one of the buffer);
// - getFour decodes the four samples in the 12 bytes at p from three 32-bit
//   loads. A run of such groups is something the compiler vectorises well, which
//   it does not do for runs of 6-byte stereo frames.
struct Quad {
    int32_t s0, s1, s2, s3;
};

inline uint32_t load32(const Byte* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct Big24 {
    static constexpr int kWidth = 3;
    static int32_t get(const Byte* p) {
        return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                                    static_cast<uint32_t>(p[2]) << 8);
    }
    static int32_t getWide(const Byte* p) { return static_cast<int32_t>(__builtin_bswap32(load32(p)) & 0xFFFFFF00u); }
    static Quad getFour(const Byte* p) {
        // Byte-swapped, each word holds its bytes most significant first: w0 = b0..b3,
        // w1 = b4..b7, w2 = b8..b11, and the samples are b0-b2, b3-b5, b6-b8, b9-b11.
        const uint32_t w0 = __builtin_bswap32(load32(p));
        const uint32_t w1 = __builtin_bswap32(load32(p + 4));
        const uint32_t w2 = __builtin_bswap32(load32(p + 8));
        return {static_cast<int32_t>(w0 & 0xFFFFFF00u), static_cast<int32_t>(w0 << 24 | (w1 >> 8 & 0x00FFFF00u)),
                static_cast<int32_t>(w1 << 16 | (w2 >> 24) << 8), static_cast<int32_t>(w2 << 8)};
    }
};
struct Little24 {
    static constexpr int kWidth = 3;
    static int32_t get(const Byte* p) {
        return static_cast<int32_t>(static_cast<uint32_t>(p[2]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                                    static_cast<uint32_t>(p[0]) << 8);
    }
    static int32_t getWide(const Byte* p) { return static_cast<int32_t>(load32(p) << 8); }
    static Quad getFour(const Byte* p) {
        // Little-endian words: w0 = b3 b2 b1 b0 from the top, w1 = b7..b4, w2 = b11..b8;
        // the samples are b2 b1 b0, b5 b4 b3, b8 b7 b6 and b11 b10 b9, most significant first.
        const uint32_t w0 = load32(p);
        const uint32_t w1 = load32(p + 4);
        const uint32_t w2 = load32(p + 8);
        return {static_cast<int32_t>(w0 << 8), static_cast<int32_t>((w0 >> 24) << 8 | w1 << 16),
                static_cast<int32_t>((w1 >> 16) << 8 | w2 << 24), static_cast<int32_t>(w2 & 0xFFFFFF00u)};
    }
};
struct Big32 {
    static constexpr int kWidth = 4;
    static int32_t get(const Byte* p) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<int32_t>(__builtin_bswap32(v));
    }
};
struct Little32 {
    static constexpr int kWidth = 4;
    static int32_t get(const Byte* p) {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
};

// Loop bodies, inlined into the cloned entry points below so that each clone is
// compiled for its own instruction set.

template <class D>
[[gnu::always_inline]] inline void convertMono(const Byte* raw, ptrdiff_t frames, float* out, float scale) {
    ptrdiff_t i = 0;
    if constexpr (D::kWidth == 3) {
        for (; i + 4 <= frames; i += 4) {
            const Quad q = D::getFour(raw + i * 3);
            out[i] = static_cast<float>(q.s0) * scale;
            out[i + 1] = static_cast<float>(q.s1) * scale;
            out[i + 2] = static_cast<float>(q.s2) * scale;
            out[i + 3] = static_cast<float>(q.s3) * scale;
        }
    }
    for (; i < frames; ++i) out[i] = static_cast<float>(D::get(raw + i * D::kWidth)) * scale;
}

template <class D>
[[gnu::always_inline]] inline void convertStereo(const Byte* raw, ptrdiff_t frames, float* left, float* right,
                                                 float scale) {
    ptrdiff_t i = 0;
    if constexpr (D::kWidth == 3) {
        // Two frames per group of four samples: left, right, left, right.
        for (; i + 2 <= frames; i += 2) {
            const Quad q = D::getFour(raw + i * 6);
            left[i] = static_cast<float>(q.s0) * scale;
            right[i] = static_cast<float>(q.s1) * scale;
            left[i + 1] = static_cast<float>(q.s2) * scale;
            right[i + 1] = static_cast<float>(q.s3) * scale;
        }
    }
    for (; i < frames; ++i) {
        left[i] = static_cast<float>(D::get(raw + 2 * i * D::kWidth)) * scale;
        right[i] = static_cast<float>(D::get(raw + (2 * i + 1) * D::kWidth)) * scale;
    }
}

// One channel of any frame stride (other channel counts; the caller walks the raw
// data in cache-sized blocks so each channel's pass reads from cache). A 3-byte
// sample is read with one 4-byte load, so the caller must leave out the last frame
// of the buffer, whose last sample has no byte after it.
template <class D>
[[gnu::always_inline]] inline void convertStrided(const Byte* raw, ptrdiff_t frames, ptrdiff_t stride,
                                                  float* out, float scale) {
    for (ptrdiff_t i = 0; i < frames; ++i) {
        if constexpr (D::kWidth == 3)
            out[i] = static_cast<float>(D::getWide(raw + i * stride)) * scale;
        else
            out[i] = static_cast<float>(D::get(raw + i * stride)) * scale;
    }
}

// Entry points of the clones, one set per sample format.
template <class D>
struct Kernels {
    RH_VECTOR_CLONES static void mono(const Byte* raw, ptrdiff_t frames, float* out, float scale) {
        convertMono<D>(raw, frames, out, scale);
    }
    RH_VECTOR_CLONES static void stereo(const Byte* raw, ptrdiff_t frames, float* left, float* right,
                                        float scale) {
        convertStereo<D>(raw, frames, left, right, scale);
    }
    RH_VECTOR_CLONES static void strided(const Byte* raw, ptrdiff_t frames, ptrdiff_t stride, float* out,
                                         float scale) {
        convertStrided<D>(raw, frames, stride, out, scale);
    }
};

// Raw bytes per block for the channel-by-channel path: small enough to stay in L1.
constexpr ptrdiff_t kBlockBytes = 16 * 1024;

template <class D>
void convertFrames(const Byte* raw, ptrdiff_t frames, ptrdiff_t channels, float* const* destinations, float scale) {
    if (channels == 1) {
        if (destinations[0] != nullptr) Kernels<D>::mono(raw, frames, destinations[0], scale);
        return;
    }
    if (channels == 2 && destinations[0] != nullptr && destinations[1] != nullptr) {
        Kernels<D>::stereo(raw, frames, destinations[0], destinations[1], scale);
        return;
    }
    const ptrdiff_t stride = channels * D::kWidth;
    const ptrdiff_t blockFrames = std::max<ptrdiff_t>(1, kBlockBytes / stride);
    // The strided loop reads 3-byte samples 4 bytes at a time: the last frame is
    // converted on its own so that no read passes the end of the buffer.
    const ptrdiff_t bulkFrames = D::kWidth == 3 ? frames - 1 : frames;
    for (ptrdiff_t first = 0; first < bulkFrames; first += blockFrames) {
        const ptrdiff_t count = std::min(blockFrames, bulkFrames - first);
        const Byte* block = raw + first * stride;
        for (ptrdiff_t c = 0; c < channels; ++c) {
            if (destinations[c] == nullptr) continue;
            Kernels<D>::strided(block + c * D::kWidth, count, stride, destinations[c] + first, scale);
        }
    }
    for (ptrdiff_t i = bulkFrames; i < frames; ++i) {
        for (ptrdiff_t c = 0; c < channels; ++c) {
            if (destinations[c] != nullptr)
                destinations[c][i] = static_cast<float>(D::get(raw + i * stride + c * D::kWidth)) * scale;
        }
    }
}

}  // namespace

void RhConvertSamplesRawToFloatV(int32_t frames, const void* raw, bool /*interleaved*/, int32_t channels,
                                 int32_t bytesPerSample, int32_t byteOrder, float* const* destinations,
                                 int32_t scaleBytes) {
    if (raw == nullptr || destinations == nullptr || frames <= 0 || channels <= 0) return;

    // 2^-(8*scaleBytes - 1), exact for every width; a 3-byte sample is read into the
    // upper bytes of a 32-bit integer, hence the further 2^-8.
    // The exponent is clamped only so that absurd widths cannot overflow it; the
    // clamp lies far outside the float range, so the result is unchanged.
    const int64_t exponent = std::clamp<int64_t>(1 - 8 * static_cast<int64_t>(scaleBytes), -1000, 1000);
    float scale = std::ldexp(1.0f, static_cast<int>(exponent));
    if (bytesPerSample == 3) scale *= 0.00390625f;

    const Byte* bytes = static_cast<const Byte*>(raw);
    const bool big = byteOrder == 0;
    switch (bytesPerSample) {
    case 1:
        big ? convertFrames<Signed8>(bytes, frames, channels, destinations, scale)
            : convertFrames<Unsigned8>(bytes, frames, channels, destinations, scale);
        break;
    case 2:
        big ? convertFrames<Big16>(bytes, frames, channels, destinations, scale)
            : convertFrames<Little16>(bytes, frames, channels, destinations, scale);
        break;
    case 3:
        big ? convertFrames<Big24>(bytes, frames, channels, destinations, scale)
            : convertFrames<Little24>(bytes, frames, channels, destinations, scale);
        break;
    case 4:
        big ? convertFrames<Big32>(bytes, frames, channels, destinations, scale)
            : convertFrames<Little32>(bytes, frames, channels, destinations, scale);
        break;
    default:
        break;
    }
}

void RhConvertSamplesRawToFloat(int32_t frames, const void* raw, bool interleaved, int32_t channels,
                                int32_t bytesPerSample, int32_t byteOrder, float* const* destinations) {
    RhConvertSamplesRawToFloatV(frames, raw, interleaved, channels, bytesPerSample, byteOrder, destinations,
                                bytesPerSample);
}
