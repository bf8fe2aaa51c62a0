#include "platform/linuxtv/AnalogChannelPlan.h"

namespace {

struct Band {
    long first, last;
    uint64_t firstCarrierKHz;
    uint64_t stepKHz;
};

uint64_t lookup(const Band* bands, int count, long channel) {
    for (int i = 0; i < count; ++i)
        if (channel >= bands[i].first && channel <= bands[i].last)
            return (bands[i].firstCarrierKHz + bands[i].stepKHz * uint64_t(channel - bands[i].first)) * 1000;
    return 0;
}

// North America, over the air (System M).
const Band kUsBroadcast[] = {
    {2, 4, 55250, 6000}, {5, 6, 77250, 6000}, {7, 13, 175250, 6000}, {14, 69, 471250, 6000}};
// North America, cable (the standard plan).
const Band kUsCable[] = {{1, 1, 73250, 0},      {2, 4, 55250, 6000},     {5, 6, 77250, 6000},
                         {7, 13, 175250, 6000}, {14, 22, 121250, 6000},  {23, 94, 217250, 6000},
                         {95, 99, 91250, 6000}, {100, 125, 649250, 6000}};
// Japan (System M, its own channels).
const Band kJapan[] = {
    {1, 3, 91250, 6000}, {4, 7, 171250, 6000}, {8, 12, 193250, 6000}, {13, 62, 471250, 6000}};
// Western Europe (Systems B and G): VHF E2-E12, UHF 21-69.
const Band kWesternEurope[] = {{2, 4, 48250, 7000}, {5, 12, 175250, 7000}, {21, 69, 471250, 8000}};
// The United Kingdom and Ireland (System I), UHF only.
const Band kUk[] = {{21, 68, 471250, 8000}};

template <int N>
uint64_t in(const Band (&bands)[N], long channel) {
    return lookup(bands, N, channel);
}

}  // namespace

uint64_t AnalogVisionCarrierHz(long countryCode, bool cable, long channel) {
    switch (countryCode) {
        case 1:   // United States, Canada
        case 52:  // Mexico
            return cable ? in(kUsCable, channel) : in(kUsBroadcast, channel);
        case 81:
            return in(kJapan, channel);
        case 44:
        case 353:
            return in(kUk, channel);
        case 31:   // Netherlands
        case 32:   // Belgium
        case 34:   // Spain
        case 41:   // Switzerland
        case 43:   // Austria
        case 45:   // Denmark
        case 46:   // Sweden
        case 47:   // Norway
        case 49:   // Germany
        case 351:  // Portugal
        case 358:  // Finland
            return in(kWesternEurope, channel);
        default:
            return 0;
    }
}
