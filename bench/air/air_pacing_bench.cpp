// Pacing of a live air stream against its PCR, side by side with ffmpeg's real-time reader
// (-readrate) copying the same clip: how close each gets to the wanted rate, and the CPU it
// spends doing so.
//
//   air_pacing_bench [clip.ts] [broadcast seconds]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/air/AirStream.h"
#include "platform/air/TsPacket.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double rate;    // broadcast seconds per wall second
    double cpu;     // CPU seconds per wall second
    double lateMs;  // worst lateness of a PCR packet against its schedule
};

Result runAir(const std::shared_ptr<const AirClip>& clip, double speed, double seconds) {
    double cpu0 = cpuSeconds(RUSAGE_SELF);
    AirStream stream(clip, speed, 0, 0);
    auto reader = stream.subscribe(1 << 15);
    std::vector<uint8_t> buf(188 * 512);
    int64_t first = -1, pcr = 0, last = 0;
    Clock::time_point start, end;
    double late = 0;
    while (last - first < int64_t(seconds * 27e6) || first < 0) {
        size_t got = 0;
        if (reader->read(buf.data(), 512, got, 5000) != AirConsumer::Read::Data) break;
        auto now = Clock::now();
        for (size_t i = 0; i < got; ++i) {
            const uint8_t* p = buf.data() + i * 188;
            if (tspacket::pid(p) != clip->pcrPid() || !tspacket::readPcr(p, pcr)) continue;
            if (first < 0) {
                first = pcr;
                start = now;
            }
            last = pcr;
            end = now;
            double want = double(pcr - first) / 27e6 / speed;
            double got_ = std::chrono::duration<double>(now - start).count();
            late = std::max(late, (got_ - want) * 1000.0);
        }
    }
    double wall = std::chrono::duration<double>(end - start).count();
    double cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    return {double(last - first) / 27e6 / wall, cpu / wall, late};
}

Result runFfmpeg(const std::string& clip, double clipSeconds, double speed, double seconds) {
    int loops = int(seconds / clipSeconds + 0.999) - 1;
    std::string cmd = "ffmpeg -nostdin -loglevel error -readrate " + std::to_string(speed) +
                      " -stream_loop " + std::to_string(loops) + " -i '" + clip +
                      "' -map 0 -c copy -f mpegts -y /dev/null";
    double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
    auto start = Clock::now();
    int rc = std::system(cmd.c_str());
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != 0) return {0, 0, 0};
    return {double(loops + 1) * clipSeconds / wall, (cpuSeconds(RUSAGE_CHILDREN) - cpu0) / wall, 0};
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : SKYVANE_DEMO_CLIP;
    double seconds = argc > 2 ? std::atof(argv[2]) : 6.0;
    std::string error;
    auto clip = AirClip::load(path, 0, error);
    if (!clip) {
        std::fprintf(stderr, "air_pacing_bench: %s\n", error.c_str());
        return 1;
    }
    double clipSeconds = double(clip->loopTicks()) / 27e6;
    std::printf("clip %s: %.3f s, %.0f kbit/s, %zu packets\n", path.c_str(), clipSeconds,
                clip->bitrate() / 1000, clip->packetCount());
    std::printf("%-8s %-6s %12s %10s %12s %10s\n", "who", "speed", "rate/speed", "error %", "worst late",
                "CPU %");
    for (double speed : {1.0, 8.0}) {
        double span = seconds * speed;
        Result a = runAir(clip, speed, span);
        std::printf("%-8s %-6.0f %12.4f %+10.2f %10.1fms %10.2f\n", "air", speed, a.rate / speed,
                    (a.rate / speed - 1) * 100, a.lateMs, a.cpu * 100);
        Result f = runFfmpeg(path, clipSeconds, speed, span);
        if (f.rate > 0)
            std::printf("%-8s %-6.0f %12.4f %+10.2f %12s %10.2f\n", "ffmpeg", speed, f.rate / speed,
                        (f.rate / speed - 1) * 100, "-", f.cpu * 100);
        else
            std::printf("%-8s %-6.0f (ffmpeg not available)\n", "ffmpeg", speed);
    }
    return 0;
}
