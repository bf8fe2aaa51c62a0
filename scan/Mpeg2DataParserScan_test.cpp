// The parser's scan driver: one scan thread per parser whoever starts it, the order in which
// tables are read and what a failed one ends, the wait for the thread, the subscription to
// guide-data notices, and the counted references that never destroy the parser.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "scan/Mpeg2DataParser.h"
#include "scan/ScanTestSupport.h"

using namespace scantest;

namespace {

VARIANT anItem() {
    VARIANT v;
    VariantInit(&v);
    return v;
}

// Joins a test's threads whatever happens to the test, after opening every latch they may
// wait on.
struct Joiner {
    std::vector<Latch*> latches;
    std::vector<std::thread*> threads;
    ~Joiner() {
        for (Latch* l : latches) l->set();
        for (std::thread* t : threads)
            if (t->joinable()) t->join();
    }
};

class ParserScan : public LoggedTest {
protected:
    ComPtr<ScriptedSource> source = [] {
        ComPtr<ScriptedSource> s;
        s.Attach(CreateComObject<ScriptedSource>());
        return s;
    }();
};

TEST_F(ParserScan, TwoQuickServiceChangesAndAStartMakeOneScanThread) {
    Latch aHolds, go, bArrives, patEntered, patOpen;
    Joiner joiner{{&go, &patOpen}, {}};
    source->set(0x0000, 0x00, {pat(1, {{1, 0x100}})});
    source->gate(0x0000, 0x00, &patEntered, &patOpen);

    Mpeg2DataParser parser(Mpeg2DataParser::SCAN_ATSC);
    std::atomic<int> locked{0};
    Mpeg2DataParser::Hooks hooks;
    // The first notice holds the mutex until the second has come for it.
    hooks.afterLock = [&] {
        if (++locked == 1) {
            aHolds.set();
            go.wait();
        }
    };
    hooks.beforeLock = [&] {
        if (aHolds.isSet()) bArrives.set();
    };
    parser.setHooks(hooks);
    parser.reset_scan();
    parser.set_sources(source.Get(), nullptr);

    std::thread a([&] { parser.ServiceChanged(anItem()); });
    joiner.threads.push_back(&a);
    ASSERT_TRUE(aHolds.wait());
    std::thread b([&] { parser.ServiceChanged(anItem()); });
    joiner.threads.push_back(&b);
    ASSERT_TRUE(bArrives.wait());
    go.set();
    a.join();
    b.join();

    // The thread the first notice started is reading the PAT; a third notice and the scan
    // loop's own start come while it works.
    ASSERT_TRUE(patEntered.wait());
    parser.ServiceChanged(anItem());
    parser.startMpeg2DataScan();
    patOpen.set();
    EXPECT_EQ(Mpeg2DataParser::WAIT_OBJECT_0, parser.wait_scan_done());

    EXPECT_EQ(1, source->count(0x0000, 0x00));
    EXPECT_EQ(1, log->count(L"StartMpeg2DataScanThread called"));
    EXPECT_EQ(3, log->count(L"servicechanged received"));
}

TEST_F(ParserScan, ANoticeThatCannotHaveTheMutexWithinASecondGivesUp) {
    Latch aHolds, bDone;
    Joiner joiner{{&bDone}, {}};
    Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
    std::atomic<int> locked{0};
    Mpeg2DataParser::Hooks hooks;
    hooks.afterLock = [&] {
        if (++locked == 1) {
            aHolds.set();
            bDone.wait();  // the first notice keeps the mutex until the second has returned
        }
    };
    parser.setHooks(hooks);
    parser.reset_scan();

    std::thread a([&] { parser.ServiceChanged(anItem()); });
    joiner.threads.push_back(&a);
    ASSERT_TRUE(aHolds.wait());
    EXPECT_EQ(S_OK, parser.ServiceChanged(anItem()));
    bDone.set();
    a.join();
    EXPECT_EQ(1, locked.load());  // the second never held the mutex
    EXPECT_EQ(Mpeg2DataParser::WAIT_OBJECT_0, parser.wait_scan_done());
    EXPECT_EQ(1, log->count(L"StartMpeg2DataScanThread called"));
}

TEST_F(ParserScan, TablesAreReadInOrderAndAFailedOneEndsTheFrequency) {
    source->set(0x0000, 0x00, {pat(0x1004, {{0, 0x10}, {0x101, 0x100}, {0x102, 0x200}})});
    source->set(0x0010, 0x40, {sectiontest::makeSection(0x40, 0x3001, 0, 0, 0, {0xF0, 0x00, 0xF0, 0x00})});
    source->set(0x0011, 0x42, {sdt(0x1004, 0x22D4, {{0x101, "One"}})});
    source->set(0x0100, 0x02, {sectiontest::makeSection(0x02, 0x101, 0, 0, 0, {0xE1, 0x00, 0xF0, 0x00})});
    source->set(0x0200, 0x02, {sectiontest::makeSection(0x02, 0x102, 0, 0, 0, {0xE1, 0x00, 0xF0, 0x00})});
    {
        Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
        parser.reset_scan();
        parser.set_sources(source.Get(), nullptr);
        parser.startMpeg2DataScan();
        ASSERT_EQ(Mpeg2DataParser::WAIT_OBJECT_0, parser.wait_scan_done());
        EXPECT_TRUE(parser.filters().empty());
        std::vector<std::wstring> list;
        parser.getDVBTListofChannels(474000, list);
        EXPECT_EQ(std::vector<std::wstring>{L"474000/0/0/4100/257/One"}, list);
    }
    std::vector<std::pair<int, int>> order;
    for (const auto& r : source->requests()) order.emplace_back(r.pid, r.tid);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{0, 0}, {0x10, 0x40}, {0x11, 0x42}, {0x100, 2}, {0x200, 2}}),
              order);
    EXPECT_EQ(5000u, source->requests()[0].timeoutMs);
    EXPECT_EQ(15000u, source->requests()[1].timeoutMs);

    // ATSC: the VCT after the PAT; its absence ends the scan before the PMTs.
    ComPtr<ScriptedSource> atsc;
    atsc.Attach(CreateComObject<ScriptedSource>());
    atsc->set(0x0000, 0x00, {pat(1, {{1, 0x30}})});
    Mpeg2DataParser parser(Mpeg2DataParser::SCAN_ATSC);
    parser.reset_scan();
    parser.set_sources(atsc.Get(), nullptr);
    parser.startMpeg2DataScan();
    ASSERT_EQ(Mpeg2DataParser::WAIT_OBJECT_0, parser.wait_scan_done());
    ASSERT_EQ(2u, atsc->requests().size());
    EXPECT_EQ(0x1FFB, atsc->requests()[1].pid);
    EXPECT_EQ(0xC8, atsc->requests()[1].tid);
    EXPECT_TRUE(log->has(LOG_INFO, L"Timeout getting table (pid=1ffb, tid=c8)"));
    EXPECT_TRUE(parser.filters().empty());
}

TEST_F(ParserScan, WithoutASectionSourceTheThreadEndsAtOnce) {
    Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
    parser.reset_scan();
    parser.set_sources(nullptr, nullptr);
    parser.startMpeg2DataScan();
    EXPECT_EQ(Mpeg2DataParser::WAIT_OBJECT_0, parser.wait_scan_done());
    std::vector<std::wstring> list;
    parser.getDVBTListofChannels(474000, list);
    EXPECT_TRUE(list.empty());
}

TEST_F(ParserScan, TheWaitGoesOnWhileTheThreadWorks) {
    Latch patEntered, patOpen;
    Joiner joiner{{&patOpen}, {}};
    source->set(0x0000, 0x00, {pat(1, {})});
    source->gate(0x0000, 0x00, &patEntered, &patOpen);
    Mpeg2DataParser parser(Mpeg2DataParser::SCAN_ATSC);
    Mpeg2DataParser::Hooks hooks;
    hooks.waitStepMs = 1;
    parser.setHooks(hooks);
    parser.reset_scan();
    parser.set_sources(source.Get(), nullptr);

    // Before anything was started, a wait ends as timed out.
    EXPECT_EQ(Mpeg2DataParser::WAIT_TIMEOUT, parser.wait_scan_done());
    parser.startMpeg2DataScan();
    std::atomic<DWORD> result{0xFFFF};
    std::thread waiter([&] { result = parser.wait_scan_done(); });
    joiner.threads.push_back(&waiter);
    ASSERT_TRUE(patEntered.wait());
    // Many one-millisecond waits end while the thread is held in its first request.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    patOpen.set();
    waiter.join();
    EXPECT_EQ(Mpeg2DataParser::WAIT_OBJECT_0, result.load());
}

TEST_F(ParserScan, ReferencesAreCountedButNeverDestroyTheParser) {
    Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
    IGuideDataEvent* events = nullptr;
    ASSERT_EQ(S_OK, parser.QueryInterface(IID_IGuideDataEvent, reinterpret_cast<void**>(&events)));
    EXPECT_EQ(static_cast<IGuideDataEvent*>(&parser), events);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, parser.QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(static_cast<IUnknown*>(events), unknown);
    EXPECT_EQ(3u, parser.AddRef());

    void* other = &parser;
    EXPECT_EQ(E_NOINTERFACE, parser.QueryInterface(IID_IMpeg2Data, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(E_POINTER, parser.QueryInterface(IID_IUnknown, nullptr));

    EXPECT_EQ(2u, parser.Release());
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_EQ(0u, events->Release());
    // Still whole: it answers notices and scans.
    EXPECT_EQ(S_OK, parser.GuideDataAcquired());
    EXPECT_EQ(S_OK, parser.ServiceDeleted(anItem()));
    parser.startMpeg2DataScan();
    EXPECT_EQ(Mpeg2DataParser::WAIT_OBJECT_0, parser.wait_scan_done());
    EXPECT_TRUE(log->has(LOG_INFO, L"GuideDataAcquired received"));
    EXPECT_TRUE(log->has(LOG_INFO, L"ServiceDeleted received"));
}

// A guide-data source whose connection point can be made to fail at each step.
class FakeGuideSource : public ComObject<IConnectionPointContainer, IConnectionPoint> {
public:
    HRESULT findResult = S_OK, adviseResult = S_OK;
    IUnknown* advised = nullptr;
    std::vector<DWORD> unadvised;

    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
        *point = nullptr;
        if (riid != IID_IGuideDataEvent || FAILED(findResult))
            return FAILED(findResult) ? findResult : E_FAIL;
        *point = this;
        AddRef();
        return S_OK;
    }
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
        if (FAILED(adviseResult)) return adviseResult;
        advised = sink;
        *cookie = 42;
        return S_OK;
    }
    HRESULT Unadvise(DWORD cookie) override {
        unadvised.push_back(cookie);
        return S_OK;
    }
};

TEST_F(ParserScan, TheSubscriptionIsMadeAndCancelledOrItsFailureLogged) {
    ComPtr<FakeGuideSource> guide;
    guide.Attach(CreateComObject<FakeGuideSource>());
    {
        Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
        parser.set_sources(source.Get(), static_cast<IConnectionPointContainer*>(guide.Get()));
        ASSERT_EQ(S_OK, parser.advise_guide_events());
        EXPECT_TRUE(IsSameObject(guide->advised, static_cast<IGuideDataEvent*>(&parser)));
        EXPECT_TRUE(guide->unadvised.empty());
    }
    EXPECT_EQ(std::vector<DWORD>{42}, guide->unadvised);
    EXPECT_EQ(1u, guide->refCount());  // the parser let go of the source and its point

    guide->adviseResult = E_ACCESSDENIED;
    {
        Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
        parser.set_sources(source.Get(), static_cast<IConnectionPointContainer*>(guide.Get()));
        EXPECT_EQ(E_ACCESSDENIED, parser.advise_guide_events());
    }
    EXPECT_TRUE(log->has(LOG_ERROR, L"Failed to Advice connection point of TIF 80070005"));
    EXPECT_EQ(1u, guide->unadvised.size());
    EXPECT_EQ(1u, guide->refCount());

    guide->findResult = E_UNEXPECTED;
    Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
    parser.set_sources(source.Get(), static_cast<IConnectionPointContainer*>(guide.Get()));
    EXPECT_EQ(E_UNEXPECTED, parser.advise_guide_events());
    EXPECT_TRUE(log->has(LOG_ERROR, L"Failed to find connection point on TIF 8000FFFF"));

    // A source that is no container at all.
    parser.set_sources(source.Get(), source.Get());
    EXPECT_EQ(E_NOINTERFACE, parser.advise_guide_events());
    EXPECT_TRUE(log->has(LOG_ERROR, L"Failed to interface ConnectionPoint with TIF 80004002"));
}

}  // namespace
