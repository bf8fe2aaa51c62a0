// The host's description of the two streams a plug-in delivers.
#pragma once

namespace pelmo::streamer {

// Settings common to the audio and the video stream.
class MediaDescription {
public:
    virtual ~MediaDescription() = default;
    virtual void setBitRate(int bitRate) = 0;
    virtual void setSampleSize(int bits) = 0;
    virtual void setVariableSize(bool variable) = 0;
    virtual void setTemporalCompression(bool temporal) = 0;
    // A name from the host's codec table (CodecNames.h).
    virtual void setCodecName(const char* name) = 0;
};

class VideoStreamDescription : public MediaDescription {
public:
    virtual void setAspectRatioX(int x) = 0;
    virtual void setAspectRatioY(int y) = 0;
    virtual void setWidth(int width) = 0;
    virtual void setHeight(int height) = 0;
    virtual void setTopDown(bool topDown) = 0;
    virtual void setFrameRate(double rate) = 0;
    virtual void setInterlaced(bool interlaced) = 0;
    virtual void setPixelFormat(int format) = 0;
};

class AudioStreamDescription : public MediaDescription {
public:
    virtual void setBitsPerSample(int bits) = 0;
    virtual void setSampleRate(int rate) = 0;
    virtual void setChannels(int channels) = 0;
};

class StreamDescription {
public:
    virtual ~StreamDescription() = default;
    virtual AudioStreamDescription& audio() = 0;
    virtual VideoStreamDescription& video() = 0;
};

}  // namespace pelmo::streamer
