// Feeds arbitrary packets to the programme selector (PAT, PMT and VCT sections of any shape)
// and arbitrary text to the buffer manifest's parser.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sbe/BufferManifest.h"
#include "platform/sbe/ProgramSelector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    ProgramChoice choice;
    switch (data[0] % 3) {
        case 0:
            break;
        case 1:
            choice.programNumber = data[1];
            break;
        default:
            choice.major = data[1] & 0x0F;
            choice.minor = data[1] >> 4;
    }
    size_t packets = (size - 2) / 188;
    std::vector<uint8_t> ts(data + 2, data + 2 + packets * 188);
    for (size_t i = 0; i < packets; ++i) ts[i * 188] = 0x47;
    size_t out = 0;
    ProgramSelector selector(choice, [&out](const ProgramSelector::Packet& p) { out += p.data[0] == 0x47; });
    selector.feed(ts.data(), packets);
    selector.headerPackets();
    selector.waitingFor();

    BufferManifest m;
    std::string error;
    BufferManifest::parse(std::string(reinterpret_cast<const char*>(data), size), m, error);
    return 0;
}
