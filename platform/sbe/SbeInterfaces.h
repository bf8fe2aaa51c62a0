// The stream buffer's interfaces and identifiers: the time-shift sink and its configuration,
// the content recorder, and the source that reads the buffer back.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/registry/Registry.h"

GRAPH_GUID(CLSID_MSVidStreamBufferSink, 0x9E77AAC4, 0x35E5, 0x42A1, 0xBD, 0xC2, 0x8F, 0x3F, 0xF3, 0x99, 0x84,
           0x7C);
GRAPH_GUID(IID_IMSVidStreamBufferSink, 0x159DBB45, 0xCD1B, 0x4DAB, 0x83, 0xEA, 0x5C, 0xB1, 0xF4, 0xF2, 0x1D,
           0x07);
GRAPH_GUID(IID_IStreamBufferSink, 0xAFD1F242, 0x7EFD, 0x45EE, 0xBA, 0x4E, 0x40, 0x7A, 0x25, 0xC9, 0xA7, 0x7A);
GRAPH_GUID(CLSID_StreamBufferConfig, 0xFA8A68B2, 0xC864, 0x4BA2, 0xAD, 0x53, 0xD3, 0x87, 0x6A, 0x87, 0x49,
           0x4B);
GRAPH_GUID(IID_IStreamBufferConfigure, 0xCE14DFAE, 0x4098, 0x4AF7, 0xBB, 0xF7, 0xD6, 0x51, 0x1F, 0x83, 0x54,
           0x14);
GRAPH_GUID(IID_IStreamBufferInitialize, 0x9CE50F2D, 0x6BA7, 0x40FB, 0xA0, 0x34, 0x50, 0xB1, 0xA6, 0x74, 0xEC,
           0x78);
GRAPH_GUID(IID_IStreamBufferConfigure3, 0x7E2D2A1E, 0x7192, 0x4BD7, 0x80, 0xC1, 0x06, 0x1F, 0xD1, 0xD1, 0x04,
           0x02);
GRAPH_GUID(CLSID_StreamBufferSource, 0xC9F5FE02, 0xF851, 0x4EB5, 0x99, 0xEE, 0xAD, 0x60, 0x2A, 0xF1, 0xE6,
           0x19);
GRAPH_GUID(IID_IStreamBufferSource, 0x1C5BD776, 0x6CED, 0x4F44, 0x81, 0x64, 0x5E, 0xAB, 0x0E, 0x98, 0xDB,
           0x12);
GRAPH_GUID(IID_IStreamBufferMediaSeeking, 0xF61F5C26, 0x863D, 0x4AFA, 0xB0, 0xBA, 0x2F, 0x81, 0xDC, 0x97,
           0x85, 0x96);
GRAPH_GUID(IID_IMSVidStreamBufferRecordingControl, 0x160621AA, 0xBBBC, 0x4326, 0xA8, 0x24, 0xC3, 0x95, 0xAE,
           0xBC, 0x6E, 0x74);

// Settings of a stream-buffer object come from a registry key (the caller keeps the handle).
struct IStreamBufferInitialize : IUnknown {
    COM_INTERFACE(IStreamBufferInitialize, IUnknown)
    virtual HRESULT SetHKEY(HKEY key) = 0;
};

struct IStreamBufferConfigure : IUnknown {
    COM_INTERFACE(IStreamBufferConfigure, IUnknown)
};

struct IStreamBufferConfigure3 : IStreamBufferConfigure {
    COM_INTERFACE(IStreamBufferConfigure3, IStreamBufferConfigure)
    // A null namespace keeps the buffer's events in the default one.
    virtual HRESULT SetNamespace(LPWSTR ns) = 0;
};

struct IStreamBufferSink : IUnknown {
    COM_INTERFACE(IStreamBufferSink, IUnknown)
    // Fixes the buffer's name (and with it the programme's layout); S_FALSE when already locked.
    virtual HRESULT LockProfile(LPCOLESTR name) = 0;
    virtual HRESULT IsProfileLocked() = 0;
};

// A recording of the buffer's programme into a file of its own. Times are seconds from now:
// put_StartTime(0) starts at once, put_StopTime(0) ends at once.
struct IMSVidStreamBufferRecordingControl : IUnknown {
    COM_INTERFACE(IMSVidStreamBufferRecordingControl, IUnknown)
    virtual HRESULT get_StartTime(LONG* seconds) = 0;
    virtual HRESULT put_StartTime(LONG seconds) = 0;
    virtual HRESULT get_StopTime(LONG* seconds) = 0;
    virtual HRESULT put_StopTime(LONG seconds) = 0;
    virtual HRESULT get_RecordingStopped(VARIANT_BOOL* stopped) = 0;
    virtual HRESULT get_RecordingStarted(VARIANT_BOOL* started) = 0;
    virtual HRESULT get_FileName(BSTR* name) = 0;
};

struct IMSVidStreamBufferSink : IUnknown {
    COM_INTERFACE(IMSVidStreamBufferSink, IUnknown)
    virtual HRESULT put_SinkName(BSTR name) = 0;
    virtual HRESULT get_SinkName(BSTR* name) = 0;
    virtual HRESULT get_SBESink(IUnknown** sink) = 0;
    virtual HRESULT get_ContentRecorder(BSTR fileName, IMSVidStreamBufferRecordingControl** recorder) = 0;
};

struct IStreamBufferSource : IUnknown {
    COM_INTERFACE(IStreamBufferSource, IUnknown)
    virtual HRESULT SetStreamSink(IStreamBufferSink* sink) = 0;
};

// Positions of the buffer in 100-ns units from its first picture.
struct IStreamBufferMediaSeeking : IMediaSeeking {
    COM_INTERFACE(IStreamBufferMediaSeeking, IMediaSeeking)
};
