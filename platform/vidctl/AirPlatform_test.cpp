// The air opened once per process: shared by every user, gone with the last.
#include "platform/vidctl/AirPlatform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"
#include "platform/devenum/DeviceRegistry.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidCtlInterfaces.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";

size_t tuners() {
    return DeviceRegistry::instance().devices(KSCATEGORY_BDA_NETWORK_TUNER).size();
}

class AirPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        air = AirBroadcast::open(kDemo, error);
        ASSERT_TRUE(air) << error;
        AirBroadcast::setInstance(air);
    }
    void TearDown() override { AirBroadcast::setInstance(nullptr); }

    // Nobody listens on port 1: the set-top box stays off the bus, quickly.
    ScopedEnv noBroker{"PELMO_BUS_PORT", "1"};
    std::shared_ptr<AirBroadcast> air;
};

TEST_F(AirPlatformTest, EveryUserSharesOnePlatformAndTheLastOneClosesIt) {
    ASSERT_EQ(nullptr, AirPlatform::current());
    size_t before = tuners();
    std::string why;
    auto first = AirPlatform::acquire(why);
    ASSERT_TRUE(first) << why;
    auto second = AirPlatform::acquire(why);
    EXPECT_EQ(first, second);
    EXPECT_EQ(air, first->broadcast());
    // The broadcast's two digital tuners, listed once however many users there are.
    EXPECT_EQ(before + 2, tuners());
    EXPECT_TRUE(FAILED(first->setTopBoxStatus()));

    first.reset();
    EXPECT_EQ(second, AirPlatform::current());
    EXPECT_EQ(before + 2, tuners());
    second.reset();
    EXPECT_EQ(nullptr, AirPlatform::current());
    EXPECT_EQ(before, tuners());
}

TEST_F(AirPlatformTest, TheVideoControlOpensTheAirForTheProcess) {
    RegisterPlatformClasses();
    size_t before = tuners();
    ComPtr<IMSVidCtl> control;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                     reinterpret_cast<void**>(&control)));
    auto platform = AirPlatform::current();
    ASSERT_TRUE(platform);
    EXPECT_EQ(air, platform->broadcast());
    EXPECT_EQ(before + 2, tuners());
    platform.reset();
    control = nullptr;
    EXPECT_EQ(nullptr, AirPlatform::current());
    EXPECT_EQ(before, tuners());
}

TEST_F(AirPlatformTest, DevicesSomeoneElseListedAreNotListedTwice) {
    size_t before = tuners();
    auto own = RegisterAirDevices(air);
    std::string why;
    auto platform = AirPlatform::acquire(why);
    ASSERT_TRUE(platform) << why;
    EXPECT_EQ(before + 2, tuners());
}

// What a user sees follows PELMO_TUNERS; this machine (and a test's device tree) has no real
// tuner, so every choice that needs one must say so instead of handing out an empty platform.
TEST_F(AirPlatformTest, TheChoiceOfTunersDecidesWhatIsListed) {
    TempFolder tree("airplatform_devices");
    std::filesystem::create_directories(tree / "dev/dvb/adapter0");
    // A node that does not answer as a front end: left out, not a tuner.
    std::ofstream(tree / "dev/dvb/adapter0/frontend0") << "not a device";
    ScopedEnv root("PELMO_DEVICE_ROOT", tree.path());
    const size_t before = tuners();
    std::string why;
    {
        ScopedEnv choice("PELMO_TUNERS", "real");
        // Not even a broken broadcast is opened for a user who chose real tuners.
        ScopedEnv broken("PELMO_BROADCAST", "/nonexistent/broadcast.xml");
        AirBroadcast::setInstance(nullptr);
        EXPECT_EQ(nullptr, AirPlatform::acquire(why));
        EXPECT_NE(std::string::npos, why.find("none was found under " + tree.path() + "/dev/dvb")) << why;
        EXPECT_EQ(nullptr, AirPlatform::current());
        EXPECT_EQ(nullptr, AirPlatform::open(why));
        EXPECT_EQ(before, tuners());
        AirBroadcast::setInstance(air);
    }
    for (const char* value : {"both", "air", "sideways", ""}) {
        ScopedEnv choice("PELMO_TUNERS", value);
        std::shared_ptr<AirPlatform> platform = AirPlatform::acquire(why);
        ASSERT_TRUE(platform) << value << ": " << why;
        // A bad value is logged and the default holds: the air, with no real tuner here.
        EXPECT_EQ(std::string(value) == "both" ? TunerChoice::Both : TunerChoice::Air,
                  platform->tunerChoice())
            << value;
        EXPECT_EQ(0u, platform->realTuners());
        EXPECT_EQ(air, platform->broadcast());
        EXPECT_EQ(before + 2, tuners()) << value;
        platform.reset();
        EXPECT_EQ(before, tuners());
    }
}

TEST(AirPlatformWithoutAir, NoBroadcastIsReportedAndLeavesNothingBehind) {
    ScopedEnv missing("PELMO_BROADCAST", "/nonexistent/broadcast.xml");
    AirBroadcast::setInstance(nullptr);
    std::string why;
    EXPECT_EQ(nullptr, AirPlatform::acquire(why));
    EXPECT_NE(std::string::npos, why.find("/nonexistent/broadcast.xml")) << why;
    EXPECT_EQ(nullptr, AirPlatform::current());
    AirBroadcast::setInstance(nullptr);
}

}  // namespace
