#include "platform/linuxtv/LinuxTvDevices.h"

#include <cstdlib>

#include "base/Log.h"
#include "platform/devenum/DevEnum.h"
#include "platform/linuxtv/DvbTunerFilter.h"

bool ParseTunerChoice(const std::string& text, TunerChoice& choice, std::string& error) {
    if (text == "air") {
        choice = TunerChoice::Air;
    } else if (text == "real") {
        choice = TunerChoice::Real;
    } else if (text == "both") {
        choice = TunerChoice::Both;
    } else {
        error = "PELMO_TUNERS is \"" + text.substr(0, 40) + "\"; it takes air, real or both";
        return false;
    }
    return true;
}

TunerChoice ChooseTuners(bool catalogueConfigured, bool realTunersPresent, std::string& error) {
    const char* env = std::getenv("PELMO_TUNERS");
    TunerChoice choice = TunerChoice::Air;
    if (env && *env && ParseTunerChoice(env, choice, error)) return choice;
    if (!realTunersPresent) return TunerChoice::Air;
    return catalogueConfigured ? TunerChoice::Both : TunerChoice::Real;
}

const char* TunerChoiceName(TunerChoice choice) {
    switch (choice) {
        case TunerChoice::Air:
            return "air";
        case TunerChoice::Real:
            return "real";
        case TunerChoice::Both:
            return "both";
    }
    return "air";
}

LinuxTvDeviceRegistration::LinuxTvDeviceRegistration(const std::vector<DvbDevice>& devices) {
    for (const DvbDevice& d : devices) {
        auto tuner = std::make_shared<DvbTuner>(d);
        tuners_.push_back(tuner);
        DeviceRecord r;
        r.category = KSCATEGORY_BDA_NETWORK_TUNER;
        r.friendlyName = d.friendlyName;
        r.devicePath = d.devicePath;
        r.factory = [tuner](REFIID riid, void** ppv) -> HRESULT {
            ComPtr<DvbTunerFilter> filter;
            filter.Attach(CreateComObject<DvbTunerFilter>(tuner));
            return filter->QueryInterface(riid, ppv);
        };
        registrations_.push_back(std::make_unique<ScopedDeviceRegistration>(std::move(r)));
    }
}

std::shared_ptr<DvbTuner> LinuxTvDeviceRegistration::tuner(const std::wstring& devicePath) const {
    for (const auto& t : tuners_)
        if (t->device().devicePath == devicePath) return t;
    return nullptr;
}

std::unique_ptr<LinuxTvDeviceRegistration> RegisterLinuxTvDevices() {
    std::vector<std::string> problems;
    std::vector<DvbDevice> devices = FindDvbDevices(DvbDeviceRoot(), &problems);
    for (const std::string& p : problems) warn(L"[LinuxTV] a tuner is left out: %S", p.c_str());
    for (const DvbDevice& d : devices)
        info(L"[LinuxTV] tuner \"%s\" at %s", d.friendlyName.c_str(), d.devicePath.c_str());
    return std::make_unique<LinuxTvDeviceRegistration>(devices);
}

TunerSelection SelectTuners(bool catalogueConfigured) {
    std::vector<std::string> problems;
    std::vector<DvbDevice> devices = FindDvbDevices(DvbDeviceRoot(), &problems);
    for (const std::string& p : problems) warn(L"[LinuxTV] a tuner is left out: %S", p.c_str());
    std::vector<V4l2Device> cards = FindV4l2Tuners(DvbDeviceRoot());
    std::string error;
    TunerSelection s;
    s.choice = ChooseTuners(catalogueConfigured, !devices.empty() || !cards.empty(), error);
    if (!error.empty()) warn(L"[LinuxTV] %S", error.c_str());
    s.air = s.choice != TunerChoice::Real;
    info(L"[LinuxTV] tuners: %S (%d real)", TunerChoiceName(s.choice),
         static_cast<int>(devices.size() + cards.size()));
    if (s.choice == TunerChoice::Air) return s;
    if (devices.empty() && cards.empty())
        warn(L"[LinuxTV] real tuners were chosen but none was found under %S", DvbDeviceRoot().c_str());
    for (const DvbDevice& d : devices)
        info(L"[LinuxTV] tuner \"%s\" at %s", d.friendlyName.c_str(), d.devicePath.c_str());
    s.real = std::make_unique<LinuxTvDeviceRegistration>(devices);
    for (const V4l2Device& d : cards)
        info(L"[LinuxTV] analog tuner \"%s\" at %S", d.friendlyName.c_str(), d.path.c_str());
    s.analog = std::make_unique<V4l2DeviceRegistration>(DvbDeviceRoot(), cards);
    return s;
}
