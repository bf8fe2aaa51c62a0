#include "platform/mpeg2data/AirSectionsFilter.h"

#include <chrono>

#include "platform/mpeg2data/AirGraphTuner.h"
#include "platform/mpeg2data/SectionList.h"

AirSectionsFilter::AirSectionsFilter()
    : CBaseFilter(kName, CLSID_AirSectionsFilter),
      m_reader(
          [this]() -> std::shared_ptr<MultiplexStream> {
              GraphMultiplex m = multiplex();
              return m ? m.stream() : nullptr;
          },
          [this] {
              GraphMultiplex m = multiplex();
              return m ? m.speed() : 1.0;
          }) {}

AirSectionsFilter::~AirSectionsFilter() {
    {
        std::lock_guard<std::mutex> guard(m_tunerLock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_watcher.joinable()) m_watcher.join();
}

void AirSectionsFilter::watch() {
    // How often the tuner is asked for a new stream: a small part of any lock time.
    constexpr auto kLookEvery = std::chrono::milliseconds(20);
    std::shared_ptr<MultiplexStream> seen;
    std::unique_lock<std::mutex> lock(m_tunerLock);
    while (!m_stop) {
        GraphMultiplex m = m_multiplex;
        lock.unlock();
        std::shared_ptr<MultiplexStream> now = m ? m.stream() : nullptr;
        if (now && now != seen) m_reader.watch(now);
        seen = now;
        lock.lock();
        if (!m_stop) m_changed.wait_for(lock, kLookEvery);
    }
}

HRESULT AirSectionsFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    *ppv = riid == IID_IMpeg2Data ? static_cast<IMpeg2Data*>(this) : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
}

HRESULT AirSectionsFilter::JoinFilterGraph(IFilterGraph* graph, LPCOLESTR name) {
    // Called by the graph with its own lock held: the graph is walked here, never from a
    // request, which takes only this filter's tuner lock.
    GraphMultiplex found = FindGraphMultiplex(graph);
    {
        std::lock_guard<std::mutex> guard(m_tunerLock);
        m_multiplex = std::move(found);
        // The watching thread runs only while the filter is in a graph with a digital tuner.
        if (m_multiplex && !m_watcher.joinable()) m_watcher = std::thread(&AirSectionsFilter::watch, this);
    }
    m_changed.notify_all();
    return CBaseFilter::JoinFilterGraph(graph, name);
}

GraphMultiplex AirSectionsFilter::multiplex() {
    std::lock_guard<std::mutex> guard(m_tunerLock);
    return m_multiplex;
}

HRESULT AirSectionsFilter::GetTable(PID pid, TID tid, MPEG2_FILTER* filter, DWORD timeoutMs,
                                    ISectionList** list) {
    if (!list) return E_POINTER;
    *list = nullptr;
    if (filter) return E_NOTIMPL;
    if (pid > 0x1FFF) return E_INVALIDARG;
    std::vector<std::vector<uint8_t>> sections;
    HRESULT hr = m_reader.collect(pid, tid, timeoutMs, &sections);
    if (FAILED(hr)) return hr;
    *list = CreateComObject<SectionList>(std::move(sections));
    return S_OK;
}
