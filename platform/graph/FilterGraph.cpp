#include "platform/graph/FilterGraph.h"

#include <algorithm>

#include "platform/graph/AVDecoderFilter.h"
#include "platform/graph/EnumFilters.h"
#include "platform/graph/ReferenceClock.h"

namespace {
std::vector<ComPtr<IPin>> pinsOf(IBaseFilter* filter, int direction) {
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> e;
    if (FAILED(filter->EnumPins(&e)) || !e) return pins;
    ComPtr<IPin> pin;
    while (e->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION dir;
        if (direction < 0 || (SUCCEEDED(pin->QueryDirection(&dir)) && dir == direction)) pins.push_back(pin);
    }
    return pins;
}

bool isSource(IBaseFilter* filter) {
    return pinsOf(filter, PINDIR_INPUT).empty();
}

}  // namespace

CFilterGraph::CFilterGraph() {
    m_clock.Attach(CreateComObject<CSystemClock>(CSystemClock::GraphSpeed()));
}

CFilterGraph::~CFilterGraph() {
    Stop();
    for (Member& m : m_filters) {
        DisconnectAll(m.filter.Get());
        m.filter->JoinFilterGraph(nullptr, nullptr);
    }
}

std::vector<ComPtr<IBaseFilter>> CFilterGraph::Filters() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<ComPtr<IBaseFilter>> out;
    for (Member& m : m_filters) out.push_back(m.filter);
    return out;
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* filter, LPCOLESTR name) {
    if (!filter) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (Member& m : m_filters)
        if (IsSameObject(m.filter.Get(), filter)) return VFW_E_DUPLICATE_NAME;
    auto taken = [this](const std::wstring& n) {
        return std::any_of(m_filters.begin(), m_filters.end(), [&n](const Member& m) { return m.name == n; });
    };
    std::wstring wanted = name ? name : L"";
    if (wanted.size() >= MAX_FILTER_NAME - 6) wanted.resize(MAX_FILTER_NAME - 6);
    std::wstring unique = wanted;
    HRESULT result = S_OK;
    // Names are unique in a graph: a taken (or empty) name gets a number.
    for (unsigned i = 1; unique.empty() || taken(unique); ++i) {
        wchar_t suffix[8];
        swprintf(suffix, 8, L" %04u", i);
        unique = wanted + suffix;
        result = VFW_S_DUPLICATE_NAME;
    }
    HRESULT hr = filter->JoinFilterGraph(this, unique.c_str());
    if (FAILED(hr)) return hr;
    m_filters.push_back(Member{filter, unique});
    filter->SetSyncSource(m_clock.Get());
    // A graph that is already running takes new filters along.
    if (m_state != State_Stopped) filter->Pause();
    if (m_state == State_Running) filter->Run(m_streamStart);
    return result;
}

void CFilterGraph::DisconnectAll(IBaseFilter* filter) {
    for (ComPtr<IPin>& pin : pinsOf(filter, -1)) {
        ComPtr<IPin> peer;
        if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer) peer->Disconnect();
        pin->Disconnect();
    }
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* filter) {
    if (!filter) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = std::find_if(m_filters.begin(), m_filters.end(),
                           [filter](const Member& m) { return IsSameObject(m.filter.Get(), filter); });
    if (it == m_filters.end()) return VFW_E_NOT_FOUND;
    // Connections can only be undone while nothing streams through them.
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    ComPtr<IBaseFilter> keep = it->filter;
    DisconnectAll(keep.Get());
    keep->SetSyncSource(nullptr);
    keep->JoinFilterGraph(nullptr, nullptr);
    m_filters.erase(it);
    return S_OK;
}

HRESULT CFilterGraph::EnumFilters(IEnumFilters** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<CEnumFilters>(this, Filters());
    return S_OK;
}

HRESULT CFilterGraph::FindFilterByName(LPCOLESTR name, IBaseFilter** filter) {
    if (!name || !filter) return E_POINTER;
    *filter = nullptr;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (Member& m : m_filters) {
        if (m.name == name) return m.filter.CopyTo(filter);
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CFilterGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) {
    if (!out || !in) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    PIN_DIRECTION dir;
    if (FAILED(out->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
    return out->Connect(in, mt);
}

HRESULT CFilterGraph::Disconnect(IPin* pin) {
    if (!pin) return E_POINTER;
    return pin->Disconnect();
}

HRESULT CFilterGraph::Connect(IPin* out, IPin* in) {
    if (!out || !in) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    HRESULT hr = ConnectDirect(out, in, nullptr);
    if (SUCCEEDED(hr) || hr == VFW_E_NOT_STOPPED || hr == VFW_E_ALREADY_CONNECTED ||
        hr == VFW_E_INVALID_DIRECTION)
        return hr;
    return ConnectThroughDecoder(out, in);
}

HRESULT CFilterGraph::ConnectThroughDecoder(IPin* out, IPin* in) {
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(out->EnumMediaTypes(&types)) || !types) return VFW_E_CANNOT_CONNECT;
    AM_MEDIA_TYPE* offered = nullptr;
    while (types->Next(1, &offered, nullptr) == S_OK) {
        CMediaType mt(*offered);
        DeleteMediaType(offered);
        ComPtr<IBaseFilter> decoder;
        if (FAILED(CreateDecoderFor(mt, &decoder))) continue;
        wchar_t name[32];
        swprintf(name, 32, L"AV Decoder %u", ++m_decoderCount);
        if (FAILED(AddFilter(decoder.Get(), name))) continue;
        auto inputs = pinsOf(decoder.Get(), PINDIR_INPUT);
        auto outputs = pinsOf(decoder.Get(), PINDIR_OUTPUT);
        if (!inputs.empty() && !outputs.empty() && SUCCEEDED(out->Connect(inputs[0].Get(), &mt)) &&
            SUCCEEDED(outputs[0]->Connect(in, nullptr)))
            return S_OK;
        RemoveFilter(decoder.Get());
    }
    return VFW_E_CANNOT_CONNECT;
}

REFERENCE_TIME CFilterGraph::ClockNow() {
    REFERENCE_TIME now = 0;
    if (m_clock) m_clock->GetTime(&now);
    return now;
}

HRESULT CFilterGraph::ChangeState(FILTER_STATE target, REFERENCE_TIME start) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<ComPtr<IBaseFilter>> sources, others, renderers;
    for (Member& m : m_filters) {
        if (isSource(m.filter.Get()))
            sources.push_back(m.filter);
        else if (pinsOf(m.filter.Get(), PINDIR_OUTPUT).empty())
            renderers.push_back(m.filter);
        else
            others.push_back(m.filter);
    }
    HRESULT result = S_OK;
    auto apply = [&result, target, start](std::vector<ComPtr<IBaseFilter>>& list) {
        for (auto& f : list) {
            HRESULT hr = target == State_Stopped  ? f->Stop()
                         : target == State_Paused ? f->Pause()
                                                  : f->Run(start);
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
    };
    // Renderers stop first: a sample waiting for its time there gives up at once, so the
    // streaming threads upstream return and the sources can join them. Sources start last, so
    // everything downstream is ready when the first sample comes.
    apply(renderers);
    apply(others);
    apply(sources);
    if (FAILED(result) && target != State_Stopped) {
        for (Member& m : m_filters) m.filter->Stop();
        m_state = State_Stopped;
        return result;
    }
    m_state = target;
    return result;
}

HRESULT CFilterGraph::Run() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_state == State_Running) return S_OK;
    if (m_state == State_Stopped) {
        HRESULT hr = ChangeState(State_Paused);
        if (FAILED(hr)) return hr;
        m_pausedFromRun = false;
    }
    // From a pause the stream time goes on where it stood; otherwise it starts at 0 now.
    REFERENCE_TIME start = ClockNow() - (m_pausedFromRun ? m_pausedAt : 0);
    return Run(start);
}

HRESULT CFilterGraph::Run(REFERENCE_TIME start) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_state == State_Stopped) {
        HRESULT hr = ChangeState(State_Paused);
        if (FAILED(hr)) return hr;
    }
    m_streamStart = start;
    m_pausedFromRun = false;
    return ChangeState(State_Running, start);
}

HRESULT CFilterGraph::Pause() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_state == State_Running) {
        m_pausedAt = ClockNow() - m_streamStart;
        m_pausedFromRun = true;
    }
    return ChangeState(State_Paused);
}

HRESULT CFilterGraph::Stop() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_pausedFromRun = false;
    return ChangeState(State_Stopped);
}

HRESULT CFilterGraph::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_FilterGraph;
    return S_OK;
}

HRESULT CFilterGraph::GetState(DWORD, FILTER_STATE* state) {
    if (!state) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    *state = m_state;
    return S_OK;
}

HRESULT CFilterGraph::SetSyncSource(IReferenceClock* clock) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    m_clock = clock;
    for (Member& m : m_filters) m.filter->SetSyncSource(clock);
    return S_OK;
}

HRESULT CFilterGraph::GetSyncSource(IReferenceClock** clock) {
    if (!clock) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    *clock = m_clock.Get();
    if (*clock) (*clock)->AddRef();
    return S_OK;
}

HRESULT CFilterGraph::GetState(LONG, OAFilterState* state) {
    if (!state) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    *state = m_state;
    return S_OK;
}

ComPtr<IMediaSeeking> CFilterGraph::Seeker() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (Member& m : m_filters) {
        ComPtr<IMediaSeeking> s;
        if (SUCCEEDED(m.filter->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&s)))) return s;
    }
    return nullptr;
}

HRESULT CFilterGraph::GetCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    auto s = Seeker();
    if (!s) {
        *caps = 0;
        return E_NOTIMPL;
    }
    return s->GetCapabilities(caps);
}

HRESULT CFilterGraph::CheckCapabilities(DWORD* caps) {
    if (!caps) return E_POINTER;
    auto s = Seeker();
    return s ? s->CheckCapabilities(caps) : E_NOTIMPL;
}

HRESULT CFilterGraph::GetDuration(LONGLONG* duration) {
    auto s = Seeker();
    return s ? s->GetDuration(duration) : E_NOTIMPL;
}

HRESULT CFilterGraph::GetStopPosition(LONGLONG* stop) {
    auto s = Seeker();
    return s ? s->GetStopPosition(stop) : E_NOTIMPL;
}

HRESULT CFilterGraph::GetCurrentPosition(LONGLONG* current) {
    auto s = Seeker();
    return s ? s->GetCurrentPosition(current) : E_NOTIMPL;
}

HRESULT CFilterGraph::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) {
    auto s = Seeker();
    if (!s) return E_NOTIMPL;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    bool running = m_state == State_Running;
    // The new segment's samples start near stream time 0: a running graph starts its stream
    // time again, as it would after a stop.
    if (running) Pause();
    HRESULT hr = s->SetPositions(current, currentFlags, stop, stopFlags);
    if (running) {
        m_pausedFromRun = false;
        Run();
    } else if ((currentFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning) {
        m_pausedFromRun = false;
    }
    return hr;
}

HRESULT CFilterGraph::GetPositions(LONGLONG* current, LONGLONG* stop) {
    auto s = Seeker();
    return s ? s->GetPositions(current, stop) : E_NOTIMPL;
}

HRESULT CFilterGraph::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    auto s = Seeker();
    return s ? s->GetAvailable(earliest, latest) : E_NOTIMPL;
}

HRESULT CreateFilterGraph(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    ComPtr<CFilterGraph> graph;
    graph.Attach(CreateComObject<CFilterGraph>());
    return graph->QueryInterface(riid, ppv);
}
