#include "platform/sbe/SbeClasses.h"

#include "platform/com/ClassRegistry.h"
#include "platform/sbe/StreamBufferConfig.h"
#include "platform/sbe/StreamBufferSink.h"
#include "platform/sbe/StreamBufferSource.h"

namespace {
const ClassEntry kSbeClasses[] = {
    {CLSID_StreamBufferConfig, "Stream Buffer Config", &CreateClassObject<StreamBufferConfig>},
    {CLSID_StreamBufferSource, "Stream Buffer Source", &CreateClassObject<StreamBufferSource>},
    {CLSID_MSVidStreamBufferSink, "Stream Buffer Sink", &CreateClassObject<StreamBufferSink>},
};
}  // namespace

void RegisterSbeClasses() {
    ClassRegistry::instance().registerClasses(kSbeClasses);
}
