#include "platform/vidctl/VideoControl.h"

#include <gtest/gtest.h>

#include "platform/air/AirBroadcast.h"
#include "platform/bda/BdaClasses.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidTestSink.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";
const wchar_t* kDvbtTuner = L"Skyvane Virtual DVB-T Tuner";
constexpr int kLimitMs = 60000;  // only reached when something is broken

ComPtr<ITuningSpace> tuningSpace(const wchar_t* name) {
    ComPtr<ITuningSpaceContainer> container;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SystemTuningSpaces, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ITuningSpaceContainer, reinterpret_cast<void**>(&container)));
    ComPtr<IEnumTuningSpaces> spaces;
    container->get_EnumTuningSpaces(&spaces);
    ComPtr<ITuningSpace> space;
    while (spaces->Next(1, &space, nullptr) == S_OK) {
        CComBSTR unique;
        space->get_UniqueName(&unique);
        if (unique.str() == name) return space;
    }
    return nullptr;
}

CComVariant asVariant(ITuneRequest* request) {
    CComVariant v;
    v.vt = VT_UNKNOWN;
    v.punkVal = request;
    request->AddRef();
    return v;
}

CComVariant dvbt(LONG frequency) {
    ComPtr<ITuneRequest> request;
    tuningSpace(L"DVB-T")->CreateTuneRequest(&request);
    ComPtr<IDVBTLocator> locator;
    CoCreateInstance(CLSID_DVBTLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IDVBTLocator,
                     reinterpret_cast<void**>(&locator));
    locator->put_CarrierFrequency(frequency);
    locator->put_Bandwidth(8);
    request->put_Locator(locator.Get());
    return asVariant(request.Get());
}

CComVariant analog(const wchar_t* space, LONG channel) {
    ComPtr<ITuneRequest> request;
    tuningSpace(space)->CreateTuneRequest(&request);
    ComPtr<IChannelTuneRequest> c;
    request.As(&c);
    c->put_Channel(channel);
    return asVariant(request.Get());
}

template <class Collection, class Item>
ComPtr<Item> item(Collection* collection, LONG index) {
    ComPtr<Item> out;
    EXPECT_EQ(S_OK, collection->get_Item(CComVariant(index), &out));
    return out;
}

std::wstring nameOf(IMSVidDevice* device) {
    CComBSTR name;
    device->get_Name(&name);
    return name.str();
}

class VideoControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterGraphClasses();
        RegisterDevEnumClasses();
        RegisterBdaClasses();
        RegisterVidCtlClasses();
        VidTestSink::registerAsStreamBufferSink();
        std::string error;
        air = AirBroadcast::open(kDemo, error);
        ASSERT_TRUE(air) << error;
        air->setSpeed(4);
        devices = RegisterAirDevices(air);
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                         reinterpret_cast<void**>(&control)));
    }
    void TearDown() override {
        if (control) control->Decompose();
        control = nullptr;
        VidTestSink::last() = nullptr;
        ClassRegistry::instance().clearFailures();
    }

    ComPtr<IMSVidInputDevice> activate(const GUID& category, const std::wstring& name) {
        ComPtr<IMSVidInputDevices> inputs;
        EXPECT_EQ(S_OK, control->_InputsAvailable(&category, &inputs));
        LONG count = 0;
        inputs->get_Count(&count);
        for (LONG i = 0; i < count; ++i) {
            auto device = item<IMSVidInputDevices, IMSVidInputDevice>(inputs.Get(), i);
            if (nameOf(device.Get()) != name) continue;
            EXPECT_EQ(S_OK, control->put_InputActive(device.Get()));
            return device;
        }
        ADD_FAILURE() << "no input device";
        return nullptr;
    }

    VidTestSinkFilter* addSink() {
        ComPtr<IMSVidOutputDevices> available, active;
        EXPECT_EQ(S_OK, control->_OutputsAvailable(&GUID_NULL, &available));
        LONG count = 0;
        available->get_Count(&count);
        EXPECT_EQ(1, count);
        auto sink = item<IMSVidOutputDevices, IMSVidOutputDevice>(available.Get(), 0);
        GUID clsid;
        sink->get__ClassID(&clsid);
        EXPECT_EQ(CLSID_MSVidStreamBufferSink, clsid);
        EXPECT_EQ(S_OK, control->get_OutputsActive(&active));
        EXPECT_EQ(S_OK, active->Add(sink.Get()));
        EXPECT_EQ(S_OK, control->put_OutputsActive(active.Get()));
        return VidTestSink::last()->filter();
    }

    MSVidCtlStateList state() {
        MSVidCtlStateList s;
        EXPECT_EQ(S_OK, control->get_State(&s));
        return s;
    }

    std::shared_ptr<AirBroadcast> air;
    std::unique_ptr<AirDeviceRegistration> devices;
    ComPtr<IMSVidCtl> control;
};

TEST_F(VideoControlTest, ADigitalInputDeliversTheTunedMultiplexToTheOutputAndFollowsRetunes) {
    EXPECT_EQ(STATE_UNBUILT, state());
    auto input = activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTuner);
    ASSERT_TRUE(input);
    ComPtr<IMSVidAnalogTuner> notAnalog;
    EXPECT_EQ(E_NOINTERFACE, input.As(&notAnalog));

    // The tuner filter is in the graph under its friendly name before anything is built.
    ComPtr<IMSVidGraphSegmentContainer> container;
    ASSERT_EQ(S_OK, control.As(&container));
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, container->get_Graph(&graph));
    ComPtr<IBaseFilter> tuner;
    ASSERT_EQ(S_OK, graph->FindFilterByName(kDvbtTuner, &tuner));
    ComPtr<IBDA_Topology> topology;
    EXPECT_EQ(S_OK, tuner.As(&topology));

    VidTestSinkFilter* sink = addSink();
    CComVariant first = dvbt(474000);
    ASSERT_EQ(S_OK, control->View(&first));
    ASSERT_EQ(S_OK, control->Build());
    EXPECT_EQ(STATE_STOP, state());
    ASSERT_EQ(S_OK, control->Run());
    EXPECT_EQ(STATE_PLAY, state());
    EXPECT_TRUE(sink->waitForTsid(4100, kLimitMs));

    CComVariant second = dvbt(538000);
    ASSERT_EQ(S_OK, input->View(&second));
    EXPECT_TRUE(sink->waitForTsid(4101, kLimitMs));

    EXPECT_EQ(S_OK, control->Stop());
    EXPECT_EQ(STATE_STOP, state());
    EXPECT_EQ(S_OK, control->Decompose());
    EXPECT_EQ(STATE_UNBUILT, state());
    ComPtr<IBaseFilter> still;
    EXPECT_EQ(S_OK, graph->FindFilterByName(kDvbtTuner, &still));
    // Run builds again from the collections that are still active.
    sink->reset();
    ASSERT_EQ(S_OK, control->Run());
    EXPECT_TRUE(sink->waitForTsid(4101, kLimitMs));
}

TEST_F(VideoControlTest, AnAnalogTunerBuildsOnlyWithTheEncoderOfItsOwnCard) {
    auto input = activate(KSCATEGORY_TVTUNER, L"Skyvane Virtual Analog Tuner A");
    ASSERT_TRUE(input);
    VidTestSinkFilter* sink = addSink();
    // Analog video does not go into a transport stream sink without an encoder.
    EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, control->Build());
    EXPECT_EQ(STATE_UNBUILT, state());

    ComPtr<IMSVidFeatures> available;
    ASSERT_EQ(S_OK, control->get_FeaturesAvailable(&available));
    LONG count = 0;
    available->get_Count(&count);
    ASSERT_EQ(2, count);
    auto encoderA = item<IMSVidFeatures, IMSVidFeature>(available.Get(), 0);
    auto multiplexerB = item<IMSVidFeatures, IMSVidFeature>(available.Get(), 1);
    EXPECT_EQ(L"Skyvane Virtual MPEG Encoder A", nameOf(encoderA.Get()));
    EXPECT_EQ(L"Skyvane Virtual MPEG Multiplexer B", nameOf(multiplexerB.Get()));
    GUID clsid;
    multiplexerB->get__ClassID(&clsid);
    EXPECT_EQ(CLSID_MSVidEncoder, clsid);

    ComPtr<IMSVidFeatures> features;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidFeatures,
                                     reinterpret_cast<void**>(&features)));
    ASSERT_EQ(S_OK, features->Add(multiplexerB.Get()));
    ASSERT_EQ(S_OK, control->put_FeaturesActive(features.Get()));
    EXPECT_TRUE(FAILED(control->Build()));
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMSVidGraphSegmentContainer> container;
    ASSERT_EQ(S_OK, control.As(&container));
    ASSERT_EQ(S_OK, container->get_Graph(&graph));
    ComPtr<IBaseFilter> leftOver;
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->FindFilterByName(L"Skyvane Virtual MPEG Multiplexer B", &leftOver));
    EXPECT_EQ(STATE_UNBUILT, state());

    ASSERT_EQ(S_OK, features->Remove(CComVariant(LONG(0))));
    ASSERT_EQ(S_OK, features->Add(encoderA.Get()));
    ASSERT_EQ(S_OK, control->put_FeaturesActive(features.Get()));
    CComVariant channel = analog(L"Cable", 5);
    ASSERT_EQ(S_OK, control->View(&channel));
    ASSERT_EQ(S_OK, control->Run());
    EXPECT_TRUE(sink->waitForPackets(500, kLimitMs));

    ComPtr<IMSVidAnalogTuner> tuner;
    ASSERT_EQ(S_OK, input.As(&tuner));
    LONG number = 0, strength = 0;
    VARIANT_BOOL present = VARIANT_FALSE;
    ASSERT_EQ(S_OK, tuner->get_Channel(&number));
    EXPECT_EQ(5, number);
    ASSERT_EQ(S_OK, tuner->ChannelAvailable(5, &strength, &present));
    EXPECT_EQ(VARIANT_TRUE, present);
    EXPECT_EQ(65, strength);
    ASSERT_EQ(S_OK, tuner->put_Channel(7));  // nothing on air there
    ASSERT_EQ(S_OK, tuner->ChannelAvailable(7, &strength, &present));
    EXPECT_EQ(VARIANT_FALSE, present);
}

TEST_F(VideoControlTest, CollectionsAndCreationFailuresAnswerThePlatformsCodes) {
    ComPtr<IMSVidFeatures> features;
    ASSERT_EQ(S_OK, control->get_FeaturesActive(&features));
    LONG count = -1;
    features->get_Count(&count);
    EXPECT_EQ(0, count);
    ComPtr<IMSVidFeature> none;
    EXPECT_EQ(DISP_E_BADINDEX, features->get_Item(CComVariant(LONG(0)), &none));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, features->get_Item(CComVariant(L"0"), &none));
    EXPECT_EQ(DISP_E_BADINDEX, features->Remove(CComVariant(LONG(-1))));
    EXPECT_EQ(E_UNEXPECTED, control->Build());  // no input
    CComVariant empty;
    EXPECT_EQ(E_UNEXPECTED, control->View(&empty));

    ComPtr<IMSVidInputDevices> inputs;
    EXPECT_EQ(E_INVALIDARG, control->_InputsAvailable(&KSCATEGORY_ENCODER, &inputs));
    ASSERT_EQ(S_OK, control->_InputsAvailable(&KSCATEGORY_BDA_NETWORK_TUNER, &inputs));
    auto input = item<IMSVidInputDevices, IMSVidInputDevice>(inputs.Get(), 0);
    EXPECT_EQ(E_INVALIDARG, input->View(&empty));
    {
        // Without a filter graph nothing can be made active.
        ScopedClassFailure noGraph(CLSID_FilterGraph, E_OUTOFMEMORY);
        EXPECT_EQ(E_OUTOFMEMORY, control->put_InputActive(input.Get()));
        ScopedClassFailure noDevices(CLSID_SystemDeviceEnum, E_ACCESSDENIED);
        EXPECT_EQ(E_ACCESSDENIED, control->_InputsAvailable(&KSCATEGORY_TVTUNER, &inputs));
    }
    // An output whose layer is not registered is simply not offered.
    ClassRegistry::instance().failCreation(CLSID_MSVidStreamBufferSink, E_FAIL);
    ComPtr<IMSVidOutputDevices> outputs;
    ASSERT_EQ(S_OK, control->_OutputsAvailable(&GUID_NULL, &outputs));
    outputs->get_Count(&count);
    EXPECT_EQ(0, count);
}

}  // namespace
