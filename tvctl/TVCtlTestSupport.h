// Test support for the TV control: a world of its own (registry, application-data folder and
// install folder in one temporary folder), the demo broadcast or a variant of it at a speed
// factor with its devices registered, a log that keeps its lines, and ffprobe on a buffer.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "base/Text.h"
#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/com/ClassRegistry.h"
#include "platform/registry/Registry.h"
#include "platform/sbe/BufferManifest.h"
#include "platform/sbe/SbePath.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "tvctl/CTVCtl.h"
#include "tvctl/StreamBufferOutput.h"

namespace tvtest {

inline const std::string kDemoFolder = std::string(SKYVANE_BINARY_DIR) + "/data/demo";
inline const std::string kDemo = kDemoFolder + "/broadcast.xml";
constexpr int64_t kSecond = 10000000;

// Keeps "level:text" lines; every level is on.
class KeepingLog : public CBBLog {
public:
    KeepingLog() : CBBLog(L"tvctl-test.log", false, 1 << 20) { setLevel(LOG_DEBUG); }
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::to_wstring(level) + L":" + VFormatWideString(fmt, args));
    }
    bool has(int level, const std::wstring& text) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& l : m_lines)
            if (l == std::to_wstring(level) + L":" + text) return true;
        return false;
    }
    int count(const std::wstring& part) {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (auto& l : m_lines)
            if (l.find(part) != std::wstring::npos) ++n;
        return n;
    }
    std::string all() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::wstring out;
        for (auto& l : m_lines) out += l + L"\n";
        return WideToUtf8(out);
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

// Waits for a condition; the limit only keeps a broken build from hanging the run.
inline bool waitUntil(const std::function<bool()>& done, int limitSeconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
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

// "program=4165;h264;mp2;" as ffprobe sees the file's programmes and their streams' codecs.
inline std::string probeProgrammes(const std::string& file) {
    std::string raw =
        run("ffprobe -v error -show_entries program=program_id:program_stream=codec_name "
            "-of compact=nokey=0:print_section=0 '" +
            file + "' 2>&1");
    std::string layout;
    std::regex field("(program_id|codec_name)=([^|\\n]*)");
    for (auto it = std::sregex_iterator(raw.begin(), raw.end(), field); it != std::sregex_iterator(); ++it) {
        if ((*it)[1] == "program_id")
            layout += "program=" + (*it)[2].str() + ";";
        else
            layout += (*it)[2].str() + ";";
    }
    return layout;
}

inline double probeDuration(const std::string& file) {
    std::string out =
        run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "' 2>/dev/null");
    return out.empty() ? -1 : std::atof(out.c_str());
}

inline bool readManifest(const std::wstring& bufferName, BufferManifest& m) {
    std::string error;
    return BufferManifest::read(SbeFilePath(bufferName), m, error);
}

// The buffer's segments one after the other, as one transport stream file.
inline std::string joinSegments(const std::wstring& bufferName, const std::string& out) {
    BufferManifest m;
    std::string buffer = SbeFilePath(bufferName);
    std::string error;
    EXPECT_TRUE(BufferManifest::read(buffer, m, error)) << error;
    std::ofstream o(out, std::ios::binary);
    for (const BufferSegment& s : m.segments) {
        std::ifstream in(BufferManifest::segmentPath(buffer, s.number), std::ios::binary);
        o << in.rdbuf();
    }
    return out;
}

// The demo catalogue with its devices in another order (the first analog tuner is the one a
// TV control takes) and its clips found where the build wrote them.
inline std::string reorderedCatalogue(const std::string& folder, const std::vector<std::string>& firstCards,
                                      const std::string& moreDevices = "") {
    std::ifstream in(kDemo);
    std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    xml = std::regex_replace(xml, std::regex("file=\""), "file=\"" + kDemoFolder + "/");
    size_t devices = xml.find("<devices>");
    size_t end = xml.find("</devices>");
    if (devices == std::string::npos || end == std::string::npos) return {};
    std::string body = xml.substr(devices + 9, end - devices - 9);
    std::vector<std::string> lines;
    std::regex device("<device [^>]*/>");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), device); it != std::sregex_iterator(); ++it)
        lines.push_back(it->str());
    std::string ordered;
    for (const std::string& card : firstCards)
        for (const std::string& l : lines)
            if (l.find(card) != std::string::npos) ordered += l + "\n";
    for (const std::string& l : lines)
        if (ordered.find(l) == std::string::npos) ordered += l + "\n";
    ordered += moreDevices;
    xml = xml.substr(0, devices + 9) + "\n" + ordered + xml.substr(end);
    std::string path = folder + "/broadcast.xml";
    std::ofstream(path) << xml;
    return path;
}

// A registry, application-data and install folder of the test's own, the platform's classes,
// a broadcast with its devices, and the keeping log.
class TVCtlWorld : public ::testing::Test {
protected:
    void SetUp() override {
        registryEnv = std::make_unique<ScopedEnv>("PELMO_REGISTRY", folder.path());
        appDataEnv = std::make_unique<ScopedEnv>("PELMO_APPDATA", folder / "appdata");
        // Nobody listens there: a TV control without the bus, unless a test starts a broker.
        if (!getenv("PELMO_BUS_PORT") || !keepBusPort)
            busEnv = std::make_unique<ScopedEnv>("PELMO_BUS_PORT", "1");
        RegisterTVControlClasses();
        setCurrentLogger(log);
    }
    void TearDown() override {
        devices.reset();
        air.reset();
        ClassRegistry::instance().clearFailures();
        setCurrentLogger(nullptr);
        if (HasFailure()) std::cerr << log->all();
    }

    void openAir(double speed, const std::string& catalogue = kDemo) {
        std::string error;
        air = AirBroadcast::open(catalogue, error);
        ASSERT_TRUE(air) << error;
        air->setSpeed(speed);
        devices = RegisterAirDevices(air);
    }

    // The registry value that names the install folder, and the exceptions file in it.
    void setInstallDir(const std::string& dir) {
        HKEY key = nullptr;
        ASSERT_EQ(0, RegCreateKeyW(HKEY_LOCAL_MACHINE, L"Software\\Kelvarin\\Pelmo", &key));
        std::wstring value = NarrowToWide(dir);
        RegSetValueExW(key, L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    void writeExceptions(const std::string& xml) {
        std::string dir = folder / "install/bin/Plugins/Skyvane";
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/deviceExceptions.xml") << xml;
        setInstallDir(folder / "install");
    }
    void setStreamBufferValue(const wchar_t* name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(
            0, RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Kelvarin\\Pelmo\\Skyvane\\StreamBuffer", &key));
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }

    bool keepBusPort = false;
    TempFolder folder{"tvctl-test"};
    std::unique_ptr<ScopedEnv> registryEnv, appDataEnv, busEnv;
    std::shared_ptr<KeepingLog> log = std::make_shared<KeepingLog>();
    std::shared_ptr<AirBroadcast> air;
    std::unique_ptr<AirDeviceRegistration> devices;
};

}  // namespace tvtest
