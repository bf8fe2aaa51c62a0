// The pictures and sound of the generated channels: a coloured card with a large number (the
// analog channel number, or a digital service's channel number), a bar that moves one step
// per frame so motion is visible, and a steady tone.
#pragma once

#include <cstdint>
#include <vector>

class AirTestCard {
public:
    AirTestCard(int width, int height, int number, int colourIndex, double toneHz);

    int width() const { return width_; }
    int height() const { return height_; }
    // Planar 4:2:0 picture of frame `n` into three planes with the given strides.
    void drawFrame(int64_t n, uint8_t* y, int yStride, uint8_t* u, int uStride, uint8_t* v,
                   int vStride) const;
    // `count` samples of the tone starting at sample `first`, as signed 16-bit amplitude.
    void tone(int64_t first, int count, int sampleRate, int16_t* out) const;

    // Whether `digit` lights the pixel (x, y) of a digit cell `w` by `h` (seven segments).
    static bool segmentLit(int digit, int x, int y, int w, int h);

private:
    int width_, height_, number_;
    uint8_t bgY_, bgU_, bgV_;
    double toneHz_;
};
