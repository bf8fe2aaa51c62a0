#include "platform/linuxtv/DvbFrontend.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string DvbOpenErrorText(const std::string& path, int err) {
    switch (err) {
        case EBUSY:
            return path + " is busy: another program is using the tuner";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return path + " is not there any more: the tuner was unplugged or its driver unloaded";
        case EACCES:
        case EPERM:
            return path + ": permission denied (is the user in the 'video' group?)";
        default:
            return path + ": " + std::strerror(err);
    }
}

DvbFrontend::~DvbFrontend() {
    close();
}

bool DvbFrontend::open(const std::string& path, bool control, std::string& error) {
    close();
    int fd = ::open(path.c_str(), (control ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = DvbOpenErrorText(path, errno);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

void DvbFrontend::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool DvbFrontend::info(DvbFrontendInfo& out, std::string& error) const {
    dvb_frontend_info fi{};
    if (ioctl(fd_, FE_GET_INFO, &fi) != 0) {
        error = path_ + " is not a DVB front end (FE_GET_INFO: " + std::strerror(errno) + ")";
        return false;
    }
    out.name.assign(fi.name, strnlen(fi.name, sizeof fi.name));
    out.caps = fi.caps;
    out.frequencyMin = fi.frequency_min;
    out.frequencyMax = fi.frequency_max;
    out.systems.clear();
    dtv_property p{};
    p.cmd = DTV_ENUM_DELSYS;
    dtv_properties ps{1, &p};
    if (ioctl(fd_, FE_GET_PROPERTY, &ps) == 0) {
        for (uint32_t i = 0; i < p.u.buffer.len && i < sizeof p.u.buffer.data; ++i)
            out.systems.push_back(static_cast<fe_delivery_system>(p.u.buffer.data[i]));
    }
    return true;
}

bool DvbOutsideRange(const DvbFrontendInfo& info, uint64_t hz) {
    if (info.frequencyMax == 0 || info.frequencyMax < info.frequencyMin) return false;
    return hz < info.frequencyMin || hz > info.frequencyMax;
}

bool DvbFrontend::setProperties(const std::vector<dtv_property>& props, std::string& error, int* err) {
    std::vector<dtv_property> copy = props;
    dtv_properties ps{static_cast<uint32_t>(copy.size()), copy.data()};
    if (ioctl(fd_, FE_SET_PROPERTY, &ps) != 0) {
        const int e = errno;
        if (err) *err = e;
        error = path_ + " refused the tuning (" + std::strerror(e) + ")";
        return false;
    }
    return true;
}

bool DvbFrontend::readSignal(DvbSignal& out, std::string& error) const {
    fe_status_t status{};
    if (ioctl(fd_, FE_READ_STATUS, &status) != 0) {
        int err = errno;
        error =
            err == ENODEV ? DvbOpenErrorText(path_, err) : path_ + ": FE_READ_STATUS: " + std::strerror(err);
        return false;
    }
    dtv_property p[2]{};
    p[0].cmd = DTV_STAT_SIGNAL_STRENGTH;
    p[1].cmd = DTV_STAT_CNR;
    dtv_properties ps{2, p};
    // A driver without statistics fails this or leaves them empty: both read as not available.
    if (ioctl(fd_, FE_GET_PROPERTY, &ps) != 0) {
        p[0].u.st.len = 0;
        p[1].u.st.len = 0;
    }
    out = DvbSignalFrom(status, p[0].u.st, p[1].u.st);
    return true;
}
