#include "platform/graph/EnumFilters.h"

HRESULT CEnumFilters::Next(ULONG count, IBaseFilter** filters, ULONG* fetched) {
    if (!filters) return E_POINTER;
    if (count > 1 && !fetched) return E_POINTER;
    ULONG n = 0;
    while (n < count && m_position < m_filters.size()) {
        filters[n] = m_filters[m_position++].Get();
        filters[n++]->AddRef();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
}

HRESULT CEnumFilters::Skip(ULONG count) {
    m_position += count;
    if (m_position > m_filters.size()) {
        m_position = m_filters.size();
        return S_FALSE;
    }
    return S_OK;
}

HRESULT CEnumFilters::Reset() {
    m_filters = m_graph->Filters();
    m_position = 0;
    return S_OK;
}

HRESULT CEnumFilters::Clone(IEnumFilters** out) {
    if (!out) return E_POINTER;
    *out = CreateComObject<CEnumFilters>(m_graph.Get(), m_filters, m_position);
    return S_OK;
}
