// Conversion of raw integer PCM samples to one float array per channel, and
// the byte-order helpers the sample-file readers use.
//
// Float samples have full scale at -1.0 and just below +1.0: the most negative
// integer of a width maps to exactly -1.0, the most positive to 1 - 2^-(bits-1).
#pragma once

#include <cstdint>
#include <cstring>

// Converts `frames` interleaved frames of `channels` samples each, every sample
// `bytesPerSample` (1, 2, 3 or 4) bytes wide, into destinations[c][0 .. frames-1].
// byteOrder 0: big-endian, 8-bit samples signed. Any other value: little-endian,
// 8-bit samples unsigned with an offset of 128.
// The integers are scaled so that the full scale of a `scaleBytes`-wide integer is
// 1.0 (s = 2^-(8*scaleBytes-1)); a 3-byte sample is scaled as its 24-bit value.
// `interleaved` is accepted for callers' convenience and ignored: the raw data is
// always read as interleaved frames.
// Does nothing when raw or destinations is null, frames or channels is 0 or less,
// or bytesPerSample is not 1..4. A null destinations[c] skips that channel.
// The raw bytes are only read, never modified (callers may treat them as scratch).
void RhConvertSamplesRawToFloatV(int32_t frames, const void* raw, bool interleaved, int32_t channels,
                                 int32_t bytesPerSample, int32_t byteOrder, float* const* destinations,
                                 int32_t scaleBytes);

// RhConvertSamplesRawToFloatV with scaleBytes equal to bytesPerSample.
void RhConvertSamplesRawToFloat(int32_t frames, const void* raw, bool interleaved, int32_t channels,
                                int32_t bytesPerSample, int32_t byteOrder, float* const* destinations);

// Byte-order helpers for a little-endian host.

// The two bytes swapped.
inline uint16_t bigEndian2BytesToFromHost(uint16_t value) { return __builtin_bswap16(value); }

// Unchanged (the host is little-endian).
inline uint16_t littleEndian2BytesToFromHost(uint16_t value) { return value; }
inline int16_t littleEndian2BytesToFromHost(int16_t value) { return value; }

// The four bytes reversed.
inline uint32_t bigEndian4ByteToFromHost(uint32_t value) { return __builtin_bswap32(value); }
inline int32_t bigEndian4ByteToFromHost(int32_t value) {
    return static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(value)));
}

// Reverses the 4 bytes at `bytes` in place and returns them read as an unsigned
// 32-bit host value; 0 for a null pointer.
inline uint32_t bigEndian4ByteToFromHost(void* bytes) {
    if (bytes == nullptr) return 0;
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    value = __builtin_bswap32(value);
    std::memcpy(bytes, &value, sizeof value);
    return value;
}

// The 4 bytes at `bytes` read as an unsigned 32-bit little-endian value; 0 for a
// null pointer.
inline uint32_t littleEndian4ByteToFromHost(const void* bytes) {
    if (bytes == nullptr) return 0;
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}
