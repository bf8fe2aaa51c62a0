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

GraphMultiplex FindGraphMultiplex(IFilterGraph* graph) {
    GraphMultiplex found;
    if (!graph) return found;
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(&filters)) || !filters) return found;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, &filter, nullptr) == S_OK) {
        ComPtr<IAirDeviceFilter> device;
        if (SUCCEEDED(filter->QueryInterface(IID_IAirDeviceFilter, reinterpret_cast<void**>(&device))) &&
            device) {
            std::shared_ptr<AirTuner> tuner = device->airTuner();
            if (!tuner || tuner->device().receives == "analog") continue;
            found.stream = [tuner]() -> std::shared_ptr<MultiplexStream> { return tuner->stream(); };
            found.speed = [tuner] { return tuner->broadcastSpeed(); };
            return found;
        }
        ComPtr<ITunedMultiplexFilter> real;
        if (SUCCEEDED(filter->QueryInterface(IID_ITunedMultiplexFilter, reinterpret_cast<void**>(&real))) &&
            real) {
            found.stream = real->tunedMultiplex();
            if (!found.stream) continue;
            // A real tuner's stream runs on the wall clock.
            found.speed = [] { return 1.0; };
            return found;
        }
    }
    return found;
}
