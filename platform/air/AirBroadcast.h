// The virtual broadcast as one world shared by everything in the process: the catalogue, the
// clips it names (loaded once), the air clock, the set-top box and the tuners that listen.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/air/AirCatalogue.h"
#include "platform/air/AirClip.h"

class AirTuner;

class AirBroadcast : public std::enable_shared_from_this<AirBroadcast> {
public:
    // Opens a catalogue (every clip must exist). Null and a message on failure.
    static std::shared_ptr<AirBroadcast> open(const std::string& cataloguePath, std::string& error);
    // The process-wide broadcast, opened from AirCatalogue::defaultPath() on first use; null
    // (with the reason in lastError()) when there is none.
    static std::shared_ptr<AirBroadcast> instance();
    static std::string lastError();
    // Replaces the process-wide broadcast (the host at start-up, tests); null makes the next
    // instance() open the catalogue again.
    static void setInstance(std::shared_ptr<AirBroadcast> broadcast);

    const AirCatalogue& catalogue() const { return *catalogue_; }

    // Speed factor of everything on air: 8 plays eight seconds of broadcast per second and
    // locks tuners eight times as fast. $PELMO_AIR_SPEED overrides the catalogue's value.
    double speed() const { return speed_.load(); }
    void setSpeed(double speed);

    // Broadcast time since the air came up, in ms: wall time times the speed factor. Signal
    // readings follow this clock; a test can stop it and move it on by hand, so that lock
    // times and faults are reached without waiting (streams keep their own pace).
    double nowMs() const;
    void setManualClock(bool manual);
    void advanceMs(double ms);

    // The one tuner object of a tuner device (by friendly name or device path); null when the
    // catalogue has no such tuner.
    std::shared_ptr<AirTuner> tuner(const std::wstring& nameOrPath);

    std::shared_ptr<const AirClip> clip(const AirMultiplex& m, std::string& error);
    // Broadcast time since the air came up, in 27 MHz ticks at the current speed.
    int64_t airTicks() const;

    // The set-top box switches to `channel`; tuners watching it follow. E_INVALIDARG for a
    // channel that is not on air, E_FAIL without a set-top box.
    int32_t setTopBoxTuneToChannel(int channel);
    int setTopBoxChannel() const { return stbChannel_.load(); }

private:
    explicit AirBroadcast(std::unique_ptr<AirCatalogue> catalogue);

    std::unique_ptr<AirCatalogue> catalogue_;
    std::atomic<double> speed_{1.0};
    double elapsedMsLocked() const;

    mutable std::mutex clockMutex_;
    std::chrono::steady_clock::time_point clockWall_ = std::chrono::steady_clock::now();
    double clockMs_ = 0;
    bool manualClock_ = false;
    std::atomic<int> stbChannel_{0};
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const AirClip>> clips_;
    std::map<std::wstring, std::weak_ptr<AirTuner>> tuners_;
};
