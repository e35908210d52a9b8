// RhMemory: queries about the machine's memory and the decision whether more
// memory may be locked into physical memory.
//
// Locking rule of okayToLock: the three sOkayToLock* statics are read and
// written only with sOkayToLockMutex held, so that concurrent callers see a
// consistent counter and previous result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

class RhMemory {
public:
    // 1 when locking `bytes` more bytes into physical memory keeps the locked
    // memory plus a 250000000-byte reserve below 75 percent of physical
    // memory, else 0 (also when physical memory cannot be read). A positive
    // answer is reused without measuring for up to 10 consecutive requests
    // below 1000000 bytes. Thread-safe.
    static int okayToLock(size_t bytes);

    // Installed memory in bytes (whole megabytes x 1048576); 0 when the
    // query fails. Goes through sPhysicalMemoryQuery.
    static uint64_t getPhysicalRAMinComputerBytes();

    // Memory locked by all processes (Mlocked of /proc/meminfo) plus the
    // 250000000-byte reserve; 0 when the statistics cannot be read. Goes
    // through sLockedMemoryQuery.
    static uint64_t getTotalWiredDownRAMBytes();

    // Raises this process's soft limit of lockable memory to its hard limit,
    // so that segments can be locked by an unprivileged user as far as the
    // system allows. Returns 1 when the limit is now the hard limit, else 0.
    static int raiseLockedMemoryLimit();

    // Replaceable sources of the two measurements (tests make them fail).
    // Each returns bytes, or 0 when the value cannot be read. Replace only
    // while no other thread calls okayToLock.
    using MemoryQuery = uint64_t (*)();
    static MemoryQuery sPhysicalMemoryQuery;  // default: sysconf, in bytes
    static MemoryQuery sLockedMemoryQuery;    // default: Mlocked of /proc/meminfo, in bytes

    // Lock-decision state, guarded by sOkayToLockMutex.
    static int sOkayToLockFirstTimeBoolean;            // 1 until the first call
    static int sOkayToLockPreviousReturnValueBoolean;  // last measured result, 1 at start
    static int sOkayToLockCounter;                     // answers reused since the last measurement
    static std::mutex sOkayToLockMutex;
};
