#include "platform/graph/TransInPlaceFilter.h"

#include <cstring>

CTransInPlaceFilter::CTransInPlaceFilter(const wchar_t* objectName, const CLSID& clsid, bool modifiesData)
    : CTransformFilter(objectName, clsid), m_modifiesData(modifiesData) {
    EnsurePins();
}

void CTransInPlaceFilter::EnsurePins() {
    if (!m_pInput) m_pInput = std::make_unique<CTransInPlaceInputPin>(this, &m_filterLock, L"Input");
    if (!m_pOutput) m_pOutput = std::make_unique<CTransInPlaceOutputPin>(this, &m_filterLock, L"Output");
}

HRESULT CTransInPlaceFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
    if (!in || !out) return E_POINTER;
    return in->majortype == out->majortype && in->subtype == out->subtype ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CTransInPlaceFilter::GetMediaType(int position, CMediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (position > 0 || !InputPin()->IsConnected()) return VFW_S_NO_MORE_ITEMS;
    *mt = InputPin()->CurrentMediaType();
    return S_OK;
}

HRESULT CTransInPlaceFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) {
    // Only used when downstream refused the shared allocator: size like the input's.
    ALLOCATOR_PROPERTIES want{1, 1, 1, 0};
    if (IMemAllocator* in = InputPin()->Allocator()) in->GetProperties(&want);
    if (want.cbBuffer < 1) want.cbBuffer = 1;
    return allocator->SetProperties(&want, props);
}

HRESULT CTransInPlaceFilter::Copy(IMediaSample* source, IMediaSample** copy) {
    ComPtr<IMediaSample> out;
    HRESULT hr = OutputPin()->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    LONG len = source->GetActualDataLength();
    if (len > out->GetSize()) return VFW_E_BUFFER_OVERFLOW;
    BYTE* from = nullptr;
    BYTE* to = nullptr;
    source->GetPointer(&from);
    out->GetPointer(&to);
    if (len > 0 && from && to) std::memcpy(to, from, static_cast<size_t>(len));
    out->SetActualDataLength(len);
    REFERENCE_TIME start = 0, end = 0;
    hr = source->GetTime(&start, &end);
    if (hr == S_OK)
        out->SetTime(&start, &end);
    else if (hr == VFW_S_NO_STOP_TIME)
        out->SetTime(&start, nullptr);
    out->SetSyncPoint(source->IsSyncPoint() == S_OK);
    out->SetDiscontinuity(source->IsDiscontinuity() == S_OK);
    out->SetPreroll(source->IsPreroll() == S_OK);
    *copy = out.Detach();
    return S_OK;
}

HRESULT CTransInPlaceFilter::Receive(IMediaSample* sample) {
    ComPtr<IMediaSample> work(sample);
    CBaseOutputPin* out = OutputPin();
    if (out->IsConnected() && out->Allocator() != InputPin()->Allocator()) {
        HRESULT hr = Copy(sample, &work);
        if (FAILED(hr)) return hr;
    }
    HRESULT hr = Transform(work.Get());
    if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
    if (!out->IsConnected()) return S_OK;
    return out->Deliver(work.Get());
}

CTransInPlaceInputPin::CTransInPlaceInputPin(CTransInPlaceFilter* filter, std::recursive_mutex* lock,
                                             const wchar_t* name)
    : CTransformInputPin(filter, lock, name), m_inPlace(filter) {}

HRESULT CTransInPlaceInputPin::EnumMediaTypes(IEnumMediaTypes** out) {
    CBaseOutputPin* output = m_inPlace->OutputPin();
    if (output->IsConnected()) return output->GetConnected()->EnumMediaTypes(out);
    return CTransformInputPin::EnumMediaTypes(out);
}

HRESULT CTransInPlaceInputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator) return E_POINTER;
    CBaseOutputPin* output = m_inPlace->OutputPin();
    if (output->IsConnected()) {
        ComPtr<IMemInputPin> downstream;
        if (SUCCEEDED(output->GetConnected()->QueryInterface(IID_IMemInputPin,
                                                             reinterpret_cast<void**>(&downstream))))
            return downstream->GetAllocator(allocator);
    }
    return CTransformInputPin::GetAllocator(allocator);
}

HRESULT CTransInPlaceInputPin::CheckMediaType(const CMediaType* mt) {
    HRESULT hr = m_inPlace->CheckInputType(mt);
    if (hr != S_OK) return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    CBaseOutputPin* output = m_inPlace->OutputPin();
    if (output->IsConnected())
        return output->GetConnected()->QueryAccept(mt) == S_OK ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

CTransInPlaceOutputPin::CTransInPlaceOutputPin(CTransInPlaceFilter* filter, std::recursive_mutex* lock,
                                               const wchar_t* name)
    : CTransformOutputPin(filter, lock, name) {}

HRESULT CTransInPlaceOutputPin::EnumMediaTypes(IEnumMediaTypes** out) {
    // Offer what the upstream filter could give, so downstream can choose among those.
    CBaseInputPin* input = m_transform->InputPin();
    if (!input->IsConnected()) return VFW_E_NOT_CONNECTED;
    return CTransformOutputPin::EnumMediaTypes(out);
}

HRESULT CTransInPlaceOutputPin::DecideAllocator(IMemInputPin* input, IMemAllocator** allocator) {
    IMemAllocator* shared = m_transform->InputPin()->Allocator();
    if (shared && SUCCEEDED(input->NotifyAllocator(shared, 0))) {
        shared->AddRef();
        *allocator = shared;
        return S_OK;
    }
    return CTransformOutputPin::DecideAllocator(input, allocator);
}
