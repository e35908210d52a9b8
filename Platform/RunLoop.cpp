#include "RunLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "RunLoopCore.h"

namespace platform {
namespace detail {

namespace {
constexpr int kMaxEventsPerWait = 64;
// Upper bound of one epoll_wait, so that a far deadline never overflows.
constexpr int kMaxWaitMillis = 60 * 60 * 1000;
}  // namespace

LoopCore::LoopCore() {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd_ >= 0 && wakeFd_ >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = 0;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    }
}

LoopCore::~LoopCore() {
    if (wakeFd_ >= 0) close(wakeFd_);
    if (epollFd_ >= 0) close(epollFd_);
}

bool LoopCore::addFd(int fd, uint32_t events, RunLoop::FdCallback cb) {
    if (fd < 0 || epollFd_ < 0 || !cb) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto old = byFd_.find(fd);
    if (old != byFd_.end()) {
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        sources_.erase(old->second);
        byFd_.erase(old);
    }
    const uint64_t id = nextSourceId_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    sources_[id] = Source{fd, std::make_shared<RunLoop::FdCallback>(std::move(cb))};
    byFd_[fd] = id;
    return true;
}

bool LoopCore::modifyFd(int fd, uint32_t events) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byFd_.find(fd);
    if (it == byFd_.end()) return false;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = it->second;
    return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void LoopCore::removeFd(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byFd_.find(fd);
    if (it == byFd_.end()) return;
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    sources_.erase(it->second);
    byFd_.erase(it);
}

RunLoop::TimerId LoopCore::addTimer(Clock::duration firstFire, Clock::duration interval, RunLoop::Callback cb) {
    RunLoop::TimerId id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = nextTimerId_++;
        const auto first = std::max(firstFire, Clock::duration::zero());
        timers_[id] = Timer{Clock::now() + first, interval, std::make_shared<RunLoop::Callback>(std::move(cb))};
    }
    wake();  // the loop may be waiting with a later deadline
    return id;
}

void LoopCore::removeTimer(RunLoop::TimerId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.erase(id);
}

void LoopCore::post(RunLoop::Callback cb) {
    if (!cb) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(std::move(cb));
    }
    wake();
}

void LoopCore::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    wake();
}

void LoopCore::wake() {
    const uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the loop wakes anyway.
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void LoopCore::drainWake() {
    uint64_t value;
    [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
}

bool LoopCore::takeStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool stop = stopRequested_;
    stopRequested_ = false;
    return stop;
}

// Milliseconds to wait in epoll_wait: 0 with posted work, else up to the
// earliest timer or the deadline, rounded up so that a timer is never early.
int LoopCore::waitMillis(std::optional<Clock::time_point> deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!posted_.empty() || stopRequested_) return 0;
    std::optional<Clock::time_point> wakeAt = deadline;
    for (const auto& entry : timers_) {
        if (!wakeAt || entry.second.next < *wakeAt) wakeAt = entry.second.next;
    }
    if (!wakeAt) return kMaxWaitMillis;
    const auto left = *wakeAt - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<int64_t>(ms, kMaxWaitMillis));
}

// Runs the callback of source `id` unless it was removed meanwhile. Returns
// true when a stop was requested.
bool LoopCore::dispatchSource(uint64_t id, uint32_t events) {
    std::shared_ptr<RunLoop::FdCallback> cb;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sources_.find(id);
        if (it == sources_.end()) return false;
        cb = it->second.cb;
    }
    (*cb)(events);
    return takeStop();
}

bool LoopCore::runDueTimers() {
    const auto now = Clock::now();
    std::vector<std::pair<Clock::time_point, RunLoop::TimerId>> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : timers_) {
            if (entry.second.next <= now) due.emplace_back(entry.second.next, entry.first);
        }
    }
    std::sort(due.begin(), due.end());
    for (const auto& item : due) {
        std::shared_ptr<RunLoop::Callback> cb;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = timers_.find(item.second);
            if (it == timers_.end()) continue;  // removed by an earlier callback
            cb = it->second.cb;
            if (it->second.interval <= Clock::duration::zero()) {
                timers_.erase(it);
            } else {
                // Firings missed while the loop was busy are dropped, not bunched.
                it->second.next += it->second.interval;
                if (it->second.next <= now) it->second.next = now + it->second.interval;
            }
        }
        (*cb)();
        if (takeStop()) return true;
    }
    return false;
}

// Runs the calls posted before this pass; later posts wait for the next pass.
bool LoopCore::runPosted() {
    std::deque<RunLoop::Callback> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(posted_);
    }
    while (!batch.empty()) {
        RunLoop::Callback cb = std::move(batch.front());
        batch.pop_front();
        cb();
        if (takeStop()) {
            // Keep the rest, in order, ahead of anything posted meanwhile.
            std::lock_guard<std::mutex> lock(mutex_);
            posted_.insert(posted_.begin(), std::make_move_iterator(batch.begin()),
                           std::make_move_iterator(batch.end()));
            return true;
        }
    }
    return false;
}

bool LoopCore::runUntil(std::optional<Clock::time_point> deadline) {
    if (epollFd_ < 0 || wakeFd_ < 0) return false;
    epoll_event events[kMaxEventsPerWait];
    for (;;) {
        if (takeStop()) return true;
        if (deadline && Clock::now() >= *deadline) return false;
        const int n = epoll_wait(epollFd_, events, kMaxEventsPerWait, waitMillis(deadline));
        if (n < 0 && errno != EINTR) return false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == 0) {
                drainWake();
                continue;
            }
            if (dispatchSource(events[i].data.u64, events[i].events)) return true;
        }
        if (runDueTimers()) return true;
        if (runPosted()) return true;
    }
}

std::shared_ptr<LoopCore> loopCore(RunLoop& loop) { return loop.core_; }

}  // namespace detail

namespace {
using Clock = detail::LoopCore::Clock;

Clock::duration toClock(std::chrono::duration<double> d) {
    // Clamp before converting: a huge or infinite duration must not overflow.
    constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
    double s = d.count();
    if (!(s > 0)) s = 0;  // also NaN
    s = std::min(s, kMaxSeconds);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}
}  // namespace

RunLoop::RunLoop() : core_(std::make_shared<detail::LoopCore>()) {}
RunLoop::~RunLoop() = default;

RunLoop& RunLoop::current() {
    static thread_local RunLoop loop;
    return loop;
}

bool RunLoop::addFd(int fd, uint32_t events, FdCallback cb) { return core_->addFd(fd, events, std::move(cb)); }
bool RunLoop::modifyFd(int fd, uint32_t events) { return core_->modifyFd(fd, events); }
void RunLoop::removeFd(int fd) { core_->removeFd(fd); }

RunLoop::TimerId RunLoop::addTimer(std::chrono::duration<double> firstFire, std::chrono::duration<double> interval,
                                   Callback cb) {
    return core_->addTimer(toClock(firstFire), toClock(interval), std::move(cb));
}

void RunLoop::removeTimer(TimerId id) { core_->removeTimer(id); }
void RunLoop::post(Callback cb) { core_->post(std::move(cb)); }
void RunLoop::run() { core_->runUntil(std::nullopt); }

bool RunLoop::runFor(std::chrono::duration<double> limit) {
    return core_->runUntil(Clock::now() + toClock(limit));
}

void RunLoop::stop() { core_->stop(); }

}  // namespace platform
