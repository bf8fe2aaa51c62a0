#include "platform/graph/SourceStream.h"

#include "platform/graph/BaseFilter.h"

CSourceStream::CSourceStream(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name)
    : CBaseOutputPin(filter, lock, name) {}

CSourceStream::~CSourceStream() {
    {
        std::lock_guard<std::mutex> guard(m_threadLock);
        m_exit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

HRESULT CSourceStream::Active() {
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr)) return hr;
    if (m_thread.joinable()) return S_OK;
    {
        std::lock_guard<std::mutex> guard(m_threadLock);
        m_exit = false;
        m_running = false;
        m_hold = false;
        m_busy = false;
        m_ended = false;
    }
    m_thread = std::thread(&CSourceStream::threadMain, this);
    return S_OK;
}

HRESULT CSourceStream::Run(REFERENCE_TIME) {
    {
        std::lock_guard<std::mutex> guard(m_threadLock);
        m_running = true;
    }
    m_wake.notify_all();
    return S_OK;
}

HRESULT CSourceStream::Inactive() {
    {
        std::lock_guard<std::mutex> guard(m_threadLock);
        m_exit = true;
    }
    m_wake.notify_all();
    OnStopRequested();
    if (m_thread.joinable()) m_thread.join();
    return CBaseOutputPin::Inactive();
}

bool CSourceStream::StopRequested() {
    std::lock_guard<std::mutex> guard(m_threadLock);
    return m_exit || m_hold;
}

void CSourceStream::RequestHold(bool flushDownstream) {
    if (flushDownstream && IsConnected()) DeliverBeginFlush();
    std::lock_guard<std::mutex> guard(m_threadLock);
    m_hold = true;
}

void CSourceStream::AwaitHeld() {
    std::unique_lock<std::mutex> guard(m_threadLock);
    m_idle.wait(guard, [this] { return !m_busy; });
}

void CSourceStream::ReleaseHold(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    if (IsConnected()) {
        DeliverEndFlush();
        DeliverNewSegment(start, stop, rate);
    } else {
        NewSegment(start, stop, rate);
    }
    {
        std::lock_guard<std::mutex> guard(m_threadLock);
        m_hold = false;
        m_ended = false;
    }
    m_wake.notify_all();
}

void CSourceStream::SeekFlush(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    RequestHold();
    OnStopRequested();
    AwaitHeld();
    ReleaseHold(start, stop, rate);
}

void CSourceStream::threadMain() {
    OnThreadStart();
    for (;;) {
        {
            // Paused, held or ended: nothing flows until the filter runs (or stops).
            std::unique_lock<std::mutex> guard(m_threadLock);
            m_busy = false;
            m_idle.notify_all();
            m_wake.wait(guard, [this] {
                return m_exit || (m_running && !m_hold && !m_ended && m_filter->State() == State_Running);
            });
            if (m_exit) return;
            m_busy = true;
        }
        ComPtr<IMediaSample> sample;
        HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
        if (SUCCEEDED(hr)) hr = FillBuffer(sample.Get());
        if (FAILED(hr) && !sample) {
            // No buffer (the allocator is decommitted): nothing can flow, and no end either.
        } else if (hr == S_OK) {
            hr = Deliver(sample.Get());
            // Refused while flushing: the sample was stale anyway.
            if (hr == S_OK || StopRequested()) continue;
        } else {
            if (StopRequested()) continue;
            DeliverEndOfStream();
        }
        // The end of the stream, or downstream refused (stopped, failed): this run is over
        // unless a seek starts the stream again.
        OnDeliveryEnded();
        std::lock_guard<std::mutex> guard(m_threadLock);
        m_ended = true;
    }
}
