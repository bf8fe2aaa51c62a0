// The Video Control's stream-buffer output: an output device (class CLSID_MSVidStreamBufferSink)
// whose filter is the stream buffer's time-shift sink. The control connects the tuned transport
// stream (or the encoder's) to that filter when it builds; the TV control names the buffer and
// asks for content recorders through the device's IMSVidStreamBufferSink.
#pragma once

#include "tvctl/PlatformInterfaces.h"

class StreamBufferOutput : public ComObject<IMSVidOutputDevice, IMSVidGraphSegment, IMSVidStreamBufferSink> {
public:
    StreamBufferOutput();

    HRESULT get_Name(BSTR* name) override;
    HRESULT get__ClassID(GUID* clsid) override;
    HRESULT get_Filter(IBaseFilter** filter) override;
    HRESULT put_SinkName(BSTR name) override;
    HRESULT get_SinkName(BSTR* name) override;
    HRESULT get_SBESink(IUnknown** sink) override;
    HRESULT get_ContentRecorder(BSTR fileName, IMSVidStreamBufferRecordingControl** recorder) override;

    StreamBufferSink* sink() const { return m_sink.Get(); }

private:
    ComPtr<StreamBufferSink> m_sink;
};

// Registers every class a TV control needs: the graph, device enumerator, tuning, Video Control
// and stream buffer classes, with this output in the stream-buffer sink's slot. Idempotent.
void RegisterTVControlClasses();
