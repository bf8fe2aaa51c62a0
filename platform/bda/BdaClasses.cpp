#include "platform/bda/BdaClasses.h"

#include "platform/bda/Locators.h"
#include "platform/bda/TuningSpaces.h"
#include "platform/com/ClassRegistry.h"

namespace {
const ClassEntry kBdaClasses[] = {
    {CLSID_SystemTuningSpaces, "System Tuning Spaces", &CreateClassObject<SystemTuningSpaces>},
    {CLSID_DVBTLocator, "DVB-T Locator", &CreateClassObject<DVBTLocator>},
    {CLSID_ATSCLocator, "ATSC Locator", &CreateClassObject<ATSCLocator>},
};
}  // namespace

void RegisterBdaClasses() {
    ClassRegistry::instance().registerClasses(kBdaClasses);
}
