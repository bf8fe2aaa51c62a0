// Medium strings: the channel part of a device path. Decimal fields separated by "/",
// -1 where a value is not given:
//   DVB-T  frequency/bandwidth/ONID/TSID/SID   e.g. 49000/-1/-1/-1/-1
//   ATSC   physical/major/minor                e.g. 4/-1/-1
//   analog channel                             e.g. 4
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/Types.h"

struct DvbtChannel {
    int32_t frequency = -1;  // kHz, handed to the locator unchanged
    int32_t bandwidth = -1;  // MHz
    int32_t onid = -1;
    int32_t tsid = -1;
    int32_t sid = -1;

    // The network identifiers only mean something together: a tune request takes all three
    // or none of them.
    bool hasNetworkIds() const { return onid != -1 && tsid != -1 && sid != -1; }
};

struct AtscChannel {
    int32_t physical = -1;
    int32_t major = -1;
    int32_t minor = -1;
};

class MediumString {
public:
    // The first `count` fields. A run of "/" separates like one and leading "/" are skipped,
    // so 4//5 and /4/5 both give 4 and 5; fields that are not there come back empty.
    static std::vector<std::wstring> fields(const std::wstring& medium, size_t count);

    // Lenient decimal reading: leading white space, an optional sign, then digits up to the
    // first other character; no digits reads as 0 ("abc" is 0, "12kHz" is 12). Values past
    // the 32-bit range saturate.
    static int32_t readInt(const std::wstring& field);

    // E_FAIL (logged as a bad medium format) when a field is missing.
    static HRESULT parseDvbt(const std::wstring& medium, DvbtChannel& channel);
    static HRESULT parseAtsc(const std::wstring& medium, AtscChannel& channel);
    // The whole text is one number: "4/-1/-1" is channel 4, "" is channel 0.
    static int32_t parseAnalog(const std::wstring& medium);

    static std::wstring format(const DvbtChannel& channel);
    static std::wstring format(const AtscChannel& channel);
    // What a tune request reports when it cannot name the channel (analog, unknown types).
    static std::wstring unknown() { return L"-1"; }

    // The medium a "tuner://" path opens for its media type; empty for other media types.
    static std::wstring defaultFor(const std::wstring& mediaType);
};
