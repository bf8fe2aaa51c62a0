#include "tools/skyvane-air/AirZap.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cmath>
#include <vector>

#include "platform/air/AirTuner.h"
#include "platform/com/Types.h"

namespace {

bool number(const std::string& s, long long lo, long long hi, int& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    long long v = std::stoll(s);
    if (v < lo || v > hi) return false;
    out = int(v);
    return true;
}

const char* receives(AirSystem system) {
    switch (system) {
        case AirSystem::DVBT:
            return "dvbt";
        case AirSystem::ATSC:
            return "atsc";
        case AirSystem::Analog:
            break;
    }
    return "analog";
}

}  // namespace

bool AirZapTarget::parse(const std::string& text, AirZapTarget& out, std::string& error) {
    size_t colon = text.find(':');
    std::string kind = text.substr(0, colon);
    std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    AirZapTarget t;
    bool ok = false;
    if (kind == "dvbt") {
        t.system = AirSystem::DVBT;
        size_t second = rest.find(':');
        ok = number(rest.substr(0, second), 1, 10000000, t.value);
        if (ok && second != std::string::npos) ok = number(rest.substr(second + 1), 1, 100, t.bandwidth);
    } else if (kind == "atsc") {
        t.system = AirSystem::ATSC;
        ok = number(rest, 0, 1000, t.value);
    } else if (kind == "analog") {
        t.system = AirSystem::Analog;
        ok = number(rest, 0, 100000, t.value);
    }
    if (!ok) {
        error = "cannot read \"" + text +
                "\": give dvbt:FREQUENCY_KHZ[:BANDWIDTH_MHZ], atsc:CHANNEL or analog:CHANNEL";
        return false;
    }
    out = t;
    return true;
}

std::string AirZapTarget::describe() const {
    switch (system) {
        case AirSystem::DVBT:
            return std::to_string(value) + " kHz" +
                   (bandwidth > 0 ? " (" + std::to_string(bandwidth) + " MHz)" : std::string());
        case AirSystem::ATSC:
            return "ATSC channel " + std::to_string(value);
        case AirSystem::Analog:
            break;
    }
    return "analog channel " + std::to_string(value);
}

bool AirZap::run(const AirZapOptions& options, const PacketSink& packets, const SignalSink& signal,
                 AirZapResult& result, std::string& error) {
    const AirZapTarget& t = options.target;
    std::shared_ptr<AirTuner> tuner;
    for (const AirDevice& d : broadcast_->catalogue().devices()) {
        if (d.receives == receives(t.system)) {
            tuner = broadcast_->tuner(d.devicePath);
            break;
        }
    }
    if (!tuner) {
        error = std::string("the catalogue has no ") + receives(t.system) + " tuner";
        return false;
    }
    int32_t rc = t.system == AirSystem::DVBT   ? tuner->tuneDvbt(t.value, t.bandwidth)
                 : t.system == AirSystem::ATSC ? tuner->tuneAtsc(t.value)
                                               : tuner->tuneAnalog(t.value);
    if (rc == E_INVALIDARG) {
        error = "a " + std::string(receives(t.system)) + " tuner cannot tune " + t.describe();
        return false;
    }
    if (FAILED(rc)) {
        error = "cannot receive " + t.describe() + ": " + tuner->lastError();
        return false;
    }
    if (!tuner->multiplex()) {
        error = "no signal at " + t.describe();
        tuner->powerDown();
        return false;
    }
    std::shared_ptr<AirStream> stream;
    std::shared_ptr<AirConsumer> reader;
    if (packets) {
        stream = tuner->stream();
        if (stream) reader = stream->subscribe(1 << 16);
    }
    // The packets end when the stream has reached the end time (on a busy machine it lags the
    // clock), the readings when the clock has.
    const double endMs = options.seconds * 1000.0;
    double nextReading = 0;
    std::vector<uint8_t> buffer(size_t(1024) * 188);
    bool ok = true;
    bool ended = false;
    while (ok) {
        double now = tuner->msSinceTune();
        if (signal && now >= nextReading && nextReading < endMs) {
            signal(now, tuner->signal());
            nextReading += options.signalEveryMs;
            continue;
        }
        bool readingsDone = !signal || nextReading >= endMs;
        bool packetsDone = !reader || ended || stream->reachedMs() >= endMs;
        if (readingsDone && packetsDone) break;
        double until = std::max(0.0, std::min(endMs, signal && !readingsDone ? nextReading : endMs) - now);
        int waitMs = int(std::clamp(until / broadcast_->speed(), 1.0, 100.0));
        if (packetsDone) {
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
            continue;
        }
        size_t got = 0;
        AirConsumer::Read r = reader->read(buffer.data(), 1024, got, waitMs);
        if (got) {
            if (result.firstPacketMs < 0) result.firstPacketMs = tuner->msSinceTune();
            result.packets += got;
            ok = packets(buffer.data(), got);
            if (!ok) error = "cannot write the stream";
        }
        if (r == AirConsumer::Read::Ended) ended = true;
    }
    // What the stream handed on before the end time and the reader has not taken yet.
    while (ok && reader && !ended) {
        size_t got = 0;
        if (reader->read(buffer.data(), 1024, got, 0) != AirConsumer::Read::Data || !got) break;
        // A tool that got no time to read until the stream had reached the end meets its
        // first packets only here.
        if (result.firstPacketMs < 0) result.firstPacketMs = tuner->msSinceTune();
        result.packets += got;
        ok = packets(buffer.data(), got);
    }
    if (reader) result.lostByReader = reader->dropped();
    tuner->powerDown();
    return ok;
}
