#include "platform/air/AirDeviceRegistration.h"

#include <gtest/gtest.h>

#include "platform/devenum/DevEnum.h"

namespace {
const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";
}

// What the device enumerator lists for the demo: two digital tuners, three analog cards,
// one encoder and one multiplexer — the tuner and encoder of a card share their path up to
// the last '#'.
TEST(AirDeviceRegistration, DemoDevicesAppearUnderTheirCategories) {
    std::string error;
    auto c = AirCatalogue::load(kDemo, true, error);
    ASSERT_TRUE(c) << error;
    auto& registry = DeviceRegistry::instance();
    size_t tuners = registry.devices(KSCATEGORY_TVTUNER).size();
    {
        AirDeviceRegistration reg(*c);
        EXPECT_EQ(c->devices().size(), reg.count());
        EXPECT_EQ(2u, registry.devices(KSCATEGORY_BDA_NETWORK_TUNER).size());
        EXPECT_EQ(tuners + 3, registry.devices(KSCATEGORY_TVTUNER).size());
        EXPECT_EQ(3u, registry.devices(AM_KSCATEGORY_CROSSBAR).size());
        auto encoders = registry.devices(KSCATEGORY_ENCODER);
        auto muxes = registry.devices(KSCATEGORY_MULTIPLEXER);
        ASSERT_EQ(1u, encoders.size());
        ASSERT_EQ(1u, muxes.size());
        auto card = [](const std::wstring& path) { return path.substr(0, path.rfind(L'#')); };
        auto analog = registry.devices(KSCATEGORY_TVTUNER);
        int withEncoder = 0, withMultiplexer = 0;
        for (const DeviceRecord& t : analog) {
            withEncoder += card(t.devicePath) == card(encoders[0].devicePath);
            withMultiplexer += card(t.devicePath) == card(muxes[0].devicePath);
        }
        EXPECT_EQ(1, withEncoder);
        EXPECT_EQ(1, withMultiplexer);
    }
    EXPECT_EQ(tuners, registry.devices(KSCATEGORY_TVTUNER).size());
    EXPECT_EQ(0u, registry.devices(KSCATEGORY_ENCODER).size());
}
