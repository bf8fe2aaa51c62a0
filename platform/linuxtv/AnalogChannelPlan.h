// Analog TV channel numbers to frequencies, by the country's channel plan (countries by their
// international dialling code, as analog tuning spaces give them). The frequency is the vision
// carrier's, which is what an analog tuner is set to.
#pragma once

#include <cstdint>

// The vision carrier in Hz of `channel`, 0 when the country's plan has no such channel or the
// country has no plan here. `cable` picks the cable plan where a country has one of its own.
uint64_t AnalogVisionCarrierHz(long countryCode, bool cable, long channel);
