// The filter graph: membership, connection (direct or through an inserted decoder), and the
// state of all its filters together.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/graph/GraphInterfaces.h"

constexpr HRESULT VFW_S_DUPLICATE_NAME = 0x0004022D;

// The graph's clock (a system clock unless SetSyncSource says otherwise) is handed to every
// filter; Run gives them the clock time at which stream time 0 is due, so that renderers play
// each sample at its time. A pause keeps the stream time where it stood.
class CFilterGraph : public ComObject<IGraphBuilder, IMediaControl, IMediaSeeking, IMediaFilter> {
public:
    CFilterGraph();
    ~CFilterGraph() override;

    // IFilterGraph / IGraphBuilder
    HRESULT AddFilter(IBaseFilter* filter, LPCOLESTR name) override;
    HRESULT RemoveFilter(IBaseFilter* filter) override;
    HRESULT EnumFilters(IEnumFilters** out) override;
    HRESULT FindFilterByName(LPCOLESTR name, IBaseFilter** filter) override;
    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) override;
    HRESULT Disconnect(IPin* pin) override;
    HRESULT Connect(IPin* out, IPin* in) override;

    // IMediaControl
    HRESULT Run() override;
    HRESULT Pause() override;
    HRESULT Stop() override;
    HRESULT GetState(LONG timeoutMs, OAFilterState* state) override;
    HRESULT StopWhenReady() override { return Stop(); }

    // IMediaFilter: the graph's clock (null: no clock, every branch runs as fast as it can).
    HRESULT GetClassID(CLSID* clsid) override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;

    // IMediaSeeking: answered by the first filter that seeks (the source).
    HRESULT GetCapabilities(DWORD* caps) override;
    HRESULT CheckCapabilities(DWORD* caps) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;

    // The filters in the order they were added.
    std::vector<ComPtr<IBaseFilter>> Filters();

private:
    struct Member {
        ComPtr<IBaseFilter> filter;
        std::wstring name;
    };
    HRESULT ChangeState(FILTER_STATE target, REFERENCE_TIME start = 0);
    REFERENCE_TIME ClockNow();
    HRESULT ConnectThroughDecoder(IPin* out, IPin* in);
    ComPtr<IMediaSeeking> Seeker();
    void DisconnectAll(IBaseFilter* filter);

    std::recursive_mutex m_lock;
    std::vector<Member> m_filters;
    FILTER_STATE m_state = State_Stopped;
    unsigned m_decoderCount = 0;
    ComPtr<IReferenceClock> m_clock;
    // Clock time of stream time 0 while running; the stream time reached when paused.
    REFERENCE_TIME m_streamStart = 0;
    REFERENCE_TIME m_pausedAt = 0;
    bool m_pausedFromRun = false;
};

// Creates a filter graph (the object behind CLSID_FilterGraph).
HRESULT CreateFilterGraph(REFIID riid, void** ppv);
