// The shared state behind a RunLoop. Internal to Platform: the message ports
// keep a weak reference to it, so that a port that outlives its loop detaches
// from nothing instead of from freed memory.
//
// Locking: mutex_ guards sources_, byFd_, timers_, posted_ and stopRequested_.
// No callback runs with mutex_ held, and mutex_ is never held while calling
// out of this object, so callers may hold their own locks when calling in
// (their lock, then mutex_).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "RunLoop.h"

namespace platform::detail {

struct LoopCore {
    using Clock = std::chrono::steady_clock;

    LoopCore();
    ~LoopCore();
    LoopCore(const LoopCore&) = delete;
    LoopCore& operator=(const LoopCore&) = delete;

    bool addFd(int fd, uint32_t events, RunLoop::FdCallback cb);
    bool modifyFd(int fd, uint32_t events);
    void removeFd(int fd);
    RunLoop::TimerId addTimer(Clock::duration firstFire, Clock::duration interval, RunLoop::Callback cb);
    void removeTimer(RunLoop::TimerId id);
    void post(RunLoop::Callback cb);
    void stop();
    // Runs until stop() or until `deadline` (when given); true when stopped.
    bool runUntil(std::optional<Clock::time_point> deadline);

private:
    struct Source {
        int fd;
        std::shared_ptr<RunLoop::FdCallback> cb;
    };
    struct Timer {
        Clock::time_point next;
        Clock::duration interval;
        std::shared_ptr<RunLoop::Callback> cb;
    };

    void wake();
    void drainWake();
    bool takeStop();
    int waitMillis(std::optional<Clock::time_point> deadline);
    bool dispatchSource(uint64_t id, uint32_t events);
    bool runDueTimers();
    bool runPosted();

    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::unordered_map<uint64_t, Source> sources_;
    std::unordered_map<int, uint64_t> byFd_;
    uint64_t nextSourceId_ = 1;  // 0 marks the wake descriptor
    std::map<RunLoop::TimerId, Timer> timers_;
    RunLoop::TimerId nextTimerId_ = 1;
    std::deque<RunLoop::Callback> posted_;
    bool stopRequested_ = false;
};

}  // namespace platform::detail
