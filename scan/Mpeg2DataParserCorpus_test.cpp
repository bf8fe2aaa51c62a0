// The parser on real broadcast data: sections cut from off-air captures (scan/testdata, cut
// by cut_sections.py) and, when ../shared/corpus is there, the captures themselves read the
// way the scan reads a tuned frequency.
#include "scan/Mpeg2DataParser.h"

#include <map>

#include "platform/mpeg2data/TsFileMpeg2Data.h"
#include "scan/ParserTestUtil.h"

using namespace parsertest;

namespace {
std::string cutPath(const std::string& stem) {
    return std::string(SKYVANE_SOURCE_DIR) + "/scan/testdata/" + stem + ".sections";
}

std::string capturePath(const std::string& name) {
    return std::string(SKYVANE_CORPUS_DIR) + "/ts/" + name;
}

bool haveCorpus() {
    return !sectiontest::readFile(capturePath("dvbt_au_nit_two_networks.ts")).empty();
}

using Entries = std::vector<std::wstring>;
}  // namespace

class Mpeg2DataParserCorpus : public ParserTest {
protected:
    // Feeds the cut sections of a capture in the scan's order (PAT, NIT, SDT, VCT, then the
    // PMTs), one filter per PID and table id.
    void feedCut(Mpeg2DataParser& p, const std::string& stem) {
        auto cut = sectiontest::readCutSections(cutPath(stem));
        ASSERT_FALSE(cut.empty()) << cutPath(stem);
        for (int tid : {0x00, 0x40, 0x42, 0xC8, 0x02}) {
            for (auto& c : cut) {
                if (c.bytes[0] != tid) continue;
                const std::pair<int, int> key(c.pid, tid);
                if (!filters.count(key)) filters[key] = filter(c.pid, tid);
                feed(p, filters[key], c.bytes);
            }
        }
    }
    // The capture read by table requests, as the scan reads a tuned frequency.
    Entries scanCapture(const std::string& name, int32_t scanType, int32_t frequency) {
        std::vector<uint8_t> bytes;
        bool cut = false;
        std::string problem;
        EXPECT_TRUE(TsFileMpeg2Data::readRecording(capturePath(name), 64 << 20, &bytes, &cut, &problem))
            << problem;
        return scanBytes(std::move(bytes), scanType, frequency);
    }
    Entries scanBytes(std::vector<uint8_t> bytes, int32_t scanType, int32_t frequency) {
        ComPtr<TsFileMpeg2Data> source;
        source.Attach(CreateComObject<TsFileMpeg2Data>(std::move(bytes)));
        Mpeg2DataParser p(scanType);
        p.set_sources(source.Get(), nullptr);
        p.setNetworkNumber(frequency);
        p.scan_tables();
        EXPECT_TRUE(p.filters().empty());
        Entries list;
        if (scanType == Mpeg2DataParser::SCAN_ATSC) {
            p.getATSCListofChannels(frequency, list);
        } else {
            p.getDVBTListofChannels(frequency, list);
        }
        return list;
    }

    std::map<std::pair<int, int>, SectionFilter> filters;
};

TEST_F(Mpeg2DataParserCorpus, AustralianNitWithTwoNetworks) {
    Mpeg2DataParser p(Mpeg2DataParser::SCAN_DVBT);
    feedCut(p, "dvbt_au_nit_two_networks");
    // Both sections pass one request: the extension changes between them.
    EXPECT_TRUE(has(L"section version_number or table_id_ext changed 10 -> 15 / 321d -> 321b"));
    EXPECT_EQ(p.current_transponder(), nullptr);  // no PAT: the network names have no home
    ASSERT_EQ(p.transponders().size(), 2u);
    const Transponder* nine = p.find_transponder(0x0430);
    const Transponder* abc = p.find_transponder(0x0231);
    ASSERT_TRUE(nine && abc);
    EXPECT_EQ(nine->network_id, 0x321D);
    EXPECT_EQ(nine->original_network_id, 0x1012);
    EXPECT_EQ(nine->frequency, 191625);
    EXPECT_EQ(abc->network_id, 0x321B);
    EXPECT_EQ(abc->original_network_id, 0x1010);
    EXPECT_EQ(abc->frequency, 226500);
    EXPECT_EQ(abc->bandwidth, 7);
    EXPECT_FALSE(abc->network_name.has_value());
    // Logical channels of services nobody listed yet make services without a number.
    EXPECT_EQ(nine->services.size(), 10u);
    EXPECT_EQ(abc->services.size(), 16u);
    for (const Service& s : abc->services) EXPECT_EQ(s.channel_number, 0);
    EXPECT_TRUE(has(L"    Service ID 0x231 has channel number 2"));
}

TEST_F(Mpeg2DataParserCorpus, AustralianLogicalChannelsLandOnKnownServices) {
    Mpeg2DataParser p(Mpeg2DataParser::SCAN_DVBT);
    SectionFilter pat = filter(0, 0);
    feed(p, pat, sectiontest::makeSection(0x00, 0x0231, 0, 0, 0, patBody({{561, 0x100}, {575, 0x101}})));
    feedCut(p, "dvbt_au_nit_two_networks");
    Transponder* tp = p.current_transponder();
    EXPECT_EQ(p.find_service(tp, 561)->channel_number, 2);
    EXPECT_EQ(p.find_service(tp, 575)->channel_number, 204 & 0xFF);
    EXPECT_EQ(tp->network_name.value_or(""), "ABC Melbourne");  // the later section's name
    EXPECT_TRUE(has(L"    Network Name 'ABC Melbourne'"));
}

TEST_F(Mpeg2DataParserCorpus, CzechMultiplexWithFrequencyList) {
    Mpeg2DataParser p(Mpeg2DataParser::SCAN_DVBT);
    feedCut(p, "dvbt_cz_ct_mux1_730MHz");
    const Transponder* tp = p.current_transponder();
    ASSERT_NE(tp, nullptr);
    EXPECT_EQ(tp->transport_stream_id, 0x0111);
    EXPECT_EQ(tp->original_network_id, 0x20CB);
    EXPECT_EQ(tp->network_name.value_or(""), "CT, MUX 1");
    EXPECT_EQ(tp->frequency, 730000);
    EXPECT_TRUE(tp->other_frequency_flag);
    EXPECT_EQ(tp->alternate_frequencies, (std::vector<int32_t>{538000, 562000, 570000, 578000, 594000, 626000,
                                                               650000, 674000, 698000, 738000}));
    const Service* ct24 = p.find_service(const_cast<Transponder*>(tp), 259);
    EXPECT_EQ(ct24->pmt_pid, 0x0300);
    EXPECT_NE(ct24->teletext_pid, 0);
    EXPECT_EQ(ct24->audio_count, 2);
    EXPECT_STREQ(ct24->audio_lang[0], "cze");
    EXPECT_EQ(ct24->service_name.value_or(""), "CT 24");
    EXPECT_EQ(ct24->provider_name.value_or(""), "Ceska televize");
    // The entries themselves are checked through skyvane-channels (tools/).
    Entries list;
    clearLog();
    p.setNetworkNumber(730000);
    p.getDVBTListofChannels(730000, list);
    EXPECT_TRUE(has(L"#Alternate frequencies"));
    EXPECT_TRUE(has(L"#Network_730000(\"CT, MUX 1\", 738000, 8, 1)"));
}

TEST_F(Mpeg2DataParserCorpus, ItalianLogicalChannelsAndTeletext) {
    Mpeg2DataParser p(Mpeg2DataParser::SCAN_DVBT);
    feedCut(p, "dvbt_it_rai_muxA_498MHz");
    Transponder* tp = p.current_transponder();
    ASSERT_NE(tp, nullptr);
    EXPECT_EQ(tp->frequency, 498000);
    const std::map<int, int> lcn = {{3401, 1},  {3402, 2},   {3403, 3},
                                    {3411, 48}, {3410, 100}, {3404, 701 & 0xFF}};
    for (auto [sid, number] : lcn) EXPECT_EQ(p.find_service(tp, sid)->channel_number, number) << sid;
    EXPECT_NE(p.find_service(tp, 3401)->teletext_pid, 0);
    EXPECT_NE(p.find_service(tp, 3401)->video_pid, 0);
    EXPECT_EQ(p.find_service(tp, 3401)->service_name.value_or(""), "Rai 1");
}

TEST_F(Mpeg2DataParserCorpus, TaiwaneseNamesAreCutWhereTheReadingStops) {
    Mpeg2DataParser p(Mpeg2DataParser::SCAN_DVBT);
    feedCut(p, "dvbt_tw_cts_593MHz");
    Entries list;
    p.getDVBTListofChannels(593000, list);
    // The names are two-byte characters behind a table selector: the control bytes go, the first
    // zero high byte ends the name, and the wide text stops at the first invalid sequence.
    EXPECT_EQ(list, (Entries{L"593000/6/8350/34/501/", L"593000/6/8350/34/502/", L"593000/6/8350/34/503/",
                             L"593000/6/8350/34/504/Wg;S", L"593000/6/8350/34/505/Wg;S"}));
    EXPECT_TRUE(has(L"#Alternate frequency"));
}

TEST_F(Mpeg2DataParserCorpus, AtscVirtualChannels) {
    Mpeg2DataParser p(Mpeg2DataParser::SCAN_ATSC);
    feedCut(p, "atsc_us_wnet_psip");
    // The list itself is checked through skyvane-channels (tools/).
    EXPECT_EQ(p.find_service(p.current_transponder(), 3)->audio_count, 0);  // AC-3 is stream type 0x81
    EXPECT_EQ(p.find_service(p.current_transponder(), 3)->video_pid, 0x31);

    Mpeg2DataParser noPat(Mpeg2DataParser::SCAN_ATSC);
    filters.clear();
    feedCut(noPat, "atsc_us_kulx_tvct_pmt");
    Entries list;
    noPat.getATSCListofChannels(10, list);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(has(L"getATSCListofChannels no channels for 10"));
}

// ---- Whole captures -------------------------------------------------------------------------

// The entries of the other captures are checked through skyvane-channels (tools/).
TEST_F(Mpeg2DataParserCorpus, MultiSectionNitOfASecondGenerationMultiplex) {
    if (!haveCorpus()) GTEST_SKIP() << "real captures not found in " << SKYVANE_CORPUS_DIR;
    // No terrestrial delivery descriptor, so bandwidth 0; the NIT comes in two sections.
    const Entries db = scanCapture("dvbt2_cz_db_mux24.ts", Mpeg2DataParser::SCAN_DVBT, 642000);
    ASSERT_EQ(db.size(), 19u);
    EXPECT_EQ(db[0], L"642000/0/8395/1026/515/ Nova Action");
    EXPECT_EQ(db[18], L"642000/0/8395/1026/33031/Televize pres antenu");
    EXPECT_TRUE(has(L"2 section(s) found for pid=0010, tid=40"));
    EXPECT_TRUE(has(L"pid 0x10 tid 0x40 table_id_ext 0x3107, 1/1 (version 23)"));
}

TEST_F(Mpeg2DataParserCorpus, PacketsBehindTimeStampsOrWithParityGiveTheSameChannels) {
    if (!haveCorpus()) GTEST_SKIP() << "real captures not found in " << SKYVANE_CORPUS_DIR;
    const Bytes plain = sectiontest::readFile(capturePath("dvbt_cz_ct_mux1_730MHz.ts"));
    const Entries want = scanBytes(plain, Mpeg2DataParser::SCAN_DVBT, 730000);
    ASSERT_FALSE(want.empty());
    // A time stamp whose first byte is a sync byte, and parity bytes that hold one.
    Bytes stamped, parity;
    for (size_t i = 0; i + 188 <= plain.size(); i += 188) {
        stamped.insert(stamped.end(),
                       {0x47, 0x0A, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8)});
        stamped.insert(stamped.end(), plain.begin() + i, plain.begin() + i + 188);
        parity.insert(parity.end(), plain.begin() + i, plain.begin() + i + 188);
        for (int k = 0; k < 16; ++k) parity.push_back(k == 9 ? 0x47 : static_cast<uint8_t>(i * 13 + k));
    }
    EXPECT_EQ(scanBytes(stamped, Mpeg2DataParser::SCAN_DVBT, 730000), want);
    EXPECT_EQ(scanBytes(parity, Mpeg2DataParser::SCAN_DVBT, 730000), want);
}

TEST_F(Mpeg2DataParserCorpus, DamagedCapturesParseWithoutHarm) {
    if (!haveCorpus()) GTEST_SKIP() << "real captures not found in " << SKYVANE_CORPUS_DIR;
    // None of these has a NIT (or a PAT) that completes: the scan stops at the timeout with
    // nothing named.
    for (const char* name :
         {"broken_dvbs_corrupted_psi.ts", "dvbt2_cz_cra_mux22_rx_errors.ts", "odd_tdt_pid_junk_sections.ts",
          "dvbt_au_nit_two_networks.ts", "atsc_us_kulx_rrt.ts", "dvbt_fr_france2_spts.ts"}) {
        clearLog();
        EXPECT_TRUE(scanCapture(name, Mpeg2DataParser::SCAN_DVBT, 474000).empty()) << name;
        EXPECT_EQ(count(L"Timeout getting table (pid=0010, tid=40)") +
                      count(L"Timeout getting table (pid=0000, tid=00)"),
                  1)
            << name;
    }
    EXPECT_TRUE(scanCapture("dvbt_fr_france2_spts.ts", Mpeg2DataParser::SCAN_ATSC, 5).empty());
    EXPECT_TRUE(has(L"Timeout getting table (pid=1ffb, tid=c8)"));
}
