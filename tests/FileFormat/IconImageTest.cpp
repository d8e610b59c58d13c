// Icons and cursors: the first image opens in 24 bits whatever its depth, the directory's 0 means
// 256, the information header decides the depth, the mask is never read, 32-bit and PNG images
// are composited over white, and malformed directories and images fail with their messages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "FileFormat/IconImageA.h"
#include "FileFormat/IconImageB.h"
#include "FileFormat/PNGImage.h"
#include "IconTestSupport.h"

namespace tilvo {
namespace {

using namespace icontest;

// Opens the file the way the open path does: TIconImageB decodes, the surface takes the picture.
void LoadB(const std::vector<uint8_t>& file, TBitmap& out) {
    TIconImageB icon;
    TMemoryStream stream(file);
    icon.LoadFromStream(stream);
    icon.AssignTo(out);
}

// A picture with a different colour in every pixel of a small icon.
uint32_t Rgb(int x, int y) {
    return uint32_t(x * 13 + 7) << 16 | uint32_t(y * 29 + 3) << 8 | uint32_t((x ^ y) * 5);
}

TColor AsColor(uint32_t rgb) {
    return RGB(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
}

TEST(IconImageB, EveryDepthOpensIn24BitsWithTheImageColours) {
    // The palette of the palette cases: entry i is a colour of its own.
    std::vector<uint32_t> table(256);
    for (size_t i = 0; i < table.size(); ++i) table[i] = uint32_t(i * 0x010305 + 0x204000);
    const struct {
        const char* name;
        int bits;
        int w, h;
        uint8_t entryColours;  // what the directory claims; never decides the depth
        bool mask;
    } cases[] = {
        {"1-bit with mask", 1, 13, 5, 2, true},
        {"4-bit 32x32 with mask", 4, 32, 32, 16, true},
        {"8-bit without mask bytes", 8, 9, 7, 0, false},
        {"8-bit whose entry claims 16 colours", 8, 6, 4, 16, true},
        {"4-bit whose entry claims 2 colours", 4, 7, 3, 2, true},
        {"24-bit", 24, 5, 6, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int colours = c.bits <= 8 ? 1 << c.bits : 0;
        auto value = [&](int x, int y) -> uint32_t {
            return c.bits <= 8 ? uint32_t(x * 3 + y * 5) % uint32_t(colours) : Rgb(x, y);
        };
        TIconImageSpec spec;
        spec.image = IconImage(c.bits, c.w, c.h, value, table, c.mask ? 0xFF : -1);
        spec.colours = c.entryColours;
        TBitmap out;
        LoadB(IconFile(1, {spec}, c.w, c.h), out);
        ASSERT_EQ(out.PixelFormat(), pf24bit);
        ASSERT_EQ(out.Width(), c.w);
        ASSERT_EQ(out.Height(), c.h);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const uint32_t v = value(x, y);
                ASSERT_EQ(out.Pixel(x, y), AsColor(c.bits <= 8 ? table[v] : v)) << x << "," << y;
            }
    }
}

TEST(IconImageB, TheFirstImageOpensAndTheOthersAreNotRead) {
    std::vector<uint32_t> table = {0x000000, 0xFF0000};
    TIconImageSpec small{IconImage(
        1, 8, 8, [](int x, int) { return uint32_t(x & 1); }, table)};
    TIconImageSpec big{IconImage(24, 20, 12, Rgb, {})};
    // The first entry's image sits after the second's in the file, so its "next entry" begins
    // before it: nothing about its length may depend on that.
    TBitmap out;
    LoadB(IconFile(1, {small, big}, 8, 8, /*reverse=*/true), out);
    EXPECT_EQ(out.Width(), 8);
    EXPECT_EQ(out.Height(), 8);
    EXPECT_EQ(out.Pixel(1, 0), AsColor(0xFF0000));
    EXPECT_EQ(out.Pixel(0, 7), 0u);

    // A broken second image does not matter either.
    TIconImageSpec broken{std::vector<uint8_t>(40, 0xEE)};
    LoadB(IconFile(2, {big, broken}, 20, 12), out);
    EXPECT_EQ(out.Width(), 20);
    EXPECT_EQ(out.Pixel(19, 11), AsColor(Rgb(19, 11)));
}

TEST(IconImageB, ADirectorySizeOf0Means256) {
    std::vector<uint32_t> table = {0x102030, 0xF0E0D0};
    auto value = [](int x, int y) { return uint32_t((x + y) % 3 == 0); };
    TIconImageSpec spec{IconImage(1, 256, 256, value, table, 0)};
    TBitmap out;
    LoadB(IconFile(1, {spec}, 0, 0), out);
    ASSERT_EQ(out.Width(), 256);
    ASSERT_EQ(out.Height(), 256);
    EXPECT_EQ(out.Pixel(255, 0), AsColor(table[value(255, 0)]));
    EXPECT_EQ(out.Pixel(0, 255), AsColor(table[value(0, 255)]));
    EXPECT_EQ(out.Pixel(200, 100), AsColor(table[value(200, 100)]));
}

TEST(IconImageB, A32BitImageIsCompositedOverWhite) {
    const uint32_t argb[] = {
        0xFF123456,  // opaque: its colour
        0x00123456,  // transparent: white
        0x80000000,  // half-covered black: 127 (255 · 127 / 255, rounded)
        0x80FF0000,  // half-covered red: 255, 127, 127
    };
    TIconImageSpec spec{IconImage(
        32, 4, 1, [&](int x, int) { return argb[x]; }, {}, 0xFF)};
    TBitmap out;
    LoadB(IconFile(1, {spec}, 4, 1), out);
    EXPECT_EQ(out.Pixel(0, 0), RGB(0x12, 0x34, 0x56));
    EXPECT_EQ(out.Pixel(1, 0), RGB(255, 255, 255));
    EXPECT_EQ(out.Pixel(2, 0), RGB(127, 127, 127));
    EXPECT_EQ(out.Pixel(3, 0), RGB(255, 127, 127));

    // Alpha bytes that are all 0 mean the image carries no alpha: its colours show.
    TIconImageSpec noAlpha{IconImage(32, 3, 2, Rgb, {}, 0xFF)};
    TBitmap flat;
    LoadB(IconFile(1, {noAlpha}, 3, 2), flat);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(flat.Pixel(x, y), AsColor(Rgb(x, y)));
}

TEST(IconImageB, APngImageOpensThroughThePngClass) {
    TPNGImage png;
    png.Bitmap().Resize(300, 2, pf24bit);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 300; ++x) png.Bitmap().SetPixel(x, y, AsColor(Rgb(x % 19, y)));
    TMemoryStream encoded;
    png.SaveToStream(encoded);
    TIconImageSpec spec{encoded.Memory()};
    // 300 pixels do not fit the directory's byte: 0 stands in; the PNG's own size counts.
    TBitmap out;
    LoadB(IconFile(1, {spec}, 0, 2), out);
    ASSERT_EQ(out.Width(), 300);
    ASSERT_EQ(out.Height(), 2);
    for (int x : {0, 150, 299}) EXPECT_EQ(out.Pixel(x, 1), AsColor(Rgb(x % 19, 1)));
}

TEST(IconImageB, MalformedFilesFailWithTheirMessages) {
    TIconImageSpec good{IconImage(
        8, 4, 4, [](int x, int) { return uint32_t(x); }, std::vector<uint32_t>(256, 0x808080))};
    const std::vector<uint8_t> file = IconFile(1, {good}, 4, 4);
    auto with = [&](std::function<void(std::vector<uint8_t>&)> change) {
        std::vector<uint8_t> f = file;
        change(f);
        return f;
    };
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {"empty", {}, "Signature err"},
        {"shorter than a directory", {0, 0, 1}, "Signature err"},
        {"reserved field set", with([](auto& f) { f[0] = 1; }), "Reserved error"},
        {"type 3", with([](auto& f) { f[2] = 3; }), "Resource type error"},
        {"no image", with([](auto& f) { f[4] = 0; }), "The icon holds no image"},
        {"entry cut off", std::vector<uint8_t>(file.begin(), file.begin() + 12),
         "Icon directory truncated"},
        {"image beyond the end", with([](auto& f) { SetU32(f, 6 + 8, uint32_t(f.size())); }),
         "Icon image outside the file"},
        {"second image beyond the end (a cut file)",
         [&] {
             std::vector<uint8_t> two = IconFile(1, {good, good}, 4, 4);
             SetU32(two, 6 + 16 + 8, uint32_t(two.size()));
             return two;
         }(),
         "Icon image outside the file"},
        {"image offset inside the directory", with([](auto& f) { f[6 + 12] = 6; }),
         "Icon image outside the file"},
        {"bit count 0", with([](auto& f) { f[22 + 14] = 0; }), "Zero BitCount"},
        {"height 0", with([](auto& f) { f[22 + 8] = 0; }), "Invalid icon image header"},
        {"core header", with([](auto& f) { f[22] = 12; }), "Invalid icon image header"},
        {"colour rows cut", with([](auto& f) { SetU32(f, 6 + 8, 40 + 1024 + 15); }),
         "Bitmap file truncated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TIconImageB icon;
        icon.Bitmap().Resize(2, 2, pf24bit);
        icon.Bitmap().SetPixel(1, 1, 0xABCDEF);
        TMemoryStream stream(c.bytes);
        try {
            icon.LoadFromStream(stream);
            ADD_FAILURE() << "opened";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        // The graphic keeps what it had.
        EXPECT_EQ(icon.Bitmap().Width(), 2);
        EXPECT_EQ(icon.Bitmap().Pixel(1, 1), 0xABCDEFu);
    }
}

TEST(IconImageA, KeepsTheStoredDepthAndTakesTheHeadersSize) {
    std::vector<uint32_t> table(256);
    for (size_t i = 0; i < table.size(); ++i) table[i] = uint32_t(i * 0x030201);
    {
        TIconImageA icon;
        TIconImageSpec spec{IconImage(
            8, 5, 3, [](int x, int y) { return uint32_t(x + 10 * y); }, table, 0xFF)};
        TMemoryStream stream(IconFile(2, {spec}, 5, 3));
        icon.LoadFromStream(stream);
        EXPECT_EQ(icon.Bitmap().PixelFormat(), pf8bit);
        EXPECT_EQ(icon.Bitmap().Pixel(4, 2), AsColor(table[24]));
    }
    {
        // A resource image has no directory: the header gives the width and twice the height.
        const std::vector<uint8_t> image = IconImage(
            32, 300, 20, [](int x, int y) { return 0x80000000u | Rgb(x % 7, y); }, {}, 0xFF);
        TIconImageA icon;
        icon.LoadImageData(image.data(), image.size());
        ASSERT_EQ(icon.Bitmap().PixelFormat(), pf32bit);
        ASSERT_EQ(icon.Bitmap().Width(), 300);
        ASSERT_EQ(icon.Bitmap().Height(), 20);
        const uint8_t* p = icon.Bitmap().ScanLine(19) + 4 * 299;
        EXPECT_EQ(p[3], 0x80);  // alpha kept
        EXPECT_EQ(icon.Bitmap().Pixel(299, 19), AsColor(Rgb(299 % 7, 19)));
    }
}

TEST(IconImage, NeitherClassWritesAndAnExistingFileStays) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("tilvo-icon-" + std::to_string(::getpid())))
            .string();
    const std::vector<uint8_t> old = {1, 2, 3};
    {
        TSafeFileStream out(path);
        out.Write(old.data(), 3);
        out.Commit();
    }
    TIconImageSpec spec{IconImage(24, 2, 2, Rgb, {})};
    TMemoryStream in(IconFile(1, {spec}, 2, 2));
    TIconImageB b;
    b.LoadFromStream(in);
    EXPECT_THROW(b.SaveToFile(path), Exception);
    TIconImageA a;
    a.Assign(b.Bitmap());
    EXPECT_THROW(a.SaveToFile(path), Exception);
    EXPECT_EQ(ReadWholeFile(path), old);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tilvo
