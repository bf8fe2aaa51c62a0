// The tuning model: tuning spaces, tune requests, locators, the tuner, and the BDA topology
// with its signal statistics; identifiers with the platform's values.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

#define BDA_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

BDA_GUID(CLSID_SystemTuningSpaces, 0xD02AAC50, 0x027E, 0x11D3, 0x9D, 0x8E, 0x00, 0xC0, 0x4F, 0x72, 0xD9,
         0x80);
BDA_GUID(CLSID_ATSCLocator, 0x8872FF1B, 0x98FA, 0x4D7A, 0x8D, 0x93, 0xC9, 0xF1, 0x05, 0x5F, 0x85, 0xBB);
BDA_GUID(CLSID_DVBTLocator, 0x9CD64701, 0xBDF3, 0x4D14, 0x8E, 0x03, 0xF1, 0x29, 0x83, 0xD8, 0x66, 0x64);

BDA_GUID(IID_ITuningSpaceContainer, 0x5B692E84, 0xE2F1, 0x11D2, 0x94, 0x93, 0x00, 0xC0, 0x4F, 0x72, 0xD9,
         0x80);
BDA_GUID(IID_IEnumTuningSpaces, 0x8B8EB248, 0xFC2B, 0x11D2, 0x9D, 0x8C, 0x00, 0xC0, 0x4F, 0x72, 0xD9, 0x80);
BDA_GUID(IID_ITuningSpace, 0x061C6E30, 0xE622, 0x11D2, 0x94, 0x93, 0x00, 0xC0, 0x4F, 0x72, 0xD9, 0x80);
BDA_GUID(IID_IAnalogTVTuningSpace, 0x2A6E293C, 0x2595, 0x11D3, 0xB6, 0x4C, 0x00, 0xC0, 0x4F, 0x79, 0x49,
         0x8E);
BDA_GUID(IID_IAuxInTuningSpace, 0xE48244B8, 0x7E17, 0x4F76, 0xA7, 0x63, 0x50, 0x90, 0xFF, 0x1E, 0x2F, 0x30);
BDA_GUID(IID_IATSCTuningSpace, 0x0369B4E2, 0x45B6, 0x11D3, 0xB6, 0x50, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
BDA_GUID(IID_IDVBTuningSpace, 0xADA0B268, 0x3B19, 0x4E5B, 0xAC, 0xC4, 0x49, 0xF8, 0x52, 0xBE, 0x13, 0xBA);
BDA_GUID(IID_IDVBTuningSpace2, 0x843188B4, 0xCE62, 0x43DB, 0x96, 0x6B, 0x81, 0x45, 0xA0, 0x94, 0xE0, 0x40);
BDA_GUID(IID_ITuneRequest, 0x07DDC146, 0xFC3D, 0x11D2, 0x9D, 0x8C, 0x00, 0xC0, 0x4F, 0x72, 0xD9, 0x80);
BDA_GUID(IID_IChannelTuneRequest, 0x0369B4E0, 0x45B6, 0x11D3, 0xB6, 0x50, 0x00, 0xC0, 0x4F, 0x79, 0x49, 0x8E);
BDA_GUID(IID_IATSCChannelTuneRequest, 0x0369B4E1, 0x45B6, 0x11D3, 0xB6, 0x50, 0x00, 0xC0, 0x4F, 0x79, 0x49,
         0x8E);
BDA_GUID(IID_IDVBTuneRequest, 0x0D6F567E, 0xA636, 0x42BB, 0x83, 0xBA, 0xCE, 0x4C, 0x17, 0x04, 0xAF, 0xA2);
BDA_GUID(IID_ILocator, 0x286D7F89, 0x760C, 0x4F89, 0x80, 0xC4, 0x66, 0x84, 0x1D, 0x25, 0x07, 0xAA);
BDA_GUID(IID_IDigitalLocator, 0x19B595D8, 0x839A, 0x47F0, 0x96, 0xDF, 0x4F, 0x19, 0x4F, 0x3C, 0x6F, 0x43);
BDA_GUID(IID_IATSCLocator, 0xBF8D986F, 0x8C2B, 0x4131, 0x94, 0xD7, 0x4D, 0x3D, 0x9F, 0xCC, 0x21, 0xEF);
BDA_GUID(IID_IDVBTLocator, 0x8664DA16, 0xDDA2, 0x42AC, 0x92, 0x6A, 0xC1, 0x8F, 0x91, 0x27, 0xC3, 0x02);
BDA_GUID(IID_ITuner, 0x28C52640, 0x018A, 0x11D3, 0x9D, 0x8E, 0x00, 0xC0, 0x4F, 0x72, 0xD9, 0x80);
BDA_GUID(IID_IBDA_Topology, 0x79B56888, 0x7FEA, 0x4690, 0xB4, 0x5D, 0x38, 0xFD, 0x3C, 0x78, 0x49, 0xBE);
BDA_GUID(IID_IBDA_SignalStatistics, 0x1347D106, 0xCF3A, 0x428A, 0xA5, 0xCB, 0xAC, 0x0D, 0x9A, 0x2A, 0x43,
         0x38);

using BOOLEAN = uint8_t;

enum TunerInputType : LONG { TunerInputCable = 0, TunerInputAntenna = 1 };

struct ILocator;
struct ITuneRequest;

struct ITuningSpace : IUnknown {
    COM_INTERFACE(ITuningSpace, IUnknown)
    virtual HRESULT get_UniqueName(BSTR* name) = 0;
    virtual HRESULT get_FriendlyName(BSTR* name) = 0;
    virtual HRESULT get__NetworkType(GUID* type) = 0;
    virtual HRESULT put__NetworkType(REFGUID type) = 0;
    virtual HRESULT CreateTuneRequest(ITuneRequest** request) = 0;
    virtual HRESULT get_DefaultLocator(ILocator** locator) = 0;
    virtual HRESULT put_DefaultLocator(ILocator* locator) = 0;
};

struct IAnalogTVTuningSpace : ITuningSpace {
    COM_INTERFACE(IAnalogTVTuningSpace, ITuningSpace)
    virtual HRESULT get_MinChannel(LONG* channel) = 0;
    virtual HRESULT get_MaxChannel(LONG* channel) = 0;
    virtual HRESULT get_InputType(TunerInputType* type) = 0;
    virtual HRESULT put_InputType(TunerInputType type) = 0;
    virtual HRESULT get_CountryCode(LONG* code) = 0;
    virtual HRESULT put_CountryCode(LONG code) = 0;
};

// An auxiliary video input (composite, S-video) of an analog card; its "channel" is the input.
struct IAuxInTuningSpace : ITuningSpace {
    COM_INTERFACE(IAuxInTuningSpace, ITuningSpace)
};

struct IATSCTuningSpace : ITuningSpace {
    COM_INTERFACE(IATSCTuningSpace, ITuningSpace)
    virtual HRESULT get_MinPhysicalChannel(LONG* channel) = 0;
    virtual HRESULT get_MaxPhysicalChannel(LONG* channel) = 0;
};

struct IDVBTuningSpace : ITuningSpace {
    COM_INTERFACE(IDVBTuningSpace, ITuningSpace)
    virtual HRESULT get_SystemType(LONG* type) = 0;
};

struct IDVBTuningSpace2 : IDVBTuningSpace {
    COM_INTERFACE(IDVBTuningSpace2, IDVBTuningSpace)
    virtual HRESULT get_NetworkID(LONG* id) = 0;
    virtual HRESULT put_NetworkID(LONG id) = 0;
};

struct IEnumTuningSpaces : IUnknown {
    COM_INTERFACE(IEnumTuningSpaces, IUnknown)
    // S_OK when all celt were handed out, S_FALSE when fewer.
    virtual HRESULT Next(ULONG celt, ITuningSpace** out, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumTuningSpaces** out) = 0;
};

struct ITuningSpaceContainer : IUnknown {
    COM_INTERFACE(ITuningSpaceContainer, IUnknown)
    virtual HRESULT get_Count(LONG* count) = 0;
    virtual HRESULT get_EnumTuningSpaces(IEnumTuningSpaces** out) = 0;
};

// Where a signal is: carrier frequency (kHz), and per system the physical channel or bandwidth.
// -1 means "not given".
struct ILocator : IUnknown {
    COM_INTERFACE(ILocator, IUnknown)
    virtual HRESULT get_CarrierFrequency(LONG* frequency) = 0;
    virtual HRESULT put_CarrierFrequency(LONG frequency) = 0;
    virtual HRESULT Clone(ILocator** out) = 0;
};

struct IDigitalLocator : ILocator {
    COM_INTERFACE(IDigitalLocator, ILocator)
};

struct IATSCLocator : IDigitalLocator {
    COM_INTERFACE(IATSCLocator, IDigitalLocator)
    virtual HRESULT get_PhysicalChannel(LONG* channel) = 0;
    virtual HRESULT put_PhysicalChannel(LONG channel) = 0;
};

struct IDVBTLocator : IDigitalLocator {
    COM_INTERFACE(IDVBTLocator, IDigitalLocator)
    virtual HRESULT get_Bandwidth(LONG* mhz) = 0;
    virtual HRESULT put_Bandwidth(LONG mhz) = 0;
};

struct ITuneRequest : IUnknown {
    COM_INTERFACE(ITuneRequest, IUnknown)
    virtual HRESULT get_TuningSpace(ITuningSpace** space) = 0;
    virtual HRESULT get_Locator(ILocator** locator) = 0;
    virtual HRESULT put_Locator(ILocator* locator) = 0;
    virtual HRESULT Clone(ITuneRequest** out) = 0;
};

struct IChannelTuneRequest : ITuneRequest {
    COM_INTERFACE(IChannelTuneRequest, ITuneRequest)
    virtual HRESULT get_Channel(LONG* channel) = 0;
    virtual HRESULT put_Channel(LONG channel) = 0;
};

struct IATSCChannelTuneRequest : IChannelTuneRequest {
    COM_INTERFACE(IATSCChannelTuneRequest, IChannelTuneRequest)
    virtual HRESULT get_MinorChannel(LONG* channel) = 0;
    virtual HRESULT put_MinorChannel(LONG channel) = 0;
};

struct IDVBTuneRequest : ITuneRequest {
    COM_INTERFACE(IDVBTuneRequest, ITuneRequest)
    virtual HRESULT get_ONID(LONG* id) = 0;
    virtual HRESULT put_ONID(LONG id) = 0;
    virtual HRESULT get_TSID(LONG* id) = 0;
    virtual HRESULT put_TSID(LONG id) = 0;
    virtual HRESULT get_SID(LONG* id) = 0;
    virtual HRESULT put_SID(LONG id) = 0;
};

// Takes tune requests and puts the hardware on them.
struct ITuner : IUnknown {
    COM_INTERFACE(ITuner, IUnknown)
    virtual HRESULT get_TuneRequest(ITuneRequest** request) = 0;
    virtual HRESULT put_TuneRequest(ITuneRequest* request) = 0;
    virtual HRESULT Validate(ITuneRequest* request) = 0;
};

struct IBDA_Topology : IUnknown {
    COM_INTERFACE(IBDA_Topology, IUnknown)
    // Up to maxTypes node type ids; *count is how many there are.
    virtual HRESULT GetNodeTypes(ULONG* count, ULONG maxTypes, ULONG types[]) = 0;
    // The control node of nodeType between the two pins; E_INVALIDARG for an unknown node type.
    virtual HRESULT GetControlNode(ULONG inputPinId, ULONG outputPinId, ULONG nodeType, IUnknown** node) = 0;
};

// Strength in the platform's units (here 0..100), quality 0..100.
struct IBDA_SignalStatistics : IUnknown {
    COM_INTERFACE(IBDA_SignalStatistics, IUnknown)
    virtual HRESULT get_SignalStrength(LONG* strength) = 0;
    virtual HRESULT get_SignalQuality(LONG* quality) = 0;
    virtual HRESULT get_SignalPresent(BOOLEAN* present) = 0;
    virtual HRESULT get_SignalLocked(BOOLEAN* locked) = 0;
};

// Compares two strings as the platform does (a null string is empty): VARCMP_EQ when equal.
constexpr HRESULT VARCMP_LT = 0;
constexpr HRESULT VARCMP_EQ = 1;
constexpr HRESULT VARCMP_GT = 2;
constexpr HRESULT VARCMP_NULL = 3;
HRESULT VarBstrCmp(BSTR left, BSTR right, ULONG lcid, ULONG flags);
