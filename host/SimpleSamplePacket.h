// The packet the plug-in queues: owns its byte buffer, counts references without atomics
// because a packet belongs to one thread at a time (the queue's owner, then the host).
#pragma once

#include "host/SamplePacket.h"

namespace pelmo::streamer {

// Buffers handed to a packet are allocated with std::malloc and freed with std::free, as the
// sample grabbers hand them over.
class SimpleSamplePacket : public SamplePacket {
public:
    SimpleSamplePacket() = default;
    SimpleSamplePacket(const SimpleSamplePacket&) = delete;
    SimpleSamplePacket& operator=(const SimpleSamplePacket&) = delete;
    ~SimpleSamplePacket() override;

    int32_t release() override;
    void addRef() override;
    int64_t getTimestamp() override { return timestamp; }
    void setTimestamp(const int64_t& value) override { timestamp = value; }
    int64_t getDuration() override { return duration; }
    void setDuration(const int64_t& value) override { duration = value; }
    int32_t getType() override { return type; }
    uint8_t* getData() override { return data; }
    int32_t getSize() override { return size; }
    bool isSyncPoint() override { return syncPoint; }

    // Frees the buffer held so far, then takes ownership of newData.
    virtual void set(int32_t newType, uint8_t* newData, int32_t newSize, int64_t newTimestamp,
                     int64_t newDuration, bool newSyncPoint);

private:
    int32_t type = kPacketUnset;
    uint8_t* data = nullptr;
    int32_t size = 0;
    int64_t timestamp = 0;
    int64_t duration = 0;
    bool syncPoint = false;
    int32_t refCount = 1;
};

}  // namespace pelmo::streamer
