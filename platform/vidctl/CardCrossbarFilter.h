// The filter of a card's crossbar device: one analog video input pin per physical input of the
// card (tuner, composite, S-video, in the catalogue's order) and one video output. Routing
// the output to a composite or S-video input selects that auxiliary input on the card's
// tuner; routing it to the tuner input leaves the tuner as it is.
#pragma once

#include <memory>
#include <vector>

#include "platform/air/AirBroadcast.h"
#include "platform/bda/AirStreamPin.h"
#include "platform/bda/AirTunerFilter.h"
#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/vidctl/VidCtlInterfaces.h"

// {6F2A51D2-3B8E-4D27-9A14-7E0C5B2D9F31}
VIDCTL_GUID(CLSID_CardCrossbarFilter, 0x6F2A51D2, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F,
            0x31);

class CardCrossbarFilter : public CBaseFilter, public IAMCrossbar {
public:
    CardCrossbarFilter(std::shared_ptr<AirBroadcast> broadcast, const AirDevice& device);
    ~CardCrossbarFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;

    HRESULT get_PinCounts(LONG* outputCount, LONG* inputCount) override;
    HRESULT CanRoute(LONG output, LONG input) override;
    // E_INVALIDARG for pins that do not exist; the tuner's status when it refuses the input.
    HRESULT Route(LONG output, LONG input) override;
    HRESULT get_IsRoutedTo(LONG output, LONG* input) override;
    HRESULT get_CrossbarPinInfo(BOOL isInput, LONG index, LONG* relatedIndex, LONG* physicalType) override;

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    class InputPin;
    LONG physicalType(LONG input) const;
    std::shared_ptr<AirTuner> cardTuner() const;

    std::shared_ptr<AirBroadcast> m_broadcast;
    AirDevice m_device;
    std::vector<std::unique_ptr<InputPin>> m_inputs;
    std::unique_ptr<AirStreamPin> m_output;
    LONG m_routedTo = 0;
};
