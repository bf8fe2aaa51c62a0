// The raw output of an analog tuner: pictures and sound at the frame rate, as the tuner's
// video decoder delivers them. A tuned channel shows its card (the channel number, a moving
// bar) with its tone; without a signal the picture is snow and the sound is silent. The
// picture follows the tuner: a retune or a set-top-box change shows on the next frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class AirTuner;

struct AirPicture {
    int64_t index = 0;
    int64_t time100ns = 0;  // presentation time from the first frame
    int width = 0;
    int height = 0;
    int channel = -1;           // channel shown, -1 for snow
    std::vector<uint8_t> i420;  // Y plane, then U and V at half size
    std::vector<int16_t> pcm;   // 48 kHz stereo, interleaved, this frame's share
};

class AirAnalogSource {
public:
    static constexpr int kSampleRate = 48000;

    AirAnalogSource(std::shared_ptr<AirTuner> tuner, int width, int height, int framesPerSecond);

    // Waits until the next frame is due (at the broadcast's speed) and fills it. False when
    // `maxWaitMs` runs out first.
    bool next(AirPicture& picture, int maxWaitMs);

private:
    std::shared_ptr<AirTuner> tuner_;
    int width_, height_, fps_;
    int64_t index_ = 0;
    int64_t samplesDone_ = 0;
    uint32_t noise_ = 0x12345678;
    std::chrono::steady_clock::time_point start_;
};
