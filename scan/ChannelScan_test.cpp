// The scan's own rules with a scripted tune request: which channels and lines are tried, what
// the handler hears, start and stop, the frequency file and its country table, and the
// digital scan's set-up failures.
#include <future>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/FilterGraph.h"
#include "platform/mpeg2data/Mpeg2Data.h"
#include "scan/FrequencyFileLines.h"
#include "scan/ChannelScanTestSupport.h"
#include "tuning/MediaType.h"

namespace {

// A filter without pins that may offer a section source, one that never has a table.
class PinlessFilter : public CBaseFilter {
public:
    explicit PinlessFilter(bool sectionSource) : CBaseFilter(L"pinless", GUID_NULL), m_offers(sectionSource) {
        m_source.owner = this;
    }
    int GetPinCount() override { return 0; }
    CBasePin* GetPin(int) override { return nullptr; }

protected:
    // The section source shares the filter's reference count, as a part of the same object.
    struct NoTables : IMpeg2Data {
        PinlessFilter* owner = nullptr;
        HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner->QueryInterface(riid, ppv); }
        ULONG AddRef() override { return owner->AddRef(); }
        ULONG Release() override { return owner->Release(); }
        HRESULT GetTable(PID, TID, MPEG2_FILTER*, DWORD, ISectionList** list) override {
            if (list) *list = nullptr;
            return MPEG2DATA_E_TIMEOUT;
        }
    };
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        *ppv = m_offers && riid == IID_IMpeg2Data ? static_cast<IMpeg2Data*>(&m_source) : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }

private:
    bool m_offers;
    NoTables m_source;
};

ComPtr<IGraphBuilder> graphWith(bool sectionSource, bool transportInformationFilter) {
    ComPtr<IGraphBuilder> graph;
    CreateFilterGraph(IID_IGraphBuilder, reinterpret_cast<void**>(&graph));
    if (sectionSource) {
        ComPtr<IBaseFilter> f;
        f.Attach(CreateComObject<PinlessFilter>(true));
        graph->AddFilter(f.Get(), L"Section source");
    }
    if (transportInformationFilter) {
        ComPtr<IBaseFilter> f;
        f.Attach(CreateComObject<PinlessFilter>(false));
        graph->AddFilter(f.Get(), L"BDA MPEG2 Transport Information Filter");
    }
    return graph;
}

class ChannelScanRules : public ::testing::Test, public ScanFixture {
protected:
    void scan(const wchar_t* mediaType, IUnknown* graph = nullptr) {
        tuner.init(mediaType);
        ASSERT_EQ(0, channelScan.startScanChannels(mediaType, graph, &tuner));
        channelScan.waitScanEnded();
    }
    void TearDown() override {
        if (HasFailure()) std::wcerr << log->all();
    }

    ScriptedTuneRequest tuner;
    RecordingHandler handler;
    ChannelScan channelScan;
    void SetUp() override { channelScan.setResultsHandler(L"Tuner One", &handler); }
};

std::vector<ScanCall> emptyCalls(int from, int to, int total) {
    std::vector<ScanCall> calls;
    for (int c = from; c <= to; ++c) calls.push_back({c, total, L"", L"", 0});
    return calls;
}

TEST_F(ChannelScanRules, AnalogScanReportsEveryChannelAndKeepsThoseWithASignal) {
    tuner.signal = [](const std::wstring& m) { return m == L"4" ? 70 : m == L"7" ? 55 : 0; };
    scan(kMediaTypeAnalog);

    auto calls = handler.calls();
    ASSERT_EQ(301u, calls.size());
    EXPECT_EQ((ScanCall{4, 300, L"4", L"device://tv.channel.analog/#/4", 70}), calls[3]);
    EXPECT_EQ((ScanCall{7, 300, L"7", L"device://tv.channel.analog/#/7", 55}), calls[6]);
    EXPECT_EQ((ScanCall{5, 300, L"", L"", 0}), calls[4]);
    EXPECT_EQ((ScanCall{300, 300, L"", L"", 0}), calls[299]);
    EXPECT_EQ((ScanCall{300, 300, L"", L"", 0}), calls[300]);
    EXPECT_EQ(2u, handler.found().size());
    auto results = handler.results();
    ASSERT_EQ(1u, results.size());
    EXPECT_EQ(L"Tuner One", results[0].deviceName);
    std::vector<ScanItem> expected{{L"4", L"device://tv.channel.analog/#/4", L"4", 70},
                                   {L"7", L"device://tv.channel.analog/#/7", L"7", 55}};
    EXPECT_EQ(expected, results[0].items);
    EXPECT_TRUE(log->has(LOG_DEBUG, L"detected channel 4 return code is 0"));
    EXPECT_EQ(300u, tuner.tuned().size());
}

TEST_F(ChannelScanRules, AnalogTuneFailuresAreEmptyChannelsUpToTenAndEndTheScanFromEleven) {
    tuner.tuneStatus = [](const std::wstring& m) { return m == L"5" || m == L"12" ? E_FAIL : S_OK; };
    // A failed tune is never asked for its signal, even where one would be found.
    tuner.signal = [](const std::wstring& m) { return m == L"5" || m == L"9" ? 80 : 0; };
    scan(kMediaTypeAnalog);

    auto expected = emptyCalls(1, 11, 300);
    expected[8] = {9, 300, L"9", L"device://tv.channel.analog/#/9", 80};
    expected.push_back({300, 300, L"", L"", 0});
    EXPECT_EQ(expected, handler.calls());
    EXPECT_TRUE(log->has(LOG_INFO, L"error setting channel 12 return code is 80004005"));
    ASSERT_EQ(1u, handler.results().size());
    EXPECT_EQ(1u, handler.results()[0].items.size());
    EXPECT_EQ(12u, tuner.tuned().size());
}

TEST_F(ChannelScanRules, AnalogScanWithoutTuneRequestEndsAtChannelElevenWithItsResult) {
    ASSERT_EQ(0, channelScan.startScanChannels(kMediaTypeAnalog, nullptr, nullptr));
    channelScan.waitScanEnded();
    EXPECT_EQ(11, log->count(L"2:setTVChannel pTuneRequest not created ", true));
    // Channels 1 to 10 as empty ones, then the final call.
    EXPECT_EQ(11u, handler.calls().size());
    EXPECT_EQ(1u, handler.results().size());
}

TEST_F(ChannelScanRules, StopEndsTheScanAtTheNextChannelAndStillSendsTheResult) {
    tuner.signal = [](const std::wstring& m) { return m == L"2" ? 40 : 0; };
    handler.onCallback = [this](const ScanCall& c) {
        if (c.current == 3) {
            EXPECT_EQ(0, channelScan.stopScanChannels());
        }
    };
    scan(kMediaTypeAnalog);

    auto expected = emptyCalls(1, 3, 300);
    expected[1] = {2, 300, L"2", L"device://tv.channel.analog/#/2", 40};
    expected.push_back({300, 300, L"", L"", 0});
    EXPECT_EQ(expected, handler.calls());
    ASSERT_EQ(1u, handler.results().size());
    EXPECT_EQ(1u, handler.results()[0].items.size());
    EXPECT_EQ(3u, tuner.tuned().size());
}

TEST_F(ChannelScanRules, StartWhileScanningAnswersOneAndStillClearsAnEarlierStop) {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    handler.onCallback = [&](const ScanCall& c) {
        if (c.current != 1) return;
        entered.set_value();
        released.wait();
    };
    // Whatever fails below, the scan thread is let go before the scan object waits for it.
    struct Release {
        std::promise<void>& p;
        ~Release() {
            try {
                p.set_value();
            } catch (const std::future_error&) {
            }
        }
    } releaseOnExit{release};

    tuner.init(kMediaTypeAnalog);
    ASSERT_EQ(0, channelScan.startScanChannels(kMediaTypeAnalog, nullptr, &tuner));
    entered.get_future().wait();
    EXPECT_TRUE(channelScan.scanning());
    channelScan.stopScanChannels();
    EXPECT_EQ(1, channelScan.startScanChannels(kMediaTypeAnalog, nullptr, &tuner));
    EXPECT_EQ(1, log->count(L"3:[ChannelScan] Already scanning", true));
    EXPECT_EQ(2, log->count(L"3:[ChannelScan] startScanChannels", true));
    release.set_value();
    channelScan.waitScanEnded();
    EXPECT_FALSE(channelScan.scanning());

    // The refused start cleared the stop: the first scan went on to its end.
    EXPECT_EQ(301u, handler.calls().size());
    EXPECT_EQ(1u, handler.results().size());
}

TEST_F(ChannelScanRules, EveryResultCarriesTheChannelsOfEarlierScansFirst) {
    tuner.signal = [](const std::wstring& m) { return m == L"3" ? 30 : 0; };
    scan(kMediaTypeAnalog);
    tuner.signal = [](const std::wstring& m) { return m == L"6" ? 60 : 0; };
    scan(kMediaTypeAnalog);

    auto results = handler.results();
    ASSERT_EQ(2u, results.size());
    ASSERT_EQ(1u, results[0].items.size());
    ASSERT_EQ(2u, results[1].items.size());
    EXPECT_EQ(L"3", results[1].items[0].name);
    EXPECT_EQ(L"6", results[1].items[1].name);
    EXPECT_EQ(results[1].items, channelScan.results());
}

TEST_F(ChannelScanRules, DestroyingTheScanStopsItAndWaitsForItsThread) {
    std::promise<void> entered;
    RecordingHandler local;
    {
        ChannelScan scanner;
        scanner.setResultsHandler(L"t", &local);
        local.onCallback = [&](const ScanCall& c) {
            if (c.current == 1) entered.set_value();
        };
        tuner.init(kMediaTypeAnalog);
        ASSERT_EQ(0, scanner.startScanChannels(kMediaTypeAnalog, nullptr, &tuner));
        entered.get_future().wait();
    }
    EXPECT_EQ(1u, local.results().size());
    EXPECT_GE(local.calls().size(), 2u);
    EXPECT_EQ((ScanCall{300, 300, L"", L"", 0}), local.calls().back());
}

// --- digital scan without lock, and its set-up ---

TEST_F(ChannelScanRules, DigitalSetUpFailuresEndTheScanWithoutAWordToTheHandler) {
    struct Case {
        bool source, tif, file;
        const wchar_t* message;
    } cases[] = {
        {false, true, true, L"1:could not find IMpeg2Data interface"},
        {true, false, true, L"1:could not find IGuideData interface"},
        {true, true, false, L"1:Error with readOTADigitalFrequencies"},
    };
    setCountry(44);
    setInstallDir(install.path() + "/");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.message, c.message + wcslen(c.message)));
        if (c.file)
            writeFrequencyFile("DVBTfrequencies_B8.txt", "474000/8/-1/-1/-1\n");
        else
            std::remove((install / "DVBTfrequencies_B8.txt").c_str());
        auto graph = graphWith(c.source, c.tif);
        scan(kMediaTypeDvbt, graph.Get());
        EXPECT_EQ(1, log->count(c.message, true));
        EXPECT_TRUE(handler.calls().empty());
        EXPECT_TRUE(handler.results().empty());
        EXPECT_TRUE(tuner.tuned().empty());
    }
    EXPECT_TRUE(log->has(LOG_INFO, L"can't load frequencies file " +
                                       std::wstring(install.path().begin(), install.path().end()) +
                                       L"/DVBTfrequencies_B8.txt"));
    // No graph at all is the first failure too.
    scan(kMediaTypeDvbt, nullptr);
    EXPECT_EQ(2, log->count(L"1:could not find IMpeg2Data interface", true));
    EXPECT_TRUE(handler.results().empty());
}

TEST_F(ChannelScanRules, FrequencyWithoutLockIsRetriedAtTheOffsetAboveThenBelowOnTheShiftedFrequency) {
    setCountry(1);
    writeFrequencyFile("ATSCfrequencies.txt", "474000/8/-1/-1/-1\n177500\n\n");
    auto graph = graphWith(true, true);

    tuner.dvbtFrequencyOffset = 0;
    scan(kMediaTypeDvbt, graph.Get());
    std::vector<std::wstring> once{L"474000/8/-1/-1/-1", L"177500", L""};
    EXPECT_EQ(once, tuner.tuned());

    tuner.dvbtFrequencyOffset = 166;
    scan(kMediaTypeDvbt, graph.Get());
    std::vector<std::wstring> thrice{L"474000/8/-1/-1/-1",
                                     L"474166/8/-1/-1/-1",
                                     L"473834/8/-1/-1/-1",
                                     L"177500",
                                     L"177666",
                                     L"177334",
                                     L"",
                                     L"166",
                                     L"-166"};
    auto tuned = tuner.tuned();
    ASSERT_EQ(12u, tuned.size());
    EXPECT_EQ(thrice, std::vector<std::wstring>(tuned.begin() + 3, tuned.end()));

    // Each scan: one empty callback per line, then the final one; a result with nothing in it.
    auto expected = emptyCalls(0, 2, 3);
    expected.push_back({3, 3, L"", L"", 0});
    auto calls = handler.calls();
    ASSERT_EQ(8u, calls.size());
    EXPECT_EQ(expected, std::vector<ScanCall>(calls.begin(), calls.begin() + 4));
    EXPECT_EQ(expected, std::vector<ScanCall>(calls.begin() + 4, calls.end()));
    ASSERT_EQ(2u, handler.results().size());
    EXPECT_TRUE(handler.results()[1].items.empty());
}

TEST_F(ChannelScanRules, ALineFoundLockedIsNotTunedAgainForItsTables) {
    setCountry(1);
    writeFrequencyFile("ATSCfrequencies.txt", "474000/8/-1/-1/-1\n482000/8/-1/-1/-1\n");
    auto graph = graphWith(true, true);
    // 474000 is received only 166 kHz above its line; 482000 where it is listed.
    tuner.signal = [](const std::wstring& m) {
        return m.rfind(L"474166/", 0) == 0 || m.rfind(L"482000/", 0) == 0 ? 60 : 0;
    };
    tuner.dvbtFrequencyOffset = 166;
    scan(kMediaTypeDvbt, graph.Get());
    EXPECT_EQ((std::vector<std::wstring>{L"474000/8/-1/-1/-1", L"474166/8/-1/-1/-1", L"482000/8/-1/-1/-1"}),
              tuner.tuned());
    // Both locked lines had their table scans (whose tables never come).
    EXPECT_EQ(2, log->count(L"Timeout getting table (pid=0000, tid=00)"));

    // Outside the scan loop nothing is known to be locked: the table scan tunes first.
    ComPtr<IMpeg2Data> none;
    std::vector<std::wstring> list;
    channelScan.scanFrequency(482000, 482000, L"482000/8/-1/-1/-1", none.Get(), nullptr, &tuner, list);
    EXPECT_EQ(4u, tuner.tuned().size());
    EXPECT_EQ(L"482000/8/-1/-1/-1", tuner.tuned().back());
}

TEST_F(ChannelScanRules, StopEndsADigitalScanAtTheNextLine) {
    setCountry(1);
    writeFrequencyFile("ATSCfrequencies.txt", "20/-1/-1\n21/-1/-1\n22/-1/-1\n");
    auto graph = graphWith(true, true);
    handler.onCallback = [this](const ScanCall& c) {
        if (c.current == 0) channelScan.stopScanChannels();
    };
    scan(kMediaTypeAtsc, graph.Get());
    EXPECT_EQ((std::vector<ScanCall>{{0, 3, L"", L"", 0}, {3, 3, L"", L"", 0}}), handler.calls());
    EXPECT_EQ(1u, handler.results().size());
    EXPECT_EQ(1u, tuner.tuned().size());
}

// --- the frequency file ---

TEST_F(ChannelScanRules, CountryCodeChoosesTheFrequencyFile) {
    const std::pair<int32_t, const wchar_t*> table[] = {
        {1, L"ATSCfrequencies.txt"},
        {7, L"DVBTfrequencies_B8.txt"},
        {44, L"DVBTfrequencies_B8.txt"},
        {86, L"DVBTfrequencies_B8.txt"},
        {420, L"DVBTfrequencies_B8.txt"},
        {31, L"DVBTfrequencies_B7-8.txt"},
        {49, L"DVBTfrequencies_B7-8.txt"},
        {358, L"DVBTfrequencies_B7-8.txt"},
        {61, L"DVBTfrequencies_B7.txt"},
        {886, L"DVBTfrequencies_B6.txt"},
        {355, L"DVBTfrequencies_Universal.txt"},
        {0, L"DVBTfrequencies_Universal.txt"},
        {-1, L"DVBTfrequencies_Universal.txt"},
        {81, L"DVBTfrequencies_Universal.txt"},
    };
    for (auto& [code, file] : table) EXPECT_STREQ(file, ChannelScan::frequencyFileFor(code)) << code;
}

TEST_F(ChannelScanRules, FrequencyFileIsInstallDirFollowedByTheNameOfTheCountrysFile) {
    std::vector<std::wstring> lines;
    const std::wstring dir(install.path().begin(), install.path().end());

    // No country code: 1, the ATSC file.
    writeFrequencyFile("ATSCfrequencies.txt", "22/-1/-1\n");
    ASSERT_EQ(S_OK, ChannelScan::readOTADigitalFrequencies(lines));
    EXPECT_EQ(std::vector<std::wstring>{L"22/-1/-1"}, lines);
    EXPECT_TRUE(log->has(LOG_INFO, L"country code is 1"));
    EXPECT_TRUE(log->has(LOG_INFO, L"loading file " + dir + L"/ATSCfrequencies.txt"));

    setCountry(61);
    writeFrequencyFile("DVBTfrequencies_B7.txt", "177500/7/-1/-1/-1\n226500/7/-1/-1/-1\n");
    lines.clear();
    ASSERT_EQ(S_OK, ChannelScan::readOTADigitalFrequencies(lines));
    EXPECT_EQ(2u, lines.size());

    // No separator is put in: a folder without its trailing "/" names another file.
    setInstallDir(install.path());
    lines.clear();
    EXPECT_TRUE(FAILED(ChannelScan::readOTADigitalFrequencies(lines)));
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(log->has(LOG_INFO, L"can't load frequencies file " + dir + L"DVBTfrequencies_B7.txt"));
}

std::vector<std::wstring> cut(const std::string& bytes) {
    FrequencyFileLines reader;
    // In odd pieces, so that no rule depends on where a read ends.
    for (size_t at = 0; at < bytes.size(); at += 7)
        reader.add(bytes.data() + at, std::min<size_t>(7, bytes.size() - at));
    reader.finish();
    return reader.take();
}

TEST(FrequencyFileLines, LinesEndAtLineFeedsEmptyOnesCountAndTheLastNeedsNone) {
    EXPECT_EQ((std::vector<std::wstring>{L"474000/8/-1/-1/-1", L"", L"482000"}),
              cut("474000/8/-1/-1/-1\n\n482000"));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), cut("a\r\nb\r\n"));
    EXPECT_EQ((std::vector<std::wstring>{L"a\rb", L"c\r"}), cut("a\rb\nc\r"));
    EXPECT_EQ(std::vector<std::wstring>{}, cut(""));
    EXPECT_EQ(std::vector<std::wstring>{L""}, cut("\n"));
}

TEST(FrequencyFileLines, LongLinesComeInChunksOf1023Bytes) {
    const std::string full(1023, '7');
    // Exactly one chunk and its line feed: the line feed ends an empty entry of its own.
    EXPECT_EQ((std::vector<std::wstring>{std::wstring(1023, L'7'), L""}), cut(full + "\n"));
    EXPECT_EQ((std::vector<std::wstring>{std::wstring(1022, L'7')}), cut(full.substr(1) + "\n"));
    EXPECT_EQ((std::vector<std::wstring>{std::wstring(1023, L'7'), L"77"}), cut(full + "77\n"));
    // A carriage return that is not part of a line end fills a chunk like any byte.
    auto lines = cut(full.substr(1) + "\rx\r\n");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L'\r', lines[0].back());
    EXPECT_EQ(L"x", lines[1]);
}

TEST(FrequencyFileLines, BytesAreReadAsUtf8UpToTheFirstInvalidSequenceOrNul) {
    EXPECT_EQ((std::vector<std::wstring>{L"47\u00e9", L"ab", L"12"}), cut("47\xc3\xa9\nab\xff"
                                                                          "cd\n12" +
                                                                          std::string(1, '\0') + "34\n"));
}

}  // namespace
