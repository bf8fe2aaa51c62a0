// Test helpers for the scan driver: a log that threads may write to at once, a latch, and a
// section source whose answers a test scripts and may hold back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "platform/mpeg2data/Mpeg2Data.h"
#include "platform/mpeg2data/SectionList.h"
#include "platform/mpeg2data/SectionTestUtil.h"

namespace scantest {

using sectiontest::Bytes;

constexpr auto kLimit = std::chrono::seconds(60);  // only reached when something is broken

class LockedLog : public CBBLog {
public:
    LockedLog() : CBBLog(L"scan-test.log", false, 0) { CBBLog::setLevel(LOG_DEBUG); }
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        std::wstring line = VFormatWideString(fmt, args);
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::to_wstring(level) + L":" + line);
    }
    int count(const std::wstring& line) {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (const auto& l : m_lines)
            if (l.size() > 2 && l.compare(2, std::wstring::npos, line) == 0) ++n;
        return n;
    }
    bool has(int level, const std::wstring& line) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& l : m_lines)
            if (l == std::to_wstring(level) + L":" + line) return true;
        return false;
    }
    std::wstring all() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::wstring out;
        for (const auto& l : m_lines) out += l + L"\n";
        return out;
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

// Installs a LockedLog for a test and shows its lines when the test failed.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override { setCurrentLogger(log); }
    void TearDown() override {
        setCurrentLogger(nullptr);
        if (HasFailure()) std::wcerr << log->all();
    }
    std::shared_ptr<LockedLog> log = std::make_shared<LockedLog>();
};

class Latch {
public:
    void set() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_set = true;
        }
        m_changed.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, kLimit, [this] { return m_set; });
    }
    bool isSet() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_set;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_set = false;
};

// Answers table requests from a script: the sections of a (PID, table id), or a timeout at
// once. A gate on a (PID, table id) holds its requests until the test opens it.
class ScriptedSource : public ComObject<IMpeg2Data> {
public:
    struct Request {
        PID pid;
        TID tid;
        DWORD timeoutMs;
    };

    void set(PID pid, TID tid, std::vector<Bytes> sections) { m_tables[{pid, tid}] = std::move(sections); }
    // Requests of (pid, tid) set `entered` and wait for `open`.
    void gate(PID pid, TID tid, Latch* entered, Latch* open) { m_gates[{pid, tid}] = {entered, open}; }

    HRESULT GetTable(PID pid, TID tid, MPEG2_FILTER*, DWORD timeoutMs, ISectionList** list) override {
        *list = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_requests.push_back({pid, tid, timeoutMs});
        }
        auto gate = m_gates.find({pid, tid});
        if (gate != m_gates.end()) {
            gate->second.first->set();
            gate->second.second->wait();
        }
        auto table = m_tables.find({pid, tid});
        if (table == m_tables.end()) return MPEG2DATA_E_TIMEOUT;
        *list = CreateComObject<SectionList>(table->second);
        return S_OK;
    }

    std::vector<Request> requests() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_requests;
    }
    int count(PID pid, TID tid) {
        int n = 0;
        for (const Request& r : requests()) n += r.pid == pid && r.tid == tid;
        return n;
    }

private:
    std::map<std::pair<PID, TID>, std::vector<Bytes>> m_tables;
    std::map<std::pair<PID, TID>, std::pair<Latch*, Latch*>> m_gates;
    std::mutex m_lock;
    std::vector<Request> m_requests;
};

// A PAT of the programmes (number, PMT PID).
inline Bytes pat(uint16_t tsid, const std::vector<std::pair<int, int>>& programmes) {
    Bytes body;
    for (auto [number, pid] : programmes) {
        body.push_back(static_cast<uint8_t>(number >> 8));
        body.push_back(static_cast<uint8_t>(number));
        body.push_back(static_cast<uint8_t>(0xE0 | (pid >> 8)));
        body.push_back(static_cast<uint8_t>(pid));
    }
    return sectiontest::makeSection(0x00, tsid, 0, 0, 0, body);
}

// An SDT actual naming the services (id, name).
inline Bytes sdt(uint16_t tsid, uint16_t onid, const std::vector<std::pair<int, std::string>>& services) {
    Bytes body = {static_cast<uint8_t>(onid >> 8), static_cast<uint8_t>(onid), 0xFF};
    for (const auto& [id, name] : services) {
        Bytes d = {0x48, 0, 0x01, 0x00, static_cast<uint8_t>(name.size())};
        d.insert(d.end(), name.begin(), name.end());
        d[1] = static_cast<uint8_t>(d.size() - 2);
        body.push_back(static_cast<uint8_t>(id >> 8));
        body.push_back(static_cast<uint8_t>(id));
        body.push_back(0xFC);
        body.push_back(static_cast<uint8_t>(0x80 | (d.size() >> 8)));
        body.push_back(static_cast<uint8_t>(d.size()));
        body.insert(body.end(), d.begin(), d.end());
    }
    return sectiontest::makeSection(0x42, tsid, 0, 0, 0, body);
}

}  // namespace scantest
