#include "tuning/BDATuneRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/bda/AirTunerFilter.h"
#include "platform/bda/TuningSpaces.h"
#include "platform/devenum/DeviceRegistry.h"
#include "platform/graph/NullRenderer.h"
#include "tuning/TuningTestSupport.h"

namespace {

// Waits (bounded, only reached when broken) until the tuner has locked: the signal test's
// pause then ends after the multiplex's lock time, whatever the machine's load.
void waitForLock(const std::shared_ptr<AirTuner>& tuner) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!tuner->signal().locked && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class DigitalTuning : public OnAir {
protected:
    // A tune request for the media type on the control's active tuner.
    std::unique_ptr<BDATuneRequest> request(const wchar_t* mediaType,
                                            IBaseFilter* networkProvider = nullptr) {
        auto r = std::make_unique<BDATuneRequest>(networkProvider, nullptr, nullptr, control.Get());
        EXPECT_EQ(S_OK, r->init(mediaType));
        return r;
    }
    HRESULT tune(BDATuneRequest& r, const wchar_t* medium) {
        CComVariant v;
        return r.tune(medium, v);
    }
};

TEST_F(DigitalTuning, EveryDvbtMultiplexTunesThroughTheInputDeviceWithOrWithoutNetworkIds) {
    openAir(1000);
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    auto r = request(kMediaTypeDvbt);
    auto t = tuner(kDvbtTunerName);
    struct Case {
        const wchar_t* medium;
        int frequency;
    } cases[] = {{L"474000/8/8916/4100/4164", 474000},
                 {L"538000/8/-1/-1/-1", 538000},
                 {L"618167/8/8916/4102/4292", 618000},
                 {L"706000/-1/8916/-1/4400", 706000}};
    for (const Case& c : cases) {
        CComVariant v;
        ASSERT_EQ(S_OK, r->tune(c.medium, v)) << c.medium;
        ASSERT_TRUE(t->multiplex()) << c.medium;
        EXPECT_EQ(c.frequency, t->multiplex()->frequencyKHz);
        // The request handed back is the one the tuner got.
        ASSERT_EQ(VT_UNKNOWN, v.vt);
        ComPtr<IDVBTuneRequest> dvb;
        ASSERT_EQ(S_OK, v.punkVal->QueryInterface(IID_IDVBTuneRequest, reinterpret_cast<void**>(&dvb)));
        LONG onid = 0, sid = 0;
        dvb->get_ONID(&onid);
        dvb->get_SID(&sid);
        bool allIds = std::wstring(c.medium).find(L"-1") == std::wstring::npos;
        EXPECT_EQ(allIds ? 8916 : -1, onid) << c.medium;
        EXPECT_EQ(
            allIds ? std::stoi(std::wstring(c.medium).substr(std::wstring(c.medium).rfind(L'/') + 1)) : -1,
            sid);
    }
    EXPECT_TRUE(log->has(LOG_INFO, L"BDA Tuning freq 474000 band 8 onid 8916 sid 4164 tsid 4100"));
    EXPECT_TRUE(log->has(LOG_INFO, L"BDA Tuning freq 538000 band 8 onid -1 sid -1 tsid -1"));
    EXPECT_TRUE(log->has(LOG_INFO, L"pInputDevice view returned 0"));

    // A bad medium tunes nothing: the tuner stays where it was.
    EXPECT_EQ(E_FAIL, tune(*r, L"474000/8/1/2"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"Bad DVBT medium format 474000/8/1/2"));
    EXPECT_EQ(706000, t->multiplex()->frequencyKHz);
}

TEST_F(DigitalTuning, AtscTunesThePhysicalChannelWithMajorAndMinor) {
    openAir(1000);
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kAtscTunerName);
    auto r = request(kMediaTypeAtsc);
    ASSERT_EQ(S_OK, tune(*r, L"22/22/1"));
    auto t = tuner(kAtscTunerName);
    ASSERT_TRUE(t->multiplex());
    EXPECT_EQ(22, t->multiplex()->physicalChannel);
    EXPECT_TRUE(log->has(LOG_INFO, L"BDA Tuning Phys 22  Major 22 Minor 1"));
    EXPECT_TRUE(log->has(LOG_DEBUG, L"After calling put_Locator 0"));
    EXPECT_EQ(E_FAIL, tune(*r, L"22/7"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"Bad ATSC medium format 22/7"));
    // The DVB-T tuner cannot take an ATSC request: the input device says so.
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    auto wrong = std::make_unique<BDATuneRequest>(nullptr, nullptr, nullptr, control.Get());
    ASSERT_EQ(S_OK, wrong->init(kMediaTypeAtsc));
    EXPECT_EQ(E_INVALIDARG, tune(*wrong, L"22/22/1"));
}

TEST_F(DigitalTuning, GetMediumReadsTheNetworkProviderAndFailsWithoutOne) {
    openAir(1000);
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    auto r = request(kMediaTypeDvbt);
    ASSERT_EQ(S_OK, tune(*r, L"474000/8/8916/4100/4164"));
    std::wstring medium = L"x";
    EXPECT_EQ(E_FAIL, r->getMedium(medium));
    EXPECT_EQ(L"-1", medium);
    EXPECT_TRUE(log->has(LOG_ERROR, L"Failed while interfacing Tuner with Network Provider"));

    // The tuner filter serves as the network provider: it knows the request it runs.
    ComPtr<IBaseFilter> provider;
    ComPtr<IMSVidGraphSegmentContainer> container;
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, control.As(&container));
    ASSERT_EQ(S_OK, container->get_Graph(&graph));
    ASSERT_EQ(S_OK, graph->FindFilterByName(kDvbtTunerName, &provider));
    auto withProvider = request(kMediaTypeDvbt, provider.Get());
    ASSERT_EQ(S_OK, tune(*withProvider, L"538000/8/8916/4101/4228"));
    ASSERT_EQ(S_OK, withProvider->getMedium(medium));
    EXPECT_EQ(L"538000/8/8916/4101/4228", medium);
    // A request the provider refuses is reported and nothing changes.
    EXPECT_EQ(E_INVALIDARG, tune(*withProvider, L"1/8/-1/-1/-1"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"Failed to submit the Tune Tequest to the Network Provider 80070057"));
    ASSERT_EQ(S_OK, withProvider->getMedium(medium));
    EXPECT_EQ(L"538000/8/8916/4101/4228", medium);

    // A provider without a tuner interface.
    ComPtr<CNullRenderer> notATuner;
    notATuner.Attach(CreateComObject<CNullRenderer>());
    auto broken = request(kMediaTypeDvbt, notATuner.Get());
    EXPECT_EQ(E_FAIL, tune(*broken, L"474000/8/-1/-1/-1"));

    auto analog = request(kMediaTypeAnalog);
    EXPECT_EQ(S_OK, analog->getMedium(medium));
    EXPECT_EQ(L"-1", medium);
}

TEST_F(DigitalTuning, EachTuningStepReportsItsOwnFailure) {
    openAir(1000);
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    auto r = request(kMediaTypeDvbt);
    {
        ScopedClassFailure noSpaces(CLSID_SystemTuningSpaces, E_OUTOFMEMORY);
        BDATuneRequest other(nullptr, nullptr, nullptr, control.Get());
        EXPECT_EQ(E_OUTOFMEMORY, other.init(kMediaTypeDvbt));
        EXPECT_TRUE(log->has(LOG_ERROR, L"CoCreateInstance CLSID_SystemTuningSpaces failed 8007000E"));
    }
    {
        ScopedClassFailure noLocator(CLSID_DVBTLocator, E_OUTOFMEMORY);
        EXPECT_EQ(E_OUTOFMEMORY, tune(*r, L"474000/8/-1/-1/-1"));
        EXPECT_TRUE(log->has(LOG_ERROR, L"IDVBTLocator::CoCreateInstance failed 8007000E"));
    }
    EXPECT_EQ(E_INVALIDARG, tune(*r, L"474000/8/8916/4100/70000"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"IDVBTuneRequest::put_SID failed 80070057"));
    EXPECT_EQ(E_INVALIDARG, tune(*r, L"474000/8/-5/4100/4164"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"IDVBTuneRequest::put_ONID failed 80070057"));
    EXPECT_EQ(E_INVALIDARG, tune(*r, L"-5/8/-1/-1/-1"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"IDVBTLocator::put_CarrierFrequency failed 80070057"));
    EXPECT_EQ(E_INVALIDARG, tune(*r, L"474000/-8/-1/-1/-1"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"IDVBTLocator::put_Bandwidth failed 80070057"));
    // None of these reached the tuner.
    EXPECT_FALSE(tuner(kDvbtTunerName)->multiplex());

    activate(KSCATEGORY_BDA_NETWORK_TUNER, kAtscTunerName);
    auto atsc = std::make_unique<BDATuneRequest>(nullptr, nullptr, nullptr, control.Get());
    ASSERT_EQ(S_OK, atsc->init(kMediaTypeAtsc));
    {
        ScopedClassFailure noLocator(CLSID_ATSCLocator, E_ACCESSDENIED);
        EXPECT_EQ(E_ACCESSDENIED, tune(*atsc, L"22/22/1"));
        EXPECT_TRUE(log->has(LOG_ERROR, L"IATSCLocator::CoCreateInstance failed 80070005"));
    }
    EXPECT_EQ(E_INVALIDARG, tune(*atsc, L"22/1000/1"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"IATSCTuneRequest::put_Channel failed 80070057"));
    EXPECT_EQ(E_INVALIDARG, tune(*atsc, L"22/22/-3"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"IATSCTuneRequest::put_MinorChannel failed 80070057"));
    EXPECT_EQ(E_INVALIDARG, tune(*atsc, L"-4/22/1"));
    EXPECT_TRUE(log->has(LOG_ERROR, L"IATSCLocator::put_PhysicalChannel failed 80070057"));
}

// A system without a "DVB-T" tuning space.
class SpacesWithoutDvbt : public ComObject<ITuningSpaceContainer> {
public:
    HRESULT get_Count(LONG* count) override {
        *count = 1;
        return S_OK;
    }
    HRESULT get_EnumTuningSpaces(IEnumTuningSpaces** out) override {
        ComPtr<ITuningSpace> atsc;
        atsc.Attach(CreateComObject<ATSCTuningSpace>());
        *out = CreateComObject<EnumTuningSpaces>(std::vector<ComPtr<ITuningSpace>>{atsc});
        return S_OK;
    }
};

TEST_F(DigitalTuning, InitFindsOnlyTheSpaceOfItsMediaType) {
    openAir(1000);
    const ClassEntry replacement[] = {
        {CLSID_SystemTuningSpaces, "without DVB-T", &CreateClassObject<SpacesWithoutDvbt>}};
    ClassRegistry::instance().registerClasses(replacement);
    BDATuneRequest r(nullptr, nullptr, nullptr, control.Get());
    EXPECT_EQ(E_FAIL, r.init(kMediaTypeDvbt));
    EXPECT_TRUE(log->has(LOG_ERROR, L"Desired pTuningSpace not found "));
    EXPECT_TRUE(log->has(LOG_DEBUG, L"uniquename is ATSC"));
    // Without an initialised space a tune fails before anything is built.
    CComVariant v;
    EXPECT_EQ(E_UNEXPECTED, r.tune(L"474000/8/-1/-1/-1", v));
    EXPECT_EQ(VT_EMPTY, v.vt);
    EXPECT_EQ(S_OK, r.init(kMediaTypeAtsc));
}

TEST_F(DigitalTuning, ALockedMultiplexIsFoundOnTheReadAfterItsLockTime) {
    openAir(100);  // the 400 ms lock takes 4 ms
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    auto r = request(kMediaTypeDvbt);
    ASSERT_EQ(S_OK, tune(*r, L"474000/8/-1/-1/-1"));
    SignalClock clock;
    clock.whileAsleep = [this] { waitForLock(tuner(kDvbtTunerName)); };
    clock.attach(*r);
    int32_t strength = -1;
    EXPECT_TRUE(r->signalPresent(strength));
    EXPECT_EQ(92, strength);  // the quality
    EXPECT_LE(clock.sleeps, 1);
    EXPECT_TRUE(log->has(LOG_INFO, L"locked, present, strength, quality 1 1 86 92"));
}

TEST_F(DigitalTuning, WithoutLockTheTestGivesUpAfterFiveReadsOrThreeSeconds) {
    // At a thousandth of real speed no multiplex locks while the test runs.
    openAir(0.001);
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    auto r = request(kMediaTypeDvbt);
    ASSERT_EQ(S_OK, tune(*r, L"538000/8/-1/-1/-1"));
    SignalClock clock;
    clock.attach(*r);
    int32_t strength = -1;
    EXPECT_FALSE(r->signalPresent(strength));
    EXPECT_EQ(0, strength);
    EXPECT_EQ(5, log->count(L"locked, present, strength, quality 0 1 71 0"));
    EXPECT_EQ(5, clock.sleeps);
    EXPECT_EQ(2500, clock.now);

    // Reads that come late: the one that ends past 3 s is the last.
    log->clear();
    SignalClock slow;
    slow.step = 1100;
    slow.attach(*r);
    EXPECT_FALSE(r->signalPresent(strength));
    EXPECT_EQ(4, log->count(L"locked, present, strength, quality"));
    EXPECT_EQ(3, slow.sleeps);

    // Nothing on air at all: no signal, no lock.
    log->clear();
    ASSERT_EQ(S_OK, tune(*r, L"490000/8/-1/-1/-1"));
    SignalClock empty;
    empty.attach(*r);
    EXPECT_FALSE(r->signalPresent(strength));
    EXPECT_EQ(5, log->count(L"locked, present, strength, quality 0 0 0 0"));
}

// A network tuner device whose filter offers no BDA topology.
HRESULT makeNullRenderer(REFIID riid, void** ppv) {
    return CreateClassObject<CNullRenderer>(riid, ppv);
}

TEST_F(DigitalTuning, ATunerWithoutStatisticsCountsAsHavingASignal) {
    openAir(0.001);
    ScopedDeviceRegistration plain(
        {KSCATEGORY_BDA_NETWORK_TUNER, L"Plain Tuner", L"\\\\?\\plain#1#{71985f48}", &makeNullRenderer});
    activate(KSCATEGORY_BDA_NETWORK_TUNER, L"Plain Tuner");
    auto r = request(kMediaTypeDvbt);
    SignalClock clock;
    clock.attach(*r);
    int32_t strength = -1;
    EXPECT_TRUE(r->signalPresent(strength));
    EXPECT_EQ(0, strength);
    EXPECT_EQ(0, clock.sleeps);
    EXPECT_TRUE(log->has(LOG_DEBUG, L"Can't get signal statistics"));
    EXPECT_TRUE(log->count(L"Cannot Find IID_IBDA_Topology 80004002") == 1);

    // An input that is no network tuner: its name is not found among them.
    log->clear();
    activate(KSCATEGORY_TVTUNER, kAnalogTunerName);
    BDATuneRequest analogInput(nullptr, nullptr, nullptr, control.Get());
    ASSERT_EQ(S_OK, analogInput.init(kMediaTypeDvbt));
    EXPECT_TRUE(analogInput.signalPresent(strength));
    EXPECT_TRUE(log->has(LOG_WARN, L"Cannot get tuner name "));

    // A control whose graph cannot be made.
    log->clear();
    ComPtr<IMSVidCtl> fresh;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                     reinterpret_cast<void**>(&fresh)));
    ScopedClassFailure noGraph(CLSID_FilterGraph, E_OUTOFMEMORY);
    BDATuneRequest noInput(nullptr, nullptr, nullptr, fresh.Get());
    ASSERT_EQ(S_OK, noInput.init(kMediaTypeAtsc));
    EXPECT_TRUE(noInput.signalPresent(strength));
    EXPECT_TRUE(log->has(LOG_ERROR, L"Cannot get pGraph 8007000E"));
}

}  // namespace
