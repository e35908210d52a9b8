#include "SampleFileFLAC_Archive.h"

#include <FLAC/stream_encoder.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CoreUtilTestSupport.h"
#include "RhThreadPool.h"
#include "SampleFileTestSupport.h"
#include "TestSupport.h"

namespace {

using rhtest::ChannelArrays;

// Restores the process-ending hook whatever a test does.
struct HookGuard {
    explicit HookGuard(int (*hook)()) { SampleFileFLAC_Archive::sShouldStopDecoding.store(hook); }
    ~HookGuard() { SampleFileFLAC_Archive::sShouldStopDecoding.store(nullptr); }
};

// Encodes interleaved integers of `bits` bits with libFLAC's own encoder
// (the command-line tool takes only whole bytes).
bool encodeFlac(const std::string& path, int bits, int channels, const std::vector<FLAC__int32>& interleaved) {
    FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
    if (encoder == nullptr) return false;
    FLAC__stream_encoder_set_channels(encoder, static_cast<unsigned>(channels));
    FLAC__stream_encoder_set_bits_per_sample(encoder, static_cast<unsigned>(bits));
    FLAC__stream_encoder_set_sample_rate(encoder, 44100);
    FLAC__stream_encoder_set_blocksize(encoder, 1024);
    bool ok = FLAC__stream_encoder_init_file(encoder, path.c_str(), nullptr, nullptr) ==
              FLAC__STREAM_ENCODER_INIT_STATUS_OK;
    ok = ok && FLAC__stream_encoder_process_interleaved(encoder, interleaved.data(),
                                                        static_cast<unsigned>(interleaved.size() / channels));
    ok = FLAC__stream_encoder_finish(encoder) && ok;
    FLAC__stream_encoder_delete(encoder);
    return ok;
}

class FlacReaderTest : public rhtest::FreshTocCacheTest {
protected:
    void SetUp() override {
        FreshTocCacheTest::SetUp();
        if (!rhtest::haveTool("sox") || !rhtest::haveTool("flac")) GTEST_SKIP() << "sox and flac are needed";
    }

    // A FLAC file of white noise made by sox and flac; extra goes to flac.
    std::string makeFlac(const std::string& name, int bits, int channels, const std::string& extra = "",
                         double seconds = 0.25) {
        const std::string wav = dir.file(name + ".src.wav");
        const std::string out = dir.file(name);
        EXPECT_TRUE(rhtest::run("sox -D -n -r 44100 -b " + std::to_string(bits) + " -c " + std::to_string(channels) +
                                " " + rhtest::quoted(wav) + " synth " + std::to_string(seconds) +
                                " whitenoise vol 0.5")
                        .ok);
        EXPECT_TRUE(rhtest::run("flac -s -f --blocksize=4096 " + extra + " -o " + rhtest::quoted(out) + " " +
                                rhtest::quoted(wav))
                        .ok);
        return out;
    }

    // The tools' own decode of a FLAC file, interleaved floats.
    std::vector<float> reference(const std::string& path) {
        const rhtest::CommandResult r = rhtest::run("sox -t flac " + rhtest::quoted(path) + " -t f32 -");
        EXPECT_TRUE(r.ok);
        return rhtest::floatsOf(r.out);
    }

    std::unique_ptr<StreamableSampleFile> openFlac(const std::string& path, SampleFileError* error = nullptr) {
        auto file = rhtest::openSampleFile(path, error);
        if (file) {
            EXPECT_EQ(file->getFileFormat(), SampleFileFormatCompressed);
        }
        return file;
    }

    // Decodes [start, end) as the server does: stream closed after open,
    // default brake.
    int decode(StreamableSampleFile& file, ChannelArrays& arrays, unsigned end, int start = 0, int channels = -1) {
        file.closeStream();
        return file.retrieveSamples(channels < 0 ? file.numChannels : channels, arrays.get(), &end, start, 0, 0,
                                    nullptr, -1.0f);
    }

    // Frames [from, to) of the reference, interleaved.
    static std::vector<float> slice(const std::vector<float>& all, int channels, int from, int to) {
        return {all.begin() + from * channels, all.begin() + to * channels};
    }
    static std::vector<float> sliceOf(const ChannelArrays& arrays, int channels, int from, int to) {
        return slice(arrays.interleaved(to), channels, from, to);
    }

    rhtest::TempDir dir;
};

TEST_F(FlacReaderTest, DecodesExactlyLikeTheReference) {
    struct Case {
        int bits;
        int channels;
    };
    for (const Case c : {Case{16, 1}, Case{16, 2}, Case{24, 1}, Case{24, 2}, Case{8, 2}}) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels");
        const std::string path =
            makeFlac("n" + std::to_string(c.bits) + "_" + std::to_string(c.channels) + ".flc", c.bits, c.channels);
        const std::vector<float> expected = reference(path);
        SampleFileError error = SampleFileErrorNone;
        auto file = openFlac(path, &error);
        ASSERT_TRUE(file) << error;
        EXPECT_EQ(file->numChannels, c.channels);
        EXPECT_EQ(file->bytesPerSample, c.bits / 8);
        EXPECT_EQ(file->sampleRate, 44100.0f);
        EXPECT_EQ(file->byteOrder, 1);
        const int frames = file->numSampleFrames;
        ASSERT_EQ(static_cast<size_t>(frames * c.channels), expected.size());

        // Two destinations even for a mono file: only the first is filled.
        ChannelArrays arrays(2, frames);
        ASSERT_EQ(decode(*file, arrays, static_cast<unsigned>(frames), 0, 2), 0);
        EXPECT_EQ(sliceOf(arrays, 2, 0, frames), c.channels == 2 ? expected : [&] {
            std::vector<float> out;
            for (float v : expected) out.insert(out.end(), {v, ChannelArrays::kUntouched});
            return out;
        }());
        EXPECT_TRUE(arrays.untouchedFrom(0, frames));
        EXPECT_TRUE(arrays.untouchedFrom(1, c.channels == 2 ? frames : 0));
        for (size_t i = 0; i < static_cast<size_t>(frames); i++) ASSERT_TRUE(arrays.data[0][i] >= -1.0f && arrays.data[0][i] < 1.0f);

        // The object decodes again later, the same.
        ChannelArrays again(c.channels, frames);
        ASSERT_EQ(decode(*file, again, static_cast<unsigned>(frames)), 0);
        EXPECT_EQ(again.interleaved(frames), expected);
    }
}

TEST_F(FlacReaderTest, TaggedMarkerDecodesLikeTheStandardOne) {
    const std::string path = makeFlac("plain.flc", 16, 2);
    std::string content = rhtest::readFile(path);
    ASSERT_EQ(content.substr(0, 4), "fLaC");
    content.replace(0, 4, "QvCA");
    const std::vector<float> expected = reference(path);
    // Detected by content under a WAVE or AIFF name, or by the suffix.
    for (const char* name : {"tagged.flc", "tagged.wav", "tagged.aif", "tagged.FLC"}) {
        SCOPED_TRACE(name);
        auto file = openFlac(dir.write(name, content));
        ASSERT_TRUE(file);
        ChannelArrays arrays(2, file->numSampleFrames);
        ASSERT_EQ(decode(*file, arrays, static_cast<unsigned>(file->numSampleFrames)), 0);
        EXPECT_EQ(arrays.interleaved(file->numSampleFrames), expected);
    }
}

TEST_F(FlacReaderTest, LoopComment) {
    struct Case {
        const char* what;
        std::string tags;
        int loopMode;
        int loopStart;
        int loopEnd;
    };
    const Case cases[] = {
        {"none", "", 0, 0, 0},
        {"four integers", "-T 'STINFO=1 1000 5000 77'", 1, 1000, 5000},
        {"three integers", "-T 'STINFO=2 10 20'", 2, 10, 20},
        {"two integers only", "-T 'STINFO=1 1000'", 0, 0, 0},
        {"not numbers", "-T 'STINFO=loop'", 0, 0, 0},
        {"another field only", "-T 'TITLE=1 2 3 4'", 0, 0, 0},
        {"the first of two", "-T 'STINFO=1 7 9 0' -T 'STINFO=1 8 10 0'", 1, 7, 9},
        {"beyond 32 bits", "-T 'STINFO=1 99999999999 5 0'", 1, INT32_MAX, 5},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = openFlac(makeFlac("t" + std::to_string(index++) + ".flc", 16, 1, c.tags, 0.02));
        ASSERT_TRUE(file);
        EXPECT_EQ(file->loopMode, c.loopMode);
        EXPECT_EQ(file->loopStart, c.loopStart);
        EXPECT_EQ(file->loopEnd, c.loopEnd);
    }
}

TEST_F(FlacReaderTest, RangesArePlacedByAbsoluteFrame) {
    const std::string path = makeFlac("range.flc", 24, 2);
    const std::vector<float> expected = reference(path);
    auto file = openFlac(path);
    ASSERT_TRUE(file);
    const int frames = file->numSampleFrames;  // 11025 in blocks of 4096
    ASSERT_EQ(frames, 11025);
    struct Case {
        int start;
        int end;
    };
    // Ends inside a block, on a block boundary, at the first frame, at and
    // beyond the file's end; starts inside a block and on a boundary.
    const Case cases[] = {{0, 5000}, {0, 4096}, {0, 1}, {0, frames}, {0, frames + 40},
                          {5000, frames}, {4096, 6000}, {frames - 1, frames}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.end));
        ChannelArrays arrays(2, c.end);
        const int errorsBefore = StreamableSampleFile::sFLACerrorCount.load();
        ASSERT_EQ(decode(*file, arrays, static_cast<unsigned>(c.end), c.start), 0);
        EXPECT_EQ(StreamableSampleFile::sFLACerrorCount.load(), errorsBefore);  // every seek worked
        const int written = std::min(c.end, frames);
        EXPECT_EQ(sliceOf(arrays, 2, c.start, written), slice(expected, 2, c.start, written));
        for (int ch = 0; ch < 2; ch++) {
            EXPECT_TRUE(arrays.untouchedFrom(ch, written));
            for (int i = 0; i < c.start; i++) ASSERT_EQ(arrays.data[static_cast<size_t>(ch)][static_cast<size_t>(i)], ChannelArrays::kUntouched);
        }
    }
}

// A decoder that cannot seek anywhere but to the start of the stream.
class SeeklessFlac : public SampleFileFLAC_Archive {
public:
    using SampleFileFLAC_Archive::SampleFileFLAC_Archive;

protected:
    ::FLAC__StreamDecoderSeekStatus seek_callback(FLAC__uint64 offset) override {
        return offset == 0 ? SampleFileFLAC_Archive::seek_callback(0) : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
};

TEST_F(FlacReaderTest, FailedSeekRestartsFromTheFirstFrame) {
    const std::string path = makeFlac("seek.flc", 16, 2);
    const std::vector<float> expected = reference(path);
    RhPath p(path.c_str());
    SeeklessFlac file(&p);
    ASSERT_EQ(file.open(0), 0);
    const int frames = file.numSampleFrames;
    const int errorsBefore = StreamableSampleFile::sFLACerrorCount.load();
    ChannelArrays arrays(2, frames);
    ASSERT_EQ(decode(file, arrays, static_cast<unsigned>(frames), 5000), 0);
    EXPECT_EQ(StreamableSampleFile::sFLACerrorCount.load(), errorsBefore + 1);
    EXPECT_EQ(arrays.interleaved(frames), expected);  // every frame from 0
}

TEST_F(FlacReaderTest, Refusals) {
    const std::string good = rhtest::readFile(makeFlac("good.flc", 16, 1, "", 0.02));
    struct Case {
        const char* what;
        std::string content;
        int error;
    };
    const Case cases[] = {
        {"marker only", "fLaC", 6},
        {"tagged marker and noise", "QvCA" + std::string(3000, '\x55'), 6},
        // A last metadata block that is padding: no STREAMINFO at all.
        {"padding instead of STREAMINFO", "fLaC" + rhtest::bytes({0x81, 0, 0, 4, 0, 0, 0, 0}), 6},
        {"cut inside STREAMINFO", good.substr(0, 20), 6},
        // STREAMINFO with a total of 0 samples (unknown): nothing to load.
        {"no frames", good.substr(0, 21) + static_cast<char>(good[21] & 0xF0) + std::string(4, '\0') + good.substr(26), 6},
        {"empty file", "", 6},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleFileError error = SampleFileErrorNone;
        EXPECT_FALSE(openFlac(dir.write("r" + std::to_string(index++) + ".flc", c.content), &error));
        EXPECT_EQ(error, c.error);
    }
    SampleFileError error = SampleFileErrorNone;
    EXPECT_FALSE(openFlac(dir.file("missing.flc"), &error));
    EXPECT_EQ(error, SampleFileErrorNotFound);

    // 2 GiB or more cannot pass the 32-bit positions of the callbacks: a
    // sparse file with a valid beginning is refused at open.
    const std::string big = dir.write("big.flc", good);
    ASSERT_EQ(truncate(big.c_str(), 0x80000000LL), 0);
    EXPECT_FALSE(openFlac(big, &error));
    EXPECT_EQ(error, SampleFileErrorUnsupportedFormat);
}

TEST_F(FlacReaderTest, VanishedFileZeroesTheDestinations) {
    const std::string path = makeFlac("gone.flc", 16, 2);
    auto file = openFlac(path);
    ASSERT_TRUE(file);
    file->closeStream();
    ASSERT_EQ(unlink(path.c_str()), 0);
    const int errorsBefore = StreamableSampleFile::sFLACerrorCount.load();
    ChannelArrays arrays(2, 100);
    EXPECT_EQ(decode(*file, arrays, 100), SampleFileErrorNotFound);
    EXPECT_EQ(StreamableSampleFile::sFLACerrorCount.load(), errorsBefore + 1);
    for (int ch = 0; ch < 2; ch++) {
        for (int i = 0; i < 100; i++) ASSERT_EQ(arrays.data[static_cast<size_t>(ch)][static_cast<size_t>(i)], 0.0f);
        EXPECT_TRUE(arrays.untouchedFrom(ch, 100));
    }
}

TEST_F(FlacReaderTest, BitsThatAreNotWholeBytesStayInRange) {
    for (int bits : {20, 12}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        const int32_t low = -(1 << (bits - 1));
        const int32_t high = (1 << (bits - 1)) - 1;
        std::vector<FLAC__int32> samples;
        for (int i = 0; i < 3000; i++) {
            samples.push_back(static_cast<FLAC__int32>((i * 7919) % (high + 1)) - (i % 2 ? 0 : high / 2));
            samples.push_back(i % 3 ? low : high);
        }
        const std::string path = dir.file("b" + std::to_string(bits) + ".flc");
        ASSERT_TRUE(encodeFlac(path, bits, 2, samples));
        auto file = openFlac(path);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->bytesPerSample, (bits + 7) / 8);
        ASSERT_EQ(file->numSampleFrames, 3000);
        ChannelArrays arrays(2, 3000);
        ASSERT_EQ(decode(*file, arrays, 3000), 0);
        const std::vector<float> got = arrays.interleaved(3000);
        for (size_t i = 0; i < samples.size(); i++) {
            ASSERT_EQ(got[i], std::ldexp(static_cast<float>(samples[i]), 1 - bits)) << i;
            ASSERT_TRUE(got[i] >= -1.0f && got[i] < 1.0f);
        }
        EXPECT_EQ(got[1], 1.0f - std::ldexp(1.0f, 1 - bits));  // full scale stays below 1
        EXPECT_EQ(got[3], -1.0f);
    }
}

TEST_F(FlacReaderTest, MemberOfAContainerDecodesInPlace) {
    const std::string plain = rhtest::readFile(makeFlac("member.flc", 16, 2));
    std::string tagged = plain;
    tagged.replace(0, 4, "QvCA");
    const std::vector<float> expected = reference(dir.file("member.flc"));
    const size_t lead = 1001;
    const std::vector<std::string> toc = {
        "<FileSystem>", "<DIR name=\"Strings\">",
        "<FILE name=\"a.flc\" offset=\"" + std::to_string(lead) + "\" size=\"" + std::to_string(plain.size()) + "\"/>",
        "<FILE name=\"b.wav\" offset=\"" + std::to_string(lead + plain.size()) + "\" size=\"" +
            std::to_string(tagged.size()) + "\"/>",
        "</DIR>", "</FileSystem>"};
    // Bytes before, between and after the members must never be decoded.
    dir.write("Lib/Pack.db", rhtest::container(toc, std::string(lead, 'x') + plain + tagged + "fLaC trailing"));
    for (const char* member : {"Lib/Pack/Strings/a.flc", "Lib/Pack/Strings/b.wav"}) {
        SCOPED_TRACE(member);
        auto file = openFlac(dir.file(member));
        ASSERT_TRUE(file);
        const int frames = file->numSampleFrames;
        ChannelArrays whole(2, frames);
        ASSERT_EQ(decode(*file, whole, static_cast<unsigned>(frames)), 0);
        EXPECT_EQ(whole.interleaved(frames), expected);
        // Seeking inside the member's window.
        ChannelArrays tail(2, frames);
        ASSERT_EQ(decode(*file, tail, static_cast<unsigned>(frames), 6000), 0);
        EXPECT_EQ(sliceOf(tail, 2, 6000, frames), slice(expected, 2, 6000, frames));
    }
}

// Records the timer slack that the decoding thread has while it decodes.
class SlackProbe : public SampleFileFLAC_Archive {
public:
    using SampleFileFLAC_Archive::SampleFileFLAC_Archive;
    long slackSeen = -1;

protected:
    ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[]) override {
        slackSeen = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        return SampleFileFLAC_Archive::write_callback(frame, buffer);
    }
};

TEST_F(FlacReaderTest, DecodingThreadHasFineTimerSlack) {
    const std::string path = makeFlac("slack.flc", 16, 1, "", 0.02);
    RhPath p(path.c_str());
    SlackProbe file(&p);
    ASSERT_EQ(file.open(0), 0);
    const long before = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ChannelArrays arrays(1, file.numSampleFrames);
    ASSERT_EQ(decode(file, arrays, static_cast<unsigned>(file.numSampleFrames)), 0);
    EXPECT_EQ(file.slackSeen, static_cast<long>(SampleFileFLAC_Archive::kDecodeTimerSlackNanoseconds));
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), before);  // given back afterwards
}

int stopAlways() { return 1; }

TEST_F(FlacReaderTest, ProcessEndingStopsDecoding) {
    auto file = openFlac(makeFlac("ending.flc", 16, 2));
    ASSERT_TRUE(file);
    HookGuard hook(stopAlways);
    ChannelArrays arrays(2, file->numSampleFrames);
    EXPECT_EQ(decode(*file, arrays, static_cast<unsigned>(file->numSampleFrames)), 0);
    EXPECT_TRUE(arrays.untouchedFrom(0, 0));
    EXPECT_TRUE(arrays.untouchedFrom(1, 0));
}

// Holds the first decoded frame until released.
class GatedFlac : public SampleFileFLAC_Archive {
public:
    using SampleFileFLAC_Archive::SampleFileFLAC_Archive;
    void waitUntilDecoding() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }

protected:
    ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[]) override {
        {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        }
        return SampleFileFLAC_Archive::write_callback(frame, buffer);
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
};

TEST_F(FlacReaderTest, SecondDecodeOfABusyObjectReturnsAtOnce) {
    const std::string path = makeFlac("busy.flc", 16, 2);
    const std::vector<float> expected = reference(path);
    RhPath p(path.c_str());
    GatedFlac file(&p);
    ASSERT_EQ(file.open(0), 0);
    const int frames = file.numSampleFrames;
    ChannelArrays first(2, frames);
    std::thread decoder([&] { decode(file, first, static_cast<unsigned>(frames)); });
    file.waitUntilDecoding();
    ChannelArrays second(2, frames);
    unsigned end = static_cast<unsigned>(frames);
    EXPECT_EQ(file.retrieveSamples(2, second.get(), &end, 0, 0, 0, nullptr, 0.0f), 0);
    EXPECT_TRUE(second.untouchedFrom(0, 0));
    EXPECT_TRUE(second.untouchedFrom(1, 0));
    file.release();
    decoder.join();
    EXPECT_EQ(first.interleaved(frames), expected);
}

TEST_F(FlacReaderTest, ObjectsDecodeSideBySide) {
    // Conversion jobs decode different files at once, some of them failing.
    const std::string path = makeFlac("side.flc", 16, 2);
    const std::vector<float> expected = reference(path);
    const std::string gone = makeFlac("side-gone.flc", 16, 2);
    std::vector<std::unique_ptr<StreamableSampleFile>> files;
    for (int i = 0; i < 4; i++) {
        files.push_back(openFlac(i % 2 ? gone : path));
        ASSERT_TRUE(files.back());
        files.back()->closeStream();
    }
    ASSERT_EQ(unlink(gone.c_str()), 0);
    const int errorsBefore = StreamableSampleFile::sFLACerrorCount.load();
    std::vector<ChannelArrays> arrays;
    for (int i = 0; i < 4; i++) arrays.emplace_back(2, files[0]->numSampleFrames);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&, i] {
            unsigned end = static_cast<unsigned>(files[0]->numSampleFrames);
            files[static_cast<size_t>(i)]->retrieveSamples(2, arrays[static_cast<size_t>(i)].get(), &end, 0, 0, 0,
                                                           nullptr, -1.0f);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(StreamableSampleFile::sFLACerrorCount.load(), errorsBefore + 2);
    EXPECT_EQ(arrays[0].interleaved(files[0]->numSampleFrames), expected);
    EXPECT_EQ(arrays[2].interleaved(files[0]->numSampleFrames), expected);
    EXPECT_EQ(arrays[1].interleaved(files[0]->numSampleFrames), std::vector<float>(expected.size(), 0.0f));
}

std::atomic<int> gFramesSeen{0};
std::atomic<StreamableSampleFile*> gWatched{nullptr};
// Holds the first frame until destruction has begun (it sets stopRequested).
int holdUntilStopRequested() {
    gFramesSeen++;
    while (gWatched.load()->stopRequested.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

TEST_F(FlacReaderTest, DestructionStopsARunningDecode) {
    auto file = openFlac(makeFlac("long.flc", 16, 1, "", 1.0));
    ASSERT_TRUE(file);
    const int frames = file->numSampleFrames;
    ASSERT_GT(frames, 4 * 4096);
    gFramesSeen = 0;
    gWatched = file.get();
    HookGuard hook(holdUntilStopRequested);
    ChannelArrays arrays(1, frames);
    std::atomic<int> result{-1};
    StreamableSampleFile* raw = file.get();
    std::thread decoder([&] {
        unsigned end = static_cast<unsigned>(frames);
        result = raw->retrieveSamples(1, arrays.get(), &end, 0, 0, 0, nullptr, 0.0f);
    });
    while (gFramesSeen.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    file.reset();  // waits for the decode, which stops after the frame in hand
    decoder.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(gFramesSeen.load(), 1);
    EXPECT_NE(arrays.data[0][0], ChannelArrays::kUntouched);
    EXPECT_TRUE(arrays.untouchedFrom(0, 4096));
}

TEST_F(FlacReaderTest, AsynchronousRetrievalFillsThePlaybackBuffer) {
    const std::string path = makeFlac("async.flc", 16, 2);
    const std::vector<float> expected = reference(path);
    auto file = openFlac(path);
    ASSERT_TRUE(file);
    file->closeStream();
    const int frames = file->numSampleFrames;
    // Streaming runs on its own sub-pool, which the server never configures.
    ThreadPool::registerThreadPool(kThreadSubPool1, 1, "streaming", kThreadPriorityNormal);
    EXPECT_EQ(file->retrieveSamples(2, nullptr, nullptr, 0, -1, 1, nullptr, 0.0f), 0);
    // The job clears retrievalRunning when it is done.
    for (int i = 0; i < 20000 && file->retrievalRunning.load() != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(file->retrievalRunning.load(), 0);
    ASSERT_EQ(file->playbackBuffer.filledFrames(), frames);
    std::vector<float> got;
    for (int i = 0; i < frames; i++)
        for (int ch = 0; ch < 2; ch++) got.push_back(file->playbackBuffer.channel(ch)[i]);
    EXPECT_EQ(got, expected);
}

}  // namespace
