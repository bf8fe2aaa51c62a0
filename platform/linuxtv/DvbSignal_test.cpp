#include "platform/linuxtv/DvbSignal.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/linuxtv/DvbFrontend.h"
#include "platform/linuxtv/DvbTuneParameters.h"

namespace {

dtv_fe_stats figure(uint8_t scale, int64_t svalue) {
    dtv_fe_stats s{};
    s.len = 1;
    s.stat[0].scale = scale;
    s.stat[0].svalue = svalue;
    return s;
}

dtv_fe_stats relative(uint64_t value) {
    dtv_fe_stats s{};
    s.len = 1;
    s.stat[0].scale = FE_SCALE_RELATIVE;
    s.stat[0].uvalue = value;
    return s;
}

uint32_t valueOf(const std::vector<dtv_property>& props, uint32_t cmd) {
    auto it = std::find_if(props.begin(), props.end(), [cmd](const dtv_property& p) { return p.cmd == cmd; });
    EXPECT_NE(it, props.end()) << "no property " << cmd;
    return it == props.end() ? 0xFFFFFFFFu : it->u.data;
}

}  // namespace

TEST(DvbSignal, FiguresOnEveryScaleTheKernelUses) {
    // dBm in thousandths: -90 dBm and below is nothing, -30 dBm and above is full.
    EXPECT_EQ(0, DvbStrengthPercent(figure(FE_SCALE_DECIBEL, -95000)));
    EXPECT_EQ(50, DvbStrengthPercent(figure(FE_SCALE_DECIBEL, -60000)));
    EXPECT_EQ(100, DvbStrengthPercent(figure(FE_SCALE_DECIBEL, -12000)));
    // CNR 0..30 dB.
    EXPECT_EQ(0, DvbCnrQualityPercent(figure(FE_SCALE_DECIBEL, -3000)));
    EXPECT_EQ(90, DvbCnrQualityPercent(figure(FE_SCALE_DECIBEL, 27000)));
    EXPECT_EQ(100, DvbCnrQualityPercent(figure(FE_SCALE_DECIBEL, 45000)));
    EXPECT_EQ(100, DvbStrengthPercent(relative(0xFFFF)));
    EXPECT_EQ(50, DvbCnrQualityPercent(relative(0x8000)));
    // Extreme values from a confused driver stay in range.
    EXPECT_EQ(0, DvbStrengthPercent(figure(FE_SCALE_DECIBEL, INT64_MIN)));
    EXPECT_EQ(100, DvbCnrQualityPercent(figure(FE_SCALE_DECIBEL, INT64_MAX)));
}

TEST(DvbSignal, FiguresTheDriverDoesNotGiveAreNotAvailable) {
    EXPECT_FALSE(DvbStrengthPercent(figure(FE_SCALE_NOT_AVAILABLE, 0)));
    // A counter is not a level.
    EXPECT_FALSE(DvbCnrQualityPercent(figure(FE_SCALE_COUNTER, 1234)));
    dtv_fe_stats none{};
    EXPECT_FALSE(DvbStrengthPercent(none));
    dtv_fe_stats tooLong = figure(FE_SCALE_DECIBEL, -40000);
    tooLong.len = MAX_DTV_STATS + 1;
    EXPECT_FALSE(DvbStrengthPercent(tooLong));
}

TEST(DvbSignal, LockPresenceAndQualityFromTheStatus) {
    dtv_fe_stats strength = figure(FE_SCALE_DECIBEL, -40000);
    dtv_fe_stats cnr = figure(FE_SCALE_DECIBEL, 24000);
    DvbSignal locked = DvbSignalFrom(
        FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_VITERBI | FE_HAS_SYNC | FE_HAS_LOCK, strength, cnr);
    EXPECT_TRUE(locked.present);
    EXPECT_TRUE(locked.locked);
    EXPECT_EQ(83, locked.strength);
    EXPECT_EQ(80, locked.quality);
    EXPECT_EQ("locked, strength 83, quality 80", DvbSignalText(locked));

    // A carrier without lock has a strength but no quality, whatever CNR is left over.
    DvbSignal carrier = DvbSignalFrom(FE_HAS_SIGNAL | FE_HAS_CARRIER, strength, cnr);
    EXPECT_TRUE(carrier.present);
    EXPECT_FALSE(carrier.locked);
    EXPECT_EQ(0, carrier.quality);

    DvbSignal nothing = DvbSignalFrom(0, figure(FE_SCALE_NOT_AVAILABLE, 0), cnr);
    EXPECT_FALSE(nothing.present);
    EXPECT_FALSE(nothing.strength);
    EXPECT_EQ("no signal, strength n/a, quality 0", DvbSignalText(nothing));

    // Locked, but the driver has no CNR: quality is not available rather than 0.
    DvbSignal noCnr = DvbSignalFrom(FE_HAS_SIGNAL | FE_HAS_LOCK, strength, figure(FE_SCALE_NOT_AVAILABLE, 0));
    EXPECT_FALSE(noCnr.quality);
}

TEST(DvbTuneParameters, DvbtPropertiesCarryFrequencyBandwidthAndSystemAndEndWithTune) {
    std::string error;
    auto props = DvbtTuneProperties(SYS_DVBT, 474000, 8, error);
    ASSERT_FALSE(props.empty()) << error;
    EXPECT_EQ(uint32_t(DTV_CLEAR), props.front().cmd);
    EXPECT_EQ(uint32_t(DTV_TUNE), props.back().cmd);
    EXPECT_EQ(uint32_t(SYS_DVBT), valueOf(props, DTV_DELIVERY_SYSTEM));
    EXPECT_EQ(474000000u, valueOf(props, DTV_FREQUENCY));
    EXPECT_EQ(8000000u, valueOf(props, DTV_BANDWIDTH_HZ));
    EXPECT_EQ(uint32_t(QAM_AUTO), valueOf(props, DTV_MODULATION));

    props = DvbtTuneProperties(SYS_DVBT2, 858000, 7, error);
    EXPECT_EQ(uint32_t(SYS_DVBT2), valueOf(props, DTV_DELIVERY_SYSTEM));
    EXPECT_EQ(7000000u, valueOf(props, DTV_BANDWIDTH_HZ));
}

TEST(DvbTuneParameters, ABandwidthNobodyGaveIsLeftToAFrontEndThatFindsItElseEightMHz) {
    EXPECT_EQ(0, DvbtBandwidthWhenNotGiven(FE_CAN_BANDWIDTH_AUTO | FE_CAN_QAM_AUTO));
    EXPECT_EQ(8, DvbtBandwidthWhenNotGiven(FE_CAN_QAM_AUTO | FE_CAN_FEC_AUTO));
    std::string error;
    auto props = DvbtTuneProperties(SYS_DVBT, 474000, 0, error);
    ASSERT_FALSE(props.empty()) << error;
    EXPECT_EQ(0u, valueOf(props, DTV_BANDWIDTH_HZ));
}

TEST(DvbTuneParameters, OnlyAFrequencyOffTheFrontEndsOwnRangeCountsAsOutOfRange) {
    DvbFrontendInfo fe;
    fe.frequencyMin = 51000000;
    fe.frequencyMax = 858000000;
    EXPECT_TRUE(DvbOutsideRange(fe, 49000000));
    EXPECT_TRUE(DvbOutsideRange(fe, 858000001));
    EXPECT_FALSE(DvbOutsideRange(fe, 51000000));
    EXPECT_FALSE(DvbOutsideRange(fe, 858000000));
    // A front end that gives no range never puts a frequency outside it.
    EXPECT_FALSE(DvbOutsideRange(DvbFrontendInfo{}, 49000000));
}

TEST(DvbTuneParameters, ValuesNoFrontEndTakesAreRefusedWithAReason) {
    std::string error;
    EXPECT_TRUE(DvbtTuneProperties(SYS_DVBT, 474000, 9, error).empty());
    EXPECT_NE(std::string::npos, error.find("bandwidth 9 MHz"));
    EXPECT_TRUE(DvbtTuneProperties(SYS_DVBT, 11362000, 8, error).empty());
    EXPECT_NE(std::string::npos, error.find("outside the terrestrial bands"));
    // kHz taken for Hz would overflow the property; it is refused before that.
    EXPECT_TRUE(DvbtTuneProperties(SYS_DVBT, 474000000, 8, error).empty());
    EXPECT_TRUE(DvbtTuneProperties(SYS_DVBS2, 474000, 8, error).empty());
    EXPECT_TRUE(AtscTuneProperties(70, error).empty());
    EXPECT_NE(std::string::npos, error.find("no ATSC physical channel 70"));
    EXPECT_TRUE(AtscTuneProperties(-5, error).empty());
    EXPECT_TRUE(AtscTuneProperties(1, error).empty());
}

TEST(DvbTuneParameters, AtscPhysicalChannelsFollowTheBandPlan) {
    EXPECT_EQ(57000000u, AtscChannelFrequencyHz(2));
    EXPECT_EQ(69000000u, AtscChannelFrequencyHz(4));
    EXPECT_EQ(79000000u, AtscChannelFrequencyHz(5));  // the gap above channel 4
    EXPECT_EQ(177000000u, AtscChannelFrequencyHz(7));
    EXPECT_EQ(213000000u, AtscChannelFrequencyHz(13));
    EXPECT_EQ(473000000u, AtscChannelFrequencyHz(14));
    EXPECT_EQ(803000000u, AtscChannelFrequencyHz(69));
    EXPECT_EQ(0u, AtscChannelFrequencyHz(0));
    std::string error;
    auto props = AtscTuneProperties(14, error);
    EXPECT_EQ(uint32_t(SYS_ATSC), valueOf(props, DTV_DELIVERY_SYSTEM));
    EXPECT_EQ(uint32_t(VSB_8), valueOf(props, DTV_MODULATION));
    EXPECT_EQ(473000000u, valueOf(props, DTV_FREQUENCY));
}

TEST(DvbTuneParameters, DvbtIsPreferredOverT2AndNeededForTerrestrialTuning) {
    EXPECT_EQ(SYS_DVBT, DvbtSystemFor({SYS_DVBT2, SYS_DVBT, SYS_DVBC_ANNEX_A}));
    EXPECT_EQ(SYS_DVBT2, DvbtSystemFor({SYS_DVBT2}));
    EXPECT_EQ(SYS_UNDEFINED, DvbtSystemFor({SYS_ATSC, SYS_DVBS}));
}
