// Releases a held PMutex for the length of a scope, so that slow work inside a locked region
// does not block others; the mutex is locked again when the scope ends.
#pragma once

#include "base/PMutex.h"

class PMutexUnlocker {
public:
    explicit PMutexUnlocker(PMutex& mutex) : m_mutex(mutex) { m_mutex.unlock(); }
    ~PMutexUnlocker() { m_mutex.lock(); }
    PMutexUnlocker(const PMutexUnlocker&) = delete;
    PMutexUnlocker& operator=(const PMutexUnlocker&) = delete;

private:
    PMutex& m_mutex;
};
