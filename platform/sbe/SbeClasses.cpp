// The stream buffer's classes, in one table.
#include "platform/sbe/SbeInterfaces.h"
#include "platform/sbe/StreamBufferConfig.h"
#include "platform/sbe/StreamBufferSink.h"
#include "platform/sbe/StreamBufferSource.h"

namespace {
template <class T>
HRESULT make(REFIID riid, void** ppv) {
    ComPtr<T> object;
    object.Attach(CreateComObject<T>());
    return object->QueryInterface(riid, ppv);
}

struct SbeClass {
    const CLSID* clsid;
    HRESULT (*create)(REFIID, void**);
};
const SbeClass kClasses[] = {
    {&CLSID_StreamBufferConfig, make<StreamBufferConfig>},
    {&CLSID_StreamBufferSource, make<StreamBufferSource>},
    {&CLSID_MSVidStreamBufferSink, make<StreamBufferSink>},
};
}  // namespace

HRESULT CreateStreamBufferObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (const SbeClass& c : kClasses)
        if (*c.clsid == clsid) return c.create(riid, ppv);
    return REGDB_E_CLASSNOTREG;
}
