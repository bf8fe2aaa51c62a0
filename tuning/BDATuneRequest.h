// The one concrete tune request: turns medium strings into the platform's tune requests for
// DVB-T, ATSC and analog (cable, antenna, auxiliary input, with the set-top-box modes) and
// hands them to the tuner: through a network provider when one is given, otherwise through
// the Video Control's active input device. Also tests for a signal.
#pragma once

#include <functional>

#include "platform/bda/BdaInterfaces.h"
#include "platform/graph/GraphInterfaces.h"
#include "platform/vidctl/VidCtlInterfaces.h"
#include "tuning/TuneRequest.h"

class BDATuneRequest : public TuneRequest {
public:
    // Milliseconds between the five reads of the digital signal test, and the time after which
    // a read without lock ends it.
    static constexpr int kSignalPollMs = 500;
    static constexpr int kSignalGiveUpMs = 3000;
    static constexpr int kSignalReads = 5;

    // Any reference may be null. With a video control its active input device is taken at once.
    BDATuneRequest(IBaseFilter* networkProvider, IBaseFilter* tunerFilter, HuxSatellite* busClient,
                   IMSVidCtl* videoControl);
    ~BDATuneRequest() override;

    HRESULT init(std::wstring mediaType) override;
    HRESULT tune(std::wstring medium, VARIANT& request) override;
    HRESULT getMedium(std::wstring& medium) override;
    bool signalPresent(int32_t& strength) override;

    // The clock (milliseconds) and the pause of the digital signal test; tests replace them
    // to follow the rule without waiting.
    using TickCount = std::function<int64_t()>;
    using SleepMs = std::function<void(int)>;
    void setSignalTiming(TickCount tick, SleepMs sleep);

protected:
    // The tuner's statistics: every control node of its topology, a later node overwriting an
    // earlier one; quality capped at 100.
    HRESULT getSignalStatistics(bool& locked, bool& present, LONG& strength, LONG& quality);

private:
    HRESULT initAnalog(ITuningSpace* found);
    HRESULT tuneDvbt(const std::wstring& medium, ComPtr<ITuneRequest>& built, ComPtr<IDVBTLocator>& locator);
    HRESULT tuneAtsc(const std::wstring& medium, ComPtr<ITuneRequest>& built, ComPtr<IATSCLocator>& locator);
    HRESULT tuneAnalog(const std::wstring& medium, ComPtr<ITuneRequest>& built);
    HRESULT submit(ITuneRequest* built, VARIANT& request);
    bool analogSignalPresent(int32_t& strength);
    HRESULT findTunerFilter();

    std::wstring mediaType;
    // The locators of the last tune the tuner accepted, so that getMedium can name them.
    ComPtr<IATSCLocator> m_atscLocator;
    ComPtr<IATSCTuningSpace> m_atscTuningSpace;
    ComPtr<IDVBTLocator> m_dvbtLocator;
    ComPtr<IDVBTuningSpace2> m_dvbTuningSpace;
    ComPtr<IAuxInTuningSpace> m_auxInTuningSpace;
    ComPtr<IAnalogTVTuningSpace> m_analogTuningSpace;
    ComPtr<IBaseFilter> m_networkProvider;
    ComPtr<IBaseFilter> m_bdaTuner;
    ComPtr<IMSVidInputDevice> m_inputDevice;
    ComPtr<IMSVidCtl> m_videoControl;
    TickCount m_tick;
    SleepMs m_sleep;
};
