// Collects whole tables out of a tuned multiplex while it plays on air or is received.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/air/MultiplexStream.h"
#include "platform/mpeg2data/TsDemux.h"

// A request reads the stream from the moment it is made: sections are reassembled and
// CRC-checked by TsDemux and gathered by SectionTableCollector, so the answer holds the tables
// complete when the carousel comes round to one of them, or, when the time runs out, what is
// complete by then. A table that a transport stream carries only once (PAT, CAT, SDT actual,
// TVCT) is answered as soon as it is complete. The time is the broadcast's: it runs with the stream's
// own progress, so a starved reader on a busy machine is not timed out before the broadcast
// had a chance to carry the table, and a speed factor shortens the wait. A retune starts the
// gathering again on the new stream; while nothing is received the time runs on the wall
// clock scaled by the broadcast's speed.
//
// Requests made one after another share one reading of the stream: while a request runs, the
// sections of the other service-information tables (PAT, NIT, SDT, the terrestrial VCT and the
// PMTs that the PAT names) are kept, and the packets that pass between two requests wait in the
// reader's buffer. A request then starts from what was kept for its table, so a scan that asks
// for the tables of a multiplex in turn waits about as long as the slowest of them takes to
// come round, not for each in turn. A PMT request is answered once the PMTs of every programme
// that the PAT maps to its PID are complete. A request made while another runs reads the stream
// on its own, as a lone request does.
class AirTableReader {
public:
    // Packets a request may fall behind the stream before it loses some.
    static constexpr size_t kBufferPackets = 16384;

    // The stream carried now (null while nothing is received), and the broadcast's speed.
    using StreamSource = MultiplexSource;
    using Speed = std::function<double()>;

    AirTableReader(StreamSource source, Speed speed);
    ~AirTableReader();

    // S_OK with the sections as transmitted; MPEG2DATA_E_TIMEOUT when no table of that PID and
    // table id was complete within timeoutMs of broadcast time.
    int32_t collect(uint16_t pid, uint8_t tableId, uint32_t timeoutMs,
                    std::vector<std::vector<uint8_t>>* sections);

    // Begins the shared reading of a stream before any request (at the start of a multiplex):
    // its packets wait in the reader's buffer for the first request. Nothing happens while a
    // request runs, or when the stream is the one being read already.
    void watch(std::shared_ptr<MultiplexStream> stream);

    // Totals of every request so far (sections, CRC errors, ...).
    TsDemux::Stats stats() const;

    // Sections kept for later requests, at most this many per table.
    static constexpr size_t kKeptSectionsPerTable = 256;

private:
    struct Session;

    void addStats(const TsDemux::Stats& s);

    StreamSource m_source;
    Speed m_speed;
    mutable std::mutex m_statsLock;
    TsDemux::Stats m_stats;
    // The shared reading, used by one request at a time.
    std::mutex m_sessionLock;
    std::unique_ptr<Session> m_session;
};
