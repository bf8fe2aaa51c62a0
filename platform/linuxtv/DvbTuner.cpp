#include "platform/linuxtv/DvbTuner.h"

#include <algorithm>
#include <cerrno>

#include "base/Log.h"
#include "platform/com/Types.h"
#include "platform/linuxtv/DvbTuneParameters.h"

DvbTuner::DvbTuner(DvbDevice device) : device_(std::move(device)) {}

DvbTuner::~DvbTuner() {
    powerDown();
}

bool DvbTuner::receives(fe_delivery_system system) const {
    return std::find(device_.systems.begin(), device_.systems.end(), system) != device_.systems.end();
}

std::string DvbTuner::name() const {
    return std::string(device_.friendlyName.begin(), device_.friendlyName.end());
}

int32_t DvbTuner::fail(int32_t hr, const std::string& why) {
    warn(L"[LinuxTV] %S: %S", name().c_str(), why.c_str());
    std::lock_guard<std::mutex> guard(mutex_);
    error_ = why;
    return hr;
}

int32_t DvbTuner::tuneDvbt(long frequencyKHz, long bandwidthMHz) {
    // Not given (0): left to a front end that can find it, else the most common one.
    if (bandwidthMHz == 0) {
        bandwidthMHz = DvbtBandwidthWhenNotGiven(device_.caps);
        info(bandwidthMHz == 0
                 ? L"[LinuxTV] %S: no bandwidth given for %ld kHz; the front end finds it"
                 : L"[LinuxTV] %S: no bandwidth given for %ld kHz and the front end cannot find it; "
                   L"tuning at 8 MHz",
             name().c_str(), frequencyKHz);
    }
    std::string error;
    std::vector<dtv_property> props =
        DvbtTuneProperties(DvbtSystemFor(device_.systems), frequencyKHz, bandwidthMHz, error);
    if (props.empty()) return fail(E_INVALIDARG, error);
    std::string what = std::to_string(frequencyKHz) + " kHz";
    what += bandwidthMHz == 0 ? " (bandwidth found by the front end)"
                              : ", " + std::to_string(bandwidthMHz) + " MHz";
    return tune(props, uint64_t(frequencyKHz) * 1000u, what);
}

int32_t DvbTuner::tuneAtsc(long physicalChannel) {
    if (!receives(SYS_ATSC)) return fail(E_INVALIDARG, "this front end does not receive ATSC");
    std::string error;
    std::vector<dtv_property> props = AtscTuneProperties(physicalChannel, error);
    if (props.empty()) return fail(E_INVALIDARG, error);
    return tune(props, AtscChannelFrequencyHz(int(physicalChannel)),
                "physical channel " + std::to_string(physicalChannel));
}

int32_t DvbTuner::tune(const std::vector<dtv_property>& props, uint64_t hz, const std::string& what) {
    std::shared_ptr<DvbTransportStream> old;
    std::string error;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        old = std::move(stream_);
    }
    if (old) old->close(AirEndReason::Retuned);
    old.reset();
    std::unique_lock<std::mutex> lock(mutex_);
    if (!frontend_.isOpen() && !frontend_.open(device_.frontendPath, true, error)) {
        lock.unlock();
        return fail(E_FAIL, error);
    }
    int err = 0;
    outOfRange_ = false;
    if (!frontend_.setProperties(props, error, &err)) {
        // The front end says what it can be tuned to for the system just set: a frequency off
        // that range is, as on the air, a tune to where nothing is on air. It succeeds and
        // receives nothing (a scan steps over it; a tuner path's default channel opens on it).
        // Any other value it refuses is a failure with its reason.
        DvbFrontendInfo range;
        std::string ignored;
        if (err == EINVAL && frontend_.info(range, ignored) && DvbOutsideRange(range, hz)) {
            outOfRange_ = true;
            error_.clear();
            lock.unlock();
            info(L"[LinuxTV] nothing can be received at %S: %S (it tunes %u to %u kHz)", what.c_str(),
                 error.c_str(), range.frequencyMin / 1000u, range.frequencyMax / 1000u);
            return S_OK;
        }
        if (err == EINVAL) {
            lock.unlock();
            return fail(E_FAIL, error + " at " + what);
        }
        // A front end that went away answers every call with an error from now on: start
        // afresh at the next tune.
        frontend_.close();
        lock.unlock();
        return fail(E_FAIL, error + " at " + what);
    }
    std::unique_ptr<DvbTransportStream> s =
        DvbTransportStream::open(device_.demuxPath, device_.dvrPath, error);
    if (!s) {
        lock.unlock();
        return fail(E_FAIL, error);
    }
    stream_ = std::move(s);
    error_.clear();
    return S_OK;
}

void DvbTuner::powerDown() {
    std::shared_ptr<DvbTransportStream> old;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        old = std::move(stream_);
        outOfRange_ = false;
        frontend_.close();
    }
    if (old) old->close(AirEndReason::Stopped);
}

void DvbTuner::receive(std::shared_ptr<DvbTransportStream> stream) {
    std::shared_ptr<DvbTransportStream> old;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        old = std::move(stream_);
        stream_ = std::move(stream);
    }
    if (old) old->close(AirEndReason::Retuned);
}

DvbSignal DvbTuner::signal() const {
    std::lock_guard<std::mutex> guard(mutex_);
    DvbSignal s;
    std::string error;
    // Off the front end's range its status still tells of the previous multiplex.
    if (outOfRange_ || !frontend_.isOpen() || !frontend_.readSignal(s, error)) return DvbSignal{};
    return s;
}

std::shared_ptr<DvbTransportStream> DvbTuner::stream() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stream_;
}

std::string DvbTuner::lastError() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return error_;
}
