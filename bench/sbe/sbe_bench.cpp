// The time-shift buffer side by side with the ffmpeg command-line tool:
//
//   sbe_bench [seconds]      (default 300 s of stream)
//
// 1. Sink: CPU per stream-second to keep one programme of a three-programme multiplex in the
//    buffer, against `ffmpeg -map 0:p:N -c copy` of the same programme into a file.
// 2. Source: CPU per stream-second to read that buffer back through the source into counting
//    renderers, against `ffmpeg -c copy -f null` reading the same segment files.
// 3. Seek: wall time from SetPositions to the first key-frame sample, against the limit a
//    reader would wait at real time: the distance from the asked position to the next key frame.
// 4. Disk: bytes on disk while the air plays ten windows (10 s window) into the buffer.
// The multiplex is the demo's dvbt-474000.ts looped by ffmpeg. Figures are the best of 3 runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/sbe/BufferManifest.h"
#include "platform/sbe/StreamBufferSink.h"
#include "platform/sbe/StreamBufferSource.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// CPU of the whole process (every thread).
double cpuSelf() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return seconds(r.ru_utime) + seconds(r.ru_stime);
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

// Counts samples; wakes a waiter on the first key frame after a flush and at the end.
class CountingRenderer : public CBaseFilter {
public:
    CountingRenderer() : CBaseFilter(L"counter", GUID_NULL), m_pin(this, &m_filterLock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    IPin* Input() { return &m_pin; }

    std::mutex lock;
    std::condition_variable wake;
    bool ended = false;
    bool keySinceFlush = false;
    long long samples = 0;

private:
    struct Pin : CBaseInputPin {
        Pin(CountingRenderer* o, std::recursive_mutex* l) : CBaseInputPin(o, l, L"In"), owner(o) {}
        HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
        HRESULT Receive(IMediaSample* s) override {
            HRESULT hr = CBaseInputPin::Receive(s);
            if (hr != S_OK) return hr;
            std::lock_guard<std::mutex> g(owner->lock);
            ++owner->samples;
            if (s->IsSyncPoint() == S_OK && !owner->keySinceFlush) {
                owner->keySinceFlush = true;
                owner->wake.notify_all();
            }
            return S_OK;
        }
        HRESULT EndOfStream() override {
            std::lock_guard<std::mutex> g(owner->lock);
            owner->ended = true;
            owner->wake.notify_all();
            return S_OK;
        }
        HRESULT BeginFlush() override {
            CBaseInputPin::BeginFlush();
            std::lock_guard<std::mutex> g(owner->lock);
            owner->keySinceFlush = false;
            owner->ended = false;
            return S_OK;
        }
        CountingRenderer* owner;
    };
    Pin m_pin;
};

struct Graph {
    explicit Graph(const std::string& buffer) {
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         reinterpret_cast<void**>(&graph));
        source.Attach(CreateComObject<StreamBufferSource>());
        std::wstring wide(buffer.begin(), buffer.end());
        ok = SUCCEEDED(source->Load(wide.c_str(), nullptr));
        if (!ok) return;
        graph->AddFilter(source.Get(), L"SBESource");
        for (int i = 0; i < source->GetPinCount(); ++i) {
            ComPtr<CountingRenderer> r;
            r.Attach(CreateComObject<CountingRenderer>());
            graph->AddFilter(r.Get(), (L"r" + std::to_wstring(i)).c_str());
            graph->ConnectDirect(source->GetPin(i), r->Input(), nullptr);
            renderers.push_back(r);
        }
        graph.As(&control);
    }
    ~Graph() {
        if (control) control->Stop();
    }
    void waitEnd() {
        for (auto& r : renderers) {
            std::unique_lock<std::mutex> g(r->lock);
            r->wake.wait(g, [&] { return r->ended; });
        }
    }
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<StreamBufferSource> source;
    std::vector<ComPtr<CountingRenderer>> renderers;
    bool ok = false;
};

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Writes the buffer of programme 4165 from the multiplex in memory; CPU seconds.
double writeBuffer(const std::vector<uint8_t>& mux, const std::string& buffer) {
    ComPtr<StreamBufferSink> sink;
    sink.Attach(CreateComObject<StreamBufferSink>());
    std::wstring wide(buffer.begin(), buffer.end());
    CComBSTR name(wide.c_str());
    sink->put_SinkName(name.m_str);
    sink->SelectProgram({4165, -1, -1});
    double before = cpuSelf();
    sink->Pause();
    for (size_t at = 0; at < mux.size(); at += 188 * 256)
        sink->Feed(mux.data() + at, std::min<size_t>(188 * 256, mux.size() - at));
    sink->Stop();
    double cpu = cpuSelf() - before;
    // Keep the files: the sink deletes them when it goes, so copy the manifest's segments first.
    BufferManifest m;
    std::string error;
    BufferManifest::read(buffer, m, error);
    for (const BufferSegment& s : m.segments) {
        std::filesystem::copy_file(BufferManifest::segmentPath(buffer, s.number),
                                   BufferManifest::segmentPath(buffer + ".kept", s.number),
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(BufferManifest::indexPath(buffer, s.number),
                                   BufferManifest::indexPath(buffer + ".kept", s.number),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    std::filesystem::copy_file(buffer, buffer + ".kept", std::filesystem::copy_options::overwrite_existing);
    return cpu;
}

void disk(const std::string& folder) {
    std::string error;
    auto air = AirBroadcast::open(std::string(SKYVANE_DEMO_DIR) + "/broadcast.xml", error);
    if (!air) {
        std::printf("disk: no demo broadcast (%s)\n", error.c_str());
        return;
    }
    air->setSpeed(25);
    auto tuner = air->tuner(L"Skyvane Virtual DVB-T Tuner");
    tuner->tuneDvbt(474000, 8);
    setenv("PELMO_REGISTRY", folder.c_str(), 1);
    HKEY key = nullptr;
    RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Kelvarin\\Pelmo\\Skyvane\\StreamBuffer", &key);
    DWORD window = 10, segment = 2;
    RegSetValueExW(key, L"WindowSeconds", 0, REG_DWORD, reinterpret_cast<BYTE*>(&window), sizeof window);
    RegSetValueExW(key, L"SegmentSeconds", 0, REG_DWORD, reinterpret_cast<BYTE*>(&segment), sizeof segment);
    ComPtr<StreamBufferSink> sink;
    sink.Attach(CreateComObject<StreamBufferSink>());
    std::string buffer = folder + "/disk.asf";
    std::wstring wide(buffer.begin(), buffer.end());
    CComBSTR name(wide.c_str());
    sink->put_SinkName(name.m_str);
    sink->SetHKEY(key);
    sink->SelectProgram({4164, -1, -1});
    sink->AttachAir(tuner->stream());
    const int64_t s = 10000000;
    uint64_t atOneWindow = 0, most = 0;
    std::printf("disk (10 s window, 2 s segments, air at x25): stream s -> bytes on disk\n");
    int64_t nextReport = 10 * s;
    while (sink->LatestPosition() < 100 * s) {
        uint64_t b = 0;
        for (auto& e : std::filesystem::directory_iterator(folder))
            if (e.path().string().rfind(buffer + ".", 0) == 0) b += e.file_size();
        most = std::max(most, b);
        int64_t at = sink->LatestPosition();
        if (!atOneWindow && at >= 10 * s) atOneWindow = b;
        if (at >= nextReport) {
            std::printf("  %3lld s  %8llu\n", static_cast<long long>(at / s),
                        static_cast<unsigned long long>(b));
            nextReport += 10 * s;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("  most %llu bytes over 100 s = %.2f x the size at one window\n",
                static_cast<unsigned long long>(most),
                atOneWindow ? double(most) / double(atOneWindow) : 0.0);
    sink->DetachAir();
    RegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
    RegisterGraphClasses();
    int length = argc > 1 ? std::atoi(argv[1]) : 300;
    if (length < 10) length = 10;
    TempFolder folder("sbe-bench");
    std::string mux = folder / "mux.ts";
    std::string demo = std::string(SKYVANE_DEMO_DIR) + "/dvbt-474000.ts";
    std::string loops = std::to_string(length / 3);
    if (runTool({"ffmpeg",       "-nostdin",
                 "-loglevel",    "error",
                 "-stream_loop", loops,
                 "-i",           demo,
                 "-map",         "0",
                 "-c",           "copy",
                 "-program",     "program_num=4164:st=0:st=1",
                 "-program",     "program_num=4165:st=2:st=3",
                 "-program",     "program_num=4166:st=4:st=5",
                 "-f",           "mpegts",
                 "-y",           mux}) < 0) {
        std::printf("ffmpeg could not make the test multiplex\n");
        return 1;
    }
    std::vector<uint8_t> data = readFile(mux);
    std::string buffer = folder / "buffer.asf";

    double sinkCpu = 1e9, ffSink = 1e9;
    for (int i = 0; i < 3; ++i) {
        sinkCpu = std::min(sinkCpu, writeBuffer(data, buffer));
        double ff = runTool({"ffmpeg", "-nostdin", "-loglevel", "quiet", "-i", mux, "-map", "0:p:4165", "-c",
                             "copy", "-f", "mpegts", "-y", folder / "ff.ts"});
        if (ff >= 0) ffSink = std::min(ffSink, ff);
    }
    std::string kept = buffer + ".kept";
    BufferManifest m;
    std::string error;
    if (!BufferManifest::read(kept, m, error)) {
        std::printf("no buffer: %s\n", error.c_str());
        return 1;
    }
    double streamSeconds = double(m.latest) / 1e7;
    std::printf("multiplex %.1f MB, programme 4165 kept: %.1f s of stream\n", double(data.size()) / 1e6,
                streamSeconds);
    std::printf("sink:   %7.3f ms CPU per stream-second   ffmpeg -map 0:p:4165 -c copy: %7.3f ms\n",
                sinkCpu * 1000 / streamSeconds, ffSink * 1000 / streamSeconds);

    std::string concat = "concat:";
    for (size_t i = 0; i < m.segments.size(); ++i)
        concat += (i ? "|" : "") + BufferManifest::segmentPath(kept, m.segments[i].number);
    double sourceCpu = 1e9, ffSource = 1e9;
    long long delivered = 0;
    for (int i = 0; i < 3; ++i) {
        double before = cpuSelf();
        {
            Graph g(kept);
            if (!g.ok) {
                std::printf("the source could not load the buffer\n");
                return 1;
            }
            g.control->Run();
            g.waitEnd();
            delivered = 0;
            for (auto& r : g.renderers) delivered += r->samples;
        }
        sourceCpu = std::min(sourceCpu, cpuSelf() - before);
        double ff = runTool({"ffmpeg", "-nostdin", "-loglevel", "quiet", "-i", concat, "-map", "0", "-c",
                             "copy", "-f", "null", "-"});
        if (ff >= 0) ffSource = std::min(ffSource, ff);
    }
    std::printf(
        "source: %7.3f ms CPU per stream-second   ffmpeg -c copy -f null:       %7.3f ms   (%lld samples)\n",
        sourceCpu * 1000 / streamSeconds, ffSource * 1000 / streamSeconds, delivered);

    // Seeks while running, to random positions; the limit is how far the next key frame is.
    std::vector<IndexEntry> keys;
    for (const BufferSegment& s : m.segments)
        for (const IndexEntry& e : BufferManifest::readIndex(BufferManifest::indexPath(kept, s.number)))
            keys.push_back(e);
    Graph g(kept);
    g.control->Run();
    std::mt19937 random(7);
    std::vector<double> waits, limits;
    for (int i = 0; i < 20; ++i) {
        int64_t target = std::uniform_int_distribution<int64_t>(0, m.latest - 10000000)(random);
        auto next =
            std::find_if(keys.begin(), keys.end(), [&](const IndexEntry& e) { return e.position >= target; });
        limits.push_back(next == keys.end() ? 0 : double(next->position - target) / 1e4);
        CountingRenderer& video = *g.renderers[0];
        auto start = Clock::now();
        LONGLONG p = target;
        g.source->SetPositions(&p, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
        std::unique_lock<std::mutex> lock(video.lock);
        video.wake.wait(lock, [&] { return video.keySinceFlush || video.ended; });
        waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(waits.begin(), waits.end());
    std::sort(limits.begin(), limits.end());
    std::printf(
        "seek:   SetPositions -> first key frame: median %.2f ms, worst %.2f ms   "
        "limit (next key frame at real time): median %.0f ms, worst %.0f ms\n",
        waits[waits.size() / 2], waits.back(), limits[limits.size() / 2], limits.back());
    g.control->Stop();
    disk(folder.path());
    return 0;
}
