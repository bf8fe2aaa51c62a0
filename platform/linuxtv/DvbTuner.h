// A real DVB tuner: its front end, put on a multiplex by DVB-T frequency and bandwidth or by ATSC
// physical channel, and the transport stream of what it receives. The front end is opened at the
// first tune and kept (this process is then its controller) until powerDown; each tune starts a
// new stream and ends the previous one as retuned, as the air's tuner does.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/linuxtv/DvbDeviceList.h"
#include "platform/linuxtv/DvbFrontend.h"
#include "platform/linuxtv/DvbTransportStream.h"

class DvbTuner {
public:
    explicit DvbTuner(DvbDevice device);
    ~DvbTuner();

    // S_OK when the front end took the tuning (lock comes later, see signal()), E_INVALIDARG
    // for values this tuner cannot take (the previous tuning stays), E_FAIL when the device is
    // busy, gone or refuses (lastError() says which; a warning is logged). A frequency outside
    // the front end's range is tuned like an empty channel: S_OK, no signal, nothing received.
    // A bandwidth of 0 is "not given": left to a front end with FE_CAN_BANDWIDTH_AUTO, else 8 MHz.
    int32_t tuneDvbt(long frequencyKHz, long bandwidthMHz);
    int32_t tuneAtsc(long physicalChannel);
    bool receives(fe_delivery_system system) const;
    // Ends the stream and lets go of the front end.
    void powerDown();
    // Receives `stream` (set up elsewhere, e.g. a recorded multiplex replayed through a pipe) as
    // if a tune had started it: the previous stream ends as retuned.
    void receive(std::shared_ptr<DvbTransportStream> stream);

    // Not present and not locked while nothing is tuned or the device is gone.
    DvbSignal signal() const;
    // What is received since the last tune, null when nothing is tuned.
    std::shared_ptr<DvbTransportStream> stream() const;
    const DvbDevice& device() const { return device_; }
    std::string lastError() const;

private:
    int32_t tune(const std::vector<dtv_property>& props, uint64_t hz, const std::string& what);
    int32_t fail(int32_t hr, const std::string& why);
    std::string name() const;  // the friendly name, for the log

    DvbDevice device_;
    mutable std::mutex mutex_;
    DvbFrontend frontend_;
    std::shared_ptr<DvbTransportStream> stream_;
    bool outOfRange_ = false;  // on a frequency the front end cannot reach
    std::string error_;
};
