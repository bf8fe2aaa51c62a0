// The read-back graph over a time-shift buffer that the stream-buffer sink writes straight from
// the tuned demo air, as the TV control will have it do.
#include "plugin/BufferReadBackGraph.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/SimpleStreamDescription.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/sbe/SbeClasses.h"
#include "platform/sbe/SbeTestSupport.h"
#include "plugin/GrabberTestSupport.h"
#include "plugin/TVCtlGrabberSink.h"

using namespace sbetest;
using pelmo::streamer::SimpleStreamDescription;

namespace {

// Keeps every log line ("level:text") for the test to search.
class LineLog : public CBBLog {
public:
    LineLog() : CBBLog(L"read-back.log", false, 1 << 20) {}
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(std::to_wstring(level) + L":" + VFormatWideString(fmt, args));
    }
    // The lines that start with prefix.
    std::vector<std::wstring> starting(const std::wstring& prefix) {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::wstring> found;
        for (auto& l : lines)
            if (l.compare(0, prefix.size(), prefix) == 0) found.push_back(l);
        return found;
    }
    bool has(const std::wstring& line) {
        auto found = starting(line);
        return std::find(found.begin(), found.end(), line) != found.end();
    }

private:
    std::mutex lock;
    std::vector<std::wstring> lines;
};

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::wstring hex(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"%X", static_cast<unsigned>(hr));
    return text;
}

bool hasDecoder(IFilterGraph* graph) {
    auto names = FilterNames(graph);
    return std::any_of(names.begin(), names.end(), [](auto& n) { return n.find(L"AV Decoder") == 0; });
}

FILTER_STATE stateOf(BufferReadBackGraph& g) {
    ComPtr<IMediaControl> mc;
    g.graph()->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&mc));
    OAFilterState s = -1;
    mc->GetState(0, &s);
    return static_cast<FILTER_STATE>(s);
}

class ReadBackGraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterGraphClasses();
        RegisterSbeClasses();
        setCurrentLogger(log);
        // The read-back graph keeps pace with the air.
        setenv("PELMO_AIR_SPEED", "4", 1);
    }
    void TearDown() override {
        unsetenv("PELMO_AIR_SPEED");
        setCurrentLogger(nullptr);
    }

    // The air tuned at speed 4 and the sink writing `choice` until the buffer holds `seconds`.
    ComPtr<StreamBufferSink> feed(const wchar_t* tuner, int value, ProgramChoice choice, int seconds) {
        stream = world.tune(tuner, value, 4.0);
        if (!stream) return nullptr;
        auto sink = world.startSink(stream, choice);
        if (!waitForPosition(sink.Get(), seconds * kSecond)) return nullptr;
        return sink;
    }
    // Runs until both grabbers delivered at least n samples, then stops and waits for the graph.
    void deliver(BufferReadBackGraph& g, size_t n) {
        ASSERT_EQ(S_OK, g.run());
        EXPECT_TRUE(waitUntil([&] {
            auto s = callBack.snapshot();
            size_t v = std::count_if(s.begin(), s.end(), [](auto& d) { return d.streamId == 1; });
            return v >= n && s.size() - v >= n;
        }));
        ASSERT_EQ(S_OK, g.stop());
        g.waitStopped();
    }
    std::vector<Delivered> of(LONG streamId) {
        std::vector<Delivered> out;
        for (auto& d : callBack.snapshot())
            if (d.streamId == streamId) out.push_back(d);
        return out;
    }

    std::shared_ptr<LineLog> log = std::make_shared<LineLog>();
    SbeWorld world;
    std::shared_ptr<AirStream> stream;
    RecordingCallBack callBack;
};

void expectRising(const std::vector<Delivered>& samples, const char* what) {
    for (size_t i = 1; i < samples.size(); ++i)
        ASSERT_GT(samples[i].start, samples[i - 1].start) << what << " sample " << i;
}

}  // namespace

TEST_F(ReadBackGraphTest, CompressedGraphStartsStoppedAtTheLiveEdgeAndHandsOverAccessUnits) {
    auto sink = feed(kDvbtTuner, 474000, {4164, -1, -1}, 3);
    ASSERT_TRUE(sink);
    BufferReadBackGraph g;
    ASSERT_EQ(S_OK, g.build(wide(world.bufferPath()), false, callBack));

    auto names = FilterNames(g.graph());
    for (const wchar_t* name :
         {L"SBESource", L"video grabber", L"audio grabber", L"null video renderer", L"null audio renderer"})
        EXPECT_NE(names.end(), std::find(names.begin(), names.end(), name)) << name;
    EXPECT_FALSE(hasDecoder(g.graph()));
    EXPECT_EQ(State_Stopped, stateOf(g));
    EXPECT_TRUE(callBack.snapshot().empty());

    // The source was moved to what the buffer held newest when the graph was built.
    auto available = log->starting(L"3:GetAvailable position hr 0 start 0 end ");
    ASSERT_EQ(1u, available.size());
    const long long latest = std::stoll(available[0].substr(available[0].rfind(L' ') + 1));
    EXPECT_GE(latest, 3 * kSecond);
    EXPECT_TRUE(log->has(L"3:SetPositions returned 0 position " + std::to_wstring(latest)));
    EXPECT_TRUE(g.canSeekAbsolute());

    SimpleStreamDescription d;
    g.describe(d);
    EXPECT_EQ("mpeg2", d.videoDescription.common.codecName);
    EXPECT_EQ(720, d.videoDescription.width);
    EXPECT_EQ(576, d.videoDescription.height);
    EXPECT_DOUBLE_EQ(25.0, d.videoDescription.frameRate);
    EXPECT_EQ("mp2", d.audioDescription.common.codecName);
    EXPECT_EQ(48000, d.audioDescription.sampleRate);

    deliver(g, 30);
    auto video = of(GrabberSink::kVideoStreamId);
    auto audio = of(GrabberSink::kAudioStreamId);
    ASSERT_FALSE(video.empty());
    // Delivery begins on a key frame: an MPEG-2 sequence header opens it.
    EXPECT_TRUE(video[0].syncPoint);
    ASSERT_GE(video[0].bytes.size(), 4u);
    EXPECT_EQ(std::string("\x00\x00\x01\xB3", 4), video[0].bytes.substr(0, 4));
    expectRising(video, "video");
    expectRising(audio, "audio");
    for (auto& v : video) {
        if (v.syncPoint) {
            EXPECT_EQ(std::string("\x00\x00\x01\xB3", 4), v.bytes.substr(0, 4));
        }
    }
    REFERENCE_TIME position = -1;
    EXPECT_EQ(S_OK, g.getCurrentPosition(position));
    EXPECT_GE(position, latest);
}

TEST_F(ReadBackGraphTest, RawGraphDecodesToTheFramesAndSoundItDescribes) {
    auto sink = feed(kAtscTuner, 22, {-1, 22, 2}, 2);
    ASSERT_TRUE(sink);
    BufferReadBackGraph g;
    ASSERT_EQ(S_OK, g.build(wide(world.bufferPath()), true, callBack));
    EXPECT_TRUE(hasDecoder(g.graph()));
    EXPECT_EQ(State_Stopped, stateOf(g));
    // The probe run fed nothing through.
    EXPECT_TRUE(callBack.snapshot().empty());

    SimpleStreamDescription d;
    g.describe(d);
    const auto& v = d.videoDescription;
    const auto& a = d.audioDescription;
    EXPECT_EQ("raw", v.common.codecName);
    EXPECT_EQ(5, v.pixelFormat);
    EXPECT_EQ(720, v.width);
    EXPECT_EQ(480, v.height);
    EXPECT_TRUE(v.topDown);
    // Whole frames a second for decoded pictures.
    EXPECT_DOUBLE_EQ(29.0, v.frameRate);
    EXPECT_EQ("raw", a.common.codecName);
    EXPECT_EQ(16, a.bitsPerSample);
    EXPECT_EQ(48000, a.sampleRate);

    deliver(g, 15);
    auto video = of(GrabberSink::kVideoStreamId);
    auto audio = of(GrabberSink::kAudioStreamId);
    for (auto& f : video) ASSERT_EQ(static_cast<size_t>(v.width * v.height * 2), f.bytes.size());
    for (auto& s : audio) ASSERT_EQ(0u, s.bytes.size() % static_cast<size_t>(a.channels * 2));
    expectRising(video, "video");
    expectRising(audio, "audio");
}

TEST_F(ReadBackGraphTest, SeekBackFlushesToTheNewTimeBaseAndDeliversOlderContent) {
    auto sink = feed(kDvbtTuner, 474000, {4164, -1, -1}, 4);
    ASSERT_TRUE(sink);
    BufferReadBackGraph g;
    ASSERT_EQ(S_OK, g.build(wide(world.bufferPath()), false, callBack));
    deliver(g, 10);
    REFERENCE_TIME live = 0;
    ASSERT_EQ(S_OK, g.getCurrentPosition(live));
    ASSERT_GT(live, 3 * kSecond);

    callBack.samples.clear();
    const REFERENCE_TIME back = kSecond;
    ASSERT_EQ(S_OK, g.seek(back));
    EXPECT_TRUE(log->has(L"3:SetPositions returned 0 position " + std::to_wstring(back)));
    deliver(g, 10);
    auto video = of(GrabberSink::kVideoStreamId);
    ASSERT_FALSE(video.empty());
    EXPECT_TRUE(video[0].syncPoint);
    // Stamped on the new time base: the position sought plus the new segment's time.
    EXPECT_GE(video[0].start, back);
    EXPECT_LT(video[0].start, live);
    REFERENCE_TIME position = 0;
    ASSERT_EQ(S_OK, g.getCurrentPosition(position));
    EXPECT_LT(position, live);
}

// Each failing step logs its line with the platform's own code and answers that code; once
// the graph object exists a second build only seeks.
TEST_F(ReadBackGraphTest, FailedCreationsAnswerThePlatformsCode) {
    struct Case {
        const CLSID* clsid;
        HRESULT code;
        const wchar_t* line;
        bool graphMade;
    };
    const Case cases[] = {
        {&CLSID_FilterGraph, E_OUTOFMEMORY,
         L"1:SkyvanePlugin::createFileGraph CoCreateInstance(CLSID_FilterGraph) failed ", false},
        {&CLSID_CaptureGraphBuilder2, REGDB_E_CLASSNOTREG,
         L"1:CoCreateInstance(CLSID_CaptureGraphBuilder2) failed ", true},
        {&CLSID_StreamBufferSource, E_ACCESSDENIED, L"1:CoCreateInstance CLSID_StreamBufferSource failed ",
         true},
    };
    auto sink = feed(kDvbtTuner, 474000, {4164, -1, -1}, 1);
    ASSERT_TRUE(sink);
    for (const Case& c : cases) {
        BufferReadBackGraph g;
        {
            ScopedClassFailure failure(*c.clsid, c.code);
            EXPECT_EQ(c.code, g.build(wide(world.bufferPath()), false, callBack)) << hex(c.code);
        }
        EXPECT_TRUE(log->has(c.line + hex(c.code))) << c.line;
        EXPECT_EQ(c.graphMade, g.exists()) << c.line;
    }

    BufferReadBackGraph missing;
    const std::wstring nowhere = wide(world.folder / "no-such-buffer.asf");
    const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(notFound, missing.build(nowhere, false, callBack));
    EXPECT_TRUE(log->has(L"1:SkyvanePlugin pFileSource Load for " + nowhere + L" failed " + hex(notFound)));
    const size_t builds = log->starting(L"4:SkyvanePlugin::createFileGraph").size();
    EXPECT_EQ(S_OK, missing.build(nowhere, false, callBack));
    EXPECT_EQ(builds, log->starting(L"4:SkyvanePlugin::createFileGraph").size());
    EXPECT_TRUE(callBack.snapshot().empty());
}

TEST_F(ReadBackGraphTest, MissingStreamBufferKeyLeavesTheSourceOnItsDefaults) {
    ComPtr<IStreamBufferSource> source;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StreamBufferSource, nullptr, CLSCTX_ALL, IID_IStreamBufferSource,
                                     reinterpret_cast<void**>(&source)));
    EXPECT_EQ(S_OK, BufferReadBackGraph::setupTVBuffer(source.Get()));
    EXPECT_TRUE(log->has(L"4: pInit->SetHKEY  returned 0"));
    // A user who never had the key: the registry's own code, positive, so the caller goes on.
    TempFolder empty{"read-back-registry"};
    setenv("PELMO_REGISTRY", empty.path().c_str(), 1);
    EXPECT_EQ(static_cast<HRESULT>(ERROR_FILE_NOT_FOUND), BufferReadBackGraph::setupTVBuffer(source.Get()));
    setenv("PELMO_REGISTRY", world.folder.path().c_str(), 1);
}
