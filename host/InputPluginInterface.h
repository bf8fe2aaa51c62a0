// The host's interface of an input plug-in: the object InputPluginFactory returns.
#pragma once

#include <cstdint>

#include "host/ErrorReport.h"
#include "host/InputStream.h"
#include "host/Medium.h"

namespace pelmo::streamer {

// Integer statuses of this interface: 0 success, 2 failure or not supported.
enum PluginStatus : int { kPluginOk = 0, kPluginFailed = 2 };

class InputPluginInterface : public InputStream {
public:
    virtual bool open(Medium& medium, ErrorReport& report) = 0;
    virtual bool updateMedium(Medium& medium, ErrorReport& report) = 0;
    virtual bool close() = 0;
    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual bool pause() = 0;
    virtual bool resume() = 0;
    // Positions in milliseconds.
    virtual int getPosition(int64_t& milliseconds) = 0;
    virtual int setPosition(int64_t milliseconds) = 0;
    virtual int setPlaybackRate(int32_t numerator, int32_t denominator) = 0;
    virtual int selectTrack(int32_t kind, int32_t index) = 0;
    virtual bool isLive() = 0;
    virtual void describeMedium(Medium& medium) = 0;
    virtual void setUserData(intptr_t data) = 0;
    virtual bool isFileBased() = 0;
    virtual bool hasDuration() = 0;
    virtual bool setOption(intptr_t option) = 0;
    virtual bool getViewport(intptr_t x, intptr_t y, intptr_t width, intptr_t height) = 0;
    virtual void notify(intptr_t event, intptr_t value) = 0;
};

}  // namespace pelmo::streamer

// The one symbol a plug-in module exports.
extern "C" {
typedef pelmo::streamer::InputPluginInterface* (*InputPluginFactoryFunction)();
}
