// The read-only property bag of one device: "FriendlyName" and, when known, "DevicePath".
#pragma once

#include <string>

#include "platform/devenum/DevEnum.h"

class DevicePropertyBag : public ComObject<IPropertyBag> {
public:
    DevicePropertyBag(std::wstring friendlyName, std::wstring devicePath)
        : m_friendlyName(std::move(friendlyName)), m_devicePath(std::move(devicePath)) {}

    HRESULT Read(LPCOLESTR propName, VARIANT* var, void* errorLog) override;
    // Device descriptions belong to whoever registered the device.
    HRESULT Write(LPCOLESTR, VARIANT*) override { return E_ACCESSDENIED; }

private:
    std::wstring m_friendlyName;
    std::wstring m_devicePath;
};
