// Fuzzes the serving side of a message port: the bytes of one connection, as
// a peer sends them, through the port's input buffering and frame parsing up
// to its callback and replies.
//
// One port is served for the whole run by a run loop on a thread of its own,
// in a port folder under the scratch folder. Each input is sent on a fresh
// connection, whose sending side is then shut; the port must take every
// complete frame up to the first one it cannot trust, call back once for
// each with the frame's id and data, send one reply frame for each that asks
// for one, and then close the connection. A small model of the framing
// (docs/protocol.md) says what the port must have done.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "MessagePort.h"
#include "PortFolder.h"
#include "RunLoop.h"

using fuzzsupport::require;

namespace {

const char kPortName[] = "FuzzedPort";
constexpr double kCloseWaitSeconds = 20.0;

struct Call {
    int32_t id;
    std::string data;
    bool operator==(const Call& o) const { return id == o.id && data == o.data; }
};

// The callback's reply: none for odd ids, else the data reversed plus '!'.
std::optional<std::string> replyFor(int32_t id, const std::string& data) {
    if (id & 1) return std::nullopt;
    return std::string(data.rbegin(), data.rend()) + "!";
}

class Served {
public:
    Served() {
        setenv("XDG_RUNTIME_DIR", fuzzsupport::scratch().path().c_str(), 1);
        std::string why;
        port_ = platform::LocalPort::create(
            kPortName,
            [this](int32_t id, const std::string& data) {
                std::lock_guard<std::mutex> lock(mutex_);
                calls_.push_back({id, data});
                return replyFor(id, data);
            },
            &why);
        if (!port_) std::fprintf(stderr, "cannot serve the port: %s\n", why.c_str());
        require(port_ && port_->addToRunLoop(loop_), "cannot serve the port");
        std::string folder;
        require(platform::portFolder(&folder), "no port folder");
        socketPath_ = folder + "/" + platform::portFileStem(kPortName) + ".sock";
        thread_ = std::thread([this] { loop_.run(); });
    }
    ~Served() {
        loop_.stop();
        thread_.join();
        port_.reset();
    }

    const std::string& socketPath() const { return socketPath_; }
    std::vector<Call> takeCalls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(calls_);
    }

private:
    platform::RunLoop loop_;
    std::unique_ptr<platform::LocalPort> port_;
    std::thread thread_;
    std::string socketPath_;
    std::mutex mutex_;
    std::vector<Call> calls_;  // guarded by mutex_
};

Served& served() {
    static Served s;
    return s;
}

template <typename T>
T get(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <typename T>
void put(std::string* out, T value) {
    out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

// What the port must do with these bytes: the calls it makes and the reply
// bytes it sends, frame by frame until the first frame it cannot trust or
// the first incomplete one.
void model(const uint8_t* in, size_t size, std::vector<Call>* calls, std::string* replies) {
    size_t at = 0;
    while (size - at >= 20) {
        const uint8_t* h = in + at;
        if (std::memcmp(h, "QPRT", 4) != 0 || get<uint16_t>(h + 4) != 1 || h[6] != 1) return;
        const uint32_t length = get<uint32_t>(h + 16);
        if (length > platform::kMaxMessageBytes || size - at - 20 < length) return;
        const int32_t id = get<int32_t>(h + 8);
        Call call{id, std::string(reinterpret_cast<const char*>(h + 20), length)};
        if (h[7] & 1) {
            const std::string body = replyFor(id, call.data).value_or(std::string());
            replies->append("QPRT");
            put<uint16_t>(replies, 1);
            replies->push_back(2);  // reply
            replies->push_back(0);  // no flags
            put<int32_t>(replies, id);
            put<uint32_t>(replies, get<uint32_t>(h + 12));
            put<uint32_t>(replies, static_cast<uint32_t>(body.size()));
            replies->append(body);
        }
        calls->push_back(std::move(call));
        at += 20 + length;
    }
}

int connectTo(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    require(path.size() < sizeof addr.sun_path, "socket path too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    require(fd >= 0, "socket");
    require(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "cannot connect to the port");
    return fd;
}

// Sends the bytes, shuts the sending side and reads until the port closes
// the connection; returns what it sent back.
std::string exchange(int fd, const uint8_t* data, size_t size) {
    std::string received;
    size_t sent = 0;
    bool shut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kCloseWaitSeconds);
    for (;;) {
        if (!shut && sent == size) {
            shutdown(fd, SHUT_WR);
            shut = true;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        require(std::chrono::steady_clock::now() < deadline, "the port did not close the connection");
        if (poll(&p, 1, 100) <= 0) continue;
        if (p.revents & POLLIN) {
            char buffer[65536];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                received.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || errno == ECONNRESET) return received;
        }
        if (!shut && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                shut = true;  // the port has dropped us; read what it sent
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Served& port = served();
    port.takeCalls();
    const int fd = connectTo(port.socketPath());
    const std::string received = exchange(fd, data, size);
    close(fd);

    std::vector<Call> expectedCalls;
    std::string expectedReplies;
    model(data, size, &expectedCalls, &expectedReplies);
    require(port.takeCalls() == expectedCalls, "the callback saw other frames than were sent");
    require(received == expectedReplies, "the replies differ from the frames that asked for them");
    return 0;
}
