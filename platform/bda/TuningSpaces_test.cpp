#include "platform/bda/TuningSpaces.h"

#include <gtest/gtest.h>

#include "platform/bda/BdaClasses.h"
#include "platform/bda/Locators.h"
#include "platform/com/ClassRegistry.h"

namespace {

std::vector<std::pair<std::wstring, ComPtr<ITuningSpace>>> listSpaces() {
    RegisterBdaClasses();
    ComPtr<ITuningSpaceContainer> container;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SystemTuningSpaces, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ITuningSpaceContainer, reinterpret_cast<void**>(&container)));
    std::vector<std::pair<std::wstring, ComPtr<ITuningSpace>>> out;
    ComPtr<IEnumTuningSpaces> spaces;
    if (!container || FAILED(container->get_EnumTuningSpaces(&spaces))) return out;
    ComPtr<ITuningSpace> space;
    while (spaces->Next(1, &space, nullptr) == S_OK) {
        CComBSTR name;
        EXPECT_EQ(S_OK, space->get_UniqueName(&name));
        out.emplace_back(name.str(), space);
    }
    return out;
}

ComPtr<ITuningSpace> find(const std::wstring& name) {
    for (auto& s : listSpaces())
        if (s.first == name) return s.second;
    return nullptr;
}

TEST(TuningSpaces, TheContainerOffersEachSystemSpaceUnderItsNameWithOnlyItsOwnInterface) {
    auto spaces = listSpaces();
    std::vector<std::wstring> names;
    for (auto& s : spaces) names.push_back(s.first);
    EXPECT_EQ((std::vector<std::wstring>{L"ATSC", L"DVB-T", L"Cable", L"Antenna", L"AuxIn1"}), names);

    ComPtr<IDVBTuningSpace2> dvb;
    ComPtr<IATSCTuningSpace> atsc;
    ComPtr<IAnalogTVTuningSpace> analog;
    ComPtr<IAuxInTuningSpace> aux;
    EXPECT_EQ(S_OK, spaces[1].second.As(&dvb));
    EXPECT_EQ(E_NOINTERFACE, spaces[1].second.As(&atsc));
    EXPECT_EQ(S_OK, spaces[0].second.As(&atsc));
    EXPECT_EQ(E_NOINTERFACE, spaces[0].second.As(&dvb));
    EXPECT_EQ(S_OK, spaces[3].second.As(&analog));
    TunerInputType input;
    ASSERT_EQ(S_OK, analog->get_InputType(&input));
    EXPECT_EQ(TunerInputAntenna, input);
    EXPECT_EQ(E_NOINTERFACE, spaces[3].second.As(&aux));
    EXPECT_EQ(S_OK, spaces[4].second.As(&aux));
    EXPECT_EQ(E_NOINTERFACE, spaces[4].second.As(&analog));

    CComBSTR a(L"DVB-T"), b(L"DVB-T"), c(L"dvb-t");
    EXPECT_EQ(VARCMP_EQ, VarBstrCmp(a, b, 0, 0));
    EXPECT_NE(VARCMP_EQ, VarBstrCmp(a, c, 0, 0));
    EXPECT_EQ(VARCMP_EQ, VarBstrCmp(nullptr, CComBSTR(L""), 0, 0));
}

TEST(TuningSpaces, TuneRequestsKeepWhatIsPutAndRefuseValuesOutOfRange) {
    ComPtr<ITuneRequest> request;
    ASSERT_EQ(S_OK, find(L"DVB-T")->CreateTuneRequest(&request));
    ComPtr<IDVBTuneRequest> dvb;
    ASSERT_EQ(S_OK, request.As(&dvb));
    LONG v = 0;
    EXPECT_EQ(S_OK, dvb->get_ONID(&v));
    EXPECT_EQ(-1, v);
    EXPECT_EQ(S_OK, dvb->put_ONID(8916));
    EXPECT_EQ(S_OK, dvb->put_TSID(4100));
    EXPECT_EQ(S_OK, dvb->put_SID(4164));
    EXPECT_EQ(E_INVALIDARG, dvb->put_SID(0x10000));
    dvb->get_SID(&v);
    EXPECT_EQ(4164, v);

    ComPtr<IDVBTLocator> locator;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DVBTLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IDVBTLocator,
                                     reinterpret_cast<void**>(&locator)));
    EXPECT_EQ(S_OK, locator->put_CarrierFrequency(474000));
    EXPECT_EQ(S_OK, locator->put_Bandwidth(-1));
    EXPECT_EQ(E_INVALIDARG, locator->put_Bandwidth(-2));
    EXPECT_EQ(S_OK, dvb->put_Locator(locator.Get()));
    // A clone is independent of the request it came from.
    ComPtr<ITuneRequest> clone;
    ASSERT_EQ(S_OK, dvb->Clone(&clone));
    locator->put_CarrierFrequency(538000);
    ComPtr<ILocator> cloned;
    ASSERT_EQ(S_OK, clone->get_Locator(&cloned));
    cloned->get_CarrierFrequency(&v);
    EXPECT_EQ(474000, v);

    ComPtr<ITuneRequest> analog;
    ASSERT_EQ(S_OK, find(L"Cable")->CreateTuneRequest(&analog));
    ComPtr<IChannelTuneRequest> channel;
    ASSERT_EQ(S_OK, analog.As(&channel));
    EXPECT_EQ(S_OK, channel->put_Channel(300));
    EXPECT_EQ(E_INVALIDARG, channel->put_Channel(0));
    channel->get_Channel(&v);
    EXPECT_EQ(300, v);
    ComPtr<ITuneRequest> auxRequest;
    ASSERT_EQ(S_OK, find(L"AuxIn1")->CreateTuneRequest(&auxRequest));
    ASSERT_EQ(S_OK, auxRequest.As(&channel));
    EXPECT_EQ(S_OK, channel->put_Channel(1));
    EXPECT_EQ(E_INVALIDARG, channel->put_Channel(2));

    ComPtr<ITuneRequest> atscRequest;
    ASSERT_EQ(S_OK, find(L"ATSC")->CreateTuneRequest(&atscRequest));
    ComPtr<IATSCChannelTuneRequest> atsc;
    ASSERT_EQ(S_OK, atscRequest.As(&atsc));
    EXPECT_EQ(S_OK, atsc->put_Channel(-1));
    EXPECT_EQ(S_OK, atsc->put_MinorChannel(2));
    atsc->get_MinorChannel(&v);
    EXPECT_EQ(2, v);
}

TEST(TuningSpaces, AnalogSettingsRefuseUnknownValues) {
    ComPtr<IAnalogTVTuningSpace> cable;
    ASSERT_EQ(S_OK, find(L"Cable").As(&cable));
    EXPECT_EQ(S_OK, cable->put_CountryCode(44));
    EXPECT_EQ(E_INVALIDARG, cable->put_CountryCode(0));
    LONG code = 0;
    cable->get_CountryCode(&code);
    EXPECT_EQ(44, code);
    EXPECT_EQ(E_INVALIDARG, cable->put_InputType(static_cast<TunerInputType>(7)));
    EXPECT_EQ(S_OK, cable->put__NetworkType(GUID_NULL));
}

}  // namespace
