#include "platform/mpeg2data/AirGraphTuner.h"

#include "platform/bda/AirTunerFilter.h"

std::shared_ptr<AirTuner> FindDigitalAirTuner(IFilterGraph* graph) {
    if (!graph) return nullptr;
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(&filters)) || !filters) return nullptr;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, &filter, nullptr) == S_OK) {
        ComPtr<IAirDeviceFilter> device;
        if (FAILED(filter->QueryInterface(IID_IAirDeviceFilter, reinterpret_cast<void**>(&device))) ||
            !device)
            continue;
        std::shared_ptr<AirTuner> tuner = device->airTuner();
        if (tuner && tuner->device().receives != "analog") return tuner;
    }
    return nullptr;
}
