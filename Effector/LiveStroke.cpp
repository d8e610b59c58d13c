#include "LiveStroke.h"

#include <algorithm>
#include <cstring>

#include "Pixelate.h"

namespace tilvo {

namespace {

bool IsEmpty(const TRect& r) {
    return r.Right <= r.Left || r.Bottom <= r.Top;
}

bool Contains(const TRect& outer, const TRect& inner) {
    return inner.Left >= outer.Left && inner.Top >= outer.Top && inner.Right <= outer.Right &&
           inner.Bottom <= outer.Bottom;
}

TRect Union(const TRect& a, const TRect& b) {
    if (IsEmpty(a)) return b;
    if (IsEmpty(b)) return a;
    return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
            std::max(a.Bottom, b.Bottom)};
}

// left … right, top … bottom (64 bits, so that far-off points do not wrap) clipped to a
// width × height picture; empty when it misses the picture.
TRect ClipToPicture(int64_t left, int64_t top, int64_t right, int64_t bottom, int32_t width,
                    int32_t height) {
    auto clip = [](int64_t v, int32_t limit) { return int32_t(std::clamp<int64_t>(v, 0, limit)); };
    TRect r{clip(left, width), clip(top, height), clip(right, width), clip(bottom, height)};
    if (IsEmpty(r)) return TRect{};
    return r;
}

// The blend of MaskedBlend: a · m/255 + b · (1 − m/255), halves rounded up.
inline uint8_t Blend(uint8_t a, uint8_t b, uint8_t m) {
    return uint8_t((uint32_t(a) * m + uint32_t(b) * (255u - m) + 127u) / 255u);
}

// (up + down + left + centre + right) / 5, the "Blur" filter's own division.
inline uint8_t FifthOf(uint32_t sum) {
    return uint8_t((sum * 13108u) >> 16);
}

}  // namespace

void TLiveStroke::Begin(TBitmap& picture, const TBitmap* source, TStrokeEffect effect,
                        int32_t cellSize, int32_t brushSize, bool softEdge) {
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    if (effect == TStrokeEffect::Restore &&
        (!source || source->PixelFormat() != pf24bit || source->Width() != picture.Width() ||
         source->Height() != picture.Height()))
        throw Exception("a restore needs the picture as opened");
    FPicture = &picture;
    FSource = source;
    FEffect = effect;
    FCell = std::max(cellSize, 1);
    FBrush = std::max(brushSize, 0);
    FSoft = softEdge;
    FArea = TRect{};
    FTouched = TRect{};
    // Room for the part a move of up to kReservedMove pixels changes, so that moving the mouse
    // allocates nothing; a longer jump grows the buffers once.
    const int64_t side = std::min<int64_t>(int64_t(FBrush) + 8 + 2 * int64_t(FCell) + kReservedMove,
                                           int64_t(std::max(picture.Width(), picture.Height())) +
                                               2 * int64_t(FCell));
    if (side > 0) {
        if (FEffect == TStrokeEffect::Mosaic && FCells.Capacity() < side * side * 3)
            FCells.Resize(int32_t(side), int32_t(side), pf24bit);
        if (FRow.capacity() < size_t(side)) FRow.reserve(size_t(side));
        const size_t accBytes = size_t(side + 2 * int64_t(FCell)) * 3 + 1;
        auto reserve = [&](auto& v) {
            if (v.size() < accBytes) v.resize(accBytes);
        };
        if (FCell * 255 <= 0xFFFF)
            reserve(FPixelate.Acc16);
        else
            reserve(FPixelate.Acc32);
        reserve(FPixelate.Row);
    }
}

void TLiveStroke::Cancel() {
    FPicture = nullptr;
    FSource = nullptr;
}

void TLiveStroke::Cover(TRect need) {
    if (IsEmpty(need) || (!IsEmpty(FArea) && Contains(FArea, need))) return;
    const int32_t w = FPicture->Width(), h = FPicture->Height();
    // Room to spare on every side, growing with the area, so that a long stroke grows the buffer
    // a few times rather than at every move.
    const TRect wanted = Union(FArea, need);
    const int64_t spare = std::max<int64_t>({256, int64_t(FBrush) * 2, wanted.Width() / 2,
                                             wanted.Height() / 2});
    const TRect area = ClipToPicture(wanted.Left - spare, wanted.Top - spare,
                                     int64_t(wanted.Right) + spare,
                                     int64_t(wanted.Bottom) + spare, w, h);
    FGrow.Resize(area.Width(), area.Height(), pf24bit);
    const size_t rowBytes = size_t(area.Width()) * 3;
    for (int32_t y = 0; y < area.Height(); ++y) std::memset(FGrow.ScanLine(y), 0xFF, rowBytes);
    if (!IsEmpty(FArea)) {
        const size_t oldBytes = size_t(FArea.Width()) * 3;
        const size_t dx = size_t(FArea.Left - area.Left) * 3;
        for (int32_t y = 0; y < FArea.Height(); ++y)
            std::memcpy(FGrow.ScanLine(FArea.Top - area.Top + y) + dx, FHard.ScanLine(y), oldBytes);
    }
    FHard.Swap(FGrow);
    FArea = area;
}

TRect TLiveStroke::AddSegment(TPoint from, TPoint to, TBitmap& shown) {
    if (!FPicture) return TRect{};
    const int32_t w = FPicture->Width(), h = FPicture->Height();
    if (shown.Width() != w || shown.Height() != h || shown.PixelFormat() != pf24bit)
        throw Exception("the shown copy differs from the picture");
    // The pen paints pixels whose centre lies within brush / 2 of the segment; the soft edge
    // reaches one pixel further, and reads one pixel beyond that.
    const int64_t reach = FBrush / 2 + 1;
    const int64_t left = int64_t(std::min(from.X, to.X)) - reach;
    const int64_t top = int64_t(std::min(from.Y, to.Y)) - reach;
    const int64_t right = int64_t(std::max(from.X, to.X)) + reach + 1;
    const int64_t bottom = int64_t(std::max(from.Y, to.Y)) + reach + 1;
    const TRect pen = ClipToPicture(left, top, right, bottom, w, h);
    if (IsEmpty(pen)) return TRect{};
    // The mask keeps a white margin of two pixels around whatever is black, so that the blur at
    // its edge reads what a mask of any larger size would.
    Cover(ClipToPicture(left - 2, top - 2, right + 2, bottom + 2, w, h));

    TCanvas& c = FHard.Canvas();
    c.Pen.Width = FBrush;
    c.Pen.Color = 0;
    c.Pen.Mode = pmCopy;
    const int64_t ox = FArea.Left, oy = FArea.Top;
    c.MoveTo(int32_t(std::clamp<int64_t>(from.X - ox, INT32_MIN / 2, INT32_MAX / 2)),
             int32_t(std::clamp<int64_t>(from.Y - oy, INT32_MIN / 2, INT32_MAX / 2)));
    c.LineTo(int32_t(std::clamp<int64_t>(to.X - ox, INT32_MIN / 2, INT32_MAX / 2)),
             int32_t(std::clamp<int64_t>(to.Y - oy, INT32_MIN / 2, INT32_MAX / 2)));

    const int64_t soft = FSoft ? 1 : 0;
    const TRect changed =
        ClipToPicture(left - soft, top - soft, right + soft, bottom + soft, w, h);
    BlendInto(changed, shown);
    FTouched = Union(FTouched, changed);
    return changed;
}

uint8_t TLiveStroke::SoftAt(int32_t x, int32_t y) const {
    const int32_t ax = x - FArea.Left, ay = y - FArea.Top;
    const uint8_t* row = FHard.ScanLine(ay);
    if (!FSoft) return row[3 * ax];
    // The blur repeats the edge pixels of the mask; the mask's edge is either the picture's edge
    // or white with white beyond it.
    const uint8_t* up = FHard.ScanLine(ay > 0 ? ay - 1 : ay);
    const uint8_t* down = FHard.ScanLine(ay + 1 < FArea.Height() ? ay + 1 : ay);
    const int32_t l = ax > 0 ? ax - 1 : ax;
    const int32_t r = ax + 1 < FArea.Width() ? ax + 1 : ax;
    return FifthOf(uint32_t(up[3 * ax]) + down[3 * ax] + row[3 * l] + row[3 * ax] + row[3 * r]);
}

uint8_t TLiveStroke::MaskAt(int32_t x, int32_t y) const {
    if (!FPicture || x < FArea.Left || y < FArea.Top || x >= FArea.Right || y >= FArea.Bottom)
        return 255;
    return SoftAt(x, y);
}

void TLiveStroke::BlendInto(TRect rect, TBitmap& shown) {
    if (IsEmpty(rect)) return;
    const int32_t w = rect.Width();
    if (FEffect == TStrokeEffect::Mosaic) PixelateRect(*FPicture, rect, FCell, FCell, FCells, FPixelate);
    FRow.resize(size_t(w));
    for (int32_t y = rect.Top; y < rect.Bottom; ++y) {
        // The mask values of the row; all of rect lies inside the mask's area.
        uint8_t* m = FRow.data();
        const int32_t ay = y - FArea.Top;
        const uint8_t* c = FHard.ScanLine(ay) + size_t(rect.Left - FArea.Left) * 3;
        if (!FSoft) {
            for (int32_t i = 0; i < w; ++i) m[i] = c[3 * i];
        } else {
            const uint8_t* up = FHard.ScanLine(ay > 0 ? ay - 1 : ay) +
                                size_t(rect.Left - FArea.Left) * 3;
            const uint8_t* down = FHard.ScanLine(ay + 1 < FArea.Height() ? ay + 1 : ay) +
                                  size_t(rect.Left - FArea.Left) * 3;
            const bool leftEdge = rect.Left == FArea.Left, rightEdge = rect.Right == FArea.Right;
            for (int32_t i = 0; i < w; ++i) {
                const int32_t l = i == 0 && leftEdge ? 0 : i - 1;
                const int32_t r = i == w - 1 && rightEdge ? i : i + 1;
                m[i] = FifthOf(uint32_t(up[3 * i]) + down[3 * i] + c[3 * l] + c[3 * i] + c[3 * r]);
            }
        }
        // Where the mask is white the shown copy already holds the picture: the stroke's mask only
        // darkens as it grows, and the shown copy is the picture wherever the stroke never was.
        // Only the row's span that is not white is blended.
        int32_t first = 0, last = w - 1;
        while (first <= last && m[first] == 255) ++first;
        while (last >= first && m[last] == 255) --last;
        if (first > last) continue;
        const uint8_t* a = FPicture->ScanLine(y) + size_t(rect.Left) * 3;
        uint8_t* out = shown.ScanLine(y) + size_t(rect.Left) * 3;
        switch (FEffect) {
            case TStrokeEffect::SolidFill:
                for (int32_t i = first; i <= last; ++i)
                    for (int k = 0; k < 3; ++k) out[3 * i + k] = Blend(a[3 * i + k], 0, m[i]);
                break;
            case TStrokeEffect::Restore: {
                const uint8_t* b = FSource->ScanLine(y) + size_t(rect.Left) * 3;
                for (int32_t i = first; i <= last; ++i)
                    for (int k = 0; k < 3; ++k)
                        out[3 * i + k] = Blend(a[3 * i + k], b[3 * i + k], m[i]);
                break;
            }
            default: {
                const uint8_t* b = FCells.ScanLine(y - rect.Top);
                for (int32_t i = first; i <= last; ++i)
                    for (int k = 0; k < 3; ++k)
                        out[3 * i + k] = Blend(a[3 * i + k], b[3 * i + k], m[i]);
                break;
            }
        }
    }
}

void TLiveStroke::Commit(TStrokeContext& ctx, TRect dirtyRect) {
    struct TEnd {
        TLiveStroke* live;
        ~TEnd() { live->Cancel(); }
    } end{this};
    if (!FPicture) throw Exception("no stroke in progress");
    if (&ctx.WorkBitmap != FPicture) throw Exception("the stroke belongs to another picture");
    const TRect r = Ordered(dirtyRect);
    if (r.Left < 0 || r.Top < 0 || r.Right > FPicture->Width() || r.Bottom > FPicture->Height())
        throw Exception("stroke rectangle off the picture");
    // The committed mask is the live one over the dirty rectangle: white where the stroke never
    // came, the shown values everywhere else.
    TBitmap& mask = ctx.MaskBitmap;
    mask.Resize(r.Width(), r.Height(), pf24bit);
    const size_t rowBytes = size_t(r.Width()) * 3;
    const TRect in{std::max(r.Left, FArea.Left), std::max(r.Top, FArea.Top),
                   std::min(r.Right, FArea.Right), std::min(r.Bottom, FArea.Bottom)};
    for (int32_t y = r.Top; y < r.Bottom; ++y) {
        uint8_t* row = mask.ScanLine(y - r.Top);
        std::memset(row, 0xFF, rowBytes);
        if (IsEmpty(in) || y < in.Top || y >= in.Bottom) continue;
        for (int32_t x = in.Left; x < in.Right; ++x) {
            const uint8_t m = SoftAt(x, y);
            uint8_t* p = row + size_t(x - r.Left) * 3;
            p[0] = p[1] = p[2] = m;
        }
    }
    ApplyMaskedStroke(ctx, r, FCell, FEffect);
}

}  // namespace tilvo
