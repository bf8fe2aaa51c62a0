#include "platform/graph/TransformFilter.h"

#include "platform/graph/TransformInputPin.h"
#include "platform/graph/TransformOutputPin.h"

CTransformFilter::CTransformFilter(const wchar_t* objectName, const CLSID& clsid)
    : CBaseFilter(objectName, clsid) {}

CTransformFilter::~CTransformFilter() = default;

CBaseInputPin* CTransformFilter::InputPin() {
    if (!m_pInput) m_pInput = std::make_unique<CTransformInputPin>(this, &m_filterLock, L"XForm In");
    return m_pInput.get();
}

CBaseOutputPin* CTransformFilter::OutputPin() {
    if (!m_pOutput) m_pOutput = std::make_unique<CTransformOutputPin>(this, &m_filterLock, L"XForm Out");
    return m_pOutput.get();
}

CBasePin* CTransformFilter::GetPin(int n) {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (n == 0) return InputPin();
    if (n == 1) return OutputPin();
    return nullptr;
}

HRESULT CTransformFilter::Receive(IMediaSample* sample) {
    if (!OutputPin()->IsConnected()) return S_OK;
    ComPtr<IMediaSample> out;
    HRESULT hr = OutputPin()->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    hr = Transform(sample, out.Get());
    if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
    return OutputPin()->Deliver(out.Get());
}

HRESULT CTransformFilter::Transform(IMediaSample*, IMediaSample*) {
    return E_UNEXPECTED;
}

HRESULT CTransformFilter::EndOfStream() {
    if (!OutputPin()->IsConnected()) return S_OK;
    return OutputPin()->DeliverEndOfStream();
}

HRESULT CTransformFilter::BeginFlush() {
    return OutputPin()->IsConnected() ? OutputPin()->DeliverBeginFlush() : S_OK;
}

HRESULT CTransformFilter::EndFlush() {
    return OutputPin()->IsConnected() ? OutputPin()->DeliverEndFlush() : S_OK;
}

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return OutputPin()->IsConnected() ? OutputPin()->DeliverNewSegment(start, stop, rate) : S_OK;
}
