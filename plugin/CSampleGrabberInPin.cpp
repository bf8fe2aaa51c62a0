#include "plugin/CSampleGrabberInPin.h"

#include "plugin/CSampleGrabber.h"

CSampleGrabberInPin::CSampleGrabberInPin(CSampleGrabber* grabber, std::recursive_mutex* lock, HRESULT* result)
    : CTransInPlaceInputPin(grabber, lock, L"Input"), m_grabber(grabber) {
    if (result) *result = S_OK;
}

HRESULT CSampleGrabberInPin::SetMediaType(const CMediaType* mt) {
    m_typeChanged = 1;
    return CTransInPlaceInputPin::SetMediaType(mt);
}

HRESULT CSampleGrabberInPin::GetMediaType(int position, CMediaType* mt) {
    if (position < 0) return E_INVALIDARG;
    if (position >= CSampleGrabber::kAcceptedCount) return VFW_S_NO_MORE_ITEMS;
    if (!mt) return E_POINTER;
    return m_grabber->AcceptedType(position, mt) ? S_OK : VFW_S_NO_MORE_ITEMS;
}
