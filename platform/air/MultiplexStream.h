// A tuned multiplex that readers subscribe to: what the air plays for a digital tuner, or what a
// real tuner receives. The section source and the transport information filter of a graph read
// either the same way.
#pragma once

#include <functional>
#include <memory>

#include "platform/air/AirPacketSource.h"
#include "platform/com/Unknown.h"

class MultiplexStream : public AirPacketSource {
public:
    // Milliseconds after tuning up to which the stream has handed on every packet it received:
    // the broadcast's time on air, the wall clock on a real tuner. It lags the clock while the
    // stream's reader is held up, so waiting for a table by it never times out a starved reader.
    virtual double reachedMs() const = 0;
    // How fast that time runs against the wall clock.
    virtual double speed() const = 0;
};

// The stream a tuner filter carries now (null while nothing is received).
using MultiplexSource = std::function<std::shared_ptr<MultiplexStream>()>;

// {6F2A51C5-3B8E-4D27-9A14-7E0C5B2D9F31}: a tuner filter, not of the air, whose multiplex the
// guide-data filters of its graph read.
constexpr IID IID_ITunedMultiplexFilter = {
    0x6F2A51C5, 0x3B8E, 0x4D27, {0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31}};

struct ITunedMultiplexFilter : IUnknown {
    COM_INTERFACE(ITunedMultiplexFilter, IUnknown)
    // Holds the tuner, not the filter: a graph's guide-data filters keep it while in the graph.
    virtual MultiplexSource tunedMultiplex() = 0;
};
