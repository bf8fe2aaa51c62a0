#include "platform/air/AirSetTopBoxService.h"

#include "base/Log.h"
#include "platform/air/AirBroadcast.h"

AirSetTopBoxService::AirSetTopBoxService(std::shared_ptr<AirBroadcast> broadcast)
    : broadcast_(std::move(broadcast)) {}

AirSetTopBoxService::~AirSetTopBoxService() {
    Disconnect();
}

HRESULT AirSetTopBoxService::DeclareServices() {
    return AddService(
        L"STBTuneToChannel", L"",
        new HuxSatelliteDelegateMember<AirSetTopBoxService>(this, &AirSetTopBoxService::tuneToChannel));
}

HRESULT AirSetTopBoxService::tuneToChannel(const std::wstring&, VARIANT& args, VARIANT* reply) {
    LONG channel;
    if (args.vt == VT_I4) {
        channel = args.lVal;
    } else if (args.vt == VT_I2) {
        channel = args.iVal;
    } else {
        warn(L"[Air] STBTuneToChannel: the channel must be an integer, not type %d", int(args.vt));
        return E_INVALIDARG;
    }
    HRESULT hr = broadcast_->setTopBoxTuneToChannel(channel);
    if (FAILED(hr)) {
        warn(L"[Air] STBTuneToChannel %d refused: %X", channel, hr);
        return hr;
    }
    if (reply) {
        VariantClear(reply);
        reply->vt = VT_I4;
        reply->lVal = channel;
    }
    return S_OK;
}
