// pelmo-streamer with the real module on the demo broadcast, run from the build folder with
// nothing configured.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/TempFolder.h"
#include "tools/pelmo-streamer/StreamerTestSupport.h"

using namespace pelmo::streamer::testing;

namespace {

const std::string kDemoOne = "device://tv.channel.dvbt/#/474000/8/8916/4100/4164";
const std::string kDemoTwoHd = "device://tv.channel.dvbt/#/474000/8/8916/4100/4165";
const std::string kDemoNews = "device://tv.channel.dvbt/#/538000/8/8916/4101/4228";

class DemoAir : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = std::make_unique<TempFolder>("pelmo_streamer_demo");
        RunResult r = tool({"describe", kDemoOne});
        if (r.status != 0) openFailure = "the module cannot open " + kDemoOne + ": " + r.err;
    }
    static void TearDownTestSuite() { folder.reset(); }
    void SetUp() override {
        ASSERT_EQ("", openFailure);
        if (!haveFfprobe()) GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is not installed";
    }

    // The tool of this build, nothing configured but fresh settings and data folders.
    static RunResult tool(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), PELMO_STREAMER_TOOL);
        env.emplace("PELMO_REGISTRY", *folder / "settings");
        env.emplace("PELMO_APPDATA", *folder / "appdata");
        env.emplace("PELMO_BROADCAST", "");
        return run(args, env);
    }

    static inline std::unique_ptr<TempFolder> folder;
    static inline std::string openFailure;
};

TEST_F(DemoAir, ScanFindsTheServicesOfTheCatalogue) {
    PrivateBroker broker;
    if (broker.port() == 0) GTEST_SKIP() << broker.failure();
    RunResult r =
        tool({"scan", "tuner://tv.channel.dvbt/#/x", "--country", "44", "--json", "--timeout", "120"},
             {{"PELMO_BUS_PORT", std::to_string(broker.port())}});
    ASSERT_EQ(0, r.status) << r.err;
    // The services on the frequencies of DVBTfrequencies_B8.txt whose multiplex sends a NIT:
    // a scan lists a multiplex's services only once its NIT has come, so Local Seven (706000,
    // no NIT) is not found, and Demo Kids and Demo Films are off their raster (found only with
    // a frequency offset, which is 0 by default).
    for (const char* name : {"Demo One", "Demo Two HD", "Demo Music", "Demo News", "Demo Sport"})
        EXPECT_TRUE(contains(r.out, std::string("\"name\":\"") + name + "\"")) << name << " not in " << r.out;
    for (const char* name : {"Local Seven", "Demo Kids", "Demo Films"})
        EXPECT_FALSE(contains(r.out, std::string("\"name\":\"") + name + "\"")) << name << " in " << r.out;
    EXPECT_TRUE(contains(r.out, "\"path\":\"" + kDemoOne + "\"")) << r.out;
    // The multiplex on 538000 is received on its two alternate frequencies too: each frequency
    // that locks lists what it carries, under its own frequency.
    size_t entries = 0;
    for (size_t at = r.out.find("\"name\":"); at != std::string::npos; at = r.out.find("\"name\":", at + 1))
        ++entries;
    EXPECT_EQ(9u, entries) << r.out;
    EXPECT_TRUE(contains(r.out, "\"path\":\"device://tv.channel.dvbt/#/690000/8/8916/4101/4229\"")) << r.out;
    EXPECT_TRUE(contains(r.err, "found")) << "no progress line: " << r.err;
}

TEST_F(DemoAir, WatchWritesTheDescribedStreamsForTheAskedDuration) {
    RunResult d = tool({"describe", kDemoOne, "--compressed"});
    ASSERT_EQ(0, d.status) << d.err;
    EXPECT_TRUE(contains(d.out, "video: mpeg2, 720x576")) << d.out;
    EXPECT_TRUE(contains(d.out, "audio: mp2")) << d.out;
    RunResult r = tool({"watch", kDemoOne, "--compressed", "--seconds", "4", "-o", *folder / "one.ts"});
    ASSERT_EQ(0, r.status) << r.err;
    Probe p = ffprobe(*folder / "one.ts");
    ASSERT_TRUE(p.ok) << p.text;
    EXPECT_EQ((std::vector<std::string>{"mpeg2video", "mp2"}), p.codecs) << p.text;
    EXPECT_EQ(720, p.width);
    EXPECT_EQ(576, p.height);
    EXPECT_GE(p.duration, 3.9) << p.text;
    EXPECT_LE(p.duration, 5.0) << p.text;

    r = tool({"watch", kDemoOne, "--raw", "--seconds", "2", "-o", *folder / "one.mkv"});
    ASSERT_EQ(0, r.status) << r.err;
    p = ffprobe(*folder / "one.mkv");
    EXPECT_EQ("rawvideo", p.codecs.empty() ? "" : p.codecs[0]) << p.text;
    EXPECT_EQ(720, p.width);
    EXPECT_GE(p.duration, 1.9) << p.text;
}

TEST_F(DemoAir, AZapGivesBothChannelsInOneFile) {
    RunResult r = tool(
        {"watch", kDemoOne, "--compressed", "--seconds", "6", "--zap", kDemoNews, "-o", *folder / "zap.ts"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "changing to " + kDemoNews)) << r.out;
    EXPECT_TRUE(contains(r.out, "2 stretches")) << r.out;
    Probe p = ffprobe(*folder / "zap.ts");
    EXPECT_GE(p.duration, 5.9) << p.text;
    EXPECT_LE(p.duration, 7.0) << p.text;
    // Both halves decode: at least five seconds of pictures at 25 fps.
    EXPECT_GE(centreLumas(*folder / "zap.ts").size(), 125u);
}

TEST_F(DemoAir, ASnapshotIsAPngOfTheChannelsPictureSize) {
    RunResult r = tool({"snapshot", kDemoOne, "-o", *folder / "one.png"});
    ASSERT_EQ(0, r.status) << r.err;
    Probe p = ffprobe(*folder / "one.png");
    EXPECT_EQ(std::vector<std::string>{"png"}, p.codecs) << p.text;
    EXPECT_EQ(720, p.width);
    EXPECT_EQ(576, p.height);
    r = tool({"snapshot", kDemoTwoHd, "-o", *folder / "two.png"});
    ASSERT_EQ(0, r.status) << r.err;
    p = ffprobe(*folder / "two.png");
    EXPECT_EQ(1920, p.width);
    EXPECT_EQ(1080, p.height);
}

}  // namespace
