#include "platform/vidctl/AirPlatform.h"

#include <unistd.h>

#include "base/Log.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirSetTopBoxService.h"
#include "platform/bda/BdaClasses.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/vidctl/VidCtlClasses.h"

void RegisterPlatformClasses() {
    RegisterGraphClasses();
    RegisterDevEnumClasses();
    RegisterBdaClasses();
    RegisterVidCtlClasses();
}

std::unique_ptr<AirPlatform> AirPlatform::open(std::string& error) {
    std::shared_ptr<AirBroadcast> broadcast = AirBroadcast::instance();
    if (!broadcast) {
        error = AirBroadcast::lastError();
        return nullptr;
    }
    return std::make_unique<AirPlatform>(broadcast);
}

AirPlatform::AirPlatform(std::shared_ptr<AirBroadcast> broadcast) : m_broadcast(std::move(broadcast)) {
    RegisterPlatformClasses();
    m_devices = RegisterAirDevices(m_broadcast);
    if (!m_broadcast->catalogue().setTopBox().present) return;
    m_setTopBox = std::make_unique<AirSetTopBoxService>(m_broadcast);
    // One receiver per process that opened the air; the bus routes "any" requests to one of them.
    std::wstring name = L"AirSetTopBox" + std::to_wstring(getpid());
    m_connect = std::thread([this, name]() {
        HRESULT hr = m_setTopBox->Connect(L"127.0.0.1", name);
        if (FAILED(hr)) warn(L"[Air] the set-top box is not on the bus: %X", hr);
        m_setTopBoxStatus = hr;
    });
}

AirPlatform::~AirPlatform() {
    if (m_connect.joinable()) m_connect.join();
    m_setTopBox.reset();
    m_devices.reset();
}

long AirPlatform::setTopBoxStatus() {
    if (m_connect.joinable()) m_connect.join();
    return m_setTopBoxStatus;
}
