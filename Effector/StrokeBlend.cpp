#include "StrokeBlend.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "CustomFilter.h"
#include "HistoryListEx.h"
#include "Pixelate.h"

namespace tilvo {

namespace {

void To24(TBitmap& b) {
    if (b.PixelFormat() != pf24bit) b.SetPixelFormat(pf24bit);
}

// The blends read `width` × `height` pixels of every surface they are given; a smaller surface
// would be read past its end.
void RequireCovers(const TBitmap& b, int32_t width, int32_t height) {
    if (b.Width() < width || b.Height() < height) throw Exception("blend surfaces differ in size");
}

// The rectangle of a fill or restore blend, in order, on the picture, with the mask covering it;
// the picture and the mask 24 bits.
TRect PrepareBlend(TBitmap& picture, TRect rect, TBitmap& mask) {
    rect = Ordered(rect);
    To24(picture);
    To24(mask);
    if (rect.Left < 0 || rect.Top < 0 || rect.Right > picture.Width() ||
        rect.Bottom > picture.Height())
        throw Exception("stroke rectangle off the picture");
    RequireCovers(mask, rect.Width(), rect.Height());
    return rect;
}

// Spreads the mask's blue bytes of one row over all three bytes of each pixel, so that the blend
// kernels below run over plain byte arrays of equal length.
void SpreadMaskRowPlain(const uint8_t* maskRow, int32_t width, uint8_t* out) {
    for (int32_t x = 0; x < width; ++x) {
        const uint8_t m = maskRow[3 * x];
        out[3 * x] = m;
        out[3 * x + 1] = m;
        out[3 * x + 2] = m;
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Twenty-one pixels a step where the processor permutes bytes across a 64-byte register (AVX-512
// VBMI): each output byte takes the blue byte of its pixel. Steps are taken while 64 bytes are
// readable and writable (the 64th byte is written again by the next step); the plain loop does
// the rest. The same bytes as the plain loop.
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] void SpreadMaskRowVbmi(const uint8_t* maskRow,
                                                                      int32_t width, uint8_t* out) {
    alignas(64) static constexpr auto kBlue = [] {
        std::array<uint8_t, 64> t{};
        for (int k = 0; k < 64; ++k) t[size_t(k)] = uint8_t(k < 63 ? k / 3 * 3 : 63);
        return t;
    }();
    const __m512i blue = _mm512_load_si512(kBlue.data());
    int32_t x = 0;
    for (; x + 22 <= width; x += 21) {  // 3 x + 64 <= 3 width
        const __m512i v = _mm512_loadu_si512(maskRow + 3 * size_t(x));
        _mm512_storeu_si512(out + 3 * size_t(x), _mm512_maskz_permutexvar_epi8(~uint64_t{0}, blue, v));
    }
    SpreadMaskRowPlain(maskRow + 3 * size_t(x), width - x, out + 3 * size_t(x));
}
#define TILVO_HAVE_VBMI_SPREAD 1
#endif

void SpreadMaskRow(const uint8_t* maskRow, int32_t width, uint8_t* out) {
#ifdef TILVO_HAVE_VBMI_SPREAD
    static const bool has =
        __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
    if (has) return SpreadMaskRowVbmi(maskRow, width, out);
#endif
    SpreadMaskRowPlain(maskRow, width, out);
}

// a := trunc(a · m/255 + b · (1 − m/255) + 0.5). With num = a·m + b·(255 − m) this is
// floor(num / 255 + 1/2) = floor((num + 127.5) / 255), and since num is a whole number no value
// lies in between: (num + 127) / 255. num + 127 ≤ 65152, so the sums fit 16 bits. The result never
// leaves 0 … 255, so the byte clamp of the formula is always a no-op. The result goes to out, which
// may be a or b: each byte is read before it is written.
void MaskedBlendRow(uint8_t* out, const uint8_t* a, const uint8_t* b, const uint8_t* m, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        const uint16_t mi = m[i];
        const uint16_t num = uint16_t(a[i] * mi + b[i] * uint16_t(255 - mi) + 127);
        out[i] = uint8_t(num / 255);
    }
}

// o := p + floor(m · (a − p) / 256). The arithmetic right shift of a negative int is a floor
// division in C++20.
void ReplayBlendRow(uint8_t* o, const uint8_t* a, const uint8_t* p, const uint8_t* m, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        const int32_t d = int32_t(a[i]) - int32_t(p[i]);
        o[i] = uint8_t(p[i] + ((int32_t(m[i]) * d) >> 8));
    }
}

// left … right, top … bottom (exclusive ends, 64 bits so that far-off points do not wrap)
// aligned outwards to multiples of 8 (left and top down, right and bottom up), then clipped to
// the picture. Something wholly off the picture touches nothing: an empty rectangle, never a
// reversed one.
TRect AlignAndClip(int64_t left, int64_t top, int64_t right, int64_t bottom, int32_t pictureWidth,
                   int32_t pictureHeight) {
    auto down8 = [](int64_t v) { return v >= 0 ? v / 8 * 8 : -((-v + 7) / 8 * 8); };
    auto up8 = [](int64_t v) { return v >= 0 ? (v + 7) / 8 * 8 : -(-v / 8 * 8); };
    auto clip = [](int64_t v, int32_t limit) { return int32_t(std::clamp<int64_t>(v, 0, limit)); };
    TRect r{clip(down8(left), pictureWidth), clip(down8(top), pictureHeight),
            clip(up8(right), pictureWidth), clip(up8(bottom), pictureHeight)};
    r.Right = std::max(r.Right, r.Left);
    r.Bottom = std::max(r.Bottom, r.Top);
    return r;
}

// The part of rect (ordered) that lies on a width × height surface, moved by -origin; empty when
// none does.
TRect ClipToSurface(TRect rect, TPoint origin, int32_t width, int32_t height) {
    rect = Ordered(rect);
    auto clip = [](int64_t v, int32_t limit) { return int32_t(std::clamp<int64_t>(v, 0, limit)); };
    TRect r{clip(int64_t(rect.Left) - origin.X, width), clip(int64_t(rect.Top) - origin.Y, height),
            clip(int64_t(rect.Right) - origin.X, width),
            clip(int64_t(rect.Bottom) - origin.Y, height)};
    r.Right = std::max(r.Right, r.Left);
    r.Bottom = std::max(r.Bottom, r.Top);
    return r;
}

// Sets the mask's pixels in r (on the mask) to value.
void FillMaskRect(TBitmap& mask, TRect r, uint8_t value) {
    if (r.Right <= r.Left) return;
    const size_t bytes = size_t(r.Right - r.Left) * 3;
    for (int32_t y = r.Top; y < r.Bottom; ++y)
        std::memset(mask.ScanLine(y) + size_t(r.Left) * 3, value, bytes);
}

// The strong guarantee of the two Apply functions: everything that can fail has run before the
// picture changes, and the copy back cannot fail.
void CommitStroke(TStrokeContext& ctx, TRect dirtyRect, int32_t mosaicSize, TStrokeEffect effect) {
    const TRect r = Ordered(dirtyRect);
    TParamEffect fn = Pixelate;
    const char* name = kMosaicEffectName;
    const char* displayName = "モザイク";
    // A restore keeps the picture as opened inside its rectangle: replay needs nothing else.
    TBitmap restore;
    if (effect == TStrokeEffect::SolidFill) {
        fn = SolidFill, name = kSolidFillEffectName, displayName = "塗りつぶし";
    } else if (effect == TStrokeEffect::Restore) {
        fn = RestoreSource, name = kRestoreEffectName, displayName = "復元";
        if (!ctx.SourceBitmap) throw Exception("a restore needs the picture as opened");
        CopyRegionOut(*ctx.SourceBitmap, r, restore);
    }
    // The entry keeps the rectangle before (still in WorkBitmap) and after (RegionBitmap) the
    // stroke, for undo and redo at the cost of a copy.
    ctx.History.Add(fn, name, displayName, HistoryKind, dirtyRect.Left, dirtyRect.Top,
                    dirtyRect.Right, dirtyRect.Bottom, mosaicSize, mosaicSize, 0, &ctx.MaskBitmap,
                    &ctx.WorkBitmap, &ctx.RegionBitmap,
                    effect == TStrokeEffect::Restore ? &restore : nullptr);
    CopyRegionIn(ctx.RegionBitmap, r, ctx.WorkBitmap);
}

}  // namespace

TRect ComputeDirtyRect(const TPoint* points, int32_t pointCount, int32_t brushSize,
                       int32_t pictureWidth, int32_t pictureHeight) {
    if (pointCount <= 0) return TRect{};
    // 64 bits: points dragged far outside the picture must not wrap.
    int64_t minX = points[0].X, minY = points[0].Y, maxX = minX, maxY = minY;
    for (int32_t i = 1; i < pointCount; ++i) {
        minX = std::min<int64_t>(minX, points[i].X);
        minY = std::min<int64_t>(minY, points[i].Y);
        maxX = std::max<int64_t>(maxX, points[i].X);
        maxY = std::max<int64_t>(maxY, points[i].Y);
    }
    // The pen paints pixels whose centre lies within brushSize / 2 of the stroke, so whole pixels
    // up to brushSize / 2 (rounded down) from a point; softening spreads the edge one pixel
    // further.
    const int64_t reach = std::max(brushSize, 0) / 2 + 1;
    return AlignAndClip(minX - reach, minY - reach, maxX + reach + 1, maxY + reach + 1,
                        pictureWidth, pictureHeight);
}

TRect ComputeRectDirtyRect(TRect rect, bool softEdge, int32_t pictureWidth, int32_t pictureHeight) {
    // Only the part on the picture is drawn into the mask, so only that part has a soft edge.
    rect = ClipToSurface(rect, TPoint{0, 0}, pictureWidth, pictureHeight);
    if (rect.Left == rect.Right || rect.Top == rect.Bottom) return TRect{};
    // "Blur" spreads the rectangle's edge one pixel outwards.
    const int64_t reach = softEdge ? 1 : 0;
    return AlignAndClip(int64_t(rect.Left) - reach, int64_t(rect.Top) - reach,
                        int64_t(rect.Right) + reach, int64_t(rect.Bottom) + reach, pictureWidth,
                        pictureHeight);
}

void CopyRegionOut(TBitmap& source, TRect rect, TBitmap& target) {
    rect = Ordered(rect);
    To24(source);
    target.Resize(rect.Width(), rect.Height(), pf24bit);
    // Only the part of the rectangle that lies on the source can be copied; whatever lies off it
    // comes out black rather than as stale bytes.
    const int32_t x0 = std::max(rect.Left, 0), y0 = std::max(rect.Top, 0);
    const int32_t x1 = std::min(rect.Right, source.Width());
    const int32_t y1 = std::min(rect.Bottom, source.Height());
    const bool inside = x0 == rect.Left && y0 == rect.Top && x1 == rect.Right && y1 == rect.Bottom;
    if (!inside) {
        for (int32_t y = 0; y < target.Height(); ++y)
            std::memset(target.ScanLine(y), 0, size_t(target.Width()) * 3);
    }
    if (x1 <= x0 || y1 <= y0) return;
    const size_t bytes = size_t(x1 - x0) * 3;
    for (int32_t y = y0; y < y1; ++y)
        std::memcpy(target.ScanLine(y - rect.Top) + size_t(x0 - rect.Left) * 3,
                    source.ScanLine(y) + size_t(x0) * 3, bytes);
}

void CopyRegionIn(TBitmap& source, TRect rect, TBitmap& target) {
    rect = Ordered(rect);
    To24(source);
    To24(target);
    // The source lands with its top-left pixel at (left, top); what falls outside the rectangle,
    // the source or the target is left out.
    const int32_t right = std::min(rect.Right, rect.Left + source.Width());
    const int32_t bottom = std::min(rect.Bottom, rect.Top + source.Height());
    const int32_t x0 = std::max(rect.Left, 0), y0 = std::max(rect.Top, 0);
    const int32_t x1 = std::min(right, target.Width()), y1 = std::min(bottom, target.Height());
    if (x1 <= x0 || y1 <= y0) return;
    const size_t bytes = size_t(x1 - x0) * 3;
    for (int32_t y = y0; y < y1; ++y)
        std::memcpy(target.ScanLine(y) + size_t(x0) * 3,
                    source.ScanLine(y - rect.Top) + size_t(x0 - rect.Left) * 3, bytes);
}

void DrawStrokeMask(TBitmap& mask, int32_t width, int32_t height, const TPoint* points,
                    int32_t pointCount, TPoint origin, int32_t brushSize, bool softEdge) {
    mask.Resize(width, height, pf24bit);
    if (mask.Empty()) return;
    TCanvas& c = mask.Canvas();
    c.Brush.Color = 0xFFFFFF;
    c.Pen.Color = 0;
    c.Pen.Width = brushSize;
    c.Pen.Mode = pmCopy;
    c.FillRect(c.ClipRect());
    if (pointCount > 0) {
        c.MoveTo(points[0].X - origin.X, points[0].Y - origin.Y);
        for (int32_t i = 1; i < pointCount; ++i)
            c.LineTo(points[i].X - origin.X, points[i].Y - origin.Y);
    }
    if (softEdge) ApplyFilter(mask, "Blur");
}

void DrawRectMask(TBitmap& mask, int32_t width, int32_t height, TRect rect, TPoint origin,
                  bool softEdge) {
    mask.Resize(width, height, pf24bit);
    if (mask.Empty()) return;
    const TRect all{0, 0, width, height};
    const TRect inside = ClipToSurface(rect, origin, width, height);
    FillMaskRect(mask, all, 0xFF);
    FillMaskRect(mask, inside, 0);
    if (!softEdge) return;
    ApplyFilter(mask, "Blur");
    // The blur also greys the rectangle's own edge pixels: they go back to black, so that the
    // inside is exactly the hard-edged result.
    FillMaskRect(mask, inside, 0);
}

void DrawEllipseMask(TBitmap& mask, int32_t width, int32_t height, TRect rect, TPoint origin,
                     bool softEdge) {
    mask.Resize(width, height, pf24bit);
    if (mask.Empty()) return;
    FillMaskRect(mask, TRect{0, 0, width, height}, 0xFF);
    rect = Ordered(rect);
    const TRect inside = ClipToSurface(rect, origin, width, height);
    auto fillInside = [&] {
        if (inside.Right <= inside.Left || inside.Bottom <= inside.Top) return;
        // Centre and radii in the mask's pixels; a pixel is inside when its centre is.
        const double cx = (double(rect.Left) + rect.Right) / 2 - origin.X;
        const double cy = (double(rect.Top) + rect.Bottom) / 2 - origin.Y;
        const double rx = (double(rect.Right) - rect.Left) / 2;
        const double ry = (double(rect.Bottom) - rect.Top) / 2;
        for (int32_t y = inside.Top; y < inside.Bottom; ++y) {
            const double t = (y + 0.5 - cy) / ry;
            const double rest = 1 - t * t;
            if (rest < 0) continue;
            const double half = rx * std::sqrt(rest);
            // Centres x + 0.5 within cx ± half.
            const int32_t first = std::max<int32_t>(
                inside.Left, int32_t(std::ceil(cx - half - 0.5 - 1e-9)));
            const int32_t last = std::min<int32_t>(
                inside.Right - 1, int32_t(std::floor(cx + half - 0.5 + 1e-9)));
            if (first <= last)
                std::memset(mask.ScanLine(y) + size_t(first) * 3, 0, size_t(last - first + 1) * 3);
        }
    };
    fillInside();
    if (!softEdge) return;
    // Softened outside only: the blur greys the ellipse's own edge pixels, which go back to black.
    ApplyFilter(mask, "Blur");
    fillInside();
}

void MaskedBlend(TBitmap& picture, TBitmap& mosaic, TBitmap& mask) {
    To24(picture);
    To24(mosaic);
    To24(mask);
    const int32_t w = picture.Width(), h = picture.Height();
    RequireCovers(mosaic, w, h);
    RequireCovers(mask, w, h);
    if (w == 0 || h == 0) return;
    std::vector<uint8_t> m(size_t(w) * 3);
    for (int32_t y = 0; y < h; ++y) {
        SpreadMaskRow(mask.ScanLine(y), w, m.data());
        MaskedBlendRow(picture.ScanLine(y), picture.ScanLine(y), mosaic.ScanLine(y), m.data(),
                       w * 3);
    }
}

void ReplayBlend(TBitmap& output, TBitmap& unchanged, TBitmap& processed, TBitmap& mask) {
    To24(unchanged);
    To24(processed);
    To24(mask);
    const int32_t w = unchanged.Width(), h = unchanged.Height();
    RequireCovers(processed, w, h);
    RequireCovers(mask, w, h);
    if (output.PixelFormat() != pf24bit || output.Width() != processed.Width() ||
        output.Height() != processed.Height())
        output.Resize(processed.Width(), processed.Height(), pf24bit);
    if (w == 0 || h == 0) return;
    // One row of mask values at a time: the same bytes as a whole plane of them, without the
    // plane's allocation.
    std::vector<uint8_t> m(size_t(w) * 3);
    for (int32_t y = 0; y < h; ++y) {
        SpreadMaskRow(mask.ScanLine(y), w, m.data());
        ReplayBlendRow(output.ScanLine(y), unchanged.ScanLine(y), processed.ScanLine(y), m.data(),
                       w * 3);
    }
}

void BlendMosaicStroke(TBitmap& picture, TRect rect, int32_t cellWidth, int32_t cellHeight,
                       TBitmap& mask, TBitmap& region) {
    rect = Ordered(rect);
    // The cells go into region, and the blend reads the picture's own rows beside them: the same
    // bytes as MaskedBlend of a cut-out with the cells, without the cut-out.
    PixelateRect(picture, rect, cellWidth, cellHeight, region);
    To24(mask);
    const int32_t w = region.Width(), h = region.Height();
    RequireCovers(mask, w, h);
    if (w == 0 || h == 0) return;
    std::vector<uint8_t> m(size_t(w) * 3);
    const size_t left = size_t(rect.Left) * 3;
    for (int32_t y = 0; y < h; ++y) {
        SpreadMaskRow(mask.ScanLine(y), w, m.data());
        MaskedBlendRow(region.ScanLine(y), picture.ScanLine(rect.Top + y) + left,
                       region.ScanLine(y), m.data(), w * 3);
    }
}

void BlendFillStroke(TBitmap& picture, TRect rect, TBitmap& mask, TBitmap& region) {
    rect = PrepareBlend(picture, rect, mask);
    const int32_t w = rect.Width(), h = rect.Height();
    region.Resize(w, h, pf24bit);
    if (w == 0 || h == 0) return;
    // MaskedBlend with a black mosaic: the mosaic's term is zero.
    std::vector<uint8_t> m(size_t(w) * 3);
    const size_t left = size_t(rect.Left) * 3;
    for (int32_t y = 0; y < h; ++y) {
        SpreadMaskRow(mask.ScanLine(y), w, m.data());
        const uint8_t* a = picture.ScanLine(rect.Top + y) + left;
        uint8_t* out = region.ScanLine(y);
        for (int32_t i = 0; i < 3 * w; ++i) out[i] = uint8_t((a[i] * m[i] + 127) / 255);
    }
}

void BlendRestoreStroke(TBitmap& picture, TRect rect, const TBitmap& restore, TPoint restoreOrigin,
                        TBitmap& mask, TBitmap& region) {
    rect = PrepareBlend(picture, rect, mask);
    const int32_t w = rect.Width(), h = rect.Height();
    const int64_t rx = int64_t(rect.Left) - restoreOrigin.X;
    const int64_t ry = int64_t(rect.Top) - restoreOrigin.Y;
    if (restore.PixelFormat() != pf24bit || rx < 0 || ry < 0 || rx + w > restore.Width() ||
        ry + h > restore.Height())
        throw Exception("the picture to restore does not cover the stroke");
    region.Resize(w, h, pf24bit);
    if (w == 0 || h == 0) return;
    std::vector<uint8_t> m(size_t(w) * 3);
    const size_t left = size_t(rect.Left) * 3;
    for (int32_t y = 0; y < h; ++y) {
        SpreadMaskRow(mask.ScanLine(y), w, m.data());
        MaskedBlendRow(region.ScanLine(y), picture.ScanLine(rect.Top + y) + left,
                       restore.ScanLine(int32_t(ry) + y) + size_t(rx) * 3, m.data(), w * 3);
    }
}

void BlendStroke(TBitmap& picture, TRect rect, TStrokeEffect effect, int32_t cellWidth,
                 int32_t cellHeight, TBitmap& mask, TBitmap& region, const TBitmap* restore,
                 TPoint restoreOrigin) {
    switch (effect) {
        case TStrokeEffect::SolidFill:
            BlendFillStroke(picture, rect, mask, region);
            break;
        case TStrokeEffect::Restore:
            if (!restore) throw Exception("a restore needs the picture as opened");
            BlendRestoreStroke(picture, rect, *restore, restoreOrigin, mask, region);
            break;
        default:
            BlendMosaicStroke(picture, rect, cellWidth, cellHeight, mask, region);
            break;
    }
}

void SolidFill(TBitmap& bitmap, int32_t, int32_t, int32_t) {
    To24(bitmap);
    const size_t bytes = size_t(bitmap.Width()) * 3;
    for (int32_t y = 0; y < bitmap.Height(); ++y) std::memset(bitmap.ScanLine(y), 0, bytes);
}

void RestoreSource(TBitmap&, int32_t, int32_t, int32_t) {}

void ApplyMaskedStroke(TStrokeContext& ctx, TRect dirtyRect, int32_t mosaicSize,
                       TStrokeEffect effect) {
    const TRect r = Ordered(dirtyRect);
    BlendStroke(ctx.WorkBitmap, r, effect, mosaicSize, mosaicSize, ctx.MaskBitmap,
                ctx.RegionBitmap, ctx.SourceBitmap);
    CommitStroke(ctx, dirtyRect, mosaicSize, effect);
}

void ApplyStroke(TStrokeContext& ctx, const TPoint* points, int32_t pointCount, TRect dirtyRect,
                 int32_t mosaicSize, int32_t brushSize, bool softEdge, TStrokeEffect effect) {
    const TRect r = Ordered(dirtyRect);
    DrawStrokeMask(ctx.MaskBitmap, r.Width(), r.Height(), points, pointCount, TPoint{r.Left, r.Top},
                   brushSize, softEdge);
    ApplyMaskedStroke(ctx, dirtyRect, mosaicSize, effect);
}

TRect PreviewRectStroke(TBitmap& picture, const TBitmap* source, TRect rect, int32_t mosaicSize,
                        bool softEdge, TStrokeEffect effect, bool ellipse, TBitmap& mask,
                        TBitmap& region) {
    const TRect r = ComputeRectDirtyRect(rect, softEdge, picture.Width(), picture.Height());
    if (ellipse)
        DrawEllipseMask(mask, r.Width(), r.Height(), rect, TPoint{r.Left, r.Top}, softEdge);
    else
        DrawRectMask(mask, r.Width(), r.Height(), rect, TPoint{r.Left, r.Top}, softEdge);
    BlendStroke(picture, r, effect, mosaicSize, mosaicSize, mask, region, source);
    return r;
}

void ApplyRectStroke(TStrokeContext& ctx, TRect rect, int32_t mosaicSize, bool softEdge,
                     TStrokeEffect effect, bool ellipse) {
    const TRect r = PreviewRectStroke(ctx.WorkBitmap, ctx.SourceBitmap, rect, mosaicSize, softEdge,
                                      effect, ellipse, ctx.MaskBitmap, ctx.RegionBitmap);
    CommitStroke(ctx, r, mosaicSize, effect);
}

}  // namespace tilvo
