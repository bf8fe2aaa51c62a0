#include "platform/linuxtv/V4l2DeviceRegistration.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/devenum/DevEnum.h"
#include "platform/linuxtv/V4l2EncoderFilter.h"

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    if (line.size() > 64) line.resize(64);
    return line;
}

// Device paths separate their parts with '#' and '&': anything but letters, digits and a few
// marks becomes '_' so that a driver's text cannot add parts.
std::string pathPart(const std::string& text) {
    std::string out;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ':';
        out += ok ? c : '_';
    }
    return out;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::wstring widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::string hex(const std::string& v) {
    return v.rfind("0x", 0) == 0 ? v.substr(2) : v;
}

std::wstring withCategory(const std::wstring& card, REFGUID category) {
    return card + L"#" + widen(lower(GuidToNarrowString(category)));
}

}  // namespace

std::wstring V4l2CardPath(const std::string& root, const V4l2Device& device) {
    std::string node = fs::path(device.path).filename().string();
    std::error_code ec;
    fs::path sys = fs::canonical(fs::path(root) / "sys/class/video4linux" / node / "device", ec);
    for (fs::path p = sys; !ec && !p.empty() && p != p.root_path(); p = p.parent_path()) {
        std::string vid = firstLine(p / "idVendor");
        std::string pid = firstLine(p / "idProduct");
        if (!vid.empty() && !pid.empty()) {
            std::string serial = firstLine(p / "serial");
            std::string instance = serial.empty() ? p.filename().string() : serial;
            return widen("\\\\?\\usb#vid_" + pathPart(lower(vid)) + "&pid_" + pathPart(lower(pid)) + "#" +
                         pathPart(instance) + "&" + pathPart(node));
        }
        std::string ven = firstLine(p / "vendor");
        std::string dev = firstLine(p / "device");
        if (ven.rfind("0x", 0) == 0 && dev.rfind("0x", 0) == 0) {
            std::string sub = hex(firstLine(p / "subsystem_device")) + hex(firstLine(p / "subsystem_vendor"));
            return widen("\\\\?\\pci#ven_" + pathPart(lower(hex(ven))) + "&dev_" + pathPart(lower(hex(dev))) +
                         "&subsys_" + pathPart(lower(sub)) + "#" + pathPart(p.filename().string()) + "&" +
                         pathPart(node));
        }
    }
    // A virtual or platform device: its bus name is what identifies it.
    std::string bus = device.busInfo.empty() ? std::string("v4l2") : device.busInfo;
    return widen("\\\\?\\v4l2#" + pathPart(lower(bus)) + "#" + pathPart(node));
}

V4l2DeviceRegistration::V4l2DeviceRegistration(const std::string& root,
                                               const std::vector<V4l2Device>& devices) {
    for (const V4l2Device& d : devices) {
        auto card = std::make_shared<V4l2Card>();
        card->device = d;
        std::wstring path = V4l2CardPath(root, d);
        card->tunerPath = withCategory(path, KSCATEGORY_TVTUNER);
        card->encoderPath = withCategory(path, KSCATEGORY_ENCODER);
        cards_.push_back(card);

        DeviceRecord tuner;
        tuner.category = KSCATEGORY_TVTUNER;
        tuner.friendlyName = d.friendlyName;
        tuner.devicePath = card->tunerPath;
        tuner.factory = [card](REFIID riid, void** ppv) -> HRESULT {
            ComPtr<V4l2TunerFilter> filter;
            filter.Attach(CreateComObject<V4l2TunerFilter>(card));
            return filter->QueryInterface(riid, ppv);
        };
        registrations_.push_back(std::make_unique<ScopedDeviceRegistration>(std::move(tuner)));

        DeviceRecord encoder;
        encoder.category = KSCATEGORY_ENCODER;
        encoder.friendlyName = d.friendlyName + L" MPEG Encoder";
        encoder.devicePath = card->encoderPath;
        encoder.factory = [card](REFIID riid, void** ppv) -> HRESULT {
            ComPtr<V4l2EncoderFilter> filter;
            filter.Attach(CreateComObject<V4l2EncoderFilter>(card));
            return filter->QueryInterface(riid, ppv);
        };
        registrations_.push_back(std::make_unique<ScopedDeviceRegistration>(std::move(encoder)));
    }
}
