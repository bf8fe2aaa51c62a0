#include "platform/linuxtv/DvbSignal.h"

#include <algorithm>

namespace {

// A driver with several layers (ISDB-T) reports one figure per layer; the first is the
// whole signal's.
const dtv_stats* firstStat(const dtv_fe_stats& stats) {
    if (stats.len == 0 || stats.len > MAX_DTV_STATS) return nullptr;
    return &stats.stat[0];
}

int linearPercent(int64_t value, int64_t zeroAt, int64_t fullAt) {
    // Far outside any real figure; keeps the arithmetic below from overflowing.
    value = std::clamp<int64_t>(value, -1000000000, 1000000000);
    int64_t p = (value - zeroAt) * 100 / (fullAt - zeroAt);
    return static_cast<int>(std::clamp<int64_t>(p, 0, 100));
}

std::optional<int> percent(const dtv_fe_stats& stats, int64_t zeroAt, int64_t fullAt) {
    const dtv_stats* s = firstStat(stats);
    if (!s) return std::nullopt;
    switch (s->scale) {
        case FE_SCALE_DECIBEL:
            return linearPercent(s->svalue, zeroAt, fullAt);
        case FE_SCALE_RELATIVE:
            return linearPercent(static_cast<int64_t>(s->uvalue & 0xFFFF), 0, 0xFFFF);
        default:  // not available, or a counter, which says nothing about level
            return std::nullopt;
    }
}

}  // namespace

std::optional<int> DvbStrengthPercent(const dtv_fe_stats& stats) {
    return percent(stats, -90000, -30000);
}

std::optional<int> DvbCnrQualityPercent(const dtv_fe_stats& stats) {
    return percent(stats, 0, 30000);
}

DvbSignal DvbSignalFrom(unsigned status, const dtv_fe_stats& strength, const dtv_fe_stats& cnr) {
    DvbSignal s;
    s.present = (status & FE_HAS_SIGNAL) != 0;
    s.locked = (status & FE_HAS_LOCK) != 0;
    s.strength = DvbStrengthPercent(strength);
    // A quality figure means nothing without lock, whatever the driver leaves in it.
    s.quality = s.locked ? DvbCnrQualityPercent(cnr) : std::optional<int>(0);
    return s;
}

std::string DvbSignalText(const DvbSignal& signal) {
    auto figure = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("n/a"); };
    std::string state = signal.locked ? "locked" : signal.present ? "signal, no lock" : "no signal";
    return state + ", strength " + figure(signal.strength) + ", quality " + figure(signal.quality);
}
