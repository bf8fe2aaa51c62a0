#include "platform/devenum/DevEnumClasses.h"

#include "platform/com/ClassRegistry.h"
#include "platform/devenum/SystemDeviceEnum.h"

namespace {
const ClassEntry kDevEnumClasses[] = {
    {CLSID_SystemDeviceEnum, "System Device Enumerator", &CreateClassObject<SystemDeviceEnum>},
};
}  // namespace

void RegisterDevEnumClasses() {
    ClassRegistry::instance().registerClasses(kDevEnumClasses);
}
