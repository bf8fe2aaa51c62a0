// The catalogue of the virtual broadcast (broadcast.xml): the capture devices of the machine
// and what is on air — DVB-T and ATSC multiplexes, analog channels, a set-top box. The same
// description drives the broadcast generator, which writes the clips it names.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
}

enum class AirDeviceCategory { NetworkTuner, TvTuner, Crossbar, Encoder, Multiplexer };

struct AirDevice {
    AirDeviceCategory category = AirDeviceCategory::NetworkTuner;
    std::wstring friendlyName;
    std::wstring devicePath;
    // Tuners: what they receive ("dvbt", "atsc" or "analog").
    std::string receives;
    // Crossbars: their input pins in order ("tuner", "composite", "svideo"); composite and
    // S-video pins count as the auxiliary inputs 0, 1, ... of the card.
    std::vector<std::string> inputs;
    int line = 0;
};

enum class AirSystem { DVBT, ATSC, Analog };

// What a tuner reports about the signal it receives.
struct AirSignal {
    bool present = false;
    bool locked = false;
    int strength = 0;  // 0..100
    int quality = 0;   // 0..100, 0 until locked
};

// A value that changes with the time since tuning: points (ms, value), joined by straight
// lines, the first value before the first point and the last after the last.
struct AirCurve {
    std::vector<std::pair<int, int>> points;
    int at(double ms) const;
};

struct AirService {
    int serviceId = 0;
    std::string name;
    std::string provider;
    int lcn = -1;
    int type = 1;  // digital television
    int major = -1;
    int minor = -1;
    // Picture the generator makes: "sd" (MPEG-2, 720x576 interlaced at 25 fps, or 720x480 at
    // 29.97 fps on ATSC) or "hd" (1920x1080 interlaced: H.264 on DVB-T, MPEG-2 on ATSC).
    std::string format = "sd";
    int line = 0;
};

struct AirMultiplex {
    AirSystem system = AirSystem::DVBT;
    int frequencyKHz = 0;     // DVB-T centre frequency
    int bandwidthMHz = 0;     // DVB-T
    int physicalChannel = 0;  // ATSC
    int channel = 0;          // analog channel number
    std::vector<int> alternateKHz;
    // Received at nominal + offset instead of nominal (a transmitter off its raster).
    int offsetKHz = 0;
    std::string file;  // absolute path of the clip
    int strength = 0;  // at the moment of tuning (the first point of a curve)
    int quality = 0;
    int lockMs = 0;
    // Signal faults, in broadcast milliseconds after tuning: the signal is there but never
    // locks; it drops out (nothing at all) during [from, to) and must lock again after each
    // dropout; strength and quality follow curves.
    bool neverLocks = false;
    std::vector<std::pair<int, int>> dropouts;  // to == -1: never comes back
    AirCurve strengthCurve;
    AirCurve qualityCurve;
    long long bitrate = 0;  // for clips without a PCR; 0 = default
    // Service information the generator writes into the clip.
    int transportStreamId = 0;
    int originalNetworkId = 0;
    int networkId = 0;
    std::string networkName;
    bool nit = true;
    int nitIntervalMs = 500;
    int sdtIntervalMs = 500;
    int vctIntervalMs = 400;
    double seconds = 3.0;
    std::vector<AirService> services;
    int line = 0;

    // A real capture, played as it is: the generator never writes it.
    bool capture() const { return system != AirSystem::Analog && services.empty(); }

    // What a tuner set to this multiplex reports `msSinceTune` broadcast milliseconds after tuning.
    AirSignal signalAt(double msSinceTune) const;
    // Frequencies (kHz) at which a DVB-T receiver finds this multiplex.
    std::vector<int> receivedAtKHz() const;
    std::wstring describe() const;
};

struct AirSetTopBox {
    bool present = false;
    // Feeds an analog tuner's auxiliary (composite) input `input`, or modulates its output on
    // analog channel `tunerChannel`.
    bool auxInput = true;
    int input = 0;
    int tunerChannel = 0;
    int channel = 0;  // the channel it shows when switched on
    // Device path of the analog tuner it is wired to; empty: every analog tuner.
    std::wstring tuner;
    int line = 0;
};

class AirCatalogue {
public:
    // A tuner finds a DVB-T multiplex within this distance of the frequency it transmits on.
    static constexpr int kToleranceKHz = 50;

    // Loads and checks a catalogue. With `requireFiles` every clip must exist (the generator
    // loads it before the clips are made). Null and a message naming the line on failure.
    static std::unique_ptr<AirCatalogue> load(const std::string& path, bool requireFiles, std::string& error);
    // The same from text; clip names are taken relative to `folder` (ending in '/').
    static std::unique_ptr<AirCatalogue> parse(const std::string& xml, const std::string& folder,
                                               bool requireFiles, std::string& error);
    // $PELMO_BROADCAST, else <InstallDir>/broadcast.xml, else (when only that exists) the demo
    // broadcast an installation or build brings, <InstallDir>/demo/broadcast.xml.
    static std::string defaultPath();

    const std::string& path() const { return path_; }
    double speed() const { return speed_; }
    const std::vector<AirDevice>& devices() const { return devices_; }
    const std::vector<AirMultiplex>& multiplexes() const { return multiplexes_; }
    const AirSetTopBox& setTopBox() const { return setTopBox_; }

    const AirMultiplex* findDvbt(int frequencyKHz, int bandwidthMHz) const;
    const AirMultiplex* findAtsc(int physicalChannel) const;
    const AirMultiplex* findAnalog(int channel) const;
    const AirDevice* findDevice(const std::wstring& nameOrPath) const;

private:
    static std::unique_ptr<AirCatalogue> build(tinyxml2::XMLDocument& doc, int rc, const std::string& name,
                                               const std::string& folder, bool requireFiles,
                                               std::string& error);

    std::string path_;
    double speed_ = 1.0;
    std::vector<AirDevice> devices_;
    std::vector<AirMultiplex> multiplexes_;
    AirSetTopBox setTopBox_;

    friend class AirCatalogueReader;
};
