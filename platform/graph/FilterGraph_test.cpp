#include "platform/graph/FilterGraph.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/graph/MediaFileSource.h"
#include "platform/graph/NullRenderer.h"
#include "platform/graph/ReferenceClock.h"
#include "platform/graph/GraphTestSupport.h"

namespace {

// Ends a branch and keeps what it receives; accepts only one video subtype.
class CollectingSink : public CBaseFilter {
public:
    explicit CollectingSink(GUID subtype) : CBaseFilter(L"Collect", GUID_NULL), m_subtype(subtype) {
        m_pin = std::make_unique<Pin>(this, &m_filterLock);
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }

    struct Got {
        LONG length;
        REFERENCE_TIME start;
        std::vector<BYTE> head;
    };
    std::vector<Got> received() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_got;
    }
    bool ended() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_ended;
    }
    const CMediaType& type() { return m_pin->CurrentMediaType(); }

private:
    class Pin : public CBaseInputPin {
    public:
        Pin(CollectingSink* s, std::recursive_mutex* l) : CBaseInputPin(s, l, L"In"), m_sink(s) {}
        HRESULT CheckMediaType(const CMediaType* mt) override {
            return mt->majortype == MEDIATYPE_Video && mt->subtype == m_sink->m_subtype ? S_OK : S_FALSE;
        }
        HRESULT Receive(IMediaSample* s) override {
            HRESULT hr = CBaseInputPin::Receive(s);
            if (hr != S_OK) return hr;
            BYTE* p = nullptr;
            s->GetPointer(&p);
            REFERENCE_TIME a = -1, b = -1;
            s->GetTime(&a, &b);
            std::lock_guard<std::mutex> g(m_sink->m_lock);
            LONG n = s->GetActualDataLength();
            m_sink->m_got.push_back({n, a, std::vector<BYTE>(p, p + std::min<LONG>(n, 8))});
            return S_OK;
        }
        HRESULT EndOfStream() override {
            std::lock_guard<std::mutex> g(m_sink->m_lock);
            m_sink->m_ended = true;
            return S_OK;
        }

    private:
        CollectingSink* m_sink;
    };
    GUID m_subtype;
    std::unique_ptr<Pin> m_pin;
    std::mutex m_lock;
    std::vector<Got> m_got;
    bool m_ended = false;
};

template <class T>
ComPtr<T> create(REFCLSID clsid) {
    RegisterGraphClasses();
    ComPtr<T> p;
    EXPECT_EQ(S_OK,
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, T::iid(), reinterpret_cast<void**>(&p)));
    return p;
}

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

class FilterGraphTest : public ::testing::Test {
protected:
    void SetUp() override { graph = create<IGraphBuilder>(CLSID_FilterGraph); }
    ComPtr<IBaseFilter> loadSource(const char* name) {
        auto src = create<IBaseFilter>(CLSID_MediaFileSource);
        ComPtr<IFileSourceFilter> load;
        src.As(&load);
        EXPECT_EQ(S_OK, load->Load(TestStreams::get().path(name).c_str(), nullptr));
        return src;
    }
    HRESULT run(bool on) {
        ComPtr<IMediaControl> mc;
        graph.As(&mc);
        return on ? mc->Run() : mc->Stop();
    }
    ComPtr<IGraphBuilder> graph;
};

TEST_F(FilterGraphTest, MembershipNamesAndEnumeration) {
    auto a = create<IBaseFilter>(CLSID_NullRenderer), b = create<IBaseFilter>(CLSID_NullRenderer);
    ASSERT_EQ(S_OK, graph->AddFilter(a.Get(), L"render"));
    EXPECT_EQ(VFW_S_DUPLICATE_NAME, graph->AddFilter(b.Get(), L"render"));
    EXPECT_EQ(VFW_E_DUPLICATE_NAME, graph->AddFilter(a.Get(), L"again"));
    EXPECT_EQ((std::vector<std::wstring>{L"render", L"render 0001"}), FilterNames(graph.Get()));

    ComPtr<IEnumFilters> e;
    graph->EnumFilters(&e);
    ASSERT_EQ(S_OK, graph->RemoveFilter(a.Get()));
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->RemoveFilter(a.Get()));
    FILTER_INFO info{};
    a->QueryFilterInfo(&info);
    EXPECT_EQ(nullptr, info.pGraph);
    // An enumeration keeps its snapshot until Reset.
    ComPtr<IBaseFilter> f;
    ULONG fetched = 0;
    IBaseFilter* two[2] = {};
    EXPECT_EQ(S_OK, e->Next(2, two, &fetched));
    for (auto* x : two) x->Release();
    e->Reset();
    EXPECT_EQ(S_FALSE, e->Next(2, two, &fetched));
    EXPECT_EQ(1u, fetched);
    two[0]->Release();
    ComPtr<IBaseFilter> byName;
    EXPECT_EQ(S_OK, graph->FindFilterByName(L"render 0001", &byName));
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->FindFilterByName(L"render", &byName));
}

TEST_F(FilterGraphTest, ConnectInsertsADecoderOnlyWhenNeeded) {
    if (!TestStreams::get().ok())
        GTEST_SKIP() << "the ffmpeg command-line tool could not make the test streams";
    auto src = loadSource("video.ts");
    ComPtr<CollectingSink> mpeg, rgb, rgb32;
    mpeg.Attach(CreateComObject<CollectingSink>(MEDIASUBTYPE_MPEG2_VIDEO));
    rgb.Attach(CreateComObject<CollectingSink>(MEDIASUBTYPE_RGB24));
    rgb32.Attach(CreateComObject<CollectingSink>(MEDIASUBTYPE_RGB32));
    graph->AddFilter(src.Get(), L"src");
    graph->AddFilter(mpeg.Get(), L"mpeg");
    graph->AddFilter(rgb.Get(), L"rgb");
    graph->AddFilter(rgb32.Get(), L"rgb32");
    auto out = pinOf(src.Get(), PINDIR_OUTPUT);
    ASSERT_TRUE(out);

    // No decoder makes RGB32: the attempt leaves nothing behind.
    EXPECT_EQ(VFW_E_CANNOT_CONNECT, graph->Connect(out.Get(), pinOf(rgb32.Get(), PINDIR_INPUT).Get()));
    EXPECT_EQ(4u, FilterNames(graph.Get()).size());

    ASSERT_EQ(S_OK, graph->Connect(out.Get(), pinOf(mpeg.Get(), PINDIR_INPUT).Get()));
    EXPECT_EQ(4u, FilterNames(graph.Get()).size());
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, graph->Connect(out.Get(), pinOf(rgb.Get(), PINDIR_INPUT).Get()));
    graph->Disconnect(out.Get());
    graph->Disconnect(pinOf(mpeg.Get(), PINDIR_INPUT).Get());

    ASSERT_EQ(S_OK, graph->Connect(out.Get(), pinOf(rgb.Get(), PINDIR_INPUT).Get()));
    EXPECT_EQ(L"AV Decoder 2", FilterNames(graph.Get()).back());
    ASSERT_EQ(FORMAT_VideoInfo, rgb->type().formattype);
    auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(rgb->type().pbFormat);
    EXPECT_EQ(176, vih->bmiHeader.biWidth);
    EXPECT_EQ(24, vih->bmiHeader.biBitCount);

    ASSERT_EQ(S_OK, run(true));
    EXPECT_EQ(VFW_E_NOT_STOPPED,
              graph->ConnectDirect(out.Get(), pinOf(mpeg.Get(), PINDIR_INPUT).Get(), nullptr));
    EXPECT_EQ(VFW_E_NOT_STOPPED, graph->RemoveFilter(mpeg.Get()));
    for (int i = 0; i < 2000 && !rgb->ended(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(S_OK, run(false));
    auto got = rgb->received();
    ASSERT_EQ(25u, got.size());
    for (auto& g : got) EXPECT_EQ(176 * 3 * 144, g.length);
    for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(400000, got[i].start - got[i - 1].start);
    EXPECT_TRUE(rgb->ended());
}

TEST_F(FilterGraphTest, StateChangesReachEveryFilter) {
    if (!TestStreams::get().ok())
        GTEST_SKIP() << "the ffmpeg command-line tool could not make the test streams";
    auto src = loadSource("av.ts");
    ComPtr<CNullRenderer> video, audio;
    video.Attach(CreateComObject<CNullRenderer>());
    audio.Attach(CreateComObject<CNullRenderer>());
    graph->AddFilter(src.Get(), L"src");
    graph->AddFilter(video.Get(), L"v");
    graph->AddFilter(audio.Get(), L"a");
    ASSERT_EQ(S_OK, graph->Connect(pinOf(src.Get(), PINDIR_OUTPUT, 0).Get(),
                                   pinOf(video.Get(), PINDIR_INPUT).Get()));
    ASSERT_EQ(S_OK, graph->Connect(pinOf(src.Get(), PINDIR_OUTPUT, 1).Get(),
                                   pinOf(audio.Get(), PINDIR_INPUT).Get()));

    ComPtr<IMediaControl> mc;
    graph.As(&mc);
    ASSERT_EQ(S_OK, mc->Pause());
    OAFilterState state;
    mc->GetState(10, &state);
    EXPECT_EQ(State_Paused, state);
    // Paused: the streaming threads exist but push nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, video->SamplesReceived());
    ASSERT_EQ(S_OK, mc->Run());
    FILTER_STATE fs;
    video->GetState(0, &fs);
    EXPECT_EQ(State_Running, fs);
    for (int i = 0; i < 2000 && !(video->EndOfStreamSeen() && audio->EndOfStreamSeen()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(S_OK, mc->Stop());
    src->GetState(0, &fs);
    EXPECT_EQ(State_Stopped, fs);
    EXPECT_EQ(50, video->SamplesReceived());
    EXPECT_GT(audio->SamplesReceived(), 50);

    ComPtr<IMediaSeeking> seeking;
    graph.As(&seeking);
    DWORD caps = AM_SEEKING_CanSeekAbsolute;
    EXPECT_EQ(S_OK, seeking->CheckCapabilities(&caps));
    LONGLONG duration = 0;
    ASSERT_EQ(S_OK, seeking->GetDuration(&duration));
    EXPECT_NEAR(2.0, duration / 1e7, 0.1);

    // After a seek back the stream plays again from there.
    LONGLONG target = 10000000;
    ASSERT_EQ(S_OK, seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, 0));
    ASSERT_EQ(S_OK, mc->Run());
    for (int i = 0; i < 2000 && video->SamplesReceived() < 70; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    mc->Stop();
    EXPECT_GE(video->SamplesReceived(), 70);
}

TEST_F(FilterGraphTest, SeekingNeedsAFilterThatSeeks) {
    ComPtr<IMediaSeeking> seeking;
    graph.As(&seeking);
    DWORD caps = AM_SEEKING_CanSeekAbsolute;
    EXPECT_EQ(E_NOTIMPL, seeking->CheckCapabilities(&caps));
    LONGLONG pos;
    EXPECT_EQ(E_NOTIMPL, seeking->GetCurrentPosition(&pos));
}

TEST(MediaFileSourceTest, RefusesMissingAndForeignFiles) {
    auto src = create<IFileSourceFilter>(CLSID_MediaFileSource);
    EXPECT_TRUE(FAILED(src->Load(L"/nonexistent/file.ts", nullptr)));
    char path[] = "/tmp/skyvane-garbage-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 20000; ++i) f.put(static_cast<char>((i * 7919) & 0xFF));
    }
    EXPECT_TRUE(FAILED(src->Load(std::wstring(path, path + strlen(path)).c_str(), nullptr)));
    std::remove(path);
    ComPtr<IBaseFilter> filter;
    src.As(&filter);
    ComPtr<IEnumPins> pins;
    filter->EnumPins(&pins);
    ComPtr<IPin> pin;
    EXPECT_EQ(S_FALSE, pins->Next(1, &pin, nullptr));
}

TEST(MediaFileSourceTest, OffersOneVideoAndOneAudioPin) {
    if (!TestStreams::get().ok())
        GTEST_SKIP() << "the ffmpeg command-line tool could not make the test streams";
    auto src = create<IFileSourceFilter>(CLSID_MediaFileSource);
    ASSERT_EQ(S_OK, src->Load(TestStreams::get().path("av.ts").c_str(), nullptr));
    EXPECT_EQ(E_UNEXPECTED, src->Load(TestStreams::get().path("av.ts").c_str(), nullptr));
    ComPtr<IBaseFilter> filter;
    src.As(&filter);
    ComPtr<IPin> video, audio;
    ASSERT_EQ(S_OK, filter->FindPin(L"Video", &video));
    ASSERT_EQ(S_OK, filter->FindPin(L"Audio", &audio));
    ComPtr<IEnumMediaTypes> types;
    video->EnumMediaTypes(&types);
    AM_MEDIA_TYPE* mt = nullptr;
    ASSERT_EQ(S_OK, types->Next(1, &mt, nullptr));
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_VIDEO, mt->subtype);
    EXPECT_EQ(FORMAT_VideoInfo2, mt->formattype);
    EXPECT_EQ(320, reinterpret_cast<VIDEOINFOHEADER2*>(mt->pbFormat)->bmiHeader.biWidth);
    EXPECT_EQ(400000, reinterpret_cast<VIDEOINFOHEADER2*>(mt->pbFormat)->AvgTimePerFrame);
    DeleteMediaType(mt);
    audio->EnumMediaTypes(&types);
    ASSERT_EQ(S_OK, types->Next(1, &mt, nullptr));
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_AUDIO, mt->subtype);
    EXPECT_EQ(48000u, reinterpret_cast<WAVEFORMATEX*>(mt->pbFormat)->nSamplesPerSec);
    DeleteMediaType(mt);
}

TEST(CaptureGraphBuilderTest, FindPinAndRenderStreamRules) {
    auto builder = create<ICaptureGraphBuilder2>(CLSID_CaptureGraphBuilder2);
    auto graph = create<IGraphBuilder>(CLSID_FilterGraph);
    ComPtr<IGraphBuilder> got;
    EXPECT_EQ(E_UNEXPECTED, builder->GetFiltergraph(&got));
    ASSERT_EQ(S_OK, builder->SetFiltergraph(graph.Get()));
    EXPECT_EQ(E_UNEXPECTED, builder->SetFiltergraph(graph.Get()));
    ASSERT_EQ(S_OK, builder->GetFiltergraph(&got));
    EXPECT_EQ(graph.Get(), got.Get());

    auto r = create<IBaseFilter>(CLSID_NullRenderer);
    ComPtr<IPin> pin;
    EXPECT_EQ(E_FAIL, builder->FindPin(r.Get(), PINDIR_OUTPUT, nullptr, nullptr, 0, 0, &pin));
    ASSERT_EQ(S_OK, builder->FindPin(r.Get(), PINDIR_INPUT, nullptr, nullptr, 0, 0, &pin));
    EXPECT_EQ(E_FAIL, builder->FindPin(r.Get(), PINDIR_INPUT, nullptr, nullptr, 0, 1, &pin));
    EXPECT_EQ(E_FAIL, builder->FindPin(r.Get(), PINDIR_INPUT, &MEDIATYPE_Video, nullptr, 0, 0, &pin));
    EXPECT_EQ(E_INVALIDARG, builder->RenderStream(nullptr, nullptr, r.Get(), nullptr, nullptr));

    if (!TestStreams::get().ok()) return;
    auto src = create<IFileSourceFilter>(CLSID_MediaFileSource);
    ASSERT_EQ(S_OK, src->Load(TestStreams::get().path("av.ts").c_str(), nullptr));
    ComPtr<IBaseFilter> srcFilter;
    src.As(&srcFilter);
    graph->AddFilter(srcFilter.Get(), L"src");
    graph->AddFilter(r.Get(), L"r");
    ASSERT_EQ(S_OK, builder->FindPin(srcFilter.Get(), PINDIR_OUTPUT, nullptr, &MEDIATYPE_Audio, 1, 0, &pin));
    EXPECT_EQ(L"Audio", static_cast<CBasePin*>(static_cast<IPin*>(pin.Get()))->Name());
    EXPECT_EQ(E_FAIL,
              builder->FindPin(srcFilter.Get(), PINDIR_OUTPUT, nullptr, &MEDIATYPE_Stream, 1, 0, &pin));
    ASSERT_EQ(S_OK, builder->RenderStream(nullptr, &MEDIATYPE_Audio, srcFilter.Get(), nullptr, r.Get()));
    // Only unconnected pins count once asked for.
    EXPECT_EQ(E_FAIL,
              builder->FindPin(srcFilter.Get(), PINDIR_OUTPUT, nullptr, &MEDIATYPE_Audio, 1, 0, &pin));
    EXPECT_EQ(S_OK, builder->FindPin(srcFilter.Get(), PINDIR_OUTPUT, nullptr, &MEDIATYPE_Audio, 0, 0, &pin));
    graph->RemoveFilter(srcFilter.Get());
}

TEST(MediaSampleTest, TimesLengthsAndAllocatorState) {
    ComPtr<IMemAllocator> alloc;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(GUID_NULL, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IMemAllocator, reinterpret_cast<void**>(&alloc)));
    ComPtr<IBaseFilter> r = create<IBaseFilter>(CLSID_NullRenderer);
    ComPtr<IMemInputPin> in;
    ASSERT_EQ(S_OK, pinOf(r.Get(), PINDIR_INPUT).As(&in));
    ASSERT_EQ(S_OK, in->GetAllocator(&alloc));
    ComPtr<IMediaSample> s;
    EXPECT_EQ(VFW_E_NOT_COMMITTED, alloc->GetBuffer(&s, nullptr, nullptr, 0));
    ALLOCATOR_PROPERTIES want{2, 100, 1, 0}, got{};
    ASSERT_EQ(S_OK, alloc->SetProperties(&want, &got));
    ASSERT_EQ(S_OK, alloc->Commit());
    EXPECT_EQ(E_UNEXPECTED, alloc->SetProperties(&want, &got));
    ASSERT_EQ(S_OK, alloc->GetBuffer(&s, nullptr, nullptr, 0));
    EXPECT_EQ(100, s->GetSize());
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, s->SetActualDataLength(101));
    REFERENCE_TIME a = 5, b = 9;
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, s->GetTime(&a, &b));
    s->SetTime(&a, nullptr);
    EXPECT_EQ(VFW_S_NO_STOP_TIME, s->GetTime(&a, &b));
    b = 9;
    s->SetTime(&a, &b);
    EXPECT_EQ(S_OK, s->GetTime(&a, &b));
    EXPECT_EQ(9, b);
    AM_MEDIA_TYPE* mt = nullptr;
    EXPECT_EQ(S_FALSE, s->GetMediaType(&mt));
    // Recycled buffers come back through the pool.
    BYTE* first = nullptr;
    s->GetPointer(&first);
    s = nullptr;
    ASSERT_EQ(S_OK, alloc->GetBuffer(&s, nullptr, nullptr, 0));
    BYTE* second = nullptr;
    s->GetPointer(&second);
    EXPECT_EQ(first, second);
    alloc->Decommit();
}

}  // namespace

// The air and a graph reading what it wrote run at one speed factor: a test that speeds the air
// up speeds up every new graph's clock with it, and a factor the air refuses leaves real time.
TEST(FilterGraphClockTest, FollowsTheAirSpeedFactorOfTheEnvironment) {
    const char* saved = std::getenv("PELMO_AIR_SPEED");
    std::string restore = saved ? saved : "";
    auto clockSpeed = [] {
        ComPtr<IGraphBuilder> graph;
        RegisterGraphClasses();
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&graph)));
        ComPtr<IMediaFilter> filter;
        graph.As(&filter);
        ComPtr<IReferenceClock> clock;
        EXPECT_EQ(S_OK, filter->GetSyncSource(&clock));
        auto* system = dynamic_cast<CSystemClock*>(clock.Get());
        return system ? system->Speed() : -1.0;
    };
    setenv("PELMO_AIR_SPEED", "8", 1);
    EXPECT_EQ(8.0, clockSpeed());
    setenv("PELMO_AIR_SPEED", "0.5", 1);
    EXPECT_EQ(0.5, clockSpeed());
    for (const char* refused : {"0", "-4", "fast", "8x", "5000", ""}) {
        setenv("PELMO_AIR_SPEED", refused, 1);
        EXPECT_EQ(1.0, clockSpeed()) << refused;
    }
    unsetenv("PELMO_AIR_SPEED");
    EXPECT_EQ(1.0, clockSpeed());
    if (saved) setenv("PELMO_AIR_SPEED", restore.c_str(), 1);
}
