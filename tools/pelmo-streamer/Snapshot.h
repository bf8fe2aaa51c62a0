// Takes the first video frame the plug-in delivers (decoding it when it is compressed) and writes
// it as a PNG picture.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "host/SimpleStreamDescription.h"
#include "tools/pelmo-streamer/PluginHost.h"

struct AVCodecContext;
struct AVFrame;

namespace pelmo::streamer {

class Snapshot : public PacketSink {
public:
    Snapshot(std::string path, const SimpleStreamDescription& description);
    ~Snapshot() override;

    void packet(SamplePacket& packet) override;
    void discontinuity() override {}

    // True once the picture is written; false on a failure (see failure()) or at the deadline.
    bool wait(std::chrono::steady_clock::time_point deadline);
    std::string failure();
    int width() const { return pictureWidth; }
    int height() const { return pictureHeight; }

private:
    // Converts a frame to RGB and writes the PNG; sets done or error.
    void save(const AVFrame& frame);
    void decode(SamplePacket& p);
    void takeRaw(SamplePacket& p);

    const std::string path;
    const SimpleStreamDescription description;
    std::mutex lock;
    std::condition_variable finished;
    AVCodecContext* decoder = nullptr;
    bool done = false;
    std::string error;
    int pictureWidth = 0;
    int pictureHeight = 0;
};

// Writes an RGB24 picture as PNG; false with a reason.
bool writePng(const std::string& path, const uint8_t* rgb, int stride, int width, int height,
              std::string& error);

}  // namespace pelmo::streamer
