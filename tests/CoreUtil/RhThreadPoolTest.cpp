// The thread pool: queue order, cancelling, refusals, registration and
// resizing rules, and the idle wait.
//
// Sub-pool 1 is configured here with a single worker (before anything uses
// the pool), so that the order in which its jobs run is the queue order.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RhThreadPool.h"

namespace {

using namespace std::chrono_literals;

const ThreadDedicatedSubPool kWide = kThreadSubPool0;    // six workers
const ThreadDedicatedSubPool kSerial = kThreadSubPool1;  // one worker

const bool kSerialSubPoolRegistered =
    (ThreadPool::registerThreadPool(kSerial, 1, "serial", kThreadPriorityNormal), true);

// Jobs that block until opened, counting how many have started.
struct Blocker {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;
    int finished = 0;

    static void* job(void* self) {
        Blocker* b = static_cast<Blocker*>(self);
        std::unique_lock<std::mutex> lock(b->m);
        ++b->entered;
        b->cv.notify_all();
        b->cv.wait(lock, [b] { return b->open; });
        ++b->finished;
        b->cv.notify_all();
        return nullptr;
    }
    bool waitEntered(int n) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 10s, [&] { return entered >= n; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
    bool waitFinished(int n) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 10s, [&] { return finished >= n; });
    }
};

// Records the tags of the jobs that ran, in order.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> ran;

    void add(const std::string& tag) {
        std::lock_guard<std::mutex> lock(m);
        ran.push_back(tag);
        cv.notify_all();
    }
    bool waitFor(const std::string& tag) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 10s, [&] {
            for (const std::string& t : ran)
                if (t == tag) return true;
            return false;
        });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(m);
        return ran;
    }
};

struct Tagged {
    Recorder* recorder;
    std::string tag;
};

void* recordJob(void* arg) {
    Tagged* t = static_cast<Tagged*>(arg);
    t->recorder->add(t->tag);
    return nullptr;
}
// A second job function, so that jobs can differ by function alone.
void* recordJobToo(void* arg) { return recordJob(arg); }

void* noJob(void*) { return nullptr; }

int pendingIn(ThreadDedicatedSubPool subPool) {
    int pending = -1;
    ThreadPool::countJobs(subPool, &pending, nullptr);
    return pending;
}

// Blocks the single worker of the serial sub-pool.
void occupySerialWorker(Blocker& blocker) {
    ASSERT_EQ(ThreadPool::submitJob(&blocker, Blocker::job, kThreadPriorityNormal, kSerial, 0, 1), 1);
    ASSERT_TRUE(blocker.waitEntered(1));
}

// Queues a job of the lowest priority behind everything in the serial
// sub-pool and waits until it ran: all jobs queued before it have run.
void drainSerial(Recorder& recorder) {
    Tagged last{&recorder, "last"};
    ASSERT_EQ(ThreadPool::submitJob(&last, recordJob, kThreadPriorityLowest, kSerial, 0, 1), 1);
    ASSERT_TRUE(recorder.waitFor("last"));
}

TEST(ThreadPool, QueueIsOrderedByPriorityThenArrival) {
    ASSERT_TRUE(kSerialSubPoolRegistered);
    Blocker blocker;
    occupySerialWorker(blocker);

    Recorder recorder;
    Tagged first2{&recorder, "first 2"}, only3{&recorder, "3"}, second2{&recorder, "second 2"};
    EXPECT_EQ(ThreadPool::submitJob(&first2, recordJob, kThreadPriorityNormal, kSerial, 0, 1), 1);
    EXPECT_EQ(ThreadPool::submitJob(&only3, recordJob, kThreadPriorityHigh, kSerial, 0, 1), 1);
    EXPECT_EQ(ThreadPool::submitJob(&second2, recordJob, kThreadPriorityNormal, kSerial, 0, 1), 1);
    EXPECT_EQ(pendingIn(kSerial), 3);
    EXPECT_EQ(ThreadPool::countJobs(kSerial, nullptr, nullptr), 1);  // the blocker runs

    blocker.release();
    drainSerial(recorder);
    EXPECT_EQ(recorder.snapshot(), (std::vector<std::string>{"3", "first 2", "second 2", "last"}));
}

TEST(ThreadPool, CancelSameKindKeepsOnlyTheNewJob) {
    Blocker blocker;
    occupySerialWorker(blocker);

    Recorder recorder;
    Tagged x{&recorder, "x"}, y{&recorder, "y"};
    EXPECT_EQ(ThreadPool::submitJob(&x, recordJob, kThreadPriorityNormal, kSerial, 0, 1), 1);
    EXPECT_EQ(ThreadPool::submitJob(&y, recordJob, kThreadPriorityNormal, kSerial, 0, 1), 1);
    EXPECT_EQ(ThreadPool::submitJob(&x, recordJobToo, kThreadPriorityNormal, kSerial, 0, 1), 1);  // other kind
    EXPECT_EQ(ThreadPool::submitJob(&x, recordJob, kThreadPriorityNormal, kSerial, 1, 1), 1);
    EXPECT_EQ(pendingIn(kSerial), 3);

    blocker.release();
    drainSerial(recorder);
    EXPECT_EQ(recorder.snapshot(), (std::vector<std::string>{"y", "x", "x", "last"}));
}

// Arguments shared by jobs of two functions, so that cancelling can match by
// function, by argument or by both.
struct SharedArgument {
    Recorder* recorder;
    int index;
};
void* jobA(void* arg) {
    SharedArgument* a = static_cast<SharedArgument*>(arg);
    a->recorder->add("A" + std::to_string(a->index));
    return nullptr;
}
void* jobB(void* arg) {
    SharedArgument* a = static_cast<SharedArgument*>(arg);
    a->recorder->add("B" + std::to_string(a->index));
    return nullptr;
}

TEST(ThreadPool, CancelPendingJobsByFunctionArgumentBothOrNeither) {
    struct Case {
        const char* name;
        ThreadJobFunction function;
        int argument;  // index of the argument to match, -1 for none
        std::vector<std::string> survivors;
    };
    const Case cases[] = {
        {"both", jobA, 0, {"A1", "B0", "B1", "last"}},
        {"function only", jobA, -1, {"B0", "B1", "last"}},
        {"argument only", nullptr, 1, {"A0", "B0", "last"}},
        {"neither", nullptr, -1, {"last"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Blocker blocker;
        occupySerialWorker(blocker);
        Recorder recorder;
        SharedArgument args[2] = {{&recorder, 0}, {&recorder, 1}};
        for (ThreadJobFunction f : {jobA, jobB})
            for (SharedArgument& a : args) ASSERT_EQ(ThreadPool::submitJob(&a, f, kThreadPriorityNormal, kSerial, 0, 1), 1);

        ThreadPool::cancelAllPendingJobsOfGivenKind(c.function, c.argument < 0 ? nullptr : &args[c.argument]);
        EXPECT_EQ(pendingIn(kSerial), static_cast<int>(c.survivors.size()) - 1);

        blocker.release();  // the running job is not cancelled
        ASSERT_TRUE(blocker.waitFinished(1));
        drainSerial(recorder);
        EXPECT_EQ(recorder.snapshot(), c.survivors);
    }
}

void* submitFollowUp(void* arg) {
    Tagged* t = static_cast<Tagged*>(arg);
    static Tagged followUp;
    followUp = {t->recorder, "follow-up"};
    // A job may submit to its own sub-pool: the lock is not held while it runs.
    ThreadPool::submitJob(&followUp, recordJob, kThreadPriorityNormal, kSerial, 0, 1);
    return nullptr;
}

TEST(ThreadPool, JobCanSubmitFurtherJobs) {
    Recorder recorder;
    Tagged first{&recorder, "first"};
    ASSERT_EQ(ThreadPool::submitJob(&first, submitFollowUp, kThreadPriorityNormal, kSerial, 0, 1), 1);
    EXPECT_TRUE(recorder.waitFor("follow-up"));
}

TEST(ThreadPool, ConcurrentSubmittersEveryJobRunsOnce) {
    const int kSubmitters = 4, kJobsEach = 200;
    static std::atomic<int> ran;
    ran = 0;
    ThreadJobFunction count = [](void*) -> void* {
        ++ran;
        return nullptr;
    };
    std::atomic<int> accepted(0);
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
        submitters.emplace_back([&] {
            for (int j = 0; j < kJobsEach; ++j)
                accepted += ThreadPool::submitJob(nullptr, count, ThreadPriority(j % 5), kWide, 0, 1);
        });
    }
    for (std::thread& t : submitters) t.join();
    EXPECT_EQ(accepted.load(), kSubmitters * kJobsEach);
    for (int i = 0; i < 10000 && ran.load() < kSubmitters * kJobsEach; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(ran.load(), kSubmitters * kJobsEach);
}

TEST(ThreadPool, NoWaitSubmissionIsRefusedWhileTheLockIsHeld) {
    ThreadPool::initialize();
    RhThreadLock* lock = ThreadPool::sSubPools[kWide]->getLock();
    std::mutex m;
    std::condition_variable cv;
    bool held = false, done = false;
    std::thread holder([&] {
        lock->lock();
        {
            std::unique_lock<std::mutex> g(m);
            held = true;
            cv.notify_all();
            cv.wait(g, [&] { return done; });
        }
        lock->unlock();
    });
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return held; });
    }
    Recorder recorder;
    Tagged dropped{&recorder, "dropped"};
    EXPECT_EQ(ThreadPool::submitJob(&dropped, recordJob, kThreadPriorityLowest, kWide, 0, 0), 0);
    {
        std::lock_guard<std::mutex> g(m);
        done = true;
        cv.notify_all();
    }
    holder.join();

    // With the lock free the same submission is queued (a worker may hold the
    // lock for an instant, so allow a few attempts).
    Tagged queued{&recorder, "queued"};
    int accepted = 0;
    for (int attempt = 0; attempt < 100 && !accepted; ++attempt) {
        accepted = ThreadPool::submitJob(&queued, recordJob, kThreadPriorityLowest, kWide, 0, 0);
        if (!accepted) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(accepted, 1);
    EXPECT_TRUE(recorder.waitFor("queued"));
    for (const std::string& tag : recorder.snapshot()) EXPECT_NE(tag, "dropped");
}

TEST(ThreadPool, SubmissionsAreRefusedWhileDraining) {
    Blocker blocker;
    occupySerialWorker(blocker);
    Recorder recorder;
    Tagged pending{&recorder, "pending"};
    ASSERT_EQ(ThreadPool::submitJob(&pending, recordJob, kThreadPriorityNormal, kSerial, 0, 1), 1);

    std::atomic<bool> drained(false);
    std::thread drainer([&] {
        ThreadPool::waitUntilJobsAreFinished();
        drained = true;
    });
    // Once draining reaches the serial sub-pool, submissions are refused.
    int refused = 0;
    for (int i = 0; i < 5000 && !refused; ++i) {
        refused = ThreadPool::submitJob(nullptr, noJob, kThreadPriorityNormal, kSerial, 0, 1) == 0;
        if (!refused) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(ThreadPool::submitJob(nullptr, noJob, kThreadPriorityNormal, kWide, 0, 1), 1)
        << "the other sub-pool accepts again after its own drain";
    EXPECT_FALSE(drained.load());  // still waiting for the running blocker

    blocker.release();
    drainer.join();
    drainSerial(recorder);  // accepted again
    for (const std::string& tag : recorder.snapshot()) EXPECT_NE(tag, "pending") << "pending jobs are dropped";
}

TEST(ThreadPool, IdleWaitGivesUpWhileAJobRuns) {
    Blocker blocker;
    occupySerialWorker(blocker);
    int saved = ThreadSubPool::sIdleWaitCycles;
    ThreadSubPool::sIdleWaitCycles = 50;  // 50 polls of a millisecond instead of 10000
    auto start = std::chrono::steady_clock::now();
    ThreadPool::waitUntilAllThreadsIdle();
    auto waited = std::chrono::steady_clock::now() - start;
    ThreadSubPool::sIdleWaitCycles = saved;
    EXPECT_GE(waited, 45ms);
    EXPECT_LT(waited, 5s);
    EXPECT_EQ(ThreadPool::countJobs(kSerial, nullptr, nullptr), 1);  // it gave up; the job still runs

    blocker.release();
    ASSERT_TRUE(blocker.waitFinished(1));
    start = std::chrono::steady_clock::now();
    ThreadPool::waitUntilAllThreadsIdle();  // returns once the worker's busy flag drops
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(ThreadPool, RegistrationRules) {
    // Registration only counts before the pool starts; ctest runs every case
    // in a fresh process, a whole-binary run may not.
    if (ThreadPool::sInitialized.load()) GTEST_SKIP() << "the pool already runs in this process";
    const int savedCount = ThreadPool::sNumberOfSubPools;
    int savedThreads[ThreadPool::kMaxSubPools];
    ThreadPriority savedPriorities[ThreadPool::kMaxSubPools];
    for (int i = 0; i < ThreadPool::kMaxSubPools; ++i) {
        savedThreads[i] = ThreadPool::sSubPoolNumberOfThreads[i];
        savedPriorities[i] = ThreadPool::sSubPoolInitialPriorities[i];
    }

    ThreadPool::registerThreadPool(5, 3, "ignored", kThreadPriorityHigh);
    EXPECT_EQ(ThreadPool::sNumberOfSubPools, savedCount);
    for (int i = 0; i < ThreadPool::kMaxSubPools; ++i) EXPECT_EQ(ThreadPool::sSubPoolNumberOfThreads[i], savedThreads[i]);

    ThreadPool::registerThreadPool(2, 200, "big", kThreadPriorityHigh);
    EXPECT_EQ(ThreadPool::sNumberOfSubPools, 3);
    EXPECT_EQ(ThreadPool::sSubPoolNumberOfThreads[2], 128);
    EXPECT_EQ(ThreadPool::sSubPoolInitialPriorities[2], kThreadPriorityHigh);
    ThreadPool::registerThreadPool(0, 4, "lower index", kThreadPriorityNormal);
    EXPECT_EQ(ThreadPool::sNumberOfSubPools, 3);  // never lowered

    ThreadPool::sNumberOfSubPools = savedCount;
    for (int i = 0; i < ThreadPool::kMaxSubPools; ++i) {
        ThreadPool::sSubPoolNumberOfThreads[i] = savedThreads[i];
        ThreadPool::sSubPoolInitialPriorities[i] = savedPriorities[i];
    }
}

TEST(ThreadPool, ResizeOnlyGrowsExistingSubPools) {
    ThreadPool::initialize();
    int threads = 0;
    ThreadPool::countJobs(kWide, nullptr, &threads);
    ASSERT_GE(threads, 6);
    ThreadPool::resizeThreadPool(kWide, 4);  // smaller: nothing
    EXPECT_EQ(ThreadPool::sSubPools[kWide]->getThreadCount(), threads);
    ThreadPool::resizeThreadPool(3, 8);  // no such sub-pool: nothing
    EXPECT_EQ(ThreadPool::sSubPools[3], nullptr);
    const int subPools = ThreadPool::sNumberOfSubPools;
    ThreadPool::registerThreadPool(3, 8, "too late", kThreadPriorityNormal);  // the pool runs: nothing
    EXPECT_EQ(ThreadPool::sNumberOfSubPools, subPools);

    const int grown = threads + 2;
    ThreadPool::resizeThreadPool(kWide, grown);
    int configured = 0;
    ThreadPool::countJobs(kWide, nullptr, &configured);
    EXPECT_EQ(configured, grown);
    EXPECT_EQ(ThreadPool::sSubPools[kWide]->getThreadCount(), grown);

    // Every worker, old and new, takes a job at the same time.
    Blocker blocker;
    for (int i = 0; i < grown; ++i)
        ASSERT_EQ(ThreadPool::submitJob(&blocker, Blocker::job, kThreadPriorityNormal, kWide, 0, 1), 1);
    EXPECT_TRUE(blocker.waitEntered(grown));
    blocker.release();
    EXPECT_TRUE(blocker.waitFinished(grown));
}

TEST(ThreadPool, MissingSubPoolRefusesAndNullFunctionIsRefused) {
    EXPECT_EQ(ThreadPool::submitJob(nullptr, noJob, kThreadPriorityNormal, kThreadSubPool3, 0, 1), 0);
    EXPECT_EQ(ThreadPool::submitJob(nullptr, nullptr, kThreadPriorityNormal, kWide, 0, 1), 0);
    int pending = -1;
    EXPECT_EQ(ThreadPool::countJobs(kThreadSubPool3, &pending, nullptr), 0);
    EXPECT_EQ(pending, 0);
}

// A sub-pool torn down from inside one of its own jobs, as when the process
// exits from a job, while another thread goes on submitting (the status
// timer of a server does): every submission is either queued before the
// teardown or refused, never run against the released queue.
void* tearDownOwnSubPool(void* pool) {
    static_cast<ThreadSubPool*>(pool)->destructThreadPool();
    return nullptr;
}

TEST(ThreadPool, SubmissionsRacingATeardownAreRefused) {
    // The teardown keeps the lock for its own worker, so the sub-pools stay
    // allocated (and reachable), like the process-wide ones.
    static auto* sTornDown = new std::vector<ThreadSubPool*>;
    for (int round = 0; round < 50; ++round) {
        auto* pool = new ThreadSubPool(2, kThreadPriorityNormal);
        sTornDown->push_back(pool);
        std::atomic<bool> stop(false);
        std::atomic<int> refused(0);
        std::vector<std::thread> submitters;
        for (int s = 0; s < 2; ++s) {
            submitters.emplace_back([&] {
                while (!stop.load())
                    if (pool->submitJob(nullptr, noJob, kThreadPriorityNormal, 0, 1) == 0) ++refused;
            });
        }
        ASSERT_EQ(pool->submitJob(pool, tearDownOwnSubPool, kThreadPriorityHighest, 0, 1), 1);
        for (int i = 0; i < 5000 && refused.load() == 0; ++i) std::this_thread::sleep_for(1ms);
        stop = true;
        for (std::thread& t : submitters) t.join();
        ASSERT_GT(refused.load(), 0) << "round " << round;
        EXPECT_EQ(pool->submitJob(nullptr, noJob, kThreadPriorityNormal, 0, 1), 0);
        int pending = -1;
        EXPECT_EQ(pool->countJobs(&pending), 0);
        EXPECT_EQ(pending, 0);
    }
}

TEST(ThreadPool, SchedulingPriorityMapping) {
    const int expected[][2] = {{0, 1}, {1, 2}, {2, 14}, {3, 15}, {4, 20}, {7, 1}, {-1, 1}};
    for (const auto& e : expected)
        EXPECT_EQ(ThreadPool::schedulingPriorityFor(ThreadPriority(e[0])), e[1]) << "priority " << e[0];
}

}  // namespace
