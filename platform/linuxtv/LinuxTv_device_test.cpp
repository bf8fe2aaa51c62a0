// Tests against the kernel's virtual DVB driver (vidtv, with 8VSB added), run inside the test VM
// by `make test-kernel`: they load and unload kernel modules, so they refuse to run elsewhere.
// vidtv locks on 474 MHz (and 473 MHz, ATSC channel 14, as the VM loads it) and carries one
// service, "Beethoven", in PAT, PMT and SDT.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "platform/bda/BdaClasses.h"
#include "platform/bda/TuningSpaces.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/NullRenderer.h"
#include "platform/linuxtv/DvbTunerFilter.h"
#include "platform/linuxtv/LinuxTvDevices.h"
#include "platform/linuxtv/V4l2Tuner.h"
#include "platform/mpeg2data/AirSectionsFilter.h"
#include "platform/mpeg2data/TsDemux.h"
#include "platform/vidctl/AirPlatform.h"
#include "platform/vidctl/VidDevices.h"

namespace {

using Clock = std::chrono::steady_clock;
// Only against a hang: vidtv answers in milliseconds, the VM's emulated CPU in tens of them.
constexpr auto kPatience = std::chrono::seconds(30);

struct Stats {
    bool locked = false, present = false;
    LONG strength = 0, quality = 0;
    int failed = 0, notAvailable = 0;
};

Stats readStats(IBaseFilter* filter) {
    Stats s;
    ComPtr<IBDA_Topology> topology;
    EXPECT_EQ(S_OK, filter->QueryInterface(IID_IBDA_Topology, reinterpret_cast<void**>(&topology)));
    ULONG types[8], count = 0;
    topology->GetNodeTypes(&count, 8, types);
    for (ULONG i = 0; i < count; ++i) {
        ComPtr<IUnknown> node;
        if (FAILED(topology->GetControlNode(0, 1, types[i], &node))) continue;
        ComPtr<IBDA_SignalStatistics> st;
        if (FAILED(node.As(&st))) continue;
        BOOLEAN b = 0;
        LONG v = 0;
        auto count = [&](HRESULT hr) {
            if (FAILED(hr)) ++s.failed;
            if (hr == S_FALSE) ++s.notAvailable;
            return SUCCEEDED(hr);
        };
        if (count(st->get_SignalStrength(&v))) s.strength = v;
        if (count(st->get_SignalQuality(&v))) s.quality = v;
        if (count(st->get_SignalLocked(&b))) s.locked = b;
        if (count(st->get_SignalPresent(&b))) s.present = b;
    }
    return s;
}

ComPtr<ITuneRequest> dvbtRequest(LONG frequencyKHz, LONG bandwidth) {
    ComPtr<ITuneRequest> request;
    ComPtr<ITuningSpace> space;
    space.Attach(CreateComObject<DVBTTuningSpace>());
    space->CreateTuneRequest(&request);
    ComPtr<IDVBTLocator> locator;
    CoCreateInstance(CLSID_DVBTLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IDVBTLocator,
                     reinterpret_cast<void**>(&locator));
    locator->put_CarrierFrequency(frequencyKHz);
    locator->put_Bandwidth(bandwidth);
    request->put_Locator(locator.Get());
    return request;
}

ComPtr<ITuneRequest> atscRequest(LONG physical) {
    ComPtr<ITuneRequest> request;
    ComPtr<ITuningSpace> space;
    space.Attach(CreateComObject<ATSCTuningSpace>());
    space->CreateTuneRequest(&request);
    ComPtr<IATSCLocator> locator;
    CoCreateInstance(CLSID_ATSCLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IATSCLocator,
                     reinterpret_cast<void**>(&locator));
    locator->put_PhysicalChannel(physical);
    request->put_Locator(locator.Get());
    return request;
}

// Polls the statistics until locked (or patience runs out).
Stats awaitLock(IBaseFilter* filter) {
    Stats s;
    auto until = Clock::now() + kPatience;
    while (!(s = readStats(filter)).locked && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return s;
}

// The service names of an SDT section (service descriptors, tag 0x48), bounds-checked.
std::vector<std::string> sdtServiceNames(const uint8_t* s, size_t size) {
    std::vector<std::string> names;
    if (size < 15 || s[0] != 0x42) return names;
    size_t end = size - 4;  // CRC
    size_t p = 11;
    while (p + 5 <= end) {
        size_t loop = ((s[p + 3] & 0x0F) << 8) | s[p + 4];
        size_t d = p + 5, dEnd = std::min(end, d + loop);
        while (d + 2 <= dEnd) {
            uint8_t tag = s[d], len = s[d + 1];
            if (d + 2 + len > dEnd) break;
            if (tag == 0x48 && len >= 3) {
                size_t q = d + 2 + 1;
                size_t providerLen = s[q];
                q += 1 + providerLen;
                if (q < d + 2 + len) {
                    size_t nameLen = std::min<size_t>(s[q], d + 2 + len - q - 1);
                    std::string name(reinterpret_cast<const char*>(s + q + 1), nameLen);
                    // A leading byte below 0x20 selects the character table (0x10: three bytes).
                    size_t skip = name.empty() || uint8_t(name[0]) >= 0x20 ? 0 : name[0] == 0x10 ? 3 : 1;
                    names.push_back(name.substr(std::min(skip, name.size())));
                }
            }
            d += 2 + len;
        }
        p = dEnd;
    }
    return names;
}

class VidtvTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterGraphClasses();
        RegisterDevEnumClasses();
        RegisterBdaClasses();
    }
    void SetUp() override {
        if (!std::getenv("SKYVANE_KERNEL_TEST_VM")) GTEST_SKIP() << "runs only inside the kernel test VM";
        std::vector<std::string> problems;
        devices = FindDvbDevices("/", &problems);
        ASSERT_EQ(1u, devices.size()) << (problems.empty() ? "" : problems[0]);
        tuner = std::make_shared<DvbTuner>(devices[0]);
        filter.Attach(CreateComObject<DvbTunerFilter>(tuner));
    }
    void TearDown() override {
        filter = nullptr;
        tuner.reset();
    }

    std::vector<DvbDevice> devices;
    std::shared_ptr<DvbTuner> tuner;
    ComPtr<DvbTunerFilter> filter;
};

TEST_F(VidtvTest, TheFrontEndIsFoundNamedAndListedByTheDeviceEnumerator) {
    const DvbDevice& d = devices[0];
    EXPECT_EQ("/dev/dvb/adapter0/dvr0", d.dvrPath);
    EXPECT_FALSE(d.friendlyName.empty());
    EXPECT_NE(std::wstring::npos, d.devicePath.find(L"#platform_vidtv.0_"))
        << std::string(d.devicePath.begin(), d.devicePath.end());
    EXPECT_EQ(SYS_DVBT, DvbtSystemFor(d.systems));
    EXPECT_TRUE(tuner->receives(SYS_ATSC));

    LinuxTvDeviceRegistration registration(devices);
    std::vector<VidDeviceInfo> listed;
    ASSERT_EQ(S_OK, ListDevices(KSCATEGORY_BDA_NETWORK_TUNER, &listed));
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(d.friendlyName, listed[0].friendlyName);
    EXPECT_EQ(d.devicePath, listed[0].devicePath);
    ComPtr<ITuner> bound;
    ASSERT_EQ(S_OK, listed[0].moniker->BindToObject(nullptr, nullptr, IID_ITuner,
                                                    reinterpret_cast<void**>(&bound)));
    std::printf("front end \"%ls\" at %ls\n", d.friendlyName.c_str(), d.devicePath.c_str());
}

TEST_F(VidtvTest, AMachineWithATunerAndNoCatalogueGetsItsTuner) {
    unsetenv("PELMO_TUNERS");
    TunerSelection s = SelectTuners(false);
    EXPECT_EQ(TunerChoice::Real, s.choice);
    EXPECT_FALSE(s.air);
    ASSERT_TRUE(s.real);
    EXPECT_EQ(1u, s.real->size());
    EXPECT_TRUE(s.real->tuner(devices[0].devicePath));
    s = SelectTuners(true);
    EXPECT_EQ(TunerChoice::Both, s.choice);
    EXPECT_TRUE(s.air);
    setenv("PELMO_TUNERS", "air", 1);
    s = SelectTuners(false);
    EXPECT_EQ(TunerChoice::Air, s.choice);
    EXPECT_FALSE(s.real);
    unsetenv("PELMO_TUNERS");
}

TEST_F(VidtvTest, ItsFrequencyLocksWithFiguresAnotherDoesNot) {
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    Stats s = awaitLock(filter.Get());
    EXPECT_TRUE(s.locked);
    EXPECT_TRUE(s.present);
    EXPECT_GT(s.strength, 0);
    EXPECT_LE(s.strength, 100);
    EXPECT_GT(s.quality, 0);
    EXPECT_LE(s.quality, 100);
    EXPECT_EQ(4, s.failed);  // each node answers its own two figures only
    std::printf("474 MHz: %s\n", DvbSignalText(tuner->signal()).c_str());

    // vidtv needs the exact frequency: 482 MHz has nothing.
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(482000, 8).Get()));
    s = readStats(filter.Get());
    EXPECT_FALSE(s.locked);
    EXPECT_FALSE(s.present);
    EXPECT_EQ(0, s.quality);
    std::printf("482 MHz: %s\n", DvbSignalText(tuner->signal()).c_str());

    // Refused requests leave the tuning as it was.
    EXPECT_EQ(E_INVALIDARG, filter->put_TuneRequest(dvbtRequest(474000, 9).Get()));
    EXPECT_EQ(E_INVALIDARG, filter->put_TuneRequest(atscRequest(70).Get()));
    ComPtr<ITuneRequest> current;
    ASSERT_EQ(S_OK, filter->get_TuneRequest(&current));
    ComPtr<ILocator> locator;
    current->get_Locator(&locator);
    LONG f = 0;
    locator->get_CarrierFrequency(&f);
    EXPECT_EQ(482000, f);
}

// Below the front end's range (the plug-in's default DVB-T channel is 49 MHz): the tune is taken,
// as on the air, and nothing is received; the lock of the multiplex before does not linger.
TEST_F(VidtvTest, AFrequencyOutOfTheFrontEndsRangeTunesToNothing) {
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    ASSERT_TRUE(awaitLock(filter.Get()).locked);
    EXPECT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(49000, -1).Get()));
    Stats s = readStats(filter.Get());
    EXPECT_FALSE(s.locked);
    EXPECT_FALSE(s.present);
    EXPECT_EQ(0, s.strength);
    EXPECT_FALSE(tuner->stream());
    EXPECT_TRUE(tuner->lastError().empty()) << tuner->lastError();
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    EXPECT_TRUE(awaitLock(filter.Get()).locked);
}

// A scanned path whose tables gave no bandwidth (0): the front end is left to find it when it
// says it can, else it is tuned at 8 MHz; either way vidtv's multiplex locks. Both ways are
// tried, the second by telling the tuner its front end can find the bandwidth.
TEST_F(VidtvTest, AMultiplexWhoseBandwidthNobodyGaveLocks) {
    std::printf("vidtv %s find the bandwidth itself\n",
                (devices[0].caps & FE_CAN_BANDWIDTH_AUTO) ? "can" : "cannot");
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 0).Get()));
    EXPECT_TRUE(awaitLock(filter.Get()).locked);
    filter = nullptr;
    tuner.reset();
    DvbDevice other = devices[0];
    other.caps ^= FE_CAN_BANDWIDTH_AUTO;
    tuner = std::make_shared<DvbTuner>(other);
    filter.Attach(CreateComObject<DvbTunerFilter>(tuner));
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 0).Get()));
    EXPECT_TRUE(awaitLock(filter.Get()).locked);
    EXPECT_TRUE(tuner->lastError().empty()) << tuner->lastError();
}

TEST_F(VidtvTest, AtscPhysicalChannelTunesAs8Vsb) {
    ASSERT_EQ(S_OK, filter->put_TuneRequest(atscRequest(14).Get()));  // 473 MHz
    EXPECT_TRUE(awaitLock(filter.Get()).locked);
    ASSERT_EQ(S_OK, filter->put_TuneRequest(atscRequest(15).Get()));  // 479 MHz: nothing there
    EXPECT_FALSE(readStats(filter.Get()).locked);
}

TEST_F(VidtvTest, TheStreamCarriesTheTablesOfTheDriversService) {
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    std::shared_ptr<DvbTransportStream> stream = tuner->stream();
    ASSERT_TRUE(stream);
    std::shared_ptr<AirConsumer> reader = stream->subscribe();
    std::map<uint16_t, uint16_t> pmtPids;  // programme -> PMT PID, from the PAT
    std::set<uint16_t> pmtsSeen;
    std::vector<std::string> names;
    TsDemux demux([&](uint16_t pid, const uint8_t* s, size_t size) {
        if (pid == 0 && size >= 12 && s[0] == 0x00) {
            for (size_t p = 8; p + 4 <= size - 4; p += 4) {
                uint16_t program = uint16_t(s[p] << 8 | s[p + 1]);
                if (program != 0) pmtPids[program] = uint16_t((s[p + 2] & 0x1F) << 8 | s[p + 3]);
            }
        } else if (s[0] == 0x02) {
            pmtsSeen.insert(pid);
        } else if (pid == 0x11) {
            for (auto& n : sdtServiceNames(s, size)) names.push_back(n);
        }
    });
    demux.setCheckCrc(true);
    std::vector<uint8_t> buf(256 * 188);
    auto until = Clock::now() + kPatience;
    auto complete = [&]() {
        if (pmtPids.empty() || names.empty()) return false;
        for (auto& [program, pid] : pmtPids)
            if (!pmtsSeen.count(pid)) return false;
        return true;
    };
    while (!complete() && Clock::now() < until) {
        size_t got = 0;
        if (reader->read(buf.data(), 256, got, 100) == AirConsumer::Read::Ended) break;
        demux.feed(buf.data(), got * 188);
    }
    EXPECT_FALSE(pmtPids.empty());
    for (auto& [program, pid] : pmtPids) EXPECT_TRUE(pmtsSeen.count(pid)) << "no PMT on PID " << pid;
    ASSERT_FALSE(names.empty());
    EXPECT_EQ("Beethoven", names[0]);
    EXPECT_EQ(0u, demux.stats().crcErrors);
    EXPECT_EQ(0u, demux.stats().syncLosses);
}

// The graph's section source reads the real tuner's stream as it reads the air's: the scan's
// table requests get vidtv's own SDT.
TEST_F(VidtvTest, TheGraphsSectionSourceAnswersFromTheRealStream) {
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&graph)));
    ComPtr<AirSectionsFilter> sections;
    sections.Attach(CreateComObject<AirSectionsFilter>());
    ASSERT_EQ(S_OK, graph->AddFilter(filter.Get(), L"tuner"));
    ASSERT_EQ(S_OK, graph->AddFilter(sections.Get(), AirSectionsFilter::kName));
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    ComPtr<ISectionList> list;
    ASSERT_EQ(S_OK, sections->GetTable(0x11, 0x42, nullptr, 20000, &list));
    DWORD size = 0;
    SECTION* section = nullptr;
    ASSERT_EQ(S_OK, list->GetSectionData(0, &size, &section));
    std::vector<std::string> names = sdtServiceNames(reinterpret_cast<const uint8_t*>(section), size);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ("Beethoven", names[0]);
    list = nullptr;
    // Off the multiplex nothing comes, and the request ends when its time is up.
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(482000, 8).Get()));
    EXPECT_EQ(MPEG2DATA_E_TIMEOUT, sections->GetTable(0x00, 0x00, nullptr, 500, &list));
    graph->RemoveFilter(sections.Get());
    graph->RemoveFilter(filter.Get());
}

// With nothing configured, the platform a process opens lists this machine's tuner and not the
// air; choosing both without a broadcast still gives the real one.
TEST_F(VidtvTest, ThePlatformListsTheMachinesTunerByDefault) {
    unsetenv("PELMO_TUNERS");
    unsetenv("PELMO_BROADCAST");
    std::string why;
    std::shared_ptr<AirPlatform> platform = AirPlatform::acquire(why);
    ASSERT_TRUE(platform) << why;
    EXPECT_EQ(TunerChoice::Real, platform->tunerChoice());
    EXPECT_EQ(1u, platform->realTuners());
    EXPECT_FALSE(platform->broadcast());
    std::vector<VidDeviceInfo> listed;
    ASSERT_EQ(S_OK, ListDevices(KSCATEGORY_BDA_NETWORK_TUNER, &listed));
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(devices[0].devicePath, listed[0].devicePath);
    platform.reset();

    setenv("PELMO_TUNERS", "both", 1);
    platform = AirPlatform::acquire(why);
    ASSERT_TRUE(platform) << why;
    EXPECT_EQ(TunerChoice::Both, platform->tunerChoice());
    EXPECT_EQ(1u, platform->realTuners());
    platform.reset();
    listed.clear();
    ASSERT_EQ(S_OK, ListDevices(KSCATEGORY_BDA_NETWORK_TUNER, &listed));
    EXPECT_TRUE(listed.empty());
    unsetenv("PELMO_TUNERS");
}

TEST_F(VidtvTest, TheOutputPinDeliversTheMultiplexToTheGraphAndFollowsARetune) {
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&graph)));
    ComPtr<CNullRenderer> sink;
    sink.Attach(CreateComObject<CNullRenderer>());
    ASSERT_EQ(S_OK, graph->AddFilter(filter.Get(), L"tuner"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(filter->GetPin(0), sink->GetPin(0), nullptr));
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, graph.As(&control));
    ASSERT_EQ(S_OK, control->Run());
    auto until = Clock::now() + kPatience;
    while (sink->SamplesReceived() < 3 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(sink->SamplesReceived(), 3);
    // Off the multiplex and back: the pin reads the new stream.
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(482000, 8).Get()));
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    uint64_t before = filter->packetsDelivered();
    while (filter->packetsDelivered() < before + 200 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(filter->packetsDelivered(), before + 200);
    EXPECT_EQ(S_OK, control->Stop());
}

// Another process holds the front end: the tune fails at once, saying so.
TEST_F(VidtvTest, ABusyTunerFailsClearly) {
    int ready[2], release[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(release));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open("/dev/dvb/adapter0/frontend0", O_RDWR);
        char b = fd >= 0 ? 'y' : 'n';
        (void)!write(ready[1], &b, 1);
        (void)!read(release[0], &b, 1);
        _exit(0);
    }
    // The child goes when this scope ends, whatever the assertions say.
    struct Reap {
        pid_t pid;
        int fd;
        ~Reap() {
            char b = 'x';
            (void)!write(fd, &b, 1);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    } reap{child, release[1]};
    char b = 0;
    ASSERT_EQ(1, read(ready[0], &b, 1));
    ASSERT_EQ('y', b) << "the other process could not open the front end";
    EXPECT_EQ(E_FAIL, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    EXPECT_NE(std::string::npos, tuner->lastError().find("is busy: another program is using the tuner"))
        << tuner->lastError();
    EXPECT_FALSE(readStats(filter.Get()).present);
    // Listing and naming it still work: they only read.
    EXPECT_EQ(1u, FindDvbDevices("/", nullptr).size());
}

// Last: the driver goes away. Tuning then fails with the reason; a stream that was running
// ends instead of waiting for ever.
TEST_F(VidtvTest, AnUnpluggedTunerFailsClearlyAndNothingHangs) {
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    std::shared_ptr<AirConsumer> reader = tuner->stream()->subscribe();
    int removedWhileOpen = std::system("rmmod dvb_vidtv_bridge 2>/dev/null");
    if (removedWhileOpen == 0) {
        std::vector<uint8_t> buf(64 * 188);
        size_t got = 0;
        auto until = Clock::now() + kPatience;
        AirConsumer::Read r = AirConsumer::Read::Data;
        while ((r = reader->read(buf.data(), 64, got, 100)) != AirConsumer::Read::Ended &&
               Clock::now() < until) {
        }
        EXPECT_EQ(AirConsumer::Read::Ended, r);
    } else {
        // The kernel keeps a driver whose devices are open: let go, then it can go.
        tuner->powerDown();
        EXPECT_EQ(AirConsumer::Read::Ended, [&] {
            size_t got = 0;
            std::vector<uint8_t> buf(64 * 188);
            AirConsumer::Read r;
            while ((r = reader->read(buf.data(), 64, got, 100)) == AirConsumer::Read::Data) {
            }
            return r;
        }());
        ASSERT_EQ(0, std::system("rmmod dvb_vidtv_bridge"));
    }
    std::printf("module removed while open: %s\n", removedWhileOpen == 0 ? "yes" : "no (in use)");
    EXPECT_EQ(E_FAIL, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    EXPECT_NE(std::string::npos, tuner->lastError().find("is not there any more")) << tuner->lastError();
    Stats s = readStats(filter.Get());
    EXPECT_FALSE(s.present);
    EXPECT_FALSE(s.locked);
    EXPECT_TRUE(FindDvbDevices("/", nullptr).empty());
    EXPECT_EQ(0, std::system(
                     "insmod /lib/modules/dvb-vidtv-bridge.ko vidtv_valid_dvb_t_freqs=474000000,473000000"));
}

// vivid's TV input: a picture in colour within 0.25 MHz of 43.25 MHz + n x 6 MHz, none between.
TEST(VividTest, AnAnalogChannelIsTunedAndPicturesCaptured) {
    if (!std::getenv("SKYVANE_KERNEL_TEST_VM")) GTEST_SKIP() << "runs only inside the kernel test VM";
    std::vector<V4l2Device> tuners = FindV4l2Tuners("/");
    ASSERT_FALSE(tuners.empty());
    std::printf("analog tuner \"%ls\" at %s (%s)\n", tuners[0].friendlyName.c_str(), tuners[0].path.c_str(),
                tuners[0].busInfo.c_str());
    V4l2Tuner tuner;
    std::string error;
    ASSERT_TRUE(tuner.open(tuners[0], error)) << error;
    ASSERT_TRUE(tuner.tuneChannel(1, false, 5, error)) << error;  // 77.25 MHz: nothing
    EXPECT_EQ(0, tuner.signalPercent());
    ASSERT_TRUE(tuner.tuneChannel(1, false, 3, error)) << error;  // 61.25 MHz
    EXPECT_EQ(61250000u, tuner.frequencyHz());
    EXPECT_EQ(100, tuner.signalPercent());
    EXPECT_FALSE(tuner.tuneChannel(1, false, 70, error));
    EXPECT_NE(std::string::npos, error.find("not in the analog plan")) << error;
    EXPECT_EQ(61250000u, tuner.frequencyHz());

    V4l2Frame frame;
    ASSERT_TRUE(tuner.capture(720, 480, frame, error)) << error;
    EXPECT_EQ(720, frame.width);
    EXPECT_EQ(480, frame.height);
    ASSERT_EQ(size_t(720 * 480 * 2), frame.yuyv.size());
    // A test pattern, not a blank: many different luma values.
    std::set<uint8_t> luma;
    for (size_t i = 0; i < frame.yuyv.size(); i += 2) luma.insert(frame.yuyv[i]);
    EXPECT_GT(luma.size(), 8u);
}

}  // namespace
