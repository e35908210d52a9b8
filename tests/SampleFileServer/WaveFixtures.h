// Hand-made 16-bit PCM WAVE files for the pipeline tests. Header only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace srvtest {

inline void appendLE(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// A 16-bit WAVE file of `frames` frames whose interleaved sample i is
// sampleAt(i), and whose "data" size field says `claimedDataSize` (the
// bytes that follow when negative).
inline std::string wave16(int channels, int frames, const std::function<int16_t(int)>& sampleAt,
                          int64_t claimedDataSize = -1) {
    std::string samples;
    for (int i = 0; i < frames * channels; i++)
        appendLE(samples, static_cast<uint16_t>(sampleAt(i)), 2);
    std::string body = "WAVEfmt ";
    appendLE(body, 16, 4);
    appendLE(body, 1, 2);
    appendLE(body, static_cast<uint32_t>(channels), 2);
    appendLE(body, 44100, 4);
    appendLE(body, 44100u * 2u * static_cast<uint32_t>(channels), 4);
    appendLE(body, static_cast<uint32_t>(2 * channels), 2);
    appendLE(body, 16, 2);
    body += "data";
    appendLE(body, static_cast<uint32_t>(claimedDataSize < 0 ? static_cast<int64_t>(samples.size()) : claimedDataSize),
             4);
    body += samples;
    std::string file = "RIFF";
    appendLE(file, static_cast<uint32_t>(body.size()), 4);
    return file + body;
}

}  // namespace srvtest
