// Turns a transport stream, fed in chunks of any size, into whole sections per PID.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Sections are reassembled per PID from the packets' payloads: pointer fields, sections that
// span packets, several sections in one packet and stuffing after the last one are handled.
// A packet with the transport error flag, a continuity gap or a section that a new payload
// start cuts short drops the section being assembled; a repeated packet (same continuity
// counter) is read once. Sections in the long form must pass their CRC when checking is on.
// Sections are handed over as transmitted.
class TsDemux {
public:
    static constexpr size_t kPacketSize = 188;
    static constexpr size_t kMaxSectionSize = 4096;

    using SectionHandler = std::function<void(uint16_t pid, const uint8_t* section, size_t size)>;

    struct Stats {
        uint64_t packets = 0;
        uint64_t syncLosses = 0;
        uint64_t transportErrors = 0;
        uint64_t continuityErrors = 0;
        uint64_t sections = 0;
        uint64_t crcErrors = 0;
        uint64_t droppedSections = 0;  // cut short, too long or malformed
    };

    explicit TsDemux(SectionHandler handler);
    ~TsDemux();
    TsDemux(const TsDemux&) = delete;
    TsDemux& operator=(const TsDemux&) = delete;

    // Only the PIDs added are reassembled; with none added, every PID is.
    void addPid(uint16_t pid);
    void setCheckCrc(bool check) { m_checkCrc = check; }

    // Consumes bytes; a packet split across calls is kept until it is whole.
    void feed(const uint8_t* data, size_t size);
    // Forgets partial packets and sections (a new tune, or the end of a file).
    void reset();

    const Stats& stats() const { return m_stats; }

private:
    struct PidState;

    void packet(const uint8_t* p);
    void payload(PidState& st, uint16_t pid, const uint8_t* data, size_t size, bool unitStart);
    // Appends to the section in progress; returns the bytes used.
    size_t collect(PidState& st, uint16_t pid, const uint8_t* data, size_t size);
    void emit(PidState& st, uint16_t pid);
    bool wanted(uint16_t pid) const;

    SectionHandler m_handler;
    std::vector<uint8_t> m_pidFilter;  // empty: every PID
    std::vector<std::unique_ptr<PidState>> m_pids;
    std::array<uint8_t, kPacketSize> m_partial{};
    size_t m_partialSize = 0;
    bool m_checkCrc = true;
    Stats m_stats;
};

// The CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, no reflection, initial all ones).
uint32_t Mpeg2Crc32(const uint8_t* data, size_t size);
