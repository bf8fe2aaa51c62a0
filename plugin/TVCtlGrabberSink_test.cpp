#include "plugin/TVCtlGrabberSink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/graph/BaseFilter.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/graph/MediaFileSource.h"
#include "platform/graph/SourceStream.h"
#include "plugin/GrabberTestSupport.h"

namespace {

// A read-back graph as the plug-in builds it: graph, capture builder, a source named "SBESource".
struct ReadBackGraph {
    ComPtr<IGraphBuilder> graph;
    ComPtr<ICaptureGraphBuilder2> builder;
    ComPtr<IBaseFilter> source;

    HRESULT build(IBaseFilter* src) {
        RegisterGraphClasses();
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      reinterpret_cast<void**>(&graph));
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICaptureGraphBuilder2, reinterpret_cast<void**>(&builder));
        if (SUCCEEDED(hr)) hr = builder->SetFiltergraph(graph.Get());
        source = src;
        if (SUCCEEDED(hr)) hr = graph->AddFilter(source.Get(), L"SBESource");
        return hr;
    }
    HRESULT buildFromFile(const std::wstring& file) {
        RegisterGraphClasses();
        ComPtr<IBaseFilter> src;
        HRESULT hr = CoCreateInstance(CLSID_MediaFileSource, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      reinterpret_cast<void**>(&src));
        ComPtr<IFileSourceFilter> load;
        if (SUCCEEDED(hr)) hr = src.As(&load);
        if (SUCCEEDED(hr)) hr = load->Load(file.c_str(), nullptr);
        if (SUCCEEDED(hr)) hr = build(src.Get());
        return hr;
    }
    HRESULT control(bool run) {
        ComPtr<IMediaControl> mc;
        HRESULT hr = graph.As(&mc);
        return FAILED(hr) ? hr : run ? mc->Run() : mc->Stop();
    }
    HRESULT seekTo(REFERENCE_TIME t) {
        ComPtr<IMediaSeeking> seeking;
        HRESULT hr = graph.As(&seeking);
        return FAILED(hr) ? hr : seeking->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, 0);
    }
    std::vector<std::wstring> filterNames() { return FilterNames(graph.Get()); }
    ~ReadBackGraph() {
        if (graph) {
            control(false);
            // Filters hold each other through their connections until they are removed.
            std::vector<ComPtr<IBaseFilter>> all;
            ComPtr<IEnumFilters> e;
            graph->EnumFilters(&e);
            ComPtr<IBaseFilter> f;
            while (e->Next(1, &f, nullptr) == S_OK) all.push_back(f);
            for (auto& x : all) graph->RemoveFilter(x.Get());
        }
    }
};

// Waits (bounded, not asserted on time) until both streams reported their end.
bool waitForEnds(RecordingCallBack& audio, RecordingCallBack& video) {
    for (int i = 0; i < 3000; ++i) {
        if (!audio.endsSeen().empty() && !video.endsSeen().empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void expectRisingStarts(const std::vector<Delivered>& samples) {
    for (size_t i = 1; i < samples.size(); ++i)
        ASSERT_GT(samples[i].start, samples[i - 1].start) << "sample " << i;
}

class TVCtlGrabberSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestStreams::get().ok())
            GTEST_SKIP() << "the ffmpeg command-line tool could not make the test streams";
    }
    ScopedCaptureLog log;
    RecordingCallBack audio, video;
};

TEST_F(TVCtlGrabberSinkTest, RawModeDecodesMpeg2AndMp2IntoYuy2FramesAndPcm) {
    ReadBackGraph g;
    ASSERT_EQ(S_OK, g.buildFromFile(TestStreams::get().path("av.ts")));
    TVCtlGrabberSink sink(&audio, &video);
    ASSERT_EQ(S_OK, sink.addGrabber(g.builder.Get(), g.source.Get(), true));
    EXPECT_TRUE(log.log->contains(L"starting the graph", LOG_INFO));
    EXPECT_TRUE(log.log->contains(L"stoping the graph", LOG_INFO));
    // The probe delivered nothing to the plug-in.
    EXPECT_TRUE(video.snapshot().empty());
    EXPECT_TRUE(audio.snapshot().empty());

    CMediaType vt, at;
    ASSERT_EQ(S_OK, sink.currentVideoType(&vt));
    ASSERT_EQ(S_OK, sink.currentAudioType(&at));
    ASSERT_EQ(MEDIASUBTYPE_YUY2, vt.subtype);
    ASSERT_EQ(FORMAT_VideoInfo, vt.formattype);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(vt.pbFormat);
    EXPECT_EQ(320, vih->bmiHeader.biWidth);
    EXPECT_EQ(240, vih->bmiHeader.biHeight);
    ASSERT_EQ(MEDIASUBTYPE_PCM, at.subtype);
    auto* wf = reinterpret_cast<WAVEFORMATEX*>(at.pbFormat);
    EXPECT_EQ(16, wf->wBitsPerSample);
    EXPECT_EQ(48000u, wf->nSamplesPerSec);

    // The grabbers were re-made and fed straight by the decoders the probe found.
    auto names = g.filterNames();
    EXPECT_EQ(2,
              std::count_if(names.begin(), names.end(), [](auto& n) { return n.find(L"AV Decoder") == 0; }));

    // Play the whole file from the start, as a seek of the plug-in does.
    g.seekTo(0);
    sink.flush(0);
    ASSERT_EQ(S_OK, g.control(true));
    ASSERT_TRUE(waitForEnds(audio, video));
    g.control(false);

    auto frames = video.snapshot();
    // 50 frames; the last stays held by the grabber.
    EXPECT_GE(frames.size(), 45u);
    EXPECT_LE(frames.size(), 50u);
    for (auto& f : frames) {
        ASSERT_EQ(320u * 240u * 2u, f.bytes.size());
        EXPECT_EQ(GrabberSink::kVideoStreamId, f.streamId);
        EXPECT_GT(f.end, f.start);
    }
    expectRisingStarts(frames);
    // 25 frames per second: one frame time apart.
    if (frames.size() > 2) {
        EXPECT_EQ(400000, frames[2].start - frames[1].start);
    }

    auto pcm = audio.snapshot();
    ASSERT_GT(pcm.size(), 20u);
    size_t bytes = 0;
    for (auto& s : pcm) {
        ASSERT_EQ(0u, s.bytes.size() % (wf->nChannels * 2u));
        EXPECT_EQ(GrabberSink::kAudioStreamId, s.streamId);
        bytes += s.bytes.size();
    }
    expectRisingStarts(pcm);
    // Close to two seconds of sound (one held frame short).
    double seconds = double(bytes) / (wf->nChannels * 2.0 * 48000);
    EXPECT_GT(seconds, 1.8);
    EXPECT_LT(seconds, 2.1);
    // A sine is not silence.
    EXPECT_NE(std::string(pcm[5].bytes.size(), '\0'), pcm[5].bytes);
}

TEST_F(TVCtlGrabberSinkTest, RawModeDecodesH264AndAc3) {
    if (!TestStreams::get().hasH264()) GTEST_SKIP() << "this ffmpeg has no H.264 encoder";
    ReadBackGraph g;
    ASSERT_EQ(S_OK, g.buildFromFile(TestStreams::get().path("h264ac3.ts")));
    TVCtlGrabberSink sink(&audio, &video);
    ASSERT_EQ(S_OK, sink.addGrabber(g.builder.Get(), g.source.Get(), true));
    CMediaType at;
    sink.currentAudioType(&at);
    ASSERT_EQ(MEDIASUBTYPE_PCM, at.subtype);
    EXPECT_EQ(2, reinterpret_cast<WAVEFORMATEX*>(at.pbFormat)->nChannels);
    ASSERT_EQ(S_OK, g.seekTo(0));
    sink.flush(0);
    ASSERT_EQ(S_OK, g.control(true));
    ASSERT_TRUE(waitForEnds(audio, video));
    g.control(false);
    auto frames = video.snapshot();
    // B-frames come out of the decoder in display order: starts still rise frame by frame.
    ASSERT_GE(frames.size(), 45u);
    for (auto& f : frames) ASSERT_EQ(320u * 240u * 2u, f.bytes.size());
    expectRisingStarts(frames);
    auto pcm = audio.snapshot();
    ASSERT_GT(pcm.size(), 20u);
    for (auto& s : pcm) ASSERT_EQ(0u, s.bytes.size() % 4);
    expectRisingStarts(pcm);
}

TEST_F(TVCtlGrabberSinkTest, CompressedModePassesMpegFramesWithoutDecoders) {
    ReadBackGraph g;
    ASSERT_EQ(S_OK, g.buildFromFile(TestStreams::get().path("av.ts")));
    TVCtlGrabberSink sink(&audio, &video);
    ASSERT_EQ(S_OK, sink.addGrabber(g.builder.Get(), g.source.Get(), false));
    EXPECT_FALSE(log.log->contains(L"starting the graph", LOG_INFO));
    CMediaType vt, at;
    sink.currentVideoType(&vt);
    sink.currentAudioType(&at);
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_VIDEO, vt.subtype);
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_AUDIO, at.subtype);
    for (auto& n : g.filterNames()) EXPECT_NE(0u, n.find(L"AV Decoder"));

    ASSERT_EQ(S_OK, g.control(true));
    ASSERT_TRUE(waitForEnds(audio, video));
    g.control(false);
    auto frames = video.snapshot();
    ASSERT_GT(frames.size(), 40u);
    // Every delivered MPEG-2 frame starts with a start code; the first one is a key frame.
    EXPECT_EQ(std::string("\0\0\1", 3), frames[0].bytes.substr(0, 3));
    EXPECT_EQ(1, frames[0].syncPoint);
    expectRisingStarts(frames);
    EXPECT_GT(audio.snapshot().size(), 20u);
}

TEST_F(TVCtlGrabberSinkTest, SourceWithoutVideoPinFailsWithTheSearchResult) {
    ReadBackGraph g;
    ASSERT_EQ(S_OK, g.buildFromFile(TestStreams::get().path("audio.ts")));
    TVCtlGrabberSink sink(&audio, &video);
    EXPECT_EQ(E_FAIL, sink.addGrabber(g.builder.Get(), g.source.Get(), true));
    EXPECT_TRUE(log.log->contains(L"source filter does not have video pin 80004005", LOG_WARN));
}

TEST_F(TVCtlGrabberSinkTest, SourceWithoutAudioStillGetsAWorkingVideoBranch) {
    ReadBackGraph g;
    ASSERT_EQ(S_OK, g.buildFromFile(TestStreams::get().path("video.ts")));
    TVCtlGrabberSink sink(&audio, &video);
    ASSERT_EQ(S_OK, sink.addGrabber(g.builder.Get(), g.source.Get(), true));
    EXPECT_TRUE(
        log.log->contains(L"can't connect audio pins between interface and grabber 80004005", LOG_WARN));
    CMediaType vt, at;
    sink.currentVideoType(&vt);
    sink.currentAudioType(&at);
    EXPECT_EQ(MEDIASUBTYPE_YUY2, vt.subtype);
    EXPECT_EQ(GUID_NULL, at.majortype);
    g.seekTo(0);
    ASSERT_EQ(S_OK, g.control(true));
    for (int i = 0; i < 3000 && video.endsSeen().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    g.control(false);
    auto frames = video.snapshot();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(176u * 144u * 2u, frames[0].bytes.size());
}

// A source whose output connects but never sends a sample.
class SilentSource : public CBaseFilter {
public:
    SilentSource() : CBaseFilter(L"Silent", GUID_NULL) { m_pin = std::make_unique<Pin>(this, &m_filterLock); }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }

private:
    class Pin : public CSourceStream {
    public:
        Pin(CBaseFilter* f, std::recursive_mutex* lock) : CSourceStream(f, lock, L"Out") {}
        HRESULT CheckMediaType(const CMediaType* mt) override {
            return mt->subtype == MEDIASUBTYPE_YUY2 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
        }
        HRESULT GetMediaType(int position, CMediaType* mt) override {
            if (position != 0) return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
            mt->Clear();
            mt->majortype = MEDIATYPE_Video;
            mt->subtype = MEDIASUBTYPE_YUY2;
            return S_OK;
        }
        HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* p) override {
            ALLOCATOR_PROPERTIES want{1, 16, 1, 0};
            return a->SetProperties(&want, p);
        }

    protected:
        HRESULT FillBuffer(IMediaSample*) override {
            std::unique_lock<std::mutex> guard(m_lock);
            m_wake.wait(guard, [this] { return m_stop; });
            m_stop = false;
            return S_FALSE;
        }
        void OnStopRequested() override {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stop = true;
            m_wake.notify_all();
        }

    private:
        std::mutex m_lock;
        std::condition_variable m_wake;
        bool m_stop = false;
    };
    std::unique_ptr<Pin> m_pin;
};

TEST_F(TVCtlGrabberSinkTest, ProbeCompletesWhenTheSourceSendsNothing) {
    ReadBackGraph g;
    ComPtr<IBaseFilter> silent;
    silent.Attach(CreateComObject<SilentSource>());
    ASSERT_EQ(S_OK, g.build(silent.Get()));
    TVCtlGrabberSink sink(&audio, &video);
    ASSERT_EQ(S_OK, sink.addGrabber(g.builder.Get(), g.source.Get(), true));
    EXPECT_TRUE(log.log->contains(L"timeout waiting for packets", LOG_INFO));
    EXPECT_TRUE(log.log->contains(L"stoping the graph", LOG_INFO));
    // The grabber is connected again, straight to the source that fed it.
    CMediaType vt;
    sink.currentVideoType(&vt);
    EXPECT_EQ(MEDIASUBTYPE_YUY2, vt.subtype);
    OAFilterState state = -1;
    ComPtr<IMediaControl> mc;
    g.graph.As(&mc);
    mc->GetState(0, &state);
    EXPECT_EQ(State_Stopped, state);
}

}  // namespace
