// The file source on a file that is still being written: it reads on past the end while the
// writer is there, reports a latest position that grows, ends when the file goes away, and
// holds a stream that runs ahead instead of queueing the other without bound.
#include "platform/graph/MediaFileSource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

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

std::vector<char> readAll(const std::wstring& path) {
    std::ifstream in(std::string(path.begin(), path.end()), std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// A copy of a test stream that a test writes piece by piece.
class GrowingFile {
public:
    explicit GrowingFile(const std::vector<char>& bytes) : m_bytes(bytes) {
        char pattern[] = "/tmp/skyvane-growing-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0) close(fd);
        m_path = pattern;
        m_out.open(m_path, std::ios::binary | std::ios::trunc);
    }
    ~GrowingFile() { std::remove(m_path.c_str()); }
    void writeUpTo(size_t end) {
        if (end > m_bytes.size()) end = m_bytes.size();
        m_out.write(m_bytes.data() + m_written, static_cast<std::streamsize>(end - m_written));
        m_out.flush();
        m_written = end;
    }
    std::wstring path() const { return std::wstring(m_path.begin(), m_path.end()); }
    const std::string& narrowPath() const { return m_path; }
    size_t size() const { return m_bytes.size(); }

private:
    std::vector<char> m_bytes;
    std::string m_path;
    std::ofstream m_out;
    size_t m_written = 0;
};

class GrowingFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestStreams::get().ok())
            GTEST_SKIP() << "the ffmpeg command-line tool could not make the test streams";
        file = std::make_unique<GrowingFile>(readAll(TestStreams::get().path("av.ts")));
        ASSERT_GT(file->size(), 100000u);
    }
    // Loads the file into a graph that plays as fast as its clock lets it: video and audio
    // each into a recording renderer.
    void build() {
        RegisterGraphClasses();
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&graph)));
        clock.Attach(CreateComObject<CManualClock>(true));
        ComPtr<IMediaFilter> mf;
        graph.As(&mf);
        mf->SetSyncSource(clock.Get());
        source.Attach(CreateComObject<MediaFileSource>());
        source->SetLiveEdgeTimeout(INFINITE);
        ASSERT_EQ(S_OK, source->Load(file->path().c_str(), nullptr));
        video.Attach(CreateComObject<RecordingRenderer>(MEDIATYPE_Video));
        audio.Attach(CreateComObject<RecordingRenderer>(MEDIATYPE_Audio));
        graph->AddFilter(source.Get(), L"src");
        graph->AddFilter(video.Get(), L"video");
        graph->AddFilter(audio.Get(), L"audio");
        ASSERT_EQ(S_OK, graph->Connect(pinOf(source.Get(), PINDIR_OUTPUT, 0).Get(),
                                       pinOf(video.Get(), PINDIR_INPUT).Get()));
        ASSERT_EQ(S_OK, graph->Connect(pinOf(source.Get(), PINDIR_OUTPUT, 1).Get(),
                                       pinOf(audio.Get(), PINDIR_INPUT).Get()));
        graph.As(&control);
    }
    void TearDown() override {
        if (video) video->Unhold();
        if (audio) audio->Unhold();
        if (control) control->Stop();
    }
    LONGLONG latest() {
        LONGLONG earliest = -1, last = -1;
        EXPECT_EQ(S_OK, source->GetAvailable(&earliest, &last));
        EXPECT_EQ(0, earliest);
        return last;
    }

    std::unique_ptr<GrowingFile> file;
    ComPtr<IGraphBuilder> graph;
    ComPtr<CManualClock> clock;
    ComPtr<MediaFileSource> source;
    ComPtr<RecordingRenderer> video, audio;
    ComPtr<IMediaControl> control;
};

TEST_F(GrowingFileTest, ReadsOnPastTheEndWhileTheFileGrows) {
    file->writeUpTo(file->size() * 2 / 5);
    build();
    LONGLONG first = latest();
    EXPECT_GT(first, 0);
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(video->WaitFor([](RecordingRenderer& r) { return r.CountLocked() >= 10; }));

    file->writeUpTo(file->size());
    LONGLONG grown = latest();
    EXPECT_GT(grown, first);
    EXPECT_NEAR(2.0, grown / 1e7, 0.3);
    // Every picture but the last two (the demultiplexer and its parser know where a picture
    // ends only when the next one starts): the reader went on past the end it met first.
    ASSERT_TRUE(video->WaitFor([](RecordingRenderer& r) { return r.CountLocked() >= 48; }));
    EXPECT_FALSE(video->Ended());
    auto v = video->Received();
    for (size_t i = 1; i < v.size(); ++i) EXPECT_EQ(400000, v[i].start - v[i - 1].start) << i;
    // Both readers wait at the end of the file now: the stop must wake them.
    ASSERT_EQ(S_OK, control->Stop());
    EXPECT_FALSE(video->Ended());
}

TEST_F(GrowingFileTest, TheStreamEndsWhenTheFileIsDeleted) {
    file->writeUpTo(file->size() / 2);
    build();
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(video->WaitFor([](RecordingRenderer& r) { return r.CountLocked() >= 10; }));
    std::remove(file->narrowPath().c_str());
    ASSERT_TRUE(video->WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); }));
    ASSERT_TRUE(audio->WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); }));
    EXPECT_LT(video->Count(), 50u);
}

TEST_F(GrowingFileTest, AFileNobodyWritesEndsAtItsEnd) {
    file->writeUpTo(file->size());
    build();
    source->SetLiveEdgeTimeout(0);
    ASSERT_EQ(S_OK, control->Run());
    ASSERT_TRUE(video->WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); }));
    EXPECT_EQ(50u, video->Count());
}

TEST_F(GrowingFileTest, AStreamAheadWaitsForTheOtherInsteadOfQueueing) {
    file->writeUpTo(file->size());
    build();
    source->SetLiveEdgeTimeout(0);
    source->SetMaxQueuedPackets(8);
    audio->HoldAfter(1);
    ASSERT_EQ(S_OK, control->Run());
    // The sound is held at its first frame; the picture reads on until eight sound frames are
    // queued, then waits.
    ASSERT_TRUE(audio->WaitFor([](RecordingRenderer& r) { return r.CountLocked() >= 1; }));
    for (int i = 0; i < 3000 && source->PeakQueuedPackets() < 8; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(8u, source->PeakQueuedPackets());
    EXPECT_FALSE(video->Ended());
    EXPECT_LT(video->Count(), 25u);

    audio->Unhold();
    ASSERT_TRUE(video->WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); }));
    ASSERT_TRUE(audio->WaitFor([](RecordingRenderer& r) { return r.EndedLocked(); }));
    EXPECT_EQ(50u, video->Count());
    EXPECT_GT(audio->Count(), 50u);
    EXPECT_EQ(8u, source->PeakQueuedPackets());
}

}  // namespace
