// Any bytes as a capture whose services the generator's listing reads from its own tables.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/skyvane-mkbroadcast/CaptureServices.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto clip = AirClip::fromBytes(std::vector<uint8_t>(data, data + size), 0, error);
    if (clip) readCaptureTables(*clip);
    return 0;
}
