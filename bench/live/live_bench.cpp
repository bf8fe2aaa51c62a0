// Live TV delivery through the plug-in object and its read-back graph:
//
//   live_bench [zap|cpu|memory|all] [memory stream-minutes]     (default all, 10 minutes)
//
// 1. Zap: wall time from open to the first video packet and to the first key frame, per
//    channel kind and output mode, against the limit the stream sets: from the open until
//    the first key frame after the tune has reached the time-shift buffer. Air at real time.
// 2. CPU per stream-second of delivery (open, start, a reader taking every packet) over a
//    buffer written beforehand, compressed and raw, against ffmpeg demuxing (and decoding to
//    YUYV 4:2:2 and 16-bit PCM) the same buffer segments. Best of 3.
// 3. Memory: resident size while the plug-in delivers from the air at x8 for the given stream
//    minutes; growth after the first minute, against 5 MB and against ffmpeg decoding the same
//    programme at the same rate. Beside it the C library's heap in use and held tell a queue
//    that grows from memory the allocator keeps (LIVE_BENCH_TRIM=1 trims it before each look).
// The TV control is a stand-in that does what the TV control does with the air: tune the demo
// air and run a stream-buffer sink on it.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/TempFolder.h"
#include "host/SimpleMedium.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/graph/GraphClasses.h"
#include "platform/registry/Registry.h"
#include "platform/sbe/BufferManifest.h"
#include "platform/sbe/SbeClasses.h"
#include "platform/sbe/StreamBufferSink.h"
#include "plugin/BufferReadBackGraph.h"
#include "plugin/SkyvanePlugin.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kSecond = 10000000;
const std::string kCatalogue = std::string(SKYVANE_DEMO_DIR) + "/broadcast.xml";

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}
double cpuSelf() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}
double since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double runTool(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<const char*> argv;
        for (auto& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    rusage r{};
    if (pid < 0 || wait4(pid, &status, 0, &r) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

long residentKB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// The C library's view of its heap: bytes handed out, and bytes it holds from the system.
struct HeapFigures {
    long inUseKB;
    long heldKB;
};
HeapFigures heapFigures() {
    struct mallinfo2 m = mallinfo2();
    return {long((m.uordblks + m.hblkhd) / 1024), long((m.arena + m.hblkhd) / 1024)};
}

void setOutputRaw(bool raw) {
    HKEY key = nullptr;
    RegCreateKeyW(HKEY_LOCAL_MACHINE, L"Software\\Kelvarin\\Pelmo\\PelmoTV", &key);
    DWORD value = raw ? 1 : 0;
    RegSetValueExW(key, L"OutputRaw", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

struct Channel {
    const char* kind;
    const char* path;
    const wchar_t* tuner;
    int value;
    ProgramChoice choice;
};
const Channel kChannels[] = {
    {"DVB-T",
     "device://tv.channel.dvbt/#/474000/8/8916/4100/4164",
     L"Skyvane Virtual DVB-T Tuner",
     474000,
     {4164, -1, -1}},
    {"ATSC", "device://tv.channel.atsc/#/22/22/2", L"Skyvane Virtual ATSC Tuner", 22, {-1, 22, 2}},
    {"analog", "device://tv.channel.analog/#/3", L"Skyvane Virtual Analog Tuner A", 3, {}},
};

// Hands over a buffer written beforehand.
class WrittenBufferControl : public TVControl {
public:
    explicit WrittenBufferControl(std::wstring buffer) : buffer(std::move(buffer)) {}
    HRESULT StartTimeShift(const std::wstring&, std::wstring& bufferPath) override {
        bufferPath = buffer;
        return S_OK;
    }
    HRESULT setTVChannel(const std::wstring&) override { return S_OK; }
    HRESULT runTVControl() override { return S_OK; }
    HRESULT CreateRecording(const std::wstring&) override { return E_NOTIMPL; }
    HRESULT CheckReleased(bool) override { return S_OK; }
    HRESULT stopTVControl() override { return S_OK; }
    HRESULT stopTimeShift() override { return S_OK; }

private:
    std::wstring buffer;
};

// Tunes the air and writes the programme into a buffer of its own, as the TV control does; it
// notes when the first key frame after the tune reached the buffer.
class AirControl : public TVControl {
public:
    AirControl(const Channel& channel, double speed, std::string buffer)
        : channel(channel), speed(speed), buffer(std::move(buffer)) {}
    ~AirControl() override { stopTimeShift(); }
    HRESULT StartTimeShift(const std::wstring&, std::wstring& bufferPath) override {
        std::string error;
        air = AirBroadcast::open(kCatalogue, error);
        if (!air) return E_FAIL;
        air->setSpeed(speed);
        tuner = air->tuner(channel.tuner);
        if (!tuner) return E_FAIL;
        if (channel.value == 474000)
            tuner->tuneDvbt(channel.value, 8);
        else if (channel.value == 22)
            tuner->tuneAtsc(channel.value);
        else
            tuner->tuneAnalog(channel.value);
        sink.Attach(CreateComObject<StreamBufferSink>());
        std::wstring wide(buffer.begin(), buffer.end());
        CComBSTR name(wide.c_str());
        sink->put_SinkName(name.m_str);
        sink->SelectProgram(channel.choice);
        sink->AttachAir(tuner->stream());
        bufferPath = wide;
        watcher = std::thread([this] {
            while (!stopping) {
                BufferManifest m;
                std::string why;
                if (BufferManifest::read(buffer, m, why) && !m.segments.empty() &&
                    !BufferManifest::readIndex(BufferManifest::indexPath(buffer, m.segments.front().number))
                         .empty()) {
                    firstKey = Clock::now();
                    keySeen = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        return S_OK;
    }
    HRESULT setTVChannel(const std::wstring&) override { return S_OK; }
    HRESULT runTVControl() override { return S_OK; }
    HRESULT CreateRecording(const std::wstring&) override { return E_NOTIMPL; }
    HRESULT CheckReleased(bool) override { return S_OK; }
    HRESULT stopTVControl() override { return S_OK; }
    HRESULT stopTimeShift() override {
        stopping = true;
        if (watcher.joinable()) watcher.join();
        if (sink) sink->DetachAir();
        sink = nullptr;
        return S_OK;
    }

    std::atomic<bool> keySeen{false};
    Clock::time_point firstKey;

private:
    const Channel& channel;
    double speed;
    std::string buffer;
    std::shared_ptr<AirBroadcast> air;
    // The tuner plays while someone holds it.
    std::shared_ptr<AirTuner> tuner;
    ComPtr<StreamBufferSink> sink;
    std::thread watcher;
    std::atomic<bool> stopping{false};
};

std::unique_ptr<ReadBackGraph> readBackGraph() {
    return std::make_unique<BufferReadBackGraph>();
}

// Takes every packet on a thread of its own, as the host's reader does.
class Reader {
public:
    explicit Reader(SkyvanePlugin& plugin) : plugin(plugin) {
        thread = std::thread([this] {
            while (!done) {
                int type = 0, size = 0;
                uint8_t* data = nullptr;
                int64_t timestamp = 0, duration = 0;
                pelmo::streamer::SamplePacket* packet = nullptr;
                bool sync = false;
                this->plugin.readFrame(type, data, size, timestamp, duration, packet, sync);
                if (!packet) continue;
                if (type == 1) {
                    if (!firstVideo.load()) {
                        firstVideoAt = Clock::now();
                        firstVideo = true;
                    }
                    if (sync && !firstKey.load()) {
                        firstKeyAt = Clock::now();
                        firstKey = true;
                    }
                    lastVideo = timestamp;
                }
                ++packets;
                this->plugin.releaseFrame(0, packet);
            }
        });
    }
    // Stops the plug-in (which wakes the reader) and joins.
    void finish() {
        done = true;
        plugin.stop();
        thread.join();
    }
    ~Reader() {
        if (thread.joinable()) finish();
    }

    std::atomic<bool> done{false}, firstVideo{false}, firstKey{false};
    std::atomic<long long> packets{0};
    std::atomic<int64_t> lastVideo{0};
    Clock::time_point firstVideoAt, firstKeyAt;

private:
    SkyvanePlugin& plugin;
    std::thread thread;
};

bool waitFor(const std::function<bool()>& done, double limitSeconds) {
    auto end = Clock::now() + std::chrono::duration<double>(limitSeconds);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void zap(const std::string& folder) {
    std::printf(
        "zap (air at real time; best and worst of 3; limit = open -> first key frame in the buffer)\n");
    std::printf("  %-7s %-10s %12s %12s %12s %10s\n", "channel", "output", "1st video", "1st key", "limit",
                "key-limit");
    for (bool raw : {false, true}) {
        setOutputRaw(raw);
        for (const Channel& channel : kChannels) {
            std::vector<double> video, key, limit;
            for (int run = 0; run < 3; ++run) {
                AirControl* control = nullptr;
                std::string buffer = folder + "/zap" + std::to_string(run) + ".asf";
                SkyvaneParts parts;
                parts.createTVControl = [&](const std::wstring&, const std::wstring&, FormatChangeHandler&) {
                    auto c = std::make_unique<AirControl>(channel, 1.0, buffer);
                    control = c.get();
                    return c;
                };
                parts.createReadBackGraph = readBackGraph;
                SkyvanePlugin plugin(parts);
                pelmo::streamer::SimpleMedium medium(channel.path);
                pelmo::streamer::SimpleErrorReport report;
                auto opened = Clock::now();
                if (!plugin.open(medium, report) || !plugin.start()) {
                    std::printf("  %-7s %-10s open or start failed\n", channel.kind,
                                raw ? "raw" : "compressed");
                    if (std::getenv("LIVE_BENCH_LOG"))
                        std::system(("tail -20 " + folder + "/Kelvarin/Logs/Skyvane.log").c_str());
                    break;
                }
                Reader reader(plugin);
                bool got = waitFor([&] { return reader.firstKey.load(); }, 30);
                if (got && control->keySeen) {
                    video.push_back(
                        std::chrono::duration<double, std::milli>(reader.firstVideoAt - opened).count());
                    key.push_back(
                        std::chrono::duration<double, std::milli>(reader.firstKeyAt - opened).count());
                    limit.push_back(
                        std::chrono::duration<double, std::milli>(control->firstKey - opened).count());
                }
                reader.finish();
                plugin.close();
            }
            if (video.empty()) continue;
            std::vector<double> over;
            for (size_t i = 0; i < key.size(); ++i) over.push_back(key[i] - limit[i]);
            auto range = [](std::vector<double> v) {
                std::sort(v.begin(), v.end());
                char text[32];
                std::snprintf(text, sizeof text, "%.0f-%.0f ms", v.front(), v.back());
                return std::string(text);
            };
            std::printf("  %-7s %-10s %12s %12s %12s %10s\n", channel.kind, raw ? "raw" : "compressed",
                        range(video).c_str(), range(key).c_str(), range(limit).c_str(), range(over).c_str());
            // The aim: at most half a second beyond what the stream itself makes a viewer wait.
            auto median = [](std::vector<double> v) {
                std::sort(v.begin(), v.end());
                return v[v.size() / 2];
            };
            std::printf(
                "result\tzap to first key frame, %s %s (peer: limit + 0.5 s)\t%.0f\t%.0f\tms\tlower\n",
                channel.kind, raw ? "raw" : "compressed", median(key), median(limit) + 500);
        }
    }
}

// Writes `seconds` of the DVB-T programme into a buffer and keeps it; answers its stream length.
double writeBuffer(const std::string& folder, int length, std::string& kept) {
    std::string mux = folder + "/mux.ts";
    if (runTool({"ffmpeg",       "-nostdin",
                 "-loglevel",    "error",
                 "-stream_loop", std::to_string(length / 3),
                 "-i",           std::string(SKYVANE_DEMO_DIR) + "/dvbt-474000.ts",
                 "-map",         "0",
                 "-c",           "copy",
                 "-program",     "program_num=4164:st=0:st=1",
                 "-program",     "program_num=4165:st=2:st=3",
                 "-program",     "program_num=4166:st=4:st=5",
                 "-f",           "mpegts",
                 "-y",           mux}) < 0)
        return -1;
    std::ifstream in(mux, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string buffer = folder + "/cpu.asf";
    {
        ComPtr<StreamBufferSink> sink;
        sink.Attach(CreateComObject<StreamBufferSink>());
        std::wstring wide(buffer.begin(), buffer.end());
        CComBSTR name(wide.c_str());
        sink->put_SinkName(name.m_str);
        sink->SelectProgram({4164, -1, -1});
        sink->Pause();
        for (size_t at = 0; at < data.size(); at += 188 * 256)
            sink->Feed(data.data() + at, std::min<size_t>(188 * 256, data.size() - at));
        sink->Stop();
        // The sink deletes its files when it goes: keep a copy.
        BufferManifest m;
        std::string error;
        BufferManifest::read(buffer, m, error);
        kept = buffer + ".kept";
        for (const BufferSegment& s : m.segments) {
            std::filesystem::copy_file(BufferManifest::segmentPath(buffer, s.number),
                                       BufferManifest::segmentPath(kept, s.number),
                                       std::filesystem::copy_options::overwrite_existing);
            std::filesystem::copy_file(BufferManifest::indexPath(buffer, s.number),
                                       BufferManifest::indexPath(kept, s.number),
                                       std::filesystem::copy_options::overwrite_existing);
        }
        std::filesystem::copy_file(buffer, kept, std::filesystem::copy_options::overwrite_existing);
    }
    BufferManifest m;
    std::string error;
    if (!BufferManifest::read(kept, m, error)) return -1;
    return double(m.latest) / 1e7;
}

// Delivers the whole buffer through the plug-in; CPU seconds and the packets taken.
double deliverAll(const std::string& kept, double streamSeconds, long long& packets, double& lastVideo) {
    SkyvaneParts parts;
    std::wstring wide(kept.begin(), kept.end());
    parts.createTVControl = [&](const std::wstring&, const std::wstring&, FormatChangeHandler&) {
        return std::make_unique<WrittenBufferControl>(wide);
    };
    parts.createReadBackGraph = readBackGraph;
    double before = cpuSelf();
    SkyvanePlugin plugin(parts);
    pelmo::streamer::SimpleMedium medium(kChannels[0].path);
    pelmo::streamer::SimpleErrorReport report;
    if (!plugin.open(medium, report)) return -1;
    // From the start of the buffer, not its live edge.
    plugin.setPosition(0);
    plugin.start();
    Reader reader(plugin);
    // The end of the buffer: the last second's video arrived, or nothing came for a while.
    long long seen = -1;
    auto still = Clock::now();
    while (reader.lastVideo.load() < int64_t((streamSeconds - 1) * 1e6)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (reader.packets != seen) {
            seen = reader.packets;
            still = Clock::now();
        } else if (since(still) > 3000) {
            break;
        }
    }
    reader.finish();
    plugin.close();
    packets = reader.packets;
    lastVideo = reader.lastVideo / 1e6;
    return cpuSelf() - before;
}

void cpu(const std::string& folder) {
    std::string kept;
    double streamSeconds = writeBuffer(folder, 120, kept);
    if (streamSeconds <= 0) {
        std::printf("cpu: could not write the buffer\n");
        return;
    }
    BufferManifest m;
    std::string error;
    BufferManifest::read(kept, m, error);
    std::string concat = "concat:";
    for (size_t i = 0; i < m.segments.size(); ++i)
        concat += (i ? "|" : "") + BufferManifest::segmentPath(kept, m.segments[i].number);
    // The graph's clock would pace delivery at real time: let it run as fast as it can.
    setenv("PELMO_AIR_SPEED", "1000", 1);
    std::printf("cpu per stream-second (%.0f s of MPEG-2 SD + MP2, best of 3)\n", streamSeconds);
    for (bool raw : {false, true}) {
        setOutputRaw(raw);
        double ours = 1e9, peer = 1e9;
        long long packets = 0;
        double last = 0;
        for (int i = 0; i < 3; ++i) {
            long long n = 0;
            double c = deliverAll(kept, streamSeconds, n, last);
            if (c >= 0 && c < ours) {
                ours = c;
                packets = n;
            }
            std::vector<std::string> args = {"ffmpeg", "-nostdin", "-loglevel", "quiet",
                                             "-i",     concat,     "-map",      "0"};
            if (raw) {
                for (const char* a : {"-pix_fmt", "yuyv422", "-c:v", "rawvideo", "-c:a", "pcm_s16le"})
                    args.push_back(a);
            } else {
                args.push_back("-c");
                args.push_back("copy");
            }
            for (const char* a : {"-f", "null", "-"}) args.push_back(a);
            double ff = runTool(args);
            if (ff >= 0) peer = std::min(peer, ff);
        }
        std::printf(
            "  %-10s ours %7.3f ms   ffmpeg %7.3f ms   ratio %.2f   (%lld packets, last video at %.1f s)\n",
            raw ? "raw" : "compressed", ours * 1000 / streamSeconds, peer * 1000 / streamSeconds, ours / peer,
            packets, last);
        std::printf("result\tcpu per stream-second, %s\t%.4f\t%.4f\tms\tlower\n", raw ? "raw" : "compressed",
                    ours * 1000 / streamSeconds, peer * 1000 / streamSeconds);
    }
    unsetenv("PELMO_AIR_SPEED");
}

// Resident sizes by stream second. Growth compares the second stream minute with the last one,
// each by its median: a burst the packet queue's bound allows (a reader starved for a moment
// lets up to 31 raw frames wait) is no growth once it has been read. The peak shows it.
struct ResidentTrace {
    std::vector<std::pair<double, long>> samples;
    void add(double streamSeconds, long kB) { samples.push_back({streamSeconds, kB}); }
    long median(double from, double to) const {
        std::vector<long> v;
        for (auto& [t, kB] : samples)
            if (t >= from && t < to) v.push_back(kB);
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    long peak(double from) const {
        long most = 0;
        for (auto& [t, kB] : samples)
            if (t >= from) most = std::max(most, kB);
        return most;
    }
    bool covers(int minutes) const { return median(60, 120) > 0 && median(minutes * 60 - 60, 1e9) > 0; }
    long growth(int minutes) const { return median(minutes * 60 - 60, 1e9) - median(60, 120); }
};

long residentKBOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// The peer: ffmpeg decoding the same programme to the same formats, read at the same speed, for
// the same stream time; its resident size growth after the first stream minute (-1: no run).
long peerGrowth(int minutes, double speed) {
    std::vector<std::string> args = {"ffmpeg",
                                     "-nostdin",
                                     "-loglevel",
                                     "error",
                                     "-readrate",
                                     std::to_string(speed),
                                     "-stream_loop",
                                     "-1",
                                     "-i",
                                     std::string(SKYVANE_DEMO_DIR) + "/dvbt-474000.ts",
                                     "-t",
                                     std::to_string(minutes * 60),
                                     "-map",
                                     "0:v:0",
                                     "-map",
                                     "0:a:0",
                                     "-pix_fmt",
                                     "yuyv422",
                                     "-c:v",
                                     "rawvideo",
                                     "-c:a",
                                     "pcm_s16le",
                                     "-f",
                                     "null",
                                     "-"};
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<const char*> argv;
        for (auto& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    if (pid < 0) return -1;
    auto start = Clock::now();
    ResidentTrace trace;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        long rss = residentKBOf(pid);
        // Stream time from wall time: ffmpeg reads at the asked rate.
        if (rss > 0) trace.add(since(start) * speed / 1000, rss);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !trace.covers(minutes)) return -1;
    std::printf(
        "  ffmpeg decoding the same programme at x%.0f: second minute %ld kB, last %ld kB, peak %ld kB\n",
        speed, trace.median(60, 120), trace.median(minutes * 60 - 60, 1e9), trace.peak(60));
    return trace.growth(minutes);
}

void memory(const std::string& folder, int minutes) {
    setOutputRaw(true);
    const double speed = 8;
    setenv("PELMO_AIR_SPEED", "8", 1);
    SkyvaneParts parts;
    std::string buffer = folder + "/memory.asf";
    parts.createTVControl = [&](const std::wstring&, const std::wstring&, FormatChangeHandler&) {
        return std::make_unique<AirControl>(kChannels[0], speed, buffer);
    };
    parts.createReadBackGraph = readBackGraph;
    SkyvanePlugin plugin(parts);
    pelmo::streamer::SimpleMedium medium(kChannels[0].path);
    pelmo::streamer::SimpleErrorReport report;
    if (!plugin.open(medium, report) || !plugin.start()) {
        std::printf("memory: open failed\n");
        return;
    }
    Reader reader(plugin);
    std::printf("memory (raw output, DVB-T, air and graph at x%.0f): stream time -> resident size\n", speed);
    ResidentTrace trace;
    size_t mostQueued = 0;
    auto start = Clock::now();
    int64_t nextReport = 60;
    const bool trim = std::getenv("LIVE_BENCH_TRIM") != nullptr;
    while (reader.lastVideo.load() / 1000000 < minutes * 60) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Diagnosis: hand free heap pages back first, so what remains is memory still in use.
        if (trim) malloc_trim(0);
        long rss = residentKB();
        int64_t at = reader.lastVideo.load() / 1000000;
        mostQueued = std::max(mostQueued, plugin.queuedPackets());
        trace.add(reader.lastVideo.load() / 1e6, rss);
        if (at >= nextReport) {
            HeapFigures heap = heapFigures();
            std::printf(
                "  %4lld s  %7ld kB  heap in use %7ld kB, held %7ld kB  (at most %zu packets queued)\n",
                static_cast<long long>(at), rss, heap.inUseKB, heap.heldKB, mostQueued);
            mostQueued = 0;
            nextReport += 60;
        }
        if (since(start) > minutes * 60 * 1000.0 / speed * 3 + 60000) {
            std::printf("  delivery fell behind the air; stopped\n");
            break;
        }
    }
    reader.finish();
    plugin.close();
    if (!trace.covers(minutes)) {
        std::printf("  too little delivered to compare the second minute with the last\n");
        unsetenv("PELMO_AIR_SPEED");
        return;
    }
    const long growth = trace.growth(minutes);
    std::printf(
        "  second minute %ld kB, last minute %ld kB (medians), growth %ld kB; peak %ld kB (%lld packets)\n",
        trace.median(60, 120), trace.median(minutes * 60 - 60, 1e9), growth, trace.peak(60),
        reader.packets.load());
    std::printf("result\tresident growth after the first minute\t%ld\t5120\tkB\tlower\n", growth);
    std::printf("result\tresident peak above the second minute\t%ld\t%ld\tkB\tlower\n",
                trace.peak(60) - trace.median(60, 120), long(31 * 720 * 576 * 2 / 1024));
    unsetenv("PELMO_AIR_SPEED");
    long peer = peerGrowth(minutes, speed);
    if (peer < 0) {
        std::printf("  ffmpeg (the peer) did not run\n");
        return;
    }
    std::printf("result\tresident growth after the first minute, against ffmpeg\t%ld\t%ld\tkB\tlower\n",
                growth, peer);
}

}  // namespace

int main(int argc, char** argv) {
    std::string which = argc > 1 ? argv[1] : "all";
    int minutes = argc > 2 ? std::atoi(argv[2]) : 10;
    if (which != "all" && which != "zap" && which != "cpu" && which != "memory") {
        std::fprintf(stderr, "usage: live_bench [zap|cpu|memory|all] [memory stream-minutes]\n");
        return 2;
    }
    if (minutes < 2) minutes = 2;
    TempFolder folder("live-bench");
    setenv("PELMO_REGISTRY", folder.path().c_str(), 1);
    setenv("PELMO_APPDATA", folder.path().c_str(), 1);
    RegisterGraphClasses();
    RegisterSbeClasses();
    if (which == "all" || which == "zap") zap(folder.path());
    if (which == "all" || which == "cpu") cpu(folder.path());
    if (which == "all" || which == "memory") memory(folder.path(), minutes);
    return 0;
}
