// A mutex with one condition variable. The waits are made with the mutex held by the caller,
// and like every condition wait they may wake without cause: callers re-test their predicate.
#pragma once

#include <ctime>

#include "base/PMutex.h"

class PCondMutex : public PMutex {
public:
    explicit PCondMutex(bool recursive = false);
    ~PCondMutex() override;

    int wait();
    int broadcast();
    int signal();
    // Both timed waits answer 0 or ETIMEDOUT (or another POSIX code).
    int timedWait(const timespec& deadline);
    int timedWait(long milliseconds);

    // The wall-clock deadline a wait of `milliseconds` started at `now` ends at. `now` is taken
    // to the millisecond, as the platform's clock gives it.
    static timespec deadlineAfter(const timespec& now, long milliseconds);

private:
    pthread_cond_t m_cond;
};
