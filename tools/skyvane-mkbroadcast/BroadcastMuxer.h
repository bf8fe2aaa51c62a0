// Makes the clip of one multiplex of the catalogue: encodes a test card and a tone per service
// (broadcast formats: MPEG-2 SD or H.264/MPEG-2 HD, interlaced, MP2 audio or AC-3 for ATSC),
// multiplexes them at a constant rate with libavformat, and lays the generator's own
// NIT/SDT/VCT into the stuffing at their repetition intervals (the muxer's own SDT is dropped).
// The clip's length is a whole number of video and audio frames, so that its sound and
// pictures run on without a gap when the air loops it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/air/AirCatalogue.h"

class BroadcastMuxer {
public:
    // What a service's picture and sound are made of.
    struct Format {
        bool h264 = false;
        int width = 720, height = 576;
        int fpsNum = 25, fpsDen = 1;
        bool interlaced = true;
        int64_t videoBitrate = 3500000;  // average; peaks at 1.5 times
        bool ac3 = false;
        int64_t audioBitrate = 192000;
    };
    static Format formatOf(const AirMultiplex& m, const AirService& s);
    // The clip length the generator makes for `m`: its "seconds" rounded to a whole number of
    // video and audio frames (0.12 s steps at 25 fps with MPEG audio; 0.8 s at 29.97 fps with
    // AC-3, which holds 25 sound frames and 24 pictures to within 0.8 ms).
    static double clipSeconds(const AirMultiplex& m);

    // Builds the multiplex's transport stream. False with a message on failure.
    static bool make(const AirCatalogue& catalogue, const AirMultiplex& m, std::vector<uint8_t>& ts,
                     std::string& error);
    // Lays table packets into the null packets of `ts` (see make); exposed for tests.
    static bool insertTables(const AirCatalogue& catalogue, const AirMultiplex& m, std::vector<uint8_t>& ts,
                             std::string& error);

private:
    static bool makeAtRate(const AirCatalogue& catalogue, const AirMultiplex& m, int headroomPercent,
                           std::vector<uint8_t>& ts, std::string& error, bool& tooLong);

public:
    // PIDs used for service number k (0-based): PMT, video, audio.
    static uint16_t pmtPid(size_t k) { return uint16_t(0x1000 + k); }
    static uint16_t videoPid(size_t k) { return uint16_t(0x100 * (k + 1) + 1); }
    static uint16_t audioPid(size_t k) { return uint16_t(0x100 * (k + 1) + 2); }
};
