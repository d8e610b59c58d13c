// The portable anymap reader and writer: header parsing and its refusals, sample scaling, the
// ASCII and packed rasters, and the exact bytes the writer produces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileFormat/PNMImage.h"

namespace tilvo {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

void Load(const std::string& file, TPNMImage& g) {
    TMemoryStream ms(Bytes(file));
    g.LoadFromStream(ms);
}

std::string LoadError(const std::string& file) {
    TPNMImage g;
    try {
        Load(file, g);
    } catch (const Exception& e) {
        return e.what();
    }
    return "(opened)";
}

std::string Written(const TBitmap& picture, const std::string& variant) {
    TMemoryStream ms;
    WritePnm(picture, variant, ms);
    return {ms.Memory().begin(), ms.Memory().end()};
}

TEST(PNMRead, MalformedHeadersFailWithTheirMessage) {
    const struct {
        std::string file;
        const char* message;
    } cases[] = {
        {"", "Signature Error"},
        {"P", "Signature Error"},
        {"P7 1 1 255\n", "Signature Error"},
        {"Q6 1 1 255\n", "Signature Error"},
        {"P6 3 2", "TPNMImage Read Error"},  // ends before the maximum
        {"P6 3 # a comment that never ends", "TPNMImage Read Error"},
        {"P6 3 x 255\n", "Invalid PNM header"},
        {"P6 3 -2 255\n", "Invalid PNM header"},
        {"P6 3 2x 255\n", "Invalid PNM header"},
        {"P5 12345678901 1 255\n", "PNM number longer than ten digits"},
        {"P4 1 000000000001\n", "PNM number longer than ten digits"},
        {"P5 3 2 0\n", "Invalid PNM maximum value"},
        {"P5 3 2 65536\n", "Invalid PNM maximum value"},
        {"P5 0 2 255\nab", "PNM picture has no pixels"},
        {"P4 8 0\n\xff", "PNM picture has no pixels"},
        {"P5 3 2 255\n", "PNM file truncated"},  // a whole header and no row
        {"P5 3 2 255\nab", "PNM file truncated"},
        {"P3 2 2 255\n1 2 3 4 5", "PNM file truncated"},
        {"P1 3 2\n1 0", "PNM file truncated"},
        {"P5 1 1 255\n", "PNM file truncated"},
        {"P2 1 1 255\n123456789012", "PNM number longer than ten digits"},
        {"P5 2000000 1 255\n\x01",
         "picture too large: 2000000 \u00D7 1 pixels, more than 1048576 pixels a side"},  // refused
                                                                                          // before
                                                                                          // any
                                                                                          // allocation
    };
    for (const auto& c : cases) EXPECT_EQ(LoadError(c.file), c.message) << c.file;
}

TEST(PNMRead, CommentsAndBlanksMayStandBeforeAnyToken) {
    TPNMImage g;
    Load("P6\n# first\n2 # between width and height\n1\r\n#" + std::string(1000, 'x') +
             "\n255\n\x01\x02\x03\x04\x05\x06",
         g);
    ASSERT_EQ(g.Bitmap().Width(), 2);
    ASSERT_EQ(g.Bitmap().Height(), 1);
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(1, 2, 3));
    EXPECT_EQ(g.Bitmap().Pixel(1, 0), RGB(4, 5, 6));
    EXPECT_EQ(g.Comment, std::string(255, 'x'));  // the last comment, kept to 255 characters
    EXPECT_EQ(g.Magic, '6');
    EXPECT_EQ(g.BitDepth, 24);
}

TEST(PNMRead, P5WithOneBlankAfterTheHeaderOpensAsGray) {
    TPNMImage g;
    Load(std::string("P5 3 2 255 ") + std::string("\x00\x10\x20\x30\x40\x50", 6), g);
    const TBitmap& b = g.Bitmap();
    ASSERT_EQ(b.PixelFormat(), pf8bit);
    ASSERT_EQ(b.Width(), 3);
    ASSERT_EQ(b.Height(), 2);
    EXPECT_EQ(b.Pixel(0, 0), RGB(0, 0, 0));
    EXPECT_EQ(b.Pixel(2, 1), RGB(0x50, 0x50, 0x50));
    ASSERT_EQ(b.Palette().size(), 256u);
    EXPECT_EQ(b.Palette()[200], (TPaletteEntry{200, 200, 200, 0}));
}

TEST(PNMRead, SamplesAreScaledFromTheirMaximumWithRounding) {
    // One gray sample in each file; the expected level is round(sample * 255 / maxval).
    const struct {
        std::string file;
        uint8_t level;
    } cases[] = {
        {"P5 1 1 100\n\x32", 128},  // 127.5
        {"P5 1 1 100\n\x31", 125},  // 124.95
        {"P5 1 1 1\n\x01", 255},
        {"P5 1 1 100\n\xC8", 255},  // above the maximum: counts as the maximum
        {std::string("P5 1 1 1000\n\x01\xF4", 14), 128},  // two bytes, big-endian: 500
        {std::string("P5 1 1 65535\n\x00\xFF", 15), 1},   // the low byte counts: 255 / 257
        {std::string("P5 1 1 65535\n\x7F\xFF", 15), 127},
        {"P5 1 1 255\n\xAB", 0xAB},
        {"P2 1 1 1000\n500", 128},
        {"P2 1 1 255\n300", 255},  // above the maximum
        {"P2 1 1 15\n\t# skipped\n7", 119},
    };
    for (const auto& c : cases) {
        TPNMImage g;
        Load(c.file, g);
        EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(c.level, c.level, c.level)) << c.file;
    }
    // Colour: R, G, B in the file, two bytes each above 255.
    TPNMImage g;
    Load(std::string("P6 1 1 65535\n\xFF\xFF\x00\xFF\x80\x00", 19), g);
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(255, 1, 128));
    Load("P3 2 1 7\n7 0 1  2 3 4", g);
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(255, 0, 36));
    EXPECT_EQ(g.Bitmap().Pixel(1, 0), RGB(73, 109, 146));
}

TEST(PNMRead, BilevelRastersAsciiAndPacked) {
    TPNMImage together, spread, packed;
    Load("P1 10 2\n10110011010101100110", together);
    Load("P1\n10 2\n1 0 1 1 0\n0 1 1 0 1\n 0101 10\t01 10", spread);
    Load(std::string("P4 10 2\n") + std::string("\xB3\x40\x59\x80", 4), packed);
    for (TPNMImage* g : {&together, &spread, &packed}) {
        const TBitmap& b = g->Bitmap();
        ASSERT_EQ(b.PixelFormat(), pf1bit);
        ASSERT_EQ(b.Width(), 10);
        ASSERT_EQ(b.Height(), 2);
        const char* expect = "10110011010101100110";  // 1 = black
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(b.Pixel(i % 10, i / 10), expect[i] == '1' ? RGB(0, 0, 0) : RGB(255, 255, 255))
                << "pixel " << i;
    }
}

TEST(PNMRead, ACutRasterOpensWithItsMissingPartBlack) {
    const struct {
        std::string file;
        std::vector<TColor> pixels;  // row by row, 2 × 2
    } cases[] = {
        {"P6 2 2 255\n\x10\x20\x30\x40\x50\x60\x70",
         {RGB(16, 32, 48), RGB(64, 80, 96), RGB(112, 0, 0), 0}},
        {"P5 2 2 255\n\xFF\xFF\xFF", {0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0}},
        {std::string("P4 2 2\n\x00", 8), {0xFFFFFF, 0xFFFFFF, 0, 0}},
        {"P3 2 2 255\n1 2 3 4 5 6 7 8", {RGB(1, 2, 3), RGB(4, 5, 6), RGB(7, 8, 0), 0}},
        {"P2 2 2 255\n255 255 25", {0xFFFFFF, 0xFFFFFF, RGB(25, 25, 25), 0}},
        {"P1 2 2\n0 0 0", {0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0}},
    };
    for (const auto& c : cases) {
        TPNMImage g;
        // The surface starts out as another picture's: every pixel must be written.
        g.Bitmap().Resize(64, 64, pf32bit);
        for (int32_t y = 0; y < 64; ++y) std::memset(g.Bitmap().ScanLine(y), 0x77, 256);
        Load(c.file, g);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(g.Bitmap().Pixel(i % 2, i / 2), c.pixels[size_t(i)])
                << c.file << ", pixel " << i;
    }
}

TEST(PNMWrite, HeadersAndRastersAreExact) {
    TBitmap p(3, 2, pf24bit);
    const TColor colours[] = {RGB(255, 0, 0),     RGB(0, 255, 0),     RGB(0, 0, 255),
                              RGB(128, 128, 128), RGB(129, 129, 129), RGB(255, 255, 255)};
    for (int i = 0; i < 6; ++i) p.SetPixel(i % 3, i / 3, colours[i]);

    EXPECT_EQ(Written(p, "PPM"), std::string("P6\n# Created by Tilvo\n3 2\n255\n"
                                             "\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF"
                                             "\x80\x80\x80\x81\x81\x81\xFF\xFF\xFF",
                                             48));
    // Gray: (77 R + 150 G + 29 B) >> 8.
    EXPECT_EQ(Written(p, "PGM"), std::string("P5\n# Created by Tilvo\n3 2\n255\n") +
                                     std::string("\x4C\x95\x1C\x80\x81\xFF", 6));
    // Bilevel: black (a set bit) where trunc((30 R + 59 G + 11 B) / 100 + 0.5) <= 128; so 128
    // gray is black and 129 gray white.
    EXPECT_EQ(Written(p, "PBM"),
              std::string("P4\n# Created by Tilvo\n3 2\n") + std::string("\xA0\x80", 2));
}

TEST(PNMWrite, TenPixelWideBitmapRowsTakeTwoBytes) {
    TBitmap p(10, 1, pf24bit);
    for (int32_t x = 0; x < 10; ++x) p.SetPixel(x, 0, x >= 8 ? RGB(0, 0, 0) : RGB(255, 255, 255));
    const std::string out = Written(p, "PBM");
    EXPECT_EQ(out.substr(out.size() - 2), std::string("\x00\xC0", 2));
    // A white picture has no bit set.
    TBitmap white(17, 3, pf24bit);
    for (int32_t y = 0; y < 3; ++y) std::memset(white.ScanLine(y), 0xFF, 51);
    const std::string w = Written(white, "PBM");
    EXPECT_EQ(w.substr(w.size() - 9), std::string(9, '\0'));
}

TEST(PNMWrite, WhatIsWrittenReadsBack) {
    TBitmap p(37, 5, pf24bit);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 37; ++x) p.SetPixel(x, y, RGB(uint8_t(7 * x), uint8_t(50 * y), 99));
    for (const char* variant : {"PPM", "PGM", "PBM"}) {
        TMemoryStream ms;
        WritePnm(p, variant, ms);
        TPNMImage g;
        ms.SetPosition(0);
        g.LoadFromStream(ms);
        ASSERT_EQ(g.Bitmap().Width(), 37) << variant;
        ASSERT_EQ(g.Bitmap().Height(), 5) << variant;
        for (int32_t y = 0; y < 5; ++y)
            for (int32_t x = 0; x < 37; ++x) {
                const TColor c = p.Pixel(x, y);
                const uint8_t r = GetRValue(c), gr = GetGValue(c), b = GetBValue(c);
                const uint8_t gray = uint8_t((77 * r + 150 * gr + 29 * b) >> 8);
                const bool black = (30 * r + 59 * gr + 11 * b + 50) / 100 <= 128;
                const TColor expected = std::string(variant) == "PPM"   ? c
                                        : std::string(variant) == "PGM" ? RGB(gray, gray, gray)
                                        : black                         ? RGB(0, 0, 0)
                                                                        : RGB(255, 255, 255);
                ASSERT_EQ(g.Bitmap().Pixel(x, y), expected) << variant << " " << x << "," << y;
            }
    }
    // A palette picture is written by its colours.
    TBitmap mapped(2, 1, pf8bit);
    mapped.Palette() = {{10, 20, 30, 0}, {40, 50, 60, 0}};
    mapped.ScanLine(0)[0] = 1;
    mapped.ScanLine(0)[1] = 0;
    EXPECT_EQ(Written(mapped, "PPM").substr(30), std::string("\x28\x32\x3C\x0A\x14\x1E", 6));
}

TEST(PNMWrite, RefusesAnEmptyPictureAndUnknownVariantsBeforeWriting) {
    TBitmap p(2, 2, pf24bit), empty;
    for (const auto& [picture, variant] : std::vector<std::pair<const TBitmap*, std::string>>{
             {&p, ""}, {&p, "ppm"}, {&p, "PAM"}, {&empty, "PPM"}}) {
        TMemoryStream ms;
        EXPECT_THROW(WritePnm(*picture, variant, ms), EInvalidGraphic) << variant;
        EXPECT_TRUE(ms.Memory().empty()) << variant;
    }
    TPNMImage g;  // no variant set by the glue
    g.Assign(p);
    TMemoryStream ms;
    EXPECT_THROW(g.SaveToStream(ms), EInvalidGraphic);
    EXPECT_TRUE(ms.Memory().empty());
}

TEST(PNMRowKernels, VectorAndPortableGiveTheSameBytes) {
    std::vector<uint8_t> src(3 * 1003);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 131 + (i >> 3));
    for (size_t n : {size_t(0), size_t(1), size_t(5), size_t(16), size_t(31), size_t(33),
                     size_t(64), size_t(1003)}) {
        std::vector<uint8_t> a(3 * n + 1, 0xEE), b(3 * n + 1, 0xEE);
        SwapRedBlueRow(src.data(), a.data(), n, true);
        SwapRedBlueRow(src.data(), b.data(), n, false);
        EXPECT_EQ(a, b) << n;
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(a[3 * i], src[3 * i + 2]) << i;
        EXPECT_EQ(a.back(), 0xEE) << "wrote past the row";
        std::vector<uint8_t> ga(n + 1, 0xEE), gb(n + 1, 0xEE);
        GrayRow(src.data(), ga.data(), n, true);
        GrayRow(src.data(), gb.data(), n, false);
        EXPECT_EQ(ga, gb) << n;
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(ga[i], (77 * src[3 * i + 2] + 150 * src[3 * i + 1] + 29 * src[3 * i]) >> 8);
        EXPECT_EQ(ga.back(), 0xEE);
    }
}

}  // namespace
}  // namespace tilvo
