// Save As by type and Save by extension: each id reaches its writer with its options, ids without a
// writer fail without writing, and the written files are what their readers expect.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "FileFormat/Graphic.h"
#include "FileFormat/SaveDispatch.h"
#include "FileFormat/Stream.h"

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
        {0x80 | 2, "b.png", {0x89, 'P', 'N', 'G'}},  // only the low 7 bits choose the writer
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
    for (int32_t type : {0, 12, 13, 127}) {
        const std::string target = Path(std::to_string(type) + ".out");
        EXPECT_FALSE(SaveAsByType(picture_, target, type, options, "", TExifProbe{})) << type;
        EXPECT_FALSE(fs::exists(target)) << type;
    }
    for (const char* name :
         {"x.tif", "x.psd", "x.ico", "x.pic", "x.raw", "noextension", "x.jpg.bak"}) {
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
         {"p.png", "b.bmp", "b.dib", "g.gif", "s.sgi", "s.RGBA", "x.pcx", "m.mag"}) {
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

TEST_F(SaveDispatch, BitmapFailuresReachTheCallerAsExceptions) {
    // The bitmap path reports failure by throwing, not by answering false.
    EXPECT_THROW(
        SaveAsByType(picture_, Path("no/such/dir/x.bmp"), 3, TSaveOptions{}, "", TExifProbe{}),
        Exception);
    EXPECT_THROW(SaveByExtension(picture_, Path("no/such/dir/x.bmp"), TSaveOptions{}), Exception);
}

}  // namespace
}  // namespace tilvo
