// Tests of the PNG and GIF writers, the colour reduction behind them and the two readers. Written
// files are read back with libpng and giflib directly, independent of the readers under test.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FileFormat/ExportGlue.h"
#include "FileFormat/GIFImage.h"
#include "FileFormat/PNGImage.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

// ---- pictures ----

// A 24-bit picture whose pixel i (row-major) has colour `colors[i % n]`.
TBitmap& Fill(TBitmap& bmp, int32_t w, int32_t h, const std::vector<TColor>& colors) {
    bmp.Resize(w, h, pf24bit);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            bmp.SetPixel(x, y, colors[size_t(y * w + x) % colors.size()]);
    return bmp;
}

// n distinct colours in an order that is neither green-, red- nor blue-sorted.
std::vector<TColor> DistinctColors(int n) {
    std::vector<TColor> c;
    for (int k = 0; k < n; ++k)
        c.push_back(RGB(uint8_t(k * 37 + 11), uint8_t(255 - k), uint8_t(k * 73 + 5) ^ 0x55));
    return c;
}

// Sorted by green, then red, then blue.
std::vector<TColor> SortedGRB(std::vector<TColor> c) {
    std::sort(c.begin(), c.end(), [](TColor a, TColor b) {
        return std::tuple(GetGValue(a), GetRValue(a), GetBValue(a)) <
               std::tuple(GetGValue(b), GetRValue(b), GetBValue(b));
    });
    return c;
}

// Smooth gradients plus noise: thousands of colours.
void MakePhoto(TBitmap& bmp, int32_t w, int32_t h) {
    bmp.Resize(w, h, pf24bit);
    uint32_t s = 12345;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            const int n = int(s >> 29) - 4;
            auto c = [&](int v) { return uint8_t(std::clamp(v + n, 0, 255)); };
            bmp.SetPixel(x, y, RGB(c(x * 255 / w), c(y * 255 / h), c((x + y) * 2)));
        }
    }
}

bool SamePicture(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y)) return false;
    return true;
}

double MeanAbsError(const TBitmap& a, const TBitmap& b) {
    double sum = 0;
    for (int32_t y = 0; y < a.Height(); ++y) {
        for (int32_t x = 0; x < a.Width(); ++x) {
            const TColor p = a.Pixel(x, y), q = b.Pixel(x, y);
            sum += std::abs(GetRValue(p) - GetRValue(q)) + std::abs(GetGValue(p) - GetGValue(q)) +
                   std::abs(GetBValue(p) - GetBValue(q));
        }
    }
    return sum / (3.0 * a.Width() * a.Height());
}

int Gray(TColor c) {
    return (77 * GetRValue(c) + 150 * GetGValue(c) + 29 * GetBValue(c)) >> 8;
}

// ---- files ----

class TempDir {
  public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("tilvo-pnggif-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    size_t EntryCount() const {
        return size_t(std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
    }

  private:
    static inline int counter_ = 0;
    fs::path path_;
};

// ---- reading back with libpng ----

struct PngFile {
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colorType = -1, interlace = -1;
    std::vector<uint8_t> plte, trns;
    bool hasBkgd = false;
    std::vector<uint8_t> rgba;  // decoded by libpng's own reader
    TColor Rgb(uint32_t x, uint32_t y) const {
        const uint8_t* p = &rgba[(size_t(y) * width + x) * 4];
        return RGB(p[0], p[1], p[2]);
    }
    uint8_t Alpha(uint32_t x, uint32_t y) const { return rgba[(size_t(y) * width + x) * 4 + 3]; }
};

PngFile ReadPngBack(const std::vector<uint8_t>& file) {
    PngFile f;
    EXPECT_GE(file.size(), 8u);
    EXPECT_EQ(png_sig_cmp(file.data(), 0, 8), 0);
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const uint32_t len =
            uint32_t(file[pos]) << 24 | file[pos + 1] << 16 | file[pos + 2] << 8 | file[pos + 3];
        const std::string type(reinterpret_cast<const char*>(&file[pos + 4]), 4);
        const uint8_t* d = &file[pos + 8];
        if (type == "IHDR") {
            f.width = uint32_t(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3];
            f.height = uint32_t(d[4]) << 24 | d[5] << 16 | d[6] << 8 | d[7];
            f.bitDepth = d[8];
            f.colorType = d[9];
            f.interlace = d[12];
        }
        if (type == "PLTE") f.plte.assign(d, d + len);
        if (type == "tRNS") f.trns.assign(d, d + len);
        if (type == "bKGD") f.hasBkgd = true;
        pos += 12 + len;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        ADD_FAILURE() << "libpng: " << image.message;
        return f;
    }
    image.format = PNG_FORMAT_RGBA;
    f.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, f.rgba.data(), 0, nullptr))
        ADD_FAILURE() << "libpng: " << image.message;
    return f;
}

// ---- reading back with giflib ----

struct GifFile {
    std::string version;
    int screenWidth = 0, screenHeight = 0;
    std::vector<GifColorType> colors;  // the global colour table
    bool localTable = false;
    int imageCount = 0, width = 0, height = 0;
    std::vector<uint8_t> raster;
    int transparent = NO_TRANSPARENT_COLOR;
    TColor Rgb(int x, int y) const {
        const GifColorType& c = colors.at(raster[size_t(y) * size_t(width) + size_t(x)]);
        return RGB(c.Red, c.Green, c.Blue);
    }
};

struct MemoryIn {
    const std::vector<uint8_t>* data;
    size_t pos;
};

int ReadMemory(GifFileType* gif, GifByteType* out, int n) {
    auto* in = static_cast<MemoryIn*>(gif->UserData);
    const size_t k = std::min(size_t(n), in->data->size() - in->pos);
    std::memcpy(out, in->data->data() + in->pos, k);
    in->pos += k;
    return int(k);
}

GifFile ReadGifBack(const std::vector<uint8_t>& file) {
    GifFile f;
    f.version.assign(file.begin(), file.begin() + std::min<size_t>(6, file.size()));
    MemoryIn in{&file, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&in, ReadMemory, &error);
    if (!gif) {
        ADD_FAILURE() << "giflib: " << GifErrorString(error);
        return f;
    }
    if (DGifSlurp(gif) == GIF_ERROR) {
        ADD_FAILURE() << "giflib: " << GifErrorString(gif->Error);
    } else {
        f.screenWidth = gif->SWidth;
        f.screenHeight = gif->SHeight;
        if (gif->SColorMap)
            f.colors.assign(gif->SColorMap->Colors,
                            gif->SColorMap->Colors + gif->SColorMap->ColorCount);
        f.imageCount = gif->ImageCount;
        if (gif->ImageCount > 0) {
            const SavedImage& img = gif->SavedImages[0];
            f.localTable = img.ImageDesc.ColorMap != nullptr;
            f.width = img.ImageDesc.Width;
            f.height = img.ImageDesc.Height;
            f.raster.assign(img.RasterBits, img.RasterBits + size_t(f.width) * size_t(f.height));
            GraphicsControlBlock gcb;
            if (DGifSavedExtensionToGCB(gif, 0, &gcb) == GIF_OK)
                f.transparent = gcb.TransparentColor;
        }
    }
    DGifCloseFile(gif, &error);
    return f;
}

// ---- colour counting and the exact palette ----

struct CountCase {
    const char* name;
    std::function<void(TBitmap&)> make;
    int64_t expected;
};

TEST(CountDistinctColors, CountsDifferentTriplesInAnyPixelFormat) {
    const CountCase cases[] = {
        {"empty", [](TBitmap& b) { b.Resize(0, 0, pf24bit); }, 0},
        {"one colour", [](TBitmap& b) { Fill(b, 7, 5, {RGB(1, 2, 3)}); }, 1},
        // Blues on both sides of each 64-bit word of the per-(red, green) set.
        {"blues across words",
         [](TBitmap& b) {
             Fill(b, 9, 1,
                  {RGB(5, 5, 0), RGB(5, 5, 63), RGB(5, 5, 64), RGB(5, 5, 127), RGB(5, 5, 128),
                   RGB(5, 5, 191), RGB(5, 5, 192), RGB(5, 5, 255), RGB(5, 5, 255)});
         },
         8},
        // Same blue under different red/green pairs are different colours.
        {"red and green distinguish",
         [](TBitmap& b) {
             Fill(b, 4, 1, {RGB(0, 1, 9), RGB(1, 0, 9), RGB(255, 0, 9), RGB(0, 255, 9)});
         },
         4},
        {"all 256 grays twice",
         [](TBitmap& b) {
             std::vector<TColor> c;
             for (int i = 0; i < 256; ++i) c.push_back(RGB(uint8_t(i), uint8_t(i), uint8_t(i)));
             Fill(b, 32, 16, c);
         },
         256},
        // An 8-bit picture counts the colours shown: two entries of one colour count once.
        {"palette duplicates",
         [](TBitmap& b) {
             b.Resize(4, 1, pf8bit);
             b.Palette() = {{10, 20, 30, 0}, {10, 20, 30, 0}, {0, 0, 0, 0}, {1, 1, 1, 0}};
             for (int x = 0; x < 4; ++x) b.ScanLine(0)[x] = uint8_t(x);
         },
         3},
        // Alpha is no part of a colour.
        {"32-bit ignores alpha",
         [](TBitmap& b) {
             b.Resize(3, 1, pf32bit);
             const uint8_t px[12] = {1, 2, 3, 0, 1, 2, 3, 255, 3, 2, 1, 7};
             std::memcpy(b.ScanLine(0), px, 12);
         },
         2},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap b;
        c.make(b);
        EXPECT_EQ(CountDistinctColors(b), c.expected);
    }
    TBitmap photo;
    MakePhoto(photo, 64, 48);
    std::set<TColor> seen;
    for (int32_t y = 0; y < 48; ++y)
        for (int32_t x = 0; x < 64; ++x) seen.insert(photo.Pixel(x, y));
    EXPECT_EQ(CountDistinctColors(photo), int64_t(seen.size()));
}

// The row keys feed the count: the vector path and the portable one must give every pixel's own
// number at every width, including the pixels after the last full vector step.
TEST(CountDistinctColors, RowKeysAreEachPixelsColourOnBothPaths) {
    std::mt19937 rng(7);
    for (int32_t width : {1, 2, 7, 8, 9, 10, 11, 16, 17, 31, 40, 41, 6001}) {
        SCOPED_TRACE(width);
        // Exactly 3 * width bytes, so a read past the row's end shows under the sanitizers.
        std::vector<uint8_t> row(size_t(3) * width);
        for (uint8_t& b : row) b = uint8_t(rng());
        for (bool vector : {true, false}) {
            std::vector<uint32_t> keys(size_t(width) + 1, 0xDEADBEEF);
            RowColourKeys(row.data(), width, keys.data(), vector);
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t* px = &row[size_t(3) * x];
                ASSERT_EQ(keys[x], px[2] | uint32_t(px[1]) << 8 | uint32_t(px[0]) << 16)
                    << "pixel " << x << (vector ? " vector" : " portable");
            }
            EXPECT_EQ(keys[width], 0xDEADBEEFu) << "wrote past the row";
        }
    }
}

TEST(BuildExactPalette, OrdersByGreenRedBlueAndMapsEveryPixel) {
    for (int n : {1, 2, 200, 256}) {
        SCOPED_TRACE(n);
        const std::vector<TColor> colors = DistinctColors(n);
        TBitmap original, b;
        Fill(original, 23, 13, colors);
        b.Assign(original);
        BuildExactPalette(b);
        ASSERT_EQ(b.PixelFormat(), pf8bit);
        ASSERT_EQ(b.Palette().size(), 256u);
        const std::vector<TColor> sorted = SortedGRB(colors);
        for (int i = 0; i < 256; ++i) {
            const TPaletteEntry& e = b.Palette()[size_t(i)];
            const TColor expected = i < n ? sorted[size_t(i)] : RGB(0, 0, 0);
            EXPECT_EQ(RGB(e.Red, e.Green, e.Blue), expected) << "entry " << i;
            EXPECT_EQ(e.Flags, 0);
        }
        EXPECT_TRUE(SamePicture(b, original));
    }
}

TEST(BuildExactPalette, RefusesMoreThan256Colours) {
    TBitmap b;
    Fill(b, 17, 17, DistinctColors(256));
    b.SetPixel(16, 16, RGB(1, 2, 3));  // a 257th colour
    EXPECT_THROW(BuildExactPalette(b), Exception);
}

TEST(ReduceTo8Bit, ChoosesExactPaletteOrQuantiser) {
    // Already 8 bits: untouched, even with a palette out of order.
    TBitmap eight(3, 1, pf8bit);
    eight.Palette() = {{9, 9, 9, 0}, {1, 1, 1, 0}, {5, 5, 5, 0}};
    for (int x = 0; x < 3; ++x) eight.ScanLine(0)[x] = uint8_t(2 - x);
    ReduceTo8Bit(eight);
    EXPECT_EQ(eight.Palette()[0], (TPaletteEntry{9, 9, 9, 0}));
    EXPECT_EQ(eight.ScanLine(0)[0], 2);

    // 256 colours (also through a 32-bit picture): the exact palette, the same picture.
    TBitmap original, b;
    Fill(original, 16, 16, DistinctColors(256));
    b.Assign(original);
    b.SetPixelFormat(pf32bit);
    ReduceTo8Bit(b);
    EXPECT_EQ(b.PixelFormat(), pf8bit);
    EXPECT_TRUE(SamePicture(b, original));

    // A photograph: at most 236 colours chosen by the JPEG quantiser, close to the original.
    TBitmap photo, q;
    MakePhoto(photo, 96, 64);
    ASSERT_GT(CountDistinctColors(photo), 256);
    q.Assign(photo);
    ReduceTo8Bit(q);
    EXPECT_EQ(q.PixelFormat(), pf8bit);
    EXPECT_LE(q.Palette().size(), 236u);
    EXPECT_GT(q.Palette().size(), 16u);
    EXPECT_LE(CountDistinctColors(q), 236);
    EXPECT_LT(MeanAbsError(q, photo), 8.0);
}

TEST(BottomLeftColor, IsWhiteForEmptyElseColumnZeroOfBottomRow) {
    TBitmap empty;
    EXPECT_EQ(BottomLeftColor(empty), RGB(255, 255, 255));
    TBitmap b(2, 3, pf8bit);
    b.Palette() = {{10, 20, 30, 0}, {40, 50, 60, 0}};
    for (int y = 0; y < 3; ++y) b.ScanLine(y)[0] = b.ScanLine(y)[1] = uint8_t(y == 2 ? 1 : 0);
    EXPECT_EQ(BottomLeftColor(b), RGB(40, 50, 60));
    EXPECT_EQ(b.PixelFormat(), pf24bit);  // made 24-bit in place
}

// ---- the PNG writer ----

enum class PixelCheck { Exact, Gray, Quantised };

struct PngCase {
    const char* name;
    std::function<void(TBitmap&)> make;
    bool interlaced, grayscale, reduce, transparent;
    int colorType;
    PixelCheck check;
};

void FiveColours(TBitmap& b) {
    // Sorted by green, red, blue the colours are: black, red, blue-ish, (40, 60, 10), white;
    // the bottom-left pixel gets (40, 60, 10), entry 3.
    Fill(b, 5, 4,
         {RGB(255, 255, 255), RGB(0, 0, 0), RGB(255, 0, 0), RGB(0, 10, 200), RGB(40, 60, 10)});
    b.SetPixel(0, 3, RGB(40, 60, 10));
}

void Primaries(TBitmap& b) {
    Fill(b, 5, 2,
         {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255), RGB(255, 255, 255), RGB(0, 0, 0)});
}

TEST(SavePng, WritesWhatEachOptionAsks) {
    const PngCase cases[] = {
        {"rgb", [](TBitmap& b) { MakePhoto(b, 40, 30); }, false, false, false, false,
         PNG_COLOR_TYPE_RGB, PixelCheck::Exact},
        {"rgb interlaced", [](TBitmap& b) { MakePhoto(b, 41, 29); }, true, false, false, false,
         PNG_COLOR_TYPE_RGB, PixelCheck::Exact},
        {"reduce exact", [](TBitmap& b) { Fill(b, 20, 15, DistinctColors(200)); }, false, false,
         true, false, PNG_COLOR_TYPE_PALETTE, PixelCheck::Exact},
        {"transparent palette", FiveColours, false, false, false, true, PNG_COLOR_TYPE_PALETTE,
         PixelCheck::Exact},
        {"transparent 256 interlaced", [](TBitmap& b) { Fill(b, 16, 16, DistinctColors(256)); },
         true, false, false, true, PNG_COLOR_TYPE_PALETTE, PixelCheck::Exact},
        {"gray", Primaries, false, true, false, false, PNG_COLOR_TYPE_GRAY, PixelCheck::Gray},
        {"gray of palette", FiveColours, false, true, true, false, PNG_COLOR_TYPE_GRAY,
         PixelCheck::Gray},
        {"gray transparent", FiveColours, true, true, false, true, PNG_COLOR_TYPE_GRAY,
         PixelCheck::Gray},
        {"quantised", [](TBitmap& b) { MakePhoto(b, 64, 48); }, false, false, true, false,
         PNG_COLOR_TYPE_PALETTE, PixelCheck::Quantised},
    };
    TempDir dir;
    for (const PngCase& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap picture;
        c.make(picture);
        const std::string name = dir.File("out.png");
        ASSERT_TRUE(SavePng(picture, name, c.interlaced, c.grayscale, c.reduce, c.transparent));
        const PngFile f = ReadPngBack(ReadWholeFile(name));
        EXPECT_EQ(f.width, uint32_t(picture.Width()));
        EXPECT_EQ(f.height, uint32_t(picture.Height()));
        EXPECT_EQ(f.bitDepth, 8);
        EXPECT_EQ(f.colorType, c.colorType);
        EXPECT_EQ(f.interlace, c.interlaced ? 1 : 0);
        EXPECT_FALSE(f.hasBkgd);

        const TColor key = picture.Pixel(0, picture.Height() - 1);
        if (c.colorType == PNG_COLOR_TYPE_PALETTE && c.check == PixelCheck::Exact) {
            // The exact palette: every distinct colour in green, red, blue order, 256 entries.
            std::set<TColor> distinct;
            for (int32_t y = 0; y < picture.Height(); ++y)
                for (int32_t x = 0; x < picture.Width(); ++x) distinct.insert(picture.Pixel(x, y));
            const std::vector<TColor> sorted =
                SortedGRB(std::vector<TColor>(distinct.begin(), distinct.end()));
            ASSERT_EQ(f.plte.size(), 768u);
            for (size_t i = 0; i < sorted.size(); ++i)
                EXPECT_EQ(RGB(f.plte[3 * i], f.plte[3 * i + 1], f.plte[3 * i + 2]), sorted[i]);
            if (c.transparent) {
                const size_t index =
                    size_t(std::find(sorted.begin(), sorted.end(), key) - sorted.begin());
                std::vector<uint8_t> expected(index + 1, 255);
                expected[index] = 0;
                EXPECT_EQ(f.trns, expected);
            } else {
                EXPECT_TRUE(f.trns.empty());
            }
        }
        if (c.colorType == PNG_COLOR_TYPE_GRAY) {
            EXPECT_TRUE(f.plte.empty());
            const std::vector<uint8_t> trns = c.transparent
                                                  ? std::vector<uint8_t>{0, uint8_t(Gray(key))}
                                                  : std::vector<uint8_t>{};
            EXPECT_EQ(f.trns, trns);
        }
        if (c.colorType == PNG_COLOR_TYPE_RGB) {
            EXPECT_TRUE(f.plte.empty());
            EXPECT_TRUE(f.trns.empty());
        }

        if (c.check == PixelCheck::Quantised) {
            EXPECT_LE(f.plte.size(), 236u * 3);
            TBitmap back;
            back.Resize(picture.Width(), picture.Height(), pf24bit);
            for (int32_t y = 0; y < picture.Height(); ++y)
                for (int32_t x = 0; x < picture.Width(); ++x)
                    back.SetPixel(x, y, f.Rgb(uint32_t(x), uint32_t(y)));
            EXPECT_LT(MeanAbsError(back, picture), 8.0);
            continue;
        }
        for (int32_t y = 0; y < picture.Height(); ++y) {
            for (int32_t x = 0; x < picture.Width(); ++x) {
                const TColor p = picture.Pixel(x, y);
                const TColor want = c.check == PixelCheck::Gray
                                        ? RGB(uint8_t(Gray(p)), uint8_t(Gray(p)), uint8_t(Gray(p)))
                                        : p;
                ASSERT_EQ(f.Rgb(uint32_t(x), uint32_t(y)), want) << x << "," << y;
                const bool clear = c.transparent &&
                                   (c.check == PixelCheck::Gray ? Gray(p) == Gray(key) : p == key);
                ASSERT_EQ(f.Alpha(uint32_t(x), uint32_t(y)), clear ? 0 : 255) << x << "," << y;
            }
        }
    }
}

TEST(SavePng, GrayLevelsOfPrimaries) {
    TempDir dir;
    TBitmap b;
    Primaries(b);
    ASSERT_TRUE(SavePng(b, dir.File("g.png"), false, true, false, false));
    const PngFile f = ReadPngBack(ReadWholeFile(dir.File("g.png")));
    const int expected[5] = {76, 149, 28, 255, 0};
    for (int x = 0; x < 5; ++x) EXPECT_EQ(GetRValue(f.Rgb(uint32_t(x), 0)), expected[x]);
}

TEST(SavePng, TransparentEntryThreeGivesFourTrnsBytes) {
    TempDir dir;
    TBitmap b;
    FiveColours(b);
    ASSERT_TRUE(SavePng(b, dir.File("t.png"), false, false, false, true));
    EXPECT_EQ(ReadPngBack(ReadWholeFile(dir.File("t.png"))).trns,
              (std::vector<uint8_t>{255, 255, 255, 0}));
}

// ---- the GIF writer ----

TEST(SaveGif, ExactPaletteWithoutTransparencyKeepsPaletteAndIndices) {
    TempDir dir;
    TBitmap b;
    const std::vector<TColor> colors = DistinctColors(200);
    Fill(b, 20, 15, colors);
    ASSERT_TRUE(SaveGif(b, dir.File("a.gif"), false));
    const GifFile f = ReadGifBack(ReadWholeFile(dir.File("a.gif")));
    EXPECT_EQ(f.version, "GIF89a");
    EXPECT_EQ(f.imageCount, 1);
    EXPECT_FALSE(f.localTable);
    ASSERT_EQ(f.colors.size(), 256u);
    const std::vector<TColor> sorted = SortedGRB(colors);
    for (size_t i = 0; i < sorted.size(); ++i)
        EXPECT_EQ(RGB(f.colors[i].Red, f.colors[i].Green, f.colors[i].Blue), sorted[i]);
    EXPECT_EQ(f.transparent, NO_TRANSPARENT_COLOR);
    ASSERT_EQ(f.width, 20);
    ASSERT_EQ(f.height, 15);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x) ASSERT_EQ(f.Rgb(x, y), b.Pixel(x, y));
}

TEST(SaveGif, TransparencyCompactsByUseAndAppendsTheTransparentEntry) {
    // Uses: A 50, B 30, C 15 (bottom-left), D 5.
    const TColor A = RGB(200, 0, 0), B = RGB(0, 200, 0), C = RGB(0, 0, 200), D = RGB(9, 9, 9);
    TBitmap b(10, 10, pf24bit);
    for (int i = 0; i < 100; ++i)
        b.SetPixel(i % 10, i / 10, i < 50 ? A : i < 80 ? B : i < 95 ? C : D);
    TempDir dir;
    ASSERT_TRUE(SaveGif(b, dir.File("t.gif"), true));
    const GifFile f = ReadGifBack(ReadWholeFile(dir.File("t.gif")));
    ASSERT_EQ(f.colors.size(), 8u);  // 4 used + the transparent entry, padded to a power of two
    const TColor expected[5] = {A, B, C, D, RGB(0, 0, 0)};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(RGB(f.colors[size_t(i)].Red, f.colors[size_t(i)].Green, f.colors[size_t(i)].Blue),
                  expected[i]);
    EXPECT_EQ(f.transparent, 4);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 10; ++x) {
            const TColor p = b.Pixel(x, y);
            const int want = p == A ? 0 : p == B ? 1 : p == C ? 4 : 3;
            ASSERT_EQ(f.raster[size_t(y * 10 + x)], want) << x << "," << y;
        }
    }
}

TEST(SaveGif, Exactly256ColoursGetNoTransparency) {
    TBitmap b;
    Fill(b, 16, 17, DistinctColors(256));
    TempDir dir;
    ASSERT_TRUE(SaveGif(b, dir.File("n.gif"), true));
    const GifFile f = ReadGifBack(ReadWholeFile(dir.File("n.gif")));
    EXPECT_EQ(f.transparent, NO_TRANSPARENT_COLOR);
    ASSERT_EQ(f.colors.size(), 256u);
    // Compacted by use: the sixteen colours of the seventeenth row are used twice, and come first.
    std::map<int, int> uses;
    for (uint8_t v : f.raster) ++uses[v];
    for (int i = 1; i < 256; ++i) EXPECT_GE(uses[i - 1], uses[i]);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(f.Rgb(x, y), b.Pixel(x, y));
}

TEST(SaveGif, PhotographIsQuantisedTo236Colours) {
    TBitmap photo;
    MakePhoto(photo, 80, 60);
    TempDir dir;
    ASSERT_TRUE(SaveGif(photo, dir.File("p.gif"), false));
    const GifFile f = ReadGifBack(ReadWholeFile(dir.File("p.gif")));
    ASSERT_EQ(f.width, 80);
    std::set<uint8_t> used(f.raster.begin(), f.raster.end());
    EXPECT_LE(used.size(), 236u);
    EXPECT_LE(*used.rbegin(), 235);
    TBitmap back(80, 60, pf24bit);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) back.SetPixel(x, y, f.Rgb(x, y));
    EXPECT_LT(MeanAbsError(back, photo), 8.0);
}

// ---- what every writer promises ----

TEST(PngGifWriters, NeverChangeTheWorkingPicture) {
    TBitmap photo, before;
    MakePhoto(photo, 50, 40);
    before.Assign(photo);
    TempDir dir;
    ASSERT_TRUE(SaveGif(photo, dir.File("a.gif"), true));
    ASSERT_TRUE(SavePng(photo, dir.File("a.png"), true, true, true, true));
    EXPECT_EQ(photo.PixelFormat(), pf24bit);
    for (int32_t y = 0; y < 40; ++y)
        ASSERT_EQ(std::memcmp(photo.ScanLine(y), before.ScanLine(y), 150), 0);
}

TEST(PngGifWriters, FailedSaveLeavesTheExistingFileIntact) {
    struct Case {
        const char* name;
        int32_t w, h;
        std::function<bool(TBitmap&, const std::string&)> save;
    };
    const Case cases[] = {
        {"empty png", 0, 0,
         [](TBitmap& b, const std::string& n) {
             return SavePng(b, n, false, false, false, false);
         }},
        {"empty gif", 0, 0, [](TBitmap& b, const std::string& n) { return SaveGif(b, n, false); }},
        {"gif too wide", 70000, 1,
         [](TBitmap& b, const std::string& n) { return SaveGif(b, n, true); }},
        {"missing folder", 4, 4,
         [](TBitmap& b, const std::string& n) {
             return SavePng(b, n + ".dir/x.png", false, false, false, false);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string name = dir.File("old.png");
        const std::string old = "the file that was there";
        WriteWholeFile(name, old.data(), int64_t(old.size()));
        TBitmap b;
        Fill(b, c.w, c.h, {RGB(1, 2, 3), RGB(4, 5, 6)});
        EXPECT_FALSE(c.save(b, name));
        const std::vector<uint8_t> now = ReadWholeFile(name);
        EXPECT_EQ(std::string(now.begin(), now.end()), old);
        EXPECT_EQ(dir.EntryCount(), 1u);  // no temporary file left behind
    }
}

// ---- the readers ----

TEST(PngGifReaders, OpenWhatTheWritersWrote) {
    TBitmap photo;
    MakePhoto(photo, 33, 21);
    TempDir dir;
    ASSERT_TRUE(SavePng(photo, dir.File("r.png"), true, false, false, false));
    TPNGImage png;
    png.LoadFromFile(dir.File("r.png"));
    EXPECT_TRUE(SamePicture(png.Bitmap(), photo));
    EXPECT_EQ(png.Bitmap().PixelFormat(), pf24bit);

    TBitmap few;
    Fill(few, 9, 7, DistinctColors(40));
    ASSERT_TRUE(SaveGif(few, dir.File("r.gif"), false));
    TGIFImage gif;
    // Read from the start whatever the stream's position.
    TMemoryStream stream(ReadWholeFile(dir.File("r.gif")));
    stream.SetPosition(10);
    gif.LoadFromStream(stream);
    EXPECT_TRUE(SamePicture(gif.Bitmap(), few));
}

std::vector<uint8_t> PngChunk(const char* type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out = {uint8_t(data.size() >> 24), uint8_t(data.size() >> 16),
                                uint8_t(data.size() >> 8), uint8_t(data.size())};
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(type[i]));
    for (uint8_t v : data) out.push_back(v);
    const uint32_t crc = uint32_t(
        crc32(crc32(0, reinterpret_cast<const Bytef*>(type), 4), data.data(), uInt(data.size())));
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(crc >> s));
    return out;
}

std::vector<uint8_t> PngWithHeader(uint32_t w, uint32_t h) {
    std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uint8_t> ihdr = {uint8_t(w >> 24),
                                 uint8_t(w >> 16),
                                 uint8_t(w >> 8),
                                 uint8_t(w),
                                 uint8_t(h >> 24),
                                 uint8_t(h >> 16),
                                 uint8_t(h >> 8),
                                 uint8_t(h),
                                 8,
                                 2,
                                 0,
                                 0,
                                 0};
    for (auto& chunk :
         {PngChunk("IHDR", ihdr), PngChunk("IDAT", {0x78, 0x9c, 0x03, 0x00}), PngChunk("IEND", {})})
        f.insert(f.end(), chunk.begin(), chunk.end());
    return f;
}

std::vector<uint8_t> Gif(uint16_t sw, uint16_t sh, uint16_t left, uint16_t top, uint16_t w,
                         uint16_t h, bool withImage = true, uint32_t pixels = ~0u) {
    std::vector<uint8_t> f = {'G', 'I', 'F', '8', '9', 'a', uint8_t(sw), uint8_t(sw >> 8),
                              uint8_t(sh), uint8_t(sh >> 8), 0x81, 2, 0,
                              // global table: black, red, green (the background), blue
                              0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    if (withImage) {
        const uint8_t desc[] = {
            0x2c,       uint8_t(left),   uint8_t(left >> 8), uint8_t(top),    uint8_t(top >> 8),
            uint8_t(w), uint8_t(w >> 8), uint8_t(h),         uint8_t(h >> 8), 0};
        for (uint8_t v : desc) f.push_back(v);
        // LZW, code size 2: clear, then pixel 1 over and over with a clear every two codes.
        f.push_back(2);
        std::vector<uint8_t> data;
        uint32_t acc = 0;
        int bits = 0;
        auto put = [&](uint32_t code) {
            acc |= code << bits;
            bits += 3;
            while (bits >= 8) data.push_back(uint8_t(acc)), acc >>= 8, bits -= 8;
        };
        for (uint32_t i = 0; i < std::min(pixels, uint32_t(w) * h); ++i) {
            if (i % 2 == 0) put(4);
            put(1);
        }
        put(5);
        if (bits > 0) data.push_back(uint8_t(acc));
        for (size_t p = 0; p < data.size(); p += 255) {
            const size_t n = std::min<size_t>(255, data.size() - p);
            f.push_back(uint8_t(n));
            f.insert(f.end(), data.begin() + long(p), data.begin() + long(p + n));
        }
        f.push_back(0);
    }
    f.push_back(0x3b);
    return f;
}

TEST(PngGifReaders, GifImageIsPlacedOnTheScreenAndClipped) {
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        int32_t width, height;
        TRect red;  // where the image's red pixels must land; the rest is the background (green)
    };
    const Case cases[] = {
        {"same size", Gif(4, 3, 0, 0, 4, 3), 4, 3, {0, 0, 4, 3}},
        {"offset", Gif(6, 5, 2, 1, 3, 2), 6, 5, {2, 1, 5, 3}},
        {"clipped right and bottom", Gif(5, 4, 3, 2, 4, 4), 5, 4, {3, 2, 5, 4}},
        {"outside the screen", Gif(5, 4, 60000, 60000, 3, 3), 5, 4, {0, 0, 0, 0}},
        {"zero screen takes the extent", Gif(0, 0, 1, 1, 2, 2), 3, 3, {1, 1, 3, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TGIFImage gif;
        TMemoryStream stream(c.file);
        gif.LoadFromStream(stream);
        const TBitmap& b = gif.Bitmap();
        ASSERT_EQ(b.Width(), c.width);
        ASSERT_EQ(b.Height(), c.height);
        for (int32_t y = 0; y < b.Height(); ++y) {
            for (int32_t x = 0; x < b.Width(); ++x) {
                const bool inside =
                    x >= c.red.Left && x < c.red.Right && y >= c.red.Top && y < c.red.Bottom;
                ASSERT_EQ(b.Pixel(x, y), inside ? RGB(255, 0, 0) : RGB(0, 255, 0)) << x << "," << y;
            }
        }
    }
}

TEST(PngGifReaders, MalformedFilesFailWithAMessage) {
    TBitmap photo;
    MakePhoto(photo, 30, 20);
    TempDir dir;
    ASSERT_TRUE(SavePng(photo, dir.File("ok.png"), false, false, false, false));
    ASSERT_TRUE(SaveGif(photo, dir.File("ok.gif"), false));
    const std::vector<uint8_t> png = ReadWholeFile(dir.File("ok.png"));
    const std::vector<uint8_t> gif = ReadWholeFile(dir.File("ok.gif"));
    std::vector<uint8_t> badCrc = png;
    badCrc[20] ^= 1;  // inside IHDR

    struct Case {
        const char* name;
        bool isPng;
        std::vector<uint8_t> file;
        const char* message;  // a part of the message
    };
    const std::vector<Case> cases = {
        {"png signature", true, std::vector<uint8_t>(gif.begin(), gif.end()), "Not a PNG file"},
        {"png empty", true, {}, "Not a PNG file"},
        {"png cut in the header", true, std::vector<uint8_t>(png.begin(), png.begin() + 30),
         "truncated"},
        {"png cut in the pixels", true, std::vector<uint8_t>(png.begin(), png.end() - 40),
         "Invalid PNG file"},
        {"png bad crc", true, badCrc, "CRC"},
        {"png huge", true, PngWithHeader(1000000, 1000000), "too large"},
        {"png over the side limit", true, PngWithHeader(2000000, 1), "Invalid PNG file"},
        {"gif signature", false, std::vector<uint8_t>(png.begin(), png.end()), "Not a GIF file"},
        {"gif cut", false, std::vector<uint8_t>(gif.begin(), gif.begin() + long(gif.size() / 2)),
         "Invalid GIF file"},
        {"gif cut in the screen", false, std::vector<uint8_t>(gif.begin(), gif.begin() + 9),
         "Invalid GIF file"},
        {"gif no image", false, Gif(4, 4, 0, 0, 0, 0, false), "no image"},
        {"gif huge screen", false, Gif(65535, 65535, 0, 0, 1, 1), "too large"},
        {"gif screen far beyond its image", false, Gif(4200, 4000, 0, 0, 1, 1),
         "the file is too short for a 4200 \u00D7 4000 picture"},
        {"gif huge image", false, Gif(1, 1, 0, 0, 65535, 65535, true, 64), "too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryStream stream(c.file);
        try {
            if (c.isPng) {
                TPNGImage g;
                g.LoadFromStream(stream);
            } else {
                TGIFImage g;
                g.LoadFromStream(stream);
            }
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    // Every truncation of a valid file fails cleanly.
    for (size_t n = 0; n < png.size(); n += 7) {
        TMemoryStream s(std::vector<uint8_t>(png.begin(), png.begin() + long(n)));
        TPNGImage g;
        EXPECT_THROW(g.LoadFromStream(s), Exception) << n;
    }
    // (The trailer byte after the first image is not needed.)
    for (size_t n = 0; n + 1 < gif.size(); n += 7) {
        TMemoryStream s(std::vector<uint8_t>(gif.begin(), gif.begin() + long(n)));
        TGIFImage g;
        EXPECT_THROW(g.LoadFromStream(s), Exception) << n;
    }
}

}  // namespace
}  // namespace tilvo
