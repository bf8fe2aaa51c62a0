// Test helpers for the table parser: a logger that keeps the lines, and section feeding.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "platform/mpeg2data/SectionList.h"
#include "platform/mpeg2data/SectionTestUtil.h"
#include "scan/Mpeg2DataParser.h"

namespace parsertest {

using sectiontest::Bytes;

// Keeps every line at or above the debug level in memory instead of writing files.
class CapturingLog : public CBBLog {
public:
    CapturingLog() : CBBLog(L"parser-test.log", false, 0) { CBBLog::setLevel(LOG_DEBUG); }
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        if (level <= getLevel()) lines.push_back(VFormatWideString(fmt, args));
    }
    std::vector<std::wstring> lines;
};

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = std::make_shared<CapturingLog>();
        setCurrentLogger(log);
    }
    void TearDown() override { setCurrentLogger(nullptr); }

    const std::vector<std::wstring>& lines() const { return log->lines; }
    int count(const std::wstring& line) const {
        return static_cast<int>(std::count(lines().begin(), lines().end(), line));
    }
    bool has(const std::wstring& line) const { return count(line) > 0; }
    void clearLog() { log->lines.clear(); }

    // Hands a section as transmitted to parse_section, header words turned as the source does.
    static void feed(Mpeg2DataParser& p, SectionFilter& f, Bytes section) {
        SectionList::toHostHeader(section);
        f.section = section.data();
        f.section_size = section.size();
        p.parse_section(f);
        f.section = nullptr;
        f.section_size = 0;
    }
    static SectionFilter filter(int pid, int tid) {
        SectionFilter f;
        f.pid = pid;
        f.table_id = tid;
        return f;
    }

    std::shared_ptr<CapturingLog> log;
};

inline void put16(Bytes& b, int v) {
    b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<int>(v >> 16));
    put16(b, static_cast<int>(v & 0xFFFF));
}
inline Bytes descriptor(uint8_t tag, const Bytes& payload) {
    Bytes d = {tag, static_cast<uint8_t>(payload.size())};
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes str(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes patBody(std::initializer_list<std::pair<int, int>> programs) {
    Bytes b;
    for (auto [program, pid] : programs) {
        put16(b, program);
        put16(b, 0xE000 | pid);
    }
    return b;
}

}  // namespace parsertest
