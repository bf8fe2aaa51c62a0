// A V4L2 card's pictures as its encoder takes them (AnalogCaptureSource): YUYV from the capture
// device, converted and scaled to I420 at the encoder's size. V4L2 gives no sound on the
// capture device (a card's sound, where it has any, is a separate sound device), so frames
// carry none and the encoder makes the programme's audio silent.
#pragma once

#include <memory>
#include <string>

#include "platform/air/AnalogCaptureSource.h"
#include "platform/linuxtv/V4l2Tuner.h"

struct SwsContext;

class V4l2Capture : public AnalogCaptureSource {
public:
    explicit V4l2Capture(std::shared_ptr<V4l2Tuner> tuner);
    ~V4l2Capture() override;

    std::wstring captureName() const override;
    bool hasSound() const override { return false; }
    bool startCapture(int width, int height, int framesPerSecond, std::string& error) override;
    Next nextFrame(AirPicture& picture, int maxWaitMs, std::string& error) override;
    void stopCapture() override;

    const std::shared_ptr<V4l2Tuner>& tuner() const { return tuner_; }

    // One YUYV picture to I420 of another size (or the same); false when a size is unusable.
    // `scaler` is kept between calls of one size.
    static bool convert(const V4l2Frame& from, int width, int height, std::vector<uint8_t>& i420,
                        SwsContext*& scaler);

private:
    std::shared_ptr<V4l2Tuner> tuner_;
    int width_ = 0, height_ = 0, fps_ = 25;
    int64_t index_ = 0;
    V4l2Frame raw_;
    SwsContext* scaler_ = nullptr;
};
