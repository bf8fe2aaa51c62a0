// The service information the broadcast generator writes beside the muxer's own PAT and PMTs:
// NIT (network name, terrestrial delivery, frequency list, service list, logical channel
// numbers), SDT (service descriptors) and the ATSC terrestrial VCT.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/air/AirCatalogue.h"

class BroadcastTables {
public:
    using Section = std::vector<uint8_t>;

    // MPEG-2 CRC-32 (polynomial 0x04C11DB7, no reflection).
    static uint32_t crc32(const uint8_t* data, size_t size);

    // NIT actual of `m`'s network: one entry per multiplex of the catalogue with the same
    // network id. Empty when `m` carries no NIT.
    static std::vector<Section> nit(const AirCatalogue& catalogue, const AirMultiplex& m);
    static std::vector<Section> sdt(const AirMultiplex& m);
    static std::vector<Section> vct(const AirMultiplex& m);

    // Splits sections into 188-byte packets on `pid`, each section starting in a new packet
    // with a pointer field of 0; `cc` carries the continuity counter on.
    static std::vector<uint8_t> packetize(const std::vector<Section>& sections, uint16_t pid, uint8_t& cc);
};
