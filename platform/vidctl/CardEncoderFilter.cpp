#include "platform/vidctl/CardEncoderFilter.h"

#include "base/Log.h"

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

AirEncoderSettings CardEncoderFilter::cardSettings() {
    AirEncoderSettings s;
    s.width = 720;
    s.height = 576;
    s.framesPerSecond = 25;
    return s;
}

CardEncoderFilter::CardEncoderFilter(const AirDevice& device, AirEncoderSettings settings)
    : CBaseFilter(device.friendlyName.c_str(), CLSID_CardEncoderFilter),
      m_device(device),
      m_settings(settings) {
    m_input = std::make_unique<InputPin>(this, &m_filterLock);
    m_output = std::make_unique<AirStreamPin>(this, &m_filterLock, L"MPEG-2 Transport",
                                              [this]() { return encoding(); });
}

CardEncoderFilter::~CardEncoderFilter() {
    // The pins go first (a streaming thread may still ask for the encoder), then the encoder.
    m_output.reset();
    m_input.reset();
    std::lock_guard<std::mutex> guard(m_tunerLock);
    m_encoder.reset();
}

HRESULT CardEncoderFilter::Stop() {
    HRESULT hr = CBaseFilter::Stop();
    std::shared_ptr<AirEncoder> encoder;
    {
        std::lock_guard<std::mutex> guard(m_tunerLock);
        encoder = m_encoder;
        m_encoderStarted = false;
        m_encoderFailed = false;
    }
    if (encoder) encoder->stop();
    return hr;
}

std::shared_ptr<AirPacketSource> CardEncoderFilter::encoding() {
    std::shared_ptr<AirEncoder> encoder;
    {
        std::lock_guard<std::mutex> guard(m_tunerLock);
        if (!m_tuner || m_encoderFailed) return nullptr;
        if (!m_encoder || m_encoder->tuner() != m_tuner) {
            m_encoder = std::make_shared<AirEncoder>(m_tuner, m_settings);
            m_encoderStarted = false;
        }
        encoder = m_encoder;
        if (m_encoderStarted) {
            if (encoder->running()) return encoder;
            // It ended by itself while the graph still runs: an encoding failure, already
            // logged. Starting it again would only fail again, frame after frame.
            m_encoderFailed = true;
            return nullptr;
        }
        m_encoderStarted = true;
    }
    if (encoder->start()) return encoder;
    error(L"[Encoder] %s cannot encode: %S", m_device.friendlyName.c_str(), encoder->lastError().c_str());
    std::lock_guard<std::mutex> guard(m_tunerLock);
    m_encoderFailed = true;
    return nullptr;
}

std::shared_ptr<AirEncoder> CardEncoderFilter::encoder() {
    std::lock_guard<std::mutex> guard(m_tunerLock);
    return m_encoderStarted && m_encoder && m_encoder->running() ? m_encoder : nullptr;
}

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
    std::shared_ptr<AirEncoder> old;
    {
        std::lock_guard<std::mutex> guard(m_tunerLock);
        m_tuner = std::move(tuner);
        if (m_encoder && m_encoder->tuner() != m_tuner) old = std::move(m_encoder);
        m_encoderStarted = false;
        m_encoderFailed = false;
    }
    // Outside the lock: stopping waits for the encoding thread.
    if (old) old->stop();
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
