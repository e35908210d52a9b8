// The server's entries going away, in process: reclamation spares entries
// that a client uses or a job works on, and terminateSelf lets jobs that
// touch entries end before it destroys the entries and unlinks their
// segments, from whichever thread it runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ClientInfoList.h"
#include "RhThreadPool.h"
#include "RunLoop.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SampleFileSharedmemSegment.h"
#include "SegmentSupport.h"
#include "TestSupport.h"

namespace {

using Segment = SampleFileSharedmemSegment;

// Adds an entry for `path` in `state`; with frames above 0 it gets a real
// channel-0 segment of that many frames, as a loaded file has.
SampleFileInfo* addEntry(SampleFileServer* server, const std::string& path, int32_t state, int frames) {
    auto* info = new SampleFileInfo(server);
    info->path = path.c_str();
    info->loadState = state;
    info->frameCount = static_cast<uint32_t>(frames);
    if (frames > 0) {
        int fd = -1;
        RhString name;
        void* base = Segment::createSharedMemSegment(&info->path, 0, frames, fd, &name, 0);
        EXPECT_NE(base, nullptr) << path;
        if (base != nullptr) {
            Segment::releaseSharedMemSegment(Segment::kReleaseCloseDescriptor, &name, frames, base, fd);
            info->segmentNames[0] = name;
            info->channelData[0] = Segment::samplesOf(base);
        }
    }
    std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
    int insertPos = -1;
    EXPECT_EQ(server->sampleFileList.findSampleFileByName(path.c_str(), 1, insertPos), nullptr);
    EXPECT_EQ(server->sampleFileList.insertSampleFile(info, insertPos), 1);
    return info;
}

std::vector<std::string> heldPaths(SampleFileServer* server) {
    std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
    std::vector<std::string> paths;
    for (int i = 0; i < server->sampleFileList.getCount(); i++)
        paths.emplace_back(server->sampleFileList.getSampleFile(i)->path.getText());
    return paths;
}

class ServerLifetimeTest : public ::testing::Test {
protected:
    std::string samplePath(const std::string& name) { return sweeper.watch(dir.file(name)); }

    rhtest::TempDir dir;  // also the port folder's home
    rhtest::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", dir.path()};
    srvtest::SegmentSweeper sweeper;
};

TEST_F(ServerLifetimeTest, ReclaimReleasesOnlyUnusedEntriesThatNoJobWorksOn) {
    // Destroying a server ends the process: this one stays (reachable) until exit.
    static SampleFileServer* server = new SampleFileServer(3600.0, 3600.0);
    ClientInfo client("c.ClientManager");
    const std::string queuedFree = samplePath("a-queued-free.wav");
    const std::string queuedUsed = samplePath("b-queued-used.wav");
    const std::string reading = samplePath("c-reading.wav");
    const std::string converting = samplePath("d-converting.wav");
    const std::string finished = samplePath("e-finished.wav");
    addEntry(server, queuedFree, kLoadQueued, 0);
    addEntry(server, queuedUsed, kLoadQueued, 0)->getClientSlot(&client, 1);
    SampleFileInfo* readingEntry = addEntry(server, reading, kLoadReading, 0);
    SampleFileInfo* convertingEntry = addEntry(server, converting, kLoadConverting, 100);
    addEntry(server, finished, kLoadFinished, 100);
    ASSERT_TRUE(srvtest::segmentExists(srvtest::segmentName(finished)));

    server->reclaimResources();
    EXPECT_EQ(heldPaths(server), (std::vector<std::string>{queuedUsed, reading, converting}));
    EXPECT_FALSE(srvtest::segmentExists(srvtest::segmentName(finished)));
    EXPECT_TRUE(srvtest::segmentExists(srvtest::segmentName(converting)));

    // Once the jobs are done and the client is gone, a later call takes the rest.
    {
        std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
        readingEntry->loadState = kLoadFinished;
        convertingEntry->loadState = kLoadFinished;
        for (int i = 0; i < server->sampleFileList.getCount(); i++)
            server->sampleFileList.getSampleFile(i)->releaseClientSlot(&client);
    }
    server->reclaimResources();
    EXPECT_TRUE(heldPaths(server).empty());
    EXPECT_FALSE(srvtest::segmentExists(srvtest::segmentName(converting)));
}

// ---- terminateSelf while a job writes into a segment ----

// The entry that the writer job works on, and whether it has begun.
struct WriterJob {
    SampleFileInfo* info = nullptr;
    std::atomic<int> started{0};
};
WriterJob sWriter;

// Writes into its entry's segment until the server ends; then, after a pause
// long enough for an entry destroyed under it to be unmapped, writes once
// more: that write would crash the process had terminateSelf not waited.
void* segmentWriterJob(void* argument) {
    auto* job = static_cast<WriterJob*>(argument);
    if (!SampleFileServer::beginEntryJob())
        return nullptr;
    float* samples = job->info->channelData[0];
    const uint32_t frames = job->info->frameCount;
    job->started.store(1);
    for (uint32_t i = 0; !SampleFileServer::isTerminating(); i++) {
        samples[i % frames] += 1.0f;
        usleep(50);
    }
    usleep(200000);
    samples[frames - 1] = -1.0f;
    fprintf(stderr, "writer stopped; a new entry job %s\n",
            SampleFileServer::beginEntryJob() != 0 ? "began" : "was refused");
    SampleFileServer::endEntryJob();
    return nullptr;
}

void* terminateJob(void* server) {
    static_cast<SampleFileServer*>(server)->terminateSelf();
}

// terminateSelf from inside an entry job: it must not wait for itself.
void* terminateInsideEntryJob(void* server) {
    if (SampleFileServer::beginEntryJob())
        static_cast<SampleFileServer*>(server)->terminateSelf();
    return nullptr;
}

enum class Caller { kThisThread, kPoolJob, kEntryJob };

[[noreturn]] void terminateWhileWriting(const std::string& path, Caller caller) {
    gSampleFileServer = new SampleFileServer(3600.0, 3600.0);
    sWriter.info = addEntry(gSampleFileServer, path, kLoadConverting, 1000);
    ThreadPool::submitJob(&sWriter, segmentWriterJob, kThreadPriorityHigh, kThreadSubPool0, 0, 1);
    while (sWriter.started.load() == 0)
        usleep(1000);
    usleep(20000);
    if (caller == Caller::kThisThread)
        gSampleFileServer->terminateSelf();
    ThreadPool::submitJob(gSampleFileServer, caller == Caller::kPoolJob ? terminateJob : terminateInsideEntryJob,
                          kThreadPriorityNormal, kThreadSubPool0, 0, 1);
    for (;;)
        pause();
}

TEST_F(ServerLifetimeTest, TerminationWaitsForEntryJobsThenUnlinksTheSegments) {
    const struct {
        const char* what;
        Caller caller;
    } cases[] = {
        {"serving thread", Caller::kThisThread},
        {"pool job", Caller::kPoolJob},
        {"inside an entry job", Caller::kEntryJob},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = samplePath(std::string(c.what) + ".wav");
        EXPECT_EXIT(terminateWhileWriting(path, c.caller), ::testing::ExitedWithCode(0),
                    "writer stopped; a new entry job was refused");
        EXPECT_FALSE(srvtest::segmentExists(srvtest::segmentName(path)));
    }
}

// ---- The serving loop giving up ----

// The loop returns without anyone having ended the server, as after a failed
// wait: the process must still end through terminateSelf.
[[noreturn]] void returnFromTheLoopUnended(const std::string& path) {
    gSampleFileServer = new SampleFileServer(3600.0, 3600.0);
    addEntry(gSampleFileServer, path, kLoadFinished, 100);
    platform::RunLoop::current().stop();  // run() returns at once
    gSampleFileServer->runLoop();
    fprintf(stderr, "runLoop returned\n");
    _exit(1);
}

TEST_F(ServerLifetimeTest, ALoopThatGivesUpStillEndsTheServerAndUnlinksItsSegments) {
    const std::string path = samplePath("loop.wav");
    EXPECT_EXIT(returnFromTheLoopUnended(path), ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(srvtest::segmentExists(srvtest::segmentName(path)));
}

}  // namespace
