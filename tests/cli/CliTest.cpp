// tilvo-cli: its command line, and the real program converting and mosaicking files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "CliOptions.h"
#include "FileFormat/DcrImageA.h"
#include "FileFormat/FileTypes.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/Stream.h"

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
                                           "--lossless",
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
                                           "--tga-rle",
                                           "--sgi-rle"});
    EXPECT_EQ(o.Input, "in.png");
    EXPECT_EQ(o.Output, "out.jpg");
    EXPECT_EQ(o.SaveAsType, 1);
    EXPECT_EQ(o.Save.JPEGQuality, 55);
    EXPECT_TRUE(o.Save.JPEGKeepUntouched);
    EXPECT_TRUE(o.Save.JPEGProgressive && o.Save.JPEGGrayscale && o.Save.ExifCopy &&
                o.Save.ExifThumbUpdate);
    EXPECT_EQ(o.Save.JPEGSubsampling, 2);
    EXPECT_TRUE(o.Save.PNGReduceTo256Color && o.Save.GIFTransparent && o.Save.TGARLECompression);
    EXPECT_TRUE(o.Save.SGIRLECompression);
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
        {{"a", "-", "--type", "png"}, 2},
        {{"a", "b.DCR"}, 12},
        {{"a", "b.res", "--type", "dcr"}, 12},
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
        {"a", "-"},  // standard output has no extension to tell the type
        {"a", "b.res"},  // a .res is written only with --type dcr
        {"a", "b.dcr", "--dcr-name"},
        {"a", "b.heic"},  // read-only: no writer for the extension
    };
    for (const auto& args : bad) EXPECT_THROW(ParseCliOptions(args), EUsage);
}

// Runs the program; `output` is the shell's redirection of its standard output.
int RunCli(const std::vector<std::string>& args, const std::string& output = ">/dev/null") {
    std::string cmd = std::string("'") + TILVO_CLI + "'";
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += " 2>/dev/null " + output;
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
    EXPECT_EQ(RunCli({"--help"}), 0);

    // "-" writes standard output, whether that is a pipe, a file or a file appended to.
    const std::vector<uint8_t> png = ReadWholeFile(out);
    const std::string piped = (dir / "piped.png").string(), sent = (dir / "sent.png").string(),
                      appended = (dir / "appended.bin").string();
    const std::vector<std::string> toStdout = {in, "-", "--type", "png", "--mosaic", "8",
                                               "--brush", "10", "--stroke", "30,40;60,40"};
    ASSERT_EQ(RunCli(toStdout, "| cat > '" + piped + "'"), 0);
    EXPECT_EQ(ReadWholeFile(piped), png);
    ASSERT_EQ(RunCli(toStdout, "> '" + sent + "'"), 0);
    EXPECT_EQ(ReadWholeFile(sent), png);
    WriteWholeFile(appended, "head", 4);
    ASSERT_EQ(RunCli(toStdout, ">> '" + appended + "'"), 0);
    std::vector<uint8_t> expected(4 + png.size());
    std::copy_n("head", 4, expected.begin());
    std::copy(png.begin(), png.end(), expected.begin() + 4);
    EXPECT_EQ(ReadWholeFile(appended), expected);
    EXPECT_EQ(RunCli({in, "-"}), 2);
    fs::remove_all(dir);
}

TEST(CliProgram, WritesTheSideFormatsAndSaysWhyAWriterRefuses) {
    RegisterAllFormats();
    const fs::path dir =
        fs::temp_directory_path() / ("tilvo-cli-side-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TBitmap src(30, 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) src.SetPixel(x, y, RGB(uint8_t(x * 8), uint8_t(y * 12), 77));
    const std::string in = (dir / "in.bmp").string();
    src.SaveToFile(in);
    const struct {
        std::vector<std::string> extra;
        const char* name;
    } cases[] = {
        {{}, "a.ppm"},
        {{}, "a.pgm"},
        {{}, "a.pbm"},
        {{}, "a.tga"},
        {{"--tga-rle"}, "b.tga"},
        {{"--type", "ppm"}, "c.out"},
        {{"--type", "pgm"}, "d.out"},
        {{"--type", "pbm"}, "e.out"},
        {{"--type", "tga"}, "f.out"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {in, (dir / c.name).string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ASSERT_EQ(RunCli(args), 0) << c.name;
        // Read back by content: the reader of the format the name or the type asked for.
        const std::string ext =
            c.extra.size() == 2 ? c.extra[1] : fs::path(c.name).extension().string().substr(1);
        const fs::path copy = dir / ("back." + ext);
        fs::copy_file(dir / c.name, copy, fs::copy_options::overwrite_existing);
        TBitmap back;
        LoadPictureFile(copy.string(), back);
        EXPECT_EQ(back.Width(), 30) << c.name;
        EXPECT_EQ(back.Height(), 20) << c.name;
        if (ext == "ppm" || ext == "tga") {
            EXPECT_EQ(back.Pixel(29, 19), src.Pixel(29, 19)) << c.name;
        }
    }

    // 70000 pixels are too wide for a Targa header: the writer refuses and tilvo-cli says why.
    std::string wide = "P5 70000 1 255\n";
    wide.append(70000, '\x40');
    WriteWholeFile((dir / "wide.pgm").string(), wide.data(), int64_t(wide.size()));
    const std::string cmd = std::string("'") + TILVO_CLI + "' '" + (dir / "wide.pgm").string() +
                            "' '" + (dir / "wide.tga").string() + "' 2>'" +
                            (dir / "err.txt").string() + "'";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    const std::vector<uint8_t> err = ReadWholeFile((dir / "err.txt").string());
    EXPECT_NE(std::string(err.begin(), err.end()).find("at most 65535 pixels a side"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "wide.tga"));
    fs::remove_all(dir);
}

TEST(CliProgram, WritesSgiAndPcxThatReadBackAsSaved) {
    RegisterAllFormats();
    const fs::path dir = fs::temp_directory_path() / ("tilvo-cli-sp-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TBitmap src(33, 9);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 33; ++x) src.SetPixel(x, y, RGB(uint8_t(x * 7), uint8_t(y * 25), 200));
    const std::string in = (dir / "in.bmp").string();
    src.SaveToFile(in);
    const struct {
        std::vector<std::string> Args;
        uint8_t Magic0, Storage;  // first and third byte of the file
    } cases[] = {
        {{in, (dir / "a.sgi").string()}, 0x01, 0},
        {{in, (dir / "b.rgb").string(), "--sgi-rle"}, 0x01, 1},
        {{in, (dir / "c.out").string(), "--type", "sgi"}, 0x01, 0},
        {{in, (dir / "d.out").string(), "--type", "pcx"}, 10, 1},
    };
    for (const auto& c : cases) {
        const std::string out = c.Args[1];
        ASSERT_EQ(RunCli(c.Args), 0) << out;
        const std::vector<uint8_t> bytes = ReadWholeFile(out);
        ASSERT_GT(bytes.size(), 3u);
        EXPECT_EQ(bytes[0], c.Magic0) << out;
        EXPECT_EQ(bytes[2], c.Storage) << out;
        // Read back through the class of the written type, whatever the file is called.
        const fs::path named = dir / (c.Magic0 == 10 ? "back.pcx" : "back.sgi");
        fs::copy_file(out, named, fs::copy_options::overwrite_existing);
        TBitmap back;
        LoadPictureFile(named.string(), back);
        ASSERT_EQ(back.Width(), 33);
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 33; ++x) ASSERT_EQ(back.Pixel(x, y), src.Pixel(x, y)) << out;
    }
    fs::remove_all(dir);
}

TEST(CliProgram, WritesAComponentResourceUnderItsName) {
    RegisterAllFormats();
    const fs::path dir =
        fs::temp_directory_path() / ("tilvo-cli-dcr-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TBitmap src(30, 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x)  // 30 colours: the reduction to 8 bits keeps them exactly
            src.SetPixel(x, y, RGB(uint8_t(x / 5 * 40), uint8_t(y / 4 * 50), 7));
    const std::string in = (dir / "in.bmp").string();
    src.SaveToFile(in);
    const struct {
        std::vector<std::string> extra;
        const char* file;
        const char* name;
    } cases[] = {{{"--dcr-name", "Logo"}, "a.dcr", "LOGO"},
                 {{}, "toolbar.dcr", "TOOLBAR"},
                 {{"--type", "dcr"}, "icons.res", "ICONS"}};
    for (const auto& c : cases) {
        std::vector<std::string> args = {in, (dir / c.file).string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ASSERT_EQ(RunCli(args), 0) << c.file;
        TDcrImageA dcr;
        TFileStream stream((dir / c.file).string(), TFileStream::fmOpenRead);
        dcr.LoadFromStream(stream);
        EXPECT_EQ(dcr.Resources().at(0).ResName, c.name);
        TBitmap back;
        dcr.AssignTo(back);
        ASSERT_EQ(back.Width(), 30);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 30; ++x) ASSERT_EQ(back.Pixel(x, y), src.Pixel(x, y));
    }
    fs::remove_all(dir);
}

TEST(CliProgram, WritesAndReadsMag) {
    RegisterAllFormats();
    const fs::path dir =
        fs::temp_directory_path() / ("tilvo-cli-mag-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TBitmap src(30, 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 30; ++x)
            src.SetPixel(x, y, RGB(uint8_t(x / 5 * 40), uint8_t(y * 30), 7));
    const std::string in = (dir / "in.bmp").string(), mag = (dir / "out.picture").string(),
                      back = (dir / "back.bmp").string();
    src.SaveToFile(in);
    ASSERT_EQ(RunCli({in, mag, "--type", "mag"}), 0);
    ASSERT_EQ(RunCli({mag + ".mag", back}), 1);  // no such file
    fs::rename(mag, mag + ".mag");
    ASSERT_EQ(RunCli({mag + ".mag", back}), 0);
    TBitmap res;
    LoadPictureFile(back, res);
    ASSERT_EQ(res.Width(), 32);  // widened to the 256-colour alignment
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 30; ++x) ASSERT_EQ(res.Pixel(x, y), src.Pixel(x, y)) << x << "," << y;
    fs::remove_all(dir);
}

// --lossless: the JPEG input's rows away from the stroke decode exactly as before; where the input
// does not allow it the normal encode runs and stderr says why.
TEST(CliProgram, LosslessKeepsTheUntouchedRowsOrSaysWhyNot) {
    RegisterAllFormats();
    const fs::path dir = fs::temp_directory_path() / ("tilvo-cli-ll-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TBitmap src(120, 80);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x)
            src.SetPixel(x, y,
                         RGB(uint8_t(x * 2 + (x * y) % 7), uint8_t(y * 3), uint8_t((x * y) & 255)));
    const std::string bmp = (dir / "in.bmp").string(), in = (dir / "in.jpg").string(),
                      out = (dir / "out.jpg").string(), err = (dir / "err.txt").string();
    src.SaveToFile(bmp);
    ASSERT_EQ(RunCli({bmp, in, "--quality", "85"}), 0);  // 4:2:0, MCU rows of 16
    const auto stderrText = [&] {
        const std::vector<uint8_t> b = ReadWholeFile(err);
        return std::string(b.begin(), b.end());
    };

    const std::vector<std::string> stroke = {"--mosaic", "8",           "--brush",   "10",
                                             "--stroke", "30,40;60,40", "--quality", "20"};
    std::vector<std::string> args = {in, out, "--lossless"};
    args.insert(args.end(), stroke.begin(), stroke.end());
    ASSERT_EQ(RunCli(args, ">/dev/null 2>'" + err + "'"), 0);
    EXPECT_EQ(stderrText(), "");
    TBitmap before, after;
    LoadPictureFile(in, before);
    LoadPictureFile(out, after);
    ASSERT_EQ(after.Width(), 120);
    ASSERT_EQ(after.Height(), 80);
    // The stroke's rows 32 .. 47 are MCU row 2; one MCU row around it may move through chroma.
    int changedInside = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x) {
            if (y < 16 || y >= 64)
                ASSERT_EQ(after.Pixel(x, y), before.Pixel(x, y)) << x << "," << y;
            else if (y >= 36 && y < 44 && x >= 32 && x < 56)
                changedInside += after.Pixel(x, y) != before.Pixel(x, y);
        }
    EXPECT_GT(changedInside, 100);

    // A picture that is not a JPEG, and a gray JPEG: the normal encode, with the reason.
    const std::string gray = (dir / "gray.jpg").string();
    ASSERT_EQ(RunCli({bmp, gray, "--grayscale"}), 0);
    const std::pair<std::string, std::string> fallbacks[] = {
        {bmp, "the picture was not opened from a JPEG file"},
        {gray, "the source is not a colour (YCbCr) JPEG"}};
    for (const auto& [input, reason] : fallbacks) {
        std::vector<std::string> a = {input, out, "--lossless"};
        a.insert(a.end(), stroke.begin(), stroke.end());
        ASSERT_EQ(RunCli(a, ">/dev/null 2>'" + err + "'"), 0) << input;
        EXPECT_EQ(stderrText(),
                  "tilvo-cli: Untouched areas could not be kept exactly: " + reason + "\n");
        TBitmap normal;
        LoadPictureFile(out, normal);
        EXPECT_EQ(normal.Width(), 120);
    }
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
