#include "host/CodecNames.h"

#include <gtest/gtest.h>

using namespace pelmo::streamer;

TEST(CodecNames, NamesTheCodecsThePluginDescribes) {
    EXPECT_STREQ("raw", videoCodecName(1));
    EXPECT_STREQ("mpeg2", videoCodecName(3));
    EXPECT_STREQ("mjpeg", videoCodecName(16));
    EXPECT_STREQ("mp2", audioCodecName(2));
    EXPECT_STREQ("ac3", audioCodecName(5));
    EXPECT_STREQ("wma8", audioCodecName(12));
}

TEST(CodecNames, AnIndexOutsideAColumnHasNoName) {
    EXPECT_EQ(nullptr, videoCodecName(-1));
    EXPECT_EQ(nullptr, videoCodecName(17));
    EXPECT_EQ(nullptr, audioCodecName(13));
    EXPECT_EQ(nullptr, audioCodecName(16));
}

TEST(CodecNames, IndexLookupIsTheInverse) {
    for (int i = 0; videoCodecName(i) != nullptr; ++i) {
        EXPECT_EQ(i, videoCodecIndex(videoCodecName(i)));
    }
    for (int i = 0; audioCodecName(i) != nullptr; ++i) {
        EXPECT_EQ(i, audioCodecIndex(audioCodecName(i)));
    }
    EXPECT_EQ(-1, audioCodecIndex("mpeg2"));
    EXPECT_EQ(-1, videoCodecIndex(nullptr));
}
