// RemotePort: a connected AF_UNIX socket to a LocalPort. Requests go out one
// at a time under a per-port mutex; every wait is a poll() with a deadline.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "MessagePort.h"
#include "PortFolder.h"
#include "PortFrame.h"
#include "RunLoopCore.h"
#include "SysCalls.h"

namespace platform {
namespace {

using detail::Clock;
using detail::FrameHeader;
using detail::HeaderCheck;

constexpr size_t kReadChunk = 64 * 1024;

enum class SendResult { kDone, kTimeout, kTimeoutCut, kPeerGone, kError };

// SO_SNDTIMEO for a blocking connect that waits `seconds` (above 0): at
// least a microsecond, since a zero timeval would mean no limit at all.
timeval connectLimit(double seconds) {
    const double capped = std::min(seconds, 24.0 * 3600);
    timeval limit{static_cast<time_t>(capped), static_cast<suseconds_t>((capped - std::floor(capped)) * 1e6)};
    if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1;
    return limit;
}

// The turn of one request on a port: a lock whose wait has a deadline. Made
// of a mutex and a condition because the thread sanitizer of this toolchain
// does not follow the timed wait of std::timed_mutex.
class TurnLock {
public:
    bool try_lock_until(Clock::time_point deadline) {
        std::unique_lock<std::mutex> guard(mutex_);
        if (!free_.wait_until(guard, deadline, [this] { return !held_; })) return false;
        held_ = true;
        return true;
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            held_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool held_ = false;  // guarded by mutex_
};

// The process id that the connected socket's peer had when it listened (0
// when that process is outside our pid namespace), or -1.
pid_t peerPidOf(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return -1;
    return cred.pid;
}

}  // namespace

// Locking: sendMutex serialises requests and guards inbuf and lastSequence
// (a request waits for it no longer than its send time-out);
// stateMutex guards valid, loop, watching and callback. Order: sendMutex,
// then stateMutex, then the run loop's own mutex. The descriptor stays open
// (only shut down on invalidation) until the Impl is destroyed, so a thread
// that polls it never meets a reused number.
struct RemotePort::Impl : std::enable_shared_from_this<RemotePort::Impl> {
    Impl(std::string portName, int socketFd, pid_t peerPid) : name(std::move(portName)), fd(socketFd), peer(peerPid) {}
    ~Impl() { close(fd); }

    void invalidate(bool runCallback);
    void postCallback(detail::LoopCore& core);
    bool checkValid();
    void setCallback(const std::shared_ptr<detail::LoopCore>& core, std::function<void()> cb);
    int request(int32_t messageId, const void* data, size_t length, double sendTimeout, double receiveTimeout,
                bool wantReply, std::string* reply);

    SendResult sendFrame(const unsigned char* head, const void* data, size_t length, Clock::time_point deadline);
    int receiveReply(uint32_t sequence, Clock::time_point deadline, std::string* reply);

    const std::string name;
    const int fd;
    const pid_t peer;

    TurnLock sendMutex;
    std::string inbuf;
    uint32_t lastSequence = 0;

    std::mutex stateMutex;
    bool valid = true;
    bool watching = false;
    std::weak_ptr<detail::LoopCore> loop;
    std::function<void()> callback;
};

void RemotePort::Impl::invalidate(bool runCallback) {
    std::shared_ptr<detail::LoopCore> core;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!valid) return;
        valid = false;
        core = loop.lock();
        if (core && watching) core->removeFd(fd);
        watching = false;
        // Wakes any thread waiting in poll() on the descriptor; the peer sees
        // the connection close.
        shutdown(fd, SHUT_RDWR);
        if (!runCallback) callback = nullptr;
    }
    // Always posted, never run here: the caller may hold locks that the
    // callback takes.
    if (runCallback && core) postCallback(*core);
}

void RemotePort::Impl::postCallback(detail::LoopCore& core) {
    std::weak_ptr<Impl> weak = weak_from_this();
    core.post([weak] {
        auto self = weak.lock();
        if (!self) return;  // the port was destroyed meanwhile
        std::function<void()> cb;
        {
            std::lock_guard<std::mutex> lock(self->stateMutex);
            cb.swap(self->callback);  // runs once
        }
        if (cb) cb();
    });
}

bool RemotePort::Impl::checkValid() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!valid) return false;
        pollfd p{fd, POLLRDHUP, 0};
        if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return true;
    }
    invalidate(true);
    return false;
}

void RemotePort::Impl::setCallback(const std::shared_ptr<detail::LoopCore>& core, std::function<void()> cb) {
    bool alreadyGone = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        auto old = loop.lock();
        if (old && watching) old->removeFd(fd);
        watching = false;
        loop = core;
        callback = std::move(cb);
        if (!valid) {
            alreadyGone = true;
        } else {
            // Hang-ups only, not EPOLLIN: replies are read by the sending
            // threads, and a readable event here would take them away.
            std::weak_ptr<Impl> weak = weak_from_this();
            watching = core->addFd(fd, EPOLLRDHUP | EPOLLHUP, [weak](uint32_t) {
                if (auto self = weak.lock()) self->invalidate(true);
            });
        }
    }
    if (alreadyGone) postCallback(*core);
}

SendResult RemotePort::Impl::sendFrame(const unsigned char* head, const void* data, size_t length,
                                       Clock::time_point deadline) {
    const size_t total = detail::kFrameHeaderBytes + length;
    size_t sent = 0;
    while (sent < total) {
        iovec parts[2];
        int count = 0;
        if (sent < detail::kFrameHeaderBytes) {
            parts[count++] = {const_cast<unsigned char*>(head) + sent, detail::kFrameHeaderBytes - sent};
            if (length > 0) parts[count++] = {const_cast<void*>(data), length};
        } else {
            const size_t done = sent - detail::kFrameHeaderBytes;
            parts[count++] = {static_cast<char*>(const_cast<void*>(data)) + done, length - done};
        }
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = static_cast<size_t>(count);
        const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = poll(&p, 1, detail::millisUntil(deadline));
            if (ready == 0) return sent == 0 ? SendResult::kTimeout : SendResult::kTimeoutCut;
            if (ready < 0 && errno != EINTR) return SendResult::kError;
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) return SendResult::kPeerGone;
        return SendResult::kError;
    }
    return SendResult::kDone;
}

// Waits for the reply with `sequence`, dropping replies to earlier requests
// whose senders stopped waiting.
int RemotePort::Impl::receiveReply(uint32_t sequence, Clock::time_point deadline, std::string* reply) {
    for (;;) {
        while (inbuf.size() >= detail::kFrameHeaderBytes) {
            FrameHeader header;
            const auto* bytes = reinterpret_cast<const unsigned char*>(inbuf.data());
            if (detail::decodeHeader(bytes, &header) != HeaderCheck::kOk || header.kind != detail::kFrameReply) {
                invalidate(true);  // the stream cannot be followed any more
                return kPortTransportError;
            }
            const size_t total = detail::kFrameHeaderBytes + header.length;
            if (inbuf.size() < total) break;
            if (header.sequence == sequence) {
                if (reply) reply->assign(inbuf, detail::kFrameHeaderBytes, header.length);
                inbuf.erase(0, total);
                return kPortSuccess;
            }
            inbuf.erase(0, total);
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, detail::millisUntil(deadline));
        if (ready == 0) return kPortReceiveTimeout;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return kPortTransportError;
        }
        const size_t old = inbuf.size();
        inbuf.resize(old + kReadChunk);
        const ssize_t n = recv(fd, &inbuf[old], kReadChunk, MSG_DONTWAIT);
        inbuf.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n > 0) continue;
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n == 0 || errno == ECONNRESET) {
            invalidate(true);
            return kPortBecameInvalid;
        }
        return kPortTransportError;
    }
}

int RemotePort::Impl::request(int32_t messageId, const void* data, size_t length, double sendTimeout,
                              double receiveTimeout, bool wantReply, std::string* reply) {
    if (length > kMaxMessageBytes || (length > 0 && data == nullptr)) return kPortTransportError;
    // One deadline for waiting behind other requests and for writing: a
    // request stuck behind one that waits long for its reply times out
    // instead of holding up its caller (and any lock the caller holds).
    const Clock::time_point sendDeadline = detail::deadlineAfter(sendTimeout);
    std::unique_lock<TurnLock> serial(sendMutex, std::defer_lock);
    if (!serial.try_lock_until(sendDeadline)) return kPortSendTimeout;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!valid) return kPortIsInvalid;
    }
    FrameHeader header;
    header.kind = detail::kFrameRequest;
    header.flags = wantReply ? detail::kFlagWantsReply : 0;
    header.messageId = messageId;
    header.sequence = ++lastSequence;
    header.length = static_cast<uint32_t>(length);
    unsigned char head[detail::kFrameHeaderBytes];
    detail::encodeHeader(header, head);

    switch (sendFrame(head, data, length, sendDeadline)) {
        case SendResult::kDone:
            break;
        case SendResult::kTimeout:
            return kPortSendTimeout;
        case SendResult::kTimeoutCut:
            // Part of a frame went out: the stream cannot carry another one.
            invalidate(true);
            return kPortSendTimeout;
        case SendResult::kPeerGone:
            invalidate(true);
            return kPortIsInvalid;
        case SendResult::kError:
            return kPortTransportError;
    }
    if (!wantReply) return kPortSuccess;
    return receiveReply(header.sequence, detail::deadlineAfter(receiveTimeout), reply);
}

RemotePort::RemotePort(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

RemotePort::~RemotePort() { impl_->invalidate(false); }

std::shared_ptr<RemotePort> RemotePort::connect(const std::string& name, double timeLimitSeconds) {
    if (!detail::isValidPortName(name)) return nullptr;
    const std::string stem = portFileStem(name);
    if (stem.empty()) return nullptr;
    std::string folder;
    const int dirFd = openPortFolder(&folder);
    if (dirFd < 0) return nullptr;
    sockaddr_un addr;
    socklen_t addrLength;
    const bool haveAddress = detail::portSocketAddress(dirFd, folder, stem + ".sock", &addr, &addrLength);
    // An AF_UNIX connect never stays in progress: it completes at once when
    // the server's queue of new connections has room. When it is full, a
    // blocking connect waits (up to SO_SNDTIMEO) and a non-blocking one fails.
    const bool waitForRoom = timeLimitSeconds > 0;  // NaN: no wait
    int fd = haveAddress ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (waitForRoom ? 0 : SOCK_NONBLOCK), 0) : -1;
    pid_t peer = -1;
    if (fd >= 0) {
        if (waitForRoom) {
            const timeval limit = connectLimit(timeLimitSeconds);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        }
        // The listener must belong to this user too: anyone else who got a
        // socket into the folder's place is not spoken to.
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), addrLength) != 0 || !detail::peerIsSameUser(fd) ||
            fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            close(fd);
            fd = -1;
        } else {
            peer = peerPidOf(fd);
        }
    }
    sys().close(dirFd);
    if (fd < 0) return nullptr;
    return std::shared_ptr<RemotePort>(new RemotePort(std::make_shared<Impl>(name, fd, peer)));
}

int RemotePort::sendRequest(int32_t messageId, const void* data, size_t length, double sendTimeout,
                            double receiveTimeout, bool wantReply, std::string* reply) {
    return impl_->request(messageId, data, length, sendTimeout, receiveTimeout, wantReply, reply);
}

void RemotePort::setInvalidationCallback(RunLoop& loop, std::function<void()> cb) {
    impl_->setCallback(detail::loopCore(loop), std::move(cb));
}

bool RemotePort::isValid() const { return impl_->checkValid(); }
void RemotePort::invalidate() { impl_->invalidate(true); }
const std::string& RemotePort::name() const { return impl_->name; }
pid_t RemotePort::peerPid() const { return impl_->peer; }

}  // namespace platform
