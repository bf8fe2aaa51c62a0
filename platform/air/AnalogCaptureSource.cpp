#include "platform/air/AnalogCaptureSource.h"

#include "platform/air/AirTuner.h"

AirTunerCapture::AirTunerCapture(std::shared_ptr<AirTuner> tuner) : tuner_(std::move(tuner)) {}

std::wstring AirTunerCapture::captureName() const {
    return tuner_ ? tuner_->device().friendlyName : std::wstring(L"no tuner");
}

bool AirTunerCapture::startCapture(int width, int height, int framesPerSecond, std::string& error) {
    if (!tuner_) {
        error = "no tuner";
        return false;
    }
    if (tuner_->device().receives != "analog") {
        error = "the tuner receives no analog picture to encode";
        return false;
    }
    source_ = std::make_unique<AirAnalogSource>(tuner_, width, height, framesPerSecond);
    return true;
}

AnalogCaptureSource::Next AirTunerCapture::nextFrame(AirPicture& picture, int maxWaitMs, std::string& error) {
    if (!source_) {
        error = "the capture has not started";
        return Next::Failed;
    }
    return source_->next(picture, maxWaitMs) ? Next::Frame : Next::NotYet;
}

void AirTunerCapture::stopCapture() {
    source_.reset();
}
