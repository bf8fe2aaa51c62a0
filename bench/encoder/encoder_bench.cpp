// CPU time of an analog card's encoder per stream-second, side by side with the ffmpeg
// command-line tool encoding the same raw pictures and sound with the same codecs and settings
// (MPEG-2 video without B-frames, closed 12-frame GOPs, MP2 at 192 kbit/s, one thread, into an
// MPEG transport stream).
//
//   encoder_bench [seconds]          (default 10 s of stream per run; each figure best of 3)
//
// The encoder's figure includes drawing the card (the raw source); that cost alone is shown too,
// so the encoding itself can be compared with ffmpeg's. The air runs at its top speed, so the
// encoder works flat out instead of waiting for frames.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/air/AirAnalogSource.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirEncoder.h"
#include "platform/air/AirTuner.h"

namespace {

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double cpuSelf() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

struct Size {
    const char* name;
    int width, height, videoBitrate;
};

std::shared_ptr<AirTuner> tunedTuner(const std::shared_ptr<AirBroadcast>& air) {
    auto tuner = air->tuner(L"Skyvane Virtual Analog Tuner A");
    if (!tuner || tuner->tuneAnalog(5) != 0) return nullptr;
    while (!tuner->signal().locked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return tuner;
}

// CPU seconds for `frames` frames through the encoder, every packet read by one reader.
double runEncoder(const std::shared_ptr<AirTuner>& tuner, const AirEncoderSettings& s, int frames,
                  uint64_t& bytes) {
    AirEncoder encoder(tuner, s);
    auto reader = encoder.subscribe(1 << 16);
    double before = cpuSelf();
    if (!encoder.start()) {
        std::fprintf(stderr, "encoder: %s\n", encoder.lastError().c_str());
        return -1;
    }
    std::vector<uint8_t> chunk(512 * 188);
    bytes = 0;
    while (encoder.framesEncoded() < frames) {
        size_t got = 0;
        reader->read(chunk.data(), 512, got, 5);
        bytes += got * 188;
    }
    encoder.stop();
    for (size_t got = 0; reader->read(chunk.data(), 512, got, 0) == AirConsumer::Read::Data;)
        bytes += got * 188;
    return cpuSelf() - before;
}

// CPU seconds for drawing the raw pictures and sound alone; writes them to files for ffmpeg.
double runSource(const std::shared_ptr<AirTuner>& tuner, const AirEncoderSettings& s, int frames,
                 const std::string& video, const std::string& audio) {
    AirAnalogSource source(tuner, s.width, s.height, s.framesPerSecond);
    AirPicture p;
    double cpu = 0;
    std::ofstream v(video, std::ios::binary), a(audio, std::ios::binary);
    for (int i = 0; i < frames; ++i) {
        double before = cpuSelf();
        source.next(p, 1000);
        cpu += cpuSelf() - before;
        if (!video.empty()) {
            v.write(reinterpret_cast<const char*>(p.i420.data()), std::streamsize(p.i420.size()));
            a.write(reinterpret_cast<const char*>(p.pcm.data()), std::streamsize(p.pcm.size() * 2));
        }
    }
    return cpu;
}

// CPU time of one ffmpeg run (user + system), or a negative number when it failed. With
// `firstSecondOnly` it encodes one second of the input: its start-up cost.
double runFfmpeg(const AirEncoderSettings& s, const std::string& video, const std::string& audio,
                 const std::string& out, bool firstSecondOnly) {
    std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
    std::string fps = std::to_string(s.framesPerSecond);
    std::string rate = std::to_string(s.videoBitrate), maxRate = std::to_string(s.videoBitrate * 3 / 2);
    std::string gop = std::to_string(s.gopFrames), audioRate = std::to_string(s.audioBitrate);
    pid_t pid = fork();
    if (pid == 0) {
        // clang-format off
        std::vector<const char*> args{
            "ffmpeg", "-nostdin", "-loglevel", "error",
            "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size.c_str(), "-r", fps.c_str(), "-i", video.c_str(),
            "-f", "s16le", "-ar", "48000", "-ac", "2", "-i", audio.c_str(),
            "-t", firstSecondOnly ? "1" : "100000", "-map", "0:v", "-map", "1:a", "-threads", "1",
            "-c:v", "mpeg2video", "-b:v", rate.c_str(), "-maxrate", maxRate.c_str(), "-bufsize", rate.c_str(),
            "-g", gop.c_str(), "-bf", "0", "-flags", "+cgop", "-sc_threshold", "1000000000",
            "-c:a", "mp2", "-b:a", audioRate.c_str(), "-f", "mpegts", "-y", out.c_str(), nullptr};
        // clang-format on
        execvp("ffmpeg", const_cast<char* const*>(args.data()));
        _exit(127);
    }
    int status = 0;
    rusage r{};
    if (pid < 0 || wait4(pid, &status, 0, &r) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

// Runs the encoder at the air's normal speed for `wallSeconds` and reports whether it kept up
// (frames encoded against frames due) and what it cost while it mostly waited for frames.
void realTime(const std::shared_ptr<AirBroadcast>& air, double wallSeconds) {
    air->setSpeed(1.0);
    auto tuner = tunedTuner(air);
    AirEncoder encoder(tuner);  // default settings: 720x576, 25 frames per second
    auto reader = encoder.subscribe(1 << 16);
    double before = cpuSelf();
    auto start = std::chrono::steady_clock::now();
    if (!encoder.start()) return;
    std::vector<uint8_t> chunk(512 * 188);
    uint64_t packets = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(wallSeconds)) {
        size_t got = 0;
        reader->read(chunk.data(), 512, got, 10);
        packets += got;
    }
    int64_t frames = encoder.framesEncoded();
    double cpu = cpuSelf() - before;
    encoder.stop();
    std::printf(
        "real time, 720x576 at speed 1 for %.0f s: %lld frames of %.0f due, %.1f%% of a core, %.2f Mbit/s\n",
        wallSeconds, static_cast<long long>(frames), wallSeconds * 25, 100 * cpu / wallSeconds,
        double(packets) * 188 * 8 / wallSeconds / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    double streamSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (argc > 2 || !(streamSeconds >= 2 && streamSeconds <= 600)) {
        std::fprintf(stderr, "usage: %s [seconds of stream per run, 2 to 600; default 10]\n", argv[0]);
        return 2;
    }
    std::string catalogue = SKYVANE_DEMO_CATALOGUE;
    std::string error;
    auto air = AirBroadcast::open(catalogue, error);
    if (!air) {
        std::fprintf(stderr, "cannot open the demo broadcast %s: %s\n", catalogue.c_str(), error.c_str());
        return 1;
    }
    air->setSpeed(1000.0);
    auto tuner = tunedTuner(air);
    if (!tuner) {
        std::fprintf(stderr, "cannot tune the demo broadcast's analog channel 5\n");
        return 1;
    }
    auto dir = std::filesystem::temp_directory_path() / ("encoder_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string video = (dir / "raw.yuv").string(), audio = (dir / "raw.pcm").string();
    std::string out = (dir / "ffmpeg.ts").string();

    std::printf("CPU ms per stream-second, MPEG-2 video + MP2 into MPEG-TS, one thread (best of 3)\n");
    std::printf("%-8s %7s %7s %8s %8s %8s %8s %9s %6s\n", "size", "Mbit/s", "ffMbit/s", "source", "encoder",
                "enc-src", "ffmpeg", "ff-margin", "ratio");
    const Size sizes[] = {
        {"720x576", 720, 576, 4000000}, {"352x288", 352, 288, 1500000}, {"176x144", 176, 144, 800000}};
    int status = 0;
    for (const Size& size : sizes) {
        AirEncoderSettings s;
        s.width = size.width;
        s.height = size.height;
        s.videoBitrate = size.videoBitrate;
        int frames = int(streamSeconds * s.framesPerSecond);
        double source = runSource(tuner, s, frames, video, audio);
        double encoder = 1e9, ffmpeg = 1e9, ffmpegFirst = 1e9, sourceBest = source;
        uint64_t bytes = 0;
        for (int run = 0; run < 3; ++run) {
            encoder = std::min(encoder, runEncoder(tuner, s, frames, bytes));
            sourceBest = std::min(sourceBest, runSource(tuner, s, frames, "", ""));
            double ff = runFfmpeg(s, video, audio, out, false);
            double first = runFfmpeg(s, video, audio, out + ".1s", true);
            ffmpegFirst = std::min(ffmpegFirst, first);
            if (ff < 0 || first < 0) {
                std::fprintf(stderr, "ffmpeg failed (is it installed?)\n");
                status = 1;
                break;
            }
            ffmpeg = std::min(ffmpeg, ff);
        }
        if (status != 0 || encoder < 0) break;
        double k = 1000 / streamSeconds;
        // ffmpeg's start-up (probing, opening) is not per stream-second: its marginal cost is
        // what the seconds after the first one take.
        double marginal = (ffmpeg - ffmpegFirst) / (streamSeconds - 1);
        double ffmpegMbits = double(std::filesystem::file_size(out)) * 8 / streamSeconds / 1e6;
        std::printf("%-8s %7.2f %7.2f %8.1f %8.1f %8.1f %8.1f %9.1f %6.2f\n", size.name,
                    double(bytes) * 8 / streamSeconds / 1e6, ffmpegMbits, k * sourceBest, k * encoder,
                    k * (encoder - sourceBest), k * ffmpeg, 1000 * marginal,
                    (encoder - sourceBest) * k / (1000 * marginal));
    }
    std::printf(
        "source: drawing the card and tone; enc-src: the encoder's own work; ffmpeg: whole runs;\n"
        "ff-margin: ffmpeg without its start-up (seconds after the first); ratio: enc-src / ff-margin\n");
    std::filesystem::remove_all(dir);
    if (status == 0) realTime(air, 4.0);
    return status;
}
