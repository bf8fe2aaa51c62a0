#include "platform/air/AirTestCard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

struct Picture {
    int w, h;
    std::vector<uint8_t> y, u, v;
    Picture(const AirTestCard& card, int64_t n) : w(card.width()), h(card.height()) {
        y.resize(size_t(w * h));
        u.resize(size_t(w * h / 4));
        v.resize(size_t(w * h / 4));
        card.drawFrame(n, y.data(), w, u.data(), w / 2, v.data(), w / 2);
    }
    size_t count(uint8_t luma, int top = 0, int bottom = -1) const {
        if (bottom < 0) bottom = h;
        return size_t(std::count(y.begin() + top * w, y.begin() + bottom * w, luma));
    }
};

}  // namespace

TEST(AirTestCard, NumbersAreLegibleAndKeepTheirDot) {
    AirTestCard plain(720, 576, "221", "", 0, 440), dotted(720, 576, "22.1", "", 0, 440);
    Picture a(plain, 0), b(dotted, 0);
    // Light strokes in a dark outline, whatever the background.
    size_t light = a.count(AirTestCard::kLight, 150, 430), dark = a.count(AirTestCard::kDark, 150, 430);
    EXPECT_GT(light, 10000u);
    EXPECT_GT(dark, light / 10);
    // The dot is a stroke-sized square more.
    int stroke = 576 * 2 / 5 / 2 / 6;
    EXPECT_EQ(a.count(AirTestCard::kLight, 150, 430) + size_t(stroke * stroke),
              b.count(AirTestCard::kLight, 150, 430));
    // Digits and texts are grey, not tinted by the card's colour.
    for (size_t i = 0; i < b.u.size(); ++i) {
        int r = int(i) / (720 / 2), c = int(i) % (720 / 2);
        if (b.y[size_t(2 * r * 720 + 2 * c)] == AirTestCard::kLight) {
            ASSERT_EQ(128, b.u[i]) << r << "," << c;
        }
    }
}

TEST(AirTestCard, ClockAndBarMoveFromFrameToFrame) {
    AirTestCard card(720, 576, "5", "Demo Kids", 3, 440);
    EXPECT_EQ("00:00:00:00", card.clock(0));
    EXPECT_EQ("00:00:01:24", card.clock(49));
    EXPECT_EQ("01:01:01:00", card.clock(25 * 3661));
    card.setFrameRate(30000, 1001);
    EXPECT_EQ("00:00:01:00", card.clock(30));
    Picture first(card, 10), next(card, 11);
    int strip = 576 - 576 / 16 - 9 * (576 / 90);
    // The bottom strip's clock changes its last digit, and the bar has moved on.
    EXPECT_NE(first.count(AirTestCard::kLight, strip, 576), next.count(AirTestCard::kLight, strip, 576));
    EXPECT_NE(first.y, next.y);
    EXPECT_GT(first.count(AirTestCard::kBar), 0u);
}

TEST(AirTestCard, AnalogChannelsShareOneToneOnEveryPath) {
    // The tuner's raw output and the channel's clip both take the card from here.
    for (int channel : {3, 5, 8}) {
        AirTestCard card = AirTestCard::analogChannel(176, 144, channel);
        std::vector<int16_t> pcm(48000);
        card.tone(0, 48000, 48000, pcm.data());
        int crossings = 0;
        for (size_t i = 1; i < pcm.size(); ++i) crossings += (pcm[i - 1] < 0) != (pcm[i] < 0);
        EXPECT_NEAR(2 * AirTestCard::analogToneHz(channel), crossings, 2) << channel;
        // A whole number of waves in every clip length the generator makes (0.12 s steps).
        double waves = AirTestCard::analogToneHz(channel) * 0.12;
        EXPECT_DOUBLE_EQ(waves, double(int64_t(waves)));
        // The phase carries on exactly past a second.
        int16_t later[4], same[4];
        card.tone(48000 * 7 + 11, 4, 48000, later);
        card.tone(11, 4, 48000, same);
        EXPECT_TRUE(std::equal(later, later + 4, same));
    }
}
