#include "RhThreadPool.h"

#include <cstdint>
#include <mutex>
#include <sched.h>
#include <unistd.h>

#include "DiagnosticLog.h"

namespace {

// Log lines name objects by the low 32 bits of their address.
unsigned hexId(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// The worker whose thread is running, so that a teardown that runs on a
// worker (the process exits from inside a job) does not wait for itself.
thread_local SingleThreadInThreadPool* tCurrentWorker = nullptr;

std::mutex& initMutex() {
    static std::mutex m;
    return m;
}

const int kPollMicroseconds = 1000;

}  // namespace

// ---- ThreadJobQueue ----

ThreadJob* ThreadJobQueue::operator[](unsigned index) const {
    if (index >= static_cast<unsigned>(count)) return nullptr;
    return reinterpret_cast<ThreadJob*>(slot(static_cast<int>(index)));
}

// ---- Scheduling ----

int ThreadPool::schedulingPriorityFor(ThreadPriority priority) {
    switch (priority) {
        case kThreadPriorityLow: return 2;
        case kThreadPriorityNormal: return 14;
        case kThreadPriorityHigh: return 15;
        case kThreadPriorityHighest: return 20;
        default: return 1;
    }
}

void SingleThreadInThreadPool::setThreadPriority(pthread_t thread, ThreadPriority priority) {
    // Workers stay in the normal time-sharing class. Real-time classes are
    // hard real time on Linux: granted (as root, or with the RLIMIT_RTPRIO of
    // audio setups), six CPU-bound workers would starve the serving thread,
    // the desktop and the host's own threads for the length of a load. The
    // job priority still decides which queued job starts first.
    (void)priority;
    struct sched_param param;
    param.sched_priority = 0;
    (void)pthread_setschedparam(thread, SCHED_OTHER, &param);
}

int createNewThread(pthread_t* thread, const pthread_attr_t* attributes, ThreadJobFunction function, void* argument,
                    ThreadPriority priority) {
    int rc = pthread_create(thread, attributes, function, argument);
    if (rc == 0) SingleThreadInThreadPool::setThreadPriority(*thread, priority);
    return rc;
}

// ---- SingleThreadInThreadPool ----

SingleThreadInThreadPool::SingleThreadInThreadPool(ThreadSubPool* pool, int slotIndex, ThreadPriority priority)
    : index(slotIndex), thread(), terminate(0), busy(0), running(0), currentPriority(priority), subPool(pool),
      started(false) {
    pthread_t t;
    if (pthread_create(&t, nullptr, staticThreadFunction, this) == 0) {
        // The object outlives its thread only until teardown, when the thread
        // deletes it; nobody joins.
        thread = t;
        started = true;
        pthread_detach(t);
        setThreadPriority(t, priority);
    }
}

SingleThreadInThreadPool::~SingleThreadInThreadPool() {}

SingleThreadInThreadPool* SingleThreadInThreadPool::currentWorker() { return tCurrentWorker; }

void SingleThreadInThreadPool::setToTerminate() {
    terminate = 1;
    DiagnosticLog::addEventToLog(" SingleThreadInThreadPool::setToTerminate() = setting flag ON %x", hexId(this));
}

void* SingleThreadInThreadPool::staticThreadFunction(void* argument) {
    SingleThreadInThreadPool* worker = static_cast<SingleThreadInThreadPool*>(argument);
    tCurrentWorker = worker;
    worker->running = 1;
    worker->runLoop();
    worker->finish();
    return nullptr;
}

void SingleThreadInThreadPool::runLoop() {
    ThreadSubPool* pool = subPool;
    for (;;) {
        pool->lock->lock();
        while (terminate == 0 && pool->jobQueue->getCount() == 0) {
            pool->condition->waitForCondition(0);
            DiagnosticLog::addEventToLog("StaticThreadFunction:  Thread wake up %x %d term?=%d", hexId(this), index,
                                         terminate.load());
        }
        if (terminate != 0) {
            DiagnosticLog::addEventToLog(
                "SingleThreadInThreadPool::staticThreadFunction() - term flag was set: extiting thread; %d - %x", index,
                hexId(this));
            pool->lock->unlock();
            busy = 0;
            return;
        }
        busy = 1;
        ThreadJob job;
        pool->takeFrontJobLocked(&job);
        pool->runningJobs++;
        pool->lock->unlock();

        if (currentPriority < 0 || currentPriority != job.priority) {
            setThreadPriority(pthread_self(), job.priority);
            currentPriority = job.priority;
        }
        job.function(job.argument);

        pool->lock->lock();
        pool->runningJobs--;
        pool->lock->unlock();
        busy = 0;

        if (terminate != 0) {
            DiagnosticLog::addEventToLog(
                "SingleThreadInThreadPool::staticThreadFunction() - term flag was set: extiting thread; %d - %x", index,
                hexId(this));
            return;
        }
    }
}

void SingleThreadInThreadPool::finish() {
    running = 0;
    tCurrentWorker = nullptr;
    subPool->notifyOfTermination(this);
    delete this;
}

// ---- ThreadSubPool ----

std::atomic<int> ThreadSubPool::sIdleWaitCycles(10000);

ThreadSubPool::ThreadSubPool(int numThreads, ThreadPriority subPoolPriority)
    : liveThreads(0), nextJobNumber(1), threadCount(0), lock(new RhThreadLock),
      jobQueue(new ThreadJobQueue), condition(nullptr), accepting(1), runningJobs(0), priority(subPoolPriority),
      tornDown(0) {
    for (auto& worker : threads) worker = nullptr;
    condition = new RhThreadCondition(lock);
    int count = numThreads < kMaxThreads ? numThreads : kMaxThreads;
    threadCount = count > 0 ? count : 0;
    resize(threadCount);
}

ThreadSubPool::~ThreadSubPool() { destructThreadPool(); }

void ThreadSubPool::resize(int numThreads) {
    if (tornDown) return;
    lock->lock();
    if (tornDown) {  // torn down while this waited for the lock
        lock->unlock();
        return;
    }
    int wanted = numThreads < kMaxThreads ? numThreads : kMaxThreads;
    if (wanted > threadCount) threadCount = wanted;
    for (int i = 0; i < threadCount; ++i) {
        if (threads[i] == nullptr) threads[i] = new SingleThreadInThreadPool(this, i, priority);
    }
    lock->unlock();
}

void ThreadSubPool::insertLocked(const ThreadJob& job) {
    int n = jobQueue->getCount();
    for (int i = 0; i < n; ++i) {
        if ((*jobQueue)[static_cast<unsigned>(i)]->priority < job.priority) {
            jobQueue->insertBefore(const_cast<ThreadJob*>(&job), i);
            return;
        }
    }
    jobQueue->append(&job);
}

bool ThreadSubPool::takeFrontJobLocked(ThreadJob* job) {
    int next = getIndexOfNextJobToDo();
    if (next < 0) return false;
    ThreadJob* front = (*jobQueue)[static_cast<unsigned>(next)];
    *job = *front;
    jobQueue->deleteElement(next);
    return true;
}

int ThreadSubPool::submitJob(void* argument, ThreadJobFunction function, ThreadPriority jobPriority,
                             int cancelSameKind, int waitForLock) {
    if (tornDown || accepting == 0 || function == nullptr) return 0;
    int number = nextJobNumber++;
    if (waitForLock) {
        lock->lock();
    } else if (lock->tryLock() != 0) {
        return 0;
    }
    // A teardown may have run while this waited for the lock: the queue is
    // gone then (it is released under the lock).
    if (jobQueue == nullptr) {
        lock->unlock();
        return 0;
    }
    if (cancelSameKind) {
        for (int i = jobQueue->getCount() - 1; i >= 0; --i) {
            ThreadJob* j = (*jobQueue)[static_cast<unsigned>(i)];
            if (j->function == function && j->argument == argument) jobQueue->deleteElement(i);
        }
    }
    ThreadJob job = {number, argument, function, jobPriority};
    int before = jobQueue->getCount();
    insertLocked(job);
    if (jobQueue->getCount() == before) {  // no memory for the record
        lock->unlock();
        return 0;
    }
    DiagnosticLog::addEventToLog("ThreadSubPool::submitJob: new job received; sending signal %x ", hexId(this));
    condition->signalCondition();
    lock->unlock();
    return 1;
}

void ThreadSubPool::cancelLocked(ThreadJobFunction function, void* argument) {
    if (jobQueue == nullptr) return;  // torn down
    for (int i = jobQueue->getCount() - 1; i >= 0; --i) {
        ThreadJob* j = (*jobQueue)[static_cast<unsigned>(i)];
        bool match;
        if (function && argument) match = j->function == function && j->argument == argument;
        else if (function) match = j->function == function;
        else if (argument) match = j->argument == argument;
        else match = true;
        if (match) jobQueue->deleteElement(i);
    }
}

void ThreadSubPool::cancelAllPendingJobsOfGivenKind(ThreadJobFunction function, void* argument, int takeLock) {
    if (tornDown) return;
    if (takeLock) lock->lock();
    cancelLocked(function, argument);
    if (takeLock) lock->unlock();
}

int ThreadSubPool::countJobs(int* pending) {
    if (tornDown) {
        if (pending) *pending = 0;
        return 0;
    }
    lock->lock();
    if (pending) *pending = jobQueue != nullptr ? jobQueue->getCount() : 0;
    int running = runningJobs;
    lock->unlock();
    return running;
}

int ThreadSubPool::getIndexOfNextJobToDo() { return jobQueue && jobQueue->getCount() > 0 ? 0 : -1; }

void ThreadSubPool::waitUntilAllThreadsIdle() {
    DiagnosticLog::addEventToLog(" ThreadPool::waitUntilAllThreadsIdle - beginning 10 seconds; %x", hexId(this));
    int cycles = sIdleWaitCycles.load();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        bool anyBusy = false;
        int n = threadCount;
        for (int i = 0; i < n && !anyBusy; ++i) {
            SingleThreadInThreadPool* worker = threads[i];
            anyBusy = worker != nullptr && worker->isBusy();
        }
        if (!anyBusy) {
            DiagnosticLog::addEventToLog(" ThreadPool::waitUntilAllThreadsIdle: all done after %d loops; %x", cycle,
                                         hexId(this));
            return;
        }
        usleep(kPollMicroseconds);
    }
    DiagnosticLog::addEventToLog(" ThreadPool::waitUntilAllThreadsIdle: some Ts still running after 10 secs; %x",
                                 hexId(this));
}

void ThreadSubPool::waitUntilJobsAreFinished() {
    DiagnosticLog::addEventToLog("ThreadSubPool::waitUntilJobsAreFinished() ENTER %x ", hexId(this));
    accepting = 0;
    cancelAllPendingJobsOfGivenKind(nullptr, nullptr, 1);
    waitUntilAllThreadsIdle();
    accepting = 1;
    DiagnosticLog::addEventToLog("ThreadSubPool::waitUntilJobsAreFinished() EXIT %x ", hexId(this));
}

void ThreadSubPool::notifyOfTermination(SingleThreadInThreadPool* worker) {
    DiagnosticLog::addEventToLog("ThreadSubPool::notifyOfTermination ENTER; pool=%x; thread=%x", hexId(this),
                                 hexId(worker));
    lock->lock();
    int before = liveThreads;
    liveThreads = before - 1;
    DiagnosticLog::addEventToLog("ThreadSubPool::notifyOfTermination: live threads %d -> %d; pool=%x; thread=%x",
                                 before, before - 1, hexId(this), hexId(worker));
    lock->unlock();
}

void ThreadSubPool::destructThreadPool() {
    if (tornDown.exchange(1) != 0) return;
    DiagnosticLog::addEventToLog("DestructThread SUBPool ENTER %x", hexId(this));

    // The caller's own worker cannot report its end while it runs this, and
    // a worker whose thread never started never will: neither is waited for.
    SingleThreadInThreadPool* self = SingleThreadInThreadPool::currentWorker();
    bool calledFromOwnWorker = self != nullptr && self->getSubPool() == this;

    lock->lock();
    int live = 0;
    for (int i = 0; i < threadCount; ++i) {
        SingleThreadInThreadPool* worker = threads[i];
        if (worker && worker->hasStarted() && worker != self) ++live;
    }
    liveThreads = live;
    for (int i = 0; i < threadCount; ++i) {
        if (SingleThreadInThreadPool* worker = threads[i]) worker->setToTerminate();
    }
    lock->unlock();

    for (;;) {
        lock->lock();
        live = liveThreads;
        lock->unlock();
        if (live <= 0) break;
        DiagnosticLog::addEventToLog("DestructThreadSUBPool:  sending signal; %x\n", hexId(this));
        condition->signalCondition();
        usleep(kPollMicroseconds);
        lock->lock();
        live = liveThreads;
        lock->unlock();
        DiagnosticLog::addEventToLog("DestructThreadSUBPool: Sleeping: pending count %d, %x\n", live, hexId(this));
    }
    DiagnosticLog::addEventToLog("DestructThreadPool EXITING (done) %d, %x\n", live, hexId(this));

    // Pending jobs that no worker took are dropped.
    lock->lock();
    delete jobQueue;
    jobQueue = nullptr;
    lock->unlock();
    // A worker that runs this teardown still takes the lock when its job
    // returns, so the lock and condition stay for it.
    if (!calledFromOwnWorker) {
        delete condition;
        condition = nullptr;
        delete lock;
        lock = nullptr;
    }
}

// ---- ThreadPool ----

int ThreadPool::sNumberOfSubPools = 1;
ThreadPriority ThreadPool::sSubPoolInitialPriorities[kMaxSubPools] = {kThreadPriorityNormal, kThreadPriorityNormal,
                                                                       kThreadPriorityNormal, kThreadPriorityNormal};
int ThreadPool::sSubPoolNumberOfThreads[kMaxSubPools] = {6, 6, 6, 6};
ThreadSubPool* ThreadPool::sSubPools[kMaxSubPools] = {nullptr, nullptr, nullptr, nullptr};
std::atomic<bool> ThreadPool::sInitialized(false);

static ThreadPoolCleaner sThreadPoolCleaner;

void ThreadPool::registerThreadPool(int index, int numThreads, const char* name, ThreadPriority priority) {
    (void)name;
    if (index < 0 || index >= kMaxSubPools) return;
    // The tables are read by running workers once the pool exists.
    if (sInitialized.load()) return;
    if (sNumberOfSubPools < index + 1) sNumberOfSubPools = index + 1;
    sSubPoolInitialPriorities[index] = priority;
    int count = numThreads < ThreadSubPool::kMaxThreads ? numThreads : ThreadSubPool::kMaxThreads;
    sSubPoolNumberOfThreads[index] = count > 0 ? count : 0;
}

void ThreadPool::initialize() {
    if (sInitialized.load()) return;
    std::lock_guard<std::mutex> guard(initMutex());
    if (sInitialized.load()) return;
    // Let the log decide before any worker exists, so that no worker ever
    // opens the log while it holds its sub-pool's lock.
    DiagnosticLog::initialize(DiagnosticLog::sDefaultLogFileName);
    for (int i = 0; i < sNumberOfSubPools && i < kMaxSubPools; ++i) {
        sSubPools[i] = new ThreadSubPool(sSubPoolNumberOfThreads[i], sSubPoolInitialPriorities[i]);
        DiagnosticLog::addEventToLog("  ThreadPool::initialize(): new SUB pool %d %x numThreads=%d", i,
                                     hexId(sSubPools[i]), sSubPools[i]->getThreadCount());
    }
    sInitialized = true;
}

static ThreadSubPool* existingSubPool(int index) {
    if (index < 0 || index >= ThreadPool::kMaxSubPools || index >= ThreadPool::sNumberOfSubPools) return nullptr;
    return ThreadPool::sSubPools[index];
}

int ThreadPool::submitJob(void* argument, ThreadJobFunction function, ThreadPriority priority,
                          ThreadDedicatedSubPool subPool, int cancelSameKind, int waitForLock) {
    initialize();
    ThreadSubPool* pool = existingSubPool(subPool);
    if (!pool) return 0;
    return pool->submitJob(argument, function, priority, cancelSameKind, waitForLock);
}

void ThreadPool::cancelAllPendingJobsOfGivenKind(ThreadJobFunction function, void* argument) {
    initialize();
    for (int i = 0; i < kMaxSubPools; ++i) {
        if (ThreadSubPool* pool = existingSubPool(i)) pool->cancelAllPendingJobsOfGivenKind(function, argument, 1);
    }
}

int ThreadPool::countJobs(ThreadDedicatedSubPool subPool, int* pending, int* numThreads) {
    bool validIndex = subPool >= 0 && subPool < kMaxSubPools;
    if (numThreads) *numThreads = validIndex ? sSubPoolNumberOfThreads[subPool] : 0;
    ThreadSubPool* pool = sInitialized.load() ? existingSubPool(subPool) : nullptr;
    if (!pool) {
        if (pending) *pending = 0;
        return 0;
    }
    return pool->countJobs(pending);
}

void ThreadPool::resizeThreadPool(int index, int numThreads) {
    if (!sInitialized.load()) return;
    ThreadSubPool* pool = existingSubPool(index);
    if (!pool || sSubPoolNumberOfThreads[index] >= numThreads) return;
    sSubPoolNumberOfThreads[index] = numThreads < ThreadSubPool::kMaxThreads ? numThreads : ThreadSubPool::kMaxThreads;
    pool->resize(sSubPoolNumberOfThreads[index]);
}

void ThreadPool::waitUntilAllThreadsIdle() {
    initialize();
    for (int i = 0; i < kMaxSubPools; ++i) {
        if (ThreadSubPool* pool = existingSubPool(i)) pool->waitUntilAllThreadsIdle();
    }
}

void ThreadPool::waitUntilJobsAreFinished() {
    DiagnosticLog::addEventToLog("ThreadPool::waitUntilJobsAreFinished() ENTER ");
    initialize();
    for (int i = 0; i < kMaxSubPools; ++i) {
        if (ThreadSubPool* pool = existingSubPool(i)) pool->waitUntilJobsAreFinished();
    }
    DiagnosticLog::addEventToLog("ThreadPool::waitUntilJobsAreFinished() EXIT  ");
}

void ThreadPool::destructThreadPool() {
    // A process that never used the pool has nothing to end; it does not
    // open the log at exit just to say so.
    if (!sInitialized.load()) return;
    DiagnosticLog::addEventToLog("static thread cleanter BEGINNING");
    for (int i = 0; i < kMaxSubPools; ++i) {
        if (ThreadSubPool* pool = existingSubPool(i)) pool->destructThreadPool();
    }
}

ThreadPoolCleaner::~ThreadPoolCleaner() { ThreadPool::destructThreadPool(); }
