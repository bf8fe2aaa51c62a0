#include "platform/mpeg2data/AirTableReader.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/mpeg2data/Mpeg2Data.h"
#include "platform/mpeg2data/SectionTableCollector.h"

namespace {
constexpr size_t kReadPackets = 256;
// How long one read waits for packets before the broadcast's progress is looked at.
constexpr int kReadWaitMs = 20;
// How often a request without a stream looks for one.
constexpr int kIdlePollMs = 10;

// Tables that a transport stream carries once (PAT, CAT, SDT of the actual stream, TVCT): no
// second table can share the request, so the first complete one is the answer and waiting for
// the carousel to come round would only add a repetition interval to the scan.
bool singleTable(uint8_t tableId) {
    return tableId == 0x00 || tableId == 0x01 || tableId == 0x42 || tableId == 0xC8;
}

void add(TsDemux::Stats& total, const TsDemux::Stats& s) {
    total.packets += s.packets;
    total.syncLosses += s.syncLosses;
    total.skippedBytes += s.skippedBytes;
    total.transportErrors += s.transportErrors;
    total.continuityErrors += s.continuityErrors;
    total.sections += s.sections;
    total.crcErrors += s.crcErrors;
    total.droppedSections += s.droppedSections;
}
}  // namespace

AirTableReader::AirTableReader(StreamSource source, Speed speed)
    : m_source(std::move(source)), m_speed(std::move(speed)) {}

TsDemux::Stats AirTableReader::stats() const {
    std::lock_guard<std::mutex> guard(m_statsLock);
    return m_stats;
}

void AirTableReader::addStats(const TsDemux::Stats& s) {
    std::lock_guard<std::mutex> guard(m_statsLock);
    add(m_stats, s);
}

int32_t AirTableReader::collect(uint16_t pid, uint8_t tableId, uint32_t timeoutMs,
                                std::vector<std::vector<uint8_t>>* sections) {
    using Clock = std::chrono::steady_clock;
    sections->clear();

    auto collector = std::make_unique<SectionTableCollector>(pid, tableId);
    TsDemux demux([&collector](uint16_t p, const uint8_t* s, size_t n) { collector->offer(p, s, n); });
    demux.addPid(pid);
    std::vector<uint8_t> buffer(kReadPackets * 188);

    // Broadcast time used up on streams already left behind, or while nothing was received.
    double spentMs = 0;
    std::shared_ptr<MultiplexStream> stream;
    std::shared_ptr<AirConsumer> consumer;
    std::shared_ptr<MultiplexStream> ended;  // a stream that ended under this request
    double startMs = 0;                      // the stream's progress when this request began reading it

    auto leave = [&] {
        if (consumer) consumer->close();
        consumer = nullptr;
        stream = nullptr;
    };
    auto answered = [&] { return collector->done() || (singleTable(tableId) && collector->finish()); };
    // Reads what is buffered without waiting; true once the table is complete.
    auto drain = [&] {
        size_t got = 0;
        while (!answered() && consumer->read(buffer.data(), kReadPackets, got, 0) == AirConsumer::Read::Data)
            demux.feed(buffer.data(), got * 188);
        return answered();
    };

    for (;;) {
        std::shared_ptr<MultiplexStream> now = m_source ? m_source() : nullptr;
        if (now == ended) now = nullptr;
        if (now != stream) {
            if (stream) spentMs += std::max(0.0, stream->reachedMs() - startMs);
            leave();
            // A new multiplex: nothing gathered from the old one counts.
            demux.reset();
            collector = std::make_unique<SectionTableCollector>(pid, tableId);
            stream = now;
            if (stream) {
                consumer = stream->subscribe(kBufferPackets);
                startMs = stream->reachedMs();
            }
        }
        if (!stream) {
            if (spentMs >= timeoutMs) break;
            const double speed = m_speed ? std::max(m_speed(), 1e-3) : 1.0;
            const double leftWallMs = (timeoutMs - spentMs) / speed;
            const auto before = Clock::now();
            std::this_thread::sleep_for(
                std::chrono::microseconds(int64_t(std::min<double>(kIdlePollMs, leftWallMs) * 1000) + 1));
            spentMs += std::chrono::duration<double, std::milli>(Clock::now() - before).count() * speed;
            continue;
        }

        size_t got = 0;
        const AirConsumer::Read r = consumer->read(buffer.data(), kReadPackets, got, kReadWaitMs);
        if (r == AirConsumer::Read::Data) {
            demux.feed(buffer.data(), got * 188);
            if (answered()) break;
        } else if (r == AirConsumer::Read::Ended) {
            // Retuned or lost: whatever comes next is another stream (or nothing).
            spentMs += std::max(0.0, stream->reachedMs() - startMs);
            ended = stream;
            leave();
            continue;
        }
        // The broadcast's progress counts once every packet it carried up to there has been
        // read, or when this reader falls so far behind that it loses packets anyway.
        if (consumer->buffered() > 0 && consumer->takeOverflow() == 0) continue;
        const double reached = stream->reachedMs();
        if (drain()) break;
        if (spentMs + reached - startMs >= timeoutMs) break;
    }

    addStats(demux.stats());
    if (consumer) consumer->close();
    // Time is up: a table that completed without the carousel coming round still counts.
    if (!collector->finish()) return MPEG2DATA_E_TIMEOUT;
    *sections = collector->sections();
    return 0;
}
