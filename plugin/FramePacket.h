// The packet the plug-in queues for a sample: its bytes came from the frame buffer pool and go
// back there when the host releases the packet, not to std::free.
#pragma once

#include "host/SimpleSamplePacket.h"

class FramePacket : public pelmo::streamer::SimpleSamplePacket {
public:
    FramePacket() = default;
    ~FramePacket() override;

    uint8_t* getData() override { return frame; }
    // Releases the buffer held so far, then takes ownership of newData.
    void set(int32_t newType, uint8_t* newData, int32_t newSize, int64_t newTimestamp, int64_t newDuration,
             bool newSyncPoint) override;

private:
    uint8_t* frame = nullptr;
};
