#include "platform/vidctl/AirPlatform.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <mutex>

#include "base/Log.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirSetTopBoxService.h"
#include "platform/bda/BdaClasses.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidCtlInterfaces.h"

namespace {
std::mutex g_platformLock;
std::weak_ptr<AirPlatform> g_platform;
// A broker that is down is worth one warning per process, not one per Video Control.
std::atomic<bool> g_busWarned{false};
}  // namespace

void RegisterPlatformClasses() {
    RegisterGraphClasses();
    RegisterDevEnumClasses();
    RegisterBdaClasses();
    RegisterVidCtlClasses();
}

bool AirPlatform::start(TunerSelection& tuners, std::shared_ptr<AirBroadcast>& broadcast,
                        std::string& error) {
    const char* named = std::getenv("PELMO_BROADCAST");
    tuners = SelectTuners(named && *named);
    const size_t real = tuners.real ? tuners.real->size() : 0;
    if (tuners.air) {
        broadcast = AirBroadcast::instance();
        if (broadcast || real > 0) return true;
        error = AirBroadcast::lastError();
        return false;
    }
    if (real > 0) return true;
    error = "real tuners were chosen (PELMO_TUNERS=real) but none was found under " +
            (std::filesystem::path(DvbDeviceRoot()) / "dev/dvb").string();
    return false;
}

std::shared_ptr<AirPlatform> AirPlatform::acquire(std::string& error) {
    std::lock_guard<std::mutex> guard(g_platformLock);
    if (std::shared_ptr<AirPlatform> running = g_platform.lock()) return running;
    TunerSelection tuners;
    std::shared_ptr<AirBroadcast> broadcast;
    if (!start(tuners, broadcast, error)) return nullptr;
    auto platform = std::make_shared<AirPlatform>(broadcast, std::move(tuners));
    g_platform = platform;
    return platform;
}

std::shared_ptr<AirPlatform> AirPlatform::current() {
    std::lock_guard<std::mutex> guard(g_platformLock);
    return g_platform.lock();
}

std::unique_ptr<AirPlatform> AirPlatform::open(std::string& error) {
    TunerSelection tuners;
    std::shared_ptr<AirBroadcast> broadcast;
    if (!start(tuners, broadcast, error)) return nullptr;
    return std::make_unique<AirPlatform>(broadcast, std::move(tuners));
}

AirPlatform::AirPlatform(std::shared_ptr<AirBroadcast> broadcast)
    : AirPlatform(broadcast, SelectTuners(true)) {}

AirPlatform::AirPlatform(std::shared_ptr<AirBroadcast> broadcast, TunerSelection tuners)
    : m_tuners(std::move(tuners)), m_broadcast(std::move(broadcast)) {
    // Classes the process registered already stay as they are (a test may have replaced one).
    if (!ClassRegistry::instance().isRegistered(CLSID_MSVidCtl)) RegisterPlatformClasses();
    if (!m_tuners.air) m_broadcast.reset();
    if (!m_broadcast) return;
    // A test (or a host) that registered the same devices itself keeps its own.
    m_devices = RegisterAirDevices(m_broadcast, AirDeviceRegistration::Listed::Skip);
    if (!m_broadcast->catalogue().setTopBox().present) return;
    m_setTopBox = std::make_unique<AirSetTopBoxService>(m_broadcast);
    // One receiver per process that opened the air; the bus routes "any" requests to one of them.
    // A second platform in the same process needs a client name of its own: the broker drops
    // the older of two clients with one name.
    static std::atomic<int> serial{0};
    int n = serial++;
    std::wstring name = L"AirSetTopBox" + std::to_wstring(getpid()) + (n ? L"-" + std::to_wstring(n) : L"");
    m_connect = std::thread([this, name]() {
        HRESULT hr = m_setTopBox->Connect(L"127.0.0.1", name);
        if (FAILED(hr)) {
            if (!g_busWarned.exchange(true))
                warn(L"[Air] the set-top box is not on the bus (port %d): %X", HuxSatellite::BusPort(), hr);
            else
                debug(L"[Air] the set-top box is not on the bus: %X", hr);
        } else {
            info(L"[Air] the set-top box serves STBTuneToChannel on the bus as %s", name.c_str());
        }
        m_setTopBoxStatus = hr;
    });
}

AirPlatform::~AirPlatform() {
    if (m_connect.joinable()) m_connect.join();
    // Off the bus first, so that no request reaches a box whose devices are gone.
    m_setTopBox.reset();
    m_devices.reset();
    m_tuners.real.reset();
}

void AirPlatform::leaveBus() {
    if (m_connect.joinable()) m_connect.join();
    if (m_setTopBox) m_setTopBox->Disconnect();
}

long AirPlatform::setTopBoxStatus() {
    if (m_connect.joinable()) m_connect.join();
    return m_setTopBoxStatus;
}
