#include "platform/vidctl/CardCrossbarFilter.h"

#include "platform/vidctl/CardEncoderFilter.h"

class CardCrossbarFilter::InputPin : public CBaseInputPin {
public:
    InputPin(CardCrossbarFilter* owner, std::recursive_mutex* lock, const std::wstring& name)
        : CBaseInputPin(owner, lock, name.c_str()) {}
    HRESULT CheckMediaType(const CMediaType* mt) override {
        return mt && mt->majortype == MEDIATYPE_AnalogVideo ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
};

CardCrossbarFilter::CardCrossbarFilter(std::shared_ptr<AirBroadcast> broadcast, const AirDevice& device)
    : CBaseFilter(device.friendlyName.c_str(), CLSID_CardCrossbarFilter),
      m_broadcast(std::move(broadcast)),
      m_device(device) {
    for (const std::string& input : m_device.inputs)
        m_inputs.push_back(
            std::make_unique<InputPin>(this, &m_filterLock, std::wstring(input.begin(), input.end())));
    m_output = std::make_unique<AirStreamPin>(this, &m_filterLock, L"Video Decoder Out", nullptr,
                                              MEDIATYPE_AnalogVideo);
}

CardCrossbarFilter::~CardCrossbarFilter() = default;

int CardCrossbarFilter::GetPinCount() {
    return static_cast<int>(m_inputs.size()) + 1;
}

CBasePin* CardCrossbarFilter::GetPin(int n) {
    if (n >= 0 && n < static_cast<int>(m_inputs.size())) return m_inputs[static_cast<size_t>(n)].get();
    if (n == static_cast<int>(m_inputs.size())) return m_output.get();
    return nullptr;
}

HRESULT CardCrossbarFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = riid == IID_IAMCrossbar ? static_cast<IAMCrossbar*>(this) : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
}

LONG CardCrossbarFilter::physicalType(LONG input) const {
    const std::string& kind = m_device.inputs[static_cast<size_t>(input)];
    if (kind == "tuner") return PhysConn_Video_Tuner;
    if (kind == "svideo") return PhysConn_Video_SVideo;
    return PhysConn_Video_Composite;
}

std::shared_ptr<AirTuner> CardCrossbarFilter::cardTuner() const {
    std::wstring card = CardEncoderFilter::cardOf(m_device.devicePath);
    for (const AirDevice& d : m_broadcast->catalogue().devices())
        if (d.category == AirDeviceCategory::TvTuner && CardEncoderFilter::cardOf(d.devicePath) == card)
            return m_broadcast->tuner(d.devicePath);
    return nullptr;
}

HRESULT CardCrossbarFilter::get_PinCounts(LONG* outputCount, LONG* inputCount) {
    if (!outputCount || !inputCount) return E_POINTER;
    *outputCount = 1;
    *inputCount = static_cast<LONG>(m_inputs.size());
    return S_OK;
}

HRESULT CardCrossbarFilter::CanRoute(LONG output, LONG input) {
    return output == 0 && input >= 0 && input < static_cast<LONG>(m_inputs.size()) ? S_OK : S_FALSE;
}

HRESULT CardCrossbarFilter::Route(LONG output, LONG input) {
    if (CanRoute(output, input) != S_OK) return E_INVALIDARG;
    if (physicalType(input) != PhysConn_Video_Tuner) {
        // The auxiliary inputs count from 0 in the order the card has them, the tuner left out.
        int aux = 0;
        for (LONG i = 0; i < input; ++i)
            if (physicalType(i) != PhysConn_Video_Tuner) ++aux;
        std::shared_ptr<AirTuner> tuner = cardTuner();
        if (!tuner) return E_FAIL;
        HRESULT hr = tuner->selectAuxInput(aux);
        if (FAILED(hr)) return hr;
    }
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    m_routedTo = input;
    return S_OK;
}

HRESULT CardCrossbarFilter::get_IsRoutedTo(LONG output, LONG* input) {
    if (!input) return E_POINTER;
    if (output != 0) return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    *input = m_routedTo;
    return S_OK;
}

HRESULT CardCrossbarFilter::get_CrossbarPinInfo(BOOL isInput, LONG index, LONG* relatedIndex, LONG* type) {
    if (!relatedIndex || !type) return E_POINTER;
    if (isInput) {
        if (index < 0 || index >= static_cast<LONG>(m_inputs.size())) return E_INVALIDARG;
        *relatedIndex = 0;
        *type = physicalType(index);
        return S_OK;
    }
    if (index != 0) return E_INVALIDARG;
    *relatedIndex = m_routedTo;
    *type = PhysConn_Video_Tuner;
    return S_OK;
}
