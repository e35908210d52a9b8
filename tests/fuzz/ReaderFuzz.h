// The body shared by the per-reader fuzz harnesses (WaveReaderFuzz,
// AiffReaderFuzz, FlacReaderFuzz): the input is written as a plain file with
// the reader's suffix and as a member of an archive container (with bytes of
// other members before and after its window), and each is loaded the way
// the server loads a file:
//   factory and open; for uncompressed files readRawSamples over the whole
//   data in pieces, closing the stream after, then the conversion of the raw
//   bytes; for every file retrieveSamples into float arrays.
// Properties, for every file that opens:
//   - it has frames and 1 or more channels; an uncompressed file's frames lie
//     inside the window after the first sample byte, and reading them in
//     pieces delivers exactly that many bytes;
//   - a compressed file claims no more frames than its bytes could code
//     (so no segment is sized beyond what the file justifies);
//   - retrieveSamples writes values in [-1, 1] only, nothing beyond the
//     frames asked for, and for uncompressed files the same floats as the
//     conversion of the raw bytes.
// A plain file and the same bytes as a member must give the same fields.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RhFileSystem.h"
#include "RhPath.h"
#include "RhRawToFloat.h"
#include "SampleFile.h"
#include "SampleFileFLAC_Archive.h"

namespace readerfuzz {

using fuzzsupport::require;

// Raw bytes per readRawSamples call: small, so that small inputs cross many
// piece boundaries (the server uses the same loop with larger pieces).
constexpr unsigned kPieceBytes = 333;
// Frames decoded or converted at most, to keep one run short.
constexpr int kMaxFrames = 1 << 16;
constexpr float kUntouched = 1000.0f;
constexpr int kGuard = 8;
// Bytes of the other members around the window.
const std::string kBefore = "BEFORE";
const std::string kAfter = "AFTER-THE-MEMBER";

// The frames a FLAC stream of `bytes` bytes can code at most (the same
// bound the reader applies).
inline long long flacFrameBound(long long bytes) {
    return SampleFileFLAC_Archive::largestFrameCountFor(bytes);
}

struct Arrays {
    Arrays(int channels, int frames)
        : data(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames + kGuard), kUntouched)) {
        for (auto& d : data) pointers.push_back(d.data());
    }
    void checkRangeAndGuard(int frames) const {
        for (const auto& d : data) {
            for (int i = 0; i < frames; i++) {
                const float v = d[static_cast<size_t>(i)];
                require(v == kUntouched || (v >= -1.0f && v <= 1.0f), "a sample out of range");
            }
            for (int i = frames; i < frames + kGuard; i++)
                require(d[static_cast<size_t>(i)] == kUntouched, "written beyond the frames asked for");
        }
    }
    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
};

struct Fields {
    int32_t frames, dataOffset, loopMode, loopStart, loopEnd, format;
    int16_t channels, bytesPerSample;
    bool operator==(const Fields& o) const { return memcmp(this, &o, sizeof *this) == 0; }
};

inline Fields fieldsOf(const StreamableSampleFile& f) {
    Fields out;
    memset(&out, 0, sizeof out);
    out.frames = f.numSampleFrames;
    out.dataOffset = f.dataOffset;
    out.loopMode = f.loopMode;
    out.loopStart = f.loopStart;
    out.loopEnd = f.loopEnd;
    out.format = f.fileFormat;
    out.channels = f.numChannels;
    out.bytesPerSample = f.bytesPerSample;
    return out;
}

inline void loadUncompressed(StreamableSampleFile& file, size_t size) {
    const long long frameBytes = static_cast<long long>(file.bytesPerSample) * file.numChannels;
    require(frameBytes > 0, "frames without bytes");
    require(file.dataOffset >= 0 && static_cast<size_t>(file.dataOffset) <= size, "data begins outside the file");
    const long long total = frameBytes * file.numSampleFrames;
    require(total <= static_cast<long long>(size) - file.dataOffset, "frames beyond the end of the file");

    // The disk reader's loop: pieces until one comes short.
    std::vector<unsigned char> raw(static_cast<size_t>(total) + 16, 0);
    long long done = 0;
    while (done < total) {
        const unsigned wanted = total - done < kPieceBytes ? static_cast<unsigned>(total - done) : kPieceBytes;
        unsigned count = wanted;
        file.readRawSamples(static_cast<int>(done), &count, raw.data() + done);
        require(count <= wanted, "readRawSamples delivered more than asked");
        done += count;
        if (count != wanted) break;
    }
    require(done == total, "raw reading in pieces delivered another amount");
    unsigned count = 100;
    file.readRawSamples(static_cast<int>(total), &count, raw.data());
    require(count == 0, "raw reading past the data delivered bytes");
    file.closeStream();

    const int channels = file.numChannels <= StreamableSampleFile::kMaxRetrievalChannels ? file.numChannels : 0;
    if (channels == 0) return;
    const int frames = file.numSampleFrames < kMaxFrames ? file.numSampleFrames : kMaxFrames;
    Arrays converted(channels, frames);
    RhConvertSamplesRawToFloat(frames, raw.data(), file.interleaved, channels, file.bytesPerSample, file.byteOrder,
                               converted.pointers.data());
    converted.checkRangeAndGuard(frames);

    // retrieveSamples reopens the closed stream by itself.
    Arrays retrieved(channels, frames);
    unsigned bufferFrames = static_cast<unsigned>(frames);
    require(file.retrieveSamples(channels, retrieved.pointers.data(), &bufferFrames, 0, frames, 0, nullptr, 0.0f) == 0,
            "retrieveSamples failed on an open file");
    retrieved.checkRangeAndGuard(frames);
    require(retrieved.data == converted.data, "retrieveSamples and the raw conversion disagree");
}

inline void loadCompressed(StreamableSampleFile& file, size_t size) {
    require(file.numChannels > 0 && file.numChannels <= 8, "channel count out of range");
    require(file.numSampleFrames <= flacFrameBound(static_cast<long long>(size)),
            "more frames than the file's bytes can code");
    const int frames = file.numSampleFrames < kMaxFrames ? file.numSampleFrames : kMaxFrames;
    Arrays decoded(file.numChannels, frames);
    file.closeStream();
    unsigned end = static_cast<unsigned>(frames);
    file.retrieveSamples(file.numChannels, decoded.pointers.data(), &end, 0, frames, 0, nullptr, 0.0f);
    decoded.checkRangeAndGuard(frames);
}

// Loads the file at path; the fields when it opened.
inline std::unique_ptr<Fields> load(const std::string& path, size_t size) {
    RhPath p(path.c_str());
    SampleFileError error = SampleFileErrorNone;
    std::unique_ptr<StreamableSampleFile> file(StreamableSampleFile::constructSampleFile(&p, &error));
    require((file != nullptr) == (error == SampleFileErrorNone), "a reader without success or an error without null");
    if (!file) return nullptr;
    require(file->numSampleFrames > 0, "opened without frames");
    require(file->numChannels > 0, "opened without channels");
    std::unique_ptr<Fields> fields(new Fields(fieldsOf(*file)));
    if (file->getFileFormat() == SampleFileFormatCompressed)
        loadCompressed(*file, size);
    else
        loadUncompressed(*file, size);
    return fields;
}

// The container "Lib.db" with one member `name` holding the input, between
// the bytes of two other members.
inline std::string containerWith(const std::string& name, const uint8_t* data, size_t size) {
    const std::string toc = "<FileSystem>\n<FILE name=\"a\" offset=\"0\" size=\"" + std::to_string(kBefore.size()) +
                            "\"/>\n<FILE name=\"" + name + "\" offset=\"" + std::to_string(kBefore.size()) +
                            "\" size=\"" + std::to_string(size) + "\"/>\n<FILE name=\"z\" offset=\"" +
                            std::to_string(kBefore.size() + size) + "\" size=\"" + std::to_string(kAfter.size()) +
                            "\"/>\n</FileSystem>\n";
    return toc + kBefore + std::string(reinterpret_cast<const char*>(data), size) + kAfter;
}

inline int fuzzOneInput(const uint8_t* data, size_t size, const char* suffix) {
    const std::string name = std::string("in.") + suffix;
    const std::string plain = fuzzsupport::scratch().file(name);
    fuzzsupport::writeFile(plain, data, size);
    std::unique_ptr<Fields> plainFields = load(plain, size);

    RhFileSystem::flushCache();
    fuzzsupport::writeFile(fuzzsupport::scratch().file("Lib.db"), containerWith(name, data, size));
    std::unique_ptr<Fields> memberFields = load(fuzzsupport::scratch().file("Lib/" + name), size);
    RhFileSystem::flushCache();

    require((plainFields != nullptr) == (memberFields != nullptr), "a member opens otherwise than the plain file");
    if (plainFields) require(*plainFields == *memberFields, "a member reads otherwise than the plain file");
    return 0;
}

}  // namespace readerfuzz
