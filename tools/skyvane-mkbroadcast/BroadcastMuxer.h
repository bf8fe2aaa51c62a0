// Makes the clip of one multiplex of the catalogue: encodes a test card and a tone per service
// (MPEG-2 video with MP2 audio, AC-3 audio for ATSC), multiplexes them at a constant rate with
// libavformat, and lays the generator's own NIT/SDT/VCT into the stuffing at their repetition
// intervals (the muxer's own SDT is dropped).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/air/AirCatalogue.h"

class BroadcastMuxer {
public:
    static constexpr int kWidth = 176;
    static constexpr int kHeight = 144;
    static constexpr int kFrameRate = 25;
    static constexpr int kVideoBitrate = 300000;

    // Builds the multiplex's transport stream. False with a message on failure.
    static bool make(const AirCatalogue& catalogue, const AirMultiplex& m, std::vector<uint8_t>& ts,
                     std::string& error);
    // Lays table packets into the null packets of `ts` (see make); exposed for tests.
    static bool insertTables(const AirCatalogue& catalogue, const AirMultiplex& m, std::vector<uint8_t>& ts,
                             std::string& error);

    // PIDs used for service number k (0-based): PMT, video, audio.
    static uint16_t pmtPid(size_t k) { return uint16_t(0x1000 + k); }
    static uint16_t videoPid(size_t k) { return uint16_t(0x100 * (k + 1) + 1); }
    static uint16_t audioPid(size_t k) { return uint16_t(0x100 * (k + 1) + 2); }
};
