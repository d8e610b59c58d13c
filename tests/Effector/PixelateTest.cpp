// Mosaic pixelation: rounding of cell averages, edge cells over replicated pixels, the cases that
// leave a surface alone, and PadToCells.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Effector/Pixelate.h"
#include "EngineTestSupport.h"

namespace tilvo {
namespace {

void FillRandom(TBitmap& bmp, uint32_t seed) {
    test::FillRandom(bmp, seed, 7);
}

// The mosaic computed the slow, obvious way: the picture grown to whole cells by repeating the
// last column and row, every cell averaged in floating point with halves going up, then cropped.
std::vector<TColor> ReferencePixelate(const TBitmap& bmp, int32_t cw, int32_t ch) {
    const int32_t w = bmp.Width(), h = bmp.Height();
    const int32_t gw = (w + cw - 1) / cw * cw, gh = (h + ch - 1) / ch * ch;
    auto grown = [&](int32_t x, int32_t y) {
        return bmp.Pixel(std::min(x, w - 1), std::min(y, h - 1));
    };
    std::vector<TColor> out(size_t(w) * h);
    for (int32_t cy = 0; cy < gh; cy += ch)
        for (int32_t cx = 0; cx < gw; cx += cw) {
            int64_t r = 0, g = 0, b = 0;
            for (int32_t y = cy; y < cy + ch; ++y)
                for (int32_t x = cx; x < cx + cw; ++x) {
                    const TColor c = grown(x, y);
                    r += GetRValue(c), g += GetGValue(c), b += GetBValue(c);
                }
            const double n = double(cw) * ch;
            auto avg = [&](int64_t sum) { return ClampByte(int32_t(std::trunc(sum / n + 0.5))); };
            const TColor c = RGB(avg(r), avg(g), avg(b));
            for (int32_t y = cy; y < std::min(cy + ch, h); ++y)
                for (int32_t x = cx; x < std::min(cx + cw, w); ++x) out[size_t(y) * w + x] = c;
        }
    return out;
}

TEST(ClampByte, LimitsToAByte) {
    EXPECT_EQ(ClampByte(-2147483647 - 1), 0);
    EXPECT_EQ(ClampByte(0), 0);
    EXPECT_EQ(ClampByte(1), 1);
    EXPECT_EQ(ClampByte(254), 254);
    EXPECT_EQ(ClampByte(255), 255);
    EXPECT_EQ(ClampByte(256), 255);
    EXPECT_EQ(ClampByte(2147483647), 255);
}

TEST(Pixelate, CellAverageRoundsHalvesUp) {
    const struct {
        uint8_t blue[4];
        uint8_t expected;
    } cases[] = {
        {{0, 0, 0, 2}, 1},           // 0.5 goes up
        {{0, 0, 1, 1}, 1},           // 0.5 again
        {{0, 0, 0, 1}, 0},           // 0.25 goes down
        {{0, 1, 1, 1}, 1},           // 0.75 goes up
        {{255, 255, 255, 254}, 255}  // 254.75
    };
    for (const auto& c : cases) {
        TBitmap bmp(2, 2);
        for (int i = 0; i < 4; ++i) bmp.SetPixel(i % 2, i / 2, RGB(9, 200, c.blue[i]));
        Pixelate(bmp, 2, 2, 0);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(bmp.Pixel(i % 2, i / 2), RGB(9, 200, c.expected))
                << int(c.blue[0]) << int(c.blue[3]);
    }
}

TEST(Pixelate, EdgeCellsAverageTheRepeatedLastColumnAndRow) {
    // Blue is 10·x + y. On 5 × 5 with cells of 4, the right cells see column 4 four times and the
    // bottom cells row 4 four times: 16.5 → 17, 41.5 → 42, 19, 44. The size stays 5 × 5.
    TBitmap bmp(5, 5);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 5; ++x) bmp.SetPixel(x, y, RGB(0, 0, uint8_t(10 * x + y)));
    Pixelate(bmp, 4, 4, 0);
    ASSERT_EQ(bmp.Width(), 5);
    ASSERT_EQ(bmp.Height(), 5);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 5; ++x) {
            const uint8_t expected = y < 4 ? (x < 4 ? 17 : 42) : (x < 4 ? 19 : 44);
            EXPECT_EQ(GetBValue(bmp.Pixel(x, y)), expected) << x << "," << y;
        }

    // 3 × 3 with cells of 4 is one cell over columns 0 1 2 2 and rows 0 1 2 2: 12.5 + 1.25 → 14.
    TBitmap small(3, 3);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 3; ++x) small.SetPixel(x, y, RGB(0, 0, uint8_t(10 * x + y)));
    Pixelate(small, 4, 4, 0);
    ASSERT_EQ(small.Width(), 3);
    ASSERT_EQ(small.Height(), 3);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 3; ++x) EXPECT_EQ(small.Pixel(x, y), RGB(0, 0, 14));
}

TEST(Pixelate, MatchesTheStraightforwardMosaic) {
    const struct {
        int32_t w, h, cw, ch;
    } cases[] = {
        {16, 16, 16, 16},  {17, 9, 3, 5},    {1, 7, 2, 3},     {33, 1, 1, 4},
        {8, 8, 1, 2},      {7, 13, 2, 1},    {50, 37, 12, 12}, {61, 45, 8, 8},
        {2, 2, 5, 9},      {45, 41, 20, 20},  // 400 pixels per cell: cell sums beyond 16 bits
        {100, 90, 70, 70},                    // more than 4096 pixels per cell
        {10, 400, 3, 300},                    // column sums beyond 16 bits
    };
    uint32_t seed = 1;
    for (const auto& c : cases) {
        TBitmap bmp(c.w, c.h);
        FillRandom(bmp, ++seed);
        const std::vector<TColor> expected = ReferencePixelate(bmp, c.cw, c.ch);
        Pixelate(bmp, c.cw, c.ch, 12345);
        ASSERT_EQ(bmp.Width(), c.w);
        ASSERT_EQ(bmp.Height(), c.h);
        for (int32_t y = 0; y < c.h; ++y)
            for (int32_t x = 0; x < c.w; ++x)
                ASSERT_EQ(bmp.Pixel(x, y), expected[size_t(y) * c.w + x])
                    << c.w << "x" << c.h << " cells " << c.cw << "x" << c.ch << " at " << x << ","
                    << y;
    }
}

TEST(Pixelate, ConvertsOtherFormatsFirst) {
    TBitmap bmp(6, 4, pf32bit);
    FillRandom(bmp, 99);
    const std::vector<TColor> expected = ReferencePixelate(bmp, 4, 3);
    Pixelate(bmp, 4, 3, 0);
    EXPECT_EQ(bmp.PixelFormat(), pf24bit);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 6; ++x) ASSERT_EQ(bmp.Pixel(x, y), expected[size_t(y) * 6 + x]);
}

TEST(Pixelate, CellSizesThatDoNothingLeaveTheSurfaceAlone) {
    const struct { int32_t cw, ch; } cases[] = {{1, 1}, {0, 4}, {4, -1}, {-3, -3}, {0, 0}};
    for (const auto& c : cases) {
        TBitmap bmp(5, 3, pf32bit);
        FillRandom(bmp, 5);
        TBitmap before;
        before.Assign(bmp);
        Pixelate(bmp, c.cw, c.ch, 0);
        EXPECT_EQ(bmp.PixelFormat(), pf32bit) << c.cw << "," << c.ch;
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < 5; ++x) ASSERT_EQ(bmp.Pixel(x, y), before.Pixel(x, y));
    }
}

TEST(Pixelate, WorksInPlaceAndKeepsTheSize) {
    // Whole cells or not, the surface keeps its size and its pixel buffer.
    for (int32_t w : {8, 9}) {
        TBitmap bmp(w, 4);
        FillRandom(bmp, 3);
        const uint8_t* buffer = bmp.ScanLine(0);
        Pixelate(bmp, 4, 4, 0);
        EXPECT_EQ(bmp.Width(), w);
        EXPECT_EQ(bmp.Height(), 4);
        EXPECT_EQ(bmp.ScanLine(0), buffer);
    }
}

TEST(Pixelate, CellsTooLargeForASurfaceAreRefusedBeforeAnyChange) {
    TBitmap bmp(4, 4, pf32bit);
    FillRandom(bmp, 8);
    TBitmap before;
    before.Assign(bmp);
    EXPECT_THROW(Pixelate(bmp, 1 << 30, 1 << 30, 0), EPictureTooLarge);
    EXPECT_EQ(bmp.PixelFormat(), pf32bit);
    EXPECT_EQ(bmp.Pixel(3, 3), before.Pixel(3, 3));
    // An empty surface has nothing to grow.
    TBitmap empty(0, 0);
    EXPECT_NO_THROW(Pixelate(empty, 1 << 30, 1 << 30, 0));
}

TEST(PadToCells, RepeatsTheLastColumnThenTheLastRow) {
    TBitmap bmp(3, 2, pf32bit);
    FillRandom(bmp, 11);
    TBitmap src;
    src.Assign(bmp);
    PadToCells(bmp, 2, 4);
    ASSERT_EQ(bmp.PixelFormat(), pf24bit);
    ASSERT_EQ(bmp.Width(), 4);
    ASSERT_EQ(bmp.Height(), 4);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 4; ++x)
            EXPECT_EQ(bmp.Pixel(x, y), src.Pixel(std::min(x, 2), std::min(y, 1))) << x << "," << y;

    // Whole cells already: unchanged size and pixels, but 24 bits.
    PadToCells(bmp, 2, 2);
    EXPECT_EQ(bmp.Width(), 4);
    EXPECT_EQ(bmp.Height(), 4);
    EXPECT_EQ(bmp.Pixel(3, 3), src.Pixel(2, 1));

    EXPECT_THROW(PadToCells(bmp, 0, 2), Exception);
}

}  // namespace
}  // namespace tilvo
