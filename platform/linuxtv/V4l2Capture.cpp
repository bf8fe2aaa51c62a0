#include "platform/linuxtv/V4l2Capture.h"

#include <cstdint>

extern "C" {
#include <libswscale/swscale.h>
}

V4l2Capture::V4l2Capture(std::shared_ptr<V4l2Tuner> tuner) : tuner_(std::move(tuner)) {}

V4l2Capture::~V4l2Capture() {
    sws_freeContext(scaler_);
}

std::wstring V4l2Capture::captureName() const {
    return tuner_ ? tuner_->device().friendlyName : std::wstring(L"no tuner");
}

bool V4l2Capture::startCapture(int width, int height, int framesPerSecond, std::string& error) {
    if (!tuner_ || !tuner_->isOpen()) {
        error = "the analog tuner is not open";
        return false;
    }
    width_ = width & ~1;
    height_ = height & ~1;
    fps_ = framesPerSecond > 0 ? framesPerSecond : 25;
    index_ = 0;
    // The card's own size where it can; the scaler makes up any difference.
    return tuner_->startCapture(width_, height_, raw_, error);
}

AnalogCaptureSource::Next V4l2Capture::nextFrame(AirPicture& picture, int maxWaitMs, std::string& error) {
    switch (tuner_->readFrame(raw_, maxWaitMs, error)) {
        case V4l2Tuner::Wait::Failed:
            return Next::Failed;
        case V4l2Tuner::Wait::NotYet:
            return Next::NotYet;
        case V4l2Tuner::Wait::Frame:
            break;
    }
    if (!convert(raw_, width_, height_, picture.i420, scaler_)) {
        error = "cannot convert a " + std::to_string(raw_.width) + "x" + std::to_string(raw_.height) +
                " picture to " + std::to_string(width_) + "x" + std::to_string(height_);
        return Next::Failed;
    }
    picture.index = index_;
    picture.time100ns = index_ * 10000000 / fps_;
    picture.width = width_;
    picture.height = height_;
    picture.channel = -1;
    picture.pcm.clear();
    ++index_;
    return Next::Frame;
}

void V4l2Capture::stopCapture() {
    sws_freeContext(scaler_);
    scaler_ = nullptr;
}

bool V4l2Capture::convert(const V4l2Frame& from, int width, int height, std::vector<uint8_t>& i420,
                          SwsContext*& scaler) {
    if (from.width < 2 || from.height < 2 || width < 2 || height < 2 || (width & 1) || (height & 1) ||
        from.yuyv.size() < from.lineBytes() * size_t(from.height))
        return false;
    scaler = sws_getCachedContext(scaler, from.width, from.height, AV_PIX_FMT_YUYV422, width, height,
                                  AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler) return false;
    size_t luma = size_t(width) * size_t(height);
    i420.resize(luma + luma / 2);
    const uint8_t* src[1] = {from.yuyv.data()};
    int srcStride[1] = {int(from.lineBytes())};
    uint8_t* dst[3] = {i420.data(), i420.data() + luma, i420.data() + luma + luma / 4};
    int dstStride[3] = {width, width / 2, width / 2};
    return sws_scale(scaler, src, srcStride, 0, from.height, dst, dstStride) == height;
}
