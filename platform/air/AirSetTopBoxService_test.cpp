#include "platform/air/AirSetTopBoxService.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/hux/HuxTestBroker.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";

std::wstring unique(const std::wstring& base) {
    return base + L"-" + std::to_wstring(getpid());
}

// Sends the request the tuner settings send, and answers the handler's status.
HRESULT requestChannel(HuxSatellite& client, const VARIANT& arg, VARIANT* reply) {
    CComVariant status;
    HRESULT hr = client.Request(L"any", L"STBTuneToChannel", arg, reply, HUX_WAIT_REPLY, &status);
    if (FAILED(hr)) return hr;
    return status.vt == VT_I4 ? status.lVal : E_UNEXPECTED;
}

}  // namespace

TEST(AirSetTopBoxService, ChannelRequestsOnTheBusSwitchTheBox) {
    // A broker of this test's own: on the run's shared broker, a process with a Video Control
    // open serves the same request for its own air.
    static HuxTestBroker broker;
    static std::string why;
    static bool started = broker.start(why);
    ASSERT_TRUE(started) << why;
    ScopedEnv port("PELMO_BUS_PORT", std::to_string(broker.port()));
    std::string error;
    auto air = AirBroadcast::open(kDemo, error);
    ASSERT_TRUE(air) << error;
    air->setSpeed(20.0);
    auto tuner = air->tuner(L"Skyvane Virtual Analog Tuner A");
    ASSERT_EQ(S_OK, tuner->selectAuxInput(1));
    ASSERT_EQ(8, tuner->analogChannel());

    AirSetTopBoxService box(air);
    ASSERT_EQ(S_OK, box.Connect(L"127.0.0.1", unique(L"AirSetTopBox")));
    HuxSatellite client;
    ASSERT_EQ(S_OK, client.Connect(L"127.0.0.1", unique(L"AirStbClient")));

    CComVariant reply;
    EXPECT_EQ(S_OK, requestChannel(client, CComVariant(LONG(5)), &reply));
    EXPECT_EQ(VT_I4, reply.vt);
    EXPECT_EQ(5, reply.lVal);
    EXPECT_EQ(5, air->setTopBoxChannel());
    EXPECT_EQ(5, tuner->analogChannel());

    EXPECT_EQ(E_INVALIDARG, requestChannel(client, CComVariant(LONG(4)), nullptr));  // nothing on 4
    EXPECT_EQ(E_INVALIDARG, requestChannel(client, CComVariant(L"7"), nullptr));
    EXPECT_EQ(5, air->setTopBoxChannel());
    client.Disconnect();
}
