// The Windows bitmap reader and writer: depths, compressions and header versions, the writer's
// round trip in every pixel format, and hostile headers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "FileFormat/BMPImage.h"

namespace tilvo {
namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

// A bitmap file assembled field by field; offBits < 0 means "right after the colour table".
struct TDib {
    uint32_t HeaderSize = 40;
    int32_t Width = 4;
    int32_t Height = 4;
    uint32_t BitCount = 8;
    uint32_t Compression = 0;
    uint32_t ClrUsed = 4;
    std::vector<uint8_t> Palette = {0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0};
    std::vector<uint8_t> Pixels = std::vector<uint8_t>(16, 1);
    int64_t OffBits = -1;

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> h;
        Put32(h, HeaderSize);
        if (HeaderSize == 12) {
            Put16(h, uint32_t(Width));
            Put16(h, uint32_t(Height));
            Put16(h, 1);
            Put16(h, BitCount);
        } else {
            Put32(h, uint32_t(Width));
            Put32(h, uint32_t(Height));
            Put16(h, 1);
            Put16(h, BitCount);
            Put32(h, Compression);
            Put32(h, uint32_t(Pixels.size()));
            Put32(h, 0);
            Put32(h, 0);
            Put32(h, ClrUsed);
            Put32(h, 0);
            h.resize(std::max<size_t>(h.size(), HeaderSize), 0);
        }
        const size_t off = 14 + h.size() + Palette.size();
        std::vector<uint8_t> f = {'B', 'M'};
        Put32(f, uint32_t(off + Pixels.size()));
        Put32(f, 0);
        Put32(f, OffBits < 0 ? uint32_t(off) : uint32_t(OffBits));
        f.insert(f.end(), h.begin(), h.end());
        f.insert(f.end(), Palette.begin(), Palette.end());
        f.insert(f.end(), Pixels.begin(), Pixels.end());
        return f;
    }
};

// The message of the reader's exception, or "" when the file loads.
std::string ReadError(const std::vector<uint8_t>& file, TBitmap* out = nullptr) {
    TBitmap local;
    try {
        ReadBitmapFile(file.data(), file.size(), out ? *out : local);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

TEST(BMPReader, OpensEveryDepthCompressionAndHeaderInItsOwnPixelFormat) {
    const struct {
        const char* file;
        int32_t w, h;
        TPixelFormat pf;
        size_t palette;
    } cases[] = {
        {"pal1", 13, 7, pf1bit, 2},
        {"pal4_short_table", 11, 6, pf4bit, 16},
        {"pal8_topdown", 9, 5, pf8bit, 256},
        {"core4", 7, 5, pf4bit, 16},
        {"rle8", 14, 6, pf8bit, 256},
        {"rle4", 14, 6, pf4bit, 16},
        {"rgb16_555", 7, 4, pf24bit, 0},
        {"bitfields16_565", 9, 4, pf24bit, 0},
        {"bitfields32_v5_10bit", 6, 5, pf24bit, 0},
        {"rgb24_v4", 10, 6, pf24bit, 0},
        {"rgb24_topdown", 5, 3, pf24bit, 0},
        {"rgb32", 6, 4, pf32bit, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TMemoryStream ms;
        ms.LoadFromFile(std::string(TILVO_TEST_DATA) + "/read/bmp/" + c.file + ".bmp");
        TBMPImage img;
        img.LoadFromStream(ms);
        EXPECT_EQ(img.GetWidth(), c.w);
        EXPECT_EQ(img.GetHeight(), c.h);
        EXPECT_EQ(img.Bitmap().PixelFormat(), c.pf);
        EXPECT_EQ(img.Bitmap().Palette().size(), c.palette);
    }
}

TEST(BMPReader, ShortColourTablesAreFilledWithBlackAndAlphaIsKept) {
    TMemoryStream ms;
    ms.LoadFromFile(std::string(TILVO_TEST_DATA) + "/read/bmp/pal4_short_table.bmp");
    TBMPImage img;
    img.LoadFromStream(ms);
    for (size_t i = 12; i < 16; ++i) EXPECT_EQ(img.Bitmap().Palette()[i], TPaletteEntry{}) << i;
    EXPECT_NE(img.Bitmap().Palette()[11], TPaletteEntry{});

    ms.LoadFromFile(std::string(TILVO_TEST_DATA) + "/read/bmp/rgb32.bmp");
    img.LoadFromStream(ms);
    // The script stores red XOR green in the fourth byte; the top-left pixel is (0, 7, 100).
    EXPECT_EQ(img.Bitmap().ScanLine(0)[3], 7);
    EXPECT_EQ(img.Bitmap().Pixel(0, 0), RGB(0, 7, 100));
}

TEST(BMPWriter, RoundTripsEveryPixelFormatWithZeroPadding) {
    const struct {
        TPixelFormat pf;
        int bits;
        size_t paletteEntries;  // what the surface carries; the file has the depth's full table
    } cases[] = {{pf1bit, 1, 2},   {pf4bit, 4, 11},  {pf8bit, 8, 3},
                 {pf15bit, 16, 0}, {pf24bit, 24, 0}, {pf32bit, 32, 0}};
    const int32_t w = 13, h = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        TBitmap src(w, h, c.pf);
        for (size_t i = 0; i < c.paletteEntries; ++i)
            src.Palette().push_back({uint8_t(i * 20 + 5), uint8_t(255 - i), uint8_t(i * 3), 0});
        const int64_t used = (int64_t(w) * c.bits + 7) / 8;
        for (int32_t y = 0; y < h; ++y) {
            uint8_t* row = src.ScanLine(y);
            std::memset(row, 0xFF, size_t(src.Stride()));  // padding must not reach the file
            for (int64_t i = 0; i < used; ++i) {
                uint8_t v = uint8_t(i * 31 + y * 17);
                if (c.bits == 8) v = uint8_t((i + y) % 3);  // indices inside the palette
                if (c.bits == 4) v = uint8_t(((i + y) % 11) << 4 | (i % 11));
                row[i] = v;
            }
        }
        TMemoryStream ms;
        SaveBitmapToStream(src, ms);
        const std::vector<uint8_t>& f = ms.Memory();

        // The headers, read independently of the reader.
        const uint32_t colours = c.bits <= 8 ? 1u << c.bits : 0;
        const uint32_t rowBytes = uint32_t((w * c.bits + 31) / 32 * 4);
        ASSERT_GE(f.size(), 54u);
        EXPECT_EQ(f[0], 'B');
        EXPECT_EQ(f[1], 'M');
        EXPECT_EQ(Get32(f, 2), f.size());
        EXPECT_EQ(Get32(f, 10), 54 + 4 * colours);
        EXPECT_EQ(Get32(f, 14), 40u);
        EXPECT_EQ(int32_t(Get32(f, 18)), w);
        EXPECT_EQ(int32_t(Get32(f, 22)), h);  // positive: bottom-up
        EXPECT_EQ(Get16(f, 28), c.bits);
        EXPECT_EQ(Get32(f, 30), 0u);  // BI_RGB
        EXPECT_EQ(Get32(f, 34), rowBytes * h);
        ASSERT_EQ(f.size(), 54 + 4 * colours + rowBytes * h);
        for (uint32_t i = 0; i < colours; ++i) {
            const TPaletteEntry e = i < src.Palette().size() ? src.Palette()[i] : TPaletteEntry{};
            EXPECT_EQ(f[54 + 4 * i], e.Blue);
            EXPECT_EQ(f[54 + 4 * i + 1], e.Green);
            EXPECT_EQ(f[54 + 4 * i + 2], e.Red);
        }
        const size_t pixelsAt = 54 + 4 * colours;
        for (int32_t y = 0; y < h; ++y) {
            const uint8_t* fileRow = f.data() + pixelsAt + size_t(h - 1 - y) * rowBytes;
            const int64_t bits = int64_t(w) * c.bits;
            for (int64_t i = 0; i < bits / 8; ++i)
                ASSERT_EQ(fileRow[i], src.ScanLine(y)[i]) << "row " << y << " byte " << i;
            if (bits % 8) {
                const uint8_t mask = uint8_t(0xFF00 >> (bits % 8));
                EXPECT_EQ(fileRow[bits / 8], src.ScanLine(y)[bits / 8] & mask);
            }
            for (uint32_t i = uint32_t(used); i < rowBytes; ++i) EXPECT_EQ(fileRow[i], 0) << i;
        }

        // And back through the reader: the same colours everywhere.
        TBitmap back;
        ASSERT_EQ(ReadError(f, &back), "");
        EXPECT_EQ(back.PixelFormat(), c.pf == pf15bit ? pf24bit : c.pf);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) ASSERT_EQ(back.Pixel(x, y), src.Pixel(x, y));
    }
}

TEST(BMPWriter, SaveToFileWritesTheSameBytesAndEmptyPicturesAreRefused) {
    TBitmap src(3, 2);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x)
            src.SetPixel(x, y, RGB(uint8_t(x * 80), uint8_t(y * 90), 7));
    const std::string name =
        (std::filesystem::temp_directory_path() / "tilvo-bmp-writer-test.bmp").string();
    src.SaveToFile(name);
    TMemoryStream ms;
    SaveBitmapToStream(src, ms);
    EXPECT_EQ(ReadWholeFile(name), ms.Memory());
    std::filesystem::remove(name);

    TBitmap empty;
    EXPECT_THROW(empty.SaveToFile(name), EInvalidGraphic);
    EXPECT_FALSE(std::filesystem::exists(name));
    EXPECT_THROW(src.SaveToFile("/no/such/folder/x.bmp"), EFileError);
}

TEST(BMPReader, HostileHeadersFailWithAClearMessage) {
    auto with = [](auto change) {
        TDib d;
        change(d);
        return d.Build();
    };
    auto raw = [](auto change) {
        std::vector<uint8_t> f = TDib().Build();
        change(f);
        return f;
    };
    const std::string invalid = "Invalid bitmap", truncated = "Bitmap file truncated",
                      tooLarge = "picture too large";
    const struct {
        const char* name;
        std::vector<uint8_t> file;
        std::string message;  // "" when the file must open
    } cases[] = {
        {"valid base", TDib().Build(), ""},
        {"bad signature", raw([](auto& f) { f[1] = 'X'; }), invalid},
        {"one byte", {'B'}, invalid},
        {"file header only", raw([](auto& f) { f.resize(14); }), truncated},
        {"header size 20", with([](TDib& d) { d.HeaderSize = 20; }), invalid},
        {"header size 64", with([](TDib& d) { d.HeaderSize = 64; }), invalid},
        {"zero width", with([](TDib& d) { d.Width = 0; }), invalid},
        {"negative width", with([](TDib& d) { d.Width = -4; }), invalid},
        {"zero height", with([](TDib& d) { d.Height = 0; }), invalid},
        {"huge width", with([](TDib& d) { d.Width = INT_MAX; }),
         tooLarge + ": 2147483647 \u00D7 4 pixels, more than 1048576 pixels a side"},
        {"most negative height", with([](TDib& d) { d.Height = INT_MIN; }),
         tooLarge + ": 4 \u00D7 2147483648 pixels, more than 1048576 pixels a side"},
        {"1.2 GB of rows in a tiny file",
         with([](TDib& d) { d.Width = d.Height = 20000, d.BitCount = 24, d.ClrUsed = 0; }),
         "the file is too short for a 20000 \u00D7 20000 picture"},
        {"bit count 7", with([](TDib& d) { d.BitCount = 7; }), invalid},
        {"RLE8 at 24 bits", with([](TDib& d) { d.BitCount = 24, d.Compression = 1; }), invalid},
        {"core header at 16 bits", with([](TDib& d) { d.HeaderSize = 12, d.BitCount = 16; }),
         invalid},
        {"embedded JPEG", with([](TDib& d) { d.Compression = 4; }),
         "Unsupported bitmap compression"},
        {"colour table beyond the file", with([](TDib& d) { d.ClrUsed = 200, d.OffBits = 0; }),
         truncated},
        {"colour count beyond the depth is clamped",
         with([](TDib& d) { d.BitCount = 4, d.ClrUsed = 300, d.Pixels.assign(16, 0x12); }), ""},
        {"rows beyond the file", with([](TDib& d) { d.OffBits = 5000; }), truncated},
        {"rows inside the header", with([](TDib& d) { d.OffBits = 30; }), invalid},
        {"rows cut short", raw([](auto& f) { f.pop_back(); }), truncated},
        {"RLE8 literal beyond the data", with([](TDib& d) {
             d.Compression = 1, d.Pixels = {0, 50, 1, 2, 3};
         }),
         truncated},
        {"RLE8 without end marker", with([](TDib& d) {
             d.Compression = 1, d.Pixels = {4, 1, 0, 0};
         }),
         truncated},
        {"RLE4 without end marker", with([](TDib& d) {
             d.BitCount = 4, d.Compression = 2, d.Pixels = {4, 0x11, 0, 0, 0};
         }),
         truncated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap picture(1, 1);
        picture.SetPixel(0, 0, RGB(9, 8, 7));
        EXPECT_EQ(ReadError(c.file, &picture), c.message);
        if (!c.message.empty()) {  // a failed read leaves the target as it was
            ASSERT_EQ(picture.Width(), 1);
            EXPECT_EQ(picture.Pixel(0, 0), RGB(9, 8, 7));
        }
    }
}

TEST(BMPReader, RunLengthDataRunningOffThePictureIsClipped) {
    // 5×3, bottom-up. Row 0 of the file (the bottom row) gets a run far past the right edge and a
    // literal that overruns it; a delta then leaves the picture, and what follows is dropped.
    for (const bool four : {false, true}) {
        SCOPED_TRACE(four ? "RLE4" : "RLE8");
        TDib d;
        d.Width = 5, d.Height = 3, d.ClrUsed = 4;
        d.BitCount = four ? 4 : 8;
        d.Compression = four ? 2 : 1;
        if (four) {
            d.Pixels = {
                3,   0x12, 0, 4, 0x33, 0x33, 0,    0,  // 1 2 1, then literal 3 3 (3 3 clipped)
                255, 0x22, 0, 2, 200,  200,            // a run on row 1, a delta off the picture
                255, 0x33, 0, 5, 0x12, 0x31, 0x20, 0, 0, 0, 0, 1};
        } else {
            d.Pixels = {
                3,   1, 0, 4, 3,   3,   3, 3, 0, 0,  // 1 1 1, then literal 3 3 (3 3 clipped)
                255, 2, 0, 2, 200, 200,              // a run on row 1, a delta off the picture
                255, 3, 0, 5, 1,   2,   3, 1, 2, 0, 0, 0, 0, 1};
        }
        TBitmap pic;
        ASSERT_EQ(ReadError(d.Build(), &pic), "");
        const uint8_t bottom8[5] = {1, 1, 1, 3, 3};
        const uint8_t bottom4[5] = {1, 2, 1, 3, 3};
        for (int32_t x = 0; x < 5; ++x) {
            const uint8_t* row = pic.ScanLine(2);
            const uint8_t v = four ? uint8_t(x & 1 ? row[x >> 1] & 15 : row[x >> 1] >> 4) : row[x];
            EXPECT_EQ(v, four ? bottom4[x] : bottom8[x]) << x;
            const uint8_t* mid = pic.ScanLine(1);
            EXPECT_EQ(four ? uint8_t(x & 1 ? mid[x >> 1] & 15 : mid[x >> 1] >> 4) : mid[x], 2) << x;
            const uint8_t* top = pic.ScanLine(0);
            EXPECT_EQ(four ? uint8_t(x & 1 ? top[x >> 1] & 15 : top[x >> 1] >> 4) : top[x], 0) << x;
        }
    }
}

TEST(BMPReader, PackedBitmapsFindTheirRowsAfterTheColourTable) {
    TDib d;
    d.BitCount = 4, d.ClrUsed = 2, d.Palette.assign(8, 0), d.Pixels.assign(16, 0x10);
    d.Palette[4 + 2] = 200;  // entry 1 is red
    const std::vector<uint8_t> file = d.Build();
    TBitmap pic;
    ReadPackedBitmap(file.data() + 14, file.size() - 14, pic);
    EXPECT_EQ(pic.PixelFormat(), pf4bit);
    EXPECT_EQ(pic.Pixel(0, 0), RGB(200, 0, 0));
    EXPECT_EQ(pic.Pixel(1, 3), RGB(0, 0, 0));

    // A 24-bit packed bitmap with an optional two-entry colour table before its rows.
    TDib deep;
    deep.BitCount = 24, deep.ClrUsed = 2, deep.Palette.assign(8, 0xEE), deep.Pixels.assign(48, 0);
    deep.Pixels[0] = 1, deep.Pixels[1] = 2, deep.Pixels[2] = 3;  // bottom-left pixel
    const std::vector<uint8_t> deepFile = deep.Build();
    ReadPackedBitmap(deepFile.data() + 14, deepFile.size() - 14, pic);
    EXPECT_EQ(pic.PixelFormat(), pf24bit);
    EXPECT_EQ(pic.Pixel(0, 3), RGB(3, 2, 1));
    EXPECT_EQ(pic.Pixel(0, 0), RGB(0, 0, 0));
}

}  // namespace
}  // namespace tilvo
