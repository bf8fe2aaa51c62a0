// The filter graph: membership, connection (direct or through an inserted decoder), and the
// state of all its filters together.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/graph/GraphInterfaces.h"

constexpr HRESULT VFW_S_DUPLICATE_NAME = 0x0004022D;

class CFilterGraph : public ComObject<IGraphBuilder, IMediaControl, IMediaSeeking> {
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
    HRESULT ChangeState(FILTER_STATE target);
    HRESULT ConnectThroughDecoder(IPin* out, IPin* in);
    ComPtr<IMediaSeeking> Seeker();
    void DisconnectAll(IBaseFilter* filter);

    std::recursive_mutex m_lock;
    std::vector<Member> m_filters;
    FILTER_STATE m_state = State_Stopped;
    unsigned m_decoderCount = 0;
};

// Creates a filter graph (the object behind CLSID_FilterGraph).
HRESULT CreateFilterGraph(REFIID riid, void** ppv);
