#include "platform/devenum/SystemDeviceEnum.h"

#include "platform/devenum/DeviceRegistry.h"
#include "platform/devenum/MonikerEnumerator.h"

HRESULT SystemDeviceEnum::CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD) {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::vector<DeviceRecord> devices = DeviceRegistry::instance().devices(category);
    // An empty category is not an error: S_FALSE and no enumerator, as callers expect.
    if (devices.empty()) return S_FALSE;
    *out = CreateComObject<MonikerEnumerator>(std::move(devices));
    return S_OK;
}
