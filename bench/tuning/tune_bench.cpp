// Time from a tune to the first packet of the tuned multiplex at the Video Control's output,
// and to the signal test answering true, for every multiplex and analog channel of a
// broadcast, each against the catalogue's lock time for it (the limit a real tuner sets).
// The tune request runs with its own timing (reads 500 ms apart), the air at the given speed.
//
//   tune_bench [broadcast.xml] [speed] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/air/AirBroadcast.h"
#include "platform/vidctl/AirPlatform.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidTestSink.h"
#include "platform/vidctl/VideoControl.h"
#include "tuning/BDATuneRequest.h"
#include "tuning/MediaType.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Setup {
    const wchar_t* mediaType;
    GUID category;
    std::string receives;
};

// The first tuner of the catalogue that receives the system.
std::wstring tunerFor(const AirCatalogue& c, const std::string& receives) {
    for (const AirDevice& d : c.devices())
        if ((d.category == AirDeviceCategory::NetworkTuner || d.category == AirDeviceCategory::TvTuner) &&
            d.receives == receives)
            return d.friendlyName;
    return std::wstring();
}

std::wstring mediumOf(const AirMultiplex& m) {
    switch (m.system) {
        case AirSystem::DVBT:
            return std::to_wstring(m.frequencyKHz + m.offsetKHz) + L"/" + std::to_wstring(m.bandwidthMHz) +
                   L"/-1/-1/-1";
        case AirSystem::ATSC:
            return std::to_wstring(m.physicalChannel) + L"/-1/-1";
        case AirSystem::Analog:
            break;
    }
    return std::to_wstring(m.channel);
}

HRESULT activate(IMSVidCtl* control, const GUID& category, const std::wstring& name) {
    ComPtr<IMSVidInputDevices> inputs;
    HRESULT hr = control->_InputsAvailable(&category, &inputs);
    if (FAILED(hr)) return hr;
    LONG count = 0;
    inputs->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IMSVidInputDevice> device;
        ComPtr<IMSVidDevice> d;
        CComBSTR n;
        inputs->get_Item(CComVariant(i), &device);
        device.As(&d);
        d->get_Name(&n);
        if (n.str() == name) return control->put_InputActive(device.Get());
    }
    return E_FAIL;
}

// Input, the card's first encoder for analog, the recording sink; then running.
HRESULT prepare(IMSVidCtl* control, const GUID& category, const std::wstring& tuner, bool analog) {
    control->Decompose();
    HRESULT hr = activate(control, category, tuner);
    if (FAILED(hr)) return hr;
    ComPtr<IMSVidFeatures> available, features;
    control->get_FeaturesAvailable(&available);
    CoCreateInstance(CLSID_MSVidFeatures, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidFeatures,
                     reinterpret_cast<void**>(&features));
    if (analog) {
        ComPtr<IMSVidFeature> encoder;
        if (FAILED(available->get_Item(CComVariant(LONG(0)), &encoder))) return E_FAIL;
        features->Add(encoder.Get());
    }
    control->put_FeaturesActive(features.Get());
    ComPtr<IMSVidOutputDevices> outputs, active;
    control->_OutputsAvailable(&GUID_NULL, &outputs);
    ComPtr<IMSVidOutputDevice> sink;
    if (FAILED(outputs->get_Item(CComVariant(LONG(0)), &sink))) return E_FAIL;
    control->get_OutputsActive(&active);
    while (SUCCEEDED(active->Remove(CComVariant(LONG(0))))) {
    }
    active->Add(sink.Get());
    control->put_OutputsActive(active.Get());
    return control->Run();
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : SKYVANE_DEMO_BROADCAST;
    double speed = argc > 2 ? std::atof(argv[2]) : 1.0;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    if (speed <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: tune_bench [broadcast.xml] [speed > 0] [rounds > 0]\n");
        return 2;
    }
    std::string error;
    auto air = AirBroadcast::open(path, error);
    if (!air) {
        std::fprintf(stderr, "tune_bench: %s\n", error.c_str());
        return 1;
    }
    air->setSpeed(speed);
    VidTestSink::registerAsStreamBufferSink();
    RegisterPlatformClasses();
    auto devices = RegisterAirDevices(air);
    ComPtr<IMSVidCtl> control;
    if (FAILED(CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                reinterpret_cast<void**>(&control)))) {
        std::fprintf(stderr, "tune_bench: no Video Control\n");
        return 1;
    }
    std::printf("speed %.2f, %d rounds, times in wall ms (median of rounds)\n", speed, rounds);
    std::printf("%-24s %10s %14s %16s\n", "multiplex", "lock(limit)", "first packet", "signalPresent");
    const Setup setups[] = {{kMediaTypeDvbt, KSCATEGORY_BDA_NETWORK_TUNER, "dvbt"},
                            {kMediaTypeAtsc, KSCATEGORY_BDA_NETWORK_TUNER, "atsc"},
                            {kMediaTypeAnalog, KSCATEGORY_TVTUNER, "analog"}};
    int failures = 0;
    std::vector<std::string> results;
    for (const Setup& s : setups) {
        std::wstring tuner = tunerFor(air->catalogue(), s.receives);
        if (tuner.empty()) continue;
        bool analog = s.receives == "analog";
        HRESULT hr = prepare(control.Get(), s.category, tuner, analog);
        if (FAILED(hr)) {
            std::fprintf(stderr, "tune_bench: %s: the Video Control does not run: %X\n", s.receives.c_str(),
                         unsigned(hr));
            ++failures;
            continue;
        }
        VidTestSinkFilter* sink = VidTestSink::last()->filter();
        BDATuneRequest request(nullptr, nullptr, nullptr, control.Get());
        if (FAILED(request.init(s.mediaType))) {
            ++failures;
            continue;
        }
        for (const AirMultiplex& m : air->catalogue().multiplexes()) {
            if ((m.system == AirSystem::DVBT) != (s.receives == "dvbt") ||
                (m.system == AirSystem::ATSC) != (s.receives == "atsc"))
                continue;
            std::vector<double> firstPacket, signal;
            for (int round = 0; round < rounds; ++round) {
                // Somewhere else first, so that each round is a real retune.
                CComVariant v;
                request.tune(analog ? L"2" : (s.receives == "atsc" ? L"2/-1/-1" : L"800000/8/-1/-1/-1"), v);
                sink->reset();
                auto t0 = Clock::now();
                if (FAILED(request.tune(mediumOf(m), v))) break;
                int32_t strength = 0;
                bool present = request.signalPresent(strength);
                auto t1 = Clock::now();
                bool packets = sink->waitForPackets(1, 30000);
                if (!present || !packets) {
                    ++failures;
                    break;
                }
                signal.push_back(ms(t1 - t0));
                firstPacket.push_back(ms(sink->firstPacketAt() - t0));
            }
            std::wstring what = m.describe();
            if (signal.empty()) {
                std::printf("%-24ls %10.0f %14s %16s\n", what.c_str(), m.lockMs / speed, "FAILED", "FAILED");
                continue;
            }
            std::sort(firstPacket.begin(), firstPacket.end());
            std::sort(signal.begin(), signal.end());
            double fp = firstPacket[firstPacket.size() / 2], sp = signal[signal.size() / 2];
            std::printf("%-24ls %10.0f %14.1f %16.1f\n", what.c_str(), m.lockMs / speed, fp, sp);
            // For the benchmark table: each figure beside its limit, the catalogue's lock time.
            std::string name(what.begin(), what.end());
            results.push_back("result\t" + name + ": tune to first packet (limit: lock)\t" +
                              std::to_string(fp) + "\t" + std::to_string(m.lockMs / speed) + "\tms\tlower");
            results.push_back("result\t" + name + ": tune to signalPresent (limit: lock)\t" +
                              std::to_string(sp) + "\t" + std::to_string(m.lockMs / speed) + "\tms\tlower");
        }
        control->Decompose();
    }
    for (const std::string& line : results) std::printf("%s\n", line.c_str());
    return failures ? 1 : 0;
}
