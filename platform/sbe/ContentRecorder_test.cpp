#include "platform/sbe/ContentRecorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/air/TsPacket.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphTestSupport.h"
#include "platform/sbe/SbeClasses.h"
#include "platform/sbe/SbeTestSupport.h"
#include "platform/sbe/StreamBufferSource.h"

using namespace sbetest;

namespace {

bool stopped(IMSVidStreamBufferRecordingControl* r) {
    VARIANT_BOOL s = VARIANT_FALSE;
    return SUCCEEDED(r->get_RecordingStopped(&s)) && s == VARIANT_TRUE;
}

ComPtr<IMSVidStreamBufferRecordingControl> recorder(StreamBufferSink* sink, const std::string& file) {
    std::wstring wide(file.begin(), file.end());
    CComBSTR name(wide.c_str());
    ComPtr<IMSVidStreamBufferRecordingControl> r;
    EXPECT_EQ(S_OK, sink->get_ContentRecorder(name.m_str, &r));
    return r;
}

// The demo's DVB-T clip as transport packets.
std::vector<uint8_t> demoClip() {
    std::ifstream in(std::string(SKYVANE_BINARY_DIR) + "/data/demo/dvbt-474000.ts", std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A recording asked for 2 s, fed the clip one packet at a time through the sink's input (no air,
// no threads, so nothing is dropped and the stop point is always the same key frame): it holds
// the programme alone, plays without a decoding error and lasts the asked time up to the next
// key frame. One started alongside and stopped at once is still a whole file.
TEST(ContentRecorder, RecordingIsPlayableAndAsLongAsAsked) {
    const std::vector<uint8_t> clip = demoClip();
    const size_t count = clip.size() / 188;
    ASSERT_GT(count, 2000u);
    SbeWorld world;
    ComPtr<StreamBufferSink> sink = world.newSink({4164, -1, -1});
    ASSERT_EQ(S_OK, sink->Pause());
    std::string timed = world.folder / "two.dvr-ms";
    std::string atOnce = world.folder / "at-once.dvr-ms";
    auto two = recorder(sink.Get(), timed);
    auto other = recorder(sink.Get(), atOnce);
    ASSERT_TRUE(two && other);
    ASSERT_EQ(S_OK, two->put_StopTime(2));
    ASSERT_EQ(S_OK, two->put_StartTime(0));
    ASSERT_EQ(S_OK, other->put_StartTime(0));
    EXPECT_EQ(E_UNEXPECTED, other->put_StartTime(0));
    size_t fed = 0;
    for (; fed < count && !stopped(two.Get()); ++fed) sink->Feed(clip.data() + fed * 188, 188);
    ASSERT_TRUE(stopped(two.Get())) << "the clip ended before the recording's stop time";
    VARIANT_BOOL started = VARIANT_FALSE;
    EXPECT_EQ(S_OK, two->get_RecordingStarted(&started));
    EXPECT_EQ(VARIANT_TRUE, started);
    EXPECT_FALSE(stopped(other.Get()));
    EXPECT_EQ(S_OK, other->put_StopTime(0));
    EXPECT_TRUE(stopped(other.Get()));
    ASSERT_EQ(S_OK, sink->Stop());

    EXPECT_EQ("program=4164;0x101=mpeg2video;0x102=mp2;", probeLayout(timed));
    double seconds = probeDuration(timed);
    EXPECT_GE(seconds, 1.95);
    EXPECT_LT(seconds, 2.6);  // a group of pictures is half a second at most
    EXPECT_EQ("", run("ffmpeg -nostdin -v error -i '" + timed + "' -f null - 2>&1"));
    EXPECT_EQ("program=4164;0x101=mpeg2video;0x102=mp2;", probeLayout(atOnce));
    EXPECT_EQ("", run("ffmpeg -nostdin -v error -i '" + atOnce + "' -f null - 2>&1"));
}

// Fed one packet at a time through the sink's input (no air, no threads), a recording is
// stopped at once in the middle of a picture. The file must end on a whole PES packet of every
// stream: in the source, the packet of that PID after the file's last one begins a new one.
TEST(ContentRecorder, StoppedAtOnceEndsOnAWholePictureAndSound) {
    const std::vector<uint8_t> clip = demoClip();
    const size_t count = clip.size() / 188;
    ASSERT_GT(count, 2000u);
    const uint16_t kVideo = 0x101, kAudio = 0x102;
    auto packet = [&](size_t i) { return clip.data() + i * 188; };
    // For each packet, whether the next packet of its PID begins a PES packet (true at the end).
    std::vector<bool> nextStarts(count, true);
    std::map<uint16_t, size_t> last;
    for (size_t i = 0; i < count; ++i) {
        uint16_t pid = tspacket::pid(packet(i));
        if (last.count(pid)) nextStarts[last[pid]] = tspacket::payloadStart(packet(i));
        last[pid] = i;
    }

    SbeWorld world;
    ComPtr<StreamBufferSink> sink = world.newSink({4164, -1, -1});
    ASSERT_EQ(S_OK, sink->Pause());
    std::string file = world.folder / "cut.dvr-ms";
    auto rec = recorder(sink.Get(), file);
    ASSERT_TRUE(rec);
    ASSERT_EQ(S_OK, rec->put_StartTime(0));
    int pictures = 0;
    bool cut = false;
    for (size_t i = 0; i < count && !cut; ++i) {
        sink->Feed(packet(i), 188);
        VARIANT_BOOL started = VARIANT_FALSE;
        ASSERT_EQ(S_OK, rec->get_RecordingStarted(&started));
        if (started != VARIANT_TRUE || tspacket::pid(packet(i)) != kVideo) continue;
        if (tspacket::payloadStart(packet(i))) {
            ++pictures;
        } else if (pictures >= 13 && !nextStarts[i]) {
            // Half a second of whole pictures (and sound) is in; this picture has begun and
            // goes on past this packet.
            ASSERT_EQ(S_OK, rec->put_StopTime(0));
            cut = true;
        }
    }
    ASSERT_TRUE(cut) << "no picture of three packets or more after the recording's first half second";
    EXPECT_TRUE(stopped(rec.Get()));
    ASSERT_EQ(S_OK, sink->Stop());

    std::ifstream recorded(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(recorded)), std::istreambuf_iterator<char>());
    ASSERT_EQ(0u, bytes.size() % 188);
    // Each packet of the two streams is found in the source after the one before of its PID
    // (the streams' packets interleave differently: each PES packet goes out once it is whole).
    std::map<uint16_t, size_t> lastInSource;
    int starts = 0;
    for (size_t at = 0; at < bytes.size(); at += 188) {
        const uint8_t* p = bytes.data() + at;
        uint16_t pid = tspacket::pid(p);
        if (pid != kVideo && pid != kAudio) continue;
        if (pid == kVideo && tspacket::payloadStart(p)) ++starts;
        size_t i = lastInSource.count(pid) ? lastInSource[pid] + 1 : 0;
        while (i < count && !std::equal(p, p + 188, packet(i))) ++i;
        ASSERT_LT(i, count) << "packet " << at / 188 << " of the recording is not in the source";
        lastInSource[pid] = i;
    }
    EXPECT_EQ(pictures - 1, starts);  // the picture cut off is left out
    ASSERT_EQ(2u, lastInSource.size());
    for (auto [pid, i] : lastInSource)
        EXPECT_TRUE(nextStarts[i]) << "PID " << pid << " ends in a torn PES packet";
    EXPECT_EQ("", run("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1"));
}

// A stop of the sink pauses a recording; the next run goes on writing into it, and the sink's
// end ends it. While stopped the sink takes a programme for its next run.
TEST(ContentRecorder, ARecordingGoesOnThroughAStopAndEndsWithTheSink) {
    SbeWorld world;
    auto stream = world.tune(kDvbtTuner, 474000, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 2 * kSecond));
    EXPECT_EQ(E_UNEXPECTED, sink->SelectProgram({4164, -1, -1}));
    std::string file = world.folder / "through-a-stop.dvr-ms";
    auto r = recorder(sink.Get(), file);
    ASSERT_TRUE(r);
    ASSERT_EQ(S_OK, r->put_StartTime(0));
    auto size = [&] {
        std::error_code ec;
        auto n = std::filesystem::file_size(file, ec);
        return ec ? uintmax_t(0) : n;
    };
    ASSERT_TRUE(waitUntil([&] { return size() > 800000; }));
    ASSERT_EQ(S_OK, sink->Stop());
    EXPECT_FALSE(stopped(r.Get()));
    uintmax_t before = size();

    EXPECT_EQ(S_OK, sink->SelectProgram({4164, -1, -1}));
    ASSERT_EQ(S_OK, sink->Pause());
    ASSERT_EQ(S_OK, sink->AttachAir(stream));
    ASSERT_TRUE(waitUntil([&] { return size() > before + 800000; }));
    EXPECT_FALSE(stopped(r.Get()));
    sink->DetachAir();
    sink = nullptr;
    EXPECT_TRUE(stopped(r.Get()));
    EXPECT_EQ("program=4164;0x101=mpeg2video;0x102=mp2;", probeLayout(file));
    EXPECT_GT(probeDuration(file), 3.0);
}

TEST(ContentRecorder, RefusalsAreClear) {
    SbeWorld world;
    ScopedCaptureLog capture;
    ComPtr<StreamBufferSink> idle;
    idle.Attach(CreateComObject<StreamBufferSink>());
    CComBSTR name(L"/tmp/never.dvr-ms");
    ComPtr<IMSVidStreamBufferRecordingControl> r;
    EXPECT_EQ(E_UNEXPECTED, idle->get_ContentRecorder(name.m_str, &r));  // nothing is written yet
    EXPECT_EQ(E_INVALIDARG, idle->get_ContentRecorder(nullptr, &r));

    auto stream = world.tune(kDvbtTuner, 474000, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {});
    std::string nowhere = world.folder / "missing/folder/rec.dvr-ms";
    auto bad = recorder(sink.Get(), nowhere);
    ASSERT_TRUE(bad);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), bad->put_StartTime(0));
    EXPECT_TRUE(stopped(bad.Get()));
    std::wstring wide(nowhere.begin(), nowhere.end());
    EXPECT_TRUE(
        capture.log->contains(L"ContentRecorder: cannot create " + wide + L": No such file or directory", 1));
    EXPECT_EQ(E_INVALIDARG, bad->put_StopTime(-1));
    EXPECT_EQ(E_INVALIDARG, bad->put_StartTime(-5));
}

// What the Video Control and the read-back graph create by class, and the interfaces they ask
// for on each object.
TEST(SbeClasses, CreatedByClassWithTheirInterfaces) {
    SbeWorld world;
    RegisterSbeClasses();
    const DWORD all = 0x17;
    ComPtr<IStreamBufferInitialize> config;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StreamBufferConfig, nullptr, all, IID_IStreamBufferInitialize,
                                     reinterpret_cast<void**>(&config)));
    EXPECT_EQ(S_OK, config->SetHKEY(world.key));
    ComPtr<IStreamBufferConfigure3> configure;
    ASSERT_EQ(S_OK, config.As(&configure));
    EXPECT_EQ(S_OK, configure->SetNamespace(nullptr));

    ComPtr<IMSVidStreamBufferSink> sink;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidStreamBufferSink, nullptr, all, IID_IMSVidStreamBufferSink,
                                     reinterpret_cast<void**>(&sink)));
    ComPtr<IUnknown> sbe;
    ASSERT_EQ(S_OK, sink->get_SBESink(&sbe));
    ComPtr<IStreamBufferSink> bufferSink;
    ComPtr<IStreamBufferInitialize> init;
    EXPECT_EQ(S_OK, sbe.As(&bufferSink));
    ASSERT_EQ(S_OK, sbe.As(&init));
    EXPECT_EQ(S_OK, init->SetHKEY(world.key));
    EXPECT_EQ(E_INVALIDARG, init->SetHKEY(nullptr));
    EXPECT_EQ(S_OK, SelectStreamBufferProgram(sbe.Get(), {4164, -1, -1}));
    // The input the Video Control connects a transport stream to.
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(S_OK, sink.As(&filter));
    ComPtr<IPin> input;
    ASSERT_EQ(S_OK, filter->FindPin(L"Input", &input));
    CMediaType ts;
    ts.majortype = MEDIATYPE_Stream;
    ts.subtype = MEDIASUBTYPE_MPEG2_TRANSPORT;
    EXPECT_EQ(S_OK, input->QueryAccept(&ts));
    ts.subtype = MEDIASUBTYPE_MPEG2_VIDEO;
    EXPECT_NE(S_OK, input->QueryAccept(&ts));

    ComPtr<IStreamBufferSource> source;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StreamBufferSource, nullptr, all, IID_IStreamBufferSource,
                                     reinterpret_cast<void**>(&source)));
    ComPtr<IStreamBufferMediaSeeking> seeking;
    ComPtr<IFileSourceFilter> file;
    ComPtr<IStreamBufferInitialize> sourceInit;
    EXPECT_EQ(S_OK, source.As(&seeking));
    EXPECT_EQ(S_OK, source.As(&sourceInit));
    ASSERT_EQ(S_OK, source.As(&file));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), file->Load(L"/nonexistent/SBErec1.asf", nullptr));
    LONGLONG earliest = 0, latest = 0;
    EXPECT_EQ(E_UNEXPECTED, seeking->GetAvailable(&earliest, &latest));
}

}  // namespace
