// Output pin of a source filter with its own streaming thread. The thread starts when the
// filter leaves the stopped state, pushes samples only while the filter runs, and is joined
// when the filter stops.
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

protected:
    // Fills one sample: S_OK delivers it, S_FALSE ends the stream, a failure ends it too.
    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    // Called on the stopping thread before the join, so a FillBuffer that waits can return.
    virtual void OnStopRequested() {}
    virtual void OnThreadStart() {}
    bool StopRequested();

private:
    void threadMain();

    std::mutex m_threadLock;
    std::condition_variable m_wake;
    bool m_exit = false;
    bool m_running = false;
    std::thread m_thread;
};
