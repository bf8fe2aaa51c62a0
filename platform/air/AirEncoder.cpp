#include "platform/air/AirEncoder.h"

#include <chrono>
#include <cstdint>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "base/Log.h"
#include "platform/air/AirAnalogSource.h"
#include "platform/air/AirTuner.h"
#include "platform/air/AnalogCaptureSource.h"
#include "platform/air/TsPacket.h"

namespace {

std::string averror(int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    return text;
}

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// The muxer's I/O buffer: a few packets, so readers get data as soon as it is multiplexed.
constexpr int kIoBuffer = 188 * 8;
// How long one wait for the next frame may last, so that stop() is seen promptly.
constexpr int kFrameWaitMs = 20;

}  // namespace

struct AirEncoder::Codecs {
    AVFormatContext* mux = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    AVFrame* picture = nullptr;
    AVFrame* sound = nullptr;
    AVPacket* packet = nullptr;
    std::vector<int16_t> pcm;  // interleaved stereo not yet encoded
    int64_t samplesEncoded = 0;

    ~Codecs() {
        av_packet_free(&packet);
        av_frame_free(&sound);
        av_frame_free(&picture);
        avcodec_free_context(&audio);
        avcodec_free_context(&video);
        if (mux) {
            if (mux->pb) {
                av_freep(&mux->pb->buffer);
                avio_context_free(&mux->pb);
            }
            avformat_free_context(mux);
        }
    }

    bool open(const AirEncoderSettings& s, void* owner, std::string& error);
    bool encodePicture(const AirPicture& p, std::string& error);
    // A source without sound gets silence for the frame's share of the time.
    bool encodeSound(const AirPicture& p, bool silent, int framesPerSecond, std::string& error);
    bool drain(std::string& error);

private:
    bool openStream(AVCodecContext* c, uint16_t pid, AVStream*& stream, const char* what, std::string& error);
    bool send(AVCodecContext* c, AVStream* stream, AVFrame* frame, std::string& error);
};

bool AirEncoder::Codecs::openStream(AVCodecContext* c, uint16_t pid, AVStream*& stream, const char* what,
                                    std::string& error) {
    if (mux->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const AVCodec* codec = avcodec_find_encoder(c->codec_id);
    int rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0) {
        error = std::string("cannot open the ") + what + " encoder: " + averror(rc);
        return false;
    }
    stream = avformat_new_stream(mux, nullptr);
    if (!stream) {
        error = std::string("cannot add the ") + what + " stream";
        return false;
    }
    stream->id = pid;
    stream->time_base = c->time_base;
    avcodec_parameters_from_context(stream->codecpar, c);
    return true;
}

bool AirEncoder::Codecs::open(const AirEncoderSettings& s, void* owner, std::string& error) {
    const AVCodec* mpeg2 = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    const AVCodec* mp2 = avcodec_find_encoder(AV_CODEC_ID_MP2);
    if (!mpeg2 || !mp2) {
        error =
            !mpeg2 ? "no MPEG-2 video encoder in libavcodec" : "no MPEG audio layer II encoder in libavcodec";
        return false;
    }
    if (s.width < 16 || s.height < 16 || s.width > 1920 || s.height > 1152 || s.framesPerSecond <= 0 ||
        s.videoBitrate <= 0 || s.audioBitrate <= 0 || s.gopFrames <= 0) {
        error = "unusable encoder settings: " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                " at " + std::to_string(s.framesPerSecond) + " frames per second";
        return false;
    }
    int rc = avformat_alloc_output_context2(&mux, nullptr, "mpegts", nullptr);
    if (rc < 0 || !mux) {
        error = "no MPEG transport stream multiplexer in libavformat";
        return false;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
    mux->pb =
        buffer ? avio_alloc_context(buffer, kIoBuffer, 1, owner, nullptr, &AirEncoder::writePackets, nullptr)
               : nullptr;
    if (!mux->pb) {
        av_free(buffer);
        error = "out of memory";
        return false;
    }
    mux->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    av_dict_set(&mux->metadata, "service_provider", "Skyvane", 0);
    av_dict_set(&mux->metadata, "service_name", "Analog encoder", 0);

    video = avcodec_alloc_context3(mpeg2);
    audio = avcodec_alloc_context3(mp2);
    picture = av_frame_alloc();
    sound = av_frame_alloc();
    packet = av_packet_alloc();
    if (!video || !audio || !picture || !sound || !packet) {
        error = "out of memory";
        return false;
    }
    video->width = s.width & ~1;
    video->height = s.height & ~1;
    video->time_base = AVRational{1, s.framesPerSecond};
    video->framerate = AVRational{s.framesPerSecond, 1};
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->bit_rate = s.videoBitrate;
    video->rc_max_rate = int64_t(s.videoBitrate) * 3 / 2;
    video->rc_buffer_size = int(std::min<int64_t>(int64_t(s.videoBitrate), INT32_MAX));
    video->gop_size = s.gopFrames;
    // No B-frames: a live encoder adds no reordering delay, and every frame's PTS is its DTS.
    video->max_b_frames = 0;
    video->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    // A closed GOP every gopFrames (so late readers start promptly) needs no extra I-frames on
    // cuts; the encoder refuses the two together anyway.
    av_opt_set_int(video, "sc_threshold", 1000000000, AV_OPT_SEARCH_CHILDREN);
    video->thread_count = 1;
    if (!openStream(video, AirEncoder::kVideoPid, videoStream, "MPEG-2 video", error)) return false;

    audio->sample_rate = AirAnalogSource::kSampleRate;
    audio->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&audio->ch_layout, 2);
    audio->bit_rate = s.audioBitrate;
    audio->time_base = AVRational{1, AirAnalogSource::kSampleRate};
    if (!openStream(audio, AirEncoder::kAudioPid, audioStream, "MPEG audio", error)) return false;

    picture->format = video->pix_fmt;
    picture->width = video->width;
    picture->height = video->height;
    sound->format = audio->sample_fmt;
    sound->nb_samples = audio->frame_size;
    sound->sample_rate = audio->sample_rate;
    av_channel_layout_copy(&sound->ch_layout, &audio->ch_layout);
    if (av_frame_get_buffer(picture, 0) < 0 || av_frame_get_buffer(sound, 0) < 0) {
        error = "out of memory";
        return false;
    }

    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "mpegts_pmt_start_pid", AirEncoder::kPmtPid, 0);
    av_dict_set_int(&options, "mpegts_service_id", AirEncoder::kProgramNumber, 0);
    rc = avformat_write_header(mux, &options);
    av_dict_free(&options);
    if (rc < 0) {
        error = "cannot start the transport stream: " + averror(rc);
        return false;
    }
    return true;
}

bool AirEncoder::Codecs::send(AVCodecContext* c, AVStream* stream, AVFrame* frame, std::string& error) {
    int rc = avcodec_send_frame(c, frame);
    if (rc < 0 && rc != AVERROR_EOF) {
        error = "encoding failed: " + averror(rc);
        return false;
    }
    for (;;) {
        rc = avcodec_receive_packet(c, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            error = "encoding failed: " + averror(rc);
            return false;
        }
        av_packet_rescale_ts(packet, c->time_base, stream->time_base);
        packet->stream_index = stream->index;
        rc = av_interleaved_write_frame(mux, packet);
        if (rc < 0) {
            error = "multiplexing failed: " + averror(rc);
            return false;
        }
    }
}

bool AirEncoder::Codecs::encodePicture(const AirPicture& p, std::string& error) {
    if (p.width != picture->width || p.height != picture->height ||
        p.i420.size() < size_t(p.width) * size_t(p.height) * 3 / 2) {
        error = "the tuner's picture does not have the encoder's size";
        return false;
    }
    if (av_frame_make_writable(picture) < 0) {
        error = "out of memory";
        return false;
    }
    const uint8_t* plane = p.i420.data();
    for (int i = 0; i < 3; ++i) {
        int w = i == 0 ? p.width : p.width / 2;
        int h = i == 0 ? p.height : p.height / 2;
        for (int row = 0; row < h; ++row)
            std::memcpy(picture->data[i] + ptrdiff_t(row) * picture->linesize[i], plane + ptrdiff_t(row) * w,
                        size_t(w));
        plane += ptrdiff_t(w) * h;
    }
    picture->pts = p.index;
    return send(video, videoStream, picture, error);
}

bool AirEncoder::Codecs::encodeSound(const AirPicture& p, bool silent, int framesPerSecond,
                                     std::string& error) {
    if (silent) {
        int64_t due = (p.index + 1) * AirAnalogSource::kSampleRate / framesPerSecond;
        int64_t have = samplesEncoded + int64_t(pcm.size() / 2);
        if (due > have) pcm.insert(pcm.end(), size_t(due - have) * 2, int16_t(0));
    } else {
        pcm.insert(pcm.end(), p.pcm.begin(), p.pcm.end());
    }
    size_t frameValues = size_t(sound->nb_samples) * 2;
    size_t used = 0;
    while (pcm.size() - used >= frameValues) {
        if (av_frame_make_writable(sound) < 0) {
            error = "out of memory";
            return false;
        }
        std::memcpy(sound->data[0], pcm.data() + used, frameValues * sizeof(int16_t));
        used += frameValues;
        sound->pts = samplesEncoded;
        samplesEncoded += sound->nb_samples;
        if (!send(audio, audioStream, sound, error)) return false;
    }
    pcm.erase(pcm.begin(), pcm.begin() + ptrdiff_t(used));
    return true;
}

bool AirEncoder::Codecs::drain(std::string& error) {
    // The sound short of a whole audio frame is dropped: less than one frame's length, and a
    // padded frame would carry a click of silence.
    if (!send(video, videoStream, nullptr, error) || !send(audio, audioStream, nullptr, error)) return false;
    int rc = av_write_trailer(mux);
    if (rc < 0) {
        error = "cannot end the transport stream: " + averror(rc);
        return false;
    }
    avio_flush(mux->pb);
    return true;
}

AirEncoder::AirEncoder(std::shared_ptr<AirTuner> tuner, AirEncoderSettings settings)
    : tuner_(tuner),
      source_(tuner ? std::make_shared<AirTunerCapture>(tuner) : nullptr),
      settings_(settings) {}

AirEncoder::AirEncoder(std::shared_ptr<AnalogCaptureSource> source, AirEncoderSettings settings)
    : source_(std::move(source)), settings_(settings) {}

AirEncoder::~AirEncoder() {
    stop(AirEndReason::Stopped);
}

std::string AirEncoder::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void AirEncoder::fail(const std::string& what) {
    std::wstring name = source_ ? source_->captureName() : std::wstring(L"no tuner");
    error(L"[Air] encoder of %s: %s", name.c_str(), wide(what).c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = what;
}

bool AirEncoder::start() {
    std::lock_guard<std::mutex> control(control_);
    if (running_) return true;
    if (thread_.joinable()) thread_.join();  // a thread that ended on an error
    if (!source_) {
        fail("no tuner");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        partial_.clear();
        error_.clear();
    }
    auto codecs = std::make_unique<Codecs>();
    std::string why;
    if (!codecs->open(settings_, this, why) ||
        !source_->startCapture(settings_.width, settings_.height, settings_.framesPerSecond, why)) {
        fail(why);
        return false;
    }
    stopping_ = false;
    running_ = true;
    frames_ = 0;
    thread_ = std::thread(&AirEncoder::run, this, std::move(codecs));
    return true;
}

void AirEncoder::stop(AirEndReason reason) {
    std::lock_guard<std::mutex> control(control_);
    {
        std::lock_guard<std::mutex> lock(napMutex_);
        stopping_ = true;
    }
    nap_.notify_all();
    if (thread_.joinable()) thread_.join();
    running_ = false;
    endReaders(reason);
}

void AirEncoder::endReaders(AirEndReason reason) {
    std::vector<std::weak_ptr<AirConsumer>> readers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        readers.swap(consumers_);
    }
    for (auto& weak : readers)
        if (auto reader = weak.lock()) reader->end(reason);
}

std::shared_ptr<AirConsumer> AirEncoder::subscribe(size_t capacityPackets) {
    auto consumer = std::make_shared<AirConsumer>(capacityPackets);
    std::lock_guard<std::mutex> lock(mutex_);
    consumers_.push_back(consumer);
    return consumer;
}

int AirEncoder::writePackets(void* opaque, uint8_t* data, int size) {
    if (size > 0) static_cast<AirEncoder*>(opaque)->deliver(data, size_t(size));
    return size;
}

void AirEncoder::deliver(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The multiplexer writes whole packets; a short write is held until the rest arrives.
    partial_.insert(partial_.end(), data, data + size);
    size_t count = partial_.size() / tspacket::kSize;
    if (count == 0) return;
    size_t live = 0;
    for (auto& weak : consumers_) {
        auto reader = weak.lock();
        if (!reader || reader->endReason() != AirEndReason::None) continue;
        reader->push(partial_.data(), count);
        consumers_[live++] = weak;
    }
    consumers_.resize(live);
    partial_.erase(partial_.begin(), partial_.begin() + ptrdiff_t(count * tspacket::kSize));
    sent_ += count;
}

void AirEncoder::run(std::unique_ptr<Codecs> codecs) {
    AirPicture picture;
    std::string why;
    bool ok = true;
    bool silent = !source_->hasSound();
    while (ok && !stopping_) {
        auto asked = std::chrono::steady_clock::now();
        AnalogCaptureSource::Next next = source_->nextFrame(picture, kFrameWaitMs, why);
        if (next == AnalogCaptureSource::Next::Failed) {
            ok = false;
            break;
        }
        if (next == AnalogCaptureSource::Next::NotYet) {
            // The next frame is further off than one wait: nap (stop() wakes us) and look again.
            // A source that waited for its device has spent the time already.
            auto until = asked + std::chrono::milliseconds(kFrameWaitMs);
            std::unique_lock<std::mutex> lock(napMutex_);
            nap_.wait_until(lock, until, [this] { return stopping_.load(); });
            continue;
        }
        ok = codecs->encodePicture(picture, why) &&
             codecs->encodeSound(picture, silent, settings_.framesPerSecond, why);
        if (ok) ++frames_;
    }
    source_->stopCapture();
    if (ok) ok = codecs->drain(why);
    if (!ok) {
        fail(why);
        // Readers see the end now rather than at stop(); start() may begin a new stream. A
        // reader that sees its end finds the encoder stopped.
        running_ = false;
        endReaders(AirEndReason::Stopped);
    }
}
