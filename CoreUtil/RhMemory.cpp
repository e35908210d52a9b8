#include "RhMemory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t kLockReserveBytes = 250000000ULL;
constexpr uint64_t kBytesPerMegabyte = 1048576ULL;
constexpr size_t kSmallRequestLimit = 999999;  // requests up to this size may reuse an answer
constexpr int kMaxReusedAnswers = 9;           // counter limit: 10 reuses, then measure again
constexpr uint64_t kMaxLockedPercent = 75;

uint64_t physicalMemoryFromSysconf() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    uint64_t bytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
    return bytes / kBytesPerMegabyte * kBytesPerMegabyte;
}

// Mlocked of /proc/meminfo in bytes; false when the line cannot be found.
bool readMlockedBytes(uint64_t& bytes) {
    FILE* f = std::fopen("/proc/meminfo", "r");
    if (f == nullptr)
        return false;
    char line[256];
    bool found = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long long kb = 0;
        if (std::sscanf(line, "Mlocked: %llu kB", &kb) == 1) {
            bytes = static_cast<uint64_t>(kb) * 1024ULL;
            found = true;
            break;
        }
    }
    std::fclose(f);
    return found;
}

uint64_t lockedMemoryFromProc() {
    uint64_t bytes = 0;
    if (!readMlockedBytes(bytes))
        return 0;
    return bytes + kLockReserveBytes;
}

}  // namespace

RhMemory::MemoryQuery RhMemory::sPhysicalMemoryQuery = physicalMemoryFromSysconf;
RhMemory::MemoryQuery RhMemory::sLockedMemoryQuery = lockedMemoryFromProc;

int RhMemory::sOkayToLockFirstTimeBoolean = 1;
int RhMemory::sOkayToLockPreviousReturnValueBoolean = 1;
int RhMemory::sOkayToLockCounter = 0;
std::mutex RhMemory::sOkayToLockMutex;

uint64_t RhMemory::getPhysicalRAMinComputerBytes() { return sPhysicalMemoryQuery ? sPhysicalMemoryQuery() : 0; }

uint64_t RhMemory::getTotalWiredDownRAMBytes() { return sLockedMemoryQuery ? sLockedMemoryQuery() : 0; }

int RhMemory::okayToLock(size_t bytes) {
    std::lock_guard<std::mutex> lock(sOkayToLockMutex);
    if (!sOkayToLockFirstTimeBoolean && bytes <= kSmallRequestLimit && sOkayToLockCounter <= kMaxReusedAnswers &&
        sOkayToLockPreviousReturnValueBoolean == 1) {
        ++sOkayToLockCounter;
        return 1;
    }
    sOkayToLockCounter = 0;
    sOkayToLockFirstTimeBoolean = 0;

    uint64_t wired = getTotalWiredDownRAMBytes();
    uint64_t physical = getPhysicalRAMinComputerBytes();
    int result = 0;
    if (physical > 0) {
        // 128-bit arithmetic: (bytes + wired) x 100 must not wrap for any size_t request.
        unsigned __int128 wanted = static_cast<unsigned __int128>(bytes) + wired;
        result = wanted * 100 / physical < kMaxLockedPercent ? 1 : 0;
    }
    sOkayToLockPreviousReturnValueBoolean = result;
    return result;
}

int RhMemory::raiseLockedMemoryLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0)
        return 0;
    if (limit.rlim_cur == limit.rlim_max)
        return 1;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_MEMLOCK, &limit) == 0 ? 1 : 0;
}
