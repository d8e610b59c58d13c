// The extension type ids, the open dialog's filter and the Save As type list.
#include <gtest/gtest.h>

#include <vector>

#include "FileFormat/FileTypes.h"

namespace tilvo {
namespace {

TEST(FileTypes, ExtensionTypeIdsIgnoreLetterCaseAndLookOnlyAtTheLastDot) {
    const struct {
        const char* name;
        uint8_t id;
    } cases[] = {
        {"a.JPG", 2},       {"b.Jpeg", 2},        {"c.jpe", 2},     {"x.jpg.bak", 0},
        {"noextension", 0}, {"/dir.jpg/file", 0}, {"trailing.", 0}, {".png", 4},
        {"p.bmp", 3},       {"p.DIB", 3},         {"p.rle", 3},     {"p.gif", 5},
        {"p.tif", 6},       {"p.TIFF", 6},        {"p.mag", 7},     {"p.pic", 8},
        {"p.ppm", 9},       {"p.pgm", 10},        {"p.pbm", 11},    {"p.vda", 12},
        {"p.rgba", 13},     {"p.rgb", 13},        {"p.pcx", 14},    {"p.pcd", 15},
        {"p.pdd", 16},      {"p.tub", 17},        {"p.lbm", 18},    {"p.raw", 19},
        {"p.ico", 20},      {"p.cur", 21},        {"p.dcr", 22},    {"movie.mpg", 0},
        {"movie.mpeg", 0},  {"clip.avi", 0},      {"lib.res", 0},   {"a.jpgx", 0},
        {"p.HEIC", 23},     {"p.heif", 23},       {"p.avif", 23},   {"p.WebP", 24},
    };
    for (const auto& c : cases) EXPECT_EQ(FileTypeFromExtension(c.name), c.id) << c.name;
}

TEST(FileTypes, OpenDialogFilterHasBothWordingsAndTheEighteenEntries) {
    const std::string tail =
        "*.bmp;*.rle;*.dib;*.jpg;*.jpeg;*.jpe;*.png;*.gif;*.tif;*.tiff;*.ppm;*.pgm;*.pbm;*.tga;"
        "*.vst;*.icb;*.vda;*.sgi;*.rgb;*.rgba;*.pcx;*.iff;*.lbm;*.psd;*.pdd;*.psp;*.jsl;*.pfr;"
        "*.tub;*.pcd;*.ico;*.cur;*.dcr;*.mag;*.pic;*.raw;*.heic;*.heif;*.avif;*.webp;|"
        "JPEG (*.jpg;*.jpeg;*.jpe)|*.jpg;*.jpeg;*.jpe|Bitmap (*.bmp;*.rle;*.dib)|*.bmp;*.rle;*.dib|"
        "PNG (*.png)|*.png|GIF (*.gif)|*.gif|TIFF (*.tif;*.tiff)|*.tif;*.tiff|"
        "PNM (*.ppm;*.pgm;*.pbm)|*.ppm;*.pgm;*.pbm|"
        "Targa (*.tga;*.vst;*.icb;*.vda)|*.tga;*.vst;*.icb;*.vda|"
        "SGI (*.sgi;*.rgb;*.rgba)|*.sgi;*.rgb;*.rgba|ZSoft Paintbrush (*.pcx)|*.pcx|"
        "Interleave Bitmap (*.iff;*.lbm)|*.iff;*.lbm|Photoshop (*.psd;*.pdd)|*.psd;*.pdd|"
        "PaintShop Pro (*.psp;*.jsl;*.pfr;*.tub)|*.psp;*.jsl;*.pfr;*.tub|"
        "Kodak Photo-CD (*.pcd)|*.pcd|Raw (*.raw)|*.raw|Mag (*.mag)|*.mag|"
        "Yanagisawa-PIC (*.pic)|*.pic|Icon/Cursor (*.ico;*.cur)|*.ico;*.cur|"
        "Delphi resource (*.dcr)|*.dcr|"
        "HEIF/AVIF (*.heic;*.heif;*.avif)|*.heic;*.heif;*.avif|WebP (*.webp)|*.webp|";
    EXPECT_EQ(BuildOpenDialogFilter(false), "Image files|" + tail);
    EXPECT_EQ(BuildOpenDialogFilter(true), "画像ファイル|" + tail);
}

TEST(FileTypes, SaveAsListHasTheElevenRowsThenWebPInOrder) {
    const auto infos = FileTypeInfos();
    ASSERT_EQ(infos.size(), 12u);
    const char* names[] = {"JPEG",
                           "PNG",
                           "Bitmap",
                           "GIF",
                           "Targa",
                           "SGI",
                           "ZSoft Paintbrush",
                           "Portable pixelmap",
                           "Portable graymap",
                           "Portable bitmap",
                           "MAG",
                           "WebP"};
    const char* masks[] = {"*.jpg", "*.png", "*.bmp", "*.gif", "*.tga", "*.sgi",
                           "*.pcx", "*.ppm", "*.pgm", "*.pbm", "*.mag", "*.webp"};
    const uint8_t options[] = {1, 1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 1};
    const uint8_t ids[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, sftWEBP};
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_STREQ(infos[i].DisplayName, names[i]);
        EXPECT_STREQ(infos[i].FileMask, masks[i]);
        EXPECT_EQ(infos[i].HasOptions, options[i]) << i;
        EXPECT_EQ(infos[i].SaveAsTypeId, ids[i]);
    }
    EXPECT_EQ(sftDCR, 12);
}

TEST(FileTypes, DisplayNamesMatchTheFirstRowContainedCaseSensitively) {
    const struct {
        const char* displayName;
        TFileType4Save id;
        const char* appended;
    } cases[] = {
        {"PNG", sftPNG, ".png"},
        {"Portable bitmap", sftPBM, ".pbm"},  // "Bitmap" does not occur: case matters
        {"Bitmap", sftBMP, ".bmp"},
        {"Targa", sftTGA, ".tga"},
        {"JPEG (Exif)", sftJPG, ".jpg"},  // a row's name inside a longer one
        {"MAG and PNG", sftPNG, ".png"},  // the first row in row order wins
        {"png", sftUNKNOWN, ""},
        {"", sftUNKNOWN, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SaveAsTypeFromDisplayName(c.displayName), c.id) << c.displayName;
        EXPECT_EQ(FileMaskExtension(c.displayName), c.appended) << c.displayName;
    }
    const std::vector<std::string> items = {"JPEG", "Portable graymap"};
    EXPECT_EQ(SaveAsTypeFromItem(items, 1), sftPGM);
    EXPECT_EQ(SaveAsTypeFromItem(items, 2), sftUNKNOWN);
    EXPECT_EQ(SaveAsTypeFromItem(items, -1), sftUNKNOWN);
    EXPECT_EQ(SaveAsTypeFromItem({}, 0), sftUNKNOWN);
}

}  // namespace
}  // namespace tilvo
