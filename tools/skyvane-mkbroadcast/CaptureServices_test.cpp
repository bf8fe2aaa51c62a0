#include "tools/skyvane-mkbroadcast/CaptureServices.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/TempFolder.h"

namespace {

std::string corpus(const char* name) {
    return std::string(SKYVANE_CORPUS_DIR) + "/ts/" + name;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int run(const std::string& args, std::string& out) {
    std::string cmd = std::string(SKYVANE_MKBROADCAST) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(CaptureServices, ReadFromTheCapturesOwnTables) {
    std::string dvb = corpus("dvbt2_cz_db_mux24.ts"), atsc = corpus("atsc_us_wnet_psip.ts");
    if (!exists(dvb) || !exists(atsc)) GTEST_SKIP() << "captures not available in " << SKYVANE_CORPUS_DIR;
    std::string error;
    auto clip = AirClip::load(dvb, 0, error);
    ASSERT_TRUE(clip) << error;
    CaptureTables t = readCaptureTables(*clip);
    EXPECT_EQ(1026, t.transportStreamId);
    EXPECT_EQ(0x20CB, t.originalNetworkId);
    ASSERT_EQ(19u, t.services.size());
    EXPECT_EQ(515, t.services[0].serviceId);
    EXPECT_EQ(" Nova Action", t.services[0].name);  // the broadcaster's leading space kept
    EXPECT_EQ("DB, MUX 24", t.services[0].provider);
    EXPECT_EQ(0x1F, t.services[0].type);

    clip = AirClip::load(atsc, 0, error);
    ASSERT_TRUE(clip) << error;
    t = readCaptureTables(*clip);
    ASSERT_EQ(3u, t.services.size());
    EXPECT_EQ("WNET-HD", t.services[0].name);
    EXPECT_EQ(13, t.services[0].major);
    EXPECT_EQ(1, t.services[0].minor);
    EXPECT_EQ(3, t.services[0].serviceId);
    EXPECT_EQ("V-Me", t.services[2].name);
}

TEST(SkyvaneMkbroadcast, LeavesCapturesAloneAndListsBeforeGenerating) {
    std::string capture = corpus("atsc_us_wnet_psip.ts");
    if (!exists(capture)) GTEST_SKIP() << "capture not available: " << capture;
    TempFolder dir;
    std::string original = slurp(capture);
    std::ofstream(dir.path() + "/wnet.ts", std::ios::binary) << original;
    std::ofstream(dir.path() + "/air.xml")
        << "<broadcast><devices>"
           "<device category=\"networktuner\" receives=\"atsc\" name=\"A\" path=\"x#1\"/>"
           "<device category=\"tvtuner\" receives=\"analog\" name=\"Box Tuner\" path=\"x#2\"/></devices>"
           "<atsc channel=\"13\" file=\"wnet.ts\"/>"
           "<analog channel=\"3\" file=\"sub/../an3.ts\" seconds=\"0.5\"/>"
           "<settopbox feeds=\"aux\" input=\"1\" channel=\"3\" tuner=\"Box Tuner\"/></broadcast>";
    std::string out;
    // From another folder: file names are the catalogue's, not the working folder's.
    ::mkdir((dir.path() + "/sub").c_str(), 0755);
    ASSERT_EQ(0, run("--list " + dir.path() + "/air.xml", out)) << out;
    EXPECT_NE(std::string::npos, out.find("13.1 WNET-HD (program 3)")) << out;
    EXPECT_NE(std::string::npos, out.find("set-top box on auxiliary input 1 of Box Tuner, showing channel 3"))
        << out;
    EXPECT_FALSE(exists(dir.path() + "/an3.ts"));

    out.clear();
    ASSERT_EQ(0, run(dir.path() + "/air.xml", out)) << out;
    EXPECT_NE(std::string::npos, out.find("1 clips written, 1 captures left as they are")) << out;
    EXPECT_TRUE(exists(dir.path() + "/an3.ts"));
    EXPECT_TRUE(slurp(dir.path() + "/wnet.ts") == original) << "the capture was rewritten";

    out.clear();
    std::remove((dir.path() + "/wnet.ts").c_str());
    EXPECT_EQ(1, run(dir.path() + "/air.xml", out)) << out;
    EXPECT_NE(std::string::npos, out.find("capture not found: " + dir.path() + "/wnet.ts")) << out;
}
