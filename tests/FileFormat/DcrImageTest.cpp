// Component resource files: the writer's exact layout (header and data sizes, the full colour
// table, UTF-16LE names), round trips, the reader's walk (unknown types skipped, bounds and
// progress required), icon, cursor and JPEG resources, and SaveDcr's name and failure rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <variant>

#include "FileFormat/DcrImageA.h"
#include "FileFormat/FileTypes.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/SaveDispatch.h"
#include "IconTestSupport.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;
using namespace icontest;

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint16_t U16At(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

std::vector<uint8_t> Save(TDcrImageA& dcr) {
    TMemoryStream out;
    dcr.SaveToStream(out);
    return out.Memory();
}

void Load(TDcrImageA& dcr, const std::vector<uint8_t>& file) {
    TMemoryStream in(file);
    dcr.LoadFromStream(in);
}

// A type or name field: an ordinal, or a name given as UTF-16 code units.
using TId = std::variant<uint16_t, std::u16string>;

void PutId(std::vector<uint8_t>& b, const TId& id) {
    if (const uint16_t* n = std::get_if<uint16_t>(&id)) {
        PutU16(b, 0xFFFF);
        PutU16(b, *n);
        return;
    }
    for (char16_t c : std::get<std::u16string>(id)) PutU16(b, c);
    PutU16(b, 0);
}

// A resource file of the entries, each padded as the format wants.
struct TEntry {
    TId type, name;
    std::vector<uint8_t> data;
};
std::vector<uint8_t> ResFile(const std::vector<TEntry>& entries) {
    std::vector<uint8_t> b = {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
    b.resize(32, 0);
    for (const TEntry& e : entries) {
        std::vector<uint8_t> ids;
        PutId(ids, e.type);
        PutId(ids, e.name);
        while (ids.size() % 4) ids.push_back(0);
        PutU32(b, uint32_t(e.data.size()));
        PutU32(b, uint32_t(8 + ids.size() + 16));
        b.insert(b.end(), ids.begin(), ids.end());
        b.resize(b.size() + 16, 0);
        b.insert(b.end(), e.data.begin(), e.data.end());
        while (b.size() % 4) b.push_back(0);
    }
    return b;
}

// A packed 24-bit bitmap of w × h pixels, colour (x, y) -> 0xRRGGBB.
std::vector<uint8_t> PackedBitmap(int w, int h, uint32_t (*colour)(int, int)) {
    std::vector<uint8_t> b = IconImage(24, w, h, [&](int x, int y) { return colour(x, y); }, {});
    SetU32(b, 8, uint32_t(h));  // a bitmap's height counts its rows alone
    return b;
}

uint32_t Gradient(int x, int y) {
    return uint32_t(x * 20) << 16 | uint32_t(y * 30) << 8 | 0x40;
}

TColor AsColor(uint32_t rgb) {
    return RGB(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
}

TEST(DcrWriter, An8BitPictureNamedABHasTheExactLayout) {
    TDcrImageA dcr;
    TBitmap& p = dcr.Bitmap();
    p.Resize(24, 24, pf8bit);
    p.Palette() = {{10, 20, 30, 0}, {40, 50, 60, 0}};  // two entries; the table holds 256
    for (int y = 0; y < 24; ++y) std::memset(p.ScanLine(y), y & 1, 24);
    dcr.ResourceName = "AB";
    const std::vector<uint8_t> f = Save(dcr);

    ASSERT_EQ(f.size(), 32u + 36u + 1640u);
    EXPECT_EQ(U32At(f, 4), 0x20u);  // the empty entry
    EXPECT_EQ(U32At(f, 32), 40u + 1024u + 24u * 24u);
    EXPECT_EQ(U32At(f, 36), 36u);
    EXPECT_EQ(U32At(f, 40), 0x0002FFFFu);  // type: bitmap
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 44, f.begin() + 52),
              (std::vector<uint8_t>{'A', 0, 'B', 0, 0, 0, 0, 0}));
    const size_t info = 32 + 36;
    EXPECT_EQ(U32At(f, info), 40u);
    EXPECT_EQ(U32At(f, info + 4), 24u);
    EXPECT_EQ(U32At(f, info + 8), 24u);  // positive: bottom-up
    EXPECT_EQ(U16At(f, info + 14), 8u);
    EXPECT_EQ(U32At(f, info + 20), 24u * 24u);
    EXPECT_EQ(U32At(f, info + 32), 256u);       // colours used: the whole table
    EXPECT_EQ(U32At(f, info + 40), 0x0A141Eu);  // blue, green, red, 0 of entry 0
    EXPECT_EQ(U32At(f, info + 44), 0x28323Cu);
    for (size_t i = 2; i < 256; ++i) ASSERT_EQ(U32At(f, info + 40 + 4 * i), 0u) << i;
    // The bottom row (23, odd) comes first.
    EXPECT_EQ(f[info + 40 + 1024], 1);
    EXPECT_EQ(f[info + 40 + 1024 + 24], 0);
}

TEST(DcrWriter, HeaderSizeFollowsTheNameLength) {
    const struct {
        const char* name;
        uint32_t headerSize;
    } cases[] = {{"A", 32}, {"ABC", 36}, {"ABCD", 40}, {"ÉTÉ", 36}, {"画像𝄞", 40}};
    for (const auto& c : cases) {
        TDcrImageA dcr;
        dcr.Bitmap().Resize(1, 1, pf24bit);
        dcr.Bitmap().SetPixel(0, 0, 0);
        dcr.ResourceName = c.name;
        EXPECT_EQ(U32At(Save(dcr), 36), c.headerSize) << c.name;
    }
}

TEST(DcrWriter, NamesAreUtf16LittleEndian) {
    TDcrImageA dcr;
    dcr.Bitmap().Resize(1, 1, pf24bit);
    dcr.Bitmap().SetPixel(0, 0, 0);
    dcr.ResourceName = "é画𝄞";  // one byte pair, a three-byte character, a surrogate pair
    const std::vector<uint8_t> f = Save(dcr);
    const std::vector<uint8_t> expected = {0xE9, 0x00, 0x3B, 0x75, 0x34, 0xD8,
                                           0x1E, 0xDD, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 44, f.begin() + 56), expected);
}

TEST(DcrWriter, EachDepthWritesItsFullTableAndZeroPadding) {
    const struct {
        TPixelFormat pf;
        int bits;
        uint32_t entries;
    } cases[] = {{pf1bit, 1, 2},   {pf4bit, 4, 16},  {pf8bit, 8, 256},
                 {pf24bit, 24, 0}, {pf32bit, 24, 0}, {pf15bit, 24, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        TDcrImageA dcr;
        TBitmap& p = dcr.Bitmap();
        p.Resize(5, 3, c.pf);
        // Row bytes past the pixels hold garbage on the surface; none of it may be written.
        for (int y = 0; y < 3; ++y) std::memset(p.ScanLine(y), 0xFF, size_t(p.Stride()));
        p.Palette() = {{1, 2, 3, 0}};
        dcr.ResourceName = "X";
        const std::vector<uint8_t> f = Save(dcr);
        const size_t info = 32 + 32;
        EXPECT_EQ(U16At(f, info + 14), c.bits);
        EXPECT_EQ(U32At(f, info + 32), c.entries);
        const size_t row = size_t((5 * c.bits + 31) / 32 * 4);
        ASSERT_EQ(U32At(f, 32), 40 + 4 * c.entries + 3 * row);
        ASSERT_EQ(f.size(), info + 40 + 4 * c.entries + 3 * row);
        if (c.entries) {
            EXPECT_EQ(U32At(f, info + 40), 0x010203u);
            for (uint32_t i = 1; i < c.entries; ++i) EXPECT_EQ(U32At(f, info + 40 + 4 * i), 0u);
        }
        const size_t used = (5 * size_t(c.bits) + 7) / 8;
        for (size_t r = 0; r < 3; ++r) {
            const uint8_t* bytes = f.data() + info + 40 + 4 * c.entries + r * row;
            if (c.bits == 1) {
                EXPECT_EQ(bytes[0], 0xF8);  // five pixel bits, then zeros
            }
            for (size_t i = used; i < row; ++i) EXPECT_EQ(bytes[i], 0) << r << " " << i;
        }
    }
}

TEST(DcrWriter, RefusesWhatItCannotWrite) {
    const struct {
        const char* name;
        int w;
        std::string resourceName;
    } cases[] = {{"empty picture", 0, "X"},
                 {"empty name", 2, ""},
                 {"malformed UTF-8", 2, "A\xC3"},
                 {"surrogate in UTF-8", 2, "\xED\xA0\x80"},
                 {"zero character", 2, std::string("A\0B", 3)},
                 {"overlong UTF-8", 2, "\xC0\x80"},
                 {"name too long", 2, std::string(5000, 'N')}};
    for (const auto& c : cases) {
        TDcrImageA dcr;
        dcr.Bitmap().Resize(c.w, 2, pf24bit);
        dcr.ResourceName = c.resourceName;
        TMemoryStream out;
        EXPECT_THROW(dcr.SaveToStream(out), Exception) << c.name;
        EXPECT_TRUE(out.Memory().empty()) << c.name;
    }
}

TEST(DcrReader, AWrittenFileReadsBackWithItsNameAndPixels) {
    TDcrImageA dcr;
    TBitmap& p = dcr.Bitmap();
    p.Resize(13, 7, pf4bit);
    p.Palette() = {{255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {9, 9, 9, 0}};
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; x += 2) p.ScanLine(y)[x / 2] = uint8_t((x + y) % 4 << 4 | (y % 4));
    dcr.ResourceName = "ÉTÉ_画";
    const std::vector<uint8_t> f = Save(dcr);

    TDcrImageA back;
    Load(back, f);
    ASSERT_EQ(back.Resources().size(), 1u);
    EXPECT_EQ(back.Resources()[0].ResType, 2);
    EXPECT_EQ(back.Resources()[0].ResName, "ÉTÉ_画");
    EXPECT_EQ(back.BitCount(), 4);
    EXPECT_EQ(back.Holder()->Stream, f);
    TBitmap shown;
    back.AssignTo(shown);  // the hand-over to the window's surface
    ASSERT_EQ(shown.Width(), 13);
    ASSERT_EQ(shown.Height(), 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x) ASSERT_EQ(shown.Pixel(x, y), p.Pixel(x, y)) << x << "," << y;
}

TEST(DcrReader, UnknownTypesAreSkippedAndTheFirstPictureOpens) {
    const std::vector<uint8_t> version(92, 0x11), manifest(17, '<');
    const std::vector<uint8_t> f = ResFile({
        {uint16_t(16), uint16_t(1), version},   // a version resource
        {u"MANIFESTO", uint16_t(1), manifest},  // a named type other than JPEG
        {uint16_t(2), u"PICTURE", PackedBitmap(4, 3, Gradient)},
        {uint16_t(2), u"SECOND", std::vector<uint8_t>(8, 0)},  // never decoded
    });
    TDcrImageA dcr;
    Load(dcr, f);
    ASSERT_EQ(dcr.Resources().size(), 2u);
    EXPECT_EQ(dcr.Resources()[0].ResName, "PICTURE");
    EXPECT_EQ(dcr.Resources()[1].ResName, "SECOND");
    EXPECT_EQ(dcr.BitCount(), 24);
    ASSERT_EQ(dcr.Bitmap().Width(), 4);
    ASSERT_EQ(dcr.Bitmap().Height(), 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(dcr.Bitmap().Pixel(x, y), AsColor(Gradient(x, y)));
}

TEST(DcrReader, IconCursorAndJpegResourcesOpen) {
    // An icon image keeps 32 bits and takes the header's width and half its height; the group
    // entry after it names it.
    const std::vector<uint8_t> icon = IconImage(
        32, 3, 2, [](int x, int y) { return 0xFF000000u | Gradient(x, y); }, {}, 0);
    {
        TDcrImageA dcr;
        Load(dcr, ResFile({{uint16_t(3), uint16_t(1), icon},
                           {uint16_t(14), u"MAINICON", std::vector<uint8_t>(20, 0)}}));
        ASSERT_EQ(dcr.Resources().size(), 1u);
        EXPECT_EQ(dcr.Resources()[0].ResName, "MAINICON");
        EXPECT_EQ(dcr.Bitmap().PixelFormat(), pf32bit);
        EXPECT_EQ(dcr.BitCount(), 32);
        ASSERT_EQ(dcr.Bitmap().Width(), 3);
        ASSERT_EQ(dcr.Bitmap().Height(), 2);
        EXPECT_EQ(dcr.Bitmap().Pixel(2, 1), AsColor(Gradient(2, 1)));
    }
    {
        // A cursor's image follows its 4-byte hot spot.
        std::vector<uint8_t> cursor = {5, 0, 6, 0};
        cursor.insert(cursor.end(), icon.begin(), icon.end());
        TDcrImageA dcr;
        Load(dcr, ResFile({{uint16_t(1), uint16_t(7), cursor}}));
        EXPECT_EQ(dcr.Resources()[0].DataSize, icon.size());
        EXPECT_EQ(dcr.Bitmap().Pixel(0, 0), AsColor(Gradient(0, 0)));
    }
    {
        TBitmap photo(16, 8, pf24bit);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 16; ++x) photo.SetPixel(x, y, x < 8 ? 0x0000FF : 0xFF0000);
        TJPEGImage jpeg;
        jpeg.Assign(photo);
        TMemoryStream encoded;
        jpeg.SaveToStream(encoded);
        TDcrImageA dcr;
        Load(dcr, ResFile({{u"JPEG", u"PHOTO", encoded.Memory()}}));
        EXPECT_EQ(dcr.Resources()[0].TypeName, "JPEG");
        ASSERT_EQ(dcr.Bitmap().Width(), 16);
        const TColor left = dcr.Bitmap().Pixel(2, 4), right = dcr.Bitmap().Pixel(13, 4);
        EXPECT_GT(GetRValue(left), 200);
        EXPECT_LT(GetBValue(left), 60);
        EXPECT_GT(GetBValue(right), 200);
        EXPECT_LT(GetRValue(right), 60);
    }
}

TEST(DcrReader, MalformedFilesFailAndLeaveTheGraphicAsItWas) {
    const std::vector<uint8_t> good = ResFile({{uint16_t(2), u"P", PackedBitmap(2, 2, Gradient)}});
    auto with = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> f = good;
        SetU32(f, at, v);
        return f;
    };
    std::vector<uint8_t> unterminated = good;
    std::memset(unterminated.data() + 44, 'x', 4);  // the name runs into the header's tail
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {"32 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 32), "Signature err"},
        {"16-bit resource file", with(4, 0x10), "Signature Error"},
        {"header size 0", with(36, 0), "Invalid resource header"},
        {"header size beyond the file", with(36, 0x7FFFFFF0), "Invalid resource header"},
        {"data beyond the file", with(32, 0xFFFFFF00), "Resource data outside the file"},
        {"entry cut after its sizes", std::vector<uint8_t>(good.begin(), good.begin() + 38),
         "Resource entry truncated"},
        {"name without end", unterminated, "Invalid resource header"},
        {"only a version resource", ResFile({{uint16_t(16), uint16_t(1), {1, 2, 3, 4}}}),
         "The resource file holds no picture"},
        {"empty bitmap resource", ResFile({{uint16_t(2), uint16_t(1), {}}}),
         "The resource file holds no picture"},
        {"broken bitmap", ResFile({{uint16_t(2), uint16_t(1), std::vector<uint8_t>(40, 0)}}),
         "Invalid bitmap"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TDcrImageA dcr;
        dcr.Bitmap().Resize(1, 1, pf24bit);
        dcr.Bitmap().SetPixel(0, 0, 0x123456);
        try {
            Load(dcr, c.bytes);
            ADD_FAILURE() << "opened";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(dcr.Bitmap().Pixel(0, 0), 0x123456u);
        EXPECT_TRUE(dcr.Resources().empty());
        EXPECT_TRUE(dcr.Holder()->Stream.empty());
    }
}

class SaveDcrTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-dcr-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        picture_.Resize(9, 4, pf24bit);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 9; ++x) picture_.SetPixel(x, y, AsColor(Gradient(x, y)));
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string WrittenName(const std::string& path) {
        TDcrImageA dcr;
        TFileStream in(path, TFileStream::fmOpenRead);
        dcr.LoadFromStream(in);
        return dcr.Resources().at(0).ResName;
    }

    fs::path dir_;
    TBitmap picture_;
};

TEST_F(SaveDcrTest, TheNameIsUpperCasedAndDefaultsToTheBaseName) {
    const struct {
        const char* file;
        const char* given;
        const char* written;
    } cases[] = {{"my icons.dcr", "", "MY ICONS"},
                 {"Tool.Bar.dcr", "", "TOOL.BAR"},
                 {"x.dcr", "ButtonUp", "BUTTONUP"},
                 {"y.dcr", "été", "éTé"}};  // only a to z change
    for (const auto& c : cases) {
        ASSERT_TRUE(SaveDcr(picture_, Path(c.file), c.given)) << c.file;
        EXPECT_EQ(WrittenName(Path(c.file)), c.written) << c.file;
    }
    EXPECT_EQ(DcrResourceNameFor("/a/b/pic.res", ""), "PIC");
}

TEST_F(SaveDcrTest, ThePictureIsReducedOnACopyAndReadsBack) {
    const std::string target = Path("out.dcr");
    TSaveOptions options;
    options.DCRResourceName = "img";
    ASSERT_TRUE(SaveByExtension(picture_, target, options));  // Save over an open .dcr
    EXPECT_EQ(picture_.PixelFormat(), pf24bit);               // the working picture is untouched
    TBitmap back;
    LoadPictureFile(target, back);
    EXPECT_EQ(WrittenName(target), "IMG");
    ASSERT_EQ(back.Width(), 9);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 9; ++x) ASSERT_EQ(back.Pixel(x, y), picture_.Pixel(x, y));

    const std::string other = Path("other.dcr");
    ASSERT_TRUE(SaveAsByType(picture_, other, sftDCR, options, "", TExifProbe{}));
    EXPECT_EQ(ReadWholeFile(other), ReadWholeFile(target));
}

TEST_F(SaveDcrTest, AFailedSaveKeepsTheOldFile) {
    const std::string target = Path("keep.dcr");
    ASSERT_TRUE(SaveDcr(picture_, target, "OLD"));
    const std::vector<uint8_t> before = ReadWholeFile(target);
    EXPECT_FALSE(SaveDcr(picture_, target, "BAD\xFF"));
    TBitmap empty;
    EXPECT_FALSE(SaveDcr(empty, target, "EMPTY"));
    EXPECT_EQ(ReadWholeFile(target), before);
}

}  // namespace
}  // namespace tilvo
