#include "RunLoop.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using platform::RunLoop;
using namespace std::chrono_literals;

namespace {

// An eventfd that is readable while its counter is non-zero.
struct EventFd {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~EventFd() { close(fd); }
    void signal() const {
        const uint64_t one = 1;
        EXPECT_EQ(write(fd, &one, sizeof one), 8);
    }
    void drain() const {
        uint64_t value;
        [[maybe_unused]] ssize_t n = read(fd, &value, sizeof value);
    }
};

TEST(RunLoopTest, RepeatingAndOneShotTimersFireAndRemovedTimersStop) {
    RunLoop loop;
    int repeats = 0;
    int once = 0;
    int removedEarly = 0;
    RunLoop::TimerId repeating = 0;
    repeating = loop.addTimer(10ms, 10ms, [&] {
        if (++repeats == 3) loop.removeTimer(repeating);  // from inside its own callback
    });
    loop.addTimer(5ms, 0s, [&] { ++once; });
    const RunLoop::TimerId doomed = loop.addTimer(20ms, 0s, [&] { ++removedEarly; });
    loop.removeTimer(doomed);
    loop.addTimer(150ms, 0s, [&] { loop.stop(); });
    ASSERT_TRUE(loop.runFor(5s));
    EXPECT_EQ(repeats, 3);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(removedEarly, 0);
}

TEST(RunLoopTest, TimerAddedFromAnotherThreadWakesAnIdleLoop) {
    RunLoop loop;
    std::atomic<bool> fired{false};
    std::thread other([&] {
        std::this_thread::sleep_for(20ms);
        loop.addTimer(0s, 0s, [&] {
            fired = true;
            loop.stop();
        });
    });
    EXPECT_TRUE(loop.runFor(5s));
    other.join();
    EXPECT_TRUE(fired);
}

TEST(RunLoopTest, PostedCallsRunInOrderOnTheLoopThreadAfterTheCurrentCallback) {
    RunLoop loop;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
        loop.post([&] {
            loop.post([&] { order.push_back(1000); });  // after this callback
            order.push_back(999);
            loop.post([&] { loop.stop(); });
        });
    });
    poster.join();
    EXPECT_TRUE(loop.runFor(5s));
    ASSERT_EQ(order.size(), 102u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(order[100], 999);
    EXPECT_EQ(order[101], 1000);
    for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(RunLoopTest, StopWorksFromAnotherThreadAndBeforeRun) {
    RunLoop loop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(30ms);
        loop.stop();
    });
    loop.run();  // returns only because of stop()
    stopper.join();

    loop.stop();
    loop.run();  // returns at once
    EXPECT_FALSE(loop.runFor(20ms));  // the earlier stop was used up
}

TEST(RunLoopTest, StopInsideAPostedBatchKeepsTheRestForTheNextRun) {
    RunLoop loop;
    std::vector<int> order;
    loop.post([&] { order.push_back(1); loop.stop(); });
    loop.post([&] { order.push_back(2); });
    EXPECT_TRUE(loop.runFor(5s));
    EXPECT_EQ(order, std::vector<int>({1}));
    loop.post([&] { loop.stop(); });
    EXPECT_TRUE(loop.runFor(5s));
    EXPECT_EQ(order, std::vector<int>({1, 2}));
}

TEST(RunLoopTest, FdSourceReportsEventsUntilRemoved) {
    RunLoop loop;
    EventFd ev;
    int calls = 0;
    uint32_t seen = 0;
    ASSERT_TRUE(loop.addFd(ev.fd, EPOLLIN, [&](uint32_t events) {
        seen = events;
        ev.drain();
        if (++calls == 2) loop.removeFd(ev.fd);
    }));
    ev.signal();
    loop.addTimer(50ms, 0s, [&] { ev.signal(); });
    loop.addTimer(100ms, 0s, [&] { ev.signal(); });  // after removal: no call
    loop.addTimer(200ms, 0s, [&] { loop.stop(); });
    EXPECT_TRUE(loop.runFor(5s));
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(seen & EPOLLIN);
    EXPECT_FALSE(loop.addFd(-1, EPOLLIN, [](uint32_t) {}));
}

// Two sources ready in the same wait: the first removes the second, whose
// already fetched event must not reach its callback.
TEST(RunLoopTest, SourceRemovedByAnEarlierCallbackOfTheSameWaitDoesNotRun) {
    RunLoop loop;
    EventFd a, b;
    int calls = 0;
    auto callback = [&](int self, int other) {
        return [&, self, other](uint32_t) {
            ++calls;
            loop.removeFd(other);
            loop.removeFd(self);
            loop.post([&] { loop.stop(); });
        };
    };
    ASSERT_TRUE(loop.addFd(a.fd, EPOLLIN, callback(a.fd, b.fd)));
    ASSERT_TRUE(loop.addFd(b.fd, EPOLLIN, callback(b.fd, a.fd)));
    a.signal();
    b.signal();
    EXPECT_TRUE(loop.runFor(5s));
    EXPECT_EQ(calls, 1);
}

TEST(RunLoopTest, CurrentIsOnePerThread) {
    RunLoop* mine = &RunLoop::current();
    EXPECT_EQ(mine, &RunLoop::current());
    RunLoop* theirs = nullptr;
    std::thread other([&] { theirs = &RunLoop::current(); });
    other.join();
    EXPECT_NE(mine, theirs);
}

}  // namespace
