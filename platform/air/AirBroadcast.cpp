#include "platform/air/AirBroadcast.h"

#include <cmath>

#include <cstdlib>

#include "base/Log.h"
#include "platform/air/AirTuner.h"
#include "platform/air/TsPacket.h"
#include "platform/com/Types.h"

namespace {
std::mutex gInstanceMutex;
std::shared_ptr<AirBroadcast> gInstance;
bool gTried = false;
std::string gError;
}  // namespace

AirBroadcast::AirBroadcast(std::unique_ptr<AirCatalogue> catalogue) : catalogue_(std::move(catalogue)) {
    double speed = catalogue_->speed();
    const char* env = std::getenv("PELMO_AIR_SPEED");
    if (env && *env) {
        char* end = nullptr;
        double s = std::strtod(env, &end);
        if (*end == '\0' && s >= 0.01 && s <= 1000.0) speed = s;
    }
    speed_ = speed;
    if (catalogue_->setTopBox().present) stbChannel_ = catalogue_->setTopBox().channel;
}

std::shared_ptr<AirBroadcast> AirBroadcast::open(const std::string& cataloguePath, std::string& error) {
    auto catalogue = AirCatalogue::load(cataloguePath, true, error);
    if (!catalogue) return nullptr;
    return std::shared_ptr<AirBroadcast>(new AirBroadcast(std::move(catalogue)));
}

std::shared_ptr<AirBroadcast> AirBroadcast::instance() {
    std::lock_guard<std::mutex> lock(gInstanceMutex);
    if (!gInstance && !gTried) {
        gTried = true;
        std::string path = AirCatalogue::defaultPath();
        gInstance = open(path, gError);
        if (gInstance)
            info(L"[Air] broadcast %S: %d devices, %d multiplexes and channels on air", path.c_str(),
                 int(gInstance->catalogue().devices().size()),
                 int(gInstance->catalogue().multiplexes().size()));
        else
            error(L"[Air] no broadcast: %S", gError.c_str());
    }
    return gInstance;
}

std::string AirBroadcast::lastError() {
    std::lock_guard<std::mutex> lock(gInstanceMutex);
    return gError;
}

void AirBroadcast::setInstance(std::shared_ptr<AirBroadcast> broadcast) {
    std::lock_guard<std::mutex> lock(gInstanceMutex);
    gInstance = std::move(broadcast);
    // Clearing it lets the next instance() open the catalogue again.
    gTried = gInstance != nullptr;
    gError.clear();
}

void AirBroadcast::setSpeed(double speed) {
    if (!(speed >= 0.01 && speed <= 1000.0)) return;
    std::lock_guard<std::mutex> lock(clockMutex_);
    // The clock keeps the time it has reached and runs on at the new rate.
    clockMs_ = elapsedMsLocked();
    clockWall_ = std::chrono::steady_clock::now();
    speed_ = speed;
}

double AirBroadcast::elapsedMsLocked() const {
    if (manualClock_) return clockMs_;
    double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - clockWall_).count();
    return clockMs_ + wall * speed_.load();
}

double AirBroadcast::nowMs() const {
    std::lock_guard<std::mutex> lock(clockMutex_);
    return elapsedMsLocked();
}

void AirBroadcast::setManualClock(bool manual) {
    std::lock_guard<std::mutex> lock(clockMutex_);
    // A clock moved by hand starts on a whole millisecond, so that times a test steps to come
    // out exact instead of a rounding error short of a fault's edge.
    clockMs_ = manual ? std::ceil(elapsedMsLocked()) : elapsedMsLocked();
    clockWall_ = std::chrono::steady_clock::now();
    manualClock_ = manual;
}

void AirBroadcast::advanceMs(double ms) {
    std::lock_guard<std::mutex> lock(clockMutex_);
    if (manualClock_ && ms > 0) clockMs_ += ms;
}

std::shared_ptr<AirTuner> AirBroadcast::tuner(const std::wstring& nameOrPath) {
    const AirDevice* d = catalogue_->findDevice(nameOrPath);
    if (!d || (d->category != AirDeviceCategory::NetworkTuner && d->category != AirDeviceCategory::TvTuner))
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = tuners_[d->devicePath];
    auto t = slot.lock();
    if (!t) {
        t = std::make_shared<AirTuner>(shared_from_this(), *d);
        slot = t;
    }
    return t;
}

std::shared_ptr<const AirClip> AirBroadcast::clip(const AirMultiplex& m, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clips_.find(m.file);
    if (it != clips_.end()) return it->second;
    auto c = AirClip::load(m.file, m.bitrate, error);
    if (c) {
        clips_[m.file] = c;
    } else {
        ::error(L"[Air] %s cannot go on air: %S", m.describe().c_str(), error.c_str());
    }
    return c;
}

int64_t AirBroadcast::airTicks() const {
    return int64_t(nowMs() * double(tspacket::kClockHz / 1000));
}

int32_t AirBroadcast::setTopBoxTuneToChannel(int channel) {
    if (!catalogue_->setTopBox().present) return E_FAIL;
    if (!catalogue_->findAnalog(channel)) return E_INVALIDARG;
    stbChannel_ = channel;
    info(L"[Air] set-top box switched to channel %d", channel);
    std::vector<std::shared_ptr<AirTuner>> listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : tuners_)
            if (auto t = entry.second.lock()) listeners.push_back(t);
    }
    for (auto& t : listeners) t->setTopBoxChanged();
    return S_OK;
}
