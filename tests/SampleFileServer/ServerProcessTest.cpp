// The real server process, driven through its port: start and end, the
// message records, bad messages, chunked lists, stalled and foreign peers.
// Every test has a port folder of its own and ends any server it started.
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SampleFileClient.h"
#include "SampleFileServer.h"
#include "SampleFileServerMessages.h"
#include "ServerProcessSupport.h"
#include "TestSupport.h"

#ifndef QUILLORANTICS_SERVER_PATH
#error "QUILLORANTICS_SERVER_PATH must name the server executable"
#endif
#ifndef QUILLORANTICS_TEST_LIMITS_SERVER_PATH
#error "QUILLORANTICS_TEST_LIMITS_SERVER_PATH must name the server built with low limits"
#endif
#ifndef QUILLORANTICS_TEST_INTERVALS_SERVER_PATH
#error "QUILLORANTICS_TEST_INTERVALS_SERVER_PATH must name the server built with short poll intervals"
#endif

namespace {

using srvtest::Clock;

constexpr double kTestFirstPollSeconds = 1.0;  // as built into the test-intervals server

// A record of `size` bytes whose name field holds `name` (NUL-terminated
// when it fits).
std::string nameRecord(const std::string& name, size_t size) {
    std::string data(size, '\0');
    memcpy(&data[0], name.data(), std::min(name.size(), size));
    return data;
}

// One chunk of message 3; entryCountField overrides the count written.
std::string listChunk(const std::string& name, int32_t listId, bool final, const std::vector<std::string>& paths,
                      int32_t entryCountField = -2) {
    CtoS_ReplyListOfSampleFilesInUseByClient_MessageData fixed;
    memset(&fixed, 0, sizeof fixed);
    memcpy(fixed.clientName, name.data(), std::min(name.size(), sizeof fixed.clientName));
    fixed.listId = listId;
    fixed.isFinalChunk = final ? 1 : 0;
    fixed.wireDownSegments = 0;
    fixed.entryCount = entryCountField != -2 ? entryCountField : static_cast<int32_t>(paths.size());
    for (size_t i = 0; i < paths.size() && i < 300; i++)
        fixed.frameCounts[i] = 1000;
    std::string data(reinterpret_cast<const char*>(&fixed), sizeof fixed);
    for (const std::string& path : paths) {
        data += path;
        data += '\0';
    }
    return data;
}

std::vector<std::string> manyPaths(const std::string& stem, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; i++)
        paths.push_back("/nowhere/" + stem + std::to_string(i) + ".wav");
    return paths;
}

std::vector<SampleFileClient::Entry> entriesOf(const std::vector<std::string>& paths) {
    std::vector<SampleFileClient::Entry> entries;
    for (const std::string& path : paths)
        entries.push_back({path, 1000});
    return entries;
}

// A request frame as docs/protocol.md describes it.
std::string requestFrame(int32_t messageId, const std::string& data, bool wantReply) {
    unsigned char head[20];
    memcpy(head, "QPRT", 4);
    const uint16_t version = 1;
    memcpy(head + 4, &version, 2);
    head[6] = 1;
    head[7] = wantReply ? 1 : 0;
    memcpy(head + 8, &messageId, 4);
    const uint32_t sequence = 1;
    memcpy(head + 12, &sequence, 4);
    const uint32_t length = static_cast<uint32_t>(data.size());
    memcpy(head + 16, &length, 4);
    return std::string(reinterpret_cast<const char*>(head), sizeof head) + data;
}

class ServerProcessTest : public ::testing::Test {
protected:
    // The progress that the server reports for `name`; -1 when it does not answer.
    static int32_t progressOf(const std::string& name) {
        int32_t remaining = -1;
        if (SampleFileClient::getLoadProgressOf(name, &remaining, 2.0f) != 0)
            return -1;
        return remaining;
    }

    void startServer(const char* executable = QUILLORANTICS_SERVER_PATH) {
        ASSERT_TRUE(server.start({executable}, serverLog()));
        ASSERT_TRUE(srvtest::waitUntilServing()) << "the server did not start serving";
    }

    // Whatever the server wrote; a sanitizer report there fails the test.
    std::string serverLog() const { return runtimeDir.file("server.log"); }

    void TearDown() override {
        const std::string log = rhtest::readFile(serverLog());
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    }

    static SampleFileClient::Options clientOptions() {
        SampleFileClient::Options options;
        options.serverExecutable = QUILLORANTICS_SERVER_PATH;
        options.startServer = false;
        options.connectSeconds = 2.0;
        return options;
    }

    rhtest::TempDir runtimeDir;
    rhtest::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtimeDir.path()};
    srvtest::ServerSweeper sweeper;
    srvtest::ChildProcess server;
};

TEST_F(ServerProcessTest, SecondServerEndsAtOnceWhileTheFirstKeepsServing) {
    startServer();
    srvtest::ChildProcess second;
    ASSERT_TRUE(second.start({QUILLORANTICS_SERVER_PATH}));
    std::optional<int> status = second.waitExit(3.0);
    ASSERT_TRUE(status.has_value()) << "the second server did not end";
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(server.waitExit(0.0).has_value());
    EXPECT_EQ(srvtest::serverPid(), server.pid());
    EXPECT_EQ(progressOf("someone"), 0);
}

TEST_F(ServerProcessTest, StaleSocketFileDoesNotBlockANewServer) {
    const std::string path = srvtest::socketPathOf(SampleFileServerUtilities::kServerManagerPortName);
    ASSERT_FALSE(path.empty());
    {
        // A socket file whose server died: bound, never unlinked.
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr;
        memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.c_str(), path.size());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(fd, 1), 0);
        close(fd);
    }
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    ASSERT_TRUE(S_ISSOCK(st.st_mode));
    startServer();
    EXPECT_EQ(srvtest::serverPid(), server.pid());
    EXPECT_EQ(progressOf("someone"), 0);
}

TEST_F(ServerProcessTest, RegisterSendListsAskProgressLeaveAndTheServerExits) {
    startServer();
    {
        SampleFileClient client(clientOptions());
        ASSERT_EQ(client.connect(), 0);
        // A path named twice is held once.
        ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/b.wav", "/x/a.wav", "/x/b.wav", "/x/c.wav"})), 0);
        EXPECT_EQ(progressOf(client.name()), 3);
        int32_t remaining = -1;
        ASSERT_EQ(client.getLoadProgress(&remaining), 0);
        EXPECT_EQ(remaining, 3);
        // A new list replaces the old one.
        ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/a.wav"})), 0);
        EXPECT_EQ(progressOf(client.name()), 1);
        // Pausing changes nothing of the lists.
        ASSERT_EQ(client.pauseOrResumeServer(1), 0);
        ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/a.wav", "/x/d.wav"})), 0);
        EXPECT_EQ(progressOf(client.name()), 2);
        ASSERT_EQ(client.pauseOrResumeServer(0), 0);
        ASSERT_EQ(client.sendSampleFileList({}), 0);
        EXPECT_EQ(progressOf(client.name()), 0);
        ASSERT_EQ(client.leave(), 0);
    }
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value()) << "the server did not end with its last client";
    EXPECT_EQ(*status, 0);
}

TEST_F(ServerProcessTest, TheServerEndsOnlyWithItsLastClient) {
    startServer();
    SampleFileClient first(clientOptions());
    SampleFileClient second(clientOptions());
    ASSERT_EQ(first.connect(), 0);
    ASSERT_EQ(second.connect(), 0);
    ASSERT_EQ(first.sendSampleFileList(entriesOf({"/x/1.wav", "/x/2.wav"})), 0);
    ASSERT_EQ(second.sendSampleFileList(entriesOf({"/x/2.wav", "/x/3.wav"})), 0);
    EXPECT_EQ(progressOf(first.name()), 2);
    EXPECT_EQ(progressOf(second.name()), 2);
    // Leaving under a name that is not registered changes nothing.
    std::string reply;
    ASSERT_EQ(srvtest::request(kCtoS_UnregisterClient, nameRecord("stranger", 256), &reply), 0);
    ASSERT_EQ(first.leave(), 0);
    EXPECT_EQ(progressOf(second.name()), 2);
    EXPECT_FALSE(server.waitExit(0.2).has_value());
    ASSERT_EQ(second.leave(), 0);
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
}

TEST_F(ServerProcessTest, DuplicateAndUnreachableRegistrationsAreDropped) {
    startServer();
    SampleFileClient client(clientOptions());
    ASSERT_EQ(client.connect(), 0);
    ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/a.wav", "/x/b.wav"})), 0);
    ASSERT_EQ(progressOf(client.name()), 2);
    std::string reply;
    // A second registration under the same name, and one under a name that
    // no port serves: had either been taken, the server would outlive the
    // client's leaving (or the first would have lost its list).
    ASSERT_EQ(srvtest::request(kCtoS_RegisterClient, nameRecord(client.name(), 264), &reply), 0);
    EXPECT_EQ(progressOf(client.name()), 2) << "the registration in place is kept as it was";
    ASSERT_EQ(srvtest::request(kCtoS_RegisterClient, nameRecord("4242.0.ClientManager", 264), &reply), 0);
    EXPECT_EQ(progressOf("4242.0.ClientManager"), 0);
    ASSERT_EQ(client.leave(), 0);
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
}

// A "client" whose queue of new connections is full and that never accepts:
// the serving thread must not wait on it while others want answers.
TEST_F(ServerProcessTest, ARegistrationWhosePortNeverAcceptsDoesNotHoldUpOthers) {
    startServer();
    SampleFileClient client(clientOptions());
    ASSERT_EQ(client.connect(), 0);
    const std::string stuck = "stuck.0.ClientManager";
    const std::string path = srvtest::socketPathOf(stuck);
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, path.c_str(), path.size());
    const int fake = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fake, 0);
    ASSERT_EQ(bind(fake, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fake, 0), 0);
    const int filler = srvtest::connectRaw(path);  // takes the one place in its queue
    ASSERT_GE(filler, 0);

    auto serverPort = platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName);
    ASSERT_NE(serverPort, nullptr);
    const std::string registration = nameRecord(stuck, 264);
    ASSERT_EQ(serverPort->sendRequest(kCtoS_RegisterClient, registration.data(), registration.size(), 2.0, 2.0, false),
              0);
    const auto start = Clock::now();
    EXPECT_EQ(progressOf(client.name()), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
    // Not registered: a list under its name changes nothing.
    std::string reply;
    ASSERT_EQ(srvtest::request(kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(stuck, 1, true, {"/x/a.wav"}),
                               &reply), 0);
    EXPECT_EQ(progressOf(stuck), 0);
    close(filler);
    close(fake);
}

TEST_F(ServerProcessTest, UnregisteredNamesGetFourBytesOfZero) {
    startServer();
    for (const std::string& name : {std::string("nobody.ClientManager"), std::string()}) {
        std::string reply = "unset";
        ASSERT_EQ(srvtest::request(kCtoS_GetLoadProgress, nameRecord(name, 256), &reply), 0);
        ASSERT_EQ(reply.size(), 4u);
        int32_t count = -1;
        memcpy(&count, reply.data(), 4);
        EXPECT_EQ(count, 0);
    }
    EXPECT_FALSE(server.waitExit(0.0).has_value());
}

TEST_F(ServerProcessTest, BadMessagesGetNoReplyAndChangeNothing) {
    startServer();
    SampleFileClient client(clientOptions());
    ASSERT_EQ(client.connect(), 0);
    ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/kept1.wav", "/x/kept2.wav"})), 0);
    ASSERT_EQ(progressOf(client.name()), 2);

    const std::string name = client.name();
    const std::string unterminated = name + std::string(256 - name.size(), 'x');  // no NUL in 256 bytes
    const std::vector<std::string> five = manyPaths("new", 5);
    std::string lastPathOpen = listChunk(name, 50, true, five);
    lastPathOpen.pop_back();
    std::string nameOpen = listChunk(name, 51, true, five);
    memcpy(&nameOpen[0], unterminated.data(), 256);
    struct Case {
        const char* what;
        int32_t id;
        std::string data;
    };
    // Each of these would change the client's progress, or end the server,
    // if it were taken.
    const std::vector<Case> cases = {
        {"id 5", 5, nameRecord(name, 1472)},
        {"id -1", -1, nameRecord(name, 1472)},
        {"progress, no data", kCtoS_GetLoadProgress, std::string()},
        {"progress, short", kCtoS_GetLoadProgress, nameRecord(name, 10)},
        {"progress, name without NUL", kCtoS_GetLoadProgress, unterminated},
        {"leave, short", kCtoS_UnregisterClient, nameRecord(name, 255)},
        {"leave, name without NUL", kCtoS_UnregisterClient, unterminated},
        {"register, short", kCtoS_RegisterClient, nameRecord("other.ClientManager", 263)},
        {"pause, short", kCtoS_PauseOrResumeServer, nameRecord(name, 259)},
        {"list, short", kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(name, 52, true, {}).substr(0, 1000)},
        {"list, 301 entries", kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(name, 53, true, manyPaths("n", 301))},
        {"list, negative count", kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(name, 54, true, five, -1)},
        {"list, paths past the end", kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(name, 55, true, five, 6)},
        {"list, last path without NUL", kCtoS_ReplyListOfSampleFilesInUseByClient, lastPathOpen},
        {"list, name without NUL", kCtoS_ReplyListOfSampleFilesInUseByClient, nameOpen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string reply = "unset";
        ASSERT_EQ(srvtest::request(c.id, c.data, &reply), 0);
        EXPECT_EQ(reply, std::string());
        EXPECT_EQ(progressOf(name), 2);
    }
    EXPECT_FALSE(server.waitExit(0.0).has_value());
}

TEST_F(ServerProcessTest, ChunkedListsAreTakenOnlyWithTheFinalChunk) {
    startServer();
    SampleFileClient client(clientOptions());
    ASSERT_EQ(client.connect(), 0);
    const std::string name = client.name();
    ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/old.wav"})), 0);
    ASSERT_EQ(progressOf(name), 1);
    std::string reply;

    // 301 paths as 300 + 1 under one list id: the old list holds until the last chunk.
    const std::vector<std::string> paths = manyPaths("p", 301);
    ASSERT_EQ(srvtest::request(kCtoS_ReplyListOfSampleFilesInUseByClient,
                               listChunk(name, 7, false, std::vector<std::string>(paths.begin(), paths.begin() + 300)),
                               &reply), 0);
    EXPECT_EQ(progressOf(name), 1);
    ASSERT_EQ(srvtest::request(kCtoS_ReplyListOfSampleFilesInUseByClient,
                               listChunk(name, 7, true, {paths[300]}), &reply), 0);
    EXPECT_EQ(progressOf(name), 301);

    // A new list id drops the unfinished chunks of the old one.
    ASSERT_EQ(srvtest::request(kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(name, 8, false, manyPaths("q", 5)),
                               &reply), 0);
    ASSERT_EQ(srvtest::request(kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(name, 9, true, manyPaths("r", 2)),
                               &reply), 0);
    EXPECT_EQ(progressOf(name), 2);

    // The client library chunks by itself.
    ASSERT_EQ(client.sendSampleFileList(entriesOf(manyPaths("s", 601))), 0);
    EXPECT_EQ(progressOf(name), 601);

    // A list longer than the server holds is dropped whole, also the chunks
    // that come after the limit is passed; the previous list stays.
    ASSERT_EQ(client.sendSampleFileList(entriesOf(manyPaths("t", SampleFileServer::kMaxPendingListEntries + 301))),
              SampleFileClient::kClientOverLimit);
    EXPECT_EQ(progressOf(name), 601);
    ASSERT_EQ(client.sendSampleFileList(entriesOf(manyPaths("u", 3))), 0);
    EXPECT_EQ(progressOf(name), 3);
}

// The resident memory of process `pid` in bytes (0 when unknown).
uint64_t residentBytes(pid_t pid) {
    const std::string status = rhtest::readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6)) * 1024;
}

TEST_F(ServerProcessTest, AFloodOfListsIsDroppedAtTheByteLimitsAndMemoryStaysBounded) {
    // The sanitizer's quarantine would keep every freed copy of the flood.
    rhtest::ScopedEnv asan("ASAN_OPTIONS", "quarantine_size_mb=8");
    startServer();
    SampleFileClient client(clientOptions());
    ASSERT_EQ(client.connect(), 0);
    const std::string name = client.name();
    ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/kept.wav"})), 0);
    const uint64_t before = residentBytes(server.pid());
    ASSERT_GT(before, 0u);

    // 400 chunks of 300 paths of 3400 bytes under one list id: 408 MB, far
    // past the 16 MiB that one client's unfinished list may hold.
    std::vector<std::string> longPaths;
    for (int i = 0; i < 300; i++)
        longPaths.push_back("/flood/" + std::to_string(i) + "/" + std::string(3400 - 8 - std::to_string(i).size(), 'f'));
    const std::string chunk = listChunk(name, 77, false, longPaths);
    auto port = platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName);
    ASSERT_NE(port, nullptr);
    for (int i = 0; i < 400; i++)
        ASSERT_EQ(port->sendRequest(kCtoS_ReplyListOfSampleFilesInUseByClient, chunk.data(), chunk.size(), 10.0, 10.0,
                                    false, nullptr), 0) << i;
    std::string reply;
    const std::string last = listChunk(name, 77, true, {"/x/last.wav"});
    ASSERT_EQ(port->sendRequest(kCtoS_ReplyListOfSampleFilesInUseByClient, last.data(), last.size(), 10.0, 10.0, true,
                                &reply), 0);
    ASSERT_EQ(reply.size(), 4u);
    int32_t status;
    memcpy(&status, reply.data(), 4);
    EXPECT_EQ(status, kReplyOverLimit);
    EXPECT_EQ(progressOf(name), 1) << "the previous list stays in force";
    const uint64_t after = residentBytes(server.pid());
    EXPECT_LT(after, before + (uint64_t{64} << 20)) << "resident memory grew from " << before << " to " << after;

    // Several clients whose unfinished lists each stay below their own limit
    // (15 chunks: 15.3 MB) but not below the limit of all together (64 MiB):
    // the fifth list is dropped, the four others are taken.
    std::vector<std::unique_ptr<SampleFileClient>> others;
    for (int c = 0; c < 5; c++) {
        others.push_back(std::make_unique<SampleFileClient>(clientOptions()));
        ASSERT_EQ(others.back()->connect(), 0);
        const std::string otherChunk = listChunk(others.back()->name(), 1, false, longPaths);
        for (int i = 0; i < 15; i++)
            ASSERT_EQ(port->sendRequest(kCtoS_ReplyListOfSampleFilesInUseByClient, otherChunk.data(),
                                        otherChunk.size(), 10.0, 10.0, false, nullptr), 0);
    }
    for (int c = 0; c < 5; c++) {
        const std::string last = listChunk(others[c]->name(), 1, true, {"/x/last.wav"});
        ASSERT_EQ(port->sendRequest(kCtoS_ReplyListOfSampleFilesInUseByClient, last.data(), last.size(), 10.0, 10.0,
                                    true, &reply), 0);
        ASSERT_EQ(reply.size(), 4u);
        memcpy(&status, reply.data(), 4);
        EXPECT_EQ(status, c < 4 ? kReplyTaken : kReplyOverLimit) << "client " << c;
        EXPECT_EQ(progressOf(others[c]->name()), c < 4 ? 301 : 0) << "client " << c;  // 300 distinct paths
    }

    // A small list afterwards is taken.
    EXPECT_EQ(client.sendSampleFileList(entriesOf({"/x/a.wav", "/x/b.wav"})), 0);
    EXPECT_EQ(progressOf(name), 2);
}

TEST_F(ServerProcessTest, RegistrationsAndHeldFilesAreCapped) {
    // This build takes 3 clients, 10 held files and 4096 bytes of their paths.
    startServer(QUILLORANTICS_TEST_LIMITS_SERVER_PATH);
    std::vector<std::unique_ptr<SampleFileClient>> clients;
    for (int i = 0; i < 4; i++)
        clients.push_back(std::make_unique<SampleFileClient>(clientOptions()));
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(clients[i]->connect(), 0) << i;
    EXPECT_EQ(clients[3]->connect(), SampleFileClient::kClientOverLimit);
    EXPECT_EQ(clients[3]->sendSampleFileList(entriesOf({"/x/a.wav"})), SampleFileClient::kClientNotConnected);

    struct Step {
        int client;
        std::vector<std::string> paths;
        int status;
        int32_t progress;  // of that client afterwards
    };
    const std::string long3000(3000, 'l');
    const Step steps[] = {
        {0, manyPaths("a", 8), SampleFileClient::kClientOk, 8},
        {1, manyPaths("a", 10), SampleFileClient::kClientOk, 10},  // 2 new: 10 held
        {2, {"/x/new.wav"}, SampleFileClient::kClientOverLimit, 0},  // an 11th
        {2, manyPaths("a", 3), SampleFileClient::kClientOk, 3},    // held already
        {0, {"/x/" + long3000, "/y/" + long3000}, SampleFileClient::kClientOverLimit, 8},  // path bytes
        {0, {"/x/" + long3000}, SampleFileClient::kClientOverLimit, 8},  // client 1 keeps all 10
        {1, {"/z/b.wav"}, SampleFileClient::kClientOk, 1},         // a list at the limit is replaced: 9
        {0, {"/x/" + long3000}, SampleFileClient::kClientOk, 1},   // its own old 5 go: 5 held
        {2, manyPaths("b", 9), SampleFileClient::kClientOverLimit, 3},  // 2 + 9 would be 11
    };
    for (size_t i = 0; i < std::size(steps); i++) {
        const Step& step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(clients[step.client]->sendSampleFileList(entriesOf(step.paths)), step.status);
        EXPECT_EQ(progressOf(clients[step.client]->name()), step.progress);
    }

    // A registration frees its place when the client leaves.
    ASSERT_EQ(clients[2]->leave(), 0);
    EXPECT_EQ(clients[3]->connect(), 0);
}

TEST_F(ServerProcessTest, AStalledPeerDoesNotDelayOtherClients) {
    startServer();
    const std::string path = srvtest::socketPathOf(SampleFileServerUtilities::kServerManagerPortName);
    // One peer stops inside a frame header, another inside the data.
    int inHeader = srvtest::connectRaw(path);
    int inData = srvtest::connectRaw(path);
    ASSERT_GE(inHeader, 0);
    ASSERT_GE(inData, 0);
    const std::string frame = requestFrame(kCtoS_GetLoadProgress, nameRecord("x", 256), true);
    ASSERT_EQ(write(inHeader, frame.data(), 7), 7);
    ASSERT_EQ(write(inData, frame.data(), 100), 100);
    srvtest::sleepSeconds(0.1);

    const auto start = Clock::now();
    int32_t remaining = -1;
    EXPECT_EQ(SampleFileClient::getLoadProgressOf("someone", &remaining, 1.0f), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
    EXPECT_EQ(remaining, 0);
    close(inHeader);
    close(inData);
}

// Restores the mode of a path at scope exit.
class ModeGuard {
public:
    ModeGuard(const std::string& path, mode_t mode) : path_(path) {
        struct stat st;
        old_ = stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0700;
        chmod(path.c_str(), mode);
    }
    ~ModeGuard() { chmod(path_.c_str(), old_); }

private:
    std::string path_;
    mode_t old_;
};

TEST_F(ServerProcessTest, AConnectionFromAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    startServer();
    std::string folder;
    ASSERT_TRUE(platform::portFolder(&folder));
    const std::string path = srvtest::socketPathOf(SampleFileServerUtilities::kServerManagerPortName);
    const std::string frame = requestFrame(kCtoS_GetLoadProgress, nameRecord("x", 256), true);
    pid_t child;
    {
        // The port folder keeps other users out on its own; open it (and the
        // socket) for this test so that only the server's own check remains.
        ModeGuard top(runtimeDir.path(), 0711);
        ModeGuard ports(folder, 0711);
        ModeGuard socketFile(path, 0666);
        child = fork();
        if (child == 0) {
            // Exit codes: 0 refused, 1 answered, 2 could not act as nobody, 3 no connection.
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            int fd = srvtest::connectRaw(path);
            if (fd < 0)
                _exit(3);
            if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
                _exit(0);  // already dropped
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0)
                _exit(1);  // neither answered nor dropped: not refused
            char byte;
            _exit(read(fd, &byte, 1) > 0 ? 1 : 0);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: answered, 2: setuid failed, 3: could not connect";
    }
    EXPECT_EQ(progressOf("someone"), 0);
    EXPECT_FALSE(server.waitExit(0.0).has_value());
}

TEST_F(ServerProcessTest, AServerThatNoClientContactsEndsAtItsFirstPoll) {
    // The second server is asked to register its own port as a client: it
    // would answer its own polls and never end.
    for (const bool registersItself : {false, true}) {
        SCOPED_TRACE(registersItself ? "registered itself" : "no registration");
        const auto start = Clock::now();
        startServer(QUILLORANTICS_TEST_INTERVALS_SERVER_PATH);
        if (registersItself) {
            std::string reply;
            ASSERT_EQ(srvtest::request(kCtoS_RegisterClient,
                                       nameRecord(SampleFileServerUtilities::kServerManagerPortName, 264), &reply), 0);
        }
        std::optional<int> status = server.waitExit(kTestFirstPollSeconds + 5.0);
        ASSERT_TRUE(status.has_value()) << "the server did not end at its first poll";
        EXPECT_EQ(*status, 0);
        EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), kTestFirstPollSeconds * 0.9);
    }
}

TEST_F(ServerProcessTest, ClientsThatAnswerPollsStayRegistered) {
    startServer(QUILLORANTICS_TEST_INTERVALS_SERVER_PATH);
    SampleFileClient client(clientOptions());
    ASSERT_EQ(client.connect(), 0);
    ASSERT_EQ(client.sendSampleFileList(entriesOf({"/x/a.wav"})), 0);
    const auto end = Clock::now() + std::chrono::seconds(8);
    while (client.statusPollCount() < 2 && Clock::now() < end)
        srvtest::sleepSeconds(0.05);
    EXPECT_GE(client.statusPollCount(), 2);
    EXPECT_EQ(progressOf(client.name()), 1);
    ASSERT_EQ(client.leave(), 0);
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
}

TEST_F(ServerProcessTest, AClientWhosePortGoesAwayIsRemoved) {
    startServer();
    const std::string name = "vanishing.0.ClientManager";
    auto port = platform::LocalPort::create(name, [](int32_t, const std::string&) { return std::nullopt; });
    ASSERT_NE(port, nullptr);
    std::string reply;
    ASSERT_EQ(srvtest::request(kCtoS_RegisterClient, nameRecord(name, 264), &reply), 0);
    ASSERT_EQ(srvtest::request(kCtoS_ReplyListOfSampleFilesInUseByClient, listChunk(name, 1, true, {"/x/a.wav"}),
                               &reply), 0);
    ASSERT_EQ(progressOf(name), 1);
    port->invalidate();
    std::optional<int> status = server.waitExit(3.0);
    ASSERT_TRUE(status.has_value()) << "the server kept a client whose port went away";
    EXPECT_EQ(*status, 0);
}

TEST_F(ServerProcessTest, HelpAndVersionPrintAndExitZeroOtherArgumentsAreIgnored) {
    struct Case {
        const char* argument;
        const char* text;
    };
    const Case cases[] = {
        {"--help", "Usage: QuilloranticsServer"}, {"-h", "Usage: QuilloranticsServer"},
        {"--version", "QuilloranticsServer 0."},
    };
    for (const Case& c : cases) {
        srvtest::ChildProcess child;
        const std::string out = runtimeDir.file(std::string("out") + c.argument);
        ASSERT_TRUE(child.start({QUILLORANTICS_SERVER_PATH, "--unknown", c.argument}, out));
        EXPECT_EQ(child.waitExit(5.0), std::optional<int>(0)) << c.argument;
        EXPECT_EQ(rhtest::readFile(out).rfind(c.text, 0), 0u) << rhtest::readFile(out);
    }
    EXPECT_FALSE(SampleFileClient::isServerListening()) << "--help and --version must not serve";

    // Anything else is ignored, and a server that was not started detached
    // keeps its output where it was given (no log file).
    rhtest::ScopedEnv state("XDG_STATE_HOME", runtimeDir.file("state"));
    ASSERT_TRUE(server.start({QUILLORANTICS_SERVER_PATH, "--unknown", "words"}, serverLog()));
    EXPECT_TRUE(srvtest::waitUntilServing());
    struct stat st;
    EXPECT_NE(stat(runtimeDir.file("state").c_str(), &st), 0);
}

TEST_F(ServerProcessTest, ARefusedPortFolderIsNamedWithItsReason) {
    const std::string folder = runtimeDir.file("Quillorantics");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    ASSERT_TRUE(server.start({QUILLORANTICS_SERVER_PATH}, serverLog()));
    EXPECT_EQ(server.waitExit(5.0), std::optional<int>(0));
    EXPECT_NE(rhtest::readFile(serverLog())
                  .find("QuilloranticsServer: Cannot serve ServerManagerPort_v3: the port folder " + folder +
                        " is open to other users."),
              std::string::npos)
        << rhtest::readFile(serverLog());
}

TEST_F(ServerProcessTest, TheClientStartsADetachedServerWhenNoneServes) {
    // The detached server writes its output to the log in the state folder.
    rhtest::ScopedEnv state("XDG_STATE_HOME", runtimeDir.file("state"));
    ASSERT_FALSE(SampleFileClient::isServerServing());
    SampleFileClient::Options options = clientOptions();
    options.startServer = true;
    options.connectSeconds = 5.0;
    SampleFileClient client(options);
    ASSERT_EQ(client.connect(), 0);
    EXPECT_TRUE(SampleFileClient::isServerServing());
    const pid_t pid = srvtest::serverPid();
    ASSERT_GT(pid, 0);
    EXPECT_NE(getsid(pid), getsid(0)) << "the server should run in a session of its own";
    const std::string log = rhtest::readFile(runtimeDir.file("state/Quillorantics/QuilloranticsServer.log"));
    EXPECT_NE(log.find("==== QuilloranticsServer "), std::string::npos) << log;
    EXPECT_NE(log.find(", pid " + std::to_string(pid) + " ===="), std::string::npos) << log;
    ASSERT_EQ(client.leave(), 0);
    EXPECT_TRUE(srvtest::waitUntilNotServing(3.0));
}

TEST(SampleFileServerUtilitiesTest, UnsendableMessages) {
    const char byte = 0;
    EXPECT_EQ(SampleFileServerUtilities::sendMessage(&byte, 1, nullptr, 4, nullptr, 1, 1.0f), -7);
    EXPECT_EQ(SampleFileServerUtilities::sendMessage(nullptr, 1, nullptr, 4, nullptr, 1, 1.0f), -7);
}

}  // namespace
