// The filter bank: the named kernels, the convolution's edge clamping and truncation, and the
// names that change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Effector/CustomFilter.h"
#include "Effector/Pixelate.h"
#include "EngineTestSupport.h"

namespace tilvo {
namespace {

void FillRandom(TBitmap& bmp, uint32_t seed) {
    test::FillRandom(bmp, seed, 3);
}

// Convolution done literally: every tap clamped to the surface, C++ division (truncating towards
// zero) before the bias.
std::vector<TColor> ReferenceConvolve(const TBitmap& bmp, const std::vector<int>& k, int divisor,
                                      int bias) {
    const int size = k.size() == 9 ? 3 : 5, r = size / 2;
    const int32_t w = bmp.Width(), h = bmp.Height();
    std::vector<TColor> out(size_t(w) * h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            int sr = 0, sg = 0, sb = 0;
            for (int i = 0; i < size; ++i)
                for (int j = 0; j < size; ++j) {
                    const TColor c =
                        bmp.Pixel(std::clamp(x - r + j, 0, w - 1), std::clamp(y - r + i, 0, h - 1));
                    sr += k[i * size + j] * GetRValue(c);
                    sg += k[i * size + j] * GetGValue(c);
                    sb += k[i * size + j] * GetBValue(c);
                }
            out[size_t(y) * w + x] =
                RGB(ClampByte(sr / divisor + bias), ClampByte(sg / divisor + bias),
                    ClampByte(sb / divisor + bias));
        }
    return out;
}

void ExpectPixels(const TBitmap& bmp, const std::vector<TColor>& expected,
                  const std::string& what) {
    ASSERT_EQ(size_t(bmp.Width()) * bmp.Height(), expected.size()) << what;
    for (int32_t y = 0; y < bmp.Height(); ++y)
        for (int32_t x = 0; x < bmp.Width(); ++x)
            ASSERT_EQ(bmp.Pixel(x, y), expected[size_t(y) * bmp.Width() + x])
                << what << " " << bmp.Width() << "x" << bmp.Height() << " at " << x << "," << y;
}

struct FilterRow {
    const char* name;
    uint8_t id;
    std::vector<int> kernel;  // empty: no kernel
    int divisor, bias;
};

const std::vector<FilterRow>& Filters() {
    static const std::vector<FilterRow> rows = {
        {"Blur", 1, {0, 1, 0, 1, 1, 1, 0, 1, 0}, 5, 0},
        {"BlurMore", 2, {2, 2, 2, 2, 1, 2, 2, 2, 2}, 17, 0},
        {"BlurSmall", 3, {1, 1, 1, 1, 3, 1, 1, 1, 1}, 11, 0},
        {"BlurEdge", 4, {0, 2, 0, 2, -4, 2, 0, 2, 0}, 4, 0},
        {"Sharpen", 5, {-1, -1, -1, -1, 28, -1, -1, -1, -1}, 20, 0},
        {"POSTER", 8, {2, -2, 2, -2, 1, -2, 2, -2, 2}, 1, 0},
        {"ColorEmboss", 9, {}, 0, 0},
        {"Laplace", 10, {-1, -1, -1, -1, 8, -1, -1, -1, -1}, 1, 0},
        {"Soften", 11, {2, 2, 2, 2, 0, 2, 2, 2, 2}, 16, 0},
        {"FindEdge", 12, {1, 1, 1, 1, -2, 1, -1, -1, -1}, 1, 0},
        {"Hipass", 13, {-1, -1, -1, -1, 9, -1, -1, -1, -1}, 1, 0},
        {"EdgeEnhance", 14, {}, 0, 0},
        {"SoftenLess", 15, {1, 0, 1, 0, 2, 0, 1, 0, 1}, 6, 0},
        {"ColorEmboss2", 16, {1, 0, 1, 0, 0, 0, 1, 0, -2}, 1, 0},
        {"Bure",
         17,
         {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
         3,
         0},
        {"Test",
         18,
         {0, 1, 0, 0, 0, 1, 2, 1, 0, 0, 0, 0, -2, 0, -1, 0, 0, 0, -2, 0, 0, 0, -1, 0, -3},
         10,
         290},
        {"ColorEmbossDeko", 19, {3, 2, 1, 2, 7, -2, -1, -2, -3}, 7, 0},
        {"ColorEmbossBoko", 20, {-2, -2, -2, -1, 5, 1, 2, 2, 2}, 5, 0},
    };
    return rows;
}

TEST(CustomFilter, NamesMatchExactly) {
    for (const FilterRow& f : Filters()) EXPECT_EQ(FilterIdByName(f.name), f.id) << f.name;
    for (const char* name : {"", "blur", "BLUR", "Blur ", "poster", "Emboss", "Pixelate", "Blurr"})
        EXPECT_EQ(FilterIdByName(name), 0) << name;
}

TEST(CustomFilter, EveryKernelMatchesTheLiteralConvolution) {
    // Sizes below, at and above the kernel width exercise the clamped edges and the interior.
    const struct { int32_t w, h; } sizes[] = {{1, 1}, {2, 3}, {4, 2}, {5, 5}, {6, 1}, {37, 11}};
    uint32_t seed = 0;
    for (const FilterRow& f : Filters()) {
        if (f.kernel.empty()) continue;
        for (auto s : sizes) {
            TBitmap bmp(s.w, s.h);
            FillRandom(bmp, ++seed);
            const std::vector<TColor> expected =
                ReferenceConvolve(bmp, f.kernel, f.divisor, f.bias);
            ApplyFilter(bmp, f.name);
            ExpectPixels(bmp, expected, f.name);
        }
    }
}

TEST(CustomFilter, ArbitraryKernelsMatchTheLiteralConvolution) {
    // Small kernels run through the 16-bit path, large ones and extreme biases through the plain
    // one; negative divisors must truncate towards zero as well.
    const struct {
        int range, divisor, bias;
    } cases[] = {{3, 7, 0},   {3, -7, 40},     {3, 1, -30},   {3, -1, 0},     {9, 3, 128},
                 {60, 97, 5}, {60, -1000, 77}, {3, 2, 40000}, {3, 5, -40000}, {20, 32767, 255}};
    uint32_t s = 12345;
    for (const auto& c : cases)
        for (int size : {3, 5}) {
            std::vector<int> k(size_t(size) * size);
            for (int& v : k) {
                s = s * 1664525u + 1013904223u;
                v = int(s >> 16) % (2 * c.range + 1) - c.range;
            }
            std::vector<int16_t> k16(k.begin(), k.end());
            TBitmap bmp(23, 9);
            FillRandom(bmp, s);
            const std::vector<TColor> expected = ReferenceConvolve(bmp, k, c.divisor, c.bias);
            if (size == 3)
                Convolve3x3(bmp, k16.data(), c.divisor, c.bias);
            else
                Convolve5x5(bmp, k16.data(), c.divisor, c.bias);
            ExpectPixels(
                bmp, expected,
                "range " + std::to_string(c.range) + " divisor " + std::to_string(c.divisor));
        }
}

TEST(CustomFilter, BlurOnAMaskGivesFifthsOfWhite) {
    TBitmap mask(40, 30);
    mask.Canvas().Brush.Color = 0;
    mask.Canvas().FillRect({0, 0, 40, 30});
    mask.Canvas().Pen.Color = 0xFFFFFF;
    mask.Canvas().Pen.Width = 7;
    mask.Canvas().MoveTo(3, 4);
    mask.Canvas().LineTo(35, 22);
    ApplyFilter(mask, "Blur");
    std::set<int> seen;
    for (int32_t y = 0; y < 30; ++y)
        for (int32_t x = 0; x < 40; ++x) {
            const TColor c = mask.Pixel(x, y);
            seen.insert(GetBValue(c));
            seen.insert(GetGValue(c));
            seen.insert(GetRValue(c));
        }
    for (int v : seen) EXPECT_EQ(v % 51, 0) << v;
    EXPECT_GE(seen.size(), 4u);  // the edge of the line really got softened
}

// Flat areas of one colour (black, white, or a colour whose channels differ), crossed by random
// rectangles and dotted with single changed pixels: the content where "Blur" keeps most blocks as
// they are, with edges at every offset against its 64-byte blocks.
void FillMaskLike(TBitmap& bmp, std::mt19937& rng) {
    const TColor flats[] = {RGB(0, 0, 0), RGB(255, 255, 255), RGB(10, 200, 31)};
    const int32_t w = bmp.Width(), h = bmp.Height();
    bmp.Canvas().Brush.Color = flats[rng() % 3];
    bmp.Canvas().FillRect({0, 0, w, h});
    for (int r = int(rng() % 4); r > 0; --r) {
        const int32_t x0 = int32_t(rng() % uint32_t(w)), y0 = int32_t(rng() % uint32_t(h));
        bmp.Canvas().Brush.Color = flats[rng() % 3];
        bmp.Canvas().FillRect(
            {x0, y0, x0 + 1 + int32_t(rng() % uint32_t(w)), y0 + 1 + int32_t(rng() % uint32_t(h))});
    }
    for (int d = int(rng() % 3); d > 0; --d)
        bmp.SetPixel(int32_t(rng() % uint32_t(w)), int32_t(rng() % uint32_t(h)), rng() & 0xFFFFFF);
}

TEST(CustomFilter, BlurMatchesTheLiteralConvolutionAtEverySizeAndEdge) {
    const std::vector<int> plus = {0, 1, 0, 1, 1, 1, 0, 1, 0};
    const int32_t widths[] = {1,  2,  3,  21, 22, 23, 24, 64,  65,  66,
                              67, 68, 69, 70, 85, 86, 87, 150, 257, 700};
    std::mt19937 rng(2024);
    for (int32_t w : widths)
        for (int32_t h : {1, 2, 3, 9}) {
            for (int content = 0; content < 6; ++content) {
                TBitmap bmp(w, h);
                if (content == 0)
                    FillRandom(bmp, rng());
                else
                    FillMaskLike(bmp, rng);
                const std::vector<TColor> expected = ReferenceConvolve(bmp, plus, 5, 0);
                ApplyFilter(bmp, "Blur");
                ExpectPixels(bmp, expected, "Blur content " + std::to_string(content));
                if (HasFatalFailure()) return;
            }
        }
}

TEST(CustomFilter, BlurLeavesASinglePixelAndLaplaceFlattensUniformToBlack) {
    TBitmap one(1, 1);
    one.SetPixel(0, 0, RGB(7, 130, 251));
    ApplyFilter(one, "Blur");
    EXPECT_EQ(one.Pixel(0, 0), RGB(7, 130, 251));

    TBitmap flat(9, 6);
    flat.Canvas().Brush.Color = RGB(200, 17, 90);
    flat.Canvas().FillRect({0, 0, 9, 6});
    ApplyFilter(flat, "Laplace");
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 9; ++x) ASSERT_EQ(flat.Pixel(x, y), RGB(0, 0, 0));
}

TEST(CustomFilter, NamesWithoutAKernelChangeNothing) {
    for (const char* name : {"ColorEmboss", "EdgeEnhance", "blur", "LAPLACE", "", "Unknown"}) {
        TBitmap bmp(7, 5, pf32bit);
        FillRandom(bmp, 4);
        TBitmap before;
        before.Assign(bmp);
        ApplyFilter(bmp, name);
        EXPECT_EQ(bmp.PixelFormat(), pf32bit) << name;
        for (int32_t y = 0; y < 5; ++y)
            for (int32_t x = 0; x < 7; ++x) ASSERT_EQ(bmp.Pixel(x, y), before.Pixel(x, y)) << name;
    }
}

TEST(CustomFilter, NegativeSumsTruncateTowardsZeroBeforeTheBias) {
    // On one row the "Test" kernel folds to 1 3 −2 −2 −4 across x − 2 … x + 2. At x = 2 with
    // blue 1 0 0 0 89 the sum is −355: −35 + 290 = 255 (flooring would give 254); with green
    // 1 0 0 0 91 it is −363: −36 + 290 = 254 (flooring: 253).
    TBitmap bmp(5, 1);
    for (int32_t x = 0; x < 5; ++x) bmp.SetPixel(x, 0, 0);
    bmp.SetPixel(0, 0, RGB(0, 1, 1));
    bmp.SetPixel(4, 0, RGB(0, 91, 89));
    ApplyFilter(bmp, "Test");
    EXPECT_EQ(GetBValue(bmp.Pixel(2, 0)), 255);
    EXPECT_EQ(GetGValue(bmp.Pixel(2, 0)), 254);
    EXPECT_EQ(GetRValue(bmp.Pixel(2, 0)), 255);  // sum 0: the bias alone
}

TEST(CustomFilter, ZeroDivisorIsRefused) {
    TBitmap bmp(3, 3);
    FillRandom(bmp, 1);
    const int16_t k[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_THROW(Convolve3x3(bmp, k, 0, 0), Exception);
}

}  // namespace
}  // namespace tilvo
