// The picture at a zoom: steps, fitting, the pixel mapping and the scaled drawing.
#include "app/ZoomView.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace tilvo {

namespace {

// The largest size a widget may have.
constexpr int64_t kMaxViewExtent = 16777215;

int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int64_t CeilDiv(int64_t a, int64_t b) {
    return -FloorDiv(-a, b);
}

TZoom Reduced(TZoom z) {
    const int64_t g = std::gcd(z.Num, z.Den);
    return g > 1 ? TZoom{z.Num / g, z.Den / g} : z;
}

int32_t ClampToInt(int64_t v) {
    return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

TZoom ClampZoom(TZoom zoom) {
    if (zoom.Num <= 0 || zoom.Den <= 0 || zoom < kMinZoom) return kMinZoom;
    if (kMaxZoom < zoom) return kMaxZoom;
    return Reduced(zoom);
}

TZoom NextZoomStep(TZoom zoom) {
    for (const TZoom step : kZoomSteps)
        if (zoom < step) return step;
    return ClampZoom(zoom);
}

TZoom PreviousZoomStep(TZoom zoom) {
    for (auto it = kZoomSteps.rbegin(); it != kZoomSteps.rend(); ++it)
        if (*it < zoom) return *it;
    return ClampZoom(zoom);
}

TZoom FitZoom(int32_t pictureWidth, int32_t pictureHeight, int32_t areaWidth, int32_t areaHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return {1, 1};
    const TZoom across{std::max(areaWidth, 0), pictureWidth};
    const TZoom down{std::max(areaHeight, 0), pictureHeight};
    return ClampZoom(down < across ? down : across);
}

int32_t ViewToPicture(int32_t view, TZoom zoom) {
    return ClampToInt(FloorDiv(int64_t(view) * zoom.Den, zoom.Num));
}

int32_t PictureToView(int32_t picture, TZoom zoom) {
    return ClampToInt(CeilDiv(int64_t(picture) * zoom.Num, zoom.Den));
}

int32_t ViewExtent(int32_t pictureSize, TZoom zoom) {
    if (pictureSize <= 0) return 0;
    return int32_t(
        std::clamp<int64_t>(CeilDiv(int64_t(pictureSize) * zoom.Num, zoom.Den), 1, kMaxViewExtent));
}

TRect PictureRectToView(const TRect& rect, TZoom zoom) {
    // Below 1 the first view pixel is the one whose block holds the rect's first pixel; from 1 on
    // it is the first of the pixels that repeat it.
    auto first = [zoom](int32_t p) {
        if (zoom < TZoom{1, 1})
            return ClampToInt(CeilDiv((int64_t(p) + 1) * zoom.Num, zoom.Den) - 1);
        return PictureToView(p, zoom);
    };
    return {first(rect.Left), first(rect.Top), PictureToView(rect.Right, zoom),
            PictureToView(rect.Bottom, zoom)};
}

void RenderView(const TPixelRows& picture, TZoom zoom, const TRect& view, uint8_t* out,
                ptrdiff_t outStride, TViewScratch& scratch) {
    const int32_t w = view.Width(), h = view.Height();
    if (w <= 0 || h <= 0 || picture.Width <= 0 || picture.Height <= 0) return;
    const int32_t lastX = picture.Width - 1, lastY = picture.Height - 1;

    if (!(zoom < TZoom{1, 1})) {
        // Each view pixel repeats one picture pixel; rows that repeat a row are copied.
        scratch.Columns.resize(size_t(w));
        int32_t* columns = scratch.Columns.data();
        for (int32_t i = 0; i < w; ++i)
            columns[i] = std::clamp(ViewToPicture(view.Left + i, zoom), 0, lastX) * 3;
        int32_t previous = -1;
        for (int32_t j = 0; j < h; ++j) {
            uint8_t* dst = out + j * outStride;
            const int32_t y = std::clamp(ViewToPicture(view.Top + j, zoom), 0, lastY);
            if (y == previous) {
                std::memcpy(dst, dst - outStride, size_t(w) * 4);
                continue;
            }
            previous = y;
            const uint8_t* src = picture.Bits + y * picture.Stride;
            for (int32_t i = 0; i < w; ++i) {
                const uint8_t* p = src + columns[i];
                dst[0] = p[0];
                dst[1] = p[1];
                dst[2] = p[2];
                dst[3] = 0xFF;
                dst += 4;
            }
        }
        return;
    }

    // Below 1: each view pixel averages samples spread evenly over its block of picture pixels.
    // Columns holds, per view column, the number of samples and their byte offsets in a row.
    constexpr int32_t K = kViewSamples;
    scratch.Columns.resize(size_t(w) * (K + 1));
    scratch.Sums.resize(size_t(w) * 3);
    int32_t* columns = scratch.Columns.data();
    uint32_t* sums = scratch.Sums.data();
    for (int32_t i = 0; i < w; ++i) {
        const int32_t x0 = std::clamp(ViewToPicture(view.Left + i, zoom), 0, lastX);
        const int32_t x1 =
            std::clamp(ViewToPicture(view.Left + i + 1, zoom), x0 + 1, picture.Width);
        const int32_t n = std::min(x1 - x0, K);
        int32_t* c = columns + size_t(i) * (K + 1);
        c[0] = n;
        for (int32_t s = 0; s < n; ++s) c[1 + s] = (x0 + ((x1 - x0) * (2 * s + 1)) / (2 * n)) * 3;
    }
    for (int32_t j = 0; j < h; ++j) {
        const int32_t y0 = std::clamp(ViewToPicture(view.Top + j, zoom), 0, lastY);
        const int32_t y1 =
            std::clamp(ViewToPicture(view.Top + j + 1, zoom), y0 + 1, picture.Height);
        const int32_t m = std::min(y1 - y0, K);
        std::memset(sums, 0, size_t(w) * 3 * sizeof(uint32_t));
        for (int32_t s = 0; s < m; ++s) {
            const int32_t y = y0 + ((y1 - y0) * (2 * s + 1)) / (2 * m);
            const uint8_t* src = picture.Bits + y * picture.Stride;
            const int32_t* c = columns;
            uint32_t* sum = sums;
            for (int32_t i = 0; i < w; ++i, c += K + 1, sum += 3) {
                uint32_t b = 0, g = 0, r = 0;
                for (int32_t k = 1; k <= c[0]; ++k) {
                    const uint8_t* p = src + c[k];
                    b += p[0];
                    g += p[1];
                    r += p[2];
                }
                sum[0] += b;
                sum[1] += g;
                sum[2] += r;
            }
        }
        // The rounded mean (sum + count / 2) / count, as (2 · sum + count) · ⌈2^20 / count⌉ >> 21:
        // 2 · sum + count stays below 2^13, so the reciprocal's error never reaches the next
        // integer and the result is exact.
        uint32_t reciprocal[K + 1];
        for (int32_t n = 1; n <= K; ++n) {
            const uint32_t count = uint32_t(n * m);
            reciprocal[n] = ((1u << 20) + count - 1) / count;
        }
        uint8_t* dst = out + j * outStride;
        const int32_t* c = columns;
        const uint32_t* sum = sums;
        for (int32_t i = 0; i < w; ++i, c += K + 1, sum += 3, dst += 4) {
            const uint32_t count = uint32_t(c[0] * m);
            const uint32_t r = reciprocal[c[0]];
            dst[0] = uint8_t(((2 * sum[0] + count) * r) >> 21);
            dst[1] = uint8_t(((2 * sum[1] + count) * r) >> 21);
            dst[2] = uint8_t(((2 * sum[2] + count) * r) >> 21);
            dst[3] = 0xFF;
        }
    }
}

}  // namespace tilvo
