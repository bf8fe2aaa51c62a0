// A tuner device on air. It tunes like a front end: a frequency and bandwidth (DVB-T), a
// physical channel (ATSC), a channel number or an auxiliary input (analog); it locks after
// the multiplex's lock time, reports strength and quality, and carries the tuned multiplex
// as a live stream of 188-byte packets. Retuning ends the previous stream.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/air/AirCatalogue.h"
#include "platform/air/AirStream.h"

class AirBroadcast;

class AirTuner {
public:
    AirTuner(std::shared_ptr<AirBroadcast> broadcast, const AirDevice& device);
    ~AirTuner();

    // Status: S_OK when the tuner was set (whether or not anything is on air there),
    // E_INVALIDARG when this tuner cannot tune that (wrong system, value out of range),
    // E_FAIL when the multiplex's clip cannot be played (lastError() says why).
    int32_t tuneDvbt(int frequencyKHz, int bandwidthMHz);
    int32_t tuneAtsc(int physicalChannel);
    int32_t tuneAnalog(int channel);
    int32_t selectAuxInput(int input);
    // Stops reception: the stream ends as lost signal.
    void powerDown();

    // The signal now, at the broadcast's clock (see AirBroadcast::nowMs): faults declared in the
    // catalogue show as a function of the broadcast time since tuning.
    AirSignal signal() const;
    // Broadcast milliseconds since the last tune, 0 when nothing is tuned.
    double msSinceTune() const;
    // The live stream of what is tuned, null when nothing is received. It carries packets
    // from the moment of lock.
    std::shared_ptr<AirStream> stream() const;
    // The multiplex or channel received, null when none.
    const AirMultiplex* multiplex() const;
    int analogChannel() const;
    const AirDevice& device() const { return device_; }
    std::string lastError() const;
    double broadcastSpeed() const;

    // The set-top box changed channel (called by the broadcast).
    void setTopBoxChanged();

private:
    enum class Source { None, Dvbt, Atsc, Analog, AuxInput };
    int32_t retune(Source source, int value, int bandwidth);
    const AirMultiplex* resolve(Source source, int value, int bandwidth) const;

    std::shared_ptr<AirBroadcast> broadcast_;
    AirDevice device_;
    mutable std::mutex mutex_;
    Source source_ = Source::None;
    int value_ = 0;
    int bandwidth_ = 0;
    const AirMultiplex* multiplex_ = nullptr;
    std::shared_ptr<AirStream> stream_;
    double tunedAtMs_ = 0;  // on the broadcast's clock
    std::string error_;
};
