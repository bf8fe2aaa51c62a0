// Turns a transport stream, fed in chunks of any size, into whole sections per PID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Packets of 188 bytes come plain, behind a 4-byte prefix (192) or followed by 16 parity bytes
// (204). The size is found from the data: a sync byte counts only when the next packets have
// theirs at the same distance, so a 0x47 inside a prefix, a payload or junk does not take over.
// Until sync is confirmed the bytes are held back; flush() says the data ended and reads what
// is held as far as it goes. Once in sync, a packet whose sync byte is missing loses it.
//
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
    // Packets in a row with their sync byte at one distance before that distance is trusted.
    static constexpr size_t kSyncConfirm = 5;

    using SectionHandler = std::function<void(uint16_t pid, const uint8_t* section, size_t size)>;

    struct Stats {
        uint64_t packets = 0;
        uint64_t syncLosses = 0;    // searches for sync that had to skip bytes
        uint64_t skippedBytes = 0;  // bytes that were not in any packet
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
    // The data ended (or pauses): reads the packets held back while sync was being confirmed,
    // trusting a distance that holds up to the end. More data may follow.
    void flush();
    // Forgets partial packets, sections and the packet size (a new tune).
    void reset();

    const Stats& stats() const { return m_stats; }
    // 188, 192 or 204 once in sync; 0 before.
    size_t packetSize() const { return m_stride; }

private:
    struct PidState;

    // Reads the packets in data; returns how many bytes are done with (the rest is held).
    size_t process(const uint8_t* data, size_t size, bool atEnd);
    // The distance of the packets whose sync byte is at data[pos], 0 when there is none, or
    // kUndecided when more data is needed to tell.
    size_t syncAt(const uint8_t* data, size_t size, size_t pos, bool atEnd) const;
    void packet(const uint8_t* p);
    void payload(PidState& st, uint16_t pid, const uint8_t* data, size_t size, bool unitStart);
    // Appends to the section in progress; returns the bytes used.
    size_t collect(PidState& st, uint16_t pid, const uint8_t* data, size_t size);
    void emit(PidState& st, uint16_t pid);
    bool wanted(uint16_t pid) const;

    SectionHandler m_handler;
    std::vector<uint8_t> m_pidFilter;  // empty: every PID
    std::vector<std::unique_ptr<PidState>> m_pids;
    std::vector<uint8_t> m_held;  // bytes not yet done with, from an earlier feed
    size_t m_stride = 0;          // packet distance while in sync
    bool m_checkCrc = true;
    Stats m_stats;
};

// The CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, no reflection, initial all ones).
uint32_t Mpeg2Crc32(const uint8_t* data, size_t size);
