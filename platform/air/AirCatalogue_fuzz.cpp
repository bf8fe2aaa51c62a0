// Catalogue text from anywhere: never a crash, always a catalogue or a message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/air/AirCatalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto c = AirCatalogue::parse(std::string(reinterpret_cast<const char*>(data), size), "/nonexistent/",
                                 false, error);
    if (c) {
        for (const AirMultiplex& m : c->multiplexes()) {
            c->findDvbt(m.frequencyKHz, m.bandwidthMHz);
            (void)m.describe();
        }
    } else if (error.empty()) {
        __builtin_trap();
    }
    return 0;
}
