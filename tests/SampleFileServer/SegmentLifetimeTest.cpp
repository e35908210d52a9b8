// Loaded files and the lives of the clients that use them, with the real
// server process: the test build whose stand-in loader turns every queued
// file into a one-channel segment and whose status polls come every second,
// and sfclient processes as clients that can be killed or stopped.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SampleFileClient.h"
#include "SampleFileServerMessages.h"
#include "SegmentSupport.h"
#include "ServerProcessSupport.h"
#include "TestSupport.h"

#ifndef QUILLORANTICS_TEST_LOADER_SERVER_PATH
#error "QUILLORANTICS_TEST_LOADER_SERVER_PATH must name the server built with the stand-in loader"
#endif
#ifndef SFCLIENT_PATH
#error "SFCLIENT_PATH must name the sfclient executable"
#endif

namespace {

using srvtest::Clock;
using srvtest::segmentExists;
using srvtest::segmentName;

constexpr int kFrames = 100;

// True once `condition` holds, within `seconds`.
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

class SegmentLifetimeTest : public ::testing::Test {
protected:
    // A sample path in this test's folder (the file itself is never read),
    // its segment names removed at the end whatever happens.
    std::string samplePath(const std::string& name) { return segments.watch(runtimeDir.file(name)); }

    void startServer() {
        ASSERT_TRUE(server.start({QUILLORANTICS_TEST_LOADER_SERVER_PATH}, runtimeDir.file("server.log")));
        ASSERT_TRUE(srvtest::waitUntilServing()) << "the server did not start serving";
    }

    // Starts `sfclient load --hold` with `paths` and waits until none of
    // them is left to load. Null (and a failure) when that does not happen.
    srvtest::ChildProcess* startHoldingClient(const std::vector<std::string>& paths) {
        std::vector<std::string> argv = {SFCLIENT_PATH, "load", "--hold", "--no-check", "--frames", std::to_string(kFrames)};
        argv.insert(argv.end(), paths.begin(), paths.end());
        const std::string out = runtimeDir.file("client-" + std::to_string(clients.size()));
        clients.push_back(std::make_unique<srvtest::ChildProcess>());
        if (!clients.back()->start(argv, out)) {
            ADD_FAILURE() << "could not start sfclient";
            return nullptr;
        }
        if (!waitUntil([&] { return rhtest::readFile(out).find("Nothing left to load.") != std::string::npos; }, 5.0)) {
            ADD_FAILURE() << "the client's files were not loaded: " << rhtest::readFile(out);
            return nullptr;
        }
        return clients.back().get();
    }

    bool serverRuns() { return !server.waitExit(0.0).has_value(); }

    void TearDown() override {
        const std::string log = rhtest::readFile(runtimeDir.file("server.log"));
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    }

    // Torn down in reverse: clients and server are killed before the
    // segments are swept and the folders removed.
    rhtest::TempDir runtimeDir;
    rhtest::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtimeDir.path()};
    srvtest::SegmentSweeper segments;
    srvtest::ServerSweeper sweeper;
    srvtest::ChildProcess server;
    std::vector<std::unique_ptr<srvtest::ChildProcess>> clients;
};

TEST_F(SegmentLifetimeTest, KilledClientsReleaseOnlyUnsharedFilesAndTheLastEndsTheServer) {
    startServer();
    const std::string shared = samplePath("shared.wav");
    const std::string own = samplePath("own.wav");
    srvtest::ChildProcess* first = startHoldingClient({shared, own});
    ASSERT_NE(first, nullptr);
    srvtest::ChildProcess* second = startHoldingClient({shared});
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(segmentExists(segmentName(shared)));
    ASSERT_TRUE(segmentExists(segmentName(own)));

    // Leaving under a name that is not registered changes nothing.
    std::string reply;
    std::string stranger(kClientNameBytes, '\0');
    stranger.replace(0, 8, "stranger");
    ASSERT_EQ(srvtest::request(kCtoS_UnregisterClient, stranger, &reply), 0);
    EXPECT_TRUE(serverRuns());
    EXPECT_TRUE(segmentExists(segmentName(own)));

    first->kill();
    EXPECT_TRUE(waitUntil([&] { return !segmentExists(segmentName(own)); }, 3.0))
        << "the killed client's own file was kept";
    EXPECT_TRUE(segmentExists(segmentName(shared))) << "a file that another client uses was released";
    EXPECT_TRUE(serverRuns());

    second->kill();
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value()) << "the server outlived its last client";
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(segmentExists(segmentName(shared)));
}

TEST_F(SegmentLifetimeTest, APollRemovesOnlyTheClientThatStoppedAnswering) {
    startServer();
    std::vector<std::string> files;
    std::vector<srvtest::ChildProcess*> held;
    for (int i = 0; i < 3; i++) {
        files.push_back(samplePath("file" + std::to_string(i) + ".wav"));
        held.push_back(startHoldingClient({files.back()}));
        ASSERT_NE(held.back(), nullptr);
    }
    held[1]->signal(SIGSTOP);  // killed (while stopped) at the end of the test
    // First poll 2 s after start; the silent client gets 5 s to answer.
    EXPECT_TRUE(waitUntil([&] { return !segmentExists(segmentName(files[1])); }, 10.0))
        << "the stopped client was not removed";
    EXPECT_TRUE(segmentExists(segmentName(files[0])));
    EXPECT_TRUE(segmentExists(segmentName(files[2])));
    EXPECT_TRUE(serverRuns());
    EXPECT_FALSE(held[0]->waitExit(0.0).has_value()) << "a client that answers should have stayed";
    EXPECT_FALSE(held[2]->waitExit(0.0).has_value()) << "a client that answers should have stayed";

    held[0]->kill();
    held[2]->kill();
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
}

TEST_F(SegmentLifetimeTest, AClientAttachesToItsLoadedFile) {
    startServer();
    const std::string path = samplePath("attached.wav");
    SampleFileClient::Options options;
    options.startServer = false;
    options.connectSeconds = 2.0;
    SampleFileClient client(options);
    ASSERT_EQ(client.connect(), 0);
    const int seen = client.loadingFinishedCount();
    ASSERT_EQ(client.sendSampleFileList({{path, kFrames}}), 0);
    ASSERT_TRUE(client.waitForLoadingFinished(seen, 5.0));
    int32_t remaining = -1;
    ASSERT_EQ(client.getLoadProgress(&remaining), 0);
    EXPECT_EQ(remaining, 0);

    SampleFileAttachment attachment;
    ASSERT_EQ(SampleFileClient::attachSampleFile(path, 0, kFrames, &attachment), 0);
    EXPECT_EQ(attachment.storedPath(), path);
    EXPECT_EQ(attachment.frameCount(), kFrames);
    EXPECT_EQ(attachment.segmentName(), segmentName(path));
    SampleFileAttachment wrong;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SampleFileClient::attachSampleFile(path, 0, kFrames + 1, &wrong),
              SampleFileClient::kClientFrameCountMismatch);
    EXPECT_EQ(SampleFileClient::attachSampleFile(path, 1, kFrames, &wrong), SampleFileClient::kClientNoSegment);
    testing::internal::GetCapturedStdout();

    // The server ends with its last client and unlinks the segment; the
    // client's mapping stays readable.
    ASSERT_EQ(client.leave(), 0);
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(segmentExists(segmentName(path)));
    EXPECT_EQ(attachment.samples()[kFrames - 1], 0.0f);
}

// The frame count in the header of the segment object `name` (-1 when it
// cannot be read).
int32_t headerFrames(const std::string& name) {
    int fd = shm_open(srvtest::objectName(name).c_str(), O_RDONLY, 0);
    if (fd < 0)
        return -1;
    SampleFileSegmentHeader header{};
    const bool read = pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    close(fd);
    return read ? header.frameCount : -1;
}

TEST_F(SegmentLifetimeTest, SignalsThatEndASessionEndTheServerCleanly) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        startServer();
        const std::string path = samplePath("signal" + std::to_string(sig) + ".wav");
        srvtest::ChildProcess* client = startHoldingClient({path});
        ASSERT_NE(client, nullptr);
        ASSERT_TRUE(segmentExists(segmentName(path)));
        server.signal(SIGPIPE);  // ignored
        EXPECT_TRUE(serverRuns());
        server.signal(sig);
        std::optional<int> status = server.waitExit(5.0);
        ASSERT_TRUE(status.has_value()) << "the server outlived the signal";
        EXPECT_EQ(*status, 0);
        EXPECT_FALSE(segmentExists(segmentName(path))) << "a segment outlived the server";
        EXPECT_TRUE(rhtest::readFile(srvtest::socketPathOf(SampleFileServerUtilities::kServerManagerPortName)).empty());
        EXPECT_EQ(access(srvtest::socketPathOf(SampleFileServerUtilities::kServerManagerPortName).c_str(), F_OK), -1);
        client->kill();
    }
}

TEST_F(SegmentLifetimeTest, LeftoversOfAKilledServerAndZeroedHeadersAreReplaced) {
    startServer();
    const std::string path = samplePath("left.wav");
    srvtest::ChildProcess* client = startHoldingClient({path});
    ASSERT_NE(client, nullptr);
    server.kill();  // no chance to clean up
    client->kill();
    ASSERT_TRUE(segmentExists(segmentName(path)));
    ASSERT_EQ(headerFrames(segmentName(path)), kFrames);

    // A zeroed header, as a kill between sizing and writing it leaves.
    const std::string zeroed = samplePath("zeroed.wav");
    {
        int fd = shm_open(srvtest::objectName(segmentName(zeroed)).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 8192), 0);
        close(fd);
    }

    server.waitExit(0.0);
    startServer();
    SampleFileClient::Options options;
    options.startServer = false;
    SampleFileClient again(options);
    ASSERT_EQ(again.connect(), 0);
    const int seen = again.loadingFinishedCount();
    ASSERT_EQ(again.sendSampleFileList({{path, 50}, {zeroed, 60}}), 0);
    ASSERT_TRUE(again.waitForLoadingFinished(seen, 5.0));
    for (const auto& [file, frames] : {std::pair<std::string, int>{path, 50}, {zeroed, 60}}) {
        SampleFileAttachment attachment;
        EXPECT_EQ(SampleFileClient::attachSampleFile(file, 0, frames, &attachment), 0) << file;
        EXPECT_EQ(attachment.segmentName(), segmentName(file)) << "a fresh segment under the first name";
    }
}

TEST_F(SegmentLifetimeTest, ServersOfTwoPortFoldersNeverShareSegments) {
    const std::string path = samplePath("both.wav");  // the same file for both
    startServer();
    srvtest::ChildProcess* first = startHoldingClient({path});
    ASSERT_NE(first, nullptr);
    const std::string firstObject = srvtest::objectName(segmentName(path));

    rhtest::TempDir otherRuntime;
    std::string secondObject;
    srvtest::ChildProcess otherServer;
    srvtest::ChildProcess otherClient;
    {
        rhtest::ScopedEnv otherEnv("XDG_RUNTIME_DIR", otherRuntime.path());
        secondObject = srvtest::objectName(segmentName(path));
        segments.watchObject(secondObject);
        ASSERT_TRUE(otherServer.start({QUILLORANTICS_TEST_LOADER_SERVER_PATH}));
        ASSERT_TRUE(srvtest::waitUntilServing());
        const std::string out = otherRuntime.file("client");
        ASSERT_TRUE(otherClient.start({SFCLIENT_PATH, "load", "--hold", "--no-check", "--frames", "30", path}, out));
        ASSERT_TRUE(waitUntil([&] { return rhtest::readFile(out).find("Nothing left to load.") != std::string::npos; },
                              5.0));
    }
    EXPECT_NE(secondObject, firstObject);
    auto exists = [](const std::string& object) { return access(("/dev/shm" + object).c_str(), F_OK) == 0; };
    EXPECT_TRUE(exists(firstObject));
    EXPECT_TRUE(exists(secondObject));
    EXPECT_EQ(headerFrames(segmentName(path)), kFrames) << "the first server's segment was touched";

    // The first server ends with its client and takes only its own segment along.
    first->kill();
    ASSERT_TRUE(server.waitExit(3.0).has_value());
    EXPECT_FALSE(exists(firstObject));
    EXPECT_TRUE(exists(secondObject));
    otherClient.kill();
    ASSERT_TRUE(otherServer.waitExit(3.0).has_value());
    EXPECT_FALSE(exists(secondObject));
}

}  // namespace
