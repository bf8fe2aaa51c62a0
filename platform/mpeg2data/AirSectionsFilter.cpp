#include "platform/mpeg2data/AirSectionsFilter.h"

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

AirSectionsFilter::~AirSectionsFilter() = default;

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
    }
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
