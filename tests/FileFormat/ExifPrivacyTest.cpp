// Orientation on open and in the copied Exif block, and what a copied block must not carry:
// location and personal data, embedded previews. JPEG files and Exif blocks are made here with
// plain libjpeg and a small TIFF builder; results are read back with plain libjpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <span>
#include <filesystem>

#include "ExifTestSupport.h"
#include "FileFormat/ExifBuild.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegVerify.h"
#include "JpegTestSupport.h"

namespace tilvo {
namespace {

using test::FirstApp1;
using test::LibjpegDecode;
using test::LibjpegEncode;
using test::ReadFileBytes;
using test::TTiffBuilder;
using test::WithSegment;
using test::WriteFileBytes;

std::string TempName(const std::string& stem) {
    return ::testing::TempDir() + "tilvo_privacy_" + std::to_string(::getpid()) + "_" + stem;
}

// An upright picture of 4 × 2 flat blocks of 16 × 16 pixels, each its own colour, so any turn
// or mirror shows.
constexpr uint8_t kBlockColours[8][3] = {{200, 60, 60},  {60, 200, 60},  {60, 60, 200},
                                         {190, 190, 60}, {60, 190, 190}, {190, 60, 190},
                                         {40, 40, 40},   {220, 220, 220}};
constexpr int32_t kBlock = 16;

void MakeBlocks(TBitmap& bmp, int32_t block = kBlock) {
    bmp.Resize(4 * block, 2 * block, pf24bit);
    for (int32_t y = 0; y < 2 * block; ++y)
        for (int32_t x = 0; x < 4 * block; ++x) {
            const uint8_t* c = kBlockColours[(y / block) * 4 + x / block];
            std::copy(c, c + 3, bmp.ScanLine(y) + 3 * x);
        }
}

// Where stored pixel (c, r) of a picture stored w × h with Exif Orientation o shows when upright.
void UprightPosition(int o, int32_t c, int32_t r, int32_t w, int32_t h, int32_t& x, int32_t& y) {
    switch (o) {
        case 2:
            x = w - 1 - c, y = r;
            break;
        case 3:
            x = w - 1 - c, y = h - 1 - r;
            break;
        case 4:
            x = c, y = h - 1 - r;
            break;
        case 5:
            x = r, y = c;
            break;
        case 6:
            x = h - 1 - r, y = c;
            break;
        case 7:
            x = h - 1 - r, y = w - 1 - c;
            break;
        case 8:
            x = r, y = w - 1 - c;
            break;
        default:
            x = c, y = r;
    }
}

// The picture as a camera with Orientation o stores it.
void StoreAs(const TBitmap& upright, int o, TBitmap& stored) {
    const bool turned = o >= 5;
    const int32_t w = turned ? upright.Height() : upright.Width();
    const int32_t h = turned ? upright.Width() : upright.Height();
    stored.Resize(w, h, pf24bit);
    for (int32_t r = 0; r < h; ++r)
        for (int32_t c = 0; c < w; ++c) {
            int32_t x = 0, y = 0;
            UprightPosition(o, c, r, w, h, x, y);
            std::copy(upright.ScanLine(y) + 3 * x, upright.ScanLine(y) + 3 * x + 3,
                      stored.ScanLine(r) + 3 * c);
        }
}

// Every block's centre has its colour (B, G, R bytes of `pixels`, `stride` bytes a row).
void ExpectUprightBlocks(const uint8_t* pixels, size_t stride, int32_t w, int32_t h,
                         bool rgb = false) {
    ASSERT_EQ(w, 4 * kBlock);
    ASSERT_EQ(h, 2 * kBlock);
    for (int b = 0; b < 8; ++b) {
        const int32_t x = (b % 4) * kBlock + kBlock / 2, y = (b / 4) * kBlock + kBlock / 2;
        const uint8_t* p = pixels + size_t(y) * stride + 3 * size_t(x);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(p[rgb ? 2 - k : k], kBlockColours[b][k], 24) << "block " << b;
    }
}

// A turned photo opens upright (also through the open path), and its copy with the Exif block
// says Orientation 1, states the saved size and carries a thumbnail of the upright picture.
TEST(ExifOrientation, EveryOrientationOpensUprightAndSavesUpright) {
    RegisterAllFormats();
    TBitmap upright;
    MakeBlocks(upright);
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("Orientation " + std::to_string(o));
        const bool big = o % 2 == 0;
        TBitmap stored;
        StoreAs(upright, o, stored);
        TTiffBuilder b(big);
        b.Ascii(TTiffBuilder::Ifd0, 0x010F, "Maker");
        b.Short(TTiffBuilder::Ifd0, 0x0112, uint16_t(o));
        b.Long(TTiffBuilder::ExifIfd, 0xA002, uint32_t(stored.Width()));
        b.Short(TTiffBuilder::ExifIfd, 0xA003, uint16_t(stored.Height()));
        b.Thumbnail(LibjpegEncode(stored, 90));  // the camera's own thumbnail, stored turned
        const std::vector<uint8_t> seg = b.Build();
        const std::string src = TempName("turned" + std::to_string(o) + ".jpg");
        WriteFileBytes(src, WithSegment(LibjpegEncode(stored), seg));

        TJPEGImage jpeg;
        TMemoryStream in(ReadFileBytes(src));
        jpeg.LoadFromStream(in);
        EXPECT_EQ(jpeg.GetWidth(), 4 * kBlock);
        EXPECT_EQ(jpeg.GetHeight(), 2 * kBlock);
        TBitmap opened;
        LoadPictureFile(src, opened);
        ExpectUprightBlocks(opened.ScanLine(0), size_t(opened.ScanLine(1) - opened.ScanLine(0)),
                            opened.Width(), opened.Height());

        const std::string dst = TempName("upright" + std::to_string(o) + ".jpg");
        ASSERT_TRUE(SaveJpegWithExif(opened, src, dst, 95, 2, true, true, false, false));
        const std::vector<uint8_t> file = ReadFileBytes(dst);
        const test::TLibjpegImage main = LibjpegDecode(file);
        ExpectUprightBlocks(main.Pixels.data(), size_t(main.Width) * 3, main.Width, main.Height,
                            true);
        EXPECT_EQ(ExifOrientationOfJpeg(file.data(), file.size()), 1);
        const std::vector<uint8_t> out = FirstApp1(file);
        const TExifBlockCheck check = CheckExifBlock(ExifBlockOfSegment(out), false);
        ASSERT_TRUE(check.Ok) << check.Problem;
        ASSERT_TRUE(check.HasThumbnail);
        const auto at = out.begin() + 10 + std::ptrdiff_t(check.ThumbnailOffset);
        const std::vector<uint8_t> thumb(at, at + std::ptrdiff_t(check.ThumbnailLength));
        const test::TLibjpegImage t = LibjpegDecode(thumb);
        ExpectUprightBlocks(t.Pixels.data(), size_t(t.Width) * 3, t.Width, t.Height, true);
        std::remove(src.c_str());
        std::remove(dst.c_str());
    }
}

// The 8-bit paths turn one byte a pixel: a decode to 236 gray levels, and one to a palette.
TEST(ExifOrientation, PaletteDecodesTurnToo) {
    TBitmap upright;
    MakeBlocks(upright);
    for (int o : {2, 3, 6, 7, 8}) {
        SCOPED_TRACE("Orientation " + std::to_string(o));
        TBitmap stored;
        StoreAs(upright, o, stored);
        TTiffBuilder b(true);
        b.Short(TTiffBuilder::Ifd0, 0x0112, uint16_t(o));
        TMemoryStream in(WithSegment(LibjpegEncode(stored), b.Build()));
        for (bool gray : {true, false}) {
            TJPEGImage jpeg;
            in.SetPosition(0);
            jpeg.LoadFromStream(in);
            if (gray)
                jpeg.SetGrayscale(true);
            else
                jpeg.SetPixelFormat(TJPEGPixelFormat::jf8Bit);
            TBitmap out;
            jpeg.AssignTo(out);
            SCOPED_TRACE(gray ? "gray" : "palette");
            ASSERT_EQ(out.PixelFormat(), pf8bit);
            out.SetPixelFormat(pf24bit);
            if (!gray) {
                ExpectUprightBlocks(out.ScanLine(0), size_t(out.ScanLine(1) - out.ScanLine(0)),
                                    out.Width(), out.Height());
                continue;
            }
            ASSERT_EQ(out.Width(), 4 * kBlock);
            ASSERT_EQ(out.Height(), 2 * kBlock);
            for (int k = 0; k < 8; ++k) {
                const uint8_t* c = kBlockColours[k];
                const int luma = (299 * c[2] + 587 * c[1] + 114 * c[0]) / 1000;
                const uint8_t* p = out.ScanLine((k / 4) * kBlock + kBlock / 2) +
                                   3 * ((k % 4) * kBlock + kBlock / 2);
                EXPECT_NEAR(p[0], luma, 12) << "block " << k;
            }
        }
    }
}

// Colour noise: a thumbnail of it loses most to JPEG. The save writes one only when it shows the
// picture within what the save's own check allows, and leaves it out otherwise; either way the
// save succeeds and its block holds only the kept tags.
TEST(ExifOrientation, ThumbnailThatCannotShowThePictureIsLeftOut) {
    TBitmap noise;
    noise.Resize(96, 64, pf24bit);
    uint32_t seed = 1;
    for (int32_t y = 0; y < 64; ++y)
        for (int32_t x = 0; x < 3 * 96; ++x) {
            seed = seed * 1664525u + 1013904223u;
            noise.ScanLine(y)[x] = seed >> 31 ? 250 : 5;
        }
    TTiffBuilder b(false);
    b.Ascii(TTiffBuilder::Ifd0, 0x010F, "Maker");
    const std::string src = TempName("noise.jpg"), dst = TempName("noise_out.jpg");
    WriteFileBytes(src, WithSegment(LibjpegEncode(noise), b.Build()));
    ASSERT_TRUE(SaveJpegWithExif(noise, src, dst, 90, 0, true, true, false, false));
    const std::vector<uint8_t> out = FirstApp1(ReadFileBytes(dst));
    const TExifBlockCheck check = CheckExifBlock(ExifBlockOfSegment(out), false);
    ASSERT_TRUE(check.Ok) << check.Problem;
    if (check.HasThumbnail) {
        const auto at = out.begin() + 10 + std::ptrdiff_t(check.ThumbnailOffset);
        const std::vector<uint8_t> thumb(at, at + std::ptrdiff_t(check.ThumbnailLength));
        // It shows the picture as saved (the noise as the JPEG holds it).
        RegisterAllFormats();
        TBitmap saved;
        LoadPictureFile(dst, saved);
        EXPECT_LE(ThumbnailDifference(thumb, saved), kMaxThumbnailDifference);
    }
    std::remove(src.c_str());
    std::remove(dst.c_str());
}

// JPEG data inside a TIFF is turned by the TIFF's own tag only; the switch keeps the stored
// picture, and a value outside 1 ... 8 is no turn.
TEST(ExifOrientation, SwitchOffAndUnknownValuesKeepTheStoredPicture) {
    TBitmap upright, stored;
    MakeBlocks(upright);
    StoreAs(upright, 6, stored);
    for (uint16_t value : {6, 9, 0}) {
        SCOPED_TRACE(value);
        TTiffBuilder b(false);
        b.Short(TTiffBuilder::Ifd0, 0x0112, value);
        const std::vector<uint8_t> file = WithSegment(LibjpegEncode(stored), b.Build());
        TJPEGImage jpeg;
        if (value == 6) jpeg.SetApplyOrientation(false);
        TMemoryStream in(file);
        jpeg.LoadFromStream(in);
        TBitmap out;
        jpeg.AssignTo(out);
        EXPECT_EQ(out.Width(), 2 * kBlock);
        EXPECT_EQ(out.Height(), 4 * kBlock);
    }
}

// A save that does not hold the whole picture carries the Exif block exactly as the save of the
// picture does when no thumbnail is made: the same file, byte for byte, personal data and old
// thumbnail gone, the size stated.
TEST(ExifCarry, WithoutThePictureAsWithItWhenNoThumbnailIsMade) {
    TBitmap picture;
    MakeBlocks(picture);
    TTiffBuilder b(true);
    b.Ascii(TTiffBuilder::Ifd0, 0x013B, "Jane Q. Public");
    b.Long(TTiffBuilder::ExifIfd, 0xA002, 1);
    b.Thumbnail(LibjpegEncode(picture, 80, false));
    const std::string src = TempName("carry_src.jpg");
    WriteFileBytes(src, WithSegment(LibjpegEncode(picture), b.Build()));
    for (const bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "copied" : "not copied");
        TMemoryStream a, c;
        ASSERT_TRUE(EncodeJpegToStream(picture, a, false, 80, false));
        c.Write(a.Memory().data(), int64_t(a.Memory().size()));
        const std::string withPicture = TempName("carry_a.jpg"), sizeOnly = TempName("carry_b.jpg");
        ASSERT_TRUE(SaveEncodedJpegWithExif(picture, a, src, withPicture, false, copy));
        SaveEncodedJpegWithExif(picture.Width(), picture.Height(), c, src, sizeOnly, copy);
        const std::vector<uint8_t> saved = ReadFileBytes(sizeOnly);
        EXPECT_EQ(saved, ReadFileBytes(withPicture));
        EXPECT_EQ(FirstApp1(saved).empty(), !copy);
        const std::string text(saved.begin(), saved.end());
        EXPECT_EQ(text.find("Jane Q. Public"), std::string::npos);
    }
}

// A hostile IFD0 entry count or offset never makes the orientation reader leave the segment.
TEST(ExifOrientation, ReaderStaysInsideHostileSegments) {
    TTiffBuilder b(false);
    b.Short(TTiffBuilder::Ifd0, 0x0112, 6);
    TBitmap blocks;
    MakeBlocks(blocks);
    const std::vector<uint8_t> good = WithSegment(LibjpegEncode(blocks), b.Build());
    ASSERT_EQ(ExifOrientationOfJpeg(good.data(), good.size()), 6);
    const std::vector<uint8_t> seg = FirstApp1(good);
    const size_t app1 = 20;  // SOI + JFIF APP0 (18 bytes)
    ASSERT_EQ(good[app1 + 1], 0xE1);
    // Every cut of the file, and an IFD0 offset and count pointing far away.
    for (size_t cut = 0; cut < app1 + seg.size(); ++cut)
        EXPECT_LE(ExifOrientationOfJpeg(good.data(), cut), 8);
    std::vector<uint8_t> far = good;
    far[app1 + 14] = 0xF0;  // IFD0 offset low byte (little-endian)
    far[app1 + 17] = 0x7F;
    EXPECT_EQ(ExifOrientationOfJpeg(far.data(), far.size()), 1);
    std::vector<uint8_t> many = good;
    many[app1 + 18] = 0xFF;  // IFD0 entry count
    many[app1 + 19] = 0xFF;
    EXPECT_LE(ExifOrientationOfJpeg(many.data(), many.size()), 8);
}

// ------------------------------------------------------------------------------------------
// Location and personal data

struct TPersonalBlock {
    TTiffBuilder Builder;
    std::vector<uint8_t> Segment;
    std::vector<uint8_t> Preview;  // the maker note's JPEG preview
    explicit TPersonalBlock(bool big) : Builder(big) {
        TTiffBuilder& b = Builder;
        using B = TTiffBuilder;
        b.Ascii(B::Ifd0, 0x010F, "Maker");
        b.Ascii(B::Ifd0, 0x0110, "Model X");
        b.Ascii(B::Ifd0, 0x010E, "Birthday party at home");
        b.Ascii(B::Ifd0, 0x013B, "Jane Q. Public");
        b.Ascii(B::Ifd0, 0x8298, "(c) Jane");
        b.Bytes(B::Ifd0, 0x9C9D, 1, {'J', 0, 'a', 0, 'n', 0, 'e', 0, 0, 0});
        b.Bytes(B::Ifd0, 0x9C9C, 1, {'h', 0, 'i', 0});  // inline: four bytes
        b.Bytes(B::Ifd0, 0x9C9B, 1, {'T', 0, 'i', 0, 't', 0, 0, 0});
        b.Bytes(B::Ifd0, 0x9C9E, 1, {'k', 0, 'e', 0, 'y', 0, 0, 0});
        b.Bytes(B::Ifd0, 0x9C9F, 1, {'s', 0, 'u', 0, 'b', 0, 0, 0});
        b.Short(B::Ifd0, 0x0112, 1);
        b.Rationals(B::ExifIfd, 0x829A, {1, 250});  // ExposureTime stays
        b.Bytes(B::ExifIfd, 0x9286, 7, {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'n', 'o', 't', 'e'});
        b.Ascii(B::ExifIfd, 0xA420, "0123456789abcdef0123456789abcdef");
        b.Ascii(B::ExifIfd, 0xA430, "Jane");
        b.Ascii(B::ExifIfd, 0xA431, "SN-00042");
        b.Ascii(B::ExifIfd, 0xA435, "LSN-77");
        TBitmap small;
        MakeBlocks(small);
        Preview = LibjpegEncode(small, 80);
        std::vector<uint8_t> note = {'M', 'a', 'k', 'e', 'r', 0, 1, 2};
        note.insert(note.end(), Preview.begin(), Preview.end());
        note.insert(note.end(), {9, 8, 7});
        b.Bytes(B::ExifIfd, 0x927C, 7, note);
        b.Bytes(B::GpsIfd, 0x0000, 1, {2, 3, 0, 0});
        b.Ascii(B::GpsIfd, 0x0001, "N");
        b.Rationals(B::GpsIfd, 0x0002, {51, 1, 30, 1, 1234, 100});
        b.Ascii(B::GpsIfd, 0x0003, "W");
        b.Rationals(B::GpsIfd, 0x0004, {0, 1, 7, 1, 3960, 100});
        Segment = b.Build();
    }
};

// Blocks whose pointers and counts lead out of the segment, cut at every length or with any
// 4-byte field set to a huge offset: the block built from them reads only inside the source (the
// sanitizer build sees any stray access) and always passes the check, or is nothing.
TEST(ExifPersonalData, HostileBlocksStayInside) {
    const TPersonalBlock block(false);
    const std::span<const uint8_t> whole = ExifBlockOfSegment(block.Segment);
    const auto built = [](std::span<const uint8_t> tiff, bool personal) {
        TExifBuildOptions o;
        o.KeepPersonalData = personal;
        const std::vector<uint8_t> out = BuildExifBlock(tiff, o);
        if (!out.empty()) {
            const TExifBlockCheck check = CheckExifBlock(out, personal);
            EXPECT_TRUE(check.Ok) << check.Problem;
        }
    };
    for (size_t cut = 0; cut <= whole.size(); cut += 3) built(whole.first(cut), cut % 2 == 0);
    for (size_t at = 0; at + 4 <= whole.size(); at += 2) {
        std::vector<uint8_t> tiff(whole.begin(), whole.end());
        tiff[at] = tiff[at + 1] = tiff[at + 2] = tiff[at + 3] = 0xFF;
        built(tiff, at % 4 == 0);
    }
}

// The save path: by default the carried block holds no personal tag and no GPS IFD; with the
// option off they are carried with their values, and the maker note (with its preview) never is.
TEST(ExifPersonalData, SaveRemovesByDefaultAndKeepsOnRequest) {
    const TPersonalBlock block(true);
    TBitmap picture;
    MakeBlocks(picture);
    const std::string src = TempName("personal.jpg");
    WriteFileBytes(src, WithSegment(LibjpegEncode(picture), block.Segment));
    const auto contains = [](const std::vector<uint8_t>& hay, const std::string& needle) {
        return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
    };
    for (bool remove : {true, false}) {
        SCOPED_TRACE(remove ? "remove" : "keep");
        const std::string dst = TempName(remove ? "removed.jpg" : "kept.jpg");
        ASSERT_TRUE(SaveJpegWithExif(picture, src, dst, 90, 0, false, true, false, false, remove));
        const std::vector<uint8_t> file = ReadFileBytes(dst);
        const std::vector<uint8_t> out = FirstApp1(file);
        const TExifBlockCheck check = CheckExifBlock(ExifBlockOfSegment(out), !remove);
        EXPECT_TRUE(check.Ok) << check.Problem;
        EXPECT_TRUE(contains(out, "Model X"));
        for (const char* personal : {"Birthday party at home", "Jane Q. Public", "(c) Jane",
                                     "SN-00042", "LSN-77", "0123456789abcdef"})
            EXPECT_EQ(contains(out, personal), !remove) << personal;
        const std::vector<uint8_t> note = {'M', 'a', 'k', 'e', 'r', 0, 1, 2};
        EXPECT_FALSE(std::search(out.begin(), out.end(), note.begin(), note.end()) != out.end());
        EXPECT_FALSE(std::search(file.begin(), file.end(), block.Preview.end() - 64,
                                 block.Preview.end()) != file.end());
        std::remove(dst.c_str());
    }
    std::remove(src.c_str());
}

}  // namespace
}  // namespace tilvo
