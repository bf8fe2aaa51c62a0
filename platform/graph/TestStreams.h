// Test streams made once per test run by the ffmpeg command-line tool in a temporary folder:
// "av.ts" (2 s of 320x240 MPEG-2 video at 25 fps with 48 kHz MP2 sound), "audio.ts" (MP2
// only), "video.ts" (176x144 MPEG-2 only). Tests skip when the tool is missing.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TestStreams {
public:
    static TestStreams& get() {
        static TestStreams s;
        return s;
    }
    bool ok() const { return m_ok; }
    std::wstring path(const char* name) const { return (m_dir / name).wstring(); }

private:
    TestStreams() {
        char pattern[] = "/tmp/skyvane-streams-XXXXXX";
        if (!mkdtemp(pattern)) return;
        m_dir = pattern;
        const std::string ffmpeg = "ffmpeg -nostdin -loglevel error -y ";
        m_ok = run(ffmpeg +
                   "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                   "-t 2 -c:v mpeg2video -c:a mp2 -f mpegts " + (m_dir / "av.ts").string()) &&
               run(ffmpeg + "-f lavfi -i sine -t 1 -c:a mp2 -f mpegts " + (m_dir / "audio.ts").string()) &&
               run(ffmpeg + "-f lavfi -i testsrc=size=176x144:rate=25 -t 1 -c:v mpeg2video -f mpegts " +
                   (m_dir / "video.ts").string());
    }
    ~TestStreams() {
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    static bool run(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

    std::filesystem::path m_dir;
    bool m_ok = false;
};
