// The Targa reader and writer: row order and mirroring, colour maps, 5-5-5 pixels, run-length
// packets in both directions, the refusals, and the exact bytes the writer produces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileFormat/TGAImage.h"

namespace tilvo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(uint8_t type, uint16_t w, uint16_t h, uint8_t depth, uint8_t descriptor = 0,
             uint8_t mapType = 0, uint16_t first = 0, uint16_t mapLength = 0, uint8_t mapBits = 0,
             uint8_t idLength = 0) {
    return {idLength,
            mapType,
            type,
            uint8_t(first),
            uint8_t(first >> 8),
            uint8_t(mapLength),
            uint8_t(mapLength >> 8),
            mapBits,
            0,
            0,
            0,
            0,
            uint8_t(w),
            uint8_t(w >> 8),
            uint8_t(h),
            uint8_t(h >> 8),
            depth,
            descriptor};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void Load(const Bytes& file, TTGAImage& g) {
    TMemoryStream ms(file);
    g.LoadFromStream(ms);
}

std::string LoadError(const Bytes& file) {
    TTGAImage g;
    try {
        Load(file, g);
    } catch (const Exception& e) {
        return e.what();
    }
    return "(opened)";
}

std::vector<TColor> Pixels(const TBitmap& b) {
    std::vector<TColor> out;
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t x = 0; x < b.Width(); ++x) out.push_back(b.Pixel(x, y));
    return out;
}

Bytes Written(const TBitmap& picture, bool rle) {
    TMemoryStream ms;
    WriteTarga(picture, rle, ms);
    return ms.Memory();
}

// Four pixels, 2 × 2, as B, G, R: top-left red, top-right green, bottom-left blue, bottom-right
// white.
const std::vector<TColor> kFour = {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255),
                                   RGB(255, 255, 255)};

TEST(TGARead, RowOrderAndMirroringByTheDescriptor) {
    const Bytes red = {0, 0, 255}, green = {0, 255, 0}, blue = {255, 0, 0}, white = {255, 255, 255};
    const struct {
        uint8_t descriptor;
        Bytes pixels;  // in file order
    } cases[] = {
        {0x00, blue + white + red + green},  // bottom-up
        {0x20, red + green + blue + white},  // top-down
        {0x10, white + blue + green + red},  // bottom-up, right to left
        {0x30, green + red + white + blue},  // top-down, right to left
    };
    for (const auto& c : cases) {
        TTGAImage g;
        Load(Header(2, 2, 2, 24, c.descriptor) + c.pixels, g);
        EXPECT_EQ(Pixels(g.Bitmap()), kFour) << int(c.descriptor);
        EXPECT_EQ(g.TopDown, bool(c.descriptor & 0x20));
        EXPECT_EQ(g.RightToLeft, bool(c.descriptor & 0x10));
        // The same through run-length packets: one literal of all four pixels.
        Load(Header(10, 2, 2, 24, c.descriptor) + Bytes{3} + c.pixels, g);
        EXPECT_EQ(Pixels(g.Bitmap()), kFour) << "RLE " << int(c.descriptor);
    }
}

TEST(TGARead, FiveBitPixelsAndMapEntriesWiden) {
    TTGAImage g;
    // 0x7FFF is white, 0x001F blue, 0x8000 (top bit only) black, 0x4210 half of each channel.
    Load(Header(2, 4, 1, 16) + Bytes{0xFF, 0x7F, 0x1F, 0x00, 0x00, 0x80, 0x10, 0x42}, g);
    EXPECT_EQ(g.Bitmap().PixelFormat(), pf24bit);
    EXPECT_EQ(Pixels(g.Bitmap()),
              (std::vector<TColor>{RGB(255, 255, 255), RGB(0, 0, 255), 0, RGB(132, 132, 132)}));
    // 15-bit entries take two bytes each, like 16-bit ones.
    Load(Header(1, 2, 1, 8, 0, 1, 0, 2, 15) + Bytes{0x00, 0x7C, 0xE0, 0x03} + Bytes{1, 0}, g);
    EXPECT_EQ(Pixels(g.Bitmap()), (std::vector<TColor>{RGB(0, 255, 0), RGB(255, 0, 0)}));
}

TEST(TGARead, ColourMapsOfEveryEntrySizeFromTheFirstIndex) {
    const struct {
        uint8_t bits;
        Bytes entries;  // two entries: a dark red and a light blue
    } cases[] = {
        {16, {0x00, 0x28, 0x1F, 0x42}},
        {24, {0x00, 0x00, 0x52, 0xFF, 0x84, 0x84}},
        {32, {0x00, 0x00, 0x52, 0x11, 0xFF, 0x84, 0x84, 0x22}},
    };
    for (const auto& c : cases) {
        TTGAImage g;
        // Entries at indices 3 and 4; index 0 and 200 are not in the map and show black. The
        // 2-byte identification field lies before the map.
        Load(Header(1, 4, 1, 8, 0, 1, 3, 2, c.bits, 2) + Bytes{'i', 'd'} + c.entries +
                 Bytes{3, 4, 0, 200},
             g);
        const TBitmap& b = g.Bitmap();
        ASSERT_EQ(b.PixelFormat(), pf8bit);
        ASSERT_EQ(b.Palette().size(), 256u);
        EXPECT_EQ(b.Palette()[3].Red, c.bits == 16 ? 82 : 0x52) << int(c.bits);
        EXPECT_EQ(b.Palette()[4].Blue, 255) << int(c.bits);
        EXPECT_EQ(b.Palette()[4].Red, c.bits == 16 ? 132 : 0x84) << int(c.bits);
        for (size_t i : {size_t(0), size_t(2), size_t(5), size_t(255)})
            EXPECT_EQ(b.Palette()[i], TPaletteEntry{}) << i;
        EXPECT_EQ(b.Pixel(2, 0), 0u);
        EXPECT_EQ(b.Pixel(3, 0), 0u);
    }
}

TEST(TGARead, AColourMapInATrueColourOrGrayFileIsSkipped) {
    TTGAImage g;
    Load(Header(2, 2, 2, 24, 0x20, 1, 0, 3, 32) + Bytes(12, 0xAA) + Bytes{0, 0, 255, 0, 255, 0} +
             Bytes{255, 0, 0, 255, 255, 255},
         g);
    EXPECT_EQ(Pixels(g.Bitmap()), kFour);
    Load(Header(3, 2, 1, 8, 0, 1, 0, 2, 15) + Bytes{9, 9, 9, 9} + Bytes{10, 250}, g);
    EXPECT_EQ(Pixels(g.Bitmap()), (std::vector<TColor>{RGB(10, 10, 10), RGB(250, 250, 250)}));
}

TEST(TGARead, RunLengthPacketsRunOnIntoTheNextRowAndStopAtTheLastPixel) {
    TTGAImage g;
    // 3 × 2 gray, top-down: a run of 4 (row 0 and the first pixel of row 1), a literal of 1, and
    // a run of 100 of which one pixel is left.
    Load(Header(11, 3, 2, 8, 0x20) + Bytes{0x83, 50, 0x00, 60, 0xE3, 70}, g);
    EXPECT_EQ(Pixels(g.Bitmap()),
              (std::vector<TColor>{RGB(50, 50, 50), RGB(50, 50, 50), RGB(50, 50, 50),
                                   RGB(50, 50, 50), RGB(60, 60, 60), RGB(70, 70, 70)}));
    // 32-bit pixels keep their alpha byte in the surface.
    Load(Header(10, 2, 1, 32, 0x08) + Bytes{0x81, 1, 2, 3, 4}, g);
    ASSERT_EQ(g.Bitmap().PixelFormat(), pf32bit);
    EXPECT_EQ(std::memcmp(g.Bitmap().ScanLine(0), "\x01\x02\x03\x04\x01\x02\x03\x04", 8), 0);
}

TEST(TGARead, WhatCannotBeDecodedFails) {
    const struct {
        Bytes file;
        const char* message;
    } cases[] = {
        {{}, "Signature err"},
        {{0, 0, 2}, "Targa file truncated"},
        {Header(0, 2, 2, 24), "Unsupported Targa image type 0"},
        {Header(32, 2, 2, 24), "Unsupported Targa image type 32"},
        {Header(2, 2, 2, 4), "Unsupported Targa pixel depth 4"},
        {Header(3, 2, 2, 16), "Unsupported Targa pixel depth 16"},
        {Header(1, 2, 2, 16, 0, 1, 0, 2, 24), "Unsupported Targa pixel depth 16"},
        {Header(1, 2, 2, 8), "Targa colour map missing"},
        {Header(1, 2, 2, 8, 0, 1, 0, 2, 12), "Unsupported Targa colour map entry size"},
        {Header(2, 2, 2, 24, 0, 2), "Invalid Targa colour map type"},
        {Header(2, 0, 2, 24), "Targa picture has no pixels"},
        {Header(2, 2, 2, 24) + Bytes(11, 0), "Targa file truncated"},
        {Header(1, 2, 1, 8, 0, 1, 0, 200, 24) + Bytes(10, 0), "Targa file truncated"},
        {Header(10, 2, 2, 24) + Bytes{0x82, 1, 2, 3},
         "Targa run-length data ends before the last pixel"},
        {Header(10, 2, 2, 24) + Bytes{0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9},
         "Targa run-length data ends before the last pixel"},
        // 400 million pixels claimed by a few bytes: refused before anything is allocated.
        {Header(10, 20000, 20000, 24) + Bytes{0xFF, 1, 2, 3},
         "the file is too short for a 20000 \u00D7 20000 picture"},
    };
    for (const auto& c : cases) EXPECT_EQ(LoadError(c.file), c.message) << c.message;
}

TEST(TGAWrite, RunLengthRowsFollowTheirPacketRule) {
    const struct {
        std::vector<uint8_t> row;
        Bytes packets;
    } cases[] = {
        {{1, 1, 1, 2, 3}, {0x82, 1, 0x01, 2, 3}},
        {{1}, {0x00, 1}},
        {{1, 2, 2}, {0x00, 1, 0x81, 2}},
        {{1, 2, 3, 3, 3, 4}, {0x01, 1, 2, 0x82, 3, 0x00, 4}},
        {{5, 5}, {0x81, 5}},
    };
    for (const auto& c : cases) {
        Bytes out(c.row.size() * 2);
        out.resize(EncodeTargaRow(c.row.data(), int32_t(c.row.size()), 1, out.data()));
        EXPECT_EQ(out, c.packets);
    }
    // 300 equal pixels: runs of 128, 128 and 44; 130 different ones: literals of 128 and 2.
    std::vector<uint8_t> same(300 * 3, 7), diff(130 * 3);
    for (size_t i = 0; i < diff.size(); ++i) diff[i] = uint8_t(i / 3);
    Bytes out(300 * 4);
    out.resize(EncodeTargaRow(same.data(), 300, 3, out.data()));
    EXPECT_EQ(out, (Bytes{0xFF, 7, 7, 7, 0xFF, 7, 7, 7, 0xAB, 7, 7, 7}));
    out.assign(130 * 4, 0);
    out.resize(EncodeTargaRow(diff.data(), 130, 3, out.data()));
    ASSERT_EQ(out.size(), 2 + 130 * 3u);
    EXPECT_EQ(out[0], 127);
    EXPECT_EQ(out[1 + 128 * 3], 1);
}

// The packet rule written the plain way, pixel by pixel, to check the encoder's fast search on
// long rows.
Bytes ReferencePackets(const std::vector<uint8_t>& row, int bytes) {
    const int32_t w = int32_t(row.size()) / bytes;
    auto same = [&](int32_t a, int32_t b) {
        return std::memcmp(&row[size_t(a * bytes)], &row[size_t(b * bytes)], size_t(bytes)) == 0;
    };
    Bytes out;
    for (int32_t x = 0; x < w;) {
        int32_t n = 1;
        if (x + 1 < w && same(x, x + 1)) {
            while (n < 128 && x + n < w && same(x, x + n)) ++n;
            out.push_back(uint8_t(0x80 | (n - 1)));
            out.insert(out.end(), row.data() + x * bytes, row.data() + (x + 1) * bytes);
        } else {
            while (n < 128 && x + n < w && !(x + n + 1 < w && same(x + n, x + n + 1))) ++n;
            out.push_back(uint8_t(n - 1));
            out.insert(out.end(), row.data() + x * bytes, row.data() + (x + n) * bytes);
        }
        x += n;
    }
    return out;
}

TEST(TGAWrite, LongRowsFollowTheSamePacketRule) {
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int bytes : {1, 3})
        for (int32_t width : {1, 2, 7, 17, 18, 129, 300, 1001}) {
            std::vector<uint8_t> row;
            while (int32_t(row.size()) < width * bytes) {
                // Stretches of different pixels, pairs and longer runs; pixels that differ in one
                // byte only, so a search that compares too few bytes finds false repeats.
                const uint32_t r = next();
                const int repeat = r % 7 == 0 ? int(r >> 8) % 200 + 2 : r % 5 == 0 ? 2 : 1;
                const uint8_t v = uint8_t(r >> 16) & 3;
                for (int k = 0; k < repeat && int32_t(row.size()) < width * bytes; ++k)
                    for (int b = 0; b < bytes; ++b) row.push_back(b == 1 ? uint8_t(next() & 1) : v);
            }
            Bytes out(size_t(width) * size_t(bytes + 1));
            out.resize(EncodeTargaRow(row.data(), width, bytes, out.data()));
            EXPECT_EQ(out, ReferencePackets(row, bytes)) << bytes << " bytes, width " << width;
        }
}

TEST(TGAWrite, HeadersAndLayouts) {
    TBitmap rgb(5, 3, pf24bit);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 5; ++x) rgb.SetPixel(x, y, RGB(uint8_t(x), uint8_t(y), 9));
    const Bytes plain = Written(rgb, false);
    ASSERT_EQ(plain.size(), 18u + 5 * 3 * 3);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 18), Header(2, 5, 3, 24));
    EXPECT_EQ(Bytes(plain.begin() + 18, plain.begin() + 21), (Bytes{9, 2, 0}));  // bottom row first
    EXPECT_EQ(Written(rgb, true)[2], 10);

    TBitmap mapped(3, 1, pf8bit);
    mapped.Palette() = {{1, 2, 3, 0}, {4, 5, 6, 0}};
    mapped.ScanLine(0)[0] = 1;
    mapped.ScanLine(0)[1] = 1;
    mapped.ScanLine(0)[2] = 0;
    const Bytes m = Written(mapped, false);
    ASSERT_EQ(m.size(), 18u + 768 + 3);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 18), Header(1, 3, 1, 8, 0, 1, 0, 256, 24));
    EXPECT_EQ(Bytes(m.begin() + 18, m.begin() + 24), (Bytes{3, 2, 1, 6, 5, 4}));  // B, G, R
    EXPECT_EQ(Bytes(m.begin() + 24, m.begin() + 786), Bytes(762, 0));  // padded with zeros
    EXPECT_EQ(Bytes(m.end() - 3, m.end()), (Bytes{1, 1, 0}));
    const Bytes mr = Written(mapped, true);
    EXPECT_EQ(mr[2], 9);
    EXPECT_EQ(Bytes(mr.end() - 4, mr.end()), (Bytes{0x81, 1, 0x00, 0}));
}

TEST(TGAWrite, WhatIsWrittenReadsBack) {
    TBitmap rgb(37, 9, pf24bit);
    for (int32_t y = 0; y < 9; ++y)
        for (int32_t x = 0; x < 37; ++x)
            rgb.SetPixel(x, y, x % 5 < 3 ? RGB(200, 100, uint8_t(y)) : RGB(uint8_t(x), 3, 4));
    TBitmap mapped(37, 9, pf8bit);
    mapped.Palette() = {{255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}};
    for (int32_t y = 0; y < 9; ++y)
        for (int32_t x = 0; x < 37; ++x) mapped.ScanLine(y)[x] = uint8_t((x / 4 + y) % 3);
    TBitmap gray(6, 2, pf32bit);  // any other surface is written as 24 bits
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 6; ++x) gray.SetPixel(x, y, RGB(uint8_t(40 * x), 7, uint8_t(y)));
    for (const TBitmap* p : {&rgb, &mapped, &gray})
        for (bool rle : {false, true}) {
            TTGAImage g;
            Load(Written(*p, rle), g);
            EXPECT_EQ(Pixels(g.Bitmap()), Pixels(*p)) << p->Width() << " rle " << rle;
        }
}

TEST(TGAWrite, RefusesWhatItCannotWriteBeforeWriting) {
    TBitmap wide(65536, 1, pf24bit), tall(1, 65536, pf8bit), empty;
    tall.Palette().assign(2, TPaletteEntry{});
    for (const TBitmap* p : {&wide, &tall, &empty})
        for (bool rle : {false, true}) {
            TMemoryStream ms;
            EXPECT_THROW(WriteTarga(*p, rle, ms), EInvalidGraphic);
            EXPECT_TRUE(ms.Memory().empty());
        }
    TBitmap largest(65535, 1, pf24bit);
    std::memset(largest.ScanLine(0), 0, 65535 * 3);
    EXPECT_EQ(Written(largest, true).size(), 18u + 512 * 4);  // 511 runs of 128, one of 127
}

}  // namespace
}  // namespace tilvo
