#include "platform/graph/TransformInputPin.h"

#include "platform/graph/TransformFilter.h"

CTransformInputPin::CTransformInputPin(CTransformFilter* filter, std::recursive_mutex* lock,
                                       const wchar_t* name)
    : CBaseInputPin(filter, lock, name), m_transform(filter) {}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* mt) {
    HRESULT hr = m_transform->CheckInputType(mt);
    if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    // A connected output must still fit the new input.
    CBaseOutputPin* out = m_transform->OutputPin();
    if (out->IsConnected()) return m_transform->CheckTransform(mt, &out->CurrentMediaType());
    return S_OK;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* mt) {
    HRESULT hr = CBaseInputPin::SetMediaType(mt);
    return FAILED(hr) ? hr : m_transform->SetMediaType(PINDIR_INPUT, mt);
}

HRESULT CTransformInputPin::CompleteConnect(IPin* peer) {
    HRESULT hr = CBaseInputPin::CompleteConnect(peer);
    return FAILED(hr) ? hr : m_transform->CompleteConnect(PINDIR_INPUT, peer);
}

HRESULT CTransformInputPin::BreakConnect() {
    m_transform->BreakConnect(PINDIR_INPUT);
    return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::Receive(IMediaSample* sample) {
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    return m_transform->Receive(sample);
}

HRESULT CTransformInputPin::EndOfStream() {
    if (m_filter->IsStopped()) return VFW_E_WRONG_STATE;
    return m_transform->EndOfStream();
}

HRESULT CTransformInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    return m_transform->BeginFlush();
}

HRESULT CTransformInputPin::EndFlush() {
    HRESULT hr = m_transform->EndFlush();
    CBaseInputPin::EndFlush();
    return hr;
}

HRESULT CTransformInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    CBaseInputPin::NewSegment(start, stop, rate);
    return m_transform->NewSegment(start, stop, rate);
}
