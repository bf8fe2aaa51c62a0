// The MPEG encoder of a real analog card, in software: the same encoder (AirEncoder) as the
// air's analog cards have. Its input takes the analog video of the tuner of its own card only (a
// tuner of another card cannot be wired to it, so such a graph does not build); its output is
// the live encode of the card's pictures (silent sound: see V4l2Capture) as an MPEG-2 transport
// stream of one programme. The encoder runs while the output streams: from the first sample
// the graph asks for until the filter stops.
#pragma once

#include <memory>
#include <mutex>

#include "platform/air/AirEncoder.h"
#include "platform/bda/AirStreamPin.h"
#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/linuxtv/V4l2TunerFilter.h"

// {6F2A51C8-3B8E-4D27-9A14-7E0C5B2D9F31}
BDA_GUID(CLSID_V4l2EncoderFilter, 0x6F2A51C8, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31);

class V4l2EncoderFilter : public CBaseFilter, public IV4l2CardFilter {
public:
    explicit V4l2EncoderFilter(std::shared_ptr<V4l2Card> card);
    ~V4l2EncoderFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    // Stops the output, then the encoder (its readers are gone).
    HRESULT Stop() override;

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;

    const std::wstring& cardDevicePath() override { return m_card->encoderPath; }
    std::shared_ptr<V4l2Tuner> cardTuner() override { return m_card->tuner; }
    // The encoder while it is encoding for this filter's output, else null.
    std::shared_ptr<AirEncoder> encoder();

    // What the encoder makes of a card: a full-size picture at the rate of its video standard.
    static AirEncoderSettings settingsFor(const V4l2Tuner& tuner);

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    class InputPin;
    friend class InputPin;
    void setConnected(bool connected);
    // The running encoder for the output pin, started on first use; null when not connected or
    // when the card cannot be encoded (said once in the log).
    std::shared_ptr<AirPacketSource> encoding();

    std::shared_ptr<V4l2Card> m_card;
    std::mutex m_encoderLock;  // guards the encoder and its state
    bool m_connected = false;
    std::shared_ptr<AirEncoder> m_encoder;
    bool m_encoderStarted = false;
    bool m_encoderFailed = false;
    std::unique_ptr<InputPin> m_input;
    std::unique_ptr<AirStreamPin> m_output;
};
