// skyvane-air: receives the virtual broadcast the way one of its tuners does and writes what
// arrives to a transport stream file, or prints the signal the tuner reports.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/skyvane-air/AirZap.h"

namespace {

int usage(const char* problem = nullptr) {
    if (problem) std::fprintf(stderr, "skyvane-air: %s\n", problem);
    std::fprintf(
        stderr,
        "usage: skyvane-air [--catalogue FILE] --tune dvbt:FREQ_KHZ[:BW_MHZ] | atsc:CHANNEL | "
        "analog:CHANNEL\n"
        "                   [--seconds N] [--speed S] [--signal] [-o FILE.ts]\n"
        "  Tunes a tuner of the virtual broadcast and, for N seconds of broadcast time from the\n"
        "  moment of tuning (default 10), writes what it receives to FILE.ts ('-': standard output)\n"
        "  and/or, with --signal, prints lock, strength and quality every half second.\n"
        "  --catalogue  broadcast catalogue (default: $PELMO_BROADCAST, else the installation's)\n"
        "  --speed      broadcast seconds per wall second (default: the catalogue's)\n");
    return 2;
}

bool decimal(const char* text, double lo, double hi, double& out) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (!*text || *end || errno || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string catalogue, tune, output;
    AirZapOptions options;
    double speed = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--signal") {
            options.signal = true;
        } else if (a == "-h" || a == "--help") {
            return usage();
        } else if (a == "--catalogue" || a == "--tune" || a == "--seconds" || a == "--speed" || a == "-o") {
            if (!hasValue) return usage((a + " needs a value").c_str());
            const char* v = argv[++i];
            if (a == "--catalogue") {
                catalogue = v;
            } else if (a == "--tune") {
                tune = v;
            } else if (a == "-o") {
                output = v;
            } else if (a == "--seconds") {
                if (!decimal(v, 0.001, 86400, options.seconds))
                    return usage("--seconds must be a number of seconds from 0.001 to 86400");
            } else if (!decimal(v, 0.01, 1000, speed)) {
                return usage("--speed must be a number from 0.01 to 1000");
            }
        } else {
            return usage(("unknown argument \"" + a + "\"").c_str());
        }
    }
    if (tune.empty()) return usage("--tune is required");
    if (output.empty() && !options.signal) return usage("give -o FILE.ts, --signal or both");
    std::string error;
    if (!AirZapTarget::parse(tune, options.target, error)) return usage(error.c_str());

    // Where the catalogue came from, to say so when it cannot be opened.
    std::string whence;
    if (catalogue.empty()) {
        catalogue = AirCatalogue::defaultPath();
        const char* env = std::getenv("PELMO_BROADCAST");
        if (env && *env)
            whence = "no --catalogue given: $PELMO_BROADCAST named this one";
        else if (catalogue == "broadcast.xml")
            whence =
                "no --catalogue, no $PELMO_BROADCAST and no installation folder in the registry: the "
                "current folder's was tried";
        else
            whence = "no --catalogue given: the installation folder's was tried";
    }
    // Named in full, so that a message about it says which file was tried.
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(catalogue, ec);
    if (!ec) catalogue = full.lexically_normal().string();
    auto broadcast = AirBroadcast::open(catalogue, error);
    if (!broadcast) {
        std::fprintf(stderr, "skyvane-air: %s\n", error.c_str());
        if (!whence.empty())
            std::fprintf(stderr, "skyvane-air: %s; name one with --catalogue FILE\n", whence.c_str());
        return 1;
    }
    if (speed > 0) broadcast->setSpeed(speed);

    FILE* out = nullptr;
    if (!output.empty()) {
        out = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
        if (!out) {
            std::fprintf(stderr, "skyvane-air: cannot write %s: %s\n", output.c_str(), std::strerror(errno));
            return 1;
        }
    }
    // Readings go to standard error when the stream itself goes to standard output.
    FILE* text = out == stdout ? stderr : stdout;
    AirZap::PacketSink sink;
    if (out) sink = [out](const uint8_t* p, size_t n) { return std::fwrite(p, 188, n, out) == n; };
    AirZap::SignalSink readings;
    if (options.signal)
        readings = [text](double ms, const AirSignal& s) {
            if (!s.present)
                std::fprintf(text, "%8.3f s  no signal\n", ms / 1000.0);
            else
                std::fprintf(text, "%8.3f s  %-8s strength %3d  quality %3d\n", ms / 1000.0,
                             s.locked ? "locked" : "unlocked", s.strength, s.quality);
            std::fflush(text);
        };
    AirZapResult result;
    AirZap zap(broadcast);
    bool ok = zap.run(options, sink, readings, result, error);
    if (out && out != stdout && std::fclose(out) != 0 && ok) {
        ok = false;
        error = "cannot finish " + output + ": " + std::strerror(errno);
    }
    if (!ok) {
        std::fprintf(stderr, "skyvane-air: %s\n", error.c_str());
        return 1;
    }
    if (out) {
        std::fprintf(stderr, "skyvane-air: %s: %llu packets (%.1f MB) in %g s of broadcast", tune.c_str(),
                     (unsigned long long)result.packets, double(result.packets) * 188 / 1e6, options.seconds);
        if (result.firstPacketMs >= 0) std::fprintf(stderr, ", first after %.0f ms", result.firstPacketMs);
        std::fprintf(stderr, "\n");
        if (result.lostByReader)
            std::fprintf(stderr,
                         "skyvane-air: %llu packets lost: the file could not be written fast enough\n",
                         (unsigned long long)result.lostByReader);
        if (!result.packets) std::fprintf(stderr, "skyvane-air: the tuner never locked: nothing written\n");
    }
    return 0;
}
