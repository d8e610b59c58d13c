// The raster surface: resizing, conversions, assignment, size limits, fills, the wide pen and
// rectangle copies.
#include <gtest/gtest.h>

#include <cmath>

#include "Effector/Bitmap.h"

namespace tilvo {
namespace {

void FillPattern(TBitmap& bmp) {
    for (int32_t y = 0; y < bmp.Height(); ++y)
        for (int32_t x = 0; x < bmp.Width(); ++x)
            bmp.SetPixel(x, y, RGB(uint8_t(x * 7 + y), uint8_t(y * 3), uint8_t(x ^ y)));
}

TEST(Bitmap, ResizingKeepsTopLeftPixels) {
    // Shrinking and growing width and height in every order keeps the pixels that remain.
    const struct {
        int32_t w, h;
    } steps[] = {{13, 9}, {5, 4}, {40, 30}, {3, 30}, {50, 2}, {17, 17}};
    TBitmap bmp(17, 17);
    FillPattern(bmp);
    TBitmap ref;
    ref.Assign(bmp);
    int32_t keepW = 17, keepH = 17;
    for (auto s : steps) {
        bmp.SetWidth(s.w);
        bmp.SetHeight(s.h);
        keepW = std::min(keepW, s.w), keepH = std::min(keepH, s.h);
        ASSERT_EQ(bmp.Width(), s.w);
        ASSERT_EQ(bmp.Height(), s.h);
        for (int32_t y = 0; y < keepH; ++y)
            for (int32_t x = 0; x < keepW; ++x)
                ASSERT_EQ(bmp.Pixel(x, y), ref.Pixel(x, y)) << s.w << "x" << s.h;
    }
}

TEST(Bitmap, AssignCopiesAndStaysIndependentAndReusesItsBuffer) {
    TBitmap a(10, 10), b(20, 20);
    FillPattern(a);
    const uint8_t* bBuffer = b.ScanLine(0);
    b.Assign(a);
    EXPECT_EQ(b.ScanLine(0), bBuffer);  // had room: no new allocation
    EXPECT_EQ(b.Width(), 10);
    a.SetPixel(3, 3, 0x123456);
    EXPECT_NE(b.Pixel(3, 3), 0x123456u);
    EXPECT_EQ(b.Pixel(9, 9), RGB(uint8_t(9 * 7 + 9), 27, 0));
}

TEST(Bitmap, EveryFormatConvertsTo24BitsWithTheSameColours) {
    const std::vector<TPaletteEntry> pal = {
        {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {10, 20, 30, 0}};
    struct Case {
        TPixelFormat pf;
        std::vector<uint8_t> row;  // bytes of the single row
        std::vector<TColor> expect;
    };
    const Case cases[] = {
        {pf1bit, {0b10100000}, {RGB(0, 255, 0), RGB(255, 0, 0), RGB(0, 255, 0)}},
        {pf4bit, {0x12, 0x30}, {RGB(0, 255, 0), RGB(0, 0, 255), RGB(10, 20, 30)}},
        {pf8bit,
         {3, 0, 9},
         {RGB(10, 20, 30), RGB(255, 0, 0), RGB(0, 0, 0)}},  // index beyond palette: black
        {pf15bit,
         {0x1F, 0x00, 0xE0, 0x03, 0x00, 0x7C},
         {RGB(0, 0, 255), RGB(0, 255, 0), RGB(255, 0, 0)}},
        {pf32bit,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
         {RGB(3, 2, 1), RGB(7, 6, 5), RGB(11, 10, 9)}},
    };
    for (const Case& c : cases) {
        TBitmap bmp(3, 1, c.pf);
        bmp.Palette() = pal;
        std::copy(c.row.begin(), c.row.end(), bmp.ScanLine(0));
        bmp.SetPixelFormat(pf24bit);
        ASSERT_EQ(bmp.PixelFormat(), pf24bit);
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(bmp.Pixel(x, 0), c.expect[x]) << int(c.pf) << " x=" << x;
    }
}

TEST(Bitmap, RefusesNegativeAndOversizedSurfacesWithAClearError) {
    TBitmap bmp(4, 4);
    EXPECT_THROW(bmp.SetSize(-1, 4), Exception);
    EXPECT_THROW(bmp.SetSize(1 << 21, 1), EPictureTooLarge);
    try {
        bmp.SetSize(100000, 100000);  // 30 GB at 24 bits
        FAIL();
    } catch (const EPictureTooLarge& e) {
        // The message gives the size and the limit it breaks.
        EXPECT_STREQ(e.what(),
                     "picture too large: 100000 \u00D7 100000 pixels at 24 bits a pixel "
                     "take more than the 2048 MiB a picture may use");
    }
    EXPECT_EQ(bmp.Width(), 4);  // unchanged after a refusal
    TBitmap big;
    EXPECT_NO_THROW(big.Resize(12000, 8400, pf32bit));  // 100 megapixels are admitted
}

// Every operation that needs a bigger buffer, failing for want of memory: the surface keeps its
// size, format, stride, palette and pixels, and stays usable.
TEST(Bitmap, AFailedAllocationLeavesTheSurfaceAsItWas) {
    struct Case {
        const char* name;
        void (*grow)(TBitmap&);
    };
    static TBitmap bigger(40, 30);
    const Case cases[] = {
        {"Resize", [](TBitmap& b) { b.Resize(40, 30, pf24bit); }},
        {"SetSize", [](TBitmap& b) { b.SetSize(40, 30); }},
        {"SetWidth", [](TBitmap& b) { b.SetWidth(400); }},
        {"SetPixelFormat", [](TBitmap& b) { b.SetPixelFormat(pf32bit); }},
        {"Assign", [](TBitmap& b) { b.Assign(bigger); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap bmp(9, 7);
        FillPattern(bmp);
        bmp.Palette().assign(3, TPaletteEntry{1, 2, 3, 0});
        TBitmap before;
        before.Assign(bmp);
        const uint8_t* buffer = bmp.ScanLine(0);

        FailSurfaceAllocationAfter(0);
        EXPECT_THROW(c.grow(bmp), std::bad_alloc);
        EXPECT_EQ(bmp.Width(), 9);
        EXPECT_EQ(bmp.Height(), 7);
        EXPECT_EQ(bmp.PixelFormat(), pf24bit);
        EXPECT_EQ(bmp.Stride(), before.Stride());
        EXPECT_EQ(bmp.ScanLine(0), buffer);
        EXPECT_EQ(bmp.Palette(), before.Palette());
        for (int32_t y = 0; y < 7; ++y)
            for (int32_t x = 0; x < 9; ++x) ASSERT_EQ(bmp.Pixel(x, y), before.Pixel(x, y));

        // The failure was one allocation: the same operation succeeds afterwards.
        EXPECT_NO_THROW(c.grow(bmp));
        EXPECT_NE(bmp.ScanLine(0), buffer);
    }
}

TEST(Bitmap, TheAllocationFailureHookCountsBuffersNotCalls) {
    TBitmap a(8, 8);
    FailSurfaceAllocationAfter(1);
    a.Resize(4, 4, pf24bit);  // fits the buffer it has: no allocation
    TBitmap b(16, 16);        // the one allowed allocation
    EXPECT_THROW(TBitmap(16, 16), std::bad_alloc);
    EXPECT_NO_THROW(TBitmap(16, 16));  // the failure happens once
    FailSurfaceAllocationAfter(-1);
}

TEST(Canvas, FillRectClipsToTheSurface) {
    TBitmap bmp(6, 4);
    bmp.Canvas().Brush.Color = 0;
    bmp.Canvas().FillRect(bmp.Canvas().ClipRect());
    bmp.Canvas().Brush.Color = RGB(1, 2, 3);
    bmp.Canvas().FillRect(TRect{4, -3, 10, 2});
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(bmp.Pixel(x, y), (x >= 4 && y < 2) ? RGB(1, 2, 3) : 0u);
}

TEST(Canvas, ZeroLengthSegmentPaintsADiscOfThePenWidth) {
    for (int width : {5, 8, 20, 21}) {
        TBitmap bmp(60, 60);
        bmp.Canvas().Brush.Color = 0xFFFFFF;
        bmp.Canvas().FillRect(bmp.Canvas().ClipRect());
        bmp.Canvas().Pen.Width = width;
        bmp.Canvas().MoveTo(30, 30);
        bmp.Canvas().LineTo(30, 30);
        const double r = width / 2.0;
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 60; ++x) {
                const double d = std::hypot(x - 30, y - 30);
                if (std::abs(d - r) < 1e-6) continue;  // exactly on the edge: either way
                ASSERT_EQ(bmp.Pixel(x, y) == 0, d < r)
                    << "width " << width << " at " << x << "," << y;
            }
    }
}

TEST(Canvas, WideSegmentCoversItsCapsuleOnly) {
    TBitmap bmp(80, 50);
    bmp.Canvas().Brush.Color = 0xFFFFFF;
    bmp.Canvas().FillRect(bmp.Canvas().ClipRect());
    bmp.Canvas().Pen.Width = 10;
    bmp.Canvas().MoveTo(10, 12);
    bmp.Canvas().LineTo(65, 37);
    EXPECT_EQ(bmp.Canvas().PenPos(), (TPoint{65, 37}));
    const double ax = 10, ay = 12, bx = 65, by = 37;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 80; ++x) {
            const double t = std::clamp(((x - ax) * (bx - ax) + (y - ay) * (by - ay)) /
                                            ((bx - ax) * (bx - ax) + (by - ay) * (by - ay)),
                                        0.0, 1.0);
            const double d = std::hypot(x - (ax + t * (bx - ax)), y - (ay + t * (by - ay)));
            if (std::abs(d - 5) < 1e-6) continue;
            ASSERT_EQ(bmp.Pixel(x, y) == 0, d < 5) << x << "," << y;
        }
}

TEST(Canvas, ThinPenDrawsBothEndsAndIgnoresFarOffParts) {
    TBitmap bmp(10, 10);
    bmp.Canvas().Brush.Color = 0xFFFFFF;
    bmp.Canvas().FillRect(bmp.Canvas().ClipRect());
    bmp.Canvas().MoveTo(2, 3);
    bmp.Canvas().LineTo(7, 3);
    for (int x = 0; x < 10; ++x) EXPECT_EQ(bmp.Pixel(x, 3) == 0, x >= 2 && x <= 7) << x;
    // A segment from far outside crosses the surface along its diagonal, quickly.
    bmp.Canvas().MoveTo(-1000000000, -1000000000);
    bmp.Canvas().LineTo(1000000000, 1000000000);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(bmp.Pixel(i, i), 0u) << i;
    EXPECT_EQ(bmp.Pixel(9, 0), 0xFFFFFFu);
}

TEST(Canvas, MergeModeOrsThePenColourIntoEveryByte) {
    TBitmap bmp(20, 20);
    bmp.Canvas().Brush.Color = RGB(0x10, 0x01, 0x40);
    bmp.Canvas().FillRect(bmp.Canvas().ClipRect());
    bmp.Canvas().Pen.Width = 6;
    bmp.Canvas().Pen.Mode = pmMerge;
    bmp.Canvas().Pen.Color = 16756991;  // the trail colour
    bmp.Canvas().MoveTo(5, 10);
    bmp.Canvas().LineTo(14, 10);
    bmp.Canvas().LineTo(14, 10);  // painting twice changes nothing more
    EXPECT_EQ(bmp.Pixel(10, 10), RGB(0xFF, 0xB1, 0xFF));
    EXPECT_EQ(bmp.Pixel(0, 0), RGB(0x10, 0x01, 0x40));
}

TEST(Canvas, CopyRectCopiesSameSizeAndWidensOneColumn) {
    TBitmap src(8, 5), dst(10, 5);
    FillPattern(src);
    dst.Canvas().Brush.Color = 0;
    dst.Canvas().FillRect(dst.Canvas().ClipRect());
    dst.Canvas().CopyRect(TRect{1, 0, 4, 5}, src.Canvas(), TRect{2, 0, 5, 5});
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(dst.Pixel(1 + x, y), src.Pixel(2 + x, y));
    dst.Canvas().CopyRect(TRect{5, 0, 10, 5}, src.Canvas(), TRect{7, 0, 8, 5});
    for (int y = 0; y < 5; ++y)
        for (int x = 5; x < 10; ++x) EXPECT_EQ(dst.Pixel(x, y), src.Pixel(7, y));
    EXPECT_EQ(dst.Pixel(0, 0), 0u);
    EXPECT_THROW(dst.Canvas().CopyRect(TRect{0, 0, 4, 4}, src.Canvas(), TRect{0, 0, 2, 2}),
                 Exception);
}

}  // namespace
}  // namespace tilvo
