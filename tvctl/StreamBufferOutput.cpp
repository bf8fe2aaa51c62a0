#include "tvctl/StreamBufferOutput.h"

#include "platform/com/ClassRegistry.h"
#include "platform/sbe/SbeClasses.h"
#include "platform/vidctl/AirPlatform.h"

StreamBufferOutput::StreamBufferOutput() {
    m_sink.Attach(CreateComObject<StreamBufferSink>());
}

HRESULT StreamBufferOutput::get_Name(BSTR* name) {
    if (!name) return E_POINTER;
    *name = SysAllocString(L"Stream Buffer Sink");
    return S_OK;
}

HRESULT StreamBufferOutput::get__ClassID(GUID* clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_MSVidStreamBufferSink;
    return S_OK;
}

HRESULT StreamBufferOutput::get_Filter(IBaseFilter** filter) {
    if (!filter) return E_POINTER;
    *filter = static_cast<IBaseFilter*>(m_sink.Get());
    (*filter)->AddRef();
    return S_OK;
}

HRESULT StreamBufferOutput::put_SinkName(BSTR name) {
    return m_sink->put_SinkName(name);
}

HRESULT StreamBufferOutput::get_SinkName(BSTR* name) {
    return m_sink->get_SinkName(name);
}

HRESULT StreamBufferOutput::get_SBESink(IUnknown** sink) {
    return m_sink->get_SBESink(sink);
}

HRESULT StreamBufferOutput::get_ContentRecorder(BSTR fileName,
                                                IMSVidStreamBufferRecordingControl** recorder) {
    return m_sink->get_ContentRecorder(fileName, recorder);
}

void RegisterTVControlClasses() {
    RegisterPlatformClasses();
    RegisterSbeClasses();
    static const ClassEntry kOutput[] = {
        {CLSID_MSVidStreamBufferSink, "Stream Buffer Output", &CreateClassObject<StreamBufferOutput>}};
    ClassRegistry::instance().registerClasses(kOutput);
}
