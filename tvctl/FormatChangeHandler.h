// How the TV control object steers the plug-in's delivery.
#pragma once

#include "platform/com/Types.h"

class FormatChangeHandler {
public:
    // A channel scan takes the tuner: samples of digital channels are thrown away meanwhile.
    virtual LONG suspendDelivery() = 0;
    virtual LONG resumeDelivery() = 0;
    // Tear down before a change of the stream format, and rebuild after it.
    virtual LONG formatChanging() = 0;
    virtual LONG formatChanged() = 0;

protected:
    // Not deleted through this interface.
    ~FormatChangeHandler() = default;
};
