// pelmo-streamer: a reference host for the input plug-in. It loads the module, drives it
// through the host interface (and the message bus for scans), and writes what it delivers.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "base/Text.h"
#include "host/SimpleStreamDescription.h"
#include "tools/pelmo-streamer/HostSetup.h"
#include "tools/pelmo-streamer/MediaFormats.h"
#include "tools/pelmo-streamer/MediaWriter.h"
#include "tools/pelmo-streamer/PluginHost.h"
#include "tools/pelmo-streamer/ScanClient.h"
#include "tools/pelmo-streamer/Snapshot.h"

using namespace pelmo::streamer;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<bool> g_interrupted{false};

void onSignal(int) {
    g_interrupted = true;
}

constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

// The first packet can take a while (tuning, lock, the read-back graph); later ones come steadily.
constexpr auto kFirstPacketWait = std::chrono::seconds(30);
constexpr auto kStallWait = std::chrono::seconds(15);

// The bus library's warnings on stderr.
class StderrLog : public CBBLog {
public:
    StderrLog() : CBBLog(L"pelmo-streamer.log", false, 0) { CBBLog::setLevel(LOG_WARN); }
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        if (level > getLevel()) return;
        std::string line = "pelmo-streamer: bus: " + WideToUtf8(VFormatWideString(fmt, args));
        if (line.back() != '\n') line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
};

const char* const kUsage =
    "usage: pelmo-streamer [--module FILE] COMMAND [OPTIONS] PATH\n"
    "\n"
    "commands:\n"
    "  scan TUNER         scan for channels, e.g. tuner://tv.channel.dvbt/#/x\n"
    "  watch CHANNEL      write what a channel delivers to a playable file or stdout\n"
    "  record CHANNEL     record a channel through the plug-in's own recorder\n"
    "  snapshot CHANNEL   write the channel's first picture as a PNG\n"
    "  describe CHANNEL   print the streams the plug-in delivers for a channel\n"
    "  setup              fill the settings folder with the defaults it lacks\n"
    "  help [COMMAND]     this text, or a command's options\n"
    "\n"
    "A CHANNEL is a device path such as device://tv.channel.dvbt/#/474000/8/8916/4100/4164\n"
    "(DVB-T: frequency kHz/bandwidth MHz/ONID/TSID/SID), device://tv.channel.atsc/#/22/22/1\n"
    "(physical/major/minor) or device://tv.channel.analog/#/3; `scan` prints the paths it finds.\n"
    "\n"
    "--module FILE loads another plug-in module than the one of this build or installation.\n"
    "Settings: $PELMO_REGISTRY (registry files), $PELMO_APPDATA (logs, time-shift buffers),\n"
    "$PELMO_BROADCAST (broadcast catalogue), $PELMO_BUS_PORT (message bus broker on 127.0.0.1).\n"
    "Exit status: 0 done, 1 the plug-in, the bus or the output failed, 2 bad arguments.\n";

const std::map<std::string, std::string> kCommandHelp = {
    {"scan",
     "usage: pelmo-streamer scan TUNER [--country CODE] [--json] [--timeout SECONDS]\n"
     "Opens the tuner (tuner://tv.channel.dvbt/#/x, tuner://tv.channel.atsc/#/x or\n"
     "tuner://tv.channel.analog/#/x), starts a channel scan over the message bus and shows its\n"
     "progress, then prints the channels found: name, path, frequency and signal.\n"
     "  --country CODE    the country code for this scan (\"CountryCode\"), which picks the\n"
     "                    frequency file: 44 and most of Europe DVBTfrequencies_B8.txt, 1\n"
     "                    ATSCfrequencies.txt, ... Without it the registry's value stands.\n"
     "  --json            print one JSON array of {\"name\",\"path\",\"frequency\",\"signal\"}\n"
     "  --timeout SECONDS give up when the scan is silent this long (default 60)\n"
     "Needs a message bus broker on 127.0.0.1:$PELMO_BUS_PORT (default 1883).\n"},
    {"watch",
     "usage: pelmo-streamer watch CHANNEL [-o FILE] [--seconds N] [--raw|--compressed]\n"
     "                                     [--zap CHANNEL2] [--rewind S]\n"
     "Opens the channel, prints its stream description, starts it and writes what it delivers.\n"
     "  -o FILE           FILE.ts (MPEG-TS) or FILE.mkv (Matroska); - for stdout (MPEG-TS, or\n"
     "                    Matroska for raw frames). Default: stdout when it is not a terminal,\n"
     "                    else skyvane-watch.ts (.mkv for raw frames)\n"
     "  --seconds N       length of the file in seconds (default 10; to stdout: until Ctrl-C)\n"
     "  --raw             decoded frames and PCM (\"OutputRaw\" 1), written as a .mkv\n"
     "  --compressed      the broadcast's own MPEG video and sound (\"OutputRaw\" 0)\n"
     "  --zap CHANNEL2    change to CHANNEL2 half way: the file holds both channels\n"
     "  --rewind S        half way, jump S seconds back in the time-shift buffer: the file then\n"
     "                    shows that stretch again\n"},
    {"record",
     "usage: pelmo-streamer record CHANNEL --to FILE [--seconds N]\n"
     "Opens the channel with the \"recording\" property: the plug-in records it itself, into\n"
     "FILE with its extension replaced by .dvr-ms. --seconds N (default 10) is wall time.\n"},
    {"snapshot",
     "usage: pelmo-streamer snapshot CHANNEL -o FILE.png [--raw|--compressed]\n"
     "Writes the first video frame the channel delivers as a PNG picture (decoding it when it\n"
     "comes compressed).\n"},
    {"setup",
     "usage: pelmo-streamer setup [--registry DIR] [--install-dir DIR]\n"
     "Adds the settings missing from the settings folder (default: $PELMO_REGISTRY, else the one\n"
     "of this build or installation): \"InstallDir\" (the folder of the frequency files, device\n"
     "exceptions and demo broadcast, with its trailing /), \"LogLevel\", the tuner settings,\n"
     "\"OutputRaw\" and the time-shift buffer's. Settings already there are kept; an \"InstallDir\"\n"
     "naming a folder that is gone is replaced. Every command does this on its own first.\n"},
    {"describe",
     "usage: pelmo-streamer describe CHANNEL [--json] [--raw|--compressed]\n"
     "Opens the channel and prints the output stream description: codecs, picture size, frame\n"
     "rate, sound format and bit rates.\n"},
};

int bad(const std::string& what, const std::string& command = "") {
    std::fprintf(stderr, "pelmo-streamer: %s\n", what.c_str());
    std::fprintf(stderr, "try: pelmo-streamer help%s\n", command.empty() ? "" : (" " + command).c_str());
    return kBadArguments;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "pelmo-streamer: %s\n", what.c_str());
    return kFailed;
}

bool parseNumber(const std::string& text, double min, double max, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || !(v >= min && v <= max)) return false;
    out = v;
    return true;
}

// Options of one command line after the command word.
struct Options {
    std::string command;
    std::string path;
    std::string module;
    std::string output;
    std::string zap;
    std::string recordTo;
    std::string registry;
    std::string installDir;
    double seconds = -1;
    double rewind = -1;
    double timeout = 60;
    int country = -1;
    int outputRaw = -1;
    bool json = false;
    bool help = false;
};

// Reads the options a command takes; anything else is an error naming it.
int parseOptions(int argc, char** argv, int first, Options& o) {
    const std::string& cmd = o.command;
    auto takes = [&](const char* option) {
        static const std::map<std::string, std::vector<std::string>> allowed = {
            {"scan", {"--country", "--json", "--timeout"}},
            {"watch", {"-o", "--seconds", "--raw", "--compressed", "--zap", "--rewind"}},
            {"record", {"--to", "--seconds"}},
            {"snapshot", {"-o", "--raw", "--compressed"}},
            {"describe", {"--json", "--raw", "--compressed"}},
            {"setup", {"--registry", "--install-dir"}},
        };
        for (const auto& a : allowed.at(cmd))
            if (a == option) return true;
        return false;
    };
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (a == "-h" || a == "--help") {
            o.help = true;
            return 0;
        }
        if (a.size() > 1 && a[0] == '-' && !takes(a.c_str()))
            return bad("\"" + a + "\" is not an option of " + cmd, cmd);
        std::string v;
        if (a == "-o" || a == "--to" || a == "--zap" || a == "--registry" || a == "--install-dir") {
            if (!value(v) || v.empty()) return bad(a + " needs a value", cmd);
            (a == "-o"           ? o.output
             : a == "--to"       ? o.recordTo
             : a == "--zap"      ? o.zap
             : a == "--registry" ? o.registry
                                 : o.installDir) = v;
        } else if (a == "--seconds") {
            if (!value(v) || !parseNumber(v, 0.1, 86400, o.seconds))
                return bad("--seconds takes a number of seconds from 0.1 to 86400, not \"" + v + "\"", cmd);
        } else if (a == "--rewind") {
            if (!value(v) || !parseNumber(v, 0.1, 86400, o.rewind))
                return bad("--rewind takes a number of seconds from 0.1, not \"" + v + "\"", cmd);
        } else if (a == "--timeout") {
            if (!value(v) || !parseNumber(v, 1, 86400, o.timeout))
                return bad("--timeout takes a number of seconds from 1, not \"" + v + "\"", cmd);
        } else if (a == "--country") {
            double c = 0;
            if (!value(v) || !parseNumber(v, 1, 99999, c) || c != static_cast<int>(c))
                return bad("--country takes a country code such as 44, not \"" + v + "\"", cmd);
            o.country = static_cast<int>(c);
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--raw" || a == "--compressed") {
            int want = a == "--raw" ? 1 : 0;
            if (o.outputRaw >= 0 && o.outputRaw != want)
                return bad("--raw and --compressed exclude each other", cmd);
            o.outputRaw = want;
        } else if (a.empty()) {
            return bad("an empty argument is no path", cmd);
        } else if (o.path.empty()) {
            o.path = a;
        } else {
            return bad("one path only: \"" + a + "\" is one too many", cmd);
        }
    }
    if (cmd == "setup") {
        if (!o.path.empty()) return bad("setup takes no path", cmd);
        return 0;
    }
    if (o.path.empty()) return bad(cmd + " needs a " + (cmd == "scan" ? "tuner path" : "channel path"), cmd);
    if (o.zap.size() && o.rewind > 0) return bad("--zap and --rewind cannot be used together", cmd);
    return 0;
}

const char* frequencyFileFor(int country) {
    switch (country) {
        case 1:
            return "ATSCfrequencies.txt";
        case 7:
        case 33:
        case 34:
        case 36:
        case 39:
        case 41:
        case 44:
        case 86:
        case 352:
        case 370:
        case 371:
        case 372:
        case 420:
            return "DVBTfrequencies_B8.txt";
        case 31:
        case 32:
        case 46:
        case 47:
        case 49:
        case 65:
        case 353:
        case 354:
        case 358:
            return "DVBTfrequencies_B7-8.txt";
        case 61:
            return "DVBTfrequencies_B7.txt";
        case 886:
            return "DVBTfrequencies_B6.txt";
        default:
            return "DVBTfrequencies_Universal.txt";
    }
}

off_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Everything a command needs around the plug-in: places, settings for this run, the module.
class Session {
public:
    HostPlaces places;
    RegistryOverlay overlay;
    PluginHost host;
    off_t logStart = 0;

    int begin(const Options& o) {
        places = findPlaces(executableDir(), geteuid() == 0);
        if (!o.module.empty()) places.module = o.module;
        exportPlaces(places);
        std::string why;
        if (!fillRegistryDefaults(places.registry, places.installDir, why))
            std::fprintf(stderr, "pelmo-streamer: note: %s; the plug-in uses its built-in defaults\n",
                         why.c_str());
        std::map<std::string, uint32_t> values;
        if (o.outputRaw >= 0) values["OutputRaw"] = static_cast<uint32_t>(o.outputRaw);
        if (o.country >= 0) values["CountryCode"] = static_cast<uint32_t>(o.country);
        if (!values.empty()) {
            if (!overlay.create(places.registry, values, why)) return fail(why);
            setenv("PELMO_REGISTRY", overlay.folder().c_str(), 1);
        }
        if (fileSize(places.module) < 0)
            return fail("the plug-in module " + places.module +
                        " is not there: build it (make build) or name one with --module FILE");
        logStart = std::max<off_t>(0, fileSize(places.logFile()));
        if (!host.load(places.module, why)) return fail(why);
        return 0;
    }

    // The failure of an open, with where its reason is.
    int openFailed(const std::string& path, const std::string& why) {
        std::fprintf(stderr, "pelmo-streamer: cannot open %s: %s\n", path.c_str(), why.c_str());
        explainFromLog();
        return kFailed;
    }

    void explainFromLog() {
        // The plug-in gives the host one fixed text; its reasons are in its log, written by a
        // thread of its own: give that a moment to begin, and to write what it has.
        std::string log = places.logFile();
        for (int i = 0; i < 10 && fileSize(log) <= logStart; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (int i = 0, still = 0; i < 25 && still < 3; ++i) {
            off_t before = fileSize(log);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            still = fileSize(log) == before ? still + 1 : 0;
        }
        std::vector<std::string> lines;
        bool noPicture = false;
        std::ifstream in(log);
        if (in && fileSize(log) > logStart) {
            in.seekg(logStart);
            std::string line;
            while (std::getline(in, line)) {
                // The read-back graph starts at the picture: a buffer without one is refused.
                if (line.find("has no picture that can be delivered") != std::string::npos ||
                    line.find("source filter does not have video pin") != std::string::npos)
                    noPicture = true;
                if (line.find("ERROR") != std::string::npos || line.find("WARN") != std::string::npos ||
                    line.find("FATAL") != std::string::npos)
                    lines.push_back(line);
            }
        }
        if (noPicture)
            std::fprintf(stderr,
                         "  the channel has no picture (a radio or data service?): the plug-in opens only "
                         "channels with video\n");
        if (fileSize(log) < 0)
            std::fprintf(stderr, "  the plug-in logged nothing at its level (its log is %s)\n", log.c_str());
        else
            std::fprintf(stderr, "  the plug-in's reasons are in its log: %s\n", log.c_str());
        size_t from = lines.size() > 8 ? lines.size() - 8 : 0;
        if (!lines.empty()) std::fprintf(stderr, "  its latest warnings and errors:\n");
        for (size_t i = from; i < lines.size(); ++i) std::fprintf(stderr, "    %s\n", lines[i].c_str());
        std::fprintf(
            stderr,
            "  (\"LogLevel\"=dword:00000004 under [HKEY_LOCAL_MACHINE\\Software\\Kelvarin\\Pelmo] in\n"
            "  %s/HKEY_LOCAL_MACHINE.reg logs every step)\n",
            places.registry.c_str());
    }
};

// Waits until the writer holds `us` of output: false on a failure, a stall or Ctrl-C.
bool waitWritten(MediaWriter& writer, int64_t us, std::string& why) {
    int64_t last = -1;
    auto lastChange = Clock::now();
    for (;;) {
        if (writer.waitFor(us, Clock::now() + std::chrono::milliseconds(200))) return true;
        why = writer.failure();
        if (!why.empty()) return false;
        if (g_interrupted) {
            why = "interrupted";
            return false;
        }
        int64_t w = writer.written();
        auto now = Clock::now();
        if (w != last) {
            last = w;
            lastChange = now;
        } else if (now - lastChange > (w == 0 ? kFirstPacketWait : kStallWait)) {
            auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - lastChange).count();
            why = w == 0 ? "the plug-in delivered no picture to start the file with in " +
                               std::to_string(waited) + " s"
                         : "the plug-in delivered nothing for " + std::to_string(waited) + " s";
            return false;
        }
    }
}

int describe(const Options& o) {
    Session s;
    if (int rc = s.begin(o)) return rc;
    std::string why;
    if (!s.host.open(o.path, {}, why)) return s.openFailed(o.path, why);
    SimpleStreamDescription d;
    s.host.describe(d);
    if (o.json)
        std::printf("%s\n", describeJson(d).c_str());
    else
        std::printf("%s", describeText(d).c_str());
    s.host.finish();
    return 0;
}

int watch(const Options& o) {
    std::string output = o.output;
    if (output.empty()) output = isatty(STDOUT_FILENO) ? "" : "-";
    double seconds = o.seconds > 0 ? o.seconds : (output == "-" && o.zap.empty() && o.rewind < 0 ? 0 : 10);
    Session s;
    if (int rc = s.begin(o)) return rc;
    std::string why;
    if (!s.host.open(o.path, {}, why)) return s.openFailed(o.path, why);
    SimpleStreamDescription d;
    s.host.describe(d);
    if (output.empty()) output = isRawVideo(d) || isRawAudio(d) ? "skyvane-watch.mkv" : "skyvane-watch.ts";
    FILE* info = output == "-" ? stderr : stdout;
    std::fprintf(info, "%s", describeText(d).c_str());
    std::unique_ptr<MediaWriter> writer = MediaWriter::create(output, d, why);
    if (!writer) return fail(why);
    if (!s.host.start()) {
        std::fprintf(stderr, "pelmo-streamer: %s opened but did not start delivering\n", o.path.c_str());
        s.explainFromLog();
        return kFailed;
    }
    s.host.startReading(*writer);
    const int64_t total = static_cast<int64_t>(seconds * 1e6);
    const bool midway = !o.zap.empty() || o.rewind > 0;
    bool ok = true;
    if (total == 0) {
        // To a player until Ctrl-C.
        ok = waitWritten(*writer, INT64_MAX, why);
        if (why == "interrupted") ok = true;
    } else {
        // The file stops at the half-way mark until the change is made, however far ahead the
        // plug-in delivers meanwhile.
        writer->limit(midway ? total / 2 : total);
        ok = waitWritten(*writer, midway ? total / 2 : total, why);
        if (ok && !o.zap.empty()) {
            std::fprintf(info, "changing to %s at %.1f s\n", o.zap.c_str(), writer->written() / 1e6);
            if (!s.host.zap(o.zap, why)) {
                s.host.finish();
                std::string ignored;
                bool kept = writer->close(ignored) && output != "-";
                std::fprintf(stderr, "pelmo-streamer: cannot change to %s: %s\n", o.zap.c_str(), why.c_str());
                if (kept) std::fprintf(stderr, "  %s holds what came before the change\n", output.c_str());
                s.explainFromLog();
                return kFailed;
            }
        }
        if (ok && o.rewind > 0) {
            std::fprintf(info, "rewinding %.1f s at %.1f s\n", o.rewind, writer->written() / 1e6);
            if (!s.host.rewind(static_cast<int64_t>(o.rewind * 1000), why)) {
                ok = false;
                why = "cannot rewind: " + why;
            }
        }
        if (ok && midway) {
            writer->limit(total);
            ok = waitWritten(*writer, total, why);
        }
    }
    s.host.finish();
    std::string closing;
    bool closed = writer->close(closing);
    MediaWriter::Counts c = writer->counts();
    if (closed && output != "-")
        std::fprintf(info, "wrote %s: %.1f s, %d video and %d audio packets%s\n", output.c_str(),
                     writer->written() / 1e6, c.video, c.audio,
                     c.timelines > 1 ? (", " + std::to_string(c.timelines) + " stretches").c_str() : "");
    if (!ok) {
        if (why == "interrupted") return closed ? 0 : fail(closing);
        std::fprintf(stderr, "pelmo-streamer: watching %s failed: %s\n", o.path.c_str(), why.c_str());
        s.explainFromLog();
        return kFailed;
    }
    if (!closed) return fail(closing);
    return 0;
}

int snapshot(const Options& o) {
    if (o.output.empty() || o.output == "-") return bad("snapshot needs -o FILE.png", "snapshot");
    Session s;
    if (int rc = s.begin(o)) return rc;
    std::string why;
    if (!s.host.open(o.path, {}, why)) return s.openFailed(o.path, why);
    SimpleStreamDescription d;
    s.host.describe(d);
    if (!hasVideo(d)) {
        s.host.finish();
        return fail(o.path + " delivers no video (the plug-in described none)");
    }
    Snapshot shot(o.output, d);
    if (!s.host.start()) {
        std::fprintf(stderr, "pelmo-streamer: %s opened but did not start delivering\n", o.path.c_str());
        s.explainFromLog();
        return kFailed;
    }
    s.host.startReading(shot);
    bool ok = false;
    auto deadline = Clock::now() + kFirstPacketWait;
    while (!g_interrupted && Clock::now() < deadline &&
           !(ok = shot.wait(Clock::now() + std::chrono::milliseconds(200))))
        if (!shot.failure().empty()) break;
    s.host.finish();
    if (!ok) {
        why = shot.failure();
        if (why.empty()) why = g_interrupted ? "interrupted" : "no picture arrived within 30 s";
        std::fprintf(stderr, "pelmo-streamer: no snapshot of %s: %s\n", o.path.c_str(), why.c_str());
        if (shot.failure().empty()) s.explainFromLog();
        return kFailed;
    }
    std::printf("wrote %s (%dx%d)\n", o.output.c_str(), shot.width(), shot.height());
    return 0;
}

int record(const Options& o) {
    if (o.recordTo.empty()) return bad("record needs --to FILE", "record");
    double seconds = o.seconds > 0 ? o.seconds : 10;
    Session s;
    if (int rc = s.begin(o)) return rc;
    std::string why;
    if (!s.host.open(o.path, {{"recording", o.recordTo}}, why)) return s.openFailed(o.path, why);
    const char* named = s.host.mediumProperty("recording");
    std::string target = named != nullptr && *named ? named : o.recordTo;
    if (!s.host.start()) {
        std::fprintf(stderr, "pelmo-streamer: the recording of %s did not start\n", o.path.c_str());
        s.explainFromLog();
        return kFailed;
    }
    std::printf("recording %s into %s for %.1f s\n", o.path.c_str(), target.c_str(), seconds);
    std::fflush(stdout);
    auto end = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    while (!g_interrupted && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.host.finish();
    off_t size = fileSize(target);
    if (size <= 0) {
        std::fprintf(stderr, "pelmo-streamer: the plug-in wrote no recording into %s\n", target.c_str());
        s.explainFromLog();
        return kFailed;
    }
    std::printf("recorded %s: %lld bytes\n", target.c_str(), static_cast<long long>(size));
    return 0;
}

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

int scan(const Options& o) {
    if (o.path.find("tuner://") == std::string::npos)
        return bad("scan takes a tuner path such as tuner://tv.channel.dvbt/#/x, not \"" + o.path + "\"",
                   "scan");
    Session s;
    if (int rc = s.begin(o)) return rc;
    if (o.country > 0) {
        // Which frequency file the scan will read, and whether it is there.
        std::string file = s.places.installDir + frequencyFileFor(o.country);
        std::fprintf(stderr, "scanning with country code %d: %s\n", o.country, file.c_str());
        if (fileSize(file) < 0)
            std::fprintf(stderr, "pelmo-streamer: warning: %s is not there; the scan will find nothing\n",
                         file.c_str());
    }
    setCurrentLogger(std::make_shared<StderrLog>());
    auto bus = std::make_unique<ScanClient>(o.path);
    const bool tty = isatty(STDERR_FILENO);
    std::mutex printLock;
    std::map<std::string, bool> seen;
    bus->onProgress = [&](const ScanProgress& p) {
        std::lock_guard<std::mutex> l(printLock);
        if (!p.path.empty()) seen[p.path] = true;
        std::string last =
            p.name.empty() ? "" : ", last: " + p.name + " (signal " + std::to_string(p.signal) + ")";
        if (tty)
            std::fprintf(stderr, "\r\033[Kscanning %d/%d, %zu found%s", p.current, p.total, seen.size(),
                         last.c_str());
        else
            std::fprintf(stderr, "scan %d/%d, %zu found%s\n", p.current, p.total, seen.size(), last.c_str());
        std::fflush(stderr);
    };
    std::wstring name = L"pelmo-streamer-" + std::to_wstring(getpid());
    if (FAILED(bus->Connect(L"127.0.0.1", name)))
        return fail("no message bus broker on 127.0.0.1:" + std::to_string(HuxSatellite::BusPort()) +
                    ": start one (scripts/broker.sh start, or mosquitto -p PORT) and set PELMO_BUS_PORT");
    std::string why;
    if (!s.host.open(o.path, {}, why)) return s.openFailed(o.path, why);
    // The plug-in's TV control joins the bus as it opens; its presence may take a moment to show.
    CComVariant args, reply, status;
    HRESULT hr = HUX_E_NO_SERVER;
    for (int i = 0; i < 50 && hr == HUX_E_NO_SERVER; ++i) {
        hr = bus->Request(L"any", L"StartTVScan", args, &reply, HUX_WAIT_REPLY, &status);
        if (hr == HUX_E_NO_SERVER) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (FAILED(hr)) {
        std::fprintf(stderr, "pelmo-streamer: the scan could not be started over the bus: %s\n",
                     hr == HUX_E_NO_SERVER
                         ? "nobody offers StartTVScan (the plug-in's TV control is not on the bus)"
                         : "the request failed");
        s.explainFromLog();
        return kFailed;
    }
    if (status.vt == VT_I4 && status.lVal == 1) {
        std::fprintf(stderr, "a scan is already running on this tuner; waiting for its result\n");
    } else if (status.vt == VT_I4 && status.lVal != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status.lVal));
        std::fprintf(stderr, "pelmo-streamer: the plug-in refused to scan %s: status %s\n", o.path.c_str(),
                     code);
        s.explainFromLog();
        return kFailed;
    }
    bool stopping = false;
    bool ok = false;
    auto silence = std::chrono::milliseconds(static_cast<int64_t>(o.timeout * 1000));
    for (;;) {
        if (bus->waitResult(Clock::now() + std::chrono::milliseconds(200))) {
            ok = true;
            break;
        }
        if (g_interrupted && !stopping) {
            // The scan still ends with its result, which lists what it found so far.
            stopping = true;
            CComVariant none, r, st;
            bus->Request(L"any", L"StopTVScan", none, &r, HUX_WAIT_REPLY, &st);
            std::fprintf(stderr, "\nstopping the scan\n");
        }
        if (Clock::now() - bus->lastHeardAt() > silence) break;
    }
    if (tty) std::fprintf(stderr, "\n");
    std::vector<ScanChannel> channels = bus->channels();
    bus->Disconnect();
    s.host.finish();
    if (!ok) {
        std::fprintf(stderr, "pelmo-streamer: the scan said nothing for %.0f s; gave up\n", o.timeout);
        s.explainFromLog();
        return kFailed;
    }
    if (o.json) {
        std::string out = "[";
        for (size_t i = 0; i < channels.size(); ++i) {
            const ScanChannel& c = channels[i];
            out += std::string(i ? "," : "") + "{\"name\":" + jsonText(c.name) +
                   ",\"path\":" + jsonText(c.path) + ",\"frequency\":" + jsonText(c.frequency) +
                   ",\"signal\":" + std::to_string(c.signal) + "}";
        }
        std::printf("%s]\n", out.c_str());
    } else {
        size_t nameWidth = 4, pathWidth = 4;
        for (const ScanChannel& c : channels) {
            nameWidth = std::max(nameWidth, c.name.size());
            pathWidth = std::max(pathWidth, c.path.size());
        }
        std::printf("%-*s  %-*s  %-9s  %s\n", static_cast<int>(nameWidth), "NAME",
                    static_cast<int>(pathWidth), "PATH", "FREQUENCY", "SIGNAL");
        for (const ScanChannel& c : channels)
            std::printf("%-*s  %-*s  %-9s  %d\n", static_cast<int>(nameWidth), c.name.c_str(),
                        static_cast<int>(pathWidth), c.path.c_str(), c.frequency.c_str(), c.signal);
    }
    if (channels.empty()) std::fprintf(stderr, "the scan found no channel\n");
    return 0;
}

int setup(const Options& o) {
    HostPlaces places = findPlaces(executableDir(), geteuid() == 0);
    std::string registry = o.registry.empty() ? places.registry : o.registry;
    std::string installDir = o.installDir.empty() ? places.installDir : o.installDir;
    std::string why;
    if (!fillRegistryDefaults(registry, installDir, why)) return fail(why);
    std::printf("settings in %s are complete (defaults from %s)\n", registry.c_str(), installDir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--module") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return bad("--module needs the file of a plug-in module");
            o.module = argv[++i];
        } else if (a == "-h" || a == "--help") {
            std::printf("%s", kUsage);
            return 0;
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "%s", kUsage);
        return kBadArguments;
    }
    o.command = argv[i];
    if (o.command == "help") {
        if (i + 1 < argc) {
            auto it = kCommandHelp.find(argv[i + 1]);
            if (it == kCommandHelp.end()) return bad(std::string("no command \"") + argv[i + 1] + "\"");
            std::printf("%s", it->second.c_str());
        } else {
            std::printf("%s", kUsage);
        }
        return 0;
    }
    if (kCommandHelp.count(o.command) == 0) return bad("no command \"" + o.command + "\"");
    if (int rc = parseOptions(argc, argv, i + 1, o)) return rc;
    if (o.help) {
        std::printf("%s", kCommandHelp.at(o.command).c_str());
        return 0;
    }
    if (o.command == "watch" && !o.output.empty() && o.output != "-") {
        std::string ext = o.output.size() > 3 ? o.output.substr(o.output.size() - 3) : "";
        if (ext != ".ts" && (o.output.size() < 4 || o.output.substr(o.output.size() - 4) != ".mkv"))
            return bad("-o names a .ts or .mkv file (or - for stdout), not \"" + o.output + "\"", "watch");
    }
    if (o.command == "snapshot" && !o.output.empty() &&
        (o.output.size() < 4 || o.output.substr(o.output.size() - 4) != ".png"))
        return bad("-o names a .png file, not \"" + o.output + "\"", "snapshot");
    int rc = kBadArguments;
    if (o.command == "scan")
        rc = scan(o);
    else if (o.command == "watch")
        rc = watch(o);
    else if (o.command == "record")
        rc = record(o);
    else if (o.command == "snapshot")
        rc = snapshot(o);
    else if (o.command == "describe")
        rc = describe(o);
    else if (o.command == "setup")
        rc = setup(o);
    std::fflush(stdout);
    setCurrentLogger(nullptr);
    return rc;
}
