// The leak check of saved JPEG files, proven by files it must reject (a stale thumbnail, a preview
// in a maker note, a picture in a comment or after the end) and files it must pass (plain saves,
// saves with a regenerated thumbnail, gray saves). Files are built here with plain libjpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "ExifTestSupport.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegVerify.h"
#include "JpegTestSupport.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;
using test::LibjpegEncode;
using test::MakeTestPicture;
using test::MarkerSegment;
using test::ReadFileBytes;
using test::TTiffBuilder;
using test::WithSegment;
using test::WriteFileBytes;

class JpegVerify : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("tilvo-verify-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        MakeTestPicture(picture_, 200, 150, 3);
        // Another picture: what the photo showed before the mosaic, say.
        MakeTestPicture(other_, 200, 150, 3);
        for (int32_t y = 0; y < 150; ++y)
            for (int32_t x = 0; x < 600; ++x) other_.ScanLine(y)[x] ^= 0xFF;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // The picture with an Exif block whose thumbnail shows `thumbOf`.
    std::vector<uint8_t> WithThumbnail(const TBitmap& thumbOf) const {
        TBitmap small;
        small.Assign(thumbOf);
        ResampleTo(small, 160, 120);
        TTiffBuilder b(false);
        b.Ascii(TTiffBuilder::Ifd0, 0x010F, "Maker");
        b.Thumbnail(LibjpegEncode(small, 90, false));
        return WithSegment(LibjpegEncode(picture_, 90, false), b.Build());
    }
    static void ResampleTo(TBitmap& bmp, int32_t w, int32_t h);
    static TJpegScan Scan(const std::vector<uint8_t>& file, bool thumbnailAllowed = true) {
        TJpegVerifyOptions o;
        o.ThumbnailAllowed = thumbnailAllowed;
        return ScanJpegForLeaks(file.data(), file.size(), o);
    }

    fs::path dir_;
    TBitmap picture_, other_;
};

}  // namespace
}  // namespace tilvo

#include "Effector/Resample.h"

namespace tilvo {
namespace {

void JpegVerify::ResampleTo(TBitmap& bmp, int32_t w, int32_t h) {
    ResampleAreaAverage(bmp, w, h);
}

TEST_F(JpegVerify, PassesPlainSavesAndRegeneratedThumbnails) {
    // The Save command's writer: no Exif, nothing embedded.
    ASSERT_TRUE(WriteJpegFile(picture_, Path("plain.jpg"), false, 80, false));
    TJpegScan scan = Scan(ReadFileBytes(Path("plain.jpg")));
    EXPECT_TRUE(scan.Clean());
    EXPECT_TRUE(scan.Pictures.empty());
    EXPECT_EQ(scan.Width, 200);
    EXPECT_EQ(scan.Height, 150);

    // Save As with the source's Exif block and its thumbnail made again, in colour, gray (the
    // thumbnail stays colour and is compared by luminance), progressive and 4:4:4.
    WriteFileBytes(Path("source.jpg"), WithThumbnail(other_));
    struct Case {
        bool gray, progressive;
        int subsampling;
    };
    for (const Case c :
         {Case{false, false, 0}, Case{true, false, 0}, Case{false, true, 2}, Case{true, true, 2}}) {
        SCOPED_TRACE(std::to_string(c.gray) + std::to_string(c.progressive) +
                     std::to_string(c.subsampling));
        ASSERT_TRUE(SaveJpegWithExif(picture_, Path("source.jpg"), Path("saved.jpg"), 85,
                                     c.subsampling, true, true, c.gray, c.progressive));
        scan = Scan(ReadFileBytes(Path("saved.jpg")));
        EXPECT_TRUE(scan.Clean()) << scan.FirstFinding();
        ASSERT_EQ(scan.Pictures.size(), 1u);
        EXPECT_TRUE(scan.Pictures[0].Thumbnail);
        EXPECT_EQ(scan.Pictures[0].Where, "APP1");
        EXPECT_EQ(scan.Pictures[0].Width, 160);
        EXPECT_EQ(scan.Pictures[0].Height, 120);
        EXPECT_GE(scan.Pictures[0].Difference, 0.0);
        EXPECT_LE(scan.Pictures[0].Difference, 8.0);
    }
}

// Each file carries a picture besides its own; the check names where.
TEST_F(JpegVerify, RejectsEmbeddedPictures) {
    TBitmap small;
    small.Assign(other_);
    ResampleTo(small, 80, 60);
    const std::vector<uint8_t> preview = LibjpegEncode(small, 80);
    const std::vector<uint8_t> plain = LibjpegEncode(picture_, 90, false);

    // A maker note holding a preview (even with the thumbnail fine).
    TTiffBuilder maker(true);
    std::vector<uint8_t> note = {'N', 'o', 't', 'e', 0, 0};
    note.insert(note.end(), preview.begin(), preview.end());
    maker.Bytes(TTiffBuilder::ExifIfd, 0x927C, 7, note);
    const std::vector<uint8_t> makerFile = WithSegment(plain, maker.Build());

    std::vector<uint8_t> afterEoi = plain;
    afterEoi.insert(afterEoi.end(), preview.begin(), preview.end());

    const std::vector<uint8_t> comment = WithSegment(plain, MarkerSegment(0xFE, preview));

    // Garbage where a marker should be, then a picture: scanned as if after the end.
    std::vector<uint8_t> broken = WithSegment(plain, {0x12, 0x34});
    broken.resize(broken.size() - 2);  // no end-of-image marker either
    std::vector<uint8_t> brokenWithPreview(broken.begin(), broken.begin() + 22);
    brokenWithPreview.insert(brokenWithPreview.end(), preview.begin(), preview.end());

    struct Case {
        const char* name;
        const std::vector<uint8_t>* file;
        const char* where;
    };
    for (const Case& c :
         {Case{"maker note", &makerFile, "APP1"}, Case{"after EOI", &afterEoi, "after EOI"},
          Case{"comment", &comment, "COM"},
          Case{"broken markers", &brokenWithPreview, "after broken markers"}}) {
        SCOPED_TRACE(c.name);
        const TJpegScan scan = Scan(*c.file);
        EXPECT_FALSE(scan.Clean());
        ASSERT_EQ(scan.Pictures.size(), 1u);
        EXPECT_TRUE(scan.Pictures[0].Suspicious);
        EXPECT_FALSE(scan.Pictures[0].Thumbnail);
        EXPECT_EQ(scan.Pictures[0].Where, c.where);
        EXPECT_EQ(scan.Pictures[0].Width, 80);
        EXPECT_EQ(scan.Pictures[0].Height, 60);
        EXPECT_NE(scan.FirstFinding().find("besides"), std::string::npos);
    }
}

// A thumbnail of another picture (the photo before its mosaic) differs by far more than 8
// levels; the same thumbnail of this picture passes; and a thumbnail the save did not write fails.
TEST_F(JpegVerify, JudgesTheThumbnailByItsDifference) {
    TJpegScan scan = Scan(WithThumbnail(other_));
    EXPECT_FALSE(scan.Clean());
    ASSERT_EQ(scan.Pictures.size(), 1u);
    EXPECT_TRUE(scan.Pictures[0].Thumbnail);
    EXPECT_GT(scan.Pictures[0].Difference, 8.0);

    const std::vector<uint8_t> fresh = WithThumbnail(picture_);
    scan = Scan(fresh);
    EXPECT_TRUE(scan.Clean()) << scan.FirstFinding();
    ASSERT_EQ(scan.Pictures.size(), 1u);
    EXPECT_LE(scan.Pictures[0].Difference, 8.0);

    scan = Scan(fresh, false);
    EXPECT_FALSE(scan.Clean());
}

// What does not decode is no picture: stray FF D8 FF bytes in a comment pass. Too many of them to
// check is a finding; a file that is no JPEG is an error.
TEST_F(JpegVerify, IgnoresWhatDoesNotDecodeAndBoundsTheWork) {
    const std::vector<uint8_t> plain = LibjpegEncode(picture_, 90, false);
    std::vector<uint8_t> stray;
    for (int i = 0; i < 40; ++i) stray.insert(stray.end(), {0xFF, 0xD8, 0xFF, 0x00, 0x11});
    EXPECT_TRUE(Scan(WithSegment(plain, MarkerSegment(0xFE, stray))).Clean());

    std::vector<uint8_t> many;
    for (int i = 0; i < 300; ++i) many.insert(many.end(), {0xFF, 0xD8, 0xFF});
    const TJpegScan scan = Scan(WithSegment(plain, MarkerSegment(0xFE, many)));
    EXPECT_FALSE(scan.Clean());
    EXPECT_FALSE(scan.Problems.empty());

    const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G'};
    EXPECT_THROW(Scan(png), EInvalidGraphic);
    EXPECT_THROW(Scan({}), EInvalidGraphic);
    // Every cut of a file with a picture after its end is scanned without trouble: clean while
    // the second picture has no complete header, a finding once its first rows can be decoded.
    std::vector<uint8_t> leaky = plain;
    leaky.insert(leaky.end(), plain.begin(), plain.end());
    size_t scanAt = 0;
    while (!(plain[scanAt] == 0xFF && plain[scanAt + 1] == 0xDA)) ++scanAt;
    for (size_t cut = 2; cut < leaky.size(); cut += 37) {
        const std::vector<uint8_t> part(leaky.begin(), leaky.begin() + std::ptrdiff_t(cut));
        const TJpegScan s = Scan(part);
        if (cut <= plain.size() + 2) {
            EXPECT_TRUE(s.Clean()) << cut;
        }
        if (cut >= plain.size() + scanAt + 600) {
            EXPECT_FALSE(s.Clean()) << cut;
        }
    }
}

// The save path: a leaking file is refused before it replaces anything; the old file stays and
// no temporary file is left. A clean one replaces it.
TEST_F(JpegVerify, RefusedSaveLeavesTheOldFile) {
    const std::string target = Path("target.jpg");
    WriteFileBytes(target, {'o', 'l', 'd'});
    std::vector<uint8_t> leaky = LibjpegEncode(picture_, 90, false);
    const std::vector<uint8_t> preview = LibjpegEncode(other_, 50);
    leaky.insert(leaky.end(), preview.begin(), preview.end());
    EXPECT_THROW(WriteVerifiedJpeg(target, picture_, leaky, false), EJpegLeak);
    EXPECT_EQ(ReadFileBytes(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    // A thumbnail where the save wrote none is refused as well.
    EXPECT_THROW(WriteVerifiedJpeg(target, picture_, WithThumbnail(picture_), false), EJpegLeak);
    EXPECT_THROW(WriteVerifiedJpeg(target, picture_, WithThumbnail(other_), true), EJpegLeak);
    EXPECT_EQ(ReadFileBytes(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++files;
    EXPECT_EQ(files, 1u);

    const std::vector<uint8_t> good = WithThumbnail(picture_);
    WriteVerifiedJpeg(target, picture_, good, true);
    EXPECT_EQ(ReadFileBytes(target), good);
}

}  // namespace
}  // namespace tilvo
