#include "plugin/SkyvanePlugin.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/CRegistry.h"
#include "base/FrameBufferPool.h"
#include "base/PLatch.h"
#include "host/SimpleMedium.h"
#include "host/SimpleStreamDescription.h"
#include "plugin/ScratchFolder.h"

using pelmo::streamer::SamplePacket;
using pelmo::streamer::SimpleErrorReport;
using pelmo::streamer::SimpleMedium;

namespace {

// What the test doubles were asked to do, in order, and what they answer.
struct Journal {
    std::vector<std::wstring> calls;
    HRESULT startTimeShift = S_OK;
    HRESULT setTVChannel = S_OK;
    HRESULT runTVControl = S_OK;
    HRESULT createRecording = S_OK;
    HRESULT reception = S_OK;
    HRESULT build = S_OK;
    HRESULT run = S_OK;
    HRESULT seek = S_OK;
    HRESULT position = S_OK;
    REFERENCE_TIME currentPosition = 0;
    int tvControlsMade = 0;
    int tvControlsAlive = 0;
    int graphsMade = 0;
    int graphsAlive = 0;
    std::wstring madeFor;  // media type and device name of the last TV control
    bool lastBuildRaw = false;

    bool called(const std::wstring& what) const {
        for (const auto& c : calls) {
            if (c == what) return true;
        }
        return false;
    }
    size_t count(const std::wstring& what) const {
        size_t n = 0;
        for (const auto& c : calls) n += c == what;
        return n;
    }
};

class RecordingTVControl : public TVControl {
public:
    explicit RecordingTVControl(Journal& j) : j(j) { ++j.tvControlsAlive; }
    ~RecordingTVControl() override { --j.tvControlsAlive; }
    HRESULT StartTimeShift(const std::wstring& medium, std::wstring& bufferPath) override {
        j.calls.push_back(L"StartTimeShift " + medium);
        bufferPath = L"/buffers/tv.ts";
        return j.startTimeShift;
    }
    HRESULT setTVChannel(const std::wstring& medium) override {
        j.calls.push_back(L"setTVChannel " + medium);
        return j.setTVChannel;
    }
    HRESULT runTVControl() override { return log(L"runTVControl", j.runTVControl); }
    HRESULT CreateRecording(const std::wstring& path) override {
        j.calls.push_back(L"CreateRecording " + path);
        return j.createRecording;
    }
    HRESULT CheckReleased(bool force) override {
        return log(force ? L"CheckReleased force" : L"CheckReleased", 0);
    }
    HRESULT stopTVControl() override { return log(L"stopTVControl", 0); }
    HRESULT stopTimeShift() override { return log(L"stopTimeShift", 0); }
    HRESULT checkReception(const std::wstring& medium) override {
        j.calls.push_back(L"checkReception " + medium);
        return j.reception;
    }

private:
    HRESULT log(const wchar_t* what, HRESULT hr) {
        j.calls.push_back(what);
        return hr;
    }
    Journal& j;
};

class RecordingGraph : public ReadBackGraph {
public:
    explicit RecordingGraph(Journal& j) : j(j) { ++j.graphsAlive; }
    ~RecordingGraph() override {
        --j.graphsAlive;
        j.calls.push_back(L"graph destroyed");
    }
    HRESULT build(const std::wstring& bufferPath, bool raw, SampleGrabberCallBack&) override {
        j.calls.push_back(L"build " + bufferPath);
        j.lastBuildRaw = raw;
        return j.build;
    }
    HRESULT run() override { return log(L"run", j.run); }
    HRESULT pause() override { return log(L"pause", 0); }
    HRESULT stop() override { return log(L"stop", 0); }
    void waitStopped() override { j.calls.push_back(L"waitStopped"); }
    HRESULT getCurrentPosition(REFERENCE_TIME& position) override {
        position = j.currentPosition;
        return j.position;
    }
    HRESULT seek(REFERENCE_TIME position) override {
        j.calls.push_back(L"seek " + std::to_wstring(position));
        return j.seek;
    }
    bool canSeekAbsolute() override { return true; }
    void describe(pelmo::streamer::StreamDescription&) override { j.calls.push_back(L"describe"); }

private:
    HRESULT log(const wchar_t* what, HRESULT hr) {
        j.calls.push_back(what);
        return hr;
    }
    Journal& j;
};

SkyvaneParts partsFor(Journal& j) {
    SkyvaneParts parts;
    parts.createTVControl = [&j](const std::wstring& mediaType, const std::wstring& deviceName,
                                 FormatChangeHandler&) -> std::unique_ptr<TVControl> {
        ++j.tvControlsMade;
        j.madeFor = mediaType + L" " + deviceName;
        return std::make_unique<RecordingTVControl>(j);
    };
    parts.createReadBackGraph = [&j]() -> std::unique_ptr<ReadBackGraph> {
        ++j.graphsMade;
        return std::make_unique<RecordingGraph>(j);
    };
    return parts;
}

// Settings and logs go to a folder of the test's own.
class PluginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = std::make_unique<ScratchFolder>("skyvane_plugin_test");
        ASSERT_FALSE(scratch->get().empty());
    }
    static void TearDownTestSuite() { scratch.reset(); }
    static inline std::unique_ptr<ScratchFolder> scratch;

    std::unique_ptr<SkyvanePlugin> makePlugin(int32_t outputRaw) {
        CRegistry::getInstance()->writeDWORD(L"Software\\Kelvarin\\Pelmo\\PelmoTV", L"OutputRaw", outputRaw);
        auto plugin = std::make_unique<SkyvanePlugin>(partsFor(j));
        EXPECT_EQ(outputRaw, plugin->getOutputRaw());
        return plugin;
    }

    bool openPath(SkyvanePlugin& plugin, const std::string& path) {
        SimpleMedium medium(path);
        return plugin.open(medium, report);
    }

    // Hands one sample over as a grabber would; the buffer's first byte carries `tag`.
    static void feed(SkyvanePlugin& plugin, LONG stream, REFERENCE_TIME start, REFERENCE_TIME end,
                     uint8_t tag = 0, BOOL sync = 0) {
        auto* data = static_cast<BYTE*>(std::calloc(4, 1));
        data[0] = tag;
        plugin.sampleCallBack(data, 4, 0, &start, &end, 0, sync, stream);
    }

    struct Frame {
        int type = 99;
        uint8_t* data = nullptr;
        int size = -1;
        int64_t timestamp = -1;
        int64_t duration = -1;
        SamplePacket* packet = nullptr;
        bool sync = true;
    };

    static Frame read(SkyvanePlugin& plugin, bool release = true) {
        Frame f;
        EXPECT_TRUE(plugin.readFrame(f.type, f.data, f.size, f.timestamp, f.duration, f.packet, f.sync));
        if (release) {
            plugin.releaseFrame(0, f.packet);
            f.data = nullptr;
        }
        return f;
    }

    Journal j;
    SimpleErrorReport report;
};

// A sample buffer as the grabbers hand it over.
BYTE* bytes(size_t n) {
    return static_cast<BYTE*>(std::calloc(n, 1));
}

constexpr const char* kDvbt = "device://tv.channel.dvbt/#/474000/8/9018/4100/4164";

}  // namespace

// ---- Opening ------------------------------------------------------------------------------

TEST_F(PluginTest, WithoutATVControlOpenFailsWithTheFixedText) {
    CRegistry::getInstance()->writeDWORD(L"Software\\Kelvarin\\Pelmo\\PelmoTV", L"OutputRaw", 1);
    SkyvanePlugin plugin{SkyvaneParts{}};
    EXPECT_FALSE(openPath(plugin, kDvbt));
    EXPECT_EQ(-1, report.getCode());
    EXPECT_EQ("TV Control input: This device is in use or not supported", report.getMessage());
    EXPECT_FALSE(plugin.start());
}

TEST_F(PluginTest, LiveChannelStartsTimeShiftAndBuildsTheReadBackGraph) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    EXPECT_EQ(L"tv.channel.dvbt ", j.madeFor);
    EXPECT_EQ((std::vector<std::wstring>{L"StartTimeShift 474000/8/9018/4100/4164",
                                         L"checkReception 474000/8/9018/4100/4164", L"build /buffers/tv.ts"}),
              j.calls);
    EXPECT_TRUE(j.lastBuildRaw);
    EXPECT_EQ(0, report.getCode());

    SimpleMedium described;
    plugin->describeMedium(described);
    EXPECT_EQ(1, described.getFlagA());
    EXPECT_EQ(1, described.getFlagB());
    EXPECT_EQ(nullptr, described.getProperties());

    ASSERT_TRUE(plugin->start());
    EXPECT_EQ(L"run", j.calls.back());
    EXPECT_TRUE(plugin->canSeek());

    pelmo::streamer::SimpleStreamDescription description;
    plugin->getOutputStreamDescription(description);
    EXPECT_EQ(L"describe", j.calls.back());

    // A graph that does not run is stopped again, and start reports it.
    j.run = E_FAIL;
    EXPECT_FALSE(plugin->start());
    EXPECT_EQ(L"stop", j.calls.back());
}

TEST_F(PluginTest, RecordingPropertyRecordsWithoutAReadBackGraph) {
    auto plugin = makePlugin(1);
    SimpleMedium medium(kDvbt);
    medium.setProperty("recording", "D:\\rec\\show.mpg");
    ASSERT_TRUE(plugin->open(medium, report));
    EXPECT_EQ(L"D:\\rec\\show.dvr-ms", plugin->getRecordingPath());
    EXPECT_TRUE(j.called(L"CreateRecording D:\\rec\\show.dvr-ms"));
    EXPECT_EQ(0, j.graphsMade);

    SimpleMedium described;
    plugin->describeMedium(described);
    ASSERT_NE(nullptr, described.getProperties());
    EXPECT_STREQ("D:\\rec\\show.dvr-ms", described.getProperties()->get("recording"));

    // Nothing plays back, so there is nothing to describe.
    pelmo::streamer::SimpleStreamDescription description;
    plugin->getOutputStreamDescription(description);
    EXPECT_FALSE(j.called(L"describe"));

    // Only the TV control runs; there is no graph to run.
    EXPECT_TRUE(plugin->start());
    EXPECT_EQ(L"runTVControl", j.calls.back());

    // A busy recorder ("nothing done") is a failed open as well.
    j.createRecording = S_FALSE;
    plugin->close();
    EXPECT_FALSE(plugin->open(medium, report));
    EXPECT_EQ(-1, report.getCode());
}

TEST(SkyvanePluginRecordingFile, ExtensionBecomesDvrMsEverywhere) {
    EXPECT_EQ(L"D:\\rec\\show.dvr-ms", SkyvanePlugin::recordingFileFor(L"D:\\rec\\show.mpg"));
    EXPECT_EQ(L"D:\\rec\\show.dvr-ms", SkyvanePlugin::recordingFileFor(L"D:\\rec\\show"));
    EXPECT_EQ(L"D:\\a.dvr-ms\\b.dvr-ms", SkyvanePlugin::recordingFileFor(L"D:\\a.mpg\\b.mpg"));
    EXPECT_EQ(L".dvr-ms", SkyvanePlugin::recordingFileFor(L""));
    // A trailing dot makes "." the extension: every dot is replaced once, and it terminates.
    EXPECT_EQ(L"a.dvr-msb.dvr-ms", SkyvanePlugin::recordingFileFor(L"a.b."));
    EXPECT_EQ(L"show.dvr-ms", SkyvanePlugin::recordingFileFor(L"show.dvr-ms"));
}

TEST_F(PluginTest, FailedStartKeepsTheTVControlAndTheNextOpenRetunesIt) {
    auto plugin = makePlugin(1);
    j.startTimeShift = E_FAIL;
    EXPECT_FALSE(openPath(*plugin, kDvbt));
    EXPECT_EQ(1, j.tvControlsAlive);
    EXPECT_EQ(0, j.graphsMade);

    // A retune goes on when setting the channel fails, but not when the TV control cannot run.
    j.calls.clear();
    j.setTVChannel = E_FAIL;
    ASSERT_TRUE(openPath(*plugin, "device://tv.channel.dvbt/#/506000/8/1/2/3"));
    EXPECT_EQ(1, j.tvControlsMade);
    EXPECT_EQ((std::vector<std::wstring>{L"setTVChannel 506000/8/1/2/3", L"runTVControl",
                                         L"checkReception 506000/8/1/2/3", L"build /buffers/tv.ts"}),
              j.calls);
    j.runTVControl = E_UNEXPECTED;
    EXPECT_FALSE(openPath(*plugin, kDvbt));
}

TEST_F(PluginTest, BrokenGraphBuildFailsOpenAndTheNextOpenBuildsAfresh) {
    auto plugin = makePlugin(1);
    j.build = E_POINTER;
    EXPECT_FALSE(openPath(*plugin, kDvbt));
    // Nothing of the failed build is left to deliver nothing.
    EXPECT_EQ(0, j.graphsAlive);
    j.build = S_OK;
    j.calls.clear();
    EXPECT_TRUE(openPath(*plugin, kDvbt));
    EXPECT_EQ(2, j.graphsMade);
    EXPECT_EQ(1, j.graphsAlive);
    EXPECT_TRUE(j.called(L"build /buffers/tv.ts"));
    ASSERT_TRUE(plugin->start());
    EXPECT_TRUE(j.called(L"run"));
}

// A channel the tuner receives nothing on fails before any read-back graph, on the first open
// and on a retune; a tuner path (opened to scan) is never asked.
TEST_F(PluginTest, ChannelWithoutReceptionFailsBeforeTheGraphUnlessATunerIsOpened) {
    auto plugin = makePlugin(1);
    j.reception = E_FAIL;
    EXPECT_FALSE(openPath(*plugin, kDvbt));
    EXPECT_EQ(-1, report.getCode());
    EXPECT_EQ(0, j.graphsMade);
    EXPECT_EQ(1, j.tvControlsAlive);
    EXPECT_TRUE(j.called(L"checkReception 474000/8/9018/4100/4164"));

    j.calls.clear();
    EXPECT_FALSE(openPath(*plugin, "device://tv.channel.dvbt/#/506000/8/1/2/3"));
    EXPECT_EQ((std::vector<std::wstring>{L"setTVChannel 506000/8/1/2/3", L"runTVControl",
                                         L"checkReception 506000/8/1/2/3"}),
              j.calls);
    EXPECT_EQ(0, j.graphsMade);

    j.calls.clear();
    ASSERT_TRUE(openPath(*plugin, "tuner://tv.channel.dvbt/#/x"));
    EXPECT_FALSE(j.called(L"checkReception 49000/-1/-1/-1/-1"));
    EXPECT_EQ(1, j.graphsMade);

    // After the tuner open, channel opens are checked again; a recording too.
    auto recorder = makePlugin(1);
    SimpleMedium medium(kDvbt);
    medium.setProperty("recording", "/rec/a.ts");
    EXPECT_FALSE(recorder->open(medium, report));
    EXPECT_FALSE(j.called(L"CreateRecording /rec/a.dvr-ms"));
    j.reception = S_OK;
    j.calls.clear();
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    EXPECT_TRUE(j.called(L"checkReception 474000/8/9018/4100/4164"));
}

TEST_F(PluginTest, PathsThatNameNoChannelAreRefused) {
    auto plugin = makePlugin(1);
    EXPECT_FALSE(openPath(*plugin, "device://tv.webcam/#/cam0"));
    EXPECT_FALSE(openPath(*plugin, "device://tv.channel.dvbt"));
    EXPECT_FALSE(openPath(*plugin, ""));
    EXPECT_EQ(0, j.tvControlsMade);
    EXPECT_EQ(-1, report.getCode());
}

TEST_F(PluginTest, TunerPathOpensTheDefaultChannelForItsDeviceAndNeverRecords) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, "tuner://tv.channel.analog/#/card0"));
    EXPECT_EQ(L"tv.channel.analog tuner://tv.channel.analog/#/card0", j.madeFor);
    EXPECT_TRUE(j.called(L"StartTimeShift 4"));

    auto dvbt = makePlugin(1);
    SimpleMedium medium("tuner://tv.channel.dvbt/#/x");
    medium.setProperty("recording", "/rec/a.ts");
    ASSERT_TRUE(dvbt->open(medium, report));
    EXPECT_EQ(L"", dvbt->getRecordingPath());
    EXPECT_EQ(2, j.graphsMade);

    // A refused tuner path still names the device; the channel open before stays.
    EXPECT_FALSE(openPath(*dvbt, "tuner://tv.radio/#/x"));
    EXPECT_EQ(L"tuner://tv.radio/#/x", dvbt->getDeviceName());
    EXPECT_EQ(L"tv.channel.dvbt", dvbt->getMediaType());
}

TEST_F(PluginTest, RefusalsLeaveTheirReasonInThePluginLog) {
    const std::string logFile = scratch->get() + "/Kelvarin/Logs/Skyvane.log";
    std::filesystem::remove(logFile);
    CRegistry::getInstance()->writeDWORD(L"Software\\Kelvarin\\Pelmo", L"LogLevel", 4);
    {
        auto plugin = makePlugin(1);
        EXPECT_FALSE(openPath(*plugin, "tuner://tv.channel.atsc"));
        EXPECT_FALSE(openPath(*plugin, "tuner://tv.webcam/#/cam0"));
        EXPECT_FALSE(openPath(*plugin, "tuner://tv.radio/#/x"));
        EXPECT_FALSE(openPath(*plugin, "device://tv.webcam/#/cam0"));
        SimpleMedium recording("device://tv.channel.dvbt/#/474000/8/1/2/3");
        recording.setProperty("recording", "/rec/news");
        EXPECT_TRUE(plugin->open(recording, report));
    }
    CRegistry::getInstance()->writeDWORD(L"Software\\Kelvarin\\Pelmo", L"LogLevel", 1);

    std::ifstream in(logFile);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* line :
         {"Wrong path for device tv.channel.atsc", "No scan for webcams tv.webcam/#/cam0",
          "Unsupported mediaType tv.radio/#/x", "Webcams are not supported by Skyvane",
          "we are in recording mode", "SkyvanePlugin::openDevice  device://tv.channel.dvbt/#/474000/8/1/2/3",
          "SkyvanePlugin::~SkyvanePlugin", "closeDevice returned  0"}) {
        EXPECT_NE(std::string::npos, log.find(line)) << line;
    }
}

// ---- Lifecycle ----------------------------------------------------------------------------

TEST_F(PluginTest, ControlsBeforeOpenTouchNothingAndStartStillDelivers) {
    auto plugin = makePlugin(1);
    EXPECT_TRUE(plugin->stop());
    EXPECT_TRUE(plugin->pause());
    EXPECT_TRUE(plugin->resume());
    EXPECT_TRUE(plugin->close());
    EXPECT_TRUE(plugin->close());
    EXPECT_TRUE(j.calls.empty());
    plugin->releaseFrame(0, nullptr);
    int64_t ms = -1;
    EXPECT_EQ(0, plugin->getPosition(ms));
    EXPECT_EQ(0, ms);
    EXPECT_EQ(2, plugin->setPosition(5));
    EXPECT_FALSE(plugin->canSeek());

    // Nothing to run, so start fails, yet delivery is on.
    EXPECT_FALSE(plugin->start());
    feed(*plugin, kVideoStream, 10, 20, 7);
    EXPECT_EQ(1, read(*plugin).type);
}

TEST_F(PluginTest, CloseTearsEverythingDownAndKeepsUnreadPackets) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    ASSERT_TRUE(plugin->start());
    feed(*plugin, kVideoStream, 0, 400000, 1);
    feed(*plugin, kAudioStream, 0, 240000, 2);
    j.calls.clear();
    EXPECT_TRUE(plugin->close());
    EXPECT_EQ(0, j.tvControlsAlive);
    EXPECT_EQ(0, j.graphsAlive);
    EXPECT_TRUE(j.called(L"stopTimeShift"));
    EXPECT_GE(j.count(L"CheckReleased force"), 1u);
    EXPECT_EQ(2u, plugin->queuedPackets());
    EXPECT_TRUE(plugin->close());

    // A new open makes a new TV control; the packets left over come first.
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    EXPECT_EQ(2, j.tvControlsMade);
    ASSERT_TRUE(plugin->start());
    Frame f = read(*plugin, false);
    EXPECT_EQ(1, f.type);
    EXPECT_EQ(1, f.data[0]);
    plugin->releaseFrame(0, f.packet);
    EXPECT_EQ(0, read(*plugin).type);
}

TEST_F(PluginTest, MediumUpdateLeavesOnlyAnEndMarkerAndRebuilds) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    ASSERT_TRUE(plugin->start());
    feed(*plugin, kVideoStream, 0, 1, 1);
    feed(*plugin, kAudioStream, 0, 1, 2);
    j.calls.clear();
    SimpleMedium next("device://tv.channel.dvbt/#/506000/8/1/2/3");
    ASSERT_TRUE(plugin->updateMedium(next, report));
    EXPECT_TRUE(j.called(L"stopTVControl"));
    EXPECT_TRUE(j.called(L"waitStopped"));
    EXPECT_TRUE(j.called(L"graph destroyed"));
    EXPECT_TRUE(j.called(L"setTVChannel 506000/8/1/2/3"));
    EXPECT_EQ(L"build /buffers/tv.ts", j.calls.back());
    EXPECT_EQ(1, j.tvControlsMade);
    EXPECT_EQ(2, j.graphsMade);

    ASSERT_EQ(1u, plugin->queuedPackets());
    Frame f = read(*plugin);
    EXPECT_EQ(4, f.type);
    EXPECT_EQ(0, f.size);
    EXPECT_EQ(0, f.timestamp);
}

TEST_F(PluginTest, AnalogRawCaptureKeepsRunningAcrossAMediumUpdate) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, "device://tv.channel.analog/#/4"));
    SimpleMedium next("device://tv.channel.analog/#/5");
    ASSERT_TRUE(plugin->updateMedium(next, report));
    EXPECT_FALSE(j.called(L"stopTVControl"));
    EXPECT_TRUE(j.called(L"setTVChannel 5"));

    auto compressed = makePlugin(0);
    ASSERT_TRUE(openPath(*compressed, "device://tv.channel.analog/#/4"));
    EXPECT_FALSE(j.lastBuildRaw);
    ASSERT_TRUE(compressed->updateMedium(next, report));
    EXPECT_TRUE(j.called(L"stopTVControl"));
}

TEST_F(PluginTest, PositionsConvertBetweenMillisecondsAndGraphUnits) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    int64_t ms = 0;
    j.currentPosition = 123456789;
    EXPECT_EQ(0, plugin->getPosition(ms));
    EXPECT_EQ(12345, ms);
    j.currentPosition = -15000;
    EXPECT_EQ(0, plugin->getPosition(ms));
    EXPECT_EQ(-1, ms);
    j.position = E_FAIL;
    EXPECT_EQ(2, plugin->getPosition(ms));

    ASSERT_TRUE(plugin->start());
    feed(*plugin, kVideoStream, 0, 1);
    j.calls.clear();
    EXPECT_EQ(0, plugin->setPosition(5));
    EXPECT_EQ((std::vector<std::wstring>{L"stop", L"waitStopped", L"seek 50000", L"run"}), j.calls);
    EXPECT_EQ(0u, plugin->queuedPackets());

    // A failed seek still runs the graph again.
    j.seek = E_FAIL;
    EXPECT_EQ(2, plugin->setPosition(5));
    EXPECT_EQ(L"run", j.calls.back());
}

TEST_F(PluginTest, FormatChangeTearsDownAndRebuilds) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    feed(*plugin, kVideoStream, 0, 1);
    EXPECT_EQ(0, plugin->formatChanging());
    EXPECT_EQ(0, j.graphsAlive);
    EXPECT_TRUE(j.called(L"stopTVControl"));
    EXPECT_EQ(1u, plugin->queuedPackets());

    EXPECT_EQ(1, plugin->formatChanged());
    EXPECT_EQ(1, j.graphsAlive);
    EXPECT_EQ(L"run", j.calls.back());

    j.runTVControl = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, plugin->formatChanged());
}

// ---- Packets and the queue ----------------------------------------------------------------

TEST_F(PluginTest, RawOutputDropsTheNewestSampleWhen31Wait) {
    auto plugin = makePlugin(1);
    plugin->start();
    for (int i = 0; i < 30; ++i) feed(*plugin, kVideoStream, i, i + 1, static_cast<uint8_t>(i));
    feed(*plugin, kAudioStream, 30, 31, 30);
    EXPECT_EQ(31u, plugin->queuedPackets());
    const int32_t warningsBefore = SkyvanePlugin::queueWarningCount();
    feed(*plugin, kVideoStream, 31, 32, 31);
    EXPECT_EQ(31u, plugin->queuedPackets());
    EXPECT_EQ(std::min(warningsBefore + 1, 100), SkyvanePlugin::queueWarningCount());
    // The queue itself is untouched: first in, first out, the dropped one missing.
    EXPECT_EQ(0, read(*plugin).timestamp);
    feed(*plugin, kVideoStream, 32, 33, 32);
    EXPECT_EQ(31u, plugin->queuedPackets());
}

TEST_F(PluginTest, RawFramesOfAFullQueueGoBackToTheSystemWhenRead) {
    auto plugin = makePlugin(1);
    plugin->start();
    FrameBufferPool& pool = FrameBufferPool::shared();
    const size_t outstanding = pool.outstandingCount();
    constexpr size_t kFrame = 720 * 576 * 2;
    // A reader that fell behind: the queue fills, the 32nd picture is dropped.
    for (int i = 0; i < 32; ++i) {
        REFERENCE_TIME start = i, end = i + 1;
        BYTE* frame = pool.allocate(kFrame);
        ASSERT_NE(nullptr, frame);
        frame[kFrame - 1] = static_cast<BYTE>(i);
        plugin->sampleCallBack(frame, kFrame, 0, &start, &end, 0, 1, kVideoStream);
    }
    EXPECT_EQ(31u, plugin->queuedPackets());
    EXPECT_EQ(outstanding + 31, pool.outstandingCount());
    for (int i = 0; i < 31; ++i) {
        Frame f = read(*plugin, false);
        ASSERT_EQ(static_cast<int>(kFrame), f.size);
        EXPECT_EQ(i, f.data[kFrame - 1]);
        plugin->releaseFrame(0, f.packet);
    }
    EXPECT_EQ(outstanding, pool.outstandingCount());
    // Only the few spares stay mapped, not the burst.
    EXPECT_LE(pool.spareCount(), FrameBufferPool::kDefaultSpares);
    EXPECT_LE(pool.mappedBytes(), FrameBufferPool::kDefaultSpares * (kFrame + 64 * 1024));
}

TEST_F(PluginTest, CompressedOutputIsNeverDroppedForLength) {
    auto plugin = makePlugin(0);
    plugin->start();
    for (int i = 0; i < 300; ++i) feed(*plugin, i % 2, i, i + 1);
    EXPECT_EQ(300u, plugin->queuedPackets());
    // Both warnings share one cap for the life of the process.
    EXPECT_EQ(100, SkyvanePlugin::queueWarningCount());
    for (int i = 0; i < 300; ++i) {
        Frame f = read(*plugin);
        ASSERT_EQ(i % 2, f.type);
        ASSERT_EQ(i / 10, f.timestamp);
    }
}

TEST_F(PluginTest, TimesBecomeMicrosecondsTruncatedTowardZero) {
    auto plugin = makePlugin(1);
    plugin->start();
    feed(*plugin, kVideoStream, 1005, 5005, 0, 1);
    feed(*plugin, kAudioStream, -15, 0);
    Frame f = read(*plugin);
    EXPECT_EQ(100, f.timestamp);
    EXPECT_EQ(400, f.duration);
    EXPECT_EQ(4, f.size);
    EXPECT_TRUE(f.sync);
    f = read(*plugin);
    EXPECT_EQ(-1, f.timestamp);
    EXPECT_EQ(1, f.duration);
    EXPECT_FALSE(f.sync);
}

TEST_F(PluginTest, UnusableSamplesAreFreedAndNotQueued) {
    // Under the address sanitizer a buffer that is neither queued nor freed fails this test.
    auto plugin = makePlugin(1);
    REFERENCE_TIME s = 0, e = 1;
    plugin->sampleCallBack(bytes(4), 4, 0, &s, &e, 0, 0, 2);
    plugin->sampleCallBack(bytes(4), 4, 0, &s, &e, 0, 0, -1);
    plugin->sampleCallBack(bytes(1), 0, 0, &s, &e, 0, 0, kVideoStream);
    plugin->sampleCallBack(nullptr, 4, 0, &s, &e, 0, 0, kVideoStream);
    EXPECT_EQ(0, plugin->endOfStream(kVideoStream));
    EXPECT_EQ(0u, plugin->queuedPackets());
}

TEST_F(PluginTest, SuspendedDeliveryLosesDigitalSamplesOnly) {
    auto plugin = makePlugin(1);
    ASSERT_TRUE(openPath(*plugin, kDvbt));
    EXPECT_EQ(0, plugin->suspendDelivery());
    feed(*plugin, kVideoStream, 0, 1);
    EXPECT_EQ(0u, plugin->queuedPackets());
    EXPECT_EQ(0, plugin->resumeDelivery());
    feed(*plugin, kVideoStream, 0, 1);
    EXPECT_EQ(1u, plugin->queuedPackets());

    auto analog = makePlugin(1);
    ASSERT_TRUE(openPath(*analog, "device://tv.channel.analog/#/4"));
    analog->suspendDelivery();
    feed(*analog, kVideoStream, 0, 1);
    EXPECT_EQ(1u, analog->queuedPackets());
}

TEST_F(PluginTest, ReadFrameWhenNotDeliveringAnswersNoFrameAndKeepsPackets) {
    auto plugin = makePlugin(1);
    feed(*plugin, kVideoStream, 0, 1);
    Frame f = read(*plugin);
    EXPECT_EQ(-1, f.type);
    EXPECT_EQ(nullptr, f.packet);
    EXPECT_EQ(0, f.size);
    EXPECT_EQ(0, f.timestamp);
    EXPECT_FALSE(f.sync);
    EXPECT_EQ(1u, plugin->queuedPackets());
}

TEST_F(PluginTest, EndMarkerIsTheOnlyPacketLeft) {
    auto plugin = makePlugin(0);
    plugin->start();
    for (int i = 0; i < 40; ++i) feed(*plugin, i % 2, i, i + 1);
    EXPECT_EQ(0, plugin->pushEndMarker());
    ASSERT_EQ(1u, plugin->queuedPackets());
    Frame f = read(*plugin);
    EXPECT_EQ(4, f.type);
    EXPECT_EQ(nullptr, f.data);
    EXPECT_EQ(0, f.duration);
    EXPECT_EQ(0, plugin->emptyDataQueue());
    EXPECT_EQ(0u, plugin->queuedPackets());
}

// ---- Threads ------------------------------------------------------------------------------

namespace {

// Joined however the test leaves its scope, so a failed assertion reports instead of aborting
// the whole binary with a thread still running.
class JoinedThread {
public:
    template <class F>
    explicit JoinedThread(F&& f) : thread(std::forward<F>(f)) {}
    ~JoinedThread() { join(); }
    void join() {
        if (thread.joinable()) thread.join();
    }

private:
    std::thread thread;
};

// Holds one streaming thread after its sample is queued until the reader has taken that sample
// and waits for the next one, and counts the wake-ups sent to the reader.
class HeldPlugin : public SkyvanePlugin {
public:
    using SkyvanePlugin::SkyvanePlugin;

    std::atomic<bool> holdNextSample{false};
    PLatch sampleHeld;
    PLatch readerWaits;
    std::atomic<int> wakeUps{0};
    std::atomic<int> wakeUpsWhenReaderWaited{-1};

protected:
    void sampleQueued() override {
        if (!holdNextSample.exchange(false)) return;
        sampleHeld.set();
        readerWaits.wait();
        // The reader set the latch with the queue lock held: once this thread gets the lock,
        // the reader has released it inside its wait.
        queuedPackets();
    }
    void readerWaiting() override {
        wakeUpsWhenReaderWaited = wakeUps.load();
        readerWaits.set();
    }
    void wakeReader() override {
        ++wakeUps;
        SkyvanePlugin::wakeReader();
    }
};

}  // namespace

TEST_F(PluginTest, AReaderWaitingForTheNextPacketGetsNoWakeUpMeantForTheLastOne) {
    CRegistry::getInstance()->writeDWORD(L"Software\\Kelvarin\\Pelmo\\PelmoTV", L"OutputRaw", 1);
    HeldPlugin plugin{partsFor(j)};
    plugin.start();
    plugin.holdNextSample = true;
    JoinedThread video([&] { feed(plugin, kVideoStream, 10, 20, 1); });
    plugin.sampleHeld.wait();

    // The video thread is now between queuing its sample and returning. The reader takes that
    // sample without waiting, then waits for the next one.
    Frame first, second;
    JoinedThread reader([&] {
        first = read(plugin);
        // Without the first sample taken the reader would not wait: let the video thread go.
        if (first.type != 1) plugin.readerWaits.set();
        second = read(plugin);
    });
    video.join();
    // Every wake-up for the first sample was sent before the reader could take it.
    EXPECT_EQ(plugin.wakeUpsWhenReaderWaited.load(), plugin.wakeUps.load());

    feed(plugin, kAudioStream, 30, 40, 2);
    reader.join();
    EXPECT_EQ(1, first.type);
    EXPECT_EQ(0, second.type);
    EXPECT_EQ(3, second.timestamp);
}

TEST_F(PluginTest, VideoAndAudioThreadsArriveInOrderWithNoneLost) {
    auto plugin = makePlugin(0);
    plugin->start();
    constexpr int kPerStream = 5000;
    auto producer = [&](LONG stream) {
        for (int i = 0; i < kPerStream; ++i) {
            REFERENCE_TIME start = static_cast<REFERENCE_TIME>(i) * 10;
            REFERENCE_TIME end = start + 10;
            auto* data = bytes(8);
            data[0] = static_cast<BYTE>(stream);
            plugin->sampleCallBack(data, 8, 0, &start, &end, 0, i % 12 == 0, stream);
        }
    };
    // Compressed output has no queue bound, so the producers finish even when the reading
    // below stops at a failed assertion.
    JoinedThread video([&] { producer(kVideoStream); });
    JoinedThread audio([&] { producer(kAudioStream); });

    int64_t next[2] = {0, 0};
    for (int received = 0; received < 2 * kPerStream; ++received) {
        Frame f = read(*plugin, false);
        ASSERT_TRUE(f.type == 0 || f.type == 1) << "no frame while delivering, after " << received;
        ASSERT_EQ(next[f.type], f.timestamp) << "stream " << f.type;
        ASSERT_EQ(f.type, f.data[0]);
        ASSERT_EQ(f.timestamp % 12 == 0, f.sync);
        ++next[f.type];
        plugin->releaseFrame(0, f.packet);
    }
    EXPECT_EQ(0u, plugin->queuedPackets());
}

TEST_F(PluginTest, StopAndCloseWakeAWaitingReader) {
    for (bool useClose : {false, true}) {
        CRegistry::getInstance()->writeDWORD(L"Software\\Kelvarin\\Pelmo\\PelmoTV", L"OutputRaw", 1);
        HeldPlugin plugin{partsFor(j)};
        ASSERT_TRUE(openPath(plugin, kDvbt));
        ASSERT_TRUE(plugin.start());
        Frame f;
        JoinedThread reader([&] { f = read(plugin); });
        plugin.readerWaits.wait();
        // Taking the lock proves the reader is inside its wait, so the one wake-up reaches it.
        plugin.queuedPackets();
        if (useClose) {
            plugin.close();
        } else {
            plugin.stop();
        }
        reader.join();
        EXPECT_EQ(-1, f.type);
        EXPECT_EQ(nullptr, f.packet);
    }
}
