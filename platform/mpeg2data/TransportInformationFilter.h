// The transport information filter of a Video Control's graph: a filter without
// pins whose connection point (IGuideDataEvent) tells its sinks when the service information of
// the multiplex that the graph's digital tuner receives first appears or changes.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/graph/BaseFilter.h"
#include "platform/mpeg2data/AirGraphTuner.h"
#include "platform/mpeg2data/GuideDataConnectionPoint.h"

// {6F2A51D1-3B8E-4D27-9A14-7E0C5B2D9F31}
constexpr CLSID CLSID_TransportInformationFilter = {
    0x6F2A51D1, 0x3B8E, 0x4D27, {0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31}};

// The service information is the PAT, the SDT of the actual transport stream and the
// terrestrial VCT. While the filter is in a graph with a digital tuner, a notification thread
// of the filter reads the tuned stream; each of these tables (by table_id_extension) that
// appears for the first time on the stream, or with a new version, brings one ServiceChanged
// notice with the extension as its item to the sinks advised at that moment. A retune is a
// new stream, on which everything appears anew.
class TransportInformationFilter : public CBaseFilter, public IConnectionPointContainer {
public:
    static constexpr const wchar_t* kName = L"BDA MPEG2 Transport Information Filter";

    TransportInformationFilter();
    ~TransportInformationFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override { return 0; }
    CBasePin* GetPin(int) override { return nullptr; }
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCOLESTR name) override;

    // The point for IGuideDataEvent; CONNECT_E_NOCONNECTION for any other interface.
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    void watch();
    void wake();

    ComPtr<GuideDataConnectionPoint> m_point;
    std::mutex m_lock;  // m_multiplex, m_stop
    std::condition_variable m_changed;
    GraphMultiplex m_multiplex;
    bool m_stop = false;
    std::thread m_thread;
};
