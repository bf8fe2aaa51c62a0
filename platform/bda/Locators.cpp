#include "platform/bda/Locators.h"

namespace {
HRESULT get(LONG value, LONG* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}
// -1 is "not given"; other negative values are no frequency, channel or bandwidth.
HRESULT put(LONG value, LONG* field) {
    if (value < -1) return E_INVALIDARG;
    *field = value;
    return S_OK;
}
}  // namespace

HRESULT DVBTLocator::get_CarrierFrequency(LONG* frequency) {
    return get(m_frequency, frequency);
}
HRESULT DVBTLocator::put_CarrierFrequency(LONG frequency) {
    return put(frequency, &m_frequency);
}
HRESULT DVBTLocator::get_Bandwidth(LONG* mhz) {
    return get(m_bandwidth, mhz);
}
HRESULT DVBTLocator::put_Bandwidth(LONG mhz) {
    return put(mhz, &m_bandwidth);
}
HRESULT DVBTLocator::Clone(ILocator** out) {
    if (!out) return E_POINTER;
    DVBTLocator* copy = CreateComObject<DVBTLocator>();
    copy->m_frequency = m_frequency;
    copy->m_bandwidth = m_bandwidth;
    *out = copy;
    return S_OK;
}

HRESULT ATSCLocator::get_CarrierFrequency(LONG* frequency) {
    return get(m_frequency, frequency);
}
HRESULT ATSCLocator::put_CarrierFrequency(LONG frequency) {
    return put(frequency, &m_frequency);
}
HRESULT ATSCLocator::get_PhysicalChannel(LONG* channel) {
    return get(m_physical, channel);
}
HRESULT ATSCLocator::put_PhysicalChannel(LONG channel) {
    return put(channel, &m_physical);
}
HRESULT ATSCLocator::Clone(ILocator** out) {
    if (!out) return E_POINTER;
    ATSCLocator* copy = CreateComObject<ATSCLocator>();
    copy->m_frequency = m_frequency;
    copy->m_physical = m_physical;
    *out = copy;
    return S_OK;
}
