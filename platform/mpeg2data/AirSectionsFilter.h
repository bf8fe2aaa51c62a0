// The section source of a Video Control's graph: a filter without pins that offers IMpeg2Data
// and reads the multiplex that the graph's digital tuner (on air or real) receives, as it plays
// (see AirTableReader). A thread of the filter starts the reading of each new stream of the
// tuner at once, so that the first request finds the tables that passed since the lock.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/mpeg2data/AirGraphTuner.h"
#include "platform/graph/BaseFilter.h"
#include "platform/mpeg2data/AirTableReader.h"
#include "platform/mpeg2data/Mpeg2Data.h"

// {6F2A51D0-3B8E-4D27-9A14-7E0C5B2D9F31}
constexpr CLSID CLSID_AirSectionsFilter = {
    0x6F2A51D0, 0x3B8E, 0x4D27, {0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31}};

class AirSectionsFilter : public CBaseFilter, public IMpeg2Data {
public:
    static constexpr const wchar_t* kName = L"MPEG-2 Sections and Tables";

    AirSectionsFilter();
    ~AirSectionsFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override { return 0; }
    CBasePin* GetPin(int) override { return nullptr; }
    // Joining a graph looks up its digital tuner; leaving it forgets the tuner.
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCOLESTR name) override;

    // Waits up to timeoutMs of broadcast time for the whole table; MPEG2DATA_E_TIMEOUT when it
    // does not come (also when the graph has no digital tuner or nothing is received).
    HRESULT GetTable(PID pid, TID tid, MPEG2_FILTER* filter, DWORD timeoutMs, ISectionList** list) override;

    TsDemux::Stats stats() const { return m_reader.stats(); }

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    GraphMultiplex multiplex();
    void watch();

    std::mutex m_tunerLock;  // m_multiplex, m_stop
    std::condition_variable m_changed;
    GraphMultiplex m_multiplex;
    bool m_stop = false;
    AirTableReader m_reader;
    std::thread m_watcher;
};
