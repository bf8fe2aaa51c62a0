#include "platform/mpeg2data/TransportInformationFilter.h"

#include <chrono>
#include <map>
#include <vector>

#include "platform/mpeg2data/AirGraphTuner.h"
#include "platform/mpeg2data/TsDemux.h"

namespace {
constexpr size_t kBufferPackets = 8192;
constexpr size_t kReadPackets = 256;
constexpr int kReadWaitMs = 20;
// How often a filter outside a graph with a tuner looks again.
constexpr int kIdleWaitMs = 20;

// The tables that carry the services, by PID.
bool isServiceTable(uint16_t pid, uint8_t tableId) {
    return (pid == 0x0000 && tableId == 0x00) || (pid == 0x0011 && tableId == 0x42) ||
           (pid == 0x1FFB && tableId == 0xC8);
}
}  // namespace

TransportInformationFilter::TransportInformationFilter()
    : CBaseFilter(kName, CLSID_TransportInformationFilter) {
    m_point.Attach(CreateComObject<GuideDataConnectionPoint>());
    m_thread = std::thread(&TransportInformationFilter::watch, this);
}

TransportInformationFilter::~TransportInformationFilter() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

HRESULT TransportInformationFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = riid == IID_IConnectionPointContainer ? static_cast<IConnectionPointContainer*>(this) : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
}

HRESULT TransportInformationFilter::JoinFilterGraph(IFilterGraph* graph, LPCOLESTR name) {
    // The graph calls this with its lock held; the notification thread never walks the graph.
    GraphMultiplex found = FindGraphMultiplex(graph);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_multiplex = std::move(found);
    }
    wake();
    return CBaseFilter::JoinFilterGraph(graph, name);
}

HRESULT TransportInformationFilter::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (riid != IID_IGuideDataEvent) return CONNECT_E_NOCONNECTION;
    *point = m_point.Get();
    (*point)->AddRef();
    return S_OK;
}

void TransportInformationFilter::wake() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_changed.notify_all();
}

void TransportInformationFilter::watch() {
    std::shared_ptr<MultiplexStream> stream, ended;
    std::shared_ptr<AirConsumer> consumer;
    std::map<uint32_t, int> versions;  // (PID, table id, extension) -> version seen on this stream
    std::vector<LONG> notices;
    TsDemux demux([&](uint16_t pid, const uint8_t* s, size_t size) {
        if (size < 8 || !isServiceTable(pid, s[0]) || !(s[1] & 0x80)) return;
        const uint32_t extension = (uint32_t(s[3]) << 8) | s[4];
        const uint32_t key = (uint32_t(pid) << 24) | (uint32_t(s[0]) << 16) | extension;
        const int version = (s[5] >> 1) & 0x1F;
        auto it = versions.find(key);
        if (it != versions.end() && it->second == version) return;
        versions[key] = version;
        notices.push_back(static_cast<LONG>(extension));
    });
    demux.addPid(0x0000);
    demux.addPid(0x0011);
    demux.addPid(0x1FFB);
    std::vector<uint8_t> buffer(kReadPackets * 188);

    auto forget = [&] {
        if (consumer) consumer->close();
        consumer = nullptr;
        stream = nullptr;
        versions.clear();
        demux.reset();
    };

    for (;;) {
        GraphMultiplex multiplex;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (m_stop) break;
            multiplex = m_multiplex;
            if (!multiplex) {
                lock.unlock();
                forget();
                lock.lock();
                if (!m_stop) m_changed.wait_for(lock, std::chrono::milliseconds(kIdleWaitMs));
                continue;
            }
        }
        std::shared_ptr<MultiplexStream> now = multiplex.stream();
        if (now == ended) now = nullptr;
        if (now != stream) {
            forget();
            stream = now;
            if (stream) consumer = stream->subscribe(kBufferPackets);
        }
        if (!stream) {
            std::unique_lock<std::mutex> lock(m_lock);
            if (!m_stop) m_changed.wait_for(lock, std::chrono::milliseconds(kReadWaitMs));
            continue;
        }
        size_t got = 0;
        const AirConsumer::Read r = consumer->read(buffer.data(), kReadPackets, got, kReadWaitMs);
        if (r == AirConsumer::Read::Ended) {
            ended = stream;
            forget();
            continue;
        }
        if (r != AirConsumer::Read::Data) continue;
        demux.feed(buffer.data(), got * 188);
        // What is seen is kept whether or not anyone listens: a sink advised later hears of
        // changes from then on, not of what was there before it came.
        if (m_point->hasSinks())
            for (LONG id : notices) m_point->serviceChanged(id);
        notices.clear();
    }
    forget();
}
