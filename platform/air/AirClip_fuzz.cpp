// Any bytes as a clip, played through two passes of the loop: the schedule must keep growing
// and no packet access may leave the clip.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/air/AirLoopCursor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto clip = AirClip::fromBytes(std::vector<uint8_t>(data, data + size), 0, error);
    if (!clip) return 0;
    AirLoopCursor cursor(clip, int64_t(size) * 1000);
    uint8_t out[188];
    int64_t last = -1;
    for (size_t i = 0; i < clip->packetCount() * 2; ++i) {
        int64_t due = cursor.next(out);
        if (due < last) __builtin_trap();
        last = due;
    }
    return 0;
}
