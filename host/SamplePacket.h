// The host's reference-counted media packet as the plug-in hands it over.
#pragma once

#include <cstdint>

namespace pelmo::streamer {

// Packet types seen by the host: 0 audio, 1 video, 4 end marker; readFrame answers -1 when
// it has no packet to give.
enum SamplePacketType : int32_t {
    kPacketNone = -1,
    kPacketAudio = 0,
    kPacketVideo = 1,
    kPacketUnset = 2,
    kPacketEndMarker = 4,
};

class SamplePacket {
public:
    virtual ~SamplePacket() = default;
    // Drops one reference; answers the references left (0 once the packet is gone).
    virtual int32_t release() = 0;
    virtual void addRef() = 0;
    virtual int64_t getTimestamp() = 0;
    virtual void setTimestamp(const int64_t& timestamp) = 0;
    virtual int64_t getDuration() = 0;
    virtual void setDuration(const int64_t& duration) = 0;
    virtual int32_t getType() = 0;
    virtual uint8_t* getData() = 0;
    virtual int32_t getSize() = 0;
    virtual bool isSyncPoint() = 0;
};

}  // namespace pelmo::streamer
