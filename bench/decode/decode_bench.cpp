// CPU time of the graph's decoder per stream-second, side by side with the ffmpeg command-line
// tool doing the same work: demux the file, decode its video and convert every frame to YUY2.
//
//   decode_bench [file.ts ...]
//
// Without files it makes a 20 s 720x576 MPEG-2 + MP2 stream with ffmpeg and also measures the
// real captures ../shared/corpus/ts/dvbt_it_rai_muxA_498MHz.ts (MPEG-2) and
// dvbt_fr_france2_spts.ts (H.264 1080i) when they are there. Each figure is the best of 3 runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/graph/MediaFileSource.h"

namespace {

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double cpuSelf() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

// Takes YUY2 frames only, so the graph has to put its decoder in front.
class Yuy2Sink : public CBaseFilter {
public:
    Yuy2Sink() : CBaseFilter(L"YUY2 sink", GUID_NULL) { m_pin = std::make_unique<Pin>(this, &m_filterLock); }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }
    bool ended() const { return m_pin->ended.load(); }
    long long frames() const { return m_pin->frames.load(); }
    // The span the decoded frames cover (a capture's container duration can be bogus).
    double span() const { return double(m_pin->last - m_pin->first) / 1e7; }

private:
    struct Pin : CBaseInputPin {
        Pin(CBaseFilter* f, std::recursive_mutex* l) : CBaseInputPin(f, l, L"In") {}
        HRESULT CheckMediaType(const CMediaType* mt) override {
            return mt->subtype == MEDIASUBTYPE_YUY2 ? S_OK : S_FALSE;
        }
        HRESULT Receive(IMediaSample* s) override {
            HRESULT hr = CBaseInputPin::Receive(s);
            REFERENCE_TIME start = 0, end = 0;
            if (hr == S_OK && s->GetTime(&start, &end) == S_OK) {
                if (frames++ == 0) first = start;
                last = end;
            }
            return hr;
        }
        HRESULT EndOfStream() override {
            ended = true;
            return S_OK;
        }
        std::atomic<bool> ended{false};
        std::atomic<long long> frames{0};
        REFERENCE_TIME first = 0, last = 0;  // written by the streaming thread, read after it ended
    };
    std::unique_ptr<Pin> m_pin;
};

struct Result {
    double cpu = 0;
    double streamSeconds = 0;
    long long frames = 0;
    bool ok = false;
};

Result runGraph(const std::string& file) {
    Result r;
    // Opening and probing the file count too: ffmpeg does the same before it decodes.
    double before = cpuSelf();
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> source;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     reinterpret_cast<void**>(&graph));
    CoCreateInstance(CLSID_MediaFileSource, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(&source));
    ComPtr<IFileSourceFilter> load;
    source.As(&load);
    std::wstring wide(file.begin(), file.end());
    if (FAILED(load->Load(wide.c_str(), nullptr))) return r;
    ComPtr<Yuy2Sink> sink;
    sink.Attach(CreateComObject<Yuy2Sink>());
    graph->AddFilter(source.Get(), L"source");
    graph->AddFilter(sink.Get(), L"sink");
    ComPtr<IPin> out, in;
    if (FAILED(source->FindPin(L"Video", &out)) || FAILED(sink->FindPin(L"In", &in))) return r;
    if (FAILED(graph->Connect(out.Get(), in.Get()))) return r;
    ComPtr<IMediaControl> control;
    graph.As(&control);
    control->Run();
    while (!sink->ended()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    r.cpu = cpuSelf() - before;
    control->Stop();
    r.frames = sink->frames();
    r.streamSeconds = sink->span();
    r.ok = true;
    std::vector<ComPtr<IBaseFilter>> all{source, ComPtr<IBaseFilter>(sink.Get())};
    ComPtr<IEnumFilters> e;
    graph->EnumFilters(&e);
    ComPtr<IBaseFilter> f;
    while (e->Next(1, &f, nullptr) == S_OK) all.push_back(f);
    for (auto& x : all) graph->RemoveFilter(x.Get());
    return r;
}

// CPU time of one ffmpeg run (user + system), or a negative number when it failed.
double runFfmpeg(const std::string& file, bool oneThread) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<const char*> args{"ffmpeg", "-nostdin", "-loglevel", "quiet"};
        if (oneThread) args.insert(args.end(), {"-threads", "1"});
        args.insert(args.end(), {"-i", file.c_str(), "-map", "0:v:0", "-f", "rawvideo", "-pix_fmt", "yuyv422",
                                 "-y", "/dev/null", nullptr});
        execvp("ffmpeg", const_cast<char* const*>(args.data()));
        _exit(127);
    }
    int status = 0;
    rusage r{};
    if (pid < 0 || wait4(pid, &status, 0, &r) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return seconds(r.ru_utime) + seconds(r.ru_stime);
}

void measure(const std::string& file) {
    Result best;
    double ff = 1e9, ff1 = 1e9;
    for (int i = 0; i < 3; ++i) {
        Result r = runGraph(file);
        if (!r.ok || r.streamSeconds <= 0) {
            std::printf("%s: the graph could not decode it\n", file.c_str());
            return;
        }
        if (!best.ok || r.cpu < best.cpu) best = r;
        double a = runFfmpeg(file, false), b = runFfmpeg(file, true);
        if (a >= 0) ff = std::min(ff, a);
        if (b >= 0) ff1 = std::min(ff1, b);
    }
    std::string name = std::filesystem::path(file).filename().string();
    std::printf(
        "%-34s %6.2f s stream %5lld frames | graph %6.1f ms/s | ffmpeg %6.1f ms/s (x%.2f) | ffmpeg -threads "
        "1 "
        "%6.1f ms/s (x%.2f)\n",
        name.c_str(), best.streamSeconds, best.frames, 1000 * best.cpu / best.streamSeconds,
        1000 * ff / best.streamSeconds, best.cpu / ff, 1000 * ff1 / best.streamSeconds, best.cpu / ff1);
    // The single-threaded ffmpeg is the like-for-like peer: the graph decodes on one thread.
    if (ff1 < 1e9)
        std::printf("result\tdecode to YUY2, %s\t%.1f\t%.1f\tCPU ms per stream-s\tlower\n", name.c_str(),
                    1000 * best.cpu / best.streamSeconds, 1000 * ff1 / best.streamSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    RegisterGraphClasses();
    std::vector<std::string> files(argv + 1, argv + argc);
    std::string generated;
    if (files.empty()) {
        char dir[] = "/tmp/decode-bench-XXXXXX";
        if (mkdtemp(dir)) {
            generated = std::string(dir) + "/sd.ts";
            std::string cmd =
                "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i "
                "sine -t 20 -c:v mpeg2video -b:v 4M -c:a mp2 -f mpegts " +
                generated;
            if (std::system(cmd.c_str()) == 0) files.push_back(generated);
        }
        for (const char* c : {"dvbt_it_rai_muxA_498MHz.ts", "dvbt_fr_france2_spts.ts"}) {
            std::string p = std::string(SKYVANE_CORPUS_DIR) + "/ts/" + c;
            if (std::filesystem::exists(p)) files.push_back(p);
        }
    }
    std::printf("CPU time per stream-second, demux + video decode + conversion to YUY2 (best of 3)\n");
    for (auto& f : files) measure(f);
    if (!generated.empty()) std::filesystem::remove_all(std::filesystem::path(generated).parent_path());
    return 0;
}
