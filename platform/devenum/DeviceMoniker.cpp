#include "platform/devenum/DeviceMoniker.h"

#include "platform/devenum/DevicePropertyBag.h"

HRESULT DeviceMoniker::BindToObject(IUnknown*, IMoniker*, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!m_record.factory) return E_NOTIMPL;
    HRESULT hr = m_record.factory(riid, ppv);
    // A factory that claims success must hand out an object.
    if (SUCCEEDED(hr) && !*ppv) return E_UNEXPECTED;
    return hr;
}

HRESULT DeviceMoniker::BindToStorage(IUnknown*, IMoniker*, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ComPtr<DevicePropertyBag> bag;
    bag.Attach(CreateComObject<DevicePropertyBag>(m_record.friendlyName, m_record.devicePath));
    return bag->QueryInterface(riid, ppv);
}

HRESULT DeviceMoniker::GetDisplayName(IUnknown*, IMoniker*, BSTR* name) {
    if (!name) return E_POINTER;
    const std::wstring& text = m_record.devicePath.empty() ? m_record.friendlyName : m_record.devicePath;
    *name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *name ? S_OK : E_OUTOFMEMORY;
}
