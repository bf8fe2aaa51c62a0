#include "platform/devenum/MonikerEnumerator.h"

#include "platform/devenum/DeviceMoniker.h"

HRESULT MonikerEnumerator::Next(ULONG celt, IMoniker** out, ULONG* fetched) {
    if (!out) return E_POINTER;
    // Like the platform: asking for more than one needs somewhere to say how many came.
    if (celt > 1 && !fetched) return E_POINTER;
    ULONG n = 0;
    while (n < celt && m_position < m_devices.size()) {
        out[n++] = CreateComObject<DeviceMoniker>(m_devices[m_position++]);
    }
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
}

HRESULT MonikerEnumerator::Skip(ULONG celt) {
    size_t left = m_devices.size() - m_position;
    if (celt > left) {
        m_position = m_devices.size();
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}

HRESULT MonikerEnumerator::Reset() {
    m_position = 0;
    return S_OK;
}

HRESULT MonikerEnumerator::Clone(IEnumMoniker** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<MonikerEnumerator>(m_devices, m_position);
    return S_OK;
}
