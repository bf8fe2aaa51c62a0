#include "platform/mpeg2data/GuideDataConnectionPoint.h"

HRESULT GuideDataConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    ComPtr<IGuideDataEvent> events;
    if (FAILED(sink->QueryInterface(IID_IGuideDataEvent, reinterpret_cast<void**>(&events))) || !events)
        return CONNECT_E_CANNOTCONNECT;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_nextCookie == 0) ++m_nextCookie;
        *cookie = m_nextCookie++;
        m_sinks.emplace_back(*cookie, events);
    }
    return S_OK;
}

HRESULT GuideDataConnectionPoint::Unadvise(DWORD cookie) {
    // From inside a notice the delivery lock is already this thread's; the delivering loop
    // sees the sink gone and calls it no more.
    std::unique_lock<std::recursive_mutex> delivery(m_delivery);
    ComPtr<IGuideDataEvent> removed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
            if (it->first != cookie) continue;
            removed = std::move(it->second);
            m_sinks.erase(it);
            break;
        }
    }
    return removed ? S_OK : CONNECT_E_NOCONNECTION;
}

bool GuideDataConnectionPoint::hasSinks() {
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_sinks.empty();
}

void GuideDataConnectionPoint::serviceChanged(LONG serviceId) {
    std::lock_guard<std::recursive_mutex> delivery(m_delivery);
    std::vector<std::pair<DWORD, ComPtr<IGuideDataEvent>>> sinks;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        sinks = m_sinks;
    }
    for (auto& [cookie, sink] : sinks) {
        bool advised = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (auto& s : m_sinks) advised = advised || s.first == cookie;
        }
        if (!advised) continue;
        VARIANT item;
        VariantInit(&item);
        item.vt = VT_I4;
        item.lVal = serviceId;
        sink->ServiceChanged(item);
    }
}
