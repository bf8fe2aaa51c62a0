// Base of input pins: sample reception through IMemInputPin and the allocator the upstream
// pin delivers in.
#pragma once

#include <atomic>

#include "platform/graph/BasePin.h"

class CBaseInputPin : public CBasePin, public IMemInputPin {
public:
    CBaseInputPin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name);

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return CBasePin::QueryInterface(riid, ppv); }
    ULONG AddRef() override { return CBasePin::AddRef(); }
    ULONG Release() override { return CBasePin::Release(); }

    HRESULT GetAllocator(IMemAllocator** allocator) override;
    HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    // Checks the state and takes a type carried by the sample; derived pins call this first.
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }

    // While flushing, Receive refuses every sample with S_FALSE; derived pins pass the flush on
    // and drop what they hold.
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT BreakConnect() override;

    IMemAllocator* Allocator() const { return m_allocator.Get(); }
    bool IsReadOnly() const { return m_readOnly; }
    bool IsFlushing() const { return m_flushing.load(); }

protected:
    HRESULT QueryInterfaceExtra(REFIID riid, void** ppv) override;

    ComPtr<IMemAllocator> m_allocator;
    bool m_readOnly = false;
    std::atomic<bool> m_flushing{false};
};
