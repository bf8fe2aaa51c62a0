#include "platform/vidctl/VideoControl.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/bda/AirStreamPin.h"

#include "platform/vidctl/VidCtlTestSupport.h"

namespace {

using namespace vidctl_test;

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

TEST_F(VideoControlTest, SeveralOutputsEachGetTheWholeStreamThroughATee) {
    ASSERT_TRUE(activate(KSCATEGORY_BDA_NETWORK_TUNER, kDvbtTuner));
    ComPtr<VidTestSink> first, second;
    first.Attach(CreateComObject<VidTestSink>());
    second.Attach(CreateComObject<VidTestSink>());
    ComPtr<IMSVidOutputDevices> active;
    ASSERT_EQ(S_OK, control->get_OutputsActive(&active));
    active->Add(first.Get());
    active->Add(second.Get());
    ASSERT_EQ(S_OK, control->put_OutputsActive(active.Get()));
    first->filter()->keep(size_t(16) << 20);
    second->filter()->keep(size_t(16) << 20);
    CComVariant request = dvbt(474000);
    ASSERT_EQ(S_OK, control->View(&request));
    ASSERT_EQ(S_OK, control->Run());

    ComPtr<IMSVidGraphSegmentContainer> container;
    ASSERT_EQ(S_OK, control.As(&container));
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, container->get_Graph(&graph));
    ComPtr<IBaseFilter> tee;
    EXPECT_EQ(S_OK, graph->FindFilterByName(L"Transport Tee", &tee));

    EXPECT_TRUE(first->filter()->waitForTsid(4100, kLimitMs));
    EXPECT_TRUE(second->filter()->waitForTsid(4100, kLimitMs));
    EXPECT_TRUE(first->filter()->waitForPackets(2000, kLimitMs));
    EXPECT_TRUE(second->filter()->waitForPackets(2000, kLimitMs));
    // A retune reaches both.
    CComVariant other = dvbt(538000);
    ASSERT_EQ(S_OK, control->View(&other));
    EXPECT_TRUE(first->filter()->waitForTsid(4101, kLimitMs));
    EXPECT_TRUE(second->filter()->waitForTsid(4101, kLimitMs));
    ASSERT_EQ(S_OK, control->Stop());

    // The same packets in the same order; the tee may have stopped between handing a sample
    // to one output and to the next.
    std::vector<uint8_t> a = first->filter()->kept(), b = second->filter()->kept();
    size_t common = std::min(a.size(), b.size());
    ASSERT_GT(common, 2000u * 188);
    EXPECT_EQ(0u, common % 188);
    EXPECT_LE(std::max(a.size(), b.size()) - common, size_t(AirStreamPin::kPacketsPerSample) * 188);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + long(common), b.begin()));

    // Taken apart with the other built filters; one output again needs no tee.
    ASSERT_EQ(S_OK, control->Decompose());
    ComPtr<IBaseFilter> gone;
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->FindFilterByName(L"Transport Tee", &gone));
    ASSERT_EQ(S_OK, active->Remove(CComVariant(LONG(1))));
    ASSERT_EQ(S_OK, control->put_OutputsActive(active.Get()));
    first->filter()->reset();
    ASSERT_EQ(S_OK, control->Run());
    EXPECT_TRUE(first->filter()->waitForTsid(4101, kLimitMs));
    EXPECT_EQ(VFW_E_NOT_FOUND, graph->FindFilterByName(L"Transport Tee", &gone));
}

}  // namespace
