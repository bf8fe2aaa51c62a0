// Tune-to-lock and tune-to-first-packet of a real tuner against the air doing the same tune, and
// how fast the transport stream is read from dvr against a plain `cat` of it.
//   linuxtv_bench air CATALOGUE   the air's DVB-T tuner on 474 MHz
//   linuxtv_bench dvb             the first DVB front end on 474 MHz (inside the kernel test VM)
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/linuxtv/DvbTuneParameters.h"
#include "platform/linuxtv/DvbTuner.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 10;

double ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Times one tune from another frequency: to lock and to the first packet read.
template <class Tune, class Locked, class FirstPacket>
void timeTunes(const char* who, Tune tune, Locked locked, FirstPacket firstPacket) {
    std::vector<double> lock, first;
    for (int i = 0; i < kRounds; ++i) {
        tune(false);
        auto t0 = Clock::now();
        if (!tune(true)) {
            std::printf("%s: the tune failed\n", who);
            return;
        }
        auto until = t0 + std::chrono::seconds(20);
        while (!locked() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::microseconds(200));
        lock.push_back(ms(t0, Clock::now()));
        if (!firstPacket(until)) {
            std::printf("%s: no packet\n", who);
            return;
        }
        first.push_back(ms(t0, Clock::now()));
    }
    std::printf("%-5s tune->lock %8.1f ms   tune->first packet %8.1f ms   (median of %d)\n", who,
                median(lock), median(first), kRounds);
}

bool readOne(const std::shared_ptr<AirConsumer>& c, Clock::time_point until) {
    uint8_t packet[188];
    size_t got = 0;
    while (Clock::now() < until) {
        AirConsumer::Read r = c->read(packet, 1, got, 100);
        if (r == AirConsumer::Read::Data && got == 1) return true;
        if (r == AirConsumer::Read::Ended) return false;
    }
    return false;
}

int air(const std::string& catalogue) {
    std::string error;
    std::shared_ptr<AirBroadcast> b = AirBroadcast::open(catalogue, error);
    if (!b) {
        std::fprintf(stderr, "linuxtv_bench: %s\n", error.c_str());
        return 1;
    }
    std::shared_ptr<AirTuner> t = b->tuner(L"Skyvane Virtual DVB-T Tuner");
    if (!t) {
        std::fprintf(stderr, "linuxtv_bench: the catalogue has no \"Skyvane Virtual DVB-T Tuner\"\n");
        return 1;
    }
    timeTunes(
        "air", [&](bool on) { return t->tuneDvbt(on ? 474000 : 490000, 8) >= 0; },
        [&] { return t->signal().locked; },
        [&](Clock::time_point until) {
            std::shared_ptr<AirStream> s = t->stream();
            return s && readOne(s->subscribe(), until);
        });
    return 0;
}

int dvb() {
    std::vector<std::string> problems;
    std::vector<DvbDevice> devices = FindDvbDevices(DvbDeviceRoot(), &problems);
    if (devices.empty()) {
        std::fprintf(stderr, "linuxtv_bench: no DVB front end%s%s\n", problems.empty() ? "" : ": ",
                     problems.empty() ? "" : problems[0].c_str());
        return 1;
    }
    const DvbDevice d = devices[0];
    {
        DvbTuner t(d);
        std::shared_ptr<AirConsumer> reader;
        timeTunes(
            "dvb",
            [&](bool on) {
                bool ok = t.tuneDvbt(on ? 474000 : 482000, 8) >= 0;
                // Subscribed at once, as the pin does, so the first packet is not missed.
                if (ok && on) reader = t.stream()->subscribe();
                return ok;
            },
            [&] { return t.signal().locked; },
            [&](Clock::time_point until) { return readOne(reader, until); });

        // Throughput: everything vidtv sends for 5 s, through the reader thread to one consumer.
        t.tuneDvbt(474000, 8);
        std::shared_ptr<DvbTransportStream> s = t.stream();
        std::shared_ptr<AirConsumer> c = s->subscribe(16384);
        std::vector<uint8_t> buf(1024 * 188);
        uint64_t packets = 0;
        double cpu0 = cpuSeconds(RUSAGE_SELF);
        auto t0 = Clock::now();
        while (Clock::now() - t0 < std::chrono::seconds(5)) {
            size_t got = 0;
            c->read(buf.data(), 1024, got, 100);
            packets += got;
        }
        double secs = ms(t0, Clock::now()) / 1000;
        double cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
        std::printf(
            "dvb   reader: %7.2f MB/s, CPU %5.1f%%, %llu packets lost by the consumer, %llu dvr overflows\n",
            double(packets) * 188 / secs / 1e6, 100 * cpu / secs, (unsigned long long)c->dropped(),
            (unsigned long long)s->overflows());
    }
    // The same 5 s read by cat, with the front end tuned and the demux set the same way.
    DvbFrontend fe;
    std::string error;
    if (!fe.open(d.frontendPath, true, error) ||
        !fe.setProperties(DvbtTuneProperties(DvbtSystemFor(d.systems), 474000, 8, error), error)) {
        std::fprintf(stderr, "linuxtv_bench: %s\n", error.c_str());
        return 1;
    }
    int demux = open(d.demuxPath.c_str(), O_RDWR);
    dmx_pes_filter_params f{};
    f.pid = 0x2000;
    f.input = DMX_IN_FRONTEND;
    f.output = DMX_OUT_TS_TAP;
    f.pes_type = DMX_PES_OTHER;
    f.flags = DMX_IMMEDIATE_START;
    if (demux < 0 || ioctl(demux, DMX_SET_PES_FILTER, &f) != 0) {
        std::fprintf(stderr, "linuxtv_bench: cannot set %s\n", d.demuxPath.c_str());
        return 1;
    }
    std::string cmd = "timeout 5 cat " + d.dvrPath + " | wc -c";
    double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
    auto t0 = Clock::now();
    FILE* p = popen(cmd.c_str(), "r");
    unsigned long long bytes = 0;
    if (!p || std::fscanf(p, "%llu", &bytes) != 1) bytes = 0;
    if (p) pclose(p);
    double secs = ms(t0, Clock::now()) / 1000;
    double cpu = cpuSeconds(RUSAGE_CHILDREN) - cpu0;
    std::printf("cat   dvr0:   %7.2f MB/s, CPU %5.1f%% (cat and wc)\n", double(bytes) / secs / 1e6,
                100 * cpu / secs);
    close(demux);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "air" && argc == 3) return air(argv[2]);
    if (mode == "dvb" && argc == 2) return dvb();
    std::fprintf(stderr, "usage: linuxtv_bench air CATALOGUE | linuxtv_bench dvb\n");
    return 2;
}
