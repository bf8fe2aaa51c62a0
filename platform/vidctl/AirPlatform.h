// What a process needs to use the platform over the air, started in one place: every layer's
// classes for CoCreateInstance, the broadcast's devices with their filters in the device
// enumerator, and, when the broadcast has a set-top box, its infra-red receiver serving
// "STBTuneToChannel" on the message bus for as long as the platform object lives.
//
// A process opens the air once: acquire() starts the platform for the first user (the Video
// Control takes it when it is made) and hands the same object to every later one; when the
// last user lets go, the set-top box leaves the bus and the devices leave the enumerator.
#pragma once

#include <atomic>
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
    // The process's platform over the process-wide broadcast (AirBroadcast::instance()):
    // started by the first caller, shared while anyone holds it. Null, with the reason in
    // `error`, when there is no broadcast (the reason is logged once by the broadcast).
    static std::shared_ptr<AirPlatform> acquire(std::string& error);
    // The platform running in this process now, null when nobody holds one.
    static std::shared_ptr<AirPlatform> current();

    // A platform of its own over the process-wide broadcast (not shared; see acquire()).
    static std::unique_ptr<AirPlatform> open(std::string& error);
    // The set-top box joins the bus in the background: a broker that is down delays nothing
    // and is reported in the log (as a warning the first time in the process).
    explicit AirPlatform(std::shared_ptr<AirBroadcast> broadcast);
    ~AirPlatform();
    AirPlatform(const AirPlatform&) = delete;
    AirPlatform& operator=(const AirPlatform&) = delete;

    const std::shared_ptr<AirBroadcast>& broadcast() const { return m_broadcast; }
    // Waits until the set-top box's bus connection has been tried; its status (S_FALSE when
    // the broadcast has no set-top box).
    long setTopBoxStatus();
    // Takes the set-top box off the bus and ends its network threads; the devices stay. For a
    // platform that lives until the process ends: no thread of it is left running at exit.
    void leaveBus();

private:
    std::shared_ptr<AirBroadcast> m_broadcast;
    std::unique_ptr<AirDeviceRegistration> m_devices;
    std::unique_ptr<AirSetTopBoxService> m_setTopBox;
    std::thread m_connect;
    std::atomic<long> m_setTopBoxStatus{1};
};
