// The services a real capture announces in its own tables: programme numbers from the PAT,
// names and providers from the SDT (actual) and, for ATSC, channel numbers and short names
// from the terrestrial or cable VCT. Sections are taken only when whole and their CRC holds.
#pragma once

#include <string>
#include <vector>

#include "platform/air/AirClip.h"

struct CaptureService {
    int serviceId = 0;
    std::string name;            // UTF-8 as far as the text is plain; empty when not announced
    std::string provider;        // SDT
    int type = -1;               // SDT service_type
    int major = -1, minor = -1;  // VCT
};

struct CaptureTables {
    int transportStreamId = -1;
    int originalNetworkId = -1;
    std::vector<CaptureService> services;  // in programme number order
};

CaptureTables readCaptureTables(const AirClip& clip);
