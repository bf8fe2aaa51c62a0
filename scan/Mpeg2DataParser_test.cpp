#include "scan/Mpeg2DataParser.h"

#include "scan/ParserTestUtil.h"
#include "scan/ScanItem.h"

using namespace parsertest;
using sectiontest::makeSection;

namespace {
Bytes pmtBody(int pcr, const Bytes& programInfo, const Bytes& streams) {
    Bytes b;
    put16(b, 0xE000 | pcr);
    put16(b, 0xF000 | static_cast<int>(programInfo.size()));
    return cat({b, programInfo, streams});
}
Bytes stream(int type, int pid, const Bytes& descriptors) {
    Bytes b = {static_cast<uint8_t>(type)};
    put16(b, 0xE000 | pid);
    put16(b, 0xF000 | static_cast<int>(descriptors.size()));
    return cat({b, descriptors});
}
Bytes lang(const char* code, uint8_t audioType = 0) {
    return descriptor(0x0A, {uint8_t(code[0]), uint8_t(code[1]), uint8_t(code[2]), audioType});
}
Bytes nitBody(const Bytes& networkDescriptors, const Bytes& tsLoop) {
    Bytes b;
    put16(b, 0xF000 | static_cast<int>(networkDescriptors.size()));
    b = cat({b, networkDescriptors});
    put16(b, 0xF000 | static_cast<int>(tsLoop.size()));
    return cat({b, tsLoop});
}
Bytes tsEntry(int tsid, int onid, const Bytes& descriptors) {
    Bytes b;
    put16(b, tsid);
    put16(b, onid);
    put16(b, 0xF000 | static_cast<int>(descriptors.size()));
    return cat({b, descriptors});
}
Bytes terrestrial(uint32_t centre, int bwCode, int constellation, int hp, int lp, bool mode8k, bool other) {
    Bytes p;
    put32(p, centre);
    p.push_back(static_cast<uint8_t>(bwCode << 5 | 0x1F));
    p.push_back(static_cast<uint8_t>(constellation << 6 | hp));
    p.push_back(static_cast<uint8_t>(lp << 5 | (mode8k ? 2 : 0) | (other ? 1 : 0)));
    p.insert(p.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    return descriptor(0x5A, p);
}
Bytes serviceDescriptor(uint8_t type, const Bytes& provider, const Bytes& name) {
    Bytes p = {type, static_cast<uint8_t>(provider.size())};
    p = cat({p, provider, Bytes{static_cast<uint8_t>(name.size())}, name});
    return descriptor(0x48, p);
}
Bytes sdtEntry(int sid, int running, bool scrambled, const Bytes& descriptors) {
    Bytes b;
    put16(b, sid);
    b.push_back(0xFC);
    const int n = static_cast<int>(descriptors.size());
    b.push_back(static_cast<uint8_t>(running << 5 | (scrambled ? 0x10 : 0) | (n >> 8)));
    b.push_back(static_cast<uint8_t>(n & 0xFF));
    return cat({b, descriptors});
}
Bytes sdtBody(const Bytes& entries) {
    return cat({Bytes{0x23, 0x1A, 0xFF}, entries});
}
Bytes vctChannel(const std::string& name, int major, int minor, int mod, uint32_t freq, int tsid, int program,
                 int serviceType, const Bytes& descriptors = {}) {
    Bytes b;
    for (int i = 0; i < 7; ++i) put16(b, i < static_cast<int>(name.size()) ? name[i] : 0);
    b.push_back(static_cast<uint8_t>(0xF0 | (major >> 6)));
    b.push_back(static_cast<uint8_t>((major & 0x3F) << 2 | (minor >> 8)));
    b.push_back(static_cast<uint8_t>(minor & 0xFF));
    b.push_back(static_cast<uint8_t>(mod));
    put32(b, freq);
    put16(b, tsid);
    put16(b, program);
    b.push_back(0x0D);
    b.push_back(static_cast<uint8_t>(0xC0 | serviceType));
    put16(b, 1);
    put16(b, 0xFC00 | static_cast<int>(descriptors.size()));
    return cat({b, descriptors});
}
Bytes vctSection(int tsid, std::initializer_list<Bytes> channels) {
    Bytes body = {0x00, static_cast<uint8_t>(channels.size())};
    for (const auto& c : channels) body = cat({body, c});
    body = cat({body, Bytes{0xFC, 0x00}});
    return makeSection(0xC8, static_cast<uint16_t>(tsid), 0, 0, 0, body);
}
}  // namespace

class Mpeg2DataParserTest : public ParserTest {
protected:
    Mpeg2DataParser parser{Mpeg2DataParser::SCAN_DVBT};
    SectionFilter patFilter = filter(0x0000, 0x00);
    SectionFilter pmtFilter = filter(0x0100, 0x02);
    SectionFilter nitFilter = filter(0x0010, 0x40);
    SectionFilter sdtFilter = filter(0x0011, 0x42);

    void givenPat(int tsid, std::initializer_list<std::pair<int, int>> programs, int version = 0) {
        feed(parser, patFilter,
             makeSection(0x00, static_cast<uint16_t>(tsid), version, 0, 0, patBody(programs)));
    }
};

// ---- PAT ------------------------------------------------------------------------------------

TEST_F(Mpeg2DataParserTest, PatSkipsTheNitEntryAndQueuesOnePmtRequest) {
    givenPat(0x0441, {{0, 0x0010}, {0x0101, 0x0100}, {0x0202, 0}});
    EXPECT_TRUE(has(L"Skipping nit pid entry with service_id 0x00"));
    EXPECT_TRUE(has(L"pid 0x00 tid 0x00 table_id_ext 0x0441, 0/0 (version 0)"));
    EXPECT_TRUE(has(L"  Found service id 0x0101 with PMT 0x0100"));
    EXPECT_TRUE(has(L"parse_pat: New object found "));
    EXPECT_TRUE(has(L"parse_pat: allocated service "));
    EXPECT_TRUE(has(L"Skipping adding filter. pmt pid is 0x00"));  // a service all the same
    ASSERT_NE(parser.current_transponder(), nullptr);
    EXPECT_EQ(parser.current_transponder()->transport_stream_id, 0x0441);
    ASSERT_EQ(parser.current_transponder()->services.size(), 2u);
    EXPECT_EQ(parser.current_transponder()->services.front().pmt_pid, 0x0100);
    ASSERT_EQ(parser.filters().size(), 1u);
    EXPECT_EQ(parser.filters()[0]->pid, 0x0100);
    EXPECT_EQ(parser.filters()[0]->table_id, 0x02);
    EXPECT_EQ(parser.filters()[0]->timeout, 5);
}

TEST_F(Mpeg2DataParserTest, RepeatedSectionOnceNewVersionAgainLaterTablesKeepTheTransponder) {
    givenPat(1, {{0x0101, 0x0100}});
    givenPat(1, {{0x0101, 0x0100}});
    EXPECT_EQ(parser.filters().size(), 1u);
    EXPECT_EQ(count(L"PAT"), 1);
    givenPat(1, {{0x0101, 0x0100}}, 1);
    EXPECT_TRUE(has(L"section version_number or table_id_ext changed 0 -> 1 / 0001 -> 0001"));
    EXPECT_TRUE(has(L"Existing service object found"));
    EXPECT_EQ(parser.filters().size(), 2u);
    EXPECT_EQ(parser.current_transponder()->services.size(), 1u);
    givenPat(2, {{0x0102, 0x0200}});  // another stream's PAT joins the first transponder
    EXPECT_EQ(parser.current_transponder()->transport_stream_id, 1);
    EXPECT_EQ(parser.current_transponder()->services.size(), 2u);
    EXPECT_EQ(parser.transponders().size(), 1u);
}

TEST_F(Mpeg2DataParserTest, ShortForeignOrCutSections) {
    Bytes pat = makeSection(0x00, 1, 0, 0, 0, patBody({{0x0101, 0x0100}}));
    feed(parser, nitFilter, pat);  // table id differs from the request
    feed(parser, patFilter, Bytes(pat.begin(), pat.begin() + 7));
    Bytes shortForm = pat;  // syntax bit cleared: no CRC, no section numbers
    shortForm[1] &= 0x7F;
    feed(parser, patFilter, shortForm);
    EXPECT_EQ(parser.current_transponder(), nullptr);
    EXPECT_TRUE(lines().empty());
    // A PAT body of three bytes holds no entry.
    feed(parser, patFilter, makeSection(0x00, 1, 0, 0, 0, {0x01, 0x01, 0xE1}));
    EXPECT_EQ(parser.current_transponder(), nullptr);
    // A section longer than its bytes is read as far as they go: one entry and two bytes.
    Bytes cut = makeSection(0x00, 1, 1, 0, 0, patBody({{0x0101, 0x0100}, {0x0102, 0x0200}}));
    cut[1] = 0xBF;  // section_length 0xFFF
    cut[2] = 0xFF;
    cut.resize(14);
    feed(parser, patFilter, cut);
    ASSERT_NE(parser.current_transponder(), nullptr);
    EXPECT_EQ(parser.current_transponder()->services.size(), 1u);
}

// ---- PMT ------------------------------------------------------------------------------------

TEST_F(Mpeg2DataParserTest, PmtForProgrammeNotInPatChangesNothing) {
    givenPat(1, {{0x0101, 0x0100}});
    feed(parser, pmtFilter, makeSection(0x02, 0x0999, 0, 0, 0, pmtBody(0x101, {}, stream(2, 0x101, {}))));
    EXPECT_TRUE(has(L"PMT 0x0100 for service 0x0999"));
    EXPECT_TRUE(has(L"PMT for serivce_id 0x0999 was not in PAT"));
    EXPECT_EQ(parser.current_transponder()->services.front().video_pid, 0);
}

TEST_F(Mpeg2DataParserTest, PmtStreamsByType) {
    givenPat(1, {{0x0101, 0x0100}});
    clearLog();
    const Bytes streams = cat({
        stream(0x02, 0x0201, {}),
        stream(0x01, 0x0202, {}),  // a second video stream: the first one stays
        stream(0x03, 0x0301, lang("ita", 0)),
        stream(0x04, 0x0302, cat({lang("eng"), lang("deu", 3)})),  // the later language wins
        stream(0x06, 0x0401, cat({descriptor(0x6A, {0}), descriptor(0x56, {'i', 't', 'a', 0x09, 0x00})})),
        stream(0x06, 0x0402, descriptor(0x59, Bytes(8, 0x20))),
        stream(0x06, 0x0403, cat({lang("fra"), descriptor(0x6A, {0})})),
        stream(0x06, 0x0404, descriptor(0x52, {1})),
        stream(0x1B, 0x0405, {}),
    });
    feed(parser, pmtFilter,
         makeSection(0x02, 0x0101, 0, 0, 0, pmtBody(0x0201, descriptor(0x09, {1, 2, 3, 4}), streams)));
    const Service& s = parser.current_transponder()->services.front();
    EXPECT_EQ(s.pcr_pid, 0x0201);
    EXPECT_EQ(s.video_pid, 0x0201);
    ASSERT_EQ(s.audio_count, 2);
    EXPECT_EQ(s.audio_pid[0], 0x0301);
    EXPECT_STREQ(s.audio_lang[0], "ita");
    EXPECT_STREQ(s.audio_lang[1], "deu");
    EXPECT_EQ(s.teletext_pid, 0x0401);  // teletext before AC-3
    EXPECT_EQ(s.subtitling_pid, 0x0402);
    EXPECT_EQ(s.ac3_pid, 0x0403);
    EXPECT_STREQ(s.audio_lang[2], "fra");  // the entry after the last regular audio stream
    EXPECT_TRUE(has(L"  VIDEO     : PID 0x0202"));
    EXPECT_TRUE(has(L"    LANG=deu 3"));
    EXPECT_TRUE(has(L"  TELETEXT  : PID 0x0401"));
    EXPECT_TRUE(has(L"  SUBTITLING: PID 0x0402"));
    EXPECT_TRUE(has(L"  AC3       : PID 0x0403"));
    EXPECT_TRUE(has(L"  OTHER     : PID 0x0404 TYPE 0x06"));
    EXPECT_TRUE(has(L"  OTHER     : PID 0x0405 TYPE 0x1b"));
    EXPECT_EQ(lines().back(),
              L"0x0000 0x0101: (null) -- (null), pmt_pid 0x0100, vpid 0x0201  0x0301 (ita), 0x0302 (deu)");
}

TEST_F(Mpeg2DataParserTest, PmtKeeps32AudioStreams) {
    givenPat(1, {{0x0101, 0x0100}});
    Bytes streams;
    for (int i = 0; i < 33; ++i) streams = cat({streams, stream(0x03, 0x0300 + i, lang("spa"))});
    streams = cat({streams, stream(0x06, 0x0500, cat({descriptor(0x6A, {0}), lang("eng")}))});
    feed(parser, pmtFilter, makeSection(0x02, 0x0101, 0, 0, 0, pmtBody(0x1FFF, {}, streams)));
    const Service& s = parser.current_transponder()->services.front();
    EXPECT_EQ(s.audio_count, 32);
    EXPECT_EQ(s.audio_pid[31], 0x031F);
    EXPECT_EQ(count(L"more than 32 audio channels, truncating"), 1);
    EXPECT_EQ(s.ac3_pid, 0x0500);  // its language has no entry left and is dropped
    EXPECT_STREQ(s.audio_lang[31], "spa");
}

TEST_F(Mpeg2DataParserTest, PmtLengthsPastTheEndStayInside) {
    givenPat(1, {{0x0101, 0x0100}, {0x0102, 0x0100}});
    // program_info_length points far beyond the section: no stream is read.
    Bytes body = pmtBody(0x0201, {}, stream(0x02, 0x0201, {}));
    body[2] = 0xFF;
    body[3] = 0xFF;
    feed(parser, pmtFilter, makeSection(0x02, 0x0101, 0, 0, 0, body));
    EXPECT_EQ(parser.find_service(parser.current_transponder(), 0x0101)->video_pid, 0);
    // ES_info_length past the end: the stream is taken and its descriptors end with the body;
    // a 255-byte descriptor is stepped over whole.
    Bytes es = cat({descriptor(0x99, Bytes(255, 0x0A)), lang("nld")});
    Bytes s = stream(0x03, 0x0301, es);
    s[3] = 0xFF;
    s[4] = 0xFF;
    feed(parser, pmtFilter, makeSection(0x02, 0x0102, 0, 0, 0, pmtBody(0x0201, {}, s)));
    const Service* svc = parser.find_service(parser.current_transponder(), 0x0102);
    EXPECT_EQ(svc->audio_count, 1);
    EXPECT_STREQ(svc->audio_lang[0], "nld");  // the loop ends with the body, before the CRC
    EXPECT_TRUE(has(L"    skip descriptor 0x99"));
    EXPECT_TRUE(has(L"section version_number or table_id_ext changed 0 -> 0 / 0101 -> 0102"));
}

TEST_F(Mpeg2DataParserTest, DescriptorRunningPastItsLoopIsReadWhole) {
    // The loop length only counts down: a descriptor that starts inside it is read whole as long
    // as it stays inside the body.
    givenPat(0x0004, {{0x0101, 0x0100}});
    Bytes entry = tsEntry(0x0004, 0x20FA, terrestrial(47400000, 0, 0, 0, 0, false, false));
    ASSERT_EQ(entry.size(), 6u + 13u);
    entry[5] = 11;  // transport_descriptors_length 11 for the 13-byte descriptor
    feed(parser, nitFilter, makeSection(0x40, 1, 0, 0, 0, nitBody({}, entry)));
    EXPECT_EQ(parser.current_transponder()->bandwidth, 8);
    EXPECT_EQ(parser.current_transponder()->frequency, 474000);

    Bytes teletext = stream(0x06, 0x0401, descriptor(0x56, {'i', 't', 'a', 0x09, 0x00}));
    teletext[4] = 2;  // ES_info_length 2: only the descriptor's tag and length are inside the loop
    feed(parser, pmtFilter, makeSection(0x02, 0x0101, 0, 0, 0, pmtBody(0x0201, {}, teletext)));
    EXPECT_EQ(parser.current_transponder()->services.front().teletext_pid, 0x0401);
    EXPECT_FALSE(has(L"  OTHER     : PID 0x0401 TYPE 0x06"));

    // Past the end of the body it is not read: the SDT's name descriptor overruns the section.
    Bytes service = sdtEntry(0x0101, 4, false, serviceDescriptor(1, str("P"), str("Name")));
    service[service.size() - 9] = 40;  // the service descriptor's length
    feed(parser, sdtFilter, makeSection(0x42, 0x0004, 0, 0, 0, sdtBody(service)));
    EXPECT_FALSE(parser.current_transponder()->services.front().service_name.has_value());
    // A name length past its descriptor gives the bytes that are there.
    service[service.size() - 9] = 8;
    service[service.size() - 5] = 200;  // service_name_length
    feed(parser, sdtFilter, makeSection(0x42, 0x0004, 1, 0, 0, sdtBody(service)));
    EXPECT_EQ(parser.current_transponder()->services.front().service_name.value_or("?"), "Name");
}

// ---- NIT ------------------------------------------------------------------------------------

TEST_F(Mpeg2DataParserTest, NitFillsTheTransponders) {
    givenPat(0x0004, {{0x0401, 0x0100}});
    Bytes lcn = {0x04, 0x01, 0xFC, 0x05, 0x10, 0x44, 0x81, 0x01};  // 0x0401 -> 5, unknown 0x1044 -> (1)
    Bytes freqs = {0x03};
    put32(freqs, 47400000);
    put32(freqs, 49800000);
    const Bytes ts = cat({
        tsEntry(0x0004, 0x20FA,
                cat({terrestrial(47400000, 0, 2, 5, 1, true, true), descriptor(0x62, freqs),
                     descriptor(0x83, lcn), descriptor(0x41, {1, 2, 3})})),
        tsEntry(0x0005, 0x20FA, terrestrial(474000, 3, 3, 2, 7, false, false)),
    });
    feed(parser, nitFilter, makeSection(0x40, 0x3001, 0, 0, 0, nitBody(descriptor(0x40, str("Multi")), ts)));
    const Transponder* tp = parser.current_transponder();
    EXPECT_EQ(tp->network_id, 0x3001);
    EXPECT_EQ(tp->original_network_id, 0x20FA);
    EXPECT_EQ(tp->network_name.value_or(""), "Multi");
    EXPECT_EQ(tp->frequency, 474000);
    EXPECT_EQ(tp->bandwidth, 8);
    EXPECT_TRUE(tp->other_frequency_flag);
    EXPECT_EQ(tp->alternate_frequencies, (std::vector<int32_t>{474000, 498000}));
    EXPECT_EQ(tp->alternate_frequency_count, 2);
    EXPECT_EQ(parser.find_service(const_cast<Transponder*>(tp), 0x0401)->channel_number, 5);
    const Service* created = parser.find_service(const_cast<Transponder*>(tp), 0x1044);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->channel_number, 0);
    const Transponder* other = parser.find_transponder(0x0005);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->frequency, 474000);  // already in kHz
    EXPECT_EQ(other->bandwidth, 5);
    for (const wchar_t* line : {L"NIT (actual TS)",
                                L"Parse nit",
                                L"  Found a network name descriptor",
                                L"    Network Name 'Multi'",
                                L"  original_network_id 0x20fa",
                                L"  transport_stream_id 0x0004",
                                L"    Frequency 474000",
                                L"    Bandwidth 8",
                                L"    QAM_64",
                                L"    HP - FEC_AUTO",
                                L"    LP - FEC_2_3",
                                L"    Transmission mode 8K",
                                L"    Other frequency flags set",
                                L"    Alternate Frequency 498000",
                                L"  skip descriptor 0x41",
                                L"    Service ID 0x1044 has channel number 1",
                                L"    QAM_AUTO",
                                L"    HP - FEC_3_4",
                                L"    LP - FEC_AUTO",
                                L"    Transmission mode 2K"}) {
        EXPECT_TRUE(has(line)) << std::string(line, line + wcslen(line));
    }
}

TEST_F(Mpeg2DataParserTest, FrequencyListOfAnotherCodingLeavesNone) {
    givenPat(1, {{0x0101, 0x0100}});
    Bytes freqs = {0x01};
    put32(freqs, 47400000);
    put32(freqs, 49800000);
    feed(parser, nitFilter,
         makeSection(0x40, 1, 0, 0, 0,
                     nitBody({}, tsEntry(1, 1, cat({descriptor(0x62, freqs), descriptor(0x62, {3})})))));
    EXPECT_EQ(parser.current_transponder()->alternate_frequency_count, 0);
    EXPECT_TRUE(parser.current_transponder()->alternate_frequencies.empty());
}

TEST_F(Mpeg2DataParserTest, NetworkDescriptorsBeforeAnyPatChangeNothing) {
    feed(parser, nitFilter,
         makeSection(0x40, 1, 0, 0, 0,
                     nitBody(cat({descriptor(0x40, str("Net")), terrestrial(47400000, 0, 0, 0, 0, 0, 0),
                                  descriptor(0x83, {0, 1, 0xFC, 1})}),
                             {})));
    EXPECT_TRUE(
        has(L"    terrestrial_delivery_system_descriptor outside transport stream definition (ignored)"));
    EXPECT_FALSE(has(L"    Network Name 'Net'"));
    EXPECT_TRUE(parser.transponders().empty());
}

TEST_F(Mpeg2DataParserTest, NitTooShortStopsWithItsMessage) {
    Bytes body = nitBody(descriptor(0x40, str("N")), {});
    body[1] = 0x40;  // network_descriptors_length 64
    feed(parser, nitFilter, makeSection(0x40, 0x0123, 0, 0, 0, body));
    EXPECT_TRUE(
        has(L"section too short: network_id == 0x0123, section_length == 7, descriptors_loop_len == 64"));

    Bytes entry = tsEntry(0x0007, 0x20FA, terrestrial(47400000, 0, 0, 0, 0, 0, 0));
    entry[4] = 0xF0;
    entry[5] = 0x80;  // transport_descriptors_length 128 in a 19-byte entry
    feed(parser, nitFilter, makeSection(0x40, 0x0124, 0, 0, 0, nitBody({}, entry)));
    EXPECT_TRUE(
        has(L"section too short: transport_stream_id == 0x0007, section_length == 19, descriptors_loop_len "
            L"== 128"));
    EXPECT_FALSE(has(L"  transport_stream_id 0x0007"));
}

// ---- SDT ------------------------------------------------------------------------------------

TEST_F(Mpeg2DataParserTest, SdtNamesAndStatus) {
    givenPat(0x0022, {{0x01F5, 0x0100}});
    const Bytes entries = cat({
        sdtEntry(0x01F5, 4, true, serviceDescriptor(0x01, str("\x05Prov"), str("\x05News\x86 24\x00tail"))),
        sdtEntry(0x01F6, 1, false,
                 cat({descriptor(0x50, {1}), serviceDescriptor(0x02, str("\x10\x01"), str("\x8A\x1F"))})),
        sdtEntry(0x01F7, 7, false, serviceDescriptor(0x0C, {}, str("Data"))),
    });
    feed(parser, sdtFilter, makeSection(0x42, 0x0022, 0, 0, 0, sdtBody(entries)));
    const Transponder* tp = parser.current_transponder();
    auto* s = parser.find_service(const_cast<Transponder*>(tp), 0x01F5);
    EXPECT_EQ(s->provider_name.value_or("?"), "Prov");
    EXPECT_EQ(s->service_name.value_or("?"), "News 24");
    EXPECT_EQ(s->service_type, 0x01);
    EXPECT_EQ(s->running_status, 4);
    EXPECT_TRUE(s->scrambled);
    EXPECT_EQ(s->transport_stream_id, 0x0022);
    auto* controls = parser.find_service(const_cast<Transponder*>(tp), 0x01F6);
    EXPECT_FALSE(controls->provider_name.has_value());
    EXPECT_FALSE(controls->service_name.has_value());
    EXPECT_TRUE(has(L"  0x0022 0x01f5: pmt_pid 0x0100 Prov -- News 24 (running, scrambled)"));
    EXPECT_TRUE(has(L"  0x0022 0x01f6: pmt_pid 0x0000 (null) -- (null) (not running)"));
    EXPECT_TRUE(has(L"  0x0022 0x01f7: pmt_pid 0x0000 (null) -- Data (?\?\?)"));
    EXPECT_TRUE(has(L"  skip descriptor 0x50"));
}

TEST_F(Mpeg2DataParserTest, SdtEntryWithoutDescriptorsEndsTheSection) {
    const Bytes entries = cat({sdtEntry(0x0001, 4, false, serviceDescriptor(1, str("P"), str("One"))),
                               sdtEntry(0x0002, 4, false, {}),
                               sdtEntry(0x0003, 4, false, serviceDescriptor(1, str("P"), str("Three")))});
    feed(parser, sdtFilter, makeSection(0x42, 0x0009, 0, 0, 0, sdtBody(entries)));
    EXPECT_TRUE(has(L"  section too short: service_id == 0x02, section_length == 24, remainingLength == 0"));
    const Transponder* tp = parser.find_transponder(0x0009);  // the SDT makes its own transponder
    ASSERT_NE(tp, nullptr);
    EXPECT_EQ(tp->services.size(), 1u);
    EXPECT_EQ(parser.current_transponder(), nullptr);
}

// ---- VCT ------------------------------------------------------------------------------------

TEST_F(Mpeg2DataParserTest, VctNamesTheProgrammesOfThePat) {
    Mpeg2DataParser atsc(Mpeg2DataParser::SCAN_ATSC);
    SectionFilter pat = filter(0, 0), vct = filter(0x1FFB, 0xC8);
    SectionFilter early = filter(0x1FFB, 0xC8);
    const Bytes table = vctSection(
        0x07DB, {vctChannel("WNET-HD", 13, 1, 4, 0, 0x07DB, 3, 2, descriptor(0xA1, Bytes(9, 0))),
                 vctChannel("K", 70, 1023, 3, 123456, 0x07DB, 4, 3),
                 vctChannel("X", 13, 9, 4, 0, 0x07DB, 99, 2), vctChannel("Y", 13, 10, 4, 0, 0x07DB, 5, 2)});
    feed(atsc, early, table);  // before any PAT: nothing happens
    EXPECT_TRUE(atsc.transponders().empty());
    feed(atsc, pat, makeSection(0x00, 0x07DB, 0, 0, 0, patBody({{3, 0x30}, {4, 0x40}, {5, 0x50}})));
    feed(atsc, vct, table);
    Transponder* tp = atsc.current_transponder();
    Service* a = atsc.find_service(tp, 3);
    EXPECT_EQ(a->service_name.value_or("?"), "WNET-HD");
    EXPECT_EQ(a->major_channel_number, 13);
    EXPECT_EQ(a->minor_channel_number, 1);
    Service* b = atsc.find_service(tp, 4);
    EXPECT_EQ(b->major_channel_number, 70);
    EXPECT_EQ(b->minor_channel_number, 1023);
    EXPECT_EQ(tp->frequency, 123456);
    EXPECT_TRUE(has(L"VCT:      major:70 minor:1023 tsid:7db sid:4 mod:3 servicetype:3 desclen:0"));
    EXPECT_TRUE(has(L"ATSC audio"));
    EXPECT_TRUE(has(L"256QAM"));
    EXPECT_TRUE(has(L"VCT for serivce_id 0x0063 was not in PAT"));
    EXPECT_FALSE(atsc.find_service(tp, 5)->service_name.has_value());  // after the stop
}

TEST_F(Mpeg2DataParserTest, VctEndsAtAnEmptyRecordOrAnUnknownModulation) {
    Mpeg2DataParser atsc(Mpeg2DataParser::SCAN_ATSC);
    SectionFilter pat = filter(0, 0), vct = filter(0x1FFB, 0xC8);
    feed(atsc, pat, makeSection(0x00, 1, 0, 0, 0, patBody({{3, 0x30}, {4, 0x40}})));
    feed(atsc, vct,
         vctSection(1, {vctChannel("", 0, 0, 4, 0, 0, 3, 0), vctChannel("B", 2, 2, 4, 0, 1, 4, 2)}));
    EXPECT_FALSE(atsc.find_service(atsc.current_transponder(), 4)->service_name.has_value());
    feed(atsc, vct, vctSection(1, {vctChannel("A", 2, 1, 6, 0, 1, 3, 2)}));  // same section: not parsed again
    SectionFilter vct2 = filter(0x1FFB, 0xC8);
    feed(atsc, vct2,
         vctSection(1, {vctChannel("A", 2, 1, 6, 0, 1, 3, 2), vctChannel("B", 2, 2, 4, 0, 1, 4, 2)}));
    EXPECT_FALSE(atsc.find_service(atsc.current_transponder(), 4)->service_name.has_value());
    // More records announced than the section holds.
    Bytes cut = vctSection(1, {vctChannel("B", 2, 2, 4, 0, 1, 4, 2)});
    cut[9] = 200;
    SectionFilter vct3 = filter(0x1FFB, 0xC8);
    feed(atsc, vct3, cut);
    EXPECT_EQ(atsc.find_service(atsc.current_transponder(), 4)->service_name.value_or("?"), "B");
}

// ---- Channel list ---------------------------------------------------------------------------

TEST_F(Mpeg2DataParserTest, DvbtChannelList) {
    givenPat(4100, {{4164, 0x0100}, {4165, 0x0101}, {4166, 0x0102}, {4167, 0x0103}});
    feed(parser, nitFilter,
         makeSection(0x40, 1, 0, 0, 0,
                     nitBody(descriptor(0x40, str("Net")),
                             tsEntry(4100, 9018,
                                     cat({terrestrial(47400000, 0, 2, 1, 1, 1, 0),
                                          descriptor(0x62, {0x03, 0x02, 0xD3, 0x50, 0x40})})))));
    const Bytes entries = cat({sdtEntry(4164, 4, false, serviceDescriptor(1, {}, str("News"))),
                               sdtEntry(4165, 4, false, serviceDescriptor(1, {}, str("A/B"))),
                               sdtEntry(4166, 4, false,
                                        serviceDescriptor(1, {},
                                                          str("Ab\xC3\xA9\xFF"
                                                              "cd")))});
    feed(parser, sdtFilter, makeSection(0x42, 4100, 0, 0, 0, sdtBody(entries)));
    feed(parser, sdtFilter,
         makeSection(0x42, 4200, 1, 0, 0,
                     sdtBody(sdtEntry(1, 4, false, serviceDescriptor(1, {}, str("Other"))))));
    clearLog();
    parser.setNetworkNumber(474000);
    std::vector<std::wstring> list = {L"kept"};
    EXPECT_EQ(parser.getDVBTListofChannels(474166, list), 0);
    EXPECT_EQ(list, (std::vector<std::wstring>{L"kept", L"474166/8/9018/4100/4164/News",
                                               L"474166/8/9018/4100/4165/A/B",
                                               L"474166/8/9018/4100/4166/Ab\u00e9"}));
    EXPECT_EQ(lines(), (std::vector<std::wstring>{
                           L"Network_474000(\"Net\", 474000, 8, 1)", L"#Alternate frequency",
                           L"#Network_474000(\"Net\", 474030, 8, 1)", L"Nb services for this netwoRk 4",
                           L"Found service 474166/8/9018/4100/4164/News\n",
                           L"Found service 474166/8/9018/4100/4165/A/B\n",
                           L"Found service 474166/8/9018/4100/4166/Ab\u00e9\n"}));

    const ScanItem item = MakeDigitalScanItem(L"tv.channel.dvbt", list[2], 474000, 70);
    EXPECT_EQ(item.name, L"B");
    EXPECT_EQ(item.path, L"device://tv.channel.dvbt/#/474166/8/9018/4100/4165/A");
    EXPECT_EQ(item.frequency, L"474000");
    EXPECT_EQ(item.signal, 70);
}

TEST_F(Mpeg2DataParserTest, ListWithoutDeliveryDescriptorOrPat) {
    std::vector<std::wstring> list;
    parser.getDVBTListofChannels(474000, list);
    EXPECT_TRUE(lines().empty());  // no PAT: silent
    Mpeg2DataParser atsc(Mpeg2DataParser::SCAN_ATSC);
    atsc.getATSCListofChannels(-1, list);
    EXPECT_TRUE(has(L"getATSCListofChannels no channels for -1"));
    EXPECT_TRUE(list.empty());

    givenPat(-1 & 0xFFFF, {{1, 0x0100}});
    feed(parser, sdtFilter,
         makeSection(0x42, 0xFFFF, 0, 0, 0,
                     sdtBody(sdtEntry(1, 4, false, serviceDescriptor(1, {}, str("S"))))));
    parser.find_transponder(0xFFFF)->original_network_id = -1;
    clearLog();
    parser.getDVBTListofChannels(-5, list);
    EXPECT_EQ(list, (std::vector<std::wstring>{L"-5/0/-1/65535/1/S"}));
    EXPECT_EQ(lines().front(), L"Network_0(\"(null)\", 0, 0, 1)");
}

TEST(ScanItem, EntryWithoutSlashIsAllName) {
    std::wstring medium, name;
    SplitChannelEntry(L"plain", &medium, &name);
    EXPECT_EQ(medium, L"");
    EXPECT_EQ(name, L"plain");
    EXPECT_EQ(MakeDigitalScanItem(L"tv.channel.atsc", L"13/13/2/KIDS", 13, 0).path,
              L"device://tv.channel.atsc/#/13/13/2");
}
