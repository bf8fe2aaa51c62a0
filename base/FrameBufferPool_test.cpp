#include "base/FrameBufferPool.h"

#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/PCondMutex.h"
#include "base/PMutexLocker.h"

namespace {

constexpr size_t kPalYuy2 = 720 * 576 * 2;
constexpr size_t kHdYuy2 = 1920 * 1080 * 2;

}  // namespace

TEST(FrameBufferPool, ABurstOfFramesGoesBackToTheSystemOnceReleased) {
    FrameBufferPool pool(4);
    // The packet queue's limit for raw output, all waiting at once.
    std::vector<uint8_t*> burst;
    for (int i = 0; i < 31; ++i) {
        uint8_t* b = pool.allocate(kPalYuy2);
        ASSERT_NE(nullptr, b);
        std::memset(b, i, kPalYuy2);
        burst.push_back(b);
    }
    const size_t each = pool.mappedBytes() / 31;
    EXPECT_GE(each, kPalYuy2);
    EXPECT_EQ(31u, pool.outstandingCount());
    for (int i = 0; i < 31; ++i) {
        // No buffer was handed out twice.
        EXPECT_EQ(uint8_t(i), burst[i][kPalYuy2 - 1]);
        pool.release(burst[i]);
    }
    EXPECT_EQ(0u, pool.outstandingCount());
    EXPECT_EQ(4u, pool.spareCount());
    EXPECT_EQ(4 * each, pool.mappedBytes());

    // A reader that keeps up is served from the spares: nothing new is mapped.
    for (int round = 0; round < 100; ++round) {
        uint8_t* a = pool.allocate(kPalYuy2);
        uint8_t* b = pool.allocate(kPalYuy2);
        ASSERT_NE(nullptr, a);
        ASSERT_NE(nullptr, b);
        pool.release(a);
        pool.release(b);
    }
    EXPECT_EQ(4 * each, pool.mappedBytes());
}

TEST(FrameBufferPool, SparesTooSmallForTheNextStreamAreDropped) {
    FrameBufferPool pool(4);
    std::vector<uint8_t*> sd;
    for (int i = 0; i < 4; ++i) sd.push_back(pool.allocate(kPalYuy2));
    for (uint8_t* b : sd) pool.release(b);
    const size_t sdBytes = pool.mappedBytes();

    uint8_t* hd = pool.allocate(kHdYuy2);
    ASSERT_NE(nullptr, hd);
    std::memset(hd, 1, kHdYuy2);
    EXPECT_EQ(0u, pool.spareCount());
    EXPECT_LT(pool.mappedBytes(), sdBytes / 4 + kHdYuy2 + 64 * 1024);
    pool.release(hd);

    // A larger spare serves a smaller sample rather than mapping another one.
    const size_t before = pool.mappedBytes();
    uint8_t* small = pool.allocate(kPalYuy2);
    EXPECT_EQ(hd, small);
    EXPECT_EQ(before, pool.mappedBytes());
    pool.release(small);
}

TEST(FrameBufferPool, SmallSamplesAndGrowingOnesKeepTheirBytes) {
    FrameBufferPool pool(2);
    // Audio and most compressed pictures stay with the C library.
    uint8_t* a = pool.allocate(4608);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0u, pool.outstandingCount());
    EXPECT_EQ(0u, pool.mappedBytes());
    for (size_t i = 0; i < 4608; ++i) a[i] = uint8_t(i * 7);

    // A picture split over several samples is grown piece by piece across the threshold.
    uint8_t* g = pool.grow(a, 4608, 100000);
    ASSERT_NE(nullptr, g);
    g = pool.grow(g, 100000, FrameBufferPool::kMappedFrom + 1000);
    ASSERT_NE(nullptr, g);
    EXPECT_EQ(1u, pool.outstandingCount());
    for (size_t i = 0; i < 4608; ++i) ASSERT_EQ(uint8_t(i * 7), g[i]) << i;
    // Growing within the mapping keeps the buffer where it is.
    EXPECT_EQ(g, pool.grow(g, 4608, FrameBufferPool::kMappedFrom + 2000));
    uint8_t* h = pool.grow(g, 4608, 2 * FrameBufferPool::kMappedFrom);
    ASSERT_NE(nullptr, h);
    for (size_t i = 0; i < 4608; ++i) ASSERT_EQ(uint8_t(i * 7), h[i]) << i;
    EXPECT_EQ(1u, pool.outstandingCount());
    pool.release(h);
    EXPECT_EQ(0u, pool.outstandingCount());

    // Buffers from std::malloc and nothing at all are accepted too (the sanitizer checks the free).
    pool.release(std::malloc(16));
    pool.release(nullptr);
    uint8_t* empty = pool.allocate(0);
    EXPECT_NE(nullptr, empty);
    pool.release(empty);
}

// As in the plug-in: one thread takes buffers (a grabber), another gives them back (the host's
// reader) through a queue; the thread checker watches the pool's bookkeeping.
TEST(FrameBufferPool, BuffersTakenOnOneThreadAreGivenBackOnAnother) {
    FrameBufferPool pool(4);
    PCondMutex queueLock(false);
    std::deque<uint8_t*> queue;
    constexpr int kFrames = 400;
    std::thread reader([&] {
        for (int got = 0; got < kFrames; ++got) {
            uint8_t* b = nullptr;
            {
                PMutexLocker lock(queueLock);
                while (queue.empty()) queueLock.wait();
                b = queue.front();
                queue.pop_front();
            }
            pool.release(b);
        }
    });
    for (int i = 0; i < kFrames; ++i) {
        // Pictures and sound mixed, as the two grabbers hand them over.
        uint8_t* b = pool.allocate(i % 3 ? kPalYuy2 : 4608);
        EXPECT_NE(nullptr, b);
        if (b) b[0] = uint8_t(i);
        PMutexLocker lock(queueLock);
        queue.push_back(b);
        queueLock.signal();
    }
    reader.join();
    EXPECT_EQ(0u, pool.outstandingCount());
    EXPECT_LE(pool.spareCount(), 4u);
}
