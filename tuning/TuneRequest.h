// What the TV control object holds to put one tuner on one channel. The concrete request
// reads medium strings (MediumString) by the media type of its last init.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/Types.h"
#include "platform/com/Variant.h"

class HuxSatellite;

// Set-top-box modes of tuningSpace.
enum TuningSpaceMode : int32_t {
    kTuneDirect = 0,         // no set-top box
    kTuneAuxInput = 2,       // a box feeds an auxiliary video input; tuningChannel picks it (0 or 1)
    kTuneFixedChannel = 20,  // a box feeds the aerial input; the tuner stays on tuningChannel
};

// Where the tuner settings live (machine-wide hive), DWORD values.
inline constexpr const wchar_t* kTunerSettingsKey = L"Software\\Kelvarin\\Pelmo\\PelmoTV";

class TuneRequest {
public:
    // busClient may be null; a set-top-box request then fails. Loads the tuner settings.
    explicit TuneRequest(HuxSatellite* busClient);
    virtual ~TuneRequest() = default;
    TuneRequest(const TuneRequest&) = delete;
    TuneRequest& operator=(const TuneRequest&) = delete;

    // Remembers the media type and prepares the tuning space for it.
    virtual HRESULT init(std::wstring mediaType) = 0;
    // Tunes the channel named by the medium string; request receives the platform's tune
    // request, or stays empty.
    virtual HRESULT tune(std::wstring medium, VARIANT& request) = 0;
    // The current channel as a medium string of the current media type.
    virtual HRESULT getMedium(std::wstring& medium) = 0;
    virtual bool signalPresent(int32_t& strength) = 0;

    void setTuningSpace(int32_t value) { tuningSpace = value; }
    int32_t getTuningSpace() const { return tuningSpace; }
    void setTuningChannel(int32_t value) { tuningChannel = value; }
    int32_t getTuningChannel() const { return tuningChannel; }
    void setTunerInput(int32_t value) { tunerInput = value; }
    int32_t getTunerInput() const { return tunerInput; }
    int32_t getCountryCode() const { return countryCode; }

    // Asks whichever component serves "STBTuneToChannel" on the bus to switch the set-top box
    // to `channel`. E_FAIL without a bus client; otherwise 0, whatever the bus answered.
    HRESULT requestIRChannel(int32_t channel);

protected:
    // Defaults, then "CountryCode", "TunerInput", "DVBTFrequencyOffset", "HasSetTopBox" and,
    // with a set-top box, "TuningChannel"; a value that is missing or not a DWORD keeps its
    // default.
    void loadSettings();

    int32_t tuningSpace = kTuneDirect;
    int32_t tuningChannel = 0;
    int32_t countryCode = 1;
    int32_t tunerInput = 0;  // 0 cable, 1 antenna

public:
    // Read directly by the digital scan: it retries a frequency without lock at plus and minus
    // this amount when it is above 0.
    int32_t dvbtFrequencyOffset = 0;

protected:
    HuxSatellite* busClient;
};
