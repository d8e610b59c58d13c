#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <set>
#include <vector>

#include "Effector/HistoryListEx.h"
#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
#include "EngineTestSupport.h"

namespace tilvo {
namespace {

using test::SamePixels;
// Gradients with a little noise (three to five bits), so that neighbouring cells differ.
void FillPicture(TBitmap& b, int32_t w, int32_t h, uint32_t seed) {
    test::FillPicture(b, w, h, seed, 29, 27, 28);
}

// ---- ComputeDirtyRect ----------------------------------------------------------------------

struct DirtyRectCase {
    const char* what;
    std::vector<TPoint> points;
    int32_t count;  // points used; the rest of the slot must be ignored
    int32_t brush, width, height;
    TRect expected;
};

void PrintTo(const DirtyRectCase& c, std::ostream* os) {
    *os << c.what;
}

class DirtyRectTest : public testing::TestWithParam<DirtyRectCase> {};

TEST_P(DirtyRectTest, BoundingBoxWidenedAlignedAndClipped) {
    const DirtyRectCase& c = GetParam();
    EXPECT_EQ(ComputeDirtyRect(c.points.data(), c.count, c.brush, c.width, c.height), c.expected)
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirtyRectTest,
    testing::Values(
        // The pen reaches x = 40 and its softened edge x = 41: right 48, not 40.
        DirtyRectCase{"two points", {{10, 10}, {30, 12}}, 2, 20, 100, 100, {0, 0, 48, 24}},
        // Right would be 112; it stops at W, so the last column lies inside.
        DirtyRectCase{
            "near the right side", {{95, 50}, {95, 50}}, 2, 20, 100, 100, {80, 32, 100, 64}},
        DirtyRectCase{"aligned outwards", {{41, 41}, {41, 41}}, 2, 2, 100, 100, {32, 32, 48, 48}},
        // Brush 9 reaches 4 pixels, the edge 5: 45 … 55.
        DirtyRectCase{
            "odd brush halves down", {{50, 50}, {50, 50}}, 2, 9, 100, 100, {40, 40, 56, 56}},
        // The edge pixel 55 + 1 = 56 is a multiple of 8 already: it stays.
        DirtyRectCase{
            "edge ends on a multiple of 8", {{50, 50}, {50, 50}}, 2, 8, 100, 100, {40, 40, 56, 56}},
        DirtyRectCase{"points outside the picture",
                      {{-30, -40}, {150, 120}},
                      2,
                      10,
                      100,
                      100,
                      {0, 0, 100, 100}},
        DirtyRectCase{"negative minimum", {{-3, 60}, {20, 62}}, 2, 20, 100, 100, {0, 48, 32, 80}},
        DirtyRectCase{"only the counted points",
                      {{10, 10}, {10, 10}, {90, 90}},
                      2,
                      4,
                      100,
                      100,
                      {0, 0, 16, 16}},
        DirtyRectCase{
            "wholly off the picture", {{-100, -100}, {-90, -95}}, 2, 10, 100, 100, {0, 0, 0, 0}},
        DirtyRectCase{
            "beyond the right side", {{300, 10}, {300, 10}}, 2, 10, 100, 100, {100, 0, 100, 24}},
        DirtyRectCase{"far outside without wrapping",
                      {{INT32_MIN, INT32_MIN}, {INT32_MAX, INT32_MAX}},
                      2,
                      50,
                      100,
                      100,
                      {0, 0, 100, 100}},
        DirtyRectCase{"one pixel high", {{50, 0}, {52, 0}}, 2, 20, 100, 1, {32, 0, 64, 1}},
        DirtyRectCase{"one pixel wide", {{0, 50}, {0, 50}}, 2, 20, 1, 100, {0, 32, 1, 64}}));

// Every pixel the pen or its softened edge can touch lies inside the rectangle: the stroke's mask
// drawn over the whole picture is white everywhere outside it. Random strokes of every brush the
// window offers, over the edges and well inside, soft and hard.
TEST(DirtyRectCoverage, EveryPixelThePenOrItsEdgeTouchesLiesInside) {
    constexpr int32_t W = 61, H = 43;
    uint32_t s = 99;
    auto rnd = [&s](int32_t lo, int32_t hi) {
        s = s * 1664525u + 1013904223u;
        return lo + int32_t((s >> 8) % uint32_t(hi - lo + 1));
    };
    TBitmap mask;
    int64_t touched = 0;
    for (int k = 0; k < 120; ++k) {
        const int32_t brush = std::vector<int32_t>{5, 8, 10, 20, 30, 40, 50}[size_t(k % 7)];
        const bool soft = k % 2 == 0;
        std::vector<TPoint> pts(size_t(rnd(1, 4)));
        for (TPoint& p : pts) p = {rnd(-30, W + 30), rnd(-30, H + 30)};
        pts.insert(pts.begin(), pts.front());
        const int32_t n = int32_t(pts.size());
        const TRect r = ComputeDirtyRect(pts.data(), n, brush, W, H);
        ASSERT_LE(r.Left, r.Right);
        ASSERT_LE(r.Top, r.Bottom);
        // A stroke wholly beyond the right or bottom side gives an empty rectangle there.
        EXPECT_TRUE(r.Left == W || r.Left % 8 == 0);
        EXPECT_TRUE(r.Top == H || r.Top % 8 == 0);
        EXPECT_TRUE(r.Right == W || r.Right % 8 == 0);
        EXPECT_TRUE(r.Bottom == H || r.Bottom % 8 == 0);
        DrawStrokeMask(mask, W, H, pts.data(), n, TPoint{0, 0}, brush, soft);
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x) {
                if (GetBValue(mask.Pixel(x, y)) == 255) continue;
                ++touched;
                ASSERT_TRUE(x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom)
                    << "stroke " << k << " brush " << brush << " pixel " << x << "," << y;
            }
    }
    EXPECT_GT(touched, 10000);
}

// ---- The two blends ------------------------------------------------------------------------

struct BlendValueCase {
    uint8_t m, a, b;
    uint8_t masked, replayed;
};

TEST(BlendTest, ValueTable) {
    const BlendValueCase cases[] = {
        {128, 200, 100, 150, 150}, {255, 200, 100, 200, 199}, {255, 100, 200, 100, 100},
        {0, 200, 100, 100, 100},   {0, 100, 200, 200, 200},   {1, 255, 0, 1, 0},
        {254, 0, 255, 1, 1},
    };
    for (const auto& c : cases) {
        // Mask bytes other than blue are not read: green and red say the opposite.
        TBitmap a(2, 1), b(2, 1), mask(2, 1), out(2, 1);
        for (int32_t x = 0; x < 2; ++x) {
            a.SetPixel(x, 0, RGB(c.a, c.a, c.a));
            b.SetPixel(x, 0, RGB(c.b, c.b, c.b));
            mask.SetPixel(x, 0, RGB(uint8_t(255 - c.m), uint8_t(255 - c.m), c.m));
        }
        ReplayBlend(out, a, b, mask);
        MaskedBlend(a, b, mask);
        EXPECT_EQ(a.Pixel(1, 0), RGB(c.masked, c.masked, c.masked))
            << "m=" << int(c.m) << " A=" << int(c.a) << " B=" << int(c.b);
        EXPECT_EQ(out.Pixel(1, 0), RGB(c.replayed, c.replayed, c.replayed))
            << "m=" << int(c.m) << " A=" << int(c.a) << " P=" << int(c.b);
    }
}

// Every combination of mask value, picture byte and mosaic byte, against the formulas written
// out in floating point: m runs over all values for each (A, B) pair as k goes round.
TEST(BlendTest, ExhaustiveAgainstFormulas) {
    TBitmap a(256, 256), b(256, 256), mask(256, 256), out;
    for (int32_t y = 0; y < 256; ++y)
        for (int32_t x = 0; x < 256; ++x) {
            a.SetPixel(x, y, RGB(uint8_t(255 - x), uint8_t(y), uint8_t(x)));
            b.SetPixel(x, y, RGB(uint8_t(x ^ 0x5A), uint8_t(x), uint8_t(y)));
        }
    TBitmap blended;
    int64_t mismatches = 0;
    for (int32_t k = 0; k < 256; ++k) {
        for (int32_t y = 0; y < 256; ++y) {
            uint8_t* row = mask.ScanLine(y);
            for (int32_t x = 0; x < 256; ++x) {
                row[3 * x] = uint8_t(x + y + k);
                row[3 * x + 1] = uint8_t(k);
                row[3 * x + 2] = uint8_t(~k);
            }
        }
        blended.Assign(a);
        MaskedBlend(blended, b, mask);
        ReplayBlend(out, a, b, mask);
        for (int32_t y = 0; y < 256; ++y) {
            const uint8_t* ra = a.ScanLine(y);
            const uint8_t* rb = b.ScanLine(y);
            const uint8_t* rm = mask.ScanLine(y);
            const uint8_t* rbl = blended.ScanLine(y);
            const uint8_t* ro = out.ScanLine(y);
            for (int32_t i = 0; i < 3 * 256; ++i) {
                const int m = rm[i / 3 * 3];
                const double f = m / 255.0;
                const double v = std::trunc(ra[i] * f + (1 - f) * rb[i] + 0.5);
                const int masked = v >= 255 ? 255 : v <= 0 ? 0 : int(v);
                const int replayed = rb[i] + int(std::floor(m * (ra[i] - rb[i]) / 256.0));
                mismatches += (rbl[i] != masked) + (ro[i] != replayed);
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(BlendTest, MosaicOrMaskSmallerThanPictureIsRefused) {
    TBitmap a(8, 8), b(8, 7), mask(8, 8), out;
    EXPECT_THROW(MaskedBlend(a, b, mask), Exception);
    EXPECT_THROW(MaskedBlend(a, mask, b), Exception);
    EXPECT_THROW(ReplayBlend(out, a, b, mask), Exception);
    EXPECT_THROW(ReplayBlend(out, a, mask, b), Exception);
}

// ---- Region copies -------------------------------------------------------------------------

TEST(RegionCopyTest, OutAndInOrderTheRectangleAndConvertTo24Bits) {
    TBitmap src;
    FillPicture(src, 20, 16, 7);
    TBitmap src32;
    src32.Assign(src);
    src32.SetPixelFormat(pf32bit);

    TBitmap region;
    CopyRegionOut(src32, TRect{13, 11, 5, 3}, region);  // swapped corners
    EXPECT_EQ(src32.PixelFormat(), pf24bit);
    ASSERT_EQ(region.PixelFormat(), pf24bit);
    ASSERT_EQ(region.Width(), 8);
    ASSERT_EQ(region.Height(), 8);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 8; ++x) ASSERT_EQ(region.Pixel(x, y), src.Pixel(x + 5, y + 3));

    TBitmap target;
    target.Assign(src);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 8; ++x) region.SetPixel(x, y, RGB(1, 2, uint8_t(x + y)));
    CopyRegionIn(region, TRect{6, 2, 14, 10}, target);
    for (int32_t y = 0; y < 16; ++y)
        for (int32_t x = 0; x < 20; ++x) {
            const bool inside = x >= 6 && x < 14 && y >= 2 && y < 10;
            ASSERT_EQ(target.Pixel(x, y),
                      inside ? RGB(1, 2, uint8_t(x - 6 + y - 2)) : src.Pixel(x, y))
                << x << "," << y;
        }
}

TEST(RegionCopyTest, RectangleReachingOffTheSourceNeverReadsOutside) {
    TBitmap src;
    FillPicture(src, 10, 10, 3);
    TBitmap region;
    CopyRegionOut(src, TRect{6, 6, 14, 12}, region);
    ASSERT_EQ(region.Width(), 8);
    ASSERT_EQ(region.Height(), 6);
    EXPECT_EQ(region.Pixel(3, 3), src.Pixel(9, 9));
    EXPECT_EQ(region.Pixel(4, 3), RGB(0, 0, 0));
    EXPECT_EQ(region.Pixel(0, 4), RGB(0, 0, 0));

    TBitmap target;
    target.Assign(src);
    CopyRegionIn(region, TRect{-4, -4, 4, 2}, target);
    EXPECT_EQ(target.Pixel(0, 0), region.Pixel(4, 4));
    EXPECT_EQ(target.Pixel(4, 0), src.Pixel(4, 0));
    EXPECT_EQ(target.Pixel(0, 2), src.Pixel(0, 2));
}

// ---- Stroke mask ---------------------------------------------------------------------------

// The black pixels of a mask and the distinct values it holds.
struct MaskStats {
    int64_t black = 0;
    std::set<int> values;
};

MaskStats Stats(const TBitmap& mask) {
    MaskStats s;
    for (int32_t y = 0; y < mask.Height(); ++y)
        for (int32_t x = 0; x < mask.Width(); ++x) {
            const TColor c = mask.Pixel(x, y);
            EXPECT_TRUE(GetRValue(c) == GetBValue(c) && GetGValue(c) == GetBValue(c));
            s.values.insert(GetBValue(c));
            s.black += GetBValue(c) == 0;
        }
    return s;
}

TEST(StrokeMaskTest, ClickGivesRoundDotOfTheBrushDiameter) {
    for (const int32_t brush : {6, 20, 31}) {
        SCOPED_TRACE(brush);
        const TPoint click{140, 90};
        const TPoint pts[] = {click, click};
        const TPoint origin{100, 50};  // the click lies at (40, 40) of the mask
        TBitmap mask;
        DrawStrokeMask(mask, 80, 80, pts, 2, origin, brush, false);
        ASSERT_EQ(mask.Width(), 80);
        ASSERT_EQ(mask.Height(), 80);
        EXPECT_EQ((Stats(mask).values), (std::set<int>{0, 255}));
        const double r = brush / 2.0;
        int64_t black = 0;
        int32_t x0 = 80, x1 = -1, y0 = 80, y1 = -1;
        for (int32_t y = 0; y < 80; ++y)
            for (int32_t x = 0; x < 80; ++x) {
                const double d = std::hypot(x - 40, y - 40);
                const bool isBlack = GetBValue(mask.Pixel(x, y)) == 0;
                if (isBlack) {
                    ++black;
                    x0 = std::min(x0, x), x1 = std::max(x1, x);
                    y0 = std::min(y0, y), y1 = std::max(y1, y);
                }
                // Edge coverage may vary by a pixel; inside and outside may not.
                if (d <= r - 1.5 || d >= r + 1.5) {
                    ASSERT_EQ(isBlack, d <= r - 1.5) << x << "," << y;
                }
            }
        // As wide as high, the brush's diameter across, and about the area of a disc.
        EXPECT_EQ(x1 - x0, y1 - y0);
        EXPECT_NEAR(x1 - x0 + 1, brush, 1);
        EXPECT_NEAR(double(black), M_PI * r * r, 2 * M_PI * r) << "dot area far from a disc";
    }
}

TEST(StrokeMaskTest, SoftEdgeRampsInStepsOf51AndHardEdgeHasOnlyTwoValues) {
    const TPoint pts[] = {{10, 30}, {10, 30}, {40, 28}, {60, 45}};
    TBitmap hard, soft;
    DrawStrokeMask(hard, 72, 64, pts, 4, TPoint{0, 0}, 12, false);
    DrawStrokeMask(soft, 72, 64, pts, 4, TPoint{0, 0}, 12, true);
    const MaskStats h = Stats(hard);
    const MaskStats s = Stats(soft);
    EXPECT_EQ(h.values, (std::set<int>{0, 255}));
    EXPECT_GT(h.black, 30 * 12);  // the polyline is drawn, not just its first point
    EXPECT_EQ(hard.Pixel(40, 28), RGB(0, 0, 0));
    EXPECT_EQ(hard.Pixel(60, 45), RGB(0, 0, 0));
    EXPECT_EQ(hard.Pixel(40, 5), RGB(255, 255, 255));
    for (const int v : s.values) EXPECT_EQ(v % 51, 0) << v;
    EXPECT_GT(s.values.size(), 3u);
    EXPECT_LT(s.black, h.black);  // blurring eats into the black edge
}

// ---- ApplyStroke ---------------------------------------------------------------------------

struct StrokeFixture {
    TBitmap work, region, mask;
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};

    StrokeFixture(int32_t w, int32_t h) { FillPicture(work, w, h, 11); }
};

TEST(ApplyStrokeTest, HardStrokeTakesTheWholePictureCellsUnderTheBrushAndNothingElse) {
    for (const int32_t cells : kMosaicCellSizes) {
        SCOPED_TRACE(cells);
        StrokeFixture f(100, 80);
        TBitmap before, whole;
        before.Assign(f.work);
        whole.Assign(f.work);
        Pixelate(whole, cells, cells, 0);
        const TPoint pts[] = {{30, 40}, {30, 40}, {95, 42}};
        const TRect r = ComputeDirtyRect(pts, 3, 20, 100, 80);
        ASSERT_EQ(r, (TRect{16, 24, 100, 56}));
        ApplyStroke(f.ctx, pts, 3, r, cells, 20, false);

        int64_t changed = 0;
        for (int32_t y = 0; y < 80; ++y)
            for (int32_t x = 0; x < 100; ++x) {
                const bool inside = x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom;
                const TColor now = f.work.Pixel(x, y);
                if (!inside) {
                    ASSERT_EQ(now, before.Pixel(x, y)) << x << "," << y;
                    continue;
                }
                const bool black = GetBValue(f.mask.Pixel(x - r.Left, y - r.Top)) == 0;
                ASSERT_EQ(now, black ? whole.Pixel(x, y) : before.Pixel(x, y)) << x << "," << y;
                changed += now != before.Pixel(x, y);
            }
        EXPECT_GT(changed, 500);
        // The brush reaches the last column, and the last column is mosaicked.
        EXPECT_EQ(f.work.Pixel(99, 41), whole.Pixel(99, 41));

        ASSERT_EQ(f.history.Count(), 1);
        ASSERT_EQ(f.history.Position(), 1);
        const TEffectHInfo& e = *f.history.Entries()[0];
        EXPECT_EQ(e.ParamEffect, &Pixelate);
        EXPECT_EQ(e.Effect, nullptr);
        EXPECT_EQ(e.Name, "Mosaic");
        EXPECT_EQ(e.DisplayName, "モザイク");
        EXPECT_EQ(e.Kind, HistoryKind);
        EXPECT_EQ((TRect{e.Left, e.Top, e.Right, e.Bottom}), r);
        EXPECT_EQ(e.Param1, cells);
        EXPECT_EQ(e.Param2, cells);
        EXPECT_EQ(e.Param3, 0);
        ASSERT_TRUE(e.Mask);
        EXPECT_TRUE(SamePixels(*e.Mask, f.mask));
        // The entry keeps its own mask when the window's mask is redrawn.
        f.mask.Canvas().FillRect(f.mask.Canvas().ClipRect());
        EXPECT_FALSE(SamePixels(*e.Mask, f.mask));
    }
}

TEST(ApplyStrokeTest, SoftEdgeBlendsWithMaskedBlendAndLeavesUnpaintedPixelsExactly) {
    StrokeFixture f(64, 48);
    TBitmap before, whole;
    before.Assign(f.work);
    whole.Assign(f.work);
    Pixelate(whole, 12, 12, 0);
    const TPoint pts[] = {{20, 20}, {20, 20}, {40, 30}};
    const TRect r = ComputeDirtyRect(pts, 3, 10, 64, 48);
    ApplyStroke(f.ctx, pts, 3, r, 12, 10, true);
    TBitmap expected, mosaic;
    CopyRegionOut(before, r, expected);
    CopyRegionOut(whole, r, mosaic);
    MaskedBlend(expected, mosaic, f.mask);
    TBitmap got;
    CopyRegionOut(f.work, r, got);
    EXPECT_TRUE(SamePixels(got, expected));
    int64_t partial = 0;
    for (int32_t y = 0; y < r.Height(); ++y)
        for (int32_t x = 0; x < r.Width(); ++x) {
            const int m = GetBValue(f.mask.Pixel(x, y));
            partial += m != 0 && m != 255;
            if (m == 255) {
                ASSERT_EQ(got.Pixel(x, y), before.Pixel(x + r.Left, y + r.Top));
            }
        }
    EXPECT_GT(partial, 20);
}

TEST(ApplyStrokeTest, OnePixelHighPictureIsMosaickedToo) {
    StrokeFixture f(50, 1);
    TBitmap before, whole;
    before.Assign(f.work);
    whole.Assign(f.work);
    Pixelate(whole, 4, 4, 0);
    const TPoint pts[] = {{20, 0}, {20, 0}, {30, 0}};
    const TRect r = ComputeDirtyRect(pts, 3, 10, 50, 1);
    ASSERT_EQ(r.Height(), 1);
    ApplyStroke(f.ctx, pts, 3, r, 4, 10, false);
    for (int32_t x = 15; x <= 35; ++x) EXPECT_EQ(f.work.Pixel(x, 0), whole.Pixel(x, 0)) << x;
    EXPECT_EQ(f.work.Pixel(0, 0), before.Pixel(0, 0));
    ASSERT_EQ(f.history.Count(), 1);
    EXPECT_EQ(f.history.Entries()[0]->Kind, HistoryKind);
}

TEST(ApplyStrokeTest, StrokeWhollyOffThePictureChangesNothingButAddsAnEntry) {
    StrokeFixture f(40, 30);
    TBitmap before;
    before.Assign(f.work);
    const TPoint pts[] = {{-50, -50}, {-50, -50}, {-60, -40}};
    const TRect r = ComputeDirtyRect(pts, 3, 10, 40, 30);
    ApplyStroke(f.ctx, pts, 3, r, 4, 10, true);
    EXPECT_TRUE(SamePixels(f.work, before));
    EXPECT_EQ(f.history.Count(), 1);
}

}  // namespace
}  // namespace tilvo
