// An analog TV tuner through V4L2: a capture device (/dev/videoN) with an input of the tuner
// type. It selects that input, sets the tuner to a channel's vision carrier by the country's
// plan, reads the signal from the tuner's status and captures raw pictures (YUYV) by read().
//
// One object may be shared by the threads of a card: tuning and the signal on the control
// thread, a capture on the encoder's thread. The device stays open from open() to destruction.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct V4l2Device {
    std::string path;
    std::wstring friendlyName;  // the card's name from VIDIOC_QUERYCAP
    std::string busInfo;
    uint32_t tunerInput = 0;  // the input of the tuner type
    uint32_t tuner = 0;       // the tuner that input uses
};

// The capture devices under `root`/dev with a tuner input, by device number. Devices that do not
// answer V4L2 are skipped.
std::vector<V4l2Device> FindV4l2Tuners(const std::string& root);

struct V4l2Frame {
    int width = 0;
    int height = 0;
    int stride = 0;             // bytes per line, at least width * 2 (0: exactly that)
    std::vector<uint8_t> yuyv;  // stride * height bytes
    size_t lineBytes() const { return size_t(stride > width * 2 ? stride : width * 2); }
};

class V4l2Tuner {
public:
    V4l2Tuner() = default;
    ~V4l2Tuner();
    V4l2Tuner(const V4l2Tuner&) = delete;
    V4l2Tuner& operator=(const V4l2Tuner&) = delete;

    // Opens the device and selects its tuner input. False with `error` (busy, gone). A tuner
    // already open on that device stays as it is (a capture may be reading it).
    bool open(const V4l2Device& device, std::string& error);
    bool isOpen() const;
    // Channel by the country's analog plan; false with `error` for a channel the plan or the
    // tuner's range does not have (the tuning stays).
    bool tuneChannel(long countryCode, bool cable, long channel, std::string& error);
    // Whether tuneChannel() could take the channel (the plan has it, the tuner's range holds
    // it); false with `error` saying why not. Needs the device open.
    bool hasChannel(long countryCode, bool cable, long channel, std::string& error) const;
    // How many inputs other than the tuner the card has (0 when not open).
    int auxInputCount() const;
    uint64_t frequencyHz() const { return frequencyHz_; }
    // The tuner's signal, 0..100; -1 when the status cannot be read.
    int signalPercent() const;
    // Selects the card's `n`th input that is not the tuner (composite, S-video), counting from 0.
    bool selectAuxInput(int n, std::string& error);
    // Pictures per second of the video standard the input is set to (25 or 30; 30 for
    // 525-line standards, whose exact rate is 30000/1001).
    int framesPerSecond() const;
    // One picture of `width` x `height` (the driver may change the size; the frame says what
    // came), waiting up to the driver's own time for it.
    bool capture(int width, int height, V4l2Frame& frame, std::string& error);

    // A continuous capture: the format is set once (the driver may change the size: `format`
    // says what comes), then readFrame() takes the pictures as they arrive.
    bool startCapture(int width, int height, V4l2Frame& format, std::string& error);
    enum class Wait { Frame, NotYet, Failed };
    Wait readFrame(V4l2Frame& frame, int maxWaitMs, std::string& error);

    const V4l2Device& device() const { return device_; }

private:
    bool setFormat(int width, int height, V4l2Frame& frame, std::string& error);

    mutable std::mutex mutex_;  // guards the state below; reads of pictures run outside it
    int fd_ = -1;
    V4l2Device device_;
    bool lowUnits_ = false;  // the tuner counts in 62.5 Hz, else 62.5 kHz
    uint64_t rangeLowHz_ = 0, rangeHighHz_ = 0;
    uint64_t frequencyHz_ = 0;
};
