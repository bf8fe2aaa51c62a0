// A transport stream per input (188-, 192- or 204-byte packets), fed in uneven chunks and
// whole: both must give the same sections, none longer than a section can be, and the table
// collector must cope with them too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/mpeg2data/SectionTableCollector.h"
#include "platform/mpeg2data/TsDemux.h"

namespace {
std::vector<std::vector<uint8_t>> demultiplex(const uint8_t* data, size_t size, bool chunked) {
    SectionTableCollector pat(0x0000, 0x00), nit(0x0010, 0x40);
    std::vector<std::vector<uint8_t>> sections;
    TsDemux demux([&](uint16_t pid, const uint8_t* s, size_t n) {
        if (n > TsDemux::kMaxSectionSize) __builtin_trap();
        sections.emplace_back(s, s + n);
        pat.offer(pid, s, n);
        nit.offer(pid, s, n);
    });
    demux.setCheckCrc(size % 2 == 0);  // without the CRC far more sections get through
    size_t pos = 0, step = chunked ? 1 : size;
    while (pos < size) {
        const size_t n = size - pos < step ? size - pos : step;
        demux.feed(data + pos, n);
        pos += n;
        step = step * 5 % 257 + 1;
    }
    demux.flush();
    pat.finish();
    nit.finish();
    return sections;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (demultiplex(data, size, true) != demultiplex(data, size, false)) __builtin_trap();
    return 0;
}
