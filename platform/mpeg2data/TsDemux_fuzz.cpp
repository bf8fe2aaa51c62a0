// A transport stream per input (188-, 192- or 204-byte packets), fed in uneven chunks; every section handed
// out must lie in what was handed to the demultiplexer's handler, and the table collector must cope too.
#include <cstddef>
#include <cstdint>

#include "platform/mpeg2data/SectionTableCollector.h"
#include "platform/mpeg2data/TsDemux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SectionTableCollector pat(0x0000, 0x00), nit(0x0010, 0x40);
    size_t total = 0;
    TsDemux demux([&](uint16_t pid, const uint8_t* s, size_t n) {
        total += n;
        if (n > TsDemux::kMaxSectionSize) __builtin_trap();
        pat.offer(pid, s, n);
        nit.offer(pid, s, n);
    });
    demux.setCheckCrc(size % 2 == 0);  // without the CRC far more sections get through
    size_t pos = 0, step = 1;
    while (pos < size) {
        const size_t n = size - pos < step ? size - pos : step;
        demux.feed(data + pos, n);
        pos += n;
        step = step * 5 % 257 + 1;
    }
    demux.flush();
    pat.finish();
    nit.finish();
    return 0;
}
