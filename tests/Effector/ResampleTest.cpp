// The area-average resampler: weights in 1/1024 of a source pixel, truncating division, pixels
// whose weights vanish, and sums that no longer fit 32 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "Effector/Resample.h"

namespace tilvo {
namespace {

void FillRandom(TBitmap& bmp, uint32_t seed) {
    uint32_t s = seed * 2654435761u + 5;
    for (int32_t y = 0; y < bmp.Height(); ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int32_t i = 0; i < bmp.Width() * 3; ++i) {
            s = s * 1664525u + 1013904223u;
            row[i] = uint8_t(s >> 24);
        }
    }
}

struct Contribution {
    uint64_t weight;
    int32_t index;
};

std::vector<Contribution> ReferenceList(int32_t d, int32_t srcSize, int32_t destSize) {
    const uint32_t scale = uint32_t(std::trunc(double(srcSize) / destSize * 1024 + 0.5));
    const uint32_t start = uint32_t(d) * scale, end = uint32_t(d + 1) * scale;
    const uint32_t first = start >> 10, n = (end >> 10) - first + 1;
    std::vector<Contribution> list;
    for (uint32_t i = 0; i < n; ++i) {
        if (int64_t(first + i) > int64_t(srcSize) - 1) continue;
        const uint32_t w = i == 0 ? 1024 - (start & 1023) : (i == n - 1 ? end & 1023 : 1024);
        if (w) list.push_back({w, int32_t(first + i)});
    }
    return list;
}

// Every destination pixel summed over its own row and column lists, in the order given.
std::vector<TColor> ReferenceResample(const TBitmap& src, int32_t dw, int32_t dh) {
    std::vector<TColor> out(size_t(dw) * dh);
    for (int32_t dy = 0; dy < dh; ++dy) {
        const auto rows = ReferenceList(dy, src.Height(), dh);
        for (int32_t dx = 0; dx < dw; ++dx) {
            const auto cols = ReferenceList(dx, src.Width(), dw);
            uint64_t total = 0, r = 0, g = 0, b = 0;
            for (auto [wy, y] : rows)
                for (auto [wx, x] : cols) {
                    const uint64_t w = (wx * wy) >> 10;
                    const TColor c = src.Pixel(x, y);
                    total += w, r += w * GetRValue(c), g += w * GetGValue(c), b += w * GetBValue(c);
                }
            if (total > 1) r /= total, g /= total, b /= total;
            out[size_t(dy) * dw + dx] =
                RGB(uint8_t(std::min<uint64_t>(r, 255)), uint8_t(std::min<uint64_t>(g, 255)),
                    uint8_t(std::min<uint64_t>(b, 255)));
        }
    }
    return out;
}

void ExpectPixels(const TBitmap& bmp, const std::vector<TColor>& expected) {
    ASSERT_EQ(size_t(bmp.Width()) * bmp.Height(), expected.size());
    for (int32_t y = 0; y < bmp.Height(); ++y)
        for (int32_t x = 0; x < bmp.Width(); ++x)
            ASSERT_EQ(bmp.Pixel(x, y), expected[size_t(y) * bmp.Width() + x]) << x << "," << y;
}

TEST(ResampleAreaAverage, MatchesTheLiteralAreaAverage) {
    const struct {
        int32_t sw, sh, dw, dh;
    } cases[] = {
        {320, 240, 160, 120}, {3, 1, 2, 1},    {7, 5, 3, 2},    {640, 480, 160, 120},
        {5, 3, 11, 7},        {1000, 3, 7, 1}, {13, 600, 2, 5}, {3, 2000, 1, 3},  // > 257 full rows
        {101, 77, 100, 76},   {1, 1, 1, 1},    {4, 4, 1, 1},
    };
    uint32_t seed = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh);
        TBitmap bmp(c.sw, c.sh);
        FillRandom(bmp, ++seed);
        const std::vector<TColor> expected = ReferenceResample(bmp, c.dw, c.dh);
        ResampleAreaAverage(bmp, c.dw, c.dh);
        ASSERT_EQ(bmp.Width(), c.dw);
        ASSERT_EQ(bmp.Height(), c.dh);
        ASSERT_EQ(bmp.PixelFormat(), pf24bit);
        ExpectPixels(bmp, expected);
    }
}

TEST(ResampleAreaAverage, RandomSizesMatchTheLiteralAreaAverage) {
    // Odd sizes, enlargements along one or both axes, single rows and columns: the column sums,
    // the partly covered rows and columns and the corners where they meet, against the literal
    // pixel-by-pixel sums.
    std::mt19937 rng(99);
    for (int n = 0; n < 150; ++n) {
        const int32_t sw = 1 + int32_t(rng() % (n % 5 == 0 ? 700 : 90));
        const int32_t sh = 1 + int32_t(rng() % (n % 7 == 0 ? 600 : 90));
        const int32_t dw =
            1 + int32_t(rng() % uint32_t(n % 4 == 0 ? sw + 20 : std::max(1, sw / 3)));
        const int32_t dh =
            1 + int32_t(rng() % uint32_t(n % 6 == 0 ? sh + 20 : std::max(1, sh / 3)));
        SCOPED_TRACE(testing::Message() << sw << "x" << sh << " -> " << dw << "x" << dh);
        TBitmap bmp(sw, sh);
        FillRandom(bmp, rng());
        const std::vector<TColor> expected = ReferenceResample(bmp, dw, dh);
        ResampleAreaAverage(bmp, dw, dh);
        ExpectPixels(bmp, expected);
        if (HasFatalFailure()) return;
    }
}

TEST(ResampleAreaAverage, WhiteColumnsOfManyRowsStayWhite) {
    // 257 full rows of 255 fill 16-bit column sums exactly; 258 go beyond them.
    for (int32_t rows : {256, 257, 258, 515}) {
        TBitmap bmp(7, rows);
        for (int32_t y = 0; y < rows; ++y) std::fill_n(bmp.ScanLine(y), 21, uint8_t{255});
        ResampleAreaAverage(bmp, 2, 1);
        EXPECT_EQ(bmp.Pixel(0, 0), RGB(255, 255, 255)) << rows;
        EXPECT_EQ(bmp.Pixel(1, 0), RGB(255, 255, 255)) << rows;
    }
}

TEST(ResampleAreaAverage, FromAPictureThatStaysAsItIs) {
    TBitmap source(53, 41, pf32bit);
    FillRandom(source, 5);
    TBitmap before, as24;
    before.Assign(source);
    as24.Assign(source);
    as24.SetPixelFormat(pf24bit);
    const std::vector<TColor> expected = ReferenceResample(as24, 9, 7);
    TBitmap thumb(300, 300);  // replaced, whatever it held
    ResampleAreaAverage(source, thumb, 9, 7);
    ASSERT_EQ(thumb.Width(), 9);
    ASSERT_EQ(thumb.Height(), 7);
    EXPECT_EQ(thumb.PixelFormat(), pf24bit);
    ExpectPixels(thumb, expected);
    EXPECT_EQ(source.PixelFormat(), pf32bit);
    for (int32_t y = 0; y < 41; ++y)
        ASSERT_EQ(std::memcmp(source.ScanLine(y), before.ScanLine(y), 53 * 4), 0) << y;
    ResampleAreaAverage(as24, as24, 9, 7);  // the same surface on both sides: in place
    ExpectPixels(as24, expected);
}

TEST(ResampleAreaAverage, HalvingTruncatesThePlainAverage) {
    // Every 2 × 2 block holds 10, 11, 11, 11 (43 / 4 = 10.75) in blue, 0 0 0 255 in red.
    TBitmap bmp(320, 240);
    for (int32_t y = 0; y < 240; ++y)
        for (int32_t x = 0; x < 320; ++x) {
            const bool corner = x % 2 == 0 && y % 2 == 0;
            const bool last = x % 2 == 1 && y % 2 == 1;
            bmp.SetPixel(x, y, RGB(last ? 255 : 0, 7, corner ? 10 : 11));
        }
    ResampleAreaAverage(bmp, 160, 120);
    ASSERT_EQ(bmp.Width(), 160);
    ASSERT_EQ(bmp.Height(), 120);
    for (int32_t y = 0; y < 120; ++y)
        for (int32_t x = 0; x < 160; ++x)
            ASSERT_EQ(bmp.Pixel(x, y), RGB(63, 7, 10)) << x << "," << y;
}

TEST(ResampleAreaAverage, ThreeToTwoWeighsTheMiddlePixelHalf) {
    // Scale 1536: (1024·0 + 512·100) / 1536 = 33.3 and (512·100 + 1024·200) / 1536 = 166.7.
    TBitmap bmp(3, 1);
    bmp.SetPixel(0, 0, RGB(0, 0, 0));
    bmp.SetPixel(1, 0, RGB(100, 0, 0));
    bmp.SetPixel(2, 0, RGB(200, 0, 0));
    ResampleAreaAverage(bmp, 2, 1);
    EXPECT_EQ(bmp.Pixel(0, 0), RGB(33, 0, 0));
    EXPECT_EQ(bmp.Pixel(1, 0), RGB(166, 0, 0));
}

TEST(ResampleAreaAverage, SameSizeLeavesEveryPixelAndConvertsTo24Bits) {
    TBitmap bmp(37, 21, pf32bit);
    FillRandom(bmp, 77);
    TBitmap before;
    before.Assign(bmp);
    ResampleAreaAverage(bmp, 37, 21);
    EXPECT_EQ(bmp.PixelFormat(), pf24bit);
    for (int32_t y = 0; y < 21; ++y)
        for (int32_t x = 0; x < 37; ++x) ASSERT_EQ(bmp.Pixel(x, y), before.Pixel(x, y));
}

TEST(ResampleAreaAverage, PixelsWhoseWeightsAllVanishComeOutBlack) {
    // Enlarging 1 × 1 to 1000 × 1000 gives scale 1, so destination 999 covers 25/1024 of the
    // source pixel on each axis: (25 · 25) >> 10 = 0.
    TBitmap bmp(1, 1);
    bmp.SetPixel(0, 0, RGB(255, 255, 255));
    ResampleAreaAverage(bmp, 1000, 1000);
    EXPECT_EQ(bmp.Pixel(0, 0), RGB(255, 255, 255));
    EXPECT_EQ(bmp.Pixel(999, 0), RGB(255, 255, 255));  // 25 · 1024 >> 10 = 25, divided by 25
    EXPECT_EQ(bmp.Pixel(999, 999), RGB(0, 0, 0));
    EXPECT_EQ(bmp.Pixel(993, 993), RGB(0, 0, 0));        // (31 · 31) >> 10 = 0
    EXPECT_EQ(bmp.Pixel(992, 992), RGB(255, 255, 255));  // (32 · 32) >> 10 = 1: kept undivided
}

TEST(ResampleAreaAverage, WideSourcesGiveTheTrueAverage) {
    // 20,000 × 300 to 160 × 2: each destination pixel sums 125 × 150 pixels at weight 1024. Blue
    // alternates 250 and 240 by row (sum 4.7e9, beyond even unsigned 32 bits), red is 128 (2.5e9,
    // beyond signed 32 bits), green 3.
    TBitmap bmp(20000, 300);
    for (int32_t y = 0; y < 300; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int32_t x = 0; x < 20000; ++x) {
            row[3 * x] = y % 2 ? 240 : 250;
            row[3 * x + 1] = 3;
            row[3 * x + 2] = 128;
        }
    }
    ResampleAreaAverage(bmp, 160, 2);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 160; ++x) ASSERT_EQ(bmp.Pixel(x, y), RGB(128, 3, 245)) << x;
}

TEST(ResampleAreaAverage, EmptySizesAreRefused) {
    TBitmap bmp(4, 4);
    EXPECT_THROW(ResampleAreaAverage(bmp, 0, 3), Exception);
    EXPECT_THROW(ResampleAreaAverage(bmp, 3, -1), Exception);
    EXPECT_EQ(bmp.Width(), 4);
}

}  // namespace
}  // namespace tilvo
