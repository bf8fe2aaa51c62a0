// Test helpers: build sections and packetise them (used by the tests of the section source
// and of the table parser; not part of any library).
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/mpeg2data/TsDemux.h"

namespace sectiontest {

using Bytes = std::vector<uint8_t>;

// A long-form section as transmitted, with a valid CRC.
inline Bytes makeSection(uint8_t tableId, uint16_t extension, int version, int number, int last,
                         const Bytes& body) {
    const size_t sectionLength = 5 + body.size() + 4;
    Bytes s = {tableId,
               static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F)),
               static_cast<uint8_t>(sectionLength & 0xFF),
               static_cast<uint8_t>(extension >> 8),
               static_cast<uint8_t>(extension & 0xFF),
               static_cast<uint8_t>(0xC1 | ((version & 0x1F) << 1)),
               static_cast<uint8_t>(number),
               static_cast<uint8_t>(last)};
    s.reserve(sectionLength + 3);  // also keeps g++ 12 from a false out-of-bounds warning
    s.insert(s.end(), body.begin(), body.end());
    const uint32_t crc = Mpeg2Crc32(s.data(), s.size());
    for (int k = 3; k >= 0; --k) s.push_back(static_cast<uint8_t>(crc >> (8 * k)));
    return s;
}

// One 188-byte packet: header, optional pointer field, payload, then 0xFF stuffing.
inline Bytes makePacket(uint16_t pid, int cc, bool unitStart, const Bytes& payload, int pointer = -1,
                        bool transportError = false) {
    Bytes p = {
        0x47,
        static_cast<uint8_t>((transportError ? 0x80 : 0) | (unitStart ? 0x40 : 0) | ((pid >> 8) & 0x1F)),
        static_cast<uint8_t>(pid & 0xFF), static_cast<uint8_t>(0x10 | (cc & 0x0F))};
    if (pointer >= 0) p.push_back(static_cast<uint8_t>(pointer));
    p.insert(p.end(), payload.begin(), payload.end());
    p.resize(TsDemux::kPacketSize, 0xFF);
    return p;
}

// The sections back to back, cut into packets on one PID starting with counter cc.
inline Bytes packetise(uint16_t pid, const std::vector<Bytes>& sections, int cc = 0) {
    Bytes all;
    for (const auto& s : sections) all.insert(all.end(), s.begin(), s.end());
    Bytes ts;
    size_t pos = 0;
    bool first = true;
    while (pos < all.size()) {
        const size_t room = TsDemux::kPacketSize - 4 - (first ? 1 : 0);
        const size_t n = all.size() - pos < room ? all.size() - pos : room;
        Bytes chunk(all.begin() + pos, all.begin() + pos + n);
        Bytes pkt = makePacket(pid, cc++, first, chunk, first ? 0 : -1);
        ts.insert(ts.end(), pkt.begin(), pkt.end());
        pos += n;
        first = false;
    }
    return ts;
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CutSection {
    uint16_t pid;
    Bytes bytes;  // as transmitted
};

// Reads a file written by scan/testdata/cut_sections.py: PID (2 bytes) then the section.
inline std::vector<CutSection> readCutSections(const std::string& path) {
    const Bytes d = readFile(path);
    std::vector<CutSection> out;
    size_t i = 0;
    while (d.size() - i >= 5) {
        const uint16_t pid = static_cast<uint16_t>((d[i] << 8) | d[i + 1]);
        const size_t total = 3 + (((d[i + 3] & 0x0F) << 8) | d[i + 4]);
        if (total > d.size() - i - 2) break;
        out.push_back({pid, Bytes(d.begin() + i + 2, d.begin() + i + 2 + total)});
        i += 2 + total;
    }
    return out;
}

}  // namespace sectiontest
