// The transport information filter in the Video Control's graph: its connection point, and
// the service-change notices it sends as the tuned multiplex's service information appears.
#include "platform/mpeg2data/TransportInformationFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/mpeg2data/AirSectionsFilter.h"
#include "platform/mpeg2data/AirTestSupport.h"

namespace {

constexpr auto kLimit = std::chrono::seconds(60);  // only reached when something is broken

// Records the notices it gets; a test may hold a notice inside the sink.
class RecordingSink : public ComObject<IGuideDataEvent> {
public:
    HRESULT GuideDataAcquired() override { return S_OK; }
    HRESULT ProgramChanged(VARIANT) override { return S_OK; }
    HRESULT ServiceChanged(VARIANT item) override {
        std::function<void()> during;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_items.push_back(item.vt == VT_I4 ? item.lVal : -1);
            m_threads.push_back(std::this_thread::get_id());
            during = m_during;
        }
        m_changed.notify_all();
        if (during) during();
        return S_OK;
    }
    HRESULT ScheduleEntryChanged(VARIANT) override { return S_OK; }
    HRESULT ProgramDeleted(VARIANT) override { return S_OK; }
    HRESULT ServiceDeleted(VARIANT) override { return S_OK; }
    HRESULT ScheduleDeleted(VARIANT) override { return S_OK; }

    // Waits until a notice names the item.
    bool waitFor(LONG item) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, kLimit, [&] {
            for (LONG i : m_items)
                if (i == item) return true;
            return false;
        });
    }
    std::vector<LONG> items() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_items;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_threads;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_items.clear();
    }
    void setDuring(std::function<void()> during) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_during = std::move(during);
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<LONG> m_items;
    std::vector<std::thread::id> m_threads;
    std::function<void()> m_during;
};

class NotASink : public ComObject<IUnknown> {};

class GuideData : public AirGraphTest {
protected:
    ComPtr<IConnectionPoint> connectionPoint() {
        ComPtr<IBaseFilter> tif = transportInformationFilter();
        EXPECT_TRUE(tif);
        if (!tif) return nullptr;
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, tif.As(&container));
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IGuideDataEvent, &point));
        return point;
    }
};

TEST_F(GuideData, ADigitalGraphCarriesTheFiltersAndLosesThemWhenTakenApart) {
    openAir(10);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::DVBT));
    ComPtr<IBaseFilter> tif = transportInformationFilter();
    ASSERT_TRUE(tif);
    FILTER_INFO info{};
    ASSERT_EQ(S_OK, tif->QueryFilterInfo(&info));
    if (info.pGraph) info.pGraph->Release();
    EXPECT_EQ(std::wstring(L"BDA MPEG2 Transport Information Filter"), info.achName);
    EXPECT_TRUE(sectionSource());

    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, tif.As(&container));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IUnknown, &point));
    EXPECT_FALSE(point);

    control->Decompose();
    EXPECT_FALSE(transportInformationFilter());
    EXPECT_FALSE(sectionSource());
}

TEST_F(GuideData, AnAnalogGraphHasNone) {
    openAir(10);
    ComPtr<IMSVidInputDevices> inputs;
    ASSERT_EQ(S_OK, control->_InputsAvailable(&KSCATEGORY_TVTUNER, &inputs));
    ComPtr<IMSVidInputDevice> device;
    ASSERT_EQ(S_OK, inputs->get_Item(CComVariant(LONG(0)), &device));
    ASSERT_EQ(S_OK, control->put_InputActive(device.Get()));
    ASSERT_EQ(S_OK, control->Build());
    ComPtr<IMSVidGraphSegmentContainer> container;
    ASSERT_EQ(S_OK, control.As(&container));
    ComPtr<IGraphBuilder> builder;
    ASSERT_EQ(S_OK, container->get_Graph(&builder));
    graph = builder;
    EXPECT_FALSE(transportInformationFilter());
    EXPECT_FALSE(sectionSource());
}

TEST_F(GuideData, AdviseAndUnadviseCheckWhatTheyAreGiven) {
    openAir(10);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::DVBT));
    ComPtr<IConnectionPoint> point = connectionPoint();
    ASSERT_TRUE(point);
    ComPtr<NotASink> other;
    other.Attach(CreateComObject<NotASink>());
    DWORD cookie = 7;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(other.Get(), &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(1u, other->refCount());

    ComPtr<RecordingSink> sink;
    sink.Attach(CreateComObject<RecordingSink>());
    ASSERT_EQ(S_OK, point->Advise(sink.Get(), &cookie));
    EXPECT_NE(0u, cookie);
    EXPECT_EQ(2u, sink->refCount());  // held until unadvised
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie + 1));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(1u, sink->refCount());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
}

TEST_F(GuideData, ServiceInformationAppearingOnEachTunedMultiplexIsNotified) {
    openAir(10);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::DVBT));
    ComPtr<IConnectionPoint> point = connectionPoint();
    ASSERT_TRUE(point);
    ComPtr<RecordingSink> sink;
    sink.Attach(CreateComObject<RecordingSink>());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(sink.Get(), &cookie));

    const AirMultiplex* first = air->catalogue().findDvbt(474000, 8);
    const AirMultiplex* second = air->catalogue().findDvbt(538000, 8);
    ASSERT_TRUE(first && second);
    ASSERT_NO_FATAL_FAILURE(tune(*first));
    ASSERT_TRUE(sink->waitFor(first->transportStreamId));
    // After a retune the new multiplex's information appears anew.
    ASSERT_NO_FATAL_FAILURE(tune(*second));
    ASSERT_TRUE(sink->waitFor(second->transportStreamId));
    ASSERT_EQ(S_OK, point->Unadvise(cookie));

    // The PAT and the SDT each once per multiplex; the unchanged tables that keep coming
    // round bring nothing more.
    std::vector<LONG> items = sink->items();
    EXPECT_LE(std::count(items.begin(), items.end(), first->transportStreamId), 2);
    for (std::thread::id id : sink->threads()) EXPECT_NE(std::this_thread::get_id(), id);
}

TEST_F(GuideData, UnadviseWaitsForANoticeInProgressAndWorksFromInsideOne) {
    openAir(10);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::ATSC));
    ComPtr<IConnectionPoint> point = connectionPoint();
    ASSERT_TRUE(point);
    ComPtr<RecordingSink> held, self;
    held.Attach(CreateComObject<RecordingSink>());
    self.Attach(CreateComObject<RecordingSink>());
    DWORD heldCookie = 0, selfCookie = 0;

    // The first sink unadvises itself from inside its first notice.
    std::atomic<HRESULT> selfResult{E_FAIL};
    self->setDuring([&] {
        self->setDuring(nullptr);
        selfResult = point->Unadvise(selfCookie);
    });
    ASSERT_EQ(S_OK, point->Advise(self.Get(), &selfCookie));

    // The second holds its first notice until the test lets it go; meanwhile another thread
    // unadvises it, which may only return once the notice is over.
    std::mutex lock;
    std::condition_variable changed;
    bool inside = false, release = false, unadvised = false;
    held->setDuring([&] {
        std::unique_lock<std::mutex> l(lock);
        inside = true;
        changed.notify_all();
        changed.wait_for(l, kLimit, [&] { return release; });
        inside = false;
    });
    ASSERT_EQ(S_OK, point->Advise(held.Get(), &heldCookie));

    const AirMultiplex* m = air->catalogue().findAtsc(22);
    ASSERT_TRUE(m);
    ASSERT_NO_FATAL_FAILURE(tune(*m));
    {
        std::unique_lock<std::mutex> l(lock);
        ASSERT_TRUE(changed.wait_for(l, kLimit, [&] { return inside; }));
    }
    bool insideAtReturn = true;
    std::thread unadvising([&] {
        point->Unadvise(heldCookie);
        std::lock_guard<std::mutex> l(lock);
        insideAtReturn = inside;
        unadvised = true;
    });
    {
        std::lock_guard<std::mutex> l(lock);
        release = true;
    }
    changed.notify_all();
    unadvising.join();
    EXPECT_TRUE(unadvised);
    EXPECT_FALSE(insideAtReturn);
    EXPECT_EQ(S_OK, selfResult.load());
    EXPECT_EQ(1u, held->refCount());
    EXPECT_EQ(1u, self->refCount());
}

}  // namespace
