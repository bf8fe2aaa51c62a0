// What a DVB front end says about the signal, in the platform's terms: strength and quality as
// 0..100, lock and presence. A figure the driver does not give is "not available" (empty), which
// the tuner's statistics report as a success without a value, never as a failure.
#pragma once

#include <linux/dvb/frontend.h>

#include <optional>
#include <string>

struct DvbSignal {
    bool present = false;
    bool locked = false;
    std::optional<int> strength;  // 0..100
    std::optional<int> quality;   // 0..100
};

// Strength from DTV_STAT_SIGNAL_STRENGTH: dBm (in 0.001 dB) from -90 dBm (0) to -30 dBm (100),
// or the driver's relative scale (0..65535).
std::optional<int> DvbStrengthPercent(const dtv_fe_stats& stats);
// Quality from DTV_STAT_CNR: carrier-to-noise from 0 dB (0) to 30 dB (100), or relative.
std::optional<int> DvbCnrQualityPercent(const dtv_fe_stats& stats);
DvbSignal DvbSignalFrom(unsigned status, const dtv_fe_stats& strength, const dtv_fe_stats& cnr);
// "locked", "signal, no lock", "no signal" with the figures, for log lines.
std::string DvbSignalText(const DvbSignal& signal);
