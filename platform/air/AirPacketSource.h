// Anything on air that readers subscribe to for a live stream of 188-byte packets: a tuned
// multiplex (AirStream) or an analog card's hardware encoder (AirEncoder).
#pragma once

#include <cstddef>
#include <memory>

#include "platform/air/AirConsumer.h"

class AirPacketSource {
public:
    virtual ~AirPacketSource() = default;
    // A new reader with room for `capacityPackets` unread packets.
    virtual std::shared_ptr<AirConsumer> subscribe(size_t capacityPackets) = 0;
    // False once the stream has ended; its readers then get Ended after what they buffered.
    virtual bool running() const = 0;
};
