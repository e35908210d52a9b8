// The raw buffers' budget: reuse, back-pressure and its escape hatches.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "RawBufferPool.h"

namespace {

TEST(RawBufferPoolTest, BuffersAreReusedAndTheBudgetHoldsTheReaderBack) {
    RawBufferPool pool(1000);
    char* first = pool.acquire(600, nullptr);
    ASSERT_NE(first, nullptr);
    // No room for a second 600 bytes: the caller waits until it gives up.
    int asked = 0;
    EXPECT_EQ(pool.acquire(600, [&] { return ++asked >= 3; }), nullptr);
    EXPECT_EQ(asked, 3);
    // Released meanwhile by another thread (a conversion job): granted.
    std::atomic<bool> released{false};
    std::thread converter([&] {
        pool.release(first);
        released = true;
    });
    char* second = pool.acquire(600, nullptr);
    converter.join();
    EXPECT_TRUE(released);
    EXPECT_EQ(second, first) << "a kept buffer is handed out again";
    EXPECT_EQ(pool.bytesOut(), 600u);
    pool.release(second);
    EXPECT_EQ(pool.bytesOut(), 0u);
}

TEST(RawBufferPoolTest, AFileLargerThanTheBudgetIsGrantedAlone) {
    RawBufferPool pool(1000);
    char* huge = pool.acquire(5000, nullptr);
    ASSERT_NE(huge, nullptr);
    huge[4999] = 1;
    EXPECT_EQ(pool.acquire(10, [] { return true; }), nullptr) << "nothing beside it";
    pool.release(huge);  // too large to keep
    char* small = pool.acquire(10, nullptr);
    EXPECT_NE(small, nullptr);
    pool.release(small);
    // A buffer that never came from the pool is freed, not kept.
    pool.release(static_cast<char*>(malloc(16)));
    EXPECT_EQ(pool.bytesOut(), 0u);
}

}  // namespace
