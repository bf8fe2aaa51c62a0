// Scans of the demo broadcast through the Video Control and the tune request, with small
// frequency files of the tests' own: what a user's scan finds on each system.
#include <fstream>
#include <thread>

#include "platform/vidctl/VidTestSink.h"
#include "scan/ScanTestSupport.h"
#include "tuning/MediumString.h"
#include "tuning/TuningTestSupport.h"

namespace {

constexpr double kSpeed = 20;

class ChannelScanOnAir : public OnAir {
protected:
    void TearDown() override {
        channelScan.waitScanEnded();
        OnAir::TearDown();
    }

    // The control runs the tuner's input into a test sink, as the TV control would into its
    // time-shift buffer; the tune request is made on it and the graph is the scan's.
    void prepare(const wchar_t* mediaType, const GUID& category, const wchar_t* tunerName) {
        VidTestSink::registerAsStreamBufferSink();
        openAir(kSpeed);
        ASSERT_TRUE(control);
        activate(category, tunerName);
        ComPtr<IMSVidFeatures> available, active;
        ASSERT_EQ(S_OK, control->get_FeaturesAvailable(&available));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IMSVidFeatures, reinterpret_cast<void**>(&active)));
        if (std::wstring(mediaType) == kMediaTypeAnalog) {
            ComPtr<IMSVidFeature> encoder;
            ASSERT_EQ(S_OK, available->get_Item(CComVariant(LONG(0)), &encoder));
            active->Add(encoder.Get());
        }
        ASSERT_EQ(S_OK, control->put_FeaturesActive(active.Get()));
        ComPtr<IMSVidOutputDevices> outputs, activeOutputs;
        ASSERT_EQ(S_OK, control->_OutputsAvailable(&GUID_NULL, &outputs));
        ComPtr<IMSVidOutputDevice> sink;
        ASSERT_EQ(S_OK, outputs->get_Item(CComVariant(LONG(0)), &sink));
        control->get_OutputsActive(&activeOutputs);
        while (SUCCEEDED(activeOutputs->Remove(CComVariant(LONG(0))))) {
        }
        activeOutputs->Add(sink.Get());
        ASSERT_EQ(S_OK, control->put_OutputsActive(activeOutputs.Get()));

        request = std::make_unique<BDATuneRequest>(nullptr, nullptr, nullptr, control.Get());
        ASSERT_EQ(S_OK, request->init(mediaType));
        // The signal test's own rules, on the broadcast's clock.
        auto broadcast = air;
        request->setSignalTiming([broadcast] { return static_cast<int64_t>(broadcast->nowMs()); },
                                 [broadcast](int ms) {
                                     std::this_thread::sleep_for(
                                         std::chrono::microseconds(static_cast<int64_t>(ms * 1000 / kSpeed)));
                                 });
        CComVariant v;
        ASSERT_EQ(S_OK, request->tune(MediumString::defaultFor(mediaType), v));
        ASSERT_EQ(S_OK, control->Run());
        ComPtr<IMSVidGraphSegmentContainer> container;
        ASSERT_EQ(S_OK, control.As(&container));
        ASSERT_EQ(S_OK, container->get_Graph(&graph));
    }

    void frequencyFile(const char* name, const std::string& text) {
        std::ofstream(install / name, std::ios::binary) << text;
        CRegistry::getInstance()->writeString(
            L"Software\\Kelvarin\\Pelmo", L"InstallDir",
            std::wstring(install.path().begin(), install.path().end()) + L"/");
    }

    void scan(const wchar_t* mediaType) {
        channelScan.setResultsHandler(L"Skyvane Virtual Tuner", &handler);
        ASSERT_EQ(0, channelScan.startScanChannels(mediaType, graph.Get(), request.get()));
        channelScan.waitScanEnded();
        ASSERT_EQ(S_OK, control->Stop());
    }

    TempFolder install{"scan_install"};
    std::unique_ptr<BDATuneRequest> request;
    ComPtr<IGraphBuilder> graph;
    RecordingHandler handler;
    ChannelScan channelScan;
};

const wchar_t* kDvbt = L"device://tv.channel.dvbt/#/";

TEST_F(ChannelScanOnAir, DvbtScanReportsTheNamedServicesOfEveryLockedMultiplexWithItsPathAndSignal) {
    setting(L"CountryCode", 44);
    setting(L"DVBTFrequencyOffset", 167);
    // On air; nothing there; received only 167 kHz above; on air without a NIT.
    frequencyFile("DVBTfrequencies_B8.txt",
                  "474000/8/-1/-1/-1\n482000/8/-1/-1/-1\n618000/8/-1/-1/-1\n706000/8/-1/-1/-1\n");
    prepare(kMediaTypeDvbt, KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    scan(kMediaTypeDvbt);

    const std::vector<ScanItem> expected{
        {L"Demo One", kDvbt + std::wstring(L"474000/8/8916/4100/4164"), L"474000", 92},
        {L"Demo Two HD", kDvbt + std::wstring(L"474000/8/8916/4100/4165"), L"474000", 92},
        {L"Demo Music", kDvbt + std::wstring(L"474000/8/8916/4100/4166"), L"474000", 92},
        {L"Demo Kids", kDvbt + std::wstring(L"618167/8/8916/4102/4292"), L"618000", 64},
        {L"Demo Films", kDvbt + std::wstring(L"618167/8/8916/4102/4293"), L"618000", 64},
    };
    auto results = handler.results();
    ASSERT_EQ(1u, results.size());
    EXPECT_EQ(L"Skyvane Virtual Tuner", results[0].deviceName);
    EXPECT_EQ(expected, results[0].items);

    std::vector<ScanCall> calls{
        {0, 4, L"Demo One", expected[0].path, 92},
        {0, 4, L"Demo Two HD", expected[1].path, 92},
        {0, 4, L"Demo Music", expected[2].path, 92},
        {1, 4, L"", L"", 0},
        {2, 4, L"Demo Kids", expected[3].path, 64},
        {2, 4, L"Demo Films", expected[4].path, 64},
        // 706000 locked but named nothing: no call for it.
        {4, 4, L"", L"", 0},
    };
    EXPECT_EQ(calls, handler.calls());
    // The multiplex without a NIT waited out the NIT's time and listed nothing.
    EXPECT_EQ(1, log->count(L"Timeout getting table (pid=0010, tid=40)"));
    EXPECT_EQ(1, log->count(L"channel Path 618167/8/8916/4102/4293/Demo Films"));
}

TEST_F(ChannelScanOnAir, AtscScanReportsTheVirtualChannelsOfTheMultiplex) {
    setting(L"CountryCode", 1);
    frequencyFile("ATSCfrequencies.txt", "21/-1/-1\n22/-1/-1\n");
    prepare(kMediaTypeAtsc, KSCATEGORY_BDA_NETWORK_TUNER, kAtscTunerName);
    scan(kMediaTypeAtsc);

    const std::vector<ScanItem> expected{
        {L"SKY-HD", L"device://tv.channel.atsc/#/22/22/1", L"22", 83},
        {L"SKY-SD", L"device://tv.channel.atsc/#/22/22/2", L"22", 83},
    };
    auto results = handler.results();
    ASSERT_EQ(1u, results.size());
    EXPECT_EQ(expected, results[0].items);
    EXPECT_EQ((std::vector<ScanCall>{{0, 2, L"", L"", 0},
                                     {1, 2, L"SKY-HD", expected[0].path, 83},
                                     {1, 2, L"SKY-SD", expected[1].path, 83},
                                     {2, 2, L"", L"", 0}}),
              handler.calls());
}

TEST_F(ChannelScanOnAir, AnalogScanFindsTheChannelsOnAir) {
    prepare(kMediaTypeAnalog, KSCATEGORY_TVTUNER, kAnalogTunerName);
    scan(kMediaTypeAnalog);

    const std::vector<ScanItem> expected{
        {L"3", L"device://tv.channel.analog/#/3", L"3", 100},
        {L"5", L"device://tv.channel.analog/#/5", L"5", 100},
        {L"8", L"device://tv.channel.analog/#/8", L"8", 100},
    };
    auto results = handler.results();
    ASSERT_EQ(1u, results.size());
    EXPECT_EQ(expected, results[0].items);
    EXPECT_EQ(301u, handler.calls().size());
    EXPECT_EQ(3u, handler.found().size());
}

}  // namespace
