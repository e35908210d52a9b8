// LocalPort: a listening AF_UNIX socket served on a run loop. Every accepted
// connection is non-blocking with its own input buffer and output queue, so
// the serving thread never waits on one peer; peers that stall mid-frame,
// take too long over one frame, break the framing or never read their
// replies are dropped.
#include "MessagePort.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "PortFolder.h"
#include "PortFrame.h"
#include "RunLoopCore.h"
#include "SysCalls.h"

namespace platform {
namespace {

using detail::Clock;
using detail::FrameHeader;
using detail::HeaderCheck;
using detail::LoopCore;

std::atomic<double> sStallLimitSeconds{5.0};
// A frame must arrive whole within this many seconds of its first byte, so
// that a peer trickling a byte now and then cannot hold a buffer forever.
std::atomic<double> sFrameLimitSeconds{30.0};

// Replies queued for one peer beyond this size mean that it does not read them.
// Room for two of the largest replies: the one being answered and a late one
// that a sender who gave up waiting has not read yet.
constexpr size_t kMaxQueuedOutput = 2 * (detail::kFrameHeaderBytes + kMaxMessageBytes) + 64 * 1024;
// Bytes read from one connection per event, so that one busy peer cannot hold
// the loop; level-triggered epoll brings the loop back for the rest.
constexpr size_t kReadBudget = 256 * 1024;
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kAcceptsPerEvent = 64;
constexpr double kAcceptPauseSeconds = 0.1;

uint32_t connEvents(bool wantOut) {
    uint32_t events = EPOLLIN | EPOLLRDHUP;
    if (wantOut) events |= EPOLLOUT;
    return events;
}

void setWhy(std::string* why, const std::string& text) {
    if (why) *why = text;
}

Clock::duration stallLimit() {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sStallLimitSeconds.load()));
}

Clock::duration frameLimit() {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sFrameLimitSeconds.load()));
}

// One served port. Shared with the run loop callbacks through weak
// references, so that the port may be destroyed from inside its own callback.
//
// Locking: mutex_ guards every member below it. The run loop is called with
// mutex_ held (never the other way round). The user callback runs without
// mutex_; the loop thread touches a connection's descriptor only with mutex_
// held and after checking valid_, so invalidate() may close descriptors from
// any thread.
class PortServer : public std::enable_shared_from_this<PortServer> {
public:
    PortServer(std::string name, LocalPort::Callback cb, int dirFd, int lockFd, int listenFd, std::string sockFile,
               ino_t sockIno, dev_t sockDev)
        : name_(std::move(name)),
          callback_(std::move(cb)),
          dirFd_(dirFd),
          lockFd_(lockFd),
          listenFd_(listenFd),
          sockFile_(std::move(sockFile)),
          sockIno_(sockIno),
          sockDev_(sockDev) {}

    ~PortServer() { invalidate(); }

    const std::string& name() const { return name_; }

    bool isValid() {
        std::lock_guard<std::mutex> lock(mutex_);
        return valid_;
    }

    bool attach(const std::shared_ptr<LoopCore>& loop);
    void detach() {
        std::lock_guard<std::mutex> lock(mutex_);
        detachLocked();
    }
    void invalidate();

private:
    struct Conn {
        int fd = -1;
        std::string in;    // bytes of frames not yet complete
        std::string out;   // reply bytes not yet sent, from outSent on
        size_t outSent = 0;
        Clock::time_point lastInput;
        Clock::time_point frameStart;  // when the first byte still in `in` arrived
        bool watchingOut = false;
    };
    enum class Take { kNone, kFrame, kBad };

    void onListener();
    void onConn(uint64_t serial, uint32_t events);
    void sweep();
    void resumeAccepting();

    bool watchLocked(uint64_t serial, Conn& conn);
    void detachLocked();
    void dropLocked(uint64_t serial);
    bool readLocked(Conn& conn, bool* eof);
    Take takeFrameLocked(Conn& conn, FrameHeader* header, std::string* data);
    bool flushLocked(Conn& conn);
    bool updateWatchLocked(Conn& conn);

    const std::string name_;
    const LocalPort::Callback callback_;

    std::mutex mutex_;
    bool valid_ = true;
    int dirFd_;
    int lockFd_;
    int listenFd_;
    std::string sockFile_;
    ino_t sockIno_;
    dev_t sockDev_;
    std::weak_ptr<LoopCore> loop_;
    RunLoop::TimerId sweepTimer_ = 0;
    RunLoop::TimerId resumeTimer_ = 0;
    std::map<uint64_t, Conn> conns_;
    uint64_t nextSerial_ = 1;
};

bool PortServer::attach(const std::shared_ptr<LoopCore>& loop) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_ || !loop) return false;
    detachLocked();
    std::weak_ptr<PortServer> weak = weak_from_this();
    if (!loop->addFd(listenFd_, EPOLLIN, [weak](uint32_t) {
            if (auto self = weak.lock()) self->onListener();
        })) {
        return false;
    }
    loop_ = loop;
    for (auto it = conns_.begin(); it != conns_.end();) {
        if (watchLocked(it->first, it->second)) {
            ++it;
        } else {
            close(it->second.fd);
            it = conns_.erase(it);
        }
    }
    const double seconds = std::clamp(std::min(sStallLimitSeconds.load(), sFrameLimitSeconds.load()) / 4, 0.01, 1.0);
    const auto every = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    sweepTimer_ = loop->addTimer(every, every, [weak] {
        if (auto self = weak.lock()) self->sweep();
    });
    return true;
}

void PortServer::detachLocked() {
    auto loop = loop_.lock();
    loop_.reset();
    if (!loop) return;
    loop->removeFd(listenFd_);
    for (auto& entry : conns_) loop->removeFd(entry.second.fd);
    if (sweepTimer_) loop->removeTimer(sweepTimer_);
    if (resumeTimer_) loop->removeTimer(resumeTimer_);
    sweepTimer_ = resumeTimer_ = 0;
}

void PortServer::invalidate() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) return;
    valid_ = false;
    detachLocked();
    // Remove the socket file while the lock is still held, and only when it is
    // still the one bound here: after the lock goes, the name is another's.
    struct stat st;
    if (fstatat(dirFd_, sockFile_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_ino == sockIno_ &&
        st.st_dev == sockDev_) {
        unlinkat(dirFd_, sockFile_.c_str(), 0);
    }
    close(listenFd_);
    listenFd_ = -1;
    for (auto& entry : conns_) close(entry.second.fd);
    conns_.clear();
    // The lock file stays: removing it would let a starter that opened the old
    // file lock it while another starter locks a new one.
    sys().close(lockFd_);
    lockFd_ = -1;
    sys().close(dirFd_);
    dirFd_ = -1;
}

bool PortServer::watchLocked(uint64_t serial, Conn& conn) {
    auto loop = loop_.lock();
    if (!loop) return true;  // not served now; watched again by attach()
    std::weak_ptr<PortServer> weak = weak_from_this();
    conn.watchingOut = !conn.out.empty();
    return loop->addFd(conn.fd, connEvents(conn.watchingOut), [weak, serial](uint32_t events) {
        if (auto self = weak.lock()) self->onConn(serial, events);
    });
}

void PortServer::dropLocked(uint64_t serial) {
    auto it = conns_.find(serial);
    if (it == conns_.end()) return;
    if (auto loop = loop_.lock()) loop->removeFd(it->second.fd);
    close(it->second.fd);
    conns_.erase(it);
}

void PortServer::onListener() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) return;
    for (int i = 0; i < kAcceptsPerEvent; ++i) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending connection stays queued and would wake the loop
                // at once again: stop listening for a moment instead of spinning.
                auto loop = loop_.lock();
                if (loop && !resumeTimer_) {
                    loop->modifyFd(listenFd_, 0);
                    std::weak_ptr<PortServer> weak = weak_from_this();
                    resumeTimer_ = loop->addTimer(
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kAcceptPauseSeconds)),
                        Clock::duration::zero(), [weak] {
                            if (auto self = weak.lock()) self->resumeAccepting();
                        });
                }
            }
            return;
        }
        // Only processes of this user may talk to the port.
        if (!detail::peerIsSameUser(fd)) {
            close(fd);
            continue;
        }
        const uint64_t serial = nextSerial_++;
        Conn& conn = conns_[serial];
        conn.fd = fd;
        conn.lastInput = Clock::now();
        if (!watchLocked(serial, conn)) {
            close(fd);
            conns_.erase(serial);
        }
    }
}

void PortServer::resumeAccepting() {
    std::lock_guard<std::mutex> lock(mutex_);
    resumeTimer_ = 0;
    auto loop = loop_.lock();
    if (valid_ && loop) loop->modifyFd(listenFd_, EPOLLIN);
}

// Reads what is there, up to the budget. False on a socket error; *eof when
// the peer has closed its side.
bool PortServer::readLocked(Conn& conn, bool* eof) {
    size_t total = 0;
    while (total < kReadBudget) {
        const size_t old = conn.in.size();
        conn.in.resize(old + kReadChunk);
        const ssize_t n = recv(conn.fd, &conn.in[old], kReadChunk, MSG_DONTWAIT);
        conn.in.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n > 0) {
            total += static_cast<size_t>(n);
            conn.lastInput = Clock::now();
            if (old == 0) conn.frameStart = conn.lastInput;
            continue;
        }
        if (n == 0) {
            *eof = true;
            return true;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

PortServer::Take PortServer::takeFrameLocked(Conn& conn, FrameHeader* header, std::string* data) {
    if (conn.in.size() < detail::kFrameHeaderBytes) return Take::kNone;
    const auto* bytes = reinterpret_cast<const unsigned char*>(conn.in.data());
    if (detail::decodeHeader(bytes, header) != HeaderCheck::kOk) return Take::kBad;
    if (header->kind != detail::kFrameRequest) return Take::kBad;
    const size_t total = detail::kFrameHeaderBytes + header->length;
    if (conn.in.size() < total) return Take::kNone;
    data->assign(conn.in, detail::kFrameHeaderBytes, header->length);
    conn.in.erase(0, total);
    if (!conn.in.empty()) conn.frameStart = Clock::now();  // the next frame has begun
    return Take::kFrame;
}

bool PortServer::flushLocked(Conn& conn) {
    while (conn.outSent < conn.out.size()) {
        const ssize_t n = send(conn.fd, conn.out.data() + conn.outSent, conn.out.size() - conn.outSent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            conn.outSent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return false;
    }
    if (conn.outSent == conn.out.size()) {
        conn.out.clear();
        conn.outSent = 0;
    } else if (conn.outSent > kReadChunk) {
        conn.out.erase(0, conn.outSent);
        conn.outSent = 0;
    }
    return conn.out.size() - conn.outSent <= kMaxQueuedOutput;
}

bool PortServer::updateWatchLocked(Conn& conn) {
    const bool wantOut = !conn.out.empty();
    if (wantOut == conn.watchingOut) return true;
    auto loop = loop_.lock();
    if (!loop) return true;
    conn.watchingOut = wantOut;
    return loop->modifyFd(conn.fd, connEvents(wantOut));
}

void PortServer::onConn(uint64_t serial, uint32_t events) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!valid_) return;
    auto it = conns_.find(serial);
    if (it == conns_.end()) return;
    if ((events & EPOLLOUT) && !flushLocked(it->second)) return dropLocked(serial);
    bool eof = false;
    if (!readLocked(it->second, &eof)) return dropLocked(serial);

    FrameHeader header;
    std::string data;
    for (;;) {
        const Take take = takeFrameLocked(it->second, &header, &data);
        if (take == Take::kBad) return dropLocked(serial);
        if (take == Take::kNone) break;
        lock.unlock();
        std::optional<std::string> reply;
        if (callback_) reply = callback_(header.messageId, data);
        lock.lock();
        // The callback may have invalidated the port or a sweep dropped the peer.
        if (!valid_) return;
        it = conns_.find(serial);
        if (it == conns_.end()) return;
        if (!(header.flags & detail::kFlagWantsReply)) continue;
        // A wanted reply is always sent, empty when the callback has none, so
        // that the sender does not wait for its time-out.
        static const std::string kNoBytes;
        const std::string& body = reply ? *reply : kNoBytes;
        if (body.size() > kMaxMessageBytes) return dropLocked(serial);
        FrameHeader out;
        out.kind = detail::kFrameReply;
        out.messageId = header.messageId;
        out.sequence = header.sequence;
        out.length = static_cast<uint32_t>(body.size());
        unsigned char head[detail::kFrameHeaderBytes];
        detail::encodeHeader(out, head);
        it->second.out.append(reinterpret_cast<const char*>(head), sizeof head);
        it->second.out.append(body);
        if (!flushLocked(it->second)) return dropLocked(serial);
    }
    if (eof || (events & EPOLLERR)) return dropLocked(serial);
    if (!updateWatchLocked(it->second)) dropLocked(serial);
}

// Drops connections that have sat in the middle of a frame for too long, or
// whose frame has been arriving for too long.
void PortServer::sweep() {
    std::vector<uint64_t> stalled;
    const auto stall = stallLimit();
    const auto frame = frameLimit();
    const auto overdue = [&](const Conn& conn) {
        const auto now = Clock::now();
        return !conn.in.empty() && (now - conn.lastInput > stall || now - conn.frameStart > frame);
    };
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!valid_) return;
        for (const auto& entry : conns_) {
            if (overdue(entry.second)) stalled.push_back(entry.first);
        }
    }
    for (uint64_t serial : stalled) {
        // Take what has arrived first: the loop may have been busy elsewhere
        // while this peer went on sending.
        onConn(serial, EPOLLIN);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!valid_) return;
        auto it = conns_.find(serial);
        if (it != conns_.end() && overdue(it->second)) dropLocked(serial);
    }
}

// Binds the socket of a port whose lock is held. Returns the listening
// descriptor or -1 with *why set.
int bindListener(int dirFd, const std::string& folder, const std::string& sockFile, struct stat* bound,
                 std::string* why) {
    // Holding the lock makes any socket file found here a leftover of a
    // server that died.
    if (unlinkat(dirFd, sockFile.c_str(), 0) != 0 && errno != ENOENT) {
        setWhy(why, "cannot remove the old socket " + sockFile + ": " + std::strerror(errno));
        return -1;
    }
    sockaddr_un addr;
    socklen_t length;
    if (!detail::portSocketAddress(dirFd, folder, sockFile, &addr, &length)) {
        setWhy(why, "the socket path in " + folder + " is too long");
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setWhy(why, std::string("cannot make a socket: ") + std::strerror(errno));
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 || listen(fd, SOMAXCONN) != 0 ||
        fstatat(dirFd, sockFile.c_str(), bound, AT_SYMLINK_NOFOLLOW) != 0) {
        setWhy(why, "cannot bind " + folder + "/" + sockFile + ": " + std::strerror(errno));
        close(fd);
        return -1;
    }
    fchmodat(dirFd, sockFile.c_str(), 0600, 0);
    return fd;
}

}  // namespace

struct LocalPort::Impl {
    std::shared_ptr<PortServer> server;
};

LocalPort::LocalPort(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

LocalPort::~LocalPort() { invalidate(); }

std::unique_ptr<LocalPort> LocalPort::create(const std::string& name, Callback cb, std::string* why) {
    if (!detail::isValidPortName(name)) {
        setWhy(why, "a port name has 1 to 255 bytes");
        return nullptr;
    }
    const std::string stem = portFileStem(name);
    if (stem.empty()) {
        setWhy(why, "cannot compute the file name of the port");
        return nullptr;
    }
    std::string folder;
    const int dirFd = openPortFolder(&folder, why);
    if (dirFd < 0) return nullptr;
    const std::string lockFile = stem + ".lock";
    const int lockFd = openat(dirFd, lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        setWhy(why, "cannot open the lock file " + lockFile + ": " + std::strerror(errno));
        sys().close(dirFd);
        return nullptr;
    }
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        setWhy(why, err == EWOULDBLOCK ? "another process already serves the port " + stem
                                       : "cannot lock " + lockFile + ": " + std::strerror(err));
        sys().close(lockFd);
        sys().close(dirFd);
        return nullptr;
    }
    const std::string sockFile = stem + ".sock";
    struct stat bound;
    const int listenFd = bindListener(dirFd, folder, sockFile, &bound, why);
    if (listenFd < 0) {
        sys().close(lockFd);
        sys().close(dirFd);
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->server = std::make_shared<PortServer>(name, std::move(cb), dirFd, lockFd, listenFd, sockFile,
                                                bound.st_ino, bound.st_dev);
    return std::unique_ptr<LocalPort>(new LocalPort(std::move(impl)));
}

bool LocalPort::addToRunLoop(RunLoop& loop) { return impl_->server->attach(detail::loopCore(loop)); }
void LocalPort::removeFromRunLoop() { impl_->server->detach(); }
void LocalPort::invalidate() { impl_->server->invalidate(); }
bool LocalPort::isValid() const { return impl_->server->isValid(); }
const std::string& LocalPort::name() const { return impl_->server->name(); }

void LocalPort::setStallLimitForTesting(double seconds) { sStallLimitSeconds.store(seconds > 0 ? seconds : 0.0); }
void LocalPort::setFrameLimitForTesting(double seconds) { sFrameLimitSeconds.store(seconds > 0 ? seconds : 0.0); }

}  // namespace platform
