#include "platform/air/AirTuner.h"

#include <cmath>

#include "base/Log.h"
#include "platform/air/AirBroadcast.h"
#include "platform/com/Types.h"

AirTuner::AirTuner(std::shared_ptr<AirBroadcast> broadcast, const AirDevice& device)
    : broadcast_(std::move(broadcast)), device_(device) {}

AirTuner::~AirTuner() {
    powerDown();
}

int32_t AirTuner::tuneDvbt(int frequencyKHz, int bandwidthMHz) {
    if (device_.receives != "dvbt") return E_INVALIDARG;
    // A bandwidth of -1 is "not given": the tuner finds the multiplex at any bandwidth.
    if (frequencyKHz < 47000 || frequencyKHz > 862000) return E_INVALIDARG;
    if (bandwidthMHz != -1 && (bandwidthMHz < 5 || bandwidthMHz > 8)) return E_INVALIDARG;
    return retune(Source::Dvbt, frequencyKHz, bandwidthMHz);
}

int32_t AirTuner::tuneAtsc(int physicalChannel) {
    if (device_.receives != "atsc") return E_INVALIDARG;
    if (physicalChannel < 2 || physicalChannel > 69) return E_INVALIDARG;
    return retune(Source::Atsc, physicalChannel, 0);
}

int32_t AirTuner::tuneAnalog(int channel) {
    if (device_.receives != "analog") return E_INVALIDARG;
    if (channel < 1 || channel > 300) return E_INVALIDARG;
    return retune(Source::Analog, channel, 0);
}

int32_t AirTuner::selectAuxInput(int input) {
    if (device_.receives != "analog") return E_INVALIDARG;
    if (input < 0 || input > 1) return E_INVALIDARG;
    return retune(Source::AuxInput, input, 0);
}

void AirTuner::powerDown() {
    std::shared_ptr<AirStream> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source_ = Source::None;
        multiplex_ = nullptr;
        old.swap(stream_);
    }
    if (old) old->stop(AirEndReason::SignalLost);
}

const AirMultiplex* AirTuner::resolve(Source source, int value, int bandwidth) const {
    const AirCatalogue& c = broadcast_->catalogue();
    const AirSetTopBox& box = c.setTopBox();
    bool wired = box.present && (box.tuner.empty() || box.tuner == device_.devicePath);
    switch (source) {
        case Source::Dvbt:
            return c.findDvbt(value, bandwidth);
        case Source::Atsc:
            return c.findAtsc(value);
        case Source::Analog:
            // The box's modulator on its output channel outshines a broadcast there.
            if (wired && !box.auxInput && box.tunerChannel == value)
                return c.findAnalog(broadcast_->setTopBoxChannel());
            return c.findAnalog(value);
        case Source::AuxInput:
            if (wired && box.auxInput && box.input == value)
                return c.findAnalog(broadcast_->setTopBoxChannel());
            return nullptr;
        case Source::None:
            break;
    }
    return nullptr;
}

int32_t AirTuner::retune(Source source, int value, int bandwidth) {
    const AirMultiplex* m = resolve(source, value, bandwidth);
    std::shared_ptr<const AirClip> clip;
    std::string error;
    if (m) clip = broadcast_->clip(*m, error);
    double speed = broadcast_->speed();
    std::shared_ptr<AirStream> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old.swap(stream_);
        source_ = source;
        value_ = value;
        bandwidth_ = bandwidth;
        multiplex_ = clip ? m : nullptr;
        tunedAtMs_ = broadcast_->nowMs();
        error_ = error;
        if (clip) {
            // The stream carries only what the tuner receives: nothing before lock, nothing
            // while the signal is gone or the tuner locks again.
            AirMultiplex faults = *m;
            faults.services.clear();
            stream_ = std::make_shared<AirStream>(
                clip, speed, broadcast_->airTicks(), int(std::ceil(m->lockMs / speed)),
                [faults](double msSinceTune) { return faults.signalAt(msSinceTune).locked; });
        }
    }
    if (old) old->stop(AirEndReason::Retuned);
    if (isDebugEnabled()) {
        std::wstring what = m ? m->describe() : std::wstring(L"nothing");
        debug(L"[Air] %s tuned (%d/%d): receives %s", device_.friendlyName.c_str(), value, bandwidth,
              what.c_str());
    }
    return m && !clip ? E_FAIL : S_OK;
}

void AirTuner::setTopBoxChanged() {
    Source source;
    int value, bandwidth;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = source_;
        value = value_;
        bandwidth = bandwidth_;
    }
    const AirSetTopBox& box = broadcast_->catalogue().setTopBox();
    if (!box.tuner.empty() && box.tuner != device_.devicePath) return;
    bool watching = (source == Source::AuxInput && box.auxInput && box.input == value) ||
                    (source == Source::Analog && !box.auxInput && box.tunerChannel == value);
    if (watching) retune(source, value, bandwidth);
}

AirSignal AirTuner::signal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!multiplex_) return AirSignal();
    return multiplex_->signalAt(broadcast_->nowMs() - tunedAtMs_);
}

double AirTuner::msSinceTune() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return multiplex_ ? broadcast_->nowMs() - tunedAtMs_ : 0;
}

std::shared_ptr<AirStream> AirTuner::stream() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_;
}

const AirMultiplex* AirTuner::multiplex() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return multiplex_;
}

int AirTuner::analogChannel() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return multiplex_ && multiplex_->system == AirSystem::Analog ? multiplex_->channel : -1;
}

std::string AirTuner::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

double AirTuner::broadcastSpeed() const {
    return broadcast_->speed();
}
