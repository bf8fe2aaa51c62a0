// The TV control's bus services with a real broker: a scan started and stopped over the bus
// reports its progress and result to every listener, and the owner's delivery is suspended
// meanwhile; the tuner input source request; and a TV control without a broker.
#include <condition_variable>

#include "base/PLatch.h"
#include "base/VUtil.h"
#include "platform/hux/HuxTestBroker.h"
#include "tuning/MediaType.h"
#include "tvctl/TVCtlTestSupport.h"

using namespace tvtest;

namespace {

// Listens to the scan's reports as any other component would.
class Watcher : public HuxSatellite {
public:
    ~Watcher() override { Disconnect(); }
    HRESULT DeclareServices() override {
        AddService(L"TVScanCallback", L"", new HuxSatelliteDelegateMember<Watcher>(this, &Watcher::onReport));
        AddService(L"TVScanResult", L"", new HuxSatelliteDelegateMember<Watcher>(this, &Watcher::onReport));
        return S_OK;
    }
    HRESULT onReport(const std::wstring& service, VARIANT& args, VARIANT*) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_reports.emplace_back(service, CComVariant(args));
        m_arrived.notify_all();
        return S_OK;
    }
    // Waits for a report of the service that satisfies `match`; false after the limit.
    bool waitFor(const std::wstring& service, const std::function<bool(const VARIANT&)>& match,
                 CComVariant* found = nullptr) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_arrived.wait_for(guard, std::chrono::seconds(60), [&] {
            for (auto& [s, v] : m_reports)
                if (s == service && match(v)) {
                    if (found) *found = v;
                    return true;
                }
            return false;
        });
    }
    bool any(const std::wstring& service, const std::function<bool(const VARIANT&)>& match) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& [s, v] : m_reports)
            if (s == service && match(v)) return true;
        return false;
    }
    int count(const std::wstring& service) {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (auto& r : m_reports) n += r.first == service;
        return n;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<std::pair<std::wstring, CComVariant>> m_reports;
};

class CountingOwner : public FormatChangeHandler {
public:
    LONG suspendDelivery() override { return ++suspended, 0; }
    LONG resumeDelivery() override { return ++resumed, 0; }
    LONG formatChanging() override { return 0; }
    LONG formatChanged() override { return 0; }
    std::atomic<int> suspended{0}, resumed{0};
};

// Holds the scan in its report of one channel until the test lets it go on.
class HeldTVCtl : public CTVCtl {
public:
    using CTVCtl::CTVCtl;
    ~HeldTVCtl() override { release.set(); }
    int32_t TVScanCallback(int32_t current, int32_t total, std::wstring name, std::wstring path,
                           int32_t signal) override {
        if (current == holdAt) {
            reached.set();
            release.wait();
        }
        return CTVCtl::TVScanCallback(current, total, name, path, signal);
    }
    int32_t holdAt = -1;
    PLatch reached, release;
};

class Bus : public TVCtlWorld {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(HuxTestBroker::ensureShared(why)) << why;
        keepBusPort = true;
        TVCtlWorld::SetUp();
    }
    // A request as another component sends it; the handler's status.
    HRESULT call(const std::wstring& service, const VARIANT& args = CComVariant()) {
        CComVariant reply, status;
        HRESULT hr = caller.Request(L"any", service, args, &reply, HUX_WAIT_REPLY, &status);
        if (FAILED(hr)) return hr;
        return status.vt == VT_I4 ? status.lVal : E_UNEXPECTED;
    }
    void connectListeners() {
        ASSERT_EQ(S_OK, watcher.Connect(L"127.0.0.1", L"TVCtlTestWatcher" + std::to_wstring(getpid())));
        ASSERT_EQ(S_OK, caller.Connect(L"127.0.0.1", L"TVCtlTestCaller" + std::to_wstring(getpid())));
    }

    Watcher watcher;
    HuxSatellite caller;
};

bool isCallback(const VARIANT& v, LONG current, const std::wstring& name) {
    return VUtil::GetArrayLength(v) == 5 && VUtil::GetLongElement(v, 0) == current &&
           VUtil::GetStringElement(v, 2) == name;
}

TEST_F(Bus, AScanOverTheBusReportsSuspendsResumesAndStops) {
    openAir(50);
    CountingOwner owner;
    HeldTVCtl tv(kMediaTypeAnalog, L"tuner://tv.channel.analog/#/scan", &owner);
    ASSERT_TRUE(tv.IsConnected());
    connectListeners();

    // Before any time shift there is no tune request to scan with.
    EXPECT_EQ(E_FAIL, call(L"StartTVScan"));
    EXPECT_EQ(0, owner.suspended.load());
    EXPECT_EQ(0, call(L"StopTVScan"));

    std::wstring buffer;
    HRESULT tuned;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"3", buffer, tuned));
    tv.holdAt = 6;
    ASSERT_EQ(0, call(L"StartTVScan"));
    EXPECT_EQ(1, owner.suspended.load());
    tv.reached.wait();

    // Progress so far reached every listener, with the found channels named.
    CComVariant three;
    ASSERT_TRUE(watcher.waitFor(
        L"TVScanCallback", [](const VARIANT& v) { return isCallback(v, 3, L"3"); }, &three));
    EXPECT_EQ(300, VUtil::GetLongElement(three, 1));
    EXPECT_EQ(L"device://tv.channel.analog/#/3", VUtil::GetStringElement(three, 3));
    EXPECT_GT(VUtil::GetLongElement(three, 4), 0);
    EXPECT_TRUE(watcher.waitFor(L"TVScanCallback", [](const VARIANT& v) { return isCallback(v, 4, L""); }));

    // A second start while the scan runs suspends again and says so; a stop ends the scan.
    EXPECT_EQ(1, call(L"StartTVScan"));
    EXPECT_EQ(2, owner.suspended.load());
    EXPECT_EQ(0, call(L"StopTVScan"));
    EXPECT_EQ(0, owner.resumed.load());
    tv.release.set();

    CComVariant result;
    ASSERT_TRUE(watcher.waitFor(
        L"TVScanResult", [](const VARIANT&) { return true; }, &result));
    EXPECT_EQ(2, VUtil::GetArrayLength(result));
    EXPECT_EQ(L"tuner://tv.channel.analog/#/scan", VUtil::GetStringElement(result, 0));
    CComVariant items;
    VUtil::GetElement(result, 1, items);
    // Channels 3 and 5 were found before the stop took effect after channel 6.
    ASSERT_EQ(2, VUtil::GetArrayLength(items));
    CComVariant five;
    VUtil::GetElement(items, 1, five);
    ASSERT_EQ(4, VUtil::GetArrayLength(five));
    EXPECT_EQ(L"5", VUtil::GetStringElement(five, 0));
    EXPECT_EQ(L"device://tv.channel.analog/#/5", VUtil::GetStringElement(five, 1));
    EXPECT_GT(VUtil::GetLongElement(five, 2), 0);  // the signal stands before the frequency
    EXPECT_EQ(L"5", VUtil::GetStringElement(five, 3));
    EXPECT_TRUE(watcher.waitFor(L"TVScanCallback", [](const VARIANT& v) { return isCallback(v, 300, L""); }));
    EXPECT_TRUE(waitUntil([&] { return owner.resumed.load() == 1; }));
    EXPECT_EQ(1, watcher.count(L"TVScanResult"));
    // The stop took effect at the next channel: nothing was tried after channel 6.
    EXPECT_FALSE(watcher.any(L"TVScanCallback", [](const VARIANT& v) { return isCallback(v, 7, L""); }));
}

TEST_F(Bus, TheTunerInputSourceRequestRetunesThroughTheTuneRequest) {
    openAir(20);
    CTVCtl tv(kMediaTypeAnalog, L"", nullptr);
    connectListeners();
    CComVariant args;
    VUtil::CreateArray(args, VT_VARIANT, 3);
    VUtil::PutElement(args, 0, std::wstring(L"unused"));
    VUtil::PutElement(args, 1, LONG(5));
    VUtil::PutElement(args, 2, LONG(8));
    EXPECT_EQ(E_FAIL, call(L"SetTunerInputSource", args));
    EXPECT_TRUE(log->has(2, L"setTVChannel pTuneRequest not created "));

    std::wstring buffer;
    HRESULT tuned;
    ASSERT_EQ(S_OK, tv.StartTimeShift(L"3", buffer, tuned));
    // An input kind without a set-top-box meaning still tunes to channel 4.
    log->clear();
    EXPECT_EQ(0, call(L"SetTunerInputSource", args));
    EXPECT_TRUE(log->has(3, L"HuxTuneTVChannel"));
    // Arguments of the wrong shape are refused without reaching the tuner.
    EXPECT_NE(0, call(L"SetTunerInputSource", CComVariant(LONG(2))));
    CComVariant shortArgs;
    VUtil::CreateArray(shortArgs, VT_VARIANT, 1);
    VUtil::PutElement(shortArgs, 0, std::wstring(L"x"));
    EXPECT_NE(0, call(L"SetTunerInputSource", shortArgs));
}

// No broker: the TV side works and the log says why the bus is missing.
TEST(BusAbsent, TheTVSideWorksWithoutTheBroker) {
    TempFolder folder("tvctl-nobus");
    ScopedEnv registry("PELMO_REGISTRY", folder.path());
    ScopedEnv appData("PELMO_APPDATA", folder / "appdata");
    ScopedEnv port("PELMO_BUS_PORT", "1");
    RegisterTVControlClasses();
    auto log = std::make_shared<KeepingLog>();
    setCurrentLogger(log);
    std::string error;
    auto air = AirBroadcast::open(kDemo, error);
    ASSERT_TRUE(air) << error;
    air->setSpeed(8);
    auto devices = RegisterAirDevices(air);
    {
        CTVCtl tv(kMediaTypeDvbt, L"", nullptr);
        EXPECT_FALSE(tv.IsConnected());
        EXPECT_TRUE(log->has(0, L"CTVCtl:: : failed to register to hux 0x80040A01"));
        std::wstring buffer;
        HRESULT tuned;
        EXPECT_EQ(S_OK, tv.StartTimeShift(L"474000/8/8916/4100/4164", buffer, tuned));
        BufferManifest m;
        EXPECT_TRUE(waitUntil([&] { return readManifest(buffer, m) && m.latest >= kSecond; }));
        // A report without the bus fails and is logged; the scan would go on.
        EXPECT_NE(0, tv.TVScanCallback(1, 2, L"", L"", 0));
        EXPECT_NE(0, tv.TVScanResult(L"", {}));
    }
    setCurrentLogger(nullptr);
}

}  // namespace
