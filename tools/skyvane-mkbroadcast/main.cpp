// skyvane-mkbroadcast: writes every transport stream a broadcast catalogue names, or lists
// what the catalogue puts on air.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

#include "base/Text.h"
#include "platform/air/AirClip.h"
#include "tools/skyvane-mkbroadcast/CaptureServices.h"
#include "platform/air/AirCatalogue.h"
#include "tools/skyvane-mkbroadcast/BroadcastMuxer.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: skyvane-mkbroadcast [--list] CATALOGUE.xml\n"
                 "  Writes the transport stream of every multiplex and analog channel of the\n"
                 "  catalogue (file names relative to the catalogue), with NIT, SDT and VCT.\n"
                 "  A multiplex without <service> entries is a real capture: it is never written.\n"
                 "  --list  only print the devices and what is on air (works before generating;\n"
                 "          a capture's services are read from its own tables).\n");
    return 2;
}

const char* categoryName(AirDeviceCategory c) {
    switch (c) {
        case AirDeviceCategory::NetworkTuner:
            return "BDA network tuner";
        case AirDeviceCategory::TvTuner:
            return "analog TV tuner";
        case AirDeviceCategory::Crossbar:
            return "crossbar";
        case AirDeviceCategory::Encoder:
            return "encoder";
        case AirDeviceCategory::Multiplexer:
            return "multiplexer";
    }
    return "?";
}

const AirDevice* deviceByPath(const AirCatalogue& c, const std::wstring& path) {
    for (const AirDevice& d : c.devices())
        if (d.devicePath == path) return &d;
    return nullptr;
}

void listCapture(const AirMultiplex& m) {
    std::string error;
    auto clip = AirClip::load(m.file, m.bitrate, error);
    if (!clip) {
        std::printf("          capture: %s\n", error.c_str());
        return;
    }
    CaptureTables t = readCaptureTables(*clip);
    std::printf("          capture %s, services from its own tables (TSID %d", m.file.c_str(),
                t.transportStreamId);
    if (t.originalNetworkId >= 0) std::printf(", ONID %d", t.originalNetworkId);
    std::printf(")\n");
    if (t.services.empty()) std::printf("          no PAT, SDT or VCT in the capture\n");
    for (const CaptureService& s : t.services) {
        if (s.major >= 0)
            std::printf("          %d.%d %s (program %d)\n", s.major, s.minor, s.name.c_str(), s.serviceId);
        else
            std::printf("          %s (SID %d%s%s)\n", s.name.empty() ? "(no name)" : s.name.c_str(),
                        s.serviceId, s.provider.empty() ? "" : ", ", s.provider.c_str());
    }
}

void list(const AirCatalogue& c) {
    for (const AirDevice& d : c.devices()) {
        std::printf("device  %-18s %s  %s", categoryName(d.category), WideToUtf8(d.friendlyName).c_str(),
                    WideToUtf8(d.devicePath).c_str());
        for (size_t i = 0; i < d.inputs.size(); ++i)
            std::printf("%s%s", i ? "," : "  inputs ", d.inputs[i].c_str());
        std::printf("\n");
    }
    for (const AirMultiplex& m : c.multiplexes()) {
        std::printf("on air  %s", WideToUtf8(m.describe()).c_str());
        if (m.offsetKHz) std::printf(" (received at %+d kHz)", m.offsetKHz);
        for (int f : m.alternateKHz) std::printf(" alt %d", f);
        std::printf("  strength %d quality %d lock %d ms%s\n", m.strength, m.quality, m.lockMs,
                    m.system == AirSystem::DVBT && !m.nit ? "  no NIT" : "");
        if (m.capture()) listCapture(m);
        for (const AirService& s : m.services) {
            if (m.system == AirSystem::ATSC)
                std::printf("          %d.%d %s (program %d)\n", s.major, s.minor, s.name.c_str(),
                            s.serviceId);
            else if (s.lcn >= 0)
                std::printf("          LCN %d %s (SID %d, ONID %d, TSID %d)\n", s.lcn, s.name.c_str(),
                            s.serviceId, m.originalNetworkId, m.transportStreamId);
            else
                std::printf("          %s (SID %d, ONID %d, TSID %d)\n", s.name.c_str(), s.serviceId,
                            m.originalNetworkId, m.transportStreamId);
        }
    }
    const AirSetTopBox& b = c.setTopBox();
    if (b.present) {
        if (b.auxInput)
            std::printf("set-top box on auxiliary input %d", b.input);
        else
            std::printf("set-top box modulating on tuner channel %d", b.tunerChannel);
        const AirDevice* d = b.tuner.empty() ? nullptr : deviceByPath(c, b.tuner);
        std::printf(" of %s, showing channel %d\n",
                    d ? WideToUtf8(d->friendlyName).c_str() : "every analog tuner", b.channel);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The encoders' statistics are not for the user; their errors are.
    av_log_set_level(AV_LOG_ERROR);
    bool listOnly = false;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--list"))
            listOnly = true;
        else if (argv[i][0] == '-')
            return usage();
        else if (path.empty())
            path = argv[i];
        else
            return usage();
    }
    if (path.empty()) return usage();
    std::string error;
    // The listing works before anything is generated: only captures must be there to be read.
    auto catalogue = AirCatalogue::load(path, false, error);
    if (!catalogue) {
        std::fprintf(stderr, "skyvane-mkbroadcast: %s\n", error.c_str());
        return 1;
    }
    if (listOnly) {
        list(*catalogue);
        return 0;
    }
    int written = 0, captures = 0;
    for (const AirMultiplex& m : catalogue->multiplexes()) {
        // A capture is played as it is: never written, only checked to be there.
        if (m.capture()) {
            ++captures;
            struct stat st;
            if (::stat(m.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                std::fprintf(stderr, "skyvane-mkbroadcast: %s (line %d): capture not found: %s\n",
                             WideToUtf8(m.describe()).c_str(), m.line, m.file.c_str());
                return 1;
            }
            continue;
        }
        std::vector<uint8_t> ts;
        if (!BroadcastMuxer::make(*catalogue, m, ts, error)) {
            std::fprintf(stderr, "skyvane-mkbroadcast: %s (line %d): %s\n", WideToUtf8(m.describe()).c_str(),
                         m.line, error.c_str());
            return 1;
        }
        std::ofstream out(m.file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(ts.data()), std::streamsize(ts.size()));
        if (!out) {
            std::fprintf(stderr, "skyvane-mkbroadcast: cannot write %s\n", m.file.c_str());
            return 1;
        }
        ++written;
    }
    std::printf("skyvane-mkbroadcast: %d clips written, %d captures left as they are\n", written, captures);
    return 0;
}
