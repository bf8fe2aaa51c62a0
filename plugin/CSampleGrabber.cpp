#include "plugin/CSampleGrabber.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/FrameBufferPool.h"
#include "base/Log.h"
#include "base/PMutexLocker.h"

CSampleGrabber::CSampleGrabber(HRESULT* result)
    : CTransInPlaceFilter(L"SampleGrabber", CLSID_GrabberSample, false) {
    HRESULT hr = S_OK;
    auto* pin = new (std::nothrow) CSampleGrabberInPin(this, &m_filterLock, &hr);
    if (!pin) hr = E_OUTOFMEMORY;
    m_pInput.reset(pin);
    m_inputPin = pin;
    if (result) *result = hr;
}

CSampleGrabber::~CSampleGrabber() {
    ClearHeld();
}

HRESULT CSampleGrabber::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IGrabberSample) {
        *ppv = static_cast<IGrabberSample*>(this);
        return S_OK;
    }
    return CTransInPlaceFilter::NonDelegatingQueryInterface(riid, ppv);
}

void CSampleGrabber::ClearHeld() {
    FrameBufferPool::shared().release(m_heldData);
    m_heldData = nullptr;
    m_heldLength = 0;
    m_heldStart = 0;
    m_heldEnd = 0;
    m_heldSyncPoint = false;
}

HRESULT CSampleGrabber::SetAcceptedMediaType(int index, const AM_MEDIA_TYPE* mt) {
    PMutexLocker guard(m_lock);
    if (!mt) {
        if (index > 0) return E_INVALIDARG;
        m_acceptedTypes[0].Clear();
        return S_OK;
    }
    if (index < 0 || index >= kAcceptedCount) return E_INVALIDARG;
    m_acceptedTypes[index] = *mt;
    if (index < kAcceptedCount - 1) {
        // The list ends at the first entry without a major type.
        CMediaType& next = m_acceptedTypes[index + 1];
        next.majortype = GUID_NULL;
        next.subtype = GUID_NULL;
        next.formattype = GUID_NULL;
    }
    return S_OK;
}

bool CSampleGrabber::AcceptedType(int position, CMediaType* mt) {
    PMutexLocker guard(m_lock);
    if (position < 0 || position >= kAcceptedCount) return false;
    // Entries after the end of the list are stale and never offered.
    for (int i = 0; i <= position; ++i)
        if (m_acceptedTypes[i].majortype == GUID_NULL) return false;
    *mt = m_acceptedTypes[position];
    return true;
}

HRESULT CSampleGrabber::GetConnectedMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) return E_POINTER;
    if (!m_inputPin || !m_inputPin->IsConnected()) return VFW_E_NOT_CONNECTED;
    return m_inputPin->ConnectionMediaType(mt);
}

HRESULT CSampleGrabber::SetCallback(SampleGrabberCallBack* callback, LONG streamId, PCondMutex* signal) {
    PMutexLocker guard(m_lock);
    m_callBack = callback;
    m_streamId = streamId;
    m_sampleSignal = signal;
    return S_OK;
}

HRESULT CSampleGrabber::GetCallback(SampleGrabberCallBack** callback, LONG* streamId) {
    PMutexLocker guard(m_lock);
    if (callback) *callback = m_callBack;
    if (streamId) *streamId = m_streamId;
    return S_OK;
}

HRESULT CSampleGrabber::CheckInputType(const CMediaType* mt) {
    if (!mt) return E_POINTER;
    PMutexLocker guard(m_lock);
    info(L"CSampleGrabber MediaType: %s, MediaSubType: %s, Format:%s", MediaGuidName(mt->majortype).c_str(),
         MediaGuidName(mt->subtype).c_str(), MediaGuidName(mt->formattype).c_str());
    if (m_sampleSignal) m_sampleSignal->broadcast();
    if (m_acceptedTypes[0].majortype == GUID_NULL) return S_OK;
    if (m_acceptedTypes[0].majortype != mt->majortype) return VFW_E_TYPE_NOT_ACCEPTED;
    for (const CMediaType& entry : m_acceptedTypes) {
        if (entry.majortype == GUID_NULL) return VFW_E_TYPE_NOT_ACCEPTED;
        if (entry.subtype == GUID_NULL) return S_OK;
        if (entry.subtype == mt->subtype &&
            (entry.formattype == GUID_NULL || entry.formattype == mt->formattype))
            return S_OK;
    }
    return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CSampleGrabber::Transform(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    PMutexLocker guard(m_lock);
    if (m_sampleSignal) m_sampleSignal->broadcast();
    if (!m_callBack) return S_OK;

    REFERENCE_TIME start = 0, end = 0;
    bool timed = sample->GetTime(&start, &end) == S_OK;
    BYTE* outData = nullptr;
    int64_t outLength = 0;
    REFERENCE_TIME outStart = 0, outEnd = 0;
    bool outSync = false;
    if (timed) {
        start += m_timeBase;
        end += m_timeBase;
        outData = m_heldData;
        outLength = m_heldLength;
        outStart = m_heldStart;
        outEnd = m_heldEnd;
        outSync = m_heldSyncPoint;
        m_heldData = nullptr;
        ClearHeld();
    }

    BYTE* data = nullptr;
    LONG length = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&data)) || !data || length <= 0) {
        debug(L"NULL buffer pointer returned from GetPointer");
        // An empty sample does not end the held one: it stays held for the next sample.
        if (outData) {
            m_heldData = outData;
            m_heldLength = outLength;
            m_heldStart = outStart;
            m_heldEnd = outEnd;
            m_heldSyncPoint = outSync;
        }
        return S_OK;
    }

    if (!m_heldData) {
        m_heldData = FrameBufferPool::shared().allocate(static_cast<size_t>(length));
        if (m_heldData) {
            std::memcpy(m_heldData, data, static_cast<size_t>(length));
            m_heldLength = length;
            // An untimed sample with nothing before it takes the last delivered start.
            m_heldStart = timed ? start : m_lastStart;
            m_heldEnd = timed ? end : m_lastStart;
            m_heldSyncPoint = sample->IsSyncPoint() == S_OK;
        }
    } else {
        BYTE* grown = FrameBufferPool::shared().grow(m_heldData, static_cast<size_t>(m_heldLength),
                                                     static_cast<size_t>(m_heldLength + length));
        if (grown) {
            std::memcpy(grown + m_heldLength, data, static_cast<size_t>(length));
            m_heldData = grown;
            m_heldLength += length;
        }
    }

    if (outData && outLength) {
        if (static_cast<uint64_t>(outStart) < static_cast<uint64_t>(m_lastStart)) outStart = m_lastStart + 10;
        m_callBack->sampleCallBack(outData, static_cast<ULONG>(outLength), 0, &outStart, &outEnd,
                                   m_inputPin->TypeChanged(), outSync ? 1 : 0, m_streamId);
        if (outStart >= 0) m_lastStart = outStart;
    } else {
        FrameBufferPool::shared().release(outData);
    }
    m_inputPin->ClearTypeChanged();
    return S_OK;
}

HRESULT CSampleGrabber::Receive(IMediaSample* sample) {
    HRESULT hr = CTransInPlaceFilter::Receive(sample);
    if (FAILED(hr)) debug(L"Error from TransInPlace");
    return hr;
}

HRESULT CSampleGrabber::EndOfStream() {
    PMutexLocker guard(m_lock);
    debug(L"CSampleGrabber::EndOfStream streamId %d", m_streamId);
    if (m_callBack) m_callBack->endOfStream(m_streamId);
    return S_OK;
}

HRESULT CSampleGrabber::FlushBuffers(REFERENCE_TIME t) {
    PMutexLocker guard(m_lock);
    ClearHeld();
    m_lastStart = t;
    m_timeBase = t;
    debug(L"FlushBuffers streamId %d startTime %lld", m_streamId, static_cast<long long>(t));
    return S_OK;
}
