// The connection point of the transport information filter: the sinks advised for guide-data
// notices and the delivery of a notice to each of them.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "platform/mpeg2data/GuideData.h"

class GuideDataConnectionPoint : public ComObject<IConnectionPoint> {
public:
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT Unadvise(DWORD cookie) override;

    bool hasSinks();
    // Calls ServiceChanged on every advised sink, on the calling thread. A sink unadvised by
    // another sink's notice is not called.
    void serviceChanged(LONG serviceId);

private:
    std::mutex m_lock;  // the sinks and the cookie counter
    // Held for the whole of a delivery; Unadvise from another thread takes it too, so that it
    // returns only when no notice is being delivered to the sink it removes.
    std::recursive_mutex m_delivery;
    std::vector<std::pair<DWORD, ComPtr<IGuideDataEvent>>> m_sinks;
    DWORD m_nextCookie = 1;
};
