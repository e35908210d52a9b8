// Ctrl-C and SIGTERM in the command-line tools: blocked in every thread from
// the start of main and taken with sigtimedwait, so that an interruption is
// handled where the program expects it. Header only.
#pragma once

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace tool {

// SIGINT and SIGTERM.
inline sigset_t interruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Sleeps up to `seconds`; true when an interruption arrived meanwhile.
inline bool interruptedWithin(double seconds) {
    sigset_t set = interruptSignals();
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>(seconds);
    wait.tv_nsec = static_cast<long>((seconds - static_cast<double>(wait.tv_sec)) * 1e9);
    for (;;) {
        const int taken = sigtimedwait(&set, nullptr, &wait);
        if (taken > 0)
            return true;
        if (taken < 0 && errno == EINTR)
            continue;  // another signal; the rest of the wait is not worth keeping exact
        return false;
    }
}

}  // namespace tool
