// The analog branch of the tune request and the tuner settings, on the demo broadcast's
// analog card A (crossbar with composite and S-video inputs; the set-top box on input 1).
#include <gtest/gtest.h>

#include "platform/bda/TuneRequests.h"
#include "platform/bda/TuningSpaces.h"
#include "platform/hux/HuxSatellite.h"
#include "tuning/TuningTestSupport.h"

namespace {

// Records the set-top-box requests instead of sending them.
class RecordingBus : public HuxSatellite {
public:
    struct Call {
        std::wstring target, service;
        VARTYPE type;
        LONG channel;
    };
    HRESULT Request(const std::wstring& target, const std::wstring& service, const VARIANT& args, VARIANT*,
                    HUXFLAGS, VARIANT*) override {
        calls.push_back({target, service, args.vt, args.vt == VT_I4 ? args.lVal : -1});
        return HUX_E_NOT_CONNECTED;  // the tune request must not care
    }
    std::vector<Call> calls;
};

class AnalogTuning : public OnAir {
protected:
    void SetUp() override {
        OnAir::SetUp();
        openAir(20);
        activate(KSCATEGORY_TVTUNER, kAnalogTunerName);
    }
    std::unique_ptr<BDATuneRequest> request(HuxSatellite* bus = nullptr) {
        auto r = std::make_unique<BDATuneRequest>(nullptr, nullptr, bus, control.Get());
        EXPECT_EQ(S_OK, r->init(kMediaTypeAnalog));
        return r;
    }
    // The unique name of the tuning space behind the request a tune handed back.
    static std::wstring spaceOf(const VARIANT& v) {
        ComPtr<ITuneRequest> request;
        ComPtr<ITuningSpace> space;
        CComBSTR name;
        if (v.vt == VT_UNKNOWN &&
            SUCCEEDED(v.punkVal->QueryInterface(IID_ITuneRequest, reinterpret_cast<void**>(&request))) &&
            SUCCEEDED(request->get_TuningSpace(&space)))
            space->get_UniqueName(&name);
        return name.str();
    }
    std::shared_ptr<AirTuner> card() { return tuner(kAnalogTunerName); }
};

TEST_F(AnalogTuning, SettingsHaveDefaultsAndTheSetTopBoxDecidesTheMode) {
    {
        BDATuneRequest r(nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(kTuneDirect, r.getTuningSpace());
        EXPECT_EQ(0, r.getTuningChannel());
        EXPECT_EQ(1, r.getCountryCode());
        EXPECT_EQ(0, r.getTunerInput());
        EXPECT_EQ(0, r.dvbtFrequencyOffset);
        EXPECT_TRUE(log->has(LOG_DEBUG, L"TuningSpace 0 TunerInput 0 "));
    }
    // Without a set-top box the channel setting is not even read.
    setting(L"TuningChannel", 3);
    setting(L"CountryCode", 44);
    setting(L"DVBTFrequencyOffset", 167);
    {
        BDATuneRequest r(nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(kTuneDirect, r.getTuningSpace());
        EXPECT_EQ(0, r.getTuningChannel());
        EXPECT_EQ(44, r.getCountryCode());
        EXPECT_EQ(167, r.dvbtFrequencyOffset);
    }
    struct Case {
        int channel;
        int mode;
    } cases[] = {{3, kTuneFixedChannel}, {1, kTuneAuxInput}, {0, kTuneAuxInput}};
    setting(L"HasSetTopBox", 1);
    for (const Case& c : cases) {
        setting(L"TuningChannel", c.channel);
        BDATuneRequest r(nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(c.mode, r.getTuningSpace()) << c.channel;
        EXPECT_EQ(c.channel, r.getTuningChannel());
    }
    // A value of the wrong type keeps the default.
    ASSERT_TRUE(CRegistry::getInstance()->writeString(kTunerSettingsKey, L"TunerInput", L"1"));
    BDATuneRequest r(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(0, r.getTunerInput());
}

TEST_F(AnalogTuning, DirectModeTunesTheChannelAndReadsItsSignal) {
    auto r = request();
    CComVariant v;
    ASSERT_EQ(S_OK, r->tune(L"5", v));
    EXPECT_EQ(L"Cable", spaceOf(v));
    EXPECT_EQ(5, card()->analogChannel());
    int32_t strength = -1;
    EXPECT_TRUE(r->signalPresent(strength));
    EXPECT_EQ(100, strength);
    EXPECT_TRUE(log->has(LOG_INFO, L"testing channel  5"));

    ASSERT_EQ(S_OK, r->tune(L"7/-1/-1", v));  // nothing on air on 7
    EXPECT_FALSE(r->signalPresent(strength));
    EXPECT_EQ(0, strength);
    EXPECT_TRUE(log->has(LOG_INFO, L"signal present 0"));

    // Channel 0 (an empty medium) is no channel of the tuning space.
    EXPECT_EQ(E_INVALIDARG, r->tune(L"", v));
    EXPECT_TRUE(log->has(LOG_ERROR, L"pTuneRequest->put_Channel failed 80070057"));

    // A digital input answers no analog signal test.
    activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTunerName);
    auto digitalInput = request();
    EXPECT_FALSE(digitalInput->signalPresent(strength));
    EXPECT_EQ(0, strength);
}

TEST_F(AnalogTuning, AntennaInputChoosesTheAntennaSpace) {
    setting(L"TunerInput", 1);
    setting(L"CountryCode", 49);
    auto r = request();
    EXPECT_TRUE(log->has(LOG_INFO, L"put_CountryCode for 49  returned  0"));
    CComVariant v;
    ASSERT_EQ(S_OK, r->tune(L"8", v));
    EXPECT_EQ(L"Antenna", spaceOf(v));
    EXPECT_EQ(8, card()->analogChannel());
}

TEST_F(AnalogTuning, FixedChannelModeKeepsTheTunerOnTheBoxChannelAndAsksTheBox) {
    setting(L"HasSetTopBox", 1);
    setting(L"TuningChannel", 3);
    RecordingBus bus;
    auto r = request(&bus);
    CComVariant v;
    ASSERT_EQ(S_OK, r->tune(L"12", v));
    EXPECT_EQ(3, card()->analogChannel());
    ASSERT_EQ(1u, bus.calls.size());
    EXPECT_EQ(L"any", bus.calls[0].target);
    EXPECT_EQ(L"STBTuneToChannel", bus.calls[0].service);
    EXPECT_EQ(VT_I4, bus.calls[0].type);
    EXPECT_EQ(12, bus.calls[0].channel);
    EXPECT_TRUE(log->has(LOG_DEBUG, L"Request IR channel"));

    // Without a bus client only the box request fails; the card is still tuned.
    auto alone = request(nullptr);
    ASSERT_EQ(S_OK, alone->tune(L"5", v));
    EXPECT_EQ(3, card()->analogChannel());
    EXPECT_EQ(E_FAIL, alone->requestIRChannel(5));
}

TEST_F(AnalogTuning, AuxInputModeSelectsTheBoxInputAndAsksTheBox) {
    setting(L"HasSetTopBox", 1);
    setting(L"TuningChannel", 1);
    RecordingBus bus;
    auto r = request(&bus);
    EXPECT_TRUE(log->has(LOG_INFO, L" QueryInterface is 0"));
    CComVariant v;
    ASSERT_EQ(S_OK, r->tune(L"7", v));
    EXPECT_EQ(L"AuxIn1", spaceOf(v));
    ASSERT_EQ(1u, bus.calls.size());
    EXPECT_EQ(7, bus.calls[0].channel);
    // The box on input 1 still shows what it showed: nobody on this bus switched it.
    EXPECT_EQ(8, card()->analogChannel());
    int32_t strength = 0;
    EXPECT_TRUE(r->signalPresent(strength));
    EXPECT_TRUE(log->has(LOG_INFO, L"testing channel  1"));

    // Input 0 has nothing connected.
    r->setTuningChannel(0);
    ASSERT_EQ(S_OK, r->init(kMediaTypeAnalog));
    ASSERT_EQ(S_OK, r->tune(L"7", v));
    EXPECT_EQ(-1, card()->analogChannel());
    EXPECT_FALSE(r->signalPresent(strength));
}

// An analog space whose tuner settles one channel below the one asked for.
class OffByOneRequest : public TuneRequestBase<IChannelTuneRequest> {
public:
    using TuneRequestBase::TuneRequestBase;
    HRESULT get_Channel(LONG* channel) override {
        *channel = m_channel - 1;
        return S_OK;
    }
    HRESULT put_Channel(LONG channel) override {
        m_channel = channel;
        return S_OK;
    }
    HRESULT Clone(ITuneRequest**) override { return E_NOTIMPL; }
    LONG m_channel = 0;
};
class OffByOneSpace : public AnalogTVTuningSpace {
public:
    OffByOneSpace() : AnalogTVTuningSpace(L"Cable", L"drifting", TunerInputCable) {}
    HRESULT CreateTuneRequest(ITuneRequest** request) override {
        *request = CreateComObject<OffByOneRequest>(this);
        return S_OK;
    }
};
class DriftingSpaces : public ComObject<ITuningSpaceContainer> {
public:
    HRESULT get_Count(LONG* count) override {
        *count = 1;
        return S_OK;
    }
    HRESULT get_EnumTuningSpaces(IEnumTuningSpaces** out) override {
        ComPtr<ITuningSpace> space;
        space.Attach(CreateComObject<OffByOneSpace>());
        *out = CreateComObject<EnumTuningSpaces>(std::vector<ComPtr<ITuningSpace>>{space});
        return S_OK;
    }
};

TEST_F(AnalogTuning, AChannelThatDoesNotReadBackAsSetIsNotSubmitted) {
    const ClassEntry drifting[] = {
        {CLSID_SystemTuningSpaces, "drifting", &CreateClassObject<DriftingSpaces>}};
    ClassRegistry::instance().registerClasses(drifting);
    auto r = request();
    CComVariant v;
    EXPECT_EQ(E_FAIL, r->tune(L"6", v));
    EXPECT_TRUE(log->has(LOG_ERROR, L"set channel failed got 5 while setting 6"));
    EXPECT_EQ(VT_EMPTY, v.vt);
    EXPECT_EQ(-1, card()->analogChannel());
}

TEST_F(AnalogTuning, AFailedTuningSpaceFailsInit) {
    ScopedClassFailure noSpaces(CLSID_SystemTuningSpaces, E_OUTOFMEMORY);
    BDATuneRequest r(nullptr, nullptr, nullptr, control.Get());
    EXPECT_EQ(E_OUTOFMEMORY, r.init(kMediaTypeAnalog));
    CComVariant v;
    EXPECT_EQ(E_UNEXPECTED, r.tune(L"5", v));
    EXPECT_TRUE(log->has(LOG_INFO, L" CreateTuneRequest failed 8000FFFF"));
}

}  // namespace
