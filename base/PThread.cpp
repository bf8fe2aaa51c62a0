#include "base/PThread.h"

#include <cstring>
#include <stdexcept>
#include <string>

PThread::PThread(const pthread_attr_t* attr, const PThreadDelegateGeneric& delegate, void* arg)
    : m_data(std::make_shared<ThreadData>()) {
    m_data->delegate.reset(delegate.clone());
    m_data->arg = arg;
    int rc = pthread_create(&m_thread, attr, &PThread::entry, this);
    if (rc != 0) {
        m_data.reset();
        m_finished = true;
        throw std::runtime_error(std::string("pthread_create failed: ") + std::strerror(rc));
    }
    // The thread takes its share of the data before it sets the latch; after that this object
    // is free to go away.
    std::shared_ptr<ThreadData> data = m_data;
    data->started.wait();
}

PThread::~PThread() {
    if (!m_finished) pthread_detach(m_thread);
}

int PThread::join(int32_t* result) {
    void* ret = nullptr;
    int rc = pthread_join(m_thread, &ret);
    if (rc == 0) {
        m_finished = true;
        if (result) *result = static_cast<int32_t>(reinterpret_cast<intptr_t>(ret));
    }
    return rc;
}

int PThread::detach() {
    int rc = pthread_detach(m_thread);
    if (rc == 0) m_finished = true;
    return rc;
}

void* PThread::entry(void* self) {
    std::shared_ptr<ThreadData> data = static_cast<PThread*>(self)->m_data;
    if (!data) return nullptr;
    data->started.set();
    int32_t rc = data->delegate->run(data->arg);
    return reinterpret_cast<void*>(static_cast<intptr_t>(rc));
}
