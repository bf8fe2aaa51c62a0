// The Video Control's interfaces: the control itself, its devices (inputs, features, outputs)
// and their collections; identifiers with the platform's values.
#pragma once

#include "platform/bda/BdaInterfaces.h"
#include "platform/graph/GraphInterfaces.h"

#define VIDCTL_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

VIDCTL_GUID(CLSID_MSVidCtl, 0xB0EDF163, 0x910A, 0x11D2, 0xB6, 0x32, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
VIDCTL_GUID(IID_IMSVidCtl, 0xB0EDF162, 0x910A, 0x11D2, 0xB6, 0x32, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
VIDCTL_GUID(CLSID_MSVidFeatures, 0xC5702CD0, 0x9B79, 0x11D3, 0xB6, 0x54, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
VIDCTL_GUID(IID_IMSVidFeatures, 0xC5702CD5, 0x9B79, 0x11D3, 0xB6, 0x54, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
VIDCTL_GUID(CLSID_MSVidOutputDevices, 0xC5702CCD, 0x9B79, 0x11D3, 0xB6, 0x54, 0x00, 0xC0, 0x4F, 0x79, 0x49,
            0x8E);
VIDCTL_GUID(IID_IMSVidInputDevices, 0xC5702CD1, 0x9B79, 0x11D3, 0xB6, 0x54, 0x00, 0xC0, 0x4F, 0x79, 0x49,
            0x8E);
VIDCTL_GUID(IID_IMSVidOutputDevices, 0xC5702CD2, 0x9B79, 0x11D3, 0xB6, 0x54, 0x00, 0xC0, 0x4F, 0x79, 0x49,
            0x8E);
VIDCTL_GUID(IID_IMSVidDevice, 0x1C15D47C, 0x911D, 0x11D2, 0xB6, 0x32, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
VIDCTL_GUID(IID_IMSVidInputDevice, 0x37B0353D, 0xA4C8, 0x11D2, 0xB6, 0x34, 0x00, 0xC0, 0x4F, 0x79, 0x49,
            0x8E);
VIDCTL_GUID(IID_IMSVidTuner, 0x1C15D47D, 0x911D, 0x11D2, 0xB6, 0x32, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
VIDCTL_GUID(IID_IMSVidAnalogTuner, 0x1C15D47E, 0x911D, 0x11D2, 0xB6, 0x32, 0x00, 0xC0, 0x4F, 0x79, 0x49,
            0x8E);
VIDCTL_GUID(IID_IMSVidOutputDevice, 0x37B03546, 0xA4C8, 0x11D2, 0xB6, 0x34, 0x00, 0xC0, 0x4F, 0x79, 0x49,
            0x8E);
VIDCTL_GUID(IID_IMSVidFeature, 0x37B03547, 0xA4C8, 0x11D2, 0xB6, 0x34, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
VIDCTL_GUID(IID_IMSVidEncoder, 0xC0020FD4, 0xBEE7, 0x43D9, 0xA4, 0x95, 0x9F, 0x21, 0x31, 0x17, 0x10, 0x3D);
VIDCTL_GUID(IID_IMSVidGraphSegmentContainer, 0x3DD2903D, 0xE0AA, 0x11D2, 0xB6, 0x3A, 0x00, 0xC0, 0x4F, 0x79,
            0x49, 0x8E);
VIDCTL_GUID(CLSID_MSVidEncoder, 0xBB530C63, 0xD9DF, 0x4B49, 0x94, 0x39, 0x63, 0x45, 0x39, 0x62, 0xE5, 0x98);
VIDCTL_GUID(CLSID_MSVidStreamBufferSink, 0x9E77AAC4, 0x35E5, 0x42A1, 0xBD, 0xC2, 0x8F, 0x3F, 0xF3, 0x99, 0x84,
            0x7C);
VIDCTL_GUID(CLSID_MSVidBDATunerDevice, 0xA2E3074E, 0x6C3D, 0x11D3, 0xB6, 0x53, 0x00, 0xC0, 0x4F, 0x79, 0x49,
            0x8E);
VIDCTL_GUID(CLSID_MSVidAnalogTunerDevice, 0x1C15D484, 0x911D, 0x11D2, 0xB6, 0x32, 0x00, 0xC0, 0x4F, 0x79,
            0x49, 0x8E);
// {6F2A51D0-3B8E-4D27-9A14-7E0C5B2D9F31}: how a device brings its filter into the control's graph.
VIDCTL_GUID(IID_IMSVidGraphSegment, 0x6F2A51D0, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F,
            0x31);

enum MSVidCtlStateList : LONG { STATE_UNBUILT = -1, STATE_STOP = 0, STATE_PAUSE = 1, STATE_PLAY = 2 };

struct IMSVidDevice : IUnknown {
    COM_INTERFACE(IMSVidDevice, IUnknown)
    virtual HRESULT get_Name(BSTR* name) = 0;
    // The class of the device object (CLSID_MSVidEncoder, CLSID_MSVidStreamBufferSink, ...).
    virtual HRESULT get__ClassID(GUID* clsid) = 0;
};

struct IMSVidInputDevice : IMSVidDevice {
    COM_INTERFACE(IMSVidInputDevice, IMSVidDevice)
    // Tunes the device: v holds a tune request (VT_UNKNOWN).
    virtual HRESULT View(VARIANT* v) = 0;
    virtual HRESULT IsViewable(VARIANT* v, VARIANT_BOOL* viewable) = 0;
};

struct IMSVidTuner : IMSVidInputDevice {
    COM_INTERFACE(IMSVidTuner, IMSVidInputDevice)
    virtual HRESULT get_Tune(ITuneRequest** request) = 0;
    virtual HRESULT put_Tune(ITuneRequest* request) = 0;
};

struct IMSVidAnalogTuner : IMSVidTuner {
    COM_INTERFACE(IMSVidAnalogTuner, IMSVidTuner)
    // The channel (or auxiliary input) of the current tune request.
    virtual HRESULT get_Channel(LONG* channel) = 0;
    virtual HRESULT put_Channel(LONG channel) = 0;
    // Whether the tuner, on `channel`, receives a signal; strength 0..100.
    virtual HRESULT ChannelAvailable(LONG channel, LONG* strength, VARIANT_BOOL* present) = 0;
};

struct IMSVidOutputDevice : IMSVidDevice {
    COM_INTERFACE(IMSVidOutputDevice, IMSVidDevice)
};

struct IMSVidFeature : IMSVidDevice {
    COM_INTERFACE(IMSVidFeature, IMSVidDevice)
};

struct IMSVidEncoder : IMSVidFeature {
    COM_INTERFACE(IMSVidEncoder, IMSVidFeature)
};

// What a device brings into the control's graph: one filter. An input device's filter has the
// signal on an output pin; a feature's filter takes it on its input pin and gives it on an
// output pin; an output device's filter takes it on an input pin. The control connects them
// in that order when it builds; an output that writes a transport stream has an input pin of
// major type MEDIATYPE_Stream, subtype MEDIASUBTYPE_MPEG2_TRANSPORT.
struct IMSVidGraphSegment : IUnknown {
    COM_INTERFACE(IMSVidGraphSegment, IUnknown)
    virtual HRESULT get_Filter(IBaseFilter** filter) = 0;
};

// A collection of devices, indexed by a VT_I4 variant (0 first).
template <class I>
struct IMSVidDeviceCollection : IUnknown {
    virtual HRESULT get_Count(LONG* count) = 0;
    virtual HRESULT get_Item(VARIANT index, I** item) = 0;
    virtual HRESULT Add(I* item) = 0;
    virtual HRESULT Remove(VARIANT index) = 0;
};

struct IMSVidInputDevices : IMSVidDeviceCollection<IMSVidInputDevice> {
    COM_INTERFACE(IMSVidInputDevices, IUnknown)
};
struct IMSVidOutputDevices : IMSVidDeviceCollection<IMSVidOutputDevice> {
    COM_INTERFACE(IMSVidOutputDevices, IUnknown)
};
struct IMSVidFeatures : IMSVidDeviceCollection<IMSVidFeature> {
    COM_INTERFACE(IMSVidFeatures, IUnknown)
};

struct IMSVidGraphSegmentContainer : IUnknown {
    COM_INTERFACE(IMSVidGraphSegmentContainer, IUnknown)
    virtual HRESULT get_Graph(IGraphBuilder** graph) = 0;
};

struct IMSVidCtl : IUnknown {
    COM_INTERFACE(IMSVidCtl, IUnknown)
    virtual HRESULT get_State(MSVidCtlStateList* state) = 0;
    virtual HRESULT get_Enabled(VARIANT_BOOL* enabled) = 0;
    virtual HRESULT put_Enabled(VARIANT_BOOL enabled) = 0;
    virtual HRESULT DisableAudio() = 0;
    virtual HRESULT DisableVideo() = 0;
    // The input devices of one device category (KSCATEGORY_BDA_NETWORK_TUNER, KSCATEGORY_TVTUNER).
    virtual HRESULT _InputsAvailable(const GUID* category, IMSVidInputDevices** inputs) = 0;
    // GUID_NULL or null: every output device.
    virtual HRESULT _OutputsAvailable(const GUID* category, IMSVidOutputDevices** outputs) = 0;
    virtual HRESULT get_FeaturesAvailable(IMSVidFeatures** features) = 0;
    virtual HRESULT get_InputActive(IMSVidInputDevice** input) = 0;
    virtual HRESULT put_InputActive(IMSVidInputDevice* input) = 0;
    virtual HRESULT get_OutputsActive(IMSVidOutputDevices** outputs) = 0;
    virtual HRESULT put_OutputsActive(IMSVidOutputDevices* outputs) = 0;
    virtual HRESULT get_FeaturesActive(IMSVidFeatures** features) = 0;
    virtual HRESULT put_FeaturesActive(IMSVidFeatures* features) = 0;
    // Tunes the active input.
    virtual HRESULT View(VARIANT* v) = 0;
    virtual HRESULT Build() = 0;
    virtual HRESULT Run() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Decompose() = 0;
};
