#include "base/PCondMutex.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/PLatch.h"
#include "base/PMutexLocker.h"
#include "base/PMutexUnlocker.h"

namespace {

timespec at(time_t sec, long nsec) {
    timespec t;
    t.tv_sec = sec;
    t.tv_nsec = nsec;
    return t;
}

TEST(PCondMutexDeadline, CarriesIntoTheSecondsAndDropsSubMilliseconds) {
    // 1,500 ms from 700 ms past the second: the next-but-one second plus 200 ms.
    timespec t = PCondMutex::deadlineAfter(at(1000, 700000000), 1500);
    EXPECT_EQ(t.tv_sec, 1002);
    EXPECT_EQ(t.tv_nsec, 200000000);
    // The clock is read to the millisecond: 0.9 ms past is taken as 0.
    t = PCondMutex::deadlineAfter(at(5, 999999), 1);
    EXPECT_EQ(t.tv_sec, 5);
    EXPECT_EQ(t.tv_nsec, 1000000);
    t = PCondMutex::deadlineAfter(at(5, 999000000), 1);
    EXPECT_EQ(t.tv_sec, 6);
    EXPECT_EQ(t.tv_nsec, 0);
    t = PCondMutex::deadlineAfter(at(5, 0), 0);
    EXPECT_EQ(t.tv_sec, 5);
    EXPECT_EQ(t.tv_nsec, 0);
}

TEST(PCondMutex, TimedWaitAnswersTheTimeOutCode) {
    PCondMutex m;
    PMutexLocker lock(m);
    EXPECT_EQ(m.timedWait(1L), ETIMEDOUT);
    timespec past = at(1, 0);
    EXPECT_EQ(m.timedWait(past), ETIMEDOUT);
}

TEST(PMutex, RecursiveNeedsAsManyUnlocksAsLocks) {
    PMutex recursive(true);
    ASSERT_EQ(recursive.lock(), 0);
    ASSERT_EQ(recursive.lock(), 0);
    EXPECT_EQ(recursive.unlock(), 0);
    EXPECT_EQ(recursive.unlock(), 0);
    // A third unlock: the thread no longer owns it.
    EXPECT_EQ(recursive.unlock(), EPERM);
}

TEST(PMutex, LockersNest) {
    PMutex m;
    {
        PMutexLocker lock(m);
        {
            PMutexUnlocker unlock(m);
            // Unlocked here: another locker in this thread must get it at once.
            PMutexLocker again(m);
        }
    }
    EXPECT_EQ(m.lock(), 0);
    EXPECT_EQ(m.unlock(), 0);
}

TEST(PLatch, SetBeforeWaitReturnsAtOnceAndStaysSet) {
    PLatch latch;
    EXPECT_FALSE(latch.isSet());
    latch.set();
    latch.wait();
    latch.wait();
    EXPECT_TRUE(latch.isSet());
    PLatch preset(true);
    preset.wait();
}

}  // namespace
