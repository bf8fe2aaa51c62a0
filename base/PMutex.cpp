#include "base/PMutex.h"

PMutex::PMutex(bool recursive) {
    if (recursive) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    } else {
        pthread_mutex_init(&m_mutex, nullptr);
    }
}

PMutex::~PMutex() {
    pthread_mutex_destroy(&m_mutex);
}

int PMutex::lock() {
    return pthread_mutex_lock(&m_mutex);
}

int PMutex::unlock() {
    return pthread_mutex_unlock(&m_mutex);
}
