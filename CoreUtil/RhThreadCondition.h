// RhThreadLock and RhThreadCondition: the foundation's mutex and a condition
// variable bound to one such lock.
//
// Locking rule: waitForCondition may be called only by a thread that holds
// the bound lock; signalCondition and broadcastCondition may be called with
// or without it. Wake-ups can be spurious, so waiters test their own
// predicate in a loop.
#pragma once

#include <pthread.h>

// A system mutex as the first and only member, so that a pointer to the lock
// serves wherever a pthread_mutex_t* is expected.
struct RhThreadLock {
    pthread_mutex_t mutex;

    // Initialises the mutex with default attributes.
    RhThreadLock() { pthread_mutex_init(&mutex, nullptr); }
    // Destroys the mutex; it must not be held.
    ~RhThreadLock() { pthread_mutex_destroy(&mutex); }
    RhThreadLock(const RhThreadLock&) = delete;
    RhThreadLock& operator=(const RhThreadLock&) = delete;

    // Takes the lock, waiting as long as needed; 0 on success.
    int lock() { return pthread_mutex_lock(&mutex); }
    // Takes the lock only when it is free at once; 0 when taken, else EBUSY.
    int tryLock() { return pthread_mutex_trylock(&mutex); }
    // Releases the lock held by the caller; 0 on success.
    int unlock() { return pthread_mutex_unlock(&mutex); }
};

class RhThreadCondition {
public:
    // Initialises the condition with default attributes and binds it to lock
    // (not owned).
    explicit RhThreadCondition(RhThreadLock* lock);
    // Releases nothing: the system condition is left as it is.
    ~RhThreadCondition() {}
    RhThreadCondition(const RhThreadCondition&) = delete;
    RhThreadCondition& operator=(const RhThreadCondition&) = delete;

    // The caller holds the bound lock. milliseconds <= 0: waits until
    // signalled. Otherwise waits until signalled or until now + milliseconds
    // has passed. Returns the system wait's code: 0 when signalled, ETIMEDOUT
    // when the deadline passed. The caller holds the lock again on return.
    int waitForCondition(int milliseconds);
    // Wakes one waiting thread.
    int signalCondition();
    // Wakes every waiting thread.
    int broadcastCondition();

    // The absolute deadline now + milliseconds, from the time of day given as
    // seconds and microseconds (whole milliseconds of now are kept, the
    // microseconds below them dropped).
    static struct timespec deadlineAfter(long long nowSeconds, long long nowMicroseconds, int milliseconds);

private:
    pthread_cond_t condition;
    RhThreadLock* lock;
};
