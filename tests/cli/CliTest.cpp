// tilvo-cli: its command line, and the real program converting and mosaicking files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "CliOptions.h"
#include "FileFormat/FileTypes.h"
#include "FileFormat/Graphic.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

TEST(CliOptions, ParsesEveryOption) {
    const TCliOptions o = ParseCliOptions({"in.png",
                                           "out.jpg",
                                           "--quality",
                                           "55",
                                           "--progressive",
                                           "--grayscale",
                                           "--subsampling",
                                           "444",
                                           "--exif-copy",
                                           "--exif-thumbnail",
                                           "--mosaic",
                                           "16",
                                           "--brush",
                                           "30",
                                           "--hard-edge",
                                           "--stroke",
                                           "1,2;3,4",
                                           "--stroke",
                                           "-5,6",
                                           "--png-256",
                                           "--gif-transparent",
                                           "--tga-rle"});
    EXPECT_EQ(o.Input, "in.png");
    EXPECT_EQ(o.Output, "out.jpg");
    EXPECT_EQ(o.SaveAsType, 1);
    EXPECT_EQ(o.Save.JPEGQuality, 55);
    EXPECT_TRUE(o.Save.JPEGProgressive && o.Save.JPEGGrayscale && o.Save.ExifCopy &&
                o.Save.ExifThumbUpdate);
    EXPECT_EQ(o.Save.JPEGSubsampling, 2);
    EXPECT_TRUE(o.Save.PNGReduceTo256Color && o.Save.GIFTransparent && o.Save.TGARLECompression);
    EXPECT_EQ(o.MosaicSize, 16);
    EXPECT_EQ(o.BrushSize, 30);
    EXPECT_FALSE(o.SoftEdge);
    ASSERT_EQ(o.Strokes.size(), 2u);
    EXPECT_EQ(o.Strokes[0], (std::vector<TPoint>{{1, 2}, {3, 4}}));
    EXPECT_EQ(o.Strokes[1], (std::vector<TPoint>{{-5, 6}}));
}

TEST(CliOptions, TypeComesFromTheNameOrTheExtension) {
    const struct {
        std::vector<std::string> args;
        int32_t type;
    } cases[] = {
        {{"a", "b.PNG"}, 2},
        {{"a", "b.bmp"}, 3},
        {{"a", "b.gif"}, 4},
        {{"a", "b.tga"}, 5},
        {{"a", "b.rgb"}, 6},
        {{"a", "b.pcx"}, 7},
        {{"a", "b.ppm"}, 8},
        {{"a", "b.pgm"}, 9},
        {{"a", "b.pbm"}, 10},
        {{"a", "b.mag"}, 11},
        {{"a", "b.jpe"}, 1},
        {{"a", "b.xyz", "--type", "png"}, 2},
        {{"--type", "mag", "a", "b"}, 11},
        {{"a", "b.webp"}, sftWEBP},
        {{"a", "b.jpg", "--type", "webp"}, sftWEBP},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseCliOptions(c.args).SaveAsType, c.type) << c.args[1];
}

TEST(CliOptions, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"only-input.png"},
        {"a", "b", "c.png"},
        {"a", "b.unknown"},
        {"a", "b.png", "--type", "tiff"},
        {"a", "b.png", "--quality"},
        {"a", "b.png", "--quality", "101"},
        {"a", "b.png", "--quality", "8x"},
        {"a", "b.png", "--subsampling", "422"},
        {"a", "b.png", "--stroke", "1;2"},
        {"a", "b.png", "--mosaic", "0"},
        {"a", "b.png", "--frobnicate"},
        {"a", "b.heic"},  // read-only: no writer for the extension
    };
    for (const auto& args : bad) EXPECT_THROW(ParseCliOptions(args), EUsage);
}

int RunCli(const std::vector<std::string>& args) {
    std::string cmd = std::string("'") + TILVO_CLI + "'";
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += " 2>/dev/null >/dev/null";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CliProgram, MosaicsOnlyAroundTheStrokeAndReportsFailures) {
    RegisterAllFormats();
    const fs::path dir = fs::temp_directory_path() / ("tilvo-cli-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TBitmap src(120, 80);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x)
            src.SetPixel(x, y, RGB(uint8_t(x * 2), uint8_t(y * 3), uint8_t((x * y) & 255)));
    const std::string in = (dir / "in.bmp").string(), out = (dir / "out.png").string();
    src.SaveToFile(in);

    ASSERT_EQ(RunCli({in, out, "--mosaic", "8", "--brush", "10", "--stroke", "30,40;60,40"}), 0);
    TBitmap res;
    LoadPictureFile(out, res);
    ASSERT_EQ(res.Width(), 120);
    int changedInside = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x) {
            const bool near = x >= 24 && x <= 66 && y >= 34 && y <= 46;
            if (!near)
                ASSERT_EQ(res.Pixel(x, y), src.Pixel(x, y)) << x << "," << y;
            else
                changedInside += res.Pixel(x, y) != src.Pixel(x, y);
        }
    EXPECT_GT(changedInside, 200);

    EXPECT_EQ(RunCli({in, (dir / "x.png").string(), "--mosaic"}), 2);
    EXPECT_EQ(RunCli({(dir / "missing.bmp").string(), (dir / "y.png").string()}), 1);
    EXPECT_EQ(RunCli({in, (dir / "no/dir/y.png").string()}), 1);
    EXPECT_EQ(RunCli({in, (dir / "y.tga").string()}), 1);  // no Targa writer yet: an honest failure
    EXPECT_FALSE(fs::exists(dir / "y.tga"));
    EXPECT_EQ(RunCli({"--help"}), 0);
    fs::remove_all(dir);
}

TEST(CliOptions, WebPQualityAndLossless) {
    const TCliOptions o = ParseCliOptions({"a.heic", "b.webp", "--quality", "35", "--webp-lossless"});
    EXPECT_EQ(o.SaveAsType, sftWEBP);
    EXPECT_EQ(o.Save.WebPQuality, 35);
    EXPECT_TRUE(o.Save.WebPLossless);
    EXPECT_FALSE(ParseCliOptions({"a", "b.webp"}).Save.WebPLossless);
    EXPECT_EQ(ParseCliOptions({"a", "b.webp"}).Save.WebPQuality, 80);
}

// A phone's HEIC opens upright and converts to a lossless WebP that reads back pixel for pixel;
// a WebP converts to JPEG.
TEST(CliProgram, ConvertsHeicAndWebP) {
    RegisterAllFormats();
    const fs::path data = TILVO_TEST_DATA;
    const fs::path dir = fs::temp_directory_path() / ("tilvo-cli-m-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string heic = (data / "read/heic/rotated.heic").string();
    const std::string webp = (dir / "out.webp").string(), jpeg = (dir / "out.jpg").string();
    ASSERT_EQ(RunCli({heic, webp, "--webp-lossless"}), 0);
    TBitmap source, written;
    LoadPictureFile(heic, source);
    LoadPictureFile(webp, written);
    ASSERT_EQ(written.Width(), 16);
    ASSERT_EQ(written.Height(), 24);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(written.Pixel(x, y), source.Pixel(x, y));
    ASSERT_EQ(RunCli({webp, jpeg, "--exif-copy"}), 0);
    TBitmap back;
    LoadPictureFile(jpeg, back);
    EXPECT_EQ(back.Width(), 16);
    EXPECT_EQ(RunCli({webp, (dir / "x.heic").string()}), 2);  // no HEIC writer
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tilvo
