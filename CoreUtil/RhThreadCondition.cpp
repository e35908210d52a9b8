#include "RhThreadCondition.h"

#include <sys/time.h>

RhThreadCondition::RhThreadCondition(RhThreadLock* boundLock) : lock(boundLock) {
    pthread_cond_init(&condition, nullptr);
}

struct timespec RhThreadCondition::deadlineAfter(long long nowSeconds, long long nowMicroseconds,
                                                 int milliseconds) {
    long long totalMilliseconds = nowMicroseconds / 1000 + milliseconds;
    struct timespec deadline;
    deadline.tv_sec = static_cast<time_t>(nowSeconds + totalMilliseconds / 1000);
    deadline.tv_nsec = static_cast<long>((totalMilliseconds % 1000) * 1000000);
    return deadline;
}

int RhThreadCondition::waitForCondition(int milliseconds) {
    if (milliseconds <= 0) return pthread_cond_wait(&condition, &lock->mutex);
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec deadline = deadlineAfter(now.tv_sec, now.tv_usec, milliseconds);
    return pthread_cond_timedwait(&condition, &lock->mutex, &deadline);
}

int RhThreadCondition::signalCondition() { return pthread_cond_signal(&condition); }

int RhThreadCondition::broadcastCondition() { return pthread_cond_broadcast(&condition); }
