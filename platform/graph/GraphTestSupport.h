// Helpers for tests of the graph layer and of what is built on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "platform/graph/BaseRenderer.h"
#include "platform/graph/GraphInterfaces.h"

// Test streams made once per test run by the ffmpeg command-line tool in a temporary folder:
// "av.ts" (2 s of 320x240 MPEG-2 video at 25 fps with 48 kHz MP2 sound), "audio.ts" (MP2
// only), "video.ts" (176x144 MPEG-2 only), "h264ac3.ts" (2 s of 320x240 H.264 with stereo AC-3).
// Tests skip when the tool is missing.

class TestStreams {
public:
    static TestStreams& get() {
        static TestStreams s;
        return s;
    }
    bool ok() const { return m_ok; }
    bool hasH264() const { return m_h264; }
    std::wstring path(const char* name) const { return (m_dir / name).wstring(); }

private:
    TestStreams() {
        char pattern[] = "/tmp/skyvane-streams-XXXXXX";
        if (!mkdtemp(pattern)) return;
        m_dir = pattern;
        const std::string ffmpeg = "ffmpeg -nostdin -loglevel error -y ";
        m_ok =
            run(ffmpeg +
                "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                "-t 2 -c:v mpeg2video -c:a mp2 -f mpegts " +
                (m_dir / "av.ts").string()) &&
            run(ffmpeg + "-f lavfi -i sine -t 1 -c:a mp2 -f mpegts " + (m_dir / "audio.ts").string()) &&
            run(ffmpeg + "-f lavfi -i testsrc=size=176x144:rate=25 -t 1 -c:v mpeg2video -f mpegts " +
                (m_dir / "video.ts").string());
        // H.264 with B-frames and stereo AC-3, when this ffmpeg has an H.264 encoder.
        m_h264 =
            m_ok && run(ffmpeg +
                        "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 2 "
                        "-c:v libx264 -bf 2 -c:a ac3 -ac 2 -f mpegts " +
                        (m_dir / "h264ac3.ts").string());
    }
    ~TestStreams() {
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    static bool run(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

    std::filesystem::path m_dir;
    bool m_ok = false;
    bool m_h264 = false;
};

// The names of a graph's filters in enumeration order.
inline std::vector<std::wstring> FilterNames(IFilterGraph* graph) {
    std::vector<std::wstring> names;
    ComPtr<IEnumFilters> e;
    if (FAILED(graph->EnumFilters(&e))) return names;
    ComPtr<IBaseFilter> f;
    while (e->Next(1, &f, nullptr) == S_OK) {
        FILTER_INFO info{};
        f->QueryFilterInfo(&info);
        if (info.pGraph) info.pGraph->Release();
        names.push_back(info.achName);
    }
    return names;
}

// A logger that keeps its lines ("level:text") instead of writing a file.
class CaptureLog : public CBBLog {
public:
    CaptureLog() : CBBLog(L"capture.log", false, 1 << 20) {}
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::to_wstring(level) + L":" + VFormatWideString(fmt, args));
    }
    bool contains(const std::wstring& text, int level) {
        std::lock_guard<std::mutex> guard(m_lock);
        std::wstring line = std::to_wstring(level) + L":" + text;
        for (auto& l : m_lines)
            if (l == line) return true;
        return false;
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

// Installs a CaptureLog for the life of the object.
struct ScopedCaptureLog {
    std::shared_ptr<CaptureLog> log = std::make_shared<CaptureLog>();
    ScopedCaptureLog() { setCurrentLogger(log); }
    ~ScopedCaptureLog() { setCurrentLogger(nullptr); }
};

// Ends a branch and records every sample with the clock time it was rendered at. Accepts one
// major type (and one subtype when given); can hold its branch after a number of samples.
class RecordingRenderer : public CBaseRenderer {
public:
    explicit RecordingRenderer(GUID major, GUID subtype = GUID_NULL)
        : CBaseRenderer(L"Recording Renderer", GUID_NULL), m_major(major), m_subtype(subtype) {}

    struct Got {
        REFERENCE_TIME start;  // sample time, -1 when untimed
        REFERENCE_TIME due;    // stream start on the clock + sample time
        REFERENCE_TIME clockAt;
        REFERENCE_TIME segment;  // source position of the segment's time 0
    };

    HRESULT CheckMediaType(const CMediaType* mt) override {
        if (!mt || mt->majortype != m_major) return VFW_E_TYPE_NOT_ACCEPTED;
        return m_subtype == GUID_NULL || mt->subtype == m_subtype ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        REFERENCE_TIME start = -1, end = -1, now = 0;
        if (sample->GetTime(&start, &end) != S_OK) start = -1;
        if (auto clock = Clock()) clock->GetTime(&now);
        std::unique_lock<std::mutex> guard(m_lock);
        m_got.push_back({start, StreamStart() + start, now, SegmentStart()});
        m_changed.notify_all();
        // Held: wait until released (or flushed or stopped, which the test does after release).
        m_changed.wait(guard,
                       [this] { return m_holdAfter < 0 || m_got.size() < static_cast<size_t>(m_holdAfter); });
        return S_OK;
    }
    void OnEndOfStream() override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_ended = true;
        m_changed.notify_all();
    }
    void OnBeginFlush() override {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_flushes;
        m_ended = false;
    }

    void HoldAfter(int samples) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_holdAfter = samples;
    }
    void Unhold() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_holdAfter = -1;
        m_changed.notify_all();
    }
    std::vector<Got> Received() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_got;
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_got.size();
    }
    bool Ended() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_ended;
    }
    int Flushes() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_flushes;
    }
    // Waits (bounded, for a stuck graph to fail rather than hang) until pred holds.
    template <class Pred>
    bool WaitFor(Pred pred, int seconds = 30) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::seconds(seconds), [&] { return pred(*this); });
    }
    // For WaitFor predicates, which run under the lock.
    size_t CountLocked() const { return m_got.size(); }
    bool EndedLocked() const { return m_ended; }

private:
    GUID m_major, m_subtype;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Got> m_got;
    bool m_ended = false;
    int m_flushes = 0;
    int m_holdAfter = -1;
};
