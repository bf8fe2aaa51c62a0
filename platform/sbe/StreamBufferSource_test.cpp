#include "platform/sbe/StreamBufferSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>

#include "platform/air/TsPacket.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/graph/GraphTestSupport.h"
#include "platform/sbe/SbeTestSupport.h"

using namespace sbetest;

namespace {

// A graph of the source over the buffer and one recording renderer per pin (video first).
struct ReadBack {
    explicit ReadBack(const std::string& buffer) {
        RegisterGraphClasses();
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&graph)));
        source.Attach(CreateComObject<StreamBufferSource>());
        std::wstring wide(buffer.begin(), buffer.end());
        loaded = source->Load(wide.c_str(), nullptr);
        if (FAILED(loaded)) return;
        EXPECT_EQ(S_OK, graph->AddFilter(source.Get(), L"SBESource"));
        for (int i = 0; i < source->GetPinCount(); ++i) {
            ComPtr<KeepingRenderer> r;
            r.Attach(CreateComObject<KeepingRenderer>());
            EXPECT_EQ(S_OK, graph->AddFilter(r.Get(), (L"renderer " + std::to_wstring(i)).c_str()));
            EXPECT_EQ(S_OK, graph->ConnectDirect(source->GetPin(i), r->Input(), nullptr));
            renderers.push_back(r);
        }
        graph.As(&control);
    }
    ~ReadBack() {
        if (control) control->Stop();
    }
    KeepingRenderer& video() { return *renderers.at(0); }
    KeepingRenderer& audio() { return *renderers.at(1); }
    int64_t seek(int64_t position) {
        LONGLONG p = position;
        EXPECT_EQ(S_OK, source->SetPositions(&p, AM_SEEKING_AbsolutePositioning, nullptr,
                                             AM_SEEKING_NoPositioning));
        return p;
    }
    std::pair<LONGLONG, LONGLONG> available() {
        LONGLONG earliest = -1, latest = -1;
        EXPECT_EQ(S_OK, source->GetAvailable(&earliest, &latest));
        return {earliest, latest};
    }

    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<StreamBufferSource> source;
    std::vector<ComPtr<KeepingRenderer>> renderers;
    HRESULT loaded = E_FAIL;
};

// The PTS (90 kHz) of every video PES start in the buffer's segments, with its first bytes.
std::vector<std::pair<int64_t, std::vector<uint8_t>>> videoPesStarts(const std::string& buffer, int pid) {
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> found;
    BufferManifest m;
    std::string error;
    if (!BufferManifest::read(buffer, m, error)) return found;
    for (const BufferSegment& s : m.segments) {
        std::ifstream in(BufferManifest::segmentPath(buffer, s.number), std::ios::binary);
        uint8_t p[188];
        while (in.read(reinterpret_cast<char*>(p), 188)) {
            if (tspacket::pid(p) != pid || !tspacket::payloadStart(p)) continue;
            tspacket::PesTimes t = tspacket::findPesTimes(p);
            size_t at = tspacket::payloadOffset(p);
            if (!t.ptsAt || !at || at + 9 >= 188) continue;
            size_t es = at + 9 + p[at + 8];
            if (es >= 188) continue;
            found.push_back({tspacket::readTimestamp(p + t.ptsAt),
                             std::vector<uint8_t>(p + es, p + std::min<size_t>(188, es + 16))});
        }
    }
    return found;
}

TEST(StreamBufferSource, AvailableGrowsAndTheLiveEdgeDeliversVideoAndAudioWithRisingTimes) {
    SbeWorld world;
    auto stream = world.tune(kDvbtTuner, 474000, 4.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 3 * kSecond));
    ReadBack rb(world.bufferPath());
    ASSERT_EQ(S_OK, rb.loaded);
    ASSERT_EQ(2, rb.source->GetPinCount());
    auto [earliest, latest] = rb.available();
    EXPECT_EQ(0, earliest);
    EXPECT_GE(latest, 3 * kSecond);
    ASSERT_TRUE(waitForPosition(sink.Get(), latest + 2 * kSecond));
    auto grown = rb.available();
    EXPECT_GT(grown.second, latest);

    rb.seek(grown.second);
    ASSERT_EQ(S_OK, rb.control->Run());
    ASSERT_TRUE(waitUntil([&] { return rb.video().count() >= 40 && rb.audio().count() >= 40; }));
    auto video = rb.video().samples();
    auto audio = rb.audio().samples();
    ASSERT_TRUE(video[0].timed);
    EXPECT_TRUE(video[0].sync);
    // The newest key frame is where the live edge is: its stamp is the segment's start.
    EXPECT_EQ(0, video[0].start);
    EXPECT_EQ(std::vector<REFERENCE_TIME>{grown.second}, rb.video().segments());
    REFERENCE_TIME lastKey = -1;
    for (auto& v : video)
        if (v.sync) {
            EXPECT_GT(v.start, lastKey);
            lastKey = v.start;
        }
    EXPECT_GT(lastKey, 5000000);
    for (size_t i = 1; i < audio.size(); ++i) EXPECT_GT(audio[i].start, audio[i - 1].start);
    EXPECT_GE(audio.front().start, -5000000);
    EXPECT_GT(audio.back().start, 5000000);
}

// A seek 10 s back while running: downstream is flushed, a new segment starts at the asked
// position, and what follows is the picture whose PTS is 10 s before the live edge's.
TEST(StreamBufferSource, SeekBackTenSecondsDeliversThatContentStampedFromTheAskedPosition) {
    SbeWorld world;
    auto stream = world.tune(kDvbtTuner, 474000, 8.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 25 * kSecond));
    ReadBack rb(world.bufferPath());
    ASSERT_EQ(S_OK, rb.loaded);
    auto [earliest, latest] = rb.available();
    rb.seek(latest);
    ASSERT_EQ(S_OK, rb.control->Run());
    ASSERT_TRUE(waitUntil([&] { return rb.video().count() >= 5; }));
    int64_t target = latest - 10 * kSecond;
    rb.seek(target);
    ASSERT_TRUE(waitUntil([&] { return rb.video().count() >= 5 && rb.audio().count() >= 5; }));
    EXPECT_GE(rb.video().flushes(), 1);
    EXPECT_EQ(target, rb.video().segments().back());
    EXPECT_EQ(target, rb.audio().segments().back());
    auto first = rb.video().samples().front();
    EXPECT_TRUE(first.sync);
    EXPECT_LE(first.start, 0);
    EXPECT_GT(first.start, -kSecond);  // the key frame at or before the asked position
    // The buffer's own PTS of that picture: origin + position, 10 s before the live edge's.
    BufferManifest m;
    std::string error;
    ASSERT_TRUE(BufferManifest::read(world.bufferPath(), m, error)) << error;
    int64_t expectedPts = (m.originPts + ((target + first.start) * 9 + 500) / 1000) % tspacket::kPtsWrap;
    bool matched = false;
    for (auto& [pts, head] : videoPesStarts(world.bufferPath(), 0x101))
        if (pts == expectedPts) matched = std::equal(head.begin(), head.end(), first.head.begin());
    EXPECT_TRUE(matched) << "no picture with PTS " << expectedPts << " starts like the delivered one";
    auto audio = rb.audio().samples();
    EXPECT_LT(audio.front().start, kSecond);
    EXPECT_GT(audio.front().start, -kSecond);
}

// The reader waits at the live edge (no more data comes); a stop returns without an end of
// stream, and a deleted buffer ends the stream with a log line.
TEST(StreamBufferSource, StopAtTheLiveEdgeReturnsAndADeletedBufferEndsTheStream) {
    SbeWorld world;
    ScopedCaptureLog capture;
    auto stream = world.tune(kDvbtTuner, 474000, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 3 * kSecond));
    sink->DetachAir();
    ReadBack rb(world.bufferPath());
    ASSERT_EQ(S_OK, rb.loaded);
    std::atomic<int> waits{0};
    rb.source->SetLiveEdgeHook([&] { ++waits; });
    ASSERT_EQ(S_OK, rb.control->Run());
    ASSERT_TRUE(waitUntil([&] { return waits.load() > 0; }));
    EXPECT_EQ(S_OK, rb.control->Stop());
    EXPECT_FALSE(rb.video().endOfStream());
    EXPECT_FALSE(rb.audio().endOfStream());

    waits = 0;
    ASSERT_EQ(S_OK, rb.control->Run());
    ASSERT_TRUE(waitUntil([&] { return waits.load() > 0; }));
    sink = nullptr;  // takes the buffer's files with it
    ASSERT_TRUE(waitUntil([&] { return rb.video().endOfStream() && rb.audio().endOfStream(); }));
    std::string buffer = world.bufferPath();
    std::wstring path(buffer.begin(), buffer.end());
    EXPECT_TRUE(capture.log->contains(
        L"StreamBufferSource: " + path + L": the buffer was deleted; the stream ends", 1));
}

TEST(StreamBufferSource, DamageEndsTheStreamWithALogLine) {
    SbeWorld world({{L"SegmentSeconds", 2}});
    ScopedCaptureLog capture;
    auto stream = world.tune(kDvbtTuner, 474000, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 8 * kSecond));
    sink->DetachAir();
    sink->Stop();
    std::string buffer = world.bufferPath();
    std::wstring path(buffer.begin(), buffer.end());
    BufferManifest m;
    std::string error;
    ASSERT_TRUE(BufferManifest::read(buffer, m, error)) << error;
    ASSERT_GE(m.segments.size(), 3u);
    {
        std::fstream f(BufferManifest::segmentPath(buffer, m.segments[1].number),
                       std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(188 * 100);
        f.put('\0');
    }
    ReadBack rb(buffer);
    ASSERT_EQ(S_OK, rb.loaded);
    ASSERT_EQ(S_OK, rb.control->Run());
    ASSERT_TRUE(waitUntil([&] { return rb.video().endOfStream() && rb.audio().endOfStream(); }));
    EXPECT_GT(rb.video().count(), 10u);
    EXPECT_TRUE(capture.log->contains(L"StreamBufferSource: " + path + L": the buffer is damaged at byte " +
                                          std::to_wstring(m.segments[1].firstByte + 188 * 100) +
                                          L"; the stream ends",
                                      1));
    // A damaged manifest: the source does not load, and says why.
    std::ofstream(buffer, std::ios::trunc) << "skyvane-timeshift 1\norigin 12\nsegment 1 2 3\n";
    ComPtr<StreamBufferSource> other;
    other.Attach(CreateComObject<StreamBufferSource>());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), other->Load(path.c_str(), nullptr));
    EXPECT_TRUE(capture.log->contains(
        L"StreamBufferSource: cannot open " + path + L": " + path + L": line 3 is not understood", 1));
}

// Nothing on the air: the sink writes no programme, and the source still loads (after the
// probe's wait) with a video and an audio pin that deliver nothing, and stops and seeks.
TEST(StreamBufferSource, NothingReceivedLoadsDefaultPinsThatDeliverNothing) {
    SbeWorld world;
    ScopedCaptureLog capture;
    // A frequency the air carries nothing on gives the tuner no stream to feed the sink.
    ASSERT_FALSE(world.tune(kDvbtTuner, 49000, 10.0));
    ComPtr<StreamBufferSink> sink = world.newSink();
    std::string buffer = world.bufferPath();
    std::wstring path(buffer.begin(), buffer.end());
    ASSERT_EQ(S_OK, sink->Pause());  // the buffer is started, live, and gets nothing
    ReadBack rb(buffer);
    ASSERT_EQ(S_OK, rb.loaded);
    ASSERT_EQ(2, rb.source->GetPinCount());
    CMediaType video, audio;
    ASSERT_EQ(S_OK, rb.source->GetPin(0)->GetMediaType(0, &video));
    ASSERT_EQ(S_OK, rb.source->GetPin(1)->GetMediaType(0, &audio));
    EXPECT_EQ(MEDIATYPE_Video, video.majortype);
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_VIDEO, video.subtype);
    EXPECT_EQ(MEDIATYPE_Audio, audio.majortype);
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_AUDIO, audio.subtype);
    EXPECT_TRUE(
        capture.log->contains(L"StreamBufferSource: nothing has been received into " + path +
                                  L"; it loads with default video and audio pins that deliver nothing",
                              LOG_INFO));
    OLECHAR* current = nullptr;
    EXPECT_EQ(S_OK, rb.source->GetCurFile(&current, nullptr));
    SysFreeString(current);
    EXPECT_EQ(E_UNEXPECTED, rb.source->Load(path.c_str(), nullptr));

    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(S_OK, rb.control->Run());
        EXPECT_EQ(0, rb.seek(0));  // wakes both pins waiting for data and lets them go on
        EXPECT_EQ(S_OK, rb.control->Stop());
    }
    auto [earliest, latest] = rb.available();
    EXPECT_EQ(0, earliest);
    EXPECT_EQ(0, latest);
    EXPECT_EQ(0u, rb.video().count());
    EXPECT_EQ(0u, rb.audio().count());
    EXPECT_FALSE(rb.video().endOfStream());
    EXPECT_FALSE(rb.audio().endOfStream());
}

// A buffer whose segment holds bytes that are not a transport stream is not loaded.
TEST(StreamBufferSource, AnUnreadableSegmentIsNotLoaded) {
    SbeWorld world;
    ScopedCaptureLog capture;
    std::string buffer = world.bufferPath();
    BufferManifest m;
    m.originPts = 0;
    m.live = false;
    m.segments.push_back({1, 0, 0});
    std::string error;
    ASSERT_TRUE(m.write(buffer, error)) << error;
    {
        std::ofstream segment(BufferManifest::segmentPath(buffer, 1), std::ios::binary);
        for (int i = 0; i < 188 * 2000; ++i) segment.put(static_cast<char>((i * 7 + 3) & 0x3f));
    }
    ComPtr<StreamBufferSource> source;
    source.Attach(CreateComObject<StreamBufferSource>());
    std::wstring path(buffer.begin(), buffer.end());
    EXPECT_TRUE(FAILED(source->Load(path.c_str(), nullptr)));
    EXPECT_EQ(0, source->GetPinCount());
    EXPECT_TRUE(
        capture.log->contains(L"StreamBufferSource: " + path + L" holds no readable programme", LOG_ERROR));
}

// Programmes with streams the graph cannot carry (SMPTE 302M sound, here): the sink keeps every
// stream of the programme, timed by its picture, else its sound, else whichever stream carries
// presentation times; the source offers pins only for what it can deliver, and says when there
// is no picture among them.
struct Programme {
    const char* name;
    const char* ffmpegArgs;  // the sound's codec in a 4 s clip
    const char* layout;      // what ffprobe finds in the buffer
    std::vector<GUID> pins;  // major types, in pin order
    const wchar_t* logged;   // the source's line about the streams it leaves out ("" none)
};

TEST(StreamBufferSource, AProgrammeIsKeptWholeAndOffersPinsForWhatCanBeDelivered) {
    const Programme programmes[] = {
        {"302M sound only",
         "-c:a s302m -strict -2",
         "program=4164;0x100=s302m;",
         {},
         L" has no picture that can be delivered (it carries s302m)"},
        {"MP2 sound only",
         "-c:a mp2",
         "program=4164;0x100=mp2;",
         {MEDIATYPE_Audio},
         L" has no picture that can be delivered (it carries mp2)"},
        {"picture and 302M sound",
         "-c:a s302m -strict -2",
         "program=4164;0x100=mpeg2video;0x101=s302m;",
         {MEDIATYPE_Video},
         L": no pin for what cannot be delivered (s302m)"},
    };
    for (const Programme& p : programmes) {
        SCOPED_TRACE(p.name);
        SbeWorld world;
        ScopedCaptureLog capture;
        std::string clip = world.folder / "clip.ts";
        bool withPicture = std::string(p.layout).find("mpeg2video") != std::string::npos;
        std::string inputs = withPicture ? "-f lavfi -i testsrc=size=176x144:rate=25 " : "";
        inputs += "-f lavfi -i sine=frequency=1000:sample_rate=48000 ";
        std::string codecs = withPicture ? "-c:v mpeg2video -g 12 " : "";
        std::string made = run("ffmpeg -v error -y " + inputs + codecs + "-ac 2 " + p.ffmpegArgs +
                               " -t 4 -mpegts_service_id 4164 -f mpegts '" + clip + "' 2>&1");
        std::ifstream in(clip, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(bytes.size(), 100000u) << "ffmpeg could not make the clip: " << made;

        // The whole clip at once into a sink that has been started, then stopped: a buffer
        // that is complete and no longer live.
        ComPtr<StreamBufferSink> sink = world.newSink({4164, -1, -1});
        std::string buffer = world.bufferPath();
        std::wstring path(buffer.begin(), buffer.end());
        ASSERT_EQ(S_OK, sink->Pause());
        sink->Feed(bytes.data(), bytes.size());
        ASSERT_EQ(S_OK, sink->Stop());
        EXPECT_GT(sink->LatestPosition(), 3 * kSecond);
        EXPECT_EQ(p.layout, probeLayout(joinSegments(buffer, world.folder / "joined.ts")));

        ReadBack rb(buffer);
        ASSERT_EQ(S_OK, rb.loaded);
        ASSERT_EQ(static_cast<int>(p.pins.size()), rb.source->GetPinCount());
        for (size_t i = 0; i < p.pins.size(); ++i) {
            CMediaType type;
            ASSERT_EQ(S_OK, rb.source->GetPin(static_cast<int>(i))->GetMediaType(0, &type));
            EXPECT_EQ(p.pins[i], type.majortype) << "pin " << i;
        }
        EXPECT_TRUE(capture.log->contains(L"StreamBufferSource: " + path + p.logged,
                                          withPicture ? LOG_INFO : LOG_ERROR));
        // What has a pin plays to the end of the buffer; a source without pins runs and stops.
        ASSERT_EQ(S_OK, rb.control->Run());
        for (auto& r : rb.renderers) ASSERT_TRUE(waitUntil([&] { return r->endOfStream(); }));
        for (auto& r : rb.renderers) EXPECT_GT(r->count(), 20u);
        EXPECT_EQ(S_OK, rb.control->Stop());
    }
}

// A reader left behind while the window moves on continues at the oldest data still there.
TEST(StreamBufferSource, FollowsTheWindowAsOldDataIsDeleted) {
    SbeWorld world({{L"WindowSeconds", 10}, {L"SegmentSeconds", 2}});
    auto stream = world.tune(kDvbtTuner, 474000, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 12 * kSecond));
    ReadBack rb(world.bufferPath());
    ASSERT_EQ(S_OK, rb.loaded);
    auto [earliest, latest] = rb.available();
    rb.seek(earliest);
    ASSERT_TRUE(waitUntil([&] { return rb.available().first > earliest + 4 * kSecond; }));
    auto moved = rb.available();
    EXPECT_GE(moved.second - moved.first, 10 * kSecond);
    ASSERT_EQ(S_OK, rb.control->Run());
    ASSERT_TRUE(waitUntil([&] { return rb.video().count() >= 3; }));
    auto first = rb.video().samples().front();
    EXPECT_TRUE(first.sync);
    EXPECT_GE(earliest + first.start, moved.first);
}

}  // namespace

// The sound branch stops taking packets: the picture branch reads on only until the sound's
// queue is full, then waits for it instead of queueing the rest of the buffer; once the sound
// goes on both play to the live edge and no queue has held more than its bound.
TEST(StreamBufferSource, AStreamAheadWaitsForTheOtherInsteadOfQueueingWithoutBound) {
    SbeWorld world;
    auto stream = world.tune(kDvbtTuner, 474000, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 10 * kSecond));
    sink->DetachAir();
    ReadBack rb(world.bufferPath());
    ASSERT_EQ(S_OK, rb.loaded);
    rb.source->SetMaxQueuedPackets(8);
    std::atomic<int> fullWaits{0}, edgeWaits{0};
    rb.source->SetQueueFullHook([&] { ++fullWaits; });
    rb.source->SetLiveEdgeHook([&] { ++edgeWaits; });
    rb.audio().holdAfter(1);
    // The held branch is let go before the graph stops, also when an assertion fails.
    struct Release {
        KeepingRenderer& renderer;
        ~Release() { renderer.holdAfter(0); }
    } release{rb.audio()};
    rb.seek(rb.available().first);
    ASSERT_EQ(S_OK, rb.control->Run());

    ASSERT_TRUE(waitUntil([&] { return fullWaits.load() > 0; }));
    EXPECT_EQ(8u, rb.source->PeakQueuedPackets());
    EXPECT_LE(rb.audio().count(), 1u);
    EXPECT_EQ(0, edgeWaits.load());
    // Eight sound frames are about a fifth of a second: a few pictures, not the whole buffer.
    const size_t pictures = rb.video().count();
    EXPECT_LT(pictures, 25u);

    rb.audio().holdAfter(0);
    ASSERT_TRUE(waitUntil([&] { return edgeWaits.load() > 0; }));
    EXPECT_EQ(S_OK, rb.control->Stop());
    EXPECT_EQ(8u, rb.source->PeakQueuedPackets());
    // About ten seconds of each.
    EXPECT_GT(rb.video().count(), pictures + 150);
    EXPECT_GT(rb.audio().count(), 250u);
}
