// Helpers for the stream buffer's tests: the demo broadcast tuned at a speed factor, a sink
// writing one programme into a temporary buffer, ffprobe on what was written, and a renderer
// that keeps what it receives.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/sbe/BufferManifest.h"
#include "platform/sbe/StreamBufferSink.h"

namespace sbetest {

inline const std::string kCatalogue = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";
inline const wchar_t* kDvbtTuner = L"Skyvane Virtual DVB-T Tuner";
inline const wchar_t* kAtscTuner = L"Skyvane Virtual ATSC Tuner";
inline const wchar_t* kAnalogTuner = L"Skyvane Virtual Analog Tuner A";
constexpr int64_t kSecond = 10000000;

// Waits for a condition; the limit only keeps a broken build from hanging the run.
inline bool waitUntil(const std::function<bool()>& done, int limitSeconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A folder for the buffer and the registry hive; the stream-buffer key gets `values`.
class SbeWorld {
public:
    explicit SbeWorld(std::vector<std::pair<const wchar_t*, DWORD>> values = {}) {
        setenv("PELMO_REGISTRY", folder.path().c_str(), 1);
        setenv("PELMO_APPDATA", folder.path().c_str(), 1);
        if (RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Kelvarin\\Pelmo\\Skyvane\\StreamBuffer", &key) != 0)
            key = nullptr;
        for (auto& [name, value] : values)
            RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    ~SbeWorld() {
        if (key) RegCloseKey(key);
    }
    std::string bufferPath() const { return folder / "SBErec1234.asf"; }

    // Tunes the demo broadcast at `speed` (dvbt: kHz, atsc: physical channel, analog: channel).
    std::shared_ptr<AirStream> tune(const wchar_t* tunerName, int value, double speed) {
        std::string error;
        air = AirBroadcast::open(kCatalogue, error);
        EXPECT_TRUE(air) << error;
        if (!air) return nullptr;
        air->setSpeed(speed);
        tuner = air->tuner(tunerName);
        if (!tuner) return nullptr;
        if (tunerName == kDvbtTuner)
            tuner->tuneDvbt(value, 8);
        else if (tunerName == kAtscTuner)
            tuner->tuneAtsc(value);
        else
            tuner->tuneAnalog(value);
        return tuner->stream();
    }

    // A sink with this world's settings keeping `choice` into `path` (default bufferPath()).
    ComPtr<StreamBufferSink> newSink(ProgramChoice choice = {}, std::string path = "") {
        ComPtr<StreamBufferSink> sink;
        sink.Attach(CreateComObject<StreamBufferSink>());
        if (path.empty()) path = bufferPath();
        std::wstring name(path.begin(), path.end());
        CComBSTR bstr(name.c_str());
        EXPECT_EQ(S_OK, sink->put_SinkName(bstr.m_str));
        EXPECT_EQ(S_OK, sink->SetHKEY(key));
        EXPECT_EQ(S_OK, sink->SelectProgram(choice));
        return sink;
    }

    // A sink writing the programme of the tuned stream into bufferPath().
    ComPtr<StreamBufferSink> startSink(std::shared_ptr<AirStream> stream, ProgramChoice choice) {
        ComPtr<StreamBufferSink> sink = newSink(choice);
        EXPECT_EQ(S_OK, sink->AttachAir(stream));
        return sink;
    }

    TempFolder folder{"sbe-test"};
    HKEY key = nullptr;
    std::shared_ptr<AirBroadcast> air;
    std::shared_ptr<AirTuner> tuner;
};

inline bool waitForPosition(StreamBufferSink* sink, int64_t position) {
    return waitUntil([&] { return sink->LatestPosition() >= position; });
}

// The buffer's segments one after the other, as one transport stream file.
inline std::string joinSegments(const std::string& buffer, const std::string& out) {
    BufferManifest m;
    std::string error;
    EXPECT_TRUE(BufferManifest::read(buffer, m, error)) << error;
    std::ofstream o(out, std::ios::binary);
    for (const BufferSegment& s : m.segments) {
        std::ifstream in(BufferManifest::segmentPath(buffer, s.number), std::ios::binary);
        o << in.rdbuf();
    }
    return out;
}

inline std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// "program=4165;0x201=mpeg2video;0x202=mp2;" as ffprobe sees the file's programmes and streams.
inline std::string probeLayout(const std::string& file) {
    std::string raw =
        run("ffprobe -v error -show_entries program=program_id:program_stream=id,codec_name "
            "-of compact=nokey=0:print_section=0 '" +
            file + "' 2>&1");
    std::string layout;
    size_t at = 0;
    while (at < raw.size()) {
        size_t end = raw.find('\n', at);
        std::string line = raw.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? raw.size() : end + 1;
        auto field = [&](const std::string& key) {
            std::string bar = "|" + line;
            size_t k = bar.find("|" + key + "=");
            if (k == std::string::npos) return std::string();
            size_t v = k + key.size() + 1;
            return line.substr(v, line.find('|', v) - v);
        };
        if (line.find("program_id=") != std::string::npos) layout += "program=" + field("program_id") + ";";
        if (line.find("codec_name=") != std::string::npos)
            layout += field("id") + "=" + field("codec_name") + ";";
    }
    return layout;
}

inline double probeDuration(const std::string& file) {
    std::string out = run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'");
    return out.empty() ? -1 : std::atof(out.c_str());
}

// Ends a branch of a test graph and keeps what it receives.
class KeepingRenderer : public CBaseFilter {
public:
    struct Sample {
        bool timed = false;
        REFERENCE_TIME start = 0, end = 0;
        bool sync = false;
        std::vector<uint8_t> head;  // the first bytes
    };

    KeepingRenderer() : CBaseFilter(L"Recording Renderer", GUID_NULL), m_pin(this, &m_filterLock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    IPin* Input() { return &m_pin; }

    std::vector<Sample> samples() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_samples;
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_samples.size();
    }
    bool endOfStream() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_eos;
    }
    int flushes() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_flushes;
    }
    std::vector<REFERENCE_TIME> segments() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_segments;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_lock);
        m_samples.clear();
        m_eos = false;
    }
    // Holds the branch once this many samples have come (0: never).
    void holdAfter(size_t samples) {
        std::lock_guard<std::mutex> g(m_lock);
        m_holdAfter = samples;
        m_released.notify_all();
    }

private:
    class Pin : public CBaseInputPin {
    public:
        Pin(KeepingRenderer* owner, std::recursive_mutex* lock)
            : CBaseInputPin(owner, lock, L"In"), m_owner(owner) {}
        HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
        HRESULT Receive(IMediaSample* s) override {
            HRESULT hr = CBaseInputPin::Receive(s);
            if (hr != S_OK) return hr;
            Sample r;
            r.timed = SUCCEEDED(s->GetTime(&r.start, &r.end));
            r.sync = s->IsSyncPoint() == S_OK;
            BYTE* p = nullptr;
            s->GetPointer(&p);
            r.head.assign(p, p + std::min<LONG>(s->GetActualDataLength(), 32));
            std::unique_lock<std::mutex> g(m_owner->m_lock);
            m_owner->m_samples.push_back(r);
            // Held: the branch waits here until released (a test releases before it stops).
            m_owner->m_released.wait(g, [this] {
                return m_owner->m_holdAfter == 0 || m_owner->m_samples.size() < m_owner->m_holdAfter;
            });
            return S_OK;
        }
        HRESULT EndOfStream() override {
            std::lock_guard<std::mutex> g(m_owner->m_lock);
            m_owner->m_eos = true;
            return S_OK;
        }
        // What came before a flush is forgotten: the samples kept are those after it.
        HRESULT BeginFlush() override {
            CBaseInputPin::BeginFlush();
            std::lock_guard<std::mutex> g(m_owner->m_lock);
            ++m_owner->m_flushes;
            m_owner->m_samples.clear();
            return S_OK;
        }
        HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME, double) override {
            std::lock_guard<std::mutex> g(m_owner->m_lock);
            m_owner->m_segments.push_back(start);
            return S_OK;
        }

    private:
        KeepingRenderer* m_owner;
    };
    std::mutex m_lock;
    std::condition_variable m_released;
    size_t m_holdAfter = 0;
    std::vector<Sample> m_samples;
    std::vector<REFERENCE_TIME> m_segments;
    bool m_eos = false;
    int m_flushes = 0;
    Pin m_pin;
};

}  // namespace sbetest
