// The set-top box's infra-red receiver, as a client of the message bus: it serves
// "STBTuneToChannel" (the channel as a 32-bit integer) and switches the broadcast's set-top
// box to that channel, so whatever the box feeds changes with it.
#pragma once

#include <memory>
#include <string>

#include "platform/hux/HuxSatellite.h"

class AirBroadcast;

class AirSetTopBoxService : public HuxSatellite {
public:
    explicit AirSetTopBoxService(std::shared_ptr<AirBroadcast> broadcast);
    ~AirSetTopBoxService() override;

    HRESULT DeclareServices() override;
    // Status: S_OK with the channel in the reply, E_INVALIDARG for an argument that is not an
    // integer or a channel that is not on air, E_FAIL when the broadcast has no set-top box.
    HRESULT tuneToChannel(const std::wstring& service, VARIANT& args, VARIANT* reply);

private:
    std::shared_ptr<AirBroadcast> broadcast_;
};
