#include "platform/graph/BaseRenderer.h"

class CBaseRenderer::InputPin : public CBaseInputPin {
public:
    InputPin(CBaseRenderer* owner, std::recursive_mutex* lock, const wchar_t* name)
        : CBaseInputPin(owner, lock, name), m_owner(owner) {}
    HRESULT CheckMediaType(const CMediaType* mt) override { return m_owner->CheckMediaType(mt); }
    HRESULT Receive(IMediaSample* sample) override {
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK) return hr;
        hr = m_owner->WaitForRenderTime(sample);
        if (hr != S_OK) return hr;
        return m_owner->DoRenderSample(sample);
    }
    HRESULT EndOfStream() override {
        if (m_filter->IsStopped()) return VFW_E_WRONG_STATE;
        if (IsFlushing()) return S_OK;
        m_owner->OnEndOfStream();
        return S_OK;
    }
    HRESULT BeginFlush() override {
        CBaseInputPin::BeginFlush();
        m_owner->OnBeginFlush();
        {
            std::lock_guard<std::mutex> guard(m_owner->m_renderLock);
            m_owner->m_flushing = true;
        }
        m_owner->CancelWait();
        return S_OK;
    }
    HRESULT EndFlush() override {
        {
            std::lock_guard<std::mutex> guard(m_owner->m_renderLock);
            m_owner->m_flushing = false;
        }
        m_owner->OnEndFlush();
        return CBaseInputPin::EndFlush();
    }

private:
    CBaseRenderer* m_owner;
};

CBaseRenderer::CBaseRenderer(const wchar_t* objectName, const CLSID& clsid, const wchar_t* pinName)
    : CBaseFilter(objectName, clsid) {
    m_input = std::make_unique<InputPin>(this, &m_filterLock, pinName);
}

CBaseRenderer::~CBaseRenderer() = default;

CBasePin* CBaseRenderer::GetPin(int n) {
    return n == 0 ? m_input.get() : nullptr;
}

REFERENCE_TIME CBaseRenderer::SegmentStart() const {
    return m_input->SegmentStart();
}

void CBaseRenderer::CancelWait() {
    m_token.Cancel();
    // A waiter between its look at the token and its wait holds this lock: take it once so
    // the notification cannot fall between the two.
    { std::lock_guard<std::mutex> guard(m_renderLock); }
    m_stateChanged.notify_all();
}

HRESULT CBaseRenderer::Stop() {
    HRESULT hr = CBaseFilter::Stop();
    CancelWait();
    return hr;
}

HRESULT CBaseRenderer::Pause() {
    HRESULT hr = CBaseFilter::Pause();
    // A sample waiting for its time now waits for the run instead.
    CancelWait();
    return hr;
}

HRESULT CBaseRenderer::Run(REFERENCE_TIME start) {
    HRESULT hr = CBaseFilter::Run(start);
    CancelWait();
    return hr;
}

HRESULT CBaseRenderer::WaitForRenderTime(IMediaSample* sample) {
    REFERENCE_TIME start = 0, end = 0;
    HRESULT timed = sample->GetTime(&start, &end);
    for (;;) {
        uint64_t armed = m_token.Arm();
        ComPtr<IReferenceClock> clock = Clock();
        REFERENCE_TIME base = StreamStart();
        {
            std::unique_lock<std::mutex> guard(m_renderLock);
            FILTER_STATE state = State();
            if (m_flushing || state == State_Stopped) return S_FALSE;
            if (state == State_Paused) {
                m_stateChanged.wait(guard, [&] { return m_token.CancelledSince(armed); });
                continue;
            }
        }
        // Untimed samples and graphs without a clock render at once.
        if (!clock || (timed != S_OK && timed != VFW_S_NO_STOP_TIME)) return S_OK;
        HRESULT hr = clock->WaitUntil(base + start, &m_token, armed);
        if (hr == S_OK) return S_OK;
        if (FAILED(hr)) return hr;
        // Cancelled: look at the state again (paused, stopped, flushing or run anew).
    }
}
