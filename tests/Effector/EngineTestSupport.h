// Pictures and comparisons the engine tests share.
#pragma once

#include <cstdint>

#include "Effector/Bitmap.h"

namespace tilvo::test {

// Gradients plus pseudo-random noise, so that neighbouring cells differ; the shifts set how many
// bits of noise each channel gets (a shift of 26 gives 0 … 63).
inline void FillPicture(TBitmap& b, int32_t w, int32_t h, uint32_t seed, int blueShift = 26,
                        int greenShift = 27, int redShift = 25) {
    b.Resize(w, h, pf24bit);
    uint32_t s = seed;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int32_t x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            row[3 * x] = uint8_t(x * 5 + (s >> blueShift));
            row[3 * x + 1] = uint8_t(y * 7 + (s >> greenShift));
            row[3 * x + 2] = uint8_t((x ^ y) * 3 + (s >> redShift));
        }
    }
}

// Pseudo-random colours in every pixel (24- or 32-bit surfaces); salt keeps the sequences of
// different suites apart.
inline void FillRandom(TBitmap& bmp, uint32_t seed, uint32_t salt) {
    uint32_t s = seed * 2654435761u + salt;
    for (int32_t y = 0; y < bmp.Height(); ++y)
        for (int32_t x = 0; x < bmp.Width(); ++x) {
            s = s * 1664525u + 1013904223u;
            bmp.SetPixel(x, y, s >> 8);
        }
}

inline bool SamePixels(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y)) return false;
    return true;
}

}  // namespace tilvo::test
