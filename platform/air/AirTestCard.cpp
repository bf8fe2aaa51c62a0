#include "platform/air/AirTestCard.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
// Segments a..g of each digit, bit 0 = a (top) ... bit 6 = g (middle).
const uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
// Background colours (Y, U, V) the services cycle through.
const uint8_t kColours[6][3] = {{81, 90, 240},  {145, 54, 34},   {41, 240, 110},
                                {170, 166, 16}, {106, 202, 222}, {210, 16, 146}};

// A 5x7 font: seven rows of five bits (bit 4 = leftmost) for the characters the cards use.
struct Glyph {
    char c;
    uint8_t rows[7];
};
const Glyph kFont[] = {
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
    {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
    {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
    {'C', {14, 17, 16, 16, 16, 17, 14}}, {'D', {28, 18, 17, 17, 17, 18, 28}},
    {'E', {31, 16, 16, 30, 16, 16, 31}}, {'F', {31, 16, 16, 30, 16, 16, 16}},
    {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'J', {7, 2, 2, 2, 2, 18, 12}},
    {'K', {17, 18, 20, 24, 20, 18, 17}}, {'L', {16, 16, 16, 16, 16, 16, 31}},
    {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}},
    {'O', {14, 17, 17, 17, 17, 17, 14}}, {'P', {30, 17, 17, 30, 16, 16, 16}},
    {'Q', {14, 17, 17, 17, 21, 18, 13}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
    {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},
    {'U', {17, 17, 17, 17, 17, 17, 14}}, {'V', {17, 17, 17, 17, 17, 10, 4}},
    {'W', {17, 17, 17, 21, 21, 21, 10}}, {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'Y', {17, 17, 10, 4, 4, 4, 4}},     {'Z', {31, 1, 2, 4, 8, 16, 31}},
    {':', {0, 12, 12, 0, 12, 12, 0}},    {'.', {0, 0, 0, 0, 0, 12, 12}},
    {'-', {0, 0, 0, 31, 0, 0, 0}},       {'/', {1, 1, 2, 4, 8, 16, 16}},
    {'?', {14, 17, 1, 2, 4, 0, 4}},      {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const Glyph& glyph(char c) {
    c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : kFont)
        if (g.c == c) return g;
    return kFont[sizeof(kFont) / sizeof(kFont[0]) - 2];  // '?'
}

// Segment rectangles of a digit cell w x h with stroke t: x, y, width, height.
void segmentRect(int segment, int w, int h, int t, int r[4]) {
    int mid = h / 2 - t / 2;
    switch (segment) {
        case 0:
            r[0] = 0, r[1] = 0, r[2] = w, r[3] = t;
            break;  // a: top
        case 1:
            r[0] = w - t, r[1] = 0, r[2] = t, r[3] = h / 2;
            break;  // b: upper right
        case 2:
            r[0] = w - t, r[1] = h / 2, r[2] = t, r[3] = h - h / 2;
            break;  // c: lower right
        case 3:
            r[0] = 0, r[1] = h - t, r[2] = w, r[3] = t;
            break;  // d: bottom
        case 4:
            r[0] = 0, r[1] = h / 2, r[2] = t, r[3] = h - h / 2;
            break;  // e: lower left
        case 5:
            r[0] = 0, r[1] = 0, r[2] = t, r[3] = h / 2;
            break;  // f: upper left
        default:
            r[0] = 0, r[1] = mid, r[2] = w, r[3] = t;
            break;  // g: middle
    }
}
}  // namespace

AirTestCard::AirTestCard(int width, int height, int number, int colourIndex, double toneHz)
    : AirTestCard(width, height, std::to_string(number < 0 ? 0 : number), std::string(), colourIndex,
                  toneHz) {}

AirTestCard::AirTestCard(int width, int height, const std::string& numberText, const std::string& name,
                         int colourIndex, double toneHz)
    : width_(width), height_(height), numberText_(numberText), name_(name), toneHz_(toneHz) {
    const uint8_t* c = kColours[((colourIndex % 6) + 6) % 6];
    bgY_ = c[0];
    bgU_ = c[1];
    bgV_ = c[2];
}

AirTestCard AirTestCard::analogChannel(int width, int height, int channel) {
    return AirTestCard(width, height, std::to_string(channel), "Analog " + std::to_string(channel), channel,
                       analogToneHz(channel));
}

double AirTestCard::analogToneHz(int channel) {
    // Whole multiples of 25 Hz: every clip length the generator makes holds whole waves.
    return 400.0 + 50.0 * double(((channel % 12) + 12) % 12);
}

void AirTestCard::setFrameRate(int num, int den) {
    if (num > 0 && den > 0) fpsNum_ = num, fpsDen_ = den;
}

bool AirTestCard::segmentLit(int digit, int x, int y, int w, int h) {
    if (digit < 0 || digit > 9 || x < 0 || y < 0 || x >= w || y >= h) return false;
    int t = std::max(1, w / 6);
    for (int s = 0; s < 7; ++s) {
        if (!(kSegments[digit] & (1 << s))) continue;
        int r[4];
        segmentRect(s, w, h, t, r);
        if (x >= r[0] && x < r[0] + r[2] && y >= r[1] && y < r[1] + r[3]) return true;
    }
    return false;
}

std::string AirTestCard::clock(int64_t n) const {
    // Whole frames per second shown (30 for 29.97): the frame field counts within the second.
    int perSecond = (fpsNum_ + fpsDen_ - 1) / fpsDen_;
    int64_t seconds = n / perSecond;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", int(seconds / 3600 % 100), int(seconds / 60 % 60),
                  int(seconds % 60), int(n % perSecond));
    return text;
}

void AirTestCard::fill(const Plane& p, int x, int y, int w, int h, uint8_t value) const {
    int x0 = std::max(0, x), y0 = std::max(0, y);
    int x1 = std::min(p.width, x + w), y1 = std::min(p.height, y + h);
    for (int r = y0; r < y1; ++r)
        if (x1 > x0) std::memset(p.data + r * p.stride + x0, value, size_t(x1 - x0));
}

void AirTestCard::drawText(const Plane& p, const std::string& text, int centreX, int top, int scale) const {
    int advance = 6 * scale;
    int left = centreX - (int(text.size()) * advance - scale) / 2;
    for (size_t i = 0; i < text.size(); ++i) {
        const Glyph& g = glyph(text[i]);
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (g.rows[row] & (0x10 >> col))
                    fill(p, left + int(i) * advance + col * scale, top + row * scale, scale, scale, kLight);
    }
}

void AirTestCard::drawDigits(const Plane& p) const {
    int cellH = height_ * 2 / 5;
    int cellW = cellH / 2;
    int gap = cellW / 4;
    int t = std::max(1, cellW / 6);
    int outline = std::max(1, t / 3);
    int dotW = t + gap;
    int total = 0;
    for (char c : numberText_) total += c == '.' ? dotW + gap : cellW + gap;
    total -= gap;
    int x = (width_ - total) / 2, y = (height_ - cellH) / 2;
    // Dark outlines first, then the light strokes over them: legible on every background.
    for (int pass = 0; pass < 2; ++pass) {
        int cx = x;
        int grow = pass == 0 ? outline : 0;
        uint8_t value = pass == 0 ? kDark : kLight;
        for (char c : numberText_) {
            if (c == '.') {
                fill(p, cx + gap / 2 - grow, y + cellH - t - grow, t + 2 * grow, t + 2 * grow, value);
                cx += dotW + gap;
                continue;
            }
            if (c >= '0' && c <= '9') {
                for (int s = 0; s < 7; ++s) {
                    if (!(kSegments[c - '0'] & (1 << s))) continue;
                    int r[4];
                    segmentRect(s, cellW, cellH, t, r);
                    fill(p, cx + r[0] - grow, y + r[1] - grow, r[2] + 2 * grow, r[3] + 2 * grow, value);
                }
            }
            cx += cellW + gap;
        }
    }
}

void AirTestCard::drawFrame(int64_t n, uint8_t* y, int yStride, uint8_t* u, int uStride, uint8_t* v,
                            int vStride) const {
    Plane luma{y, yStride, width_, height_};
    fill(luma, 0, 0, width_, height_, bgY_);
    int scale = std::max(1, height_ / 90);
    int strip = 9 * scale;
    int topStrip = height_ / 16, bottomStrip = height_ - height_ / 16 - strip;
    // A bar sweeping across the picture once every two seconds.
    int barW = std::max(2, width_ / 24);
    int64_t period = std::max<int64_t>(1, int64_t(2) * fpsNum_ / fpsDen_);
    int barX = int((n % period) * (width_ + barW) / period) - barW;
    fill(luma, barX, 0, barW, height_, kBar);
    fill(luma, 0, topStrip, width_, strip, kDark);
    fill(luma, 0, bottomStrip, width_, strip, kDark);
    if (!name_.empty()) drawText(luma, name_, width_ / 2, topStrip + scale, scale);
    drawText(luma, clock(n), width_ / 2, bottomStrip + scale, scale);
    drawDigits(luma);
    // Colour only where the background shows: digits, texts, strips and the bar are grey.
    for (int r = 0; r < height_ / 2; ++r) {
        const uint8_t* row = y + 2 * r * yStride;
        uint8_t* ur = u + r * uStride;
        uint8_t* vr = v + r * vStride;
        for (int c = 0; c < width_ / 2; ++c) {
            bool background = row[2 * c] == bgY_;
            ur[c] = background ? bgU_ : 128;
            vr[c] = background ? bgV_ : 128;
        }
    }
}

void AirTestCard::tone(int64_t first, int count, int sampleRate, int16_t* out) const {
    // The phase is taken modulo a whole second so that it stays exact however long the air runs.
    int64_t base = first % sampleRate;
    const double w = 2.0 * M_PI * toneHz_ / double(sampleRate);
    for (int i = 0; i < count; ++i) out[i] = int16_t(std::lround(8000.0 * std::sin(w * double(base + i))));
}
