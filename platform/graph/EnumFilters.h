// Walks a snapshot of a graph's filters; Reset takes a fresh snapshot.
#pragma once

#include <vector>

#include "platform/graph/FilterGraph.h"

class CEnumFilters : public ComObject<IEnumFilters> {
public:
    CEnumFilters(CFilterGraph* graph, std::vector<ComPtr<IBaseFilter>> filters, size_t position = 0)
        : m_graph(graph), m_filters(std::move(filters)), m_position(position) {}

    HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumFilters** out) override;

private:
    ComPtr<CFilterGraph> m_graph;
    std::vector<ComPtr<IBaseFilter>> m_filters;
    size_t m_position;
};
