// Helpers for tests of the graph layer and of what is built on it.
#pragma once

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
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
