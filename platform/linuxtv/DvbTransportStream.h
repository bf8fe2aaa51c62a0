// The whole transport stream of the multiplex a DVB front end is on: the adapter's demux is set
// to pass every packet (PID 0x2000) to its dvr device, and a thread reads that and hands the
// packets to every subscribed reader, exactly as the air hands out a tuned multiplex. A reader
// that falls behind loses packets of its own only (see AirConsumer).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/air/AirConsumer.h"
#include "platform/air/MultiplexStream.h"

class DvbTransportStream : public MultiplexStream {
public:
    static constexpr size_t kDefaultConsumerPackets = 4096;

    // Opens the demux and dvr devices and starts reading; null with `error` when a device cannot
    // be opened or set.
    static std::unique_ptr<DvbTransportStream> open(const std::string& demuxPath, const std::string& dvrPath,
                                                    std::string& error);
    // A stream read from `dvr` (any readable descriptor) set up elsewhere; takes both descriptors
    // (`demux` may be -1). Null with `error` when the reader cannot start.
    static std::unique_ptr<DvbTransportStream> adopt(int demux, int dvr, const std::string& dvrPath,
                                                     std::string& error);
    ~DvbTransportStream() override;
    DvbTransportStream(const DvbTransportStream&) = delete;
    DvbTransportStream& operator=(const DvbTransportStream&) = delete;

    std::shared_ptr<AirConsumer> subscribe(size_t capacityPackets = kDefaultConsumerPackets) override;
    // Ends the stream: readers get Ended after what they hold. Idempotent.
    void stop(AirEndReason reason);
    // Ends the stream and lets go of the devices, so the next tune can open them again (the dvr
    // device takes one reader at a time). Not on the stream's own thread.
    void close(AirEndReason reason);
    bool running() const override { return !stopping_.load(); }
    // Wall-clock ms since the stream started at which the reader last found the device drained:
    // everything received up to then has been handed on.
    double reachedMs() const override { return reachedMs_.load(); }
    double speed() const override { return 1.0; }
    uint64_t packetsRead() const { return packets_.load(); }
    // Packets the kernel dropped because nobody read the dvr device fast enough.
    uint64_t overflows() const { return overflows_.load(); }
    // Why the stream ended by itself (the device went away), empty while it runs.
    std::string error() const;

private:
    DvbTransportStream(int demux, int dvr, std::string dvrPath);
    void run();
    double msSinceStart() const;
    void deliver(const uint8_t* packets, size_t count);

    int demux_;
    int dvr_;
    int wake_[2] = {-1, -1};  // a pipe that interrupts the reader's poll on stop
    std::string dvrPath_;
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<AirConsumer>> consumers_;
    std::string error_;
    AirEndReason reason_ = AirEndReason::None;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> packets_{0};
    std::atomic<uint64_t> overflows_{0};
    std::atomic<double> reachedMs_{0};
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::mutex closeLock_;
    std::thread thread_;
};
