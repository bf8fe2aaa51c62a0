// The writer's files read back with libavformat's demuxers: streams, lengths and time order
// across timeline breaks, starts at key frames, and the files it refuses.
#include "tools/pelmo-streamer/MediaWriter.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "base/TempFolder.h"
#include "host/SimpleSamplePacket.h"

using namespace pelmo::streamer;

namespace {

struct ReadBack {
    bool ok = false;
    std::map<int, std::string> codec;         // stream index -> codec name
    std::map<int, std::vector<int64_t>> pts;  // stream index -> presentation times in us, file order
    std::map<int, std::vector<int64_t>> dts;
    std::map<int, std::vector<uint8_t>> first;  // stream index -> bytes of its first packet
    int width = 0, height = 0;
};

ReadBack readBack(const std::string& path) {
    ReadBack r;
    // The packets as written: no parser may split or join them on the way back.
    AVFormatContext* in = avformat_alloc_context();
    in->flags |= AVFMT_FLAG_NOPARSE;
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return r;
    if (avformat_find_stream_info(in, nullptr) < 0) {
        avformat_close_input(&in);
        return r;
    }
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        r.codec[i] = avcodec_get_name(in->streams[i]->codecpar->codec_id);
        if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            r.width = in->streams[i]->codecpar->width;
            r.height = in->streams[i]->codecpar->height;
        }
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        AVRational tb = in->streams[pkt->stream_index]->time_base;
        if (r.pts[pkt->stream_index].empty())
            r.first[pkt->stream_index].assign(pkt->data, pkt->data + pkt->size);
        r.pts[pkt->stream_index].push_back(av_rescale_q(pkt->pts, tb, {1, 1000000}));
        r.dts[pkt->stream_index].push_back(av_rescale_q(pkt->dts, tb, {1, 1000000}));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&in);
    r.ok = true;
    return r;
}

// A packet owning a copy of the bytes, as the plug-in hands them over.
std::unique_ptr<SimpleSamplePacket, void (*)(SimpleSamplePacket*)> makePacket(
    int type, const std::vector<uint8_t>& bytes, int64_t ts, int64_t duration, bool sync) {
    auto* data = static_cast<uint8_t*>(std::malloc(bytes.size()));
    std::memcpy(data, bytes.data(), bytes.size());
    auto* p = new SimpleSamplePacket();
    p->set(type, data, static_cast<int32_t>(bytes.size()), ts, duration, sync);
    return {p, [](SimpleSamplePacket* q) { q->release(); }};
}

SimpleStreamDescription rawDescription() {
    SimpleStreamDescription d;
    d.videoDescription.common.codecName = "raw";
    d.videoDescription.width = 64;
    d.videoDescription.height = 48;
    d.videoDescription.frameRate = 25;
    d.videoDescription.pixelFormat = 5;  // YUY2
    d.videoDescription.topDown = true;
    d.audioDescription.common.codecName = "raw";
    d.audioDescription.sampleRate = 48000;
    d.audioDescription.channels = 2;
    d.audioDescription.bitsPerSample = 16;
    return d;
}

SimpleStreamDescription compressedDescription() {
    SimpleStreamDescription d;
    d.videoDescription.common.codecName = "mpeg2";
    d.videoDescription.width = 720;
    d.videoDescription.height = 576;
    d.videoDescription.frameRate = 25;
    d.audioDescription.common.codecName = "mp2";
    d.audioDescription.sampleRate = 48000;
    d.audioDescription.channels = 2;
    return d;
}

// One second of raw pictures and sound from `from` microseconds.
void feedRawSecond(MediaWriter& w, int64_t from) {
    std::vector<uint8_t> frame(64 * 48 * 2, 0x80), sound(1920 * 4, 0);
    for (int i = 0; i < 25; ++i) {
        w.packet(*makePacket(kPacketVideo, frame, from + i * 40000, 40000, true));
        w.packet(*makePacket(kPacketAudio, sound, from + i * 40000, 40000, true));
    }
}

bool strictlyIncreasing(const std::vector<int64_t>& v) {
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i] <= v[i - 1]) return false;
    return true;
}

TEST(MediaWriter, RawFramesAndPcmBecomeAMatroskaFileOfTheirLength) {
    TempFolder folder{"media_writer"};
    std::string error;
    auto w = MediaWriter::create(folder / "raw.mkv", rawDescription(), error);
    ASSERT_TRUE(w) << error;
    feedRawSecond(*w, 5000000);
    feedRawSecond(*w, 6000000);
    EXPECT_EQ(2000000, w->written());
    ASSERT_TRUE(w->close(error)) << error;

    ReadBack r = readBack(folder / "raw.mkv");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ("rawvideo", r.codec[0]);
    EXPECT_EQ("pcm_s16le", r.codec[1]);
    EXPECT_EQ(64, r.width);
    EXPECT_EQ(48, r.height);
    EXPECT_EQ(50u, r.pts[0].size());
    EXPECT_TRUE(strictlyIncreasing(r.pts[0]));
    EXPECT_EQ(1960000, r.pts[0].back() - r.pts[0].front());
}

TEST(MediaWriter, ANewTimelineFollowsWhatWasWrittenEvenWhenItsTimesGoBack) {
    TempFolder folder{"media_writer"};
    std::string error;
    auto w = MediaWriter::create(folder / "zap.mkv", rawDescription(), error);
    ASSERT_TRUE(w) << error;
    feedRawSecond(*w, 5000000);
    w->discontinuity();
    feedRawSecond(*w, 0);  // a new channel stamped from 0
    w->discontinuity();
    feedRawSecond(*w, 4500000);  // a seek back into the first stretch
    EXPECT_EQ(3, w->counts().timelines);
    ASSERT_TRUE(w->close(error)) << error;

    ReadBack r = readBack(folder / "zap.mkv");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(75u, r.pts[0].size());
    EXPECT_TRUE(strictlyIncreasing(r.pts[0]));
    EXPECT_TRUE(strictlyIncreasing(r.pts[1]));
    // Three seconds of pictures with a short gap at each break, nothing on top of another.
    int64_t span = r.pts[0].back() - r.pts[0].front();
    EXPECT_GE(span, 2960000);
    EXPECT_LE(span, 2960000 + 2 * 250000);
}

TEST(MediaWriter, CompressedVideoStartsAtAKeyFrameAndKeepsItsDecodingOrder) {
    TempFolder folder{"media_writer"};
    std::string error;
    auto w = MediaWriter::create(folder / "mpeg2.ts", compressedDescription(), error);
    ASSERT_TRUE(w) << error;
    const std::vector<uint8_t> keyFrame = {0, 0, 1, 0xB3, 0x2D, 0x02, 0x40, 0x33, 0, 0, 1, 0, 0, 0x0F};
    const std::vector<uint8_t> frame = {0, 0, 1, 0, 0x00, 0x5F, 0xFF, 0xF8, 0, 0, 1, 1, 0x22};
    const std::vector<uint8_t> sound(576, 0x55);
    // Before the first key frame: a picture and sound that cannot start the file.
    w->packet(*makePacket(kPacketVideo, frame, 960000, 40000, false));
    w->packet(*makePacket(kPacketAudio, sound, 960000, 24000, true));
    // Decoding order I P B B, stamped with presentation times, for three groups.
    const int64_t order[] = {0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 12, 10, 11};
    const int64_t base = 1000000;
    std::vector<int64_t> sent;
    for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
        bool key = order[i] % 6 == 0;
        int64_t ts = base + order[i] * 40000;
        w->packet(*makePacket(kPacketVideo, key ? keyFrame : frame, ts, 40000, key));
        sent.push_back(ts);
        w->packet(*makePacket(kPacketAudio, sound, base + static_cast<int64_t>(i) * 24000, 24000, true));
    }
    EXPECT_EQ(2, w->counts().dropped);
    ASSERT_TRUE(w->close(error)) << error;

    ReadBack r = readBack(folder / "mpeg2.ts");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ("mpeg2video", r.codec[0]);
    // (The sound is only bytes here: its stream is declared MPEG audio, which libav names by guessing.)
    ASSERT_EQ(sent.size(), r.pts[0].size());
    EXPECT_EQ(keyFrame, r.first[0]);
    EXPECT_TRUE(strictlyIncreasing(r.dts[0]));
    // Presentation times keep their distances from the first key frame.
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i] - sent[0], r.pts[0][i] - r.pts[0][0]) << "packet " << i;
        EXPECT_LE(r.dts[0][i], r.pts[0][i]) << "packet " << i;
    }
}

TEST(MediaWriter, RefusesFilesItCannotWriteAndRemovesOneLeftEmpty) {
    TempFolder folder{"media_writer"};
    std::string error;
    EXPECT_FALSE(MediaWriter::create(folder / "raw.ts", rawDescription(), error));
    EXPECT_NE(std::string::npos, error.find(".mkv")) << error;
    EXPECT_FALSE(MediaWriter::create(folder / "clip.avi", compressedDescription(), error));
    EXPECT_NE(std::string::npos, error.find(".ts or .mkv")) << error;
    EXPECT_FALSE(MediaWriter::create(folder / "no/such/folder.ts", compressedDescription(), error));
    EXPECT_NE(std::string::npos, error.find("cannot write")) << error;
    SimpleStreamDescription nothing;
    EXPECT_FALSE(MediaWriter::create(folder / "x.ts", nothing, error));

    auto w = MediaWriter::create(folder / "empty.ts", compressedDescription(), error);
    ASSERT_TRUE(w) << error;
    w->packet(*makePacket(kPacketAudio, std::vector<uint8_t>(576, 1), 0, 24000, true));
    EXPECT_FALSE(w->close(error));
    EXPECT_NE(std::string::npos, error.find("no video key frame")) << error;
    struct stat st;
    EXPECT_NE(0, stat((folder / "empty.ts").c_str(), &st));
}

}  // namespace
