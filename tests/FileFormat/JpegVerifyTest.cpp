// The checks of JPEG files: the walk every JPEG save passes before it is written (Tilvo's own
// outputs pass, anything else is named), the local thumbnail difference (Tilvo's thumbnails pass
// beside saves at every quality, a stale one beside a mosaic does not), and the scan behind
// --verify, which finds each planted picture. Files are built here.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ExifTestSupport.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegLossless.h"
#include "FileFormat/JpegVerify.h"
#include "FileFormat/PictureFinder.h"
#include "JpegTestSupport.h"
#include "PlantedJpegs.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;
using test::LibjpegEncode;
using test::MarkerSegment;
using test::ReadFileBytes;
using test::TTiffBuilder;
using test::WithSegment;
using test::WriteFileBytes;

std::vector<uint8_t> Encoded(const TBitmap& picture, int quality, int mode) {
    TMemoryStream m;
    const bool ok = mode == 1 ? EncodeJpegFullChroma(picture, m, false, quality, false)
                              : EncodeJpegToStream(picture, m, mode == 3, quality, mode == 2);
    if (!ok) throw std::runtime_error("encode");
    return m.Memory();
}

void DecodedInto(const std::vector<uint8_t>& file, TBitmap& out) {
    const test::TLibjpegImage im = test::LibjpegDecode(file, JCS_EXT_BGR);
    out.Resize(im.Width, im.Height, pf24bit);
    for (int y = 0; y < im.Height; ++y)
        std::copy_n(&im.Pixels[size_t(y) * size_t(im.Width) * 3], size_t(im.Width) * 3,
                    out.ScanLine(y));
}

// The thumbnail a save makes: the saved picture as DecodeReduced reads it at the size that fits
// 160 x 160, at quality 90, 4:2:0 or 4:4:4, whichever shows it closer.
std::vector<uint8_t> OwnThumbnail(const std::vector<uint8_t>& saved, const TBitmap& picture) {
    const TFitSize size = FitWithin(picture.Width(), picture.Height(), 160, 160);
    TBitmap small;
    if (!DecodeReduced(saved, size.Width, size.Height, small)) throw std::runtime_error("reduce");
    TMemoryStream a, b;
    MakeExifThumbnail(small, a, 90);
    EncodeJpegFullChroma(small, b, false, 90, false);
    return ThumbnailDifference(a.Memory(), small) <= ThumbnailDifference(b.Memory(), small)
               ? a.Memory()
               : b.Memory();
}

std::vector<uint8_t> WithThumbnail(const std::vector<uint8_t>& saved,
                                   const std::vector<uint8_t>& thumbnail) {
    TTiffBuilder b(false);
    b.Ascii(TTiffBuilder::Ifd0, 0x010F, "Maker");
    b.Thumbnail(thumbnail);
    return WithSegment(saved, b.Build());
}

// Pictures of the kinds a thumbnail finds hardest: a photo, noise, colour edges, small mosaic
// cells.
void KindOfPicture(TBitmap& b, int kind, int32_t w, int32_t h) {
    test::MakeTestPicture(b, w, h, 11);
    uint32_t s = 99;
    const auto rnd = [&] { return uint8_t((s = s * 1664525u + 1013904223u) >> 24); };
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* p = b.ScanLine(y) + 3 * x;
            if (kind == 1) p[0] = rnd(), p[1] = rnd(), p[2] = rnd();
            if (kind == 2) {
                const int c = ((x / 7) * 3 + (y / 11) * 5) % 6;
                p[0] = c & 1 ? 255 : 0, p[1] = c & 2 ? 255 : 20, p[2] = c > 3 ? 230 : 0;
            }
        }
    if (kind == 3) {
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) b.ScanLine(y)[3 * x] = rnd();
        test::Mosaic(b, 8);
    }
}

// Thumbnails made as a save makes them pass beside saves at every quality, 4:2:0; at 4:4:4,
// gray and progressive every few qualities. Both checks agree: the one before writing and the
// scan of --verify.
TEST(JpegThumbnail, OwnThumbnailsPassBesideEveryQuality) {
    double worst = 0;
    for (int kind : {0, 2, 3}) {
        TBitmap picture;
        KindOfPicture(picture, kind, kind == 2 ? 120 : 200, kind == 2 ? 90 : 150);
        for (int q = 1; q <= 100; ++q)
            for (int mode = 0; mode < 4; ++mode) {
                if (mode > 0 && q % 9 != 1) continue;
                SCOPED_TRACE("kind " + std::to_string(kind) + " quality " + std::to_string(q) +
                             " mode " + std::to_string(mode));
                const std::vector<uint8_t> saved = Encoded(picture, q, mode);
                const std::vector<uint8_t> thumb = OwnThumbnail(saved, picture);
                const std::vector<uint8_t> file = WithThumbnail(saved, thumb);
                const TJpegScan scan = ScanJpegForLeaks(file.data(), file.size(), {});
                ASSERT_EQ(scan.Pictures.size(), 1u);
                EXPECT_TRUE(scan.Clean()) << scan.FirstFinding();
                worst = std::max(worst, scan.Pictures[0].Difference);
                if (q % 9 == 1) {
                    TJpegExpectations e;
                    e.Thumbnail = thumb;
                    e.ThumbnailKnown = true;
                    e.PersonalAllowed = true;
                    const TOwnJpegCheck c = CheckOwnJpeg(file, e);
                    EXPECT_TRUE(c.Ok) << c.Problem;
                }
            }
    }
    EXPECT_GT(worst, 1.0);  // the measure sees the thumbnail's own encoding
    RecordProperty("WorstDifference", std::to_string(worst));
}

// The mosaic keeps each region's mean colour: a thumbnail of the picture before its mosaic is
// close on average and far in places.
TEST(JpegThumbnail, StaleThumbnailBesideMosaicExceedsTheBound) {
    TBitmap face, mosaicked;
    test::MakeFacePicture(face, 640, 480);
    mosaicked.Assign(face);
    test::Mosaic(mosaicked, 32, 160, 80, 320, 320);  // the face
    const std::vector<uint8_t> saved = Encoded(mosaicked, 85, 0);
    TBitmap stale;
    stale.Assign(face);
    ResampleAreaAverage(stale, 160, 120);
    TMemoryStream staleJpeg;
    EncodeJpegFullChroma(stale, staleJpeg, false, 90, false);

    TBitmap reduced;
    DecodedInto(saved, reduced);
    ResampleAreaAverage(reduced, 160, 120);
    // The mean over the whole thumbnail stays small...
    TBitmap decodedStale;
    DecodedInto(staleJpeg.Memory(), decodedStale);
    uint64_t sum = 0;
    for (int32_t y = 0; y < 120; ++y)
        for (int32_t x = 0; x < 480; ++x)
            sum += uint64_t(std::abs(decodedStale.ScanLine(y)[x] - reduced.ScanLine(y)[x]));
    EXPECT_LT(double(sum) / (160.0 * 120 * 3), 8.0);
    // ...the local difference does not.
    const double local = ThumbnailDifference(staleJpeg.Memory(), reduced);
    EXPECT_GT(local, 2 * kMaxThumbnailDifference);

    const std::vector<uint8_t> file = WithThumbnail(saved, staleJpeg.Memory());
    const TJpegScan scan = ScanJpegForLeaks(file.data(), file.size(), {});
    EXPECT_FALSE(scan.Clean());
    EXPECT_NE(scan.FirstFinding().find("differs from the picture"), std::string::npos)
        << scan.FirstFinding();
    TJpegExpectations e;
    e.ThumbnailAllowed = true;
    const TOwnJpegCheck c = CheckOwnJpeg(file, e);
    EXPECT_FALSE(c.Ok);
    EXPECT_NE(c.Problem.find("differs from the picture"), std::string::npos) << c.Problem;
    // The same thumbnail made from the saved picture passes.
    EXPECT_TRUE(CheckOwnJpeg(WithThumbnail(saved, OwnThumbnail(saved, mosaicked)), e).Ok);
}

class JpegVerify : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("tilvo-verify-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        test::MakeFacePicture(hidden_, 256, 192);
        picture_.Assign(hidden_);
        test::Mosaic(picture_, 32, 64, 32, 128, 128);  // the face
    }
    void TearDown() override {
        ::chmod(dir_.c_str(), 0755);
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
    TBitmap picture_, hidden_;
};

// What Tilvo's writers produce passes the walk: every encoder, and the lossless save.
TEST_F(JpegVerify, OwnOutputsPassTheWalk) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    for (int mode = 0; mode < 4; ++mode)
        for (int q : {1, 50, 100})
            files.push_back({"mode " + std::to_string(mode) + " q" + std::to_string(q),
                             Encoded(picture_, q, mode)});
    const std::vector<uint8_t> source = Encoded(hidden_, 90, 0);
    TBitmap original;
    DecodedInto(source, original);
    TMemoryStream lossless;
    ASSERT_TRUE(SaveJpegKeepingUntouched(source, picture_, original, 0, false, lossless));
    files.push_back({"lossless", lossless.Memory()});
    ASSERT_TRUE(WriteJpegFile(picture_, Path("plain.jpg"), true, 75, false));
    files.push_back({"WriteJpegFile", ReadFileBytes(Path("plain.jpg"))});
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        TJpegExpectations e;
        e.ThumbnailKnown = true;
        e.Width = 256;
        e.Height = 192;
        const TOwnJpegCheck c = CheckOwnJpeg(bytes, e);
        EXPECT_TRUE(c.Ok) << c.Problem;
        EXPECT_TRUE(c.Problem.empty());
        const TJpegScan scan = ScanJpegForLeaks(bytes.data(), bytes.size(), {});
        EXPECT_TRUE(scan.Clean()) << scan.FirstFinding();
        EXPECT_TRUE(scan.NotAsTilvoWrites.empty()) << scan.NotAsTilvoWrites;
    }
}

// The Save As writer's thumbnail passes its own check and --verify's at any quality, for a
// picture of sharp colour edges reduced by a quarter-scale read.
TEST_F(JpegVerify, SavedThumbnailsPassBothChecks) {
    TBitmap colour;
    KindOfPicture(colour, 2, 700, 500);
    WriteFileBytes(Path("source.jpg"),
                   WithThumbnail(Encoded(colour, 90, 0), Encoded(picture_, 50, 0)));
    for (int q : {1, 20, 60, 100})
        for (int subsampling : {0, 2}) {
            SCOPED_TRACE(std::to_string(q) + " " + std::to_string(subsampling));
            ASSERT_TRUE(SaveJpegWithExif(colour, Path("source.jpg"), Path("saved.jpg"), q,
                                         subsampling, true, true, false, false));
            const std::vector<uint8_t> saved = ReadFileBytes(Path("saved.jpg"));
            const TJpegScan scan = ScanJpegForLeaks(saved.data(), saved.size(), {});
            EXPECT_TRUE(scan.Clean()) << scan.FirstFinding();
            ASSERT_EQ(scan.Pictures.size(), 1u);
            EXPECT_TRUE(scan.Pictures[0].Thumbnail);
        }
}

// Anything a save does not write is refused by name and place.
TEST_F(JpegVerify, WalkNamesWhatTilvoDoesNotWrite) {
    const std::vector<uint8_t> plain = Encoded(picture_, 80, 0);
    ASSERT_TRUE(plain[2] == 0xFF && plain[3] == 0xE0);  // its JFIF segment: 20 bytes to the next
    const auto at20 = [&](const std::vector<uint8_t>& segment) {
        std::vector<uint8_t> f = plain;
        f.insert(f.begin() + 20, segment.begin(), segment.end());
        return f;
    };
    size_t dqt = 2, dht = 2;
    while (!(plain[dqt] == 0xFF && plain[dqt + 1] == 0xDB)) ++dqt;
    while (!(plain[dht] == 0xFF && plain[dht + 1] == 0xC4)) ++dht;
    const auto grown = [&](size_t at, size_t extra) {
        std::vector<uint8_t> f = plain;
        const size_t len = (size_t(f[at + 2]) << 8 | f[at + 3]) + extra;
        f[at + 2] = uint8_t(len >> 8), f[at + 3] = uint8_t(len);
        f.insert(f.begin() + std::ptrdiff_t(at + 4), extra, 0x11);
        return f;
    };
    std::vector<uint8_t> afterEoi = plain;
    afterEoi.insert(afterEoi.end(), {'P', 'K', 3, 4});
    std::vector<uint8_t> fill = plain;
    fill.insert(fill.begin() + 20, 0xFF);
    std::vector<uint8_t> cut(plain.begin(), plain.end() - 2);
    std::vector<uint8_t> jfifThumb = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 9, 9, 9};
    std::vector<uint8_t> xmp(std::begin("http://ns.adobe.com/xap/1.0/"),
                             std::end("http://ns.adobe.com/xap/1.0/"));
    xmp.push_back('<');
    const std::vector<uint8_t> thumb = OwnThumbnail(plain, picture_);
    const std::vector<uint8_t> withThumb = WithThumbnail(plain, thumb);
    std::vector<uint8_t> otherThumb = thumb;
    otherThumb[otherThumb.size() - 10] ^= 1;

    struct Case {
        std::string name;
        std::vector<uint8_t> file;
        std::string problem;
        bool thumbnailKnown = true;
        std::vector<uint8_t> thumbnail = {};
    };
    const std::vector<Case> cases = {
        {"comment", at20(MarkerSegment(0xFE, {'h', 'i'})), "a COM segment at offset 20"},
        {"APP2", at20(MarkerSegment(0xE2, {'I', 'C', 'C'})), "an APP2 segment at offset 20"},
        {"XMP", at20(MarkerSegment(0xE1, xmp)), "an APP1 segment that is not Exif at offset 20"},
        {"second JFIF", at20(std::vector<uint8_t>(plain.begin() + 2, plain.begin() + 20)),
         "a second APP0 segment at offset 20"},
        {"JFIF thumbnail", at20(MarkerSegment(0xE0, jfifThumb)), "a JFIF thumbnail at offset 20"},
        {"unknown marker", at20(MarkerSegment(0xF0, {1, 2})), "marker FF F0 at offset 20"},
        {"fill bytes", fill, "fill bytes before a marker at offset 20"},
        {"DQT with more than its tables", grown(dqt, 10), "a DQT segment"},
        {"DHT with more than its tables", grown(dht, 3), "a DHT segment"},
        {"data after EOI", afterEoi,
         "4 bytes after the end-of-image marker at offset " + std::to_string(plain.size())},
        {"no EOI", cut, "the end of the file inside the scan data"},
        {"a second SOI", at20({0xFF, 0xD8}), "a segment of SOI at offset 20"},
        {"a thumbnail not written", withThumb, "an Exif thumbnail the save did not write"},
        {"another thumbnail", WithThumbnail(plain, otherThumb),
         "an Exif thumbnail other than the one written", true, thumb},
        {"Exif block without the thumbnail", WithThumbnail(plain, {}),
         "without the thumbnail written", true, thumb},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TJpegExpectations e;
        e.ThumbnailKnown = c.thumbnailKnown;
        e.Thumbnail = c.thumbnail;
        e.PersonalAllowed = true;
        const TOwnJpegCheck r = CheckOwnJpeg(c.file, e);
        EXPECT_FALSE(r.Ok);
        EXPECT_NE(r.Problem.find(c.problem), std::string::npos) << r.Problem;
    }
    // The thumbnail written, byte for byte, passes; the frame must be the picture's size.
    TJpegExpectations e;
    e.Thumbnail = thumb;
    e.ThumbnailKnown = true;
    e.PersonalAllowed = true;
    EXPECT_TRUE(CheckOwnJpeg(withThumb, e).Ok) << CheckOwnJpeg(withThumb, e).Problem;
    e.Width = 255;
    EXPECT_NE(CheckOwnJpeg(withThumb, e).Problem.find("256 x 192 pixels instead of 255"),
              std::string::npos);
}

// A refused save leaves the old file, in a folder Tilvo can write to (a temporary file beside
// it, never renamed) and in one it cannot (the file rewritten in place only once checked); no
// temporary file is left. A clean one replaces it.
TEST_F(JpegVerify, RefusedSaveLeavesTheOldFile) {
    const std::string target = Path("target.jpg");
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    WriteFileBytes(target, old);
    std::vector<uint8_t> leaky = Encoded(picture_, 90, 0);
    const std::vector<uint8_t> good = leaky;
    leaky.insert(leaky.end(), good.begin(), good.end());
    EXPECT_THROW(WriteVerifiedJpeg(target, picture_, leaky, false), EJpegLeak);
    EXPECT_EQ(ReadFileBytes(target), old);
    const std::vector<uint8_t> withThumb = WithThumbnail(good, OwnThumbnail(good, picture_));
    EXPECT_THROW(WriteVerifiedJpeg(target, picture_, withThumb, false), EJpegLeak);
    {
        TSafeFileStream file(target);
        file.Write(leaky.data(), int64_t(leaky.size()));
        EXPECT_THROW(CommitVerifiedJpeg(file, picture_, false), EJpegLeak);
    }
    EXPECT_EQ(ReadFileBytes(target), old);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
    EXPECT_EQ(files, 1u);
    try {
        WriteVerifiedJpeg(target, picture_, leaky, false);
    } catch (const EJpegLeak& e) {
        EXPECT_NE(std::string(e.what()).find("The JPEG file was not saved: it would carry"),
                  std::string::npos);
        EXPECT_NE(std::string(e.what()).find("after the end-of-image marker"), std::string::npos)
            << e.what();
    }
    // In place: the folder cannot be written (root may write anyway; the check comes first).
    ::chmod(dir_.c_str(), 0555);
    {
        TSafeFileStream file(target);
        file.Write(leaky.data(), int64_t(leaky.size()));
        EXPECT_THROW(CommitVerifiedJpeg(file, picture_, false), EJpegLeak);
    }
    ::chmod(dir_.c_str(), 0755);
    EXPECT_EQ(ReadFileBytes(target), old);

    WriteVerifiedJpeg(target, picture_, good, false);
    EXPECT_EQ(ReadFileBytes(target), good);
}

// Each planted picture is found, named, and makes the file suspicious; the file without it is
// clean.
TEST_F(JpegVerify, FindsEveryPlantedPicture) {
    const std::vector<uint8_t> saved = Encoded(picture_, 85, 0);
    const TJpegScan clean = ScanJpegForLeaks(saved.data(), saved.size(), {});
    EXPECT_TRUE(clean.Clean()) << clean.FirstFinding();
    EXPECT_EQ(clean.Width, 256);
    for (const test::TPlanted& p : test::PlantedFiles(saved, hidden_, picture_)) {
        SCOPED_TRACE(p.Name);
        const TJpegScan scan = ScanJpegForLeaks(p.File.data(), p.File.size(), {});
        EXPECT_FALSE(scan.Clean());
        std::string all;
        for (const TEmbeddedPicture& e : scan.Pictures)
            all += e.Kind + " " + std::to_string(e.Width) + " x " + std::to_string(e.Height) +
                   " in " + e.Where + ": " + e.Reason + "\n";
        for (const std::string& problem : scan.Problems) all += problem + "\n";
        EXPECT_NE(all.find(p.Finding), std::string::npos) << all;
    }
}

// Stray signatures are no pictures: a header must parse as at least 8 x 8. Too many places to
// check is a finding; a file that is no JPEG is an error; every cut of a planted file is scanned
// without trouble.
TEST_F(JpegVerify, BoundsTheWork) {
    const std::vector<uint8_t> plain = Encoded(picture_, 80, 0);
    std::vector<uint8_t> stray;
    for (int i = 0; i < 40; ++i)
        stray.insert(stray.end(), {0xFF, 0xD8, 0xFF, 0x00, 0x11, 'G', 'I', 'F', '8', '9', 'a', 4, 0,
                                   4,    0,    0x89, 'P',  'N',  'G', 'B', 'M', 'I', 'I', 42,  0});
    EXPECT_TRUE(ScanJpegForLeaks(WithSegment(plain, MarkerSegment(0xFE, stray)).data(),
                                 WithSegment(plain, MarkerSegment(0xFE, stray)).size(), {})
                    .Clean());
    std::vector<uint8_t> many;
    for (int i = 0; i < 20000; ++i) many.insert(many.end(), {0xFF, 0xD8, 0xFF});
    const std::vector<uint8_t> crowded = WithSegment(plain, MarkerSegment(0xFE, many));
    TJpegVerifyOptions o;
    o.MaxCandidates = 1000;
    const TJpegScan scan = ScanJpegForLeaks(crowded.data(), crowded.size(), o);
    EXPECT_FALSE(scan.Clean());
    ASSERT_FALSE(scan.Problems.empty());
    EXPECT_NE(scan.Problems.front().find("more than 1000"), std::string::npos);

    const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G'};
    EXPECT_THROW(ScanJpegForLeaks(png.data(), png.size(), {}), EInvalidGraphic);
    EXPECT_THROW(ScanJpegForLeaks(nullptr, 0, {}), EInvalidGraphic);
    const std::vector<test::TPlanted> planted = test::PlantedFiles(plain, hidden_, picture_);
    for (const test::TPlanted& p : planted)
        for (size_t cut = 2; cut < p.File.size(); cut += 997) {
            const TJpegScan s = ScanJpegForLeaks(p.File.data(), cut, {});
            for (const TEmbeddedPicture& e : s.Pictures) EXPECT_LT(size_t(e.Offset), cut);
        }
}

// Every JPEG that once broke a reader or the scan is scanned: whatever it lists lies inside it.
TEST(JpegVerifyCrashers, FindingsLieInsideTheFile) {
    const fs::path dir = fs::path(TILVO_TEST_DATA) / "crashers";
    int scanned = 0;
    for (const auto& f : fs::directory_iterator(dir)) {
        if (f.path().extension() != ".jpg") continue;
        SCOPED_TRACE(f.path().filename().string());
        const std::vector<uint8_t> d = ReadFileBytes(f.path().string());
        try {
            const TJpegScan scan = ScanJpegForLeaks(d.data(), d.size(), {});
            for (const TEmbeddedPicture& p : scan.Pictures) {
                EXPECT_GE(p.Offset, 0);
                EXPECT_LT(size_t(p.Offset), d.size());
            }
            for (const TJpegCarrier& c : scan.Carriers)
                EXPECT_LE(size_t(c.Offset + c.Size), d.size());
            EXPECT_EQ(scan.Clean(), scan.FirstFinding().empty());
            ++scanned;
        } catch (const EInvalidGraphic&) {
        }
    }
    EXPECT_GT(scanned, 0);
}

// The TIFF walker follows each IFD once and stays inside the block.
TEST(PictureFinder, TiffWalkerSurvivesLoopsAndLies) {
    TTiffBuilder b(false);
    b.Ascii(TTiffBuilder::Ifd0, 0x010F, "Maker");
    b.Long(TTiffBuilder::ExifIfd, 0x8769, 8);  // the Exif IFD points back to IFD0
    std::vector<uint8_t> seg = b.Build();
    const std::vector<uint8_t> block(seg.begin() + 10, seg.end());
    const TTiffWalk walk = WalkTiff(block);
    EXPECT_TRUE(walk.Valid);
    EXPECT_EQ(walk.Ifds.size(), 2u);
    ASSERT_FALSE(walk.Problems.empty());
    EXPECT_NE(walk.Problems.front().find("already read"), std::string::npos);
    // A count of entries far beyond the block.
    std::vector<uint8_t> lie = block;
    lie[8] = 0xFF, lie[9] = 0xFF;
    const TTiffWalk cut = WalkTiff(lie);
    EXPECT_FALSE(cut.Problems.empty());
}

}  // namespace
}  // namespace tilvo
