#include "platform/sbe/StreamBufferSink.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "platform/graph/GraphTestSupport.h"
#include "platform/sbe/SbeTestSupport.h"

using namespace sbetest;

namespace {

// 20 s of one programme written from the air: ffprobe sees that programme alone, with its
// own streams, and about as long as what was written.
struct ProgrammeCase {
    const char* name;
    const wchar_t* tuner;
    int tuneValue;
    ProgramChoice choice;
    const char* layout;
};

class SinkProgrammes : public ::testing::TestWithParam<ProgrammeCase> {};

TEST_P(SinkProgrammes, BufferHoldsTheChosenProgrammeAlone) {
    const ProgrammeCase& c = GetParam();
    SbeWorld world;
    auto stream = world.tune(c.tuner, c.tuneValue, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, c.choice);
    ASSERT_TRUE(waitForPosition(sink.Get(), 20 * kSecond))
        << "sent " << stream->packetsSent() << " bytes " << sink->BytesOnDisk() << " latest "
        << sink->LatestPosition();
    sink->DetachAir();
    ASSERT_EQ(S_OK, sink->Stop());
    std::string joined = joinSegments(world.bufferPath(), world.folder / "joined.ts");
    EXPECT_EQ(c.layout, probeLayout(joined));
    EXPECT_GE(probeDuration(joined), 19.0);
    // Every segment stands on its own: it starts with the programme's tables and a key frame.
    BufferManifest m;
    std::string error;
    ASSERT_TRUE(BufferManifest::read(world.bufferPath(), m, error)) << error;
    EXPECT_FALSE(m.live);
    ASSERT_GE(m.segments.size(), 2u);
    EXPECT_EQ(c.layout, probeLayout(BufferManifest::segmentPath(world.bufferPath(), m.segments[1].number)));
}

INSTANTIATE_TEST_SUITE_P(
    Air, SinkProgrammes,
    ::testing::Values(
        ProgrammeCase{
            "DvbtService", kDvbtTuner, 474000, {4165, -1, -1}, "program=4165;0x201=h264;0x202=mp2;"},
        ProgrammeCase{"DvbtFirstOfPat", kDvbtTuner, 474000, {}, "program=4164;0x101=mpeg2video;0x102=mp2;"},
        ProgrammeCase{"AtscMajorMinor", kAtscTuner, 22, {-1, 22, 2}, "program=2;0x201=mpeg2video;0x202=ac3;"},
        ProgrammeCase{"AnalogEncoder", kAnalogTuner, 3, {}, "program=1;0x101=mpeg2video;0x102=mp2;"}),
    [](const auto& info) { return std::string(info.param.name); });

// What a missing programme leaves: nothing written, and the log says what it waits for.
TEST(StreamBufferSink, UnknownProgrammeWritesNothingAndSaysWhy) {
    SbeWorld world;
    ScopedCaptureLog capture;
    capture.log->setLevel(LOG_DEBUG);
    auto stream = world.tune(kAtscTuner, 22, 10.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {-1, 22, 9});
    ASSERT_TRUE(waitUntil([&] {
        return capture.log->contains(
            L"StreamBufferSink: waiting for the programme (no VCT entry for channel 22.9)", 3);
    }));
    ASSERT_TRUE(waitUntil([&] { return stream->packetsSent() > 20000; }));
    EXPECT_EQ(0, sink->LatestPosition());
    EXPECT_EQ(0u, sink->BytesOnDisk());
}

// With a 10 s window the oldest files go as new ones come: over ten windows the disk use
// stays near one window, and only the files the manifest names are left.
TEST(StreamBufferSink, WindowKeepsDiskUseFlat) {
    SbeWorld world({{L"WindowSeconds", 10}, {L"SegmentSeconds", 2}});
    auto stream = world.tune(kDvbtTuner, 474000, 20.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    ASSERT_TRUE(waitForPosition(sink.Get(), 20 * kSecond));
    uint64_t atTwoWindows = sink->BytesOnDisk();
    uint64_t most = 0;
    while (sink->LatestPosition() < 100 * kSecond) {
        most = std::max(most, sink->BytesOnDisk());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sink->DetachAir();
    EXPECT_LT(most, atTwoWindows * 3 / 2);
    BufferManifest m;
    std::string error;
    ASSERT_TRUE(BufferManifest::read(world.bufferPath(), m, error)) << error;
    ASSERT_FALSE(m.segments.empty());
    EXPECT_GE(m.segments.front().position, m.latest - 14 * kSecond);
    EXPECT_LE(m.segments.front().position, m.latest - 10 * kSecond);
    size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(world.folder.path()))
        if (e.path().string().rfind(world.bufferPath() + ".", 0) == 0) ++files;
    EXPECT_EQ(2 * m.segments.size(), files);
    // The sink going away takes the buffer with it.
    sink = nullptr;
    EXPECT_FALSE(std::filesystem::exists(world.bufferPath()));
    EXPECT_FALSE(
        std::filesystem::exists(BufferManifest::segmentPath(world.bufferPath(), m.segments.back().number)));
}

TEST(StreamBufferSink, SizeLimitWinsOverALongWindow) {
    SbeWorld world({{L"MaxMegabytes", 2}, {L"SegmentSeconds", 1}});
    auto stream = world.tune(kDvbtTuner, 474000, 20.0);
    ASSERT_TRUE(stream);
    auto sink = world.startSink(stream, {4164, -1, -1});
    uint64_t most = 0;
    ASSERT_TRUE(waitUntil([&] {
        most = std::max(most, sink->BytesOnDisk());
        return sink->LatestPosition() >= 40 * kSecond;
    }));
    sink->DetachAir();
    // The limit is checked as each segment starts: at most one segment over it.
    EXPECT_LT(most, (2u << 20) + (1u << 20));
    EXPECT_GT(most, 1u << 20);
}

// A full disk (here: the file size limit) stops the writing with one log line; what is on disk
// stays whole: segments of whole packets, whole index records, a manifest that reads.
TEST(StreamBufferSink, FullDiskStopsWritingAndKeepsWhatIsThere) {
    SbeWorld world({{L"SegmentSeconds", 30}});
    ScopedCaptureLog capture;
    capture.log->setLevel(LOG_DEBUG);
    auto stream = world.tune(kDvbtTuner, 474000, 10.0);
    ASSERT_TRUE(stream);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 300000;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    auto sink = world.startSink(stream, {4164, -1, -1});
    bool failed = waitUntil([&] { return sink->WriteFailed(); });
    sink->DetachAir();
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(failed);
    BufferManifest m;
    std::string error;
    ASSERT_TRUE(BufferManifest::read(world.bufferPath(), m, error)) << error;
    EXPECT_FALSE(m.live);
    ASSERT_EQ(1u, m.segments.size());
    std::string ts = BufferManifest::segmentPath(world.bufferPath(), m.segments[0].number);
    auto size = std::filesystem::file_size(ts);
    EXPECT_EQ(0u, size % 188);
    EXPECT_LE(size, 300000u);
    EXPECT_EQ(
        0u,
        std::filesystem::file_size(BufferManifest::indexPath(world.bufferPath(), m.segments[0].number)) % 16);
    EXPECT_EQ("program=4164;0x101=mpeg2video;0x102=mp2;", probeLayout(ts));
    EXPECT_TRUE(run("ffprobe -v error -show_packets '" + ts + "' 2>&1 >/dev/null").empty());
    bool logged =
        capture.log->contains(L"StreamBufferSink: writing " + std::wstring(ts.begin(), ts.end()) +
                                  L" failed (File too large); the time-shift buffer stops at " +
                                  std::to_wstring(m.segments[0].firstByte + static_cast<int64_t>(size)) +
                                  L" bytes and keeps what it has",
                              1);
    EXPECT_TRUE(logged);
}

// Packets cut into odd pieces through the input pin give the same buffer as whole ones, and
// bytes that are no packets are skipped.
TEST(StreamBufferSink, InputPinTakesAnyChunkingAndSkipsJunk) {
    std::ifstream in(std::string(SKYVANE_BINARY_DIR) + "/data/demo/dvbt-538000.ts", std::ios::binary);
    std::vector<uint8_t> clip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(clip.size(), 188u * 1000);
    SbeWorld world;
    auto write = [&](const std::string& name, const std::function<void(StreamBufferSink*)>& feed) {
        ComPtr<StreamBufferSink> sink = world.newSink({4229, -1, -1}, name);
        EXPECT_EQ(S_OK, sink->Pause());
        feed(sink.Get());
        EXPECT_EQ(S_OK, sink->Stop());
        std::string out = joinSegments(name, name + ".joined");
        std::ifstream j(out, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(j)), std::istreambuf_iterator<char>());
    };
    auto whole =
        write(world.folder / "whole", [&](StreamBufferSink* s) { s->Feed(clip.data(), clip.size()); });
    auto pieces = write(world.folder / "pieces", [&](StreamBufferSink* s) {
        for (size_t at = 0; at < clip.size(); at += 17)
            s->Feed(clip.data() + at, std::min<size_t>(17, clip.size() - at));
    });
    ASSERT_GT(whole.size(), 188u * 100);
    EXPECT_TRUE(whole == pieces);
    auto junk = write(world.folder / "junk", [&](StreamBufferSink* s) {
        const uint8_t noise[5] = {0x12, 0x47, 0x00, 0x47, 0x99};
        for (size_t at = 0; at < clip.size(); at += 188 * 50) {
            s->Feed(clip.data() + at, std::min<size_t>(188 * 50, clip.size() - at));
            s->Feed(noise, sizeof noise);
        }
    });
    EXPECT_EQ("program=4229;0x201=mpeg2video;0x202=mp2;", probeLayout(world.folder / "junk.joined"));
    EXPECT_GT(junk.size(), whole.size() / 2);
}

// Real multiplexes: the programme kept has exactly the streams ffprobe lists for it in the
// capture (teletext and data streams too), H.264 key frames included.
TEST(StreamBufferSink, RealCapturesKeepTheirProgrammeWhole) {
    const std::string corpus = std::string(SKYVANE_CORPUS_DIR) + "/ts/";
    int tried = 0;
    for (const char* name :
         {"dvbt_it_rai_muxA_498MHz.ts", "dvbt_fr_france2_spts.ts", "dvbt_gr_ert_474MHz_rx_errors.ts"}) {
        std::string file = corpus + name;
        if (!std::filesystem::exists(file)) continue;
        ++tried;
        SCOPED_TRACE(name);
        std::string all = probeLayout(file);
        // The first programme with a picture as ffprobe lists them, else the first with sound
        // (a radio service: every audio frame is a place to start).
        std::string wanted;
        for (const char* kind : {"=mpeg2video;", "=h264;", "=mp2;"}) {
            for (size_t at = all.find("program="); wanted.empty() && at != std::string::npos;
                 at = all.find("program=", at + 1)) {
                std::string one = all.substr(at, all.find("program=", at + 1) - at);
                if (one.find(kind) != std::string::npos) wanted = one;
            }
        }
        ASSERT_FALSE(wanted.empty()) << all;
        int service = std::atoi(wanted.c_str() + 8);
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SbeWorld world;
        ComPtr<StreamBufferSink> sink = world.newSink({service, -1, -1});
        std::string buffer = world.bufferPath();
        ASSERT_EQ(S_OK, sink->Pause());
        sink->Feed(bytes.data(), bytes.size());
        ASSERT_EQ(S_OK, sink->Stop());
        EXPECT_GT(sink->BytesOnDisk(), 0u);
        EXPECT_EQ(wanted, probeLayout(joinSegments(buffer, world.folder / "joined.ts")));
    }
    if (!tried) GTEST_SKIP() << "the captures in " << corpus << " are not there";
}

}  // namespace
