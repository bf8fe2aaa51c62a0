// Live TV through the module as a host loads it: the demo air tuned by the plug-in's TV
// control, the time-shift buffer read back by its graph, packets taken with readFrame.
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/InputPluginInterface.h"
#include "host/SimpleMedium.h"
#include "host/SimpleStreamDescription.h"
#include "platform/registry/Registry.h"
#include "plugin/ScratchFolder.h"

using namespace pelmo::streamer;

namespace {

constexpr const char* kFailure = "TV Control input: This device is in use or not supported";
const std::string kSequenceHeader("\x00\x00\x01\xB3", 4);

struct Packet {
    int type;
    int size;
    int64_t timestamp;
    bool sync;
    std::string head;
};

void setDword(const wchar_t* key, const wchar_t* name, DWORD value) {
    HKEY k = nullptr;
    ASSERT_EQ(0, RegCreateKeyW(HKEY_LOCAL_MACHINE, key, &k));
    RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(k);
}

// One plug-in object of the module, driven as the host drives it. A watchdog stops the object
// if a read waits far longer than any delivery takes, so a broken build fails instead of hanging.
class Host {
public:
    Host(InputPluginFactoryFunction factory, bool raw) {
        setDword(L"Software\\Kelvarin\\Pelmo\\PelmoTV", L"OutputRaw", raw ? 1 : 0);
        plugin = factory();
        watchdog = std::thread([this] {
            std::unique_lock<std::mutex> lock(guard);
            while (!finished) {
                if (!wake.wait_for(lock, std::chrono::seconds(60), [this] { return finished || fed; })) {
                    timedOut = true;
                    plugin->stop();
                }
                fed = false;
            }
        });
    }
    ~Host() {
        {
            std::lock_guard<std::mutex> lock(guard);
            finished = true;
        }
        wake.notify_all();
        watchdog.join();
        if (plugin) {
            plugin->close();
            delete plugin;
        }
    }

    bool open(const std::string& path, SimpleErrorReport& report) {
        SimpleMedium medium(path);
        return plugin->open(medium, report);
    }
    bool open(const std::string& path) {
        SimpleErrorReport report;
        return open(path, report);
    }
    // One packet; type kPacketNone when the read was woken without one.
    Packet read() {
        int type = -1, size = 0;
        uint8_t* data = nullptr;
        int64_t timestamp = 0, duration = 0;
        SamplePacket* packet = nullptr;
        bool sync = false;
        plugin->readFrame(type, data, size, timestamp, duration, packet, sync);
        {
            std::lock_guard<std::mutex> lock(guard);
            fed = true;
        }
        wake.notify_all();
        Packet p{packet ? type : kPacketNone, size, timestamp, sync, {}};
        if (data && size > 0) p.head.assign(reinterpret_cast<char*>(data), std::min(size, 16));
        plugin->releaseFrame(0, packet);
        return p;
    }
    // Reads until `video` video and `audio` audio packets came (or a read came back empty).
    std::vector<Packet> readSome(size_t video, size_t audio) {
        std::vector<Packet> got;
        size_t v = 0, a = 0;
        while (v < video || a < audio) {
            Packet p = read();
            if (p.type == kPacketNone) break;
            v += p.type == kPacketVideo;
            a += p.type == kPacketAudio;
            got.push_back(p);
        }
        return got;
    }
    SimpleStreamDescription describe() {
        SimpleStreamDescription d;
        plugin->getOutputStreamDescription(d);
        return d;
    }

    InputPluginInterface* plugin = nullptr;
    std::atomic<bool> timedOut{false};

private:
    std::mutex guard;
    std::condition_variable wake;
    bool finished = false, fed = false;
    std::thread watchdog;
};

std::vector<Packet> ofType(const std::vector<Packet>& packets, int type) {
    std::vector<Packet> out;
    for (auto& p : packets)
        if (p.type == type) out.push_back(p);
    return out;
}

void expectRising(const std::vector<Packet>& packets, const char* what) {
    for (size_t i = 1; i < packets.size(); ++i)
        ASSERT_GT(packets[i].timestamp, packets[i - 1].timestamp) << what << " packet " << i;
}

// What a host checks of delivery: both kinds, rising times, a key frame first, and packets
// that are what the description says.
void expectDelivery(const std::vector<Packet>& packets, const SimpleStreamDescription& d, bool raw) {
    auto video = ofType(packets, kPacketVideo);
    auto audio = ofType(packets, kPacketAudio);
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(audio.empty());
    expectRising(video, "video");
    expectRising(audio, "audio");
    EXPECT_TRUE(video.front().sync);
    const auto& v = d.videoDescription;
    const auto& a = d.audioDescription;
    EXPECT_GT(v.width, 0);
    EXPECT_GT(v.height, 0);
    EXPECT_GT(a.sampleRate, 0);
    if (raw) {
        EXPECT_EQ("raw", v.common.codecName);
        EXPECT_EQ("raw", a.common.codecName);
        EXPECT_EQ(5, v.pixelFormat);
        EXPECT_EQ(16, a.bitsPerSample);
        for (auto& p : video) ASSERT_EQ(v.width * v.height * 2, p.size);
        for (auto& p : audio) ASSERT_EQ(0, p.size % (a.channels * 2));
    } else {
        EXPECT_EQ("mpeg2", v.common.codecName);
        EXPECT_TRUE(a.common.codecName == "mp2" || a.common.codecName == "ac3") << a.common.codecName;
        // Sync points are exactly the pictures that open a sequence.
        for (auto& p : video) ASSERT_EQ(p.sync, p.head.compare(0, 4, kSequenceHeader) == 0);
    }
}

class LiveModule : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = std::make_unique<ScratchFolder>("skyvane_live_test");
        setenv("PELMO_BROADCAST", SKYVANE_BROADCAST, 0);
        // The air and the read-back graph's clock at one speed factor.
        setenv("PELMO_AIR_SPEED", "4", 1);
        // Nobody listens there: the TV control works without the bus.
        setenv("PELMO_BUS_PORT", "1", 1);
        setDword(L"Software\\Kelvarin\\Pelmo", L"LogLevel", 4);
    }
    static void TearDownTestSuite() { scratch.reset(); }
    static inline std::unique_ptr<ScratchFolder> scratch;

    void SetUp() override {
        ASSERT_FALSE(scratch->get().empty());
        // A data folder (log, buffers) of each test's own.
        static int tests = 0;
        appData = scratch->get() + "/test" + std::to_string(++tests);
        std::filesystem::create_directories(appData);
        setenv("PELMO_APPDATA", appData.c_str(), 1);
        module = dlopen(SKYVANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, module) << dlerror();
        factory = reinterpret_cast<InputPluginFactoryFunction>(dlsym(module, "InputPluginFactory"));
        ASSERT_NE(nullptr, factory);
    }
    void TearDown() override {
        if (module) dlclose(module);
        if (HasFailure()) std::cerr << pluginLog();
    }
    // The plug-in's log as written so far (it is complete once the object is deleted).
    std::string pluginLog() const {
        std::ifstream in(appData + "/Kelvarin/Logs/Skyvane.log");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    void* module = nullptr;
    InputPluginFactoryFunction factory = nullptr;
    std::string appData;
};

struct ChannelCase {
    const char* name;
    const char* path;
    bool raw;
    int width, height;
};

class LiveChannel : public LiveModule, public ::testing::WithParamInterface<ChannelCase> {};

}  // namespace

TEST_P(LiveChannel, OpensDescribesAndDeliversWhatItDescribes) {
    const ChannelCase& c = GetParam();
    Host host(factory, c.raw);
    SimpleErrorReport report;
    ASSERT_TRUE(host.open(c.path, report)) << report.getMessage();
    SimpleStreamDescription d = host.describe();
    if (c.width) {
        EXPECT_EQ(c.width, d.videoDescription.width);
        EXPECT_EQ(c.height, d.videoDescription.height);
    }
    ASSERT_TRUE(host.plugin->start());
    auto packets = host.readSome(12, 12);
    EXPECT_FALSE(host.timedOut);
    expectDelivery(packets, d, c.raw);
    EXPECT_TRUE(host.plugin->stop());
    EXPECT_TRUE(host.plugin->close());
}

INSTANTIATE_TEST_SUITE_P(
    KindsAndModes, LiveChannel,
    ::testing::Values(
        ChannelCase{"DvbtCompressed", "device://tv.channel.dvbt/#/474000/8/8916/4100/4164", false, 720, 576},
        ChannelCase{"DvbtRaw", "device://tv.channel.dvbt/#/474000/8/8916/4100/4164", true, 720, 576},
        ChannelCase{"AtscCompressed", "device://tv.channel.atsc/#/22/22/2", false, 720, 480},
        ChannelCase{"AtscRaw", "device://tv.channel.atsc/#/22/22/2", true, 720, 480},
        ChannelCase{"AnalogCompressed", "device://tv.channel.analog/#/3", false, 0, 0},
        ChannelCase{"AnalogRaw", "device://tv.channel.analog/#/3", true, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A channel change: the host gets one end marker, then the other service (here H.264 in HD).
TEST_F(LiveModule, MediumUpdateGivesOneEndMarkerThenTheNewChannel) {
    Host host(factory, false);
    ASSERT_TRUE(host.open("device://tv.channel.dvbt/#/474000/8/8916/4100/4164"));
    ASSERT_TRUE(host.plugin->start());
    ASSERT_FALSE(host.readSome(5, 5).empty());

    SimpleMedium hd("device://tv.channel.dvbt/#/474000/8/8916/4100/4165");
    SimpleErrorReport report;
    ASSERT_TRUE(host.plugin->updateMedium(hd, report)) << report.getMessage();
    SimpleStreamDescription d = host.describe();
    EXPECT_EQ("h264", d.videoDescription.common.codecName);
    EXPECT_EQ(1920, d.videoDescription.width);
    ASSERT_TRUE(host.plugin->start());
    Packet first = host.read();
    EXPECT_EQ(kPacketEndMarker, first.type);
    auto after = host.readSome(10, 10);
    EXPECT_FALSE(host.timedOut);
    for (auto& p : after) ASSERT_NE(kPacketEndMarker, p.type);
    auto video = ofType(after, kPacketVideo);
    ASSERT_FALSE(video.empty());
    EXPECT_TRUE(video.front().sync);
    expectRising(video, "video");
}

// A seek into the buffer's past: older content, stamped from the position sought, and nothing
// that was waiting in the queue before the seek.
TEST_F(LiveModule, SetPositionBackDeliversOlderContentAndDropsWhatWasQueued) {
    Host host(factory, false);
    ASSERT_TRUE(host.open("device://tv.channel.dvbt/#/474000/8/8916/4100/4164"));
    ASSERT_TRUE(host.plugin->start());
    // Three seconds of stream, so that what comes after the seek is stamped well before its end.
    auto before = host.readSome(75, 75);
    int64_t live = 0;
    ASSERT_EQ(kPluginOk, host.plugin->getPosition(live));
    ASSERT_GT(live, 1000);
    // The graph goes on delivering while nobody reads: wait (by the stream's own position)
    // until more has been handed over than was read.
    int64_t now = live;
    while (now < live + 1000 && !host.timedOut) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        host.plugin->getPosition(now);
    }
    const int64_t last = before.back().timestamp;

    const int64_t back = 500;
    ASSERT_EQ(kPluginOk, host.plugin->setPosition(back));
    auto after = host.readSome(10, 10);
    EXPECT_FALSE(host.timedOut);
    ASSERT_FALSE(after.empty());
    for (auto& p : after) {
        ASSERT_GE(p.timestamp, back * 1000);
        ASSERT_NE(kPacketEndMarker, p.type);
    }
    // Older than anything read before: no packet from before the seek came through.
    EXPECT_LT(after.front().timestamp, last);
    auto video = ofType(after, kPacketVideo);
    ASSERT_FALSE(video.empty());
    EXPECT_TRUE(video.front().sync);
    int64_t position = 0;
    ASSERT_EQ(kPluginOk, host.plugin->getPosition(position));
    EXPECT_LT(position, now);
    host.plugin->close();
    delete host.plugin;
    host.plugin = nullptr;
    // The seek did find packets waiting.
    std::string log = pluginLog();
    size_t at = log.find("setPosition with position 500");
    ASSERT_NE(std::string::npos, at);
    size_t size = log.find("emptyDataQueue queue size ", at);
    ASSERT_NE(std::string::npos, size);
    EXPECT_GT(std::atoi(log.c_str() + size + 26), 0);
}

TEST_F(LiveModule, PauseResumeCloseAndReopenKeepDelivering) {
    Host host(factory, false);
    ASSERT_TRUE(host.open("device://tv.channel.atsc/#/22/22/2"));
    ASSERT_TRUE(host.plugin->start());
    auto first = host.readSome(5, 5);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(host.plugin->pause());
    EXPECT_TRUE(host.plugin->resume());
    auto resumed = host.readSome(5, 5);
    ASSERT_FALSE(resumed.empty());
    // The same stream goes on: later times, no new start.
    auto v1 = ofType(first, kPacketVideo), v2 = ofType(resumed, kPacketVideo);
    ASSERT_FALSE(v2.empty());
    EXPECT_GT(v2.front().timestamp, v1.back().timestamp);

    EXPECT_TRUE(host.plugin->close());
    EXPECT_TRUE(host.plugin->close());
    ASSERT_TRUE(host.open("device://tv.channel.atsc/#/22/22/1"));
    SimpleStreamDescription d = host.describe();
    EXPECT_EQ(1920, d.videoDescription.width);
    ASSERT_TRUE(host.plugin->start());
    auto reopened = host.readSome(5, 5);
    EXPECT_FALSE(host.timedOut);
    expectDelivery(reopened, d, false);
}

// stop wakes a reader that waits for the next packet; it gets "no frame".
TEST_F(LiveModule, StopWakesAWaitingReader) {
    Host host(factory, false);
    ASSERT_TRUE(host.open("device://tv.channel.dvbt/#/474000/8/8916/4100/4164"));
    ASSERT_TRUE(host.plugin->start());
    ASSERT_FALSE(host.readSome(3, 3).empty());
    // Nothing more arrives once paused: the reader drains the queue and then waits.
    host.plugin->pause();
    std::atomic<bool> woken{false};
    std::atomic<pid_t> readerTid{0};
    std::thread reader([&] {
        readerTid = static_cast<pid_t>(syscall(SYS_gettid));
        while (host.read().type != kPacketNone) {
        }
        woken = true;
    });
    // Stop once the reader sleeps inside readFrame with nothing left to read.
    auto sleeping = [&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(readerTid.load()) + "/stat");
        std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t close = all.rfind(')');
        return close != std::string::npos && close + 2 < all.size() && all[close + 2] == 'S';
    };
    int settled = 0;
    while (settled < 20 && !woken) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        settled = readerTid && sleeping() ? settled + 1 : 0;
    }
    EXPECT_TRUE(host.plugin->stop());
    for (int i = 0; i < 6000 && !woken; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(woken);
    if (!woken) host.plugin->close();
    reader.join();
}

// A channel with nothing on it fails with the fixed text once the tuner finds no signal there,
// before a read-back graph waits for a buffer that stays empty; the log says why. The TV control
// stays: the next open retunes it and delivers. A tuner path on the same empty frequency (how a
// scan starts) opens, and a channel path there does not.
TEST_F(LiveModule, ChannelWithNothingOnItFailsAndTheNextOpenRetunesAndDelivers) {
    {
        Host host(factory, false);
        SimpleErrorReport report;
        EXPECT_FALSE(host.open("device://tv.channel.dvbt/#/500000/8/8916/4100/4164", report));
        EXPECT_EQ(-1, report.getCode());
        EXPECT_EQ(kFailure, report.getMessage());
        ASSERT_TRUE(host.open("device://tv.channel.dvbt/#/474000/8/8916/4100/4164"));
        ASSERT_TRUE(host.plugin->start());
        auto packets = host.readSome(5, 5);
        EXPECT_FALSE(host.timedOut);
        expectDelivery(packets, host.describe(), false);
    }
    {
        Host host(factory, false);
        SimpleErrorReport report;
        ASSERT_TRUE(host.open("tuner://tv.channel.dvbt/#/scan", report)) << report.getMessage();
        EXPECT_FALSE(host.open("device://tv.channel.dvbt/#/49000/-1/-1/-1/-1", report));
    }
    std::string log = pluginLog();
    size_t why = log.find("nothing is received on channel 500000/8/8916/4100/4164");
    ASSERT_NE(std::string::npos, why) << log;
    EXPECT_NE(std::string::npos, log.find("BDA Tuning freq 474000", why));
    EXPECT_NE(std::string::npos, log.find("nothing is received on channel 49000/-1/-1/-1/-1", why));
    EXPECT_EQ(std::string::npos, log.find("pFileSource Load for "));
    size_t starts = 0;
    for (size_t at = log.find("CTVCtl::StartTimeShift channel is"); at != std::string::npos;
         at = log.find("CTVCtl::StartTimeShift channel is", at + 1))
        ++starts;
    EXPECT_EQ(2u, starts);
}

// A channel the tuner refuses fails at once, before any read-back graph: the next open retunes
// the same TV control, builds the graph and delivers.
TEST_F(LiveModule, RefusedTuneFailsAtOnceAndTheNextOpenRetunesAndDelivers) {
    {
        Host host(factory, false);
        SimpleErrorReport report;
        EXPECT_FALSE(host.open("device://tv.channel.atsc/#/-5/22/2", report));
        EXPECT_EQ(-1, report.getCode());
        EXPECT_EQ(kFailure, report.getMessage());
        ASSERT_TRUE(host.open("device://tv.channel.atsc/#/22/22/2"));
        ASSERT_TRUE(host.plugin->start());
        auto packets = host.readSome(5, 5);
        EXPECT_FALSE(host.timedOut);
        expectDelivery(packets, host.describe(), false);
    }
    std::string log = pluginLog();
    EXPECT_NE(std::string::npos, log.find("channel -5/22/2 could not be tuned"));
    EXPECT_EQ(std::string::npos, log.find("pFileSource Load for "));
    size_t starts = 0;
    for (size_t at = log.find("CTVCtl::StartTimeShift channel is"); at != std::string::npos;
         at = log.find("CTVCtl::StartTimeShift channel is", at + 1))
        ++starts;
    EXPECT_EQ(1u, starts);
}

// Run on its own with a catalogue that does not exist (see CMakeLists.txt).
TEST_F(LiveModule, WithoutTheAirEveryOpenFailsAndTheLogSaysWhy) {
    if (std::string(getenv("PELMO_BROADCAST")) == SKYVANE_BROADCAST)
        GTEST_SKIP() << "needs a missing broadcast";
    {
        Host host(factory, false);
        SimpleErrorReport report;
        EXPECT_FALSE(host.open("device://tv.channel.dvbt/#/474000/8/8916/4100/4164", report));
        EXPECT_EQ(-1, report.getCode());
        EXPECT_EQ(kFailure, report.getMessage());
    }
    std::string log = pluginLog();
    EXPECT_NE(std::string::npos, log.find("no broadcast")) << log;
    EXPECT_NE(std::string::npos, log.find("No input device present")) << log;
}
