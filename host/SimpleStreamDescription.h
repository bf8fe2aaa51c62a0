// A stream description that keeps what the plug-in tells it, for hosts and tests.
#pragma once

#include <string>

#include "host/StreamDescription.h"

namespace pelmo::streamer {

struct MediaSettings {
    int bitRate = 0;
    int sampleSize = 0;
    bool variableSize = false;
    bool temporalCompression = false;
    std::string codecName;
};

// The settings both streams share, over either description class.
template <class Description>
class SimpleMediaDescription : public Description {
public:
    void setBitRate(int v) override { common.bitRate = v; }
    void setSampleSize(int v) override { common.sampleSize = v; }
    void setVariableSize(bool v) override { common.variableSize = v; }
    void setTemporalCompression(bool v) override { common.temporalCompression = v; }
    void setCodecName(const char* v) override { common.codecName = v != nullptr ? v : ""; }

    MediaSettings common;
};

class SimpleVideoDescription : public SimpleMediaDescription<VideoStreamDescription> {
public:
    void setAspectRatioX(int v) override { aspectRatioX = v; }
    void setAspectRatioY(int v) override { aspectRatioY = v; }
    void setWidth(int v) override { width = v; }
    void setHeight(int v) override { height = v; }
    void setTopDown(bool v) override { topDown = v; }
    void setFrameRate(double v) override { frameRate = v; }
    void setInterlaced(bool v) override { interlaced = v; }
    void setPixelFormat(int v) override { pixelFormat = v; }

    int aspectRatioX = 0;
    int aspectRatioY = 0;
    int width = 0;
    int height = 0;
    bool topDown = false;
    double frameRate = 0.0;
    bool interlaced = false;
    int pixelFormat = 0;
};

class SimpleAudioDescription : public SimpleMediaDescription<AudioStreamDescription> {
public:
    void setBitsPerSample(int v) override { bitsPerSample = v; }
    void setSampleRate(int v) override { sampleRate = v; }
    void setChannels(int v) override { channels = v; }

    int bitsPerSample = 0;
    int sampleRate = 0;
    int channels = 0;
};

class SimpleStreamDescription : public StreamDescription {
public:
    AudioStreamDescription& audio() override { return audioDescription; }
    VideoStreamDescription& video() override { return videoDescription; }

    SimpleAudioDescription audioDescription;
    SimpleVideoDescription videoDescription;
};

}  // namespace pelmo::streamer
