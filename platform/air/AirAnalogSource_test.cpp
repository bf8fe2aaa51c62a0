#include "platform/air/AirAnalogSource.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/com/Types.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";

size_t darkPixels(const AirPicture& p) {
    return size_t(std::count(p.i420.begin(), p.i420.begin() + long(p.width) * p.height, uint8_t(16)));
}

// Moves the broadcast's clock (stopped by hand) past a channel's lock time.
bool lockNow(AirBroadcast& air, AirTuner& t) {
    air.advanceMs(t.multiplex() ? t.multiplex()->lockMs : 0);
    return t.signal().locked;
}

}  // namespace

TEST(AirAnalogSource, ShowsTheTunedChannelAndSnowWithoutSignal) {
    std::string error;
    auto air = AirBroadcast::open(kDemo, error);
    ASSERT_TRUE(air) << error;
    air->setSpeed(20.0);
    air->setManualClock(true);
    auto tuner = air->tuner(L"Skyvane Virtual Analog Tuner C");
    ASSERT_TRUE(tuner);
    AirAnalogSource source(tuner, 320, 240, 30);
    AirPicture p;

    ASSERT_EQ(S_OK, tuner->selectAuxInput(0));  // nothing plugged in
    ASSERT_TRUE(source.next(p, 5000));
    EXPECT_EQ(-1, p.channel);
    EXPECT_EQ(size_t(320 * 240 * 3 / 2), p.i420.size());
    EXPECT_TRUE(std::all_of(p.pcm.begin(), p.pcm.end(), [](int16_t s) { return s == 0; }));
    auto luma = std::minmax_element(p.i420.begin(), p.i420.begin() + 320 * 240);
    EXPECT_GT(*luma.second - *luma.first, 100);
    EXPECT_TRUE(std::all_of(p.i420.begin() + 320 * 240, p.i420.end(), [](uint8_t c) { return c == 128; }));

    ASSERT_EQ(S_OK, tuner->tuneAnalog(8));
    ASSERT_TRUE(lockNow(*air, *tuner));
    ASSERT_TRUE(source.next(p, 5000));
    EXPECT_EQ(8, p.channel);
    size_t eight = darkPixels(p);
    EXPECT_TRUE(std::any_of(p.pcm.begin(), p.pcm.end(), [](int16_t s) { return s > 1000; }));

    ASSERT_EQ(S_OK, tuner->tuneAnalog(3));
    ASSERT_TRUE(lockNow(*air, *tuner));
    ASSERT_TRUE(source.next(p, 5000));
    EXPECT_EQ(3, p.channel);
    // An 8 lights all seven segments, a 3 only five.
    EXPECT_GT(eight, darkPixels(p));
    EXPECT_GT(darkPixels(p), 0u);
}

TEST(AirAnalogSource, FramesAndSoundKeepTheFrameRate) {
    std::string error;
    auto air = AirBroadcast::open(kDemo, error);
    ASSERT_TRUE(air) << error;
    air->setSpeed(50.0);
    auto tuner = air->tuner(L"Skyvane Virtual Analog Tuner A");
    ASSERT_EQ(S_OK, tuner->tuneAnalog(5));
    AirAnalogSource source(tuner, 176, 144, 30);
    AirPicture p;
    size_t samples = 0;
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(source.next(p, 5000));
        EXPECT_EQ(i, p.index);
        EXPECT_EQ(int64_t(i) * 10000000 / 30, p.time100ns);
        samples += p.pcm.size() / 2;
    }
    // Two seconds of pictures carry two seconds of sound, to the sample.
    EXPECT_EQ(size_t(2 * AirAnalogSource::kSampleRate), samples);
    // A frame far in the future is not waited for.
    AirAnalogSource slow(tuner, 176, 144, 1);
    ASSERT_TRUE(slow.next(p, 0));
    air->setSpeed(0.01);
    EXPECT_FALSE(slow.next(p, 10));
}
