// The Photoshop reader on files assembled here: how each colour mode and channel count maps to a
// surface, CMYK ink, 16-bit samples, PackBits rows, skipped sections, and refused or broken files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileFormat/PSDImage.h"

namespace tilvo {
namespace {

void PutBE16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void PutBE32(std::vector<uint8_t>& b, uint32_t v) {
    PutBE16(b, v >> 16);
    PutBE16(b, v & 0xFFFF);
}

// A Photoshop file assembled section by section. Planes hold each channel's stored rows (raw
// samples, or PackBits rows when Rows is given).
struct TPsd {
    uint16_t Version = 1;
    uint16_t Channels = 3;
    uint32_t Width = 2;
    uint32_t Height = 2;
    uint16_t Depth = 8;
    uint16_t Mode = 3;
    std::vector<uint8_t> ModeData;
    std::vector<uint8_t> Resources;
    std::vector<uint8_t> Layers;
    uint16_t Compression = 0;
    std::vector<std::vector<uint8_t>> Planes;  // raw: one per channel
    std::vector<std::vector<uint8_t>> Rows;    // PackBits: one per row per channel
    size_t Cut = 0;                            // bytes dropped from the end

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> b = {'8', 'B', 'P', 'S'};
        PutBE16(b, Version);
        b.insert(b.end(), 6, 0);
        PutBE16(b, Channels);
        PutBE32(b, Height);
        PutBE32(b, Width);
        PutBE16(b, Depth);
        PutBE16(b, Mode);
        for (const auto* section : {&ModeData, &Resources, &Layers}) {
            PutBE32(b, uint32_t(section->size()));
            b.insert(b.end(), section->begin(), section->end());
        }
        PutBE16(b, Compression);
        if (!Rows.empty()) {
            for (const auto& row : Rows) PutBE16(b, uint32_t(row.size()));
            for (const auto& row : Rows) b.insert(b.end(), row.begin(), row.end());
        } else {
            for (const auto& plane : Planes) b.insert(b.end(), plane.begin(), plane.end());
        }
        b.resize(b.size() - Cut);
        return b;
    }
};

void Read(const std::vector<uint8_t>& file, TBitmap& picture) {
    ReadPsdFile(file.data(), file.size(), picture);
}

std::string ReadError(const std::vector<uint8_t>& file) {
    try {
        TBitmap picture;
        Read(file, picture);
    } catch (const Exception& e) {
        return e.what();
    }
    return "opened";
}

TEST(PSDImage, ChannelsAndModesPickTheSurface) {
    struct TRow {
        const char* Name;
        uint16_t Mode, Channels;
        TPixelFormat Format;
        TColor FirstPixel;
    };
    // Plane c holds the bytes 10 * (c + 1) + pixel index.
    const TRow rows[] = {
        {"RGB", 3, 3, pf24bit, RGB(10, 20, 30)},
        {"RGB with alpha", 3, 4, pf32bit, RGB(10, 20, 30)},
        {"RGB with two extra channels", 3, 5, pf24bit, RGB(10, 20, 30)},
        {"gray", 1, 1, pf8bit, RGB(10, 10, 10)},
        {"gray with alpha", 1, 2, pf8bit, RGB(10, 10, 10)},
        {"duotone", 8, 1, pf8bit, RGB(10, 10, 10)},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TPsd psd;
        psd.Mode = row.Mode;
        psd.Channels = row.Channels;
        for (int c = 0; c < row.Channels; ++c)
            psd.Planes.push_back({uint8_t(10 * (c + 1)), uint8_t(10 * (c + 1) + 1),
                                  uint8_t(10 * (c + 1) + 2), uint8_t(10 * (c + 1) + 3)});
        TBitmap picture;
        Read(psd.Build(), picture);
        EXPECT_EQ(picture.PixelFormat(), row.Format);
        EXPECT_EQ(picture.Pixel(0, 0), row.FirstPixel);
        if (row.Format == pf32bit) {
            EXPECT_EQ(picture.ScanLine(1)[4 + 3], 43);  // the alpha plane
        }
        if (row.Format == pf24bit) {
            EXPECT_EQ(picture.Pixel(1, 1), RGB(13, 23, 33));
        }
    }
}

TEST(PSDImage, IndexedUsesItsTableAlsoWithAlphaAndALongerModeSection) {
    for (size_t extra : {size_t(0), size_t(300)}) {
        for (uint16_t channels : {1, 2}) {
            SCOPED_TRACE(std::to_string(extra) + " extra bytes, " + std::to_string(channels) +
                         " channels");
            TPsd psd;
            psd.Mode = 2;
            psd.Channels = channels;
            psd.ModeData.assign(768 + extra, 0xEE);  // bytes past the table are not colours
            for (int i = 0; i < 256; ++i) {
                psd.ModeData[size_t(i)] = uint8_t(i);
                psd.ModeData[256 + size_t(i)] = uint8_t(255 - i);
                psd.ModeData[512 + size_t(i)] = uint8_t(i / 2);
            }
            psd.Planes = {{0, 7, 100, 255}, {1, 1, 1, 1}};
            TBitmap picture;
            Read(psd.Build(), picture);
            ASSERT_EQ(picture.PixelFormat(), pf8bit);
            EXPECT_EQ(picture.Pixel(1, 0), RGB(7, 248, 3));
            EXPECT_EQ(picture.Pixel(1, 1), RGB(255, 0, 127));
        }
    }
}

TEST(PSDImage, BitmapModeIsOneBitWhiteThenBlack) {
    TPsd psd;
    psd.Mode = 0;
    psd.Depth = 1;
    psd.Channels = 1;
    psd.Width = 10;
    psd.Height = 1;
    psd.Planes = {{0x80, 0x40}};  // rows of (10 + 7) / 8 bytes
    TBitmap picture;
    Read(psd.Build(), picture);
    ASSERT_EQ(picture.PixelFormat(), pf1bit);
    EXPECT_EQ(picture.Pixel(0, 0), RGB(0, 0, 0));
    EXPECT_EQ(picture.Pixel(1, 0), RGB(255, 255, 255));
    EXPECT_EQ(picture.Pixel(9, 0), RGB(0, 0, 0));
}

TEST(PSDImage, CmykAppliesTheBlackInk) {
    TPsd psd;
    psd.Mode = 4;
    psd.Channels = 4;
    psd.Width = 1;
    psd.Height = 3;
    // Stored inverted: 255 is no ink. Pixel 0 has no ink, pixel 1 full black only, pixel 2 half
    // black over some cyan.
    psd.Planes = {{255, 255, 100}, {255, 255, 255}, {255, 255, 200}, {255, 0, 128}};
    TBitmap picture;
    Read(psd.Build(), picture);
    ASSERT_EQ(picture.PixelFormat(), pf24bit);
    EXPECT_EQ(picture.Pixel(0, 0), RGB(255, 255, 255));
    EXPECT_EQ(picture.Pixel(0, 1), RGB(0, 0, 0));
    EXPECT_EQ(picture.Pixel(0, 2), RGB(50, 128, 100));
}

TEST(PSDImage, SixteenBitSamplesGiveTheirHighByte) {
    TPsd psd;
    psd.Depth = 16;
    psd.Width = 2;
    psd.Height = 1;
    psd.Planes = {{0x12, 0xFF, 0x34, 0x00}, {0x56, 0x00, 0x78, 0xFF}, {0x9A, 0x80, 0xBC, 0x01}};
    TBitmap picture;
    Read(psd.Build(), picture);
    EXPECT_EQ(picture.Pixel(0, 0), RGB(0x12, 0x56, 0x9A));
    EXPECT_EQ(picture.Pixel(1, 0), RGB(0x34, 0x78, 0xBC));
}

TEST(PSDImage, PackBitsRowsAndSkippedSections) {
    TPsd psd;
    psd.Mode = 1;
    psd.Channels = 2;  // the second channel's rows are counted but never decoded
    psd.Width = 3;
    psd.Height = 2;
    psd.Resources.assign(13, 0x55);
    psd.Layers.assign(9, 0x66);
    psd.Compression = 1;
    psd.Rows = {{0xFE, 0x07}, {0x02, 1, 2, 3}, {0x80, 0xFE, 0x09}, {0xFE, 0x09}};
    TBitmap picture;
    Read(psd.Build(), picture);
    EXPECT_EQ(picture.Pixel(2, 0), RGB(7, 7, 7));
    EXPECT_EQ(picture.Pixel(0, 1), RGB(1, 1, 1));
    EXPECT_EQ(picture.Pixel(2, 1), RGB(3, 3, 3));
}

TEST(PSDImage, MalformedAndUnsupportedFilesAreRefused) {
    struct TRow {
        const char* Name;
        void (*Change)(TPsd&);
        const char* Error;
    };
    const TRow rows[] = {
        {"version 2", [](TPsd& p) { p.Version = 2; }, "Version error"},
        {"Lab", [](TPsd& p) { p.Mode = 9; }, "Lab colour Photoshop files are not supported"},
        {"multichannel", [](TPsd& p) { p.Mode = 7; },
         "Multichannel Photoshop files are not supported"},
        {"ZIP", [](TPsd& p) { p.Compression = 2; },
         "ZIP-compressed Photoshop data is not supported"},
        {"ZIP with prediction", [](TPsd& p) { p.Compression = 3; },
         "ZIP-compressed Photoshop data is not supported"},
        {"zero width", [](TPsd& p) { p.Width = 0; }, "Photoshop picture is empty"},
        {"32-bit samples", [](TPsd& p) { p.Depth = 32; }, "Unsupported Photoshop bit depth"},
        {"RGB with one channel", [](TPsd& p) { p.Channels = 1; },
         "Invalid Photoshop channel count"},
        {"huge width", [](TPsd& p) { p.Width = 0x7FFFFFFF; },
         "picture too large: 2147483647 \u00D7 2 pixels, more than 1048576 pixels a side"},
        {"raw plane cut short", [](TPsd& p) { p.Planes[2].pop_back(); },
         "Photoshop file truncated"},
        {"mode section longer than the file",
         [](TPsd& p) {
             p.ModeData.resize(1);
             p.Planes.clear();
         },
         "Photoshop file truncated"},
        {"PackBits counts past the end",
         [](TPsd& p) {
             p.Compression = 1;
             p.Rows.assign(6, {0xFF, 0x07});
             p.Cut = 1;
         },
         "Photoshop file truncated"},
        {"PackBits row shorter than the width",
         [](TPsd& p) {
             p.Compression = 1;
             p.Rows.assign(6, {0xFF, 0x07});
             p.Rows[5] = {0x01, 0x07};  // two literal bytes announced, one given
         },
         "packed data truncated"},
        {"PackBits row running past the width",
         [](TPsd& p) {
             p.Compression = 1;
             p.Rows.assign(6, {0xFD, 0x07});
         },
         "packed run crosses the end of the row"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TPsd psd;
        psd.Planes = {{1, 2, 3, 4}, {1, 2, 3, 4}, {1, 2, 3, 4}};
        row.Change(psd);
        EXPECT_EQ(ReadError(psd.Build()), row.Error);
    }
}

TEST(PSDImage, SignatureErrorsTellAMacintoshHeader) {
    TPsd psd;
    psd.Planes = {{1, 2, 3, 4}, {1, 2, 3, 4}, {1, 2, 3, 4}};
    std::vector<uint8_t> macintosh(128, 0);
    const std::vector<uint8_t> file = psd.Build();
    macintosh.insert(macintosh.end(), file.begin(), file.end());
    EXPECT_EQ(ReadError(macintosh), "with Macintosh resource");
    EXPECT_EQ(ReadError({'8', 'B', 'P'}), "Invalid signature");
}

TEST(PSDImage, AFailedLoadLeavesTheGraphicAsItWas) {
    TPsd good;
    good.Planes = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};
    TPSDImage graphic;
    TMemoryStream first(good.Build());
    graphic.LoadFromStream(first);
    TPsd bad = good;
    bad.Planes[2].pop_back();
    TMemoryStream second(bad.Build());
    EXPECT_THROW(graphic.LoadFromStream(second), Exception);
    EXPECT_EQ(graphic.GetWidth(), 2);
    EXPECT_EQ(graphic.Bitmap().Pixel(1, 1), RGB(4, 8, 12));
    EXPECT_EQ(graphic.Holder()->Stream, good.Build());
}

}  // namespace
}  // namespace tilvo
