// Base of output pins: allocator agreement with the downstream input and sample delivery.
#pragma once

#include "platform/graph/BasePin.h"

class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name);

    HRESULT CheckConnect(IPin* peer) override;
    HRESULT CompleteConnect(IPin* peer) override;
    HRESULT BreakConnect() override;
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Sizes the buffers of the agreed allocator.
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT DecideAllocator(IMemInputPin* input, IMemAllocator** allocator);

    HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags);
    HRESULT Deliver(IMediaSample* sample);
    HRESULT DeliverEndOfStream();
    // Flushing and segments travel downstream through the connected input pin.
    HRESULT DeliverBeginFlush();
    HRESULT DeliverEndFlush();
    HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    IMemAllocator* Allocator() const { return m_allocator.Get(); }

protected:
    ComPtr<IMemInputPin> m_input;
    ComPtr<IMemAllocator> m_allocator;
};
