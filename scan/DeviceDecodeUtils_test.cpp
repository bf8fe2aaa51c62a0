#include "scan/DeviceDecodeUtils.h"

#include <gtest/gtest.h>

#include "platform/devenum/DeviceRegistry.h"
#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/graph/BaseOutputPin.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphTestSupport.h"

namespace {

class OutPin : public CBaseOutputPin {
public:
    OutPin(CBaseFilter* f, std::recursive_mutex* l, const wchar_t* name, GUID sub)
        : CBaseOutputPin(f, l, name), m_sub(sub) {}
    HRESULT CheckMediaType(const CMediaType* mt) override { return mt->subtype == m_sub ? S_OK : S_FALSE; }
    HRESULT GetMediaType(int pos, CMediaType* mt) override {
        if (pos != 0) return pos < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
        mt->Clear();
        mt->majortype = MEDIATYPE_Video;
        mt->subtype = m_sub;
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* p) override {
        ALLOCATOR_PROPERTIES want{1, 64, 1, 0};
        return a->SetProperties(&want, p);
    }

private:
    GUID m_sub;
};

class InPin : public CBaseInputPin {
public:
    using CBaseInputPin::CBaseInputPin;
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
};

// A filter with named pins and, when given physical types, a crossbar over its inputs.
class BoardFilter : public CBaseFilter, public IAMCrossbar {
public:
    BoardFilter(std::vector<std::wstring> inputs, std::vector<std::wstring> outputs,
                std::vector<LONG> physical = {}, bool countsFail = false)
        : CBaseFilter(L"Board", GUID_NULL), m_physical(std::move(physical)), m_countsFail(countsFail) {
        for (auto& n : outputs)
            m_pins.push_back(std::make_unique<OutPin>(this, &m_filterLock, n.c_str(), MEDIASUBTYPE_YUY2));
        for (auto& n : inputs) m_pins.push_back(std::make_unique<InPin>(this, &m_filterLock, n.c_str()));
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }
    int GetPinCount() override { return static_cast<int>(m_pins.size()); }
    CBasePin* GetPin(int n) override {
        return n >= 0 && n < GetPinCount() ? m_pins[size_t(n)].get() : nullptr;
    }

    HRESULT get_PinCounts(LONG* out, LONG* in) override {
        if (m_countsFail) return E_FAIL;
        *out = 1;
        *in = static_cast<LONG>(m_physical.size());
        return S_OK;
    }
    HRESULT CanRoute(LONG, LONG) override { return S_OK; }
    HRESULT Route(LONG, LONG) override { return S_OK; }
    HRESULT get_IsRoutedTo(LONG, LONG* in) override {
        *in = 0;
        return S_OK;
    }
    HRESULT get_CrossbarPinInfo(BOOL isInput, LONG index, LONG* related, LONG* type) override {
        if (!isInput || index < 0 || index >= static_cast<LONG>(m_physical.size())) return E_INVALIDARG;
        *related = 0;
        *type = m_physical[size_t(index)];
        return S_OK;
    }

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IAMCrossbar && !m_physical.empty()) {
            *ppv = static_cast<IAMCrossbar*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::vector<std::unique_ptr<CBasePin>> m_pins;
    std::vector<LONG> m_physical;
    bool m_countsFail;
};

ComPtr<IBaseFilter> board(std::vector<std::wstring> in, std::vector<std::wstring> out,
                          std::vector<LONG> phys = {}, bool countsFail = false) {
    ComPtr<IBaseFilter> f;
    f.Attach(CreateComObject<BoardFilter>(std::move(in), std::move(out), std::move(phys), countsFail));
    return f;
}

std::wstring pinName(IPin* pin) {
    PIN_INFO info{};
    pin->QueryPinInfo(&info);
    if (info.pFilter) info.pFilter->Release();
    return info.achName;
}

class DeviceDecodeUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        setCurrentLogger(log);
        RegisterGraphClasses();
        RegisterDevEnumClasses();
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&graph)));
    }
    void TearDown() override {
        if (graph) DeviceDecodeUtils::RemoveAllFilters(graph.Get());
        setCurrentLogger(nullptr);
        DeviceRegistry::instance().clear();
    }
    std::shared_ptr<CaptureLog> log = std::make_shared<CaptureLog>();
    ComPtr<IGraphBuilder> graph;
};

TEST_F(DeviceDecodeUtilsTest, FindFilterComparesNamesExactly) {
    auto a = board({L"In"}, {}), b = board({}, {L"Out"});
    graph->AddFilter(a.Get(), L"Video Grabber");
    graph->AddFilter(b.Get(), L"SBESource");
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::FindFilter(graph.Get(), L"video grabber", &found));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::FindFilter(graph.Get(), L"SBESource", &found));
    EXPECT_TRUE(DeviceDecodeUtils::SameObject(found.Get(), b.Get()));
    EXPECT_EQ(E_POINTER, DeviceDecodeUtils::FindFilter(nullptr, L"SBESource", &found));
}

TEST_F(DeviceDecodeUtilsTest, InterfaceSearchConnectedFilterAndRemoval) {
    void* out = nullptr;
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::FindInterfaceInGraph(graph.Get(), IID_IAMCrossbar, &out));
    auto src = board({}, {L"Out"}), xbar = board({L"Tuner"}, {L"Out"}, {PhysConn_Video_Tuner}),
         end = board({L"In"}, {});
    graph->AddFilter(src.Get(), L"src");
    graph->AddFilter(xbar.Get(), L"xbar");
    graph->AddFilter(end.Get(), L"end");
    ComPtr<IAMCrossbar> crossbar;
    ASSERT_EQ(S_OK, DeviceDecodeUtils::FindInterfaceInGraph(graph.Get(), IID_IAMCrossbar,
                                                            reinterpret_cast<void**>(&crossbar)));
    EXPECT_TRUE(DeviceDecodeUtils::SameObject(crossbar.Get(), xbar.Get()));
    EXPECT_EQ(E_NOINTERFACE,
              DeviceDecodeUtils::FindInterfaceInGraph(graph.Get(), IID_IFileSourceFilter, &out));

    ASSERT_EQ(S_OK, DeviceDecodeUtils::ConnectPins(graph.Get(), src.Get(), L"0", xbar.Get(), L"Tuner"));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::ConnectPins(graph.Get(), xbar.Get(), L"Out", end.Get(), L"In"));
    ComPtr<IBaseFilter> up;
    ASSERT_EQ(S_OK, DeviceDecodeUtils::GetConnectedFilter(end.Get(), PINDIR_INPUT, &up));
    EXPECT_TRUE(DeviceDecodeUtils::SameObject(up.Get(), xbar.Get()));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::GetConnectedFilter(xbar.Get(), PINDIR_OUTPUT, &up));
    EXPECT_TRUE(DeviceDecodeUtils::SameObject(up.Get(), end.Get()));
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::GetConnectedFilter(src.Get(), PINDIR_INPUT, &up));

    ASSERT_EQ(S_OK, DeviceDecodeUtils::RemoveAllFilters(graph.Get()));
    ComPtr<IEnumFilters> e;
    graph->EnumFilters(&e);
    ComPtr<IBaseFilter> f;
    EXPECT_EQ(S_FALSE, e->Next(1, &f, nullptr));
    // Removal also undoes the connections.
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::GetConnectedFilter(end.Get(), PINDIR_INPUT, &up));
}

TEST_F(DeviceDecodeUtilsTest, PinSpecificationsPickByIndexNameOrCrossbar) {
    auto f = board({L"Video In", L"Tuner In", L"Audio In"}, {L"Capture", L"Preview", L"VBI"},
                   {PhysConn_Video_Composite, PhysConn_Video_Tuner, PhysConn_Audio_Tuner});
    ComPtr<IPin> pin;
    ASSERT_EQ(S_OK, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_OUTPUT, L"2", &pin));
    EXPECT_EQ(L"VBI", pinName(pin.Get()));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_OUTPUT, L"", &pin));
    EXPECT_EQ(L"Capture", pinName(pin.Get()));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_OUTPUT, L"Preview", &pin));
    EXPECT_EQ(L"Preview", pinName(pin.Get()));
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_OUTPUT, L"3", &pin));
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_OUTPUT, L"99999999999999", &pin));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_INPUT, L"%tvtuner%", &pin));
    EXPECT_EQ(L"Tuner In", pinName(pin.Get()));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_INPUT, L"%audiotuner%", &pin));
    EXPECT_EQ(L"Audio In", pinName(pin.Get()));
    // Output pins are never crossbar inputs: the text is taken as a name.
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::FindPinBySpec(f.Get(), PINDIR_OUTPUT, L"%tvtuner%", &pin));

    auto plain = board({L"In"}, {L"Capture"});
    EXPECT_EQ(E_POINTER, DeviceDecodeUtils::findCrossBarPin(plain.Get(), PhysConn_Video_Tuner, &pin));
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::FindPinBySpec(plain.Get(), PINDIR_INPUT, L"%tvtuner%", &pin));
    auto broken = board({L"In"}, {}, {PhysConn_Video_Tuner}, true);
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::findCrossBarPin(broken.Get(), PhysConn_Video_Tuner, &pin));
    EXPECT_TRUE(log->contains(L"findCrossBarPin get_PinCounts error 80004005 ", 2));
}

TEST_F(DeviceDecodeUtilsTest, ConnectPinsReportsEachFailureAndSkipsConnectedSources) {
    auto src = board({}, {L"Out"}), sink = board({L"In"}, {});
    graph->AddFilter(src.Get(), L"src");
    graph->AddFilter(sink.Get(), L"sink");
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::ConnectPins(graph.Get(), src.Get(), L"Nope", sink.Get(), L"In"));
    EXPECT_TRUE(log->contains(L"could not get source pin 80004005", 2));
    EXPECT_EQ(E_FAIL, DeviceDecodeUtils::ConnectPins(graph.Get(), src.Get(), L"Out", sink.Get(), L"5"));
    EXPECT_TRUE(log->contains(L"could not get sink pin 80004005", 2));
    ASSERT_EQ(S_OK, DeviceDecodeUtils::ConnectPins(graph.Get(), src.Get(), L"Out", sink.Get(), L"In"));
    EXPECT_EQ(S_OK, DeviceDecodeUtils::ConnectPins(graph.Get(), src.Get(), L"Out", sink.Get(), L"In"));
    EXPECT_TRUE(log->contains(L"source pin already connected ", 2));

    ComPtr<IPin> out;
    DeviceDecodeUtils::GetPin(src.Get(), PINDIR_OUTPUT, 0, &out);
    EXPECT_TRUE(DeviceDecodeUtils::PinHasMajorType(out.Get(), MEDIATYPE_Video));
    EXPECT_FALSE(DeviceDecodeUtils::PinHasMajorType(out.Get(), MEDIATYPE_Audio));
    EXPECT_TRUE(DeviceDecodeUtils::PinHasSubType(out.Get(), MEDIASUBTYPE_YUY2));
    EXPECT_FALSE(DeviceDecodeUtils::PinHasSubType(out.Get(), MEDIASUBTYPE_RGB24));
    EXPECT_FALSE(DeviceDecodeUtils::SameObject(out.Get(), nullptr));
}

TEST_F(DeviceDecodeUtilsTest, FindDeviceMatchesFriendlyNameOrPathInAnyCase) {
    std::wstring path, name;
    EXPECT_FALSE(DeviceDecodeUtils::FindDevice(KSCATEGORY_BDA_NETWORK_TUNER, L"Tuner", &path, &name));
    DeviceRecord rec{
        KSCATEGORY_BDA_NETWORK_TUNER, L"Air DVB-T Tuner", L"air://dvbt/0", [](REFIID riid, void** ppv) {
            return CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
        }};
    ScopedDeviceRegistration reg(rec);
    ScopedDeviceRegistration other({KSCATEGORY_ENCODER, L"air dvb-t tuner 2", L"air://enc/0", nullptr});
    ASSERT_TRUE(DeviceDecodeUtils::FindDevice(KSCATEGORY_BDA_NETWORK_TUNER, L"AIR://DVBT/0", &path, &name));
    EXPECT_EQ(L"air://dvbt/0", path);
    EXPECT_EQ(L"Air DVB-T Tuner", name);
    EXPECT_TRUE(
        DeviceDecodeUtils::FindDevice(KSCATEGORY_BDA_NETWORK_TUNER, L"air dvb-t TUNER", &path, &name));
    EXPECT_FALSE(
        DeviceDecodeUtils::FindDevice(KSCATEGORY_BDA_NETWORK_TUNER, L"air dvb-t tuner 2", &path, &name));
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(S_OK,
              DeviceDecodeUtils::CreateDeviceFilter(KSCATEGORY_BDA_NETWORK_TUNER, L"air://dvbt/0", &filter));
    CLSID clsid;
    filter->GetClassID(&clsid);
    EXPECT_EQ(CLSID_NullRenderer, clsid);
}

TEST_F(DeviceDecodeUtilsTest, SplitKeepsEmptyPieces) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ((V{L"a", L"b", L""}), DeviceDecodeUtils::split(L"a/#/b/#/", L"/#/"));
    EXPECT_EQ((V{L""}), DeviceDecodeUtils::split(L"", L"/#/"));
    EXPECT_EQ((V{L"", L"x"}), DeviceDecodeUtils::split(L"/#/x", L"/#/"));
    EXPECT_EQ((V{L"abc"}), DeviceDecodeUtils::split(L"abc", L""));
}

}  // namespace
