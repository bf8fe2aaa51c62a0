// The DVB front ends of this machine: /dev/dvb/adapterN/frontendM with the adapter's demux0 and
// dvr0, each with a device path that stays the same from one boot (or plug) to the next because
// it is made from what sysfs says about the hardware (USB vendor, product and serial number or
// port; PCI ids and slot), not from the adapter number the kernel happened to give.
#pragma once

#include <string>
#include <vector>

#include "platform/linuxtv/DvbFrontend.h"

struct DvbDevice {
    int adapter = 0;
    int frontend = 0;
    std::string frontendPath;
    std::string demuxPath;
    std::string dvrPath;
    std::wstring devicePath;
    std::wstring friendlyName;  // from FE_GET_INFO
    std::vector<fe_delivery_system> systems;
    uint32_t caps = 0;  // FE_CAN_* from FE_GET_INFO
};

// Where /dev and /sys are looked for: $PELMO_DEVICE_ROOT, default "/" (tests point it at a tree
// of their own).
std::string DvbDeviceRoot();

// The front ends under `root` in adapter and front-end order, without opening them.
std::vector<DvbDevice> ListDvbFrontends(const std::string& root);
// The stable device path of one front end, from <root>/sys/class/dvb/dvbN.frontendM/device.
std::wstring DvbDevicePath(const std::string& root, int adapter, int frontend);
// The listed front ends that answer FE_GET_INFO, with their names and delivery systems; each
// one that does not is named in `problems`.
std::vector<DvbDevice> FindDvbDevices(const std::string& root, std::vector<std::string>* problems);
