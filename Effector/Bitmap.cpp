// The raster surface and its canvas: buffer management, pixel-format conversion, fills, the wide
// pen and rectangle copies.
#include "Bitmap.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace tilvo {

int BitsPerPixel(TPixelFormat pf) {
    switch (pf) {
        case pf1bit:
            return 1;
        case pf4bit:
            return 4;
        case pf8bit:
            return 8;
        case pf15bit:
            return 16;
        case pf24bit:
            return 24;
        case pf32bit:
            return 32;
    }
    return 24;
}

namespace {

bool IsPaletteFormat(TPixelFormat pf) {
    return pf == pf1bit || pf == pf4bit || pf == pf8bit;
}

// Expands a 5-bit channel to 8 bits so that 0 stays 0 and 31 becomes 255.
constexpr uint8_t Expand5(unsigned v) {
    return uint8_t((v << 3) | (v >> 2));
}

// Converts one row of any format into B, G, R (and A when dstBytes is 4) bytes.
void RowToDirect(const uint8_t* src, uint8_t* dst, int32_t width, TPixelFormat pf,
                 const std::vector<TPaletteEntry>& palette, int dstBytes) {
    const TPaletteEntry black{};
    const size_t palSize = palette.size();
    auto entry = [&](unsigned index) -> const TPaletteEntry& {
        return index < palSize ? palette[index] : black;
    };
    for (int32_t x = 0; x < width; ++x) {
        uint8_t b, g, r, a = 255;
        switch (pf) {
            case pf1bit: {
                const TPaletteEntry& e = entry((src[x >> 3] >> (7 - (x & 7))) & 1);
                b = e.Blue, g = e.Green, r = e.Red;
                break;
            }
            case pf4bit: {
                const TPaletteEntry& e = entry((x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4));
                b = e.Blue, g = e.Green, r = e.Red;
                break;
            }
            case pf8bit: {
                const TPaletteEntry& e = entry(src[x]);
                b = e.Blue, g = e.Green, r = e.Red;
                break;
            }
            case pf15bit: {
                const unsigned v = unsigned(src[2 * x]) | unsigned(src[2 * x + 1]) << 8;
                b = Expand5(v & 31), g = Expand5((v >> 5) & 31), r = Expand5((v >> 10) & 31);
                break;
            }
            case pf24bit:
                b = src[3 * x], g = src[3 * x + 1], r = src[3 * x + 2];
                break;
            case pf32bit:
            default:
                b = src[4 * x], g = src[4 * x + 1], r = src[4 * x + 2], a = src[4 * x + 3];
                break;
        }
        uint8_t* d = dst + x * dstBytes;
        d[0] = b, d[1] = g, d[2] = r;
        if (dstBytes == 4) d[3] = a;
    }
}

}  // namespace

TBitmap::TBitmap() : canvas_(this) {}

TBitmap::TBitmap(int32_t width, int32_t height, TPixelFormat pf) : canvas_(this) {
    Resize(width, height, pf);
}

TBitmap::~TBitmap() = default;

namespace {

// Surface buffers that may still be allocated before the next one fails; negative: no limit.
std::atomic<int64_t> g_allocationsBeforeFailure{-1};

// Every surface buffer comes from here, so that a test can make any one of them fail.
std::unique_ptr<uint8_t[]> NewSurfaceBuffer(int64_t bytes) {
    int64_t left = g_allocationsBeforeFailure.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) {
            g_allocationsBeforeFailure.store(-1, std::memory_order_relaxed);
            throw EOutOfMemory(bytes);
        }
        if (g_allocationsBeforeFailure.compare_exchange_weak(left, left - 1,
                                                             std::memory_order_relaxed))
            break;
    }
    std::unique_ptr<uint8_t[]> buffer;
    try {
        buffer = std::make_unique_for_overwrite<uint8_t[]>(size_t(bytes));
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory(bytes);
    }
    if (bytes >= (int64_t(4) << 20)) AdviseLargePages(buffer.get(), size_t(bytes));
    return buffer;
}

}  // namespace

void AdviseLargePages(void* p, size_t n) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) / kHuge * kHuge;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) / kHuge * kHuge;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p, (void)n;
#endif
}

void FailSurfaceAllocationAfter(int64_t allocations) {
    g_allocationsBeforeFailure.store(allocations < 0 ? -1 : allocations, std::memory_order_relaxed);
}

void TBitmap::Allocate(int64_t bytes) {
    // The new buffer exists before the old one goes: a failed allocation leaves the surface as
    // it was.
    if (bytes > capacity_) {
        data_ = NewSurfaceBuffer(bytes);
        capacity_ = bytes;
    }
}

void TBitmap::Resize(int32_t w, int32_t h, TPixelFormat pf) {
    CheckPictureSize(w, h, BitsPerPixel(pf));
    const int64_t stride = RowBytes(w, BitsPerPixel(pf));
    Allocate(stride * h);
    width_ = w;
    height_ = h;
    format_ = pf;
    stride_ = stride;
}

void TBitmap::SetSize(int32_t w, int32_t h) {
    if (w == width_ && h == height_) return;
    CheckPictureSize(w, h, BitsPerPixel(format_));
    const int64_t newStride = RowBytes(w, BitsPerPixel(format_));
    const int32_t keepRows = std::min(h, height_);
    const int64_t keepBytes = std::min(newStride, stride_);
    if (newStride * h <= capacity_) {
        // Rows move within the buffer: forwards when they shrink, from the bottom up when they
        // grow, so that no row is overwritten before it has moved.
        if (newStride <= stride_) {
            for (int32_t y = 1; y < keepRows; ++y)
                std::memmove(data_.get() + y * newStride, data_.get() + y * stride_,
                             size_t(keepBytes));
        } else {
            for (int32_t y = keepRows - 1; y >= 1; --y)
                std::memmove(data_.get() + y * newStride, data_.get() + y * stride_,
                             size_t(keepBytes));
        }
    } else {
        auto fresh = NewSurfaceBuffer(newStride * h);
        for (int32_t y = 0; y < keepRows; ++y)
            std::memcpy(fresh.get() + y * newStride, data_.get() + y * stride_, size_t(keepBytes));
        data_ = std::move(fresh);
        capacity_ = newStride * h;
    }
    width_ = w;
    height_ = h;
    stride_ = newStride;
}

void TBitmap::SetPixelFormat(TPixelFormat pf) {
    if (pf == format_) return;
    if (IsPaletteFormat(pf)) throw Exception("conversion to a palette format is not supported");
    TBitmap converted(width_, height_, pf);
    if (pf == pf15bit) {
        std::vector<uint8_t> row(size_t(width_) * 3);
        for (int32_t y = 0; y < height_; ++y) {
            RowToDirect(ScanLine(y), row.data(), width_, format_, palette_, 3);
            uint8_t* d = converted.ScanLine(y);
            for (int32_t x = 0; x < width_; ++x) {
                const unsigned v =
                    (row[3 * x] >> 3) | (row[3 * x + 1] >> 3) << 5 | (row[3 * x + 2] >> 3) << 10;
                d[2 * x] = uint8_t(v), d[2 * x + 1] = uint8_t(v >> 8);
            }
        }
    } else {
        const int dstBytes = pf == pf32bit ? 4 : 3;
        for (int32_t y = 0; y < height_; ++y)
            RowToDirect(ScanLine(y), converted.ScanLine(y), width_, format_, palette_, dstBytes);
    }
    converted.palette_ = palette_;
    Swap(converted);
}

void TBitmap::Assign(const TBitmap& src) {
    if (&src == this) return;
    std::vector<TPaletteEntry> palette = src.palette_;
    Resize(src.width_, src.height_, src.format_);
    const size_t bytes = size_t(stride_ * height_);
    if (bytes) std::memcpy(data_.get(), src.data_.get(), bytes);
    palette_.swap(palette);
}

void TBitmap::Swap(TBitmap& other) noexcept {
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    std::swap(format_, other.format_);
    std::swap(stride_, other.stride_);
    std::swap(capacity_, other.capacity_);
    std::swap(data_, other.data_);
    std::swap(palette_, other.palette_);
}

TColor TBitmap::Pixel(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) throw Exception("Out of bounds");
    uint8_t px[4];
    // Converting a one-pixel row starting at x: palette formats need the bit position, so convert
    // the row up to x and read the last pixel.
    if (IsPaletteFormat(format_)) {
        std::vector<uint8_t> row(size_t(x + 1) * 3);
        RowToDirect(ScanLine(y), row.data(), x + 1, format_, palette_, 3);
        return RGB(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
    }
    const int bpp = BitsPerPixel(format_) / 8;
    RowToDirect(ScanLine(y) + x * bpp, px, 1, format_, palette_, 4);
    return RGB(px[2], px[1], px[0]);
}

void TBitmap::SetPixel(int32_t x, int32_t y, TColor c) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) throw Exception("Out of bounds");
    if (format_ != pf24bit && format_ != pf32bit) throw Exception("SetPixel needs 24 or 32 bits");
    uint8_t* p = ScanLine(y) + x * (format_ == pf32bit ? 4 : 3);
    p[0] = GetBValue(c), p[1] = GetGValue(c), p[2] = GetRValue(c);
}

// ---------------------------------------------------------------------------------------------
// Canvas

namespace {

// Drawing needs direct pixels; anything else is converted to 24 bits first.
int DrawablePixelBytes(TBitmap& bmp) {
    if (bmp.PixelFormat() != pf24bit && bmp.PixelFormat() != pf32bit) bmp.SetPixelFormat(pf24bit);
    return bmp.PixelFormat() == pf32bit ? 4 : 3;
}

// Paints pixels x0 … x1 of a row with the colour, copying or ORing.
void PaintSpan(uint8_t* row, int32_t x0, int32_t x1, int pixelBytes, TColor color, TPenMode mode) {
    const uint8_t b = GetBValue(color), g = GetGValue(color), r = GetRValue(color);
    uint8_t* p = row + x0 * pixelBytes;
    if (mode == pmMerge) {
        for (int32_t x = x0; x <= x1; ++x, p += pixelBytes) p[0] |= b, p[1] |= g, p[2] |= r;
    } else {
        for (int32_t x = x0; x <= x1; ++x, p += pixelBytes) p[0] = b, p[1] = g, p[2] = r;
    }
}

}  // namespace

TRect TCanvas::ClipRect() const {
    return TRect{0, 0, owner_->Width(), owner_->Height()};
}

void TCanvas::FillRect(const TRect& rect) {
    TBitmap& bmp = *owner_;
    const int32_t l = std::max(0, std::min(rect.Left, rect.Right));
    const int32_t r = std::min(bmp.Width(), std::max(rect.Left, rect.Right));
    const int32_t t = std::max(0, std::min(rect.Top, rect.Bottom));
    const int32_t b = std::min(bmp.Height(), std::max(rect.Top, rect.Bottom));
    if (l >= r || t >= b) return;
    const int pixelBytes = DrawablePixelBytes(bmp);
    PaintSpan(bmp.ScanLine(t), l, r - 1, pixelBytes, Brush.Color, pmCopy);
    const size_t bytes = size_t(r - l) * size_t(pixelBytes);
    const uint8_t* first = bmp.ScanLine(t) + l * pixelBytes;
    for (int32_t y = t + 1; y < b; ++y) std::memcpy(bmp.ScanLine(y) + l * pixelBytes, first, bytes);
}

void TCanvas::MoveTo(int32_t x, int32_t y) {
    penPos_ = TPoint{x, y};
}

void TCanvas::LineTo(int32_t x, int32_t y) {
    const TPoint from = penPos_;
    penPos_ = TPoint{x, y};
    TBitmap& bmp = *owner_;
    if (bmp.Empty()) return;
    const int pixelBytes = DrawablePixelBytes(bmp);
    const int32_t W = bmp.Width(), H = bmp.Height();

    if (Pen.Width <= 1) {
        // A thin pen: the pixels a one-pixel line passes through, both ends included. The segment
        // is first clipped to the surface (with a pixel of margin), so far-off points cost nothing.
        double t0 = 0, t1 = 1;
        const double fx = from.X, fy = from.Y, ddx = double(x) - fx, ddy = double(y) - fy;
        auto clip = [&](double p, double q) {  // keep the part where p·t ≤ q
            if (p == 0) return q >= 0;
            const double t = q / p;
            if (p < 0)
                t0 = std::max(t0, t);
            else
                t1 = std::min(t1, t);
            return t0 <= t1;
        };
        if (!clip(-ddx, fx + 1) || !clip(ddx, W - fx) || !clip(-ddy, fy + 1) || !clip(ddy, H - fy))
            return;
        int64_t x0 = std::llround(fx + t0 * ddx), y0 = std::llround(fy + t0 * ddy);
        const int64_t xe = std::llround(fx + t1 * ddx), ye = std::llround(fy + t1 * ddy);
        const int64_t dx = std::abs(xe - x0), dy = -std::abs(ye - y0);
        const int sx = x0 < xe ? 1 : -1, sy = y0 < ye ? 1 : -1;
        int64_t err = dx + dy;
        for (;;) {
            if (x0 >= 0 && y0 >= 0 && x0 < W && y0 < H)
                PaintSpan(bmp.ScanLine(int32_t(y0)), int32_t(x0), int32_t(x0), pixelBytes,
                          Pen.Color, Pen.Mode);
            if (x0 == xe && y0 == ye) break;
            const int64_t e2 = 2 * err;
            if (e2 >= dy) err += dy, x0 += sx;
            if (e2 <= dx) err += dx, y0 += sy;
        }
        return;
    }

    // A wide pen paints every pixel whose centre lies within half the pen width of the segment: a
    // capsule. The capsule is convex, so each row meets it in one span, the union of the spans of
    // the two end discs and of the band between them.
    const double r = Pen.Width / 2.0;
    const double x0 = from.X, y0 = from.Y, x1 = x, y1 = y;
    const double dx = x1 - x0, dy = y1 - y0;
    const double len2 = dx * dx + dy * dy;
    const double len = std::sqrt(len2);
    const double eps = 1e-9;
    const int32_t rowFirst = std::max<int64_t>(0, int64_t(std::ceil(std::min(y0, y1) - r - eps)));
    const int32_t rowLast =
        int32_t(std::min<int64_t>(H - 1, int64_t(std::floor(std::max(y0, y1) + r + eps))));
    for (int32_t j = rowFirst; j <= rowLast; ++j) {
        double lo = INFINITY, hi = -INFINITY;
        auto disc = [&](double cx, double cy) {
            const double t = j - cy;
            const double rest = r * r - t * t;
            if (rest < -eps) return;
            const double half = std::sqrt(std::max(0.0, rest));
            lo = std::min(lo, cx - half);
            hi = std::max(hi, cx + half);
        };
        disc(x0, y0);
        disc(x1, y1);
        if (len2 > 0) {
            // Band: |cross| ≤ r·len and 0 ≤ dot ≤ len², both linear in x on this row.
            double bl = -INFINITY, bh = INFINITY;
            auto within = [&](double a, double c, double minV, double maxV) {
                // minV ≤ a·x + c ≤ maxV
                if (std::abs(a) < 1e-12) {
                    if (c < minV - eps || c > maxV + eps) bl = INFINITY, bh = -INFINITY;
                    return;
                }
                double p = (minV - c) / a, q = (maxV - c) / a;
                if (p > q) std::swap(p, q);
                bl = std::max(bl, p);
                bh = std::min(bh, q);
            };
            const double ry = j - y0;
            within(-dy, dx * ry + dy * x0, -r * len, r * len);  // cross = dx·(j−y0) − dy·(x−x0)
            within(dx, -dx * x0 + dy * ry, 0, len2);            // dot = dx·(x−x0) + dy·(j−y0)
            if (bl <= bh) lo = std::min(lo, bl), hi = std::max(hi, bh);
        }
        if (lo > hi) continue;
        const int64_t first = std::max<int64_t>(0, int64_t(std::ceil(lo - eps)));
        const int64_t last = std::min<int64_t>(W - 1, int64_t(std::floor(hi + eps)));
        if (first > last) continue;
        PaintSpan(bmp.ScanLine(j), int32_t(first), int32_t(last), pixelBytes, Pen.Color, Pen.Mode);
    }
}

void TCanvas::CopyRect(const TRect& destRect, TCanvas& srcCanvas, const TRect& srcRect) {
    TBitmap& dst = *owner_;
    TBitmap& src = *srcCanvas.owner_;
    const int32_t dw = destRect.Width(), dh = destRect.Height();
    const int32_t sw = srcRect.Width(), sh = srcRect.Height();
    if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
    const bool widen = sw == 1 && dw > 1 && sh == dh;
    if (!widen && (sw != dw || sh != dh)) throw Exception("CopyRect: stretching is not supported");
    if (src.PixelFormat() != dst.PixelFormat() ||
        (dst.PixelFormat() != pf24bit && dst.PixelFormat() != pf32bit)) {
        src.SetPixelFormat(pf24bit);
        dst.SetPixelFormat(pf24bit);
    }
    const int pb = dst.PixelFormat() == pf32bit ? 4 : 3;
    for (int32_t row = 0; row < dh; ++row) {
        const int32_t sy = srcRect.Top + row, dy = destRect.Top + row;
        if (sy < 0 || sy >= src.Height() || dy < 0 || dy >= dst.Height()) continue;
        if (widen) {
            if (srcRect.Left < 0 || srcRect.Left >= src.Width()) continue;
            const uint8_t* s = src.ScanLine(sy) + srcRect.Left * pb;
            uint8_t* d = dst.ScanLine(dy);
            const int32_t from = std::max(0, destRect.Left),
                          to = std::min(dst.Width(), destRect.Right);
            for (int32_t x = from; x < to; ++x) std::memcpy(d + x * pb, s, size_t(pb));
            continue;
        }
        // Clip the span to both surfaces.
        int32_t sx = srcRect.Left, dx = destRect.Left, n = sw;
        const int32_t shift = std::max({0, -sx, -dx});
        sx += shift, dx += shift, n -= shift;
        n = std::min({n, src.Width() - sx, dst.Width() - dx});
        if (n <= 0) continue;
        std::memmove(dst.ScanLine(dy) + dx * pb, src.ScanLine(sy) + sx * pb,
                     size_t(n) * size_t(pb));
    }
}

}  // namespace tilvo
