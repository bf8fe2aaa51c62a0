// Builds branches of a filter graph: finds pins by direction and type and connects a source
// through an optional intermediate filter into a sink.
#pragma once

#include "platform/graph/GraphInterfaces.h"

class CCaptureGraphBuilder : public ComObject<ICaptureGraphBuilder2> {
public:
    HRESULT SetFiltergraph(IGraphBuilder* graph) override;
    HRESULT GetFiltergraph(IGraphBuilder** graph) override;
    HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source, IBaseFilter* intermediate,
                         IBaseFilter* sink) override;
    HRESULT FindPin(IUnknown* source, PIN_DIRECTION dir, const GUID* category, const GUID* type,
                    BOOL unconnected, int num, IPin** pin) override;

private:
    ComPtr<IGraphBuilder> m_graph;
};

// True when one of the pin's types (its connection type when connected) has this major type;
// a null or GUID_NULL type matches every pin.
bool PinOffersMajorType(IPin* pin, const GUID* major);
