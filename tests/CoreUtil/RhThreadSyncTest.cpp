// Conditions and the rendezvous: timed and untimed waits, rendezvous cycles,
// abandoning a cycle and the reuse of ticket numbers.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RhRendezvous.h"
#include "RhThreadCondition.h"

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(RhThreadCondition, DeadlineCarriesWholeSecondsIntoSeconds) {
    struct Case {
        long long seconds, microseconds;
        int milliseconds;
        long long wantSeconds, wantNanoseconds;
    };
    const Case cases[] = {
        {10, 0, 1, 10, 1000000},
        {10, 999999, 1, 11, 0},              // 999 ms + 1 ms is a whole second
        {10, 1500, 2500, 12, 501000000},     // microseconds below a millisecond are dropped
        {0, 999000, 3001, 4, 0},
    };
    for (const Case& c : cases) {
        struct timespec d = RhThreadCondition::deadlineAfter(c.seconds, c.microseconds, c.milliseconds);
        EXPECT_EQ(d.tv_sec, c.wantSeconds) << c.seconds << "s " << c.microseconds << "us +" << c.milliseconds;
        EXPECT_EQ(d.tv_nsec, c.wantNanoseconds) << c.seconds << "s " << c.microseconds << "us +" << c.milliseconds;
    }
}

TEST(RhThreadCondition, TimedWaitTimesOutWithTheLockHeld) {
    RhThreadLock lock;
    RhThreadCondition condition(&lock);
    lock.lock();
    Clock::time_point start = Clock::now();
    int rc = condition.waitForCondition(150);
    long long waited = millisecondsSince(start);
    EXPECT_EQ(rc, ETIMEDOUT);
    EXPECT_GE(waited, 140);
    EXPECT_EQ(lock.tryLock(), EBUSY);  // the caller holds the lock again
    lock.unlock();
}

TEST(RhThreadCondition, UntimedWaitEndsWhenSignalled) {
    RhThreadLock lock;
    RhThreadCondition condition(&lock);
    bool ready = false;  // guarded by lock
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.lock();
        ready = true;
        condition.signalCondition();
        lock.unlock();
    });
    lock.lock();
    while (!ready) EXPECT_EQ(condition.waitForCondition(0), 0);
    lock.unlock();
    signaller.join();
}

TEST(RhThreadCondition, BroadcastWakesEveryWaiter) {
    RhThreadLock lock;
    RhThreadCondition condition(&lock);
    bool go = false;  // guarded by lock
    std::atomic<int> woken(0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            lock.lock();
            while (!go) condition.waitForCondition(0);
            lock.unlock();
            ++woken;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lock.lock();
    go = true;
    condition.broadcastCondition();
    lock.unlock();
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 3);
}

// Registers `members` tickets, closes membership and lets all but the last
// arrive on threads; the caller's own arrival is the last one.
struct Cycle {
    RhRendezvous& rendezvous;
    std::vector<RhRendezvousTicket> tickets;
    std::vector<std::thread> threads;
    std::vector<int> results;  // 1 true, 0 false, -1 not returned yet
    std::atomic<int> returned{0};

    Cycle(RhRendezvous& r, int members) : rendezvous(r), tickets(members), results(members, -1) {
        for (RhRendezvousTicket& t : tickets) EXPECT_TRUE(rendezvous.registerMember(&t));
    }
    void startWaiters(int count) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, i] {
                results[i] = rendezvous.arrive(&tickets[i]) ? 1 : 0;
                ++returned;
            });
        }
    }
    void join() {
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
};

TEST(RhRendezvous, LastArrivalReleasesTheWaitingMembers) {
    RhRendezvous rendezvous;
    for (int round = 0; round < 5; ++round) {  // cycles reuse the object
        rendezvous.clear();
        Cycle cycle(rendezvous, 3);
        EXPECT_TRUE(rendezvous.closeMembership());
        cycle.startWaiters(2);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(cycle.returned.load(), 0) << "members passed before the last arrived";

        Clock::time_point start = Clock::now();
        EXPECT_TRUE(rendezvous.arrive(&cycle.tickets[2]));
        EXPECT_LT(millisecondsSince(start), 500);
        cycle.join();
        EXPECT_EQ(cycle.results[0], 1);
        EXPECT_EQ(cycle.results[1], 1);
    }
}

TEST(RhRendezvous, OpenMembershipReleasesWhenArrivalsReachTheMemberCount) {
    RhRendezvous rendezvous;
    Cycle cycle(rendezvous, 2);
    cycle.startWaiters(2);
    cycle.join();
    EXPECT_EQ(cycle.results[0], 1);
    EXPECT_EQ(cycle.results[1], 1);
}

TEST(RhRendezvous, AbandonReleasesWaitingAndLaterMembersWithFalse) {
    RhRendezvous rendezvous;
    Cycle cycle(rendezvous, 3);
    EXPECT_TRUE(rendezvous.closeMembership());
    cycle.startWaiters(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rendezvous.abandon(), 1);
    cycle.join();
    EXPECT_EQ(cycle.results[0], 0);
    EXPECT_EQ(cycle.results[1], 0);
    EXPECT_FALSE(rendezvous.arrive(&cycle.tickets[2]));
    EXPECT_FALSE(rendezvous.closeMembership());

    // The next cycle is not abandoned.
    rendezvous.clear();
    Cycle next(rendezvous, 1);
    EXPECT_TRUE(rendezvous.closeMembership());
    EXPECT_TRUE(rendezvous.arrive(&next.tickets[0]));
}

TEST(RhRendezvous, RegistrationRulesAndTicketReuse) {
    RhRendezvous rendezvous;
    RhRendezvousTicket t[4];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(rendezvous.registerMember(&t[i]));
        EXPECT_EQ(t[i].ticketNumber, i);
    }
    EXPECT_TRUE(rendezvous.unregisterMember(&t[1]));
    EXPECT_FALSE(rendezvous.unregisterMember(&t[1]));  // no longer registered
    EXPECT_EQ(rendezvous.getCount(), 2);
    ASSERT_TRUE(rendezvous.registerMember(&t[3]));
    EXPECT_EQ(t[3].ticketNumber, 1);  // the smallest free number

    rendezvous.closeMembership();
    EXPECT_FALSE(rendezvous.registerMember(&t[1]));
    rendezvous.clear();
    EXPECT_EQ(rendezvous.getCount(), 0);
    ASSERT_TRUE(rendezvous.registerMember(&t[1]));
    EXPECT_EQ(t[1].ticketNumber, 0);
}

TEST(RhRendezvous, AtMostAThousandMembers) {
    RhRendezvous rendezvous;
    RhRendezvousTicket ticket;
    for (int i = 0; i < RhRendezvous::kMaxMembers; ++i) ASSERT_TRUE(rendezvous.registerMember(&ticket));
    EXPECT_EQ(ticket.ticketNumber, 999);
    EXPECT_FALSE(rendezvous.registerMember(&ticket));
    EXPECT_EQ(ticket.ticketNumber, 1000);
    EXPECT_EQ(rendezvous.getCount(), 1000);
}

}  // namespace
