// A tuned multiplex on air: a thread sends the clip's packets in real time (paced by its PCR,
// scaled by a speed factor), looping for ever, to every subscribed reader.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/air/AirClip.h"
#include "platform/air/AirConsumer.h"
#include "platform/air/MultiplexStream.h"

class AirStream : public MultiplexStream {
public:
    static constexpr size_t kDefaultConsumerPackets = 4096;

    // Starts sending after `lockDelayMs` of wall time (the tuner's time to lock), beginning
    // `phaseTicks` into the clip.
    AirStream(std::shared_ptr<const AirClip> clip, double speed, int64_t phaseTicks, int lockDelayMs);
    // The same, sending only the packets due while `receiving` (broadcast ms since tuning) says
    // the tuner is locked: a signal fault leaves a gap in the stream.
    using Receiving = std::function<bool(double msSinceTune)>;
    AirStream(std::shared_ptr<const AirClip> clip, double speed, int64_t phaseTicks, int lockDelayMs,
              Receiving receiving);
    ~AirStream() override;
    AirStream(const AirStream&) = delete;
    AirStream& operator=(const AirStream&) = delete;

    std::shared_ptr<AirConsumer> subscribe(size_t capacityPackets = kDefaultConsumerPackets) override;
    // Ends the stream; every reader gets Ended after what it has buffered. Idempotent.
    void stop(AirEndReason reason);
    bool running() const override { return !stopping_.load(); }
    uint64_t packetsSent() const { return sent_.load(); }
    // Broadcast ms after tuning up to which the stream has handed on (or lost to a fault)
    // every packet; it lags the clock on a busy machine.
    double reachedMs() const override { return reachedMs_.load(); }
    double speed() const override { return speed_; }
    const AirClip& clip() const { return *clip_; }

private:
    void run(int64_t phaseTicks, int lockDelayMs);
    void deliver(const uint8_t* packets, size_t count);

    std::shared_ptr<const AirClip> clip_;
    double speed_;
    Receiving receiving_;
    std::mutex mutex_;  // guards consumers_ and the wake-up condition
    std::condition_variable wake_;
    std::vector<std::weak_ptr<AirConsumer>> consumers_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<double> reachedMs_{0};
    AirEndReason reason_ = AirEndReason::None;
    std::thread thread_;
};
