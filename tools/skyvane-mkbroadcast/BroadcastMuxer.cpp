#include "tools/skyvane-mkbroadcast/BroadcastMuxer.h"

#include <cstdint>
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
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

bool openVideo(AVFormatContext* oc, Track& t, uint16_t pid, std::string& error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    if (!codec) {
        error = "no MPEG-2 video encoder";
        return false;
    }
    t.codec.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = t.codec.get();
    c->width = BroadcastMuxer::kWidth;
    c->height = BroadcastMuxer::kHeight;
    c->time_base = AVRational{1, BroadcastMuxer::kFrameRate};
    c->framerate = AVRational{BroadcastMuxer::kFrameRate, 1};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->bit_rate = BroadcastMuxer::kVideoBitrate;
    c->rc_max_rate = BroadcastMuxer::kVideoBitrate * 3 / 2;
    c->rc_buffer_size = BroadcastMuxer::kVideoBitrate;
    c->gop_size = 12;
    c->max_b_frames = 0;  // decode order equals display order, so PTS equals DTS
    c->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    av_opt_set_int(c->priv_data, "sc_threshold", 1000000000, 0);
    if (!openTrack(oc, t, codec, pid, "video", error)) return false;
    t.frame->format = c->pix_fmt;
    t.frame->width = c->width;
    t.frame->height = c->height;
    return allocateFrame(t, "picture", error);
}

bool openAudio(AVFormatContext* oc, Track& t, bool ac3, uint16_t pid, std::string& error) {
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
    c->bit_rate = ac3 ? 192000 : 128000;
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

bool BroadcastMuxer::make(const AirCatalogue& catalogue, const AirMultiplex& m, std::vector<uint8_t>& ts,
                          std::string& error) {
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
    bool ac3 = m.system == AirSystem::ATSC;
    // Analog channels have no service list: one programme showing the channel number.
    std::vector<AirService> services = m.services;
    if (services.empty()) {
        AirService s;
        s.serviceId = 1;
        s.lcn = m.channel;
        services.push_back(s);
    }
    int audioRate = ac3 ? 192000 : 128000;
    // Generous stuffing: the tables go into null packets, so they must never run short.
    int64_t muxrate = int64_t(services.size()) * (kVideoBitrate * 3 / 2 + audioRate) * 2 + 400000;

    std::vector<ServiceEncoder> enc(services.size());
    for (size_t k = 0; k < services.size(); ++k) {
        const AirService& s = services[k];
        int number =
            m.system == AirSystem::ATSC ? s.major * 10 + s.minor : (s.lcn >= 0 ? s.lcn : s.serviceId);
        enc[k].card = std::make_unique<AirTestCard>(kWidth, kHeight, number, int(k) + m.channel,
                                                    440.0 + 110.0 * double(k));
        if (!openVideo(oc.get(), enc[k].video, videoPid(k), error) ||
            !openAudio(oc.get(), enc[k].audio, ac3, audioPid(k), error))
            return false;
        AVProgram* prog = av_new_program(oc.get(), s.serviceId);
        av_dict_set(&prog->metadata, "service_name", s.name.c_str(), 0);
        av_dict_set(&prog->metadata, "service_provider", s.provider.c_str(), 0);
        av_program_add_stream_index(oc.get(), s.serviceId, unsigned(enc[k].video.stream->index));
        av_program_add_stream_index(oc.get(), s.serviceId, unsigned(enc[k].audio.stream->index));
    }
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
    int64_t frames = int64_t(m.seconds * kFrameRate + 0.5);
    for (int64_t n = 0; n < frames; ++n) {
        for (auto& s : enc) {
            AVFrame* f = s.video.frame.get();
            if (av_frame_make_writable(f) < 0) {
                error = "picture buffer not writable";
                return false;
            }
            s.card->drawFrame(n, f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                              f->linesize[2]);
            f->pts = n;
            if (!drain(oc.get(), s.video, f, error)) return false;
            int64_t samplesDue = (n + 1) * 48000 / kFrameRate;
            while (s.audio.next + s.audio.frame->nb_samples <= samplesDue)
                if (!encodeAudioFrame(oc.get(), s, error)) return false;
        }
    }
    for (auto& s : enc)
        if (!drain(oc.get(), s.video, nullptr, error) || !drain(oc.get(), s.audio, nullptr, error))
            return false;
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
    int64_t wantPackets = int64_t(m.seconds * double(muxrate) / (188 * 8));
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
