#include "platform/devenum/DevicePropertyBag.h"

HRESULT DevicePropertyBag::Read(LPCOLESTR propName, VARIANT* var, void*) {
    if (!propName || !var) return E_POINTER;
    const std::wstring name(propName);
    const std::wstring* value = nullptr;
    if (name == L"FriendlyName") value = &m_friendlyName;
    if (name == L"DevicePath" && !m_devicePath.empty()) value = &m_devicePath;
    if (!value) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    // The caller may ask for VT_EMPTY (any type) or for the value's own type only.
    if (var->vt != VT_EMPTY && var->vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
    BSTR text = SysAllocStringLen(value->data(), static_cast<UINT>(value->size()));
    if (!text) return E_OUTOFMEMORY;
    var->vt = VT_BSTR;
    var->bstrVal = text;
    return S_OK;
}
