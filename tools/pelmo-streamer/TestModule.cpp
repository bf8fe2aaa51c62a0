// A stand-in input plug-in for the reference host's tests: it answers the host interface with
// synthetic channels instead of a tuner. Channel N of "device://test/#/N" (1-9) shows a flat
// picture of luma 16 + 20 N and a tone; compressed output is MPEG-2 video (with B-frames, so
// packets come in decode order stamped with their presentation time) and MP2 sound, raw output
// YUY2 frames and 16-bit PCM. Its packet queue keeps the plug-in's rules that matter to a host:
// a waiting readFrame wakes only for a packet landing in an empty queue or a stop/close; a
// medium change leaves an end marker and wakes nobody; a seek empties the queue and stamps the
// following samples from the new position. Packets are made as fast as the host reads them.
// "device://test/#/radio" is refused as the plug-in refuses a channel without a picture.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <condition_variable>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "host/InputPluginInterface.h"
#include "host/SimpleSamplePacket.h"
#include "platform/registry/Registry.h"

using namespace pelmo::streamer;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int64_t kFrameUs = 40000;  // 25 fps
constexpr int kSampleRate = 48000;
constexpr int kMp2Samples = 1152;
constexpr int kPcmSamples = 1920;  // 40 ms
constexpr size_t kQueueLimit = 16;
constexpr const char* kFailure = "TV Control input: This device is in use or not supported";

std::mutex g_controlLock;
bool g_hold = false;
int g_waits = 0;
// A reader is inside readFrame's wait; the producer is inside produceOne.
bool g_readerWaiting = false;
bool g_producing = false;
std::condition_variable g_controlChanged;

int32_t readOutputRaw() {
    HKEY key = nullptr;
    DWORD value = 1, size = sizeof value, type = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Kelvarin\\Pelmo\\PelmoTV", 0, KEY_READ, &key) == 0) {
        DWORD v = 0;
        if (RegQueryValueExW(key, L"OutputRaw", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) == 0)
            value = v;
        RegCloseKey(key);
    }
    return static_cast<int32_t>(value);
}

// Encodes one channel's picture and tone from a start time.
class Encoders {
public:
    Encoders(int channel, int64_t startUs) : luma(16 + 20 * channel), videoUs(startUs), audioUs(startUs) {
        video = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO));
        video->width = kWidth;
        video->height = kHeight;
        video->pix_fmt = AV_PIX_FMT_YUV420P;
        video->time_base = {1, 25};
        video->framerate = {25, 1};
        video->gop_size = 12;
        video->max_b_frames = 2;
        video->bit_rate = 400000;
        avcodec_open2(video, nullptr, nullptr);
        audio = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_MP2));
        audio->sample_rate = kSampleRate;
        audio->sample_fmt = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&audio->ch_layout, 2);
        audio->bit_rate = 192000;
        audio->time_base = {1, kSampleRate};
        avcodec_open2(audio, nullptr, nullptr);
    }
    ~Encoders() {
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
    }

    const int luma;
    int64_t videoUs;
    int64_t audioUs;
    int64_t frames = 0;
    int64_t start = 0;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
};

void setProducing(bool on) {
    {
        std::lock_guard<std::mutex> c(g_controlLock);
        g_producing = on;
    }
    g_controlChanged.notify_all();
}

class TestPlugin : public InputPluginInterface {
public:
    TestPlugin() : outputRaw(readOutputRaw()) {}
    ~TestPlugin() override {
        close();
        for (auto* p : queue) p->release();
    }

    void getOutputStreamDescription(StreamDescription& d) override {
        if (!recordingPath.empty()) return;
        VideoStreamDescription& v = d.video();
        AudioStreamDescription& a = d.audio();
        v.setWidth(kWidth);
        v.setHeight(kHeight);
        v.setFrameRate(25.0);
        v.setInterlaced(false);
        a.setSampleRate(kSampleRate);
        a.setChannels(2);
        if (outputRaw) {
            v.setCodecName("raw");
            v.setPixelFormat(5);
            v.setTopDown(true);
            a.setCodecName("raw");
            a.setBitsPerSample(16);
        } else {
            v.setCodecName("mpeg2");
            v.setPixelFormat(4);
            a.setCodecName("mp2");
            a.setBitsPerSample(16);
        }
    }

    bool readFrame(int& type, uint8_t*& data, int& size, int64_t& timestamp, int64_t& duration,
                   SamplePacket*& packet, bool& syncPoint) override {
        std::unique_lock<std::mutex> l(lock);
        if (queue.empty()) {
            {
                std::lock_guard<std::mutex> c(g_controlLock);
                ++g_waits;
                g_readerWaiting = true;
            }
            g_controlChanged.notify_all();
            readerWake.wait(l);
            std::lock_guard<std::mutex> c(g_controlLock);
            g_readerWaiting = false;
        }
        if (!delivering || queue.empty()) {
            type = kPacketNone;
            data = nullptr;
            size = 0;
            timestamp = duration = 0;
            packet = nullptr;
            syncPoint = false;
            return true;
        }
        SimpleSamplePacket* p = queue.front();
        queue.pop_front();
        space.notify_all();
        type = p->getType();
        data = p->getData();
        size = p->getSize();
        timestamp = p->getTimestamp();
        duration = p->getDuration();
        syncPoint = p->isSyncPoint();
        packet = p;
        return true;
    }

    void releaseFrame(int32_t, SamplePacket* packet) override {
        if (packet != nullptr) packet->release();
    }

    bool open(Medium& medium, ErrorReport& report) override {
        int next = channelOf(medium.getPath());
        if (next == 0 && std::strcmp(medium.getPath(), "device://test/#/radio") == 0) {
            // A channel without a picture: refused, with the lines the real module logs for it.
            const char* appdata = std::getenv("PELMO_APPDATA");
            std::string logs = std::string(appdata ? appdata : ".") + "/Kelvarin/Logs";
            std::error_code ignored;
            std::filesystem::create_directories(logs, ignored);
            std::ofstream(logs + "/Skyvane.log", std::ios::app)
                << "2026/12/07 10:00:00.000 [WARN ] - source filter does not have video pin 80004005\n"
                << "2026/12/07 10:00:00.000 [ERROR] - DSInputPlugin::createFileGraph addGrabber failed "
                   "80004005\n";
        }
        if (next == 0) {
            report.setCode(-1);
            report.setMessage(kFailure);
            return false;
        }
        const PropertyMap* props = medium.getProperties();
        const char* rec = props != nullptr ? props->get("recording") : nullptr;
        recordingPath.clear();
        if (rec != nullptr) {
            recordingPath = rec;
            size_t dot = recordingPath.rfind('.');
            recordingPath =
                (dot == std::string::npos ? recordingPath : recordingPath.substr(0, dot)) + ".dvr-ms";
        }
        std::lock_guard<std::mutex> l(lock);
        channel = next;
        startUs = 5000000;  // the live edge of a buffer that has been filling for a while
        if (!producer.joinable()) producer = std::thread([this] { produce(); });
        return true;
    }

    bool updateMedium(Medium& medium, ErrorReport& report) override {
        int next = channelOf(medium.getPath());
        std::unique_lock<std::mutex> l(lock);
        running = false;
        space.notify_all();
        idle.wait(l, [this] { return !producing; });
        for (auto* p : queue) p->release();
        queue.clear();
        auto* marker = new SimpleSamplePacket();
        marker->set(kPacketEndMarker, nullptr, 0, 0, 0, false);
        queue.push_back(marker);
        if (next == 0) {
            report.setCode(-1);
            report.setMessage(kFailure);
            return false;
        }
        channel = next;
        startUs = 0;
        restart = true;
        return true;
    }

    bool close() override {
        {
            std::lock_guard<std::mutex> l(lock);
            delivering = false;
            running = false;
            quit = true;
        }
        space.notify_all();
        readerWake.notify_all();
        if (producer.joinable()) producer.join();
        {
            std::lock_guard<std::mutex> l(lock);
            quit = false;
            channel = 0;
        }
        return true;
    }

    bool start() override {
        std::lock_guard<std::mutex> l(lock);
        delivering = true;
        if (channel == 0) return false;
        running = true;
        space.notify_all();
        if (!recordingPath.empty()) std::ofstream(recordingPath, std::ios::binary) << std::string(4096, 'R');
        return true;
    }

    bool stop() override {
        {
            std::lock_guard<std::mutex> l(lock);
            delivering = false;
            running = false;
        }
        readerWake.notify_all();
        return true;
    }

    bool pause() override { return true; }
    bool resume() override { return true; }

    int getPosition(int64_t& milliseconds) override {
        std::lock_guard<std::mutex> l(lock);
        if (channel == 0) return kPluginFailed;
        milliseconds = position / 1000;
        return kPluginOk;
    }

    int setPosition(int64_t milliseconds) override {
        std::unique_lock<std::mutex> l(lock);
        if (channel == 0) return kPluginFailed;
        running = false;
        space.notify_all();
        idle.wait(l, [this] { return !producing; });
        for (auto* p : queue) p->release();
        queue.clear();
        startUs = milliseconds * 1000;
        restart = true;
        running = true;
        space.notify_all();
        return kPluginOk;
    }

    int setPlaybackRate(int32_t, int32_t) override { return kPluginFailed; }
    int selectTrack(int32_t, int32_t) override { return kPluginFailed; }
    bool isLive() override { return true; }
    void describeMedium(Medium& medium) override {
        if (!recordingPath.empty()) medium.setProperty("recording", recordingPath.c_str());
        medium.setFlagA(1);
        medium.setFlagB(1);
    }
    void setUserData(intptr_t) override {}
    bool isFileBased() override { return false; }
    bool hasDuration() override { return false; }
    bool setOption(intptr_t) override { return false; }
    bool getViewport(intptr_t, intptr_t, intptr_t, intptr_t) override { return false; }
    void notify(intptr_t, intptr_t) override {}

private:
    static int channelOf(const char* path) {
        const std::string prefix = "device://test/#/";
        std::string p = path != nullptr ? path : "";
        // A tuner path opens the first channel, as the plug-in opens a default channel for a scan.
        if (p.rfind("tuner://test/#/", 0) == 0) return 1;
        if (p.compare(0, prefix.size(), prefix) != 0 || p.size() != prefix.size() + 1) return 0;
        char c = p[prefix.size()];
        return c >= '1' && c <= '9' ? c - '0' : 0;
    }

    void push(int type, const uint8_t* bytes, int size, int64_t ts, int64_t dur, bool sync) {
        auto* data = static_cast<uint8_t*>(std::malloc(size));
        std::memcpy(data, bytes, size);
        auto* p = new SimpleSamplePacket();
        p->set(type, data, size, ts, dur, sync);
        std::unique_lock<std::mutex> l(lock);
        if (outputRaw && queue.size() > 30) {
            p->release();
            return;
        }
        bool wasEmpty = queue.empty();
        queue.push_back(p);
        if (wasEmpty) readerWake.notify_one();
        position = ts;
    }

    void produceOne(Encoders& e) {
        bool videoNext = e.videoUs <= e.audioUs;
        if (videoNext) {
            int64_t ts = e.videoUs;
            e.videoUs += kFrameUs;
            if (outputRaw) {
                std::vector<uint8_t> yuy2(kWidth * kHeight * 2);
                for (size_t i = 0; i < yuy2.size(); i += 2) {
                    yuy2[i] = static_cast<uint8_t>(e.luma);
                    yuy2[i + 1] = 128;
                }
                push(kPacketVideo, yuy2.data(), static_cast<int>(yuy2.size()), ts, kFrameUs, true);
                return;
            }
            AVFrame* f = av_frame_alloc();
            f->format = AV_PIX_FMT_YUV420P;
            f->width = kWidth;
            f->height = kHeight;
            av_frame_get_buffer(f, 0);
            for (int y = 0; y < kHeight; ++y) std::memset(f->data[0] + y * f->linesize[0], e.luma, kWidth);
            for (int y = 0; y < kHeight / 2; ++y) {
                std::memset(f->data[1] + y * f->linesize[1], 128, kWidth / 2);
                std::memset(f->data[2] + y * f->linesize[2], 128, kWidth / 2);
            }
            f->pts = e.frames++;
            avcodec_send_frame(e.video, f);
            av_frame_free(&f);
            AVPacket* pkt = av_packet_alloc();
            while (avcodec_receive_packet(e.video, pkt) == 0) {
                push(kPacketVideo, pkt->data, pkt->size, e.start + pkt->pts * kFrameUs, kFrameUs,
                     (pkt->flags & AV_PKT_FLAG_KEY) != 0);
                av_packet_unref(pkt);
            }
            av_packet_free(&pkt);
            return;
        }
        int64_t ts = e.audioUs;
        int samples = outputRaw ? kPcmSamples : kMp2Samples;
        e.audioUs += int64_t{samples} * 1000000 / kSampleRate;
        std::vector<int16_t> pcm(samples * 2);
        for (int i = 0; i < samples; ++i) pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>((i % 48) * 300);
        if (outputRaw) {
            push(kPacketAudio, reinterpret_cast<uint8_t*>(pcm.data()), static_cast<int>(pcm.size() * 2), ts,
                 e.audioUs - ts, true);
            return;
        }
        AVFrame* f = av_frame_alloc();
        f->format = AV_SAMPLE_FMT_S16;
        f->nb_samples = samples;
        f->sample_rate = kSampleRate;
        av_channel_layout_default(&f->ch_layout, 2);
        av_frame_get_buffer(f, 0);
        std::memcpy(f->data[0], pcm.data(), pcm.size() * 2);
        avcodec_send_frame(e.audio, f);
        av_frame_free(&f);
        AVPacket* pkt = av_packet_alloc();
        while (avcodec_receive_packet(e.audio, pkt) == 0) {
            push(kPacketAudio, pkt->data, pkt->size, ts, e.audioUs - ts, true);
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }

    void produce() {
        std::unique_ptr<Encoders> enc;
        std::unique_lock<std::mutex> l(lock);
        for (;;) {
            // Polled while held: the hold is switched from outside the object.
            space.wait_for(l, std::chrono::milliseconds(5), [this] {
                std::lock_guard<std::mutex> c(g_controlLock);
                return quit || (running && !g_hold && queue.size() < kQueueLimit);
            });
            if (quit) return;
            if (!running || queue.size() >= kQueueLimit) continue;
            {
                // Checked and claimed in one step, so a hold never lets one more packet through.
                std::lock_guard<std::mutex> c(g_controlLock);
                if (g_hold) continue;
                g_producing = true;
            }
            if (restart || !enc) {
                enc = std::make_unique<Encoders>(channel, startUs);
                enc->start = startUs;
                restart = false;
            }
            producing = true;
            l.unlock();
            produceOne(*enc);
            l.lock();
            producing = false;
            setProducing(false);
            idle.notify_all();
        }
    }

    const int32_t outputRaw;
    std::mutex lock;
    std::condition_variable readerWake;  // the plug-in's packet queue condition
    std::condition_variable space;
    std::condition_variable idle;
    std::deque<SimpleSamplePacket*> queue;
    std::thread producer;
    int channel = 0;
    int64_t startUs = 0;
    int64_t position = 0;
    bool restart = true;
    bool running = false;
    bool producing = false;
    bool delivering = false;
    bool quit = false;
    std::string recordingPath;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) InputPluginInterface* InputPluginFactory() {
    return new TestPlugin();
}

// Test controls. Holding stops the synthetic signal, so a reader waits in readFrame.
extern "C" __attribute__((visibility("default"))) void TestModuleHold(int hold) {
    {
        std::lock_guard<std::mutex> l(g_controlLock);
        g_hold = hold != 0;
    }
    g_controlChanged.notify_all();
}

// How many readFrame calls found the queue empty and began to wait.
extern "C" __attribute__((visibility("default"))) int TestModuleWaits() {
    std::lock_guard<std::mutex> l(g_controlLock);
    return g_waits;
}

// Waits until at least count readFrame calls have begun to wait; false after timeoutMs.
extern "C" __attribute__((visibility("default"))) int TestModuleAwaitWaits(int count, int timeoutMs) {
    std::unique_lock<std::mutex> l(g_controlLock);
    return g_controlChanged.wait_for(l, std::chrono::milliseconds(timeoutMs),
                                     [count] { return g_waits >= count; })
               ? 1
               : 0;
}

// Waits until a reader sits in readFrame's wait with nothing on its way: the signal is held and
// the producer idle, so only a stop or close can wake it. False after timeoutMs.
extern "C" __attribute__((visibility("default"))) int TestModuleAwaitStuckReader(int timeoutMs) {
    std::unique_lock<std::mutex> l(g_controlLock);
    return g_controlChanged.wait_for(l, std::chrono::milliseconds(timeoutMs),
                                     [] { return g_hold && g_readerWaiting && !g_producing; })
               ? 1
               : 0;
}
