// Small operations on media graphs and capture devices shared by the scan, the read-back
// graph, the grabber sinks, the TV control object and the tune request. No state.
#pragma once

#include <string>
#include <vector>

#include "platform/devenum/DevEnum.h"
#include "platform/graph/GraphInterfaces.h"

class DeviceDecodeUtils {
public:
    virtual ~DeviceDecodeUtils() = default;

    // First filter of the graph whose name equals name exactly (case matters).
    static HRESULT FindFilter(IFilterGraph* graph, const std::wstring& name, IBaseFilter** filter);
    // First filter, in enumeration order, that answers riid; *out is that interface.
    static HRESULT FindInterfaceInGraph(IFilterGraph* graph, REFIID riid, void** out);
    // The filter on the other side of the first connected pin of direction dir.
    static HRESULT GetConnectedFilter(IBaseFilter* filter, PIN_DIRECTION dir, IBaseFilter** connected);
    // Removes every filter, restarting the enumeration after each removal.
    static HRESULT RemoveAllFilters(IFilterGraph* graph);
    // Same object (equal IUnknown) or both none.
    static bool SameObject(IUnknown* a, IUnknown* b);
    // One of the pin's preferred types has this major type / subtype.
    static bool PinHasMajorType(IPin* pin, REFGUID major);
    static bool PinHasSubType(IPin* pin, REFGUID subtype);
    // A device of the category whose friendly name or device path equals name, in any case.
    static bool FindDevice(REFGUID category, const std::wstring& name, std::wstring* devicePath,
                           std::wstring* friendlyName);
    // The device's filter, bound through its moniker (same matching as FindDevice).
    static HRESULT CreateDeviceFilter(REFGUID category, const std::wstring& name, IBaseFilter** filter);
    static HRESULT FindPinByName(IBaseFilter* filter, const std::wstring& name, IPin** pin);
    // The index-th pin (from 0) among the filter's pins of direction dir.
    static HRESULT GetPin(IBaseFilter* filter, PIN_DIRECTION dir, int index, IPin** pin);
    // The crossbar input pin whose physical connector type is physicalType.
    static HRESULT findCrossBarPin(IBaseFilter* filter, LONG physicalType, IPin** pin);
    // "%tvtuner%" / "%audiotuner%" (input pins), a decimal index, or a pin name.
    static HRESULT FindPinBySpec(IBaseFilter* filter, PIN_DIRECTION dir, const std::wstring& pinSpec,
                                 IPin** pin);
    static HRESULT ConnectPins(IGraphBuilder* graph, IBaseFilter* source, const std::wstring& sourceSpec,
                               IBaseFilter* sink, const std::wstring& sinkSpec);
    // The pieces between separators; a trailing separator gives an empty last piece.
    static std::vector<std::wstring> split(const std::wstring& text, const std::wstring& separator);
};
