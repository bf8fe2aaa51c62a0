// What a process needs to use the platform over the air, started in one place: every layer's
// classes for CoCreateInstance, the broadcast's devices with their filters in the device
// enumerator, and, when the broadcast has a set-top box, its infra-red receiver serving
// "STBTuneToChannel" on the message bus for as long as the platform object lives.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/air/AirDeviceRegistration.h"

class AirBroadcast;
class AirSetTopBoxService;

// Registers the graph, device-enumerator, tuning and Video Control classes. Idempotent.
void RegisterPlatformClasses();

class AirPlatform {
public:
    // Opens the process-wide broadcast (AirBroadcast::instance()); null with the reason in
    // `error` when there is none. The set-top box joins the bus in the background: a broker
    // that is down delays nothing and is reported in the log.
    static std::unique_ptr<AirPlatform> open(std::string& error);
    explicit AirPlatform(std::shared_ptr<AirBroadcast> broadcast);
    ~AirPlatform();
    AirPlatform(const AirPlatform&) = delete;
    AirPlatform& operator=(const AirPlatform&) = delete;

    const std::shared_ptr<AirBroadcast>& broadcast() const { return m_broadcast; }
    // Waits until the set-top box's bus connection has been tried; its status (S_FALSE when
    // the broadcast has no set-top box).
    long setTopBoxStatus();

private:
    std::shared_ptr<AirBroadcast> m_broadcast;
    std::unique_ptr<AirDeviceRegistration> m_devices;
    std::unique_ptr<AirSetTopBoxService> m_setTopBox;
    std::thread m_connect;
    long m_setTopBoxStatus = 1;
};
