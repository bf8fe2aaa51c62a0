// Base of every filter: state, graph membership, filter information and pin enumeration.
// Derived filters own their pins and answer GetPinCount / GetPin.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/graph/BasePin.h"

class CBaseFilter : public ComObject<IBaseFilter> {
public:
    CBaseFilter(const wchar_t* objectName, const CLSID& clsid);
    ~CBaseFilter() override;

    HRESULT GetClassID(CLSID* clsid) override;
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;
    HRESULT EnumPins(IEnumPins** out) override;
    HRESULT FindPin(LPCOLESTR id, IPin** pin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCOLESTR name) override;

    virtual int GetPinCount() = 0;
    virtual CBasePin* GetPin(int n) = 0;

    bool IsStopped() const { return m_state.load() == State_Stopped; }
    FILTER_STATE State() const { return m_state.load(); }
    IFilterGraph* Graph() const { return m_graph; }
    // The clock and the clock time at which stream time 0 is due (set by Run).
    ComPtr<IReferenceClock> Clock();
    REFERENCE_TIME StreamStart();

protected:
    // Extra interfaces of derived filters (the platform's name for the hook).
    virtual HRESULT NonDelegatingQueryInterface(REFIID, void** ppv) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT QueryInterfaceExtra(REFIID riid, void** ppv) override {
        return NonDelegatingQueryInterface(riid, ppv);
    }

    std::recursive_mutex m_filterLock;
    std::atomic<FILTER_STATE> m_state{State_Stopped};
    REFERENCE_TIME m_start = 0;
    ComPtr<IReferenceClock> m_clock;
    std::wstring m_objectName;
    CLSID m_clsid;
    IFilterGraph* m_graph = nullptr;
    std::wstring m_name;
};

// Walks the pins of a filter as they are at each call.
class CEnumPins : public ComObject<IEnumPins> {
public:
    explicit CEnumPins(CBaseFilter* filter, int position = 0) : m_filter(filter), m_position(position) {}

    HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumPins** out) override;

private:
    ComPtr<CBaseFilter> m_filter;
    int m_position;
};
