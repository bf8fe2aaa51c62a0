#include "platform/graph/TransformOutputPin.h"

#include "platform/graph/TransformFilter.h"

CTransformOutputPin::CTransformOutputPin(CTransformFilter* filter, std::recursive_mutex* lock,
                                         const wchar_t* name)
    : CBaseOutputPin(filter, lock, name), m_transform(filter) {}

HRESULT CTransformOutputPin::CheckConnect(IPin* peer) {
    // Output types follow from the input type, so the input connects first.
    if (!m_transform->InputPin()->IsConnected()) return E_UNEXPECTED;
    return CBaseOutputPin::CheckConnect(peer);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* mt) {
    CBaseInputPin* in = m_transform->InputPin();
    if (!in->IsConnected()) return E_UNEXPECTED;
    return m_transform->CheckTransform(&in->CurrentMediaType(), mt);
}

HRESULT CTransformOutputPin::GetMediaType(int position, CMediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (!m_transform->InputPin()->IsConnected()) return VFW_S_NO_MORE_ITEMS;
    return m_transform->GetMediaType(position, mt);
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* mt) {
    HRESULT hr = CBaseOutputPin::SetMediaType(mt);
    return FAILED(hr) ? hr : m_transform->SetMediaType(PINDIR_OUTPUT, mt);
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* peer) {
    HRESULT hr = CBaseOutputPin::CompleteConnect(peer);
    return FAILED(hr) ? hr : m_transform->CompleteConnect(PINDIR_OUTPUT, peer);
}

HRESULT CTransformOutputPin::BreakConnect() {
    m_transform->BreakConnect(PINDIR_OUTPUT);
    return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    return m_transform->DecideBufferSize(allocator, props);
}
