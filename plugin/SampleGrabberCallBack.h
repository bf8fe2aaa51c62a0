// How the sample grabbers hand samples to the plug-in, on the graph's streaming threads.
#pragma once

#include "platform/com/Types.h"

enum GrabberStreamId : LONG { kAudioStream = 0, kVideoStream = 1 };

class SampleGrabberCallBack {
public:
    // data is allocated with new[]; the callee owns it from the call on (and frees it with
    // delete[] when it drops the sample). The size comes as two 32-bit halves; times are in
    // 100-ns units. typeChanged says the grabber's input type was set since its last sample.
    // Always answers 0.
    virtual LONG sampleCallBack(BYTE* data, LONG sizeLow, LONG sizeHigh, REFERENCE_TIME* start,
                                REFERENCE_TIME* end, BOOL typeChanged, BOOL syncPoint, LONG streamId) = 0;
    virtual LONG endOfStream(LONG streamId) = 0;

protected:
    // Not deleted through this interface.
    ~SampleGrabberCallBack() = default;
};
