// Helpers for the sample-file reader tests: big- and little-endian byte
// builders for hand-made chunk fixtures, and the command-line tools (sox,
// flac) that make real files and their reference decodes in a temporary
// folder. Header only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "SampleFile.h"

namespace rhtest {

inline std::string be16(int v) {
    return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
inline std::string be32(uint32_t v) { return be16(static_cast<int>(v >> 16)) + be16(static_cast<int>(v & 0xFFFF)); }
inline std::string le16(int v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
inline std::string le32(uint32_t v) { return le16(static_cast<int>(v & 0xFFFF)) + le16(static_cast<int>(v >> 16)); }
inline std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out += static_cast<char>(b);
    return out;
}

// stdout of a shell command, and whether it exited with status 0.
struct CommandResult {
    std::string out;
    bool ok = false;
};

inline CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
    result.ok = pclose(pipe) == 0;
    return result;
}

inline bool haveTool(const char* name) { return run(std::string("command -v ") + name).ok; }

// Single-quoted for the shell.
inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Raw 32-bit floats, interleaved, as sox writes them with "-t f32".
inline std::vector<float> floatsOf(const std::string& raw) {
    std::vector<float> out(raw.size() / sizeof(float));
    if (!out.empty()) memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
}

// One float array per channel, large enough for `frames` frames plus a
// guard area filled with a marker value that no decode produces.
struct ChannelArrays {
    static constexpr float kUntouched = 12345.0f;
    static constexpr int kGuard = 64;

    ChannelArrays(int channels, int frames) : frames_(frames) {
        for (int c = 0; c < channels; c++) data.emplace_back(static_cast<size_t>(frames + kGuard), kUntouched);
        for (auto& d : data) pointers.push_back(d.data());
    }
    float** get() { return pointers.data(); }
    // Frames [0, frames) of every channel, interleaved.
    std::vector<float> interleaved(int frames) const {
        std::vector<float> out;
        for (int i = 0; i < frames; i++)
            for (const auto& d : data) out.push_back(d[static_cast<size_t>(i)]);
        return out;
    }
    bool untouchedFrom(int channel, int frame) const {
        const auto& d = data[static_cast<size_t>(channel)];
        for (size_t i = static_cast<size_t>(frame); i < d.size(); i++)
            if (d[i] != kUntouched) return false;
        return true;
    }

    int frames_;
    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
};

// The pitch ratio a detune of `cents` stands for: 1.0005777895 to that power.
inline double pitchRatioOfCents(int cents) {
    double ratio = 1.0;
    for (int i = 0; i < cents; i++) ratio *= 1.0005777895;
    for (int i = 0; i > cents; i--) ratio /= 1.0005777895;
    return ratio;
}

// Opens path through the factory; null (with *error) on refusal.
inline std::unique_ptr<StreamableSampleFile> openSampleFile(const std::string& path, SampleFileError* error = nullptr) {
    RhPath p(path.c_str());
    SampleFileError local = SampleFileErrorNone;
    return std::unique_ptr<StreamableSampleFile>(StreamableSampleFile::constructSampleFile(&p, error ? error : &local));
}

}  // namespace rhtest
