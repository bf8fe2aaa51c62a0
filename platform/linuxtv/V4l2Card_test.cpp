// An analog card without the device: its pictures' conversion for the encoder, its device paths
// from sysfs, and its registration as a tuner and an encoder that only pair within one card.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/bda/BdaClasses.h"
#include "platform/bda/TuningSpaces.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"
#include "platform/graph/GraphClasses.h"
#include "platform/linuxtv/V4l2Capture.h"
#include "platform/linuxtv/V4l2DeviceRegistration.h"
#include "platform/linuxtv/V4l2EncoderFilter.h"

namespace fs = std::filesystem;

namespace {

// A YUYV picture: luma from `y(x, row)`, one colour for all.
V4l2Frame yuyv(int width, int height, uint8_t (*y)(int, int), uint8_t u, uint8_t v) {
    V4l2Frame f;
    f.width = width, f.height = height;
    f.yuyv.resize(size_t(width) * size_t(height) * 2);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x) {
            size_t at = (size_t(row) * size_t(width) + size_t(x)) * 2;
            f.yuyv[at] = y(x, row);
            f.yuyv[at + 1] = x % 2 == 0 ? u : v;
        }
    return f;
}

TEST(V4l2Capture, PicturesBecomeI420OfTheEncodersSizeWithTheirColour) {
    auto ramp = [](int x, int row) { return uint8_t(16 + (x + row) % 200); };
    V4l2Frame in = yuyv(64, 48, ramp, 90, 200);
    SwsContext* scaler = nullptr;
    std::vector<uint8_t> out;

    ASSERT_TRUE(V4l2Capture::convert(in, 64, 48, out, scaler));
    ASSERT_EQ(size_t(64 * 48 * 3 / 2), out.size());
    int worst = 0;
    for (int row = 0; row < 48; ++row)
        for (int x = 0; x < 64; ++x)
            worst = std::max(worst, std::abs(int(out[size_t(row * 64 + x)]) - ramp(x, row)));
    EXPECT_LE(worst, 1) << "luma of the same size is not copied";
    size_t luma = 64 * 48;
    for (size_t i = 0; i < luma / 4; ++i) {
        ASSERT_NEAR(90, out[luma + i], 1) << "U at " << i;
        ASSERT_NEAR(200, out[luma + luma / 4 + i], 1) << "V at " << i;
    }

    // A 525-line card's picture into a 625-line encoder: scaled, colour kept.
    auto flat = [](int, int) { return uint8_t(120); };
    ASSERT_TRUE(V4l2Capture::convert(yuyv(720, 480, flat, 60, 180), 720, 576, out, scaler));
    ASSERT_EQ(size_t(720 * 576 * 3 / 2), out.size());
    EXPECT_NEAR(120, out[720 * 300 + 100], 1);
    EXPECT_NEAR(60, out[720 * 576 + 1000], 1);
    EXPECT_NEAR(180, out.back(), 1);

    // A card that pads its lines: the padding is not picture.
    V4l2Frame padded = yuyv(32, 16, ramp, 90, 200);
    padded.stride = 80;
    std::vector<uint8_t> lines(size_t(padded.stride) * 16, 0xEE);
    for (int row = 0; row < 16; ++row)
        std::copy_n(padded.yuyv.begin() + row * 64, 64, lines.begin() + row * padded.stride);
    padded.yuyv = lines;
    ASSERT_TRUE(V4l2Capture::convert(padded, 32, 16, out, scaler));
    for (int row = 0; row < 16; ++row)
        for (int x = 0; x < 32; ++x)
            ASSERT_NEAR(ramp(x, row), out[size_t(row * 32 + x)], 1) << x << "," << row;
    sws_freeContext(scaler);
}

TEST(V4l2Capture, APictureShorterThanItsSizeOrAnOddTargetIsRefused) {
    auto flat = [](int, int) { return uint8_t(120); };
    SwsContext* scaler = nullptr;
    std::vector<uint8_t> out;
    V4l2Frame cut = yuyv(64, 48, flat, 128, 128);
    cut.yuyv.resize(cut.yuyv.size() - 1);
    EXPECT_FALSE(V4l2Capture::convert(cut, 64, 48, out, scaler));
    V4l2Frame whole = yuyv(64, 48, flat, 128, 128);
    EXPECT_FALSE(V4l2Capture::convert(whole, 63, 48, out, scaler));
    EXPECT_FALSE(V4l2Capture::convert(whole, 64, 0, out, scaler));
    V4l2Frame empty;
    EXPECT_FALSE(V4l2Capture::convert(empty, 64, 48, out, scaler));
    sws_freeContext(scaler);

    // Without an open device there is nothing to capture, and the reason says so.
    V4l2Capture capture(std::make_shared<V4l2Tuner>());
    std::string error;
    EXPECT_FALSE(capture.startCapture(720, 576, 25, error));
    EXPECT_EQ("the analog tuner is not open", error);
}

template <class Space, class... Args>
ComPtr<ITuneRequest> requestOf(LONG channel, Args... args) {
    ComPtr<ITuningSpace> space;
    space.Attach(CreateComObject<Space>(args...));
    ComPtr<ITuneRequest> request;
    space->CreateTuneRequest(&request);
    ComPtr<IChannelTuneRequest> c;
    if (SUCCEEDED(request.As(&c))) c->put_Channel(channel);
    return request;
}

TEST(V4l2TunerFilter, TakesAnalogAndAuxiliaryRequestsAndFailsClearlyWithoutItsDevice) {
    RegisterBdaClasses();
    auto card = std::make_shared<V4l2Card>();
    card->device.path = "/nonexistent/video9";
    card->device.friendlyName = L"Gone";
    ComPtr<V4l2TunerFilter> filter;
    filter.Attach(CreateComObject<V4l2TunerFilter>(card));
    auto antenna = requestOf<AnalogTVTuningSpace>(3, L"Antenna", L"Antenna", TunerInputAntenna);
    EXPECT_EQ(S_OK, filter->Validate(antenna.Get()));
    EXPECT_EQ(S_OK, filter->Validate(requestOf<AuxInTuningSpace>(1).Get()));
    EXPECT_EQ(E_INVALIDARG, filter->Validate(requestOf<DVBTTuningSpace>(0).Get()));
    EXPECT_EQ(
        E_INVALIDARG,
        filter->Validate(requestOf<AnalogTVTuningSpace>(-1, L"Cable", L"Cable", TunerInputCable).Get()));
    EXPECT_EQ(E_POINTER, filter->put_TuneRequest(nullptr));

    // The device is not there: the tune fails, no request is kept, and the signal is none.
    EXPECT_EQ(E_FAIL, filter->put_TuneRequest(antenna.Get()));
    ComPtr<ITuneRequest> current;
    EXPECT_EQ(E_FAIL, filter->get_TuneRequest(&current));
    LONG strength = -1;
    BOOLEAN present = 1;
    EXPECT_EQ(S_OK, filter->get_SignalStrength(&strength));
    EXPECT_EQ(S_OK, filter->get_SignalPresent(&present));
    EXPECT_EQ(0, strength);
    EXPECT_EQ(0, present);
}

class V4l2Cards : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("v4l2-test-" + std::to_string(getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void file(const std::string& rel, const std::string& text) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel) << text << "\n";
    }
    // sys/class/video4linux/<node>/device -> sys/devices/<devicesRel>.
    void sysDevice(const std::string& node, const std::string& devicesRel) {
        fs::path cls = root_ / "sys/class/video4linux" / node;
        fs::create_directories(cls);
        fs::create_directories(root_ / "sys/devices" / devicesRel);
        fs::create_directory_symlink(root_ / "sys/devices" / devicesRel, cls / "device");
    }
    static V4l2Device device(const std::string& node, const std::wstring& name, const std::string& bus) {
        V4l2Device d;
        d.path = "/dev/" + node;
        d.friendlyName = name;
        d.busInfo = bus;
        return d;
    }
    std::string root() const { return root_.string(); }
    fs::path root_;
};

// The TV control's device rules pair a tuner with the encoder whose path, cut at its last '#',
// is the same ignoring case.
std::wstring card(const std::wstring& path) {
    std::wstring s = path.substr(0, path.rfind(L'#'));
    for (auto& c : s) c = wchar_t(std::towlower(c));
    return s;
}

TEST_F(V4l2Cards, PathsNameTheCardByItsBusAsThePlatformDoes) {
    sysDevice("video0", "pci0000:00/0000:00:0e.0");
    file("sys/devices/pci0000:00/0000:00:0e.0/vendor", "0x14F1");
    file("sys/devices/pci0000:00/0000:00:0e.0/device", "0x8800");
    file("sys/devices/pci0000:00/0000:00:0e.0/subsystem_vendor", "0x0070");
    file("sys/devices/pci0000:00/0000:00:0e.0/subsystem_device", "0x6902");
    EXPECT_EQ(L"\\\\?\\pci#ven_14f1&dev_8800&subsys_69020070#0000:00:0e.0&video0",
              V4l2CardPath(root(), device("video0", L"PCI card", "PCI:0000:00:0e.0")));

    // A USB stick: the driver binds an interface; vendor and product are on the device above.
    sysDevice("video1", "usb1/1-1/1-1:1.0");
    file("sys/devices/usb1/1-1/idVendor", "2040");
    file("sys/devices/usb1/1-1/idProduct", "7200");
    file("sys/devices/usb1/1-1/serial", "4031#bad");
    EXPECT_EQ(L"\\\\?\\usb#vid_2040&pid_7200#4031_bad&video1",
              V4l2CardPath(root(), device("video1", L"USB stick", "usb-0000:00:14.0-1")));

    // No sysfs entry (a virtual driver): its bus name, which cannot add parts to the path.
    EXPECT_EQ(L"\\\\?\\v4l2#platform:vivid-000#video2",
              V4l2CardPath(root(), device("video2", L"vivid", "platform:vivid-000")));
    EXPECT_EQ(L"\\\\?\\v4l2#x_y_z#video3", V4l2CardPath(root(), device("video3", L"odd", "x#y&z")));
}

TEST_F(V4l2Cards, EachCardIsATunerAndAnEncoderThatPairOnlyWithEachOther) {
    RegisterGraphClasses();
    size_t tunersBefore = DeviceRegistry::instance().devices(KSCATEGORY_TVTUNER).size();
    size_t encodersBefore = DeviceRegistry::instance().devices(KSCATEGORY_ENCODER).size();
    auto registration = std::make_unique<V4l2DeviceRegistration>(
        root(), std::vector<V4l2Device>{device("video0", L"Card A", "platform:a"),
                                        device("video1", L"Card B", "platform:b")});
    auto tuners = DeviceRegistry::instance().devices(KSCATEGORY_TVTUNER);
    auto encoders = DeviceRegistry::instance().devices(KSCATEGORY_ENCODER);
    ASSERT_EQ(tunersBefore + 2, tuners.size());
    ASSERT_EQ(encodersBefore + 2, encoders.size());
    const DeviceRecord& tunerA = tuners[tunersBefore];
    const DeviceRecord& tunerB = tuners[tunersBefore + 1];
    const DeviceRecord& encoderA = encoders[encodersBefore];
    const DeviceRecord& encoderB = encoders[encodersBefore + 1];
    EXPECT_EQ(L"Card A", tunerA.friendlyName);
    EXPECT_EQ(L"Card A MPEG Encoder", encoderA.friendlyName);
    EXPECT_EQ(L"\\\\?\\v4l2#platform:a#video0#{a799a800-a46d-11d0-a18c-00a02401dcd4}", tunerA.devicePath);
    EXPECT_EQ(card(tunerA.devicePath), card(encoderA.devicePath));
    EXPECT_EQ(card(tunerB.devicePath), card(encoderB.devicePath));
    EXPECT_NE(card(tunerA.devicePath), card(encoderB.devicePath));

    auto bind = [](const DeviceRecord& r) {
        ComPtr<IBaseFilter> f;
        EXPECT_EQ(S_OK, r.factory(IID_IBaseFilter, reinterpret_cast<void**>(&f)));
        return f;
    };
    ComPtr<IBaseFilter> ta = bind(tunerA), tb = bind(tunerB), ea = bind(encoderA);
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&graph)));
    ASSERT_EQ(S_OK, graph->AddFilter(ta.Get(), L"Tuner A"));
    ASSERT_EQ(S_OK, graph->AddFilter(tb.Get(), L"Tuner B"));
    ASSERT_EQ(S_OK, graph->AddFilter(ea.Get(), L"Encoder A"));
    auto pin = [](IBaseFilter* f, int n) { return ComPtr<IPin>(static_cast<CBaseFilter*>(f)->GetPin(n)); };
    EXPECT_TRUE(FAILED(graph->ConnectDirect(pin(tb.Get(), 0).Get(), pin(ea.Get(), 0).Get(), nullptr)))
        << "an encoder took the tuner of another card";
    EXPECT_EQ(S_OK, graph->ConnectDirect(pin(ta.Get(), 0).Get(), pin(ea.Get(), 0).Get(), nullptr));
    graph->RemoveFilter(ea.Get());
    graph->RemoveFilter(ta.Get());
    graph->RemoveFilter(tb.Get());

    registration.reset();
    EXPECT_EQ(tunersBefore, DeviceRegistry::instance().devices(KSCATEGORY_TVTUNER).size());
    EXPECT_EQ(encodersBefore, DeviceRegistry::instance().devices(KSCATEGORY_ENCODER).size());
}

}  // namespace
