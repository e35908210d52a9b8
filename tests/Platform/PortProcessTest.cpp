// Ports between processes: a peer that dies, servers that start together,
// and connections between different users.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "MessagePort.h"
#include "PortTestSupport.h"

using namespace platform;
using namespace std::chrono_literals;
using porttest::Child;
using porttest::readByte;

namespace {

constexpr uid_t kNobody = 65534;

class PortProcessTest : public porttest::PortFolderFixture {};

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe() {
        close(fd[0]);
        close(fd[1]);
    }
    int in() const { return fd[0]; }
    int out() const { return fd[1]; }
};

void writeByte(int fd, char c) { [[maybe_unused]] ssize_t n = write(fd, &c, 1); }

std::optional<std::string> answerPid(int32_t, const std::string&) { return std::to_string(getpid()); }

// In a forked child: serves `name` and obeys one command from `commands`:
// 'x' exit, 'i' invalidate the port and stay alive. Reports 'R' once serving.
[[noreturn]] void serveInChild(const std::string& name, int ready, int commands) {
    auto port = LocalPort::create(name, answerPid);
    if (!port) _exit(10);
    RunLoop loop;
    port->addToRunLoop(loop);
    loop.addFd(commands, EPOLLIN, [&](uint32_t) {
        char c = 0;
        if (read(commands, &c, 1) != 1) _exit(0);
        if (c == 'x') _exit(0);
        if (c == 'i') port->invalidate();
    });
    writeByte(ready, 'R');
    loop.run();
    _exit(0);
}

TEST_F(PortProcessTest, InvalidationCallbackRunsWhenThePeerProcessGoesAway) {
    const char* ways[] = {"SIGKILL", "exit", "invalidate"};
    for (const char* way : ways) {
        SCOPED_TRACE(way);
        Pipe ready, commands;
        Child child(fork());
        ASSERT_GE(child.pid(), 0);
        if (child.pid() == 0) serveInChild("Mortal", ready.out(), commands.in());
        ASSERT_EQ(readByte(ready.in(), 5.0), 'R');

        auto port = RemotePort::connect("Mortal");
        ASSERT_NE(port, nullptr);
        std::string reply;
        ASSERT_EQ(port->sendRequest(0, "?", 1, 2, 2, true, &reply), kPortSuccess);
        EXPECT_EQ(reply, std::to_string(child.pid()));
        RunLoop loop;
        std::atomic<int> calls{0};
        port->setInvalidationCallback(loop, [&] {
            ++calls;
            loop.stop();
        });
        if (std::string(way) == "SIGKILL") kill(child.pid(), SIGKILL);
        if (std::string(way) == "exit") writeByte(commands.out(), 'x');
        if (std::string(way) == "invalidate") writeByte(commands.out(), 'i');
        EXPECT_TRUE(loop.runFor(5s));
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(port->isValid());
    }
}

TEST_F(PortProcessTest, KilledServerDoesNotBlockItsSuccessor) {
    Pipe ready, commands;
    {
        Child child(fork());
        ASSERT_GE(child.pid(), 0);
        if (child.pid() == 0) serveInChild("Phoenix", ready.out(), commands.in());
        ASSERT_EQ(readByte(ready.in(), 5.0), 'R');
        EXPECT_EQ(LocalPort::create("Phoenix", answerPid), nullptr) << "served by the child";
    }  // killed: its socket file stays behind
    struct stat st;
    EXPECT_EQ(lstat(porttest::socketPath("Phoenix").c_str(), &st), 0);
    porttest::ServedPort successor("Phoenix", answerPid);
    ASSERT_TRUE(successor.ok()) << successor.why();
    auto port = RemotePort::connect("Phoenix");
    ASSERT_NE(port, nullptr);
    std::string reply;
    EXPECT_EQ(port->sendRequest(0, "?", 1, 2, 2, true, &reply), kPortSuccess);
    EXPECT_EQ(reply, std::to_string(getpid()));
}

TEST_F(PortProcessTest, OfServersStartingTogetherExactlyOneServes) {
    constexpr int kStarters = 6;
    Pipe go, results;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kStarters; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go.out());
            char c;
            if (read(go.in(), &c, 1) < 0) _exit(1);  // end of file: everyone starts at once
            auto port = LocalPort::create("Contended", answerPid);
            writeByte(results.out(), port ? 'Y' : 'N');
            if (!port) _exit(0);
            RunLoop loop;
            port->addToRunLoop(loop);
            loop.run();
            _exit(0);
        }
        children.push_back(std::make_unique<Child>(pid));
    }
    close(go.fd[1]);
    go.fd[1] = -1;
    int winners = 0;
    for (int i = 0; i < kStarters; ++i) {
        const int r = readByte(results.in(), 5.0);
        ASSERT_NE(r, -1);
        if (r == 'Y') ++winners;
    }
    EXPECT_EQ(winners, 1);
    auto port = RemotePort::connect("Contended");
    ASSERT_NE(port, nullptr);
    std::string reply;
    ASSERT_EQ(port->sendRequest(0, "?", 1, 2, 2, true, &reply), kPortSuccess);
    bool fromAStarter = false;
    for (const auto& child : children) fromAStarter |= reply == std::to_string(child->pid());
    EXPECT_TRUE(fromAStarter) << reply;
}

bool becomeNobody() { return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0; }

// The port folder is closed to other users, so to reach the server's own
// check of peer credentials the test opens the folder and the socket file to
// everyone after the port is made; a process of another user then gets in,
// and must be dropped without its request reaching the callback.
TEST_F(PortProcessTest, ServerDropsConnectionsFromOtherUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
    std::atomic<int> calls{0};
    porttest::ServedPort served("Private", [&](int32_t, const std::string&) -> std::optional<std::string> {
        ++calls;
        return std::string("secret");
    });
    ASSERT_TRUE(served.ok()) << served.why();
    const std::string path = porttest::socketPath("Private");
    std::string folder;
    ASSERT_TRUE(portFolder(&folder));
    ASSERT_EQ(chmod(runtime_.path().c_str(), 0711), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0711), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);

    Child child(fork());
    ASSERT_GE(child.pid(), 0);
    if (child.pid() == 0) {
        if (!becomeNobody()) _exit(2);
        // Straight to the socket file: nobody's own port folder is elsewhere.
        const int fd = porttest::rawConnectPath(path);
        if (fd < 0) _exit(3);
        if (!porttest::sendAll(fd, porttest::requestFrame(4, 1, true, "let me in"))) _exit(0);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) _exit(4);  // neither dropped nor answered
        char c;
        _exit(recv(fd, &c, 1, 0) <= 0 ? 0 : 5);  // 0: dropped without an answer
    }
    EXPECT_EQ(child.wait(10.0), 0);
    EXPECT_EQ(calls, 0);

    chmod(folder.c_str(), 0700);
    auto port = RemotePort::connect("Private");
    ASSERT_NE(port, nullptr);
    std::string reply;
    EXPECT_EQ(port->sendRequest(4, "me", 2, 2, 2, true, &reply), kPortSuccess);
    EXPECT_EQ(reply, "secret");
}

// A listener put in place of a port by another user is not spoken to. The
// socket is bound by this process (the folder is closed to others) and made
// to listen by a child that changed its user first: the credentials a client
// sees are those of the process that called listen().
TEST_F(PortProcessTest, ClientRefusesAListenerOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
    for (const bool otherUser : {true, false}) {
        SCOPED_TRACE(otherUser ? "other user" : "same user");
        const std::string path = porttest::socketPath("Impostor");
        unlink(path.c_str());
        const int fd = porttest::rawBind(path);
        ASSERT_GE(fd, 0);
        Pipe ready;
        Child child(fork());
        ASSERT_GE(child.pid(), 0);
        if (child.pid() == 0) {
            if (otherUser && !becomeNobody()) _exit(2);
            if (listen(fd, 4) != 0) _exit(3);
            writeByte(ready.out(), 'R');
            for (;;) pause();
        }
        close(fd);
        ASSERT_EQ(readByte(ready.in(), 5.0), 'R');
        auto port = RemotePort::connect("Impostor");
        EXPECT_EQ(port == nullptr, otherUser);
    }
}

}  // namespace
