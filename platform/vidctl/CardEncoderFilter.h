// The filter of a card's hardware encoder (or multiplexer) device. Its input takes the analog
// video of a tuner on the same card only (a tuner of another card cannot be wired to it, so
// such a graph does not build); its output is the tuned channel as an MPEG-2 transport stream.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/bda/AirStreamPin.h"
#include "platform/bda/AirTunerFilter.h"
#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/vidctl/VidCtlInterfaces.h"

// {6F2A51D1-3B8E-4D27-9A14-7E0C5B2D9F31}
VIDCTL_GUID(CLSID_CardEncoderFilter, 0x6F2A51D1, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F,
            0x31);

class CardEncoderFilter : public CBaseFilter, public IAirDeviceFilter {
public:
    // The encoder's transport stream for what the tuner receives now: the same stream object
    // for as long as nothing changes (the output pin follows a new object as a retune). By
    // default the channel's own transport rendering on air is passed on; the encoder of the
    // air replaces this with a real encode of the tuner's picture and sound.
    using Encode = std::function<std::shared_ptr<AirStream>(const std::shared_ptr<AirTuner>&)>;
    static void setEncode(Encode encode);

    explicit CardEncoderFilter(const AirDevice& device);
    ~CardEncoderFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;

    const AirDevice& airDevice() override { return m_device; }
    std::shared_ptr<AirTuner> airTuner() override;

    // The card of a device: its device path without the trailing category ("#{...}").
    static std::wstring cardOf(const std::wstring& devicePath);

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    class InputPin;
    friend class InputPin;
    void setTuner(std::shared_ptr<AirTuner> tuner);

    AirDevice m_device;
    std::mutex m_tunerLock;
    std::shared_ptr<AirTuner> m_tuner;
    std::unique_ptr<InputPin> m_input;
    std::unique_ptr<AirStreamPin> m_output;
};
