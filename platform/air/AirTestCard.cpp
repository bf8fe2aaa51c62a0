#include "platform/air/AirTestCard.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {
// Segments a..g of each digit, bit 0 = a (top) ... bit 6 = g (middle).
const uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
// Background colours (Y, U, V) the services cycle through.
const uint8_t kColours[6][3] = {{81, 90, 240},  {145, 54, 34},   {41, 240, 110},
                                {170, 166, 16}, {106, 202, 222}, {210, 16, 146}};
}  // namespace

AirTestCard::AirTestCard(int width, int height, int number, int colourIndex, double toneHz)
    : width_(width), height_(height), number_(number < 0 ? 0 : number), toneHz_(toneHz) {
    const uint8_t* c = kColours[((colourIndex % 6) + 6) % 6];
    bgY_ = c[0];
    bgU_ = c[1];
    bgV_ = c[2];
}

bool AirTestCard::segmentLit(int digit, int x, int y, int w, int h) {
    if (digit < 0 || digit > 9 || x < 0 || y < 0 || x >= w || y >= h) return false;
    uint8_t s = kSegments[digit];
    int t = std::max(1, w / 6);  // stroke
    int mid = h / 2;
    bool top = y < t, middle = y >= mid - t / 2 && y < mid - t / 2 + t, bottom = y >= h - t;
    bool left = x < t, right = x >= w - t;
    bool upper = y < mid, lower = y >= mid;
    return ((s & 0x01) && top) || ((s & 0x40) && middle) || ((s & 0x08) && bottom) ||
           ((s & 0x20) && left && upper) || ((s & 0x02) && right && upper) || ((s & 0x10) && left && lower) ||
           ((s & 0x04) && right && lower);
}

void AirTestCard::drawFrame(int64_t n, uint8_t* y, int yStride, uint8_t* u, int uStride, uint8_t* v,
                            int vStride) const {
    std::string digits = std::to_string(number_);
    int cellH = height_ / 2;
    int cellW = cellH / 2;
    int gap = cellW / 4;
    int totalW = int(digits.size()) * (cellW + gap) - gap;
    int x0 = (width_ - totalW) / 2, y0 = (height_ - cellH) / 2;
    int barW = std::max(2, width_ / 16);
    int barX = int((n * 4) % (width_ + barW)) - barW;
    for (int r = 0; r < height_; ++r) {
        for (int c = 0; c < width_; ++c) {
            uint8_t value = bgY_;
            if (c >= barX && c < barX + barW) value = 235;
            int dx = c - x0, dy = r - y0;
            if (dx >= 0 && dy >= 0 && dy < cellH && dx < totalW) {
                int k = dx / (cellW + gap);
                int inCell = dx % (cellW + gap);
                if (inCell < cellW && segmentLit(digits[size_t(k)] - '0', inCell, dy, cellW, cellH))
                    value = 16;
            }
            y[r * yStride + c] = value;
        }
    }
    for (int r = 0; r < height_ / 2; ++r) {
        for (int c = 0; c < width_ / 2; ++c) {
            u[r * uStride + c] = bgU_;
            v[r * vStride + c] = bgV_;
        }
    }
}

void AirTestCard::tone(int64_t first, int count, int sampleRate, int16_t* out) const {
    const double w = 2.0 * M_PI * toneHz_ / double(sampleRate);
    for (int i = 0; i < count; ++i) out[i] = int16_t(std::lround(8000.0 * std::sin(w * double(first + i))));
}
