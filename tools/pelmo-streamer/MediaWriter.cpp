#include "tools/pelmo-streamer/MediaWriter.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "tools/pelmo-streamer/MediaFormats.h"

namespace pelmo::streamer {
namespace {

constexpr AVRational kMicroseconds = {1, 1000000};
// The file's first key frame stands this far from 0, so that frames shown before it (B-frames
// that follow it in decoding order) keep positive times.
constexpr int64_t kLead = 500000;
// Room left between two timelines, for the same reason.
constexpr int64_t kGap = 200000;
// Video frames held back to derive decoding times from presentation times.
constexpr int kReorderDelay = 2;

std::string avError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

std::string extensionOf(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace

MediaWriter::MediaWriter(std::string path, const SimpleStreamDescription& d)
    : path(std::move(path)),
      description(d),
      toStdout(this->path == "-"),
      rawVideo(isRawVideo(d)),
      rawAudio(isRawAudio(d)),
      wantVideo(hasVideo(d)),
      wantAudio(hasAudio(d)) {}

std::unique_ptr<MediaWriter> MediaWriter::create(const std::string& path, const SimpleStreamDescription& d,
                                                 std::string& error) {
    if (!hasVideo(d) && !hasAudio(d)) {
        error = "the plug-in described no stream to write";
        return nullptr;
    }
    std::unique_ptr<MediaWriter> w(new MediaWriter(path, d));
    if (!w->openOutput(error)) return nullptr;
    return w;
}

bool MediaWriter::openOutput(std::string& why) {
    const bool raw = rawVideo || rawAudio;
    const char* format = nullptr;
    std::string ext = toStdout ? (raw ? ".mkv" : ".ts") : extensionOf(path);
    if (ext == ".ts" || ext == ".m2ts" || ext == ".mpg") {
        if (raw) {
            why = "raw frames and PCM cannot go into an MPEG-TS file (" + path +
                  "): write a .mkv, or use --compressed";
            return false;
        }
        format = "mpegts";
    } else if (ext == ".mkv") {
        format = "matroska";
    } else {
        why = "cannot tell which kind of file to write from \"" + path +
              "\": name it .ts or .mkv (or - for stdout)";
        return false;
    }
    if (rawVideo) {
        RawPicture pic = rawPicture(description);
        if (pic.format == AV_PIX_FMT_NONE || pic.frameBytes == 0) {
            why = "the plug-in describes raw video without a picture size or pixel layout this host knows";
            return false;
        }
    }
    if (rawAudio && description.audioDescription.bitsPerSample != 16) {
        why = "the plug-in describes " + std::to_string(description.audioDescription.bitsPerSample) +
              "-bit PCM; this host writes 16-bit PCM only";
        return false;
    }
    int rc = avformat_alloc_output_context2(&out, nullptr, format, nullptr);
    if (rc < 0 || out == nullptr) {
        why = std::string("libavformat has no ") + format + " writer: " + avError(rc);
        return false;
    }
    std::string target = toStdout ? "pipe:1" : path;
    rc = avio_open(&out->pb, target.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        why = "cannot write " + path + ": " + avError(rc);
        avformat_free_context(out);
        out = nullptr;
        return false;
    }
    return true;
}

MediaWriter::~MediaWriter() {
    if (out != nullptr) {
        if (out->pb != nullptr) avio_closep(&out->pb);
        avformat_free_context(out);
    }
    sws_freeContext(scaler);
}

bool MediaWriter::openStreams(SamplePacket& first, std::string& why) {
    const SimpleVideoDescription& v = description.videoDescription;
    const SimpleAudioDescription& a = description.audioDescription;
    if (wantVideo) {
        AVStream* st = avformat_new_stream(out, nullptr);
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->width = v.width;
        par->height = v.height;
        if (rawVideo) {
            par->codec_id = AV_CODEC_ID_RAWVIDEO;
            par->format = AV_PIX_FMT_YUV420P;
            par->codec_tag = MKTAG('I', '4', '2', '0');
            RawPicture pic = rawPicture(description);
            scaler = sws_getContext(v.width, v.height, pic.format, v.width, v.height, AV_PIX_FMT_YUV420P,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
            if (scaler == nullptr) {
                why = "cannot convert the raw frames of " + std::to_string(v.width) + "x" +
                      std::to_string(v.height);
                return false;
            }
            picture.resize(
                static_cast<size_t>(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, v.width, v.height, 1)));
        } else {
            par->codec_id = sniffVideoCodec(first.getData(), first.getSize(), description);
        }
        if (v.frameRate > 0) st->avg_frame_rate = av_d2q(v.frameRate, 100000);
        st->time_base = kMicroseconds;
        videoIndex = st->index;
    }
    if (wantAudio) {
        AVStream* st = avformat_new_stream(out, nullptr);
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->sample_rate = a.sampleRate > 0 ? a.sampleRate : 48000;
        av_channel_layout_default(&par->ch_layout, a.channels > 0 ? a.channels : 2);
        if (rawAudio) {
            par->codec_id = AV_CODEC_ID_PCM_S16LE;
            par->bits_per_coded_sample = 16;
            par->block_align = 2 * par->ch_layout.nb_channels;
        } else {
            // Sniffed from the first audio packet when the file starts with one, else described.
            par->codec_id = first.getType() == kPacketAudio
                                ? sniffAudioCodec(first.getData(), first.getSize(), description)
                                : sniffAudioCodec(nullptr, 0, description);
            if (par->codec_id == AV_CODEC_ID_MP2) par->frame_size = 1152;
        }
        st->time_base = kMicroseconds;
        audioIndex = st->index;
    }
    int rc = avformat_write_header(out, nullptr);
    if (rc < 0) {
        why = "cannot start " + path + ": " + avError(rc);
        return false;
    }
    return true;
}

int64_t MediaWriter::reorderDts(int64_t pts, int64_t duration) {
    // Decoding times from presentation times: the smallest of the last few presentation times
    // is the next to be decoded.
    if (ptsBuffer.empty()) {
        for (int i = kReorderDelay; i >= 1; --i)
            ptsBuffer.push_back(pts - i * (duration > 0 ? duration : 40000));
    }
    ptsBuffer.push_back(pts);
    std::sort(ptsBuffer.begin(), ptsBuffer.end());
    int64_t dts = ptsBuffer.front();
    ptsBuffer.erase(ptsBuffer.begin());
    return dts;
}

void MediaWriter::packet(SamplePacket& p) {
    std::lock_guard<std::mutex> l(lock);
    if (!error.empty()) return;
    const int type = p.getType();
    if ((type == kPacketVideo && !wantVideo) || (type == kPacketAudio && !wantAudio)) return;
    if (!started || rebase) {
        // A file and every new timeline in it start at a video key frame.
        if (wantVideo && (type != kPacketVideo || !p.isSyncPoint())) {
            ++stats.dropped;
            return;
        }
        if (!started) {
            std::string why;
            if (!openStreams(p, why)) {
                fail(why);
                return;
            }
            started = true;
            offset = kLead - p.getTimestamp();
        } else {
            offset = maxEnd + kGap - p.getTimestamp();
            ptsBuffer.clear();
        }
        rebase = false;
        ++stats.timelines;
    }
    write(p, type);
    progress.notify_all();
}

void MediaWriter::write(SamplePacket& p, int type) {
    const bool video = type == kPacketVideo;
    int64_t duration = p.getDuration() > 0 ? p.getDuration() : 0;
    int64_t pts = p.getTimestamp() + offset;
    int64_t dts = video && !rawVideo ? reorderDts(pts, duration) : pts;
    // By decoding time, so that no picture written needs one that was left out.
    if (dts - kLead >= stopAt) {
        pastStop = true;
        return;
    }
    if (dts <= lastDts[type]) {
        if (!video) {
            ++stats.dropped;
            return;
        }
        dts = lastDts[type] + 1;
        if (pts < dts) pts = dts;
    }
    AVPacket* pkt = av_packet_alloc();
    if (video && rawVideo) {
        RawPicture pic = rawPicture(description);
        const SimpleVideoDescription& v = description.videoDescription;
        if (p.getSize() < pic.frameBytes) {
            ++stats.dropped;
            av_packet_free(&pkt);
            return;
        }
        const int stride = static_cast<int>(pic.frameBytes / v.height);
        const uint8_t* src[4] = {p.getData(), nullptr, nullptr, nullptr};
        int srcStride[4] = {stride, 0, 0, 0};
        if (pic.format == AV_PIX_FMT_YUV420P) {
            src[1] = p.getData() + int64_t{v.width} * v.height;
            src[2] = src[1] + int64_t{v.width} * v.height / 4;
            srcStride[0] = v.width;
            srcStride[1] = srcStride[2] = v.width / 2;
        } else if (pic.bottomUp) {
            src[0] = p.getData() + int64_t{stride} * (v.height - 1);
            srcStride[0] = -stride;
        }
        uint8_t* dst[4];
        int dstStride[4];
        av_image_fill_arrays(dst, dstStride, picture.data(), AV_PIX_FMT_YUV420P, v.width, v.height, 1);
        sws_scale(scaler, src, srcStride, 0, v.height, dst, dstStride);
        av_new_packet(pkt, static_cast<int>(picture.size()));
        std::memcpy(pkt->data, picture.data(), picture.size());
    } else {
        if (p.getSize() <= 0 || p.getData() == nullptr) {
            av_packet_free(&pkt);
            return;
        }
        av_new_packet(pkt, p.getSize());
        std::memcpy(pkt->data, p.getData(), static_cast<size_t>(p.getSize()));
    }
    const int index = video ? videoIndex : audioIndex;
    pkt->stream_index = index;
    pkt->pts = pts;
    pkt->dts = dts;
    pkt->duration = duration;
    if (!video || p.isSyncPoint()) pkt->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(pkt, kMicroseconds, out->streams[index]->time_base);
    int rc = av_interleaved_write_frame(out, pkt);
    av_packet_free(&pkt);
    if (rc < 0) {
        fail("writing " + path + " failed: " + avError(rc));
        return;
    }
    lastDts[type] = dts;
    streamEnd[type] = std::max(streamEnd[type], pts + duration);
    maxEnd = std::max(maxEnd, streamEnd[type]);
    ++(video ? stats.video : stats.audio);
}

void MediaWriter::limit(int64_t us) {
    std::lock_guard<std::mutex> l(lock);
    stopAt = us;
    pastStop = false;
}

void MediaWriter::discontinuity() {
    std::lock_guard<std::mutex> l(lock);
    if (started) rebase = true;
}

void MediaWriter::fail(const std::string& why) {
    if (error.empty()) error = why;
    progress.notify_all();
}

int64_t MediaWriter::written() {
    std::lock_guard<std::mutex> l(lock);
    if (!started) return 0;
    // The file's length is its video's (or, without video, its sound's).
    int64_t end = wantVideo ? streamEnd[kPacketVideo] : streamEnd[kPacketAudio];
    return end > kLead ? end - kLead : 0;
}

bool MediaWriter::waitFor(int64_t us, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> l(lock);
    auto done = [&] {
        int64_t end = wantVideo ? streamEnd[kPacketVideo] : streamEnd[kPacketAudio];
        return !error.empty() || (started && (end - kLead >= us || (pastStop && us >= stopAt)));
    };
    progress.wait_until(l, deadline, done);
    return error.empty() && done();
}

MediaWriter::Counts MediaWriter::counts() {
    std::lock_guard<std::mutex> l(lock);
    return stats;
}

std::string MediaWriter::failure() {
    std::lock_guard<std::mutex> l(lock);
    return error;
}

bool MediaWriter::close(std::string& why) {
    std::lock_guard<std::mutex> l(lock);
    bool ok = error.empty() && started;
    if (started) {
        int rc = av_write_trailer(out);
        if (rc < 0 && ok) {
            error = "finishing " + path + " failed: " + avError(rc);
            ok = false;
        }
    }
    if (out != nullptr && out->pb != nullptr) avio_closep(&out->pb);
    if (!started) {
        if (error.empty())
            error = wantVideo ? "the plug-in delivered no video key frame" : "the plug-in delivered no sound";
        if (!toStdout) std::remove(path.c_str());
    }
    if (!ok) why = error;
    return ok;
}

}  // namespace pelmo::streamer
