#include "platform/sbe/StreamBufferConfig.h"

HRESULT StreamBufferConfig::SetHKEY(HKEY key) {
    if (!key) return E_INVALIDARG;
    m_settings = BufferSettings::fromKey(key);
    m_hasKey = true;
    return S_OK;
}

HRESULT StreamBufferConfig::SetNamespace(LPWSTR ns) {
    m_namespace = ns ? ns : L"";
    return S_OK;
}
