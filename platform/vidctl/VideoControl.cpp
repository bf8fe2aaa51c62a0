#include "platform/vidctl/VideoControl.h"

#include "base/Log.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/BaseFilter.h"
#include "platform/mpeg2data/AirSectionsFilter.h"
#include "platform/mpeg2data/TransportInformationFilter.h"

namespace {

std::wstring deviceName(IUnknown* device) {
    ComPtr<IMSVidDevice> d;
    CComBSTR name;
    if (device && SUCCEEDED(device->QueryInterface(IID_IMSVidDevice, reinterpret_cast<void**>(&d))))
        d->get_Name(&name);
    return name.str();
}

// The first unconnected pin of the direction.
ComPtr<IPin> freePin(IBaseFilter* filter, PIN_DIRECTION dir) {
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(&pins))) return nullptr;
    ComPtr<IPin> pin;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION d;
        ComPtr<IPin> peer;
        if (SUCCEEDED(pin->QueryDirection(&d)) && d == dir && pin->ConnectedTo(&peer) == VFW_E_NOT_CONNECTED)
            return pin;
    }
    return nullptr;
}

// Collections handed in may be any implementation of the interface: copy item by item.
template <class Collection, class Interface, class Item>
HRESULT copyItems(Interface* from, ComPtr<Collection>& to) {
    ComPtr<Collection> copy;
    copy.Attach(CreateComObject<Collection>());
    if (from) {
        LONG count = 0;
        HRESULT hr = from->get_Count(&count);
        if (FAILED(hr)) return hr;
        for (LONG i = 0; i < count; ++i) {
            CComVariant index(i);
            ComPtr<Item> item;
            hr = from->get_Item(index, &item);
            if (FAILED(hr)) return hr;
            copy->Add(item.Get());
        }
    }
    to = copy;
    return S_OK;
}

}  // namespace

const std::vector<CLSID>& VideoControl::outputClasses() {
    static const std::vector<CLSID> classes = {CLSID_MSVidStreamBufferSink};
    return classes;
}

VideoControl::VideoControl() {
    m_features.Attach(CreateComObject<VidFeatures>());
    m_outputs.Attach(CreateComObject<VidOutputDevices>());
}

VideoControl::~VideoControl() {
    takeApart();
    if (m_graph && m_inputFilter) m_graph->RemoveFilter(m_inputFilter.Get());
}

HRESULT VideoControl::get_State(MSVidCtlStateList* state) {
    if (!state) return E_POINTER;
    *state = m_state;
    return S_OK;
}

HRESULT VideoControl::get_Enabled(VARIANT_BOOL* enabled) {
    if (!enabled) return E_POINTER;
    *enabled = m_enabled;
    return S_OK;
}

HRESULT VideoControl::put_Enabled(VARIANT_BOOL enabled) {
    m_enabled = enabled ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// Nothing here renders picture or sound; these only record the wish.
HRESULT VideoControl::DisableAudio() {
    m_audio = false;
    return S_OK;
}

HRESULT VideoControl::DisableVideo() {
    m_video = false;
    return S_OK;
}

HRESULT VideoControl::_InputsAvailable(const GUID* category, IMSVidInputDevices** inputs) {
    if (!category || !inputs) return E_POINTER;
    *inputs = nullptr;
    bool analog = *category == KSCATEGORY_TVTUNER;
    if (!analog && *category != KSCATEGORY_BDA_NETWORK_TUNER) return E_INVALIDARG;
    std::vector<VidDeviceInfo> devices;
    HRESULT hr = ListDevices(*category, &devices);
    if (FAILED(hr)) return hr;
    ComPtr<VidInputDevices> list;
    list.Attach(CreateComObject<VidInputDevices>());
    for (VidDeviceInfo& d : devices) {
        ComPtr<VidTunerDevice> device;
        device.Attach(CreateComObject<VidTunerDevice>(std::move(d), analog));
        list->Add(device.Get());
    }
    *inputs = list.Detach();
    return S_OK;
}

HRESULT VideoControl::_OutputsAvailable(const GUID*, IMSVidOutputDevices** outputs) {
    if (!outputs) return E_POINTER;
    ComPtr<VidOutputDevices> list;
    list.Attach(CreateComObject<VidOutputDevices>());
    for (const CLSID& clsid : outputClasses()) {
        if (!ClassRegistry::instance().isRegistered(clsid)) continue;
        ComPtr<IMSVidOutputDevice> device;
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidOutputDevice,
                                      reinterpret_cast<void**>(&device));
        if (SUCCEEDED(hr))
            list->Add(device.Get());
        else
            warn(L"[VideoControl] output %s cannot be created: %X", GuidToString(clsid).c_str(), hr);
    }
    *outputs = list.Detach();
    return S_OK;
}

HRESULT VideoControl::get_FeaturesAvailable(IMSVidFeatures** features) {
    if (!features) return E_POINTER;
    *features = nullptr;
    ComPtr<VidFeatures> list;
    list.Attach(CreateComObject<VidFeatures>());
    // A card's encoder registers as an encoder, a multiplexer, or both.
    for (const GUID& category : {KSCATEGORY_ENCODER, KSCATEGORY_MULTIPLEXER}) {
        std::vector<VidDeviceInfo> devices;
        HRESULT hr = ListDevices(category, &devices);
        if (FAILED(hr)) return hr;
        for (VidDeviceInfo& d : devices) {
            ComPtr<VidEncoderFeature> feature;
            feature.Attach(CreateComObject<VidEncoderFeature>(std::move(d)));
            list->Add(feature.Get());
        }
    }
    *features = list.Detach();
    return S_OK;
}

HRESULT VideoControl::get_InputActive(IMSVidInputDevice** input) {
    if (!input) return E_POINTER;
    return m_input.CopyTo(input);
}

HRESULT VideoControl::put_InputActive(IMSVidInputDevice* input) {
    if (!input) return E_POINTER;
    if (m_input && IsSameObject(m_input.Get(), input)) return S_OK;
    HRESULT hr = ensureGraph();
    if (FAILED(hr)) return hr;
    takeApart();
    // The old input leaves first, so that the new one gets the device's own name in the graph
    // (a second tuner filter of the same device would otherwise be renamed).
    if (m_inputFilter) m_graph->RemoveFilter(m_inputFilter.Get());
    ComPtr<IBaseFilter> filter;
    hr = addSegment(input, filter);
    if (FAILED(hr)) {
        if (m_inputFilter) m_graph->AddFilter(m_inputFilter.Get(), deviceName(m_input.Get()).c_str());
        return hr;
    }
    m_input = input;
    m_inputFilter = filter;
    return S_OK;
}

HRESULT VideoControl::get_OutputsActive(IMSVidOutputDevices** outputs) {
    if (!outputs) return E_POINTER;
    *outputs = m_outputs.Get();
    (*outputs)->AddRef();
    return S_OK;
}

HRESULT VideoControl::put_OutputsActive(IMSVidOutputDevices* outputs) {
    ComPtr<VidOutputDevices> copy;
    HRESULT hr = copyItems<VidOutputDevices, IMSVidOutputDevices, IMSVidOutputDevice>(outputs, copy);
    if (FAILED(hr)) return hr;
    takeApart();
    m_outputs = copy;
    return S_OK;
}

HRESULT VideoControl::get_FeaturesActive(IMSVidFeatures** features) {
    if (!features) return E_POINTER;
    *features = m_features.Get();
    (*features)->AddRef();
    return S_OK;
}

HRESULT VideoControl::put_FeaturesActive(IMSVidFeatures* features) {
    ComPtr<VidFeatures> copy;
    HRESULT hr = copyItems<VidFeatures, IMSVidFeatures, IMSVidFeature>(features, copy);
    if (FAILED(hr)) return hr;
    takeApart();
    m_features = copy;
    return S_OK;
}

HRESULT VideoControl::View(VARIANT* v) {
    if (!m_input) return E_UNEXPECTED;
    return m_input->View(v);
}

HRESULT VideoControl::ensureGraph() {
    if (m_graph) return S_OK;
    return CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                            reinterpret_cast<void**>(&m_graph));
}

// Adds the device's filter to the graph under the device's name.
HRESULT VideoControl::addSegment(IUnknown* device, ComPtr<IBaseFilter>& filter) {
    ComPtr<IMSVidGraphSegment> segment;
    HRESULT hr = device->QueryInterface(IID_IMSVidGraphSegment, reinterpret_cast<void**>(&segment));
    if (FAILED(hr)) return hr;
    hr = segment->get_Filter(filter.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    if (!filter) return E_UNEXPECTED;
    std::wstring name = deviceName(device);
    return m_graph->AddFilter(filter.Get(), name.c_str());
}

HRESULT VideoControl::Build() {
    if (m_state != STATE_UNBUILT) return S_OK;
    if (!m_input || !m_inputFilter) return E_UNEXPECTED;
    ComPtr<IPin> upstream = freePin(m_inputFilter.Get(), PINDIR_OUTPUT);
    HRESULT hr = S_OK;
    auto fail = [this](HRESULT status) {
        takeApart();
        return status;
    };
    for (const auto& feature : m_features->items()) {
        ComPtr<IBaseFilter> filter;
        hr = addSegment(feature.Get(), filter);
        if (FAILED(hr)) return fail(hr);
        m_built.push_back(filter);
        ComPtr<IPin> in = freePin(filter.Get(), PINDIR_INPUT);
        if (!upstream || !in) return fail(VFW_E_CANNOT_CONNECT);
        hr = m_graph->ConnectDirect(upstream.Get(), in.Get(), nullptr);
        if (FAILED(hr)) return fail(hr);
        upstream = freePin(filter.Get(), PINDIR_OUTPUT);
    }
    for (const auto& output : m_outputs->items()) {
        ComPtr<IBaseFilter> filter;
        hr = addSegment(output.Get(), filter);
        if (FAILED(hr)) return fail(hr);
        m_built.push_back(filter);
        ComPtr<IPin> in = freePin(filter.Get(), PINDIR_INPUT);
        if (!upstream || !in) return fail(VFW_E_CANNOT_CONNECT);
        hr = m_graph->ConnectDirect(upstream.Get(), in.Get(), nullptr);
        if (FAILED(hr)) return fail(hr);
        // One stream, one output: a second output finds nothing left to connect to.
        upstream = nullptr;
    }
    // A digital input's graph carries the section source and the transport information filter,
    // which read the tuner's multiplex themselves. Without them only guide data is missing.
    ComPtr<IMSVidAnalogTuner> analog;
    if (FAILED(m_input->QueryInterface(IID_IMSVidAnalogTuner, reinterpret_cast<void**>(&analog)))) {
        ComPtr<IBaseFilter> sections, information;
        sections.Attach(CreateComObject<AirSectionsFilter>());
        information.Attach(CreateComObject<TransportInformationFilter>());
        const std::pair<IBaseFilter*, const wchar_t*> guideData[] = {
            {sections.Get(), AirSectionsFilter::kName},
            {information.Get(), TransportInformationFilter::kName}};
        for (const auto& [filter, name] : guideData) {
            hr = m_graph->AddFilter(filter, name);
            if (FAILED(hr)) {
                warn(L"[VideoControl] %s cannot join the graph: %X", name, hr);
                continue;
            }
            m_built.emplace_back(filter);
        }
    }
    m_state = STATE_STOP;
    return S_OK;
}

HRESULT VideoControl::Run() {
    if (m_state == STATE_PLAY) return S_OK;
    HRESULT hr = Build();
    if (FAILED(hr)) return hr;
    ComPtr<IMediaControl> control;
    hr = m_graph.As(&control);
    if (FAILED(hr)) return hr;
    hr = control->Run();
    if (FAILED(hr)) return hr;
    m_state = STATE_PLAY;
    return S_OK;
}

HRESULT VideoControl::Stop() {
    if (m_state == STATE_UNBUILT || m_state == STATE_STOP) return S_OK;
    ComPtr<IMediaControl> control;
    HRESULT hr = m_graph.As(&control);
    if (SUCCEEDED(hr)) hr = control->Stop();
    m_state = STATE_STOP;
    return hr;
}

HRESULT VideoControl::Decompose() {
    return takeApart();
}

HRESULT VideoControl::takeApart() {
    HRESULT hr = Stop();
    if (m_graph) {
        for (auto& filter : m_built) m_graph->RemoveFilter(filter.Get());
        // The input stays in the graph, but unconnected.
        if (m_inputFilter) {
            ComPtr<IEnumPins> pins;
            ComPtr<IPin> pin;
            if (SUCCEEDED(m_inputFilter->EnumPins(&pins)))
                while (pins->Next(1, &pin, nullptr) == S_OK) m_graph->Disconnect(pin.Get());
        }
    }
    m_built.clear();
    m_state = STATE_UNBUILT;
    return hr;
}

HRESULT VideoControl::get_Graph(IGraphBuilder** graph) {
    if (!graph) return E_POINTER;
    *graph = nullptr;
    HRESULT hr = ensureGraph();
    return FAILED(hr) ? hr : m_graph.CopyTo(graph);
}
