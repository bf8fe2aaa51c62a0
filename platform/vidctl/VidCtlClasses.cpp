#include "platform/vidctl/VidCtlClasses.h"

#include "platform/air/AirBroadcast.h"
#include "platform/bda/AirTunerFilter.h"
#include "platform/com/ClassRegistry.h"
#include "platform/vidctl/CardCrossbarFilter.h"
#include "platform/vidctl/CardEncoderFilter.h"
#include "platform/vidctl/VideoControl.h"

namespace {
const ClassEntry kVidCtlClasses[] = {
    {CLSID_MSVidCtl, "Video Control", &CreateClassObject<VideoControl>},
    {CLSID_MSVidFeatures, "Feature Collection", &CreateClassObject<VidFeatures>},
};

template <class Filter, class Arg>
HRESULT makeFilter(Arg&& arg, REFIID riid, void** ppv) {
    ComPtr<Filter> filter;
    filter.Attach(CreateComObject<Filter>(std::forward<Arg>(arg)));
    return filter->QueryInterface(riid, ppv);
}
}  // namespace

void RegisterVidCtlClasses() {
    ClassRegistry::instance().registerClasses(kVidCtlClasses);
}

DeviceFactory AirDeviceFilterFactory(std::shared_ptr<AirBroadcast> broadcast, const AirDevice& device) {
    switch (device.category) {
        case AirDeviceCategory::NetworkTuner:
        case AirDeviceCategory::TvTuner: {
            std::wstring path = device.devicePath;
            return [broadcast, path](REFIID riid, void** ppv) -> HRESULT {
                std::shared_ptr<AirTuner> tuner = broadcast->tuner(path);
                if (!tuner) return E_FAIL;
                return makeFilter<AirTunerFilter>(tuner, riid, ppv);
            };
        }
        case AirDeviceCategory::Encoder:
        case AirDeviceCategory::Multiplexer:
            return [device](REFIID riid, void** ppv) {
                return makeFilter<CardEncoderFilter>(device, riid, ppv);
            };
        case AirDeviceCategory::Crossbar:
            return [broadcast, device](REFIID riid, void** ppv) -> HRESULT {
                ComPtr<CardCrossbarFilter> filter;
                filter.Attach(CreateComObject<CardCrossbarFilter>(broadcast, device));
                return filter->QueryInterface(riid, ppv);
            };
    }
    return nullptr;
}

std::unique_ptr<AirDeviceRegistration> RegisterAirDevices(std::shared_ptr<AirBroadcast> broadcast,
                                                          AirDeviceRegistration::Listed listed) {
    if (!broadcast) return nullptr;
    return std::make_unique<AirDeviceRegistration>(
        broadcast->catalogue(),
        [broadcast](const AirDevice& device) { return AirDeviceFilterFactory(broadcast, device); }, listed);
}
