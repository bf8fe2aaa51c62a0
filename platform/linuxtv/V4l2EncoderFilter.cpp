#include "platform/linuxtv/V4l2EncoderFilter.h"

#include "base/Log.h"
#include "platform/bda/AirTunerFilter.h"
#include "platform/linuxtv/V4l2Capture.h"

namespace {
// The card part of a device path: without the trailing category ("#{...}").
std::wstring cardOf(const std::wstring& devicePath) {
    size_t at = devicePath.rfind(L"#{");
    return at == std::wstring::npos ? devicePath : devicePath.substr(0, at);
}
}  // namespace

class V4l2EncoderFilter::InputPin : public CBaseInputPin {
public:
    InputPin(V4l2EncoderFilter* owner, std::recursive_mutex* lock)
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
        ComPtr<IV4l2CardFilter> card;
        if (FAILED(filter.As(&card))) return VFW_E_CANNOT_CONNECT;
        // The encoder is wired to the tuner of its own card and no other.
        if (card->cardTuner() != m_owner->m_card->tuner ||
            cardOf(card->cardDevicePath()) != cardOf(m_owner->m_card->encoderPath))
            return VFW_E_CANNOT_CONNECT;
        return S_OK;
    }
    HRESULT CompleteConnect(IPin* peer) override {
        HRESULT hr = CBaseInputPin::CompleteConnect(peer);
        if (SUCCEEDED(hr)) m_owner->setConnected(true);
        return hr;
    }
    HRESULT BreakConnect() override {
        m_owner->setConnected(false);
        return CBaseInputPin::BreakConnect();
    }

private:
    V4l2EncoderFilter* m_owner;
};

AirEncoderSettings V4l2EncoderFilter::settingsFor(const V4l2Tuner& tuner) {
    AirEncoderSettings s;
    s.framesPerSecond = tuner.framesPerSecond();
    s.width = 720;
    s.height = s.framesPerSecond == 30 ? 480 : 576;
    s.gopFrames = s.framesPerSecond == 30 ? 15 : 12;
    return s;
}

V4l2EncoderFilter::V4l2EncoderFilter(std::shared_ptr<V4l2Card> card)
    : CBaseFilter((card->device.friendlyName + L" MPEG Encoder").c_str(), CLSID_V4l2EncoderFilter),
      m_card(std::move(card)) {
    m_input = std::make_unique<InputPin>(this, &m_filterLock);
    m_output = std::make_unique<AirStreamPin>(this, &m_filterLock, L"MPEG-2 Transport",
                                              [this]() { return encoding(); });
}

V4l2EncoderFilter::~V4l2EncoderFilter() {
    // The pins go first (a streaming thread may still ask for the encoder), then the encoder.
    m_output.reset();
    m_input.reset();
    std::lock_guard<std::mutex> guard(m_encoderLock);
    m_encoder.reset();
}

HRESULT V4l2EncoderFilter::Stop() {
    HRESULT hr = CBaseFilter::Stop();
    std::shared_ptr<AirEncoder> encoder;
    {
        std::lock_guard<std::mutex> guard(m_encoderLock);
        encoder = std::move(m_encoder);
        m_encoderStarted = false;
        m_encoderFailed = false;
    }
    if (encoder) encoder->stop();
    return hr;
}

std::shared_ptr<AirPacketSource> V4l2EncoderFilter::encoding() {
    std::shared_ptr<AirEncoder> encoder;
    {
        std::lock_guard<std::mutex> guard(m_encoderLock);
        if (!m_connected || m_encoderFailed) return nullptr;
        if (!m_encoder) {
            m_encoder = std::make_shared<AirEncoder>(std::make_shared<V4l2Capture>(m_card->tuner),
                                                     settingsFor(*m_card->tuner));
            m_encoderStarted = false;
        }
        encoder = m_encoder;
        if (m_encoderStarted) {
            if (encoder->running()) return encoder;
            // It ended by itself while the graph still runs (the device went away, already
            // logged): starting it again would only fail again, sample after sample.
            m_encoderFailed = true;
            return nullptr;
        }
        m_encoderStarted = true;
    }
    if (encoder->start()) return encoder;
    error(L"[Encoder] %s cannot encode: %S", m_card->device.friendlyName.c_str(),
          encoder->lastError().c_str());
    std::lock_guard<std::mutex> guard(m_encoderLock);
    m_encoderFailed = true;
    return nullptr;
}

std::shared_ptr<AirEncoder> V4l2EncoderFilter::encoder() {
    std::lock_guard<std::mutex> guard(m_encoderLock);
    return m_encoderStarted && m_encoder && m_encoder->running() ? m_encoder : nullptr;
}

CBasePin* V4l2EncoderFilter::GetPin(int n) {
    if (n == 0) return m_input.get();
    if (n == 1) return m_output.get();
    return nullptr;
}

void V4l2EncoderFilter::setConnected(bool connected) {
    std::shared_ptr<AirEncoder> old;
    {
        std::lock_guard<std::mutex> guard(m_encoderLock);
        m_connected = connected;
        if (!connected) old = std::move(m_encoder);
        m_encoderStarted = false;
        m_encoderFailed = false;
    }
    // Outside the lock: stopping waits for the encoding thread.
    if (old) old->stop();
}

HRESULT V4l2EncoderFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (riid == IID_IV4l2CardFilter) *ppv = static_cast<IV4l2CardFilter*>(this);
    return *ppv ? S_OK : E_NOINTERFACE;
}
