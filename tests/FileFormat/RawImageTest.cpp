// Raw pixel files: the layouts recognised by size, the two-digit fallback with its row order, the
// refusals of sizes and characters that do not fit, and the held file written back.
#include <gtest/gtest.h>

#include <cstring>

#include "FileFormat/RawImage.h"

namespace tilvo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + seed);
    return b;
}

void Load(TRawImage& raw, const Bytes& file) {
    TMemoryStream ms(file);
    raw.LoadFromStream(ms);
}

TEST(RawReader, FixedSizesGiveTheirLayoutWhateverTheContent) {
    struct TCase {
        size_t Size;
        int32_t Width, Height;
        TPixelFormat Format;
    } cases[] = {{64000, 320, 200, pf8bit},
                 {14720, 115, 32, pf32bit},
                 {5984, 136, 11, pf32bit},
                 {3968, 32, 31, pf32bit}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Size);
        // Starts with two digits, as a fallback file would: the size decides first.
        Bytes file = Pattern(c.Size, 7);
        file[0] = '2', file[1] = '2';
        TRawImage raw;
        Load(raw, file);
        ASSERT_EQ(raw.GetWidth(), c.Width);
        ASSERT_EQ(raw.GetHeight(), c.Height);
        ASSERT_EQ(raw.Bitmap().PixelFormat(), c.Format);
        EXPECT_EQ(raw.BitsPerPixel(), BitsPerPixel(c.Format));
        const size_t bytesPerPixel = c.Format == pf8bit ? 1 : 4;
        // The last pixel of the last row is the last bytes of the file, rows top to bottom.
        const uint8_t* last = raw.Bitmap().ScanLine(c.Height - 1) + (c.Width - 1) * bytesPerPixel;
        EXPECT_EQ(0, std::memcmp(last, file.data() + c.Size - bytesPerPixel, bytesPerPixel));
        if (c.Format == pf8bit) {
            EXPECT_EQ(raw.Bitmap().Pixel(1, 0), RGB(file[1], file[1], file[1]));
        } else {
            EXPECT_EQ(raw.Bitmap().Pixel(1, 0), RGB(file[6], file[5], file[4]));  // B, G, R, A
        }
    }
}

TEST(RawReader, TwoDigitsGivePowerOfTwoSidesStoredBottomUp) {
    struct TCase {
        char A, B;
        int32_t Width, Height;
    } cases[] = {{'3', '2', 8, 4}, {'0', '0', 1, 1}, {'0', '4', 1, 16}, {'5', '1', 32, 2}};
    for (const TCase& c : cases) {
        SCOPED_TRACE((std::string{c.A, c.B}));
        Bytes file = Pattern(size_t(c.Width) * c.Height * 3, 3);
        file.insert(file.begin(), {uint8_t(c.A), uint8_t(c.B)});
        TRawImage raw;
        Load(raw, file);
        ASSERT_EQ(raw.GetWidth(), c.Width);
        ASSERT_EQ(raw.GetHeight(), c.Height);
        EXPECT_EQ(raw.BitsPerPixel(), 24);
        // The first stored pixel is the bottom-left one, the last the top-right one.
        EXPECT_EQ(raw.Bitmap().Pixel(0, c.Height - 1), RGB(file[4], file[3], file[2]));
        const size_t n = file.size();
        EXPECT_EQ(raw.Bitmap().Pixel(c.Width - 1, 0), RGB(file[n - 1], file[n - 2], file[n - 3]));
    }
}

TEST(RawReader, SizesAndCharactersThatDoNotFitAreRefused) {
    const auto withHead = [](uint8_t a, uint8_t b, size_t payload) {
        Bytes file = Pattern(payload);
        file.insert(file.begin(), {a, b});
        return file;
    };
    struct TCase {
        const char* Name;
        Bytes File;
    } cases[] = {
        {"empty", {}},
        {"one byte", {'0'}},
        {"one byte too long", withHead('3', '2', 8 * 4 * 3 + 1)},
        {"one byte too short", withHead('3', '2', 8 * 4 * 3 - 1)},
        // ':' follows '9': read as an exponent it would be a side of 1024.
        {"':' is no digit", withHead(':', '0', 1024 * 3)},
        // '/' precedes '0': it is not a side of one pixel.
        {"'/' is no digit", withHead('/', '0', 3)},
        // 'z' as an exponent (74) would overflow the size; 2^74 * 3 wraps to 0 in 64 bits.
        {"'z' is no digit", withHead('z', '0', 0)},
        {"no header digits", withHead(0xFF, 0xFF, 12)},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRawImage raw;
        try {
            Load(raw, c.File);
            ADD_FAILURE() << "opened as " << raw.GetWidth() << " x " << raw.GetHeight();
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), "Unsupported RAW format");
        }
    }
}

TEST(RawReader, KeepsTheFileToWriteBackAndAFailureChangesNothing) {
    Bytes good = Pattern(2 * 2 * 3, 9);
    good.insert(good.begin(), {'1', '1'});
    TRawImage raw;
    Load(raw, good);
    const TColor before = raw.Bitmap().Pixel(1, 1);

    Bytes bad = good;
    bad.push_back(0);
    EXPECT_THROW(Load(raw, bad), EInvalidGraphic);
    EXPECT_EQ(raw.GetWidth(), 2);
    EXPECT_EQ(raw.Bitmap().Pixel(1, 1), before);
    EXPECT_EQ(raw.BitsPerPixel(), 24);

    TMemoryStream out;
    raw.SaveToStream(out);
    EXPECT_EQ(out.ReadAll(), good);
}

}  // namespace
}  // namespace tilvo
