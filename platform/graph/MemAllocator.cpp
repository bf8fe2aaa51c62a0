#include "platform/graph/MemAllocator.h"

#include "platform/graph/MediaSample.h"

std::unique_ptr<BYTE[]> SampleBufferPool::take() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_spare.empty()) {
            auto b = std::move(m_spare.back());
            m_spare.pop_back();
            return b;
        }
    }
    return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[m_size > 0 ? m_size : 1]);
}

void SampleBufferPool::giveBack(std::unique_ptr<BYTE[]> buffer, LONG size) {
    if (!buffer || size != m_size) return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_spare.size() < m_keep) m_spare.push_back(std::move(buffer));
}

HRESULT CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
    if (!request || !actual) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_committed) return E_UNEXPECTED;
    if (request->cbBuffer < 0 || request->cBuffers < 0) return E_INVALIDARG;
    m_props = *request;
    if (m_props.cBuffers < 1) m_props.cBuffers = 1;
    if (m_props.cbAlign < 1) m_props.cbAlign = 1;
    m_props.cbPrefix = 0;
    *actual = m_props;
    return S_OK;
}

HRESULT CMemAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
    if (!props) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_lock);
    *props = m_props;
    return S_OK;
}

HRESULT CMemAllocator::Commit() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_props.cbBuffer <= 0) return E_UNEXPECTED;
    if (!m_pool || m_pool->bufferSize() != m_props.cbBuffer)
        m_pool = std::make_shared<SampleBufferPool>(m_props.cbBuffer, static_cast<size_t>(m_props.cBuffers));
    m_committed = true;
    return S_OK;
}

HRESULT CMemAllocator::Decommit() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_committed = false;
    return S_OK;
}

HRESULT CMemAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD) {
    if (!sample) return E_POINTER;
    *sample = nullptr;
    std::shared_ptr<SampleBufferPool> pool;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_committed) return VFW_E_NOT_COMMITTED;
        pool = m_pool;
    }
    std::unique_ptr<BYTE[]> buffer = pool->take();
    if (!buffer) return E_OUTOFMEMORY;
    auto* s = CreateComObject<CMediaSample>(std::move(buffer), pool->bufferSize(), pool);
    s->SetTime(start, end);
    *sample = s;
    return S_OK;
}
