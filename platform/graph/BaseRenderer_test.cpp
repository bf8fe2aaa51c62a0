// Playing a graph against its clock: renderers hold each sample until it is due, pause
// freezes the stream time, stop ends a wait at once, and stop and seek leave nothing stale in
// the decoders. The clocks are manual, so nothing here depends on the machine's speed.
#include "platform/graph/BaseRenderer.h"

#include <gtest/gtest.h>

#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/graph/GraphTestSupport.h"
#include "platform/graph/NullRenderer.h"
#include "platform/graph/ReferenceClock.h"

namespace {

ComPtr<IPin> pinOf(IBaseFilter* f, PIN_DIRECTION dir, int n = 0) {
    ComPtr<IEnumPins> e;
    f->EnumPins(&e);
    ComPtr<IPin> p;
    while (e->Next(1, &p, nullptr) == S_OK) {
        PIN_DIRECTION d;
        p->QueryDirection(&d);
        if (d == dir && n-- == 0) return p;
    }
    return nullptr;
}

constexpr REFERENCE_TIME kSecond = 10000000;

// A file source's video and audio pins, each into a recording renderer (video through a
// decoder when a subtype is asked for), on a graph that runs on a manual clock.
class ClockedGraphTest : public ::testing::Test {
protected:
    void build(const char* file, bool autoAdvance, GUID videoSubtype = GUID_NULL) {
        if (!TestStreams::get().ok())
            GTEST_SKIP() << "the ffmpeg command-line tool could not make the test streams";
        RegisterGraphClasses();
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&graph)));
        clock.Attach(CreateComObject<CManualClock>(autoAdvance));
        ComPtr<IMediaFilter> mf;
        ASSERT_EQ(S_OK, graph.As(&mf));
        ASSERT_EQ(S_OK, mf->SetSyncSource(clock.Get()));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MediaFileSource, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IBaseFilter, reinterpret_cast<void**>(&src)));
        ComPtr<IFileSourceFilter> load;
        src.As(&load);
        ASSERT_EQ(S_OK, load->Load(TestStreams::get().path(file).c_str(), nullptr));
        video.Attach(CreateComObject<RecordingRenderer>(MEDIATYPE_Video, videoSubtype));
        audio.Attach(CreateComObject<RecordingRenderer>(MEDIATYPE_Audio));
        graph->AddFilter(src.Get(), L"src");
        graph->AddFilter(video.Get(), L"video");
        graph->AddFilter(audio.Get(), L"audio");
        ASSERT_EQ(S_OK, graph->Connect(pinOf(src.Get(), PINDIR_OUTPUT, 0).Get(),
                                       pinOf(video.Get(), PINDIR_INPUT).Get()));
        ASSERT_EQ(S_OK, graph->Connect(pinOf(src.Get(), PINDIR_OUTPUT, 1).Get(),
                                       pinOf(audio.Get(), PINDIR_INPUT).Get()));
        graph.As(&control);
        graph.As(&seeking);
    }
    void TearDown() override {
        if (video) video->Unhold();
        if (audio) audio->Unhold();
        if (control) control->Stop();
    }
    static bool bothEnded(RecordingRenderer& v, RecordingRenderer& a) {
        return v.WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); }) &&
               a.WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); });
    }

    ComPtr<IGraphBuilder> graph;
    ComPtr<CManualClock> clock;
    ComPtr<IBaseFilter> src;
    ComPtr<RecordingRenderer> video, audio;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaSeeking> seeking;
};

TEST_F(ClockedGraphTest, EverySampleMeetsTheClockAtItsTime) {
    build("av.ts", true);
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(bothEnded(*video, *audio));
    auto v = video->Received(), a = audio->Received();
    ASSERT_EQ(50u, v.size());
    ASSERT_GT(a.size(), 50u);
    for (auto* list : {&v, &a})
        for (auto& g : *list) {
            ASSERT_GT(g.start, -kSecond / 100);
            EXPECT_GE(g.clockAt, g.due);
        }
    // The sound lasts on the clock as long as the clip does, not the time it takes to read it.
    EXPECT_GE(a.back().clockAt, 19 * kSecond / 10);
    EXPECT_GE(v.back().clockAt, 19 * kSecond / 10);
}

TEST_F(ClockedGraphTest, EachBranchWaitsOnTheClockAndStopEndsTheWait) {
    build("av.ts", false);
    ASSERT_EQ(S_OK, control->Run());
    clock->AwaitWaiting(2);
    size_t atStart = video->Count();
    for (auto& g : video->Received()) EXPECT_LE(g.due, clock->Now());

    clock->Advance(kSecond / 2);
    clock->AwaitWaiting(2);
    auto v = video->Received();
    EXPECT_GT(v.size(), atStart);
    EXPECT_LT(v.size(), 20u);  // half a second of 25 frames a second, and no more
    for (auto& g : v) EXPECT_LE(g.due, clock->Now());
    for (auto& g : audio->Received()) EXPECT_LE(g.due, clock->Now());

    // Both branches sit on the clock: the stop must not wait for their samples' time.
    ASSERT_EQ(S_OK, control->Stop());
    EXPECT_EQ(v.size(), video->Count());
    EXPECT_FALSE(video->Ended());
}

TEST_F(ClockedGraphTest, PauseFreezesTheStreamTime) {
    build("av.ts", false);
    ASSERT_EQ(S_OK, control->Run());
    clock->Advance(kSecond / 2);
    clock->AwaitWaiting(2);
    size_t before = video->Count();
    ASSERT_EQ(S_OK, control->Pause());
    clock->Advance(10 * kSecond);
    ASSERT_EQ(S_OK, control->Run());
    // The stream goes on at half a second: what waits now is due after the paused time.
    clock->AwaitWaiting(2);
    EXPECT_EQ(before, video->Count());
    clock->Advance(kSecond / 4);
    clock->AwaitWaiting(2);
    auto v = video->Received();
    EXPECT_GT(v.size(), before);
    EXPECT_LT(v.size(), before + 10);
    for (size_t i = before; i < v.size(); ++i) EXPECT_GE(v[i].clockAt, 10 * kSecond);
}

// The decoder holds pictures back (reordering); a stop and a seek must drop them, so the first
// picture after the seek is from the new position and times rise from there.
void expectFreshPicturesAfterSeek(RecordingRenderer& video, CManualClock& clock, IMediaControl& control,
                                  IMediaSeeking& seeking, REFERENCE_TIME target) {
    ASSERT_EQ(S_OK, control.Run());
    clock.Advance(kSecond * 3 / 10);
    clock.AwaitWaiting(2);
    ASSERT_EQ(S_OK, control.Stop());
    size_t before = video.Count();
    ASSERT_GE(before, 1u);
    ASSERT_EQ(S_OK, seeking.SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, 0));
    ASSERT_EQ(S_OK, control.Run());
    clock.Advance(100 * kSecond);
    ASSERT_TRUE(video.WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); }));
    auto v = video.Received();
    ASSERT_GT(v.size(), before + 5);
    if (target == 0) EXPECT_EQ(v[0].start, v[before].start);
    for (size_t i = before; i < v.size(); ++i) {
        EXPECT_EQ(target, v[i].segment) << "picture " << i;
        // The key frame before the target is at most a GOP (half a second) earlier.
        EXPECT_GE(v[i].segment + v[i].start, target - kSecond / 2) << "picture " << i;
        if (i > before) EXPECT_GT(v[i].start, v[i - 1].start) << "picture " << i;
    }
}

TEST_F(ClockedGraphTest, StopAndSeekLeaveNoStalePictureInTheDecoder) {
    build("av.ts", false, MEDIASUBTYPE_RGB24);
    expectFreshPicturesAfterSeek(*video, *clock, *control, *seeking, kSecond);
}

// The H.264 clip has one key frame, at its start: the seek goes back there, behind pictures
// with B-frames that the decoder held.
TEST_F(ClockedGraphTest, StopAndSeekLeaveNoStalePictureInTheH264Decoder) {
    if (TestStreams::get().ok() && !TestStreams::get().hasH264())
        GTEST_SKIP() << "no H.264 encoder in this ffmpeg";
    build("h264ac3.ts", false, MEDIASUBTYPE_RGB24);
    expectFreshPicturesAfterSeek(*video, *clock, *control, *seeking, 0);
}

TEST_F(ClockedGraphTest, SeekWhileRunningFlushesAndStartsANewSegment) {
    build("av.ts", true);
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(bothEnded(*video, *audio));
    size_t before = video->Count();
    LONGLONG target = kSecond;
    ASSERT_EQ(S_OK, seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, 0));
    EXPECT_GE(video->Flushes(), 1);
    EXPECT_GE(audio->Flushes(), 1);
    // The stream plays again from one second, stamped from 0 in a segment that starts there.
    ASSERT_TRUE(bothEnded(*video, *audio));
    auto v = video->Received();
    ASSERT_GT(v.size(), before + 20);
    EXPECT_EQ(kSecond, v[before].segment);
    EXPECT_LT(v[before].start, kSecond / 10);
    EXPECT_GT(v[before].start, -kSecond / 2);
    EXPECT_NEAR(2.0, static_cast<double>(v.back().segment + v.back().start) / kSecond, 0.1);
    LONGLONG position = 0;
    ASSERT_EQ(S_OK, seeking->GetCurrentPosition(&position));
    EXPECT_NEAR(2.0, static_cast<double>(position) / kSecond, 0.1);
}

}  // namespace
