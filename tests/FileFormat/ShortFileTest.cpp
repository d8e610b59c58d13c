// Tiny files that declare the largest pictures Tilvo accepts, one or more per reader, built here:
// each must fail with its message before the picture is allocated, so that the most memory held
// during the open stays under 16 MB (counted by the program's own allocator).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "FileFormat/GIFImage.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/WebPImage.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Le16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Le32(Bytes& b, uint32_t v) {
    Le16(b, v & 0xFFFF);
    Le16(b, v >> 16);
}
void Be16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void Be32(Bytes& b, uint32_t v) {
    Be16(b, v >> 16);
    Be16(b, v & 0xFFFF);
}
void Add(Bytes& b, const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
}
void Add(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

constexpr uint32_t kSide = 26000;  // 26,000² pictures fit the 2 GiB limit at 24 bits

Bytes Bmp(uint32_t side, int bits, uint32_t compression, const Bytes& pixels) {
    const uint32_t table = bits <= 8 ? 4u << bits : 0;
    Bytes f;
    Add(f, "BM");
    Le32(f, uint32_t(54 + table + pixels.size()));
    Le32(f, 0);
    Le32(f, 54 + table);
    Bytes info;
    for (uint32_t v : {40u, side, side}) Le32(info, v);
    Le16(info, 1);
    Le16(info, uint32_t(bits));
    for (uint32_t v : {compression, 0u, 0u, 0u, 0u, 0u}) Le32(info, v);
    Add(f, info);
    f.resize(f.size() + table);
    Add(f, pixels);
    return f;
}

Bytes Ico() {
    Bytes image = Bmp(kSide, 8, 0, Bytes(16, 1));
    image.erase(image.begin(), image.begin() + 14);  // a packed bitmap: no file header
    image[8] = uint8_t(kSide * 2), image[9] = uint8_t(kSide * 2 >> 8), image[10] = 0;  // + mask
    Bytes f;
    for (uint32_t v : {0u, 1u, 1u}) Le16(f, v);
    f.insert(f.end(), {0, 0, 0, 0});
    Le16(f, 1);
    Le16(f, 8);
    Le32(f, uint32_t(image.size()));
    Le32(f, 22);
    Add(f, image);
    return f;
}

Bytes Tga() {
    Bytes f = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Le16(f, kSide);
    Le16(f, kSide);
    f.insert(f.end(), {24, 0, 0xFF, 1, 2, 3});
    return f;
}

Bytes Pcx() {
    Bytes f = {10, 5, 1, 8, 0, 0, 0, 0};
    Le16(f, kSide - 1);
    Le16(f, kSide - 1);
    f.resize(65, 0);
    f.push_back(3);
    Le16(f, kSide);
    f.resize(128, 0);
    f.insert(f.end(), 100, 0xC1);
    return f;
}

Bytes Sgi() {
    Bytes f;
    Be16(f, 474);
    f.push_back(1);
    f.push_back(1);
    for (uint32_t v : {3u, kSide, kSide, 3u}) Be16(f, v);
    f.resize(512, 0);
    return f;
}

Bytes Ilbm() {
    Bytes bmhd;
    Be16(bmhd, kSide);
    Be16(bmhd, kSide);
    Be32(bmhd, 0);
    bmhd.insert(bmhd.end(), {8, 0, 1, 0, 0, 0, 1, 1});
    Be16(bmhd, kSide);
    Be16(bmhd, kSide);
    Bytes f;
    Add(f, "FORM");
    Be32(f, 4 + 8 + 20 + 8 + 4);
    Add(f, "ILBMBMHD");
    Be32(f, 20);
    Add(f, bmhd);
    Add(f, "BODY");
    Be32(f, 4);
    f.insert(f.end(), {0x81, 0, 0x81, 0});
    return f;
}

Bytes Psd() {
    Bytes f;
    Add(f, "8BPS");
    Be16(f, 1);
    f.resize(f.size() + 6, 0);
    Be16(f, 3);
    Be32(f, kSide);
    Be32(f, kSide);
    Be16(f, 8);
    Be16(f, 3);
    for (int i = 0; i < 3; ++i) Be32(f, 0);
    Be16(f, 1);
    f.resize(f.size() + 64, 0);
    return f;
}

// A version 5 file: a canvas of kSide², one 24-bit raster layer of `layer` pixels a side whose
// three channels are stored raw.
Bytes Psp(uint32_t layer) {
    auto block = [](uint16_t id, const Bytes& body) {
        Bytes b = {'~', 'B', 'K', 0};
        Le16(b, id);
        Le32(b, uint32_t(body.size()));
        Add(b, body);
        return b;
    };
    auto chunk = [](const Bytes& body) {
        Bytes c;
        Le32(c, uint32_t(body.size() + 4));
        Add(c, body);
        return c;
    };
    const char sig[] = "Paint Shop Pro Image File\n\x1a\0\0\0\0";
    Bytes f(sig, sig + 32);
    Le16(f, 5);
    Le16(f, 0);
    Bytes attr;
    Le32(attr, kSide);
    Le32(attr, kSide);
    attr.insert(attr.end(), 9, 0);
    Le16(attr, 0);   // no compression
    Le16(attr, 24);  // bits
    Le16(attr, 1);
    Le32(attr, 0);
    attr.push_back(0);
    Add(f, block(0, chunk(attr)));
    Bytes info;
    Le16(info, 1);
    info.push_back('n');
    info.push_back(1);
    for (uint32_t v : {0u, 0u, layer, layer, 0u, 0u, layer, layer}) Le32(info, v);
    Bytes layerBody = chunk(info);
    Bytes counts;
    Le16(counts, 1);
    Le16(counts, 3);
    Add(layerBody, chunk(counts));
    for (int c = 0; c < 3; ++c) {
        Bytes ch;
        Le32(ch, layer * layer);
        Le32(ch, layer * layer);
        Le32(ch, 0);
        Bytes channel = chunk(ch);
        channel.resize(channel.size() + layer * layer, 0x80);
        Add(layerBody, block(5, channel));
    }
    Add(f, block(3, block(4, layerBody)));
    return f;
}

// A GIF of a `screen`² logical screen holding one `image`² image of one colour.
Bytes Gif(uint32_t screen, uint32_t image, bool interlaced) {
    Bytes f;
    Add(f, "GIF89a");
    Le16(f, screen);
    Le16(f, screen);
    f.insert(f.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255});  // a two-entry global table
    f.push_back(0x2C);
    for (uint32_t v : {0u, 0u, image, image}) Le16(f, v);
    f.push_back(interlaced ? 0x40 : 0);
    // Code size 2: clear (4), index 0, end (5), packed LSB first in 3-bit codes.
    f.insert(f.end(), {2, 2, 0x44, 0x01, 0, 0x3B});
    return f;
}

uint32_t Crc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

Bytes Png() {
    Bytes f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* type, const Bytes& data) {
        Be32(f, uint32_t(data.size()));
        const size_t start = f.size();
        Add(f, type);
        Add(f, data);
        Be32(f, Crc(f.data() + start, f.size() - start));
    };
    Bytes ihdr;
    Be32(ihdr, kSide);
    Be32(ihdr, kSide);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", ihdr);
    chunk("IDAT", {0x78, 0x9C, 0x63, 0, 0, 0, 1, 0, 1});
    chunk("IEND", {});
    return f;
}

// A JPEG of 16 × 16 pixels whose frame header then declares kSide².
Bytes Jpeg(bool progressive) {
    TBitmap small(16, 16);
    TMemoryStream out;
    EXPECT_TRUE(EncodeJpegToStream(small, out, progressive, 75, false));
    Bytes f = out.Memory();
    for (size_t i = 2; i + 9 < f.size(); ++i)
        if (f[i] == 0xFF && (f[i + 1] == 0xC0 || f[i + 1] == 0xC2)) {
            f[i + 5] = uint8_t(kSide >> 8), f[i + 6] = uint8_t(kSide);
            f[i + 7] = uint8_t(kSide >> 8), f[i + 8] = uint8_t(kSide);
            break;
        }
    return f;
}

// A progressive JPEG of a flat 1024² picture whose last scan (a refinement that codes every block
// in a few bytes) is repeated until it has 900 scans: under the scan cap, but asking for far more
// work than its bytes hold.
Bytes ManyScans() {
    TBitmap flat(1024, 1024);
    flat.Canvas().Brush.Color = RGB(90, 120, 150);
    flat.Canvas().FillRect(TRect{0, 0, 1024, 1024});
    TMemoryStream out;
    EXPECT_TRUE(EncodeJpegToStream(flat, out, true, 75, false));
    const Bytes f = out.Memory();
    size_t last = 0, scans = 0;
    for (size_t i = 2; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == 0xDA) last = i, ++scans;
    Bytes many(f.begin(), f.end() - 2);
    for (; scans < 900; ++scans) many.insert(many.end(), f.begin() + ptrdiff_t(last), f.end() - 2);
    many.push_back(0xFF);
    many.push_back(0xD9);
    return many;
}

// A gray TIFF of side² pixels in one strip of 16 bytes.
Bytes Tiff(uint32_t side, uint16_t compression) {
    Bytes f = {'I', 'I', 42, 0};
    Le32(f, 8);
    const struct {
        uint16_t Tag, Type;
        uint32_t Value;
    } entries[] = {{256, 4, side},        {257, 4, side}, {258, 3, 8},
                   {259, 3, compression}, {262, 3, 1},    {273, 4, 0},
                   {277, 3, 1},           {278, 4, side}, {279, 4, 16}};
    const uint32_t data = 8 + 2 + 9 * 12 + 4;
    Le16(f, 9);
    for (const auto& e : entries) {
        Le16(f, e.Tag);
        Le16(f, e.Type);
        Le32(f, 1);
        Le32(f, e.Tag == 273 ? data : e.Value);
    }
    Le32(f, 0);
    f.resize(f.size() + 16, 0x80);
    return f;
}

Bytes WebPLossless() {
    Bytes f;
    Add(f, "RIFF");
    Le32(f, 4 + 8 + 16);
    Add(f, "WEBPVP8L");
    Le32(f, 16);
    const uint32_t bits = (16383 - 1) | (16383 - 1) << 14;
    f.push_back(0x2F);
    Le32(f, bits);
    f.resize(f.size() + 11, 0);
    return f;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Le24(Bytes& b, uint32_t v) {
    Le16(b, v & 0xFFFF);
    b.push_back(uint8_t(v >> 16));
}

// An animation on a kSide² canvas whose one frame is a single pixel (Tilvo's own lossless
// encoding of it).
Bytes AnimatedWebP() {
    const fs::path one =
        fs::temp_directory_path() / ("tilvo-one-" + std::to_string(::getpid()) + ".webp");
    TBitmap pixel(1, 1);
    EXPECT_TRUE(SaveWebP(pixel, one.string(), 80, true));
    const Bytes still = ReadFile(one);
    fs::remove(one);
    const Bytes frame(still.begin() + 12, still.end());  // the VP8L chunk, header included
    Bytes body;
    Add(body, "WEBPVP8X");
    Le32(body, 10);
    body.insert(body.end(), {0x02, 0, 0, 0});
    Le24(body, kSide - 1);
    Le24(body, kSide - 1);
    Add(body, "ANIM");
    Le32(body, 6);
    body.insert(body.end(), {255, 255, 255, 255, 0, 0});
    Add(body, "ANMF");
    Le32(body, uint32_t(16 + frame.size()));
    for (uint32_t v : {0u, 0u, 0u, 0u, 100u}) Le24(body, v);
    body.push_back(0);
    Add(body, frame);
    Bytes f;
    Add(f, "RIFF");
    Le32(f, uint32_t(body.size()));
    Add(f, body);
    return f;
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string Side(uint32_t w, uint32_t h) {
    return std::to_string(w) + " \u00D7 " + std::to_string(h);
}

TEST(ShortFiles, ATinyFileDeclaringAHugePictureFailsAtOnceWithItsMessage) {
    const std::string tooShort = "the file is too short for a " + Side(kSide, kSide) + " picture";
    const struct {
        const char* Name;
        Bytes File;
        std::string Message;
    } cases[] = {
        {"b.bmp", Bmp(kSide, 8, 0, Bytes(16, 1)), tooShort},
        {"rle.bmp", Bmp(kSide, 8, 1, {0, 1}), tooShort},
        {"mono.bmp", Bmp(46000, 1, 0, Bytes(16, 1)),
         "picture too large: " + Side(46000, 46000) + " pixels at 24 bits"},
        {"p.pgm", Bytes{'P', '5', ' ', '2', '6', '0', '0', '0',  ' ', '2', '6',
                        '0', '0', '0', ' ', '2', '5', '5', '\n', 1,   2,   3},
         tooShort},
        {"p.pbm",
         Bytes{'P', '1', ' ', '2', '6', '0', '0', '0', ' ', '2', '6', '0', '0', '0', '\n', '0',
               '1'},
         tooShort},
        {"i.ico", Ico(), tooShort},
        {"t.tga", Tga(), tooShort},
        {"x.pcx", Pcx(), tooShort},
        {"s.sgi", Sgi(), tooShort},
        {"a.lbm", Ilbm(), tooShort},
        {"d.psd", Psd(), tooShort},
        {"sparse.psp", Psp(1), tooShort},
        {"screen.gif", Gif(kSide, 1, false), tooShort},
        {"interlaced.gif", Gif(1, 46340, true),
         "the file is too short for a " + Side(46340, 46340) + " picture"},
        {"p.png", Png(), tooShort},
        {"base.jpg", Jpeg(false), tooShort},
        {"prog.jpg", Jpeg(true), tooShort},
        {"scans.jpg", ManyScans(),
         "JPEG refused: its scans ask for far more work than its data holds"},
        {"raw.tif", Tiff(23000, 1),
         "the file is too short for a " + Side(23000, 23000) + " picture"},
        {"lzw.tif", Tiff(23000, 5),
         "the file is too short for a " + Side(23000, 23000) + " picture"},
        {"l.webp", WebPLossless(),
         "the file is too short for a " + Side(16383, 16383) + " picture"},
        {"anim.webp", AnimatedWebP(), tooShort},
    };
    // TILVO_SHORT_FILES_DIR keeps the files there (to time tilvo-cli on them by hand).
    const char* keep = std::getenv("TILVO_SHORT_FILES_DIR");
    const fs::path dir =
        keep != nullptr ? fs::path(keep)
                        : fs::temp_directory_path() / ("tilvo-short-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    RegisterAllFormats();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path path = dir / c.Name;
        WriteFile(path, c.File);
        TBitmap picture(3, 2);
        picture.SetPixel(1, 1, RGB(9, 8, 7));
        const int64_t base = testing::BytesHeld();
        testing::ResetAllocationPeak();
        try {
            LoadPictureFile(path.string(), picture);
            ADD_FAILURE() << "opened " << picture.Width() << " x " << picture.Height();
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.Message.size()), c.Message);
        }
        if (testing::AllocationsCounted()) {
            EXPECT_LT(testing::AllocationPeakAbove(base), int64_t{16} << 20);
        }
        ASSERT_EQ(picture.Width(), 3);  // the open picture stays
        EXPECT_EQ(picture.Pixel(1, 1), RGB(9, 8, 7));
    }
    // The counter sees a picture that does open: a 3 MiB one costs at least that.
    if (testing::AllocationsCounted()) {
        Bytes ppm;
        Add(ppm, "P6 1024 1024 255\n");
        ppm.resize(ppm.size() + 3 * 1024 * 1024, 0x40);
        WriteFile(dir / "whole.ppm", ppm);
        TBitmap picture;
        const int64_t base = testing::BytesHeld();
        testing::ResetAllocationPeak();
        LoadPictureFile((dir / "whole.ppm").string(), picture);
        EXPECT_GE(testing::AllocationPeakAbove(base), int64_t{3} << 20);
    }
    if (keep == nullptr) fs::remove_all(dir);
}

// An interlaced image of 8 × 65,535 on a screen one row high: decoding stops after its first row
// (the first of its first pass), so the data of the other rows, missing here, is never asked for.
TEST(ShortFiles, AGifStopsDecodingAfterTheLastRowInsideItsScreen) {
    const fs::path dir =
        fs::temp_directory_path() / ("tilvo-gifrows-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    TBitmap tall(8, 65535);
    tall.Canvas().Brush.Color = RGB(200, 30, 60);
    tall.Canvas().FillRect(TRect{0, 0, 8, 65535});
    ASSERT_TRUE(SaveGif(tall, (dir / "tall.gif").string(), false));
    Bytes f = ReadFile(dir / "tall.gif");
    f[8] = 1, f[9] = 0;  // the screen's height
    const uint8_t descriptor[] = {0x2C, 0, 0, 0, 0, 8, 0, 0xFF, 0xFF};
    const auto at = std::search(f.begin(), f.end(), descriptor, descriptor + 9);
    ASSERT_NE(at, f.end());
    const size_t image = size_t(at - f.begin());
    f[image + 9] |= 0x40;                      // interlaced
    const size_t firstBlock = image + 11;      // after the LZW code size
    f.resize(firstBlock + 1 + f[firstBlock]);  // the first data block only
    f.push_back(0);
    f.push_back(0x3B);
    WriteFile(dir / "cut.gif", f);
    TBitmap picture;
    RegisterAllFormats();
    LoadPictureFile((dir / "cut.gif").string(), picture);
    ASSERT_EQ(picture.Width(), 8);
    ASSERT_EQ(picture.Height(), 1);
    for (int32_t x = 0; x < 8; ++x) EXPECT_EQ(picture.Pixel(x, 0), RGB(200, 30, 60)) << x;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tilvo
