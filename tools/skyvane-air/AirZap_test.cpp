#include "tools/skyvane-air/AirZap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/air/AirTuner.h"
#include "platform/air/TsPacket.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/";

std::shared_ptr<AirBroadcast> demo(double speed) {
    std::string error;
    auto b = AirBroadcast::open(kDemo + "broadcast.xml", error);
    EXPECT_TRUE(b) << error;
    if (b) b->setSpeed(speed);
    return b;
}

// Runs the tool; its exit status, with standard output and error in `out`.
// `prefix` goes before the command (a working folder, environment changes).
int tool(const std::string& args, std::string& out, const std::string& prefix = "") {
    std::string cmd = prefix + std::string(SKYVANE_AIR_TOOL) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(AirZapTarget, ReadsEachSystemAndRefusesMalformedOnes) {
    AirZapTarget t;
    std::string error;
    ASSERT_TRUE(AirZapTarget::parse("dvbt:474000", t, error)) << error;
    EXPECT_EQ(AirSystem::DVBT, t.system);
    EXPECT_EQ(474000, t.value);
    EXPECT_EQ(-1, t.bandwidth);
    ASSERT_TRUE(AirZapTarget::parse("dvbt:538000:7", t, error));
    EXPECT_EQ(7, t.bandwidth);
    ASSERT_TRUE(AirZapTarget::parse("atsc:22", t, error));
    EXPECT_EQ(AirSystem::ATSC, t.system);
    ASSERT_TRUE(AirZapTarget::parse("analog:3", t, error));
    EXPECT_EQ(AirSystem::Analog, t.system);
    for (const char* bad : {"", "dvbt", "dvbt:", "dvbt:474 MHz", "dvbt:474000:", "dvbt:-5", "atsc:22:1",
                            "cable:3", "analog:x", "dvbt:99999999999999"}) {
        EXPECT_FALSE(AirZapTarget::parse(bad, t, error)) << bad;
        EXPECT_NE(std::string::npos, error.find("dvbt:FREQUENCY_KHZ")) << bad;
    }
}

TEST(AirZap, WritesTheTunedMultiplexFromLockOn) {
    // Whenever the reader joins, nothing it gets can have come before the lock (400 ms). It
    // joins right after tuning; at real speed the stream is 1.4 s from its end then (at speed
    // 4 a tool starved for 0.6 s under TSan joined after the end and got nothing).
    auto b = demo(1);
    ASSERT_TRUE(b);
    AirZapOptions o;
    std::string parseError;
    ASSERT_TRUE(AirZapTarget::parse("dvbt:474000", o.target, parseError));
    o.seconds = 1;
    std::vector<uint8_t> ts;
    AirZapResult r;
    std::string error;
    ASSERT_TRUE(AirZap(b).run(
        o,
        [&](const uint8_t* p, size_t n) {
            ts.insert(ts.end(), p, p + n * 188);
            return true;
        },
        nullptr, r, error))
        << error;
    ASSERT_GT(r.packets, 0u);
    EXPECT_EQ(ts.size(), r.packets * 188);
    EXPECT_GE(r.firstPacketMs, 400.0);
    for (size_t i = 0; i < ts.size(); i += 188) ASSERT_EQ(0x47, ts[i]);
}

TEST(AirZap, ReadsTheSignalOnTheBroadcastClock) {
    // The clock moves only when a reading has been handed on, so each reading is taken at
    // exactly its time: unlocked before the 400 ms lock, locked from it on.
    auto b = demo(4);
    ASSERT_TRUE(b);
    b->setManualClock(true);
    AirZapOptions o;
    std::string parseError;
    ASSERT_TRUE(AirZapTarget::parse("dvbt:474000", o.target, parseError));
    o.seconds = 1;
    o.signalEveryMs = 100;
    std::vector<std::pair<double, AirSignal>> readings;
    AirZapResult r;
    std::string error;
    ASSERT_TRUE(AirZap(b).run(
        o, nullptr,
        [&](double ms, const AirSignal& s) {
            readings.push_back({ms, s});
            b->advanceMs(o.signalEveryMs);
        },
        r, error))
        << error;
    EXPECT_EQ(0u, r.packets);
    ASSERT_EQ(10u, readings.size());
    for (size_t i = 0; i < readings.size(); ++i) {
        const auto& reading = readings[i];
        EXPECT_EQ(100.0 * double(i), reading.first);
        EXPECT_TRUE(reading.second.present);
        EXPECT_EQ(reading.first >= 400, reading.second.locked) << reading.first;
        EXPECT_EQ(86, reading.second.strength);
    }
}

// A tool that gets no time to read until the stream has reached the end takes its packets
// after the loop; they still say when the first came. The first reading holds the tool until
// then. (It joined the stream before that reading, 1.4 s before the stream's end at this speed.)
TEST(AirZap, ATooLateReaderStillReportsItsFirstPacket) {
    auto b = demo(1);
    ASSERT_TRUE(b);
    auto tuner = b->tuner(L"Skyvane Virtual DVB-T Tuner");
    ASSERT_TRUE(tuner);
    AirZapOptions o;
    std::string parseError;
    ASSERT_TRUE(AirZapTarget::parse("dvbt:474000", o.target, parseError));
    o.seconds = 1;
    bool held = false;
    AirZapResult r;
    std::string error;
    ASSERT_TRUE(AirZap(b).run(
        o, [](const uint8_t*, size_t) { return true; },
        [&](double, const AirSignal&) {
            if (held) return;
            held = true;
            auto stream = tuner->stream();
            while (stream && stream->reachedMs() < 1000)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        r, error))
        << error;
    ASSERT_TRUE(held);
    EXPECT_GT(r.packets, 0u);
    EXPECT_GE(r.firstPacketMs, 1000.0);
}

TEST(AirZap, NothingOnAirIsNoSignal) {
    auto b = demo(40);
    ASSERT_TRUE(b);
    AirZapOptions o;
    std::string error;
    ASSERT_TRUE(AirZapTarget::parse("dvbt:500000", o.target, error));
    AirZapResult r;
    EXPECT_FALSE(AirZap(b).run(o, nullptr, nullptr, r, error));
    EXPECT_EQ("no signal at 500000 kHz", error);
    ASSERT_TRUE(AirZapTarget::parse("atsc:70", o.target, error));
    EXPECT_FALSE(AirZap(b).run(o, nullptr, nullptr, r, error));
    EXPECT_EQ("a atsc tuner cannot tune ATSC channel 70", error);
}

TEST(SkyvaneAirTool, ExplainsWhatIsWrong) {
    std::string cat = "--catalogue " + kDemo + "broadcast.xml ";
    struct Case {
        std::string args;
        int status;
        const char* says;
    } cases[] = {
        {"", 2, "--tune is required"},
        {cat + "--tune dvbt:474000", 2, "give -o FILE.ts, --signal or both"},
        {cat + "--tune dvbt:474000 --signal --seconds", 2, "--seconds needs a value"},
        {cat + "--tune dvbt:474000 --signal --speed 0", 2, "--speed must be"},
        {cat + "--tune vhf:5 --signal", 2, "cannot read \"vhf:5\""},
        {cat + "--tune dvbt:474000 --bogus", 2, "unknown argument \"--bogus\""},
        {cat + "--tune dvbt:522000 --signal", 1, "no signal at 522000 kHz"},
        {"--catalogue /nonexistent/broadcast.xml --tune atsc:22 --signal", 1, "cannot be read"},
        {cat + "--tune atsc:22 -o /nonexistent/dir/x.ts", 1, "cannot write /nonexistent/dir/x.ts"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(c.status, tool(c.args, out)) << c.args << "\n" << out;
        EXPECT_NE(std::string::npos, out.find(c.says)) << c.args << "\n" << out;
    }
}

// Without --catalogue the tool says which file it tried, in full, and how to name another.
TEST(SkyvaneAirTool, AMissingDefaultCatalogueIsNamedInFull) {
    char dir[] = "/tmp/skyvane-air-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    // An empty registry (no installation folder) and a working folder without a catalogue.
    const std::string env =
        std::string("cd ") + dir + " && env -u PELMO_BROADCAST PELMO_REGISTRY=" + dir + " ";
    std::string out;
    EXPECT_EQ(1, tool("--tune atsc:22 --signal", out, env)) << out;
    EXPECT_NE(std::string::npos, out.find(std::string(dir) + "/broadcast.xml: cannot be read")) << out;
    EXPECT_NE(std::string::npos, out.find("the current folder's was tried; name one with --catalogue FILE"))
        << out;
    out.clear();
    EXPECT_EQ(
        1, tool("--tune atsc:22 --signal", out,
                std::string("cd ") + dir + " && PELMO_BROADCAST=sub/../air.xml PELMO_REGISTRY=" + dir + " "))
        << out;
    EXPECT_NE(std::string::npos, out.find(std::string(dir) + "/air.xml: cannot be read")) << out;
    EXPECT_NE(std::string::npos, out.find("$PELMO_BROADCAST named this one; name one with --catalogue FILE"))
        << out;
    // Given with --catalogue, the file is the user's own choice: no advice.
    out.clear();
    EXPECT_EQ(1,
              tool("--catalogue nowhere.xml --tune atsc:22 --signal", out, std::string("cd ") + dir + " && "))
        << out;
    EXPECT_NE(std::string::npos, out.find(std::string(dir) + "/nowhere.xml: cannot be read")) << out;
    EXPECT_EQ(std::string::npos, out.find("no --catalogue")) << out;
    rmdir(dir);
}

TEST(SkyvaneAirTool, PrintsTheSignalAsTheTunerReportsIt) {
    std::string out;
    // At real speed the first reading, taken as soon as the tool has tuned, has half a second
    // before the lock to be made unlocked: at 20 times the speed it had 25 ms, which a loaded
    // machine does not always give a starting process.
    ASSERT_EQ(
        0, tool("--catalogue " + kDemo + "broadcast.xml --tune atsc:22 --signal --seconds 1 --speed 1", out))
        << out;
    // Lock after 500 ms: unlocked readings first, then locked ones with the catalogue's figures.
    EXPECT_NE(std::string::npos, out.find(" s  unlocked strength  77  quality   0")) << out;
    EXPECT_NE(std::string::npos, out.find("locked   strength  77  quality  83")) << out;
}
