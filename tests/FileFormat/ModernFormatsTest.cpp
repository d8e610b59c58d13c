// HEIC/AVIF and WebP: the WebP writer, and the Exif block of a HEIC, AVIF or WebP carried into a
// JPEG under the same rules as a JPEG's. The readers' pictures are checked against the fixtures in
// tests/data/read/heic and tests/data/read/webp by the generic fixture test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "FileFormat/ExifBuild.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/FileTypes.h"
#include "FileFormat/HEIFImage.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/SaveDispatch.h"
#include "FileFormat/WebPImage.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

const fs::path kData = TILVO_TEST_DATA;

class ModernFormats : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-modern-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

// A smooth picture with a sharp square: what lossy coding keeps well enough to bound the error.
void Paint(TBitmap& picture, int32_t w, int32_t h) {
    picture.Resize(w, h, pf24bit);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const bool square = x >= w / 4 && x < w / 2 && y >= h / 4 && y < h / 2;
            picture.SetPixel(
                x, y,
                square ? RGB(20, 200, 60) : RGB(uint8_t(x * 255 / w), uint8_t(y * 255 / h), 128));
        }
}

// The mean and largest absolute difference of the channels of two pictures of one size.
void Difference(const TBitmap& a, const TBitmap& b, double& mean, int& largest) {
    int64_t sum = 0;
    largest = 0;
    for (int32_t y = 0; y < a.Height(); ++y) {
        const uint8_t *p = a.ScanLine(y), *q = b.ScanLine(y);
        for (int32_t i = 0; i < a.Width() * 3; ++i) {
            const int d = std::abs(int(p[i]) - int(q[i]));
            sum += d;
            largest = std::max(largest, d);
        }
    }
    mean = double(sum) / (double(a.Width()) * a.Height() * 3);
}

std::vector<uint8_t> Bytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Lossless files read back exactly; lossy ones within the stated error (the mean over all channels,
// and the largest, which lossy WebP's halved chroma puts at the square's edges), and a lower
// quality gives a smaller file. Every way in writes the same kind of file: the writer, Save As
// (type "WebP") and Save (by the .webp extension).
TEST_F(ModernFormats, WebPWritesWhatReadsBack) {
    TBitmap source;
    Paint(source, 67, 45);  // odd sizes: rows with padding
    struct TCase {
        const char* Name;
        int32_t Quality;
        bool Lossless;
        int How;  // 0 SaveWebP, 1 Save As, 2 Save by extension
        double MeanError;
        int LargestError;
    } cases[] = {
        {"lossless.webp", 80, true, 0, 0, 0},  {"q95.webp", 95, false, 0, 2.5, 100},
        {"q30.webp", 30, false, 0, 8, 128},    {"saveas.webp", 95, false, 1, 2.5, 100},
        {"saveas_ll.webp", 10, true, 1, 0, 0}, {"save.webp", 80, true, 2, 0, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TSaveOptions o;
        o.WebPQuality = c.Quality;
        o.WebPLossless = c.Lossless;
        const std::string file = Path(c.Name);
        bool ok = false;
        if (c.How == 0) ok = SaveWebP(source, file, c.Quality, c.Lossless);
        if (c.How == 1) ok = SaveAsByType(source, file, sftWEBP, o, "", TExifProbe{});
        if (c.How == 2) ok = SaveByExtension(source, file, o);
        ASSERT_TRUE(ok);
        TBitmap back;
        ASSERT_NO_THROW(LoadPictureFile(file, back));
        ASSERT_EQ(back.Width(), 67);
        ASSERT_EQ(back.Height(), 45);
        double mean = 0;
        int largest = 0;
        Difference(source, back, mean, largest);
        EXPECT_LE(mean, c.MeanError);
        EXPECT_LE(largest, c.LargestError);
    }
    EXPECT_LT(fs::file_size(Path("q30.webp")), fs::file_size(Path("q95.webp")));
}

// A WebP Tilvo writes is the picture alone: a plain RIFF with one VP8 or VP8L chunk and no EXIF,
// XMP or ICCP chunk, whatever the picture came from.
TEST_F(ModernFormats, WrittenWebPCarriesNoMetadata) {
    TBitmap picture;
    LoadPictureFile((kData / "read/webp/exif.webp").string(), picture);
    for (bool lossless : {false, true}) {
        const std::string file = Path("plain.webp");
        ASSERT_TRUE(SaveWebP(picture, file, 80, lossless));
        const std::vector<uint8_t> b = Bytes(file);
        ASSERT_GE(b.size(), 20u);
        EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
        EXPECT_EQ(std::memcmp(b.data() + 8, lossless ? "WEBPVP8L" : "WEBPVP8 ", 8), 0);
        const uint32_t chunk = b[16] | b[17] << 8 | b[18] << 16 | uint32_t(b[19]) << 24;
        EXPECT_EQ(b.size(), 20 + chunk + (chunk & 1)) << "a second chunk follows the picture";
    }
}

// What the writer cannot write fails and leaves the file that was there; depths other than 24
// bits are written as their colours.
TEST_F(ModernFormats, WebPWriterRefusesAndKeepsTheOldFile) {
    const std::string file = Path("keep.webp");
    std::ofstream(file, std::ios::binary) << "old content";
    TBitmap empty, wide(16384, 1), narrowEnough(16383, 1);
    EXPECT_FALSE(SaveWebP(empty, file, 80, false));
    EXPECT_FALSE(SaveWebP(wide, file, 80, true));
    EXPECT_EQ(Bytes(file),
              (std::vector<uint8_t>{'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
        << "a temporary file was left behind";
    std::memset(narrowEnough.ScanLine(0), 90, size_t(narrowEnough.Stride()));
    EXPECT_TRUE(SaveWebP(narrowEnough, Path("edge.webp"), 80, true));

    TBitmap paletted(5, 3, pf8bit);
    paletted.Palette().assign(256, TPaletteEntry{});
    paletted.Palette()[7] = TPaletteEntry{200, 10, 90, 0};
    for (int32_t y = 0; y < 3; ++y) std::memset(paletted.ScanLine(y), 7, 5);
    ASSERT_TRUE(SaveWebP(paletted, Path("pal.webp"), 80, true));
    TBitmap back;
    LoadPictureFile(Path("pal.webp"), back);
    EXPECT_EQ(back.Pixel(4, 2), RGB(200, 10, 90));
}

TEST_F(ModernFormats, MalformedFilesFailWithAMessage) {
    const struct {
        const char* Name;
        std::vector<uint8_t> Bytes;
    } cases[] = {
        {"x.heic", {}},
        {"x.heic", {0, 0, 0, 24, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm',
                    0, 0, 0, 0,  'm', 'p', '4', '1', 'i', 's', 'o', 'm'}},  // an MP4, not a HEIF
        {"x.avif", {0, 0, 0, 16, 'f', 't', 'y', 'p', 'a', 'v', 'i', 'f', 0, 0, 0, 0}},
        {"x.webp", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'E', 'B', 'P'}},
        {"x.webp",
         {'R', 'I', 'F', 'F', 20, 0, 0, 0,    'W',  'E',  'B',  'P', 'V',
          'P', '8', 'L', 5,   0,  0, 0, 0x2F, 0xFF, 0xFF, 0xFF, 0xFF}},  // lossless header, no data
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::unique_ptr<TGraphic> g = CreateGraphicForFile(c.Name);
        TMemoryStream s(c.Bytes);
        try {
            g->LoadFromStream(s);
            ADD_FAILURE() << "opened";
        } catch (const Exception& e) {
            EXPECT_STRNE(e.what(), "");
        }
    }
    // The HEIF class reads only: it never writes an empty file.
    THEIFImage heif;
    TMemoryStream out;
    EXPECT_THROW(heif.SaveToStream(out), EInvalidGraphic);
    EXPECT_EQ(out.Size(), 0);
}

// IFD0's Orientation of a segment; 0 when there is none.
uint32_t Orientation(const std::vector<uint8_t>& seg) {
    const uint8_t* t = seg.data() + 10;
    const bool le = t[0] == 'I';
    auto u16 = [&](size_t at) { return le ? t[at] | t[at + 1] << 8 : t[at] << 8 | t[at + 1]; };
    auto u32 = [&](size_t at) {
        return le ? uint32_t(u16(at) | u16(at + 2) << 16) : uint32_t(u16(at) << 16 | u16(at + 2));
    };
    const uint32_t ifd = u32(4);
    for (uint32_t i = 0, n = u16(ifd); i < n; ++i)
        if (u16(ifd + 2 + i * 12) == 0x0112) return u16(ifd + 2 + i * 12 + 8);
    return 0;
}

// A minimal block: IFD0 with Orientation 6 and one more entry, in either byte order.
std::vector<uint8_t> Block(bool little) {
    auto put16 = [&](std::vector<uint8_t>& v, uint32_t x) {
        if (little)
            v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)});
        else
            v.insert(v.end(), {uint8_t(x >> 8), uint8_t(x)});
    };
    auto put32 = [&](std::vector<uint8_t>& v, uint32_t x) {
        if (little) {
            put16(v, x & 0xFFFF);
            put16(v, x >> 16);
        } else {
            put16(v, x >> 16);
            put16(v, x & 0xFFFF);
        }
    };
    std::vector<uint8_t> b =
        little ? std::vector<uint8_t>{'I', 'I', 42, 0} : std::vector<uint8_t>{'M', 'M', 0, 42};
    put32(b, 8);
    put16(b, 2);
    put16(b, 0x0100), put16(b, 3), put32(b, 1), put16(b, 6), put16(b, 0);  // ImageWidth 6
    put16(b, 0x0112), put16(b, 3), put32(b, 1), put16(b, 6), put16(b, 0);  // Orientation 6
    put32(b, 0);
    return b;
}

// The block a HEIC or WebP carries becomes the segment a JPEG would hold: built anew, upright,
// whatever size the source block has.
TEST(ExifFromModernFormats, BlockBecomesAnUprightSegment) {
    for (bool little : {true, false}) {
        SCOPED_TRACE(little ? "II" : "MM");
        const std::vector<uint8_t> seg = BuildExifSegment(Block(little), {});
        ASSERT_GT(seg.size(), 18u);
        EXPECT_EQ(std::memcmp(seg.data(), "\xFF\xE1", 2), 0);
        EXPECT_EQ(seg[2] << 8 | seg[3], int(seg.size()) - 2);
        EXPECT_EQ(std::memcmp(seg.data() + 4, "Exif\0\0", 6), 0);
        EXPECT_EQ(seg[10], little ? 'I' : 'M');
        EXPECT_EQ(Orientation(seg), 1u);
        EXPECT_TRUE(CheckExifBlock(ExifBlockOfSegment(seg), false).Ok);
    }
    EXPECT_TRUE(BuildExifSegment(std::vector<uint8_t>{'I', 'I', 43, 0, 8, 0, 0, 0}, {}).empty());
    std::vector<uint8_t> big = Block(true);
    big.resize(200000);
    EXPECT_FALSE(BuildExifSegment(big, {}).empty());
}

// A HEIC's and a WebP's Exif block goes through the JPEG save as a JPEG's would: carried over with
// the camera's data, upright, its old thumbnail (a magenta 8 × 6 picture) never carried; made
// again from the saved picture when asked.
TEST_F(ModernFormats, ExifOfHeicAndWebPIsCarriedIntoJpeg) {
    const struct {
        const char* Source;
        int32_t Width, Height;
    } sources[] = {{"read/heic/rotated.heic", 16, 24}, {"read/webp/exif.webp", 24, 16}};
    for (const auto& s : sources) {
        for (bool regenerate : {false, true}) {
            SCOPED_TRACE(std::string(s.Source) + (regenerate ? " regenerated" : " removed"));
            const std::string source = (kData / s.Source).string();
            const TExifProbe probe = ProbeExif(source);
            EXPECT_TRUE(probe.CanCopy);
            EXPECT_TRUE(probe.CanUpdateThumbnail);
            TBitmap picture;
            LoadPictureFile(source, picture);
            ASSERT_EQ(picture.Width(), s.Width);
            TSaveOptions o;
            o.ExifCopy = true;
            o.ExifThumbUpdate = regenerate;
            const std::string out = Path("out.jpg");
            ASSERT_TRUE(SaveAsByType(picture, out, sftJPG, o, source, probe));

            TMemoryStream segment;
            ASSERT_TRUE(ExtractExifSegment(out, segment));
            const std::vector<uint8_t>& seg = segment.Memory();
            const std::string text(seg.begin(), seg.end());
            EXPECT_NE(text.find("TilvoCam"), std::string::npos);
            EXPECT_EQ(Orientation(seg), 1u);
            const TExifBlockCheck check = CheckExifBlock(ExifBlockOfSegment(seg), false);
            ASSERT_TRUE(check.Ok) << check.Problem;
            EXPECT_EQ(check.HasThumbnail, regenerate);
            if (!regenerate) continue;
            const auto at = seg.begin() + 10 + std::ptrdiff_t(check.ThumbnailOffset);
            TMemoryStream thumb(
                std::vector<uint8_t>(at, at + std::ptrdiff_t(check.ThumbnailLength)));
            TJPEGImage jpeg;
            jpeg.LoadFromStream(thumb);
            TBitmap small;
            jpeg.AssignTo(small);
            EXPECT_EQ(small.Width(), s.Width);
            EXPECT_EQ(small.Height(), s.Height);
        }
    }
    // Without an Exif block there is nothing to copy.
    EXPECT_FALSE(ProbeExif((kData / "read/webp/lossy.webp").string()).CanCopy);
    EXPECT_FALSE(ProbeExif((kData / "read/heic/photo.heic").string()).CanCopy);
}

}  // namespace
}  // namespace tilvo
