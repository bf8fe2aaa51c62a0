// Test support for the channel scan: a results handler that keeps every call, a tune request
// that follows a script instead of a tuner, a log that keeps its lines, and a registry and
// installation folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/CBBLog.h"
#include "base/CRegistry.h"
#include "base/Format.h"
#include "base/Log.h"
#include "base/TempFolder.h"
#include "scan/ChannelScan.h"
#include "tuning/TuneRequest.h"

struct ScanCall {
    int32_t current;
    int32_t total;
    std::wstring name;
    std::wstring path;
    int32_t signal;
    bool operator==(const ScanCall& o) const {
        return current == o.current && total == o.total && name == o.name && path == o.path &&
               signal == o.signal;
    }
};

inline std::ostream& operator<<(std::ostream& os, const ScanCall& c) {
    return os << "(" << c.current << ", " << c.total << ", \"" << std::string(c.name.begin(), c.name.end())
              << "\", \"" << std::string(c.path.begin(), c.path.end()) << "\", " << c.signal << ")";
}

inline bool operator==(const ScanItem& a, const ScanItem& b) {
    return a.name == b.name && a.path == b.path && a.frequency == b.frequency && a.signal == b.signal;
}
inline std::ostream& operator<<(std::ostream& os, const ScanItem& i) {
    return os << "{" << std::string(i.name.begin(), i.name.end()) << ", "
              << std::string(i.path.begin(), i.path.end()) << ", "
              << std::string(i.frequency.begin(), i.frequency.end()) << ", " << i.signal << "}";
}

// Keeps every callback and result. onCallback runs on the scan thread before the call returns.
class RecordingHandler : public ScanResultsHandler {
public:
    struct Result {
        std::wstring deviceName;
        std::vector<ScanItem> items;
    };

    int32_t TVScanCallback(int32_t current, int32_t total, std::wstring name, std::wstring path,
                           int32_t signal) override {
        ScanCall call{current, total, std::move(name), std::move(path), signal};
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_calls.push_back(call);
        }
        if (onCallback) onCallback(call);
        return 0;
    }
    int32_t TVScanResult(std::wstring deviceName, std::vector<ScanItem> items) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_results.push_back({std::move(deviceName), std::move(items)});
        return 0;
    }
    int32_t Reserved1() override { return 0; }
    int32_t Reserved2() override { return 0; }

    std::vector<ScanCall> calls() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }
    // The calls that named a channel.
    std::vector<ScanCall> found() {
        std::vector<ScanCall> out;
        for (auto& c : calls())
            if (!c.name.empty()) out.push_back(c);
        return out;
    }
    std::vector<Result> results() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_results;
    }

    std::function<void(const ScanCall&)> onCallback;

private:
    std::mutex m_lock;
    std::vector<ScanCall> m_calls;
    std::vector<Result> m_results;
};

// A tune request that answers from a script: tuneStatus and signal decide from the medium,
// and every tuned medium is kept.
class ScriptedTuneRequest : public TuneRequest {
public:
    ScriptedTuneRequest() : TuneRequest(nullptr) {}
    HRESULT init(std::wstring type) override {
        mediaType = type;
        return S_OK;
    }
    HRESULT tune(std::wstring medium, VARIANT&) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_tuned.push_back(medium);
        m_current = medium;
        return tuneStatus ? tuneStatus(medium) : S_OK;
    }
    HRESULT getMedium(std::wstring& medium) override {
        std::lock_guard<std::mutex> guard(m_lock);
        medium = m_current;
        return S_OK;
    }
    bool signalPresent(int32_t& strength) override {
        std::wstring current;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            current = m_current;
        }
        strength = signal ? signal(current) : 0;
        return strength > 0;
    }
    std::vector<std::wstring> tuned() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_tuned;
    }

    std::wstring mediaType;
    std::function<HRESULT(const std::wstring&)> tuneStatus;
    // Strength for the medium; 0 is no signal.
    std::function<int32_t(const std::wstring&)> signal;

private:
    std::mutex m_lock;
    std::wstring m_current;
    std::vector<std::wstring> m_tuned;
};

// Keeps "level:text" lines instead of writing a file; every level is on.
class ScanLog : public CBBLog {
public:
    ScanLog() : CBBLog(L"scan-test.log", false, 1 << 20) { setLevel(LOG_DEBUG); }
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::to_wstring(level) + L":" + VFormatWideString(fmt, args));
    }
    bool has(int level, const std::wstring& text) {
        return count(std::to_wstring(level) + L":" + text, true) > 0;
    }
    // Lines equal to text (exact) or containing it.
    int count(const std::wstring& text, bool exact = false) {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (auto& l : m_lines)
            if (exact ? l == text : l.find(text) != std::wstring::npos) ++n;
        return n;
    }
    std::wstring all() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::wstring out;
        for (auto& l : m_lines) out += l + L"\n";
        return out;
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

// A registry and an installation folder of the test's own, and a log that keeps its lines.
class ScanFixture {
public:
    ScanFixture() { setCurrentLogger(log); }
    ~ScanFixture() { setCurrentLogger(nullptr); }

    // InstallDir is the folder with its trailing "/", as the file name is appended directly.
    void setInstallDir(const std::string& dir) {
        CRegistry::getInstance()->writeString(L"Software\\Kelvarin\\Pelmo", L"InstallDir",
                                              std::wstring(dir.begin(), dir.end()));
    }
    void setCountry(int32_t code) {
        CRegistry::getInstance()->writeDWORD(kTunerSettingsKey, L"CountryCode", code);
    }
    void setOffset(int32_t kHz) {
        CRegistry::getInstance()->writeDWORD(kTunerSettingsKey, L"DVBTFrequencyOffset", kHz);
    }
    // Writes a frequency file into the installation folder and points InstallDir there.
    void writeFrequencyFile(const char* name, const std::string& text) {
        std::ofstream(install / name, std::ios::binary) << text;
        setInstallDir(install.path() + "/");
    }

    TempFolder folder{"scan_test"};
    TempFolder install{"scan_install"};
    ScopedEnv registryEnv{"PELMO_REGISTRY", folder.path()};
    ScopedEnv appDataEnv{"PELMO_APPDATA", folder.path()};
    std::shared_ptr<ScanLog> log = std::make_shared<ScanLog>();
};
