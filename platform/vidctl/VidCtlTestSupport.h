// Test support for the Video Control: the demo broadcast on air with its devices, a control,
// tune requests of the system tuning spaces, and the recording test sink as the output.
#pragma once

#include <gtest/gtest.h>

#include "platform/air/AirBroadcast.h"
#include "platform/bda/BdaClasses.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidTestSink.h"
#include "platform/vidctl/VideoControl.h"

namespace vidctl_test {

inline const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";
inline const wchar_t* kDvbtTuner = L"Skyvane Virtual DVB-T Tuner";
constexpr int kLimitMs = 60000;  // only reached when something is broken

inline ComPtr<ITuningSpace> tuningSpace(const wchar_t* name) {
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

inline CComVariant asVariant(ITuneRequest* request) {
    CComVariant v;
    v.vt = VT_UNKNOWN;
    v.punkVal = request;
    request->AddRef();
    return v;
}

inline CComVariant dvbt(LONG frequency) {
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

inline CComVariant analog(const wchar_t* space, LONG channel) {
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

inline std::wstring nameOf(IMSVidDevice* device) {
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
        // The control opens this broadcast for the process, as it would the installed one.
        AirBroadcast::setInstance(air);
        devices = RegisterAirDevices(air);
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                         reinterpret_cast<void**>(&control)));
    }
    void TearDown() override {
        if (control) control->Decompose();
        control = nullptr;
        VidTestSink::last() = nullptr;
        ClassRegistry::instance().clearFailures();
        devices.reset();
        AirBroadcast::setInstance(nullptr);
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

}  // namespace vidctl_test
