// The filter of a tuner device on air (what BindToObject on its moniker gives). It takes tune
// requests (ITuner) and puts its air tuner on them. A digital tuner carries what it receives on
// its output pin as an MPEG-2 transport stream; an analog tuner's output is analog video, which
// only its card's encoder takes. Digital tuners report what they receive through
// the control nodes of its BDA topology: the RF tuner node gives strength and presence, the
// demodulator node quality and lock.
#pragma once

#include <memory>
#include <string>

#include "platform/air/AirTuner.h"
#include "platform/bda/AirStreamPin.h"
#include "platform/bda/BdaInterfaces.h"
#include "platform/graph/BaseFilter.h"

// {6F2A51C0-3B8E-4D27-9A14-7E0C5B2D9F31}: the air device behind a device filter, so that the
// filters of one card find each other.
BDA_GUID(IID_IAirDeviceFilter, 0x6F2A51C0, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31);
// {0482DDE1-7817-11CF-8A03-00AA006ECB65}: what an analog tuner hands to its card's encoder.
BDA_GUID(MEDIATYPE_AnalogVideo, 0x0482DDE1, 0x7817, 0x11CF, 0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65);
// {6F2A51C1-3B8E-4D27-9A14-7E0C5B2D9F31}
BDA_GUID(CLSID_AirTunerFilter, 0x6F2A51C1, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31);

struct IAirDeviceFilter : IUnknown {
    COM_INTERFACE(IAirDeviceFilter, IUnknown)
    virtual const AirDevice& airDevice() = 0;
    // The tuner of the device's card (null for devices without one).
    virtual std::shared_ptr<AirTuner> airTuner() = 0;
};

// Node type ids of the topology.
constexpr ULONG BDA_NODE_RF_TUNER = 0;
constexpr ULONG BDA_NODE_DEMODULATOR = 1;

class AirTunerFilter : public CBaseFilter, public IBDA_Topology, public ITuner, public IAirDeviceFilter {
public:
    explicit AirTunerFilter(std::shared_ptr<AirTuner> tuner);
    ~AirTunerFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    // IBDA_Topology (digital tuners only)
    HRESULT GetNodeTypes(ULONG* count, ULONG maxTypes, ULONG types[]) override;
    HRESULT GetControlNode(ULONG inputPinId, ULONG outputPinId, ULONG nodeType, IUnknown** node) override;

    // ITuner: DVB-T requests need a DVB-T locator with a frequency (a bandwidth of -1 means
    // 8 MHz), ATSC requests an ATSC locator with a physical channel, analog requests a
    // channel; requests of the auxiliary-input space select that input. E_INVALIDARG for a
    // request this tuner cannot take; the previous channel then stays.
    HRESULT get_TuneRequest(ITuneRequest** request) override;
    HRESULT put_TuneRequest(ITuneRequest* request) override;
    HRESULT Validate(ITuneRequest* request) override;

    const AirDevice& airDevice() override { return m_tuner->device(); }
    std::shared_ptr<AirTuner> airTuner() override { return m_tuner; }

    uint64_t packetsDelivered() const { return m_output->packetsDelivered(); }

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    HRESULT apply(ITuneRequest* request, bool tune);
    bool digital() const { return m_tuner->device().receives != "analog"; }

    std::shared_ptr<AirTuner> m_tuner;
    std::unique_ptr<AirStreamPin> m_output;
    ComPtr<ITuneRequest> m_current;
};
