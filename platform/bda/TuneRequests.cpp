#include "platform/bda/TuneRequests.h"

namespace {
HRESULT get(LONG value, LONG* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}
// Network ids are 16-bit; -1 is "not given".
HRESULT putId(LONG value, LONG* field) {
    if (value < -1 || value > 0xFFFF) return E_INVALIDARG;
    *field = value;
    return S_OK;
}
template <class T>
ComPtr<ILocator> cloneLocator(ILocator* locator) {
    ComPtr<ILocator> copy;
    if (locator) locator->Clone(&copy);
    return copy;
}
}  // namespace

HRESULT ChannelTuneRequest::get_Channel(LONG* channel) {
    return get(m_channel, channel);
}
HRESULT ChannelTuneRequest::put_Channel(LONG channel) {
    if (channel < m_min || channel > m_max) return E_INVALIDARG;
    m_channel = channel;
    return S_OK;
}
HRESULT ChannelTuneRequest::Clone(ITuneRequest** out) {
    if (!out) return E_POINTER;
    auto* copy = CreateComObject<ChannelTuneRequest>(m_space.Get(), m_min, m_max);
    copy->m_channel = m_channel;
    copy->m_locator = cloneLocator<ILocator>(m_locator.Get());
    *out = copy;
    return S_OK;
}

HRESULT ATSCChannelTuneRequest::get_Channel(LONG* channel) {
    return get(m_major, channel);
}
HRESULT ATSCChannelTuneRequest::put_Channel(LONG channel) {
    if (channel < -1 || channel > 999) return E_INVALIDARG;
    m_major = channel;
    return S_OK;
}
HRESULT ATSCChannelTuneRequest::get_MinorChannel(LONG* channel) {
    return get(m_minor, channel);
}
HRESULT ATSCChannelTuneRequest::put_MinorChannel(LONG channel) {
    if (channel < -1 || channel > 999) return E_INVALIDARG;
    m_minor = channel;
    return S_OK;
}
HRESULT ATSCChannelTuneRequest::Clone(ITuneRequest** out) {
    if (!out) return E_POINTER;
    auto* copy = CreateComObject<ATSCChannelTuneRequest>(m_space.Get());
    copy->m_major = m_major;
    copy->m_minor = m_minor;
    copy->m_locator = cloneLocator<ILocator>(m_locator.Get());
    *out = copy;
    return S_OK;
}

HRESULT DVBTuneRequest::get_ONID(LONG* id) {
    return get(m_onid, id);
}
HRESULT DVBTuneRequest::put_ONID(LONG id) {
    return putId(id, &m_onid);
}
HRESULT DVBTuneRequest::get_TSID(LONG* id) {
    return get(m_tsid, id);
}
HRESULT DVBTuneRequest::put_TSID(LONG id) {
    return putId(id, &m_tsid);
}
HRESULT DVBTuneRequest::get_SID(LONG* id) {
    return get(m_sid, id);
}
HRESULT DVBTuneRequest::put_SID(LONG id) {
    return putId(id, &m_sid);
}
HRESULT DVBTuneRequest::Clone(ITuneRequest** out) {
    if (!out) return E_POINTER;
    auto* copy = CreateComObject<DVBTuneRequest>(m_space.Get());
    copy->m_onid = m_onid;
    copy->m_tsid = m_tsid;
    copy->m_sid = m_sid;
    copy->m_locator = cloneLocator<ILocator>(m_locator.Get());
    *out = copy;
    return S_OK;
}
