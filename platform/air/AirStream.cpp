#include "platform/air/AirStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/air/AirLoopCursor.h"
#include "platform/air/TsPacket.h"

namespace {
constexpr size_t kBatch = 64;
}

AirStream::AirStream(std::shared_ptr<const AirClip> clip, double speed, int64_t phaseTicks, int lockDelayMs)
    : AirStream(std::move(clip), speed, phaseTicks, lockDelayMs, nullptr) {}

AirStream::AirStream(std::shared_ptr<const AirClip> clip, double speed, int64_t phaseTicks, int lockDelayMs,
                     Receiving receiving)
    : clip_(std::move(clip)), speed_(speed > 0 ? speed : 1.0), receiving_(std::move(receiving)) {
    thread_ = std::thread(&AirStream::run, this, phaseTicks, lockDelayMs);
}

AirStream::~AirStream() {
    stop(AirEndReason::Stopped);
}

std::shared_ptr<AirConsumer> AirStream::subscribe(size_t capacityPackets) {
    auto consumer = std::make_shared<AirConsumer>(capacityPackets);
    std::lock_guard<std::mutex> lock(mutex_);
    if (reason_ != AirEndReason::None) {
        consumer->end(reason_);
    } else {
        consumers_.push_back(consumer);
    }
    return consumer;
}

void AirStream::stop(AirEndReason reason) {
    std::vector<std::weak_ptr<AirConsumer>> readers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        if (reason_ == AirEndReason::None) reason_ = reason;
        readers.swap(consumers_);
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    for (auto& weak : readers)
        if (auto reader = weak.lock()) reader->end(reason_);
}

void AirStream::deliver(const uint8_t* packets, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t live = 0;
    for (auto& weak : consumers_) {
        auto reader = weak.lock();
        if (!reader || reader->endReason() != AirEndReason::None) continue;
        reader->push(packets, count);
        consumers_[live++] = weak;
    }
    consumers_.resize(live);
    sent_ += count;
}

void AirStream::run(int64_t phaseTicks, int lockDelayMs) {
    using Clock = std::chrono::steady_clock;
    auto origin = Clock::now() + std::chrono::milliseconds(lockDelayMs > 0 ? lockDelayMs : 0);
    AirLoopCursor cursor(clip_, phaseTicks);
    // Packet times count from lock; faults are declared from the moment of tuning.
    const double lockMs = double(lockDelayMs > 0 ? lockDelayMs : 0) * speed_;
    std::vector<uint8_t> batch(kBatch * tspacket::kSize);
    auto dueAt = [&](int64_t ticks) {
        double ns = double(ticks) * (1e9 / double(tspacket::kClockHz)) / speed_;
        return origin + std::chrono::nanoseconds(int64_t(ns));
    };
    auto msOf = [&](int64_t ticks) { return lockMs + double(ticks) / double(tspacket::kClockHz / 1000); };
    int64_t due = cursor.next(batch.data());
    double lastDueMs = lockMs;  // of the newest packet known to be due
    size_t held = 1;            // the first packet of the batch is already taken from the cursor
    while (!stopping_) {
        auto now = Clock::now();
        if (dueAt(due) > now) {
            if (held > 1) {
                deliver(batch.data(), held - 1);
                std::memmove(batch.data(), batch.data() + (held - 1) * tspacket::kSize, tspacket::kSize);
                held = 1;
            }
            reachedMs_ = lastDueMs;
            // Waking for every packet would cost more than it is worth: readers get packets in
            // small bursts at most a couple of milliseconds late, as from a real demultiplexer.
            auto wakeAt = std::max(dueAt(due), now + std::chrono::milliseconds(2));
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, wakeAt, [this] { return stopping_.load(); });
            continue;
        }
        lastDueMs = msOf(due);
        // The packet in the last slot is due. Lost to a signal fault, its slot takes the next.
        // What is held before it goes out first, so that the progress counts the loss at once:
        // a stream behind its time may not sleep again until long after the fault began.
        if (receiving_ && !receiving_(lastDueMs)) {
            if (held > 1) {
                deliver(batch.data(), held - 1);
                held = 1;
            }
            reachedMs_ = lastDueMs;
            due = cursor.next(batch.data());
            continue;
        }
        // Take the next one behind it.
        if (held == kBatch) {
            deliver(batch.data(), held);
            reachedMs_ = lastDueMs;
            held = 0;
        }
        due = cursor.next(batch.data() + held * tspacket::kSize);
        ++held;
    }
}
