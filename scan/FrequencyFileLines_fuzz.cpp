// Any bytes as a frequency file: no entry is longer than a chunk, and the bytes cut at odd
// places give the same entries as in one piece.
#include <cstdint>
#include <cstdlib>

#include "scan/FrequencyFileLines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    FrequencyFileLines whole;
    whole.add(bytes, size);
    whole.finish();
    FrequencyFileLines pieces;
    for (size_t at = 0; at < size; at += 17) pieces.add(bytes + at, size - at < 17 ? size - at : 17);
    pieces.finish();
    if (whole.lines() != pieces.lines()) std::abort();
    for (const std::wstring& line : whole.lines())
        if (line.size() > FrequencyFileLines::kChunk) std::abort();
    return 0;
}
