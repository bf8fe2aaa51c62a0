#include "host/SimpleSamplePacket.h"

#include <cstdlib>

namespace pelmo::streamer {

SimpleSamplePacket::~SimpleSamplePacket() {
    std::free(data);
}

int32_t SimpleSamplePacket::release() {
    if (--refCount > 0) {
        return refCount;
    }
    delete this;
    return 0;
}

void SimpleSamplePacket::addRef() {
    ++refCount;
}

void SimpleSamplePacket::set(int32_t newType, uint8_t* newData, int32_t newSize, int64_t newTimestamp,
                             int64_t newDuration, bool newSyncPoint) {
    if (newData != data) {
        std::free(data);
    }
    type = newType;
    data = newData;
    size = newSize;
    timestamp = newTimestamp;
    duration = newDuration;
    syncPoint = newSyncPoint;
}

}  // namespace pelmo::streamer
