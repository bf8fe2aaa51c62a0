// Receiver of the samples a sample grabber hands over (the plug-in object implements it).
#pragma once

#include "platform/com/Types.h"

class SampleGrabberCallBack {
public:
    // Called on a streaming thread while the grabber holds its own lock. data comes from
    // FrameBufferPool::shared() and belongs to the callee from now on (release it there).
    // Times are in 100-ns units; streamId is 1 for video and 0 for audio. Answers 0.
    virtual int sampleCallBack(BYTE* data, ULONG sizeLow, ULONG sizeHigh, REFERENCE_TIME* start,
                               REFERENCE_TIME* end, int typeChanged, int syncPoint, LONG streamId) = 0;
    virtual int endOfStream(LONG streamId) = 0;

protected:
    ~SampleGrabberCallBack() = default;
};
