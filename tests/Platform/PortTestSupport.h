// Helpers for the message-port tests: a port folder of the test's own, a port
// served on a thread of its own, raw sockets for playing a broken peer, and
// child processes that are always killed and reaped.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "MessagePort.h"
#include "PortFolder.h"
#include "RunLoop.h"
#include "TestSupport.h"

namespace porttest {

// Every test gets its own XDG_RUNTIME_DIR, hence its own port folder.
class PortFolderFixture : public testing::Test {
protected:
    rhtest::TempDir runtime_;
    rhtest::ScopedEnv env_{"XDG_RUNTIME_DIR", runtime_.path()};
};

// The socket path of a port name in the current port folder.
inline std::string socketPath(const std::string& name) {
    std::string folder;
    if (!platform::portFolder(&folder)) return std::string();
    return folder + "/" + platform::portFileStem(name) + ".sock";
}

// A stream socket with the address of the socket file at path, bound there
// (bind) or connected to it; -1 when the path does not fit or the call
// fails. Allocates nothing, so a forked child may use it.
inline int rawSocketAt(const std::string& path, bool bindIt) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr* a = reinterpret_cast<sockaddr*>(&addr);
    if ((bindIt ? bind(fd, a, sizeof addr) : connect(fd, a, sizeof addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A blocking client socket connected to the socket file at path, or -1.
inline int rawConnectPath(const std::string& path) { return rawSocketAt(path, false); }

// A socket bound to the socket file at path, not listening, or -1.
inline int rawBind(const std::string& path) { return rawSocketAt(path, true); }

// A blocking client socket connected to the port's socket file, or -1.
inline int rawConnect(const std::string& name) { return rawConnectPath(socketPath(name)); }

// A request frame as docs/protocol.md describes it; `lengthField` may lie.
inline std::string requestFrame(int32_t id, uint32_t sequence, bool wantsReply, const std::string& data,
                                uint32_t lengthField) {
    std::string frame = "QPRT";
    const uint16_t version = 1;
    frame.append(reinterpret_cast<const char*>(&version), 2);
    frame.push_back(1);  // request
    frame.push_back(wantsReply ? 1 : 0);
    frame.append(reinterpret_cast<const char*>(&id), 4);
    frame.append(reinterpret_cast<const char*>(&sequence), 4);
    frame.append(reinterpret_cast<const char*>(&lengthField), 4);
    return frame + data;
}

inline std::string requestFrame(int32_t id, uint32_t sequence, bool wantsReply, const std::string& data) {
    return requestFrame(id, sequence, wantsReply, data, static_cast<uint32_t>(data.size()));
}

inline bool sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads and discards until the peer closes; false when it has not closed
// within `seconds`.
inline bool waitForClose(int fd, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
}

// A local port served by a run loop on a thread of its own.
class ServedPort {
public:
    ServedPort(const std::string& name, platform::LocalPort::Callback cb) {
        port_ = platform::LocalPort::create(name, std::move(cb), &why_);
        if (!port_ || !port_->addToRunLoop(loop_)) return;
        thread_ = std::thread([this] { loop_.run(); });
    }
    ~ServedPort() {
        stop();
        port_.reset();
    }
    void stop() {
        if (!thread_.joinable()) return;
        loop_.stop();
        thread_.join();
    }
    bool ok() const { return thread_.joinable(); }
    platform::LocalPort& port() { return *port_; }
    std::thread::id threadId() const { return thread_.get_id(); }
    const std::string& why() const { return why_; }

private:
    std::string why_;
    platform::RunLoop loop_;
    std::unique_ptr<platform::LocalPort> port_;
    std::thread thread_;
};

// A forked child that is killed and reaped when the test ends, whatever happens.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // Waits for the child to end; its exit status, or -1 when it did not end
    // normally within `seconds` (then it is killed).
    int wait(double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_;
};

// Reads one byte from fd within `seconds`; -1 on time-out or end of file.
inline int readByte(int fd, double seconds) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return -1;
    unsigned char c;
    return read(fd, &c, 1) == 1 ? c : -1;
}

}  // namespace porttest
