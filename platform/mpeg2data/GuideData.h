// Guide-data notices of the transport information filter, and the connection points through
// which a sink subscribes to them.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

// {B196B284-BAB4-101A-B69C-00AA00341D07}
constexpr IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// {B196B286-BAB4-101A-B69C-00AA00341D07}
constexpr IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// {EFDA0C80-F395-42C3-9B3C-56B37DEC7BB7}
constexpr IID IID_IGuideDataEvent = {
    0xEFDA0C80, 0xF395, 0x42C3, {0x9B, 0x3C, 0x56, 0xB3, 0x7D, 0xEC, 0x7B, 0xB7}};

// An advise on a sink that does not offer the point's interface.
constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHResult(0x80040202u);
// An unadvise with a cookie the point never gave out (or already took back).
constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHResult(0x80040200u);

// The notices. Every one but GuideDataAcquired names the item in a variant.
struct IGuideDataEvent : IUnknown {
    COM_INTERFACE(IGuideDataEvent, IUnknown)
    virtual HRESULT GuideDataAcquired() = 0;
    virtual HRESULT ProgramChanged(VARIANT programId) = 0;
    virtual HRESULT ServiceChanged(VARIANT serviceId) = 0;
    virtual HRESULT ScheduleEntryChanged(VARIANT entryId) = 0;
    virtual HRESULT ProgramDeleted(VARIANT programId) = 0;
    virtual HRESULT ServiceDeleted(VARIANT serviceId) = 0;
    virtual HRESULT ScheduleDeleted(VARIANT entryId) = 0;
};

struct IConnectionPoint : IUnknown {
    COM_INTERFACE(IConnectionPoint, IUnknown)
    // The sink is asked for the point's interface and held until Unadvise. The cookie is never 0.
    virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
    // Once this returns, the sink is released and no notice of this point is being delivered to it
    // (except one the caller is handling itself, when it unadvises from inside a notice).
    virtual HRESULT Unadvise(DWORD cookie) = 0;
};

struct IConnectionPointContainer : IUnknown {
    COM_INTERFACE(IConnectionPointContainer, IUnknown)
    virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) = 0;
};
