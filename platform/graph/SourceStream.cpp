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
    return m_exit;
}

void CSourceStream::threadMain() {
    OnThreadStart();
    for (;;) {
        {
            // Paused: nothing flows until the filter runs (or stops).
            std::unique_lock<std::mutex> guard(m_threadLock);
            m_wake.wait(guard,
                        [this] { return m_exit || (m_running && m_filter->State() == State_Running); });
            if (m_exit) return;
        }
        ComPtr<IMediaSample> sample;
        HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
        if (FAILED(hr)) break;
        hr = FillBuffer(sample.Get());
        if (hr != S_OK) {
            if (!StopRequested()) DeliverEndOfStream();
            break;
        }
        hr = Deliver(sample.Get());
        // Downstream refused (stopped, flushing, failed): this stream is over for this run.
        if (hr != S_OK) break;
    }
    // Stay alive until stopped so Inactive has one thread to join.
    std::unique_lock<std::mutex> guard(m_threadLock);
    m_wake.wait(guard, [this] { return m_exit; });
}
