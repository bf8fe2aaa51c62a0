#include "platform/graph/BaseInputPin.h"

#include "platform/graph/BaseFilter.h"
#include "platform/graph/MemAllocator.h"

CBaseInputPin::CBaseInputPin(CBaseFilter* filter, std::recursive_mutex* lock, const wchar_t* name)
    : CBasePin(filter, lock, name, PINDIR_INPUT) {}

HRESULT CBaseInputPin::QueryInterfaceExtra(REFIID riid, void** ppv) {
    if (riid == IID_IMemInputPin) {
        *ppv = static_cast<IMemInputPin*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT CBaseInputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(*m_lock);
    if (!m_allocator) m_allocator.Attach(CreateComObject<CMemAllocator>());
    return m_allocator.CopyTo(allocator);
}

HRESULT CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
    if (!allocator) return E_POINTER;
    std::lock_guard<std::recursive_mutex> guard(*m_lock);
    m_allocator = allocator;
    m_readOnly = readOnly != 0;
    return S_OK;
}

HRESULT CBaseInputPin::Receive(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    if (m_filter->IsStopped()) return VFW_E_WRONG_STATE;
    if (m_flushing.load()) return S_FALSE;
    AM_MEDIA_TYPE* carried = nullptr;
    if (sample->GetMediaType(&carried) == S_OK && carried) {
        CMediaType type(*carried);
        DeleteMediaType(carried);
        HRESULT hr = CheckMediaType(&type);
        if (hr != S_OK) return VFW_E_INVALIDMEDIATYPE;
        SetMediaType(&type);
    }
    return S_OK;
}

HRESULT CBaseInputPin::BeginFlush() {
    m_flushing = true;
    return S_OK;
}

HRESULT CBaseInputPin::EndFlush() {
    m_flushing = false;
    return S_OK;
}

HRESULT CBaseInputPin::BreakConnect() {
    m_allocator = nullptr;
    return S_OK;
}
