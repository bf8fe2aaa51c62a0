// One sample's trip from a grabber's sampleCallBack to the host's readFrame, with a video and
// an audio producer and one reader, side by side with a plain std::mutex +
// std::condition_variable + std::deque queue doing the same hand-over.
//
//   queue_bench [samples per producer] [pacing in microseconds, 0 = flood]
//
// Reports packets per second over the whole run, the CPU time of the process per packet, and
// the median and 99th percentile of the hand-over latency (sample handed in until the reader
// holds its packet); the last lines are "result" lines for the benchmark table of make bench.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/CRegistry.h"
#include "host/SimpleSamplePacket.h"
#include "plugin/ScratchFolder.h"
#include "plugin/SkyvanePlugin.h"

using Clock = std::chrono::steady_clock;
using pelmo::streamer::SamplePacket;
using pelmo::streamer::SimpleSamplePacket;

namespace {

constexpr int kSampleBytes = 4096;

// CPU time of the whole process: on a shared machine it says more than the wall clock, which
// also counts the time other programs held the cores.
double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The sample's bytes carry the moment it was handed in.
BYTE* makeSample() {
    auto* data = static_cast<BYTE*>(std::malloc(kSampleBytes));
    const int64_t t = nowNs();
    std::memcpy(data, &t, sizeof t);
    return data;
}

// The peer: the textbook hand-over between threads.
class PeerQueue {
public:
    void push(LONG stream, BYTE* data, REFERENCE_TIME start, REFERENCE_TIME end) {
        auto* p = new SimpleSamplePacket();
        p->set(stream, data, kSampleBytes, start / 10, (end - start) / 10, false);
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(p);
        }
        ready.notify_one();
    }
    SimpleSamplePacket* pop() {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [this] { return !queue.empty(); });
        SimpleSamplePacket* p = queue.front();
        queue.pop_front();
        return p;
    }

private:
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<SimpleSamplePacket*> queue;
};

struct Result {
    double packetsPerSecond = 0;
    double cpuNsPerPacket = 0;  // every thread of the process, user and system
    double medianUs = 0;
    double p99Us = 0;
};

template <class Push, class Pop>
Result run(int perProducer, int pacingUs, Push push, Pop pop) {
    auto producer = [&](LONG stream) {
        auto next = Clock::now();
        for (int i = 0; i < perProducer; ++i) {
            if (pacingUs > 0) {
                next += std::chrono::microseconds(pacingUs);
                std::this_thread::sleep_until(next);
            }
            REFERENCE_TIME start = i * 400000LL;
            push(stream, makeSample(), start, start + 400000);
        }
    };
    std::vector<int64_t> latencies;
    latencies.reserve(2 * perProducer);
    const double cpuBefore = cpuSeconds();
    const auto began = Clock::now();
    std::thread video(producer, 1);
    std::thread audio(producer, 0);
    while (static_cast<int>(latencies.size()) < 2 * perProducer) {
        SamplePacket* p = pop();
        if (p == nullptr) continue;
        int64_t sent;
        std::memcpy(&sent, p->getData(), sizeof sent);
        latencies.push_back(nowNs() - sent);
        p->release();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    video.join();
    audio.join();
    const double cpu = cpuSeconds() - cpuBefore;
    std::sort(latencies.begin(), latencies.end());
    Result r;
    r.packetsPerSecond = latencies.size() / seconds;
    r.cpuNsPerPacket = cpu * 1e9 / latencies.size();
    r.medianUs = latencies[latencies.size() / 2] / 1000.0;
    r.p99Us = latencies[latencies.size() * 99 / 100] / 1000.0;
    return r;
}

// Each figure's median over the rounds, taken on its own.
Result median(std::vector<Result> rounds) {
    auto mid = [&](double Result::*field) {
        std::vector<double> v;
        for (const Result& r : rounds) v.push_back(r.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Result r;
    r.packetsPerSecond = mid(&Result::packetsPerSecond);
    r.cpuNsPerPacket = mid(&Result::cpuNsPerPacket);
    r.medianUs = mid(&Result::medianUs);
    r.p99Us = mid(&Result::p99Us);
    return r;
}

void print(const char* name, const Result& r) {
    std::printf("%-28s %10.0f packets/s %8.0f CPU ns/packet   latency median %9.1f us  p99 %9.1f us\n", name,
                r.packetsPerSecond, r.cpuNsPerPacket, r.medianUs, r.p99Us);
}

}  // namespace

int main(int argc, char** argv) {
    const int perProducer = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;
    const int pacingUs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;

    // Settings and the log go to a scratch folder; compressed output so no sample is dropped.
    ScratchFolder scratch("skyvane_queue_bench");
    if (scratch.get().empty()) return 1;
    CRegistry::getInstance()->writeDWORD(L"Software\\Kelvarin\\Pelmo\\PelmoTV", L"OutputRaw", 0);

    std::printf("%d samples of %d bytes per producer, %s\n", perProducer, kSampleBytes,
                pacingUs > 0 ? ("one every " + std::to_string(pacingUs) + " us").c_str() : "flooding");

    // Rounds alternate between the two so that both meet the same machine load, and which goes
    // first alternates too: the first run of a round grows the heap that the second one reuses.
    // The median round of each is reported.
    constexpr int kRounds = 6;
    std::vector<Result> ours, peers;
    auto runOurs = [&] {
        SkyvanePlugin plugin{SkyvaneParts{}};
        plugin.start();  // no TV control to run, but delivery is on
        ours.push_back(run(
            perProducer, pacingUs,
            [&](LONG stream, BYTE* data, REFERENCE_TIME start, REFERENCE_TIME end) {
                plugin.sampleCallBack(data, kSampleBytes, 0, &start, &end, 0, 0, stream);
            },
            [&]() -> SamplePacket* {
                int type, size;
                uint8_t* data;
                int64_t timestamp, duration;
                SamplePacket* packet;
                bool sync;
                plugin.readFrame(type, data, size, timestamp, duration, packet, sync);
                return packet;
            }));
    };
    auto runPeer = [&] {
        PeerQueue peer;
        peers.push_back(run(
            perProducer, pacingUs,
            [&](LONG stream, BYTE* data, REFERENCE_TIME start, REFERENCE_TIME end) {
                peer.push(stream, data, start, end);
            },
            [&]() -> SamplePacket* { return peer.pop(); }));
    };
    for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) {
            runOurs();
            runPeer();
        } else {
            runPeer();
            runOurs();
        }
        std::printf("round %d\n", round + 1);
        print("  SkyvanePlugin queue", ours.back());
        print("  mutex+condvar+deque peer", peers.back());
    }
    const Result a = median(ours), b = median(peers);
    std::printf("median of %d rounds\n", kRounds);
    print("  SkyvanePlugin queue", a);
    print("  mutex+condvar+deque peer", b);
    std::printf("result\tsample hand-over\t%.0f\t%.0f\tpackets/s\thigher\n", a.packetsPerSecond,
                b.packetsPerSecond);
    std::printf("result\tsample hand-over, CPU\t%.0f\t%.0f\tns/packet\tlower\n", a.cpuNsPerPacket,
                b.cpuNsPerPacket);
    std::printf("result\thand-over latency, median\t%.2f\t%.2f\tus\tlower\n", a.medianUs, b.medianUs);
    return 0;
}
