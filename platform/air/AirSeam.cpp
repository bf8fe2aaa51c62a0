#include "platform/air/AirSeam.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/air/TsPacket.h"

namespace {

using tspacket::kSize;

bool scrambled(const uint8_t* p) {
    return (p[3] & 0xC0) != 0;
}

bool randomAccess(const uint8_t* p) {
    return tspacket::hasAdaptation(p) && p[4] >= 1 && p[4] <= kSize - 5 && (p[5] & 0x40) != 0;
}

// The packet stops carrying payload: a PCR stays as an adaptation-only packet, anything else
// becomes a null packet.
void strip(uint8_t* p) {
    int64_t pcr;
    if (tspacket::readPcr(p, pcr)) {
        size_t used = 5 + size_t(p[4]);
        p[1] &= 0x1F;  // no unit start
        p[3] = uint8_t((p[3] & 0xCF) | 0x20);
        p[4] = uint8_t(kSize - 5);
        std::memset(p + used, 0xFF, kSize - used);
        return;
    }
    p[1] = 0x1F;
    p[2] = 0xFF;
    p[3] = 0x10;
    std::memset(p + 4, 0xFF, kSize - 4);
}

struct PidPackets {
    std::vector<size_t> all;  // packets with payload, in order
    bool pes = false;
    bool video = false;
    bool skip = false;
    bool sawStart = false;
};

// Keeps [first, last] of the PID's payload packets (positions in `list`), strips the rest.
size_t keepRange(std::vector<uint8_t>& ts, const std::vector<size_t>& list, size_t first, size_t last) {
    size_t removed = 0;
    for (size_t k = 0; k < list.size(); ++k) {
        if (k >= first && k <= last) continue;
        strip(ts.data() + list[k] * kSize);
        ++removed;
    }
    return removed;
}

// Whether the PES packet whose last packet is `p` ends there. With a stated length it is
// counted; without one (video) a muxer fills the last packet of a unit with adaptation-field
// stuffing, while a recording cut short ends on a full packet.
bool endsWithStuffing(const uint8_t* p) {
    if (!tspacket::hasAdaptation(p) || p[4] < 1 || p[4] > kSize - 5) return false;
    uint8_t flags = p[5];
    if (flags & 0x07) return false;  // private data or extensions: the fields are not stuffing
    size_t used = 1 + ((flags & 0x10) ? 6 : 0) + ((flags & 0x08) ? 6 : 0) + ((flags & 0x04) ? 1 : 0);
    return p[4] > used;
}

enum class VideoCoding { Unknown, Mpeg2, H264, Hevc };

// Tells the coding from the start codes in a unit's first packet.
VideoCoding codingOf(const uint8_t* p) {
    size_t off = tspacket::payloadOffset(p);
    if (!off) return VideoCoding::Unknown;
    for (size_t i = off; i + 4 < kSize; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        uint8_t c = p[i + 3];
        if (c == 0xB3 || c == 0xB8) return VideoCoding::Mpeg2;
        if ((c == 0x46 || c == 0x40) && p[i + 4] == 0x01) return VideoCoding::Hevc;  // AUD, VPS
        if (c == 0x09 || (c & 0x1F) == 7) return VideoCoding::H264;                  // AUD, SPS
    }
    return VideoCoding::Unknown;
}

// Turns the stripped packet `p` into a short PES holding an end-of-sequence code, so that a
// decoder takes the random access point after the seam as the start of a new sequence: it
// drops the leading pictures that refer to what came before it and restarts picture counts.
void writeEndOfSequence(uint8_t* p, uint16_t pid, uint8_t cc, VideoCoding coding) {
    static const uint8_t kHevc[] = {0, 0, 1, 0x48, 0x01};
    static const uint8_t kH264[] = {0, 0, 1, 0x0A};
    static const uint8_t kMpeg2[] = {0, 0, 1, 0xB7};
    const uint8_t* code = coding == VideoCoding::Hevc ? kHevc : coding == VideoCoding::H264 ? kH264 : kMpeg2;
    size_t codeSize = coding == VideoCoding::Hevc   ? sizeof kHevc
                      : coding == VideoCoding::H264 ? sizeof kH264
                                                    : sizeof kMpeg2;
    const uint8_t pesHeader[] = {0, 0, 1, 0xE0, 0, 0, 0x80, 0x00, 0x00};
    size_t payload = sizeof pesHeader + codeSize;
    p[0] = tspacket::kSync;
    p[1] = uint8_t(0x40 | (pid >> 8));
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x30 | (cc & 0x0F));
    p[4] = uint8_t(kSize - 5 - payload);
    p[5] = 0x00;
    std::memset(p + 6, 0xFF, kSize - 6 - payload);
    std::memcpy(p + kSize - payload, pesHeader, sizeof pesHeader);
    std::memcpy(p + kSize - codeSize, code, codeSize);
}

size_t trimPes(std::vector<uint8_t>& ts, const PidPackets& pid) {
    const auto& list = pid.all;
    std::vector<size_t> starts;
    size_t firstKey = list.size();
    for (size_t k = 0; k < list.size(); ++k) {
        const uint8_t* p = ts.data() + list[k] * kSize;
        if (!tspacket::payloadStart(p)) continue;
        starts.push_back(k);
        if (firstKey == list.size() && randomAccess(p)) firstKey = k;
    }
    if (starts.empty()) return keepRange(ts, list, 1, 0);
    // Video starts at its first random access point, so that the first picture of every pass
    // can be decoded without the pictures before it.
    size_t first = pid.video && firstKey < list.size() ? firstKey : starts.front();
    size_t endStart = starts.back();
    const uint8_t* head = ts.data() + list[endStart] * kSize;
    size_t off = tspacket::payloadOffset(head);
    bool lastComplete = false;
    if (kSize - off >= 6) {
        size_t length = (size_t(head[off + 4]) << 8) | head[off + 5];
        if (length > 0) {
            size_t have = 0;
            for (size_t k = endStart; k < list.size(); ++k) {
                const uint8_t* q = ts.data() + list[k] * kSize;
                have += kSize - tspacket::payloadOffset(q);
            }
            lastComplete = have >= length + 6;
        } else {
            lastComplete = endsWithStuffing(ts.data() + list.back() * kSize);
        }
    }
    size_t lastKept = list.size() - 1;
    if (!lastComplete) {
        // Only one unit start and that unit unfinished: nothing on the PID is whole.
        if (endStart <= first) return keepRange(ts, list, 1, 0);
        lastKept = endStart - 1;
    }
    size_t removed = keepRange(ts, list, first, lastKept);
    VideoCoding coding = pid.video ? codingOf(ts.data() + list[first] * kSize) : VideoCoding::Unknown;
    if (coding == VideoCoding::Unknown) return removed;
    // The end code goes into the first null packet after the pass's last picture.
    const uint8_t* last = ts.data() + list[lastKept] * kSize;
    for (size_t i = list[lastKept] + 1; i < ts.size() / kSize; ++i) {
        uint8_t* p = ts.data() + i * kSize;
        if (tspacket::pid(p) != tspacket::kNullPid) continue;
        writeEndOfSequence(p, tspacket::pid(last), uint8_t(tspacket::continuity(last) + 1), coding);
        if (removed) --removed;
        break;
    }
    return removed;
}

// Walks the sections of the PID to find where the last complete one ends, then stuffs the
// rest of that packet and strips what follows.
size_t trimSections(std::vector<uint8_t>& ts, const PidPackets& pid) {
    const auto& list = pid.all;
    size_t firstStart = list.size();
    size_t endPacket = 0, endOffset = 0;
    bool anyComplete = false;
    bool inSection = false;
    size_t need = 0;         // bytes still missing of the current section (once known)
    uint8_t header[3] = {};  // table_id and section_length, which may straddle packets
    size_t headerHave = 0;
    auto startAt = [&](const uint8_t* p, size_t from, size_t k, size_t base) {
        // Sections packed one after another from `from`; the rest after stuffing is ignored.
        size_t pos = from;
        while (pos < kSize - base) {
            const uint8_t* s = p + base + pos;
            size_t left = kSize - base - pos;
            if (s[0] == 0xFF) break;
            if (left < 3) {
                std::memcpy(header, s, left);
                headerHave = left;
                inSection = true;
                return;
            }
            size_t length = 3 + ((size_t(s[1] & 0x0F) << 8) | s[2]);
            if (length <= left) {
                pos += length;
                endPacket = k;
                endOffset = base + pos;
                anyComplete = true;
                continue;
            }
            inSection = true;
            headerHave = 3;
            need = length - left;
            return;
        }
    };
    auto consume = [&](const uint8_t* data, size_t size, size_t k, size_t base) -> size_t {
        // Continues the open section with up to `size` bytes; returns how many it took.
        size_t took = 0;
        if (headerHave < 3) {
            while (headerHave < 3 && took < size) header[headerHave++] = data[took++];
            if (headerHave < 3) return took;
            need = (size_t(header[1] & 0x0F) << 8) | header[2];
        }
        size_t n = std::min(need, size - took);
        need -= n;
        took += n;
        if (need == 0) {
            inSection = false;
            endPacket = k;
            endOffset = base + took;
            anyComplete = true;
        }
        return took;
    };
    for (size_t k = 0; k < list.size(); ++k) {
        const uint8_t* p = ts.data() + list[k] * kSize;
        size_t off = tspacket::payloadOffset(p);
        if (!off) continue;
        size_t size = kSize - off;
        if (tspacket::payloadStart(p)) {
            size_t pointer = p[off];
            if (1 + pointer > size) {
                inSection = false;  // a pointer past the packet: nothing here can be followed
                continue;
            }
            if (inSection) {
                size_t took = consume(p + off + 1, pointer, k, off + 1);
                // A section that does not end where the pointer says is broken: it never completes.
                if (inSection || took != pointer) inSection = false;
            }
            if (firstStart == list.size()) firstStart = k;
            need = 0;
            headerHave = 0;
            startAt(p, 1 + pointer, k, off);
        } else if (inSection) {
            consume(p + off, size, k, off);
        }
    }
    if (!anyComplete) return keepRange(ts, list, 1, 0);
    uint8_t* end = ts.data() + list[endPacket] * kSize;
    if (endOffset < kSize) std::memset(end + endOffset, 0xFF, kSize - endOffset);
    return keepRange(ts, list, firstStart, endPacket);
}

}  // namespace

AirSeamTrim trimToWholeUnits(std::vector<uint8_t>& ts) {
    AirSeamTrim result;
    size_t n = ts.size() / kSize;
    std::map<uint16_t, PidPackets> pids;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = ts.data() + i * kSize;
        uint16_t pid = tspacket::pid(p);
        if (pid == tspacket::kNullPid || p[0] != tspacket::kSync) continue;
        PidPackets& e = pids[pid];
        if (tspacket::transportError(p)) continue;
        if (scrambled(p)) e.skip = true;
        if (!tspacket::payloadOffset(p)) continue;
        if (!e.sawStart && tspacket::payloadStart(p)) {
            // The first unit start tells what the PID carries.
            e.sawStart = true;
            size_t off = tspacket::payloadOffset(p);
            const uint8_t* s = p + off;
            e.pes = kSize - off >= 4 && s[0] == 0 && s[1] == 0 && s[2] == 1;
            e.video = e.pes && (s[3] & 0xF0) == 0xE0;
        }
        e.all.push_back(i);
    }
    for (auto& entry : pids) {
        PidPackets& e = entry.second;
        if (e.skip || e.all.empty()) continue;
        size_t removed = e.pes ? trimPes(ts, e) : trimSections(ts, e);
        if (removed) {
            result.packetsRemoved += removed;
            ++result.pidsTrimmed;
        }
    }
    return result;
}
