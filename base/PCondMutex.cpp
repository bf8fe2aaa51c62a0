#include "base/PCondMutex.h"

PCondMutex::PCondMutex(bool recursive) : PMutex(recursive) {
    pthread_cond_init(&m_cond, nullptr);
}

PCondMutex::~PCondMutex() {
    pthread_cond_destroy(&m_cond);
}

int PCondMutex::wait() {
    return pthread_cond_wait(&m_cond, &m_mutex);
}

int PCondMutex::broadcast() {
    return pthread_cond_broadcast(&m_cond);
}

int PCondMutex::signal() {
    return pthread_cond_signal(&m_cond);
}

int PCondMutex::timedWait(const timespec& deadline) {
    return pthread_cond_timedwait(&m_cond, &m_mutex, &deadline);
}

int PCondMutex::timedWait(long milliseconds) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    timespec deadline = deadlineAfter(now, milliseconds);
    return timedWait(deadline);
}

timespec PCondMutex::deadlineAfter(const timespec& now, long milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    long nowMs = now.tv_nsec / 1000000;
    timespec t;
    t.tv_sec = now.tv_sec + milliseconds / 1000;
    t.tv_nsec = (nowMs + milliseconds % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}
