// Pictures the window tests paint and the comparisons they make of the results.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "Effector/Bitmap.h"

namespace tilvo {

// A picture whose neighbouring pixels all differ, so that any mosaic cell changes it; `seed`
// makes another picture of the same kind.
inline void PaintPattern(TBitmap& b, int32_t w, int32_t h, int seed = 0) {
    b.Resize(w, h, pf24bit);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int32_t x = 0; x < w; ++x) {
            row[3 * x] = uint8_t(x * 37 + y * 11 + seed);
            row[3 * x + 1] = uint8_t(y * 29 + x * 5 + seed * 3);
            row[3 * x + 2] = uint8_t((x ^ y) * 13 + seed * 7);
        }
    }
}

inline bool SamePixel(const TBitmap& a, const TBitmap& b, int32_t x, int32_t y) {
    return std::memcmp(a.ScanLine(y) + 3 * x, b.ScanLine(y) + 3 * x, 3) == 0;
}

inline bool SamePixels(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int32_t y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.ScanLine(y), b.ScanLine(y), size_t(a.Width()) * 3) != 0) return false;
    return true;
}

// The bounding box of the pixels that differ (right and bottom exclusive); empty when none do.
inline TRect Differences(const TBitmap& a, const TBitmap& b) {
    TRect box{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            if (!SamePixel(a, b, x, y)) {
                box.Left = std::min(box.Left, x);
                box.Top = std::min(box.Top, y);
                box.Right = std::max(box.Right, x + 1);
                box.Bottom = std::max(box.Bottom, y + 1);
            }
    return box.Left == INT32_MAX ? TRect{} : box;
}

inline bool Inside(const TRect& inner, const TRect& outer) {
    return inner.Left >= outer.Left && inner.Top >= outer.Top && inner.Right <= outer.Right &&
           inner.Bottom <= outer.Bottom;
}

}  // namespace tilvo
