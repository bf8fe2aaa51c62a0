// pelmo-streamer with the real module on a broadcast of sound-only services: captures played as
// they are, one with SMPTE 302M sound (a private stream type, as some transmitters send it) and
// one with MPEG audio. Neither has a picture, so neither opens.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/TempFolder.h"
#include "tools/pelmo-streamer/StreamerTestSupport.h"

using namespace pelmo::streamer::testing;

namespace {

class SoundOnlyAir : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = std::make_unique<TempFolder>("pelmo_streamer_sound_only");
        const std::string sine = "sine=frequency=1000:sample_rate=48000";
        for (auto [file, codec] : {std::pair{"s302m.ts", "s302m"}, std::pair{"mp2.ts", "mp2"}}) {
            std::vector<std::string> argv;
            std::istringstream words("ffmpeg -v error -y -f lavfi -i " + sine + " -ac 2 -c:a " + codec +
                                     " -strict -2 -t 4 -mpegts_service_id 4164 -f mpegts");
            for (std::string w; words >> w;) argv.push_back(w);
            argv.push_back(*folder / file);
            RunResult r = run(argv);
            if (r.status != 0) clipFailure += std::string(file) + ": " + r.err;
        }
        std::ofstream(*folder / "broadcast.xml")
            << "<broadcast speed=\"1\">\n<devices>\n"
               "<device category=\"networktuner\" receives=\"dvbt\" name=\"Sound Tuner\" "
               "path=\"\\\\?\\usb#vid_2040&amp;pid_7060#snd1#{71985f48-1ca1-11d3-9cc8-00c04f7971e0}\"/>\n"
               "</devices>\n"
               "<dvbt frequency=\"474000\" bandwidth=\"8\" file=\"s302m.ts\" lock=\"100\"/>\n"
               "<dvbt frequency=\"482000\" bandwidth=\"8\" file=\"mp2.ts\" lock=\"100\"/>\n"
               "</broadcast>\n";
        // Warnings are logged too, as a user asking why would have them.
        std::filesystem::create_directories(*folder / "settings");
        std::ofstream(*folder / "settings/HKEY_LOCAL_MACHINE.reg")
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\n\"LogLevel\"=dword:00000002\n";
    }
    static void TearDownTestSuite() { folder.reset(); }
    void SetUp() override { ASSERT_EQ("", clipFailure) << "ffmpeg (Debian package ffmpeg) made no clip"; }

    static RunResult tool(std::vector<std::string> args) {
        args.insert(args.begin(), PELMO_STREAMER_TOOL);
        return run(args, {{"PELMO_REGISTRY", *folder / "settings"},
                          {"PELMO_APPDATA", *folder / "appdata"},
                          {"PELMO_BROADCAST", *folder / "broadcast.xml"}});
    }
    static std::string log() { return readFile(*folder / "appdata/Kelvarin/Logs/Skyvane.log"); }

    static inline std::unique_ptr<TempFolder> folder;
    static inline std::string clipFailure;
};

// The open is refused by the rule for a source without a video pin, at once rather than after
// waiting for a picture; the time-shift buffer had the programme (its source saw what it carries).
TEST_F(SoundOnlyAir, AServiceWithoutPictureIsRefusedForWantOfAVideoPin) {
    for (auto [path, carries] : {std::pair{"device://tv.channel.dvbt/#/474000/8/1/1/4164", "s302m"},
                                 std::pair{"device://tv.channel.dvbt/#/482000/8/1/1/4164", "mp2"}}) {
        SCOPED_TRACE(path);
        size_t logged = log().size();
        RunResult w = tool({"watch", path, "--compressed", "--seconds", "3", "-o", *folder / "f.ts"});
        EXPECT_EQ(1, w.status) << w.out << w.err;
        EXPECT_TRUE(contains(w.err, std::string("cannot open ") + path)) << w.err;
        EXPECT_FALSE(contains(w.err, "delivered no picture")) << w.err;
        std::string lines = log().substr(logged);
        EXPECT_TRUE(
            contains(lines, std::string("has no picture that can be delivered (it carries ") + carries + ")"))
            << lines;
        EXPECT_TRUE(contains(lines, "source filter does not have video pin 80004005")) << lines;
        EXPECT_TRUE(contains(lines, "DSInputPlugin::createFileGraph addGrabber failed 80004005")) << lines;
    }
}

}  // namespace
