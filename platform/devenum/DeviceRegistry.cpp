#include "platform/devenum/DeviceRegistry.h"

#include <algorithm>

DeviceRegistry& DeviceRegistry::instance() {
    static DeviceRegistry registry;
    return registry;
}

DWORD DeviceRegistry::registerDevice(DeviceRecord record) {
    std::lock_guard<std::mutex> guard(m_lock);
    DWORD cookie = m_nextCookie++;
    if (m_nextCookie == 0) m_nextCookie = 1;
    m_entries.push_back(Entry{cookie, std::move(record)});
    return cookie;
}

bool DeviceRegistry::unregisterDevice(DWORD cookie) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [cookie](const Entry& e) { return e.cookie == cookie; });
    if (it == m_entries.end()) return false;
    m_entries.erase(it);
    return true;
}

void DeviceRegistry::clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_entries.clear();
}

std::vector<DeviceRecord> DeviceRegistry::devices(REFGUID category) const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<DeviceRecord> out;
    for (const Entry& e : m_entries)
        if (e.record.category == category) out.push_back(e.record);
    return out;
}
