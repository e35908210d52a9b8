#include "SampleFileAIF_Archive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "RhIFStream.h"
#include "RhRawToFloat.h"
#include "SampleFileTestSupport.h"
#include "TestSupport.h"

namespace {

using rhtest::be16;
using rhtest::be32;
using rhtest::bytes;

const std::string kRate44100 = bytes({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0});

std::string chunk(const std::string& id, const std::string& body) { return id + be32(static_cast<uint32_t>(body.size())) + body; }
std::string chunkSized(const std::string& id, uint32_t size, const std::string& body) { return id + be32(size) + body; }

std::string commBody(int channels, uint32_t frames, int bits, const std::string& rate = kRate44100) {
    return be16(channels) + be32(frames) + be16(bits) + rate;
}
std::string comm(int channels, uint32_t frames, int bits) { return chunk("COMM", commBody(channels, frames, bits)); }
std::string ssnd(const std::string& samples) { return chunk("SSND", be32(0) + be32(0) + samples); }

std::string form(const std::string& type, const std::string& chunks) {
    return "FORM" + be32(static_cast<uint32_t>(4 + chunks.size())) + type + chunks;
}

struct Marker {
    int id;
    uint32_t position;
    std::string name;
};

// MARK body; count < 0 writes the real number of markers.
std::string markBody(const std::vector<Marker>& markers, int count = -1) {
    std::string body = be16(count < 0 ? static_cast<int>(markers.size()) : count);
    for (const Marker& m : markers) {
        std::string name = std::string(1, static_cast<char>(m.name.size())) + m.name;
        if (name.size() % 2) name += '\0';
        body += be16(m.id) + be32(m.position) + name;
    }
    return body;
}

std::string instBody(int baseNote, int detune, int playMode, int beginId, int endId) {
    return bytes({baseNote & 0xFF, detune & 0xFF, 0, 127, 1, 127}) + be16(0) + be16(playMode) + be16(beginId) +
           be16(endId) + be16(0) + be16(0) + be16(0);
}

// 16-bit stereo frames 0..n-1 with distinct values.
std::string frames16(int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += be16(i * 3) + be16(-i * 5);
    return out;
}

class AiffReaderTest : public ::testing::Test {
protected:
    std::unique_ptr<StreamableSampleFile> open(const std::string& fileBytes, SampleFileError* error,
                                               const std::string& name = "x.aif") {
        return rhtest::openSampleFile(dir.write(name, fileBytes), error);
    }
    SampleFileAIF_Archive* aiff(const std::unique_ptr<StreamableSampleFile>& file) {
        return dynamic_cast<SampleFileAIF_Archive*>(file.get());
    }
    rhtest::TempDir dir;
};

TEST_F(AiffReaderTest, ExtendedSampleRates) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::vector<int> bytes;
        double rate;
    };
    const Case cases[] = {
        {{0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}, 44100.0},
        {{0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 48000.0},
        {{0x40, 0x0F, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 96000.0},
        {{0xC0, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}, -44100.0},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0.0},
        {{0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}, 1.0},
        {{0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1}, 1.0 + std::ldexp(1.0, -63)},  // lo word counts too
        {{0x7F, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}, inf},
        {{0x7F, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, inf},  // beyond double range
        {{0x00, 0x01, 0x80, 0, 0, 0, 0, 0, 0, 0}, 0.0},                        // below it
    };
    for (const Case& c : cases) {
        unsigned char raw[10];
        for (int i = 0; i < 10; i++) raw[i] = static_cast<unsigned char>(c.bytes[static_cast<size_t>(i)]);
        EXPECT_EQ(SampleFileAIF_Archive::extendedToDouble(raw), c.rate) << c.bytes[0] << " " << c.bytes[1];
    }
    // Through a file: the rate is stored as a float, infinity staying infinity.
    SampleFileError error;
    auto file = open(form("AIFF", chunk("COMM", commBody(2, 4, 16, kRate44100)) + ssnd(frames16(4))), &error);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->sampleRate, 44100.0f);
    auto huge = open(form("AIFF", chunk("COMM", commBody(2, 4, 16, bytes({0x7F, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                                          0xFF, 0xFF, 0xFF}))) +
                                      ssnd(frames16(4))),
                     &error, "huge.aif");
    ASSERT_TRUE(huge);
    EXPECT_TRUE(std::isinf(huge->sampleRate));
}

TEST_F(AiffReaderTest, HeaderVariants) {
    const std::string data = frames16(10);
    struct Case {
        const char* what;
        std::string file;
        int error;
        int frames;
        int bytesPerSample;
        bool aifc;
    };
    const std::string none = "NONE" + bytes({0});  // type and an empty name (count byte)
    const Case cases[] = {
        {"plain AIFF", form("AIFF", comm(2, 10, 16) + ssnd(data)), 0, 10, 2, false},
        {"AIFC NONE", form("AIFC", chunk("COMM", commBody(2, 10, 16) + none + bytes({0})) + ssnd(data)), 0, 10, 2, true},
        {"AIFC none", form("AIFC", chunk("COMM", commBody(2, 10, 16) + "none" + bytes({0, 0})) + ssnd(data)), 0, 10, 2,
         true},
        {"AIFC reversed form type", form("CFIA", chunk("COMM", commBody(2, 10, 16) + "NoNe")) + ssnd(data), 0, 10, 2,
         true},
        {"AIFC sowt", form("AIFC", chunk("COMM", commBody(2, 10, 16) + "sowt" + bytes({0, 0})) + ssnd(data)), 6, 0, 0,
         false},
        {"AIFC fl32", form("AIFC", chunk("COMM", commBody(2, 10, 16) + "fl32" + bytes({0, 0})) + ssnd(data)), 6, 0, 0,
         false},
        {"reversed form type sowt", form("CFIA", chunk("COMM", commBody(2, 10, 16) + "sowt") + ssnd(data)), 6, 0, 0,
         false},
        // Not AIFC: the extra 4 bytes of a 22-byte COMM are skipped unread.
        {"AIFF COMM of 22", form("AIFF", chunk("COMM", commBody(2, 10, 16) + "sowt") + ssnd(data)), 0, 10, 2, false},
        {"AIFC COMM of 18", form("AIFC", comm(2, 10, 16) + ssnd(data)), 0, 10, 2, true},
        {"12 bits", form("AIFF", comm(2, 10, 12) + ssnd(data)), 6, 0, 0, false},
        {"0 bits", form("AIFF", comm(2, 10, 0) + ssnd(data)), 6, 0, 0, false},
        {"32 bits", form("AIFF", comm(1, 10, 32) + ssnd(data)), 0, 10, 4, false},
        {"24 bits", form("AIFF", comm(2, 6, 24) + ssnd(data)), 0, 6, 3, false},
        {"0 channels", form("AIFF", comm(0, 10, 16) + ssnd(data)), 6, 0, 0, false},
        {"negative channels", form("AIFF", comm(-2, 10, 16) + ssnd(data)), 6, 0, 0, false},
        {"0 frames", form("AIFF", comm(2, 0, 16) + ssnd(data)), 6, 0, 0, false},
        {"no COMM", form("AIFF", ssnd(data)), 6, 0, 0, false},
        {"COMM without SSND", form("AIFF", comm(2, 10, 16) + chunk("ANNO", data)), 6, 0, 0, false},
        {"COMM too short", form("AIFF", chunk("COMM", commBody(2, 10, 16).substr(0, 10)) + ssnd(data)), 6, 0, 0,
         false},
        {"lower-case ids", form("AIFF", chunk("comm", commBody(2, 10, 16)) + chunk("ssnd", be32(0) + be32(0) + data)),
         0, 10, 2, false},
        {"mixed-case ids", form("AIFF", chunk("Comm", commBody(2, 10, 16)) + chunk("sSnD", be32(0) + be32(0) + data)),
         0, 10, 2, false},
        // An unknown chunk of size 7 is followed by its pad byte.
        {"odd unknown chunk", form("AIFF", comm(2, 10, 16) + chunk("ANNO", "seven..") + bytes({0}) + ssnd(data)), 0, 10,
         2, false},
        // The walk goes to the end of the file, whatever the FORM size says.
        {"FORM size too small", "FORM" + be32(4) + "AIFF" + comm(2, 10, 16) + ssnd(data), 0, 10, 2, false},
        {"RIFF content", "RIFF" + rhtest::le32(100) + "WAVE" + std::string(100, '\0'), 6, 0, 0, false},
        {"empty file", "", 6, 0, 0, false},
        {"cut in the FORM header", "FORM" + be32(100), 6, 0, 0, false},
        {"cut in COMM", form("AIFF", comm(2, 10, 16)).substr(0, 30), 6, 0, 0, false},
        {"cut in the SSND fields", form("AIFF", comm(2, 10, 16) + ssnd("")).substr(0, 50), 6, 0, 0, false},
        {"a chunk size beyond any file", form("AIFF", comm(2, 10, 16) + chunkSized("ANNO", 0x7FFFFFFF, "")) + ssnd(data),
         6, 0, 0, false},
        {"a negative chunk size", form("AIFF", comm(2, 10, 16) + chunkSized("ANNO", 0xFFFFFFF0u, "")) + ssnd(data), 6,
         0, 0, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleFileError error = SampleFileErrorNone;
        auto file = open(c.file, &error, "f" + std::to_string(index++) + ".aif");
        EXPECT_EQ(error, c.error);
        ASSERT_EQ(file != nullptr, c.error == 0);
        if (!file) continue;
        EXPECT_EQ(file->getFileFormat(), SampleFileFormatAIFF);
        EXPECT_EQ(file->numSampleFrames, c.frames);
        EXPECT_EQ(file->bytesPerSample, c.bytesPerSample);
        EXPECT_EQ(file->byteOrder, 0);
        EXPECT_EQ(aiff(file)->isAIFC, c.aifc);
    }
}

TEST_F(AiffReaderTest, MissingFileIsNotFound) {
    SampleFileError error = SampleFileErrorNone;
    EXPECT_FALSE(rhtest::openSampleFile(dir.file("none.aif"), &error));
    EXPECT_EQ(error, SampleFileErrorNotFound);
}

TEST_F(AiffReaderTest, FrameCountNeverExceedsTheData) {
    struct Case {
        const char* what;
        std::string file;
        int frames;
    };
    const std::string data = frames16(10);
    const std::string cut = form("AIFF", comm(2, 10, 16) + ssnd(data));
    const Case cases[] = {
        {"COMM claims a million frames", form("AIFF", comm(2, 1000000, 16) + ssnd(data)), 10},
        {"COMM claims 2^31 and more", form("AIFF", comm(2, 0xFFFFFFF0u, 16) + ssnd(data)), 0},
        {"SSND claims 2 GB", form("AIFF", comm(2, 0x7FFFFFFF, 16) + chunkSized("SSND", 0x7FFFFFF0, be32(0) + be32(0) + data)),
         10},
        {"file cut in the samples (a frame and a half lost)", cut.substr(0, cut.size() - 6), 8},
        // A size of 0 (a writer that never came back) leaves the samples
        // running to the end of the file.
        {"SSND size 0", form("AIFF", comm(2, 10, 16) + chunkSized("SSND", 0, be32(0) + be32(0) + data)), 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleFileError error = SampleFileErrorNone;
        auto file = open(c.file, &error);
        ASSERT_EQ(file != nullptr, c.frames > 0);
        if (!file) {
            EXPECT_EQ(error, SampleFileErrorUnsupportedFormat);
            continue;
        }
        EXPECT_EQ(file->numSampleFrames, c.frames);
        // Every frame held is delivered, and nothing beyond.
        std::vector<unsigned char> raw(100000);
        unsigned count = static_cast<unsigned>(raw.size());
        file->readRawSamples(0, &count, raw.data());
        ASSERT_EQ(count, static_cast<unsigned>(c.frames * 4));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(raw.data()), count), data.substr(0, count));
    }
}

TEST_F(AiffReaderTest, SamplesBeginAfterTheBlockSizeField) {
    // The offset field is not honoured: the samples begin right after the
    // two fields, and chunks may follow SSND.
    const std::string data = frames16(3);
    const std::string file =
        form("AIFF", chunk("ANNO", "x") + bytes({0}) + comm(2, 3, 16) +
                         chunk("SSND", be32(4) + be32(0) + data) + chunk("ANNO", "after"));
    SampleFileError error;
    auto reader = open(file, &error);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->dataOffset, static_cast<int32_t>(12 + 10 + 26 + 16));
    std::vector<unsigned char> raw(12);
    unsigned count = 12;
    reader->readRawSamples(0, &count, raw.data());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw.data()), count), data);
    // A second open reopens at the first sample byte.
    reader->closeStream();
    EXPECT_EQ(reader->open(0), 0);
    EXPECT_EQ(reader->stream->tellg(), reader->dataOffset);
}

TEST_F(AiffReaderTest, InstrumentAndMarkers) {
    const std::string body = comm(2, 10, 16) + ssnd(frames16(10));
    const std::vector<Marker> loop = {{1, 1000, "begin"}, {2, 5000, "end!"}};
    struct Case {
        const char* what;
        std::string chunks;
        int loopMode;
        int loopStart;
        int loopEnd;
        int baseNote;
        int cents;
    };
    const Case cases[] = {
        {"MARK before INST", chunk("MARK", markBody(loop)) + chunk("INST", instBody(48, 0, 1, 1, 2)), 1, 1000, 4999, 48,
         0},
        {"play mode kept", chunk("MARK", markBody(loop)) + chunk("INST", instBody(60, 0, 2, 1, 2)), 2, 1000, 4999, 60,
         0},
        {"lower-case inst and mark", chunk("mark", markBody(loop)) + chunk("inst", instBody(61, 0, 1, 1, 2)), 1, 1000,
         4999, 61, 0},
        {"INST before MARK", chunk("INST", instBody(50, 0, 1, 1, 2)) + chunk("MARK", markBody(loop)), 0, 0, -1, 50, 0},
        {"equal markers", chunk("MARK", markBody(loop)) + chunk("INST", instBody(60, 0, 1, 1, 1)), 0, 1000, 999, 60, 0},
        {"end before begin", chunk("MARK", markBody(loop)) + chunk("INST", instBody(60, 0, 1, 2, 1)), 0, 5000, 999, 60,
         0},
        {"unknown marker id", chunk("MARK", markBody(loop)) + chunk("INST", instBody(60, 0, 1, 1, 9)), 0, 1000, -1, 60,
         0},
        {"detune -50", chunk("INST", instBody(60, -50, 0, 0, 0)), 0, 0, -1, 60, -50},
        {"detune +10", chunk("INST", instBody(60, 10, 0, 0, 0)), 0, 0, -1, 60, 10},
        {"negative base note", chunk("INST", instBody(-3, 0, 0, 0, 0)), 0, 0, -1, -3, 0},
        // Marker names of odd and even length take their pad bytes.
        {"names padded", chunk("MARK", markBody({{5, 7, ""}, {6, 8, "a"}, {7, 9, "ab"}, {8, 70, "abc"}})) +
                             chunk("INST", instBody(60, 0, 1, 7, 8)),
         1, 9, 69, 60, 0},
        // An INST of another size is skipped, rounded up to even.
        {"INST of 21 bytes skipped", chunk("MARK", markBody(loop)) + chunk("INST", instBody(40, 5, 1, 1, 2) + "x") +
                                         bytes({0}),
         0, 0, 0, 60, 0},
        // More markers claimed than the body holds: the search ends at the
        // end of the copy.
        {"marker count larger than the body",
         chunk("MARK", markBody(loop, 1000)) + chunk("INST", instBody(60, 0, 1, 2, 77)), 0, 5000, -1, 60, 0},
        {"marker count with an empty body", chunk("MARK", be16(30000)) + chunk("INST", instBody(60, 0, 1, 1, 2)), 0, 0,
         -1, 60, 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleFileError error = SampleFileErrorNone;
        auto file = open(form("AIFF", body + c.chunks), &error, "i" + std::to_string(index++) + ".aif");
        ASSERT_TRUE(file) << error;
        EXPECT_EQ(file->loopMode, c.loopMode);
        EXPECT_EQ(file->loopStart, c.loopStart);
        EXPECT_EQ(file->loopEnd, c.loopEnd);
        EXPECT_EQ(file->baseNote, c.baseNote);
        EXPECT_DOUBLE_EQ(file->pitchRatio, rhtest::pitchRatioOfCents(c.cents));
    }
}

TEST_F(AiffReaderTest, MarkerCopyIsBoundedByTheFile) {
    // A MARK that claims far more than the file holds, as the last chunk, and
    // one cut inside a marker.
    const std::string head = comm(2, 10, 16) + ssnd(frames16(10));
    const std::string marks = markBody({{1, 100, "a"}, {2, 200, "b"}});
    SampleFileError error;
    auto lying = open(form("AIFF", head + chunkSized("MARK", 0x7FFFFF00, marks)), &error);
    ASSERT_TRUE(lying);
    SampleFileAIF_Archive* reader = aiff(lying);
    EXPECT_EQ(reader->markChunkSize, 0x7FFFFF00);
    EXPECT_EQ(reader->markChunkStored, static_cast<int32_t>(8 + marks.size()));
    EXPECT_EQ(reader->getMarkerOffset(2), 200);
    EXPECT_EQ(reader->getMarkerOffset(3), 0);

    auto cut = open(form("AIFF", head + chunk("MARK", marks)).substr(0, 12 + head.size() + 8 + 2 + 8 + 4), &error,
                    "cut.aif");
    ASSERT_TRUE(cut);
    EXPECT_EQ(aiff(cut)->getMarkerOffset(1), 100);
    EXPECT_EQ(aiff(cut)->getMarkerOffset(2), 0);  // its position lies beyond the copy
}

// Values exact against sox's own decode, for each width and channel count.
TEST_F(AiffReaderTest, SamplesMatchTheReferenceDecode) {
    if (!rhtest::haveTool("sox")) GTEST_SKIP() << "sox is not installed";
    struct Case {
        int bits;
        int channels;
        const char* suffix;
    };
    // (32-bit files are left out: sox's own float output of them is not
    // correctly rounded.)
    const Case cases[] = {{8, 1, "aif"},  {8, 2, "aiff"}, {16, 1, "aif"}, {16, 2, "AIFF"},
                          {24, 1, "aif"}, {24, 2, "aif"}, {16, 2, "aifc"}, {24, 2, "AIFC"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels, ." + c.suffix);
        const std::string file = dir.file("ref" + std::to_string(c.bits) + std::to_string(c.channels) + "." + c.suffix);
        ASSERT_TRUE(rhtest::run("sox -D -n -r 48000 -b " + std::to_string(c.bits) + " -c " +
                                std::to_string(c.channels) + " " + rhtest::quoted(file) +
                                " synth 0.05 whitenoise vol 0.99")
                        .ok);
        const rhtest::CommandResult reference = rhtest::run("sox " + rhtest::quoted(file) + " -t f32 -");
        ASSERT_TRUE(reference.ok);
        const std::vector<float> expected = rhtest::floatsOf(reference.out);

        SampleFileError error = SampleFileErrorNone;
        auto reader = rhtest::openSampleFile(file, &error);
        ASSERT_TRUE(reader) << error;
        ASSERT_EQ(reader->numChannels, c.channels);
        ASSERT_EQ(reader->bytesPerSample, c.bits / 8);
        EXPECT_EQ(reader->sampleRate, 48000.0f);
        const int frames = reader->numSampleFrames;
        ASSERT_EQ(static_cast<size_t>(frames) * static_cast<size_t>(c.channels), expected.size());

        // Raw reading in pieces, then the conversion, as the server does it.
        std::vector<unsigned char> raw(static_cast<size_t>(frames) * c.channels * (c.bits / 8) + 4);
        unsigned done = 0;
        while (done < raw.size() - 4) {
            unsigned count = 1000;
            reader->readRawSamples(static_cast<int>(done), &count, raw.data() + done);
            ASSERT_GT(count, 0u);
            done += count;
        }
        reader->closeStream();
        rhtest::ChannelArrays converted(c.channels, frames);
        RhConvertSamplesRawToFloat(frames, raw.data(), true, c.channels, c.bits / 8, reader->byteOrder, converted.get());
        EXPECT_EQ(converted.interleaved(frames), expected);

        // The base retrieval reopens the closed stream and converts a range.
        rhtest::ChannelArrays retrieved(c.channels, frames);
        unsigned capacity = static_cast<unsigned>(frames);
        EXPECT_EQ(reader->retrieveSamples(c.channels, retrieved.get(), &capacity, 0, -1, 0, nullptr, 0.0f), 0);
        EXPECT_EQ(retrieved.interleaved(frames), expected);
        EXPECT_TRUE(retrieved.untouchedFrom(0, frames));
    }
}

}  // namespace
