// pelmo-streamer run as a user runs it, against the stand-in plug-in: its files read back with
// ffprobe and libav's decoders, its messages and exit statuses, and a scan over the bus.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/TempFolder.h"
#include "platform/hux/HuxSatellite.h"
#include "tools/pelmo-streamer/StreamerTestSupport.h"

using namespace pelmo::streamer::testing;

namespace {

constexpr const char* kFixedFailure = "TV Control input: This device is in use or not supported";

class StreamerTool : public ::testing::Test {
protected:
    // The tool with the stand-in module and this test's own settings and data folders.
    RunResult tool(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), {PELMO_STREAMER_TOOL, "--module", PELMO_TEST_MODULE});
        env.emplace("PELMO_REGISTRY", folder / "settings");
        env.emplace("PELMO_APPDATA", folder / "appdata");
        return run(args, env);
    }
    RunResult bare(std::vector<std::string> args) {
        args.insert(args.begin(), PELMO_STREAMER_TOOL);
        return run(args, {{"PELMO_REGISTRY", folder / "settings"}, {"PELMO_APPDATA", folder / "appdata"}});
    }
    void needFfprobe() {
        if (!haveFfprobe()) GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is not installed";
    }

    TempFolder folder{"pelmo_streamer_test"};
};

TEST_F(StreamerTool, HelpAndBadArgumentsSayWhatIsWrongAndExitWithTwo) {
    RunResult r = bare({});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(contains(r.err, "usage: pelmo-streamer")) << r.err;
    EXPECT_EQ(0, bare({"--help"}).status);
    for (const char* command : {"scan", "watch", "record", "snapshot", "describe", "setup"}) {
        r = bare({"help", command});
        EXPECT_EQ(0, r.status) << command;
        EXPECT_TRUE(contains(r.out, std::string("usage: pelmo-streamer ") + command)) << r.out;
        EXPECT_EQ(r.out, bare({command, "--help"}).out) << command;
    }
    EXPECT_TRUE(contains(bare({"help", "watch"}).out, "--zap CHANNEL2"));

    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"frobnicate"}, "no command \"frobnicate\""},
        {{"watch"}, "watch needs a channel path"},
        {{"scan"}, "scan needs a tuner path"},
        {{"watch", "device://test/#/1", "--seconds", "abc"}, "--seconds takes a number"},
        {{"watch", "device://test/#/1", "--seconds"}, "--seconds takes a number"},
        {{"watch", "device://test/#/1", "-o", "clip.avi"}, "-o names a .ts or .mkv file"},
        {{"watch", "device://test/#/1", "--raw", "--compressed"}, "exclude each other"},
        {{"watch", "device://test/#/1", "--zap", "device://test/#/2", "--rewind", "2"},
         "cannot be used together"},
        {{"watch", "device://test/#/1", "--json"}, "\"--json\" is not an option of watch"},
        {{"watch", "device://test/#/1", "device://test/#/2"}, "one path only"},
        {{"snapshot", "device://test/#/1", "-o", "frame.jpg"}, "-o names a .png file"},
        {{"snapshot", "device://test/#/1"}, "snapshot needs -o FILE.png"},
        {{"record", "device://test/#/1"}, "record needs --to FILE"},
        {{"scan", "device://test/#/1"}, "scan takes a tuner path"},
        {{"scan", "tuner://test/#/x", "--country", "GB"}, "--country takes a country code"},
    };
    for (const Case& c : cases) {
        r = tool(c.args);
        EXPECT_EQ(2, r.status) << c.args[0];
        EXPECT_TRUE(contains(r.err, c.says)) << r.err;
    }
}

TEST_F(StreamerTool, FailuresGiveTheReasonAndWhereToLookAndExitWithOne) {
    RunResult r = tool({"describe", "device://test/#/0"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "cannot open device://test/#/0")) << r.err;
    EXPECT_TRUE(contains(r.err, kFixedFailure)) << r.err;
    EXPECT_TRUE(contains(r.err, folder / "appdata/Kelvarin/Logs/Skyvane.log")) << r.err;

    r = run({PELMO_STREAMER_TOOL, "--module", folder / "missing.so", "describe", "device://test/#/1"},
            {{"PELMO_REGISTRY", folder / "settings"}, {"PELMO_APPDATA", folder / "appdata"}});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, folder / "missing.so") && contains(r.err, "is not there")) << r.err;

    // A file that claims to be a module.
    std::ofstream(folder / "fake.so") << "#!/bin/sh\n";
    r = run({PELMO_STREAMER_TOOL, "--module", folder / "fake.so", "describe", "device://test/#/1"},
            {{"PELMO_REGISTRY", folder / "settings"}, {"PELMO_APPDATA", folder / "appdata"}});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "cannot load the plug-in module")) << r.err;

    // The channel to change to does not open: the file up to the change is kept.
    r = tool({"watch", "device://test/#/1", "--compressed", "--seconds", "2", "--zap", "device://test/#/0",
              "-o", folder / "z.ts"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "cannot change to device://test/#/0") && contains(r.err, kFixedFailure))
        << r.err;

    r = tool(
        {"watch", "device://test/#/1", "--compressed", "--seconds", "1", "-o", folder / "no/such/dir/x.ts"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "cannot write")) << r.err;
}

// A refusal for want of a picture is told as that, in words, before the log's lines.
TEST_F(StreamerTool, AChannelWithoutPictureIsNamedAsTheReason) {
    const std::string reason = "the channel has no picture";
    RunResult r =
        tool({"watch", "device://test/#/radio", "--compressed", "--seconds", "2", "-o", folder / "r.ts"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "cannot open device://test/#/radio: " + std::string(kFixedFailure) +
                                    " (code -1)\n  " + reason))
        << r.err;
    EXPECT_TRUE(contains(r.err, "source filter does not have video pin")) << r.err;
    // Other refusals do not claim it.
    r = tool({"describe", "device://test/#/0"});
    EXPECT_EQ(1, r.status);
    EXPECT_FALSE(contains(r.err, reason)) << r.err;
}

TEST_F(StreamerTool, DescribePrintsBothStreamsAsTextOrJson) {
    RunResult r = tool({"describe", "device://test/#/1", "--compressed"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "video: mpeg2, 160x120, 25 fps, progressive")) << r.out;
    EXPECT_TRUE(contains(r.out, "audio: mp2, 48000 Hz, 2 channels, 16 bits")) << r.out;
    r = tool({"describe", "device://test/#/1", "--raw", "--json"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(
        contains(r.out, "{\"video\":{\"codec\":\"raw\",\"width\":160,\"height\":120,\"frameRate\":25,"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\"pixelFormat\":5,\"topDown\":true")) << r.out;
    EXPECT_TRUE(contains(r.out, "\"audio\":{\"codec\":\"raw\",\"sampleRate\":48000,\"channels\":2")) << r.out;
}

TEST_F(StreamerTool, WatchWritesFilesThatFfprobeReadsWithTheDescribedStreamsAndLength) {
    needFfprobe();
    RunResult r =
        tool({"watch", "device://test/#/1", "--compressed", "--seconds", "3", "-o", folder / "c.ts"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "video: mpeg2") && contains(r.out, "wrote " + folder / "c.ts")) << r.out;
    Probe p = ffprobe(folder / "c.ts");
    ASSERT_TRUE(p.ok) << p.text;
    EXPECT_EQ((std::vector<std::string>{"mpeg2video", "mp2"}), p.codecs) << p.text;
    EXPECT_EQ(160, p.width);
    EXPECT_EQ(120, p.height);
    EXPECT_GE(p.duration, 2.9) << p.text;
    EXPECT_LE(p.duration, 3.5) << p.text;

    r = tool({"watch", "device://test/#/1", "--raw", "--seconds", "2", "-o", folder / "r.mkv"});
    ASSERT_EQ(0, r.status) << r.err;
    p = ffprobe(folder / "r.mkv");
    ASSERT_TRUE(p.ok) << p.text;
    EXPECT_EQ((std::vector<std::string>{"rawvideo", "pcm_s16le"}), p.codecs) << p.text;
    EXPECT_EQ(160, p.width);
    EXPECT_GE(p.duration, 1.9) << p.text;
    EXPECT_LE(p.duration, 2.5) << p.text;
    // Raw frames cannot go into MPEG-TS; the tool says what to do instead.
    r = tool({"watch", "device://test/#/1", "--raw", "--seconds", "1", "-o", folder / "r.ts"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "write a .mkv, or use --compressed")) << r.err;
}

TEST_F(StreamerTool, AZapPutsBothChannelsInOneFileOneAfterTheOther) {
    RunResult r = tool({"watch", "device://test/#/1", "--compressed", "--seconds", "4", "--zap",
                        "device://test/#/2", "-o", folder / "zap.ts"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "changing to device://test/#/2")) << r.out;
    std::vector<int> lumas = centreLumas(folder / "zap.ts");
    ASSERT_GE(lumas.size(), 90u);
    auto near = [](int v, int want) { return v >= want - 3 && v <= want + 3; };
    size_t firstTwo = 0;
    while (firstTwo < lumas.size() && !near(lumas[firstTwo], 56)) ++firstTwo;
    ASSERT_LT(firstTwo, lumas.size()) << "no picture of channel 2";
    EXPECT_GE(firstTwo, 45u) << "channel 1 should fill the first half";
    EXPECT_LE(firstTwo, 56u) << "channel 1 should stop at half way";
    for (size_t i = 0; i < lumas.size(); ++i)
        EXPECT_TRUE(i < firstTwo ? near(lumas[i], 36) : near(lumas[i], 56))
            << "frame " << i << ": " << lumas[i];
    if (haveFfprobe()) {
        Probe p = ffprobe(folder / "zap.ts");
        EXPECT_GE(p.duration, 3.9) << p.text;
        EXPECT_LE(p.duration, 4.8) << p.text;
    }
}

TEST_F(StreamerTool, ARewindWritesOnAfterTheJumpBack) {
    needFfprobe();
    RunResult r = tool({"watch", "device://test/#/1", "--raw", "--seconds", "3", "--rewind", "1", "-o",
                        folder / "rewind.mkv"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "rewinding 1.0 s at")) << r.out;
    EXPECT_TRUE(contains(r.out, "2 stretches")) << r.out;
    Probe p = ffprobe(folder / "rewind.mkv");
    EXPECT_GE(p.duration, 2.9) << p.text;
    EXPECT_LE(p.duration, 3.6) << p.text;
}

TEST_F(StreamerTool, WatchToStdoutWritesATransportStreamAndKeepsItsTalkOnStderr) {
    RunResult r = tool({"watch", "device://test/#/1", "--compressed", "--seconds", "1", "-o", "-"});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_GE(r.out.size(), 188u * 10);
    EXPECT_EQ(0, r.out.size() % 188);
    EXPECT_EQ('\x47', r.out[0]);
    EXPECT_EQ('\x47', r.out[188]);
    EXPECT_TRUE(contains(r.err, "video: mpeg2")) << r.err;
}

TEST_F(StreamerTool, SnapshotWritesAPngOfThePictureSize) {
    needFfprobe();
    for (const char* mode : {"--compressed", "--raw"}) {
        std::string png = folder / (std::string(mode + 2) + ".png");
        RunResult r = tool({"snapshot", "device://test/#/2", mode, "-o", png});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(contains(r.out, "(160x120)")) << r.out;
        Probe p = ffprobe(png);
        EXPECT_EQ(std::vector<std::string>{"png"}, p.codecs) << p.text;
        EXPECT_EQ(160, p.width);
        EXPECT_EQ(120, p.height);
        std::vector<int> lumas = centreLumas(png);
        ASSERT_EQ(1u, lumas.size());
    }
}

TEST_F(StreamerTool, RecordLeavesTheFileThePluginNamed) {
    RunResult r = tool({"record", "device://test/#/1", "--to", folder / "show.mpg", "--seconds", "0.3"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "into " + folder / "show.dvr-ms")) << r.out;
    struct stat st;
    EXPECT_EQ(0, stat((folder / "show.dvr-ms").c_str(), &st));
}

TEST_F(StreamerTool, AnEmptySettingsFolderGetsTheDefaultsOfThisBuild) {
    RunResult r = tool({"describe", "device://test/#/1"});
    ASSERT_EQ(0, r.status) << r.err;
    std::string machine = readFile(folder / "settings/HKEY_LOCAL_MACHINE.reg");
    EXPECT_TRUE(contains(machine, std::string("\"InstallDir\"=\"") + SKYVANE_BINARY_DIR + "/data/\""))
        << machine;
    EXPECT_TRUE(contains(machine, "\"OutputRaw\"=dword:00000001")) << machine;
    // --compressed changed the setting for that run only.
    ASSERT_EQ(0, tool({"describe", "device://test/#/1", "--compressed"}).status);
    EXPECT_EQ(machine, readFile(folder / "settings/HKEY_LOCAL_MACHINE.reg"));
}

int closedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);  // nothing listens there now
    return ntohs(a.sin_port);
}

TEST_F(StreamerTool, ScanWithoutABrokerSaysSoAndExitsWithOne) {
    RunResult r = tool({"scan", "tuner://test/#/x"}, {{"PELMO_BUS_PORT", std::to_string(closedPort())}});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "no message bus broker on 127.0.0.1:")) << r.err;
}

// A TV control's scan service: reports two channels through the bus as the plug-in does.
class FakeScanner : public HuxSatellite {
public:
    explicit FakeScanner(std::string device) : device(std::move(device)) {}
    ~FakeScanner() override { Disconnect(); }
    HRESULT DeclareServices() override {
        AddService(L"StartTVScan", L"",
                   new HuxSatelliteDelegateMember<FakeScanner>(this, &FakeScanner::start));
        return S_OK;
    }
    std::atomic<int> starts{0};

private:
    static CComVariant array(std::vector<CComVariant> items) {
        CComVariant v;
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
        for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
            SafeArrayPutElement(v.parray, &i, static_cast<const VARIANT*>(&items[i]));
        return v;
    }
    static CComVariant number(int n) {
        CComVariant v;
        v.vt = VT_I4;
        v.lVal = n;
        return v;
    }
    HRESULT start(const std::wstring&, VARIANT&, VARIANT*) {
        ++starts;
        CComVariant reply;
        std::wstring wdevice(device.begin(), device.end());
        Request(L"all", L"TVScanCallback",
                array({number(1), number(2), CComVariant(L"Demo \"One\""), CComVariant(L"device://test/#/1"),
                       number(86)}),
                &reply, HUX_NO_REPLY, nullptr);
        Request(L"all", L"TVScanCallback",
                array({number(2), number(2), CComVariant(L"Demo Two"), CComVariant(L"device://test/#/2"),
                       number(71)}),
                &reply, HUX_NO_REPLY, nullptr);
        CComVariant items = array({array({CComVariant(L"Demo \"One\""), CComVariant(L"device://test/#/1"),
                                          number(86), CComVariant(L"474000")}),
                                   array({CComVariant(L"Demo Two"), CComVariant(L"device://test/#/2"),
                                          number(71), CComVariant(L"538000")})});
        // A result of another tuner's scan first: it is not this scan's.
        Request(L"all", L"TVScanResult", array({CComVariant(L"tuner://other/#/x"), array({})}), &reply,
                HUX_NO_REPLY, nullptr);
        Request(L"all", L"TVScanResult", array({CComVariant(wdevice.c_str()), items}), &reply, HUX_NO_REPLY,
                nullptr);
        return S_OK;
    }
    std::string device;
};

TEST_F(StreamerTool, ScanShowsProgressAndPrintsTheResultAsATableOrJson) {
    PrivateBroker broker;
    if (broker.port() == 0) GTEST_SKIP() << broker.failure();
    const std::string port = std::to_string(broker.port());
    ScopedEnv busPort{"PELMO_BUS_PORT", port};
    FakeScanner scanner("tuner://test/#/x");
    ASSERT_TRUE(SUCCEEDED(scanner.Connect(L"127.0.0.1", L"FakeScanner" + std::to_wstring(getpid()))));

    RunResult r = tool({"scan", "tuner://test/#/x", "--json"}, {{"PELMO_BUS_PORT", port}});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(
        "[{\"name\":\"Demo "
        "\\\"One\\\"\",\"path\":\"device://test/#/1\",\"frequency\":\"474000\",\"signal\":86},"
        "{\"name\":\"Demo Two\",\"path\":\"device://test/#/2\",\"frequency\":\"538000\",\"signal\":71}]\n",
        r.out);
    EXPECT_TRUE(contains(r.err, "scan 1/2, 1 found, last: Demo \"One\" (signal 86)")) << r.err;
    EXPECT_TRUE(contains(r.err, "scan 2/2, 2 found, last: Demo Two (signal 71)")) << r.err;

    r = tool({"scan", "tuner://test/#/x", "--country", "44"}, {{"PELMO_BUS_PORT", port}});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "NAME")) << r.out;
    EXPECT_TRUE(contains(r.out, "Demo Two    device://test/#/2  538000     71")) << r.out;
    EXPECT_TRUE(contains(r.err, "DVBTfrequencies_B8.txt")) << r.err;
    EXPECT_EQ(2, scanner.starts.load());
}

}  // namespace
