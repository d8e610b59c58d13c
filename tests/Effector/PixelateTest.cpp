// Mosaic pixelation: rounding of cell averages, edge cells over replicated pixels, the cases that
// leave a surface alone, and PadToCells.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
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

TEST(Pixelate, NeedsOnlyItsColumnSumsNotAGrownPicture) {
    // 1,048,575 pixels wide is within the longest side a surface may have; cells of 12 would
    // grow it past that side, but pixelation never grows the picture, so it must work. Blue
    // runs 0 … 250 along the row, green marks the row.
    constexpr int32_t kW = (1 << 20) - 1;
    TBitmap bmp(kW, 2);
    for (int32_t y = 0; y < 2; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int32_t x = 0; x < kW; ++x) {
            row[3 * x] = uint8_t(x % 251);
            row[3 * x + 1] = uint8_t(100 * y);
            row[3 * x + 2] = 7;
        }
    }
    ASSERT_NO_THROW(Pixelate(bmp, 12, 12, 0));
    // Cells of 12 × 12 over 2 rows: the last row counts for the ten missing ones, so green
    // averages one 0 and eleven 100s (91.7 → 92). The first cell averages blue 0 … 11 (5.5 → 6).
    // The last cell starts at 1,048,572 and holds three real columns, the last counted ten
    // times.
    auto blueAt = [](int64_t x) { return int(x % 251); };
    const int32_t lastCell = kW / 12 * 12;
    int64_t sum = 0;
    for (int32_t x = lastCell; x < lastCell + 12; ++x) sum += blueAt(std::min(x, kW - 1));
    const uint8_t lastBlue = uint8_t(std::trunc(double(sum) / 12 + 0.5));
    for (int32_t y = 0; y < 2; ++y) {
        EXPECT_EQ(bmp.Pixel(0, y), RGB(7, 92, 6));
        EXPECT_EQ(bmp.Pixel(11, y), RGB(7, 92, 6));
        EXPECT_EQ(bmp.Pixel(kW - 1, y), RGB(7, 92, lastBlue));
        EXPECT_EQ(bmp.Pixel(lastCell, y), RGB(7, 92, lastBlue));
    }
}

// ---- PixelateRect --------------------------------------------------------------------------

// Cell sizes for the rectangle tests: every mosaic size the window offers, then odd and
// oblong cells, a cell larger than the picture and cell sizes that mean "no mosaic".
std::vector<std::pair<int32_t, int32_t>> RectCellSizes() {
    std::vector<std::pair<int32_t, int32_t>> sizes;
    for (const int32_t m : kMosaicCellSizes) sizes.emplace_back(m, m);
    for (const auto& c : {std::pair{3, 5}, {7, 2}, {1, 9}, {40, 40}, {1, 1}, {0, 4}})
        sizes.push_back(c);
    return sizes;
}

TEST(PixelateRect, GivesThePartOfTheWholePictureMosaic) {
    // Pictures whose sides are not multiples of any cell, so that the partial cells at the right
    // and bottom edges are reached; rectangles anywhere, on cell boundaries or not, touching
    // the edges, down to a single pixel and nothing.
    uint32_t seed = 40;
    for (const auto& [w, h] : {std::pair{53, 37}, {64, 48}, {17, 70}}) {
        TBitmap picture(w, h);
        FillRandom(picture, ++seed);
        std::vector<TRect> rects = {{0, 0, w, h},
                                    {8, 8, std::min(24, w), 16},
                                    {w - 8, h - 5, w, h},
                                    {w - 1, 0, w, h},
                                    {0, h - 1, w, h},
                                    {13, 7, 14, 8},
                                    {5, 9, 5, 20},
                                    {w, h, 0, 0},  // reversed: ordered
                                    {w / 2, 3, w - 2, h / 2}};
        uint32_t s = seed;
        for (int i = 0; i < 20; ++i) {
            s = s * 1664525u + 1013904223u;
            const int32_t l = int32_t((s >> 8) % uint32_t(w));
            const int32_t t = int32_t((s >> 16) % uint32_t(h));
            s = s * 1664525u + 1013904223u;
            const int32_t r = l + int32_t((s >> 8) % uint32_t(w - l + 1));
            const int32_t b = t + int32_t((s >> 16) % uint32_t(h - t + 1));
            rects.push_back({l, t, r, b});
        }
        for (const auto& [cw, ch] : RectCellSizes()) {
            TBitmap whole;
            whole.Assign(picture);
            Pixelate(whole, cw, ch, 0);
            for (const TRect& rect : rects) {
                const int32_t l = std::min(rect.Left, rect.Right);
                const int32_t t = std::min(rect.Top, rect.Bottom);
                TBitmap out;
                PixelateRect(picture, rect, cw, ch, out);
                ASSERT_EQ(out.Width(), std::abs(rect.Width()));
                ASSERT_EQ(out.Height(), std::abs(rect.Height()));
                if (out.Empty()) continue;
                for (int32_t y = 0; y < out.Height(); ++y)
                    ASSERT_EQ(std::memcmp(out.ScanLine(y), whole.ScanLine(t + y) + 3 * l,
                                          size_t(out.Width()) * 3),
                              0)
                        << w << "x" << h << " cells " << cw << "x" << ch << " rect " << rect.Left
                        << "," << rect.Top << "," << rect.Right << "," << rect.Bottom << " row "
                        << y;
            }
        }
        // The picture is only read.
        TBitmap again(w, h);
        FillRandom(again, seed);
        for (int32_t y = 0; y < h; ++y)
            ASSERT_EQ(std::memcmp(again.ScanLine(y), picture.ScanLine(y), size_t(w) * 3), 0);
    }
}

TEST(PixelateRect, RefusesARectangleOffThePicture) {
    TBitmap picture(16, 16), out;
    FillRandom(picture, 3);
    for (const TRect r : {TRect{-1, 0, 8, 8}, TRect{0, 0, 17, 8}, TRect{0, 8, 8, 17}})
        EXPECT_THROW(PixelateRect(picture, r, 4, 4, out), Exception);
    EXPECT_THROW(PixelateRect(picture, TRect{0, 0, 8, 8}, 1 << 30, 4, out), EPictureTooLarge);
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
