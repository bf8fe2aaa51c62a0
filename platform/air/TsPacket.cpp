#include "platform/air/TsPacket.h"

namespace tspacket {

size_t payloadOffset(const uint8_t* p) {
    if (!hasPayload(p)) return 0;
    size_t at = 4;
    if (hasAdaptation(p)) at += 1 + size_t(p[4]);
    return at < kSize ? at : 0;
}

static bool adaptationWithFlags(const uint8_t* p) {
    return hasAdaptation(p) && p[4] >= 1 && size_t(p[4]) <= kSize - 5;
}

bool discontinuity(const uint8_t* p) {
    return adaptationWithFlags(p) && (p[5] & 0x80) != 0;
}

bool readPcr(const uint8_t* p, int64_t& pcr) {
    if (!adaptationWithFlags(p) || p[4] < 7 || (p[5] & 0x10) == 0) return false;
    const uint8_t* f = p + 6;
    int64_t base = (int64_t(f[0]) << 25) | (int64_t(f[1]) << 17) | (int64_t(f[2]) << 9) |
                   (int64_t(f[3]) << 1) | (f[4] >> 7);
    int64_t ext = (int64_t(f[4] & 1) << 8) | f[5];
    pcr = base * 300 + ext;
    return true;
}

void writePcr(uint8_t* p, int64_t pcr) {
    uint8_t* f = p + 6;
    int64_t base = pcr / 300;
    int64_t ext = pcr % 300;
    f[0] = uint8_t(base >> 25);
    f[1] = uint8_t(base >> 17);
    f[2] = uint8_t(base >> 9);
    f[3] = uint8_t(base >> 1);
    f[4] = uint8_t(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1));
    f[5] = uint8_t(ext);
}

PesTimes findPesTimes(const uint8_t* p) {
    PesTimes t;
    if (!payloadStart(p)) return t;
    size_t at = payloadOffset(p);
    // Start code, stream id, length, two flag bytes, header length: 9 bytes before the fields.
    if (at == 0 || kSize - at < 9 + 5) return t;
    const uint8_t* h = p + at;
    if (h[0] != 0 || h[1] != 0 || h[2] != 1) return t;
    uint8_t sid = h[3];
    // Streams without the optional header: program stream map, padding, private 2, ECM, EMM,
    // directory, DSM-CC, H.222.1 type E.
    if (sid == 0xBC || sid == 0xBE || sid == 0xBF || sid == 0xF0 || sid == 0xF1 || sid == 0xFF ||
        sid == 0xF2 || sid == 0xF8)
        return t;
    if ((h[6] & 0xC0) != 0x80) return t;
    uint8_t flags = h[7] >> 6;
    size_t headerLength = h[8];
    if (flags == 2 && headerLength >= 5) {
        t.ptsAt = at + 9;
    } else if (flags == 3 && headerLength >= 10 && kSize - at >= 9 + 10) {
        t.ptsAt = at + 9;
        t.dtsAt = at + 14;
    }
    return t;
}

int64_t readTimestamp(const uint8_t* f) {
    return (int64_t((f[0] >> 1) & 0x07) << 30) | (int64_t(f[1]) << 22) | (int64_t(f[2] >> 1) << 15) |
           (int64_t(f[3]) << 7) | (f[4] >> 1);
}

void writeTimestamp(uint8_t* f, int64_t v) {
    f[0] = uint8_t((f[0] & 0xF0) | ((v >> 29) & 0x0E) | 1);
    f[1] = uint8_t(v >> 22);
    f[2] = uint8_t(((v >> 14) & 0xFE) | 1);
    f[3] = uint8_t(v >> 7);
    f[4] = uint8_t(((v << 1) & 0xFE) | 1);
}

}  // namespace tspacket
