#include "platform/linuxtv/DvbTunerFilter.h"

#include <gtest/gtest.h>

#include "platform/bda/BdaClasses.h"
#include "platform/bda/TuningSpaces.h"
#include "platform/com/ClassRegistry.h"

namespace {

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

ComPtr<ITuneRequest> atscRequest(LONG physical) {
    RegisterBdaClasses();
    ComPtr<ITuneRequest> request;
    ComPtr<ITuningSpace> space;
    space.Attach(CreateComObject<ATSCTuningSpace>());
    space->CreateTuneRequest(&request);
    ComPtr<IATSCLocator> locator;
    CoCreateInstance(CLSID_ATSCLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IATSCLocator,
                     reinterpret_cast<void**>(&locator));
    locator->put_PhysicalChannel(physical);
    request->put_Locator(locator.Get());
    return request;
}

// A front end that is listed but whose node is gone (unplugged after the listing).
ComPtr<DvbTunerFilter> unpluggedTuner(std::vector<fe_delivery_system> systems) {
    DvbDevice d;
    d.frontendPath = "/nonexistent/dvb/adapter0/frontend0";
    d.demuxPath = "/nonexistent/dvb/adapter0/demux0";
    d.dvrPath = "/nonexistent/dvb/adapter0/dvr0";
    d.friendlyName = L"Gone";
    d.systems = std::move(systems);
    ComPtr<DvbTunerFilter> f;
    f.Attach(CreateComObject<DvbTunerFilter>(std::make_shared<DvbTuner>(d)));
    return f;
}

ComPtr<IBDA_SignalStatistics> node(DvbTunerFilter* f, ULONG type) {
    ComPtr<IUnknown> n;
    EXPECT_EQ(S_OK, f->GetControlNode(0, 1, type, &n));
    ComPtr<IBDA_SignalStatistics> s;
    EXPECT_EQ(S_OK, n.As(&s));
    return s;
}

}  // namespace

TEST(DvbTunerFilter, FiguresANotTunedFrontEndCannotGiveAreThereButNotAvailable) {
    ComPtr<DvbTunerFilter> f = unpluggedTuner({SYS_DVBT});
    LONG v = -1;
    BOOLEAN b = 1;
    ComPtr<IBDA_SignalStatistics> rf = node(f.Get(), BDA_NODE_RF_TUNER);
    EXPECT_EQ(S_FALSE, rf->get_SignalStrength(&v));
    EXPECT_EQ(0, v);
    EXPECT_EQ(S_OK, rf->get_SignalPresent(&b));
    EXPECT_EQ(0, b);
    EXPECT_EQ(E_NOTIMPL, rf->get_SignalQuality(&v));  // the demodulator's figure
    ComPtr<IBDA_SignalStatistics> demod = node(f.Get(), BDA_NODE_DEMODULATOR);
    b = 1;
    EXPECT_EQ(S_OK, demod->get_SignalLocked(&b));
    EXPECT_EQ(0, b);
    EXPECT_EQ(S_FALSE, demod->get_SignalQuality(&v));
    EXPECT_EQ(E_POINTER, demod->get_SignalQuality(nullptr));
    ComPtr<IUnknown> none;
    EXPECT_EQ(E_INVALIDARG, f->GetControlNode(0, 1, 7, &none));
    EXPECT_EQ(E_INVALIDARG, f->GetControlNode(1, 0, BDA_NODE_RF_TUNER, &none));
}

TEST(DvbTunerFilter, RequestsTheFrontEndCannotTakeAreRefusedBeforeItIsOpened) {
    ComPtr<DvbTunerFilter> dvbt = unpluggedTuner({SYS_DVBT, SYS_DVBT2});
    EXPECT_EQ(S_OK, dvbt->Validate(dvbtRequest(474000, 8).Get()));
    EXPECT_EQ(E_INVALIDARG, dvbt->Validate(atscRequest(14).Get()));
    EXPECT_EQ(E_INVALIDARG, dvbt->put_TuneRequest(dvbtRequest(474000, 9).Get()));
    EXPECT_EQ(E_INVALIDARG, dvbt->put_TuneRequest(dvbtRequest(-1, 8).Get()));
    EXPECT_EQ(E_POINTER, dvbt->put_TuneRequest(nullptr));
    ComPtr<DvbTunerFilter> atsc = unpluggedTuner({SYS_ATSC, SYS_DVBC_ANNEX_B});
    EXPECT_EQ(E_INVALIDARG, atsc->Validate(dvbtRequest(474000, 8).Get()));
    EXPECT_EQ(S_OK, atsc->Validate(atscRequest(14).Get()));
    EXPECT_EQ(E_INVALIDARG, atsc->put_TuneRequest(atscRequest(70).Get()));
}

TEST(DvbTunerFilter, AGoneFrontEndFailsTheTuneWithTheReasonAndKeepsNoRequest) {
    ComPtr<DvbTunerFilter> f = unpluggedTuner({SYS_DVBT});
    EXPECT_EQ(E_FAIL, f->put_TuneRequest(dvbtRequest(474000, -1).Get()));
    // So does a scanned path whose multiplex did not name its bandwidth (listed as 0): a request
    // the tuner takes, not a bad one.
    EXPECT_EQ(E_FAIL, f->put_TuneRequest(dvbtRequest(474000, 0).Get()));
    EXPECT_NE(std::string::npos, f->tuner()->lastError().find("frontend0 is not there any more"))
        << f->tuner()->lastError();
    EXPECT_FALSE(f->tuner()->stream());
    ComPtr<ITuneRequest> current;
    EXPECT_EQ(E_FAIL, f->get_TuneRequest(&current));
}

TEST(DvbTunerFilter, ItsPinOffersTheAirsTransportStreamType) {
    ComPtr<DvbTunerFilter> f = unpluggedTuner({SYS_DVBT});
    ASSERT_EQ(1, f->GetPinCount());
    CMediaType mt;
    ASSERT_EQ(S_OK, f->GetPin(0)->GetMediaType(0, &mt));
    EXPECT_EQ(MEDIATYPE_Stream, mt.majortype);
    EXPECT_EQ(MEDIASUBTYPE_MPEG2_TRANSPORT, mt.subtype);
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, f->GetPin(0)->GetMediaType(1, &mt));
    ComPtr<IBDA_Topology> topology;
    EXPECT_EQ(S_OK, f.As(&topology));
}
