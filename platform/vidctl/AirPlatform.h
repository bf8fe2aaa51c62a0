// What a process needs to use the platform, started in one place: every layer's classes for
// CoCreateInstance, the tuners the user chose (PELMO_TUNERS, see LinuxTvDevices.h) in the
// device enumerator (the broadcast's devices with their filters, this machine's real tuners, or
// both), and, when the broadcast has a set-top box, its infra-red receiver serving
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
#include "platform/linuxtv/LinuxTvDevices.h"

class AirBroadcast;
class AirSetTopBoxService;

// Registers the graph, device-enumerator, tuning and Video Control classes. Idempotent.
void RegisterPlatformClasses();

class AirPlatform {
public:
    // The process's platform over the process-wide broadcast (AirBroadcast::instance()) and
    // the real tuners, as chosen: started by the first caller, shared while anyone holds it.
    // Null, with the reason in `error`, when it would have no tuners at all: the air was chosen
    // and there is no broadcast (the reason is logged once by the broadcast), or real tuners
    // were chosen and there are none. The broadcast is not opened when only real tuners are.
    static std::shared_ptr<AirPlatform> acquire(std::string& error);
    // The platform running in this process now, null when nobody holds one.
    static std::shared_ptr<AirPlatform> current();

    // A platform of its own over the process-wide broadcast (not shared; see acquire()).
    static std::unique_ptr<AirPlatform> open(std::string& error);
    // Over `broadcast` (may be null) with the tuners SelectTuners() chooses: the broadcast's
    // devices only when the air is among them. The set-top box joins the bus in the
    // background: a broker that is down delays nothing and is reported in the log (as a
    // warning the first time in the process).
    explicit AirPlatform(std::shared_ptr<AirBroadcast> broadcast);
    AirPlatform(std::shared_ptr<AirBroadcast> broadcast, TunerSelection tuners);
    ~AirPlatform();
    AirPlatform(const AirPlatform&) = delete;
    AirPlatform& operator=(const AirPlatform&) = delete;

    // Null when only real tuners were chosen (or no broadcast could be opened).
    const std::shared_ptr<AirBroadcast>& broadcast() const { return m_broadcast; }
    TunerChoice tunerChoice() const { return m_tuners.choice; }
    // The real tuners registered, 0 when the air alone was chosen.
    size_t realTuners() const { return m_tuners.real ? m_tuners.real->size() : 0; }
    // Waits until the set-top box's bus connection has been tried; its status (S_FALSE when
    // the broadcast has no set-top box).
    long setTopBoxStatus();
    // Takes the set-top box off the bus and ends its network threads; the devices stay. For a
    // platform that lives until the process ends: no thread of it is left running at exit.
    void leaveBus();

private:
    // Chooses the tuners and opens the broadcast when the air is among them; false with
    // `error` when there would be no tuners.
    static bool start(TunerSelection& tuners, std::shared_ptr<AirBroadcast>& broadcast, std::string& error);

    TunerSelection m_tuners;
    std::shared_ptr<AirBroadcast> m_broadcast;
    std::unique_ptr<AirDeviceRegistration> m_devices;
    std::unique_ptr<AirSetTopBoxService> m_setTopBox;
    std::thread m_connect;
    std::atomic<long> m_setTopBoxStatus{1};
};
