#include "base/PThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "base/PCondMutex.h"
#include "base/PLatch.h"
#include "base/PMutexLocker.h"

namespace {

class Worker {
public:
    int32_t count(void* arg) {
        int limit = *static_cast<int*>(arg);
        for (int i = 0; i < limit; ++i) {
            PMutexLocker lock(m_mutex);
            ++m_total;
        }
        return limit;
    }
    int32_t waitForGo(void*) {
        m_go.wait();
        m_done.set();
        return 7;
    }
    int total() {
        PMutexLocker lock(m_mutex);
        return m_total;
    }

    PMutex m_mutex;
    int m_total = 0;
    PLatch m_go;
    PLatch m_done;
};

TEST(PThread, RunsTheMemberAndJoinGivesItsResult) {
    Worker w;
    int limit = 1000;
    PThreadDelegateMember<Worker> delegate(&w, &Worker::count);
    PThread a(nullptr, delegate, &limit);
    PThread b(nullptr, delegate, &limit);
    int32_t ra = 0, rb = 0;
    EXPECT_EQ(a.join(&ra), 0);
    EXPECT_EQ(b.join(&rb), 0);
    EXPECT_EQ(ra, 1000);
    EXPECT_EQ(rb, 1000);
    EXPECT_EQ(w.total(), 2000);
}

TEST(PThread, OutlivesItsObject) {
    Worker w;
    {
        PThread t(nullptr, PThreadDelegateMember<Worker>(&w, &Worker::waitForGo));
        // The object goes away (detaching the thread) before the thread has done its work.
    }
    w.m_go.set();
    w.m_done.wait();
    EXPECT_TRUE(w.m_done.isSet());
}

TEST(PThread, DetachedThreadStillRuns) {
    Worker w;
    PThread t(nullptr, PThreadDelegateMember<Worker>(&w, &Worker::waitForGo));
    EXPECT_EQ(t.detach(), 0);
    w.m_go.set();
    w.m_done.wait();
}

TEST(PThread, CreationFailureThrows) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // A stack far beyond what any machine can map makes creation fail.
    ASSERT_EQ(pthread_attr_setstacksize(&attr, static_cast<size_t>(1) << 46), 0);
    Worker w;
    EXPECT_THROW(PThread(&attr, PThreadDelegateMember<Worker>(&w, &Worker::waitForGo)), std::exception);
    pthread_attr_destroy(&attr);
}

// A queue in the shape the packet queue uses: wait in a loop on the predicate.
TEST(PCondMutex, WakesAWaiterThatRetestsItsPredicate) {
    struct Queue {
        PCondMutex cond;
        int items = 0;
        int32_t consume(void*) {
            int got = 0;
            PMutexLocker lock(cond);
            while (got < 100) {
                while (items == 0) cond.wait();
                got += items;
                items = 0;
            }
            return got;
        }
    } q;
    PThread consumer(nullptr, PThreadDelegateMember<Queue>(&q, &Queue::consume));
    for (int i = 0; i < 100; ++i) {
        PMutexLocker lock(q.cond);
        ++q.items;
        q.cond.signal();
    }
    int32_t got = 0;
    ASSERT_EQ(consumer.join(&got), 0);
    EXPECT_EQ(got, 100);
}

}  // namespace
