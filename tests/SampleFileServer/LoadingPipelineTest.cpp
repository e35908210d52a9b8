// The loading pipeline end to end: the real server process (the test build
// whose stalls the test picks through its environment) loads files that the
// test generates, and clients in this process attach to the segments.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CoreUtilTestSupport.h"
#include "SampleFileClient.h"
#include "SegmentSupport.h"
#include "ServerProcessSupport.h"
#include "TestSupport.h"

#ifndef QUILLORANTICS_STAGES_SERVER_PATH
#error "QUILLORANTICS_STAGES_SERVER_PATH must name the server built with the stage hooks"
#endif

namespace {

using srvtest::Clock;

bool waitUntil(const std::function<bool()>& condition, double seconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= end)
            return false;
        srvtest::sleepSeconds(0.01);
    }
}

void appendLE(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// A WAVE file of 16-bit PCM whose "data" size field claims `claimedDataSize`
// bytes while `frames` frames of a ramp follow.
std::string handMadeWave(int channels, int frames, uint32_t claimedDataSize) {
    std::string fmt;
    appendLE(fmt, 1, 2);
    appendLE(fmt, static_cast<uint32_t>(channels), 2);
    appendLE(fmt, 44100, 4);
    appendLE(fmt, 44100u * 2u * static_cast<uint32_t>(channels), 4);
    appendLE(fmt, static_cast<uint32_t>(2 * channels), 2);
    appendLE(fmt, 16, 2);
    std::string samples;
    for (int i = 0; i < frames * channels; i++)
        appendLE(samples, static_cast<uint32_t>(i * 64), 2);
    std::string body = "WAVEfmt ";
    appendLE(body, 16, 4);
    body += fmt + "data";
    appendLE(body, claimedDataSize, 4);
    body += samples;
    std::string file = "RIFF";
    appendLE(file, static_cast<uint32_t>(body.size()), 4);
    return file + body;
}

class LoadingPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Every test starts the server itself, through its first client.
        options.serverExecutable = QUILLORANTICS_STAGES_SERVER_PATH;
    }

    std::unique_ptr<SampleFileClient> newClient() {
        auto client = std::make_unique<SampleFileClient>(options);
        EXPECT_EQ(client->connect(), 0);
        return client;
    }

    // A path in the test's folder whose segments are removed at the end.
    std::string watched(const std::string& name) { return segments.watch(dir.file(name)); }

    // Generates a sound file with sox (plain PCM for WAVE); returns its path.
    std::string soxFile(const std::string& name, int bits, int channels, double seconds) {
        const std::string path = watched(name);
        const std::string type = name.size() > 4 && name.substr(name.size() - 4) == ".wav" ? "-t wavpcm " : "";
        const std::string command = "sox -q -n -r 44100 -b " + std::to_string(bits) + " -c " +
                                    std::to_string(channels) + " " + type + "'" + path + "' synth " +
                                    std::to_string(seconds) + " sine 440 sine 660 gain -3 2>/dev/null";
        EXPECT_EQ(system(command.c_str()), 0) << command;
        return path;
    }

    // The samples of `path` as sox decodes them, interleaved.
    std::vector<float> referenceDecode(const std::string& path) {
        const std::string raw = dir.file("reference.f32");
        const std::string command = "sox -q '" + path + "' -t f32 '" + raw + "'";
        EXPECT_EQ(system(command.c_str()), 0) << command;
        const std::string bytes = rhtest::readFile(raw);
        std::vector<float> samples(bytes.size() / sizeof(float));
        memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
        return samples;
    }

    // Sends `entries` and waits until nothing of the client's is loading.
    void load(SampleFileClient& client, const std::vector<SampleFileClient::Entry>& entries) {
        ASSERT_EQ(client.sendSampleFileList(entries), 0);
        ASSERT_TRUE(waitUntil([&] { return progressOf(client) == 0; }, 20.0)) << "the load did not finish";
    }

    static int32_t progressOf(SampleFileClient& client) {
        int32_t remaining = -1;
        if (client.getLoadProgress(&remaining) != 0)
            return -1;
        return remaining;
    }

    static int32_t framesHeld(const std::string& path, int channel = 0) {
        SampleFileAttachment attachment;
        if (SampleFileClient::attachSampleFile(path, channel, SampleFileClient::kAnyFrameCount, &attachment) != 0)
            return -1;
        return attachment.frameCount();
    }

    bool anySegmentLeft(const std::vector<std::string>& paths) {
        for (const std::string& path : paths)
            for (int channel = 0; channel < 2; channel++)
                for (const std::string& name : srvtest::segmentNameChain(path, channel))
                    if (srvtest::segmentExists(name))
                        return true;
        return false;
    }

    rhtest::TempDir dir;
    rhtest::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", dir.path()};
    srvtest::SegmentSweeper segments;
    srvtest::ServerSweeper servers;
    SampleFileClient::Options options;
};

TEST_F(LoadingPipelineTest, WaveSamplesAreExactAgainstAReferenceDecode) {
    struct Case {
        int bits;
        int channels;
    };
    const Case cases[] = {{8, 1}, {8, 2}, {16, 1}, {16, 2}, {24, 1}, {24, 2}, {32, 1}, {32, 2}};
    std::vector<SampleFileClient::Entry> entries;
    for (const Case& c : cases) {
        const std::string name = "w" + std::to_string(c.bits) + "-" + std::to_string(c.channels) + ".wav";
        entries.push_back({soxFile(name, c.bits, c.channels, 0.25), INT32_MAX});
    }
    auto client = newClient();
    load(*client, entries);
    for (size_t i = 0; i < entries.size(); i++) {
        SCOPED_TRACE(entries[i].path);
        const std::vector<float> reference = referenceDecode(entries[i].path);
        const int channels = cases[i].channels;
        ASSERT_EQ(reference.size() % static_cast<size_t>(channels), 0u);
        const size_t frames = reference.size() / static_cast<size_t>(channels);
        for (int channel = 0; channel < channels; channel++) {
            SampleFileAttachment attachment;
            ASSERT_EQ(SampleFileClient::attachSampleFile(entries[i].path, channel, static_cast<int32_t>(frames),
                                                         &attachment),
                      0);
            // sox rounds 32-bit integers to float with a few bits less than
            // float holds; every narrower width is exact.
            const float tolerance = cases[i].bits == 32 ? std::ldexp(1.0f, -23) : 0.0f;
            size_t mismatches = 0;
            for (size_t f = 0; f < frames; f++) {
                const float expected = reference[f * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
                mismatches += std::fabs(attachment.samples()[f] - expected) > tolerance;
            }
            EXPECT_EQ(mismatches, 0u) << "channel " << channel;
        }
        EXPECT_EQ(framesHeld(entries[i].path, channels), -1) << "no segment beyond the file's channels";
    }
}

TEST_F(LoadingPipelineTest, FrameCountsAreClippedToWhatTheFileHolds) {
    // 50 frames asked as 100; a "data" chunk claiming 2 GB in a file of 1 KB;
    // a negative count (read unsigned) meaning the whole file.
    const std::string short50 = watched("fifty.wav");
    dir.write("fifty.wav", handMadeWave(1, 50, 100));
    const std::string lying = watched("lying.wav");
    dir.write("lying.wav", handMadeWave(2, 250, 2000000000u));
    const std::string whole = soxFile("whole.wav", 16, 1, 0.01);
    auto client = newClient();
    load(*client, {{short50, 100}, {lying, INT32_MAX}, {whole, -1}});
    EXPECT_EQ(framesHeld(short50), 50);
    EXPECT_EQ(framesHeld(lying), 250);
    EXPECT_EQ(framesHeld(lying, 1), 250);
    EXPECT_EQ(framesHeld(whole), 441);
}

TEST_F(LoadingPipelineTest, FilesThatCannotBeHeldEndWithoutSegments) {
    const std::string missing = watched("missing.wav");
    const std::string junk = watched("junk.wav");
    dir.write("junk.wav", "this is no sample file");
    const std::string threeChannels = soxFile("three.wav", 16, 3, 0.05);
    const std::string good = soxFile("good.wav", 16, 2, 0.05);
    auto client = newClient();
    load(*client, {{missing, 100}, {junk, 100}, {threeChannels, INT32_MAX}, {good, INT32_MAX}});
    EXPECT_EQ(framesHeld(missing), -1);
    EXPECT_EQ(framesHeld(junk), -1);
    EXPECT_EQ(framesHeld(threeChannels), -1);
    EXPECT_EQ(framesHeld(good), 2205);
    EXPECT_TRUE(client->isConnected());
}

TEST_F(LoadingPipelineTest, AContainerMemberLoads) {
    const std::string source = soxFile("source.wav", 16, 2, 0.05);
    const std::string bytes = rhtest::readFile(source);
    dir.write("Lib/Strings.db",
              rhtest::container({"<FileSystem>",
                                 "<FILE name=\"cello.wav\" offset=\"7\" size=\"" + std::to_string(bytes.size()) + "\"/>",
                                 "</FileSystem>"},
                                "PADDING" + bytes + "TRAILER"));
    const std::string member = watched("Lib/Strings/cello.wav");
    auto client = newClient();
    load(*client, {{member, INT32_MAX}});
    const std::vector<float> reference = referenceDecode(source);
    SampleFileAttachment right;
    ASSERT_EQ(SampleFileClient::attachSampleFile(member, 1, 2205, &right), 0);
    EXPECT_EQ(right.samples()[100], reference[201]);
}

TEST_F(LoadingPipelineTest, SharedFilesKeepTheirFirstFrameCountAndGoWhenUnused) {
    const std::string shared = soxFile("shared.wav", 16, 1, 0.05);
    const std::string own = soxFile("own.wav", 16, 1, 0.05);
    auto first = newClient();
    load(*first, {{shared, 30}, {own, INT32_MAX}});
    auto second = newClient();
    load(*second, {{shared, 100}});
    EXPECT_EQ(framesHeld(shared), 30) << "a file already held keeps the frame count it was made with";

    // The first client drops both: the shared file stays for the second,
    // the other goes at once.
    ASSERT_EQ(first->sendSampleFileList({}), 0);
    EXPECT_EQ(progressOf(*first), 0);
    EXPECT_EQ(framesHeld(own), -1);
    EXPECT_EQ(framesHeld(shared), 30);
}

TEST_F(LoadingPipelineTest, ProgressCountsAFileStillConverting) {
    const std::string release = dir.file("release");
    rhtest::ScopedEnv stage("RH_TEST_STALL_STAGE", "1");
    rhtest::ScopedEnv match("RH_TEST_STALL_MATCH", "slow");
    rhtest::ScopedEnv releaseEnv("RH_TEST_STALL_RELEASE", release);
    const std::string a = soxFile("a.wav", 16, 1, 0.05);
    const std::string b = soxFile("b.wav", 16, 1, 0.05);
    const std::string slow = soxFile("slow.wav", 16, 1, 0.05);
    auto client = newClient();
    ASSERT_EQ(client->sendSampleFileList({{a, 100}, {b, 100}, {slow, 100}}), 0);
    EXPECT_TRUE(waitUntil([&] { return framesHeld(a) == 100 && framesHeld(b) == 100; }, 10.0));
    srvtest::sleepSeconds(0.2);
    EXPECT_EQ(progressOf(*client), 1);
    dir.write("release", "");
    EXPECT_TRUE(waitUntil([&] { return progressOf(*client) == 0; }, 10.0));
    EXPECT_EQ(framesHeld(slow), 100);
}

TEST_F(LoadingPipelineTest, EveryClientHearsOnceThatThePassIsOver) {
    const std::string a = soxFile("a.wav", 16, 1, 0.05);
    auto first = newClient();
    auto second = newClient();
    ASSERT_EQ(second->sendSampleFileList({}), 0);
    // A reply on the second client's connection: its registration is done
    // before the first client's list starts the pass.
    ASSERT_EQ(progressOf(*second), 0);
    ASSERT_EQ(first->sendSampleFileList({{a, 100}}), 0);
    EXPECT_TRUE(first->waitForLoadingFinished(0, 10.0));
    EXPECT_TRUE(second->waitForLoadingFinished(0, 10.0));
    srvtest::sleepSeconds(0.3);
    EXPECT_EQ(first->loadingFinishedCount(), 1);
    EXPECT_EQ(second->loadingFinishedCount(), 1);
}

TEST_F(LoadingPipelineTest, TheEndDuringALoadIsPromptAndLeavesNothing) {
    // Long files, so that the clients leave while they are read or converted.
    std::vector<SampleFileClient::Entry> entries;
    std::vector<std::string> paths;
    for (int i = 0; i < 4; i++) {
        paths.push_back(soxFile("long" + std::to_string(i) + ".wav", 16, 2, 20.0));
        entries.push_back({paths.back(), INT32_MAX});
    }
    auto client = newClient();
    ASSERT_EQ(client->sendSampleFileList(entries), 0);
    const pid_t server = srvtest::serverPid();
    ASSERT_GT(server, 0);
    srvtest::sleepSeconds(0.05);
    const auto start = Clock::now();
    ASSERT_EQ(client->leave(), 0);
    EXPECT_TRUE(waitUntil([&] { return !srvtest::processAlive(server); }, 10.0));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.5) << "the end waited for a whole load";
    EXPECT_FALSE(anySegmentLeft(paths));
}

TEST_F(LoadingPipelineTest, AStuckReadDoesNotKeepTheProcessAlive) {
    // One file converted, one stuck in "reading" for ever, as on a dead mount.
    rhtest::ScopedEnv stage("RH_TEST_STALL_STAGE", "0");
    rhtest::ScopedEnv match("RH_TEST_STALL_MATCH", "stuck");
    const std::string done = soxFile("done.wav", 16, 2, 0.05);
    const std::string stuck = soxFile("stuck.wav", 16, 2, 0.05);
    auto client = newClient();
    ASSERT_EQ(client->sendSampleFileList({{done, INT32_MAX}, {stuck, INT32_MAX}}), 0);
    ASSERT_TRUE(waitUntil([&] { return framesHeld(done) == 2205; }, 10.0));
    EXPECT_EQ(progressOf(*client), 1);
    const pid_t server = srvtest::serverPid();
    ASSERT_GT(server, 0);
    ASSERT_EQ(client->leave(), 0);
    // The port and the names go at once; the process within its bound.
    EXPECT_TRUE(srvtest::waitUntilNotServing(1.0));
    EXPECT_FALSE(anySegmentLeft({done, stuck}));
    EXPECT_TRUE(waitUntil([&] { return !srvtest::processAlive(server); }, 10.0)) << "a stuck job kept the process";
}

}  // namespace
