// A small run loop on epoll: file-descriptor sources, repeating timers and
// posted calls, all run one at a time on the thread that calls run().
//
// Locking: the loop's tables are guarded by one mutex (RunLoopCore.h); callbacks run
// without it held, so a callback may add or remove sources and timers, post,
// or stop the loop. Every member except run() and runFor() may be called from
// any thread. Sources are told apart by an id that is never reused, so an
// event that was already fetched for a removed source is dropped even when
// its descriptor number has been reused meanwhile.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class RunLoop;

namespace detail {
// The state of a run loop, shared with the message ports so that a port that
// outlives its loop can still detach from it safely (RunLoopCore.h).
struct LoopCore;
std::shared_ptr<LoopCore> loopCore(RunLoop& loop);
}  // namespace detail

class RunLoop {
public:
    using Callback = std::function<void()>;
    // Events handed to a source callback: bit mask of EPOLLIN, EPOLLOUT,
    // EPOLLRDHUP, EPOLLHUP, EPOLLERR.
    using FdCallback = std::function<void(uint32_t events)>;
    using TimerId = uint64_t;

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // The run loop of the calling thread, made on first use.
    static RunLoop& current();

    // Watches fd for the given epoll events; cb runs on the loop thread.
    // Returns false when the descriptor cannot be watched. Replaces an
    // earlier watch of the same fd.
    bool addFd(int fd, uint32_t events, FdCallback cb);
    // Changes the events watched for fd.
    bool modifyFd(int fd, uint32_t events);
    // Stops watching fd; its callback will not start afterwards (a call that
    // another thread is running right now finishes). Call it before closing fd.
    void removeFd(int fd);

    // A timer that first fires after `firstFire` and then every `interval`
    // (interval <= 0: fires once). Returns its id.
    TimerId addTimer(std::chrono::duration<double> firstFire, std::chrono::duration<double> interval,
                     Callback cb);
    // Cancels a timer; a timer that is firing right now finishes its callback.
    void removeTimer(TimerId id);

    // Runs cb once on the loop thread, after the current callback.
    void post(Callback cb);

    // Runs until stop() is called. Returns at once when stop() came first.
    void run();
    // Runs until stop() or until `limit` has passed; returns true when stopped.
    bool runFor(std::chrono::duration<double> limit);
    // Makes run() return after the callback in progress; callable from any thread.
    void stop();

private:
    friend std::shared_ptr<detail::LoopCore> detail::loopCore(RunLoop& loop);
    std::shared_ptr<detail::LoopCore> core_;
};

}  // namespace platform
