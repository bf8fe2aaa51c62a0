// The shipped frequency files: every line is a medium string the tune request reads, each
// file keeps to its plan's raster, and the demo broadcast can be found with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/air/AirCatalogue.h"
#include "tuning/MediumString.h"

namespace {

const std::string kFolder = std::string(SKYVANE_SOURCE_DIR) + "/data/frequencies/";

std::vector<std::wstring> linesOf(const char* name) {
    std::ifstream in(kFolder + name);
    EXPECT_TRUE(in.good()) << name;
    std::vector<std::wstring> lines;
    for (std::string line; std::getline(in, line);) lines.emplace_back(line.begin(), line.end());
    return lines;
}

std::vector<DvbtChannel> dvbt(const char* name) {
    std::vector<DvbtChannel> channels;
    for (const std::wstring& line : linesOf(name)) {
        DvbtChannel c;
        EXPECT_EQ(S_OK, MediumString::parseDvbt(line, c)) << name;
        // Tuned as they stand: no network identifiers, and the medium is written back the same.
        EXPECT_FALSE(c.hasNetworkIds());
        EXPECT_EQ(line, MediumString::format(c));
        channels.push_back(c);
    }
    return channels;
}

// The frequencies of one bandwidth in one band: each on its raster (centre = base + step * n).
std::set<int> onRaster(const std::vector<DvbtChannel>& channels, int bandwidth, int baseKHz, int first,
                       int last, bool uhf) {
    std::set<int> found;
    for (const DvbtChannel& c : channels) {
        if (c.bandwidth != bandwidth || (c.frequency >= 470000) != uhf) continue;
        int step = bandwidth * 1000;
        EXPECT_EQ(0, (c.frequency - baseKHz) % step) << c.frequency;
        int n = (c.frequency - baseKHz) / step;
        EXPECT_GE(n, first) << c.frequency;
        EXPECT_LE(n, last) << c.frequency;
        found.insert(c.frequency);
    }
    return found;
}

TEST(FrequencyFiles, EachDvbtFileFollowsItsChannelPlanWithoutGapsOrRepeats) {
    auto b8 = dvbt("DVBTfrequencies_B8.txt");
    EXPECT_EQ(49u, onRaster(b8, 8, 306000, 21, 69, true).size());
    EXPECT_EQ(49u, b8.size());

    auto b78 = dvbt("DVBTfrequencies_B7-8.txt");
    EXPECT_EQ(8u, onRaster(b78, 7, 142500, 5, 12, false).size());
    EXPECT_EQ(49u, onRaster(b78, 8, 306000, 21, 69, true).size());
    EXPECT_EQ(57u, b78.size());

    auto b7 = dvbt("DVBTfrequencies_B7.txt");
    // Australia: VHF 6-12 with 9A between 9 and 10 (eight 7 MHz steps from 177.5 MHz), UHF 28-51.
    std::set<int> australia = onRaster(b7, 7, 142500, 5, 12, false);
    EXPECT_EQ(8u, australia.size());
    std::set<int> uhf = onRaster(b7, 7, 333500, 28, 51, true);
    EXPECT_EQ(24u, uhf.size());
    australia.insert(uhf.begin(), uhf.end());
    EXPECT_EQ(32u, b7.size());
    EXPECT_EQ(1u, australia.count(205500));  // 9A
    EXPECT_EQ(1u, australia.count(529500));  // UHF 28
    EXPECT_EQ(1u, australia.count(690500));  // UHF 51, the top of the band left to television
    EXPECT_EQ(0u, australia.count(697500));

    auto b6 = dvbt("DVBTfrequencies_B6.txt");
    EXPECT_EQ(38u, onRaster(b6, 6, 389000, 14, 51, true).size());
    EXPECT_EQ(38u, b6.size());

    // The universal file is every distinct line of the four, in frequency order.
    std::set<std::wstring> all;
    for (const char* name : {"DVBTfrequencies_B8.txt", "DVBTfrequencies_B7-8.txt", "DVBTfrequencies_B7.txt",
                             "DVBTfrequencies_B6.txt"})
        for (const std::wstring& line : linesOf(name)) all.insert(line);
    auto universal = linesOf("DVBTfrequencies_Universal.txt");
    EXPECT_EQ(all, std::set<std::wstring>(universal.begin(), universal.end()));
    EXPECT_EQ(all.size(), universal.size());
    auto channels = dvbt("DVBTfrequencies_Universal.txt");
    for (size_t i = 1; i < channels.size(); ++i) EXPECT_LE(channels[i - 1].frequency, channels[i].frequency);
}

TEST(FrequencyFiles, AtscFileListsThePhysicalChannelsTwoToThirtySix) {
    auto lines = linesOf("ATSCfrequencies.txt");
    ASSERT_EQ(35u, lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        AtscChannel c;
        ASSERT_EQ(S_OK, MediumString::parseAtsc(lines[i], c));
        EXPECT_EQ(static_cast<int>(i) + 2, c.physical);
        EXPECT_EQ(-1, c.major);
        EXPECT_EQ(-1, c.minor);
    }
}

TEST(FrequencyFiles, EveryDemoMultiplexLiesOnTheFilesOfItsSystem) {
    std::string error;
    auto catalogue =
        AirCatalogue::load(std::string(SKYVANE_SOURCE_DIR) + "/data/demo/broadcast.xml", false, error);
    ASSERT_TRUE(catalogue) << error;
    std::set<std::pair<int, int>> b8, universal;
    for (auto& c : dvbt("DVBTfrequencies_B8.txt")) b8.insert({c.frequency, c.bandwidth});
    for (auto& c : dvbt("DVBTfrequencies_Universal.txt")) universal.insert({c.frequency, c.bandwidth});
    auto atsc = linesOf("ATSCfrequencies.txt");
    int seen = 0;
    for (const AirMultiplex& m : catalogue->multiplexes()) {
        if (m.system == AirSystem::ATSC) {
            EXPECT_NE(atsc.end(),
                      std::find(atsc.begin(), atsc.end(), std::to_wstring(m.physicalChannel) + L"/-1/-1"));
            ++seen;
        }
        if (m.system != AirSystem::DVBT) continue;
        std::vector<int> nominal{m.frequencyKHz};
        nominal.insert(nominal.end(), m.alternateKHz.begin(), m.alternateKHz.end());
        for (int f : nominal) {
            EXPECT_EQ(1u, b8.count({f, m.bandwidthMHz})) << f;
            EXPECT_EQ(1u, universal.count({f, m.bandwidthMHz})) << f;
            ++seen;
        }
    }
    // 474000, 538000 with its two alternates, 618000, 706000; ATSC 22.
    EXPECT_EQ(7, seen);
}

}  // namespace
