#include "SampleFileWAV_Archive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "RhRawToFloat.h"
#include "SampleFileTestSupport.h"
#include "TestSupport.h"

namespace {

using rhtest::le16;
using rhtest::le32;

std::string chunk(const std::string& id, const std::string& body, bool pad = true) {
    std::string out = id + le32(static_cast<uint32_t>(body.size())) + body;
    if (pad && body.size() % 2) out += '\0';
    return out;
}
std::string chunkSized(const std::string& id, uint32_t size, const std::string& body) { return id + le32(size) + body; }

std::string fmtBody(int tag, int channels, int bits, const std::string& extra = "") {
    const int align = channels * bits / 8;
    return le16(tag) + le16(channels) + le32(48000) + le32(static_cast<uint32_t>(48000 * align)) + le16(align) +
           le16(bits) + extra;
}
std::string fmt(int channels, int bits) { return chunk("fmt ", fmtBody(1, channels, bits)); }

// smpl body with one loop record of the given type.
std::string smplBody(int loops, int type, uint32_t start, uint32_t end) {
    std::string body(28, '\0');
    body += le32(static_cast<uint32_t>(loops)) + le32(0);               // loop count, sampler data
    body += le32(0) + le32(static_cast<uint32_t>(type)) + le32(start) + le32(end) + le32(0) + le32(0);
    return body;
}

std::string riff(const std::string& chunks, const char* id = "RIFF", const char* type = "WAVE") {
    return std::string(id) + le32(static_cast<uint32_t>(4 + chunks.size())) + type + chunks;
}

std::string samples(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) out += static_cast<char>(i * 13 + 5);
    return out;
}

class WaveReaderTest : public ::testing::Test {
protected:
    rhtest::TempDir dir;
};

TEST_F(WaveReaderTest, HeaderVariants) {
    const std::string data = chunk("data", samples(400));
    struct Case {
        const char* what;
        std::string file;
        int error;
        int frames;
        int channels;
        int bytesPerSample;
    };
    const Case cases[] = {
        {"plain", riff(fmt(2, 16) + data), 0, 100, 2, 2},
        {"lower-case header ids", riff(fmt(2, 16) + data, "riff", "wave"), 0, 100, 2, 2},
        {"lower-case chunk ids", riff(chunk("FMT ", fmtBody(1, 2, 16)) + chunk("DATA", samples(400))), 0, 100, 2, 2},
        {"odd data size", riff(fmt(2, 16) + chunk("data", samples(1001)) + chunk("smpl", smplBody(1, 0, 1, 2))), 0, 250,
         2, 2},
        {"fmt of 18 bytes", riff(chunk("fmt ", fmtBody(1, 2, 16, le16(0))) + data), 0, 100, 2, 2},
        {"fmt of 40 bytes", riff(chunk("fmt ", fmtBody(1, 2, 16, std::string(24, '\x7f'))) + data), 0, 100, 2, 2},
        {"float samples", riff(chunk("fmt ", fmtBody(3, 2, 32)) + data), 6, 0, 0, 0},
        {"extensible", riff(chunk("fmt ", fmtBody(0xFFFE, 2, 16, std::string(24, '\0'))) + data), 6, 0, 0, 0},
        {"8 bits", riff(fmt(1, 8) + data), 0, 400, 1, 1},
        {"24 bits", riff(fmt(2, 24) + data), 0, 66, 2, 3},
        {"12 bits", riff(fmt(2, 12) + data), 6, 0, 0, 0},
        {"4 bits", riff(fmt(2, 4) + data), 6, 0, 0, 0},
        {"64 bits", riff(fmt(1, 64) + data), 0, 50, 1, 8},
        {"0 channels", riff(fmt(0, 16) + data), 6, 0, 0, 0},
        // The frame count is taken when "data" is met: before "fmt ", with
        // two channels of two bytes.
        {"data before fmt", riff(data + fmt(1, 16)), 0, 100, 1, 2},
        {"not RIFF", riff(fmt(2, 16) + data, "RIFX"), 5, 0, 0, 0},
        {"not WAVE", riff(fmt(2, 16) + data, "RIFF", "AVI "), 5, 0, 0, 0},
        {"no data", riff(fmt(2, 16)), 9, 0, 0, 0},
        {"no fmt", riff(data), 9, 0, 0, 0},
        {"empty data", riff(fmt(2, 16) + chunk("data", "")), 9, 0, 0, 0},
        {"short header", "RIFF" + le32(4), 5, 0, 0, 0},
        {"cut in fmt", riff(fmt(2, 16) + data).substr(0, 24), 9, 0, 0, 0},
        // Chunks after the RIFF size are not read.
        {"data after the RIFF size", "RIFF" + le32(4 + 24) + "WAVE" + fmt(2, 16) + data, 9, 0, 0, 0},
        // A data size of 2 GB in a small file: only the frames held count.
        {"data claiming 2 GB", riff(fmt(2, 16) + chunkSized("data", 0x7FFFFFF0, samples(1000))), 0, 250, 2, 2},
        {"negative data size", riff(fmt(2, 16) + chunkSized("data", 0xFFFFFFF0u, samples(1000))), 9, 0, 0, 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleFileError error = SampleFileErrorNone;
        auto file = rhtest::openSampleFile(dir.write("w" + std::to_string(index++) + ".wav", c.file), &error);
        EXPECT_EQ(error, c.error);
        ASSERT_EQ(file != nullptr, c.error == 0);
        if (!file) continue;
        EXPECT_EQ(file->getFileFormat(), SampleFileFormatWAVE);
        EXPECT_EQ(file->byteOrder, 1);
        EXPECT_EQ(file->numSampleFrames, c.frames);
        EXPECT_EQ(file->numChannels, c.channels);
        EXPECT_EQ(file->bytesPerSample, c.bytesPerSample);
        EXPECT_EQ(file->sampleRate, 48000.0f);
    }
    SampleFileError error = SampleFileErrorNone;
    EXPECT_FALSE(rhtest::openSampleFile(dir.file("missing.wav"), &error));
    EXPECT_EQ(error, SampleFileErrorNotFound);
}

TEST_F(WaveReaderTest, LoopsAndTuning) {
    const std::string head = fmt(2, 16) + chunk("data", samples(4000));
    struct Case {
        const char* what;
        std::string chunks;
        int loopMode;
        int loopStart;
        int loopEnd;
        int baseNote;
        int cents;
    };
    const std::string trailing = chunk("smpl", smplBody(1, 0, 100, 199));
    const Case cases[] = {
        {"forward loop", chunk("smpl", smplBody(1, 0, 100, 199)), 1, 100, 199, 60, 0},
        {"alternating loop", chunk("smpl", smplBody(1, 1, 100, 199)), 0, 0, 0, 60, 0},
        {"no loops", chunk("smpl", smplBody(0, 0, 100, 199)), 0, 0, 0, 60, 0},
        // Too short for the first loop record: no loop, nothing read past it.
        {"short smpl", chunk("smpl", smplBody(1, 0, 100, 199).substr(0, 40)), 0, 0, 0, 60, 0},
        {"inst +10 cents", chunk("inst", rhtest::bytes({62, 10, 0, 0, 127, 0, 127})), 0, 0, 0, 62, 10},
        {"inst -50 cents", chunk("inst", rhtest::bytes({40, 0xCE, 0, 0, 127, 0, 127})), 0, 0, 0, 40, -50},
        {"upper-case ids", chunk("SMPL", smplBody(1, 0, 7, 9)) + chunk("INST", rhtest::bytes({50, 0})), 1, 7, 9, 50, 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleFileError error = SampleFileErrorNone;
        auto file = rhtest::openSampleFile(dir.write("l" + std::to_string(index++) + ".wav", riff(head + c.chunks)), &error);
        ASSERT_TRUE(file) << error;
        EXPECT_EQ(file->loopMode, c.loopMode);
        EXPECT_EQ(file->loopStart, c.loopStart);
        EXPECT_EQ(file->loopEnd, c.loopEnd);
        EXPECT_EQ(file->baseNote, c.baseNote);
        EXPECT_DOUBLE_EQ(file->pitchRatio, rhtest::pitchRatioOfCents(c.cents));
    }
    // After an odd-sized data chunk the pad byte is skipped: the loop behind it is found.
    auto odd = rhtest::openSampleFile(
        dir.write("odd.wav", riff(fmt(2, 16) + chunk("data", samples(1001)) + chunk("smpl", smplBody(1, 0, 100, 199)))));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->numSampleFrames, 250);
    EXPECT_EQ(odd->loopMode, 1);
    EXPECT_EQ(odd->loopEnd, 199);
    // A smpl chunk outside the RIFF size is not read.
    auto file = rhtest::openSampleFile(dir.write("outside.wav", riff(head) + trailing));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->loopMode, 0);
}

TEST_F(WaveReaderTest, SamplesMatchTheReferenceDecode) {
    if (!rhtest::haveTool("sox")) GTEST_SKIP() << "sox is not installed";
    // ("wavpcm": sox would otherwise write 24-bit files in the extensible
    // format, which this reader refuses.)
    for (int bits : {8, 16, 24}) {
        for (int channels : {1, 2}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(channels) + " channels");
            const std::string path = dir.file("s" + std::to_string(bits) + std::to_string(channels) + ".wav");
            ASSERT_TRUE(rhtest::run("sox -D -n -r 48000 -b " + std::to_string(bits) + " -c " + std::to_string(channels) +
                                    " -t wavpcm " + rhtest::quoted(path) + " synth 0.05 whitenoise vol 0.99")
                            .ok);
            const std::vector<float> expected = rhtest::floatsOf(rhtest::run("sox " + rhtest::quoted(path) + " -t f32 -").out);
            auto file = rhtest::openSampleFile(path);
            ASSERT_TRUE(file);
            const int frames = file->numSampleFrames;
            ASSERT_EQ(static_cast<size_t>(frames * channels), expected.size());
            rhtest::ChannelArrays arrays(channels, frames);
            unsigned capacity = static_cast<unsigned>(frames);
            file->closeStream();
            ASSERT_EQ(file->retrieveSamples(channels, arrays.get(), &capacity, 0, -1, 0, nullptr, 0.0f), 0);
            EXPECT_EQ(arrays.interleaved(frames), expected);
        }
    }
}

}  // namespace
