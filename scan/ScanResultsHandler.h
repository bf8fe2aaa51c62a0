// What a channel scan reports to: progress per tried channel and the list of found channels at
// the end. The TV control object implements it and forwards both over the message bus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/ScanItem.h"

class ScanResultsHandler {
public:
    virtual ~ScanResultsHandler() = default;
    // One call per tried channel or frequency, one per found channel, and one final call
    // (total, total, "", "", 0). Name and path are empty and signal 0 when nothing was found.
    virtual int32_t TVScanCallback(int32_t current, int32_t total, std::wstring name, std::wstring path,
                                   int32_t signal) = 0;
    // Once at the end of every scan that got past its set-up; items holds every channel found
    // since the scan object was created.
    virtual int32_t TVScanResult(std::wstring deviceName, std::vector<ScanItem> items) = 0;
    virtual int32_t Reserved1() = 0;
    virtual int32_t Reserved2() = 0;
};
