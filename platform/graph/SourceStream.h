// Output pin of a source filter with its own streaming thread. The thread starts when the
// filter leaves the stopped state, pushes samples only while the filter runs, and is joined
// when the filter stops. A seek holds the thread between samples, flushes everything
// downstream and starts a new segment, so no sample from before the seek arrives after it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/graph/BaseOutputPin.h"

class CSourceStream : public CBaseOutputPin {
public:
    CSourceStream(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name);
    ~CSourceStream() override;

    HRESULT Active() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT Inactive() override;

    // The first half of a seek: BeginFlush downstream (so a sample waiting there gives up),
    // then hold the thread between samples (a stop holds without the flush). RequestHold only asks (so a
    // filter can ask all its pins before waking a shared reader); AwaitHeld returns once the thread pushes
    // nothing.
    void RequestHold(bool flushDownstream = true);
    void AwaitHeld();
    // The second half: EndFlush downstream, a new segment from `start` (source time of the
    // samples stamped 0 from now on), and the thread goes on, even after an end of stream.
    void ReleaseHold(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
    // Both halves, for a filter with one pin that needs nothing in between.
    void SeekFlush(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

protected:
    // Fills one sample: S_OK delivers it, S_FALSE ends the stream, a failure ends it too. A
    // fill that returns because StopRequested() became true delivers no end of stream.
    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    // Called on the stopping or seeking thread, so a FillBuffer that waits can return.
    virtual void OnStopRequested() {}
    virtual void OnThreadStart() {}
    // The thread stopped pushing for this run (end of stream, or downstream refused).
    virtual void OnDeliveryEnded() {}
    // True when the thread is asked to stop or to hold.
    bool StopRequested();

private:
    void threadMain();

    std::mutex m_threadLock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    bool m_exit = false;
    bool m_running = false;
    bool m_hold = false;
    bool m_busy = false;
    bool m_ended = false;
    std::thread m_thread;
};
