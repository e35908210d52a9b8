// Helpers for tests that run the real server process: a guard that ends the
// server at test end whoever started it, waits for serving and for exit, and
// raw requests to the server port.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MessagePort.h"
#include "PortFolder.h"
#include "SampleFileServerUtilities.h"

namespace srvtest {

using Clock = std::chrono::steady_clock;

inline void sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// True once `condition` holds, within `seconds` (asked every 10 ms).
inline bool waitUntil(const std::function<bool()>& condition, double seconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= end)
            return false;
        sleepSeconds(0.01);
    }
}

// Path of the socket file that serves the port `name` in the current port folder.
inline std::string socketPathOf(const std::string& name) {
    std::string folder;
    if (!platform::portFolder(&folder))
        return std::string();
    return folder + "/" + platform::portFileStem(name) + ".sock";
}

// A raw AF_UNIX connection to the server's socket (-1 when none).
inline int connectRaw(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        close(fd);
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The pid of the process serving the server port, or -1.
inline pid_t serverPid() {
    int fd = connectRaw(socketPathOf(SampleFileServerUtilities::kServerManagerPortName));
    if (fd < 0)
        return -1;
    ucred cred;
    socklen_t length = sizeof cred;
    pid_t pid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0 ? cred.pid : -1;
    close(fd);
    return pid;
}

inline bool processAlive(pid_t pid) {
    return pid > 0 && kill(pid, 0) == 0;
}

// Sends one request to the server port and waits for its reply. Returns the
// port status; the reply (empty when the server had none) goes to *reply.
inline int request(int32_t messageId, const std::string& data, std::string* reply, double timeout = 2.0) {
    auto port = platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName);
    if (port == nullptr)
        return platform::kPortIsInvalid;
    return port->sendRequest(messageId, data.data(), data.size(), timeout, timeout, true, reply);
}

// True once the server port answers, within `seconds`.
inline bool waitUntilServing(double seconds = 5.0) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName) != nullptr)
            return true;
        sleepSeconds(0.01);
    }
    return false;
}

// True once no process serves the server port any more, within `seconds`.
inline bool waitUntilNotServing(double seconds = 5.0) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName) == nullptr)
            return true;
        sleepSeconds(0.01);
    }
    return false;
}

// A child process of the test (the server binary, a tool): killed and reaped
// at the end of its scope unless it has exited.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { kill(); }

    // Starts argv[0] with the given arguments; stdout goes to `outputFile`
    // when given, else to /dev/null (like stdin). False when fork failed.
    bool start(const std::vector<std::string>& argv, const std::string& outputFile = std::string()) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const char* out = outputFile.empty() ? "/dev/null" : outputFile.c_str();
        pid_ = fork();
        if (pid_ == 0) {
            int in = open("/dev/null", O_RDONLY);
            int o = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in >= 0)
                dup2(in, 0);
            if (o >= 0) {
                dup2(o, 1);
                dup2(o, 2);
            }
            execv(args[0], args.data());
            _exit(127);
        }
        return pid_ > 0;
    }

    pid_t pid() const { return pid_; }

    // The exit status once the process has exited within `seconds`;
    // -1000 - signal for a killed process; nullopt while it runs.
    std::optional<int> waitExit(double seconds) {
        if (pid_ <= 0)
            return status_;
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        for (;;) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
                return status_;
            }
            if (Clock::now() >= end)
                return std::nullopt;
            sleepSeconds(0.005);
        }
    }

    void signal(int sig) {
        if (pid_ > 0)
            ::kill(pid_, sig);
    }

    void kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Ends, at scope exit, whatever server serves the port then (also one that a
// client started detached, which is no child of the test).
class ServerSweeper {
public:
    ServerSweeper() = default;
    ServerSweeper(const ServerSweeper&) = delete;
    ServerSweeper& operator=(const ServerSweeper&) = delete;
    ~ServerSweeper() {
        for (int i = 0; i < 10; i++) {
            pid_t pid = serverPid();
            if (pid <= 0 || pid == getpid())
                return;
            ::kill(pid, SIGKILL);
            // A killed process stops accepting at once, even before it is reaped.
            for (int j = 0; j < 200 && serverPid() == pid; j++)
                sleepSeconds(0.005);
        }
    }
};

}  // namespace srvtest
