// The real tuners of this machine in the device enumerator, beside (or instead of) the air's,
// and the setting that says which a user gets.
//
// PELMO_TUNERS = "air" | "real" | "both" chooses. It is an environment variable, like the
// platform's other settings (PELMO_BROADCAST, PELMO_REGISTRY), because the choice is made before
// the registry of the plug-in exists and differs per process (a test of the air on a machine
// with a stick). Unset or empty: a machine with real tuners and no catalogue configured gets
// its real tuners, one with both gets both, one without real tuners gets the air.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/devenum/DeviceRegistry.h"
#include "platform/linuxtv/DvbDeviceList.h"
#include "platform/linuxtv/V4l2DeviceRegistration.h"

class DvbTuner;

enum class TunerChoice { Air, Real, Both };

// False with `error` for a value that is not one of the three.
bool ParseTunerChoice(const std::string& text, TunerChoice& choice, std::string& error);
// $PELMO_TUNERS, or the default for what this machine has. A bad value is reported in `error`
// and the default used.
TunerChoice ChooseTuners(bool catalogueConfigured, bool realTunersPresent, std::string& error);
const char* TunerChoiceName(TunerChoice choice);

// Keeps one registration per front end (category KSCATEGORY_BDA_NETWORK_TUNER) for its lifetime.
// Every filter bound from one moniker shares that front end's tuner.
class LinuxTvDeviceRegistration {
public:
    explicit LinuxTvDeviceRegistration(const std::vector<DvbDevice>& devices);
    size_t size() const { return registrations_.size(); }
    std::shared_ptr<DvbTuner> tuner(const std::wstring& devicePath) const;

private:
    std::vector<std::shared_ptr<DvbTuner>> tuners_;
    std::vector<std::unique_ptr<ScopedDeviceRegistration>> registrations_;
};

// Finds the front ends under DvbDeviceRoot() and registers them; the ones that could not be
// opened are logged.
std::unique_ptr<LinuxTvDeviceRegistration> RegisterLinuxTvDevices();

// What the process that opens the platform registers: the real tuners (registered here, held by
// `real`) and whether it should register the air's devices too. `catalogueConfigured` is true
// when the user named a catalogue ($PELMO_BROADCAST). The choice is logged.
struct TunerSelection {
    TunerChoice choice = TunerChoice::Air;
    bool air = true;
    std::unique_ptr<LinuxTvDeviceRegistration> real;
    // The analog cards (V4L2 capture devices with a tuner), registered with their encoders.
    std::unique_ptr<V4l2DeviceRegistration> analog;
};
TunerSelection SelectTuners(bool catalogueConfigured);
