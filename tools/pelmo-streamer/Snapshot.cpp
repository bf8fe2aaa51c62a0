#include "tools/pelmo-streamer/Snapshot.h"

#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "tools/pelmo-streamer/MediaFormats.h"

namespace pelmo::streamer {
namespace {

std::string avError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

}  // namespace

bool writePng(const std::string& path, const uint8_t* rgb, int stride, int width, int height,
              std::string& error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        error = "libavcodec has no PNG encoder";
        return false;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = {1, 25};
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    bool ok = false;
    int rc = avcodec_open2(ctx, codec, nullptr);
    if (rc >= 0) {
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = width;
        frame->height = height;
        frame->data[0] = const_cast<uint8_t*>(rgb);
        frame->linesize[0] = stride;
        rc = avcodec_send_frame(ctx, frame);
        if (rc >= 0) rc = avcodec_receive_packet(ctx, pkt);
    }
    if (rc < 0) {
        error = "PNG encoding failed: " + avError(rc);
    } else if (FILE* f = std::fopen(path.c_str(), "wb")) {
        ok = std::fwrite(pkt->data, 1, static_cast<size_t>(pkt->size), f) == static_cast<size_t>(pkt->size);
        ok = std::fclose(f) == 0 && ok;
        if (!ok) error = "cannot write " + path + ": " + std::strerror(errno);
    } else {
        error = "cannot write " + path + ": " + std::strerror(errno);
    }
    av_packet_free(&pkt);
    frame->data[0] = nullptr;
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return ok;
}

Snapshot::Snapshot(std::string path, const SimpleStreamDescription& d)
    : path(std::move(path)), description(d) {}

Snapshot::~Snapshot() {
    avcodec_free_context(&decoder);
}

void Snapshot::packet(SamplePacket& p) {
    std::lock_guard<std::mutex> l(lock);
    if (done || !error.empty() || p.getType() != kPacketVideo) return;
    if (isRawVideo(description))
        takeRaw(p);
    else
        decode(p);
    if (done || !error.empty()) finished.notify_all();
}

void Snapshot::takeRaw(SamplePacket& p) {
    const SimpleVideoDescription& v = description.videoDescription;
    RawPicture pic = rawPicture(description);
    if (pic.format == AV_PIX_FMT_NONE || pic.frameBytes == 0) {
        error = "the plug-in describes raw video without a picture size or pixel layout this host knows";
        return;
    }
    if (p.getSize() < pic.frameBytes) return;  // a short frame: wait for a whole one
    AVFrame* frame = av_frame_alloc();
    frame->format = pic.format;
    frame->width = v.width;
    frame->height = v.height;
    av_image_fill_arrays(frame->data, frame->linesize, p.getData(), pic.format, v.width, v.height, 1);
    if (pic.bottomUp) {
        frame->data[0] += int64_t{frame->linesize[0]} * (v.height - 1);
        frame->linesize[0] = -frame->linesize[0];
    }
    save(*frame);
    av_frame_free(&frame);
}

void Snapshot::decode(SamplePacket& p) {
    if (decoder == nullptr) {
        // Decoding starts at a key frame; what comes before it cannot be shown.
        if (!p.isSyncPoint()) return;
        AVCodecID id = sniffVideoCodec(p.getData(), p.getSize(), description);
        const AVCodec* codec = avcodec_find_decoder(id);
        if (codec == nullptr) {
            error = std::string("libavcodec has no decoder for ") + avcodec_get_name(id);
            return;
        }
        decoder = avcodec_alloc_context3(codec);
        int rc = avcodec_open2(decoder, codec, nullptr);
        if (rc < 0) {
            error = std::string("cannot open the ") + avcodec_get_name(id) + " decoder: " + avError(rc);
            return;
        }
    }
    AVPacket* pkt = av_packet_alloc();
    pkt->data = p.getData();
    pkt->size = p.getSize();
    pkt->pts = p.getTimestamp();
    int rc = avcodec_send_packet(decoder, pkt);
    av_packet_free(&pkt);
    if (rc < 0 && rc != AVERROR(EAGAIN)) return;  // a damaged packet: the next key frame serves
    AVFrame* frame = av_frame_alloc();
    if (avcodec_receive_frame(decoder, frame) == 0) save(*frame);
    av_frame_free(&frame);
}

void Snapshot::save(const AVFrame& frame) {
    SwsContext* sws =
        sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), frame.width,
                       frame.height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (sws == nullptr) {
        error = "cannot convert a " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                " picture to RGB";
        return;
    }
    std::vector<uint8_t> rgb(static_cast<size_t>(frame.width) * frame.height * 3);
    uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {frame.width * 3, 0, 0, 0};
    sws_scale(sws, frame.data, frame.linesize, 0, frame.height, dst, dstStride);
    sws_freeContext(sws);
    if (writePng(path, rgb.data(), frame.width * 3, frame.width, frame.height, error)) {
        done = true;
        pictureWidth = frame.width;
        pictureHeight = frame.height;
    }
}

bool Snapshot::wait(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> l(lock);
    finished.wait_until(l, deadline, [this] { return done || !error.empty(); });
    return done;
}

std::string Snapshot::failure() {
    std::lock_guard<std::mutex> l(lock);
    return error;
}

}  // namespace pelmo::streamer
