// Whole-band channel scans of a broadcast through the Video Control, as a user runs them: the
// DVB-T file of the 8 MHz UHF plan (with the frequency offset that finds the off-raster
// multiplex) and the ATSC file. For every multiplex that locks, the time the scan spent on its
// line against that multiplex's own limit: the longest time a table request can wait for the
// tables the scan reads there (PAT, NIT, SDT, PMTs; PAT, VCT, PMTs), measured on the air's
// packet schedule. For the lines with nothing on air, the time against the signal test's own
// give-up rule (five reads 500 ms apart per attempt; three attempts with an offset). Times are
// broadcast (air) milliseconds: wall time times the speed factor.
//
//   scan_bench [broadcast.xml] [speed] [frequency folder]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/CRegistry.h"
#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/mpeg2data/TsDemux.h"
#include "platform/vidctl/AirPlatform.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidTestSink.h"
#include "platform/vidctl/VideoControl.h"
#include "scan/ChannelScan.h"
#include "tuning/BDATuneRequest.h"
#include "tuning/MediaType.h"
#include "tuning/MediumString.h"

namespace {

constexpr double kTicksPerMs = 27000.0;
// The NIT request's timeout: a multiplex that sends none makes the scan wait this long.
constexpr double kNitTimeoutMs = 15000;

// The longest a request for each table the scan reads can wait on this clip, from any moment
// of its loop: for a table of several sections, until every section has come round again.
double tableLimitMs(const AirClip& clip, bool atsc, std::string& worst) {
    struct Key {
        int pid, tid, ext;
        bool operator<(const Key& o) const { return std::tie(pid, tid, ext) < std::tie(o.pid, o.tid, o.ext); }
    };
    std::map<Key, std::map<int, std::vector<int64_t>>> seen;  // table -> section -> times
    std::vector<int> pmtPids;
    int64_t now = 0;
    TsDemux demux([&](uint16_t pid, const uint8_t* s, size_t size) {
        if (size < 8) return;
        int tid = s[0];
        bool wanted = (pid == 0 && tid == 0x00) || (pid == 0x1FFB && tid == 0xC8 && atsc) ||
                      (!atsc && ((pid == 0x10 && tid == 0x40) || (pid == 0x11 && tid == 0x42))) ||
                      (tid == 0x02 && std::find(pmtPids.begin(), pmtPids.end(), pid) != pmtPids.end());
        if (!wanted) return;
        if (pid == 0 && pmtPids.empty()) {
            // The programmes' PMT PIDs, from the first PAT.
            size_t length = ((s[1] & 0x0F) << 8 | s[2]) + 3;
            for (size_t i = 8; i + 4 <= std::min(size, length) - 4; i += 4) {
                int program = s[i] << 8 | s[i + 1];
                if (program != 0) pmtPids.push_back((s[i + 2] & 0x1F) << 8 | s[i + 3]);
            }
        }
        seen[{pid, tid, s[3] << 8 | s[4]}][s[6]].push_back(now);
    });
    // A first pass finds the PAT; two more give the times, so that a wait across the loop's seam
    // counts too.
    for (int pass = 0; pass < 3; ++pass) {
        for (size_t i = 0; i < clip.packetCount(); ++i) {
            now = clip.packetTime(i) + (pass > 0 ? (pass - 1) : 0) * clip.loopTicks();
            demux.feed(clip.packet(i), 188);
        }
        if (pass == 0) {
            seen.clear();
            demux.reset();
        }
    }
    double limit = 0;
    for (auto& [key, sections] : seen) {
        std::vector<int64_t> starts;
        for (auto& [number, times] : sections)
            for (int64_t t : times)
                if (t < clip.loopTicks()) starts.push_back(t);
        double tableWorst = 0;
        for (int64_t t : starts) {
            int64_t done = t;
            bool complete = true;
            for (auto& [number, times] : sections) {
                auto next = std::upper_bound(times.begin(), times.end(), t);
                if (next == times.end()) {
                    complete = false;
                    break;
                }
                done = std::max(done, *next);
            }
            if (complete) tableWorst = std::max(tableWorst, (done - t) / kTicksPerMs);
        }
        if (tableWorst > limit) {
            limit = tableWorst;
            char text[64];
            std::snprintf(text, sizeof text, "pid %04x tid %02x", key.pid, key.tid);
            worst = text;
        }
    }
    bool nit = false;
    for (auto& entry : seen) nit = nit || (entry.first.pid == 0x10 && entry.first.tid == 0x40);
    if (!atsc && !nit) {
        worst = "no NIT: its timeout";
        limit = std::max(limit, kNitTimeoutMs);
    }
    return limit;
}

// The tune request of the scan, keeping the broadcast time of every tune.
class TimedTuneRequest : public TuneRequest {
public:
    TimedTuneRequest(BDATuneRequest& inner, std::shared_ptr<AirBroadcast> air)
        : TuneRequest(nullptr), m_inner(inner), m_air(std::move(air)) {
        dvbtFrequencyOffset = inner.dvbtFrequencyOffset;
    }
    HRESULT init(std::wstring mediaType) override { return m_inner.init(mediaType); }
    HRESULT tune(std::wstring medium, VARIANT& request) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            tunes.push_back({m_air->nowMs(), medium});
        }
        return m_inner.tune(medium, request);
    }
    HRESULT getMedium(std::wstring& medium) override { return m_inner.getMedium(medium); }
    bool signalPresent(int32_t& strength) override {
        const bool present = m_inner.signalPresent(strength);
        std::lock_guard<std::mutex> guard(m_lock);
        if (present) locks.push_back(m_air->nowMs());
        return present;
    }

    std::mutex m_lock;
    std::vector<std::pair<double, std::wstring>> tunes;
    // When each signal test that found a lock ended.
    std::vector<double> locks;

private:
    BDATuneRequest& m_inner;
    std::shared_ptr<AirBroadcast> m_air;
};

class TimedHandler : public ScanResultsHandler {
public:
    explicit TimedHandler(std::shared_ptr<AirBroadcast> air) : m_air(std::move(air)) {}
    int32_t TVScanCallback(int32_t current, int32_t total, std::wstring name, std::wstring,
                           int32_t) override {
        if (!name.empty()) ++found[current];
        if (current == total) endMs = m_air->nowMs();
        if (current % 10 == 0 || current == total) std::fprintf(stderr, "  line %d of %d\n", current, total);
        return 0;
    }
    int32_t TVScanResult(std::wstring, std::vector<ScanItem> items) override {
        services = items.size();
        return 0;
    }
    int32_t Reserved1() override { return 0; }
    int32_t Reserved2() override { return 0; }

    std::map<int, int> found;
    double endMs = 0;
    size_t services = 0;

private:
    std::shared_ptr<AirBroadcast> m_air;
};

HRESULT prepare(IMSVidCtl* control, const std::wstring& tunerName) {
    control->Decompose();
    ComPtr<IMSVidInputDevices> inputs;
    HRESULT hr = control->_InputsAvailable(&KSCATEGORY_BDA_NETWORK_TUNER, &inputs);
    if (FAILED(hr)) return hr;
    LONG count = 0;
    inputs->get_Count(&count);
    hr = E_FAIL;
    for (LONG i = 0; i < count && FAILED(hr); ++i) {
        ComPtr<IMSVidInputDevice> device;
        ComPtr<IMSVidDevice> d;
        CComBSTR n;
        inputs->get_Item(CComVariant(i), &device);
        device.As(&d);
        d->get_Name(&n);
        if (n.str() == tunerName) hr = control->put_InputActive(device.Get());
    }
    if (FAILED(hr)) return hr;
    ComPtr<IMSVidFeatures> features;
    CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidFeatures,
                     reinterpret_cast<void**>(&features));
    control->put_FeaturesActive(features.Get());
    ComPtr<IMSVidOutputDevices> outputs, active;
    control->_OutputsAvailable(&GUID_NULL, &outputs);
    ComPtr<IMSVidOutputDevice> sink;
    if (FAILED(outputs->get_Item(CComVariant(LONG(0)), &sink))) return E_FAIL;
    control->get_OutputsActive(&active);
    while (SUCCEEDED(active->Remove(CComVariant(LONG(0))))) {
    }
    active->Add(sink.Get());
    return control->put_OutputsActive(active.Get());
}

struct System {
    const char* receives;
    const wchar_t* mediaType;
    const wchar_t* tuner;
    int32_t country;
    int32_t offset;
};

struct Totals {
    double emptyMs = 0, emptyLimitMs = 0;
    int emptyLines = 0;
    int failures = 0;
};

void scanSystem(const System& s, const std::shared_ptr<AirBroadcast>& air, IMSVidCtl* control, double speed,
                Totals& totals) {
    auto& registry = *CRegistry::getInstance();
    registry.writeDWORD(kTunerSettingsKey, L"CountryCode", s.country);
    registry.writeDWORD(kTunerSettingsKey, L"DVBTFrequencyOffset", s.offset);
    std::vector<std::wstring> lines;
    if (FAILED(ChannelScan::readOTADigitalFrequencies(lines))) {
        std::wstring dir;
        registry.readString(L"Software\\Kelvarin\\Pelmo", L"InstallDir", dir);
        std::fprintf(stderr, "scan_bench: cannot read the frequency file %ls%ls\n", dir.c_str(),
                     ChannelScan::frequencyFileFor(s.country));
        ++totals.failures;
        return;
    }
    if (FAILED(prepare(control, s.tuner))) {
        std::fprintf(stderr, "scan_bench: no %s tuner\n", s.receives);
        ++totals.failures;
        return;
    }
    BDATuneRequest inner(nullptr, nullptr, nullptr, control);
    inner.init(s.mediaType);
    inner.setSignalTiming(
        [air] { return static_cast<int64_t>(air->nowMs()); },
        [speed](int ms) {
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ms * 1000 / speed)));
        });
    CComVariant v;
    inner.tune(lines.empty() ? MediumString::defaultFor(s.mediaType) : lines[0], v);
    control->Run();
    ComPtr<IMSVidGraphSegmentContainer> container;
    ComPtr<IGraphBuilder> graph;
    control->QueryInterface(IID_IMSVidGraphSegmentContainer, reinterpret_cast<void**>(&container));
    if (container) container->get_Graph(&graph);

    TimedTuneRequest timed(inner, air);
    TimedHandler handler(air);
    ChannelScan scan;
    scan.setResultsHandler(L"bench", &handler);
    std::fprintf(stderr, "scanning %zu lines of %s ...\n", lines.size(), s.receives);
    scan.startScanChannels(s.mediaType, graph.Get(), &timed);
    scan.waitScanEnded();
    control->Stop();

    // Where each line began: its first tune as it stands in the file.
    // The table scan of a locked line begins at the last tune of the line (when the table scan
    // tunes again) or when the signal test found the lock, whichever came later.
    std::vector<double> start(lines.size() + 1, handler.endMs), lastTune(lines.size(), 0);
    size_t next = 0;
    for (auto& [ms, medium] : timed.tunes) {
        if (next < lines.size() && medium == lines[next]) start[next++] = ms;
        if (next > 0) lastTune[next - 1] = ms;
    }
    for (double ms : timed.locks) {
        size_t line = std::upper_bound(start.begin(), start.begin() + next, ms) - start.begin();
        if (line > 0) lastTune[line - 1] = std::max(lastTune[line - 1], ms);
    }
    if (next < lines.size()) {
        std::fprintf(stderr, "scan_bench: the scan tuned %zu of %zu lines\n", next, lines.size());
        ++totals.failures;
        return;
    }
    const double perAttempt = BDATuneRequest::kSignalReads * BDATuneRequest::kSignalPollMs;
    const int attempts = s.offset > 0 ? 3 : 1;
    for (size_t i = 0; i < lines.size(); ++i) {
        double spent = start[i + 1] - start[i];
        int32_t f = MediumString::readInt(lines[i].substr(0, lines[i].find(L'/')));
        DvbtChannel c;
        MediumString::parseDvbt(lines[i], c);
        // What the scan's attempts on the line receive, as the air sees it.
        const AirMultiplex* m = nullptr;
        int at = f;
        for (int shift : {0, s.offset, -s.offset}) {
            if (m || (shift != 0 && s.offset == 0)) break;
            m = std::string(s.receives) == "atsc" ? air->catalogue().findAtsc(f + shift)
                                                  : air->catalogue().findDvbt(f + shift, c.bandwidth);
            at = f + shift;
        }
        if (!m) {
            totals.emptyMs += spent;
            totals.emptyLimitMs += attempts * perAttempt;
            ++totals.emptyLines;
            continue;
        }
        std::string error, worst;
        auto clip = air->clip(*m, error);
        if (!clip) {
            std::fprintf(stderr, "scan_bench: %s\n", error.c_str());
            ++totals.failures;
            continue;
        }
        double limit = tableLimitMs(*clip, m->system == AirSystem::ATSC, worst);
        std::wstring what = m->describe();
        double tables = start[i + 1] - lastTune[i];
        // A table scan that tunes the line again includes the multiplex's lock time.
        std::printf(
            "%-26ls at %6d: %d services; line %6.0f = signal test %5.0f + tables %6.0f (lock %d); "
            "limit %6.0f (%s); ratio %.2f (whole line %.2f)\n",
            what.c_str(), at, handler.found[static_cast<int>(i)], spent, spent - tables, tables, m->lockMs,
            limit, worst.c_str(), tables / limit, spent / limit);
        std::printf("result\ttables of %ls at %d (air ms; peer: its own limit)\t%.0f\t%.0f\tair ms\tlower\n",
                    what.c_str(), at, tables, limit);
    }
    std::printf("%s: %zu lines, %zu services found\n", s.receives, lines.size(), handler.services);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : SKYVANE_DEMO_BROADCAST;
    double speed = argc > 2 ? std::atof(argv[2]) : 4.0;
    std::string folder = argc > 3 ? argv[3] : SKYVANE_FREQUENCY_FILES;
    if (speed <= 0 || argc > 4) {
        std::fprintf(stderr, "usage: scan_bench [broadcast.xml] [speed > 0] [frequency folder]\n");
        return 2;
    }
    std::string error;
    auto air = AirBroadcast::open(path, error);
    if (!air) {
        std::fprintf(stderr, "scan_bench: %s\n", error.c_str());
        return 1;
    }
    air->setSpeed(speed);
    TempFolder registry("scan_bench");
    ScopedEnv registryEnv("PELMO_REGISTRY", registry.path());
    ScopedEnv appDataEnv("PELMO_APPDATA", registry.path());
    if (folder.back() != '/') folder += '/';
    CRegistry::getInstance()->writeString(L"Software\\Kelvarin\\Pelmo", L"InstallDir",
                                          std::wstring(folder.begin(), folder.end()));
    VidTestSink::registerAsStreamBufferSink();
    RegisterPlatformClasses();
    auto devices = RegisterAirDevices(air);
    ComPtr<IMSVidCtl> control;
    if (FAILED(CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                reinterpret_cast<void**>(&control)))) {
        std::fprintf(stderr, "scan_bench: no Video Control\n");
        return 1;
    }
    std::printf("speed %.2f; times in broadcast ms; ratio = time on the line / its limit\n", speed);
    const System systems[] = {
        {"dvbt", kMediaTypeDvbt, L"Skyvane Virtual DVB-T Tuner", 44, 167},
        {"atsc", kMediaTypeAtsc, L"Skyvane Virtual ATSC Tuner", 1, 0},
    };
    Totals totals;
    for (const System& s : systems) scanSystem(s, air, control.Get(), speed, totals);
    control->Decompose();
    if (totals.emptyLines > 0) {
        std::printf("%d empty lines: %.0f air ms per line, limit %.0f, ratio %.2f\n", totals.emptyLines,
                    totals.emptyMs / totals.emptyLines, totals.emptyLimitMs / totals.emptyLines,
                    totals.emptyMs / totals.emptyLimitMs);
        std::printf(
            "result\tscan of an empty line (air ms; peer: the signal test's give-up)\t%.0f\t%.0f\tair "
            "ms\tlower\n",
            totals.emptyMs / totals.emptyLines, totals.emptyLimitMs / totals.emptyLines);
    }
    return totals.failures ? 1 : 0;
}
