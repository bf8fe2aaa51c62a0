#include "platform/graph/CaptureGraphBuilder.h"

HRESULT CCaptureGraphBuilder::SetFiltergraph(IGraphBuilder* graph) {
    if (!graph) return E_POINTER;
    // The platform binds a builder to one graph for its whole life.
    if (m_graph) return E_UNEXPECTED;
    m_graph = graph;
    return S_OK;
}

HRESULT CCaptureGraphBuilder::GetFiltergraph(IGraphBuilder** graph) {
    if (!graph) return E_POINTER;
    *graph = nullptr;
    if (!m_graph) return E_UNEXPECTED;
    return m_graph.CopyTo(graph);
}

bool PinOffersMajorType(IPin* pin, const GUID* major) {
    if (!major || *major == GUID_NULL) return true;
    CMediaType connected;
    if (SUCCEEDED(pin->ConnectionMediaType(&connected))) return connected.majortype == *major;
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(pin->EnumMediaTypes(&types)) || !types) return false;
    AM_MEDIA_TYPE* mt = nullptr;
    while (types->Next(1, &mt, nullptr) == S_OK) {
        bool match = mt->majortype == *major;
        DeleteMediaType(mt);
        if (match) return true;
    }
    return false;
}

HRESULT CCaptureGraphBuilder::FindPin(IUnknown* source, PIN_DIRECTION dir, const GUID* category,
                                      const GUID* type, BOOL unconnected, int num, IPin** pin) {
    if (!source || !pin) return E_POINTER;
    *pin = nullptr;
    // Pin categories belong to capture hardware this layer does not model.
    if (category && *category != GUID_NULL) return E_FAIL;
    auto fits = [&](IPin* p) {
        PIN_DIRECTION d;
        if (FAILED(p->QueryDirection(&d)) || d != dir) return false;
        ComPtr<IPin> peer;
        if (unconnected && SUCCEEDED(p->ConnectedTo(&peer))) return false;
        return PinOffersMajorType(p, type);
    };
    ComPtr<IPin> single;
    if (SUCCEEDED(source->QueryInterface(IID_IPin, reinterpret_cast<void**>(&single)))) {
        if (num != 0 || !fits(single.Get())) return E_FAIL;
        *pin = single.Detach();
        return S_OK;
    }
    ComPtr<IBaseFilter> filter;
    if (FAILED(source->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter))))
        return E_NOINTERFACE;
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(&pins);
    if (FAILED(hr)) return hr;
    ComPtr<IPin> p;
    int seen = 0;
    while (pins->Next(1, &p, nullptr) == S_OK) {
        if (!fits(p.Get())) continue;
        if (seen++ == num) {
            *pin = p.Detach();
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT CCaptureGraphBuilder::RenderStream(const GUID* category, const GUID* type, IUnknown* source,
                                           IBaseFilter* intermediate, IBaseFilter* sink) {
    if (!source) return E_POINTER;
    if (!m_graph) return E_UNEXPECTED;
    if (!intermediate && !sink) return E_INVALIDARG;
    ComPtr<IPin> from;
    HRESULT hr = FindPin(source, PINDIR_OUTPUT, category, type, TRUE_, 0, &from);
    if (FAILED(hr)) return hr;
    for (IBaseFilter* next : {intermediate, sink}) {
        if (!next) continue;
        ComPtr<IPin> to;
        hr = FindPin(next, PINDIR_INPUT, nullptr, nullptr, TRUE_, 0, &to);
        if (FAILED(hr)) return hr;
        hr = m_graph->Connect(from.Get(), to.Get());
        if (FAILED(hr)) return hr;
        if (next == sink) break;
        // Go on from the intermediate filter's output.
        hr = FindPin(next, PINDIR_OUTPUT, nullptr, nullptr, TRUE_, 0, &from);
        if (FAILED(hr)) return sink ? hr : S_OK;
    }
    return S_OK;
}
