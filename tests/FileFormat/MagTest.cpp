// The MAG reader and writer: pictures round-trip through our writer and reader at both colour
// modes, the layout of what is written (flag A size, copy flags, comment padding, palette), the
// header values kept from a file, the checks on every header offset and copy, the resizing rules
// and the writer of Save and Save As.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "FileFormat/Graphic.h"
#include "FileFormat/Mag.h"
#include "FileFormat/SaveDispatch.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

uint32_t U32At(const std::vector<uint8_t>& b, size_t pos) {
    return uint32_t(b[pos]) | uint32_t(b[pos + 1]) << 8 | uint32_t(b[pos + 2]) << 16 |
           uint32_t(b[pos + 3]) << 24;
}
void PutU32At(std::vector<uint8_t>& b, size_t pos, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[pos + size_t(i)] = uint8_t(v >> (8 * i));
}

// The picture header's position: right after the comment's 0x1A.
size_t HeaderPos(const std::vector<uint8_t>& file) {
    const auto it = std::find(file.begin() + 32, file.end(), uint8_t(0x1A));
    return size_t(it - file.begin()) + 1;
}

// A palette picture whose pixels repeat in blocks (so that the writer finds copies) with some
// noise (so that it also writes new data).
std::unique_ptr<TBitmap> PalettePicture(int32_t w, int32_t h, TPixelFormat pf, uint32_t seed) {
    auto picture = std::make_unique<TBitmap>(w, h, pf);
    TBitmap& p = *picture;
    const int colours = pf == pf4bit ? 16 : 256;
    for (int i = 0; i < colours; ++i)
        p.Palette().push_back(TPaletteEntry{uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 13), 0});
    uint32_t s = seed;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = p.ScanLine(y);
        for (int32_t x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            const unsigned v = (s >> 24) % 5 == 0 ? (s >> 16) : unsigned((x / 3 + y / 2) * 3);
            const unsigned idx = v % unsigned(colours);
            if (pf == pf8bit)
                row[x] = uint8_t(idx);
            else
                row[x / 2] = uint8_t(x % 2 ? (row[x / 2] & 0xF0) | idx : idx << 4);
        }
    }
    return picture;
}

std::vector<uint8_t> Save(TMAGImage& mag) {
    TMemoryStream out;
    mag.SaveToStream(out);
    return out.Memory();
}

void Load(TMAGImage& mag, const std::vector<uint8_t>& bytes) {
    TMemoryStream in(bytes);
    mag.LoadFromStream(in);
}

void ExpectSamePixels(const TBitmap& a, const TBitmap& b) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            ASSERT_EQ(a.Pixel(x, y), b.Pixel(x, y)) << "at (" << x << ", " << y << ")";
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Mag, PicturesRoundTripThroughWriterAndReader) {
    const struct {
        int32_t w, h;
        TPixelFormat pf;
    } cases[] = {
        {4, 1, pf8bit}, {100, 2, pf8bit}, {36, 19, pf8bit}, {260, 3, pf8bit},
        {8, 1, pf4bit}, {24, 18, pf4bit}, {40, 5, pf4bit},  {200, 2, pf4bit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h) +
                     (c.pf == pf8bit ? " at 256 colours" : " at 16 colours"));
        const auto made = PalettePicture(c.w, c.h, c.pf, uint32_t(c.w * 31 + c.h));
        const TBitmap& picture = *made;
        TMAGImage writer;
        writer.Assign(picture);
        const std::vector<uint8_t> file = Save(writer);

        TMAGImage reader;
        Load(reader, file);
        EXPECT_EQ(reader.Bitmap().PixelFormat(), c.pf);
        EXPECT_EQ(reader.ColorMode(), c.pf == pf8bit ? 1 : 0);
        ExpectSamePixels(reader.Bitmap(), picture);

        // Flag A is one bit per flag byte, rounded up to whole bytes and then to an even count.
        const size_t hp = HeaderPos(file);
        const uint64_t flagBytes = uint64_t(c.w) / (c.pf == pf8bit ? 4 : 8);
        const uint64_t bytes = (flagBytes * uint64_t(c.h) + 7) / 8;
        EXPECT_EQ(U32At(file, hp + 16) - U32At(file, hp + 12), bytes + bytes % 2);
        EXPECT_EQ(U32At(file, hp + 20) % 2, 0u);  // flag B padded to even
        EXPECT_EQ(hp + U32At(file, hp + 24) + U32At(file, hp + 28), file.size());

        // Encoding what was read gives the same bytes again.
        reader.Changed();
        EXPECT_EQ(Save(reader), file);
    }
}

TEST(Mag, IdenticalRowsCopyFromTheRowAboveAndStopSettingFlagA) {
    // Every unit differs from the units 1, 2 and 4 places to its left, so only flag 4 (one row
    // up) can copy, and from the third row on the flag bytes equal the row above's.
    const int32_t w = 16, h = 5;
    TBitmap p(w, h, pf8bit);
    p.Palette().resize(256);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) p.ScanLine(y)[x] = uint8_t(x * 11 + 1);
    TMAGImage mag;
    mag.Assign(p);
    const std::vector<uint8_t> file = Save(mag);
    const size_t hp = HeaderPos(file);
    const size_t flagA = hp + U32At(file, hp + 12), flagB = hp + U32At(file, hp + 16);
    // 4 flag bytes a row: row 0 is all new data (no bits), row 1 sets all four, rows 2-4 none.
    EXPECT_EQ(file[flagA], 0x0F);
    EXPECT_EQ(file[flagA + 1], 0x00);
    EXPECT_EQ(file[flagA + 2], 0x00);
    ASSERT_EQ(U32At(file, hp + 20), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(file[flagB + i], 0x44);
    EXPECT_EQ(U32At(file, hp + 28), uint32_t(w));  // only row 0's pixels are stored
}

TEST(Mag, DefaultHeaderValuesAndCommentPadding) {
    TMAGImage mag;
    mag.Assign(*PalettePicture(8, 2, pf8bit, 1));
    const std::vector<uint8_t> file = Save(mag);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 13), "MAKI02  TlvP ");
    EXPECT_EQ(std::string(file.begin() + 13, file.begin() + 31), ">?\?<              ");
    // The default comment is 24 bytes; a space makes the header start at an even offset.
    EXPECT_EQ(std::string(file.begin() + 32, file.begin() + 57), "Tilvo TMAGImage Ver 1.01 ");
    EXPECT_EQ(HeaderPos(file), 58u);
    EXPECT_EQ(file[58 + 3], 0x80);
}

TEST(Mag, HeaderValuesAreKeptAsRawBytes) {
    const std::string sjisName = "\x8d\xec\x8e\xd2";             // two Shift-JIS characters
    const std::string sjisComment = "\x83\x65\x83\x58\x83\x67";  // three Shift-JIS characters
    TMAGImage mag;
    mag.Assign(*PalettePicture(16, 3, pf4bit, 9));
    mag.SetOrigin(13, 40);  // x is rounded down to the 16-colour alignment
    mag.SetUserName(sjisName);
    mag.SetComment(sjisComment);
    mag.SetLine200(true);
    const std::vector<uint8_t> file = Save(mag);

    TMAGImage back;
    Load(back, file);
    EXPECT_EQ(back.UserName(), sjisName + std::string(14, ' '));
    EXPECT_EQ(back.Comment(), sjisComment + " ");
    EXPECT_TRUE(back.Line200());
    EXPECT_EQ(back.OriginX(), 8);
    EXPECT_EQ(back.OriginY(), 40);
    EXPECT_EQ(back.ColorMode(), 0);
    back.Changed();
    EXPECT_EQ(Save(back), file);
}

TEST(Mag, SavingTwiceWithoutAChangeWritesTheSameImage) {
    TMAGImage mag;
    mag.Assign(*PalettePicture(12, 4, pf8bit, 3));
    const std::vector<uint8_t> first = Save(mag);
    const auto holder = mag.Holder();
    EXPECT_FALSE(mag.Modified());
    EXPECT_EQ(Save(mag), first);
    EXPECT_EQ(mag.Holder(), holder);  // not encoded again

    TMAGImage shared;
    shared.Assign(static_cast<const TGraphic&>(mag));
    EXPECT_TRUE(shared.Equals(mag));
    EXPECT_FALSE(TMAGImage().Equals(mag));
}

TEST(Mag, ReadsFromTheStreamsPosition) {
    TMAGImage mag;
    mag.Assign(*PalettePicture(8, 3, pf8bit, 5));
    std::vector<uint8_t> bytes = {'j', 'u', 'n', 'k', 0x1A};
    const std::vector<uint8_t> file = Save(mag);
    bytes.insert(bytes.end(), file.begin(), file.end());
    TMemoryStream in(bytes);
    in.SetPosition(5);
    TMAGImage back;
    back.LoadFromStream(in);
    ExpectSamePixels(back.Bitmap(), mag.Bitmap());
}

TEST(Mag, AssigningNormalisesDepthWidthAndPalette) {
    // 10 pixels at 8 bits become 12, the new columns index 0; a short palette is padded.
    TBitmap eight(10, 2, pf8bit);
    eight.Palette() = {{1, 2, 3, 0}, {4, 5, 6, 0}, {7, 8, 9, 0}};
    for (int32_t y = 0; y < 2; ++y) std::memset(eight.ScanLine(y), 2, 10);
    TMAGImage mag;
    mag.Assign(eight);
    ASSERT_EQ(mag.GetWidth(), 12);
    EXPECT_EQ(mag.Bitmap().Palette().size(), 256u);
    for (int32_t y = 0; y < 2; ++y) {
        EXPECT_EQ(mag.Bitmap().ScanLine(y)[9], 2);
        EXPECT_EQ(mag.Bitmap().ScanLine(y)[10], 0);
        EXPECT_EQ(mag.Bitmap().ScanLine(y)[11], 0);
    }
    const std::vector<uint8_t> file = Save(mag);
    const size_t pal = HeaderPos(file) + 32;
    EXPECT_EQ(
        std::vector<uint8_t>(file.begin() + ptrdiff_t(pal), file.begin() + ptrdiff_t(pal + 9)),
        (std::vector<uint8_t>{2, 1, 3, 5, 4, 6, 8, 7, 9}));  // green, red, blue
    EXPECT_EQ(U32At(file, HeaderPos(file) + 12), 32u + 768u);
    for (size_t i = pal + 9; i < pal + 768; ++i) ASSERT_EQ(file[i], 0) << i;

    // 5 pixels at 4 bits, all colour 15: the fifth keeps its colour, the new three are 0.
    TBitmap four(5, 1, pf4bit);
    four.Palette().resize(16);
    std::memset(four.ScanLine(0), 0xFF, 4);
    mag.Assign(four);
    ASSERT_EQ(mag.GetWidth(), 8);
    EXPECT_EQ(mag.ColorMode(), 0);
    EXPECT_EQ(mag.Bitmap().ScanLine(0)[2], 0xF0);
    EXPECT_EQ(mag.Bitmap().ScanLine(0)[3], 0x00);

    // 1 bit becomes 4 with the same indices; 24 bits are reduced to 8.
    TBitmap one(8, 1, pf1bit);
    one.Palette() = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    one.ScanLine(0)[0] = 0xA5;
    mag.Assign(one);
    EXPECT_EQ(mag.Bitmap().PixelFormat(), pf4bit);
    EXPECT_EQ(mag.Bitmap().ScanLine(0)[0], 0x10);
    EXPECT_EQ(mag.Bitmap().ScanLine(0)[3], 0x01);
    TBitmap rgb(6, 2, pf24bit);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 6; ++x) rgb.SetPixel(x, y, RGB(uint8_t(x * 40), 10, uint8_t(y)));
    mag.Assign(rgb);
    EXPECT_EQ(mag.Bitmap().PixelFormat(), pf8bit);
    EXPECT_EQ(mag.GetWidth(), 8);
    for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(mag.Bitmap().Pixel(x, 1), rgb.Pixel(x, 1));
}

TEST(Mag, ResizingClearsNewPixelsAndRefusesTheRangeBeyond16Bits) {
    TMAGImage mag;
    TBitmap p(12, 3, pf8bit);
    p.Palette().resize(256);
    for (int32_t y = 0; y < 3; ++y) std::memset(p.ScanLine(y), 7, 12);
    mag.Assign(p);
    // Narrowing keeps the buffer; widening again must not bring the old columns back.
    mag.SetWidth(4);
    mag.SetWidth(10);  // rounded up to 12
    mag.SetHeight(1);
    mag.SetHeight(3);
    ASSERT_EQ(mag.GetWidth(), 12);
    ASSERT_EQ(mag.GetHeight(), 3);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 12; ++x)
            EXPECT_EQ(mag.Bitmap().ScanLine(y)[x], y == 0 && x < 4 ? 7 : 0) << x << "," << y;

    mag.SetOrigin(65000, 65530);
    EXPECT_EQ(ErrorOf([&] { mag.SetWidth(536); }), "MAG invaild operation:range over");
    EXPECT_EQ(ErrorOf([&] { mag.SetHeight(6); }), "MAG invaild operation:range over");
    EXPECT_EQ(mag.GetWidth(), 12);
    EXPECT_NO_THROW(mag.SetHeight(5));
}

TEST(Mag, WriterRefusesWhatItCannotWrite) {
    TMAGImage empty;
    TMemoryStream out;
    EXPECT_EQ(ErrorOf([&] { empty.SaveToStream(out); }), "MAG invaild operation:not have DIB");

    TMAGImage mag;
    mag.Assign(*PalettePicture(8, 2, pf8bit, 2));
    mag.SetComment(
        std::string("a\x1A"
                    "b"));
    EXPECT_EQ(ErrorOf([&] { mag.SaveToStream(out); }),
              "MAG invaild operation:comment holds an end-of-comment byte");
    mag.SetComment("ok");
    mag.SetOrigin(0, 65535);  // the bottom edge of a 2-row picture would be 65536
    EXPECT_EQ(ErrorOf([&] { mag.SaveToStream(out); }), "MAG invaild operation:range over");
    EXPECT_EQ(out.Size(), 0);
}

// A 256-colour file of one 4-pixel row per `rows` (2 units, 1 flag byte a row) whose flag bytes
// are given; every unit with flag 0 takes new data.
std::vector<uint8_t> HandMadeFile(const std::vector<uint8_t>& flagRows) {
    const uint32_t h = uint32_t(flagRows.size());
    const size_t hp = 34;  // after the identification block, a 1-byte comment and 0x1A
    std::vector<uint8_t> f(hp + 32 + 768, 0x40);
    std::fill(f.begin(), f.begin() + 32, ' ');
    std::memcpy(f.data(), "MAKI02", 6);
    f[32] = 'c';
    f[33] = 0x1A;
    std::fill(f.begin() + hp, f.begin() + hp + 32, 0);
    f[hp + 3] = 0x80;
    f[hp + 8] = 3;  // x2
    f[hp + 10] = uint8_t(h - 1);
    std::vector<uint8_t> flagA((h + 7) / 8, 0), flagB, pixels;
    uint8_t prev = 0;
    for (uint32_t y = 0; y < h; ++y) {
        if (flagRows[y] != prev) {
            flagA[y / 8] |= uint8_t(0x80 >> (y % 8));
            flagB.push_back(uint8_t(prev ^ flagRows[y]));
        }
        prev = flagRows[y];
        for (unsigned shift : {4u, 0u})
            if (((flagRows[y] >> shift) & 15) == 0)
                for (int i = 0; i < 2; ++i) pixels.push_back(uint8_t(pixels.size() + 1));
    }
    PutU32At(f, hp + 12, 32 + 768);
    PutU32At(f, hp + 16, uint32_t(32 + 768 + flagA.size()));
    PutU32At(f, hp + 20, uint32_t(flagB.size()));
    PutU32At(f, hp + 24, uint32_t(32 + 768 + flagA.size() + flagB.size()));
    PutU32At(f, hp + 28, uint32_t(pixels.size()));
    f.insert(f.end(), flagA.begin(), flagA.end());
    f.insert(f.end(), flagB.begin(), flagB.end());
    f.insert(f.end(), pixels.begin(), pixels.end());
    return f;
}

TEST(Mag, MalformedFilesFailWithTheirMessageAndChangeNothing) {
    const std::vector<uint8_t> good = HandMadeFile({0x00, 0x41});
    {
        TMAGImage mag;
        Load(mag, good);
        const uint8_t* row1 = mag.Bitmap().ScanLine(1);
        EXPECT_EQ(mag.Bitmap().ScanLine(0)[2], 3);
        EXPECT_EQ(row1[0], 1);  // flag 4: row 0's first unit
        EXPECT_EQ(row1[1], 2);
        EXPECT_EQ(row1[2], 1);  // flag 1: its left neighbour
        EXPECT_EQ(row1[3], 2);
    }
    std::vector<uint8_t> rows15(15, 0);
    rows15.push_back(0xF0);
    const size_t hp = HeaderPos(good);
    auto with = [&](const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> f = good;
        change(f);
        return f;
    };
    const struct {
        const char* what;
        std::vector<uint8_t> file;
        const char* message;
    } cases[] = {
        {"empty", {}, "MAG image error:is not MAG."},
        {"other signature", with([](auto& f) { f[5] = '3'; }), "MAG image error:is not MAG."},
        {"no end of comment", with([&](auto& f) { f[hp - 1] = 'x'; }),
         "MAG image error:is not MAG."},
        {"header cut", std::vector<uint8_t>(good.begin(), good.begin() + ptrdiff_t(hp + 31)),
         "MAG image error:header is cut short."},
        {"palette cut", std::vector<uint8_t>(good.begin(), good.begin() + ptrdiff_t(hp + 700)),
         "MAG image error:palette is cut short."},
        {"right edge left of the left edge", with([&](auto& f) { f[hp + 4] = 9; }),
         "MAG image error:bad picture size."},
        {"flag A beyond the end", with([&](auto& f) { PutU32At(f, hp + 12, 0xFFFFFFF0u); }),
         "MAG image error:flag A lies outside the file."},
        {"flag A too short for the rows", with([&](auto& f) { f[hp + 10] = 200; }),
         "MAG image error:flag A lies outside the file."},
        {"flag B size beyond the end", with([&](auto& f) { PutU32At(f, hp + 20, 0xFFFFFFFFu); }),
         "MAG image error:flag B lies outside the file."},
        {"pixel data beyond the end", with([&](auto& f) { PutU32At(f, hp + 28, 9); }),
         "MAG image error:pixel data lies outside the file."},
        {"flag B used up", with([&](auto& f) { PutU32At(f, hp + 20, 0); }),
         "MAG image error:flag B is cut short."},
        {"pixel data used up", with([&](auto& f) { PutU32At(f, hp + 28, 3); }),
         "MAG image error:pixel data is cut short."},
        {"copy from above row 0", HandMadeFile({0x40}),
         "MAG image error:copy from outside the picture."},
        {"copy left of the row", HandMadeFile({0x00, 0x10}),
         "MAG image error:copy from outside the picture."},
        {"copy 16 rows up in row 15", HandMadeFile(rows15),
         "MAG image error:copy from outside the picture."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TMAGImage mag;
        Load(mag, good);
        const auto holder = mag.Holder();
        EXPECT_EQ(ErrorOf([&] { Load(mag, c.file); }), c.message);
        EXPECT_EQ(mag.Holder(), holder);
        EXPECT_EQ(mag.GetWidth(), 4);
        EXPECT_EQ(mag.Bitmap().ScanLine(0)[2], 3);
    }
}

class MagSave : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-mag-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(MagSave, BothCommandsWriteA256ColourFileThatOpensAgain) {
    TBitmap picture(37, 21, pf24bit);
    for (int32_t y = 0; y < 21; ++y)
        for (int32_t x = 0; x < 37; ++x)
            picture.SetPixel(x, y, RGB(uint8_t(x / 4 * 20), uint8_t(y / 3 * 30), 90));
    const std::string a = (dir_ / "a.mag").string(), b = (dir_ / "b.MAG").string();
    ASSERT_TRUE(SaveAsByType(picture, a, 11, TSaveOptions{}, "", TExifProbe{}));
    ASSERT_TRUE(SaveByExtension(picture, b, TSaveOptions{}));
    EXPECT_EQ(ReadWholeFile(a), ReadWholeFile(b));
    EXPECT_EQ(picture.PixelFormat(), pf24bit);  // the working picture is not changed

    TBitmap back;
    LoadPictureFile(a, back);
    ASSERT_EQ(back.Width(), 40);  // widened to the 256-colour alignment
    ASSERT_EQ(back.Height(), 21);
    for (int32_t y = 0; y < 21; ++y)
        for (int32_t x = 0; x < 37; ++x) ASSERT_EQ(back.Pixel(x, y), picture.Pixel(x, y));
    TMAGImage mag;  // the added columns are colour 0
    mag.LoadFromFile(a);
    for (int32_t y = 0; y < 21; ++y)
        for (int32_t x = 37; x < 40; ++x) ASSERT_EQ(mag.Bitmap().ScanLine(y)[x], 0);
}

TEST_F(MagSave, AFailedSaveLeavesTheOldFile) {
    const std::string target = (dir_ / "keep.mag").string();
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    WriteWholeFile(target, old.data(), 3);
    std::string message;
    EXPECT_FALSE(SaveMag(TBitmap(), target, &message));
    EXPECT_EQ(message, "MAG invaild operation:not have DIB");
    EXPECT_EQ(ReadWholeFile(target), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace tilvo
