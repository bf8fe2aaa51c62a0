// Walks a clip over and over as one endless broadcast: every pass after the first has its
// PCR, PTS and DTS moved on by the clip's length and its continuity counters carried on from
// the pass before, so a receiver sees one continuous stream.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/air/AirClip.h"

class AirLoopCursor {
public:
    // Starts `phaseTicks` into the clip (the air has been broadcasting before anyone tuned).
    explicit AirLoopCursor(std::shared_ptr<const AirClip> clip, int64_t phaseTicks = 0);

    // Copies the next packet into `out` (188 bytes) and returns when it is due, in 27 MHz
    // ticks after the cursor's start.
    int64_t next(uint8_t* out);
    uint64_t passes() const { return loop_; }

private:
    void startPass();

    std::shared_ptr<const AirClip> clip_;
    size_t index_ = 0;
    uint64_t loop_ = 0;
    int64_t phase_ = 0;
    std::vector<uint8_t> delta_ = std::vector<uint8_t>(8192, 0);
    std::vector<int8_t> lastOut_ = std::vector<int8_t>(8192, -1);
};
