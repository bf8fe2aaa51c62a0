// The host's view of a source of packets.
#pragma once

#include <cstdint>

#include "host/SamplePacket.h"
#include "host/StreamDescription.h"

namespace pelmo::streamer {

class InputStream {
public:
    virtual ~InputStream() = default;
    virtual void getOutputStreamDescription(StreamDescription& description) = 0;
    // Hands over the oldest packet; type -1 with a null packet when there is none. The caller
    // owns the packet's reference until it gives it back through releaseFrame.
    virtual bool readFrame(int& type, uint8_t*& data, int& size, int64_t& timestamp, int64_t& duration,
                           SamplePacket*& packet, bool& syncPoint) = 0;
    virtual void releaseFrame(int32_t reserved, SamplePacket* packet) = 0;
};

}  // namespace pelmo::streamer
