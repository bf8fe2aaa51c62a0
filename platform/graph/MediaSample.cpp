#include "platform/graph/MediaSample.h"

#include "platform/graph/MemAllocator.h"

CMediaSample::CMediaSample(std::unique_ptr<BYTE[]> buffer, LONG size, std::shared_ptr<SampleBufferPool> pool)
    : m_buffer(std::move(buffer)), m_size(size), m_pool(std::move(pool)) {}

CMediaSample::~CMediaSample() {
    if (m_pool) m_pool->giveBack(std::move(m_buffer), m_size);
}

HRESULT CMediaSample::GetPointer(BYTE** buffer) {
    if (!buffer) return E_POINTER;
    *buffer = m_buffer.get();
    return S_OK;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    if (!start || !end) return E_POINTER;
    if (!m_hasStart) return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = m_start;
    if (!m_hasEnd) {
        *end = m_start + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *end = m_end;
    return S_OK;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    m_hasStart = start != nullptr;
    m_hasEnd = m_hasStart && end != nullptr;
    m_start = m_hasStart ? *start : 0;
    m_end = m_hasEnd ? *end : 0;
    return S_OK;
}

HRESULT CMediaSample::SetSyncPoint(BOOL sync) {
    m_sync = sync != 0;
    return S_OK;
}

HRESULT CMediaSample::SetPreroll(BOOL preroll) {
    m_preroll = preroll != 0;
    return S_OK;
}

HRESULT CMediaSample::SetActualDataLength(LONG length) {
    if (length < 0 || length > m_size) return VFW_E_BUFFER_OVERFLOW;
    m_length = length;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** mt) {
    if (!mt) return E_POINTER;
    *mt = nullptr;
    if (!m_type) return S_FALSE;
    *mt = CreateMediaType(m_type.get());
    return *mt ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) {
        m_type.reset();
        return S_OK;
    }
    m_type = std::make_unique<CMediaType>(*mt);
    return S_OK;
}

HRESULT CMediaSample::SetDiscontinuity(BOOL discontinuity) {
    m_discontinuity = discontinuity != 0;
    return S_OK;
}
