// The SGI reader and writer: round trips of every depth in both storages, the verbatim layout,
// run-length rows cut at the width, hostile headers and tables, and writers that refuse what the
// header cannot hold without touching an existing file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "FileFormat/SGIImage.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, v >> 16);
    Put16(b, at + 2, v & 0xFFFF);
}

// A 512-byte header followed by `body`.
Bytes SgiFile(uint8_t storage, uint8_t bpc, uint16_t dim, uint16_t x, uint16_t y, uint16_t z,
              const Bytes& body) {
    Bytes f(512 + body.size(), 0);
    if (!body.empty()) std::memcpy(f.data() + 512, body.data(), body.size());
    Put16(f, 0, 474);
    f[2] = storage;
    f[3] = bpc;
    Put16(f, 4, dim);
    Put16(f, 6, x);
    Put16(f, 8, y);
    Put16(f, 10, z);
    return f;
}

void Load(TSGIImage& g, const Bytes& file) {
    TMemoryStream s(file);
    g.LoadFromStream(s);
}

// A picture with flat stretches (repeat packets) and noise (literal packets).
void Fill(TBitmap& b) {
    const int bytes = BitsPerPixel(b.PixelFormat()) / 8;
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t x = 0; x < b.Width() * bytes; ++x)
            b.ScanLine(y)[x] = x < 40 * bytes ? uint8_t(y * 7) : uint8_t(x * 31 + y * 17);
}

TEST(SGIImage, RoundTripsEveryDepthInBothStorages) {
    struct TCase {
        TPixelFormat Format;
        int32_t Width, Height;
    };
    const TCase cases[] = {{pf24bit, 1, 1}, {pf24bit, 300, 3}, {pf32bit, 131, 2}, {pf8bit, 5, 4}};
    for (const TCase& c : cases) {
        for (bool rle : {false, true}) {
            SCOPED_TRACE(std::to_string(int(c.Format)) + (rle ? " rle" : " verbatim"));
            TSGIImage out;
            out.Bitmap().Resize(c.Width, c.Height, c.Format);
            if (c.Format == pf8bit) {
                for (int i = 0; i < 256; ++i)
                    out.Bitmap().Palette().push_back({uint8_t(i), uint8_t(255 - i), 7, 0});
            }
            Fill(out.Bitmap());
            out.RunLength = rle;
            TMemoryStream s;
            out.SaveToStream(s);
            EXPECT_EQ(s.Memory()[2], rle ? 1 : 0);
            TSGIImage in;
            Load(in, s.Memory());
            const TBitmap& back = in.Bitmap();
            ASSERT_EQ(back.Width(), c.Width);
            ASSERT_EQ(back.Height(), c.Height);
            // Palette pictures are written as 24 bits; 32-bit ones keep their alpha.
            EXPECT_EQ(back.PixelFormat(), c.Format == pf32bit ? pf32bit : pf24bit);
            for (int32_t y = 0; y < c.Height; ++y)
                for (int32_t x = 0; x < c.Width; ++x)
                    ASSERT_EQ(back.Pixel(x, y), out.Bitmap().Pixel(x, y)) << x << "," << y;
            if (c.Format == pf32bit) {
                for (int32_t y = 0; y < c.Height; ++y)
                    for (int32_t x = 0; x < c.Width; ++x)
                        ASSERT_EQ(back.ScanLine(y)[4 * x + 3], out.Bitmap().ScanLine(y)[4 * x + 3]);
            }
        }
    }
}

TEST(SGIImage, VerbatimFilesHoldRedPlaneFirstAndTheBottomRowFirst) {
    TBitmap p(3, 2, pf24bit);
    p.SetPixel(0, 0, RGB(1, 2, 3));     // top-left
    p.SetPixel(0, 1, RGB(10, 20, 30));  // bottom-left
    std::vector<uint8_t> file;
    EncodeSgi(p, false, file);
    ASSERT_EQ(file.size(), 512u + 3 * 3 * 2);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 12),
              (Bytes{0x01, 0xDA, 0, 1, 0, 3, 0, 3, 0, 2, 0, 3}));
    EXPECT_EQ(file[512], 10);          // red plane, file row 0 = bottom row
    EXPECT_EQ(file[512 + 3], 1);       // red plane, file row 1 = top row
    EXPECT_EQ(file[512 + 6], 20);      // green plane
    EXPECT_EQ(file[512 + 12 + 3], 3);  // blue plane, top row
}

TEST(SGIImage, GrayFilesOfEveryDimensionOpenAsEightBitGray) {
    // Two rows of three pixels, bottom row first in the file.
    const Bytes body = {1, 2, 3, 4, 5, 6};
    for (uint16_t dim : {2, 3}) {
        TSGIImage g;
        Load(g, SgiFile(0, 1, dim, 3, 2, 1, body));
        ASSERT_EQ(g.Bitmap().PixelFormat(), pf8bit);
        EXPECT_EQ(g.Bitmap().ScanLine(0)[0], 4);
        EXPECT_EQ(g.Bitmap().ScanLine(1)[2], 3);
        EXPECT_EQ(g.Bitmap().Palette()[200], (TPaletteEntry{200, 200, 200, 0}));
    }
    TSGIImage row;  // dimension 1: one row whatever the y size says
    Load(row, SgiFile(0, 1, 1, 3, 99, 1, body));
    EXPECT_EQ(row.Bitmap().Height(), 1);
    EXPECT_EQ(row.Bitmap().ScanLine(0)[1], 2);
}

TEST(SGIImage, RunLengthRowsAreCutAtTheWidth) {
    // One gray row of width 4: a repeat packet of 9 is cut to 4 bytes.
    Bytes body(8, 0);
    Put32(body, 0, 520);
    Put32(body, 4, 3);
    body.insert(body.end(), {0x09, 77, 0});
    TSGIImage g;
    Load(g, SgiFile(1, 1, 3, 4, 1, 1, body));
    EXPECT_EQ(Bytes(g.Bitmap().ScanLine(0), g.Bitmap().ScanLine(0) + 4), (Bytes{77, 77, 77, 77}));
}

TEST(SGIImage, MalformedFilesAreRefusedAndLeaveThePictureAsItWas) {
    Bytes table(8, 0);  // one row: start, length
    auto rle = [&](uint32_t at, uint32_t len, Bytes data) {
        Bytes b(8);
        Put32(b, 0, at);
        Put32(b, 4, len);
        b.insert(b.end(), data.begin(), data.end());
        return SgiFile(1, 1, 3, 4, 1, 1, b);
    };
    Bytes shortHeader = SgiFile(0, 1, 3, 1, 1, 1, {});
    shortHeader.resize(300);
    const struct {
        const char* Name;
        Bytes File;
        const char* Message;
    } cases[] = {
        {"empty", {}, "Signature err"},
        {"magic", Bytes{0x01, 0xDB, 0, 1}, "Signature err"},
        {"two bytes per channel", SgiFile(0, 2, 3, 1, 1, 3, Bytes(6)), "BPC Err"},
        {"dimension 4", SgiFile(0, 1, 4, 1, 1, 3, Bytes(3)), "Dimension Err"},
        {"two channels", SgiFile(0, 1, 3, 1, 1, 2, Bytes(2)), "Dimension Err"},
        {"five channels", SgiFile(0, 1, 3, 1, 1, 5, Bytes(5)), "Dimension Err"},
        {"no pixels", SgiFile(0, 1, 3, 0, 5, 3, {}), "SGI picture has no pixels"},
        {"short header", shortHeader, "SGI file truncated"},
        {"verbatim cut", SgiFile(0, 1, 3, 4, 4, 3, Bytes(47)), "SGI file truncated"},
        {"tables cut", SgiFile(1, 1, 3, 4, 100, 3, Bytes(100)), "SGI file truncated"},
        {"row outside", rle(600, 3, {0x04, 1, 0}), "SGI run-length table points outside the file"},
        {"length outside", rle(520, 4, {0x04, 1, 0}),
         "SGI run-length table points outside the file"},
        {"row ends early", rle(520, 3, {0x02, 1, 0}), "SGI run-length row truncated"},
        {"literal cut", rle(520, 3, {0x84, 1, 2}), "SGI run-length row truncated"},
        {"huge", SgiFile(0, 1, 3, 65535, 65535, 4, {}),
         "picture too large: 65535 \u00D7 65535 pixels at 32 bits a pixel take more than the "
         "2048 MiB a picture may use"},
    };
    TSGIImage g;
    Load(g, SgiFile(0, 1, 3, 2, 1, 3, {9, 9, 8, 8, 7, 7}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            Load(g, c.File);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        ASSERT_EQ(g.Bitmap().Width(), 2);
        EXPECT_EQ(g.Bitmap().Pixel(1, 0), RGB(9, 8, 7));
    }
}

TEST(SGIImage, WritersRefuseWhatTheHeaderCannotHoldAndKeepTheOldFile) {
    const fs::path dir = fs::temp_directory_path() / ("tilvo-sgi-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string target = (dir / "old.sgi").string();
    WriteWholeFile(target, "old", 3);
    const struct {
        int32_t Width, Height;
        const char* Message;
    } cases[] = {
        {65536, 1, "SGI pictures are at most 65535 pixels wide and high"},
        {1, 65536, "SGI pictures are at most 65535 pixels wide and high"},
        {0, 0, "Cannot save an empty picture"},
    };
    for (const auto& c : cases) {
        TBitmap p(c.Width, c.Height, pf24bit);
        for (bool rle : {false, true}) {
            std::string message;
            EXPECT_FALSE(SaveSgi(p, target, rle, &message));
            EXPECT_EQ(message, c.Message);
            EXPECT_EQ(ReadWholeFile(target), (Bytes{'o', 'l', 'd'}));
        }
    }
    TBitmap ok(65535, 1, pf24bit);
    std::memset(ok.ScanLine(0), 0, size_t(ok.Stride()));
    EXPECT_TRUE(SaveSgi(ok, target, true));
    EXPECT_EQ(ReadWholeFile(target)[2], 1);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tilvo
