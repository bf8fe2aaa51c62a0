// The set-top box really switching: the air's receiver serves "STBTuneToChannel" on the bus,
// and the tune request's box requests reach it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <regex>

#include "platform/hux/HuxSatellite.h"
#include "platform/hux/HuxTestBroker.h"
#include "platform/vidctl/AirPlatform.h"
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
        OnAir::TearDown();
        platform.reset();
        if (!catalogue.empty()) std::remove(catalogue.c_str());
    }
    // The broadcast with its platform, as a process that opened the air has it.
    void start(const std::string& path = kDemoBroadcast) {
        openAir(20, path);
        devices.reset();  // the platform registers them itself
        platform = std::make_unique<AirPlatform>(air);
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

    std::unique_ptr<ScopedEnv> busPort;
    std::unique_ptr<AirPlatform> platform;
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

}  // namespace
