// The list of devices the system device enumerator reports. Whatever provides devices (the
// virtual broadcast, a test) registers them here; the enumerator reads a snapshot per call.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/Guid.h"
#include "platform/com/Types.h"

// Makes the device's object (its filter) and answers the interface riid, as QueryInterface
// would. Called on every IMoniker::BindToObject; may run on any thread.
using DeviceFactory = std::function<HRESULT(REFIID riid, void** ppv)>;

// One device in one category. A device in several categories is registered once per category.
struct DeviceRecord {
    GUID category = GUID_NULL;
    std::wstring friendlyName;
    std::wstring devicePath;  // empty: the property bag has no "DevicePath"
    DeviceFactory factory;    // empty: BindToObject answers E_NOTIMPL
};

class DeviceRegistry {
public:
    static DeviceRegistry& instance();

    // Adds a device at the end of its category; answers a cookie for unregister (never 0).
    DWORD registerDevice(DeviceRecord record);
    // False when the cookie is unknown (already removed).
    bool unregisterDevice(DWORD cookie);
    // Removes every device of every category.
    void clear();

    // The devices of one category in registration order.
    std::vector<DeviceRecord> devices(REFGUID category) const;

private:
    DeviceRegistry() = default;
    struct Entry {
        DWORD cookie;
        DeviceRecord record;
    };
    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
    DWORD m_nextCookie = 1;
};

// Keeps a device registered for its own lifetime.
class ScopedDeviceRegistration {
public:
    explicit ScopedDeviceRegistration(DeviceRecord record)
        : m_cookie(DeviceRegistry::instance().registerDevice(std::move(record))) {}
    ~ScopedDeviceRegistration() { DeviceRegistry::instance().unregisterDevice(m_cookie); }
    ScopedDeviceRegistration(const ScopedDeviceRegistration&) = delete;
    ScopedDeviceRegistration& operator=(const ScopedDeviceRegistration&) = delete;
    DWORD cookie() const { return m_cookie; }

private:
    DWORD m_cookie;
};
