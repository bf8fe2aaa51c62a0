#include "platform/bda/AirTunerFilter.h"

namespace {

// One control node: reads the tuner's signal as it is at each call.
class SignalNode : public ComObject<IBDA_SignalStatistics> {
public:
    SignalNode(std::shared_ptr<AirTuner> tuner, ULONG type) : m_tuner(std::move(tuner)), m_type(type) {}

    HRESULT get_SignalStrength(LONG* strength) override {
        if (!strength) return E_POINTER;
        if (m_type != BDA_NODE_RF_TUNER) return E_NOTIMPL;
        *strength = m_tuner->signal().strength;
        return S_OK;
    }
    HRESULT get_SignalPresent(BOOLEAN* present) override {
        if (!present) return E_POINTER;
        if (m_type != BDA_NODE_RF_TUNER) return E_NOTIMPL;
        *present = m_tuner->signal().present ? 1 : 0;
        return S_OK;
    }
    HRESULT get_SignalQuality(LONG* quality) override {
        if (!quality) return E_POINTER;
        if (m_type != BDA_NODE_DEMODULATOR) return E_NOTIMPL;
        *quality = m_tuner->signal().quality;
        return S_OK;
    }
    HRESULT get_SignalLocked(BOOLEAN* locked) override {
        if (!locked) return E_POINTER;
        if (m_type != BDA_NODE_DEMODULATOR) return E_NOTIMPL;
        *locked = m_tuner->signal().locked ? 1 : 0;
        return S_OK;
    }

private:
    std::shared_ptr<AirTuner> m_tuner;
    ULONG m_type;
};

bool isAuxInput(ITuneRequest* request) {
    ComPtr<ITuningSpace> space;
    if (FAILED(request->get_TuningSpace(&space)) || !space) return false;
    ComPtr<IAuxInTuningSpace> aux;
    return SUCCEEDED(space.As(&aux));
}

}  // namespace

AirTunerFilter::AirTunerFilter(std::shared_ptr<AirTuner> tuner)
    : CBaseFilter(tuner->device().friendlyName.c_str(), CLSID_AirTunerFilter), m_tuner(std::move(tuner)) {
    std::shared_ptr<AirTuner> t = m_tuner;
    if (digital())
        m_output = std::make_unique<AirStreamPin>(this, &m_filterLock, L"MPEG-2 Transport",
                                                  [t]() { return t->stream(); });
    else
        m_output = std::make_unique<AirStreamPin>(this, &m_filterLock, L"Analog Video", nullptr,
                                                  MEDIATYPE_AnalogVideo);
}

AirTunerFilter::~AirTunerFilter() = default;

CBasePin* AirTunerFilter::GetPin(int n) {
    return n == 0 ? m_output.get() : nullptr;
}

HRESULT AirTunerFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (riid == IID_ITuner) {
        *ppv = static_cast<ITuner*>(this);
    } else if (riid == IID_IAirDeviceFilter) {
        *ppv = static_cast<IAirDeviceFilter*>(this);
    } else if (riid == IID_IBDA_Topology && digital()) {
        // Analog tuners have no BDA topology and so no signal statistics.
        *ppv = static_cast<IBDA_Topology*>(this);
    }
    return *ppv ? S_OK : E_NOINTERFACE;
}

HRESULT AirTunerFilter::GetNodeTypes(ULONG* count, ULONG maxTypes, ULONG types[]) {
    if (!count) return E_POINTER;
    static const ULONG kTypes[] = {BDA_NODE_RF_TUNER, BDA_NODE_DEMODULATOR};
    *count = 2;
    if (maxTypes > 0 && !types) return E_POINTER;
    for (ULONG i = 0; i < 2 && i < maxTypes; ++i) types[i] = kTypes[i];
    return S_OK;
}

HRESULT AirTunerFilter::GetControlNode(ULONG inputPinId, ULONG outputPinId, ULONG nodeType, IUnknown** node) {
    if (!node) return E_POINTER;
    *node = nullptr;
    // The topology joins the aerial input (pin type 0) to the transport output (pin type 1).
    if (inputPinId != 0 || outputPinId != 1) return E_INVALIDARG;
    if (nodeType != BDA_NODE_RF_TUNER && nodeType != BDA_NODE_DEMODULATOR) return E_INVALIDARG;
    *node = static_cast<IBDA_SignalStatistics*>(CreateComObject<SignalNode>(m_tuner, nodeType));
    return S_OK;
}

HRESULT AirTunerFilter::get_TuneRequest(ITuneRequest** request) {
    if (!request) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (!m_current) {
        *request = nullptr;
        return E_FAIL;  // never tuned
    }
    return m_current.CopyTo(request);
}

HRESULT AirTunerFilter::put_TuneRequest(ITuneRequest* request) {
    return apply(request, true);
}

HRESULT AirTunerFilter::Validate(ITuneRequest* request) {
    return apply(request, false);
}

HRESULT AirTunerFilter::apply(ITuneRequest* request, bool tune) {
    if (!request) return E_POINTER;
    ComPtr<ILocator> locator;
    request->get_Locator(&locator);
    HRESULT hr = E_INVALIDARG;
    const std::string& receives = m_tuner->device().receives;
    ComPtr<IDVBTuneRequest> dvb;
    ComPtr<IATSCChannelTuneRequest> atsc;
    ComPtr<IChannelTuneRequest> channel;
    if (receives == "dvbt" && SUCCEEDED(ComPtr<ITuneRequest>(request).As(&dvb))) {
        ComPtr<IDVBTLocator> dvbt;
        LONG frequency = -1, bandwidth = -1;
        if (!locator || FAILED(locator.As(&dvbt))) return E_INVALIDARG;
        dvbt->get_CarrierFrequency(&frequency);
        dvbt->get_Bandwidth(&bandwidth);
        if (frequency <= 0) return E_INVALIDARG;
        if (bandwidth == -1) bandwidth = 8;
        hr = tune ? m_tuner->tuneDvbt(frequency, bandwidth) : S_OK;
    } else if (receives == "atsc" && SUCCEEDED(ComPtr<ITuneRequest>(request).As(&atsc))) {
        ComPtr<IATSCLocator> atscLocator;
        LONG physical = -1;
        if (!locator || FAILED(locator.As(&atscLocator))) return E_INVALIDARG;
        atscLocator->get_PhysicalChannel(&physical);
        if (physical <= 0) return E_INVALIDARG;
        hr = tune ? m_tuner->tuneAtsc(physical) : S_OK;
    } else if (receives == "analog" && SUCCEEDED(ComPtr<ITuneRequest>(request).As(&channel))) {
        LONG number = -1;
        channel->get_Channel(&number);
        if (number < 0) return E_INVALIDARG;
        hr = !tune                 ? S_OK
             : isAuxInput(request) ? m_tuner->selectAuxInput(number)
                                   : m_tuner->tuneAnalog(number);
    }
    if (tune && SUCCEEDED(hr)) {
        std::lock_guard<std::recursive_mutex> guard(m_filterLock);
        ComPtr<ITuneRequest> copy;
        m_current = SUCCEEDED(request->Clone(&copy)) ? copy : ComPtr<ITuneRequest>(request);
    }
    return hr;
}
