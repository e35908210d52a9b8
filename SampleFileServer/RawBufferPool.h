// RawBufferPool: the raw-sample buffers that the disk reader fills and the
// conversion jobs empty, reused within a byte budget.
//
// A fresh malloc per file costs a page fault for every 4 KiB the reader
// writes, and with no bound the reader runs ahead of the conversions until
// the whole library sits in memory twice. Buffers are therefore kept and
// handed out again, and the reader waits (back-pressure) while the buffers
// out of the pool would exceed the budget. A buffer larger than the budget
// is still granted when no other buffer is out, so that no file waits for
// ever.
//
// Locking: mutex_ guards every field; condition_ is signalled on release.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

class RawBufferPool {
public:
    explicit RawBufferPool(size_t budgetBytes);
    ~RawBufferPool();
    RawBufferPool(const RawBufferPool&) = delete;
    RawBufferPool& operator=(const RawBufferPool&) = delete;

    // A buffer of at least `bytes` bytes (content undefined), or null when
    // memory is short or `giveUp` answered true while waiting for room
    // (asked every 10 ms). Blocks while the budget is used up.
    char* acquire(size_t bytes, const std::function<bool()>& giveUp);
    // Gives back a buffer from acquire (null: nothing). Keeps it for reuse
    // when the kept buffers stay within the budget, frees it otherwise; a
    // buffer that did not come from acquire is freed.
    void release(char* buffer);

    // Bytes in buffers handed out and not released.
    size_t bytesOut() const;

    // The pool of the process, with the default budget.
    static RawBufferPool& shared();
    static constexpr size_t kDefaultBudgetBytes = 32u << 20;

private:
    struct Block {
        char* data;
        size_t capacity;
    };

    const size_t budget_;
    mutable std::mutex mutex_;
    std::condition_variable condition_;
    std::vector<Block> free_;  // kept for reuse
    std::vector<Block> out_;   // handed out
    size_t bytesOut_ = 0;
    size_t bytesKept_ = 0;
};
