#include "SignalSource.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "RunLoop.h"

namespace platform {

std::unique_ptr<SignalSource> SignalSource::create(std::initializer_list<int> signals) {
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int signalNumber : signals)
        sigaddset(&wanted, signalNumber);
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &wanted, &previous) != 0)
        return nullptr;
    const int fd = signalfd(-1, &wanted, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return nullptr;
    }
    return std::unique_ptr<SignalSource>(new SignalSource(fd, previous));
}

SignalSource::SignalSource(int fd, const sigset_t& previousMask) : fd_(fd), previousMask_(previousMask) {}

SignalSource::~SignalSource() {
    if (loop_ != nullptr)
        loop_->removeFd(fd_);
    close(fd_);
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

bool SignalSource::addToRunLoop(RunLoop& loop, std::function<void(int)> onSignal) {
    onSignal_ = std::move(onSignal);
    if (!loop.addFd(fd_, EPOLLIN, [this](uint32_t) { readPending(); }))
        return false;
    loop_ = &loop;
    return true;
}

void SignalSource::readPending() {
    for (;;) {
        signalfd_siginfo info;
        const ssize_t got = read(fd_, &info, sizeof info);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(sizeof info))
            return;  // none left (EAGAIN)
        if (onSignal_)
            onSignal_(static_cast<int>(info.ssi_signo));
    }
}

}  // namespace platform
