// The filter of a real DVB tuner (what BindToObject on its moniker gives): the same face as the
// air's tuner filter. It takes DVB-T tune requests (frequency in kHz, bandwidth in MHz, -1 for
// 8, and 0, what a scan lists when the multiplex does not say) and ATSC ones (physical channel), carries the
// multiplex on its transport-stream pin, and reports the front end's signal through the two control nodes of
// its topology: the RF tuner node gives strength and presence, the demodulator node quality and lock. A
// figure the driver does not give reads as S_FALSE with 0: there, not a failure. The guide-data filters of
// its graph read the same multiplex (ITunedMultiplexFilter).
#pragma once

#include <memory>

#include "platform/air/MultiplexStream.h"
#include "platform/bda/AirTunerFilter.h"
#include "platform/bda/BdaInterfaces.h"
#include "platform/graph/BaseFilter.h"
#include "platform/linuxtv/DvbStreamPin.h"
#include "platform/linuxtv/DvbTuneParameters.h"
#include "platform/linuxtv/DvbTuner.h"

// {6F2A51C4-3B8E-4D27-9A14-7E0C5B2D9F31}
BDA_GUID(CLSID_DvbTunerFilter, 0x6F2A51C4, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31);

class DvbTunerFilter : public CBaseFilter, public IBDA_Topology, public ITuner, public ITunedMultiplexFilter {
public:
    explicit DvbTunerFilter(std::shared_ptr<DvbTuner> tuner);
    ~DvbTunerFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    HRESULT GetNodeTypes(ULONG* count, ULONG maxTypes, ULONG types[]) override;
    HRESULT GetControlNode(ULONG inputPinId, ULONG outputPinId, ULONG nodeType, IUnknown** node) override;

    HRESULT get_TuneRequest(ITuneRequest** request) override;
    HRESULT put_TuneRequest(ITuneRequest* request) override;
    HRESULT Validate(ITuneRequest* request) override;

    // What the graph's section source and transport information filter read: the stream of
    // the tuner's latest tune.
    MultiplexSource tunedMultiplex() override;

    const std::shared_ptr<DvbTuner>& tuner() const { return m_tuner; }
    uint64_t packetsDelivered() const { return m_output->packetsDelivered(); }

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    HRESULT apply(ITuneRequest* request, bool tune);

    std::shared_ptr<DvbTuner> m_tuner;
    std::unique_ptr<DvbStreamPin> m_output;
    ComPtr<ITuneRequest> m_current;
};
