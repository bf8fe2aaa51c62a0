// Every multiplex and analog channel of the demo broadcast, tuned through the tune request and
// the Video Control: the signal reads as the catalogue says and the stream behind the input
// is the one tuned (for analog, the card encoder's encode of the channel).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/air/AirTestCard.h"
#include "platform/air/AirTsProbe.h"
#include "platform/vidctl/VidTestSink.h"
#include "tuning/TuningTestSupport.h"

namespace {

constexpr int kLimitMs = 60000;  // only reached when something is broken

struct Target {
    const wchar_t* mediaType;
    GUID category;
    const wchar_t* tunerName;
    std::wstring medium;
};

Target targetOf(const AirMultiplex& m) {
    switch (m.system) {
        case AirSystem::DVBT:
            return {kMediaTypeDvbt, KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName,
                    std::to_wstring(m.frequencyKHz + m.offsetKHz) + L"/" + std::to_wstring(m.bandwidthMHz) +
                        L"/-1/-1/-1"};
        case AirSystem::ATSC:
            return {kMediaTypeAtsc, KSCATEGORY_BDA_NETWORK_TUNER, kAtscTunerName,
                    std::to_wstring(m.physicalChannel) + L"/-1/-1"};
        case AirSystem::Analog:
            break;
    }
    return {kMediaTypeAnalog, KSCATEGORY_TVTUNER, kAnalogTunerName, std::to_wstring(m.channel)};
}

class OnAirEverywhere : public OnAir {
protected:
    // The control's features: the card's own encoder for analog, none for digital.
    void setFeatures(bool analog) {
        ComPtr<IMSVidFeatures> available, active;
        ASSERT_EQ(S_OK, control->get_FeaturesAvailable(&available));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IMSVidFeatures, reinterpret_cast<void**>(&active)));
        if (analog) {
            ComPtr<IMSVidFeature> encoder;
            ASSERT_EQ(S_OK, available->get_Item(CComVariant(LONG(0)), &encoder));
            active->Add(encoder.Get());
        }
        ASSERT_EQ(S_OK, control->put_FeaturesActive(active.Get()));
    }
    VidTestSinkFilter* setSink() {
        ComPtr<IMSVidOutputDevices> available;
        EXPECT_EQ(S_OK, control->_OutputsAvailable(&GUID_NULL, &available));
        ComPtr<IMSVidOutputDevice> sink;
        EXPECT_EQ(S_OK, available->get_Item(CComVariant(LONG(0)), &sink));
        ComPtr<IMSVidOutputDevices> active;
        control->get_OutputsActive(&active);
        while (SUCCEEDED(active->Remove(CComVariant(LONG(0))))) {
        }
        active->Add(sink.Get());
        EXPECT_EQ(S_OK, control->put_OutputsActive(active.Get()));
        return VidTestSink::last()->filter();
    }
};

TEST_F(OnAirEverywhere, EveryMultiplexAndChannelTunesReadsItsSignalAndDeliversItsStream) {
    VidTestSink::registerAsStreamBufferSink();
    openAir(20);
    for (const AirMultiplex& m : air->catalogue().multiplexes()) {
        const std::wstring what = m.describe();
        SCOPED_TRACE(std::string(what.begin(), what.end()));
        Target target = targetOf(m);
        bool analog = m.system == AirSystem::Analog;
        ASSERT_EQ(S_OK, control->Decompose());
        activate(target.category, target.tunerName);
        setFeatures(analog);
        VidTestSinkFilter* sink = setSink();

        BDATuneRequest request(nullptr, nullptr, nullptr, control.Get());
        ASSERT_EQ(S_OK, request.init(target.mediaType));
        CComVariant v;
        ASSERT_EQ(S_OK, request.tune(target.medium, v));
        ASSERT_EQ(S_OK, control->Run());

        auto tuned = tuner(target.tunerName);
        SignalClock clock;
        clock.whileAsleep = [&tuned] {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
            while (!tuned->signal().locked && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        clock.attach(request);
        int32_t strength = 0;
        EXPECT_TRUE(request.signalPresent(strength));
        EXPECT_EQ(analog ? 100 : m.quality, strength);
        EXPECT_EQ(m.strength, tuned->signal().strength);

        if (analog) {
            // The card's encoder makes the stream: a player finds the channel's sound in it.
            sink->reset();
            sink->keep(size_t(16) << 20);
            EXPECT_TRUE(sink->waitForPackets(4000, kLimitMs));
            AirTsProbe probe = AirTsProbe::decode(sink->kept());
            EXPECT_EQ("", probe.error);
            EXPECT_EQ("mpeg2video", probe.videoCodec);
            EXPECT_GT(probe.mono.size(), 4800u);
            EXPECT_NEAR(AirTestCard::analogToneHz(m.channel),
                        probe.dominantHz(probe.mono.size() / 2, probe.mono.size() / 2), 3.0);
        } else if (m.transportStreamId > 0) {
            EXPECT_TRUE(sink->waitForTsid(m.transportStreamId, kLimitMs));
        } else {
            EXPECT_TRUE(sink->waitForPackets(200, kLimitMs));
        }
        ASSERT_EQ(S_OK, control->Stop());
    }
}

}  // namespace
