#include "platform/air/AirAnalogSource.h"

#include <algorithm>
#include <thread>

#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTestCard.h"
#include "platform/air/AirTuner.h"

AirAnalogSource::AirAnalogSource(std::shared_ptr<AirTuner> tuner, int width, int height, int framesPerSecond)
    : tuner_(std::move(tuner)),
      width_(width & ~1),
      height_(height & ~1),
      fps_(framesPerSecond > 0 ? framesPerSecond : 25),
      start_(std::chrono::steady_clock::now()) {}

bool AirAnalogSource::next(AirPicture& picture, int maxWaitMs) {
    double speed = tuner_->broadcastSpeed();
    auto due = start_ + std::chrono::nanoseconds(int64_t(double(index_) * 1e9 / fps_ / speed));
    auto now = std::chrono::steady_clock::now();
    if (due - now > std::chrono::milliseconds(maxWaitMs)) return false;
    if (due > now) std::this_thread::sleep_until(due);

    AirSignal s = tuner_->signal();
    int channel = s.locked ? tuner_->analogChannel() : -1;
    picture.index = index_;
    picture.time100ns = index_ * 10000000 / fps_;
    picture.width = width_;
    picture.height = height_;
    picture.channel = channel;
    size_t luma = size_t(width_) * size_t(height_);
    picture.i420.resize(luma + luma / 2);
    int64_t samplesDue = (index_ + 1) * kSampleRate / fps_;
    int count = int(samplesDue - samplesDone_);
    picture.pcm.assign(size_t(count) * 2, 0);
    if (channel >= 0) {
        AirTestCard card = AirTestCard::analogChannel(width_, height_, channel);
        card.setFrameRate(fps_, 1);
        uint8_t* y = picture.i420.data();
        uint8_t* u = y + luma;
        uint8_t* v = u + luma / 4;
        card.drawFrame(index_, y, width_, u, width_ / 2, v, width_ / 2);
        std::vector<int16_t> mono(static_cast<size_t>(count));
        card.tone(samplesDone_, count, kSampleRate, mono.data());
        for (int i = 0; i < count; ++i)
            picture.pcm[size_t(2 * i)] = picture.pcm[size_t(2 * i + 1)] = mono[size_t(i)];
    } else {
        // Snow: grey noise, colourless.
        for (size_t i = 0; i < luma; ++i) {
            noise_ = noise_ * 1664525u + 1013904223u;
            picture.i420[i] = uint8_t(16 + (noise_ >> 24) % 220);
        }
        std::fill(picture.i420.begin() + long(luma), picture.i420.end(), 128);
    }
    samplesDone_ = samplesDue;
    ++index_;
    return true;
}
