#include "platform/air/AirEncoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTestCard.h"
#include "platform/air/AirTuner.h"
#include "platform/air/AnalogCaptureSource.h"
#include "platform/com/Types.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";
const std::wstring kTuner = L"Skyvane Virtual Analog Tuner A";
constexpr int kWidth = 176, kHeight = 144, kFps = 25;

AirEncoderSettings small() {
    AirEncoderSettings s;
    s.width = kWidth;
    s.height = kHeight;
    s.framesPerSecond = kFps;
    s.videoBitrate = 800000;
    return s;
}

double toneOf(int channel) {
    return AirTestCard::analogToneHz(channel);
}

// Waits for a condition the air makes true at its own pace; a generous bound only keeps a
// broken encoder from hanging the run.
template <typename F>
bool eventually(F done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Everything a reader receives until the stream ends.
std::vector<uint8_t> drain(AirConsumer& reader) {
    std::vector<uint8_t> ts;
    std::vector<uint8_t> chunk(256 * 188);
    for (;;) {
        size_t got = 0;
        auto r = reader.read(chunk.data(), 256, got, 60000);
        ts.insert(ts.end(), chunk.begin(), chunk.begin() + long(got * 188));
        if (r != AirConsumer::Read::Data) break;
    }
    return ts;
}

struct Decoded {
    AVCodecID video = AV_CODEC_ID_NONE;
    AVCodecID audio = AV_CODEC_ID_NONE;
    int videoPid = -1, audioPid = -1, programs = 0;
    struct Frame {
        int64_t index;  // frame number from the first decoded picture
        std::vector<uint8_t> luma;
    };
    std::vector<Frame> frames;
    std::vector<float> mono;  // decoded sound, left channel, at 48 kHz
    int64_t firstPts = AV_NOPTS_VALUE;
    std::string error;
};

struct MemoryInput {
    const std::vector<uint8_t>* data;
    size_t at = 0;
    static int read(void* opaque, uint8_t* buf, int size) {
        auto* in = static_cast<MemoryInput*>(opaque);
        size_t n = std::min(size_t(size), in->data->size() - in->at);
        if (n == 0) return AVERROR_EOF;
        std::memcpy(buf, in->data->data() + in->at, n);
        in->at += n;
        return int(n);
    }
};

void appendSound(const AVFrame* f, std::vector<float>& out) {
    for (int i = 0; i < f->nb_samples; ++i) {
        switch (f->format) {
            case AV_SAMPLE_FMT_S16:
            case AV_SAMPLE_FMT_S16P: {
                auto* s = reinterpret_cast<const int16_t*>(f->data[0]);
                out.push_back(float(s[f->format == AV_SAMPLE_FMT_S16 ? i * f->ch_layout.nb_channels : i]) /
                              32768.f);
                break;
            }
            case AV_SAMPLE_FMT_FLT:
            case AV_SAMPLE_FMT_FLTP: {
                auto* s = reinterpret_cast<const float*>(f->data[0]);
                out.push_back(s[f->format == AV_SAMPLE_FMT_FLT ? i * f->ch_layout.nb_channels : i]);
                break;
            }
            default:
                return;
        }
    }
}

// Decodes a transport stream with libavformat and libavcodec, as any player would. Frames are
// numbered from `firstPts`, by default the first picture's.
Decoded decode(const std::vector<uint8_t>& ts, int64_t firstPts = AV_NOPTS_VALUE) {
    Decoded d;
    // A reader that joined late starts with the tail of a GOP its decoder cannot use.
    av_log_set_level(firstPts == AV_NOPTS_VALUE ? AV_LOG_ERROR : AV_LOG_FATAL);
    MemoryInput input{&ts};
    AVFormatContext* fmt = avformat_alloc_context();
    auto* buffer = static_cast<uint8_t*>(av_malloc(4096));
    fmt->pb = avio_alloc_context(buffer, 4096, 0, &input, &MemoryInput::read, nullptr, nullptr);
    AVCodecContext* codecs[2] = {nullptr, nullptr};
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int vi = -1, ai = -1;
    AVIOContext* pb = fmt->pb;
    if (avformat_open_input(&fmt, nullptr, av_find_input_format("mpegts"), nullptr) < 0) {
        d.error = "not a transport stream";
    } else if (avformat_find_stream_info(fmt, nullptr) < 0) {
        d.error = "no stream information";
    } else {
        d.programs = int(fmt->nb_programs);
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            AVStream* st = fmt->streams[i];
            bool video = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
            if (video) {
                d.video = st->codecpar->codec_id, d.videoPid = st->id, vi = int(i);
            } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                d.audio = st->codecpar->codec_id, d.audioPid = st->id, ai = int(i);
            } else {
                continue;
            }
            const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
            AVCodecContext* c = avcodec_alloc_context3(dec);
            avcodec_parameters_to_context(c, st->codecpar);
            c->pkt_timebase = st->time_base;
            avcodec_open2(c, dec, nullptr);
            codecs[video ? 0 : 1] = c;
        }
        auto receive = [&](int which, AVRational tb) {
            while (avcodec_receive_frame(codecs[which], frame) >= 0) {
                if (which == 1) {
                    appendSound(frame, d.mono);
                    continue;
                }
                int64_t pts = frame->best_effort_timestamp;
                if (firstPts == AV_NOPTS_VALUE) firstPts = pts;
                if (d.firstPts == AV_NOPTS_VALUE) d.firstPts = pts;
                Decoded::Frame f;
                f.index = av_rescale_q(pts - firstPts, tb, AVRational{1, kFps});
                for (int y = 0; y < frame->height; ++y)
                    f.luma.insert(f.luma.end(), frame->data[0] + ptrdiff_t(y) * frame->linesize[0],
                                  frame->data[0] + ptrdiff_t(y) * frame->linesize[0] + frame->width);
                d.frames.push_back(std::move(f));
            }
        };
        while (av_read_frame(fmt, pkt) >= 0) {
            int which = pkt->stream_index == vi ? 0 : pkt->stream_index == ai ? 1 : -1;
            if (which >= 0 && codecs[which] && avcodec_send_packet(codecs[which], pkt) >= 0)
                receive(which, fmt->streams[pkt->stream_index]->time_base);
            av_packet_unref(pkt);
        }
        for (int which = 0; which < 2; ++which) {
            if (!codecs[which]) continue;
            avcodec_send_packet(codecs[which], nullptr);
            receive(which, fmt->streams[which == 0 ? vi : ai]->time_base);
        }
    }
    for (auto* c : codecs) avcodec_free_context(&c);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    av_freep(&pb->buffer);
    avio_context_free(&pb);
    return d;
}

// Mean difference between a decoded picture and the card of `channel` at frame `index`.
double distanceToCard(const Decoded::Frame& f, int channel) {
    if (f.luma.size() != size_t(kWidth * kHeight)) return 1e9;
    std::vector<uint8_t> y(size_t(kWidth * kHeight)), uv(size_t(kWidth * kHeight / 2));
    AirTestCard card(kWidth, kHeight, channel, channel, toneOf(channel));
    card.drawFrame(f.index, y.data(), kWidth, uv.data(), kWidth / 2, uv.data() + kWidth * kHeight / 4,
                   kWidth / 2);
    double sum = 0;
    for (size_t i = 0; i < y.size(); ++i) sum += std::abs(int(y[i]) - int(f.luma[i]));
    return sum / double(y.size());
}

// The channel whose card a picture shows, -1 for none of them (snow).
int channelShown(const Decoded::Frame& f) {
    int best = -1;
    double bestDistance = 6.0;  // a card compressed at this rate stays well below it
    for (int channel : {3, 5, 8}) {
        double distance = distanceToCard(f, channel);
        if (distance < bestDistance) bestDistance = distance, best = channel;
    }
    return best;
}

// The strongest frequency between 200 and 1000 Hz in a stretch of sound (Goertzel, 2 Hz steps).
double dominantHz(const std::vector<float>& pcm, size_t from, size_t count) {
    double bestHz = 0, bestPower = 1e-6;
    for (double hz = 200; hz <= 1000; hz += 2) {
        double w = 2 * M_PI * hz / 48000, k = 2 * std::cos(w), s1 = 0, s2 = 0;
        for (size_t i = from; i < from + count && i < pcm.size(); ++i) {
            double s0 = pcm[i] + k * s1 - s2;
            s2 = s1, s1 = s0;
        }
        double power = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (power > bestPower) bestPower = power, bestHz = hz;
    }
    return bestHz;
}

double rms(const std::vector<float>& pcm, size_t from, size_t count) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = from; i < from + count && i < pcm.size(); ++i, ++n) sum += double(pcm[i]) * pcm[i];
    return n ? std::sqrt(sum / double(n)) : 0;
}

class AirEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        air = AirBroadcast::open(kDemo, error);
        ASSERT_TRUE(air) << error;
        air->setSpeed(10.0);
        tuner = air->tuner(kTuner);
        ASSERT_TRUE(tuner);
    }
    void tuneAndLock(int channel) {
        ASSERT_EQ(S_OK, tuner->tuneAnalog(channel));
        ASSERT_TRUE(eventually([&] { return tuner->signal().locked; }));
    }
    std::shared_ptr<AirBroadcast> air;
    std::shared_ptr<AirTuner> tuner;
};

TEST_F(AirEncoderTest, EncodesTheChannelsPictureAndToneIntoOneProgramme) {
    tuneAndLock(5);
    AirEncoder encoder(tuner, small());
    auto early = encoder.subscribe(1 << 16);
    ASSERT_TRUE(encoder.start()) << encoder.lastError();
    // A reader that joins a running stream finds the tables and a GOP start soon after.
    ASSERT_TRUE(eventually([&] { return encoder.framesEncoded() >= 30; }));
    int64_t beforeJoin = encoder.framesEncoded();
    auto late = encoder.subscribe(1 << 16);
    int64_t afterJoin = encoder.framesEncoded();
    ASSERT_TRUE(eventually([&] { return encoder.framesEncoded() >= afterJoin + 50; }));
    encoder.stop();

    std::vector<uint8_t> ts = drain(*early);
    EXPECT_EQ(AirEndReason::Stopped, early->endReason());
    EXPECT_EQ(0u, early->dropped());
    ASSERT_EQ(0u, ts.size() % 188);
    ASSERT_GT(ts.size(), 0u);
    size_t pcrs = 0;
    for (size_t at = 0; at < ts.size(); at += 188) {
        ASSERT_EQ(0x47, ts[at]) << "packet " << at / 188;
        bool adaptation = ts[at + 3] & 0x20;
        if (adaptation && ts[at + 4] > 0 && (ts[at + 5] & 0x10)) ++pcrs;
    }
    // Several PCRs a second of stream (the muxer's default is one per 20 ms on the video PID).
    EXPECT_GT(pcrs, size_t(80 / kFps) * 5);

    Decoded d = decode(ts);
    ASSERT_EQ("", d.error);
    EXPECT_EQ(1, d.programs);
    EXPECT_EQ(AV_CODEC_ID_MPEG2VIDEO, d.video);
    EXPECT_EQ(AV_CODEC_ID_MP2, d.audio);
    EXPECT_EQ(AirEncoder::kVideoPid, d.videoPid);
    EXPECT_EQ(AirEncoder::kAudioPid, d.audioPid);
    // Every frame encoded reaches the reader that was there from the start, and shows the card.
    ASSERT_EQ(size_t(encoder.framesEncoded()), d.frames.size());
    for (const auto& f : d.frames) ASSERT_EQ(5, channelShown(f)) << "frame " << f.index;
    // Frame k is the card's frame k: the moving bar is where it should be, not one frame off.
    EXPECT_LT(distanceToCard(d.frames[40], 5), distanceToCard(Decoded::Frame{41, d.frames[40].luma}, 5));
    // All the sound but the last part-frame, at the channel's tone.
    size_t expected = size_t(encoder.framesEncoded()) * 48000 / kFps;
    EXPECT_LE(d.mono.size(), expected);
    EXPECT_GT(d.mono.size() + 1152, expected);
    EXPECT_NEAR(toneOf(5), dominantHz(d.mono, 4800, 48000), 3.0);

    Decoded joined = decode(drain(*late), d.firstPts);
    ASSERT_EQ("", joined.error);
    EXPECT_EQ(AV_CODEC_ID_MPEG2VIDEO, joined.video);
    EXPECT_EQ(AV_CODEC_ID_MP2, joined.audio);
    // It decodes from the first GOP after it joined, every frame to the end. (The muxer may
    // still hold the frame or two before the join.)
    ASSERT_FALSE(joined.frames.empty());
    int64_t first = joined.frames.front().index;
    EXPECT_EQ(0, first % small().gopFrames) << first;
    EXPECT_GE(first, beforeJoin - 2);
    EXPECT_LE(first, afterJoin + small().gopFrames);
    EXPECT_EQ(d.frames.back().index, joined.frames.back().index);
    EXPECT_EQ(size_t(d.frames.back().index - first + 1), joined.frames.size());
    for (const auto& f : joined.frames) ASSERT_EQ(5, channelShown(f)) << "frame " << f.index;
    EXPECT_NEAR(toneOf(5), dominantHz(joined.mono, 0, 24000), 3.0);
}

TEST_F(AirEncoderTest, FollowsTheTunerFromChannelToChannel) {
    tuneAndLock(3);
    AirEncoder encoder(tuner, small());
    auto reader = encoder.subscribe(1 << 16);
    ASSERT_TRUE(encoder.start()) << encoder.lastError();
    ASSERT_TRUE(eventually([&] { return encoder.framesEncoded() >= 25; }));
    // Nothing plugged into the composite input: snow and silence.
    // Frames encoded before a switch show what was there before it.
    int64_t beforeSnow = encoder.framesEncoded();
    ASSERT_EQ(S_OK, tuner->selectAuxInput(0));
    int64_t afterSnow = encoder.framesEncoded();
    ASSERT_TRUE(eventually([&] { return encoder.framesEncoded() >= afterSnow + 25; }));
    int64_t atEight = encoder.framesEncoded();
    ASSERT_EQ(S_OK, tuner->tuneAnalog(8));
    ASSERT_TRUE(eventually([&] { return tuner->signal().locked; }));
    // Frames made after the lock was seen show the new channel.
    int64_t locked = encoder.framesEncoded();
    ASSERT_TRUE(eventually([&] { return encoder.framesEncoded() >= locked + 40; }));
    encoder.stop();

    Decoded d = decode(drain(*reader));
    ASSERT_EQ("", d.error);
    ASSERT_EQ(size_t(encoder.framesEncoded()), d.frames.size());
    std::vector<int> shown;
    for (const auto& f : d.frames) shown.push_back(channelShown(f));
    // Channel 3, then snow, then channel 8 (after its lock time), never back.
    EXPECT_EQ(3, shown.front());
    EXPECT_EQ(8, shown.back());
    size_t firstSnow = size_t(std::find(shown.begin(), shown.end(), -1) - shown.begin());
    size_t firstEight = size_t(std::find(shown.begin(), shown.end(), 8) - shown.begin());
    ASSERT_LT(firstSnow, firstEight);
    EXPECT_GE(firstSnow, size_t(beforeSnow));
    EXPECT_LE(firstSnow, size_t(afterSnow) + 1);
    EXPECT_GE(firstEight, size_t(atEight));
    EXPECT_LE(firstEight, size_t(locked) + 1);
    for (size_t i = 0; i < shown.size(); ++i) {
        int expected = i < firstSnow ? 3 : i < firstEight ? -1 : 8;
        ASSERT_EQ(expected, shown[i]) << "frame " << i;
    }
    // The sound follows the picture: tone, silence, the other tone.
    const size_t perFrame = 48000 / kFps;
    EXPECT_NEAR(toneOf(3), dominantHz(d.mono, 0, firstSnow * perFrame), 3.0);
    EXPECT_LT(rms(d.mono, (firstSnow + 1) * perFrame, (firstEight - firstSnow - 2) * perFrame), 0.005);
    EXPECT_GT(rms(d.mono, 0, firstSnow * perFrame), 0.1);
    EXPECT_NEAR(toneOf(8), dominantHz(d.mono, (firstEight + 1) * perFrame, 30 * perFrame), 3.0);
}

TEST_F(AirEncoderTest, ReadersNeverHoldItUpAndStopEndsThemAll) {
    tuneAndLock(8);
    AirEncoder encoder(tuner, small());
    auto idle = encoder.subscribe(16);  // never reads
    auto reader = encoder.subscribe(1 << 16);
    ASSERT_TRUE(encoder.start()) << encoder.lastError();
    EXPECT_TRUE(encoder.start());  // already running
    ASSERT_TRUE(eventually([&] { return encoder.packetsSent() > 16 * 20; }));
    EXPECT_EQ(16u, idle->buffered());
    EXPECT_GT(idle->dropped(), 0u);

    // Hold the air still: no frame falls due, so the reader below waits for data that only
    // stop() can bring (the codecs' last packets) before the end.
    air->setSpeed(0.01);
    int64_t frames = encoder.framesEncoded();
    std::vector<uint8_t> chunk(256 * 188);
    size_t got = 0;
    while (reader->read(chunk.data(), 256, got, 0) == AirConsumer::Read::Data) {
    }
    std::atomic<int> lastRead{-1};
    std::atomic<size_t> tail{0};
    std::thread waiting([&] {
        AirConsumer::Read r;
        size_t n = 0;
        while ((r = reader->read(chunk.data(), 256, n, -1)) == AirConsumer::Read::Data) tail += n;
        lastRead = int(r);
    });
    encoder.stop(AirEndReason::SignalLost);
    waiting.join();
    EXPECT_EQ(int(AirConsumer::Read::Ended), lastRead.load());
    EXPECT_EQ(AirEndReason::SignalLost, reader->endReason());
    EXPECT_GT(tail.load(), 0u);  // the held-back packets came out before the end
    EXPECT_LE(encoder.framesEncoded(), frames + 1);
    EXPECT_FALSE(encoder.running());
    EXPECT_EQ(AirEndReason::SignalLost, idle->endReason());
    encoder.stop();  // again: nothing changes
    EXPECT_EQ(AirEndReason::SignalLost, reader->endReason());

    // Started again, it is a new stream from its first frame for the readers that came since.
    auto next = encoder.subscribe(1 << 16);
    EXPECT_EQ(AirEndReason::None, next->endReason());
    air->setSpeed(10.0);
    ASSERT_TRUE(encoder.start()) << encoder.lastError();
    ASSERT_TRUE(eventually([&] { return encoder.framesEncoded() >= 30; }));
    encoder.stop();
    Decoded d = decode(drain(*next));
    ASSERT_EQ("", d.error);
    ASSERT_EQ(size_t(encoder.framesEncoded()), d.frames.size());
    for (const auto& f : d.frames) ASSERT_EQ(8, channelShown(f)) << "frame " << f.index;
}

TEST(AirEncoder, RefusesSettingsItCannotEncode) {
    std::string error;
    auto air = AirBroadcast::open(kDemo, error);
    ASSERT_TRUE(air) << error;
    AirEncoderSettings s = small();
    s.width = 8;
    AirEncoder tiny(air->tuner(kTuner), s);
    EXPECT_FALSE(tiny.start());
    EXPECT_NE(std::string::npos, tiny.lastError().find("8x144")) << tiny.lastError();
    EXPECT_FALSE(tiny.running());

    AirEncoder digital(air->tuner(L"Skyvane Virtual DVB-T Tuner"), small());
    EXPECT_FALSE(digital.start());
    EXPECT_EQ("the tuner receives no analog picture to encode", digital.lastError());

    AirEncoder none(std::shared_ptr<AirTuner>(), small());
    EXPECT_FALSE(none.start());
    EXPECT_EQ("no tuner", none.lastError());
    auto reader = none.subscribe();
    none.stop();
    EXPECT_EQ(AirEndReason::Stopped, reader->endReason());
}

// A capture source under the test's control: flat pictures whose grey level follows the frame
// number, given out only as the test releases them, without sound, failing where told.
class FakeCapture : public AnalogCaptureSource {
public:
    static uint8_t greyOf(int64_t index) { return uint8_t(40 + (index * 7) % 170); }

    std::wstring captureName() const override { return L"Fake Card"; }
    bool hasSound() const override { return false; }
    bool startCapture(int width, int height, int fps, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!refusal_.empty()) {
            error = refusal_;
            return false;
        }
        width_ = width, height_ = height, fps_ = fps, capturing_ = true, next_ = 0;
        return true;
    }
    Next nextFrame(AirPicture& picture, int maxWaitMs, std::string& error) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, std::chrono::milliseconds(maxWaitMs), [&] { return next_ < released_; }))
            return Next::NotYet;
        if (next_ == failAt_) {
            error = "the card was unplugged";
            return Next::Failed;
        }
        picture.index = next_;
        picture.width = width_, picture.height = height_;
        size_t luma = size_t(width_) * size_t(height_);
        picture.i420.assign(luma, greyOf(next_));
        picture.i420.resize(luma + luma / 2, 128);
        picture.pcm.clear();
        ++next_;
        return Next::Frame;
    }
    void stopCapture() override {
        std::lock_guard<std::mutex> lock(mutex_);
        capturing_ = false;
    }

    void release(int64_t frames) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ += frames;
        }
        ready_.notify_all();
    }
    void failAt(int64_t frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        failAt_ = frame;
    }
    void refuse(const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        refusal_ = why;
    }
    bool capturing() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return capturing_;
    }
    int width_ = 0, height_ = 0, fps_ = 0;

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    int64_t released_ = 0, next_ = 0, failAt_ = -1;
    std::string refusal_;
    bool capturing_ = false;
};

double meanLuma(const Decoded::Frame& f) {
    double sum = 0;
    for (uint8_t y : f.luma) sum += y;
    return f.luma.empty() ? -1 : sum / double(f.luma.size());
}

TEST(AirEncoderCapture, ASourceWithoutSoundGivesItsPicturesInOrderAndASilentProgramme) {
    auto source = std::make_shared<FakeCapture>();
    AirEncoder encoder(source, small());
    auto reader = encoder.subscribe(1 << 16);
    ASSERT_TRUE(encoder.start()) << encoder.lastError();
    EXPECT_EQ(kWidth, source->width_);
    EXPECT_EQ(kHeight, source->height_);
    EXPECT_EQ(kFps, source->fps_);
    constexpr int kFrames = 50;
    source->release(kFrames);
    ASSERT_TRUE(eventually([&] { return encoder.framesEncoded() == kFrames; }));
    encoder.stop();
    EXPECT_FALSE(source->capturing()) << "the device is left capturing";

    Decoded d = decode(drain(*reader));
    ASSERT_EQ("", d.error);
    EXPECT_EQ(AV_CODEC_ID_MPEG2VIDEO, d.video);
    EXPECT_EQ(AV_CODEC_ID_MP2, d.audio) << "a card without sound still has its audio stream";
    ASSERT_EQ(size_t(kFrames), d.frames.size());
    for (size_t i = 0; i < d.frames.size(); ++i) {
        EXPECT_EQ(int64_t(i), d.frames[i].index);
        EXPECT_NEAR(FakeCapture::greyOf(int64_t(i)), meanLuma(d.frames[i]), 3.0) << "frame " << i;
    }
    // Sound for the whole length (less the part of an audio frame left at the end), silent.
    const size_t kSamples = size_t(kFrames) * 48000 / kFps;
    EXPECT_GE(d.mono.size(), kSamples - 1152);
    EXPECT_LE(d.mono.size(), kSamples);
    EXPECT_LT(rms(d.mono, 0, d.mono.size()), 1e-3);
}

TEST(AirEncoderCapture, ASourceThatCannotStartOrStopsGivingFramesEndsTheStreamWithItsReason) {
    auto refusing = std::make_shared<FakeCapture>();
    refusing->refuse("the card gives no YUYV pictures");
    AirEncoder never(refusing, small());
    EXPECT_FALSE(never.start());
    EXPECT_EQ("the card gives no YUYV pictures", never.lastError());
    EXPECT_FALSE(never.running());

    auto source = std::make_shared<FakeCapture>();
    source->failAt(5);
    AirEncoder encoder(source, small());
    auto reader = encoder.subscribe(1 << 16);
    ASSERT_TRUE(encoder.start()) << encoder.lastError();
    source->release(10);
    // The readers see the end without anyone calling stop().
    std::vector<uint8_t> ts = drain(*reader);
    EXPECT_EQ(AirEndReason::Stopped, reader->endReason());
    EXPECT_FALSE(encoder.running());
    EXPECT_EQ("the card was unplugged", encoder.lastError());
    EXPECT_FALSE(source->capturing());
    EXPECT_EQ(5, encoder.framesEncoded());

    AirEncoder none(std::shared_ptr<AnalogCaptureSource>(), small());
    EXPECT_FALSE(none.start());
    EXPECT_EQ("no tuner", none.lastError());
}

}  // namespace
