// The Video Control's classes for CoCreateInstance, and the air's devices with their filters.
#pragma once

#include <memory>

#include "platform/air/AirDeviceRegistration.h"

class AirBroadcast;

// Registers CLSID_MSVidCtl and CLSID_MSVidFeatures. Idempotent.
void RegisterVidCtlClasses();

// The factory that binds an air device's moniker to its filter: tuners give their tuner
// filter, crossbars their card's crossbar, encoders and multiplexers their card's encoder filter.
DeviceFactory AirDeviceFilterFactory(std::shared_ptr<AirBroadcast> broadcast, const AirDevice& device);

// Registers the broadcast's devices, with their filters, for the registration's lifetime.
std::unique_ptr<AirDeviceRegistration> RegisterAirDevices(
    std::shared_ptr<AirBroadcast> broadcast,
    AirDeviceRegistration::Listed listed = AirDeviceRegistration::Listed::Again);
