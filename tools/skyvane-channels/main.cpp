// skyvane-channels: lists the channels of one recorded multiplex as the digital scan would.
//
//   skyvane-channels --media tv.channel.dvbt|tv.channel.atsc --frequency N [--log-level L] FILE.ts|-
//
// The recording is read the way the scan reads a tuned frequency: PAT, then NIT and SDT (DVB-T)
// or VCT (ATSC), then the PMTs the PAT named, each table from its first complete appearance
// in the file. The channel entries go to standard output, one per line, in UTF-8. The input is a
// regular file or a pipe ("-" for standard input), with 188-, 192- or 204-byte packets.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/mpeg2data/TsFileMpeg2Data.h"
#include "scan/FrequencyTableScan.h"
#include "tools/skyvane-channels/StderrLog.h"

namespace {
constexpr int kExitNotTs = 1;
constexpr int kExitUsage = 2;
// A scan needs a few seconds of a multiplex; a long recording is not read to its end.
constexpr size_t kReadLimit = size_t(256) << 20;

int usage(const char* problem) {
    std::fprintf(stderr, "skyvane-channels: %s\n", problem);
    std::fprintf(stderr,
                 "usage: skyvane-channels --media tv.channel.dvbt|tv.channel.atsc --frequency N "
                 "[--log-level 0-4] FILE.ts|-\n");
    return kExitUsage;
}

// A whole decimal number that fits in 32 bits, sign allowed.
bool parseInt(const char* text, long min, long max, int32_t* out) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = static_cast<int32_t>(v);
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    std::string media, file;
    int32_t frequency = 0, logLevel = -1;
    bool haveFrequency = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--media") {
            if (!value) return usage("--media needs a media type");
            media = value;
            ++i;
        } else if (arg == "--frequency") {
            if (!parseInt(value, INT32_MIN, INT32_MAX, &frequency)) {
                return usage("--frequency needs a whole number");
            }
            haveFrequency = true;
            ++i;
        } else if (arg == "--log-level") {
            if (!parseInt(value, 0, 4, &logLevel)) return usage("--log-level needs a level from 0 to 4");
            ++i;
        } else if (arg == "-h" || arg == "--help") {
            usage("lists the channel entries of a recorded multiplex");
            return 0;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return usage(("unknown option " + arg).c_str());
        } else if (file.empty()) {
            file = arg;
        } else {
            return usage("only one file can be read");
        }
    }
    if (media != "tv.channel.dvbt" && media != "tv.channel.atsc")
        return usage(media.empty() ? "--media is missing" : ("unknown media type " + media).c_str());
    if (!haveFrequency) return usage("--frequency is missing");
    if (file.empty()) return usage("no file given");

    // The input is read once: a pipe can be read only once, and a device may never end.
    std::vector<uint8_t> bytes;
    bool cut = false;
    std::string problem;
    const std::string shown = file == "-" ? "standard input" : file;
    if (!TsFileMpeg2Data::readRecording(file, kReadLimit, &bytes, &cut, &problem)) {
        std::fprintf(stderr, "skyvane-channels: cannot read %s: %s\n", shown.c_str(), problem.c_str());
        return kExitUsage;
    }
    if (cut) {
        std::fprintf(stderr, "skyvane-channels: %s is longer than %zu MiB: only its start is read\n",
                     shown.c_str(), kReadLimit >> 20);
    }
    if (bytes.empty()) {
        std::fprintf(stderr, "skyvane-channels: %s is empty\n", shown.c_str());
        return kExitNotTs;
    }
    ComPtr<TsFileMpeg2Data> source;
    source.Attach(CreateComObject<TsFileMpeg2Data>(std::move(bytes)));
    if (!source->shape().isTransportStream()) {
        std::fprintf(stderr,
                     "skyvane-channels: %s is not a transport stream (no run of 188-, 192- or 204-byte "
                     "packets)\n",
                     shown.c_str());
        return kExitNotTs;
    }

    if (logLevel >= 0) InstallStderrLog(logLevel);

    // The same table scan as a tuned frequency gets, without a tuner to retune or notices to
    // wait for.
    std::vector<std::wstring> entries;
    ScanTunedFrequency(NarrowToWide(media), frequency, frequency, source.Get(), nullptr, nullptr, entries);
    for (const auto& entry : entries) {
        const std::string line = WideToUtf8(entry) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    std::fflush(stdout);
    if (entries.empty())
        std::fprintf(stderr, "skyvane-channels: no named service found in %s\n", shown.c_str());
    return 0;
}
