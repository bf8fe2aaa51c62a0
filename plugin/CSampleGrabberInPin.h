// Input pin of the sample grabber: proposes the grabber's accepted list and notes when its
// media type is set, so that the next sample is reported as a type change.
#pragma once

#include <atomic>

#include "platform/graph/TransInPlaceFilter.h"

class CSampleGrabber;

class CSampleGrabberInPin : public CTransInPlaceInputPin {
public:
    CSampleGrabberInPin(CSampleGrabber* grabber, std::recursive_mutex* lock, HRESULT* result);

    HRESULT SetMediaType(const CMediaType* mt) override;
    HRESULT GetMediaType(int position, CMediaType* mt) override;

    int TypeChanged() const { return m_typeChanged.load(); }
    void ClearTypeChanged() { m_typeChanged = 0; }

private:
    CSampleGrabber* m_grabber;
    std::atomic<int> m_typeChanged{0};
};
