// The sample grabber's own interface.
#pragma once

#include "platform/graph/GraphInterfaces.h"

class PCondMutex;
class SampleGrabberCallBack;

// {6B652FFF-11FE-4FCE-92AD-0266B5D7C78F}
GRAPH_GUID(IID_IGrabberSample, 0x6B652FFF, 0x11FE, 0x4FCE, 0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7, 0xC7, 0x8F);
// {2FA4F053-6D60-4CB0-9503-8E89234F3F73}
GRAPH_GUID(CLSID_GrabberSample, 0x2FA4F053, 0x6D60, 0x4CB0, 0x95, 0x03, 0x8E, 0x89, 0x23, 0x4F, 0x3F, 0x73);

struct IGrabberSample : IUnknown {
    COM_INTERFACE(IGrabberSample, IUnknown)
    // Entry index (0 to 9) of the accepted list; the list ends after it. A null type at index
    // 0 or below empties the list.
    virtual HRESULT SetAcceptedMediaType(int index, const AM_MEDIA_TYPE* mt) = 0;
    // Copies the input connection's type into an empty record.
    virtual HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) = 0;
    // callback may be null (samples go nowhere); signal, when set, is broadcast on every sample.
    virtual HRESULT SetCallback(SampleGrabberCallBack* callback, LONG streamId, PCondMutex* signal) = 0;
    // Reads back what SetCallback stored (any out-pointer may be null).
    virtual HRESULT GetCallback(SampleGrabberCallBack** callback, LONG* streamId) = 0;
};
