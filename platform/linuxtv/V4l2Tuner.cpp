#include "platform/linuxtv/V4l2Tuner.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/linuxtv/AnalogChannelPlan.h"
#include "platform/linuxtv/DvbFrontend.h"

namespace fs = std::filesystem;

namespace {

int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

std::string text(const uint8_t* bytes, size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes),
                       strnlen(reinterpret_cast<const char*>(bytes), size));
}

// Fills `d` when the open device captures video through a tuner input.
bool describe(int fd, V4l2Device& d) {
    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) return false;
    uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_TUNER)) return false;
    for (uint32_t i = 0; i < 64; ++i) {
        v4l2_input in{};
        in.index = i;
        if (xioctl(fd, VIDIOC_ENUMINPUT, &in) != 0) break;
        if (in.type == V4L2_INPUT_TYPE_TUNER) {
            std::string card = text(cap.card, sizeof cap.card);
            d.friendlyName.assign(card.begin(), card.end());
            d.busInfo = text(cap.bus_info, sizeof cap.bus_info);
            d.tunerInput = i;
            d.tuner = in.tuner;
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<V4l2Device> FindV4l2Tuners(const std::string& root) {
    std::vector<std::pair<int, std::string>> nodes;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(root) / "dev", ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("video", 0) != 0 || name.size() == 5 || name.size() > 8) continue;
        if (!std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        nodes.emplace_back(std::stoi(name.substr(5)), e.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<V4l2Device> found;
    for (const auto& [number, path] : nodes) {
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        V4l2Device d;
        d.path = path;
        if (describe(fd, d)) found.push_back(d);
        ::close(fd);
    }
    return found;
}

V4l2Tuner::~V4l2Tuner() {
    if (fd_ >= 0) ::close(fd_);
}

bool V4l2Tuner::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

bool V4l2Tuner::open(const V4l2Device& device, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0 && device.path == device_.path) return true;
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(device.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        error = DvbOpenErrorText(device.path, errno);
        return false;
    }
    device_ = device;
    // A device that fails here is closed again: the next tune tries afresh.
    uint32_t input = device.tunerInput;
    if (xioctl(fd_, VIDIOC_S_INPUT, &input) != 0) {
        error = device.path + ": cannot select the tuner input (" + std::strerror(errno) + ")";
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    v4l2_tuner t{};
    t.index = device.tuner;
    if (xioctl(fd_, VIDIOC_G_TUNER, &t) != 0) {
        error = device.path + ": the tuner does not answer (" + std::strerror(errno) + ")";
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    lowUnits_ = (t.capability & V4L2_TUNER_CAP_LOW) != 0;
    // Frequencies count in 62.5 Hz (low) or 62.5 kHz units.
    uint64_t num = lowUnits_ ? 125 : 125000;
    rangeLowHz_ = uint64_t(t.rangelow) * num / 2;
    rangeHighHz_ = uint64_t(t.rangehigh) * num / 2;
    return true;
}

bool V4l2Tuner::hasChannel(long countryCode, bool cable, long channel, std::string& error) const {
    uint64_t hz = AnalogVisionCarrierHz(countryCode, cable, channel);
    if (hz == 0) {
        error = "channel " + std::to_string(channel) + " is not in the analog plan of country " +
                std::to_string(countryCode);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        error = "the analog tuner is not open";
        return false;
    }
    if (hz < rangeLowHz_ || hz > rangeHighHz_) {
        error = "channel " + std::to_string(channel) + " is outside the tuner's range";
        return false;
    }
    return true;
}

int V4l2Tuner::auxInputCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (uint32_t i = 0; fd_ >= 0 && i < 64; ++i) {
        v4l2_input in{};
        in.index = i;
        if (xioctl(fd_, VIDIOC_ENUMINPUT, &in) != 0) break;
        if (in.type != V4L2_INPUT_TYPE_TUNER) ++count;
    }
    return count;
}

bool V4l2Tuner::tuneChannel(long countryCode, bool cable, long channel, std::string& error) {
    if (!hasChannel(countryCode, cable, channel, error)) return false;
    uint64_t hz = AnalogVisionCarrierHz(countryCode, cable, channel);
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        error = "the analog tuner is not open";
        return false;
    }
    // Back from an auxiliary input to the tuner; a failure shows in the frequency's answer.
    uint32_t input = device_.tunerInput;
    xioctl(fd_, VIDIOC_S_INPUT, &input);
    v4l2_frequency f{};
    f.tuner = device_.tuner;
    f.type = V4L2_TUNER_ANALOG_TV;
    f.frequency = static_cast<uint32_t>(lowUnits_ ? hz * 2 / 125 : hz / 62500);
    if (xioctl(fd_, VIDIOC_S_FREQUENCY, &f) != 0) {
        error = errno == ENODEV ? DvbOpenErrorText(device_.path, errno)
                                : device_.path + " refused the frequency (" + std::strerror(errno) + ")";
        return false;
    }
    frequencyHz_ = hz;
    return true;
}

bool V4l2Tuner::selectAuxInput(int n, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        error = "the analog tuner is not open";
        return false;
    }
    int seen = 0;
    for (uint32_t i = 0; i < 64; ++i) {
        v4l2_input in{};
        in.index = i;
        if (xioctl(fd_, VIDIOC_ENUMINPUT, &in) != 0) break;
        if (in.type == V4L2_INPUT_TYPE_TUNER) continue;
        if (seen++ != n) continue;
        if (xioctl(fd_, VIDIOC_S_INPUT, &i) != 0) {
            error = device_.path + ": cannot select input " + text(in.name, sizeof in.name) + " (" +
                    std::strerror(errno) + ")";
            return false;
        }
        frequencyHz_ = 0;
        return true;
    }
    error = device_.path + " has no auxiliary input " + std::to_string(n);
    return false;
}

int V4l2Tuner::framesPerSecond() const {
    std::lock_guard<std::mutex> lock(mutex_);
    v4l2_std_id id = 0;
    if (fd_ >= 0 && xioctl(fd_, VIDIOC_G_STD, &id) == 0 && (id & V4L2_STD_525_60) && !(id & V4L2_STD_625_50))
        return 30;
    return 25;
}

int V4l2Tuner::signalPercent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    v4l2_tuner t{};
    t.index = device_.tuner;
    if (fd_ < 0 || xioctl(fd_, VIDIOC_G_TUNER, &t) != 0) return -1;
    return static_cast<int>(uint32_t(t.signal) * 100 / 65535);
}

bool V4l2Tuner::setFormat(int width, int height, V4l2Frame& frame, std::string& error) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<uint32_t>(width);
    fmt.fmt.pix.height = static_cast<uint32_t>(height);
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
    if (xioctl(fd_, VIDIOC_S_FMT, &fmt) != 0) {
        // A device that streams already keeps its format; take it as it is.
        if (errno != EBUSY || xioctl(fd_, VIDIOC_G_FMT, &fmt) != 0) {
            error = device_.path + " gives no YUYV pictures (" + std::strerror(errno) + ")";
            return false;
        }
    }
    if (fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV || fmt.fmt.pix.width < 2 || fmt.fmt.pix.height < 2) {
        error = device_.path + " gives no YUYV pictures";
        return false;
    }
    frame.width = static_cast<int>(fmt.fmt.pix.width);
    frame.height = static_cast<int>(fmt.fmt.pix.height);
    // Some cards pad their lines.
    frame.stride = fmt.fmt.pix.bytesperline < 65536 ? static_cast<int>(fmt.fmt.pix.bytesperline) : 0;
    size_t size = std::max<size_t>(fmt.fmt.pix.sizeimage, frame.lineBytes() * size_t(frame.height));
    frame.yuyv.assign(size, 0);
    return true;
}

bool V4l2Tuner::capture(int width, int height, V4l2Frame& frame, std::string& error) {
    if (!startCapture(width, height, frame, error)) return false;
    // A driver that never delivers must not hold the caller for ever: a picture is due within a
    // frame time, five seconds is far beyond any.
    Wait w = readFrame(frame, 5000, error);
    if (w == Wait::NotYet) error = device_.path + ": no picture within 5 s";
    return w == Wait::Frame;
}

bool V4l2Tuner::startCapture(int width, int height, V4l2Frame& format, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        error = "the analog tuner is not open";
        return false;
    }
    return setFormat(width, height, format, error);
}

V4l2Tuner::Wait V4l2Tuner::readFrame(V4l2Frame& frame, int maxWaitMs, std::string& error) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = fd_;
    }
    if (fd < 0) {
        error = "the analog tuner is not open";
        return Wait::Failed;
    }
    size_t want = frame.lineBytes() * size_t(frame.height);
    if (frame.yuyv.size() < want) frame.yuyv.resize(want);
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, maxWaitMs);
    if (ready < 0 && errno != EINTR) {
        error = device_.path + ": " + std::strerror(errno);
        return Wait::Failed;
    }
    if (ready <= 0) return Wait::NotYet;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        error = DvbOpenErrorText(device_.path, ENODEV);
        return Wait::Failed;
    }
    ssize_t got = ::read(fd, frame.yuyv.data(), frame.yuyv.size());
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) return Wait::NotYet;
        // Another program capturing from the card holds its pictures.
        error = errno == ENODEV || errno == EBUSY
                    ? DvbOpenErrorText(device_.path, errno)
                    : device_.path + ": no picture (" + std::strerror(errno) + ")";
        return Wait::Failed;
    }
    // A short read is a picture cut off (the driver dropped a buffer): not worth encoding.
    if (size_t(got) < want) return Wait::NotYet;
    frame.yuyv.resize(size_t(got));
    return Wait::Frame;
}
