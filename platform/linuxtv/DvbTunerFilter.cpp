#include "platform/linuxtv/DvbTunerFilter.h"

#include "platform/linuxtv/DvbTuneParameters.h"

namespace {

// One control node: reads the front end as it is at each call.
class SignalNode : public ComObject<IBDA_SignalStatistics> {
public:
    SignalNode(std::shared_ptr<DvbTuner> tuner, ULONG type) : m_tuner(std::move(tuner)), m_type(type) {}

    HRESULT get_SignalStrength(LONG* strength) override {
        if (!strength) return E_POINTER;
        if (m_type != BDA_NODE_RF_TUNER) return E_NOTIMPL;
        return figure(m_tuner->signal().strength, strength);
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
        return figure(m_tuner->signal().quality, quality);
    }
    HRESULT get_SignalLocked(BOOLEAN* locked) override {
        if (!locked) return E_POINTER;
        if (m_type != BDA_NODE_DEMODULATOR) return E_NOTIMPL;
        *locked = m_tuner->signal().locked ? 1 : 0;
        return S_OK;
    }

private:
    static HRESULT figure(const std::optional<int>& value, LONG* out) {
        *out = value ? *value : 0;
        return value ? S_OK : S_FALSE;
    }

    std::shared_ptr<DvbTuner> m_tuner;
    ULONG m_type;
};

}  // namespace

DvbTunerFilter::DvbTunerFilter(std::shared_ptr<DvbTuner> tuner)
    : CBaseFilter(tuner->device().friendlyName.c_str(), CLSID_DvbTunerFilter), m_tuner(std::move(tuner)) {
    std::shared_ptr<DvbTuner> t = m_tuner;
    m_output = std::make_unique<DvbStreamPin>(this, &m_filterLock, [t]() { return t->stream(); });
}

DvbTunerFilter::~DvbTunerFilter() = default;

CBasePin* DvbTunerFilter::GetPin(int n) {
    return n == 0 ? m_output.get() : nullptr;
}

HRESULT DvbTunerFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = nullptr;
    if (riid == IID_ITuner)
        *ppv = static_cast<ITuner*>(this);
    else if (riid == IID_IBDA_Topology)
        *ppv = static_cast<IBDA_Topology*>(this);
    else if (riid == IID_ITunedMultiplexFilter)
        *ppv = static_cast<ITunedMultiplexFilter*>(this);
    return *ppv ? S_OK : E_NOINTERFACE;
}

MultiplexSource DvbTunerFilter::tunedMultiplex() {
    std::shared_ptr<DvbTuner> tuner = m_tuner;
    return [tuner]() -> std::shared_ptr<MultiplexStream> { return tuner->stream(); };
}

HRESULT DvbTunerFilter::GetNodeTypes(ULONG* count, ULONG maxTypes, ULONG types[]) {
    if (!count) return E_POINTER;
    static const ULONG kTypes[] = {BDA_NODE_RF_TUNER, BDA_NODE_DEMODULATOR};
    *count = 2;
    if (maxTypes > 0 && !types) return E_POINTER;
    for (ULONG i = 0; i < 2 && i < maxTypes; ++i) types[i] = kTypes[i];
    return S_OK;
}

HRESULT DvbTunerFilter::GetControlNode(ULONG inputPinId, ULONG outputPinId, ULONG nodeType, IUnknown** node) {
    if (!node) return E_POINTER;
    *node = nullptr;
    if (inputPinId != 0 || outputPinId != 1) return E_INVALIDARG;
    if (nodeType != BDA_NODE_RF_TUNER && nodeType != BDA_NODE_DEMODULATOR) return E_INVALIDARG;
    *node = static_cast<IBDA_SignalStatistics*>(CreateComObject<SignalNode>(m_tuner, nodeType));
    return S_OK;
}

HRESULT DvbTunerFilter::get_TuneRequest(ITuneRequest** request) {
    if (!request) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (!m_current) {
        *request = nullptr;
        return E_FAIL;  // never tuned
    }
    return m_current.CopyTo(request);
}

HRESULT DvbTunerFilter::put_TuneRequest(ITuneRequest* request) {
    return apply(request, true);
}

HRESULT DvbTunerFilter::Validate(ITuneRequest* request) {
    return apply(request, false);
}

HRESULT DvbTunerFilter::apply(ITuneRequest* request, bool tune) {
    if (!request) return E_POINTER;
    ComPtr<ILocator> locator;
    request->get_Locator(&locator);
    HRESULT hr = E_INVALIDARG;
    ComPtr<IDVBTuneRequest> dvb;
    ComPtr<IATSCChannelTuneRequest> atsc;
    if (SUCCEEDED(ComPtr<ITuneRequest>(request).As(&dvb))) {
        ComPtr<IDVBTLocator> dvbt;
        LONG frequency = -1, bandwidth = -1;
        if (!locator || FAILED(locator.As(&dvbt))) return E_INVALIDARG;
        if (DvbtSystemFor(m_tuner->device().systems) == SYS_UNDEFINED) return E_INVALIDARG;
        dvbt->get_CarrierFrequency(&frequency);
        dvbt->get_Bandwidth(&bandwidth);
        if (frequency <= 0) return E_INVALIDARG;
        // -1 is "not given"; 0 is what a scan lists for a multiplex whose tables do not say (no
        // terrestrial delivery descriptor). The tuner decides what that means for its front end.
        if (bandwidth == -1) bandwidth = 0;
        hr = tune ? m_tuner->tuneDvbt(frequency, bandwidth) : S_OK;
    } else if (SUCCEEDED(ComPtr<ITuneRequest>(request).As(&atsc))) {
        ComPtr<IATSCLocator> atscLocator;
        LONG physical = -1;
        if (!locator || FAILED(locator.As(&atscLocator))) return E_INVALIDARG;
        if (!m_tuner->receives(SYS_ATSC)) return E_INVALIDARG;
        atscLocator->get_PhysicalChannel(&physical);
        if (physical <= 0) return E_INVALIDARG;
        hr = tune ? m_tuner->tuneAtsc(physical) : S_OK;
    }
    if (tune && SUCCEEDED(hr)) {
        std::lock_guard<std::recursive_mutex> guard(m_filterLock);
        ComPtr<ITuneRequest> copy;
        m_current = SUCCEEDED(request->Clone(&copy)) ? copy : ComPtr<ITuneRequest>(request);
    }
    return hr;
}
