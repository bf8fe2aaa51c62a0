#include "platform/air/AirCatalogue.h"

#include <tinyxml2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <set>

#include "base/CRegistry.h"
#include "base/Text.h"

namespace {

using tinyxml2::XMLElement;

struct CatalogueError {
    std::string text;
};

std::string at(const XMLElement* e) {
    return "line " + std::to_string(e->GetLineNum()) + ": ";
}

[[noreturn]] void fail(const XMLElement* e, const std::string& what) {
    throw CatalogueError{at(e) + what};
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string text(const XMLElement* e, const char* name, bool required) {
    const char* v = e->Attribute(name);
    if (!v) {
        if (required) fail(e, std::string("<") + e->Name() + "> needs the attribute \"" + name + "\"");
        return std::string();
    }
    return v;
}

// Whole decimal numbers only: "474000" yes; "474 MHz", "4e5", "" no.
long long number(const XMLElement* e, const char* name, bool required, long long fallback, long long lo,
                 long long hi) {
    const char* v = e->Attribute(name);
    if (!v) {
        if (required) fail(e, std::string("<") + e->Name() + "> needs the attribute \"" + name + "\"");
        return fallback;
    }
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(v, &end, 10);
    if (*v == '\0' || *end != '\0' || errno == ERANGE)
        fail(e, std::string("\"") + name + "\" is not a number: \"" + v + "\"");
    if (n < lo || n > hi)
        fail(e, std::string("\"") + name + "\" " + v + " is outside " + std::to_string(lo) + ".." +
                    std::to_string(hi));
    return n;
}

double decimal(const XMLElement* e, const char* name, double fallback, double lo, double hi) {
    const char* v = e->Attribute(name);
    if (!v) return fallback;
    char* end = nullptr;
    double d = std::strtod(v, &end);
    if (*v == '\0' || *end != '\0' || !(d >= lo && d <= hi))
        fail(e, std::string("\"") + name + "\" must be a number from " + std::to_string(lo) + " to " +
                    std::to_string(hi) + ": \"" + v + "\"");
    return d;
}

bool flag(const XMLElement* e, const char* name, bool fallback) {
    const char* v = e->Attribute(name);
    if (!v) return fallback;
    if (!std::strcmp(v, "yes") || !std::strcmp(v, "true") || !std::strcmp(v, "1")) return true;
    if (!std::strcmp(v, "no") || !std::strcmp(v, "false") || !std::strcmp(v, "0")) return false;
    fail(e, std::string("\"") + name + "\" must be yes or no: \"" + v + "\"");
}

// Whole decimal number inside [lo, hi] from s[from, to); false when it is not one.
bool wholeNumber(const std::string& s, long long lo, long long hi, long long& out) {
    if (s.empty() || s.size() > 12) return false;
    size_t i = s[0] == '-' ? 1 : 0;
    if (i == s.size()) return false;
    for (size_t k = i; k < s.size(); ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    out = std::strtoll(s.c_str(), nullptr, 10);
    return out >= lo && out <= hi;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

constexpr long long kMaxFaultMs = 86400000;  // a day of broadcast

// "86" (steady) or "0:86,2000:40,5000:86" (ms after tuning : value), times rising.
AirCurve curve(const XMLElement* e, const char* name, int fallback) {
    AirCurve c;
    const char* v = e->Attribute(name);
    if (!v) {
        c.points.push_back({0, fallback});
        return c;
    }
    std::string text = v;
    long long value;
    if (wholeNumber(text, 0, 100, value)) {
        c.points.push_back({0, int(value)});
        return c;
    }
    for (const std::string& point : split(text, ',')) {
        size_t colon = point.find(':');
        long long ms;
        if (colon == std::string::npos || !wholeNumber(point.substr(0, colon), 0, kMaxFaultMs, ms) ||
            !wholeNumber(point.substr(colon + 1), 0, 100, value))
            fail(e, std::string("\"") + name + "\" must be 0..100 or a list of MS:VALUE points: \"" + text +
                        "\"");
        if (!c.points.empty() && ms <= c.points.back().first)
            fail(e, std::string("\"") + name + "\" times must rise: \"" + text + "\"");
        c.points.push_back({int(ms), int(value)});
    }
    return c;
}

// "2000-3500,8000-9000": the signal is gone from 2 s to 3.5 s after tuning, and again later;
// "5000-" never comes back.
std::vector<std::pair<int, int>> dropouts(const XMLElement* e) {
    std::vector<std::pair<int, int>> list;
    const char* v = e->Attribute("dropout");
    if (!v) return list;
    std::string text = v;
    for (const std::string& range : split(text, ',')) {
        size_t dash = range.find('-');
        long long from, to = -1;
        bool ok = dash != std::string::npos && wholeNumber(range.substr(0, dash), 0, kMaxFaultMs, from);
        if (ok && dash + 1 < range.size())
            ok = wholeNumber(range.substr(dash + 1), 0, kMaxFaultMs, to) && to > from;
        if (ok && !list.empty() && (list.back().second < 0 || from < list.back().second)) ok = false;
        if (!ok)
            fail(e, "\"dropout\" must be rising FROM-TO ranges in ms after tuning (TO may be left out): \"" +
                        text + "\"");
        list.push_back({int(from), int(to)});
    }
    return list;
}

const std::map<std::string, AirDeviceCategory> kCategories = {
    {"networktuner", AirDeviceCategory::NetworkTuner}, {"tvtuner", AirDeviceCategory::TvTuner},
    {"crossbar", AirDeviceCategory::Crossbar},         {"encoder", AirDeviceCategory::Encoder},
    {"multiplexer", AirDeviceCategory::Multiplexer},
};

std::string lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

class AirCatalogueReader {
public:
    AirCatalogueReader(AirCatalogue& c, bool requireFiles) : c_(c), requireFiles_(requireFiles) {}

    void read(const XMLElement* root) {
        if (std::strcmp(root->Name(), "broadcast") != 0)
            fail(root, std::string("the root element must be <broadcast>, not <") + root->Name() + ">");
        c_.speed_ = decimal(root, "speed", 1.0, 0.01, 1000.0);
        for (const XMLElement* e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
            std::string n = e->Name();
            if (n == "devices") {
                for (const XMLElement* d = e->FirstChildElement(); d; d = d->NextSiblingElement()) device(d);
            } else if (n == "dvbt" || n == "atsc" || n == "analog") {
                multiplex(e, n);
            } else if (n == "settopbox") {
                setTopBox(e);
            } else {
                fail(e, "unknown element <" + n + ">");
            }
        }
        checkSetTopBox();
    }

private:
    void device(const XMLElement* e) {
        if (std::strcmp(e->Name(), "device") != 0)
            fail(e, std::string("unknown element <") + e->Name() + ">");
        AirDevice d;
        d.line = e->GetLineNum();
        std::string cat = text(e, "category", true);
        auto it = kCategories.find(cat);
        if (it == kCategories.end()) fail(e, "unknown device category \"" + cat + "\"");
        d.category = it->second;
        d.friendlyName = NarrowToWide(text(e, "name", true));
        std::string path = text(e, "path", true);
        d.devicePath = NarrowToWide(path);
        // Tuner and encoder of one card are matched on the path before its last '#'.
        size_t hash = path.rfind('#');
        if (hash == std::string::npos || hash == 0) fail(e, "device path \"" + path + "\" has no '#' part");
        if (!paths_.insert(lower(path)).second) fail(e, "device path \"" + path + "\" is declared twice");
        if (d.category == AirDeviceCategory::NetworkTuner || d.category == AirDeviceCategory::TvTuner) {
            d.receives = text(e, "receives", true);
            bool analog = d.category == AirDeviceCategory::TvTuner;
            if (analog ? d.receives != "analog" : (d.receives != "dvbt" && d.receives != "atsc"))
                fail(e, "a " + cat + " cannot receive \"" + d.receives + "\"");
        }
        if (d.category == AirDeviceCategory::Crossbar) {
            std::string list = e->Attribute("inputs") ? e->Attribute("inputs") : "tuner,composite,composite";
            size_t start = 0;
            while (start <= list.size()) {
                size_t comma = list.find(',', start);
                std::string pin =
                    list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (pin != "tuner" && pin != "composite" && pin != "svideo")
                    fail(e, "unknown crossbar input \"" + pin + "\"");
                d.inputs.push_back(pin);
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        }
        c_.devices_.push_back(d);
    }

    void multiplex(const XMLElement* e, const std::string& kind) {
        AirMultiplex m;
        m.line = e->GetLineNum();
        if (kind == "dvbt") {
            m.system = AirSystem::DVBT;
            m.frequencyKHz = int(number(e, "frequency", true, 0, 47000, 862000));
            m.bandwidthMHz = int(number(e, "bandwidth", true, 0, 5, 8));
            m.offsetKHz = int(number(e, "offset", false, 0, -1000, 1000));
            for (const XMLElement* a = e->FirstChildElement("alternate"); a;
                 a = a->NextSiblingElement("alternate"))
                m.alternateKHz.push_back(int(number(a, "frequency", true, 0, 47000, 862000)));
        } else if (kind == "atsc") {
            m.system = AirSystem::ATSC;
            m.physicalChannel = int(number(e, "channel", true, 0, 2, 69));
        } else {
            m.system = AirSystem::Analog;
            m.channel = int(number(e, "channel", true, 0, 1, 300));
        }
        std::string file = text(e, "file", true);
        if (file.empty()) fail(e, "\"file\" is empty");
        m.file = file[0] == '/' ? file : folder_ + file;
        if (requireFiles_ && !fileExists(m.file)) fail(e, "transport stream file not found: " + m.file);
        m.strengthCurve = curve(e, "strength", 80);
        m.qualityCurve = curve(e, "quality", 80);
        m.strength = m.strengthCurve.at(0);
        m.quality = m.qualityCurve.at(0);
        const char* lockText = e->Attribute("lock");
        m.neverLocks = lockText && std::string(lockText) == "never";
        m.lockMs = m.neverLocks ? 0 : int(number(e, "lock", false, 300, 0, 10000));
        m.dropouts = dropouts(e);
        m.bitrate = number(e, "bitrate", false, 0, 8000, 200000000);
        m.transportStreamId = int(number(e, "tsid", false, 1, 0, 65535));
        m.originalNetworkId = int(number(e, "onid", false, 1, 0, 65535));
        m.networkId = int(number(e, "network", false, m.originalNetworkId, 0, 65535));
        m.networkName = text(e, "networkname", false);
        m.nit = flag(e, "nit", m.system == AirSystem::DVBT);
        m.nitIntervalMs = int(number(e, "nitinterval", false, 500, 25, 10000));
        m.sdtIntervalMs = int(number(e, "sdtinterval", false, 500, 25, 10000));
        m.vctIntervalMs = int(number(e, "vctinterval", false, 400, 25, 10000));
        m.seconds = decimal(e, "seconds", 3.0, 0.5, 60.0);
        std::set<int> ids;
        for (const XMLElement* s = e->FirstChildElement("service"); s; s = s->NextSiblingElement("service")) {
            AirService v;
            v.line = s->GetLineNum();
            v.serviceId = int(number(s, "id", true, 0, 1, 65535));
            if (!ids.insert(v.serviceId).second)
                fail(s, "service id " + std::to_string(v.serviceId) + " is used twice");
            v.name = text(s, "name", true);
            if (v.name.size() > 200) fail(s, "service name longer than 200 bytes");
            v.provider = text(s, "provider", false);
            if (v.provider.size() > 200) fail(s, "provider name longer than 200 bytes");
            v.lcn = int(number(s, "lcn", false, -1, 0, 1023));
            v.type = int(number(s, "type", false, 1, 1, 255));
            if (s->Attribute("format")) {
                v.format = s->Attribute("format");
                if (v.format != "sd" && v.format != "hd")
                    fail(s, "\"format\" must be sd or hd, not \"" + v.format + "\"");
            }
            if (m.system == AirSystem::ATSC) {
                v.major = int(number(s, "major", true, 0, 1, 99));
                v.minor = int(number(s, "minor", true, 0, 0, 999));
            }
            m.services.push_back(v);
        }
        // A DVB-T or ATSC multiplex without services is a capture, played with its own tables.
        for (const XMLElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement())
            if (std::strcmp(c->Name(), "service") && std::strcmp(c->Name(), "alternate"))
                fail(c, std::string("unknown element <") + c->Name() + ">");
        checkUnique(e, m);
        c_.multiplexes_.push_back(m);
    }

    // Two multiplexes on one frequency (or channel) would make what a tuner receives ambiguous.
    void checkUnique(const XMLElement* e, const AirMultiplex& m) {
        for (const AirMultiplex& o : c_.multiplexes_) {
            if (o.system != m.system) continue;
            std::string clash;
            if (m.system == AirSystem::DVBT) {
                for (int f : m.receivedAtKHz())
                    for (int g : o.receivedAtKHz())
                        if (std::abs(f - g) <= 2 * AirCatalogue::kToleranceKHz)
                            clash = "frequency " + std::to_string(f) + " kHz";
            } else if (m.system == AirSystem::ATSC && m.physicalChannel == o.physicalChannel) {
                clash = "physical channel " + std::to_string(m.physicalChannel);
            } else if (m.system == AirSystem::Analog && m.channel == o.channel) {
                clash = "channel " + std::to_string(m.channel);
            }
            if (!clash.empty()) fail(e, clash + " is already on air (line " + std::to_string(o.line) + ")");
        }
    }

    void setTopBox(const XMLElement* e) {
        if (c_.setTopBox_.present) fail(e, "only one <settopbox> is supported");
        AirSetTopBox& b = c_.setTopBox_;
        b.present = true;
        b.line = e->GetLineNum();
        std::string feeds = text(e, "feeds", true);
        if (feeds == "aux") {
            b.auxInput = true;
            b.input = int(number(e, "input", true, 0, 0, 1));
        } else if (feeds == "tuner") {
            b.auxInput = false;
            b.tunerChannel = int(number(e, "tunerchannel", true, 0, 2, 300));
        } else {
            fail(e, "\"feeds\" must be aux or tuner, not \"" + feeds + "\"");
        }
        b.channel = int(number(e, "channel", true, 0, 1, 300));
        b.tuner = NarrowToWide(text(e, "tuner", false));
        stbElement_ = e;
    }

    void checkSetTopBox() {
        if (!stbElement_) return;
        if (!c_.findAnalog(c_.setTopBox_.channel))
            fail(stbElement_, "the set-top box shows channel " + std::to_string(c_.setTopBox_.channel) +
                                  ", which is not on air");
        AirSetTopBox& b = c_.setTopBox_;
        if (!b.tuner.empty()) {
            const AirDevice* d = c_.findDevice(b.tuner);
            if (!d || d->category != AirDeviceCategory::TvTuner)
                fail(stbElement_,
                     "the set-top box is wired to \"" + WideToUtf8(b.tuner) + "\", which is no analog tuner");
            b.tuner = d->devicePath;
        }
    }

public:
    std::string folder_;

private:
    AirCatalogue& c_;
    bool requireFiles_;
    std::set<std::string> paths_;
    const XMLElement* stbElement_ = nullptr;
};

int AirCurve::at(double ms) const {
    if (points.empty()) return 0;
    if (ms <= points.front().first) return points.front().second;
    for (size_t i = 1; i < points.size(); ++i) {
        const auto& a = points[i - 1];
        const auto& b = points[i];
        if (ms < b.first) {
            double f = (ms - a.first) / double(b.first - a.first);
            return int(std::lround(a.second + f * (b.second - a.second)));
        }
    }
    return points.back().second;
}

AirSignal AirMultiplex::signalAt(double ms) const {
    AirSignal s;
    double since = 0;  // when the signal last came (back)
    for (const auto& d : dropouts) {
        if (ms < d.first) break;
        if (d.second < 0 || ms < d.second) return s;  // gone: nothing at all
        since = d.second;
    }
    s.present = true;
    s.strength = strengthCurve.points.empty() ? strength : strengthCurve.at(ms);
    s.locked = !neverLocks && ms - since >= lockMs;
    if (s.locked) s.quality = qualityCurve.points.empty() ? quality : qualityCurve.at(ms);
    return s;
}

std::vector<int> AirMultiplex::receivedAtKHz() const {
    std::vector<int> v;
    if (system != AirSystem::DVBT) return v;
    v.push_back(frequencyKHz + offsetKHz);
    for (int f : alternateKHz) v.push_back(f + offsetKHz);
    return v;
}

std::wstring AirMultiplex::describe() const {
    switch (system) {
        case AirSystem::DVBT:
            return L"DVB-T " + std::to_wstring(frequencyKHz) + L" kHz/" + std::to_wstring(bandwidthMHz) +
                   L" MHz";
        case AirSystem::ATSC:
            return L"ATSC physical channel " + std::to_wstring(physicalChannel);
        case AirSystem::Analog:
            break;
    }
    return L"analog channel " + std::to_wstring(channel);
}

std::unique_ptr<AirCatalogue> AirCatalogue::load(const std::string& path, bool requireFiles,
                                                 std::string& error) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLError rc = doc.LoadFile(path.c_str());
    if (rc == tinyxml2::XML_ERROR_FILE_NOT_FOUND || rc == tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED ||
        rc == tinyxml2::XML_ERROR_FILE_READ_ERROR) {
        error = path + ": cannot be read";
        return nullptr;
    }
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    return build(doc, rc, path, folder, requireFiles, error);
}

std::unique_ptr<AirCatalogue> AirCatalogue::parse(const std::string& xml, const std::string& folder,
                                                  bool requireFiles, std::string& error) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLError rc = doc.Parse(xml.data(), xml.size());
    return build(doc, rc, "broadcast.xml", folder, requireFiles, error);
}

std::unique_ptr<AirCatalogue> AirCatalogue::build(tinyxml2::XMLDocument& doc, int rc, const std::string& name,
                                                  const std::string& folder, bool requireFiles,
                                                  std::string& error) {
    if (rc == tinyxml2::XML_ERROR_EMPTY_DOCUMENT) {
        error = name + ": the file is empty";
        return nullptr;
    }
    if (rc != tinyxml2::XML_SUCCESS) {
        error = name + ": line " + std::to_string(doc.ErrorLineNum()) + ": malformed XML (" +
                tinyxml2::XMLDocument::ErrorIDToName(tinyxml2::XMLError(rc)) + ")";
        return nullptr;
    }
    const XMLElement* root = doc.RootElement();
    if (!root) {
        error = name + ": no root element";
        return nullptr;
    }
    std::unique_ptr<AirCatalogue> c(new AirCatalogue());
    c->path_ = name;
    AirCatalogueReader reader(*c, requireFiles);
    reader.folder_ = folder;
    try {
        reader.read(root);
    } catch (const CatalogueError& e) {
        error = name + ": " + e.text;
        return nullptr;
    }
    return c;
}

const AirMultiplex* AirCatalogue::findDvbt(int frequencyKHz, int bandwidthMHz) const {
    for (const AirMultiplex& m : multiplexes_) {
        if (m.system != AirSystem::DVBT) continue;
        // A receiver set to the wrong channel bandwidth does not lock.
        if (bandwidthMHz > 0 && bandwidthMHz != m.bandwidthMHz) continue;
        for (int f : m.receivedAtKHz())
            if (std::abs(f - frequencyKHz) <= kToleranceKHz) return &m;
    }
    return nullptr;
}

const AirMultiplex* AirCatalogue::findAtsc(int physicalChannel) const {
    for (const AirMultiplex& m : multiplexes_)
        if (m.system == AirSystem::ATSC && m.physicalChannel == physicalChannel) return &m;
    return nullptr;
}

const AirMultiplex* AirCatalogue::findAnalog(int channel) const {
    for (const AirMultiplex& m : multiplexes_)
        if (m.system == AirSystem::Analog && m.channel == channel) return &m;
    return nullptr;
}

const AirDevice* AirCatalogue::findDevice(const std::wstring& nameOrPath) const {
    auto same = [](const std::wstring& a, const std::wstring& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (std::towlower(a[i]) != std::towlower(b[i])) return false;
        return true;
    };
    for (const AirDevice& d : devices_)
        if (same(d.friendlyName, nameOrPath) || same(d.devicePath, nameOrPath)) return &d;
    return nullptr;
}

std::string AirCatalogue::defaultPath() {
    const char* env = std::getenv("PELMO_BROADCAST");
    if (env && *env) return env;
    std::wstring dir;
    if (!readRegistryString(L"Software\\Kelvarin\\Pelmo", L"InstallDir", dir) || dir.empty())
        return "broadcast.xml";
    std::string folder = WideToUtf8(dir);
    // The installation folder may be written the platform's way, with backslashes.
    for (char& c : folder)
        if (c == '\\') c = '/';
    if (folder.back() != '/') folder += '/';
    // An installation keeps the demo broadcast in its own folder below the installation's.
    std::string own = folder + "broadcast.xml";
    std::string demo = folder + "demo/broadcast.xml";
    if (access(own.c_str(), F_OK) != 0 && access(demo.c_str(), F_OK) == 0) return demo;
    return own;
}
