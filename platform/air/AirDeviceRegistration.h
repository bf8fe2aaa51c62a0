// Puts the catalogue's devices into the system device enumerator, each under its category and
// in catalogue order, for as long as the registration object lives.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/air/AirCatalogue.h"
#include "platform/devenum/DeviceRegistry.h"

class AirDeviceRegistration {
public:
    // What to do with a device the enumerator already lists in the same category under the
    // same device path (registered by someone else over the same catalogue).
    enum class Listed { Again, Skip };

    // `makeFactory` lets the layer that builds the devices' filters supply them; without it a
    // device can be enumerated and described but not instantiated.
    explicit AirDeviceRegistration(const AirCatalogue& catalogue,
                                   const std::function<DeviceFactory(const AirDevice&)>& makeFactory = {},
                                   Listed listed = Listed::Again);
    size_t count() const { return registrations_.size(); }

    static const GUID& categoryGuid(AirDeviceCategory category);

private:
    std::vector<std::unique_ptr<ScopedDeviceRegistration>> registrations_;
};
