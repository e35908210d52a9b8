// The disk reader and the conversion jobs in process, so that the thread
// sanitizer sees them: several files read and converted on the pool while
// this thread, as the serving thread would, asks for states and reclaims.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ClientInfoList.h"
#include "DiskReader.h"
#include "RhThreadPool.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SegmentSupport.h"
#include "TestSupport.h"

namespace {

void appendLE(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// A 16-bit WAVE file whose sample i (interleaved) is `seed` + i.
std::string rampWave(int channels, int frames, int seed) {
    std::string samples;
    for (int i = 0; i < frames * channels; i++)
        appendLE(samples, static_cast<uint32_t>(static_cast<int16_t>(seed + i)), 2);
    std::string body = "WAVEfmt ";
    appendLE(body, 16, 4);
    appendLE(body, 1, 2);
    appendLE(body, static_cast<uint32_t>(channels), 2);
    appendLE(body, 44100, 4);
    appendLE(body, 44100u * 2u * static_cast<uint32_t>(channels), 4);
    appendLE(body, static_cast<uint32_t>(2 * channels), 2);
    appendLE(body, 16, 2);
    body += "data";
    appendLE(body, static_cast<uint32_t>(samples.size()), 4);
    body += samples;
    std::string file = "RIFF";
    appendLE(file, static_cast<uint32_t>(body.size()), 4);
    return file + body;
}

TEST(PipelineInProcessTest, ReaderAndConversionsFillEverySegment) {
    rhtest::TempDir dir;
    rhtest::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", dir.path());
    srvtest::SegmentSweeper sweeper;
    // Destroying a server ends the process: this one stays until exit.
    static SampleFileServer* server = new SampleFileServer(3600.0, 3600.0);
    ASSERT_NE(server->diskReader, nullptr);

    static ClientInfo client("c.ClientManager");
    constexpr int kFiles = 8;
    constexpr int kFrames = 3000;
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; i++) {
        paths.push_back(sweeper.watch(dir.write("f" + std::to_string(i) + ".wav", rampWave(1 + i % 2, kFrames, i * 100))));
        auto* info = new SampleFileInfo(server);
        info->path = paths.back().c_str();
        info->frameCount = UINT32_MAX;
        info->getClientSlot(&client, 1);
        std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
        int insertPos = -1;
        ASSERT_EQ(server->sampleFileList.findSampleFileByName(info->path.getText(), 1, insertPos), nullptr);
        ASSERT_EQ(server->sampleFileList.insertSampleFile(info, insertPos), 1);
    }
    {
        std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
        server->diskReader->isRunning = 1;
    }
    ASSERT_EQ(ThreadPool::submitJob(server, DiskReader::diskReaderStaticThreadFunction, kThreadPriorityNormal,
                                    kThreadSubPool0, 0, 1),
              1);
    // Meanwhile, what the serving thread does: count and reclaim (which
    // keeps every entry here: each has a client).
    bool done = false;
    for (int round = 0; round < 20000 && !done; round++) {
        server->reclaimResources();
        std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
        int finished = 0;
        for (int i = 0; i < server->sampleFileList.getCount(); i++)
            finished += server->sampleFileList.getSampleFile(i)->loadState == kLoadFinished;
        done = server->diskReader->isRunning == 0 && finished == server->sampleFileList.getCount();
        if (!done)
            usleep(500);
    }
    ASSERT_TRUE(done);
    std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
    ASSERT_EQ(server->sampleFileList.getCount(), kFiles);
    for (int i = 0; i < kFiles; i++) {
        SampleFileInfo* info = server->sampleFileList.getSampleFile(i);
        SCOPED_TRACE(info->path.getText());
        const int channels = 1 + i % 2;
        const int seed = i * 100;
        EXPECT_EQ(info->frameCount, static_cast<uint32_t>(kFrames));
        for (int c = 0; c < 2; c++) {
            ASSERT_EQ(info->channelData[c] != nullptr, c < channels);
            EXPECT_EQ(info->segmentFds[c], -1) << "descriptors are closed once converted";
            if (c >= channels)
                continue;
            int wrong = 0;
            for (int f = 0; f < kFrames; f++)
                wrong += info->channelData[c][f] != static_cast<float>(seed + f * channels + c) / 32768.0f;
            EXPECT_EQ(wrong, 0) << "channel " << c;
        }
    }
}

}  // namespace
