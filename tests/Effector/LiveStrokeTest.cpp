// The stroke being dragged: its mask is the stroke's own mask, each move changes only what it
// reports, and the release commits exactly what was shown.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "Effector/HistoryListEx.h"
#include "Effector/LiveStroke.h"
#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
#include "EngineTestSupport.h"

namespace tilvo {
namespace {

using test::FillPicture;
using test::SamePixels;

struct TRandom {
    uint32_t s;
    int32_t operator()(int32_t lo, int32_t hi) {
        s = s * 1664525u + 1013904223u;
        return lo + int32_t((s >> 8) % uint32_t(hi - lo + 1));
    }
};

bool Inside(TPoint p, const TRect& r) {
    return p.X >= r.Left && p.X < r.Right && p.Y >= r.Top && p.Y < r.Bottom;
}

TRect Union(const TRect& a, const TRect& b) {
    if (a.Right <= a.Left || a.Bottom <= a.Top) return b;
    if (b.Right <= b.Left || b.Bottom <= b.Top) return a;
    return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
            std::max(a.Bottom, b.Bottom)};
}

// Random strokes of every brush, soft and hard, near the edges and beyond them, on pictures large
// and small: the live mask is the mask the stroke draws in one go (DrawStrokeMask over the whole
// picture), each move changes the shown copy only inside the rectangle it answers, and the
// committed picture, its history entry and a replay all equal what was shown, byte for byte.
TEST(LiveStroke, ShowsAndCommitsExactlyTheStrokesOwnResult) {
    TRandom rnd{77};
    int64_t changedPixels = 0;
    for (const auto& [w, h] : {std::pair{300, 220}, {61, 43}, {1200, 40}, {9, 7}}) {
        TBitmap source;
        FillPicture(source, w, h, uint32_t(w * 31 + h));
        for (int k = 0; k < 40; ++k) {
            const int32_t brush = kBrushDiameters[size_t(k) % kBrushDiameters.size()];
            const int32_t cell = kMosaicCellSizes[size_t(rnd(0, int32_t(kMosaicCellSizes.size()) - 1))];
            const bool soft = k % 3 != 0;
            const TStrokeEffect effect = k % 5 == 1   ? TStrokeEffect::SolidFill
                                         : k % 5 == 3 ? TStrokeEffect::Restore
                                                      : TStrokeEffect::Mosaic;
            // The picture already has a stroke, so that Restore has something to take back.
            TBitmap work, region, mask, shown;
            THistoryControl history;
            work.Assign(source);
            TStrokeContext ctx{work, region, mask, history, &source};
            ApplyRectStroke(ctx, TRect{0, 0, w / 2 + 1, h / 2 + 1}, 8, false,
                            TStrokeEffect::Mosaic);
            TBitmap before;
            before.Assign(work);
            shown.Assign(work);

            std::vector<TPoint> pts(size_t(rnd(1, 12)));
            TPoint p{rnd(-40, w + 40), rnd(-40, h + 40)};
            for (TPoint& q : pts) {
                q = p;
                p = {p.X + rnd(-60, 60), p.Y + rnd(-60, 60)};
            }
            pts.insert(pts.begin(), pts.front());  // the press point twice, as capture stores it
            TLiveStroke live;
            live.Begin(work, &source, effect, cell, brush, soft);
            TRect reported;
            for (size_t i = 0; i + 1 < pts.size(); ++i) {
                TBitmap previous;
                previous.Assign(shown);
                const TRect changed = live.AddSegment(pts[i], pts[i + 1], shown);
                reported = Union(reported, changed);
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x) {
                        if (Inside({x, y}, changed)) continue;
                        ASSERT_EQ(shown.Pixel(x, y), previous.Pixel(x, y))
                            << "a move changed " << x << "," << y << " outside its rectangle";
                    }
            }
            EXPECT_EQ(live.Touched(), reported);
            ASSERT_TRUE(SamePixels(work, before)) << "the picture changes only at release";

            // The live mask is the stroke's mask.
            DrawStrokeMask(mask, w, h, pts.data(), int32_t(pts.size()), TPoint{0, 0}, brush, soft);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    ASSERT_EQ(live.MaskAt(x, y), mask.ScanLine(y)[3 * x])
                        << "stroke " << k << " brush " << brush << " at " << x << "," << y;

            const TRect dirty =
                ComputeDirtyRect(pts.data(), int32_t(pts.size()), brush, w, h);
            live.Commit(ctx, dirty);
            EXPECT_FALSE(live.Active());
            ASSERT_TRUE(SamePixels(work, shown))
                << "committed differs from shown: stroke " << k << " brush " << brush << " cell "
                << cell << " effect " << int(effect) << " on " << w << "x" << h;
            ASSERT_EQ(history.Count(), 2);
            TBitmap replay;
            replay.Assign(source);
            ReplayHistory(replay, 2, history.Entries());
            ASSERT_TRUE(SamePixels(replay, work)) << "replay differs: stroke " << k;
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) changedPixels += work.Pixel(x, y) != before.Pixel(x, y);
        }
    }
    EXPECT_GT(changedPixels, 20000);
}

// A restore stroke over the whole picture gives the picture as opened back wherever its mask is
// black, whatever earlier strokes did there; undo and redo walk over it like any stroke.
TEST(LiveStroke, RestorePutsThePictureAsOpenedBackAndUndoRedoKeepIt) {
    TBitmap source, work, region, mask, shown;
    FillPicture(source, 120, 80, 3);
    work.Assign(source);
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history, &source};
    ApplyRectStroke(ctx, TRect{0, 0, 120, 80}, 16, false, TStrokeEffect::Mosaic);
    TBitmap mosaicked;
    mosaicked.Assign(work);
    shown.Assign(work);
    TLiveStroke live;
    live.Begin(work, &source, TStrokeEffect::Restore, 16, 20, false);
    const TPoint pts[] = {{10, 40}, {10, 40}, {110, 40}};
    live.AddSegment(pts[0], pts[1], shown);
    live.AddSegment(pts[1], pts[2], shown);
    live.Commit(ctx, ComputeDirtyRect(pts, 3, 20, 120, 80));
    ASSERT_TRUE(SamePixels(work, shown));
    for (int32_t x = 10; x <= 110; ++x)
        for (int32_t y = 31; y <= 49; ++y) ASSERT_EQ(work.Pixel(x, y), source.Pixel(x, y)) << x;
    EXPECT_EQ(work.Pixel(60, 10), mosaicked.Pixel(60, 10)) << "outside the brush the mosaic stays";
    EXPECT_NE(work.Pixel(60, 10), source.Pixel(60, 10));
    EXPECT_EQ(history.Entries().back()->Name, kRestoreEffectName);

    TBitmap restored;
    restored.Assign(work);
    history.Undo(work, source);
    EXPECT_TRUE(SamePixels(work, mosaicked));
    history.Redo(work);
    EXPECT_TRUE(SamePixels(work, restored));
    // A full replay from the source, as an undo without kept rectangles runs it.
    TBitmap replay;
    replay.Assign(source);
    ReplayHistory(replay, 2, history.Entries());
    EXPECT_TRUE(SamePixels(replay, restored));
}

// The ellipse inscribed in a rectangle: black exactly where a pixel's centre lies inside it,
// softened only outside it, for rectangles inside the mask, across its edges and off it.
TEST(EllipseMask, BlackWhereThePixelCentreIsInsideSoftOnlyOutside) {
    const TRect rects[] = {{4, 3, 30, 19}, {0, 0, 40, 24}, {-10, 5, 25, 40}, {7, 7, 8, 8},
                           {20, -30, 60, 10}};
    for (const TRect& r : rects) {
        TBitmap hard, soft;
        DrawEllipseMask(hard, 40, 24, r, TPoint{0, 0}, false);
        DrawEllipseMask(soft, 40, 24, r, TPoint{0, 0}, true);
        const double cx = (r.Left + r.Right) / 2.0, cy = (r.Top + r.Bottom) / 2.0;
        const double rx = (r.Right - r.Left) / 2.0, ry = (r.Bottom - r.Top) / 2.0;
        int black = 0;
        for (int32_t y = 0; y < 24; ++y)
            for (int32_t x = 0; x < 40; ++x) {
                const double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
                const double d = dx * dx + dy * dy;
                const uint8_t m = hard.ScanLine(y)[3 * x];
                if (std::abs(d - 1) > 1e-6) {
                    ASSERT_EQ(m, d < 1 ? 0 : 255) << x << "," << y;
                }
                black += m == 0;
                const uint8_t s = soft.ScanLine(y)[3 * x];
                if (m == 0) {
                    ASSERT_EQ(s, 0) << "softening stays outside";
                }
                ASSERT_EQ(s % 51, 0);
            }
        EXPECT_GT(black, 0);
    }
    // The ellipse of a 1 × 1 rectangle is its one pixel; of a 30 × 16 one about π/4 of it.
    TBitmap m;
    DrawEllipseMask(m, 40, 24, TRect{4, 3, 34, 19}, TPoint{0, 0}, false);
    int black = 0;
    for (int32_t y = 0; y < 24; ++y)
        for (int32_t x = 0; x < 40; ++x) black += m.ScanLine(y)[3 * x] == 0;
    EXPECT_NEAR(black, 30 * 16 * 3.14159 / 4, 12);
}

}  // namespace
}  // namespace tilvo
