// The tuner whose multiplex the guide-data filters of a graph read.
#pragma once

#include <functional>
#include <memory>

#include "platform/air/AirTuner.h"
#include "platform/air/MultiplexStream.h"
#include "platform/graph/GraphInterfaces.h"

// The first filter of the graph, in enumeration order, that is a digital tuner on air; null
// when the graph has none.
std::shared_ptr<AirTuner> FindDigitalAirTuner(IFilterGraph* graph);

// The multiplex of a graph's digital tuner, on air or real, and how fast its time runs.
struct GraphMultiplex {
    MultiplexSource stream;
    std::function<double()> speed;
    explicit operator bool() const { return static_cast<bool>(stream); }
};
// The first digital tuner of the graph in enumeration order: the air's, or one that offers
// ITunedMultiplexFilter. Empty when the graph has none.
GraphMultiplex FindGraphMultiplex(IFilterGraph* graph);
