#include "platform/air/AirTsProbe.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

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
    int channels = f->ch_layout.nb_channels > 0 ? f->ch_layout.nb_channels : 1;
    for (int i = 0; i < f->nb_samples; ++i) {
        switch (f->format) {
            case AV_SAMPLE_FMT_S16:
                out.push_back(float(reinterpret_cast<const int16_t*>(f->data[0])[i * channels]) / 32768.f);
                break;
            case AV_SAMPLE_FMT_S16P:
                out.push_back(float(reinterpret_cast<const int16_t*>(f->data[0])[i]) / 32768.f);
                break;
            case AV_SAMPLE_FMT_FLT:
                out.push_back(reinterpret_cast<const float*>(f->data[0])[i * channels]);
                break;
            case AV_SAMPLE_FMT_FLTP:
                out.push_back(reinterpret_cast<const float*>(f->data[0])[i]);
                break;
            default:
                return;
        }
    }
}

double lumaSpread(const AVFrame* f) {
    double sum = 0, squares = 0;
    size_t n = 0;
    for (int y = 0; y < f->height; ++y) {
        const uint8_t* row = f->data[0] + ptrdiff_t(y) * f->linesize[0];
        for (int x = 0; x < f->width; ++x, ++n) sum += row[x], squares += double(row[x]) * row[x];
    }
    if (n == 0) return 0;
    double mean = sum / double(n);
    return std::sqrt(std::max(0.0, squares / double(n) - mean * mean));
}

}  // namespace

AirTsProbe AirTsProbe::decode(const std::vector<uint8_t>& ts) {
    AirTsProbe p;
    // A stream cut out of a live one starts in the middle of a GOP: its decoder complains.
    av_log_set_level(AV_LOG_FATAL);
    MemoryInput input{&ts};
    AVFormatContext* fmt = avformat_alloc_context();
    auto* buffer = static_cast<uint8_t*>(av_malloc(4096));
    AVIOContext* pb = avio_alloc_context(buffer, 4096, 0, &input, &MemoryInput::read, nullptr, nullptr);
    fmt->pb = pb;
    AVCodecContext* codecs[2] = {nullptr, nullptr};
    int index[2] = {-1, -1};
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avformat_open_input(&fmt, nullptr, av_find_input_format("mpegts"), nullptr) < 0) {
        p.error = "not a transport stream";
        fmt = nullptr;  // freed by the failed open
    } else if (avformat_find_stream_info(fmt, nullptr) < 0) {
        p.error = "no stream information";
    } else {
        p.programs = int(fmt->nb_programs);
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            AVCodecParameters* par = fmt->streams[i]->codecpar;
            int which = par->codec_type == AVMEDIA_TYPE_VIDEO   ? 0
                        : par->codec_type == AVMEDIA_TYPE_AUDIO ? 1
                                                                : -1;
            if (which < 0 || codecs[which]) continue;
            const AVCodec* dec = avcodec_find_decoder(par->codec_id);
            if (!dec) continue;
            (which == 0 ? p.videoCodec : p.audioCodec) = dec->name;
            AVCodecContext* c = avcodec_alloc_context3(dec);
            avcodec_parameters_to_context(c, par);
            c->pkt_timebase = fmt->streams[i]->time_base;
            if (avcodec_open2(c, dec, nullptr) < 0) {
                avcodec_free_context(&c);
                continue;
            }
            codecs[which] = c;
            index[which] = int(i);
        }
        auto receive = [&](int which) {
            while (avcodec_receive_frame(codecs[which], frame) >= 0) {
                if (which == 1) {
                    p.sampleRate = frame->sample_rate;
                    appendSound(frame, p.mono);
                } else {
                    ++p.pictures;
                    p.width = frame->width;
                    p.height = frame->height;
                    p.lastPictureSpread = lumaSpread(frame);
                }
            }
        };
        while (av_read_frame(fmt, pkt) >= 0) {
            int which = pkt->stream_index == index[0] ? 0 : pkt->stream_index == index[1] ? 1 : -1;
            if (which >= 0 && avcodec_send_packet(codecs[which], pkt) >= 0) receive(which);
            av_packet_unref(pkt);
        }
        for (int which = 0; which < 2; ++which) {
            if (!codecs[which]) continue;
            avcodec_send_packet(codecs[which], nullptr);
            receive(which);
        }
    }
    for (auto*& c : codecs) avcodec_free_context(&c);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    if (fmt) avformat_close_input(&fmt);
    if (pb) av_freep(&pb->buffer);
    avio_context_free(&pb);
    return p;
}

double AirTsProbe::dominantHz(size_t from, size_t count) const {
    double rate = sampleRate > 0 ? sampleRate : 48000;
    double bestHz = 0, bestPower = 1e-6;
    for (double hz = 200; hz <= 2000; hz += 2) {
        double w = 2 * M_PI * hz / rate, k = 2 * std::cos(w), s1 = 0, s2 = 0;
        for (size_t i = from; i < from + count && i < mono.size(); ++i) {
            double s0 = mono[i] + k * s1 - s2;
            s2 = s1, s1 = s0;
        }
        double power = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (power > bestPower) bestPower = power, bestHz = hz;
    }
    return bestHz;
}

double AirTsProbe::rms(size_t from, size_t count) const {
    double sum = 0;
    size_t n = 0;
    for (size_t i = from; i < from + count && i < mono.size(); ++i, ++n) sum += double(mono[i]) * mono[i];
    return n ? std::sqrt(sum / double(n)) : 0;
}
