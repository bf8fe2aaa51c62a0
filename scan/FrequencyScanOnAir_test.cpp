// The table scan of a tuned frequency over the air, through the Video Control's section source
// and transport information filter: each demo multiplex and each real capture played as air
// gives the channel entries that skyvane-channels gives for its recording.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/mpeg2data/AirTestSupport.h"
#include "scan/FrequencyTableScan.h"
#include "scan/ScanTestSupport.h"

using namespace scantest;

namespace {

// What skyvane-channels prints for a recording, line by line.
std::vector<std::string> toolEntries(const std::string& media, int frequency, const std::string& file) {
    const std::string command = std::string(SKYVANE_CHANNELS_TOOL) + " --media " + media + " --frequency " +
                                std::to_string(frequency) + " '" + file + "' 2>/dev/null";
    std::vector<std::string> lines;
    FILE* out = ::popen(command.c_str(), "r");
    EXPECT_TRUE(out) << command;
    if (!out) return lines;
    std::string line;
    for (int c; (c = std::fgetc(out)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        lines.push_back(line);
        line.clear();
    }
    EXPECT_EQ(0, ::pclose(out)) << command;
    return lines;
}

std::vector<std::string> utf8(const std::vector<std::wstring>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(WideToUtf8(e));
    return out;
}

class FrequencyScanOnAir : public AirGraphTest {
protected:
    void SetUp() override {
        AirGraphTest::SetUp();
        setCurrentLogger(log);
    }
    void TearDown() override {
        AirGraphTest::TearDown();
        setCurrentLogger(nullptr);
        if (HasFailure()) std::wcerr << log->all();
    }

    // Scans a multiplex as the channel scan does: tuned (and locked), then tuned again by the
    // table scan, whose thread the guide-data notices of the retune may start.
    std::vector<std::wstring> scan(const AirMultiplex& m, int frequency) {
        const wchar_t* media = m.system == AirSystem::ATSC ? L"tv.channel.atsc" : L"tv.channel.dvbt";
        std::vector<std::wstring> list;
        tune(m);
        ComPtr<IMpeg2Data> sections = sectionSource();
        ComPtr<IBaseFilter> information = transportInformationFilter();
        EXPECT_TRUE(sections && information);
        ScanTunedFrequency(
            media, frequency, frequency, sections.Get(), information.Get(), [&] { tune(m); }, list);
        return list;
    }

    std::shared_ptr<LockedLog> log = std::make_shared<LockedLog>();
};

TEST_F(FrequencyScanOnAir, EachDemoMultiplexGivesTheEntriesOfItsRecording) {
    openAir(20);
    for (const AirMultiplex& m : air->catalogue().multiplexes()) {
        if (m.system == AirSystem::Analog) continue;
        SCOPED_TRACE(m.file);
        ASSERT_NO_FATAL_FAILURE(buildGraph(m.system));
        const bool atsc = m.system == AirSystem::ATSC;
        const int frequency = atsc ? m.physicalChannel : m.frequencyKHz + m.offsetKHz;
        const int before = log->count(L"StartMpeg2DataScanThread called");
        const std::vector<std::wstring> live = scan(m, frequency);
        EXPECT_EQ(before + 1, log->count(L"StartMpeg2DataScanThread called"));

        EXPECT_EQ(toolEntries(atsc ? "tv.channel.atsc" : "tv.channel.dvbt", frequency, m.file), utf8(live));
        // Every named service of a multiplex that sends a NIT; none where the NIT never comes.
        EXPECT_EQ(m.nit || atsc ? m.services.size() : 0u, live.size());
        for (size_t i = 0; i < live.size() && i < m.services.size(); ++i) {
            const AirService& s = m.services[i];
            const std::wstring want =
                atsc
                    ? std::to_wstring(frequency) + L"/" + std::to_wstring(s.major) + L"/" +
                          std::to_wstring(s.minor) + L"/" + NarrowToWide(s.name)
                    : std::to_wstring(frequency) + L"/" + std::to_wstring(m.bandwidthMHz) + L"/" +
                          std::to_wstring(m.originalNetworkId) + L"/" + std::to_wstring(m.transportStreamId) +
                          L"/" + std::to_wstring(s.serviceId) + L"/" + NarrowToWide(s.name);
            EXPECT_EQ(want, live[i]);
        }
    }
    // The scans were started by the transport information filter's notices as well.
    EXPECT_GT(log->count(L"servicechanged received"), 0);
    EXPECT_TRUE(log->has(LOG_INFO, L"Timeout getting table (pid=0010, tid=40)"));  // the local multiplex
}

TEST_F(FrequencyScanOnAir, RealCapturesPlayedAsAirGiveTheEntriesOfTheirRecordings) {
    const std::string corpus = std::string(SKYVANE_CORPUS_DIR) + "/ts/";
    struct Capture {
        int frequency;  // kHz, or the ATSC physical channel
        std::string file;
    };
    const std::vector<Capture> captures = {
        {498000, "dvbt_it_rai_muxA_498MHz.ts"},   {474000, "dvbt_gr_ert_474MHz_rx_errors.ts"},
        {730000, "dvbt_cz_ct_mux1_730MHz.ts"},    {593000, "dvbt_tw_cts_593MHz.ts"},
        {602000, "broken_dvbs_corrupted_psi.ts"}, {13, "atsc_us_wnet_psip.ts"}};
    if (!fileExists(corpus + captures[0].file)) GTEST_SKIP() << "real captures not found in " << corpus;
    std::vector<std::pair<int, std::string>> onAir;
    for (const Capture& c : captures) onAir.emplace_back(c.frequency, c.file);
    openAir(10, captureCatalogue(corpus, onAir));
    size_t named = 0;
    for (const AirMultiplex& m : air->catalogue().multiplexes()) {
        SCOPED_TRACE(m.file);
        ASSERT_NO_FATAL_FAILURE(buildGraph(m.system));
        const bool atsc = m.system == AirSystem::ATSC;
        const int frequency = atsc ? m.physicalChannel : m.frequencyKHz;
        const std::vector<std::string> live = utf8(scan(m, frequency));
        EXPECT_EQ(toolEntries(atsc ? "tv.channel.atsc" : "tv.channel.dvbt", frequency, m.file), live);
        named += live.size();
    }
    EXPECT_GT(named, 0u);
}

}  // namespace
