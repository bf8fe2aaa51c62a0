// skyvane-air's work: parse what to tune, tune a tuner of the air there and hand on what it
// receives (the packets and the signal readings) for a span of broadcast time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/air/AirBroadcast.h"
#include "platform/air/AirCatalogue.h"

struct AirZapTarget {
    AirSystem system = AirSystem::DVBT;
    int value = 0;       // kHz (DVB-T), physical channel (ATSC) or channel (analog)
    int bandwidth = -1;  // DVB-T, MHz; -1: not given
    // "dvbt:474000[:8]", "atsc:22", "analog:3". False with a message on a bad form.
    static bool parse(const std::string& text, AirZapTarget& out, std::string& error);
    std::string describe() const;  // "474000 kHz", "ATSC channel 22", "analog channel 3"
};

struct AirZapOptions {
    AirZapTarget target;
    double seconds = 10;  // of broadcast time, from the moment of tuning
    bool signal = false;  // hand on a reading every signalEveryMs
    int signalEveryMs = 500;
};

struct AirZapResult {
    uint64_t packets = 0;
    uint64_t lostByReader = 0;  // packets the reader fell too far behind to take
    double firstPacketMs = -1;  // broadcast ms after tuning, -1 when none came
};

class AirZap {
public:
    using PacketSink = std::function<bool(const uint8_t* packets, size_t count)>;
    using SignalSink = std::function<void(double msSinceTune, const AirSignal& s)>;

    explicit AirZap(std::shared_ptr<AirBroadcast> broadcast) : broadcast_(std::move(broadcast)) {}

    // Tunes and receives for options.seconds of broadcast time. `packets` may be empty (signal
    // only); it returns false to stop (a write failed). False with a message when nothing can
    // be received there ("no signal at ...") or the tuner refuses.
    bool run(const AirZapOptions& options, const PacketSink& packets, const SignalSink& signal,
             AirZapResult& result, std::string& error);

private:
    std::shared_ptr<AirBroadcast> broadcast_;
};
