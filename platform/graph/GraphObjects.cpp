#include "platform/graph/GraphObjects.h"

#include "platform/graph/AVDecoderFilter.h"
#include "platform/graph/CaptureGraphBuilder.h"
#include "platform/graph/FilterGraph.h"
#include "platform/graph/MediaFileSource.h"
#include "platform/graph/NullRenderer.h"

namespace {
template <class T>
HRESULT make(REFIID riid, void** ppv) {
    ComPtr<T> object;
    object.Attach(CreateComObject<T>());
    return object->QueryInterface(riid, ppv);
}
}  // namespace

HRESULT CreateGraphObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid == CLSID_FilterGraph) return make<CFilterGraph>(riid, ppv);
    if (clsid == CLSID_CaptureGraphBuilder2) return make<CCaptureGraphBuilder>(riid, ppv);
    if (clsid == CLSID_NullRenderer) return make<CNullRenderer>(riid, ppv);
    if (clsid == CLSID_MediaFileSource) return make<MediaFileSource>(riid, ppv);
    if (clsid == CLSID_AVDecoderFilter) return make<AVDecoderFilter>(riid, ppv);
    return REGDB_E_CLASSNOTREG;
}
