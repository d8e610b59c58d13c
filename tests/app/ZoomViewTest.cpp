// The zoom: its steps and fitting, the mapping between view and picture pixels, and the scaled
// drawing of parts of the view.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/ZoomView.h"

namespace tilvo {
namespace {

TEST(Zoom, StepsWalkFromOneSixteenthToSixteenAndStopThere) {
    TZoom z{1, 1};
    int steps = 0;
    while (z < kMaxZoom) {
        const TZoom next = NextZoomStep(z);
        ASSERT_TRUE(z < next);
        z = next;
        ++steps;
    }
    EXPECT_EQ(steps, 8);
    EXPECT_EQ(NextZoomStep(kMaxZoom), kMaxZoom);
    steps = 0;
    while (kMinZoom < z) {
        z = PreviousZoomStep(z);
        ++steps;
    }
    EXPECT_EQ(steps, 16);
    EXPECT_EQ(PreviousZoomStep(kMinZoom), kMinZoom);
    // From a fitted zoom between two steps, each way goes to the neighbouring step.
    EXPECT_EQ(NextZoomStep(TZoom{700, 2000}), (TZoom{1, 2}));
    EXPECT_EQ(PreviousZoomStep(TZoom{700, 2000}), (TZoom{1, 3}));
}

TEST(Zoom, FitTakesTheTighterSideWithinTheLimits) {
    const struct {
        int32_t PictureW, PictureH, AreaW, AreaH;
        TZoom Want;
    } cases[] = {
        {6000, 4000, 1200, 1000, {1, 5}},  // the width decides
        {4000, 6000, 1200, 1000, {1, 6}},  // the height decides
        {100, 50, 400, 400, {4, 1}},       // a small picture is enlarged
        {10, 10, 4000, 4000, {16, 1}},     // but not beyond 16 ×
        {100000, 10, 100, 100, {1, 16}},   // nor below 1/16
        {640, 480, 0, 0, {1, 16}},         // no area at all
        {0, 0, 500, 500, {1, 1}},          // no picture
    };
    for (const auto& c : cases) {
        const TZoom z = FitZoom(c.PictureW, c.PictureH, c.AreaW, c.AreaH);
        EXPECT_EQ(z, c.Want) << c.PictureW << "x" << c.PictureH;
        if (c.PictureW > 0 && c.AreaW > 0 && kMinZoom < z && z < kMaxZoom) {
            EXPECT_LE(ViewExtent(c.PictureW, z), c.AreaW);
            EXPECT_LE(ViewExtent(c.PictureH, z), c.AreaH);
        }
    }
}

// Every view pixel belongs to exactly one picture pixel, the picture pixels' views tile the view
// without gaps, and PictureToView finds where each begins.
TEST(Zoom, ViewAndPicturePixelsMapBothWays) {
    const TZoom zooms[] = {{1, 16}, {1, 3}, {2, 3}, {1, 1}, {3, 2}, {3, 1}, {16, 1}, {487, 1000}};
    for (const TZoom z : zooms) {
        const int32_t size = 97;
        const int32_t extent = ViewExtent(size, z);
        int32_t previous = ViewToPicture(0, z);
        EXPECT_EQ(previous, 0);
        for (int32_t v = 1; v < extent; ++v) {
            const int32_t p = ViewToPicture(v, z);
            if (z < TZoom{1, 1}) {
                EXPECT_GT(p, previous) << "below 1 each view pixel has a block of its own";
            } else {
                EXPECT_TRUE(p == previous || p == previous + 1) << "at 1 and more nothing skipped";
            }
            if (p != previous) {
                EXPECT_EQ(PictureToView(p, z), v);
            }
            previous = p;
        }
        EXPECT_LT(ViewToPicture(extent - 1, z), size) << z.Num << "/" << z.Den;
        EXPECT_GE(ViewToPicture(extent, z), size) << "the view ends where the picture does";
        // The pointer left of or above the view lands off the picture.
        EXPECT_LT(ViewToPicture(-1, z), 0);
    }
    EXPECT_EQ(ViewExtent(6000, TZoom{16, 1}), 96000);
    EXPECT_EQ(ViewExtent(1, TZoom{1, 16}), 1) << "a picture never shows as nothing";
    EXPECT_EQ(ViewExtent(0, TZoom{1, 1}), 0);
}

TEST(Zoom, PictureRectToViewCoversEveryViewPixelShowingTheRect) {
    const TZoom zooms[] = {{1, 4}, {2, 3}, {1, 1}, {3, 1}};
    const TRect rect{13, 7, 29, 22};
    for (const TZoom z : zooms) {
        const TRect v = PictureRectToView(rect, z);
        for (int32_t x = 0; x < ViewExtent(64, z); ++x) {
            // The view pixel shows (part of) the rect's columns exactly when it lies in v.
            const int32_t first = ViewToPicture(x, z);
            const int32_t last = std::max(first, ViewToPicture(x + 1, z) - 1);
            const bool shows = last >= rect.Left && first < rect.Right;
            EXPECT_EQ(shows, x >= v.Left && x < v.Right) << z.Num << "/" << z.Den << " x " << x;
        }
    }
}

struct TPicture {
    int32_t Width, Height;
    ptrdiff_t Stride;
    std::vector<uint8_t> Bytes;
    TPicture(int32_t w, int32_t h) : Width(w), Height(h), Stride((w * 3 + 3) & ~3) {
        Bytes.resize(size_t(Stride) * h);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                uint8_t* p = &Bytes[size_t(y * Stride + x * 3)];
                p[0] = uint8_t(x * 7 + y);
                p[1] = uint8_t(y * 5 + x * 3);
                p[2] = uint8_t((x ^ y) * 11);
            }
    }
    TPixelRows Rows() const { return {Bytes.data(), Stride, Width, Height}; }
    const uint8_t* At(int32_t x, int32_t y) const { return &Bytes[size_t(y * Stride + x * 3)]; }
};

std::vector<uint8_t> Render(const TPicture& pic, TZoom z, const TRect& view, TViewScratch& s) {
    std::vector<uint8_t> out(size_t(view.Width()) * view.Height() * 4, 0x5A);
    RenderView(pic.Rows(), z, view, out.data(), view.Width() * 4, s);
    return out;
}

TEST(RenderView, AtOneAndMoreEachViewPixelShowsItsPicturePixel) {
    const TPicture pic(41, 29);
    TViewScratch scratch;
    for (const TZoom z : {TZoom{1, 1}, TZoom{3, 2}, TZoom{3, 1}, TZoom{16, 1}}) {
        const TRect view{0, 0, ViewExtent(pic.Width, z), ViewExtent(pic.Height, z)};
        const std::vector<uint8_t> out = Render(pic, z, view, scratch);
        for (int32_t y = 0; y < view.Height(); ++y)
            for (int32_t x = 0; x < view.Width(); ++x) {
                const uint8_t* o = &out[size_t(y * view.Width() + x) * 4];
                const uint8_t* p = pic.At(ViewToPicture(x, z), ViewToPicture(y, z));
                ASSERT_TRUE(o[0] == p[0] && o[1] == p[1] && o[2] == p[2] && o[3] == 0xFF)
                    << z.Num << "/" << z.Den << " at " << x << "," << y;
            }
    }
}

TEST(RenderView, BelowOneAveragesTheBlock) {
    // At 1/2, 1/3 and 1/4 every pixel of a block is sampled: each view pixel is the rounded mean
    // of its whole block.
    const TPicture pic(48, 36);
    TViewScratch scratch;
    for (const int32_t n : {2, 3, 4}) {
        const TZoom z{1, n};
        const int32_t w = 48 / n, h = 36 / n;
        const std::vector<uint8_t> out = Render(pic, z, {0, 0, w, h}, scratch);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) {
                    int sum = 0;
                    for (int32_t dy = 0; dy < n; ++dy)
                        for (int32_t dx = 0; dx < n; ++dx) sum += pic.At(n * x + dx, n * y + dy)[c];
                    ASSERT_EQ(out[size_t(y * w + x) * 4 + c], (sum + n * n / 2) / (n * n))
                        << "1/" << n << " at " << x << "," << y;
                }
    }
    // At 1/16 a flat picture stays flat, up to its ragged last block.
    TPicture flat(100, 70);
    for (int32_t y = 0; y < flat.Height; ++y)
        for (int32_t x = 0; x < flat.Width; ++x)
            std::memcpy(&flat.Bytes[y * flat.Stride + x * 3], "\x10\x80\xF0", 3);
    const TZoom z{1, 16};
    const TRect view{0, 0, ViewExtent(100, z), ViewExtent(70, z)};
    const std::vector<uint8_t> flatOut = Render(flat, z, view, scratch);
    for (size_t i = 0; i < flatOut.size(); i += 4)
        ASSERT_TRUE(flatOut[i] == 0x10 && flatOut[i + 1] == 0x80 && flatOut[i + 2] == 0xF0) << i;
}

// A repaint draws only its exposed part: any part must come out exactly as the same pixels of
// the whole view.
TEST(RenderView, APartEqualsTheSamePixelsOfTheWholeView) {
    const TPicture pic(203, 151);
    TViewScratch scratch;
    for (const TZoom z : {TZoom{1, 3}, TZoom{487, 1000}, TZoom{3, 1}, TZoom{1, 1}}) {
        const int32_t w = ViewExtent(pic.Width, z), h = ViewExtent(pic.Height, z);
        const std::vector<uint8_t> whole = Render(pic, z, {0, 0, w, h}, scratch);
        const TRect part{w / 3, h / 4, w / 3 + w / 2, h / 4 + h / 3};
        const std::vector<uint8_t> out = Render(pic, z, part, scratch);
        for (int32_t y = 0; y < part.Height(); ++y)
            ASSERT_EQ(std::memcmp(&out[size_t(y * part.Width()) * 4],
                                  &whole[size_t((part.Top + y) * w + part.Left) * 4],
                                  size_t(part.Width()) * 4),
                      0)
                << z.Num << "/" << z.Den << " row " << y;
    }
}

}  // namespace
}  // namespace tilvo
