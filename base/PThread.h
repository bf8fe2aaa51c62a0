// A thread that runs a delegate. The constructor returns once the thread has started. The
// thread's data is shared between this object and the running thread, so the object may be
// destroyed first: an object that was neither joined nor detached detaches its thread.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>

#include "base/PLatch.h"
#include "base/PThreadDelegate.h"

class PThread {
public:
    struct ThreadData {
        std::unique_ptr<PThreadDelegateGeneric> delegate;
        PLatch started;
        void* arg = nullptr;
    };

    // Throws std::runtime_error when the thread cannot be created.
    PThread(const pthread_attr_t* attr, const PThreadDelegateGeneric& delegate, void* arg = nullptr);
    virtual ~PThread();
    PThread(const PThread&) = delete;
    PThread& operator=(const PThread&) = delete;

    // Waits for the thread to end; answers the POSIX result and, through `result`, what the
    // delegate's run returned.
    int join(int32_t* result = nullptr);
    int detach();

private:
    static void* entry(void* self);

    pthread_t m_thread;
    std::shared_ptr<ThreadData> m_data;
    bool m_finished = false;  // joined or detached
};
