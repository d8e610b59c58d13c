// The PCX reader and writer: the run-length code's edge cases, the written layouts, round trips
// of every surface depth, depths no tool writes, and hostile headers and data.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "FileFormat/PCXImage.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Header(uint8_t bits, uint8_t planes, uint16_t w, uint16_t h, uint16_t bpl,
             uint8_t encoding = 1, uint8_t version = 5) {
    Bytes f(128, 0);
    f[0] = 10;
    f[1] = version;
    f[2] = encoding;
    f[3] = bits;
    f[8] = uint8_t(w - 1), f[9] = uint8_t((w - 1) >> 8);
    f[10] = uint8_t(h - 1), f[11] = uint8_t((h - 1) >> 8);
    f[65] = planes;
    f[66] = uint8_t(bpl), f[67] = uint8_t(bpl >> 8);
    return f;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void Load(TPCXImage& g, const Bytes& file) {
    TMemoryStream s(file);
    g.LoadFromStream(s);
}

// The encoded data of a written file: between the header and the trailer palette, if any.
Bytes Encoded(const Bytes& file, bool palette) {
    return Bytes(file.begin() + 128, file.end() - (palette ? 769 : 0));
}

TEST(PCXImage, RunLengthCodeKeepsItsEdgeCases) {
    // One 8-bit row each; the written width is even so no padding byte follows.
    const struct {
        Bytes Row;
        Bytes Code;
    } cases[] = {
        {Bytes(100, 7), {0xFF, 7, 0xE5, 7}},  // 63 + 37
        {{0xC5, 1}, {0xC1, 0xC5, 1}},         // a single byte of 0xC0 or more is escaped
        {{0xBF, 0xC0}, {0xBF, 0xC1, 0xC0}},
        {{3, 3, 4, 5}, {0xC2, 3, 4, 5}},  // a run of two is a run
    };
    for (const auto& c : cases) {
        TBitmap p(int32_t(c.Row.size()), 1, pf8bit);
        std::memcpy(p.ScanLine(0), c.Row.data(), c.Row.size());
        Bytes file;
        EncodePcx(p, file);
        EXPECT_EQ(Encoded(file, true), c.Code);
        EXPECT_EQ(file[file.size() - 769], 12);
        TPCXImage g;
        Load(g, file);
        EXPECT_EQ(Bytes(g.Bitmap().ScanLine(0), g.Bitmap().ScanLine(0) + c.Row.size()), c.Row);
    }
}

TEST(PCXImage, TwentyFourBitRowsArePaddedPlanesOfRedGreenBlue) {
    TBitmap p(3, 1, pf24bit);
    p.SetPixel(0, 0, RGB(1, 2, 3));
    p.SetPixel(1, 0, RGB(4, 5, 6));
    p.SetPixel(2, 0, RGB(7, 8, 9));
    Bytes file;
    EncodePcx(p, file);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{10, 5, 1, 8}));
    EXPECT_EQ(file[65], 3);
    EXPECT_EQ(file[66], 4);  // bytes per line: the width rounded up to even
    EXPECT_EQ(Encoded(file, false), (Bytes{1, 4, 7, 0, 2, 5, 8, 0, 3, 6, 9, 0}));
}

TEST(PCXImage, RoundTripsEverySurfaceDepth) {
    const struct {
        TPixelFormat Format;
        TPixelFormat Read;  // what the written file opens as
    } cases[] = {{pf1bit, pf8bit},
                 {pf4bit, pf24bit},
                 {pf8bit, pf8bit},
                 {pf24bit, pf24bit},
                 {pf32bit, pf24bit}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Format));
        TBitmap p(67, 5, c.Format);
        const int bits = BitsPerPixel(c.Format);
        if (bits <= 8) {
            for (int i = 0; i < (1 << bits); ++i)
                p.Palette().push_back({uint8_t(i * 3), uint8_t(i), uint8_t(255 - i), 0});
        }
        for (int32_t y = 0; y < 5; ++y)
            for (int64_t i = 0; i < p.Stride(); ++i)
                p.ScanLine(y)[i] = i < 20 ? uint8_t(y * 50) : uint8_t(i * 37 + y);
        TPCXImage out;
        out.Assign(p);
        TMemoryStream s;
        out.SaveToStream(s);
        TPCXImage in;
        Load(in, s.Memory());
        ASSERT_EQ(in.Bitmap().PixelFormat(), c.Read);
        for (int32_t y = 0; y < 5; ++y)
            for (int32_t x = 0; x < 67; ++x) ASSERT_EQ(in.Bitmap().Pixel(x, y), p.Pixel(x, y));
        if (c.Read == pf8bit) {
            EXPECT_EQ(in.Bitmap().Palette().size(), 256u);  // padded with black
        }
    }
}

TEST(PCXImage, ReadsDepthsFewToolsWrite) {
    // Two pixels 0xA, 0x5 then 0xF packed in nibbles; the row is three pixels in two bytes.
    TPCXImage packed;
    Bytes h = Header(4, 1, 3, 1, 2, 0);
    h[16 + 3 * 0xA] = 0xAA;
    Load(packed, Cat(h, {0xA5, 0xF0}));
    ASSERT_EQ(packed.Bitmap().PixelFormat(), pf4bit);
    EXPECT_EQ(packed.Bitmap().ScanLine(0)[0], 0xA5);
    EXPECT_EQ(packed.Bitmap().Pixel(0, 0), RGB(0xAA, 0, 0));

    // Four 1-bit planes, plane 0 the lowest bit: pixel 0 has planes 0 and 3 set.
    TPCXImage planar;
    Load(planar, Cat(Header(1, 4, 2, 1, 2, 0), {0x80, 0, 0x40, 0, 0, 0, 0xC0, 0}));
    ASSERT_EQ(planar.Bitmap().PixelFormat(), pf4bit);
    EXPECT_EQ(planar.Bitmap().ScanLine(0)[0], 0x9A);

    // A stored 24-bit file reads as its run-length twin.
    TPCXImage stored, rle;
    Load(stored, Cat(Header(8, 3, 2, 1, 2, 0), {1, 2, 3, 3, 5, 6}));
    Load(rle, Cat(Header(8, 3, 2, 1, 2, 1), {1, 2, 0xC2, 3, 5, 6}));
    for (int x = 0; x < 2; ++x) EXPECT_EQ(stored.Bitmap().Pixel(x, 0), rle.Bitmap().Pixel(x, 0));
    EXPECT_EQ(stored.Bitmap().Pixel(1, 0), RGB(2, 3, 6));

    // An 8-bit file without a trailer palette opens gray.
    TPCXImage gray;
    Load(gray, Cat(Header(8, 1, 2, 1, 2, 1, 3), {0x80, 0xC1, 0xFF}));
    EXPECT_EQ(gray.Bitmap().Pixel(0, 0), RGB(0x80, 0x80, 0x80));
    EXPECT_EQ(gray.Bitmap().Pixel(1, 0), RGB(0xFF, 0xFF, 0xFF));
}

TEST(PCXImage, MalformedFilesAreRefusedAndLeaveThePictureAsItWas) {
    Bytes reversed = Header(8, 3, 1, 1, 2);
    reversed[4] = 5;  // x min above x max
    const struct {
        const char* Name;
        Bytes File;
        const char* Message;
    } cases[] = {
        {"empty", {}, "Signature err"},
        {"manufacturer", Cat({11}, Bytes(200)), "Signature err"},
        {"short header", Bytes{10, 5, 1, 8}, "PCX file truncated"},
        {"reversed bounds", Cat(reversed, Bytes(10)), "PCX picture bounds are reversed"},
        {"short lines", Cat(Header(8, 3, 9, 1, 8), Bytes(30)),
         "PCX bytes per line shorter than the row"},
        {"short planar lines", Cat(Header(1, 4, 17, 1, 2), Bytes(30)),
         "PCX bytes per line shorter than the row"},
        {"two bits", Cat(Header(2, 1, 4, 1, 2), Bytes(2)), "Unsupported PCX bit depth"},
        {"8 bits in 2 planes", Cat(Header(8, 2, 4, 1, 4), Bytes(8)), "Unsupported PCX bit depth"},
        {"shorter than its palette", Cat(Header(8, 1, 2, 1, 2), {1, 2}),
         "PCX file shorter than its palette"},
        // A version 5 file long enough but without the marker was cut: no gray ramp for it.
        {"version 5 without its palette", Cat(Header(8, 1, 2, 1, 2, 0), Bytes(800, 7)),
         "PCX palette missing (version 5 files end with it)"},
        {"stored rows cut", Cat(Header(8, 3, 4, 2, 4, 0), Bytes(23)), "PCX file truncated"},
        {"run cut", Cat(Header(8, 3, 4, 2, 4, 1), Bytes(20, 0xC1)), "PCX file truncated"},
        {"huge", Cat(Header(8, 4, 65535, 65535, 65535), Bytes(10)),
         "picture too large: 65535 \u00D7 65535 pixels at 32 bits a pixel take more than the "
         "2048 MiB a picture may use"},
        {"huge claim, tiny data", Cat(Header(8, 3, 20000, 20000, 20000), Bytes(100, 0xFF)),
         "the file is too short for a 20000 \u00D7 20000 picture"},
    };
    TPCXImage g;
    Load(g, Cat(Header(8, 3, 1, 1, 2, 0), {9, 0, 8, 0, 7, 0}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            Load(g, c.File);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        ASSERT_EQ(g.Bitmap().Width(), 1);
        EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(9, 8, 7));
    }
}

TEST(PCXImage, WriterRefusesSizesTheHeaderCannotHoldAndKeepsTheOldFile) {
    const fs::path dir = fs::temp_directory_path() / ("tilvo-pcx-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string target = (dir / "old.pcx").string();
    WriteWholeFile(target, "old", 3);
    const struct {
        int32_t Width, Height;
        bool Ok;
    } cases[] = {
        {65535, 1, false}, {65534, 1, true}, {1, 65537, false}, {1, 65536, true}, {0, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Width) + "x" + std::to_string(c.Height));
        TBitmap p(c.Width, c.Height, pf24bit);
        for (int32_t y = 0; y < c.Height; ++y) std::memset(p.ScanLine(y), 0, size_t(p.Stride()));
        const Bytes before = ReadWholeFile(target);
        std::string message;
        EXPECT_EQ(SavePcx(p, target, &message), c.Ok) << message;
        if (!c.Ok) {
            EXPECT_FALSE(message.empty());
            EXPECT_EQ(ReadWholeFile(target), before);
        }
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tilvo
