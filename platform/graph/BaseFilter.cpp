#include "platform/graph/BaseFilter.h"

#include <cwchar>

CBaseFilter::CBaseFilter(const wchar_t* objectName, const CLSID& clsid)
    : m_objectName(objectName ? objectName : L""), m_clsid(clsid) {}

CBaseFilter::~CBaseFilter() = default;

HRESULT CBaseFilter::GetClassID(CLSID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = m_clsid;
    return S_OK;
}

HRESULT CBaseFilter::Stop() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    HRESULT result = S_OK;
    if (m_state.load() != State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Inactive();
                if (FAILED(hr) && SUCCEEDED(result)) result = hr;
            }
        }
    }
    m_state = State_Stopped;
    return result;
}

HRESULT CBaseFilter::Pause() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (m_state.load() == State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Active();
                if (FAILED(hr)) return hr;
            }
        }
    }
    m_state = State_Paused;
    return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start) {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (m_state.load() == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    m_start = start;
    m_state = State_Running;
    for (int i = 0; i < GetPinCount(); ++i) {
        CBasePin* pin = GetPin(i);
        if (pin && pin->IsConnected()) {
            HRESULT hr = pin->Run(start);
            if (FAILED(hr)) return hr;
        }
    }
    return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
    if (!state) return E_POINTER;
    *state = m_state.load();
    return S_OK;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* clock) {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    m_clock = clock;
    return S_OK;
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** clock) {
    if (!clock) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    *clock = m_clock.Get();
    if (*clock) (*clock)->AddRef();
    return S_OK;
}

ComPtr<IReferenceClock> CBaseFilter::Clock() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    return m_clock;
}

REFERENCE_TIME CBaseFilter::StreamStart() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    return m_start;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<CEnumPins>(this);
    return S_OK;
}

HRESULT CBaseFilter::FindPin(LPCOLESTR id, IPin** pin) {
    if (!id || !pin) return E_POINTER;
    *pin = nullptr;
    for (int i = 0; i < GetPinCount(); ++i) {
        CBasePin* p = GetPin(i);
        if (p && p->Name() == id) {
            *pin = p;
            p->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (!info) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    std::wcsncpy(info->achName, m_name.c_str(), MAX_FILTER_NAME - 1);
    info->achName[MAX_FILTER_NAME - 1] = 0;
    info->pGraph = m_graph;
    if (m_graph) m_graph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCOLESTR name) {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    m_graph = graph;
    m_name = graph && name ? name : L"";
    return S_OK;
}

HRESULT CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
    if (!pins) return E_POINTER;
    if (count > 1 && !fetched) return E_POINTER;
    ULONG n = 0;
    while (n < count && m_position < m_filter->GetPinCount()) {
        CBasePin* pin = m_filter->GetPin(m_position++);
        if (!pin) continue;
        pin->AddRef();
        pins[n++] = pin;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Skip(ULONG count) {
    m_position += static_cast<int>(count);
    return m_position <= m_filter->GetPinCount() ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Reset() {
    m_position = 0;
    return S_OK;
}

HRESULT CEnumPins::Clone(IEnumPins** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<CEnumPins>(m_filter.Get(), m_position);
    return S_OK;
}
