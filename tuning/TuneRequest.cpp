#include "tuning/TuneRequest.h"

#include "base/CRegistry.h"
#include "base/Log.h"
#include "platform/hux/HuxSatellite.h"

TuneRequest::TuneRequest(HuxSatellite* busClient) : busClient(busClient) {
    loadSettings();
}

void TuneRequest::loadSettings() {
    tuningSpace = kTuneDirect;
    tuningChannel = 0;
    countryCode = 1;
    tunerInput = 0;
    dvbtFrequencyOffset = 0;
    int32_t hasSetTopBox = 0;
    readRegistryDWORD(kTunerSettingsKey, L"CountryCode", countryCode);
    readRegistryDWORD(kTunerSettingsKey, L"TunerInput", tunerInput);
    readRegistryDWORD(kTunerSettingsKey, L"DVBTFrequencyOffset", dvbtFrequencyOffset);
    readRegistryDWORD(kTunerSettingsKey, L"HasSetTopBox", hasSetTopBox);
    if (hasSetTopBox != 0) {
        tuningSpace = kTuneAuxInput;
        readRegistryDWORD(kTunerSettingsKey, L"TuningChannel", tuningChannel);
        if (tuningChannel > 1) tuningSpace = kTuneFixedChannel;
    }
    debug(L"TuningSpace %d TunerInput %d ", tuningSpace, tunerInput);
}

HRESULT TuneRequest::requestIRChannel(int32_t channel) {
    if (!busClient) return E_FAIL;
    debug(L"Request IR channel");
    CComVariant args(static_cast<LONG>(channel));
    CComVariant reply;
    CComVariant status;
    // The box's answer does not matter: the tuning that follows does not depend on it.
    busClient->Request(L"any", L"STBTuneToChannel", args, &reply, HUX_WAIT_REPLY, &status);
    args.Clear();
    reply.Clear();
    status.Clear();
    return S_OK;
}
