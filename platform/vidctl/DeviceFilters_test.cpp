// What the air's device monikers bind to.
#include <gtest/gtest.h>

#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidDevices.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";

class DeviceFilters : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterDevEnumClasses();
        std::string error;
        air = AirBroadcast::open(kDemo, error);
        ASSERT_TRUE(air) << error;
        devices = RegisterAirDevices(air);
    }
    ComPtr<IBaseFilter> bind(const GUID& category, const std::wstring& name) {
        std::vector<VidDeviceInfo> list;
        EXPECT_EQ(S_OK, ListDevices(category, &list));
        for (auto& d : list) {
            if (d.friendlyName != name) continue;
            ComPtr<IBaseFilter> filter;
            EXPECT_EQ(S_OK, d.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                    reinterpret_cast<void**>(&filter)));
            return filter;
        }
        ADD_FAILURE() << "no such device";
        return nullptr;
    }
    std::shared_ptr<AirBroadcast> air;
    std::unique_ptr<AirDeviceRegistration> devices;
};

TEST_F(DeviceFilters, EachDeviceBindsToItsOwnKindOfFilter) {
    auto tuner = bind(KSCATEGORY_BDA_NETWORK_TUNER, L"Skyvane Virtual DVB-T Tuner");
    ASSERT_TRUE(tuner);
    ComPtr<ITuner> itf;
    EXPECT_EQ(S_OK, tuner.As(&itf));
    FILTER_INFO info{};
    ASSERT_EQ(S_OK, tuner->QueryFilterInfo(&info));

    auto encoder = bind(KSCATEGORY_ENCODER, L"Skyvane Virtual MPEG Encoder A");
    ASSERT_TRUE(encoder);
    ComPtr<IAMCrossbar> notCrossbar;
    EXPECT_EQ(E_NOINTERFACE, encoder.As(&notCrossbar));

    auto crossbar = bind(AM_KSCATEGORY_CROSSBAR, L"Skyvane Virtual Crossbar A");
    ASSERT_TRUE(crossbar);
    ComPtr<IAMCrossbar> xbar;
    ASSERT_EQ(S_OK, crossbar.As(&xbar));
    LONG outputs = 0, inputs = 0, related = 0, type = 0;
    ASSERT_EQ(S_OK, xbar->get_PinCounts(&outputs, &inputs));
    EXPECT_EQ(1, outputs);
    ASSERT_EQ(3, inputs);
    const LONG types[] = {PhysConn_Video_Tuner, PhysConn_Video_Composite, PhysConn_Video_SVideo};
    for (LONG i = 0; i < 3; ++i) {
        ASSERT_EQ(S_OK, xbar->get_CrossbarPinInfo(TRUE_, i, &related, &type));
        EXPECT_EQ(types[i], type);
    }
    EXPECT_EQ(E_INVALIDARG, xbar->get_CrossbarPinInfo(TRUE_, 3, &related, &type));
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, crossbar->EnumPins(&pins));
    ULONG count = 0;
    IPin* all[8] = {};
    pins->Next(8, all, &count);
    EXPECT_EQ(4u, count);
    for (ULONG i = 0; i < count; ++i) all[i]->Release();
}

TEST_F(DeviceFilters, RoutingTheCrossbarSelectsTheCardsAuxiliaryInput) {
    air->setSpeed(20);
    auto crossbar = bind(AM_KSCATEGORY_CROSSBAR, L"Skyvane Virtual Crossbar A");
    ComPtr<IAMCrossbar> xbar;
    ASSERT_EQ(S_OK, crossbar.As(&xbar));
    auto card = air->tuner(L"Skyvane Virtual Analog Tuner A");
    ASSERT_EQ(S_OK, card->tuneAnalog(5));
    // The tuner input leaves the tuner where it is.
    ASSERT_EQ(S_OK, xbar->Route(0, 0));
    EXPECT_EQ(5, card->analogChannel());
    // S-video is auxiliary input 1, where the set-top box shows channel 8.
    ASSERT_EQ(S_OK, xbar->Route(0, 2));
    EXPECT_EQ(8, card->analogChannel());
    LONG routed = -1;
    ASSERT_EQ(S_OK, xbar->get_IsRoutedTo(0, &routed));
    EXPECT_EQ(2, routed);
    // Composite (input 0) has nothing connected.
    ASSERT_EQ(S_OK, xbar->Route(0, 1));
    EXPECT_EQ(-1, card->analogChannel());
    EXPECT_EQ(E_INVALIDARG, xbar->Route(1, 0));
    EXPECT_EQ(E_INVALIDARG, xbar->Route(0, 3));
    EXPECT_EQ(S_FALSE, xbar->CanRoute(0, -1));
    ASSERT_EQ(S_OK, xbar->get_IsRoutedTo(0, &routed));
    EXPECT_EQ(1, routed);
}

}  // namespace
