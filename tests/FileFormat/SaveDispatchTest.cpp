// Save As by type and Save by extension: each id reaches its writer with its options, ids without a
// writer fail without writing, and the written files are what their readers expect.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "FileFormat/ExifJpeg.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/SaveDispatch.h"
#include "FileFormat/Stream.h"
#include "JpegTestSupport.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

class SaveDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-dispatch-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        picture_.Resize(37, 21, pf24bit);
        for (int y = 0; y < 21; ++y)
            for (int x = 0; x < 37; ++x)
                picture_.SetPixel(x, y, RGB(uint8_t(x * 6), uint8_t(y * 12), 90));
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static std::vector<uint8_t> Head(const std::string& path, size_t n) {
        std::vector<uint8_t> all = ReadWholeFile(path);
        all.resize(std::min(n, all.size()));
        return all;
    }

    fs::path dir_;
    TBitmap picture_;
};

TEST_F(SaveDispatch, SaveAsWritesEachTypeWithItsWriter) {
    const struct {
        int32_t type;
        const char* name;
        std::vector<uint8_t> magic;
    } cases[] = {
        {1, "a.jpg", {0xFF, 0xD8, 0xFF, 0xE0}},
        {2, "a.png", {0x89, 'P', 'N', 'G'}},
        {3, "a.bmp", {'B', 'M'}},
        {4, "a.gif", {'G', 'I', 'F', '8'}},
        {5, "a.tga", {0, 0, 2}},  // true colour, no map, not run-length encoded
        {8, "a.ppm", {'P', '6', '\n'}},
        {9, "a.pgm", {'P', '5', '\n'}},
        {10, "a.pbm", {'P', '4', '\n'}},
        {6, "a.sgi", {0x01, 0xDA, 0, 1}},  // verbatim storage, one byte per channel
        {7, "a.pcx", {10, 5, 1, 8}},
        {12, "a.dcr", {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0}},
        {0x80 | 2, "b.png", {0x89, 'P', 'N', 'G'}},  // only the low 7 bits choose the writer
        {13, "a.webp", {'R', 'I', 'F', 'F'}},
    };
    TSaveOptions options;
    for (const auto& c : cases) {
        ASSERT_TRUE(SaveAsByType(picture_, Path(c.name), c.type, options, "", TExifProbe{}))
            << c.name;
        EXPECT_EQ(Head(Path(c.name), c.magic.size()), c.magic) << c.name;
        TBitmap back;
        LoadPictureFile(Path(c.name), back);
        EXPECT_EQ(back.Width(), 37);
        EXPECT_EQ(back.Height(), 21);
    }
}

TEST_F(SaveDispatch, TypesWithoutAWriterFailAndWriteNothing) {
    TSaveOptions options;
    for (int32_t type : {0, 14, 127}) {
        const std::string target = Path(std::to_string(type) + ".out");
        EXPECT_FALSE(SaveAsByType(picture_, target, type, options, "", TExifProbe{})) << type;
        EXPECT_FALSE(fs::exists(target)) << type;
    }
    for (const char* name :
         {"x.tif", "x.psd", "x.ico", "x.pic", "x.raw", "x.heic", "x.avif", "noextension", "x.jpg.bak"}) {
        EXPECT_FALSE(SaveByExtension(picture_, Path(name), options)) << name;
        EXPECT_FALSE(fs::exists(Path(name))) << name;
    }
}

TEST_F(SaveDispatch, SgiRunLengthOptionReachesTheWriterFromBothCommands) {
    TSaveOptions options;
    options.SGIRLECompression = true;
    ASSERT_TRUE(SaveAsByType(picture_, Path("a.sgi"), 6, options, "", TExifProbe{}));
    ASSERT_TRUE(SaveByExtension(picture_, Path("b.rgb"), options));
    for (const char* name : {"a.sgi", "b.rgb"}) {
        EXPECT_EQ(Head(Path(name), 3), (std::vector<uint8_t>{0x01, 0xDA, 1})) << name;
        TBitmap back;
        LoadPictureFile(Path(name), back);
        EXPECT_EQ(back.Pixel(36, 20), picture_.Pixel(36, 20)) << name;
    }
}

TEST_F(SaveDispatch, SaveRewritesByExtensionWithTheStoredOptions) {
    TSaveOptions options;
    options.JPEGQuality = 30;
    const std::string jpeg = Path("photo.JPEG");
    ASSERT_TRUE(SaveByExtension(picture_, jpeg, options));
    const auto lowQuality = fs::file_size(jpeg);
    options.JPEGQuality = 100;
    ASSERT_TRUE(SaveByExtension(picture_, jpeg, options));
    EXPECT_GT(fs::file_size(jpeg), lowQuality);  // the stored quality reaches the writer
    EXPECT_EQ(Head(jpeg, 4), (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0}));

    for (const char* name :
         {"p.png", "b.bmp", "b.dib", "g.gif", "s.sgi", "s.RGBA", "x.pcx", "m.mag", "r.dcr"}) {
        ASSERT_TRUE(SaveByExtension(picture_, Path(name), options)) << name;
        EXPECT_GT(fs::file_size(Path(name)), 0u);
    }
    // The side formats by extension, with the stored Targa option.
    options.TGARLECompression = true;
    const struct {
        const char* name;
        std::vector<uint8_t> magic;
    } sides[] = {
        {"c.ppm", {'P', '6'}}, {"c.pgm", {'P', '5'}}, {"c.pbm", {'P', '4'}},
        {"c.tga", {0, 0, 10}}, {"c.VST", {0, 0, 10}}, {"c.icb", {0, 0, 10}},
        {"c.vda", {0, 0, 10}},
    };
    for (const auto& c : sides) {
        ASSERT_TRUE(SaveByExtension(picture_, Path(c.name), options)) << c.name;
        EXPECT_EQ(Head(Path(c.name), c.magic.size()), c.magic) << c.name;
    }
    TBitmap back;
    LoadPictureFile(Path("b.bmp"), back);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 37; ++x) ASSERT_EQ(back.Pixel(x, y), picture_.Pixel(x, y));
}

TEST_F(SaveDispatch, ARefusingWriterHandsItsReasonBackAndKeepsTheOldFile) {
    // 70000 pixels do not fit Targa's 16-bit width field: the writer refuses instead of cutting.
    TBitmap wide(70000, 1, pf24bit);
    const std::string target = Path("old.tga");
    WriteWholeFile(target, "old", 3);
    TSaveOptions options;
    std::string why;
    EXPECT_FALSE(SaveAsByType(wide, target, 5, options, "", TExifProbe{}, &why));
    EXPECT_NE(why.find("65535"), std::string::npos) << why;
    why.clear();
    EXPECT_FALSE(SaveByExtension(wide, target, options, &why));
    EXPECT_NE(why.find("65535"), std::string::npos) << why;
    EXPECT_EQ(ReadWholeFile(target), (std::vector<uint8_t>{'o', 'l', 'd'}));

    // An empty picture has nothing to write in any variant.
    TBitmap empty;
    const std::string pnm = Path("old.ppm");
    WriteWholeFile(pnm, "old", 3);
    for (int32_t type : {8, 9, 10}) {
        why.clear();
        EXPECT_FALSE(SaveAsByType(empty, pnm, type, options, "", TExifProbe{}, &why)) << type;
        EXPECT_FALSE(why.empty()) << type;
    }
    EXPECT_EQ(ReadWholeFile(pnm), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2)
        << "no temporary file is left behind";
}

// What a written file shows of the options it was written with, by name: one entry per option
// the writer takes, so that an option reaching the wrong parameter changes the wrong entry.
using TSignature = std::map<std::string, int>;

// The quality whose luminance table the file carries (libjpeg's tables, forced to baseline), or
// -1 when none matches.
int JpegQualityOf(const std::array<uint16_t, 64>& table) {
    static const std::vector<std::array<uint16_t, 64>> tables = [] {
        std::vector<std::array<uint16_t, 64>> t;
        for (int q = 1; q <= 100; ++q) t.push_back(test::LibjpegQualityTables(q)[0]);
        return t;
    }();
    for (int q = 1; q <= 100; ++q)
        if (tables[size_t(q - 1)] == table) return q;
    return -1;
}

// The first JPEG stream (FF D8 … FF D9) inside an Exif segment: its thumbnail; empty when none.
std::vector<uint8_t> EmbeddedJpeg(const std::vector<uint8_t>& segment) {
    static const uint8_t soi[] = {0xFF, 0xD8, 0xFF}, eoi[] = {0xFF, 0xD9};
    const auto start = std::search(segment.begin(), segment.end(), std::begin(soi), std::end(soi));
    if (start == segment.end()) return {};
    const auto end = std::search(start, segment.end(), std::begin(eoi), std::end(eoi));
    if (end == segment.end()) return {};
    return {start, end + 2};
}

std::vector<uint8_t> ExifSegmentOf(const std::string& file) {
    TMemoryStream segment;
    if (!ExtractExifSegment(file, segment)) return {};
    return segment.Memory();
}

TSignature ObserveJpeg(const std::string& file, const std::vector<uint8_t>& sourceThumbnail) {
    const test::TLibjpegImage jpeg = test::LibjpegDecode(ReadWholeFile(file));
    const std::vector<uint8_t> exif = ExifSegmentOf(file);
    const std::vector<uint8_t> thumbnail = EmbeddedJpeg(exif);
    return {{"quality", JpegQualityOf(jpeg.Quant[jpeg.QuantTable[0]])},
            {"luma sampling", jpeg.HSamp[0] * 10 + jpeg.VSamp[0]},
            {"components", jpeg.Components},
            {"progressive", jpeg.Progressive},
            {"exif", !exif.empty()},
            {"new thumbnail", !thumbnail.empty() && thumbnail != sourceThumbnail}};
}

TSignature ObservePng(const std::string& file) {
    const std::vector<uint8_t> png = ReadWholeFile(file);
    static const char trns[] = "tRNS";
    return {{"colour type", png.at(25)},
            {"interlace", png.at(28)},
            {"tRNS", std::search(png.begin(), png.end(), trns, trns + 4) != png.end()}};
}

TSignature ObserveGif(const std::string& file) {
    const std::vector<uint8_t> gif = ReadWholeFile(file);
    static const uint8_t gce[] = {0x21, 0xF9, 0x04};
    const auto at = std::search(gif.begin(), gif.end(), std::begin(gce), std::end(gce));
    return {{"transparent", at != gif.end() && at + 3 != gif.end() && (at[3] & 1) != 0}};
}

// Each option, set alone, changes exactly its own mark in the written file, for Save As (by type)
// and for Save (by extension). Swapping any two options in the dispatch moves a mark.
TEST_F(SaveDispatch, EachOptionReachesItsWriterAndOnlyItsOwnParameter) {
    const std::string source = std::string(TILVO_TEST_DATA) + "/../../data/sample.jpg";
    const TExifProbe sourceProbe = ProbeExif(source);
    ASSERT_TRUE(sourceProbe.CanCopy && sourceProbe.CanUpdateThumbnail);
    const std::vector<uint8_t> sourceThumbnail = EmbeddedJpeg(ExifSegmentOf(source));
    ASSERT_FALSE(sourceThumbnail.empty());

    TBitmap photo;
    test::MakeTestPicture(photo, 64, 48);
    // Few colours, so that the palette writers keep every one and can mark a transparent one.
    TBitmap flat(40, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            flat.SetPixel(x, y, RGB(uint8_t((x / 10) * 60), uint8_t((y / 10) * 90), 200));

    enum TWay { kSaveAs, kSave };
    struct Case {
        const char* name;
        TWay way;
        int32_t type;           // Save As type
        const char* extension;  // Save
        std::function<void(TSaveOptions&, TExifProbe&)> set;
        TSignature changes;  // the marks that differ from the same save with default options
    };
    const Case cases[] = {
        {"JPEG quality",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.JPEGQuality = 30; },
         {{"quality", 30}}},
        {"JPEG 4:4:4",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.JPEGSubsampling = 2; },
         {{"luma sampling", 11}}},
        {"JPEG grayscale",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.JPEGGrayscale = true; },
         {{"components", 1}, {"luma sampling", 11}}},
        {"JPEG progressive",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.JPEGProgressive = true; },
         {{"progressive", 1}}},
        {"Exif copy",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.ExifCopy = true; },
         {{"exif", 1}}},
        {"Exif copy, thumbnail update",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.ExifCopy = o.ExifThumbUpdate = true; },
         {{"exif", 1}, {"new thumbnail", 1}}},
        {"thumbnail update without the copy",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.ExifThumbUpdate = true; },
         {}},
        {"copy where the probe found no Exif",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe& p) {
             o.ExifCopy = o.ExifThumbUpdate = true;
             p.CanCopy = false;
         },
         {}},
        {"update where the probe found no thumbnail",
         kSaveAs,
         1,
         "",
         [](TSaveOptions& o, TExifProbe& p) {
             o.ExifCopy = o.ExifThumbUpdate = true;
             p.CanUpdateThumbnail = false;
         },
         {{"exif", 1}}},
        {"PNG interlaced",
         kSaveAs,
         2,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.PNGInterlaced = true; },
         {{"interlace", 1}}},
        {"PNG grayscale",
         kSaveAs,
         2,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.PNGGrayscale = true; },
         {{"colour type", 0}}},
        {"PNG 256 colours",
         kSaveAs,
         2,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.PNGReduceTo256Color = true; },
         {{"colour type", 3}}},
        {"PNG transparent",
         kSaveAs,
         2,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.PNGTransparent = true; },
         {{"colour type", 3}, {"tRNS", 1}}},
        {"GIF transparent",
         kSaveAs,
         4,
         "",
         [](TSaveOptions& o, TExifProbe&) { o.GIFTransparent = true; },
         {{"transparent", 1}}},
        {"Save: JPEG quality",
         kSave,
         0,
         ".jpg",
         [](TSaveOptions& o, TExifProbe&) { o.JPEGQuality = 30; },
         {{"quality", 30}}},
        {"Save: JPEG grayscale",
         kSave,
         0,
         ".jpeg",
         [](TSaveOptions& o, TExifProbe&) { o.JPEGGrayscale = true; },
         {{"components", 1}, {"luma sampling", 11}}},
        {"Save: JPEG progressive",
         kSave,
         0,
         ".jpe",
         [](TSaveOptions& o, TExifProbe&) { o.JPEGProgressive = true; },
         {{"progressive", 1}}},
        {"Save: no subsampling choice, no Exif",
         kSave,
         0,
         ".jpg",
         [](TSaveOptions& o, TExifProbe&) {
             o.JPEGSubsampling = 2;
             o.ExifCopy = o.ExifThumbUpdate = true;
         },
         {}},
        {"Save: PNG interlaced",
         kSave,
         0,
         ".png",
         [](TSaveOptions& o, TExifProbe&) { o.PNGInterlaced = true; },
         {{"interlace", 1}}},
        {"Save: PNG grayscale",
         kSave,
         0,
         ".png",
         [](TSaveOptions& o, TExifProbe&) { o.PNGGrayscale = true; },
         {{"colour type", 0}}},
        {"Save: PNG 256 colours",
         kSave,
         0,
         ".png",
         [](TSaveOptions& o, TExifProbe&) { o.PNGReduceTo256Color = true; },
         {{"colour type", 3}}},
        {"Save: PNG transparent",
         kSave,
         0,
         ".png",
         [](TSaveOptions& o, TExifProbe&) { o.PNGTransparent = true; },
         {{"colour type", 3}, {"tRNS", 1}}},
        {"Save: GIF transparent",
         kSave,
         0,
         ".gif",
         [](TSaveOptions& o, TExifProbe&) { o.GIFTransparent = true; },
         {{"transparent", 1}}},
    };
    int counter = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool jpeg = c.type == 1 || std::string(c.extension).starts_with(".jp");
        const bool gif = c.type == 4 || std::string(c.extension) == ".gif";
        TBitmap& picture = jpeg ? photo : flat;
        auto write = [&](const TSaveOptions& o, const TExifProbe& probe) {
            const std::string file = Path("out" + std::to_string(counter++) +
                                          (c.way == kSave ? std::string(c.extension)
                                           : jpeg         ? ".jpg"
                                                          : ".out"));
            const bool ok = c.way == kSaveAs ? SaveAsByType(picture, file, c.type, o, source, probe)
                                             : SaveByExtension(picture, file, o);
            EXPECT_TRUE(ok);
            return jpeg  ? ObserveJpeg(file, sourceThumbnail)
                   : gif ? ObserveGif(file)
                         : ObservePng(file);
        };
        TSignature expected = write(TSaveOptions{}, sourceProbe);
        for (const auto& [mark, value] : c.changes) {
            ASSERT_TRUE(expected.contains(mark)) << mark;
            EXPECT_NE(expected[mark], value) << mark << " already shows without the option";
            expected[mark] = value;
        }
        TSaveOptions options;
        TExifProbe probe = sourceProbe;
        c.set(options, probe);
        EXPECT_EQ(write(options, probe), expected);
    }
}

// "Keep untouched areas exactly" from both commands: the JPEG source's own coefficients outside
// the edit, the Exif block by the usual rules, and the normal encode (with a note) where the
// source does not allow it.
TEST_F(SaveDispatch, KeepUntouchedSavesOnTheSourceOrSaysWhyNot) {
    const std::string source = std::string(TILVO_TEST_DATA) + "/../../data/sample.jpg";
    const std::vector<uint8_t> bytes = ReadWholeFile(source);
    TBitmap original, edited;
    LoadPictureFile(source, original);
    LoadPictureFile(source, edited);
    ASSERT_GE(edited.Width(), 64);
    ASSERT_GE(edited.Height(), 48);
    for (int y = 16; y < 40; ++y)
        for (int x = 16; x < 40; ++x) edited.SetPixel(x, y, RGB(200, 30, 30));
    const test::TLibjpegImage before = test::LibjpegDecode(bytes, JCS_EXT_BGR);
    // Rows below the changed MCU rows and the one after them decode exactly as the source's.
    const auto untouchedBelowKept = [&](const std::vector<uint8_t>& saved) {
        const test::TLibjpegImage after = test::LibjpegDecode(saved, JCS_EXT_BGR);
        const size_t from = size_t(64) * size_t(before.Width) * 3;
        return after.Pixels.size() == before.Pixels.size() &&
               std::equal(after.Pixels.begin() + long(from), after.Pixels.end(),
                          before.Pixels.begin() + long(from));
    };

    TSaveOptions o;
    o.JPEGKeepUntouched = true;
    o.JPEGQuality = 20;  // does not apply
    o.ExifCopy = o.ExifThumbUpdate = true;
    const TExifProbe probe = ProbeExif(source);
    ASSERT_TRUE(probe.CanCopy && probe.CanUpdateThumbnail);

    TKeepUntouchedSource keep{&bytes, &original, ""};
    ASSERT_TRUE(SaveAsByType(edited, Path("as.jpg"), 1, o, source, probe, nullptr, {}, &keep));
    EXPECT_EQ(keep.Note, "");
    const std::vector<uint8_t> as = ReadWholeFile(Path("as.jpg"));
    EXPECT_TRUE(untouchedBelowKept(as));
    const std::vector<uint8_t> exif = ExifSegmentOf(Path("as.jpg"));
    ASSERT_FALSE(exif.empty());
    EXPECT_NE(EmbeddedJpeg(exif), EmbeddedJpeg(ExifSegmentOf(source)));  // made again

    keep.Note = "stale";
    ASSERT_TRUE(SaveByExtension(edited, Path("save.jpg"), o, nullptr, {}, &keep));
    EXPECT_EQ(keep.Note, "");
    const std::vector<uint8_t> saved = ReadWholeFile(Path("save.jpg"));
    EXPECT_TRUE(untouchedBelowKept(saved));
    EXPECT_TRUE(ExifSegmentOf(Path("save.jpg")).empty());

    // Where it cannot apply, the normal encode runs (at the quality asked for) and says why.
    struct TFallback {
        const char* name;
        bool grayscale;
        const std::vector<uint8_t>* bytes;
        const char* note;
    };
    const std::vector<uint8_t> none;
    const TFallback fallbacks[] = {
        {"grayscale", true, &bytes, "grayscale output was asked for"},
        {"no source", false, &none, "the picture was not opened from a JPEG file"},
    };
    for (const TFallback& f : fallbacks) {
        TSaveOptions fo = o;
        fo.JPEGGrayscale = f.grayscale;
        TKeepUntouchedSource k{f.bytes, &original, ""};
        ASSERT_TRUE(SaveAsByType(edited, Path("f.jpg"), 1, fo, source, probe, nullptr, {}, &k));
        EXPECT_EQ(k.Note, std::string("Untouched areas could not be kept exactly: ") + f.note)
            << f.name;
        const std::vector<uint8_t> normal = ReadWholeFile(Path("f.jpg"));
        EXPECT_FALSE(untouchedBelowKept(normal)) << f.name;
        EXPECT_EQ(test::LibjpegDecode(normal).Components, f.grayscale ? 1 : 3) << f.name;
    }

    // Option off: the normal encode, no note.
    TKeepUntouchedSource off{&bytes, &original, ""};
    o.JPEGKeepUntouched = false;
    ASSERT_TRUE(SaveByExtension(edited, Path("off.jpg"), o, nullptr, {}, &off));
    EXPECT_EQ(off.Note, "");
    EXPECT_FALSE(untouchedBelowKept(ReadWholeFile(Path("off.jpg"))));
}

TEST_F(SaveDispatch, BitmapFailuresReachTheCallerAsExceptions) {
    // The bitmap path reports failure by throwing, not by answering false.
    EXPECT_THROW(
        SaveAsByType(picture_, Path("no/such/dir/x.bmp"), 3, TSaveOptions{}, "", TExifProbe{}),
        Exception);
    EXPECT_THROW(SaveByExtension(picture_, Path("no/such/dir/x.bmp"), TSaveOptions{}), Exception);
}

TEST(SaveAsTarget, TheTypedExtensionPicksAWritableTypeElseTheSelectedTypesIsAppended) {
    const struct {
        const char* typed;
        TFileType4Save selected;
        const char* name;
        TFileType4Save type;
    } cases[] = {
        // The extension names a type Save As writes: that type, the name as typed.
        {"/d/photo.png", sftJPG, "/d/photo.png", sftPNG},
        {"/d/photo.JPEG", sftPNG, "/d/photo.JPEG", sftJPG},
        {"/d/photo.jpe", sftPNG, "/d/photo.jpe", sftJPG},
        {"/d/photo.Jpg", sftJPG, "/d/photo.Jpg", sftJPG},
        {"/d/photo.rgb", sftPNG, "/d/photo.rgb", sftSGI},
        {"/d/photo.Tga", sftJPG, "/d/photo.Tga", sftTGA},
        {"/d/photo.vst", sftJPG, "/d/photo.vst", sftTGA},
        {"/d/photo.dib", sftPNG, "/d/photo.dib", sftBMP},
        {"/d/photo.pbm", sftBMP, "/d/photo.pbm", sftPBM},
        {"/d/photo.MAG", sftPNG, "/d/photo.MAG", sftMAG},
        {"/d/photo.webp", sftJPG, "/d/photo.webp", sftWEBP},
        {"/d/photo.tar.gif", sftJPG, "/d/photo.tar.gif", sftGIF},
        // No extension, or one Save As does not write: the selected type, its extension added.
        {"/d/photo", sftPGM, "/d/photo.pgm", sftPGM},
        {"/d/photo", sftJPG, "/d/photo.jpg", sftJPG},
        {"/d/photo.tif", sftPNG, "/d/photo.tif.png", sftPNG},
        {"/d/photo.dcr", sftPNG, "/d/photo.dcr.png", sftPNG},
        {"/d/photo.xyz", sftPCX, "/d/photo.xyz.pcx", sftPCX},
        {"/d/photo.", sftGIF, "/d/photo.gif", sftGIF},
        {"/d/my.png/photo", sftTGA, "/d/my.png/photo.tga", sftTGA},
        // A selected type that is not in the list: nothing to write.
        {"/d/photo.xyz", sftUNKNOWN, "/d/photo.xyz", sftUNKNOWN},
        {"/d/photo", sftDCR, "/d/photo", sftUNKNOWN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveSaveAsTarget(c.typed, c.selected), (TSaveAsTarget{c.name, c.type}))
            << c.typed << " with type " << int(c.selected);
    }
}

TEST_F(SaveDispatch, WriteObstacleNamesTheSystemsReasonAndWritesNothing) {
    EXPECT_EQ(WriteObstacle(Path("free.png")), "");
    EXPECT_FALSE(fs::exists(Path("free.png")));
    const std::string missing = WriteObstacle(Path("no/such/folder/a.png"));
    EXPECT_NE(missing.find("No such file or directory"), std::string::npos) << missing;
    EXPECT_NE(missing.find("a.png"), std::string::npos) << missing;
    WriteWholeFile(Path("ro.png"), "old", 3);
    fs::permissions(Path("ro.png"), fs::perms(0444));
    const std::string readOnly = WriteObstacle(Path("ro.png"));
    EXPECT_NE(readOnly.find("Permission denied"), std::string::npos) << readOnly;
    EXPECT_EQ(ReadWholeFile(Path("ro.png")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 1u) << "the probe leaves no temporary file";
}

}  // namespace
}  // namespace tilvo
