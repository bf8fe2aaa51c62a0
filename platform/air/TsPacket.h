// Field access on 188-byte MPEG transport stream packets, shared by the air's player and the
// broadcast generator. Every accessor checks the adaptation field's stated length against the
// packet, so damaged packets from real reception read as "no PCR"/"no PES header".
#pragma once

#include <cstddef>
#include <cstdint>

namespace tspacket {

constexpr size_t kSize = 188;
constexpr uint8_t kSync = 0x47;
constexpr uint16_t kNullPid = 0x1FFF;
// 27 MHz system clock; PCR base and PTS/DTS run at 90 kHz.
constexpr int64_t kClockHz = 27000000;
constexpr int64_t kPcrWrap = (int64_t(1) << 33) * 300;
constexpr int64_t kPtsWrap = int64_t(1) << 33;

inline uint16_t pid(const uint8_t* p) {
    return uint16_t(((p[1] & 0x1F) << 8) | p[2]);
}
inline bool transportError(const uint8_t* p) {
    return (p[1] & 0x80) != 0;
}
inline bool payloadStart(const uint8_t* p) {
    return (p[1] & 0x40) != 0;
}
inline bool hasAdaptation(const uint8_t* p) {
    return (p[3] & 0x20) != 0;
}
inline bool hasPayload(const uint8_t* p) {
    return (p[3] & 0x10) != 0;
}
inline uint8_t continuity(const uint8_t* p) {
    return p[3] & 0x0F;
}
inline void setContinuity(uint8_t* p, uint8_t cc) {
    p[3] = uint8_t((p[3] & 0xF0) | (cc & 0x0F));
}

// Offset of the payload inside the packet, or 0 when the packet carries none or its
// adaptation field claims more bytes than the packet has.
size_t payloadOffset(const uint8_t* p);

// PCR in 27 MHz ticks; false when the packet has none.
bool readPcr(const uint8_t* p, int64_t& pcr);
void writePcr(uint8_t* p, int64_t pcr);
// The adaptation field's discontinuity indicator.
bool discontinuity(const uint8_t* p);

// Position (inside the packet) of the PES header's PTS and DTS fields, 0 when absent.
struct PesTimes {
    size_t ptsAt = 0;
    size_t dtsAt = 0;
};
PesTimes findPesTimes(const uint8_t* p);
int64_t readTimestamp(const uint8_t* field);
// Keeps the field's four-bit prefix and marker bits.
void writeTimestamp(uint8_t* field, int64_t value);

}  // namespace tspacket
