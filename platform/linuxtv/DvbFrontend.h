// An open DVB front end (/dev/dvb/adapterN/frontendM): what it is, putting it on a multiplex and
// reading its signal. Opening it read-write makes this process its one controller; the kernel
// refuses a second one with EBUSY.
#pragma once

#include <linux/dvb/frontend.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linuxtv/DvbSignal.h"

struct DvbFrontendInfo {
    std::string name;
    std::vector<fe_delivery_system> systems;
    uint32_t caps = 0;  // FE_CAN_*
    // The frequencies it can be tuned to, in Hz for the terrestrial systems (0 when it does not
    // say). The kernel gives them for the delivery system last set.
    uint32_t frequencyMin = 0;
    uint32_t frequencyMax = 0;
};

// Whether `hz` is outside what `info` says the front end can be tuned to; false when it gives no
// range.
bool DvbOutsideRange(const DvbFrontendInfo& info, uint64_t hz);

class DvbFrontend {
public:
    DvbFrontend() = default;
    ~DvbFrontend();
    DvbFrontend(const DvbFrontend&) = delete;
    DvbFrontend& operator=(const DvbFrontend&) = delete;

    // False with `error` saying why (busy, gone, not a front end).
    bool open(const std::string& path, bool control, std::string& error);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    bool info(DvbFrontendInfo& out, std::string& error) const;
    // False with `error` and, when asked for, the errno in `err` (EINVAL: a value the front end
    // cannot take, such as a frequency outside its range).
    bool setProperties(const std::vector<dtv_property>& props, std::string& error, int* err = nullptr);
    // Lock and presence from FE_READ_STATUS, strength and CNR from DTV_STAT_*. False only when the
    // device itself fails (gone); figures the driver lacks come back as not available.
    bool readSignal(DvbSignal& out, std::string& error) const;

private:
    int fd_ = -1;
    std::string path_;
};

// "busy: another program is using it" and the like, for an errno from opening a device node.
std::string DvbOpenErrorText(const std::string& path, int err);
