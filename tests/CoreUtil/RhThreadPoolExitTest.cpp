// A process that ends with exit() from inside a pool job must finish its
// exit-time teardown of the pool (which then runs on that very worker) and
// end with the status it gave.
//
// Each case forks a child from this process, which never uses the pool
// itself, so the child starts with a fresh pool.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "RhThreadPool.h"

namespace {

using namespace std::chrono_literals;

// Runs body in a child process and waits for it up to the deadline.
// Returns the child's exit status, or -1 when it had to be killed or did not
// exit normally.
template <typename Body>
int runChild(Body body, std::chrono::seconds deadline) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(99);  // the body was expected to end the process
    }
    if (pid < 0) return -2;
    auto until = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void* exitJob(void*) {
    exit(0);
}

// Write end of a pipe to the parent; the slow job reports its end on it.
int sSlowJobReportFd = -1;

void* slowJob(void*) {
    std::this_thread::sleep_for(200ms);
    char done = 'x';
    if (write(sSlowJobReportFd, &done, 1) != 1) _exit(95);
    return nullptr;
}

// The child's main thread waits here for the job that ends the process.
[[noreturn]] void waitForExitFromJob() {
    std::this_thread::sleep_for(20s);
    _exit(98);
}

TEST(ThreadPoolExit, ExitFromInsideAJobEndsTheProcessWithItsStatus) {
    int status = runChild(
        [] {
            if (ThreadPool::submitJob(nullptr, exitJob, kThreadPriorityNormal, kThreadSubPool0, 0, 1) != 1) _exit(97);
            waitForExitFromJob();
        },
        15s);
    EXPECT_EQ(status, 0);
}

TEST(ThreadPoolExit, ExitWaitsForAnotherRunningJobToFinish) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    sSlowJobReportFd = fds[1];
    int status = runChild(
        [] {
            if (ThreadPool::submitJob(nullptr, slowJob, kThreadPriorityNormal, kThreadSubPool0, 0, 1) != 1) _exit(97);
            std::this_thread::sleep_for(20ms);  // the slow job is running
            if (ThreadPool::submitJob(nullptr, exitJob, kThreadPriorityNormal, kThreadSubPool0, 0, 1) != 1) _exit(97);
            waitForExitFromJob();
        },
        15s);
    close(fds[1]);
    char report = 0;
    ssize_t got = read(fds[0], &report, 1);
    close(fds[0]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, 1) << "the running job was cut off by the exit";
}

TEST(ThreadPoolExit, ExitFromTheMainThreadEndsIdleWorkers) {
    int status = runChild(
        [] {
            ThreadPool::initialize();
            ThreadPool::resizeThreadPool(kThreadSubPool0, 10);
            exit(0);
        },
        15s);
    EXPECT_EQ(status, 0);
}

}  // namespace
