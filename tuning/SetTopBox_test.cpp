// The set-top box really switching: the air's receiver serves "STBTuneToChannel" on the bus,
// and the tune request's box requests reach it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/hux/HuxSatellite.h"
#include "platform/hux/HuxTestBroker.h"
#include "platform/air/AirEncoder.h"
#include "platform/air/AirTestCard.h"
#include "platform/air/AirTsProbe.h"
#include "platform/vidctl/AirPlatform.h"
#include "platform/vidctl/CardEncoderFilter.h"
#include "platform/vidctl/VidTestSink.h"
#include "tuning/TuningTestSupport.h"

namespace {

class SetTopBoxOnTheBus : public OnAir {
protected:
    // A broker of this test's own: "any" requests must reach this process's set-top box, not
    // the one of another test running beside it.
    void SetUp() override {
        OnAir::SetUp();
        static HuxTestBroker broker;
        static std::string why;
        static bool started = broker.start(why);
        ASSERT_TRUE(started) << why;
        busPort = std::make_unique<ScopedEnv>("PELMO_BUS_PORT", std::to_string(broker.port()));
    }
    void TearDown() override {
        client.Disconnect();
        platform.reset();
        OnAir::TearDown();
        // The last user let go: the set-top box has left the bus.
        EXPECT_EQ(nullptr, AirPlatform::current());
        if (!catalogue.empty()) std::remove(catalogue.c_str());
    }
    // The broadcast with its platform, as a process that opened the air has it: the Video
    // Control started it.
    void start(const std::string& path = kDemoBroadcast) {
        openAir(20, path);
        platform = AirPlatform::current();
        ASSERT_TRUE(platform);
        ASSERT_EQ(air, platform->broadcast());
        ASSERT_EQ(S_OK, platform->setTopBoxStatus());
        ASSERT_EQ(S_OK, client.Connect(L"127.0.0.1", L"TuningClient" + std::to_wstring(getpid())));
        activate(KSCATEGORY_TVTUNER, kAnalogTunerName);
    }
    // The demo broadcast with the box on the aerial input instead, modulating on `channel`.
    std::string boxOnChannel(int channel) {
        std::ifstream in(kDemoBroadcast);
        std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        xml = std::regex_replace(xml, std::regex("<settopbox[^>]*>"),
                                 "<settopbox feeds=\"tuner\" tunerchannel=\"" + std::to_string(channel) +
                                     "\" channel=\"8\" tuner=\"Skyvane Virtual Analog Tuner A\"/>");
        catalogue =
            std::string(SKYVANE_BINARY_DIR) + "/data/demo/stb-tuner-" + std::to_string(getpid()) + ".xml";
        std::ofstream(catalogue) << xml;
        return catalogue;
    }

    // The demo broadcast with one more analog channel, 12, for the box to show.
    std::string withChannel12() {
        std::ifstream in(kDemoBroadcast);
        std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        xml = std::regex_replace(xml, std::regex("<settopbox"),
                                 "<analog channel=\"12\" file=\"analog-3.ts\" strength=\"70\" quality=\"66\" "
                                 "lock=\"150\" seconds=\"1.92\"/>\n  <settopbox");
        catalogue =
            std::string(SKYVANE_BINARY_DIR) + "/data/demo/stb-12-" + std::to_string(getpid()) + ".xml";
        std::ofstream(catalogue) << xml;
        return catalogue;
    }
    // The card's encoder into the recording sink, running.
    void runWithEncoder() {
        VidTestSink::registerAsStreamBufferSink();
        ComPtr<IMSVidFeatures> available, features;
        ASSERT_EQ(S_OK, control->get_FeaturesAvailable(&available));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IMSVidFeatures, reinterpret_cast<void**>(&features)));
        ComPtr<IMSVidFeature> encoder;
        ASSERT_EQ(S_OK, available->get_Item(CComVariant(LONG(0)), &encoder));
        features->Add(encoder.Get());
        ASSERT_EQ(S_OK, control->put_FeaturesActive(features.Get()));
        ComPtr<IMSVidOutputDevices> outputs, active;
        ASSERT_EQ(S_OK, control->_OutputsAvailable(&GUID_NULL, &outputs));
        ComPtr<IMSVidOutputDevice> out;
        ASSERT_EQ(S_OK, outputs->get_Item(CComVariant(LONG(0)), &out));
        control->get_OutputsActive(&active);
        active->Add(out.Get());
        ASSERT_EQ(S_OK, control->put_OutputsActive(active.Get()));
        ASSERT_EQ(S_OK, control->Run());
        sink = VidTestSink::last()->filter();
        ComPtr<IMSVidGraphSegmentContainer> container;
        ASSERT_EQ(S_OK, control.As(&container));
        ComPtr<IGraphBuilder> graph;
        ASSERT_EQ(S_OK, container->get_Graph(&graph));
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(S_OK, graph->FindFilterByName(L"Skyvane Virtual MPEG Encoder A", &filter));
        card = dynamic_cast<CardEncoderFilter*>(filter.Get());
        ASSERT_TRUE(card);
    }
    int64_t frames() {
        auto encoder = card->encoder();
        return encoder ? encoder->framesEncoded() : -1;
    }
    // Waits for `count` more frames from the encoder; false only when it is broken.
    bool framesPass(int count) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        int64_t from = frames();
        while (from < 0 || frames() < from + count) {
            if (std::chrono::steady_clock::now() > end) return false;
            if (from < 0) from = frames();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    VidTestSinkFilter* sink = nullptr;
    CardEncoderFilter* card = nullptr;
    std::unique_ptr<ScopedEnv> busPort;
    std::shared_ptr<AirPlatform> platform;
    HuxSatellite client;
    std::string catalogue;
};

TEST_F(SetTopBoxOnTheBus, AuxInputModeSwitchesTheBoxAndTheInputCarriesTheChannel) {
    start();
    setting(L"HasSetTopBox", 1);
    setting(L"TuningChannel", 1);
    BDATuneRequest r(nullptr, nullptr, &client, control.Get());
    ASSERT_EQ(S_OK, r.init(kMediaTypeAnalog));
    auto card = tuner(kAnalogTunerName);
    for (int channel : {5, 3}) {
        CComVariant v;
        ASSERT_EQ(S_OK, r.tune(std::to_wstring(channel), v));
        EXPECT_EQ(channel, air->setTopBoxChannel());
        EXPECT_EQ(channel, card->analogChannel());
        int32_t strength = 0;
        EXPECT_TRUE(r.signalPresent(strength));
    }
    // A channel the box cannot show leaves it where it was; the tune itself still succeeds.
    CComVariant v;
    EXPECT_EQ(S_OK, r.tune(L"4", v));
    EXPECT_EQ(3, card->analogChannel());

    // Anyone on the bus can switch the box while the tuner watches it.
    CComVariant reply, status;
    ASSERT_EQ(S_OK, client.Request(L"any", L"STBTuneToChannel", CComVariant(LONG(8)), &reply, HUX_WAIT_REPLY,
                                   &status));
    EXPECT_EQ(8, card->analogChannel());
}

TEST_F(SetTopBoxOnTheBus, FixedChannelModeShowsTheBoxOnItsChannel) {
    start(boxOnChannel(4));
    setting(L"HasSetTopBox", 1);
    setting(L"TuningChannel", 4);
    BDATuneRequest r(nullptr, nullptr, &client, control.Get());
    ASSERT_EQ(S_OK, r.init(kMediaTypeAnalog));
    CComVariant v;
    ASSERT_EQ(S_OK, r.tune(L"5", v));
    auto card = tuner(kAnalogTunerName);
    // The tuner stays on channel 4, where the box sends channel 5.
    EXPECT_EQ(5, air->setTopBoxChannel());
    EXPECT_EQ(5, card->analogChannel());
    int32_t strength = 0;
    EXPECT_TRUE(r.signalPresent(strength));
    EXPECT_TRUE(log->has(LOG_INFO, L"testing channel  4"));
}

TEST_F(SetTopBoxOnTheBus, TheBusToolReachesTheBoxOfTheProcessThatOpenedTheAir) {
    start(withChannel12());
    setting(L"HasSetTopBox", 1);
    setting(L"TuningChannel", 1);
    BDATuneRequest r(nullptr, nullptr, &client, control.Get());
    ASSERT_EQ(S_OK, r.init(kMediaTypeAnalog));
    CComVariant v;
    ASSERT_EQ(S_OK, r.tune(L"5", v));
    auto card = tuner(kAnalogTunerName);
    ASSERT_EQ(5, card->analogChannel());
    runWithEncoder();

    // What a user types, from another process, with the same bus settings.
    std::string command = std::string(PELMO_BUS_TOOL) + " call --any STBTuneToChannel i4:12 2>&1";
    FILE* tool = popen(command.c_str(), "r");
    ASSERT_TRUE(tool);
    std::string said;
    char line[256];
    while (fgets(line, sizeof line, tool)) said += line;
    int status = pclose(tool);
    EXPECT_EQ(0, status) << said;
    EXPECT_NE(std::string::npos, said.find("reply i4:12")) << said;
    EXPECT_EQ(12, air->setTopBoxChannel());
    EXPECT_EQ(12, card->analogChannel());

    // The card's auxiliary input carries channel 12 all the way to the Video Control's output.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!card->signal().locked && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(card->signal().locked);
    ASSERT_TRUE(framesPass(5));
    sink->keep(size_t(32) << 20);
    ASSERT_TRUE(framesPass(30));
    AirTsProbe probe = AirTsProbe::decode(sink->kept());
    ASSERT_EQ("", probe.error);
    ASSERT_GT(probe.mono.size(), 4800u);
    EXPECT_NEAR(AirTestCard::analogToneHz(12), probe.dominantHz(probe.mono.size() / 2, probe.mono.size() / 2),
                3.0);
}

TEST_F(SetTopBoxOnTheBus, WithoutABrokerTheAirOpensAndTunesAllTheSame) {
    // A port nobody listens on (the broker's setting goes first, or it would come back).
    busPort.reset();
    busPort = std::make_unique<ScopedEnv>("PELMO_BUS_PORT", "1");
    openAir(20);
    platform = AirPlatform::current();
    ASSERT_TRUE(platform);
    EXPECT_TRUE(FAILED(platform->setTopBoxStatus()));
    // Said once in the process as a warning, then only for debugging.
    EXPECT_EQ(1, log->count(L"[Air] the set-top box is not on the bus"));
    activate(KSCATEGORY_TVTUNER, kAnalogTunerName);
    BDATuneRequest r(nullptr, nullptr, nullptr, control.Get());
    ASSERT_EQ(S_OK, r.init(kMediaTypeAnalog));
    CComVariant v;
    ASSERT_EQ(S_OK, r.tune(L"8", v));
    EXPECT_EQ(8, tuner(kAnalogTunerName)->analogChannel());
}

}  // namespace
