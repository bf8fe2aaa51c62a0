// Writes what the plug-in delivers into a playable file: compressed packets remuxed into MPEG-TS
// or Matroska, raw frames and PCM as uncompressed video and sound in Matroska.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/SimpleStreamDescription.h"
#include "tools/pelmo-streamer/PluginHost.h"

struct AVFormatContext;
struct SwsContext;

namespace pelmo::streamer {

class MediaWriter : public PacketSink {
public:
    struct Counts {
        int video = 0;
        int audio = 0;
        int dropped = 0;
        int timelines = 0;  // 1 + every new timeline that was joined on
    };

    // path is a file ending in .ts or .mkv, or "-" for standard output. Null with a reason.
    static std::unique_ptr<MediaWriter> create(const std::string& path,
                                               const SimpleStreamDescription& description,
                                               std::string& error);
    ~MediaWriter() override;

    void packet(SamplePacket& packet) override;
    void discontinuity() override;

    // Nothing at or after `us` microseconds of the file is written: the file ends there.
    void limit(int64_t us);
    // Waits until `us` microseconds of the file are written; false on a failure or at the deadline.
    bool waitFor(int64_t us, std::chrono::steady_clock::time_point deadline);
    int64_t written();
    Counts counts();
    // The first failure of the writing thread, empty while there is none.
    std::string failure();
    // Ends the file. False when nothing could be written or the file could not be finished; a
    // file with nothing in it is removed.
    bool close(std::string& error);

private:
    MediaWriter(std::string path, const SimpleStreamDescription& description);
    bool openOutput(std::string& error);
    bool openStreams(SamplePacket& first, std::string& error);
    void write(SamplePacket& p, int index);
    int64_t reorderDts(int64_t pts, int64_t duration);
    void fail(const std::string& why);

    const std::string path;
    const SimpleStreamDescription description;
    const bool toStdout;
    const bool rawVideo;
    const bool rawAudio;
    const bool wantVideo;
    const bool wantAudio;

    std::mutex lock;
    std::condition_variable progress;
    AVFormatContext* out = nullptr;
    SwsContext* scaler = nullptr;
    std::vector<uint8_t> picture;
    int videoIndex = -1;
    int audioIndex = -1;
    bool started = false;
    bool rebase = false;
    int64_t offset = 0;
    int64_t lastDts[2] = {INT64_MIN, INT64_MIN};
    int64_t streamEnd[2] = {0, 0};
    int64_t maxEnd = 0;
    int64_t stopAt = INT64_MAX;
    bool pastStop = false;  // a packet came from beyond stopAt
    std::vector<int64_t> ptsBuffer;
    std::string error;
    Counts stats;
};

}  // namespace pelmo::streamer
