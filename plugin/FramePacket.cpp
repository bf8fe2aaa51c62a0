#include "plugin/FramePacket.h"

#include "base/FrameBufferPool.h"

FramePacket::~FramePacket() {
    FrameBufferPool::shared().release(frame);
}

void FramePacket::set(int32_t newType, uint8_t* newData, int32_t newSize, int64_t newTimestamp,
                      int64_t newDuration, bool newSyncPoint) {
    if (newData != frame) {
        FrameBufferPool::shared().release(frame);
        frame = newData;
    }
    // The base class keeps no buffer of its own, so it never frees one.
    SimpleSamplePacket::set(newType, nullptr, newSize, newTimestamp, newDuration, newSyncPoint);
}
