// The tuner whose multiplex the guide-data filters of a graph read.
#pragma once

#include <memory>

#include "platform/air/AirTuner.h"
#include "platform/graph/GraphInterfaces.h"

// The first filter of the graph, in enumeration order, that is a digital tuner on air; null
// when the graph has none.
std::shared_ptr<AirTuner> FindDigitalAirTuner(IFilterGraph* graph);
