// One reader of a live air stream (a section filter, a capture sink, a guide-data source).
// It has a bounded buffer of its own: when the reader falls behind, newly arriving packets
// are dropped for this reader only and counted, so a slow reader never holds up the stream
// or the other readers, and never makes memory grow.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

enum class AirEndReason { None, Retuned, SignalLost, Stopped };

class AirConsumer {
public:
    enum class Read { Data, Timeout, Ended };

    explicit AirConsumer(size_t capacityPackets);

    // Waits up to `timeoutMs` (negative: without limit) for packets and copies up to
    // `maxPackets` of them to `out`. Packets still buffered when the stream ends are read
    // first; Ended comes after them.
    Read read(uint8_t* out, size_t maxPackets, size_t& got, int timeoutMs);
    // Packets this reader lost by falling behind, since it subscribed / since the last call.
    uint64_t dropped() const;
    uint64_t takeOverflow();
    size_t buffered() const;
    size_t capacity() const { return capacity_; }
    AirEndReason endReason() const;
    // The reader stops receiving; a blocked read returns Ended.
    void close();

    // Called by the stream.
    void push(const uint8_t* packets, size_t count);
    void end(AirEndReason reason);

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<uint8_t> ring_;
    size_t capacity_;
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t dropped_ = 0;
    uint64_t overflow_ = 0;
    AirEndReason ended_ = AirEndReason::None;
};
