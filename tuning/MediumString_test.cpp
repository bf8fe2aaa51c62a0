#include "tuning/MediumString.h"

#include <climits>

#include <gtest/gtest.h>

using Fields = std::vector<std::wstring>;

TEST(MediumStringFields, RunsAndLeadingSlashesSeparateLikeOne) {
    EXPECT_EQ((Fields{L"4", L"5"}), MediumString::fields(L"4//5", 2));
    EXPECT_EQ((Fields{L"4", L"5"}), MediumString::fields(L"/4/5", 2));
    EXPECT_EQ((Fields{L"4", L"5", L""}), MediumString::fields(L"///4///5///", 3));
}

TEST(MediumStringFields, MissingFieldsAreEmptyAndExtraOnesIgnored) {
    EXPECT_EQ((Fields{L"", L""}), MediumString::fields(L"", 2));
    EXPECT_EQ((Fields{L"49000", L"", L""}), MediumString::fields(L"49000", 3));
    EXPECT_EQ((Fields{L"1", L"2"}), MediumString::fields(L"1/2/3/4", 2));
    EXPECT_EQ(Fields{}, MediumString::fields(L"1/2", 0));
}

TEST(MediumStringReadInt, ReadsLeadingDigitsLeniently) {
    EXPECT_EQ(0, MediumString::readInt(L"abc"));
    EXPECT_EQ(12, MediumString::readInt(L"12kHz"));
    EXPECT_EQ(-1, MediumString::readInt(L"-1"));
    EXPECT_EQ(-7, MediumString::readInt(L" \t-7"));
    EXPECT_EQ(5, MediumString::readInt(L"+5"));
    EXPECT_EQ(0, MediumString::readInt(L"-"));
    EXPECT_EQ(0, MediumString::readInt(L"--5"));
    EXPECT_EQ(0, MediumString::readInt(L""));
    EXPECT_EQ(0, MediumString::readInt(L"x12"));
}

TEST(MediumStringReadInt, SaturatesOutsideThe32BitRange) {
    EXPECT_EQ(INT32_MAX, MediumString::readInt(L"2147483647"));
    EXPECT_EQ(INT32_MIN, MediumString::readInt(L"-2147483648"));
    EXPECT_EQ(INT32_MAX, MediumString::readInt(L"2147483648"));
    EXPECT_EQ(INT32_MIN, MediumString::readInt(L"-99999999999999999999999999"));
    EXPECT_EQ(INT32_MAX, MediumString::readInt(L"000000000000000000000099999999999"));
}

TEST(MediumStringDvbt, DefaultMediumSetsNoNetworkIds) {
    DvbtChannel c;
    ASSERT_EQ(S_OK, MediumString::parseDvbt(L"49000/-1/-1/-1/-1", c));
    EXPECT_EQ(49000, c.frequency);
    EXPECT_EQ(-1, c.bandwidth);
    EXPECT_FALSE(c.hasNetworkIds());
}

TEST(MediumStringDvbt, FieldsComeInOnidTsidSidOrder) {
    DvbtChannel c;
    ASSERT_EQ(S_OK, MediumString::parseDvbt(L"49000/8/8916/4100/4164", c));
    EXPECT_EQ(8, c.bandwidth);
    EXPECT_EQ(8916, c.onid);
    EXPECT_EQ(4100, c.tsid);
    EXPECT_EQ(4164, c.sid);
    EXPECT_TRUE(c.hasNetworkIds());

    ASSERT_EQ(S_OK, MediumString::parseDvbt(L"49000/8/8916/-1/4164", c));
    EXPECT_FALSE(c.hasNetworkIds());
}

TEST(MediumStringDvbt, TooFewFieldsFailAndLeaveTheChannelAlone) {
    DvbtChannel c;
    c.frequency = 123;
    EXPECT_EQ(E_FAIL, MediumString::parseDvbt(L"49000/8/1/2", c));
    EXPECT_EQ(E_FAIL, MediumString::parseDvbt(L"49000", c));
    EXPECT_EQ(E_FAIL, MediumString::parseDvbt(L"49000/8/1/2/", c));
    EXPECT_EQ(E_FAIL, MediumString::parseDvbt(L"", c));
    EXPECT_EQ(123, c.frequency);
}

TEST(MediumStringDvbt, ExtraFieldsAreIgnoredAndEmptyOnesCollapse) {
    DvbtChannel c;
    ASSERT_EQ(S_OK, MediumString::parseDvbt(L"12/3/4/5/6/7/8", c));
    EXPECT_EQ(6, c.sid);
    ASSERT_EQ(S_OK, MediumString::parseDvbt(L"474000//8/9018/4100/4164", c));
    EXPECT_EQ(8, c.bandwidth);
    EXPECT_EQ(4164, c.sid);
}

TEST(MediumStringAtsc, ReadsThreeFieldsAndRefusesTwo) {
    AtscChannel c;
    ASSERT_EQ(S_OK, MediumString::parseAtsc(L"4/-1/-1", c));
    EXPECT_EQ(4, c.physical);
    EXPECT_EQ(-1, c.major);
    EXPECT_EQ(-1, c.minor);
    ASSERT_EQ(S_OK, MediumString::parseAtsc(L"4//7/1", c));
    EXPECT_EQ(7, c.major);
    EXPECT_EQ(1, c.minor);
    EXPECT_EQ(E_FAIL, MediumString::parseAtsc(L"4/7", c));
    EXPECT_EQ(E_FAIL, MediumString::parseAtsc(L"4/7//", c));
}

TEST(MediumStringAnalog, WholeTextIsOneChannelNumber) {
    EXPECT_EQ(7, MediumString::parseAnalog(L"7"));
    EXPECT_EQ(4, MediumString::parseAnalog(L"4/-1/-1"));
    EXPECT_EQ(0, MediumString::parseAnalog(L""));
    EXPECT_EQ(0, MediumString::parseAnalog(L"ch5"));
}

TEST(MediumStringFormat, FormatReadsBackToTheSameChannel) {
    DvbtChannel d{474000, 8, 9018, 4100, 4164};
    EXPECT_EQ(L"474000/8/9018/4100/4164", MediumString::format(d));
    DvbtChannel back;
    ASSERT_EQ(S_OK, MediumString::parseDvbt(MediumString::format(d), back));
    EXPECT_EQ(d.sid, back.sid);

    AtscChannel a{36, 7, -1};
    EXPECT_EQ(L"36/7/-1", MediumString::format(a));
    EXPECT_EQ(L"-1", MediumString::unknown());
}

TEST(MediumStringDefaults, EachChannelTypeHasATunerDefault) {
    EXPECT_EQ(L"4", MediumString::defaultFor(L"tv.channel.analog"));
    EXPECT_EQ(L"4/-1/-1", MediumString::defaultFor(L"tv.channel.atsc"));
    EXPECT_EQ(L"49000/-1/-1/-1/-1", MediumString::defaultFor(L"tv.channel.dvbt"));
    EXPECT_EQ(L"", MediumString::defaultFor(L"tv.webcam"));
    EXPECT_EQ(L"", MediumString::defaultFor(L"TV.CHANNEL.DVBT"));
}
