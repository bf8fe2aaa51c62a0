#include "platform/air/AirDeviceRegistration.h"

#include "platform/devenum/DevEnum.h"

const GUID& AirDeviceRegistration::categoryGuid(AirDeviceCategory category) {
    switch (category) {
        case AirDeviceCategory::NetworkTuner:
            return KSCATEGORY_BDA_NETWORK_TUNER;
        case AirDeviceCategory::TvTuner:
            return KSCATEGORY_TVTUNER;
        case AirDeviceCategory::Crossbar:
            return AM_KSCATEGORY_CROSSBAR;
        case AirDeviceCategory::Encoder:
            return KSCATEGORY_ENCODER;
        case AirDeviceCategory::Multiplexer:
            return KSCATEGORY_MULTIPLEXER;
    }
    return KSCATEGORY_TVTUNER;
}

AirDeviceRegistration::AirDeviceRegistration(
    const AirCatalogue& catalogue, const std::function<DeviceFactory(const AirDevice&)>& makeFactory,
    Listed listed) {
    for (const AirDevice& d : catalogue.devices()) {
        const GUID& category = categoryGuid(d.category);
        if (listed == Listed::Skip) {
            bool known = false;
            for (const DeviceRecord& other : DeviceRegistry::instance().devices(category))
                known = known || other.devicePath == d.devicePath;
            if (known) continue;
        }
        DeviceRecord r;
        r.category = category;
        r.friendlyName = d.friendlyName;
        r.devicePath = d.devicePath;
        if (makeFactory) r.factory = makeFactory(d);
        registrations_.push_back(std::make_unique<ScopedDeviceRegistration>(std::move(r)));
    }
}
