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
        const int32_t brush = kBrushDiameters[size_t(k) % kBrushDiameters.size()];
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

// ---- ComputeRectDirtyRect ------------------------------------------------------------------

struct RectDirtyCase {
    const char* what;
    TRect rect;
    bool soft;
    int32_t width, height;
    TRect expected;
};

void PrintTo(const RectDirtyCase& c, std::ostream* os) {
    *os << c.what;
}

class RectDirtyTest : public testing::TestWithParam<RectDirtyCase> {};

TEST_P(RectDirtyTest, RectangleWidenedBySoftEdgeAlignedAndClipped) {
    const RectDirtyCase& c = GetParam();
    EXPECT_EQ(ComputeRectDirtyRect(c.rect, c.soft, c.width, c.height), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RectDirtyTest,
    testing::Values(
        RectDirtyCase{"hard, aligned already", {8, 16, 40, 48}, false, 100, 100, {8, 16, 40, 48}},
        // The blur reaches x = 7 and x = 40: both ends move by a whole step of 8.
        RectDirtyCase{"soft, aligned", {8, 16, 40, 48}, true, 100, 100, {0, 8, 48, 56}},
        RectDirtyCase{"hard, unaligned", {9, 17, 39, 47}, false, 100, 100, {8, 16, 40, 48}},
        RectDirtyCase{"soft, unaligned", {9, 17, 39, 47}, true, 100, 100, {8, 16, 40, 48}},
        RectDirtyCase{"corners in any order", {39, 47, 9, 17}, false, 100, 100, {8, 16, 40, 48}},
        RectDirtyCase{
            "clipped to the picture", {-20, 90, 130, 120}, true, 100, 100, {0, 88, 100, 100}},
        RectDirtyCase{"empty rectangle", {20, 20, 20, 60}, true, 100, 100, {0, 0, 0, 0}},
        RectDirtyCase{"wholly off the picture", {-50, -50, -10, -10}, true, 100, 100, {0, 0, 0, 0}},
        // Only the part on the picture is drawn, so nothing of a rectangle beyond its right side.
        RectDirtyCase{"soft edge of a rectangle beyond the right side",
                      {100, 10, 120, 20},
                      true,
                      100,
                      100,
                      {0, 0, 0, 0}},
        RectDirtyCase{"far outside without wrapping",
                      {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX},
                      true,
                      100,
                      100,
                      {0, 0, 100, 100}}));

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

// A solid-fill stroke: black where the mask is black, the blend towards black where it is grey,
// the picture where it is white; recorded under its own effect and name.
TEST(ApplyStrokeTest, SolidFillBlendsTowardsBlackThroughTheMask) {
    for (const bool soft : {false, true}) {
        SCOPED_TRACE(soft);
        StrokeFixture f(64, 48);
        TBitmap before;
        before.Assign(f.work);
        const TPoint pts[] = {{20, 20}, {20, 20}, {40, 30}};
        const TRect r = ComputeDirtyRect(pts, 3, 10, 64, 48);
        ApplyStroke(f.ctx, pts, 3, r, 12, 10, soft, TStrokeEffect::SolidFill);
        TBitmap expected, black;
        CopyRegionOut(before, r, expected);
        black.Resize(r.Width(), r.Height(), pf24bit);
        for (int32_t y = 0; y < black.Height(); ++y)
            std::fill_n(black.ScanLine(y), 3 * black.Width(), uint8_t(0));
        MaskedBlend(expected, black, f.mask);
        TBitmap got;
        CopyRegionOut(f.work, r, got);
        EXPECT_TRUE(SamePixels(got, expected));
        int64_t blackPixels = 0;
        for (int32_t y = 0; y < 48; ++y)
            for (int32_t x = 0; x < 64; ++x) {
                const bool inside = x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom;
                if (!inside) {
                    ASSERT_EQ(f.work.Pixel(x, y), before.Pixel(x, y));
                } else if (GetBValue(f.mask.Pixel(x - r.Left, y - r.Top)) == 0) {
                    ASSERT_EQ(f.work.Pixel(x, y), RGB(0, 0, 0)) << x << "," << y;
                    ++blackPixels;
                }
            }
        EXPECT_GT(blackPixels, 200);
        ASSERT_EQ(f.history.Count(), 1);
        const TEffectHInfo& e = *f.history.Entries()[0];
        EXPECT_EQ(e.ParamEffect, &SolidFill);
        EXPECT_EQ(e.Name, kSolidFillEffectName);
        EXPECT_NE(e.Name, kMosaicEffectName);
        EXPECT_EQ(e.Kind, HistoryKind);
        EXPECT_EQ((TRect{e.Left, e.Top, e.Right, e.Bottom}), r);
    }
}

// ---- ApplyRectStroke -----------------------------------------------------------------------

struct RectStrokeCase {
    const char* what;
    TRect rect;
    bool soft;
};

// Every mosaic size and both effects over each rectangle: the inside (clipped to the picture) is
// wholly the whole picture's cells or black, with the soft edge exactly as with the hard one; the
// outside is untouched with the hard edge, and with the soft one changed only in the ring of
// pixels next to the rectangle, each a blend between picture and effect.
TEST(ApplyRectStrokeTest, InsideWhollyCoveredSofteningOnlyOutside) {
    const RectStrokeCase cases[] = {
        {"inside the picture", {13, 9, 58, 41}, false},
        {"inside the picture, soft", {13, 9, 58, 41}, true},
        {"corners in any order, soft", {58, 41, 13, 9}, true},
        {"aligned to 8, soft", {16, 8, 56, 40}, true},
        {"over the top-left corner, soft", {-10, -7, 21, 17}, true},
        {"over the bottom-right corner", {70, 50, 140, 90}, false},
        {"over the bottom-right corner, soft", {70, 50, 140, 90}, true},
        {"the whole picture, soft", {0, 0, 100, 70}, true},
        {"one pixel, soft", {40, 30, 41, 31}, true},
    };
    constexpr int32_t W = 100, H = 70;
    for (const RectStrokeCase& c : cases) {
        for (const TStrokeEffect effect : {TStrokeEffect::Mosaic, TStrokeEffect::SolidFill}) {
            for (const int32_t cells : kMosaicCellSizes) {
                SCOPED_TRACE(testing::Message()
                             << c.what << ", "
                             << (effect == TStrokeEffect::Mosaic ? "mosaic" : "fill") << ", cells "
                             << cells);
                StrokeFixture f(W, H);
                TBitmap before, covered;
                before.Assign(f.work);
                covered.Assign(f.work);
                if (effect == TStrokeEffect::Mosaic)
                    Pixelate(covered, cells, cells, 0);
                else
                    SolidFill(covered, 0, 0, 0);
                ApplyRectStroke(f.ctx, c.rect, cells, c.soft, effect);

                const int32_t l = std::clamp(std::min(c.rect.Left, c.rect.Right), 0, W);
                const int32_t r = std::clamp(std::max(c.rect.Left, c.rect.Right), 0, W);
                const int32_t t = std::clamp(std::min(c.rect.Top, c.rect.Bottom), 0, H);
                const int32_t b = std::clamp(std::max(c.rect.Top, c.rect.Bottom), 0, H);
                int64_t softened = 0;
                for (int32_t y = 0; y < H; ++y)
                    for (int32_t x = 0; x < W; ++x) {
                        const TColor now = f.work.Pixel(x, y), was = before.Pixel(x, y),
                                     cov = covered.Pixel(x, y);
                        if (x >= l && x < r && y >= t && y < b) {
                            ASSERT_EQ(now, cov) << "inside at " << x << "," << y;
                            continue;
                        }
                        const bool ring = x >= l - 1 && x <= r && y >= t - 1 && y <= b;
                        if (!c.soft || !ring) {
                            ASSERT_EQ(now, was) << "outside at " << x << "," << y;
                            continue;
                        }
                        // Between the picture and the effect, channel by channel.
                        for (int ch = 0; ch < 3; ++ch) {
                            const int v = int(now >> (8 * ch) & 0xFF);
                            const int p = int(was >> (8 * ch) & 0xFF);
                            const int q = int(cov >> (8 * ch) & 0xFF);
                            ASSERT_TRUE(v >= std::min(p, q) && v <= std::max(p, q))
                                << "ring at " << x << "," << y;
                        }
                        softened += now != was;
                    }
                if (c.soft && cells == kMosaicCellSizes[0] &&
                    !(l == 0 && r == W && t == 0 && b == H)) {
                    EXPECT_GT(softened, 0) << "the soft edge softens the ring outside";
                }

                // One stroke entry whose mask is the rectangle: black inside, and with the hard
                // edge white everywhere else.
                ASSERT_EQ(f.history.Count(), 1);
                const TEffectHInfo& e = *f.history.Entries()[0];
                EXPECT_EQ(e.Kind, HistoryKind);
                EXPECT_EQ(e.ParamEffect, effect == TStrokeEffect::Mosaic ? &Pixelate : &SolidFill);
                const TRect dirty = ComputeRectDirtyRect(c.rect, c.soft, W, H);
                EXPECT_EQ((TRect{e.Left, e.Top, e.Right, e.Bottom}), dirty);
                ASSERT_TRUE(e.Mask);
                ASSERT_EQ(e.Mask->Width(), dirty.Width());
                ASSERT_EQ(e.Mask->Height(), dirty.Height());
                for (int32_t y = dirty.Top; y < dirty.Bottom; ++y)
                    for (int32_t x = dirty.Left; x < dirty.Right; ++x) {
                        const int m = GetBValue(e.Mask->Pixel(x - dirty.Left, y - dirty.Top));
                        if (x >= l && x < r && y >= t && y < b) {
                            ASSERT_EQ(m, 0);
                        } else if (!c.soft) {
                            ASSERT_EQ(m, 255);
                        }
                    }

                // The live result is what a replay of the history gives.
                TBitmap replay;
                replay.Assign(before);
                ReplayHistory(replay, 1, f.history.Entries());
                EXPECT_TRUE(SamePixels(replay, f.work));
            }
        }
    }
}

TEST(ApplyRectStrokeTest, RectangleOffThePictureOrEmptyChangesNothingButAddsAnEntry) {
    for (const TRect rect :
         {TRect{-40, -40, -2, -2}, TRect{30, 20, 30, 40}, TRect{120, 0, 150, 9}}) {
        StrokeFixture f(60, 40);
        TBitmap before;
        before.Assign(f.work);
        ApplyRectStroke(f.ctx, rect, 8, true, TStrokeEffect::SolidFill);
        EXPECT_TRUE(SamePixels(f.work, before));
        EXPECT_EQ(f.history.Count(), 1);
    }
}

// Running out of memory anywhere in a stroke (mask, cells, the history's copies) leaves the
// picture and the history as they were, the undone entries included; a stroke that goes through
// is complete.
TEST(ApplyRectStrokeTest, AFailedStrokeLeavesPictureAndHistoryAsTheyWere) {
    int failures = 0;
    for (int64_t n = 0; n < 40; ++n) {
        SCOPED_TRACE(n);
        StrokeFixture f(72, 56);
        TBitmap source, before;
        source.Assign(f.work);
        ApplyRectStroke(f.ctx, TRect{4, 4, 20, 20}, 4, false, TStrokeEffect::Mosaic);
        ApplyRectStroke(f.ctx, TRect{30, 4, 50, 20}, 4, false, TStrokeEffect::Mosaic);
        ASSERT_TRUE(f.history.Undo(f.work, source));  // the second one undone: now position 1
        before.Assign(f.work);
        FailSurfaceAllocationAfter(n);
        bool failed = false;
        try {
            ApplyRectStroke(f.ctx, TRect{10, 30, 60, 50}, 8, true, TStrokeEffect::SolidFill);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        FailSurfaceAllocationAfter(-1);
        if (!failed) {
            EXPECT_EQ(f.history.Count(), 2);
            EXPECT_EQ(f.work.Pixel(30, 40), RGB(0, 0, 0));
            break;
        }
        ++failures;
        EXPECT_TRUE(SamePixels(f.work, before));
        EXPECT_EQ(f.history.Count(), 2);
        EXPECT_EQ(f.history.Position(), 1);
    }
    EXPECT_GE(failures, 3);
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
