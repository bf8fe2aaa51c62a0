// A POSIX mutex, optionally recursive (the same thread may lock it again and must unlock it as
// often). Lock results are the POSIX codes, passed back unchanged.
#pragma once

#include <pthread.h>

class PMutex {
public:
    explicit PMutex(bool recursive = false);
    virtual ~PMutex();
    PMutex(const PMutex&) = delete;
    PMutex& operator=(const PMutex&) = delete;

    int lock();
    int unlock();

protected:
    pthread_mutex_t m_mutex;
};
