// The system device enumerator's interfaces, identifiers and device categories.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

// {62BE5D10-60EB-11D0-BD3B-00A0C911CE86}
constexpr CLSID CLSID_SystemDeviceEnum = {
    0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// {29840822-5B84-11D0-BD3B-00A0C911CE86}
constexpr IID IID_ICreateDevEnum = {
    0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// {0000000F-0000-0000-C000-000000000046}
constexpr IID IID_IMoniker = {0x0000000F, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000102-0000-0000-C000-000000000046}
constexpr IID IID_IEnumMoniker = {
    0x00000102, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {55272A00-42CB-11CE-8135-00AA004BB851}
constexpr IID IID_IPropertyBag = {
    0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};

// Device categories.
// {71985F48-1CA1-11D3-9CC8-00C04F7971E0}
constexpr GUID KSCATEGORY_BDA_NETWORK_TUNER = {
    0x71985F48, 0x1CA1, 0x11D3, {0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0}};
// {FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}
constexpr GUID KSCATEGORY_BDA_RECEIVER_COMPONENT = {
    0xFD0A5AF4, 0xB41D, 0x11D2, {0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0}};
// {A799A800-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID KSCATEGORY_TVTUNER = {
    0xA799A800, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
constexpr GUID AM_KSCATEGORY_TVTUNER = KSCATEGORY_TVTUNER;
// {A799A801-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID AM_KSCATEGORY_CROSSBAR = {
    0xA799A801, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
// {A799A802-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID AM_KSCATEGORY_TVAUDIO = {
    0xA799A802, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
// {19689BF6-C384-48FD-AD51-90E58C79F70B}
constexpr GUID KSCATEGORY_ENCODER = {
    0x19689BF6, 0xC384, 0x48FD, {0xAD, 0x51, 0x90, 0xE5, 0x8C, 0x79, 0xF7, 0x0B}};
// {7A5DE1D3-01A1-452C-B481-4FA2B96271E8}
constexpr GUID KSCATEGORY_MULTIPLEXER = {
    0x7A5DE1D3, 0x01A1, 0x452C, {0xB4, 0x81, 0x4F, 0xA2, 0xB9, 0x62, 0x71, 0xE8}};
// {65E8773D-8F56-11D0-A3B9-00A0C9223196}
constexpr GUID KSCATEGORY_CAPTURE = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// {860BB310-5D01-11D0-BD3B-00A0C911CE86}
constexpr GUID CLSID_VideoInputDeviceCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// {33D9A762-90C8-11D0-BD43-00A0C911CE86}
constexpr GUID CLSID_AudioInputDeviceCategory = {
    0x33D9A762, 0x90C8, 0x11D0, {0xBD, 0x43, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

// A named set of values ("FriendlyName", "DevicePath") describing one device.
struct IPropertyBag : IUnknown {
    COM_INTERFACE(IPropertyBag, IUnknown)
    // Fills *var (VT_EMPTY on entry, or the wanted type) with a copy of the value.
    virtual HRESULT Read(LPCOLESTR propName, VARIANT* var, void* errorLog) = 0;
    virtual HRESULT Write(LPCOLESTR propName, VARIANT* var) = 0;
};

// Names one device; binds to its filter object or to its property bag. The bind context and
// left moniker are accepted for the platform's signature and ignored.
struct IMoniker : IUnknown {
    COM_INTERFACE(IMoniker, IUnknown)
    virtual HRESULT BindToObject(IUnknown* bindCtx, IMoniker* left, REFIID riid, void** ppv) = 0;
    virtual HRESULT BindToStorage(IUnknown* bindCtx, IMoniker* left, REFIID riid, void** ppv) = 0;
    // Out: a SysAllocString copy of the device path, the caller frees it.
    virtual HRESULT GetDisplayName(IUnknown* bindCtx, IMoniker* left, BSTR* name) = 0;
};

struct IEnumMoniker : IUnknown {
    COM_INTERFACE(IEnumMoniker, IUnknown)
    // S_OK when all celt were handed out, S_FALSE when fewer.
    virtual HRESULT Next(ULONG celt, IMoniker** out, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMoniker** out) = 0;
};

struct ICreateDevEnum : IUnknown {
    COM_INTERFACE(ICreateDevEnum, IUnknown)
    // S_OK with an enumerator, or S_FALSE and no enumerator when the category has no device.
    virtual HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD flags) = 0;
};
