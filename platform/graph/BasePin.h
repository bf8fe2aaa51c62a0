// Base of every pin: connection, media type negotiation and enumeration. A pin lives inside
// its filter and shares the filter's reference count, so holding a pin keeps the filter.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/graph/GraphInterfaces.h"

class CBaseFilter;

class CBasePin : public ComObject<IPin> {
public:
    CBasePin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name, PIN_DIRECTION dir);
    ~CBasePin() override;

    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override;
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* dir) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* mt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** out) override;
    HRESULT EndOfStream() override { return S_OK; }
    HRESULT BeginFlush() override { return S_OK; }
    HRESULT EndFlush() override { return S_OK; }
    // Keeps the segment: times of the samples that follow count from `start` in the source.
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // Negotiation hooks.
    virtual HRESULT CheckMediaType(const CMediaType* mt) = 0;
    // S_OK with the type at position, VFW_S_NO_MORE_ITEMS past the end, E_INVALIDARG below 0.
    virtual HRESULT GetMediaType(int position, CMediaType* mt);
    virtual HRESULT SetMediaType(const CMediaType* mt);
    virtual HRESULT CheckConnect(IPin* peer);
    virtual HRESULT CompleteConnect(IPin* peer);
    virtual HRESULT BreakConnect() { return S_OK; }

    // State hooks, called by the filter for connected pins.
    virtual HRESULT Active() { return S_OK; }
    virtual HRESULT Run(REFERENCE_TIME) { return S_OK; }
    virtual HRESULT Inactive() { return S_OK; }

    bool IsConnected() const { return m_connected.Get() != nullptr; }
    IPin* GetConnected() const { return m_connected.Get(); }
    const CMediaType& CurrentMediaType() const { return m_mt; }
    const std::wstring& Name() const { return m_name; }
    PIN_DIRECTION Direction() const { return m_dir; }
    CBaseFilter* Filter() const { return m_filter; }
    REFERENCE_TIME SegmentStart() const { return m_segmentStart.load(); }

protected:
    HRESULT AttemptConnection(IPin* receivePin, const CMediaType& mt);
    // Tries every type of the enumerator that fits the partial type mt.
    HRESULT TryMediaTypes(IPin* receivePin, const AM_MEDIA_TYPE* mt, IEnumMediaTypes* types);

    CBaseFilter* m_filter;
    std::recursive_mutex* m_lock;
    std::wstring m_name;
    PIN_DIRECTION m_dir;
    ComPtr<IPin> m_connected;
    CMediaType m_mt;
    std::atomic<REFERENCE_TIME> m_segmentStart{0};
    std::atomic<REFERENCE_TIME> m_segmentStop{0x7FFFFFFFFFFFFFFF};
    std::atomic<double> m_rate{1.0};
};

// Walks a pin's GetMediaType list.
class CEnumMediaTypes : public ComObject<IEnumMediaTypes> {
public:
    explicit CEnumMediaTypes(CBasePin* pin, int position = 0) : m_pin(pin), m_position(position) {}

    HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumMediaTypes** out) override;

private:
    ComPtr<CBasePin> m_pin;
    int m_position;
};
