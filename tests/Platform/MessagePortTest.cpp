#include "MessagePort.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "PortTestSupport.h"

using namespace platform;
using namespace std::chrono_literals;
using porttest::ServedPort;

namespace {

class MessagePortTest : public porttest::PortFolderFixture {};

// Echoes "re:" + data for id 4, answers nothing otherwise.
std::optional<std::string> echo(int32_t id, const std::string& data) {
    if (id == 4) return "re:" + data;
    return std::nullopt;
}

int send(RemotePort& port, int32_t id, const std::string& data, std::string* reply, bool wantReply = true,
         double timeout = 2.0) {
    return port.sendRequest(id, data.data(), data.size(), timeout, timeout, wantReply, reply);
}

TEST_F(MessagePortTest, RequestsAreAnsweredOnTheServingThreadAndOneWayRequestsArrive) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<int32_t, std::string>> seen;
    std::vector<std::thread::id> threads;
    ServedPort served("Echo", [&](int32_t id, const std::string& data) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(id, data);
        threads.push_back(std::this_thread::get_id());
        cv.notify_all();
        return echo(id, data);
    });
    ASSERT_TRUE(served.ok()) << served.why();
    auto port = RemotePort::connect("Echo");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->name(), "Echo");

    std::string reply;
    const std::string binary("a\0b\xff", 4);
    EXPECT_EQ(send(*port, 4, binary, &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:" + binary);
    reply = "stale";
    EXPECT_EQ(send(*port, 2, "no answer", &reply), kPortSuccess);
    EXPECT_EQ(reply, "") << "a request that gets no reply data still completes";
    EXPECT_EQ(send(*port, 4, "", &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:");
    EXPECT_EQ(send(*port, 1, "one-way", nullptr, false), kPortSuccess);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return seen.size() == 4; }));
        EXPECT_EQ(seen[3], std::make_pair(int32_t{1}, std::string("one-way")));
        for (auto id : threads) EXPECT_EQ(id, served.threadId());
    }

    std::string big(kMaxMessageBytes - 3, 'x');
    big[12345] = 'y';
    EXPECT_EQ(send(*port, 4, big, &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:" + big);
    big.push_back('z');
    big.append(3, 'w');
    EXPECT_EQ(send(*port, 4, big, &reply), kPortTransportError) << "larger than kMaxMessageBytes";
    EXPECT_TRUE(port->isValid());
    EXPECT_EQ(port->sendRequest(4, nullptr, 5, 1, 1, true, &reply), kPortTransportError);
    EXPECT_EQ(send(*port, 4, "still fine", &reply), kPortSuccess);
}

// A client that says goodbye and closes at once (or exits): the hang-up comes
// with the last request, which must still be handled.
TEST_F(MessagePortTest, RequestSentJustBeforeTheClientClosesIsDelivered) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> seen;
    ServedPort served("Farewell", [&](int32_t, const std::string& data) {
        std::lock_guard<std::mutex> lock(m);
        seen.push_back(data);
        cv.notify_all();
        return std::optional<std::string>("unread");
    });
    ASSERT_TRUE(served.ok()) << served.why();
    for (const bool wantsReply : {false, true}) {
        const int fd = porttest::rawConnect("Farewell");
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(porttest::sendAll(fd, porttest::requestFrame(1, 1, wantsReply, "bye")));
        close(fd);
    }
    auto port = RemotePort::connect("Farewell");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(send(*port, 1, "last", nullptr, false), kPortSuccess);
    port.reset();
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(cv.wait_for(lock, 5s, [&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, std::vector<std::string>({"bye", "bye", "last"}));
}

TEST_F(MessagePortTest, NamesAreServedOnceAndBadNamesAreRefused) {
    std::string why;
    auto first = LocalPort::create("Twice", echo, &why);
    ASSERT_NE(first, nullptr) << why;
    EXPECT_EQ(first->name(), "Twice");
    EXPECT_EQ(LocalPort::create("Twice", echo, &why), nullptr);
    EXPECT_FALSE(why.empty());
    first->invalidate();
    EXPECT_FALSE(first->isValid());
    EXPECT_NE(LocalPort::create("Twice", echo), nullptr) << "an invalidated port frees its name";

    EXPECT_EQ(LocalPort::create("", echo), nullptr);
    EXPECT_EQ(LocalPort::create(std::string(256, 'n'), echo), nullptr);
    EXPECT_EQ(RemotePort::connect(std::string(256, 'n')), nullptr);
    EXPECT_NE(LocalPort::create(std::string(255, 'n'), echo), nullptr);

    // A name that looks like a path stays inside the port folder.
    auto sneaky = LocalPort::create("../x", echo);
    ASSERT_NE(sneaky, nullptr);
    struct stat st;
    EXPECT_NE(lstat(runtime_.file("x.sock").c_str(), &st), 0);
    EXPECT_NE(RemotePort::connect("../x"), nullptr);
    EXPECT_EQ(RemotePort::connect("nobody serves this"), nullptr);
}

TEST_F(MessagePortTest, SocketFileLeftByADeadServerDoesNotBlock) {
    const std::string path = porttest::socketPath("Leftover");
    ASSERT_FALSE(path.empty());
    const int fd = porttest::rawBind(path);
    ASSERT_GE(fd, 0);
    close(fd);  // the file stays, nobody listens

    ServedPort served("Leftover", echo);
    ASSERT_TRUE(served.ok()) << served.why();
    auto port = RemotePort::connect("Leftover");
    ASSERT_NE(port, nullptr);
    std::string reply;
    EXPECT_EQ(send(*port, 4, "hi", &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:hi");
}

TEST_F(MessagePortTest, ConcurrentSendersOnOnePortEachGetTheirOwnReply) {
    ServedPort served("Busy", echo);
    ASSERT_TRUE(served.ok()) << served.why();
    auto port = RemotePort::connect("Busy");
    ASSERT_NE(port, nullptr);
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string data = std::to_string(t) + ":" + std::to_string(i) + std::string(i * 37, 'p');
                std::string reply;
                if (send(*port, 4, data, &reply) != kPortSuccess || reply != "re:" + data) ++wrong;
            }
        });
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(MessagePortTest, LateReplyIsNotTakenForTheNextOne) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    ServedPort served("Slow", [&](int32_t id, const std::string& data) {
        if (id == 7) {
            std::unique_lock<std::mutex> lock(m);
            cv.wait_for(lock, 10s, [&] { return release; });
        }
        return echo(4, data);
    });
    ASSERT_TRUE(served.ok()) << served.why();
    auto port = RemotePort::connect("Slow");
    ASSERT_NE(port, nullptr);
    std::string reply;
    EXPECT_EQ(port->sendRequest(7, "A", 1, 1.0, 0.2, true, &reply), kPortReceiveTimeout);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    EXPECT_EQ(send(*port, 4, "B", &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:B");
    EXPECT_EQ(send(*port, 4, "C", &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:C");
}

// A request that waits for its turn behind another one that waits long for
// its reply gives up within its own send time-out: its caller may hold a lock
// that others need meanwhile.
TEST_F(MessagePortTest, RequestBehindASlowOneTimesOutWithinItsSendTimeout) {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
    ServedPort served("Queue", [&](int32_t id, const std::string& data) {
        if (id == 7) {
            std::unique_lock<std::mutex> lock(m);
            entered = true;
            cv.notify_all();
            cv.wait_for(lock, 10s, [&] { return release; });
        }
        return echo(4, data);
    });
    ASSERT_TRUE(served.ok()) << served.why();
    auto port = RemotePort::connect("Queue");
    ASSERT_NE(port, nullptr);
    std::thread slow([&] {
        std::string reply;
        EXPECT_EQ(port->sendRequest(7, "slow", 4, 1.0, 5.0, true, &reply), kPortSuccess);
        EXPECT_EQ(reply, "re:slow");
    });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return entered; }));
    }
    for (const bool wantReply : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(port->sendRequest(1, "notice", 6, 0.2, 0.2, wantReply, nullptr), kPortSendTimeout);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    }
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    slow.join();
    EXPECT_TRUE(port->isValid()) << "nothing of the timed-out requests went out";
    std::string reply;
    EXPECT_EQ(send(*port, 4, "next", &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:next");
}

// A listener whose queue of new connections is full and that never accepts.
TEST_F(MessagePortTest, ConnectWaitsForRoomInAFullQueueOnlyWithinItsTimeLimit) {
    const int listener = porttest::rawBind(porttest::socketPath("Full"));
    ASSERT_GE(listener, 0);
    ASSERT_EQ(listen(listener, 0), 0);
    const int queued = porttest::rawConnect("Full");  // takes the one place in the queue
    ASSERT_GE(queued, 0);
    for (const double limit : {0.0, 0.2}) {
        SCOPED_TRACE(limit);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RemotePort::connect("Full", limit), nullptr);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::duration<double>(limit * 0.9));
        EXPECT_LT(waited, std::chrono::duration<double>(limit + 1.0));
    }
    close(queued);
    close(listener);

    ServedPort served("Here", echo);
    ASSERT_TRUE(served.ok()) << served.why();
    auto port = RemotePort::connect("Here", 0.0);
    ASSERT_NE(port, nullptr) << "a queue with room needs no wait";
    EXPECT_EQ(port->peerPid(), getpid());
}

TEST_F(MessagePortTest, SendTimesOutWhenThePeerDoesNotRead) {
    // Created but never added to a run loop: nobody reads the connection.
    auto deaf = LocalPort::create("Deaf", echo);
    ASSERT_NE(deaf, nullptr);
    auto port = RemotePort::connect("Deaf");
    ASSERT_NE(port, nullptr);
    const std::string big(kMaxMessageBytes, 'b');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->sendRequest(4, big.data(), big.size(), 0.2, 0.2, true, nullptr), kPortSendTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // Part of the frame went out: the connection cannot carry another request.
    EXPECT_FALSE(port->isValid());
    EXPECT_EQ(send(*port, 4, "x", nullptr), kPortIsInvalid);
}

// Runs `loop` until the invalidation callback has run (true) or 5 s passed.
bool waitForCallback(RunLoop& loop, const std::atomic<int>& calls) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (calls == 0 && std::chrono::steady_clock::now() < deadline) loop.runFor(10ms);
    return calls > 0;
}

TEST_F(MessagePortTest, InvalidationCallbackRunsOnTheLoopThreadWhenTheServerClosesItsPort) {
    ServedPort served("Closing", echo);
    ASSERT_TRUE(served.ok()) << served.why();
    auto port = RemotePort::connect("Closing");
    ASSERT_NE(port, nullptr);
    RunLoop loop;
    std::atomic<int> calls{0};
    std::thread::id ranOn;
    port->setInvalidationCallback(loop, [&] {
        ranOn = std::this_thread::get_id();
        ++calls;
    });
    std::string reply;
    ASSERT_EQ(send(*port, 4, "x", &reply), kPortSuccess);
    served.port().invalidate();
    ASSERT_TRUE(waitForCallback(loop, calls));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(port->isValid());
    EXPECT_EQ(send(*port, 4, "x", &reply), kPortIsInvalid);
    loop.runFor(50ms);
    EXPECT_EQ(calls, 1);
}

TEST_F(MessagePortTest, InvalidatingTheRemotePortRunsItsCallbackOnceAndDestroyingItDoesNot) {
    ServedPort served("Here", echo);
    ASSERT_TRUE(served.ok()) << served.why();
    RunLoop loop;
    std::atomic<int> calls{0};
    auto port = RemotePort::connect("Here");
    ASSERT_NE(port, nullptr);
    port->setInvalidationCallback(loop, [&] { ++calls; });
    port->invalidate();
    port->invalidate();
    EXPECT_EQ(calls, 0) << "posted, not run by invalidate() itself";
    ASSERT_TRUE(waitForCallback(loop, calls));
    loop.runFor(50ms);
    EXPECT_EQ(calls, 1);

    calls = 0;
    port->setInvalidationCallback(loop, [&] { ++calls; });  // already invalid: runs
    EXPECT_TRUE(waitForCallback(loop, calls));

    calls = 0;
    auto other = RemotePort::connect("Here");
    ASSERT_NE(other, nullptr);
    other->setInvalidationCallback(loop, [&] { ++calls; });
    other.reset();
    loop.runFor(100ms);
    EXPECT_EQ(calls, 0);
}

TEST_F(MessagePortTest, ServerThatInvalidatesWhileAnswering) {
    std::unique_ptr<LocalPort>* self = nullptr;
    std::unique_ptr<LocalPort> local = LocalPort::create("Quitter", [&](int32_t, const std::string&) {
        (*self)->invalidate();
        return std::optional<std::string>("never sent");
    });
    ASSERT_NE(local, nullptr);
    self = &local;
    RunLoop serverLoop;
    ASSERT_TRUE(local->addToRunLoop(serverLoop));
    std::thread server([&] { serverLoop.run(); });
    auto port = RemotePort::connect("Quitter");
    ASSERT_NE(port, nullptr);
    std::string reply;
    EXPECT_EQ(send(*port, 4, "bye", &reply), kPortBecameInvalid);
    EXPECT_EQ(send(*port, 4, "bye", &reply), kPortIsInvalid);
    serverLoop.stop();
    server.join();
    EXPECT_NE(LocalPort::create("Quitter", echo), nullptr);
}

TEST_F(MessagePortTest, PortRemovedFromItsLoopKeepsConnectionsAndServesThemWhenAddedAgain) {
    auto local = LocalPort::create("Pause", echo);
    ASSERT_NE(local, nullptr);
    RunLoop loop;
    ASSERT_TRUE(local->addToRunLoop(loop));
    std::thread server([&] { loop.run(); });
    auto port = RemotePort::connect("Pause");
    ASSERT_NE(port, nullptr);
    std::string reply;
    EXPECT_EQ(send(*port, 4, "1", &reply), kPortSuccess);
    local->removeFromRunLoop();
    EXPECT_EQ(send(*port, 4, "2", &reply, true, 0.2), kPortReceiveTimeout);
    ASSERT_TRUE(local->addToRunLoop(loop));
    EXPECT_EQ(send(*port, 4, "3", &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:3");
    loop.stop();
    server.join();
}

}  // namespace
