#include "base/PLatch.h"

#include "base/PMutexLocker.h"

void PLatch::set() {
    PMutexLocker lock(*this);
    m_set = true;
    broadcast();
}

void PLatch::wait() {
    PMutexLocker lock(*this);
    while (!m_set) PCondMutex::wait();
}

bool PLatch::isSet() {
    PMutexLocker lock(*this);
    return m_set;
}
