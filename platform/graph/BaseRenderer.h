// Base of filters that end a branch. Each sample is held until the graph's clock reaches its
// start time (stream time, counted from the clock time the graph ran at), so a branch plays at
// the clock's rate and everything upstream of it waits: that is the graph's backpressure. A
// paused renderer holds its sample until it runs again; stop and flush end the wait at once.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/graph/ReferenceClock.h"

class CBaseRenderer : public CBaseFilter {
public:
    CBaseRenderer(const wchar_t* objectName, const CLSID& clsid, const wchar_t* pinName = L"In");
    ~CBaseRenderer() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;

    virtual HRESULT CheckMediaType(const CMediaType* mt) = 0;
    // The sample is due: render it.
    virtual HRESULT DoRenderSample(IMediaSample* sample) = 0;
    virtual void OnEndOfStream() {}
    // Called when a flush begins (before the wait is cancelled) and when it ends.
    virtual void OnBeginFlush() {}
    virtual void OnEndFlush() {}

    // Waits until the sample is due: S_OK to render, S_FALSE when a stop or a flush came first.
    HRESULT WaitForRenderTime(IMediaSample* sample);
    // Source position of stream time 0 in the current segment.
    REFERENCE_TIME SegmentStart() const;

protected:
    class InputPin;
    friend class InputPin;
    std::unique_ptr<InputPin> m_input;

private:
    void CancelWait();

    std::mutex m_renderLock;
    std::condition_variable m_stateChanged;
    ClockWaitToken m_token;
    bool m_flushing = false;
};
