// The filter of a card's hardware encoder (or multiplexer) device. Its input takes the analog
// video of a tuner on the same card only (a tuner of another card cannot be wired to it, so
// such a graph does not build); its output is the live encode of whatever that tuner receives
// (a channel, an auxiliary input, snow) as an MPEG-2 transport stream of one programme. The
// card's encoder runs while the output streams: from the first sample the graph asks for
// until the filter stops.
#pragma once

#include <memory>
#include <mutex>

#include "platform/air/AirEncoder.h"
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
    // What the card's encoder makes: a PAL-sized picture at 25 frames per second, the format
    // of the analog channels on air.
    static AirEncoderSettings cardSettings();

    explicit CardEncoderFilter(const AirDevice& device, AirEncoderSettings settings = cardSettings());
    ~CardEncoderFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    // Stops the output, then the card's encoder (its readers are gone).
    HRESULT Stop() override;

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;

    const AirDevice& airDevice() override { return m_device; }
    std::shared_ptr<AirTuner> airTuner() override;
    // The card's encoder while it is encoding for this filter's output, else null.
    std::shared_ptr<AirEncoder> encoder();

    // The card of a device: its device path without the trailing category ("#{...}").
    static std::wstring cardOf(const std::wstring& devicePath);

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    class InputPin;
    friend class InputPin;
    void setTuner(std::shared_ptr<AirTuner> tuner);
    // The running encoder of the connected tuner for the output pin, started on first use;
    // null without a tuner or when the encoder cannot encode (said once in the log).
    std::shared_ptr<AirPacketSource> encoding();

    AirDevice m_device;
    AirEncoderSettings m_settings;
    std::mutex m_tunerLock;  // guards the tuner, the encoder and its state
    std::shared_ptr<AirTuner> m_tuner;
    std::shared_ptr<AirEncoder> m_encoder;
    bool m_encoderStarted = false;
    bool m_encoderFailed = false;
    std::unique_ptr<InputPin> m_input;
    std::unique_ptr<AirStreamPin> m_output;
};
