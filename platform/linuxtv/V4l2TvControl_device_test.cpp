// The TV control on vivid's analog card, inside the kernel test VM: the time shift of an analog
// channel runs as on the air's cards (device rules find the card's encoder, the encoder is built
// in, the stream buffer fills) and the buffer holds an MPEG-2 programme a player decodes.
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/air/AirTsProbe.h"
#include "platform/linuxtv/LinuxTvDevices.h"
#include "tuning/BDATuneRequest.h"
#include "tuning/MediaType.h"
#include "tvctl/TVCtlTestSupport.h"

using namespace tvtest;

namespace {

class VividTvControl : public TVCtlWorld {
protected:
    void SetUp() override {
        if (!std::getenv("SKYVANE_KERNEL_TEST_VM")) GTEST_SKIP() << "runs only inside the kernel test VM";
        TVCtlWorld::SetUp();
        tuners = std::make_unique<ScopedEnv>("PELMO_TUNERS", "real");
        selection = SelectTuners(false);
        ASSERT_TRUE(selection.analog);
        ASSERT_EQ(1u, selection.analog->cards());
        card = selection.analog->cardList()[0];
    }
    void TearDown() override {
        selection = TunerSelection();
        tuners.reset();
        TVCtlWorld::TearDown();
    }
    // Waits until the buffer holds `seconds` of programme past what it held before.
    bool growsBy(const std::wstring& buffer, int64_t seconds) {
        BufferManifest m;
        int64_t from = readManifest(buffer, m) ? m.latest : 0;
        return waitUntil([&] { return readManifest(buffer, m) && m.latest >= from + seconds * kSecond; });
    }

    std::unique_ptr<ScopedEnv> tuners;
    TunerSelection selection;
    std::shared_ptr<V4l2Card> card;
};

TEST_F(VividTvControl, AnAnalogChannelIsTimeShiftedThroughTheCardsEncoder) {
    CTVCtl tv(kMediaTypeAnalog, L"", nullptr);
    std::wstring buffer;
    HRESULT tuned = E_UNEXPECTED;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"3", buffer, tuned)) << log->all();
    EXPECT_EQ(S_OK, tuned);
    EXPECT_EQ(61250000u, card->tuner->frequencyHz());
    // The device rules matched the tuner's card with its encoder, the first encoder there is.
    std::wstring cardPath = card->encoderPath.substr(0, card->encoderPath.rfind(L'#'));
    EXPECT_TRUE(log->has(3, L"ENCODER DevicePath id " + card->encoderPath)) << log->all();
    EXPECT_EQ(0, log->count(L"Addencoder indexes don't match"));
    EXPECT_TRUE(log->has(3, L"added an  MSVidEncoder  " + card->device.friendlyName + L" MPEG Encoder"));
    ASSERT_TRUE(growsBy(buffer, 2)) << log->all();

    std::string file = joinSegments(buffer, folder / "vivid.ts");
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> ts((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    AirTsProbe probe = AirTsProbe::decode(ts);
    ASSERT_EQ("", probe.error);
    std::printf("time-shift buffer: %zu bytes, %s %dx%d, %zu pictures, %s\n", ts.size(),
                probe.videoCodec.c_str(), probe.width, probe.height, probe.pictures,
                probe.audioCodec.c_str());
    EXPECT_EQ("mpeg2video", probe.videoCodec);
    EXPECT_EQ("mp2", probe.audioCodec);
    EXPECT_EQ(720, probe.width);
    EXPECT_GE(probe.pictures, 10u);

    // The signal as a scan asks for it, through a tune request on the control's input: channel 3
    // has one, channel 5 none.
    BDATuneRequest request(nullptr, nullptr, nullptr, tv.videoControl());
    ASSERT_EQ(S_OK, request.init(kMediaTypeAnalog));
    int32_t strength = -1;
    EXPECT_TRUE(request.signalPresent(strength));
    EXPECT_EQ(100, strength);
    ASSERT_EQ(S_OK, tv.stopTVControl());
    ASSERT_EQ(S_OK, tv.setTVChannel(L"5"));
    EXPECT_EQ(0, card->tuner->signalPercent());
    EXPECT_FALSE(request.signalPresent(strength));
    EXPECT_EQ(0, strength);
    EXPECT_EQ(0, tv.stopTimeShift());
}

}  // namespace
