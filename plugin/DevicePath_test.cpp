#include "plugin/DevicePath.h"

#include <gtest/gtest.h>

using Pieces = std::vector<std::wstring>;

TEST(DevicePathSplit, KeepsEmptyPieces) {
    EXPECT_EQ((Pieces{L"a", L"b", L""}), DevicePath::split(L"a/#/b/#/", L"/#/"));
    EXPECT_EQ((Pieces{L""}), DevicePath::split(L"", L"/#/"));
    EXPECT_EQ((Pieces{L"", L""}), DevicePath::split(L"/#/", L"/#/"));
    EXPECT_EQ((Pieces{L"tv.channel.atsc"}), DevicePath::split(L"tv.channel.atsc", L"/#/"));
}

TEST(DevicePathSplit, SeparatorPiecesDoNotOverlap) {
    // "/#/#/" holds one separator and then "#/", not two separators sharing a slash.
    EXPECT_EQ((Pieces{L"a", L"#/b"}), DevicePath::split(L"a/#/#/b", L"/#/"));
    EXPECT_EQ((Pieces{L"", L"", L""}), DevicePath::split(L"/#//#/", L"/#/"));
}

TEST(DevicePathRemoveAll, RemovesEveryOccurrenceAnywhere) {
    EXPECT_EQ(L"tv.channel.dvbt/#/1/2/3/4/5",
              DevicePath::removeAll(L"device://tv.channel.dvbt/#/1/2/3/4/5", L"device://"));
    EXPECT_EQ(L"xtv.channel.analog/#/4",
              DevicePath::removeAll(L"xdevice://tv.channel.analog/#/4", L"device://"));
    EXPECT_EQ(L"ab", DevicePath::removeAll(L"device://adevice://bdevice://", L"device://"));
    // What a removal joins together is removed too: nothing of the prefix survives.
    EXPECT_EQ(L"x", DevicePath::removeAll(L"devdevice://ice://x", L"device://"));
    EXPECT_EQ(L"same", DevicePath::removeAll(L"same", L""));
}

TEST(DevicePathChannel, ReadsMediaTypeAndMediumAndIgnoresTheRest) {
    std::wstring type, medium;
    ASSERT_TRUE(
        DevicePath::readChannelPath(L"device://tv.channel.dvbt/#/474000/8/9018/4100/4164", type, medium));
    EXPECT_EQ(L"tv.channel.dvbt", type);
    EXPECT_EQ(L"474000/8/9018/4100/4164", medium);

    ASSERT_TRUE(DevicePath::readChannelPath(L"device://tv.channel.analog/#/12/#/extra", type, medium));
    EXPECT_EQ(L"tv.channel.analog", type);
    EXPECT_EQ(L"12", medium);
}

TEST(DevicePathChannel, PathWithoutSeparatorHasNoMedium) {
    std::wstring type, medium = L"old";
    EXPECT_FALSE(DevicePath::readChannelPath(L"device://tv.channel.analog", type, medium));
    EXPECT_EQ(L"tv.channel.analog", type);
    EXPECT_EQ(L"", medium);
    EXPECT_FALSE(DevicePath::readChannelPath(L"", type, medium));
}

TEST(DevicePathTuner, OpensTheDefaultChannelOfItsType) {
    std::wstring path;
    ASSERT_EQ(S_OK, DevicePath::channelPathForTuner(L"tuner://tv.channel.dvbt/#/anything", path));
    EXPECT_EQ(L"device://tv.channel.dvbt/#/49000/-1/-1/-1/-1", path);
    ASSERT_EQ(S_OK, DevicePath::channelPathForTuner(L"tuner://tv.channel.analog/#/x", path));
    EXPECT_EQ(L"device://tv.channel.analog/#/4", path);
    ASSERT_EQ(S_OK, DevicePath::channelPathForTuner(L"tuner://tv.channel.atsc/#/", path));
    EXPECT_EQ(L"device://tv.channel.atsc/#/4/-1/-1", path);
}

TEST(DevicePathTuner, RefusesWhatItCannotOpen) {
    std::wstring path = L"untouched";
    EXPECT_EQ(E_FAIL, DevicePath::channelPathForTuner(L"tuner://tv.channel.atsc", path));
    EXPECT_EQ(E_FAIL, DevicePath::channelPathForTuner(L"tuner://tv.webcam/#/cam0", path));
    EXPECT_EQ(E_FAIL, DevicePath::channelPathForTuner(L"tuner://tv.radio/#/x", path));
    EXPECT_EQ(E_FAIL, DevicePath::channelPathForTuner(L"tuner://TV.CHANNEL.DVBT/#/x", path));
    EXPECT_EQ(E_FAIL, DevicePath::channelPathForTuner(L"tuner://", path));
    EXPECT_EQ(L"untouched", path);
}

TEST(DevicePathTuner, TunerPrefixCountsAnywhere) {
    EXPECT_TRUE(DevicePath::isTunerPath(L"tuner://tv.channel.dvbt/#/x"));
    EXPECT_TRUE(DevicePath::isTunerPath(L"xyz tuner://tv.channel.dvbt/#/x"));
    EXPECT_FALSE(DevicePath::isTunerPath(L"device://tv.channel.dvbt/#/tuner:/x"));
    std::wstring path;
    ASSERT_EQ(S_OK, DevicePath::channelPathForTuner(L"tuner://tv.channel.analog/#/tuner://", path));
    EXPECT_EQ(L"device://tv.channel.analog/#/4", path);
}
