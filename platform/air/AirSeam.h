// Makes a clip loop cleanly. A capture starts and stops wherever the recorder did, so its first
// packets on a PID continue a section or PES packet whose start is missing and its last ones
// begin one whose end is missing. Played in a loop, the two halves would be glued into one
// corrupt unit that the rewritten continuity counters hide. The trim cuts every PID at whole
// units: what comes before the first unit start (for video, the first random access point) and
// after the last complete unit is removed, packets carrying a PCR keep it as adaptation-only
// packets and the others become null packets, so the clip's timing is untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AirSeamTrim {
    size_t packetsRemoved = 0;  // packets turned into null or adaptation-only packets
    size_t pidsTrimmed = 0;     // PIDs on which anything was removed
};

// `packets` holds whole 188-byte packets and is changed in place. Scrambled and errored packets
// are left alone: nothing in them can be trusted or read.
AirSeamTrim trimToWholeUnits(std::vector<uint8_t>& packets);
