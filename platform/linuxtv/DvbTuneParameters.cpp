#include "platform/linuxtv/DvbTuneParameters.h"

#include <algorithm>

namespace {

dtv_property prop(uint32_t cmd, uint32_t value) {
    dtv_property p{};
    p.cmd = cmd;
    p.u.data = value;
    return p;
}

}  // namespace

uint32_t AtscChannelFrequencyHz(int ch) {
    // 6 MHz channels in four bands; the centre is 3 MHz above the lower edge.
    if (ch >= 2 && ch <= 4) return static_cast<uint32_t>(54 + 6 * (ch - 2) + 3) * 1000000u;
    if (ch >= 5 && ch <= 6) return static_cast<uint32_t>(76 + 6 * (ch - 5) + 3) * 1000000u;
    if (ch >= 7 && ch <= 13) return static_cast<uint32_t>(174 + 6 * (ch - 7) + 3) * 1000000u;
    if (ch >= 14 && ch <= 69) return static_cast<uint32_t>(470 + 6 * (ch - 14) + 3) * 1000000u;
    return 0;
}

std::vector<dtv_property> DvbtTuneProperties(fe_delivery_system system, long frequencyKHz, long bandwidthMHz,
                                             std::string& error) {
    if (system != SYS_DVBT && system != SYS_DVBT2) {
        error = "this front end receives neither DVB-T nor DVB-T2";
        return {};
    }
    // Terrestrial bands run from 47 MHz (band I) to 862 MHz (band V).
    if (frequencyKHz < 47000 || frequencyKHz > 862000) {
        error = "frequency " + std::to_string(frequencyKHz) + " kHz is outside the terrestrial bands";
        return {};
    }
    static const long kBandwidths[] = {0, 5, 6, 7, 8, 10};
    if (std::find(std::begin(kBandwidths), std::end(kBandwidths), bandwidthMHz) == std::end(kBandwidths)) {
        error = "bandwidth " + std::to_string(bandwidthMHz) + " MHz is not a DVB-T bandwidth";
        return {};
    }
    return {
        prop(DTV_CLEAR, 0),
        prop(DTV_DELIVERY_SYSTEM, system),
        prop(DTV_FREQUENCY, static_cast<uint32_t>(frequencyKHz) * 1000u),
        prop(DTV_BANDWIDTH_HZ, static_cast<uint32_t>(bandwidthMHz) * 1000000u),
        prop(DTV_MODULATION, QAM_AUTO),
        prop(DTV_CODE_RATE_HP, FEC_AUTO),
        prop(DTV_CODE_RATE_LP, FEC_AUTO),
        prop(DTV_TRANSMISSION_MODE, TRANSMISSION_MODE_AUTO),
        prop(DTV_GUARD_INTERVAL, GUARD_INTERVAL_AUTO),
        prop(DTV_HIERARCHY, HIERARCHY_AUTO),
        prop(DTV_INVERSION, INVERSION_AUTO),
        prop(DTV_TUNE, 0),
    };
}

long DvbtBandwidthWhenNotGiven(uint32_t caps) {
    return (caps & FE_CAN_BANDWIDTH_AUTO) ? 0 : 8;
}

std::vector<dtv_property> AtscTuneProperties(long physicalChannel, std::string& error) {
    uint32_t hz =
        physicalChannel > 0 && physicalChannel < 1000 ? AtscChannelFrequencyHz(int(physicalChannel)) : 0;
    if (hz == 0) {
        error = "there is no ATSC physical channel " + std::to_string(physicalChannel);
        return {};
    }
    return {
        prop(DTV_CLEAR, 0),          prop(DTV_DELIVERY_SYSTEM, SYS_ATSC), prop(DTV_FREQUENCY, hz),
        prop(DTV_MODULATION, VSB_8), prop(DTV_INVERSION, INVERSION_AUTO), prop(DTV_TUNE, 0),
    };
}

fe_delivery_system DvbtSystemFor(const std::vector<fe_delivery_system>& systems) {
    auto has = [&](fe_delivery_system s) {
        return std::find(systems.begin(), systems.end(), s) != systems.end();
    };
    if (has(SYS_DVBT)) return SYS_DVBT;
    if (has(SYS_DVBT2)) return SYS_DVBT2;
    return SYS_UNDEFINED;
}

const char* DeliverySystemName(fe_delivery_system system) {
    switch (system) {
        case SYS_DVBT:
            return "DVB-T";
        case SYS_DVBT2:
            return "DVB-T2";
        case SYS_ATSC:
            return "ATSC";
        case SYS_DVBC_ANNEX_A:
            return "DVB-C";
        case SYS_DVBC_ANNEX_B:
            return "DVB-C annex B";
        case SYS_DVBS:
            return "DVB-S";
        case SYS_DVBS2:
            return "DVB-S2";
        case SYS_ISDBT:
            return "ISDB-T";
        default:
            return "other";
    }
}
