// What an analog card's encoder takes: raw pictures and sound from a capture source. The air's
// analog tuners are one such source (AirTunerCapture); a real card's capture device is another.
//
// A capture runs between startCapture() and stopCapture(), on the encoder's thread. Pictures are
// I420 at the size the encoder asked for (the source scales what it receives); frames are
// numbered from 0 in the order captured, and the encoder stamps them by that number.
#pragma once

#include <memory>
#include <string>

#include "platform/air/AirAnalogSource.h"

class AirTuner;

class AnalogCaptureSource {
public:
    enum class Next { Frame, NotYet, Failed };

    virtual ~AnalogCaptureSource() = default;

    // The device's name for the log.
    virtual std::wstring captureName() const = 0;
    // Whether frames carry the card's sound. A card without sound gives none, and its encoder
    // encodes silence so that the programme keeps its audio stream.
    virtual bool hasSound() const = 0;
    // False with `error` when the device cannot give pictures of that size and rate.
    virtual bool startCapture(int width, int height, int framesPerSecond, std::string& error) = 0;
    // Frame when `picture` holds the next frame; NotYet when none came within `maxWaitMs`;
    // Failed with `error` when the device gives no more.
    virtual Next nextFrame(AirPicture& picture, int maxWaitMs, std::string& error) = 0;
    virtual void stopCapture() = 0;
};

// An analog tuner on air as a capture source: its channel's card and tone, or snow.
class AirTunerCapture : public AnalogCaptureSource {
public:
    explicit AirTunerCapture(std::shared_ptr<AirTuner> tuner);

    std::wstring captureName() const override;
    bool hasSound() const override { return true; }
    bool startCapture(int width, int height, int framesPerSecond, std::string& error) override;
    Next nextFrame(AirPicture& picture, int maxWaitMs, std::string& error) override;
    void stopCapture() override;

    const std::shared_ptr<AirTuner>& tuner() const { return tuner_; }

private:
    std::shared_ptr<AirTuner> tuner_;
    std::unique_ptr<AirAnalogSource> source_;
};
