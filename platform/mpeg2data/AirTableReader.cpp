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
// the carousel to come round would only add a repetition interval to the scan. (The NIT of the
// actual network is not among them: real multiplexes carry the NITs of two networks.)
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

void subtract(TsDemux::Stats& total, const TsDemux::Stats& s) {
    total.packets -= s.packets;
    total.syncLosses -= s.syncLosses;
    total.skippedBytes -= s.skippedBytes;
    total.transportErrors -= s.transportErrors;
    total.continuityErrors -= s.continuityErrors;
    total.sections -= s.sections;
    total.crcErrors -= s.crcErrors;
    total.droppedSections -= s.droppedSections;
}

// The PIDs of the service information every reading watches; the PMT PIDs join from the PAT.
constexpr uint16_t kServicePids[] = {0x0000, 0x0010, 0x0011, 0x1FFB};
}  // namespace

// One reading of one stream: its reader, its demultiplexer, what was kept for later requests,
// and the request being served.
struct AirTableReader::Session {
    using Key = std::pair<uint16_t, uint8_t>;

    std::shared_ptr<MultiplexStream> stream;
    std::shared_ptr<AirConsumer> consumer;
    std::unique_ptr<TsDemux> demux;
    std::map<Key, std::vector<std::vector<uint8_t>>> kept;
    // Programme numbers by PMT PID, from the PAT of the stream.
    std::map<uint16_t, std::vector<int>> programmes;
    int patVersion = -1;
    // Demultiplexer figures already added to the reader's totals.
    TsDemux::Stats counted;
    Key serving{0, 0};
    SectionTableCollector* collector = nullptr;

    ~Session() { close(); }

    void open(std::shared_ptr<MultiplexStream> s) {
        close();
        stream = std::move(s);
        if (!stream) return;
        demux = std::make_unique<TsDemux>(
            [this](uint16_t pid, const uint8_t* section, size_t size) { offer(pid, section, size); });
        for (uint16_t pid : kServicePids) demux->addPid(pid);
        demux->addPid(serving.first);
        consumer = stream->subscribe(kBufferPackets);
    }

    void close() {
        if (consumer) consumer->close();
        consumer = nullptr;
        stream = nullptr;
        demux = nullptr;
        counted = {};
        kept.clear();
        programmes.clear();
        patVersion = -1;
    }

    // Figures of the demultiplexer since they were last taken.
    TsDemux::Stats takeStats() {
        if (!demux) return {};
        TsDemux::Stats now = demux->stats(), delta = now;
        subtract(delta, counted);
        counted = now;
        return delta;
    }

    // A request begins: what was kept for its table is offered first.
    void serve(uint16_t pid, uint8_t tableId, SectionTableCollector* c) {
        serving = {pid, tableId};
        collector = c;
        if (demux) demux->addPid(pid);
        auto it = kept.find(serving);
        if (it == kept.end()) return;
        std::vector<std::vector<uint8_t>> sections = std::move(it->second);
        kept.erase(it);
        for (const auto& section : sections) collector->offer(pid, section.data(), section.size());
    }

    void expectProgrammes() {
        if (!collector || collector->done() || serving.second != 0x02) return;
        auto it = programmes.find(serving.first);
        if (it != programmes.end()) collector->expect(it->second);
    }

    void offer(uint16_t pid, const uint8_t* section, size_t size) {
        if (size < 3) return;
        if (pid == 0x0000 && section[0] == 0x00) readPat(section, size);
        const Key key{pid, section[0]};
        if (key == serving && collector) {
            // Once answered, the rest of the table belongs to the stream, not to a later request.
            collector->offer(pid, section, size);
            return;
        }
        auto& list = kept[key];
        if (list.size() >= kKeptSectionsPerTable) list.erase(list.begin());
        list.emplace_back(section, section + size);
    }

    void readPat(const uint8_t* s, size_t size) {
        if (size < 12 || !(s[1] & 0x80)) return;
        const size_t length = std::min(size, size_t(((s[1] & 0x0F) << 8 | s[2]) + 3));
        if (length < 12) return;
        const int version = (s[5] >> 1) & 0x1F;
        if (version != patVersion) {
            programmes.clear();
            patVersion = version;
        }
        for (size_t i = 8; i + 4 <= length - 4; i += 4) {
            const int number = s[i] << 8 | s[i + 1];
            const uint16_t pmtPid = static_cast<uint16_t>((s[i + 2] & 0x1F) << 8 | s[i + 3]);
            // Programme 0 names the network PID; the null PID never carries a table.
            if (number == 0 || pmtPid == 0x1FFF) continue;
            auto& numbers = programmes[pmtPid];
            if (std::find(numbers.begin(), numbers.end(), number) == numbers.end()) numbers.push_back(number);
            demux->addPid(pmtPid);
        }
        expectProgrammes();
    }
};

AirTableReader::AirTableReader(StreamSource source, Speed speed)
    : m_source(std::move(source)), m_speed(std::move(speed)), m_session(std::make_unique<Session>()) {}

AirTableReader::~AirTableReader() = default;

TsDemux::Stats AirTableReader::stats() const {
    std::lock_guard<std::mutex> guard(m_statsLock);
    return m_stats;
}

void AirTableReader::addStats(const TsDemux::Stats& s) {
    std::lock_guard<std::mutex> guard(m_statsLock);
    add(m_stats, s);
}

void AirTableReader::watch(std::shared_ptr<MultiplexStream> stream) {
    std::unique_lock<std::mutex> shared(m_sessionLock, std::try_to_lock);
    if (!shared.owns_lock() || !stream || stream == m_session->stream) return;
    addStats(m_session->takeStats());
    m_session->open(std::move(stream));
}

int32_t AirTableReader::collect(uint16_t pid, uint8_t tableId, uint32_t timeoutMs,
                                std::vector<std::vector<uint8_t>>* sections) {
    using Clock = std::chrono::steady_clock;
    sections->clear();

    // A request made while another runs reads on its own.
    std::unique_lock<std::mutex> shared(m_sessionLock, std::try_to_lock);
    Session lone;
    Session& session = shared.owns_lock() ? *m_session : lone;

    auto collector = std::make_unique<SectionTableCollector>(pid, tableId);
    std::vector<uint8_t> buffer(kReadPackets * 188);

    // Broadcast time used up on streams already left behind, or while nothing was received.
    double spentMs = 0;
    std::shared_ptr<MultiplexStream> ended;  // a stream that ended under this request
    double startMs = 0;                // the stream's progress when this request began reading it

    // A reading left behind by a retune, or one that lost packets while no request ran, is of
    // no use: what it kept may be of another multiplex or long gone.
    std::shared_ptr<MultiplexStream> now = m_source ? m_source() : nullptr;
    if (session.stream && (now != session.stream || session.consumer->takeOverflow() > 0)) {
        addStats(session.takeStats());
        session.close();
    }
    session.serve(pid, tableId, collector.get());
    session.expectProgrammes();
    if (session.stream) startMs = session.stream->reachedMs();

    auto answered = [&] { return collector->done() || (singleTable(tableId) && collector->finish()); };
    // Reads what is buffered without waiting; true once the table is complete.
    auto drain = [&] {
        size_t got = 0;
        while (!answered() &&
               session.consumer->read(buffer.data(), kReadPackets, got, 0) == AirConsumer::Read::Data)
            session.demux->feed(buffer.data(), got * 188);
        return answered();
    };

    while (!answered()) {
        now = m_source ? m_source() : nullptr;
        if (now == ended) now = nullptr;
        if (now != session.stream) {
            if (session.stream) spentMs += std::max(0.0, session.stream->reachedMs() - startMs);
            addStats(session.takeStats());
            // A new multiplex: nothing gathered from the old one counts.
            collector = std::make_unique<SectionTableCollector>(pid, tableId);
            session.open(now);
            session.serve(pid, tableId, collector.get());
            if (session.stream) startMs = session.stream->reachedMs();
        }
        if (!session.stream) {
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
        const AirConsumer::Read r = session.consumer->read(buffer.data(), kReadPackets, got, kReadWaitMs);
        if (r == AirConsumer::Read::Data) {
            session.demux->feed(buffer.data(), got * 188);
            if (answered()) break;
        } else if (r == AirConsumer::Read::Ended) {
            // Retuned or lost: whatever comes next is another stream (or nothing).
            spentMs += std::max(0.0, session.stream->reachedMs() - startMs);
            ended = session.stream;
            addStats(session.takeStats());
            session.close();
            continue;
        }
        // The broadcast's progress counts once every packet it carried up to there has been
        // read, or when this reader falls so far behind that it loses packets anyway.
        if (session.consumer->buffered() > 0 && session.consumer->takeOverflow() == 0) continue;
        const double reached = session.stream->reachedMs();
        if (drain()) break;
        if (spentMs + reached - startMs >= timeoutMs) break;
    }

    session.collector = nullptr;
    addStats(session.takeStats());
    // Time is up: a table that completed without the carousel coming round still counts.
    if (!collector->finish()) return MPEG2DATA_E_TIMEOUT;
    *sections = collector->sections();
    return 0;
}
