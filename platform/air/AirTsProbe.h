// Test support: what a player makes of a transport stream. Decodes it with libavformat and
// libavcodec as any player would (from wherever it starts: the first pictures before a GOP
// start are dropped) and reports the programme's codecs, picture size and decoded sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AirTsProbe {
    std::string error;  // empty when the stream could be opened and read
    int programs = 0;
    std::string videoCodec, audioCodec;  // libavcodec's names ("mpeg2video", "mp2")
    int width = 0, height = 0;
    size_t pictures = 0;           // pictures decoded
    double lastPictureSpread = 0;  // standard deviation of the last picture's luma
    std::vector<float> mono;       // decoded sound, first channel
    int sampleRate = 0;

    static AirTsProbe decode(const std::vector<uint8_t>& ts);

    // The strongest frequency between 200 and 2000 Hz (2 Hz steps) in `count` samples from `from`.
    double dominantHz(size_t from, size_t count) const;
    // Root mean square level of `count` samples from `from` (full scale 1.0).
    double rms(size_t from, size_t count) const;
};
