// Size of the time-shift buffer, read from the stream-buffer registry key handed to SetHKEY
// (HKEY_CURRENT_USER "Software\Kelvarin\Pelmo\Skyvane\StreamBuffer"). Values, all DWORD:
//
//   "WindowSeconds"   how much of the past is kept (default 3600, one hour; at least 2)
//   "MaxMegabytes"    most disk space the buffer may take, in MiB (default 4096, 4 GiB)
//   "SegmentSeconds"  length of one buffer file (default 10; never more than a quarter of
//                     the window, at least 1)
//
// Whichever of the window and the size is reached first decides: older segments are
// deleted as new ones are started. A missing key or value keeps the default; a value out of
// range is clamped.
#pragma once

#include <cstdint>

#include "platform/registry/Registry.h"

struct BufferSettings {
    int64_t window = 3600LL * 10000000;  // 100 ns
    uint64_t maxBytes = 4096ULL << 20;
    int64_t segmentLength = 10LL * 10000000;  // 100 ns

    static BufferSettings fromKey(HKEY key);
};
