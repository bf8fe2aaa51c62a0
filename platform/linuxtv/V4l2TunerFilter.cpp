#include "platform/linuxtv/V4l2TunerFilter.h"

#include "base/Log.h"
#include "platform/bda/AirTunerFilter.h"

namespace {

std::wstring widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// What an analog request asks for: a channel by country and input, or an auxiliary input.
struct AnalogAsk {
    bool aux = false;
    long channel = -1;
    long country = 1;
    bool cable = true;
};

HRESULT readRequest(ITuneRequest* request, AnalogAsk& ask) {
    ComPtr<IChannelTuneRequest> channel;
    if (FAILED(ComPtr<ITuneRequest>(request).As(&channel))) return E_INVALIDARG;
    LONG number = -1;
    channel->get_Channel(&number);
    if (number < 0) return E_INVALIDARG;
    ask.channel = number;
    ComPtr<ITuningSpace> space;
    if (FAILED(request->get_TuningSpace(&space)) || !space) return S_OK;
    ComPtr<IAuxInTuningSpace> aux;
    if (SUCCEEDED(space.As(&aux))) {
        ask.aux = true;
        return S_OK;
    }
    ComPtr<IAnalogTVTuningSpace> analog;
    if (FAILED(space.As(&analog))) return E_INVALIDARG;  // a digital tuning space
    LONG country = 1;
    TunerInputType input = TunerInputCable;
    if (SUCCEEDED(analog->get_CountryCode(&country)) && country > 0) ask.country = country;
    if (SUCCEEDED(analog->get_InputType(&input))) ask.cable = input == TunerInputCable;
    return S_OK;
}

}  // namespace

V4l2TunerFilter::V4l2TunerFilter(std::shared_ptr<V4l2Card> card)
    : CBaseFilter(card->device.friendlyName.c_str(), CLSID_V4l2TunerFilter), m_card(std::move(card)) {
    // The analog side carries no samples: the card's encoder captures the pictures itself.
    m_output = std::make_unique<AirStreamPin>(
        this, &m_filterLock, L"Analog Video", []() { return std::shared_ptr<AirPacketSource>(); },
        MEDIATYPE_AnalogVideo);
}

V4l2TunerFilter::~V4l2TunerFilter() = default;

CBasePin* V4l2TunerFilter::GetPin(int n) {
    return n == 0 ? m_output.get() : nullptr;
}

HRESULT V4l2TunerFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (riid == IID_ITuner)
        *ppv = static_cast<ITuner*>(this);
    else if (riid == IID_IBDA_SignalStatistics)
        *ppv = static_cast<IBDA_SignalStatistics*>(this);
    else if (riid == IID_IV4l2CardFilter)
        *ppv = static_cast<IV4l2CardFilter*>(this);
    return *ppv ? S_OK : E_NOINTERFACE;
}

HRESULT V4l2TunerFilter::get_TuneRequest(ITuneRequest** request) {
    if (!request) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (!m_current) {
        *request = nullptr;
        return E_FAIL;  // never tuned
    }
    return m_current.CopyTo(request);
}

HRESULT V4l2TunerFilter::put_TuneRequest(ITuneRequest* request) {
    return apply(request, true);
}

HRESULT V4l2TunerFilter::Validate(ITuneRequest* request) {
    return apply(request, false);
}

HRESULT V4l2TunerFilter::apply(ITuneRequest* request, bool tune) {
    if (!request) return E_POINTER;
    AnalogAsk ask;
    HRESULT hr = readRequest(request, ask);
    if (FAILED(hr) || !tune) return hr;
    V4l2Tuner& tuner = *m_card->tuner;
    std::string why;
    if (!tuner.open(m_card->device, why)) {
        warn(L"[V4L2] %s cannot tune: %S", m_card->device.friendlyName.c_str(), why.c_str());
        return E_FAIL;
    }
    // A channel the plan or the tuner does not have is the request's fault; a failure after
    // that is the device's.
    bool takes = ask.aux ? ask.channel < tuner.auxInputCount()
                         : tuner.hasChannel(ask.country, ask.cable, ask.channel, why);
    if (!takes) {
        if (ask.aux) why = "no auxiliary input " + std::to_string(ask.channel);
        info(L"[V4L2] %s does not take it: %s", m_card->device.friendlyName.c_str(), widen(why).c_str());
        return E_INVALIDARG;
    }
    bool ok = ask.aux ? tuner.selectAuxInput(int(ask.channel), why)
                      : tuner.tuneChannel(ask.country, ask.cable, ask.channel, why);
    if (!ok) {
        warn(L"[V4L2] %s: %s", m_card->device.friendlyName.c_str(), widen(why).c_str());
        return E_FAIL;
    }
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    ComPtr<ITuneRequest> copy;
    m_current = SUCCEEDED(request->Clone(&copy)) ? copy : ComPtr<ITuneRequest>(request);
    return S_OK;
}

HRESULT V4l2TunerFilter::get_SignalStrength(LONG* strength) {
    if (!strength) return E_POINTER;
    int percent = m_card->tuner->signalPercent();
    *strength = percent < 0 ? 0 : percent;
    return S_OK;
}

// An analog tuner knows only how strong the carrier is; quality and lock follow from it.
HRESULT V4l2TunerFilter::get_SignalQuality(LONG* quality) {
    return get_SignalStrength(quality);
}

HRESULT V4l2TunerFilter::get_SignalPresent(BOOLEAN* present) {
    if (!present) return E_POINTER;
    *present = m_card->tuner->signalPercent() > 0 ? 1 : 0;
    return S_OK;
}

HRESULT V4l2TunerFilter::get_SignalLocked(BOOLEAN* locked) {
    return get_SignalPresent(locked);
}
