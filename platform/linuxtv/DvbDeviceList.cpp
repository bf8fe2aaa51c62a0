#include "platform/linuxtv/DvbDeviceList.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/com/Guid.h"
#include "platform/devenum/DevEnum.h"

namespace fs = std::filesystem;

namespace {

// The number after `prefix` in a folder name ("adapter12" -> 12), -1 when it is not that.
int numberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 4 ||
        name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    int n = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    if (line.size() > 64) line.resize(64);
    return line;
}

// Device paths separate their parts with '#' and '&': anything else than letters, digits and a
// few marks in a serial number becomes '_'.
std::string pathPart(const std::string& text) {
    std::string out;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ':';
        out += ok ? c : '_';
    }
    return out.empty() ? "_" : out;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::wstring widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

}  // namespace

std::string DvbDeviceRoot() {
    const char* root = std::getenv("PELMO_DEVICE_ROOT");
    return root && *root ? root : "/";
}

std::wstring DvbDevicePath(const std::string& root, int adapter, int frontend) {
    std::string category = lower(GuidToNarrowString(KSCATEGORY_BDA_NETWORK_TUNER));
    std::string fe = "fe" + std::to_string(frontend);
    fs::path link = fs::path(root) / "sys/class/dvb" /
                    ("dvb" + std::to_string(adapter) + ".frontend" + std::to_string(frontend)) / "device";
    std::error_code ec;
    fs::path device = fs::canonical(link, ec);
    if (ec) {
        // No sysfs entry: the adapter number is all there is.
        return widen("\\\\?\\dvb#adapter" + std::to_string(adapter) + "#" + fe + "#" + category);
    }
    // A USB tuner's driver binds an interface; the vendor and product are on the device above it.
    for (fs::path p = device; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        std::string vid = firstLine(p / "idVendor");
        std::string pid = firstLine(p / "idProduct");
        if (!vid.empty() && !pid.empty()) {
            std::string serial = firstLine(p / "serial");
            std::string instance = serial.empty() ? p.filename().string() : serial;
            return widen("\\\\?\\usb#vid_" + pathPart(lower(vid)) + "&pid_" + pathPart(lower(pid)) + "#" +
                         pathPart(instance) + "&" + fe + "#" + category);
        }
        std::string ven = firstLine(p / "vendor");
        std::string dev = firstLine(p / "device");
        if (ven.rfind("0x", 0) == 0 && dev.rfind("0x", 0) == 0) {
            auto hex = [](const std::string& v) { return v.rfind("0x", 0) == 0 ? v.substr(2) : v; };
            std::string sub = hex(firstLine(p / "subsystem_device")) + hex(firstLine(p / "subsystem_vendor"));
            return widen("\\\\?\\pci#ven_" + pathPart(lower(ven.substr(2))) + "&dev_" +
                         pathPart(lower(dev.substr(2))) + "&subsys_" + pathPart(lower(sub)) + "#" +
                         pathPart(p.filename().string()) + "&" + fe + "#" + category);
        }
    }
    // Neither USB nor PCI (a virtual or platform device): where it sits in sysfs is stable.
    fs::path devices = fs::weakly_canonical(fs::path(root) / "sys/devices", ec);
    fs::path rel = device.lexically_relative(devices);
    std::string name =
        rel.empty() || rel.native().rfind("..", 0) == 0 ? device.filename().string() : rel.string();
    return widen("\\\\?\\dvb#" + pathPart(name) + "#" + fe + "#" + category);
}

std::vector<DvbDevice> ListDvbFrontends(const std::string& root) {
    std::vector<DvbDevice> found;
    std::error_code ec;
    fs::path dvb = fs::path(root) / "dev/dvb";
    for (const fs::directory_entry& a : fs::directory_iterator(dvb, ec)) {
        int adapter = numberAfter(a.path().filename().string(), "adapter");
        if (adapter < 0) continue;
        std::error_code ec2;
        for (const fs::directory_entry& f : fs::directory_iterator(a.path(), ec2)) {
            int frontend = numberAfter(f.path().filename().string(), "frontend");
            if (frontend < 0) continue;
            DvbDevice d;
            d.adapter = adapter;
            d.frontend = frontend;
            d.frontendPath = f.path().string();
            // One demux and dvr per front end where the adapter has several, else the first.
            std::string n = std::to_string(frontend);
            d.demuxPath = (a.path() / ("demux" + n)).string();
            d.dvrPath = (a.path() / ("dvr" + n)).string();
            if (!fs::exists(d.demuxPath, ec2) || !fs::exists(d.dvrPath, ec2)) {
                d.demuxPath = (a.path() / "demux0").string();
                d.dvrPath = (a.path() / "dvr0").string();
            }
            d.devicePath = DvbDevicePath(root, adapter, frontend);
            d.friendlyName = widen("DVB adapter " + std::to_string(adapter) + " front end " + n);
            found.push_back(std::move(d));
        }
    }
    std::sort(found.begin(), found.end(), [](const DvbDevice& x, const DvbDevice& y) {
        return std::tie(x.adapter, x.frontend) < std::tie(y.adapter, y.frontend);
    });
    return found;
}

std::vector<DvbDevice> FindDvbDevices(const std::string& root, std::vector<std::string>* problems) {
    std::vector<DvbDevice> devices;
    for (DvbDevice& d : ListDvbFrontends(root)) {
        DvbFrontend fe;
        DvbFrontendInfo fi;
        std::string error;
        // Read-only: naming a tuner must work while another program watches with it.
        if (!fe.open(d.frontendPath, false, error) || !fe.info(fi, error)) {
            if (problems) problems->push_back(error);
            continue;
        }
        if (!fi.name.empty()) d.friendlyName = widen(fi.name);
        d.systems = fi.systems;
        d.caps = fi.caps;
        devices.push_back(std::move(d));
    }
    return devices;
}
