#include "platform/linuxtv/AnalogChannelPlan.h"

#include <gtest/gtest.h>

TEST(AnalogChannelPlan, VisionCarriersByCountryAndBand) {
    // North America over the air: the gap between channels 4 and 5, and the jump to UHF.
    EXPECT_EQ(55250000u, AnalogVisionCarrierHz(1, false, 2));
    EXPECT_EQ(67250000u, AnalogVisionCarrierHz(1, false, 4));
    EXPECT_EQ(77250000u, AnalogVisionCarrierHz(1, false, 5));
    EXPECT_EQ(211250000u, AnalogVisionCarrierHz(1, false, 13));
    EXPECT_EQ(471250000u, AnalogVisionCarrierHz(1, false, 14));
    EXPECT_EQ(801250000u, AnalogVisionCarrierHz(1, false, 69));
    // Cable: 14 is in the mid band, 95-99 below 14's band, 1 on its own.
    EXPECT_EQ(121250000u, AnalogVisionCarrierHz(1, true, 14));
    EXPECT_EQ(91250000u, AnalogVisionCarrierHz(1, true, 95));
    EXPECT_EQ(73250000u, AnalogVisionCarrierHz(1, true, 1));
    EXPECT_EQ(0u, AnalogVisionCarrierHz(1, false, 1));
    // Germany: 7 MHz VHF channels, 8 MHz UHF ones.
    EXPECT_EQ(48250000u, AnalogVisionCarrierHz(49, false, 2));
    EXPECT_EQ(175250000u, AnalogVisionCarrierHz(49, false, 5));
    EXPECT_EQ(503250000u, AnalogVisionCarrierHz(49, false, 25));
    EXPECT_EQ(0u, AnalogVisionCarrierHz(49, false, 15));  // between the bands
    EXPECT_EQ(0u, AnalogVisionCarrierHz(44, false, 5));   // no VHF television in the UK
    EXPECT_EQ(91250000u, AnalogVisionCarrierHz(81, false, 1));
}

TEST(AnalogChannelPlan, UnknownCountriesAndChannelsHaveNoFrequency) {
    EXPECT_EQ(0u, AnalogVisionCarrierHz(999, false, 2));
    EXPECT_EQ(0u, AnalogVisionCarrierHz(0, false, 2));
    EXPECT_EQ(0u, AnalogVisionCarrierHz(1, false, -3));
    EXPECT_EQ(0u, AnalogVisionCarrierHz(1, true, 126));
    EXPECT_EQ(0u, AnalogVisionCarrierHz(1, false, 2147483647L));
}
