#include "platform/air/AirConsumer.h"

#include <chrono>
#include <cstring>

#include "platform/air/TsPacket.h"

AirConsumer::AirConsumer(size_t capacityPackets)
    : ring_((capacityPackets ? capacityPackets : 1) * tspacket::kSize),
      capacity_(capacityPackets ? capacityPackets : 1) {}

void AirConsumer::push(const uint8_t* packets, size_t count) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_ != AirEndReason::None) return;
        for (size_t i = 0; i < count; ++i) {
            if (count_ == capacity_) {
                // Dropping the newest keeps what the reader already has intact; the gap shows
                // up to it as a continuity error, as on a real overloaded demultiplexer.
                dropped_ += count - i;
                overflow_ += count - i;
                break;
            }
            size_t slot = (head_ + count_) % capacity_;
            std::memcpy(ring_.data() + slot * tspacket::kSize, packets + i * tspacket::kSize,
                        tspacket::kSize);
            ++count_;
        }
    }
    ready_.notify_all();
}

void AirConsumer::end(AirEndReason reason) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_ == AirEndReason::None) ended_ = reason;
    }
    ready_.notify_all();
}

void AirConsumer::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_ == AirEndReason::None) ended_ = AirEndReason::Stopped;
        count_ = 0;
    }
    ready_.notify_all();
}

AirConsumer::Read AirConsumer::read(uint8_t* out, size_t maxPackets, size_t& got, int timeoutMs) {
    got = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return count_ > 0 || ended_ != AirEndReason::None; };
    if (timeoutMs < 0) {
        ready_.wait(lock, ready);
    } else if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return Read::Timeout;
    }
    if (count_ == 0) return Read::Ended;
    while (got < maxPackets && count_ > 0) {
        std::memcpy(out + got * tspacket::kSize, ring_.data() + head_ * tspacket::kSize, tspacket::kSize);
        head_ = (head_ + 1) % capacity_;
        --count_;
        ++got;
    }
    return Read::Data;
}

uint64_t AirConsumer::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

uint64_t AirConsumer::takeOverflow() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = overflow_;
    overflow_ = 0;
    return n;
}

size_t AirConsumer::buffered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

AirEndReason AirConsumer::endReason() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}
