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
    for (int32_t type : {0, 5, 6, 7, 8, 9, 10, 11, 12, 14, 127}) {
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

    for (const char* name : {"p.png", "b.bmp", "b.dib", "g.gif"}) {
        ASSERT_TRUE(SaveByExtension(picture_, Path(name), options)) << name;
        EXPECT_GT(fs::file_size(Path(name)), 0u);
    }
    TBitmap back;
    LoadPictureFile(Path("b.bmp"), back);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 37; ++x) ASSERT_EQ(back.Pixel(x, y), picture_.Pixel(x, y));
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
