#include "platform/graph/BaseOutputPin.h"

#include "platform/graph/BaseFilter.h"
#include "platform/graph/MemAllocator.h"

CBaseOutputPin::CBaseOutputPin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name)
    : CBasePin(filter, lock, name, PINDIR_OUTPUT) {}

HRESULT CBaseOutputPin::CheckConnect(IPin* peer) {
    HRESULT hr = CBasePin::CheckConnect(peer);
    if (FAILED(hr)) return hr;
    ComPtr<IMemInputPin> input;
    hr = peer->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    return FAILED(hr) ? E_NOINTERFACE : S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin* peer) {
    HRESULT hr = peer->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_input));
    if (FAILED(hr)) return hr;
    hr = DecideAllocator(m_input.Get(), &m_allocator);
    if (FAILED(hr)) m_input = nullptr;
    return hr;
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) {
    ALLOCATOR_PROPERTIES props{};
    ComPtr<IMemAllocator> candidate;
    HRESULT hr = input->GetAllocator(&candidate);
    if (SUCCEEDED(hr) && candidate) {
        hr = DecideBufferSize(candidate.Get(), &props);
        if (SUCCEEDED(hr)) hr = input->NotifyAllocator(candidate.Get(), 0);
        if (SUCCEEDED(hr)) return candidate.CopyTo(allocator);
    }
    candidate.Attach(CreateComObject<CMemAllocator>());
    hr = DecideBufferSize(candidate.Get(), &props);
    if (SUCCEEDED(hr)) hr = input->NotifyAllocator(candidate.Get(), 0);
    if (FAILED(hr)) return hr;
    return candidate.CopyTo(allocator);
}

HRESULT CBaseOutputPin::BreakConnect() {
    if (m_allocator) m_allocator->Decommit();
    m_allocator = nullptr;
    m_input = nullptr;
    return S_OK;
}

HRESULT CBaseOutputPin::Active() {
    return m_allocator ? m_allocator->Commit() : VFW_E_NO_ALLOCATOR;
}

HRESULT CBaseOutputPin::Inactive() {
    if (m_allocator) m_allocator->Decommit();
    return S_OK;
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                          DWORD flags) {
    if (!m_allocator) return VFW_E_NO_ALLOCATOR;
    return m_allocator->GetBuffer(sample, start, end, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
    if (!m_input) return VFW_E_NOT_CONNECTED;
    return m_input->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
    if (!m_connected) return VFW_E_NOT_CONNECTED;
    return m_connected->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
    ComPtr<IPin> peer = m_connected;
    return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
    ComPtr<IPin> peer = m_connected;
    return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    NewSegment(start, stop, rate);
    ComPtr<IPin> peer = m_connected;
    return peer ? peer->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}
