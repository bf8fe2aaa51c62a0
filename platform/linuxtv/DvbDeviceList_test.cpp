#include "platform/linuxtv/DvbDeviceList.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/linuxtv/LinuxTvDevices.h"

namespace fs = std::filesystem;

namespace {

const std::wstring kCategory = L"{71985f48-1ca1-11d3-9cc8-00c04f7971e0}";

// A /dev and /sys of our own: regular files stand in for the device nodes, folders and
// symbolic links for sysfs.
class FakeTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("linuxtv-test-" + std::to_string(getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void node(const std::string& rel) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel) << "";
    }
    void file(const std::string& rel, const std::string& text) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel) << text << "\n";
    }
    void adapter(int n, int frontends = 1) {
        for (int f = 0; f < frontends; ++f) {
            std::string a = "dev/dvb/adapter" + std::to_string(n) + "/";
            node(a + "frontend" + std::to_string(f));
            node(a + "demux" + std::to_string(f));
            node(a + "dvr" + std::to_string(f));
        }
    }
    // sys/class/dvb/dvbA.frontendF/device -> the given folder under sys/devices.
    void sysDevice(int a, int f, const std::string& devicesRel) {
        fs::path cls =
            root_ / "sys/class/dvb" / ("dvb" + std::to_string(a) + ".frontend" + std::to_string(f));
        fs::create_directories(cls);
        fs::create_directories(root_ / "sys/devices" / devicesRel);
        fs::create_directory_symlink(root_ / "sys/devices" / devicesRel, cls / "device");
    }
    std::string root() const { return root_.string(); }

    fs::path root_;
};

}  // namespace

TEST_F(FakeTree, FrontEndsAreListedInAdapterOrderWithTheirDemuxAndDvr) {
    adapter(10);
    adapter(2, 2);
    node("dev/dvb/adapterX/frontend0");  // not an adapter
    node("dev/dvb/adapter3/frontendA");  // not a front end
    node("dev/dvb/adapter4/net0");
    std::vector<DvbDevice> list = ListDvbFrontends(root());
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(2, list[0].adapter);
    EXPECT_EQ(0, list[0].frontend);
    EXPECT_EQ(1, list[1].frontend);
    EXPECT_EQ(10, list[2].adapter);
    EXPECT_EQ(root() + "/dev/dvb/adapter2/demux1", list[1].demuxPath);
    EXPECT_EQ(root() + "/dev/dvb/adapter2/dvr1", list[1].dvrPath);
    EXPECT_EQ(L"DVB adapter 10 front end 0", list[2].friendlyName);
}

TEST_F(FakeTree, AnAdapterWithOneDemuxServesEveryFrontEnd) {
    node("dev/dvb/adapter0/frontend0");
    node("dev/dvb/adapter0/frontend1");
    node("dev/dvb/adapter0/demux0");
    node("dev/dvb/adapter0/dvr0");
    std::vector<DvbDevice> list = ListDvbFrontends(root());
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(root() + "/dev/dvb/adapter0/dvr0", list[1].dvrPath);
}

TEST_F(FakeTree, NoDvbFolderMeansNoTunersNotAnError) {
    EXPECT_TRUE(ListDvbFrontends(root()).empty());
    EXPECT_TRUE(ListDvbFrontends(root() + "/does-not-exist").empty());
    std::vector<std::string> problems;
    EXPECT_TRUE(FindDvbDevices(root(), &problems).empty());
    EXPECT_TRUE(problems.empty());
}

TEST_F(FakeTree, SomethingThatIsNotAFrontEndIsLeftOutAndNamed) {
    adapter(0);
    std::vector<std::string> problems;
    EXPECT_TRUE(FindDvbDevices(root(), &problems).empty());
    ASSERT_EQ(1u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("is not a DVB front end")) << problems[0];
}

TEST_F(FakeTree, DevicePathsComeFromTheHardwareNotTheAdapterNumber) {
    // A USB stick: the driver binds the interface 1-2:1.0; ids and serial are one level up.
    file("sys/devices/pci0000:00/usb1/1-2/idVendor", "2040");
    file("sys/devices/pci0000:00/usb1/1-2/idProduct", "8265");
    file("sys/devices/pci0000:00/usb1/1-2/serial", "4031#55&x");
    sysDevice(7, 0, "pci0000:00/usb1/1-2/1-2:1.0");
    EXPECT_EQ(L"\\\\?\\usb#vid_2040&pid_8265#4031_55_x&fe0#" + kCategory, DvbDevicePath(root(), 7, 0));

    // Without a serial number the port stands in for it.
    file("sys/devices/pci0000:00/usb1/1-3/idVendor", "2040");
    file("sys/devices/pci0000:00/usb1/1-3/idProduct", "8265");
    sysDevice(8, 0, "pci0000:00/usb1/1-3/1-3:1.0");
    EXPECT_EQ(L"\\\\?\\usb#vid_2040&pid_8265#1-3&fe0#" + kCategory, DvbDevicePath(root(), 8, 0));

    // A PCI card, second front end.
    file("sys/devices/pci0000:00/0000:00:1c.0/0000:03:00.0/vendor", "0x14F1");
    file("sys/devices/pci0000:00/0000:00:1c.0/0000:03:00.0/device", "0x8852");
    file("sys/devices/pci0000:00/0000:00:1c.0/0000:03:00.0/subsystem_vendor", "0x0070");
    file("sys/devices/pci0000:00/0000:00:1c.0/0000:03:00.0/subsystem_device", "0x8010");
    sysDevice(1, 1, "pci0000:00/0000:00:1c.0/0000:03:00.0");
    EXPECT_EQ(L"\\\\?\\pci#ven_14f1&dev_8852&subsys_80100070#0000:03:00.0&fe1#" + kCategory,
              DvbDevicePath(root(), 1, 1));

    // A virtual driver: its own sysfs name.
    sysDevice(0, 0, "platform/vidtv.0/i2c-0");
    EXPECT_EQ(L"\\\\?\\dvb#platform_vidtv.0_i2c-0#fe0#" + kCategory, DvbDevicePath(root(), 0, 0));
    // No sysfs at all.
    EXPECT_EQ(L"\\\\?\\dvb#adapter5#fe0#" + kCategory, DvbDevicePath(root(), 5, 0));
}

TEST(TunerChoice, TheSettingAndItsDefault) {
    TunerChoice c = TunerChoice::Air;
    std::string error;
    EXPECT_TRUE(ParseTunerChoice("real", c, error));
    EXPECT_EQ(TunerChoice::Real, c);
    EXPECT_FALSE(ParseTunerChoice("Real ", c, error));
    EXPECT_NE(std::string::npos, error.find("air, real or both"));

    unsetenv("PELMO_TUNERS");
    error.clear();
    EXPECT_EQ(TunerChoice::Real, ChooseTuners(false, true, error));
    EXPECT_EQ(TunerChoice::Both, ChooseTuners(true, true, error));
    EXPECT_EQ(TunerChoice::Air, ChooseTuners(false, false, error));
    EXPECT_TRUE(error.empty());

    setenv("PELMO_TUNERS", "air", 1);
    EXPECT_EQ(TunerChoice::Air, ChooseTuners(false, true, error));
    // A bad value is reported and the default holds.
    setenv("PELMO_TUNERS", "dvb", 1);
    EXPECT_EQ(TunerChoice::Real, ChooseTuners(false, true, error));
    EXPECT_NE(std::string::npos, error.find("\"dvb\""));
    unsetenv("PELMO_TUNERS");
}

TEST_F(FakeTree, SelectionFollowsTheSettingAndWhatTheMachineHas) {
    setenv("PELMO_DEVICE_ROOT", root().c_str(), 1);
    adapter(0);  // a node that does not answer as a front end: not a tuner
    unsetenv("PELMO_TUNERS");
    TunerSelection s = SelectTuners(false);
    EXPECT_EQ(TunerChoice::Air, s.choice);
    EXPECT_TRUE(s.air);
    EXPECT_FALSE(s.real);

    // Chosen real on a machine without: nothing of the air, and nothing real either.
    setenv("PELMO_TUNERS", "real", 1);
    s = SelectTuners(true);
    EXPECT_EQ(TunerChoice::Real, s.choice);
    EXPECT_FALSE(s.air);
    ASSERT_TRUE(s.real);
    EXPECT_EQ(0u, s.real->size());
    unsetenv("PELMO_TUNERS");
    unsetenv("PELMO_DEVICE_ROOT");
}
