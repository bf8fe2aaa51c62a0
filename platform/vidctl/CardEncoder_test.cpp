// The card's hardware encoder in the Video Control: what reaches the output is the live encode
// of whatever the analog tuner receives, decoded here as a player would.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/air/AirEncoder.h"
#include "platform/air/AirTestCard.h"
#include "platform/air/AirTsProbe.h"
#include "platform/air/AirTuner.h"
#include "platform/vidctl/CardEncoderFilter.h"
#include "platform/vidctl/VidCtlTestSupport.h"

namespace {

using namespace vidctl_test;

const wchar_t* kTunerA = L"Skyvane Virtual Analog Tuner A";
const wchar_t* kEncoderA = L"Skyvane Virtual MPEG Encoder A";

// Waits for something the air and the encoder make true at their own pace; the bound only
// keeps a broken encoder from hanging the run.
template <typename F>
bool eventually(F done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class CardEncoderTest : public VideoControlTest {
protected:
    // Tuner A with its card's encoder into the test sink, on `channel`, running.
    void runOn(LONG channel) {
        ASSERT_TRUE(activate(KSCATEGORY_TVTUNER, kTunerA));
        sink = addSink();
        ComPtr<IMSVidFeatures> available, features;
        ASSERT_EQ(S_OK, control->get_FeaturesAvailable(&available));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IMSVidFeatures, reinterpret_cast<void**>(&features)));
        auto encoder = item<IMSVidFeatures, IMSVidFeature>(available.Get(), 0);
        ASSERT_EQ(kEncoderA, nameOf(encoder.Get()));
        features->Add(encoder.Get());
        ASSERT_EQ(S_OK, control->put_FeaturesActive(features.Get()));
        CComVariant request = analog(L"Cable", channel);
        ASSERT_EQ(S_OK, control->View(&request));
        ASSERT_EQ(S_OK, control->Run());

        ComPtr<IMSVidGraphSegmentContainer> container;
        ASSERT_EQ(S_OK, control.As(&container));
        ComPtr<IGraphBuilder> graph;
        ASSERT_EQ(S_OK, container->get_Graph(&graph));
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(S_OK, graph->FindFilterByName(kEncoderA, &filter));
        card = dynamic_cast<CardEncoderFilter*>(filter.Get());
        ASSERT_TRUE(card);
        ASSERT_TRUE(eventually([&] { return card->encoder() != nullptr; }));
        tuner = air->tuner(kTunerA);
    }
    int64_t frames() {
        auto encoder = card->encoder();
        return encoder ? encoder->framesEncoded() : -1;
    }
    // Waits `settle` frames (so that what the output still holds from before has passed),
    // then keeps `count` frames' worth of the output and decodes it.
    AirTsProbe capture(int settle, int count) {
        int64_t from = frames();
        EXPECT_TRUE(eventually([&] { return frames() >= from + settle; }));
        sink->keep(size_t(64) << 20);
        from = frames();
        EXPECT_TRUE(eventually([&] { return frames() >= from + count; }));
        return AirTsProbe::decode(sink->kept());
    }
    // The tone of the sound's second half (its first may still carry the frames before).
    static double tone(const AirTsProbe& p) { return p.dominantHz(p.mono.size() / 2, p.mono.size() / 2); }

    VidTestSinkFilter* sink = nullptr;
    CardEncoderFilter* card = nullptr;
    std::shared_ptr<AirTuner> tuner;
};

TEST_F(CardEncoderTest, TheOutputIsTheLiveEncodeOfTheTunedChannelAndFollowsItsChanges) {
    runOn(3);
    ASSERT_TRUE(eventually([&] { return tuner->signal().locked; }));
    AirTsProbe three = capture(5, 40);
    ASSERT_EQ("", three.error);
    EXPECT_EQ(1, three.programs);
    EXPECT_EQ("mpeg2video", three.videoCodec);
    EXPECT_EQ("mp2", three.audioCodec);
    // The picture of the analog channels on air.
    EXPECT_EQ(720, three.width);
    EXPECT_EQ(576, three.height);
    EXPECT_GT(three.pictures, 0u);
    ASSERT_GT(three.mono.size(), 4800u);
    EXPECT_NEAR(AirTestCard::analogToneHz(3), tone(three), 3.0);

    // A channel change while running: the same output carries the new channel.
    CComVariant eight = analog(L"Cable", 8);
    ASSERT_EQ(S_OK, control->View(&eight));
    ASSERT_TRUE(eventually([&] { return tuner->analogChannel() == 8 && tuner->signal().locked; }));
    AirTsProbe later = capture(5, 40);
    ASSERT_EQ("", later.error);
    EXPECT_EQ(720, later.width);
    ASSERT_GT(later.mono.size(), 4800u);
    EXPECT_NEAR(AirTestCard::analogToneHz(8), tone(later), 3.0);

    // Nothing on channel 7: the encoder goes on encoding the snow, in silence.
    CComVariant seven = analog(L"Cable", 7);
    ASSERT_EQ(S_OK, control->View(&seven));
    // (View has tuned when it returns: the tuner receives nothing now.)
    ASSERT_EQ(-1, tuner->analogChannel());
    EXPECT_FALSE(tuner->signal().present);
    AirTsProbe snow = capture(5, 40);
    ASSERT_EQ("", snow.error);
    EXPECT_EQ(576, snow.height);
    EXPECT_GT(snow.pictures, 0u);
    ASSERT_GT(snow.mono.size(), 4800u);
    EXPECT_LT(snow.rms(snow.mono.size() / 2, snow.mono.size() / 2), 0.005);
}

TEST_F(CardEncoderTest, StoppingTheControlStopsTheEncoderAndRunningStartsItAgain) {
    runOn(5);
    std::shared_ptr<AirEncoder> first = card->encoder();
    ASSERT_TRUE(first);
    ASSERT_EQ(S_OK, control->Stop());
    // No encoding thread is left behind for an output that no longer reads.
    EXPECT_FALSE(first->running());
    EXPECT_EQ(nullptr, card->encoder());

    sink->reset();
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(eventually([&] { return card->encoder() != nullptr; }));
    EXPECT_TRUE(sink->waitForPackets(200, kLimitMs));
    ASSERT_TRUE(eventually([&] { return tuner->signal().locked; }));
    AirTsProbe again = capture(5, 30);
    ASSERT_EQ("", again.error) << sink->kept().size() << " bytes, sink packets " << sink->packets()
                               << ", sent " << (card->encoder() ? card->encoder()->packetsSent() : 0)
                               << " frames " << frames();
    EXPECT_NEAR(AirTestCard::analogToneHz(5), tone(again), 3.0);
}

}  // namespace
