// The process-wide pool of worker threads on which background work runs.
//
// ThreadPool (all static) holds up to four sub-pools (ThreadSubPool), each
// with its own worker threads (SingleThreadInThreadPool), job queue, lock,
// condition and priority. A job is one call function(argument) submitted to
// one sub-pool. The pool is created on first use and torn down at process
// exit by the static ThreadPoolCleaner. Every step writes a line to the
// diagnostic log (recorded only when diagnostics are enabled).
//
// Locking rules (per sub-pool):
//   `lock` guards the job queue, runningJobs and liveThreads; the workers
//   wait on `condition` with it. No other lock is taken while it is held
//   (log lines rely on the log's own short write lock only), and job
//   functions run without it, so a job may submit further jobs.
//   The worker flags (terminate, busy, running) and `accepting` are atomics
//   read without the lock; the idle wait and the teardown poll them every
//   millisecond.
#pragma once

#include <atomic>
#include <pthread.h>

#include "RhDynArray.h"
#include "RhThreadCondition.h"

// Priority of a job: queued jobs of higher priority start first. Workers
// stay in the normal time-sharing class (see setThreadPriority);
// ThreadPool::schedulingPriorityFor keeps the real-time priority each job
// priority stands for.
enum ThreadPriority : int {
    kThreadPriorityLowest = 0,
    kThreadPriorityLow = 1,
    kThreadPriorityNormal = 2,
    kThreadPriorityHigh = 3,
    kThreadPriorityHighest = 4
};

// Index of a sub-pool, 0 to 3.
enum ThreadDedicatedSubPool : int {
    kThreadSubPool0 = 0,
    kThreadSubPool1 = 1,
    kThreadSubPool2 = 2,
    kThreadSubPool3 = 3
};

typedef void* (*ThreadJobFunction)(void*);

// One pending job. The function's result is ignored.
struct ThreadJob {
    int jobNumber;
    void* argument;
    ThreadJobFunction function;
    ThreadPriority priority;
};

// Pending jobs of one sub-pool, highest priority first.
class ThreadJobQueue : public RhDynArray {
public:
    ThreadJobQueue() : RhDynArray(static_cast<int>(sizeof(ThreadJob))) {}
    // The record at index, or null when index is not below the count.
    ThreadJob* operator[](unsigned index) const;
};

class ThreadSubPool;

// One worker thread. The object deletes itself when its thread ends, which
// happens only during teardown.
class SingleThreadInThreadPool {
public:
    // Flags 0, current priority = priority; starts the thread (default
    // attributes) and, when it started, applies SCHED_FIFO with the mapped
    // priority (a refusal by the system is ignored).
    SingleThreadInThreadPool(ThreadSubPool* pool, int index, ThreadPriority priority);
    virtual ~SingleThreadInThreadPool();
    SingleThreadInThreadPool(const SingleThreadInThreadPool&) = delete;
    SingleThreadInThreadPool& operator=(const SingleThreadInThreadPool&) = delete;

    // The worker loop (argument: the worker object).
    static void* staticThreadFunction(void* worker);
    // Asks the worker to end after its current job (or at its next wake-up).
    void setToTerminate();
    // Reads the thread's scheduling parameters, sets the mapped priority and
    // applies SCHED_FIFO. Failures are ignored.
    static void setThreadPriority(pthread_t thread, ThreadPriority priority);
    // The worker running the calling thread, or null when the caller is not
    // a pool worker.
    static SingleThreadInThreadPool* currentWorker();

    int getIndex() const { return index; }
    bool isBusy() const { return busy.load() != 0; }
    bool isRunning() const { return running.load() != 0; }
    // Whether the system thread was created.
    bool hasStarted() const { return started; }
    ThreadSubPool* getSubPool() const { return subPool; }

private:
    // Runs jobs until terminate is set; returns when the thread should end.
    void runLoop();
    // The common end of the thread: log, report, delete this.
    void finish();

    int index;
    pthread_t thread;
    std::atomic<int> terminate;
    std::atomic<int> busy;
    std::atomic<int> running;
    ThreadPriority currentPriority;  // used by the worker's own thread only
    ThreadSubPool* subPool;
    bool started;  // the thread was created; written before it runs
};

class ThreadSubPool {
public:
    static constexpr int kMaxThreads = 128;

    // Thread count = min(numThreads, 128); starts that many workers.
    ThreadSubPool(int numThreads, ThreadPriority priority);
    // The teardown (when it has not run yet).
    virtual ~ThreadSubPool();
    ThreadSubPool(const ThreadSubPool&) = delete;
    ThreadSubPool& operator=(const ThreadSubPool&) = delete;

    // Queues function(argument) with priority, behind the queued jobs of
    // equal or higher priority. cancelSameKind non-zero first drops pending
    // jobs with the same function and argument. waitForLock zero gives up
    // (0) when the lock is held elsewhere. 0 also while not accepting (or
    // after teardown); 1 when queued.
    int submitJob(void* argument, ThreadJobFunction function, ThreadPriority priority, int cancelSameKind,
                  int waitForLock);
    // Removes pending jobs matching both function and argument, or the one
    // that is given, or all when neither is given. takeLock zero: the caller
    // holds the lock. Running jobs are not affected.
    void cancelAllPendingJobsOfGivenKind(ThreadJobFunction function, void* argument, int takeLock);
    // pending (when given) = queue length; returns the running-jobs count.
    int countJobs(int* pending);
    // The caller holds the lock. 0 when the queue is not empty, else -1
    // (workers always take the front job).
    int getIndexOfNextJobToDo();
    // Grows to min(numThreads, 128) workers (never shrinks), starting a
    // worker in every empty slot below the count.
    void resize(int numThreads);
    // Waits until no worker runs a job (pending jobs are not looked at),
    // polling once a millisecond; gives up after sIdleWaitCycles polls.
    void waitUntilAllThreadsIdle();
    // Refuses submissions, drops pending jobs, waits until idle, then
    // accepts again.
    void waitUntilJobsAreFinished();
    // Called by a worker whose thread ends: live threads - 1.
    void notifyOfTermination(SingleThreadInThreadPool* worker);
    // Ends every worker and releases the queue, lock and condition. Runs
    // once. Never waits for the calling thread's own worker nor for a worker
    // whose thread did not start.
    void destructThreadPool();

    int getThreadCount() const { return threadCount.load(); }
    ThreadPriority getPriority() const { return priority; }
    // The sub-pool's lock (tests hold it to see waitForLock 0 refused).
    RhThreadLock* getLock() const { return lock; }

    // Polls of the idle wait (1000 microseconds each), 10000 normally;
    // tests shorten it.
    static std::atomic<int> sIdleWaitCycles;

private:
    friend class SingleThreadInThreadPool;

    // Lock held: removes matching pending jobs, scanning from the back.
    void cancelLocked(ThreadJobFunction function, void* argument);
    // Lock held: inserts job before the first job of lower priority.
    void insertLocked(const ThreadJob& job);
    // Lock held by a worker: copies the front job out and removes it.
    bool takeFrontJobLocked(ThreadJob* job);

    int liveThreads;                        // guarded by lock
    std::atomic<int> nextJobNumber;
    std::atomic<int> threadCount;           // written under lock
    std::atomic<SingleThreadInThreadPool*> threads[kMaxThreads];  // written under lock
    RhThreadLock* lock;
    ThreadJobQueue* jobQueue;               // guarded by lock; null once torn down (callers that
                                            // checked tornDown before locking check it again)
    RhThreadCondition* condition;
    std::atomic<int> accepting;
    int runningJobs;                        // guarded by lock
    ThreadPriority priority;
    std::atomic<int> tornDown;
};

class ThreadPool {
public:
    static constexpr int kMaxSubPools = 4;

    // index above 3 (or negative): ignored. Otherwise sub-pool index gets
    // min(numThreads, 128) threads and priority, and sNumberOfSubPools
    // becomes at least index + 1. name is not used. Takes effect only when
    // called before the pool is initialised.
    static void registerThreadPool(int index, int numThreads, const char* name, ThreadPriority priority);
    // Once: creates the configured sub-pools and starts all their threads.
    static void initialize();
    // initialize if needed, then the sub-pool's submitJob: 1 queued, 0
    // refused (also for a sub-pool that does not exist).
    static int submitJob(void* argument, ThreadJobFunction function, ThreadPriority priority,
                         ThreadDedicatedSubPool subPool, int cancelSameKind, int waitForLock);
    // initialize if needed; every sub-pool drops its matching pending jobs.
    static void cancelAllPendingJobsOfGivenKind(ThreadJobFunction function, void* argument);
    // numThreads (when given) = the sub-pool's configured thread count;
    // pending (when given) = its queue length; returns its running jobs.
    // Before initialisation (or for a missing sub-pool): 0, pending 0.
    static int countJobs(ThreadDedicatedSubPool subPool, int* pending, int* numThreads);
    // After initialisation, for an existing sub-pool, only to grow: the
    // configured count becomes min(numThreads, 128) and the sub-pool grows.
    static void resizeThreadPool(int index, int numThreads);
    // initialize if needed; the idle wait of each sub-pool in turn.
    static void waitUntilAllThreadsIdle();
    // initialize if needed; each sub-pool's waitUntilJobsAreFinished.
    static void waitUntilJobsAreFinished();
    // The teardown of every sub-pool (when the pool was initialised).
    static void destructThreadPool();

    // SCHED_FIFO priority of a job priority: 1->2, 2->14, 3->15, 4->20,
    // anything else 1.
    static int schedulingPriorityFor(ThreadPriority priority);

    static int sNumberOfSubPools;
    static ThreadPriority sSubPoolInitialPriorities[kMaxSubPools];
    static int sSubPoolNumberOfThreads[kMaxSubPools];
    static ThreadSubPool* sSubPools[kMaxSubPools];
    static std::atomic<bool> sInitialized;
};

// Its destructor tears the pool down at process exit.
class ThreadPoolCleaner {
public:
    ThreadPoolCleaner() = default;
    ~ThreadPoolCleaner();
};

// Starts a thread on function(argument) and, when it started, applies
// SCHED_FIFO with the mapped priority. The thread-creation error code, or 0.
int createNewThread(pthread_t* thread, const pthread_attr_t* attributes, ThreadJobFunction function, void* argument,
                    ThreadPriority priority);
