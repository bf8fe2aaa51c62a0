// Holds a PMutex locked for the length of a scope.
#pragma once

#include "base/PMutex.h"

class PMutexLocker {
public:
    explicit PMutexLocker(PMutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~PMutexLocker() { m_mutex.unlock(); }
    PMutexLocker(const PMutexLocker&) = delete;
    PMutexLocker& operator=(const PMutexLocker&) = delete;

private:
    PMutex& m_mutex;
};
