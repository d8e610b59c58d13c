// tilvo-cli: its command line, and the real program converting and mosaicking files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "CliOptions.h"
#include "Effector/HistoryListEx.h"
#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
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
                                           "--rect",
                                           "-3,4,10,20",
                                           "--fill",
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
    EXPECT_TRUE(o.SolidFill);
    ASSERT_EQ(o.Strokes.size(), 3u);
    EXPECT_EQ(o.Strokes[0], (TCliStroke{false, {{1, 2}, {3, 4}}, {}}));
    EXPECT_EQ(o.Strokes[1], (TCliStroke{false, {{-5, 6}}, {}}));
    EXPECT_EQ(o.Strokes[2], (TCliStroke{true, {}, {-3, 4, 7, 24}}));
    EXPECT_FALSE(ParseCliOptions({"a", "b.png"}).SolidFill);
}

// A scratch folder of the test's own, removed with everything in it.
struct TempDir {
    fs::path path;
    explicit TempDir(const char* tag)
        : path(fs::temp_directory_path() / (std::string(tag) + std::to_string(::getpid()))) {
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string Write(const char* name, const std::string& text) const {
        const std::string file = (path / name).string();
        WriteWholeFile(file, text.data(), int64_t(text.size()));
        return file;
    }
};

TEST(CliOptions, StrokesFileItemsJoinTheCommandLineInOrder) {
    const TempDir dir("tilvo-cli-sf-");
    const std::string file = dir.Write("items.txt",
                                       "# a camera's fixed plates\n"
                                       "\n"
                                       "--rect 10,20,30,40\r\n"
                                       "   \t\n"
                                       "  # indented comment\n"
                                       "\t--stroke   1,2;3,4  \n"
                                       "--fill");  // no newline at the end
    const TCliOptions o =
        ParseCliOptions({"a", "b.png", "--stroke", "7,7", "--strokes", file, "--rect", "0,0,1,1"});
    EXPECT_TRUE(o.SolidFill);
    const std::vector<TCliStroke> expected = {{false, {{7, 7}}, {}},
                                              {true, {}, {10, 20, 40, 60}},
                                              {false, {{1, 2}, {3, 4}}, {}},
                                              {true, {}, {0, 0, 1, 1}}};
    EXPECT_EQ(o.Strokes, expected);
    // A file of comments only adds nothing.
    const std::string empty = dir.Write("empty.txt", "# nothing yet\n\n");
    EXPECT_TRUE(ParseCliOptions({"a", "b.png", "--strokes", empty}).Strokes.empty());
}

TEST(CliOptions, StrokesFileErrorsNameTheFileAndLine) {
    const TempDir dir("tilvo-cli-sfe-");
    const struct {
        const char* text;
        const char* says;  // part of the message
    } cases[] = {
        {"--brush 5\n", "line 1: expected --stroke, --rect, --ellipse or --fill"},
        {"# ok\n--rect 1,2,3,4\n--rect\n", "line 3: --rect needs exactly one value"},
        {"\n\n--stroke 1,2 3,4\n", "line 3: --stroke needs exactly one value"},
        {"--fill yes\n", "line 1: --fill takes no value"},
        {"--rect 1,2,3\n", "line 1: a rectangle must be X,Y,W,H"},
        {"--rect 1,2,3,4,5\n", "line 1: a rectangle must be X,Y,W,H"},
        {"\n--rect 1,2,0,4\n", "line 2: a rectangle size must be a whole number from 1"},
        {"--rect 1,2,3,x\n", "line 1: a rectangle size"},
        {"--stroke 1;2\n", "line 1: a stroke point must be X,Y"},
        {"--stroke 1,2;3,99999999\n", "line 1: a stroke coordinate"},
        {"rect 1,2,3,4\n", "line 1: expected --stroke, --rect, --ellipse or --fill"},
        {"--ellipse 1,2,3\n", "line 1: a rectangle must be X,Y,W,H"},
    };
    for (const auto& c : cases) {
        const std::string file = dir.Write("bad.txt", c.text);
        try {
            ParseCliOptions({"a", "b.png", "--strokes", file});
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const EUsage& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(file + " " + c.says), std::string::npos) << what;
        }
    }
    EXPECT_THROW(ParseCliOptions({"a", "b.png", "--strokes", (dir.path / "none.txt").string()}),
                 EUsage);
    EXPECT_THROW(ParseCliOptions({"a", "b.png", "--strokes", dir.path.string()}), EUsage);
    // Far larger than any list of items: refused, not read into memory whole.
    const std::string huge = dir.Write("huge.txt", std::string((16 << 20) + 1, '#'));
    EXPECT_THROW(ParseCliOptions({"a", "b.png", "--strokes", huge}), EUsage);
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
        {"a", "b.png", "--rect", "1,2,3"},
        {"a", "b.png", "--rect", "1,2,-3,4"},
        {"a", "b.png", "--rect", "1,2,3,0"},
        {"a", "b.png", "--rect", "1,2,3,4,"},
        {"a", "b.png", "--rect"},
        {"a", "b.png", "--strokes"},
        {"a", "b.png", "--mosaic", "0"},
        {"a", "b.png", "--mosaic", "1"},  // cells of one pixel hide nothing
        // --verify writes nothing: an output or edit option with it is a mistake.
        {"--verify", "a.jpg", "--stroke", "1,1"},
        {"--verify", "a.jpg", "--rect", "1,1,5,5"},
        {"--verify", "a.jpg", "--out-dir", "d"},
        {"a.jpg", "--verify", "--quality", "50"},
        {"--type", "png", "--verify", "a.jpg"},
        {"a", "b.png", "--frobnicate"},
        {"a", "-"},      // standard output has no extension to tell the type
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
    const std::vector<std::string> toStdout = {in,  "-",       "--type", "png",      "--mosaic",
                                               "8", "--brush", "10",     "--stroke", "30,40;60,40"};
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

// Rectangles hide the whole rectangle (the whole picture's cells, or black with --fill) and
// nothing else with the hard edge; a strokes file gives the very bytes of the same items on the
// command line.
TEST(CliProgram, RectanglesFillAndStrokesFile) {
    RegisterAllFormats();
    const TempDir dir("tilvo-cli-rect-");
    TBitmap src(90, 60);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 90; ++x)
            src.SetPixel(x, y, RGB(uint8_t(x * 3 + y), uint8_t(y * 4), uint8_t((x * y) & 255)));
    const std::string in = (dir.path / "in.bmp").string();
    src.SaveToFile(in);
    TBitmap cells;
    cells.Assign(src);
    Pixelate(cells, 8, 8, 0);

    const struct {
        bool fill;
        const char* out;
    } runs[] = {{false, "mosaic.png"}, {true, "fill.png"}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.out);
        const std::string out = (dir.path / r.out).string();
        std::vector<std::string> args = {in,           out,           "--mosaic",
                                         "8",          "--hard-edge", "--rect",
                                         "13,9,30,20", "--rect",      "70,40,40,40"};
        if (r.fill) args.push_back("--fill");
        ASSERT_EQ(RunCli(args), 0);
        TBitmap res;
        LoadPictureFile(out, res);
        ASSERT_EQ(res.Width(), 90);
        ASSERT_EQ(res.Height(), 60);
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 90; ++x) {
                const bool inside = (x >= 13 && x < 43 && y >= 9 && y < 29) || (x >= 70 && y >= 40);
                const TColor expected = !inside  ? src.Pixel(x, y)
                                        : r.fill ? RGB(0, 0, 0)
                                                 : cells.Pixel(x, y);
                ASSERT_EQ(res.Pixel(x, y), expected) << x << "," << y;
            }
    }

    // The same items, soft-edged, from a file and from the command line.
    const std::string items = dir.Write("items.txt",
                                        "# plates\n--rect 13,9,30,20\n--stroke 50,10;80,50\n"
                                        "--fill\n");
    const std::string viaFile = (dir.path / "file.png").string();
    const std::string viaArgs = (dir.path / "args.png").string();
    ASSERT_EQ(RunCli({in, viaFile, "--strokes", items}), 0);
    ASSERT_EQ(RunCli({in, viaArgs, "--rect", "13,9,30,20", "--stroke", "50,10;80,50", "--fill"}),
              0);
    EXPECT_EQ(ReadWholeFile(viaFile), ReadWholeFile(viaArgs));
    TBitmap res;
    LoadPictureFile(viaFile, res);
    EXPECT_EQ(res.Pixel(20, 15), RGB(0, 0, 0));
    EXPECT_EQ(res.Pixel(65, 30), RGB(0, 0, 0));
    EXPECT_EQ(res.Pixel(5, 50), src.Pixel(5, 50));

    // A bad strokes file is a usage error, and nothing is written.
    const std::string bad = dir.Write("bad.txt", "--rect 1,2\n");
    EXPECT_EQ(RunCli({in, (dir.path / "no.png").string(), "--strokes", bad}), 2);
    EXPECT_FALSE(fs::exists(dir.path / "no.png"));
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
                  "tilvo-cli: " + input + ": Untouched areas could not be kept exactly: " + reason +
                      "\n");
        TBitmap normal;
        LoadPictureFile(out, normal);
        EXPECT_EQ(normal.Width(), 120);
    }
    fs::remove_all(dir);
}

TEST(CliOptions, WebPQualityAndLossless) {
    const TCliOptions o =
        ParseCliOptions({"a.heic", "b.webp", "--quality", "35", "--webp-lossless"});
    EXPECT_EQ(o.SaveAsType, sftWEBP);
    EXPECT_EQ(o.Save.WebPQuality, 35);
    EXPECT_TRUE(o.Save.WebPLossless);
    EXPECT_FALSE(ParseCliOptions({"a", "b.webp"}).Save.WebPLossless);
    EXPECT_EQ(ParseCliOptions({"a", "b.webp"}).Save.WebPQuality, 80);
    // The window's ranges: WebP 0-100, JPEG 1-100; --help states them.
    EXPECT_EQ(ParseCliOptions({"a", "b.webp", "--quality", "0"}).Save.WebPQuality, 0);
    EXPECT_EQ(ParseCliOptions({"a", "b.jpg", "--quality", "1"}).Save.JPEGQuality, 1);
    EXPECT_THROW(ParseCliOptions({"a", "b.jpg", "--quality", "0"}), EUsage);
    EXPECT_THROW(ParseCliOptions({"--out-dir", "o", "a.jpg", "--quality", "0"}), EUsage);
    EXPECT_THROW(ParseCliOptions({"a", "b.webp", "--quality", "101"}), EUsage);
    const std::string help = kCliUsage;
    for (const char* range : {"quality 1-100", "quality 0-100", "1-256", "1-1000",
                              "-1048576-1048576", "W and H 1-1048576"})
        EXPECT_NE(help.find(range), std::string::npos) << range;
}

// --ellipse hides the ellipse inscribed in its rectangle, like the window's Ctrl+Shift drag: the
// same bytes as ApplyRectStroke with the ellipse on the whole picture.
TEST(CliProgram, EllipseHidesTheInscribedEllipse) {
    RegisterAllFormats();
    const TempDir dir("tilvo-cli-ell-");
    TBitmap src(90, 60);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 90; ++x)
            src.SetPixel(x, y, RGB(uint8_t(x * 3 + y), uint8_t(y * 4), uint8_t((x * y) & 255)));
    const std::string in = (dir.path / "in.bmp").string();
    src.SaveToFile(in);
    for (const bool soft : {true, false}) {
        const std::string out = (dir.path / "ellipse.png").string();
        std::vector<std::string> args = {in, out, "--mosaic", "8", "--ellipse", "10,5,60,40"};
        if (!soft) args.push_back("--hard-edge");
        ASSERT_EQ(RunCli(args), 0);
        TBitmap res, expected, region, mask;
        LoadPictureFile(out, res);
        expected.Assign(src);
        THistoryControl history;
        TStrokeContext ctx{expected, region, mask, history};
        ApplyRectStroke(ctx, TRect{10, 5, 70, 45}, 8, soft, TStrokeEffect::Mosaic, true);
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 90; ++x) ASSERT_EQ(res.Pixel(x, y), expected.Pixel(x, y)) << x;
        EXPECT_EQ(res.Pixel(11, 6), src.Pixel(11, 6)) << "the corner stays";
        EXPECT_NE(res.Pixel(40, 25), src.Pixel(40, 25));
    }
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

// ---- several files, standard input, usage errors ----

TEST(CliOptions, SeveralInputsWithAnOutputFolder) {
    const TCliOptions o = ParseCliOptions({"--out-dir", "out", "a.jpg", "b.png", "-j", "3"});
    EXPECT_EQ(o.OutDir, "out");
    EXPECT_EQ(o.Inputs, (std::vector<std::string>{"a.jpg", "b.png"}));
    EXPECT_EQ(o.Jobs, 3);
    EXPECT_EQ(o.SaveAsType, 0);  // each input's own type
    EXPECT_EQ(ParseCliOptions({"--out-dir", "o", "-j2", "a.jpg"}).Jobs, 2);
    EXPECT_EQ(ParseCliOptions({"--out-dir", "o", "--jobs", "4", "a.jpg"}).Jobs, 4);
    EXPECT_EQ(ParseCliOptions({"--out-dir", "o", "a.heic", "--type", "webp"}).SaveAsType, sftWEBP);
    EXPECT_EQ(ParseCliOptions({"--out-dir", "o", "--", "-dash.png"}).Inputs,
              std::vector<std::string>{"-dash.png"});
    EXPECT_EQ(ParseCliOptions({"-", "b.png", "--in-type", ".TGA"}).InType, "TGA");

    const std::vector<std::vector<std::string>> bad = {
        {"--out-dir", "o"},                      // no input
        {"--out-dir", "o", "a.png", "-"},        // standard input is one file, not a batch
        {"--out-dir", "o", "a.heic"},            // no writer for the input's type, no --type
        {"--out-dir", "o", "a.png", "-j", "0"},  // at least one at a time
        {"--out-dir", "o", "a.png", "-jx"},
        {"--out-dir", "", "a.png"},
        {"a.png", "b.png", "c.png"},             // several inputs need --out-dir
        {"a.png", "b.png", "-j", "2"},           // -j is for batches
        {"a.png", "b.png", "--in-type", "png"},  // --in-type is for standard input
        {"-", "b.png", "--in-type"},
    };
    for (const auto& args : bad) EXPECT_THROW(ParseCliOptions(args), EUsage) << args.back();
}

class CliBatch : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-cli-batch-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "in");
        fs::create_directories(dir_ / "tmp");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A picture of w × h with colours that differ pixel by pixel, saved as a bitmap.
    std::string Picture(const std::string& name, int w, int h, int seed) {
        TBitmap b(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                b.SetPixel(x, y, RGB(uint8_t(x * 3 + seed), uint8_t(y * 5 + seed), uint8_t(x ^ y)));
        const std::string file = (dir_ / "in" / name).string();
        b.SaveToFile(file);
        return file;
    }

    struct TRun {
        int Status = -1;
        std::string Out, Err;
    };
    // Runs the program with `input` as its standard input (none: /dev/null).
    TRun Run(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
        // Its temporary files go to a folder of the test's own.
        std::string cmd = "TMPDIR='" + (dir_ / "tmp").string() + "' '" + TILVO_CLI + "'";
        for (const auto& a : args) cmd += " '" + a + "'";
        const std::string out = (dir_ / "stdout.txt").string(),
                          err = (dir_ / "stderr.txt").string();
        cmd += " <'" + input + "' >'" + out + "' 2>'" + err + "'";
        const int status = std::system(cmd.c_str());
        TRun r;
        r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const std::vector<uint8_t> o = ReadWholeFile(out), e = ReadWholeFile(err);
        r.Out.assign(o.begin(), o.end());
        r.Err.assign(e.begin(), e.end());
        return r;
    }

    static int Lines(const std::string& text) {
        return int(std::count(text.begin(), text.end(), '\n'));
    }

    fs::path dir_;
};

TEST_F(CliBatch, WritesEveryInputUnderTheFolderTheSameWithOneOrTwoThreads) {
    std::vector<std::string> inputs;
    for (int i = 0; i < 5; ++i)
        inputs.push_back(Picture("photo" + std::to_string(i) + ".bmp", 70 + i * 9, 50, i * 20));
    // A PNG without an extension and a JPEG named .png open by their content; their outputs
    // still take the output type's extension.
    fs::copy_file(fs::path(TILVO_TEST_DATA) / "read/png/rgb8_interlaced.png", dir_ / "in/noext");
    fs::copy_file(fs::path(TILVO_TEST_DATA) / "read/jpeg/color420.jpg", dir_ / "in/camera.png");
    inputs.push_back((dir_ / "in/noext").string());
    inputs.push_back((dir_ / "in/camera.png").string());

    std::vector<std::string> names;
    for (const std::string& in : inputs) names.push_back(fs::path(in).stem().string() + ".png");
    auto runWith = [&](const std::string& jobs, const std::string& folder) {
        std::vector<std::string> args = {"--out-dir", (dir_ / folder).string(),
                                         "-j",        jobs,
                                         "--type",    "png",
                                         "--mosaic",  "8", "--brush", "20",
                                         "--stroke",  "10,10;60,40",
                                         "--stroke",  "12,5"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const TRun r = Run(args);
        EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
        EXPECT_EQ(Lines(r.Out), int(inputs.size()) + 1) << r.Out;
        EXPECT_EQ(std::count_if(inputs.begin(), inputs.end(),
                                [&](const std::string& in) {
                                    return r.Out.find(in + " -> ") != std::string::npos;
                                }),
                  ptrdiff_t(inputs.size()))
            << r.Out;
        EXPECT_NE(r.Out.find("7 of 7 files written, 0 failed"), std::string::npos) << r.Out;
        EXPECT_EQ(r.Err.find("plain conversion"), std::string::npos);
    };
    runWith("1", "one");
    runWith("2", "two");
    for (size_t i = 0; i < names.size(); ++i) {
        const std::vector<uint8_t> one = ReadWholeFile((dir_ / "one" / names[i]).string());
        ASSERT_FALSE(one.empty()) << names[i];
        EXPECT_EQ(one, ReadWholeFile((dir_ / "two" / names[i]).string())) << names[i];
    }
    // The strokes were applied: the first picture differs from its plain conversion.
    TBitmap source, written;
    LoadPictureFile(inputs[0], source);
    LoadPictureFile((dir_ / "one" / names[0]).string(), written);
    ASSERT_EQ(written.Width(), source.Width());
    EXPECT_NE(written.Pixel(30, 20), source.Pixel(30, 20));
    EXPECT_EQ(written.Pixel(69, 49), source.Pixel(69, 49));
}

TEST_F(CliBatch, TheTypeIsEachInputsOwnWithoutType) {
    const std::string bmp = Picture("a.bmp", 20, 10, 1);
    const std::string tga = (dir_ / "in/b.tga").string();
    ASSERT_EQ(Run({bmp, tga}).Status, 0);
    const TRun r = Run({"--out-dir", (dir_ / "out").string(), bmp, tga});
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_NE(r.Err.find("plain conversion"), std::string::npos) << r.Err;
    EXPECT_EQ(ReadWholeFile((dir_ / "out/a.bmp").string()), ReadWholeFile(bmp));
    EXPECT_EQ(ReadWholeFile((dir_ / "out/b.tga").string()), ReadWholeFile(tga));
}

TEST_F(CliBatch, AFailingInputFailsTheRunAndTheOthersAreStillWritten) {
    const std::string good1 = Picture("good1.bmp", 30, 20, 3),
                      good2 = Picture("good2.bmp", 30, 20, 9);
    const std::string broken = (dir_ / "in/broken.bmp").string();
    WriteWholeFile(broken, "BM not really a bitmap", 22);
    const std::string missing = (dir_ / "in/missing.bmp").string();
    const TRun r = Run({"--out-dir", (dir_ / "out").string(), "-j", "2", "--type", "ppm", good1,
                        broken, missing, good2});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(Lines(r.Out), 5) << r.Out;
    EXPECT_NE(r.Out.find(broken + ": failed: "), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find(missing + ": failed: Cannot open file"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("2 of 4 files written, 2 failed"), std::string::npos) << r.Out;
    // The failure lines go to standard error too, where a script's log catches them.
    EXPECT_NE(r.Err.find(broken + ": failed: "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(missing + ": failed: Cannot open file"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("good1"), std::string::npos) << r.Err;
    EXPECT_TRUE(fs::exists(dir_ / "out/good1.ppm"));
    EXPECT_TRUE(fs::exists(dir_ / "out/good2.ppm"));
    EXPECT_FALSE(fs::exists(dir_ / "out/broken.ppm"));
    EXPECT_FALSE(fs::exists(dir_ / "out/missing.ppm"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "out"), fs::directory_iterator()), 2);
}

TEST_F(CliBatch, ClashesAndOverwritingAnInputAreRefusedBeforeAnythingIsWritten) {
    const std::string a = Picture("a.bmp", 8, 8, 1);
    fs::create_directories(dir_ / "in/sub");
    fs::create_directories(dir_ / "other");
    const std::string sameName = (dir_ / "in/sub/a.bmp").string();
    fs::copy_file(a, sameName);
    const std::string z = Picture("z.bmp", 8, 8, 2);
    fs::create_directory_symlink(dir_ / "in", dir_ / "link");
    const std::string in = (dir_ / "in").string();
    const std::vector<uint8_t> before = ReadWholeFile(a);
    const struct {
        std::vector<std::string> Args;
        const char* Why;
    } cases[] = {
        // Two inputs, one output name.
        {{"--out-dir", (dir_ / "out").string(), z, a, sameName}, "would both be written to"},
        {{"--out-dir", (dir_ / "out").string(), a, a}, "would both be written to"},
        {{"--out-dir", (dir_ / "out").string(), "--type", "png", z, a,
          (dir_ / "other/a.gif").string()},
         "would both be written to"},
        // An output that is its own input, however the folder is spelt.
        {{"--out-dir", in, z, a}, "over itself"},
        {{"--out-dir", (dir_ / "in/sub/..").string(), a}, "over itself"},
        {{"--out-dir", (dir_ / "link").string(), a}, "over itself"},
        {{"--out-dir", (dir_ / "other/../in/./").string(), z}, "over itself"},
    };
    for (const auto& c : cases) {
        const TRun r = Run(c.Args);
        EXPECT_EQ(r.Status, 2) << c.Why;
        EXPECT_NE(r.Err.find(c.Why), std::string::npos) << r.Err;
        EXPECT_EQ(Lines(r.Err), 2) << r.Err;
        EXPECT_TRUE(r.Out.empty()) << r.Out;
    }
    EXPECT_FALSE(fs::exists(dir_ / "out"));
    EXPECT_EQ(ReadWholeFile(a), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "in"), fs::directory_iterator()), 3);
}

TEST_F(CliBatch, StandardInputByContentOrByInType) {
    const fs::path data = TILVO_TEST_DATA;
    const std::string png = (data / "read/png/rgb8_interlaced.png").string();
    const std::string tga = (data / "read/tga/imagemagick_palette.tga").string();
    const std::string webp = (data / "read/webp/exif.webp").string();
    const struct {
        std::string Input;
        std::vector<std::string> Extra;
        int Status;
    } cases[] = {
        {png, {}, 0},
        {png, {"--in-type", "png"}, 0},
        {png, {"--in-type", "jpg"}, 0},  // the content still decides where the name is wrong
        {tga, {"--in-type", "tga"}, 0},
        {tga, {}, 1},  // Targa carries no signature: it needs --in-type
        {"/dev/null", {}, 1},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string out = (dir_ / ("from-stdin" + std::to_string(n++) + ".bmp")).string();
        std::vector<std::string> args = {"-", out};
        args.insert(args.end(), c.Extra.begin(), c.Extra.end());
        const TRun r = Run(args, c.Input);
        ASSERT_EQ(r.Status, c.Status) << c.Input << r.Err;
        if (c.Status != 0) {
            EXPECT_FALSE(fs::exists(out));
            EXPECT_EQ(Lines(r.Err), 2) << r.Err;  // the plain-conversion notice, then the reason
            continue;
        }
        // The same file as from the name.
        const std::string named = out + ".named.bmp";
        ASSERT_EQ(Run({c.Input, named}).Status, 0);
        EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(named)) << c.Input;
    }
    EXPECT_EQ(Run({"-", (dir_ / "x.bmp").string(), "--in-type", "nosuchtype"}, png).Status, 2);

    // The bytes read are the Exif source: the block of a WebP on standard input is carried over.
    const std::string fromStdin = (dir_ / "exif-stdin.jpg").string(),
                      fromFile = (dir_ / "exif-file.jpg").string();
    ASSERT_EQ(Run({"-", fromStdin, "--exif-copy"}, webp).Status, 0);
    ASSERT_EQ(Run({webp, fromFile, "--exif-copy"}).Status, 0);
    const std::vector<uint8_t> jpeg = ReadWholeFile(fromStdin);
    const std::string exif("Exif\0\0", 6);
    EXPECT_NE(std::search(jpeg.begin(), jpeg.end(), exif.begin(), exif.end()), jpeg.end());
    EXPECT_EQ(jpeg, ReadWholeFile(fromFile));
    // Standard input is held in memory: no file of it is ever made.
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(CliBatch, AUsageErrorIsOneLineAndAHint) {
    const std::string a = Picture("a.bmp", 8, 8, 1);
    const std::vector<std::vector<std::string>> bad = {
        {},
        {a},
        {a, "b.jpg", "--quality", "0"},  // JPEG's scale starts at 1, WebP's at 0
        {a, "b.webp", "--quality", "101"},
        {a, "b.png", "--frobnicate"},
        {a, "b.png", "c.png"},
        {"--out-dir", (dir_ / "o").string()},
    };
    for (const auto& args : bad) {
        const TRun r = Run(args);
        EXPECT_EQ(r.Status, 2);
        ASSERT_EQ(Lines(r.Err), 2) << r.Err;
        EXPECT_EQ(r.Err.rfind("tilvo-cli: ", 0), 0u) << r.Err;
        EXPECT_NE(r.Err.find("\nTry 'tilvo-cli --help' for more information.\n"), std::string::npos)
            << r.Err;
        EXPECT_TRUE(r.Out.empty());
    }
    const TRun help = Run({"--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_NE(help.Out.find("--out-dir DIR"), std::string::npos);
    EXPECT_NE(help.Out.find("--in-type EXT"), std::string::npos);
}

using CliRun = CliBatch;

// An item that misses the picture fails the file, names itself and the picture's size and writes
// nothing, on every path (whole picture, JPEG bands, lossless bands, lossless rows); an item
// partly outside is clipped and the file is written.
TEST_F(CliRun, AnItemWhollyOutsideThePictureFailsTheFile) {
    const std::string bmp = Picture("photo.bmp", 120, 80, 5);
    const std::string jpg = (dir_ / "in/photo.jpg").string();
    ASSERT_EQ(Run({bmp, jpg}).Status, 0);
    const std::string out = (dir_ / "out.jpg").string(), png = (dir_ / "out.png").string();
    const struct {
        std::vector<std::string> item;
        const char* says;
    } items[] = {
        {{"--rect", "120,10,30,30"}, "the rectangle --rect 120,10,30,30"},
        {{"--rect", "-40,-40,40,40"}, "the rectangle --rect -40,-40,40,40"},
        {{"--ellipse", "0,80,120,9"}, "the ellipse --ellipse 0,80,120,9"},
        {{"--stroke", "200,40;300,40"}, "the stroke --stroke 200,40;300,40"},
        {{"--stroke", "-11,40;-11,70", "--brush", "20"}, "the stroke --stroke -11,40;-11,70"},
        {{"--stroke", "10,-50;20,-60;30,-50;40,-60;50,-50"},
         "the stroke --stroke 10,-50;20,-60;30,-50...;50,-50 (5 points)"},
    };
    const std::vector<std::vector<std::string>> paths = {{bmp, png},
                                                         {jpg, out},
                                                         {jpg, out, "--lossless"},
                                                         {jpg, out, "--lossless", "--progressive"}};
    for (const auto& item : items)
        for (const auto& path : paths) {
            std::vector<std::string> args = path;
            args.insert(args.end(), {"--rect", "10,10,5,5"});  // a good item before the bad one
            args.insert(args.end(), item.item.begin(), item.item.end());
            const TRun r = Run(args);
            SCOPED_TRACE(args[0] + " " + args[1] + " " + item.says);
            EXPECT_EQ(r.Status, 1);
            EXPECT_NE(
                r.Err.find(std::string(item.says) + " lies wholly outside the picture (120 x 80)"),
                std::string::npos)
                << r.Err;
            EXPECT_NE(r.Err.find(args[0]), std::string::npos) << "names the file: " << r.Err;
            EXPECT_FALSE(fs::exists(args[1]));
            EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 4)
                << "nothing but in/, tmp/ and the two logs";
        }
    // Partly outside: clipped, as in the window.
    for (const auto& path : paths) {
        std::vector<std::string> args = path;
        args.insert(args.end(), {"--stroke", "-30,40;10,40", "--rect", "100,70,50,50"});
        ASSERT_EQ(Run(args).Status, 0) << args[0] << " " << args[1];
        TBitmap before, after;
        LoadPictureFile(args[0], before);
        LoadPictureFile(args[1], after);
        fs::remove(args[1]);
        int changed = 0;
        for (const auto& [x, y] : {std::pair{2, 40}, {5, 42}, {110, 75}, {118, 78}})
            changed += after.Pixel(x, y) != before.Pixel(x, y);
        EXPECT_GE(changed, 3) << args[0] << " " << args[1];
    }
}

// A smaller photo in a series is not written unredacted: it fails, the others are written.
TEST_F(CliRun, ASmallerPictureInASeriesFailsWhereAnItemMissesIt) {
    const std::string big = Picture("big.bmp", 200, 100, 1),
                      small = Picture("small.bmp", 100, 60, 2);
    const TRun r = Run({"--out-dir", (dir_ / "out").string(), "--type", "png", "--rect",
                        "150,10,30,30", big, small});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Out.find(big + " -> "), std::string::npos) << r.Out;
    const std::string failure = small +
                                ": failed: the rectangle --rect 150,10,30,30 lies wholly outside "
                                "the picture (100 x 60)";
    EXPECT_NE(r.Out.find(failure), std::string::npos) << r.Out;
    EXPECT_NE(r.Err.find(failure), std::string::npos) << r.Err;
    EXPECT_TRUE(fs::exists(dir_ / "out/big.png"));
    EXPECT_FALSE(fs::exists(dir_ / "out/small.png"));
}

// A stroke of 5,000 points is applied whole: the pixel under every point is the whole picture's
// cell (hard edge), from a strokes file and on the JPEG band path alike.
TEST_F(CliRun, AStrokeOfAnyLengthHidesEveryPoint) {
    constexpr int kW = 640, kH = 160;
    const std::string bmp = Picture("wide.bmp", kW, kH, 4);
    std::string line = "--stroke ";
    std::vector<TPoint> points;
    for (int i = 0; i < 5000; ++i) {
        const TPoint p{5 + (i % 100 < 50 ? i % 50 : 49 - i % 50) * 12, 5 + i / 50 + i % 3};
        points.push_back(p);
        if (i) line += ';';
        line += std::to_string(p.X) + "," + std::to_string(p.Y);
    }
    const std::string file = (dir_ / "long.txt").string();
    WriteWholeFile(file, line.data(), int64_t(line.size()));
    const std::string out = (dir_ / "out.bmp").string();
    ASSERT_EQ(
        Run({bmp, out, "--hard-edge", "--brush", "3", "--mosaic", "4", "--strokes", file}).Status,
        0);
    TBitmap src, res, cells;
    LoadPictureFile(bmp, src);
    LoadPictureFile(out, res);
    cells.Assign(src);
    Pixelate(cells, 4, 4, 0);
    for (const TPoint& p : points)
        ASSERT_EQ(res.Pixel(p.X, p.Y), cells.Pixel(p.X, p.Y)) << p.X << "," << p.Y;
}

// Stopped by SIGTERM or SIGINT while it writes, a run leaves no temporary file (its picture
// would be there unredacted) and no output.
TEST_F(CliRun, ASignalWhileWritingLeavesNoTemporaryFile) {
    TBitmap noise(2400, 2000);
    uint32_t seed = 1;
    for (int32_t y = 0; y < noise.Height(); ++y) {
        uint8_t* row = noise.ScanLine(y);
        for (int32_t i = 0; i < noise.Width() * 3; ++i)
            row[i] = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    }
    const std::string in = (dir_ / "in/noise.bmp").string();
    noise.SaveToFile(in);
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        const fs::path folder = dir_ / ("out" + std::to_string(sig));
        fs::create_directories(folder);
        const std::string out = (folder / "noise.png").string();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0), dup2(null, 1), dup2(null, 2);
            execl(TILVO_CLI, TILVO_CLI, in.c_str(), out.c_str(), "--rect", "0,0,50,50",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        // The temporary file appears once the writer starts; then the signal.
        bool seen = false;
        for (int i = 0; i < 20000 && !seen; ++i) {
            for (const auto& e : fs::directory_iterator(folder))
                seen = seen || IsTemporaryFileName(e.path().filename().string());
            if (!seen) usleep(500);
        }
        ASSERT_TRUE(seen) << "no temporary file was ever made";
        kill(pid, sig);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before the signal: " << status;
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_TRUE(fs::is_empty(folder));
    }
}

// Every writer's failure reaches the user in words: the writer's own reason or the system's
// error text, with the input's and the output's names.
TEST_F(CliRun, EveryWriterSaysWhyItFailed) {
    const std::string in = Picture("small.bmp", 20, 10, 1);
    const std::string missing = (dir_ / "no/such/folder").string();
    for (const char* type :
         {"jpeg", "png", "bmp", "gif", "tga", "sgi", "pcx", "ppm", "mag", "dcr", "webp"}) {
        const std::string out = missing + "/out." + type;
        const TRun r = Run({in, out, "--type", type});
        EXPECT_EQ(r.Status, 1) << type;
        EXPECT_NE(r.Err.find("tilvo-cli: " + in + ": "), std::string::npos)
            << type << ": " << r.Err;
        EXPECT_NE(r.Err.find("\"" + out + "\": "), std::string::npos) << type << ": " << r.Err;
        EXPECT_NE(r.Err.find("No such file or directory"), std::string::npos)
            << type << ": " << r.Err;
    }
    // A picture too wide for WebP: the encoder's own reason, not a bare failure.
    std::string wide = "P5 17000 1 255\n";
    wide.append(17000, '\x40');
    const std::string pgm = (dir_ / "in/wide.pgm").string();
    WriteWholeFile(pgm, wide.data(), int64_t(wide.size()));
    const TRun r = Run({pgm, (dir_ / "wide.webp").string()});
    EXPECT_EQ(r.Status, 1);
    const size_t why = r.Err.find("could not write \"" + (dir_ / "wide.webp").string() + "\": ");
    ASSERT_NE(why, std::string::npos) << r.Err;
    EXPECT_GT(r.Err.size(), why + 40) << r.Err;
    EXPECT_FALSE(fs::exists(dir_ / "wide.webp"));
}

}  // namespace
}  // namespace tilvo
