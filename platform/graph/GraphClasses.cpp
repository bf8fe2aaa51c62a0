#include "platform/graph/GraphClasses.h"

#include "platform/com/ClassRegistry.h"
#include "platform/graph/AVDecoderFilter.h"
#include "platform/graph/CaptureGraphBuilder.h"
#include "platform/graph/FilterGraph.h"
#include "platform/graph/MediaFileSource.h"
#include "platform/graph/NullRenderer.h"

namespace {
const ClassEntry kGraphClasses[] = {
    {CLSID_FilterGraph, "Filter Graph", &CreateClassObject<CFilterGraph>},
    {CLSID_CaptureGraphBuilder2, "Capture Graph Builder", &CreateClassObject<CCaptureGraphBuilder>},
    {CLSID_NullRenderer, "Null Renderer", &CreateClassObject<CNullRenderer>},
    {CLSID_MediaFileSource, "Media File Source", &CreateClassObject<MediaFileSource>},
    {CLSID_AVDecoderFilter, "Decoder", &CreateClassObject<AVDecoderFilter>},
};
}  // namespace

void RegisterGraphClasses() {
    ClassRegistry::instance().registerClasses(kGraphClasses);
}
