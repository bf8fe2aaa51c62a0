#include "platform/bda/AirTunerFilter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/air/AirBroadcast.h"
#include "platform/bda/BdaClasses.h"
#include "platform/bda/TuningSpaces.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/NullRenderer.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";

struct Stats {
    bool locked = false, present = false;
    LONG strength = 0, quality = 0;
    int failedReads = 0;
};

// Reads every node the way a signal test does: a later node overwrites an earlier one, only
// reads that succeed count.
Stats readStats(IBaseFilter* filter) {
    Stats s;
    ComPtr<IBDA_Topology> topology;
    EXPECT_EQ(S_OK, filter->QueryInterface(IID_IBDA_Topology, reinterpret_cast<void**>(&topology)));
    ULONG types[32], count = 0;
    EXPECT_EQ(S_OK, topology->GetNodeTypes(&count, 32, types));
    for (ULONG i = 0; i < count; ++i) {
        ComPtr<IUnknown> node;
        if (FAILED(topology->GetControlNode(0, 1, types[i], &node)) || !node) continue;
        ComPtr<IBDA_SignalStatistics> stats;
        if (FAILED(node.As(&stats))) continue;
        BOOLEAN b = 0;
        LONG v = 0;
        if (SUCCEEDED(stats->get_SignalStrength(&v)))
            s.strength = v;
        else
            ++s.failedReads;
        if (SUCCEEDED(stats->get_SignalQuality(&v)))
            s.quality = v;
        else
            ++s.failedReads;
        if (SUCCEEDED(stats->get_SignalLocked(&b)))
            s.locked = b;
        else
            ++s.failedReads;
        if (SUCCEEDED(stats->get_SignalPresent(&b)))
            s.present = b;
        else
            ++s.failedReads;
    }
    return s;
}

ComPtr<ITuneRequest> dvbtRequest(LONG frequency, LONG bandwidth) {
    RegisterBdaClasses();
    ComPtr<ITuneRequest> request;
    ComPtr<ITuningSpace> space;
    space.Attach(CreateComObject<DVBTTuningSpace>());
    space->CreateTuneRequest(&request);
    ComPtr<IDVBTLocator> locator;
    CoCreateInstance(CLSID_DVBTLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IDVBTLocator,
                     reinterpret_cast<void**>(&locator));
    locator->put_CarrierFrequency(frequency);
    locator->put_Bandwidth(bandwidth);
    request->put_Locator(locator.Get());
    return request;
}

class AirTunerFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        air = AirBroadcast::open(kDemo, error);
        ASSERT_TRUE(air) << error;
    }
    std::shared_ptr<AirBroadcast> air;
};

TEST_F(AirTunerFilterTest, StatisticsShowNoLockBeforeTheLockTimeThenTheCataloguesFigures) {
    // The broadcast's clock stands still until the test moves it: the first reads come before
    // the 400 ms lock, the later ones after the next multiplex's 600 ms, however slow the run.
    air->setManualClock(true);
    ComPtr<AirTunerFilter> filter;
    filter.Attach(CreateComObject<AirTunerFilter>(air->tuner(L"Skyvane Virtual DVB-T Tuner")));
    ComPtr<ITuner> tuner;
    ASSERT_EQ(S_OK, filter.As(&tuner));
    ASSERT_EQ(S_OK, tuner->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    Stats s = readStats(filter.Get());
    EXPECT_TRUE(s.present);
    EXPECT_FALSE(s.locked);
    EXPECT_EQ(86, s.strength);
    EXPECT_EQ(0, s.quality);
    // Each node answers only its own two values.
    EXPECT_EQ(4, s.failedReads);

    ASSERT_EQ(S_OK, tuner->put_TuneRequest(dvbtRequest(538000, -1).Get()));
    air->advanceMs(599);
    EXPECT_FALSE(readStats(filter.Get()).locked);
    air->advanceMs(1);
    s = readStats(filter.Get());
    EXPECT_TRUE(s.locked);
    EXPECT_EQ(71, s.strength);
    EXPECT_EQ(78, s.quality);

    ComPtr<ITuneRequest> current;
    ASSERT_EQ(S_OK, tuner->get_TuneRequest(&current));
    ComPtr<ILocator> locator;
    current->get_Locator(&locator);
    LONG f = 0;
    locator->get_CarrierFrequency(&f);
    EXPECT_EQ(538000, f);
}

TEST_F(AirTunerFilterTest, AFrequencyWithNothingOnItReadsNoSignalAndBadRequestsKeepTheChannel) {
    air->setSpeed(1000);
    ComPtr<AirTunerFilter> filter;
    filter.Attach(CreateComObject<AirTunerFilter>(air->tuner(L"Skyvane Virtual DVB-T Tuner")));
    ComPtr<ITuner> tuner;
    ASSERT_EQ(S_OK, filter.As(&tuner));
    ComPtr<ITuneRequest> none;
    EXPECT_EQ(E_FAIL, tuner->get_TuneRequest(&none));
    ASSERT_EQ(S_OK, tuner->put_TuneRequest(dvbtRequest(490000, 8).Get()));
    Stats s = readStats(filter.Get());
    EXPECT_FALSE(s.present);
    EXPECT_FALSE(s.locked);
    EXPECT_EQ(0, s.strength);

    EXPECT_EQ(E_INVALIDARG, tuner->put_TuneRequest(dvbtRequest(-1, 8).Get()));
    EXPECT_EQ(E_POINTER, tuner->put_TuneRequest(nullptr));
    ASSERT_EQ(S_OK, tuner->get_TuneRequest(&none));
    ComPtr<ILocator> locator;
    none->get_Locator(&locator);
    LONG f = 0;
    locator->get_CarrierFrequency(&f);
    EXPECT_EQ(490000, f);

    // The ATSC tuner refuses a DVB request.
    ComPtr<AirTunerFilter> atsc;
    atsc.Attach(CreateComObject<AirTunerFilter>(air->tuner(L"Skyvane Virtual ATSC Tuner")));
    EXPECT_EQ(E_INVALIDARG, atsc->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    // Analog tuners have no statistics to offer.
    ComPtr<AirTunerFilter> analog;
    analog.Attach(CreateComObject<AirTunerFilter>(air->tuner(L"Skyvane Virtual Analog Tuner A")));
    ComPtr<IBDA_Topology> topology;
    EXPECT_EQ(E_NOINTERFACE, analog.As(&topology));
}

TEST_F(AirTunerFilterTest, TheOutputPinCarriesTheTunedMultiplexAsATransportStream) {
    air->setSpeed(4);
    RegisterGraphClasses();
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&graph)));
    ComPtr<AirTunerFilter> filter;
    filter.Attach(CreateComObject<AirTunerFilter>(air->tuner(L"Skyvane Virtual DVB-T Tuner")));
    ComPtr<CNullRenderer> sink;
    sink.Attach(CreateComObject<CNullRenderer>());
    ASSERT_EQ(S_OK, graph->AddFilter(filter.Get(), L"Skyvane Virtual DVB-T Tuner"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    CMediaType type;
    ASSERT_EQ(S_OK, filter->GetPin(0)->GetMediaType(0, &type));
    EXPECT_EQ(MEDIATYPE_Stream, type.majortype);
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_TRANSPORT, type.subtype);
    ASSERT_EQ(S_OK, graph->ConnectDirect(filter->GetPin(0), sink->GetPin(0), nullptr));
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(474000, 8).Get()));
    ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, graph.As(&control));
    ASSERT_EQ(S_OK, control->Run());
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sink->SamplesReceived() < 3 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(sink->SamplesReceived(), 3);
    // A retune while running goes on with the new multiplex.
    uint64_t before = filter->packetsDelivered();
    ASSERT_EQ(S_OK, filter->put_TuneRequest(dvbtRequest(538000, 8).Get()));
    while (filter->packetsDelivered() < before + 200 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(filter->packetsDelivered(), before + 200);
    EXPECT_EQ(S_OK, control->Stop());
}

}  // namespace
