// Stopwatch: elapsed time since a start point, and a small registry of timed
// callbacks run by advance().
//
// No lock: a stopwatch's callback registry is used by one thread; the
// elapsed-time queries only read the start time, which is written before the
// stopwatch is shared.
#pragma once

#include <cstdint>
#include <sys/time.h>

#include "RhDynArray.h"

class Stopwatch {
public:
    typedef void (*Callback)(void*);

    // Starts the stopwatch now.
    Stopwatch();
    virtual ~Stopwatch();
    Stopwatch(const Stopwatch&) = delete;
    Stopwatch& operator=(const Stopwatch&) = delete;

    // Restarts: the start time becomes now.
    void start();
    // The current time of day (gettimeofday); its result code.
    static int gettimeofdayRh(struct timeval* now);
    // Microseconds since the start, computed in single precision.
    float getElapseduSec() const;
    // getElapseduSec() / 1000, truncated.
    int getElapsedMSec() const;
    // Microseconds since the start, exact.
    int64_t getElapseduSecExact() const;

    // Records callback(argument) to run every intervalMs milliseconds in the
    // first free slot (or a new one), with reference time now. mode 2: the
    // next due time advances by the interval; mode 1: it becomes the firing
    // time + interval; any other mode: runs once. Returns the slot index, or
    // -1 when it cannot be recorded.
    int registerCB(Callback callback, void* argument, int intervalMs, int mode);
    // Frees the first slot whose function is callback (argument not compared).
    void unregisterCB(Callback callback, void* argument);
    // Runs the callbacks that are due (reference time + interval < now, in
    // milliseconds since the start). The first call first sets every
    // reference time to now. A callback may register or unregister.
    void advance();

    // Writes the one-byte file "fileMod" in the temporary folder and returns
    // its modification time in seconds as the file system gives it; the time
    // of day in seconds when the file cannot be created.
    static long long getCurrentTimeConsistentWithFileModificationTimes();

private:
    struct Slot {
        Callback callback;  // null: free slot
        void* argument;
        int intervalMs;
        int mode;
        int referenceMs;
    };
    Slot* slotAt(int index) { return static_cast<Slot*>(callbacks[index]); }

    struct timeval startTime;
    RhDynArray callbacks;
    bool advancedBefore;
};
