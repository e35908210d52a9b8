// Signals taken as run-loop events: the chosen signals are blocked and read
// from a signalfd on the loop's thread, so that their handling runs as an
// ordinary callback instead of in an asynchronous signal handler.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>

#include <signal.h>

namespace platform {

class RunLoop;

class SignalSource {
public:
    // Blocks `signals` in the calling thread, and so in every thread it
    // starts afterwards, and opens a signalfd for them. Create it before any
    // other thread exists: a thread that does not block a signal would take
    // it the default way. Null when the signalfd cannot be made (the mask is
    // then as before).
    static std::unique_ptr<SignalSource> create(std::initializer_list<int> signals);
    // Stops watching, closes the signalfd and restores the previous mask.
    ~SignalSource();
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    // Runs onSignal(signalNumber) on the loop's thread for each signal taken.
    // False when the descriptor cannot be watched.
    bool addToRunLoop(RunLoop& loop, std::function<void(int)> onSignal);

private:
    SignalSource(int fd, const sigset_t& previousMask);
    void readPending();

    int fd_;
    sigset_t previousMask_;
    RunLoop* loop_ = nullptr;
    std::function<void(int)> onSignal_;
};

}  // namespace platform
