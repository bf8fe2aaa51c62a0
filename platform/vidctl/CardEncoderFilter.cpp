#include "platform/vidctl/CardEncoderFilter.h"

namespace {
std::mutex g_encodeLock;
CardEncoderFilter::Encode& encodeHook() {
    static CardEncoderFilter::Encode encode;
    return encode;
}
}  // namespace

class CardEncoderFilter::InputPin : public CBaseInputPin {
public:
    InputPin(CardEncoderFilter* owner, std::recursive_mutex* lock)
        : CBaseInputPin(owner, lock, L"Analog In"), m_owner(owner) {}

    HRESULT CheckMediaType(const CMediaType* mt) override {
        return mt && mt->majortype == MEDIATYPE_AnalogVideo ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override {
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        mt->Clear();
        mt->majortype = MEDIATYPE_AnalogVideo;
        mt->formattype = FORMAT_None;
        return S_OK;
    }
    HRESULT CheckConnect(IPin* peer) override {
        HRESULT hr = CBaseInputPin::CheckConnect(peer);
        if (FAILED(hr)) return hr;
        PIN_INFO info{};
        if (FAILED(peer->QueryPinInfo(&info)) || !info.pFilter) return VFW_E_CANNOT_CONNECT;
        ComPtr<IBaseFilter> filter;
        filter.Attach(info.pFilter);
        ComPtr<IAirDeviceFilter> device;
        if (FAILED(filter.As(&device)) || !device->airTuner()) return VFW_E_CANNOT_CONNECT;
        // The encoder is wired to the tuner of its own card and no other.
        if (cardOf(device->airDevice().devicePath) != cardOf(m_owner->m_device.devicePath))
            return VFW_E_CANNOT_CONNECT;
        m_peerTuner = device->airTuner();
        return S_OK;
    }
    HRESULT CompleteConnect(IPin* peer) override {
        HRESULT hr = CBaseInputPin::CompleteConnect(peer);
        if (SUCCEEDED(hr)) m_owner->setTuner(m_peerTuner);
        return hr;
    }
    HRESULT BreakConnect() override {
        m_owner->setTuner(nullptr);
        m_peerTuner = nullptr;
        return CBaseInputPin::BreakConnect();
    }
    // The analog side carries no samples of its own.
    HRESULT Receive(IMediaSample* sample) override { return CBaseInputPin::Receive(sample); }

private:
    CardEncoderFilter* m_owner;
    std::shared_ptr<AirTuner> m_peerTuner;
};

void CardEncoderFilter::setEncode(Encode encode) {
    std::lock_guard<std::mutex> guard(g_encodeLock);
    encodeHook() = std::move(encode);
}

CardEncoderFilter::CardEncoderFilter(const AirDevice& device)
    : CBaseFilter(device.friendlyName.c_str(), CLSID_CardEncoderFilter), m_device(device) {
    m_input = std::make_unique<InputPin>(this, &m_filterLock);
    m_output = std::make_unique<AirStreamPin>(this, &m_filterLock, L"MPEG-2 Transport", [this]() {
        std::shared_ptr<AirTuner> tuner = airTuner();
        if (!tuner) return std::shared_ptr<AirStream>();
        Encode encode;
        {
            std::lock_guard<std::mutex> guard(g_encodeLock);
            encode = encodeHook();
        }
        return encode ? encode(tuner) : tuner->stream();
    });
}

CardEncoderFilter::~CardEncoderFilter() = default;

CBasePin* CardEncoderFilter::GetPin(int n) {
    if (n == 0) return m_input.get();
    if (n == 1) return m_output.get();
    return nullptr;
}

std::shared_ptr<AirTuner> CardEncoderFilter::airTuner() {
    std::lock_guard<std::mutex> guard(m_tunerLock);
    return m_tuner;
}

void CardEncoderFilter::setTuner(std::shared_ptr<AirTuner> tuner) {
    std::lock_guard<std::mutex> guard(m_tunerLock);
    m_tuner = std::move(tuner);
}

std::wstring CardEncoderFilter::cardOf(const std::wstring& devicePath) {
    size_t at = devicePath.rfind(L"#{");
    return at == std::wstring::npos ? devicePath : devicePath.substr(0, at);
}

HRESULT CardEncoderFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (riid == IID_IAirDeviceFilter) *ppv = static_cast<IAirDeviceFilter*>(this);
    return *ppv ? S_OK : E_NOINTERFACE;
}
