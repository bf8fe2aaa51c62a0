// The pictures and sound of the generated channels: a coloured card with the channel's name
// at the top, its number in large digits ("22.1" with its dot), a running clock with the frame
// count at the bottom and a bar sweeping across, so that a zap, a freeze or a rewind shows for
// what it is; and a steady tone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class AirTestCard {
public:
    // Luma of the digits and texts, and of their dark outline and strips.
    static constexpr uint8_t kLight = 235;
    static constexpr uint8_t kDark = 16;
    static constexpr uint8_t kBar = 180;

    AirTestCard(int width, int height, int number, int colourIndex, double toneHz);
    // `numberText` is drawn in digits and dots ("22.1"); `name` in capitals above it.
    AirTestCard(int width, int height, const std::string& numberText, const std::string& name,
                int colourIndex, double toneHz);

    // The card of analog channel `channel`, the same on the tuner's raw output and in its clip.
    static AirTestCard analogChannel(int width, int height, int channel);
    static double analogToneHz(int channel);

    // Frames per second (num/den) the clock counts in; 25 unless set.
    void setFrameRate(int num, int den);

    int width() const { return width_; }
    int height() const { return height_; }
    // Planar 4:2:0 picture of frame `n` into three planes with the given strides.
    void drawFrame(int64_t n, uint8_t* y, int yStride, uint8_t* u, int uStride, uint8_t* v,
                   int vStride) const;
    // `count` samples of the tone starting at sample `first`, as signed 16-bit amplitude.
    void tone(int64_t first, int count, int sampleRate, int16_t* out) const;

    // Whether `digit` lights the pixel (x, y) of a digit cell `w` by `h` (seven segments).
    static bool segmentLit(int digit, int x, int y, int w, int h);
    // The clock shown on frame `n`: "HH:MM:SS:FF".
    std::string clock(int64_t n) const;

private:
    struct Plane {
        uint8_t* data;
        int stride, width, height;
    };
    void fill(const Plane& p, int x, int y, int w, int h, uint8_t value) const;
    void drawText(const Plane& p, const std::string& text, int centreX, int top, int scale) const;
    void drawDigits(const Plane& p) const;

    int width_, height_;
    std::string numberText_, name_;
    uint8_t bgY_, bgU_, bgV_;
    double toneHz_;
    int fpsNum_ = 25, fpsDen_ = 1;
};
