// One transport stream file as the air holds it: whole 188-byte packets in memory, each with
// the moment (in 27 MHz ticks from the start of the clip) at which the broadcast sends it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/air/AirSeam.h"

class AirClip {
public:
    // Clips without a usable PCR are sent at this rate unless the catalogue gives another.
    static constexpr int64_t kDefaultBitrate = 2000000;

    // Reads a file of 188-, 192- or 204-byte packets; bytes outside whole packets that start
    // with the sync byte are skipped. The ends are trimmed to whole sections and PES packets. Null and a
    // message in `error` when nothing usable is in it.
    static std::shared_ptr<const AirClip> load(const std::string& path, int64_t fallbackBitrate,
                                               std::string& error);
    static std::shared_ptr<const AirClip> fromBytes(const std::vector<uint8_t>& bytes,
                                                    int64_t fallbackBitrate, std::string& error);

    size_t packetCount() const { return times_.size(); }
    const uint8_t* packet(size_t i) const { return data_.data() + i * 188; }
    int64_t packetTime(size_t i) const { return times_[i]; }
    // Time from the first packet of one pass to the first packet of the next; a multiple of
    // 300 ticks so that 90 kHz timestamps move by a whole number too.
    int64_t loopTicks() const { return loopTicks_; }
    // Continuity counter of the first packet with payload on `pid`, -1 when there is none.
    int firstContinuity(uint16_t pid) const { return firstCc_[pid & 0x1FFF]; }
    const std::vector<uint16_t>& pids() const { return pids_; }
    // PID whose PCR paces the clip, or -1 when the clip is sent at a constant rate.
    int pcrPid() const { return pcrPid_; }
    // Bits per second over the whole clip.
    double bitrate() const;
    // Index of the first packet due at or after `ticks` (packetCount() when none).
    size_t firstPacketAtOrAfter(int64_t ticks) const;
    // What was cut at the clip's ends so that each pass carries whole units only.
    const AirSeamTrim& seamTrim() const { return seamTrim_; }

private:
    AirClip() = default;
    void schedule(int64_t fallbackBitrate);

    std::vector<uint8_t> data_;
    std::vector<int64_t> times_;
    std::vector<int8_t> firstCc_ = std::vector<int8_t>(8192, -1);
    std::vector<uint16_t> pids_;
    int64_t loopTicks_ = 0;
    int pcrPid_ = -1;
    AirSeamTrim seamTrim_;
};
