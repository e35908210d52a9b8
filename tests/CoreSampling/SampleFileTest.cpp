#include "SampleFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CoreUtilTestSupport.h"
#include "SampleFileTestSupport.h"
#include "TestSupport.h"

namespace {

using rhtest::le16;
using rhtest::le32;

// A 16-bit stereo WAVE file holding `data` as its samples.
std::string wave(const std::string& data) {
    const std::string fmt = "fmt " + le32(16) + le16(1) + le16(2) + le32(44100) + le32(176400) + le16(4) + le16(16);
    const std::string body = "WAVE" + fmt + "data" + le32(static_cast<uint32_t>(data.size())) + data;
    return "RIFF" + le32(static_cast<uint32_t>(body.size())) + body;
}

std::string counting(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) out += static_cast<char>(i * 7 + 1);
    return out;
}

class SampleFileTest : public rhtest::FreshTocCacheTest {
protected:
    rhtest::TempDir dir;
};

TEST_F(SampleFileTest, FormatBySuffixAndContent) {
    const std::string riff = wave(counting(8));
    const std::string formBytes = "FORM" + std::string(20, '\0');
    struct Case {
        const char* name;
        const char* content;  // null: no file
        SampleFileFormat format;
    };
    const std::string riffText = riff;
    const Case cases[] = {
        // WAVE spellings: the content decides between the three formats.
        {"a.wav", "RIFF", SampleFileFormatWAVE},
        {"b.WAV", "FORM", SampleFileFormatAIFF},
        {"c.wav", "form", SampleFileFormatAIFF},
        {"d.wav", "fLaC", SampleFileFormatCompressed},
        {"e.wav", "QvCA", SampleFileFormatCompressed},
        {"f.wav", "xy", SampleFileFormatWAVE},     // too short to tell
        {"g.wav", nullptr, SampleFileFormatWAVE},  // missing: its open says so
        // AIFF spellings: never WAVE.
        {"h.aif", "RIFF", SampleFileFormatAIFF},
        {"i.AIF", "FORM", SampleFileFormatAIFF},
        {"j.aiff", "FORM", SampleFileFormatAIFF},
        {"k.AIFF", "FORM", SampleFileFormatAIFF},
        {"l.aifc", "FORM", SampleFileFormatAIFF},
        {"m.AIFC", "QvCA", SampleFileFormatCompressed},
        {"n.aif", "fLaC", SampleFileFormatCompressed},
        {"o.aif", nullptr, SampleFileFormatAIFF},
        // "flc" is never looked into.
        {"p.flc", "RIFF", SampleFileFormatCompressed},
        {"q.FLC", nullptr, SampleFileFormatCompressed},
        // Other spellings match nothing.
        {"r.Wav", "RIFF", SampleFileFormatNone},
        {"s.Aiff", "FORM", SampleFileFormatNone},
        {"t.Flc", "fLaC", SampleFileFormatNone},
        {"u.flac", "fLaC", SampleFileFormatNone},
        {"v.txt", "RIFF", SampleFileFormatNone},
        // Suffix-less: only a component named "audio" below a folder.
        {"w/audio", "RIFF", SampleFileFormatWAVE},
        {"x/audio", "fLaC", SampleFileFormatCompressed},
        {"y/audio", "FORM", SampleFileFormatAIFF},
        {"z/Audio", "RIFF", SampleFileFormatNone},
        {"z/other", "RIFF", SampleFileFormatNone},
        {"dot.wav/audio", "RIFF", SampleFileFormatWAVE},  // the dot lies in a folder name
        {"dot.wav/inner", "RIFF", SampleFileFormatNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string full = c.content ? dir.write(c.name, c.content) : dir.file(c.name);
        RhPath path(full.c_str());
        EXPECT_EQ(StreamableSampleFile::getFileFormat(&path), c.format);
    }
    RhPath bare("audio");
    EXPECT_EQ(StreamableSampleFile::getFileFormat(&bare), SampleFileFormatNone);
    EXPECT_EQ(StreamableSampleFile::getFileFormat(nullptr), SampleFileFormatNone);
}

TEST_F(SampleFileTest, FactoryResults) {
    dir.write("Lib/a.wav", wave(counting(40)));
    dir.write("Lib/b.aif", wave(counting(40)));  // WAVE bytes under an AIFF name
    dir.write("Lib/c.txt", wave(counting(40)));
    dir.write("Lib/d.wav", "RIFX" + std::string(40, '\0'));
    struct Case {
        std::string path;
        SampleFileError error;
        bool opened;
    };
    const Case cases[] = {
        {dir.file("Lib/a.wav"), SampleFileErrorNone, true},
        {dir.file("Lib/b.aif"), SampleFileErrorUnsupportedFormat, false},  // no COMM in a RIFF walk
        {dir.file("Lib/c.txt"), SampleFileErrorNone, false},               // not a sample file at all
        {dir.file("Lib/d.wav"), SampleFileErrorNotSampleFile, false},
        {dir.file("Lib/missing.wav"), SampleFileErrorNotFound, false},
        {dir.file("Lib/missing.flc"), SampleFileErrorNotFound, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        SampleFileError error = SampleFileErrorAccess;
        auto file = rhtest::openSampleFile(c.path, &error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(file != nullptr, c.opened);
    }
    // The caller's path is normalised in place.
    RhPath path((dir.path() + "/Lib/./x/../a.wav").c_str());
    std::unique_ptr<StreamableSampleFile> file(StreamableSampleFile::constructSampleFile(&path, nullptr));
    ASSERT_TRUE(file);
    EXPECT_STREQ(path.getText(), dir.file("Lib/a.wav").c_str());
    EXPECT_STREQ(file->path.getText(), dir.file("Lib/a.wav").c_str());
    EXPECT_EQ(StreamableSampleFile::constructSampleFile(nullptr, nullptr), nullptr);
}

TEST_F(SampleFileTest, ErrorMessages) {
    struct Case {
        int error;
        const char* text;
    };
    const char* generic = "Error accessing sample file, possibly missing or corrupt";
    const Case cases[] = {
        {0, ""},
        {1, "Sample file not found on disk"},
        {2, "Sample file does not have read permission"},
        {4, "Unable to open sample file, perhaps too many files open"},
        {5, "Requested file is not a sample file"},
        {6, "Sample file format is not supported"},
        {7, "Out of memory trying to open"},
        {3, generic},
        {8, generic},
        {9, generic},
        {-1, generic},
        {1000, generic},
    };
    for (const Case& c : cases) {
        RhString text("x: ");
        StreamableSampleFile::formatErrorMessage(static_cast<SampleFileError>(c.error), &text);
        EXPECT_EQ(std::string(text.getText()), std::string("x: ") + c.text) << c.error;
    }
    StreamableSampleFile::formatErrorMessage(SampleFileErrorAccess, nullptr);  // tolerated
}

TEST_F(SampleFileTest, RawReadingStaysInsideTheSamples) {
    const std::string data = counting(100);  // 25 stereo 16-bit frames
    auto file = rhtest::openSampleFile(dir.write("r.wav", wave(data) + "TRAILING BYTES"));
    ASSERT_TRUE(file);
    ASSERT_EQ(file->numSampleFrames, 25);
    struct Case {
        int offset;
        unsigned wanted;
        unsigned delivered;
    };
    const Case cases[] = {
        {0, 1000, 100}, {0, 4, 4},   {4, 8, 8},    {90, 20, 10}, {99, 1, 1},
        {100, 10, 0},   {200, 1, 0}, {-1, 10, 0},  {0, 0, 0},    {12, 0xFFFFFFFFu, 88},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " +" + std::to_string(c.wanted));
        std::vector<unsigned char> out(200, 0xEE);
        unsigned count = c.wanted;
        file->readRawSamples(c.offset, &count, out.data());
        ASSERT_EQ(count, c.delivered);
        if (count > 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), count),
                      data.substr(static_cast<size_t>(c.offset), count));
        }
        EXPECT_EQ(out[count], 0xEE);  // nothing written beyond
    }
    // A closed stream is reopened by the next read.
    file->closeStream();
    std::vector<unsigned char> out(10);
    unsigned count = 10;
    file->readRawSamples(50, &count, out.data());
    ASSERT_EQ(count, 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), 10), data.substr(50, 10));
    // Null arguments deliver nothing.
    count = 10;
    file->readRawSamples(0, &count, nullptr);
    EXPECT_EQ(count, 0u);
    file->readRawSamples(0, nullptr, out.data());
}

TEST_F(SampleFileTest, MemberWindowBoundsTheSamples) {
    // The data chunk claims more than the member holds; the bytes after the
    // member in the container must not count.
    const std::string data = counting(40);
    std::string member = wave(data + std::string(60, 'z'));
    member.resize(member.size() - 60);  // cut: the data size field says 100
    const std::vector<std::string> toc = {
        "<FileSystem>",
        "<FILE name=\"m.wav\" offset=\"3\" size=\"" + std::to_string(member.size()) + "\"/>", "</FileSystem>"};
    dir.write("Lib/Box.db", rhtest::container(toc, "abc" + member + std::string(500, 'q')));
    auto file = rhtest::openSampleFile(dir.file("Lib/Box/m.wav"));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->numSampleFrames, 10);
    std::vector<unsigned char> out(200);
    unsigned count = 200;
    file->readRawSamples(0, &count, out.data());
    ASSERT_EQ(count, 40u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), count), data);
}

TEST_F(SampleFileTest, BaseRetrievalConvertsARange) {
    std::string data;
    for (int i = 0; i < 10; i++) data += le16(i * 1000) + le16(-i * 1000);
    auto file = rhtest::openSampleFile(dir.write("q.wav", wave(data)));
    ASSERT_TRUE(file);
    rhtest::ChannelArrays arrays(2, 10);
    unsigned capacity = 10;
    EXPECT_EQ(file->retrieveSamples(2, arrays.get(), &capacity, 3, 7, 0, nullptr, 0.0f), 0);
    for (int i = 0; i < 10; i++) {
        const bool inside = i >= 3 && i < 7;
        EXPECT_EQ(arrays.data[0][static_cast<size_t>(i)], inside ? i * 1000 / 32768.0f : rhtest::ChannelArrays::kUntouched);
        EXPECT_EQ(arrays.data[1][static_cast<size_t>(i)], inside ? -i * 1000 / 32768.0f : rhtest::ChannelArrays::kUntouched);
    }
    // The end is lowered to the capacity the caller gives.
    rhtest::ChannelArrays small(2, 10);
    capacity = 4;
    EXPECT_EQ(file->retrieveSamples(2, small.get(), &capacity, 0, -1, 0, nullptr, 0.0f), 0);
    EXPECT_TRUE(small.untouchedFrom(0, 4));
    EXPECT_EQ(small.data[0][3], 3000 / 32768.0f);
    // More destinations than the table holds are refused, nothing written.
    std::vector<float*> many(13, arrays.get()[0]);
    rhtest::ChannelArrays untouched(1, 10);
    many[0] = untouched.get()[0];
    capacity = 10;
    EXPECT_EQ(file->retrieveSamples(13, many.data(), &capacity, 0, -1, 0, nullptr, 0.0f), SampleFileErrorUnsupportedFormat);
    EXPECT_TRUE(untouched.untouchedFrom(0, 0));
}

}  // namespace
