#include "RawBufferPool.h"

#include <chrono>
#include <cstdlib>

RawBufferPool::RawBufferPool(size_t budgetBytes) : budget_(budgetBytes) {}

RawBufferPool::~RawBufferPool() {
    for (const Block& block : free_)
        free(block.data);
    for (const Block& block : out_)
        free(block.data);
}

RawBufferPool& RawBufferPool::shared() {
    // Never destroyed: a conversion job may still release into it while the
    // process exits.
    static RawBufferPool* pool = new RawBufferPool(kDefaultBudgetBytes);
    return *pool;
}

char* RawBufferPool::acquire(size_t bytes, const std::function<bool()>& giveUp) {
    if (bytes == 0)
        bytes = 1;
    std::unique_lock<std::mutex> lock(mutex_);
    while (bytesOut_ != 0 && bytesOut_ + bytes > budget_) {
        if (giveUp && giveUp())
            return nullptr;
        condition_.wait_for(lock, std::chrono::milliseconds(10));
    }
    // The smallest kept buffer that is large enough.
    size_t best = free_.size();
    for (size_t i = 0; i < free_.size(); i++)
        if (free_[i].capacity >= bytes && (best == free_.size() || free_[i].capacity < free_[best].capacity))
            best = i;
    Block block{nullptr, 0};
    if (best != free_.size()) {
        block = free_[best];
        free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(best));
        bytesKept_ -= block.capacity;
    } else {
        // Kept buffers that are too small make room for the new one.
        while (!free_.empty() && bytesKept_ + bytesOut_ + bytes > budget_) {
            free(free_.back().data);
            bytesKept_ -= free_.back().capacity;
            free_.pop_back();
        }
        block.data = static_cast<char*>(malloc(bytes));
        if (block.data == nullptr)
            return nullptr;
        block.capacity = bytes;
    }
    out_.push_back(block);
    bytesOut_ += block.capacity;
    return block.data;
}

void RawBufferPool::release(char* buffer) {
    if (buffer == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool known = false;
        for (size_t i = 0; i < out_.size() && !known; i++) {
            if (out_[i].data != buffer)
                continue;
            known = true;
            Block block = out_[i];
            out_.erase(out_.begin() + static_cast<std::ptrdiff_t>(i));
            bytesOut_ -= block.capacity;
            if (bytesKept_ + bytesOut_ + block.capacity <= budget_) {
                free_.push_back(block);
                bytesKept_ += block.capacity;
            } else {
                free(block.data);
            }
        }
        if (!known)
            free(buffer);
    }
    condition_.notify_all();
}

size_t RawBufferPool::bytesOut() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesOut_;
}
