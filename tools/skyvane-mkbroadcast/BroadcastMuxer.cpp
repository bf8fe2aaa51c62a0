#include "tools/skyvane-mkbroadcast/BroadcastMuxer.h"

#include <cstdint>
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>

#include "platform/air/AirClip.h"
#include "platform/air/AirTestCard.h"
#include "platform/air/TsPacket.h"
#include "tools/skyvane-mkbroadcast/BroadcastTables.h"

namespace {

std::string averror(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof(buf));
    return buf;
}

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FormatFree {
    void operator()(AVFormatContext* f) const {
        if (f->pb) {
            uint8_t* buf = nullptr;
            avio_close_dyn_buf(f->pb, &buf);
            av_free(buf);
            f->pb = nullptr;
        }
        avformat_free_context(f);
    }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

struct Track {
    CodecPtr codec;
    AVStream* stream = nullptr;
    FramePtr frame;
    int64_t next = 0;  // next frame (video) or sample (audio)
};

struct ServiceEncoder {
    std::unique_ptr<AirTestCard> card;
    Track video, audio;
};

bool drain(AVFormatContext* oc, Track& t, AVFrame* frame, std::string& error) {
    int rc = avcodec_send_frame(t.codec.get(), frame);
    if (rc < 0) {
        error = "encoder refused a frame: " + averror(rc);
        return false;
    }
    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    while ((rc = avcodec_receive_packet(t.codec.get(), pkt.get())) >= 0) {
        av_packet_rescale_ts(pkt.get(), t.codec->time_base, t.stream->time_base);
        pkt->stream_index = t.stream->index;
        rc = av_interleaved_write_frame(oc, pkt.get());
        if (rc < 0) {
            error = "muxer refused a packet: " + averror(rc);
            return false;
        }
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
        error = "encoder failed: " + averror(rc);
        return false;
    }
    return true;
}

// Opens the track's encoder and gives it a stream of its own on `pid`.
bool openTrack(AVFormatContext* oc, Track& t, const AVCodec* codec, uint16_t pid, const char* what,
               std::string& error) {
    int rc = avcodec_open2(t.codec.get(), codec, nullptr);
    if (rc < 0) {
        error = std::string("cannot open the ") + what + " encoder: " + averror(rc);
        return false;
    }
    t.stream = avformat_new_stream(oc, nullptr);
    t.frame.reset(av_frame_alloc());
    if (!t.stream || !t.frame) {
        error = std::string("out of memory for the ") + what + " stream";
        return false;
    }
    t.stream->id = pid;
    t.stream->time_base = t.codec->time_base;
    avcodec_parameters_from_context(t.stream->codecpar, t.codec.get());
    return true;
}

bool allocateFrame(Track& t, const char* what, std::string& error) {
    int rc = av_frame_get_buffer(t.frame.get(), 0);
    if (rc < 0) {
        error = std::string("no ") + what + " buffer: " + averror(rc);
        return false;
    }
    return true;
}

bool openVideo(AVFormatContext* oc, Track& t, const BroadcastMuxer::Format& f, uint16_t pid,
               std::string& error) {
    const AVCodec* codec =
        f.h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    if (!codec && f.h264) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) {
        error = f.h264 ? "no H.264 video encoder" : "no MPEG-2 video encoder";
        return false;
    }
    t.codec.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = t.codec.get();
    c->width = f.width;
    c->height = f.height;
    c->time_base = AVRational{f.fpsDen, f.fpsNum};
    c->framerate = AVRational{f.fpsNum, f.fpsDen};
    c->sample_aspect_ratio = f.width == 720 ? AVRational{f.height == 576 ? 64 : 32, f.height == 576 ? 45 : 27}
                                            : AVRational{1, 1};  // 16:9 on SD lines, square on HD
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // Constant rate, as a broadcast encoder runs: the encoder stuffs what the card does not need.
    c->bit_rate = f.videoBitrate;
    c->rc_min_rate = f.videoBitrate;
    c->rc_max_rate = f.videoBitrate;
    c->rc_buffer_size = int(f.videoBitrate / 2);
    c->gop_size = f.fpsNum / f.fpsDen / 2;  // a random access point every half second
    c->max_b_frames = 0;                    // decode order equals display order, so PTS equals DTS
    c->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    if (f.interlaced) c->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    if (f.h264) {
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        av_opt_set(c->priv_data, "x264-params", "keyint-min=1:scenecut=0:nal-hrd=cbr", 0);
    } else {
        av_opt_set_int(c->priv_data, "sc_threshold", 1000000000, 0);
    }
    if (!openTrack(oc, t, codec, pid, "video", error)) return false;
    t.frame->format = c->pix_fmt;
    t.frame->width = c->width;
    t.frame->height = c->height;
    return allocateFrame(t, "picture", error);
}

bool openAudio(AVFormatContext* oc, Track& t, const BroadcastMuxer::Format& f, uint16_t pid,
               std::string& error) {
    bool ac3 = f.ac3;
    const AVCodec* codec = avcodec_find_encoder(ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2);
    if (!codec) {
        error = ac3 ? "no AC-3 encoder" : "no MP2 encoder";
        return false;
    }
    t.codec.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = t.codec.get();
    c->sample_rate = 48000;
    c->sample_fmt = ac3 ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&c->ch_layout, 2);
    c->bit_rate = f.audioBitrate;
    c->time_base = AVRational{1, 48000};
    if (!openTrack(oc, t, codec, pid, "audio", error)) return false;
    t.frame->format = c->sample_fmt;
    t.frame->nb_samples = c->frame_size;
    av_channel_layout_copy(&t.frame->ch_layout, &c->ch_layout);
    t.frame->sample_rate = c->sample_rate;
    return allocateFrame(t, "sound", error);
}

bool encodeAudioFrame(AVFormatContext* oc, ServiceEncoder& s, std::string& error) {
    Track& t = s.audio;
    AVFrame* f = t.frame.get();
    if (av_frame_make_writable(f) < 0) {
        error = "sound buffer not writable";
        return false;
    }
    std::vector<int16_t> pcm(size_t(f->nb_samples));
    s.card->tone(t.next, f->nb_samples, 48000, pcm.data());
    for (int ch = 0; ch < 2; ++ch) {
        for (int i = 0; i < f->nb_samples; ++i) {
            if (f->format == AV_SAMPLE_FMT_FLTP)
                reinterpret_cast<float*>(f->data[ch])[i] = float(pcm[size_t(i)]) / 32768.0f;
            else
                reinterpret_cast<int16_t*>(f->data[0])[2 * i + ch] = pcm[size_t(i)];
        }
    }
    f->pts = t.next;
    t.next += f->nb_samples;
    return drain(oc, t, f, error);
}

}  // namespace

BroadcastMuxer::Format BroadcastMuxer::formatOf(const AirMultiplex& m, const AirService& s) {
    Format f;
    bool hd = s.format == "hd";
    if (m.system == AirSystem::ATSC) {
        f.fpsNum = 30000;
        f.fpsDen = 1001;
        f.ac3 = true;
        f.audioBitrate = 384000;
        f.width = hd ? 1920 : 720;
        f.height = hd ? 1080 : 480;
        f.videoBitrate = hd ? 10000000 : 3500000;
    } else if (hd) {
        f.h264 = true;
        f.width = 1920;
        f.height = 1080;
        f.videoBitrate = 6000000;
    }
    return f;
}

double BroadcastMuxer::clipSeconds(const AirMultiplex& m) {
    double step = m.system == AirSystem::ATSC ? 0.8 : 0.12;
    double steps = std::max(1.0, std::round(m.seconds / step));
    return steps * step;
}

namespace {

// A rate at which one packet lasts a whole number of 27 MHz ticks and every clip length the
// generator makes holds a whole number of packets: 37600 bit/s times a divisor of 1080000.
int64_t muxRateAtLeast(int64_t wanted) {
    for (int64_t k = std::max<int64_t>(1, wanted / 37600); k <= 1080000; ++k)
        if (1080000 % k == 0 && k * 37600 >= wanted) return k * 37600;
    return 1080000LL * 37600;
}

}  // namespace

bool BroadcastMuxer::make(const AirCatalogue& catalogue, const AirMultiplex& m, std::vector<uint8_t>& ts,
                          std::string& error) {
    bool tooLong = false;
    return makeAtRate(catalogue, m, 10, ts, error, tooLong);
}

bool BroadcastMuxer::makeAtRate(const AirCatalogue& catalogue, const AirMultiplex& m, int headroomPercent,
                                std::vector<uint8_t>& ts, std::string& error, bool& tooLong) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, "mpegts", nullptr);
    if (rc < 0 || !raw) {
        error = "no MPEG-TS muxer: " + averror(rc);
        return false;
    }
    std::unique_ptr<AVFormatContext, FormatFree> oc(raw);
    if ((rc = avio_open_dyn_buf(&oc->pb)) < 0) {
        error = "no output buffer: " + averror(rc);
        return false;
    }
    // Analog channels have no service list: one programme showing the channel's card.
    std::vector<AirService> services = m.services;
    if (services.empty()) {
        AirService s;
        s.serviceId = 1;
        s.lcn = m.channel;
        services.push_back(s);
    }
    const double seconds = clipSeconds(m);
    int64_t peak = 400000;  // tables and headroom
    std::vector<ServiceEncoder> enc(services.size());
    std::vector<Format> formats;
    for (size_t k = 0; k < services.size(); ++k) {
        const AirService& s = services[k];
        Format f = formatOf(m, s);
        formats.push_back(f);
        peak += f.videoBitrate * 3 / 2 + f.audioBitrate;  // room for the tables between pictures
        if (m.system == AirSystem::Analog) {
            enc[k].card =
                std::make_unique<AirTestCard>(AirTestCard::analogChannel(f.width, f.height, m.channel));
        } else {
            std::string number = m.system == AirSystem::ATSC
                                     ? std::to_string(s.major) + "." + std::to_string(s.minor)
                                     : std::to_string(s.lcn >= 0 ? s.lcn : s.serviceId);
            // Tones in whole multiples of 25 Hz hold whole waves in every clip length.
            enc[k].card = std::make_unique<AirTestCard>(f.width, f.height, number, s.name, int(k) + m.channel,
                                                        440.0 + 110.0 * double(k));
        }
        enc[k].card->setFrameRate(f.fpsNum, f.fpsDen);
        if (!openVideo(oc.get(), enc[k].video, f, videoPid(k), error) ||
            !openAudio(oc.get(), enc[k].audio, f, audioPid(k), error))
            return false;
        AVProgram* prog = av_new_program(oc.get(), s.serviceId);
        av_dict_set(&prog->metadata, "service_name", s.name.c_str(), 0);
        av_dict_set(&prog->metadata, "service_provider", s.provider.c_str(), 0);
        av_program_add_stream_index(oc.get(), s.serviceId, unsigned(enc[k].video.stream->index));
        av_program_add_stream_index(oc.get(), s.serviceId, unsigned(enc[k].audio.stream->index));
    }
    const int64_t muxrate = muxRateAtLeast(peak * (100 + headroomPercent) / 100);
    // Let data go out ahead of its decoding time, as a real multiplexer does; with no delay
    // the constant-rate PCR overtakes the DTS of every burst.
    oc->max_delay = 700000;
    AVDictionary* opts = nullptr;
    av_dict_set_int(&opts, "muxrate", muxrate, 0);
    av_dict_set_int(&opts, "mpegts_transport_stream_id", m.transportStreamId, 0);
    av_dict_set_int(&opts, "mpegts_original_network_id", m.originalNetworkId, 0);
    av_dict_set_int(&opts, "mpegts_pmt_start_pid", pmtPid(0), 0);
    av_dict_set(&opts, "pat_period", "0.1", 0);
    av_dict_set(&opts, "pcr_period", "30", 0);
    rc = avformat_write_header(oc.get(), &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        error = "cannot start the multiplex: " + averror(rc);
        return false;
    }
    const int64_t audioSamples = std::llround(seconds * 48000);
    // Every service of a multiplex has the system's frame rate; pictures go in turn so the
    // muxer interleaves them as it goes.
    const Format& rate = formats.front();
    const int64_t frames = std::llround(seconds * rate.fpsNum / rate.fpsDen);
    for (int64_t n = 0; n < frames; ++n) {
        for (size_t k = 0; k < enc.size(); ++k) {
            ServiceEncoder& s = enc[k];
            AVFrame* fr = s.video.frame.get();
            if (av_frame_make_writable(fr) < 0) {
                error = "picture buffer not writable";
                return false;
            }
            s.card->drawFrame(n, fr->data[0], fr->linesize[0], fr->data[1], fr->linesize[1], fr->data[2],
                              fr->linesize[2]);
            fr->pts = n;
            fr->interlaced_frame = formats[k].interlaced;
            fr->top_field_first = formats[k].interlaced;
            if (!drain(oc.get(), s.video, fr, error)) return false;
            // The sound that belongs up to the next picture; the last picture takes the rest.
            int64_t due = n + 1 == frames
                              ? audioSamples
                              : std::min(audioSamples, (n + 1) * 48000 * rate.fpsDen / rate.fpsNum);
            while (s.audio.next + s.audio.frame->nb_samples <= due)
                if (!encodeAudioFrame(oc.get(), s, error)) return false;
        }
    }
    // The audio encoders are not flushed: their last frame would overlap the next pass.
    for (auto& s : enc)
        if (!drain(oc.get(), s.video, nullptr, error)) return false;
    if ((rc = av_write_trailer(oc.get())) < 0) {
        error = "cannot finish the multiplex: " + averror(rc);
        return false;
    }
    uint8_t* buf = nullptr;
    int size = avio_close_dyn_buf(oc->pb, &buf);
    oc->pb = nullptr;
    ts.assign(buf, buf + size);
    av_free(buf);

    // Stuff to the full clip length so that a looped pass starts exactly one clip later.
    int64_t wantPackets = std::llround(seconds * double(muxrate) / (188 * 8));
    // The muxer sends each picture no earlier than its decoding time less its delay, so the last
    // ones leave a few packets after the clip's time. Dropping as much stuffing near the end
    // sends them that much earlier; the clock readings are then set to the packets' new places.
    int64_t over = int64_t(ts.size() / 188) - wantPackets;
    for (size_t i = ts.size() / 188; over > 0 && i-- > 0;) {
        if (tspacket::pid(ts.data() + i * 188) != tspacket::kNullPid) continue;
        ts.erase(ts.begin() + long(i * 188), ts.begin() + long((i + 1) * 188));
        --over;
    }
    const int64_t ticksPerPacket = tspacket::kClockHz * 188 * 8 / muxrate;
    int64_t origin = -1;
    for (size_t i = 0; i < ts.size() / 188; ++i) {
        uint8_t* p = ts.data() + i * 188;
        int64_t pcr;
        if (!tspacket::readPcr(p, pcr)) continue;
        if (origin < 0) origin = pcr - int64_t(i) * ticksPerPacket;
        tspacket::writePcr(p, origin + int64_t(i) * ticksPerPacket);
    }
    if (int64_t(ts.size() / 188) > wantPackets) {
        tooLong = true;
        error = "the multiplex runs longer than its " + std::to_string(seconds) +
                " s: " + std::to_string(ts.size() / 188) + " packets for " + std::to_string(wantPackets);
        return false;
    }
    uint8_t null[188] = {0x47, 0x1F, 0xFF, 0x10};
    std::memset(null + 4, 0xFF, sizeof(null) - 4);
    while (int64_t(ts.size() / 188) < wantPackets) ts.insert(ts.end(), null, null + sizeof(null));
    return insertTables(catalogue, m, ts, error);
}

bool BroadcastMuxer::insertTables(const AirCatalogue& catalogue, const AirMultiplex& m,
                                  std::vector<uint8_t>& ts, std::string& error) {
    if (ts.size() % 188 != 0) {
        error = "multiplex is not made of whole packets";
        return false;
    }
    auto clip = AirClip::fromBytes(ts, 0, error);
    if (!clip) return false;
    struct Table {
        uint16_t pid;
        std::vector<BroadcastTables::Section> sections;
        int64_t interval;
        int64_t due = 0;
        uint8_t cc = 0;
    };
    std::vector<Table> tables;
    // Spread the repetitions evenly over the clip so the gap across the loop is no longer
    // than the others.
    auto ticks = [&](int ms) {
        int64_t wanted = int64_t(ms) * (tspacket::kClockHz / 1000);
        int64_t times = (clip->loopTicks() + wanted - 1) / wanted;
        return clip->loopTicks() / std::max<int64_t>(1, times);
    };
    try {
        if (m.system == AirSystem::DVBT) {
            if (m.nit) tables.push_back({0x0010, BroadcastTables::nit(catalogue, m), ticks(m.nitIntervalMs)});
            tables.push_back({0x0011, BroadcastTables::sdt(m), ticks(m.sdtIntervalMs)});
        } else if (m.system == AirSystem::ATSC) {
            tables.push_back({0x1FFB, BroadcastTables::vct(m), ticks(m.vctIntervalMs)});
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    std::deque<uint8_t> pending;
    size_t n = ts.size() / 188;
    for (size_t i = 0; i < n; ++i) {
        uint8_t* p = ts.data() + i * 188;
        uint16_t pid = tspacket::pid(p);
        // The muxer's own SDT names services without the generator's types and providers.
        if (pid == 0x0011) {
            p[1] = 0x1F;
            p[2] = 0xFF;
            pid = tspacket::kNullPid;
        }
        for (Table& t : tables) {
            if (clip->packetTime(i) < t.due) continue;
            std::vector<uint8_t> pk = BroadcastTables::packetize(t.sections, t.pid, t.cc);
            pending.insert(pending.end(), pk.begin(), pk.end());
            t.due += t.interval;
        }
        if (pid == tspacket::kNullPid && !pending.empty()) {
            std::copy(pending.begin(), pending.begin() + 188, p);
            pending.erase(pending.begin(), pending.begin() + 188);
        }
    }
    return true;
}
