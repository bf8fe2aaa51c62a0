// One sample's trip from a grabber's sampleCallBack to the host's readFrame, with a video and
// an audio producer and one reader, side by side with a plain std::mutex +
// std::condition_variable + std::deque queue doing the same hand-over.
//
//   queue_bench [samples per producer] [pacing in microseconds, 0 = flood]
//
// Reports packets per second over the whole run and the median and 99th percentile of the
// hand-over latency (sample handed in until the reader holds its packet).
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
    std::sort(latencies.begin(), latencies.end());
    Result r;
    r.packetsPerSecond = latencies.size() / seconds;
    r.medianUs = latencies[latencies.size() / 2] / 1000.0;
    r.p99Us = latencies[latencies.size() * 99 / 100] / 1000.0;
    return r;
}

void print(const char* name, const Result& r) {
    std::printf("%-28s %12.0f packets/s   median %9.1f us   p99 %9.1f us\n", name, r.packetsPerSecond,
                r.medianUs, r.p99Us);
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

    for (int round = 0; round < 2; ++round) {
        SkyvanePlugin plugin{SkyvaneParts{}};
        plugin.start();  // no TV control to run, but delivery is on
        Result skyvane = run(
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
            });
        PeerQueue peer;
        Result plain = run(
            perProducer, pacingUs,
            [&](LONG stream, BYTE* data, REFERENCE_TIME start, REFERENCE_TIME end) {
                peer.push(stream, data, start, end);
            },
            [&]() -> SamplePacket* { return peer.pop(); });
        std::printf("round %d\n", round + 1);
        print("  SkyvanePlugin queue", skyvane);
        print("  mutex+condvar+deque peer", plain);
    }
    return 0;
}
