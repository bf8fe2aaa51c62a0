// The host's control and reading threads against the stand-in plug-in: a channel change and a
// seek while the reader waits in readFrame, and what the reader hands on around them.
#include "tools/pelmo-streamer/PluginHost.h"

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "base/TempFolder.h"

using namespace pelmo::streamer;

namespace {

constexpr int kChannelOneLuma = 36;  // 16 + 20 * channel in the stand-in's pictures
constexpr int kChannelTwoLuma = 56;
// Bounds only a broken host reaches: every wait below ends on an event long before.
constexpr auto kNeverReached = std::chrono::seconds(60);

struct Event {
    bool newTimeline = false;
    int type = -1;
    int64_t timestamp = 0;
    int luma = -1;
};

// Keeps every packet and timeline break the reading thread hands on.
class RecordingSink : public PacketSink {
public:
    void packet(SamplePacket& p) override {
        Event e;
        e.type = p.getType();
        e.timestamp = p.getTimestamp();
        if (e.type == kPacketVideo && p.getSize() > 0) e.luma = p.getData()[0];
        add(e);
    }
    void discontinuity() override {
        Event e;
        e.newTimeline = true;
        add(e);
    }
    // Waits until an event matches; false when none came.
    bool waitFor(const std::function<bool(const Event&)>& match) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, kNeverReached, [&] {
            for (const Event& e : events)
                if (match(e)) return true;
            return false;
        });
    }
    bool waitForCount(size_t count) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, kNeverReached, [&] { return events.size() >= count; });
    }
    std::vector<Event> snapshot() {
        std::lock_guard<std::mutex> l(lock);
        return events;
    }

private:
    void add(const Event& e) {
        {
            std::lock_guard<std::mutex> l(lock);
            events.push_back(e);
        }
        changed.notify_all();
    }
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Event> events;
};

using HoldFunction = void (*)(int);
using AwaitFunction = int (*)(int);

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(settings / "HKEY_LOCAL_MACHINE.reg")
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo\\PelmoTV]\n\"OutputRaw\"=dword:"
               "00000001\n";
        std::string error;
        ASSERT_TRUE(host.load(PELMO_TEST_MODULE, error)) << error;
        void* module = dlopen(PELMO_TEST_MODULE, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(nullptr, module);
        hold = reinterpret_cast<HoldFunction>(dlsym(module, "TestModuleHold"));
        awaitStuckReader = reinterpret_cast<AwaitFunction>(dlsym(module, "TestModuleAwaitStuckReader"));
        dlclose(module);
        ASSERT_NE(nullptr, hold);
        ASSERT_NE(nullptr, awaitStuckReader);
    }
    void TearDown() override {
        if (hold != nullptr) hold(0);
        // Ends the reading thread whatever an assertion left behind.
        host.finish();
    }

    void startChannelOne() {
        std::string error;
        ASSERT_TRUE(host.open("device://test/#/1", {}, error)) << error;
        ASSERT_TRUE(host.start());
        host.startReading(sink);
        ASSERT_TRUE(sink.waitFor([](const Event& e) { return e.luma == kChannelOneLuma; }));
    }

    // Leaves the reader asleep in readFrame with nothing on its way.
    void strandReader() {
        hold(1);
        ASSERT_EQ(1, awaitStuckReader(static_cast<int>(
                         std::chrono::duration_cast<std::chrono::milliseconds>(kNeverReached).count())));
    }

    TempFolder settings{"plugin_host_test"};
    ScopedEnv registryEnv{"PELMO_REGISTRY", settings.path()};
    ScopedEnv appDataEnv{"PELMO_APPDATA", settings.path()};
    PluginHost host;
    RecordingSink sink;
    HoldFunction hold = nullptr;
    AwaitFunction awaitStuckReader = nullptr;
};

TEST_F(PluginHostTest, ZapWakesAReaderAsleepInReadFrameAndGivesTheNewChannelAfterABreak) {
    startChannelOne();
    strandReader();
    std::string error;
    // A medium change alone leaves the reader asleep (its end marker wakes nobody); the host
    // wakes it through stop() before the change and starts delivery again after it.
    ASSERT_TRUE(host.zap("device://test/#/2", error)) << error;
    hold(0);
    ASSERT_TRUE(sink.waitFor([](const Event& e) { return e.luma == kChannelTwoLuma; }));
    host.finish();

    std::vector<Event> events = sink.snapshot();
    size_t firstNew = 0, lastBreak = events.size();
    while (events[firstNew].luma != kChannelTwoLuma) ++firstNew;
    for (size_t i = 0; i < firstNew; ++i)
        if (events[i].newTimeline) lastBreak = i;
    ASSERT_LT(lastBreak, firstNew) << "the new channel came without a break in the timeline";
    for (size_t i = lastBreak; i < events.size(); ++i)
        EXPECT_NE(kChannelOneLuma, events[i].luma) << "channel 1 after the change, event " << i;
}

TEST_F(PluginHostTest, FinishEndsAReaderAsleepInReadFrame) {
    startChannelOne();
    strandReader();
    host.finish();  // returns only once the reading thread has ended
    SUCCEED();
}

TEST_F(PluginHostTest, RewindWhileTheReaderWaitsRestartsDeliveryFromEarlierOnANewTimeline) {
    startChannelOne();
    strandReader();
    std::vector<Event> before = sink.snapshot();
    int64_t lastBefore = 0;
    for (const Event& e : before)
        if (e.type == kPacketVideo) lastBefore = std::max(lastBefore, e.timestamp);
    std::string error;
    ASSERT_TRUE(host.rewind(1000, error)) << error;
    hold(0);
    const size_t seen = before.size();
    ASSERT_TRUE(sink.waitForCount(seen + 4));
    host.finish();

    std::vector<Event> events = sink.snapshot();
    size_t i = seen;
    while (i < events.size() && !events[i].newTimeline) ++i;
    ASSERT_LT(i, events.size()) << "no break in the timeline after the seek";
    ASSERT_LT(i + 1, events.size());
    const Event& first = events[i + 1];
    // The position is that of the newest packet made, at most a queue ahead of the newest read.
    EXPECT_LT(first.timestamp, lastBefore);
    EXPECT_GE(first.timestamp, lastBefore - 1000000 - 40000);
}

TEST_F(PluginHostTest, AFailedOpenCarriesThePluginsOwnTextAndCode) {
    std::string error;
    EXPECT_FALSE(host.open("device://test/#/0", {}, error));
    EXPECT_NE(std::string::npos, error.find("TV Control input: This device is in use or not supported"))
        << error;
    EXPECT_NE(std::string::npos, error.find("code -1")) << error;
    // Not started: nothing to read, nothing hangs on the way out.
    EXPECT_FALSE(host.start());
}

TEST(PluginHostLoad, SaysWhyAModuleCannotBeUsed) {
    TempFolder folder{"plugin_host_load"};
    std::string error;
    {
        PluginHost host;
        EXPECT_FALSE(host.load(folder / "missing.so", error));
        EXPECT_NE(std::string::npos, error.find("missing.so")) << error;
    }
    {
        // A text file that claims to be a module.
        std::ofstream(folder / "fake.so") << "not a module\n";
        PluginHost host;
        EXPECT_FALSE(host.load(folder / "fake.so", error));
        EXPECT_NE(std::string::npos, error.find("cannot load the plug-in module")) << error;
    }
    {
        // A real library that is no input plug-in.
        PluginHost host;
        EXPECT_FALSE(host.load("libm.so.6", error));
        EXPECT_NE(std::string::npos, error.find("no InputPluginFactory")) << error;
    }
}

}  // namespace
