// Fuzzes the sample-file readers: the input is written as an AIFF, a WAVE
// and a compressed file, and each is opened through the factory.
// Properties, for every file that opens:
//   - it has frames and channels, and an uncompressed file's frames lie
//     inside the file after the first sample byte; reading them raw
//     delivers exactly that many bytes;
//   - decoding a compressed file writes only values in [-1, 1], and nothing
//     beyond the frames asked for.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RhPath.h"
#include "SampleFile.h"

using fuzzsupport::require;

namespace {

constexpr int kMaxDecodedFrames = 1 << 15;  // keeps one run short
constexpr float kUntouched = 1000.0f;
constexpr int kGuard = 8;

void checkUncompressed(StreamableSampleFile& file, size_t size) {
    const long long frameBytes = static_cast<long long>(file.bytesPerSample) * file.numChannels;
    require(frameBytes > 0, "frames without bytes");
    require(file.dataOffset >= 0 && static_cast<size_t>(file.dataOffset) <= size, "data begins outside the file");
    const long long total = frameBytes * file.numSampleFrames;
    require(total <= static_cast<long long>(size) - file.dataOffset, "frames beyond the end of the file");
    std::vector<unsigned char> raw(static_cast<size_t>(total) + 1);
    unsigned count = static_cast<unsigned>(total) + 1;
    file.readRawSamples(0, &count, raw.data());
    require(count == static_cast<unsigned>(total), "raw reading delivered another amount");
}

void checkCompressed(StreamableSampleFile& file) {
    require(file.numChannels > 0 && file.numChannels <= 8, "channel count out of range");
    const int frames = file.numSampleFrames < kMaxDecodedFrames ? file.numSampleFrames : kMaxDecodedFrames;
    std::vector<std::vector<float>> arrays(static_cast<size_t>(file.numChannels),
                                           std::vector<float>(static_cast<size_t>(frames + kGuard), kUntouched));
    std::vector<float*> pointers;
    for (auto& a : arrays) pointers.push_back(a.data());
    file.closeStream();
    unsigned end = static_cast<unsigned>(frames);
    file.retrieveSamples(file.numChannels, pointers.data(), &end, 0, 0, 0, nullptr, 0.0f);
    for (const auto& a : arrays) {
        for (int i = 0; i < frames; i++)
            require(a[static_cast<size_t>(i)] == kUntouched ||
                        (a[static_cast<size_t>(i)] >= -1.0f && a[static_cast<size_t>(i)] <= 1.0f),
                    "decoded sample out of range");
        for (int i = frames; i < frames + kGuard; i++)
            require(a[static_cast<size_t>(i)] == kUntouched, "decoded beyond the end frame");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const char* name : {"in.aif", "in.wav", "in.flc"}) {
        const std::string path = fuzzsupport::scratch().file(name);
        fuzzsupport::writeFile(path, data, size);
        RhPath p(path.c_str());
        SampleFileError error = SampleFileErrorNone;
        std::unique_ptr<StreamableSampleFile> file(StreamableSampleFile::constructSampleFile(&p, &error));
        require((file != nullptr) == (error == SampleFileErrorNone), "a reader without success or an error without null");
        if (!file) continue;
        require(file->numSampleFrames > 0, "opened without frames");
        if (file->getFileFormat() == SampleFileFormatCompressed)
            checkCompressed(*file);
        else
            checkUncompressed(*file, size);
    }
    return 0;
}
