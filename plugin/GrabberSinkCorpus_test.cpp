// Real off-air captures through the read-back graph in raw mode: the source, the decoders the
// graph inserts and the grabbers must cope with what broadcasts really carry.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "plugin/GrabberTestSupport.h"
#include "plugin/TVCtlGrabberSink.h"
#include "scan/DeviceDecodeUtils.h"

namespace {

struct Played {
    HRESULT load = E_FAIL;
    HRESULT added = E_FAIL;
    CMediaType video, audio;
};

// Builds source -> sink in raw mode, plays the whole file from its start and tears down.
Played play(const std::string& file, RecordingCallBack& audio, RecordingCallBack& video) {
    Played p;
    ComPtr<IGraphBuilder> graph;
    ComPtr<ICaptureGraphBuilder2> builder;
    ComPtr<IBaseFilter> source;
    RegisterGraphClasses();
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     reinterpret_cast<void**>(&graph));
    CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                     reinterpret_cast<void**>(&builder));
    builder->SetFiltergraph(graph.Get());
    CoCreateInstance(CLSID_MediaFileSource, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(&source));
    ComPtr<IFileSourceFilter> load;
    source.As(&load);
    std::wstring wide(file.begin(), file.end());
    p.load = load->Load(wide.c_str(), nullptr);
    if (SUCCEEDED(p.load)) {
        graph->AddFilter(source.Get(), L"SBESource");
        TVCtlGrabberSink sink(&audio, &video);
        p.added = sink.addGrabber(builder.Get(), source.Get(), true);
        if (SUCCEEDED(p.added)) {
            sink.currentVideoType(&p.video);
            sink.currentAudioType(&p.audio);
            ComPtr<IMediaSeeking> seeking;
            graph.As(&seeking);
            LONGLONG zero = 0;
            seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, 0);
            sink.flush(0);
            ComPtr<IMediaControl> control;
            graph.As(&control);
            control->Run();
            for (int i = 0; i < 3000 && video.endsSeen().empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            control->Stop();
        }
        DeviceDecodeUtils::RemoveAllFilters(graph.Get());
    }
    return p;
}

std::string corpus(const char* name) {
    return std::string(SKYVANE_CORPUS_DIR) + "/ts/" + name;
}

class GrabberSinkCorpusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(corpus("dvbt_it_rai_muxA_498MHz.ts")))
            GTEST_SKIP() << "the capture corpus is not at " << SKYVANE_CORPUS_DIR;
    }
    ScopedCaptureLog log;
    RecordingCallBack audio, video;
};

TEST_F(GrabberSinkCorpusTest, RaiMultiplexGivesSdFramesAndPcm) {
    Played p = play(corpus("dvbt_it_rai_muxA_498MHz.ts"), audio, video);
    ASSERT_EQ(S_OK, p.load);
    ASSERT_EQ(S_OK, p.added);
    ASSERT_EQ(MEDIASUBTYPE_YUY2, p.video.subtype);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(p.video.pbFormat);
    const size_t frameBytes = size_t(vih->bmiHeader.biWidth) * size_t(vih->bmiHeader.biHeight) * 2;
    EXPECT_EQ(720, vih->bmiHeader.biWidth);
    auto frames = video.snapshot();
    ASSERT_GT(frames.size(), 10u);
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frameBytes, frames[i].bytes.size());
        if (i) {
            ASSERT_GT(frames[i].start, frames[i - 1].start);
        }
    }
    ASSERT_EQ(MEDIASUBTYPE_PCM, p.audio.subtype);
    auto pcm = audio.snapshot();
    ASSERT_FALSE(pcm.empty());
    for (size_t i = 1; i < pcm.size(); ++i) ASSERT_GT(pcm[i].start, pcm[i - 1].start);
}

TEST_F(GrabberSinkCorpusTest, DamagedCapturesNeitherCrashNorHang) {
    for (const char* name : {"broken_dvbs_corrupted_psi.ts", "dvbt_gr_ert_474MHz_rx_errors.ts",
                             "dvbt2_cz_cra_mux22_rx_errors.ts", "odd_tdt_pid_junk_sections.ts"}) {
        RecordingCallBack a, v;
        Played p = play(corpus(name), a, v);
        // Whatever could be opened and connected was played to its end.
        if (SUCCEEDED(p.load) && SUCCEEDED(p.added) && p.video.IsValid()) {
            EXPECT_FALSE(v.endsSeen().empty()) << name;
        }
    }
}

}  // namespace
