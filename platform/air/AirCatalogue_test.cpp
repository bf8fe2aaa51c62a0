#include "platform/air/AirCatalogue.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";

// Writes a catalogue into a fresh folder that also holds one real file, "a.ts".
class Catalogue {
public:
    explicit Catalogue(const std::string& body) {
        char tmpl[] = "/tmp/air_catalogue_XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::ofstream(dir_ + "/a.ts") << "x";
        std::ofstream(dir_ + "/broadcast.xml") << body;
    }
    ~Catalogue() {
        std::remove((dir_ + "/a.ts").c_str());
        std::remove((dir_ + "/broadcast.xml").c_str());
        rmdir(dir_.c_str());
    }
    std::string path() const { return dir_ + "/broadcast.xml"; }
    std::string error() const {
        std::string e;
        auto c = AirCatalogue::load(path(), true, e);
        return c ? std::string("(loaded)") : e;
    }

private:
    std::string dir_;
};

const char* kTuner =
    "<device category=\"networktuner\" receives=\"dvbt\" name=\"T\" path=\"\\\\?\\usb#vid_1#1#{x}\"/>";

}  // namespace

TEST(AirCatalogue, DemoBroadcastIsComplete) {
    std::string error;
    auto c = AirCatalogue::load(kDemo, true, error);
    ASSERT_TRUE(c) << error;
    int dvbt = 0, atsc = 0, analog = 0, dvbtNoNit = 0;
    for (const AirMultiplex& m : c->multiplexes()) {
        dvbt += m.system == AirSystem::DVBT;
        atsc += m.system == AirSystem::ATSC;
        analog += m.system == AirSystem::Analog;
        dvbtNoNit += m.system == AirSystem::DVBT && !m.nit;
        if (m.system == AirSystem::DVBT) {
            EXPECT_GE(m.frequencyKHz, 470000);  // UHF
            EXPECT_LE(m.frequencyKHz, 862000);
        }
    }
    EXPECT_GE(dvbt - dvbtNoNit, 3);
    EXPECT_EQ(1, dvbtNoNit);
    EXPECT_EQ(1, atsc);
    EXPECT_EQ(3, analog);
    ASSERT_NE(nullptr, c->findDevice(L"skyvane virtual mpeg multiplexer b"));
    EXPECT_EQ(AirDeviceCategory::Multiplexer, c->findDevice(L"Skyvane Virtual MPEG Multiplexer B")->category);
    EXPECT_TRUE(c->setTopBox().present);
    const AirDevice* crossbar = c->findDevice(L"Skyvane Virtual Crossbar A");
    ASSERT_NE(nullptr, crossbar);
    EXPECT_EQ((std::vector<std::string>{"tuner", "composite", "svideo"}), crossbar->inputs);
}

TEST(AirCatalogue, ReceptionFollowsFrequencyOffsetAndBandwidth) {
    std::string error;
    auto c = AirCatalogue::load(kDemo, true, error);
    ASSERT_TRUE(c) << error;
    const AirMultiplex* m = c->findDvbt(474000, 8);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(4100, m->transportStreamId);
    EXPECT_EQ(m, c->findDvbt(474000 + AirCatalogue::kToleranceKHz, 8));
    EXPECT_EQ(nullptr, c->findDvbt(474000 + AirCatalogue::kToleranceKHz + 1, 8));
    EXPECT_EQ(nullptr, c->findDvbt(474000, 7));
    // Alternate frequencies carry the same multiplex.
    EXPECT_EQ(c->findDvbt(538000, 8), c->findDvbt(690000, 8));
    EXPECT_NE(nullptr, c->findDvbt(562000, 8));
    // Off its raster: only at nominal + offset.
    EXPECT_EQ(nullptr, c->findDvbt(618000, 8));
    ASSERT_NE(nullptr, c->findDvbt(618167, 8));
    EXPECT_EQ(618000, c->findDvbt(618167, 8)->frequencyKHz);
    EXPECT_EQ(nullptr, c->findDvbt(650000, 8));
    EXPECT_NE(nullptr, c->findAtsc(22));
    EXPECT_EQ(nullptr, c->findAtsc(23));
    EXPECT_NE(nullptr, c->findAnalog(5));
    EXPECT_EQ(nullptr, c->findAnalog(4));
}

TEST(AirCatalogue, BadCataloguesNameTheLine) {
    struct Case {
        std::string body;
        std::string expect;
    } cases[] = {
        {"<broadcast>\n<dvbt frequency=\"474 MHz\" bandwidth=\"8\" file=\"a.ts\"><service id=\"1\" "
         "name=\"x\"/></dvbt>"
         "</broadcast>",
         "line 2: \"frequency\" is not a number: \"474 MHz\""},
        {"<broadcast>\n\n<dvbt frequency=\"474000\" bandwidth=\"9\" file=\"a.ts\"/></broadcast>",
         "line 3: \"bandwidth\" 9 is outside 5..8"},
        {"<broadcast>\n<atsc channel=\"22\" file=\"missing.ts\"><service id=\"1\" name=\"x\" major=\"22\" "
         "minor=\"1\"/>"
         "</atsc></broadcast>",
         "line 2: transport stream file not found:"},
        {"<broadcast>\n<dvbt frequency=\"474000\" bandwidth=\"8\" file=\"a.ts\"><service id=\"1\" "
         "name=\"x\"/></dvbt>\n"
         "<dvbt frequency=\"474020\" bandwidth=\"8\" file=\"a.ts\"><service id=\"1\" "
         "name=\"x\"/></dvbt></broadcast>",
         "line 3: frequency 474020 kHz is already on air (line 2)"},
        {"<broadcast>\n<dvbt frequency=\"474000\" bandwidth=\"8\" file=\"a.ts\"><service id=\"1\" "
         "name=\"x\"/></dvbt>\n"
         "<dvbt frequency=\"482000\" bandwidth=\"8\" file=\"a.ts\"><alternate frequency=\"474000\"/>"
         "<service id=\"1\" name=\"x\"/></dvbt></broadcast>",
         "is already on air (line 2)"},
        {"<broadcast>\n<analog channel=\"3\" file=\"a.ts\"/>\n<analog channel=\"3\" "
         "file=\"a.ts\"/></broadcast>",
         "line 3: channel 3 is already on air (line 2)"},
        {"<broadcast>\n<dvbt frequency=\"474000\" bandwidth=\"8\" file=\"a.ts\">\n<service id=\"1\" "
         "name=\"x\"/>\n"
         "<service id=\"1\" name=\"y\"/></dvbt></broadcast>",
         "line 4: service id 1 is used twice"},
        {"<broadcast>\n<dvbt frequency=\"474000\" bandwidth=\"8\" file=\"a.ts\" lock=\"soon\"/></broadcast>",
         "line 2: \"lock\" is not a number: \"soon\""},
        {"<broadcast>\n<atsc channel=\"22\" file=\"a.ts\" dropout=\"3000-2000\"/></broadcast>",
         "line 2: \"dropout\" must be rising FROM-TO ranges"},
        {"<broadcast>\n<atsc channel=\"22\" file=\"a.ts\" dropout=\"1000-,2000-3000\"/></broadcast>",
         "line 2: \"dropout\" must be rising FROM-TO ranges"},
        {"<broadcast>\n<atsc channel=\"22\" file=\"a.ts\" dropout=\"1000-2000,1500-3000\"/></broadcast>",
         "line 2: \"dropout\" must be rising FROM-TO ranges"},
        {"<broadcast>\n<analog channel=\"3\" file=\"a.ts\" strength=\"0:80,0:40\"/></broadcast>",
         "line 2: \"strength\" times must rise"},
        {"<broadcast>\n<analog channel=\"3\" file=\"a.ts\" quality=\"0:80,500:101\"/></broadcast>",
         "line 2: \"quality\" must be 0..100 or a list of MS:VALUE points"},
        {"<broadcast>\n<analog channel=\"3\" file=\"a.ts\" strength=\"-\"/></broadcast>",
         "line 2: \"strength\" must be 0..100"},
        {std::string("<broadcast><devices>\n") + kTuner + "\n" + kTuner + "</devices></broadcast>",
         "line 3: device path"},
        {"<broadcast><devices>\n<device category=\"camera\" name=\"c\" path=\"a#b\"/></devices></broadcast>",
         "line 2: unknown device category \"camera\""},
        {"<broadcast><devices>\n<device category=\"encoder\" name=\"e\" "
         "path=\"nohash\"/></devices></broadcast>",
         "line 2: device path \"nohash\" has no '#' part"},
        {"<broadcast><devices>\n<device category=\"tvtuner\" receives=\"dvbt\" name=\"t\" path=\"a#b\"/>"
         "</devices></broadcast>",
         "line 2: a tvtuner cannot receive \"dvbt\""},
        {"<broadcast><devices>\n<device category=\"encoder\" path=\"a#b\"/></devices></broadcast>",
         "line 2: <device> needs the attribute \"name\""},
        {"<broadcast>\n<analog channel=\"3\" file=\"a.ts\"/>\n<settopbox feeds=\"aux\" input=\"1\" "
         "channel=\"4\"/>"
         "</broadcast>",
         "line 3: the set-top box shows channel 4, which is not on air"},
        {"<broadcast>\n<settopbox feeds=\"scart\" channel=\"4\"/></broadcast>",
         "line 2: \"feeds\" must be aux or tuner"},
        {"<broadcast>\n<analog channel=\"3\" file=\"a.ts\"/>\n"
         "<settopbox feeds=\"tuner\" tunerchannel=\"4\" channel=\"3\" tuner=\"nobody\"/></broadcast>",
         "line 3: the set-top box is wired to \"nobody\", which is no analog tuner"},
        {"<broadcast>\n<radio/></broadcast>", "line 2: unknown element <radio>"},
        {"<broadcast><devices>\n<device category=\"crossbar\" name=\"x\" path=\"a#b\" "
         "inputs=\"tuner,,svideo\"/>"
         "</devices></broadcast>",
         "line 2: unknown crossbar input \"\""},
        {"<catalogue/>", "line 1: the root element must be <broadcast>"},
        {"<broadcast speed=\"fast\"/>", "line 1: \"speed\" must be a number"},
        {"<broadcast>\n<analog channel=\"3\" file=\"a.ts\"\n</broadcast>", "line 2"},  // malformed XML
        {"", "broadcast.xml"},
    };
    for (const Case& c : cases) {
        Catalogue cat(c.body);
        std::string error = cat.error();
        EXPECT_NE(std::string::npos, error.find(c.expect)) << "got: " << error << "\nfor: " << c.body;
        if (!error.empty() && error != "(loaded)") {
            EXPECT_EQ(0u, error.find(cat.path())) << error;
        }
    }
}

TEST(AirCatalogue, ClipsAreOptionalWhileGenerating) {
    Catalogue cat("<broadcast><analog channel=\"9\" file=\"later.ts\"/></broadcast>");
    std::string error;
    EXPECT_FALSE(AirCatalogue::load(cat.path(), true, error));
    auto c = AirCatalogue::load(cat.path(), false, error);
    ASSERT_TRUE(c) << error;
    ASSERT_EQ(1u, c->multiplexes().size());
    // Clip names are relative to the catalogue's folder.
    EXPECT_EQ(cat.path().substr(0, cat.path().rfind('/') + 1) + "later.ts", c->multiplexes()[0].file);
}

TEST(AirCatalogue, SignalFaultsFollowTheTimeSinceTuning) {
    Catalogue cat(
        "<broadcast>"
        "<dvbt frequency=\"474000\" bandwidth=\"8\" file=\"a.ts\" lock=\"400\" dropout=\"2000-3000,6000-\""
        " strength=\"0:80,1000:40,1500:60\" quality=\"70\"/>"
        "<atsc channel=\"22\" file=\"b.ts\" lock=\"never\" strength=\"55\"/>"
        "</broadcast>");
    std::string error;
    auto c = AirCatalogue::load(cat.path(), false, error);
    ASSERT_TRUE(c) << error;
    const AirMultiplex& m = *c->findDvbt(474000, 8);
    EXPECT_TRUE(m.capture());
    struct Reading {
        double ms;
        bool present, locked;
        int strength, quality;
    } expected[] = {
        // Strength falls in a straight line from 80 to 40 over the first second, then rises to 60.
        {0, true, false, 80, 0},    {399, true, false, 64, 0},  {400, true, true, 64, 70},
        {500, true, true, 60, 70},  {1250, true, true, 50, 70}, {1999, true, true, 60, 70},
        {2000, false, false, 0, 0}, {2999, false, false, 0, 0},  // gone
        {3000, true, false, 60, 0}, {3399, true, false, 60, 0},  // back, locking again
        {3400, true, true, 60, 70}, {5999, true, true, 60, 70}, {6000, false, false, 0, 0},
        {1e9, false, false, 0, 0},  // never comes back
    };
    for (const Reading& r : expected) {
        AirSignal s = m.signalAt(r.ms);
        EXPECT_EQ(r.present, s.present) << r.ms;
        EXPECT_EQ(r.locked, s.locked) << r.ms;
        EXPECT_EQ(r.strength, s.strength) << r.ms;
        EXPECT_EQ(r.quality, s.quality) << r.ms;
    }
    const AirMultiplex& never = *c->findAtsc(22);
    for (double ms : {0.0, 500.0, 1e7}) {
        AirSignal s = never.signalAt(ms);
        EXPECT_TRUE(s.present);
        EXPECT_FALSE(s.locked);
        EXPECT_EQ(55, s.strength);
        EXPECT_EQ(0, s.quality);
    }
}

TEST(AirCatalogue, EnvironmentOrInstallDirNamesTheCatalogue) {
    setenv("PELMO_BROADCAST", "/srv/air/broadcast.xml", 1);
    EXPECT_EQ("/srv/air/broadcast.xml", AirCatalogue::defaultPath());
    unsetenv("PELMO_BROADCAST");

    char tmpl[] = "/tmp/air_registry_XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/HKEY_LOCAL_MACHINE.reg")
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\n\"InstallDir\"=\"/opt/pelmo\"\n";
    setenv("PELMO_REGISTRY", dir.c_str(), 1);
    EXPECT_EQ("/opt/pelmo/broadcast.xml", AirCatalogue::defaultPath());

    // An installation folder with only the demo broadcast names that; one of its own wins.
    std::ofstream(dir + "/HKEY_LOCAL_MACHINE.reg")
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo]\n\"InstallDir\"=\"" << dir << "/\"\n";
    mkdir((dir + "/demo").c_str(), 0755);
    std::ofstream(dir + "/demo/broadcast.xml") << "<broadcast/>";
    EXPECT_EQ(dir + "/demo/broadcast.xml", AirCatalogue::defaultPath());
    std::ofstream(dir + "/broadcast.xml") << "<broadcast/>";
    EXPECT_EQ(dir + "/broadcast.xml", AirCatalogue::defaultPath());
    std::remove((dir + "/broadcast.xml").c_str());
    std::remove((dir + "/demo/broadcast.xml").c_str());
    rmdir((dir + "/demo").c_str());
    std::remove((dir + "/HKEY_LOCAL_MACHINE.reg").c_str());
    rmdir(dir.c_str());
    unsetenv("PELMO_REGISTRY");
}
