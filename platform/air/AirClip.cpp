#include "platform/air/AirClip.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/air/AirSeam.h"
#include "platform/air/TsPacket.h"

namespace {

// Real captures carry 192-byte (timestamp prefix) and 204-byte (Reed-Solomon suffix) packets.
size_t detectStride(const std::vector<uint8_t>& b) {
    for (size_t stride : {size_t(188), size_t(192), size_t(204)}) {
        size_t lead = stride == 192 ? 4 : 0;
        for (size_t start = 0; start < stride && start < b.size(); ++start) {
            size_t at = start + lead;
            int run = 0;
            while (at < b.size() && b[at] == tspacket::kSync && run < 5) {
                ++run;
                at += stride;
            }
            if (run >= 5 || (run >= 1 && at >= b.size())) return stride;
        }
    }
    return 188;
}

// Ticks per packet for a bitrate.
double ticksPerPacket(int64_t bitrate) {
    return double(tspacket::kClockHz) * 188 * 8 / double(bitrate);
}

}  // namespace

std::shared_ptr<const AirClip> AirClip::load(const std::string& path, int64_t fallbackBitrate,
                                             std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open transport stream file " + path;
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto clip = fromBytes(bytes, fallbackBitrate, error);
    if (!clip) error = path + ": " + error;
    return clip;
}

std::shared_ptr<const AirClip> AirClip::fromBytes(const std::vector<uint8_t>& b, int64_t fallbackBitrate,
                                                  std::string& error) {
    std::shared_ptr<AirClip> clip(new AirClip());
    size_t stride = detectStride(b);
    size_t lead = stride == 192 ? 4 : 0;
    size_t at = 0;
    while (at + lead < b.size() && b.size() - (at + lead) >= tspacket::kSize) {
        const uint8_t* p = b.data() + at + lead;
        if (p[0] != tspacket::kSync) {
            ++at;  // lost sync: slide until a sync byte lines up again
            continue;
        }
        clip->data_.insert(clip->data_.end(), p, p + tspacket::kSize);
        at += stride;
    }
    size_t n = clip->data_.size() / tspacket::kSize;
    if (n == 0) {
        error = "no transport stream packets found";
        return nullptr;
    }
    clip->seamTrim_ = trimToWholeUnits(clip->data_);
    clip->times_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = clip->packet(i);
        uint16_t pid = tspacket::pid(p);
        if (pid == tspacket::kNullPid || tspacket::transportError(p)) continue;
        if (clip->firstCc_[pid] < 0 && tspacket::hasPayload(p)) {
            clip->firstCc_[pid] = int8_t(tspacket::continuity(p));
            clip->pids_.push_back(pid);
        }
    }
    clip->schedule(fallbackBitrate > 0 ? fallbackBitrate : kDefaultBitrate);
    return clip;
}

// Times follow the PCR of the first PID that carries one, interpolated by position between
// PCRs. A PCR that goes backwards or implies an unlikely rate (a wrap, a splice, reception
// damage) starts a new segment that continues at the rate seen so far, so send times always
// grow and the clip plays through its own discontinuities the way a transmitter would.
void AirClip::schedule(int64_t fallbackBitrate) {
    size_t n = times_.size();
    for (size_t i = 0; i < n && pcrPid_ < 0; ++i) {
        int64_t pcr;
        if (!tspacket::transportError(packet(i)) && tspacket::readPcr(packet(i), pcr))
            pcrPid_ = tspacket::pid(packet(i));
    }
    const double minTicks = ticksPerPacket(200000000);  // 200 Mbit/s
    const double maxTicks = ticksPerPacket(8000);       // 8 kbit/s
    std::vector<std::pair<size_t, double>> points;      // packet index, send time
    double rate = ticksPerPacket(fallbackBitrate);
    bool rateKnown = false;
    int64_t prevPcr = 0;
    for (size_t i = 0; i < n && pcrPid_ >= 0; ++i) {
        const uint8_t* p = packet(i);
        int64_t pcr;
        if (tspacket::pid(p) != pcrPid_ || tspacket::transportError(p) || !tspacket::readPcr(p, pcr))
            continue;
        if (points.empty()) {
            points.push_back({i, 0.0});
        } else {
            size_t gap = i - points.back().first;
            if (gap == 0) continue;
            double per = double(pcr - prevPcr) / double(gap);
            if (pcr > prevPcr && per >= minTicks && per <= maxTicks) {
                rate = per;
                rateKnown = true;
                points.push_back({i, points.back().second + double(pcr - prevPcr)});
            } else {
                points.push_back({i, points.back().second + rate * double(gap)});
            }
        }
        prevPcr = pcr;
    }
    if (!rateKnown) {
        points.clear();
        pcrPid_ = -1;
        rate = ticksPerPacket(fallbackBitrate);
    }
    if (points.empty()) points.push_back({0, 0.0});
    // Before the first PCR and after the last, extrapolate with the nearest segment's rate.
    double firstRate = rate, lastRate = rate;
    if (points.size() >= 2) {
        firstRate = (points[1].second - points[0].second) / double(points[1].first - points[0].first);
        size_t k = points.size() - 1;
        lastRate = (points[k].second - points[k - 1].second) / double(points[k].first - points[k - 1].first);
    }
    double origin = points.front().second - firstRate * double(points.front().first);
    size_t seg = 0;
    for (size_t i = 0; i < n; ++i) {
        double t;
        if (i <= points.front().first) {
            t = points.front().second - firstRate * double(points.front().first - i);
        } else if (i >= points.back().first) {
            t = points.back().second + lastRate * double(i - points.back().first);
        } else {
            while (points[seg + 1].first < i) ++seg;
            const auto& a = points[seg];
            const auto& b = points[seg + 1];
            t = a.second + (b.second - a.second) * double(i - a.first) / double(b.first - a.first);
        }
        times_[i] = int64_t(t - origin);
    }
    int64_t end = times_[n - 1] + std::max<int64_t>(1, int64_t(lastRate));
    loopTicks_ = (end + 299) / 300 * 300;
}

double AirClip::bitrate() const {
    return double(packetCount()) * 188 * 8 * double(tspacket::kClockHz) / double(loopTicks_);
}

size_t AirClip::firstPacketAtOrAfter(int64_t ticks) const {
    return size_t(std::lower_bound(times_.begin(), times_.end(), ticks) - times_.begin());
}
