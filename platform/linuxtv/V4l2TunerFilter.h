// The filter of a real analog TV tuner (what BindToObject on its moniker gives): the same face as
// the air's analog tuner filter. It takes analog tune requests (a channel number, turned into a
// frequency by the tuning space's country and cable or antenna input) and auxiliary-input
// requests (the card's n-th other input). Its output is the card's analog video, which only the
// encoder of the same card takes (V4l2EncoderFilter). The device is opened at the first tune
// and kept while the tuner lives. The filter answers for the tuner's signal itself
// (IBDA_SignalStatistics): strength 0..100 from the tuner's status, present and locked when
// there is any, nothing while the device is not open.
#pragma once

#include <memory>
#include <string>

#include "platform/bda/AirStreamPin.h"
#include "platform/bda/BdaInterfaces.h"
#include "platform/graph/BaseFilter.h"
#include "platform/linuxtv/V4l2Tuner.h"

// {6F2A51C6-3B8E-4D27-9A14-7E0C5B2D9F31}
BDA_GUID(CLSID_V4l2TunerFilter, 0x6F2A51C6, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31);
// {6F2A51C7-3B8E-4D27-9A14-7E0C5B2D9F31}: the card behind a V4L2 device filter, so that the
// tuner and the encoder of one card find each other.
BDA_GUID(IID_IV4l2CardFilter, 0x6F2A51C7, 0x3B8E, 0x4D27, 0x9A, 0x14, 0x7E, 0x0C, 0x5B, 0x2D, 0x9F, 0x31);

struct IV4l2CardFilter : IUnknown {
    COM_INTERFACE(IV4l2CardFilter, IUnknown)
    // The device path this filter was registered under.
    virtual const std::wstring& cardDevicePath() = 0;
    virtual std::shared_ptr<V4l2Tuner> cardTuner() = 0;
};

// A V4L2 tuner and the device it opens: shared by the filters of one card.
struct V4l2Card {
    V4l2Device device;
    std::shared_ptr<V4l2Tuner> tuner = std::make_shared<V4l2Tuner>();
    std::wstring tunerPath, encoderPath;  // device paths in the enumerator
};

class V4l2TunerFilter : public CBaseFilter,
                        public ITuner,
                        public IBDA_SignalStatistics,
                        public IV4l2CardFilter {
public:
    explicit V4l2TunerFilter(std::shared_ptr<V4l2Card> card);
    ~V4l2TunerFilter() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    // E_INVALIDARG for a request this tuner cannot take (not analog, a channel outside the
    // country's plan or the tuner's range); E_FAIL when the device is busy, gone or refuses
    // (logged). The previous channel then stays.
    HRESULT get_TuneRequest(ITuneRequest** request) override;
    HRESULT put_TuneRequest(ITuneRequest* request) override;
    HRESULT Validate(ITuneRequest* request) override;

    HRESULT get_SignalStrength(LONG* strength) override;
    HRESULT get_SignalQuality(LONG* quality) override;
    HRESULT get_SignalPresent(BOOLEAN* present) override;
    HRESULT get_SignalLocked(BOOLEAN* locked) override;

    const std::wstring& cardDevicePath() override { return m_card->tunerPath; }
    std::shared_ptr<V4l2Tuner> cardTuner() override { return m_card->tuner; }

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    HRESULT apply(ITuneRequest* request, bool tune);

    std::shared_ptr<V4l2Card> m_card;
    std::unique_ptr<AirStreamPin> m_output;
    ComPtr<ITuneRequest> m_current;
};
