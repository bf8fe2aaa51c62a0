// One found channel as it travels to the scan's results handler.
#pragma once

#include <cstdint>
#include <string>

struct ScanItem {
    std::wstring name;       // service name (digital) or channel number (analog)
    std::wstring path;       // device://<media type>/#/<medium>
    std::wstring frequency;  // decimal
    int32_t signal = 0;
};

// A channel entry is a medium string, "/", then the name; the name is what follows the last
// "/" (a name with "/" in it loses its front part to the medium).
void SplitChannelEntry(const std::wstring& entry, std::wstring* medium, std::wstring* name);
// The scan item of a digital channel entry found on a frequency with some signal strength.
ScanItem MakeDigitalScanItem(const std::wstring& mediaType, const std::wstring& entry, int32_t frequency,
                             int32_t signal);
