// Tests of the libdeflate PNG encoder: every variant it writes is read back with libpng and
// compared, header, palette, transparency and samples, with what libpng's own writer makes of the
// same rows; the chunk framing, the filter choice and the progress hook are checked on the bytes.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "FileFormat/PNGImage.h"
#include "FileFormat/PngDeflateWriter.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

// ---- a picture as PNG samples ----

struct Samples {
    uint32_t width = 0, height = 0;
    int channels = 3;
    std::vector<uint8_t> pixels;  // rows of width × channels
    const uint8_t* Row(uint32_t y) const {
        return pixels.data() + size_t(y) * width * size_t(channels);
    }
};

// Smooth gradients with noise in every channel; palette indices below `colours`.
Samples MakeSamples(uint32_t w, uint32_t h, int channels, uint32_t seed, int colours = 256) {
    Samples s{w, h, channels, std::vector<uint8_t>(size_t(w) * h * size_t(channels))};
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c) {
                const int v = int((x * 7 + y * 3 + uint32_t(c) * 50) & 255) + int(rng() % 9) - 4;
                uint8_t& out = s.pixels[(size_t(y) * w + x) * size_t(channels) + size_t(c)];
                out = channels == 1 && colours < 256 ? uint8_t(rng() % uint32_t(colours))
                                                     : uint8_t(std::clamp(v, 0, 255));
            }
    return s;
}

TPngRowSource RowsOf(const Samples& s) {
    return [&s](int32_t y, uint8_t* out) {
        std::memcpy(out, s.Row(uint32_t(y)), size_t(s.width) * size_t(s.channels));
    };
}

// ---- libpng on both sides ----

struct Decoded {
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colorType = -1, interlace = -1;
    std::vector<uint8_t> plte, trns, pixels;
    std::string error;
};

struct MemoryReader {
    const std::vector<uint8_t>* data;
    size_t pos = 0;
};

void ReadFromMemory(png_structp png, png_bytep out, size_t count) {
    auto* r = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (count > r->data->size() - r->pos) png_error(png, "truncated");
    std::memcpy(out, r->data->data() + r->pos, count);
    r->pos += count;
}

void DecodeGlue(png_structp png, png_infop info, Decoded* d) {
    if (setjmp(png_jmpbuf(png))) {
        d->error = "libpng failed";
        return;
    }
    png_read_info(png, info);
    d->width = png_get_image_width(png, info);
    d->height = png_get_image_height(png, info);
    d->bitDepth = png_get_bit_depth(png, info);
    d->colorType = png_get_color_type(png, info);
    d->interlace = png_get_interlace_type(png, info);
    png_colorp plte = nullptr;
    int n = 0;
    if (png_get_PLTE(png, info, &plte, &n))
        for (int i = 0; i < n; ++i)
            d->plte.insert(d->plte.end(), {plte[i].red, plte[i].green, plte[i].blue});
    png_bytep alpha = nullptr;
    png_color_16p color = nullptr;
    if (png_get_tRNS(png, info, &alpha, &n, &color)) {
        if (d->colorType == PNG_COLOR_TYPE_PALETTE)
            d->trns.assign(alpha, alpha + n);
        else if (d->colorType == PNG_COLOR_TYPE_GRAY)
            d->trns = {uint8_t(color->gray >> 8), uint8_t(color->gray)};
        else
            d->trns = {uint8_t(color->red >> 8),   uint8_t(color->red),
                       uint8_t(color->green >> 8), uint8_t(color->green),
                       uint8_t(color->blue >> 8),  uint8_t(color->blue)};
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    d->pixels.assign(rowBytes * d->height, 0);
    std::vector<png_bytep> rows(d->height);
    for (uint32_t y = 0; y < d->height; ++y) rows[y] = d->pixels.data() + rowBytes * y;
    for (int p = 0; p < passes; ++p) png_read_rows(png, rows.data(), nullptr, d->height);
    png_read_end(png, nullptr);
}

Decoded DecodeWithLibpng(const std::vector<uint8_t>& file) {
    Decoded d;
    MemoryReader reader{&file};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_read_fn(png, &reader, ReadFromMemory);
    DecodeGlue(png, info, &d);
    png_destroy_read_struct(&png, &info, nullptr);
    return d;
}

void AppendToVector(png_structp png, png_bytep data, size_t count) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + count);
}

void FlushNothing(png_structp) {}

bool EncodeGlue(png_structp png, png_infop info, const TPngLayout* l, png_bytepp rows,
                png_color* plte, png_color_16* trnsColor) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_IHDR(png, info, l->Width, l->Height, 8, l->ColorType,
                 l->Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!l->Palette.empty()) png_set_PLTE(png, info, plte, int(l->Palette.size() / 3));
    if (!l->Transparency.empty()) {
        if (l->ColorType == PNG_COLOR_TYPE_PALETTE)
            png_set_tRNS(png, info, l->Transparency.data(), int(l->Transparency.size()), nullptr);
        else
            png_set_tRNS(png, info, nullptr, 0, trnsColor);
    }
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

// libpng's own writer at its defaults, given the same layout and rows: the way PNGs were saved
// before the libdeflate encoder.
std::vector<uint8_t> EncodeWithLibpng(const TPngLayout& l, const Samples& s) {
    std::vector<uint8_t> out;
    std::vector<png_color> plte;
    for (size_t i = 0; i + 2 < l.Palette.size(); i += 3)
        plte.push_back({l.Palette[i], l.Palette[i + 1], l.Palette[i + 2]});
    png_color_16 trnsColor{};
    const auto& t = l.Transparency;
    if (l.ColorType == 0 && t.size() == 2) trnsColor.gray = png_uint_16(t[0] << 8 | t[1]);
    if (l.ColorType == 2 && t.size() == 6) {
        trnsColor.red = png_uint_16(t[0] << 8 | t[1]);
        trnsColor.green = png_uint_16(t[2] << 8 | t[3]);
        trnsColor.blue = png_uint_16(t[4] << 8 | t[5]);
    }
    std::vector<png_bytep> rows(s.height);
    for (uint32_t y = 0; y < s.height; ++y) rows[y] = const_cast<png_bytep>(s.Row(y));
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, AppendToVector, FlushNothing);
    const bool ok = EncodeGlue(png, info, &l, rows.data(), plte.data(), &trnsColor);
    png_destroy_write_struct(&png, &info);
    EXPECT_TRUE(ok);
    return out;
}

std::vector<uint8_t> Encode(const TPngLayout& layout, const Samples& s) {
    TMemoryStream stream;
    TProgress none;
    EncodePngDeflate(stream, layout, RowsOf(s), none);
    return stream.Memory();
}

// pngcheck, where it is installed, reads the file without a complaint (its zlib stream whole, its
// chunks and CRCs right). Nothing is checked where it is missing.
bool HavePngcheck() {
    static const bool have = std::system("command -v pngcheck >/dev/null 2>&1") == 0;
    return have;
}

void PngcheckAccepts(const std::vector<uint8_t>& file, const std::string& what) {
    const std::string name = (std::filesystem::temp_directory_path() /
                              ("tilvo_pngcheck_" + std::to_string(getpid()) + ".png"))
                                 .string();
    WriteWholeFile(name, file.data(), int64_t(file.size()));
    const int status = std::system(("pngcheck -q '" + name + "' >/dev/null 2>&1").c_str());
    std::filesystem::remove(name);
    EXPECT_EQ(status, 0) << "pngcheck refuses " << what;
}

// ---- the bytes of the file ----

uint32_t BE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct Chunk {
    std::string type;
    std::vector<uint8_t> data;
};

// Splits the file into chunks, checking the signature, each length and each CRC.
std::vector<Chunk> Chunks(const std::vector<uint8_t>& file) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<Chunk> chunks;
    EXPECT_GE(file.size(), 8u);
    EXPECT_EQ(std::memcmp(file.data(), kSignature, 8), 0);
    size_t pos = 8;
    while (pos + 12 <= file.size()) {
        const uint32_t length = BE32(&file[pos]);
        if (pos + 12 + length > file.size()) break;
        Chunk c{std::string(reinterpret_cast<const char*>(&file[pos + 4]), 4),
                std::vector<uint8_t>(file.begin() + ptrdiff_t(pos + 8),
                                     file.begin() + ptrdiff_t(pos + 8 + length))};
        const uLong crc = crc32(0, &file[pos + 4], uInt(4 + length));
        EXPECT_EQ(crc, BE32(&file[pos + 8 + length])) << c.type;
        chunks.push_back(std::move(c));
        pos += 12 + length;
    }
    EXPECT_EQ(pos, file.size()) << "bytes after the last whole chunk";
    return chunks;
}

// The filter type byte of every row of a non-interlaced file.
std::vector<uint8_t> FilterTypes(const std::vector<uint8_t>& file, size_t rowBytes, size_t rows) {
    std::vector<uint8_t> idat;
    for (const Chunk& c : Chunks(file))
        if (c.type == "IDAT") idat.insert(idat.end(), c.data.begin(), c.data.end());
    std::vector<uint8_t> raw((rowBytes + 1) * rows);
    uLongf size = uLongf(raw.size());
    EXPECT_EQ(uncompress(raw.data(), &size, idat.data(), uLong(idat.size())), Z_OK);
    EXPECT_EQ(size, raw.size());
    std::vector<uint8_t> types;
    for (size_t y = 0; y < rows; ++y) types.push_back(raw[y * (rowBytes + 1)]);
    return types;
}

// ---- the tests ----

struct VariantCase {
    const char* name;
    uint32_t width, height;
    uint8_t colorType;
    bool interlaced;
    int paletteEntries;                 // palette pictures
    std::vector<uint8_t> transparency;  // tRNS payload
};

// Every kind of picture the writer makes.
const std::vector<VariantCase>& Variants() {
    static const std::vector<VariantCase> cases = {
        {"rgb", 61, 37, 2, false, 0, {}},
        {"rgb interlaced", 61, 37, 2, true, 0, {}},
        {"rgb transparent colour", 20, 9, 2, false, 0, {0, 12, 0, 200, 0, 7}},
        {"gray", 33, 40, 0, false, 0, {}},
        {"gray interlaced transparent", 33, 40, 0, true, 0, {0, 77}},
        {"palette", 45, 19, 3, false, 256, {}},
        {"palette of 17 with tRNS", 45, 19, 3, false, 17, {255, 255, 255, 0}},
        {"palette interlaced", 45, 19, 3, true, 200, {}},
        {"1x1 rgb", 1, 1, 2, false, 0, {}},
        {"1x1 interlaced gray", 1, 1, 0, true, 0, {}},
        {"1x1 palette interlaced", 1, 1, 3, true, 1, {0}},
        {"2x2 interlaced", 2, 2, 2, true, 0, {}},
        {"odd 7x5 interlaced", 7, 5, 2, true, 0, {}},
        {"wide", 3001, 2, 2, false, 0, {}},
        {"wide interlaced gray", 1999, 3, 0, true, 0, {}},
        {"tall", 1, 2003, 2, false, 0, {}},
        {"tall interlaced palette", 3, 1001, 3, true, 5, {}},
        {"one row", 777, 1, 2, false, 0, {}},
        {"one row interlaced gray", 301, 1, 0, true, 0, {}},
    };
    return cases;
}

// The layout and samples of a variant, deflated in `pieces` pieces.
TPngLayout LayoutOf(const VariantCase& c, uint32_t pieces) {
    TPngLayout layout;
    layout.Width = c.width;
    layout.Height = c.height;
    layout.ColorType = c.colorType;
    layout.Interlaced = c.interlaced;
    layout.Transparency = c.transparency;
    layout.Pieces = pieces;
    if (c.colorType == 3) {
        layout.Filters = TPngFilterChoice::None;
        for (int i = 0; i < c.paletteEntries; ++i)
            layout.Palette.insert(layout.Palette.end(),
                                  {uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 31)});
    }
    return layout;
}
Samples SamplesOf(const VariantCase& c, uint32_t seed) {
    return MakeSamples(c.width, c.height, c.colorType == 2 ? 3 : 1, seed,
                       c.colorType == 3 ? c.paletteEntries : 256);
}

// Whole, and in pieces that split the rows unevenly (more pieces than some pictures have rows:
// one a row then).
constexpr uint32_t kPieceCounts[] = {1, 2, 3, 7};

TEST(PngDeflateWriter, EveryVariantReadsBackAsLibpngWritesIt) {
    for (const uint32_t pieces : kPieceCounts) {
        uint32_t seed = 1;
        for (const VariantCase& c : Variants()) {
            SCOPED_TRACE(std::string(c.name) + ", pieces " + std::to_string(pieces));
            const TPngLayout layout = LayoutOf(c, pieces);
            const Samples s = SamplesOf(c, ++seed);
            const std::vector<uint8_t> file = Encode(layout, s);
            const Decoded ours = DecodeWithLibpng(file);
            const Decoded theirs = DecodeWithLibpng(EncodeWithLibpng(layout, s));
            ASSERT_EQ(ours.error, "");
            ASSERT_EQ(theirs.error, "");
            EXPECT_EQ(ours.width, c.width);
            EXPECT_EQ(ours.height, c.height);
            EXPECT_EQ(ours.bitDepth, 8);
            EXPECT_EQ(ours.colorType, c.colorType);
            EXPECT_EQ(ours.interlace, c.interlaced ? 1 : 0);
            EXPECT_EQ(ours.plte, theirs.plte);
            EXPECT_EQ(ours.trns, theirs.trns);
            EXPECT_EQ(ours.trns, c.transparency);
            EXPECT_EQ(ours.pixels, s.pixels);  // pixel-exact against the samples handed over
            EXPECT_EQ(ours.pixels, theirs.pixels);
        }
    }
}

// pngcheck (an independent reader, where it is installed) accepts every variant, whole and in
// pieces: the zlib stream of the pieces is whole, its Adler-32 right, the chunks and CRCs right.
TEST(PngDeflateWriter, PngcheckReadsEveryVariant) {
    if (!HavePngcheck()) GTEST_SKIP() << "pngcheck is not installed";
    for (const uint32_t pieces : kPieceCounts) {
        uint32_t seed = 1;
        for (const VariantCase& c : Variants())
            PngcheckAccepts(Encode(LayoutOf(c, pieces), SamplesOf(c, ++seed)),
                            std::string(c.name) + ", pieces " + std::to_string(pieces));
    }
}

// Pieces hold rows whole; the file of a large picture in pieces is as small as the whole one's
// give or take what each piece's fresh start costs, and its filter types are the same.
TEST(PngDeflateWriter, PiecesKeepTheFilteredRows) {
    const Samples s = MakeSamples(500, 400, 3, 9);
    TPngLayout layout;
    layout.Width = 500;
    layout.Height = 400;
    layout.Pieces = 1;
    const std::vector<uint8_t> whole = Encode(layout, s);
    layout.Pieces = 5;
    const std::vector<uint8_t> pieces = Encode(layout, s);
    EXPECT_NE(whole, pieces);
    EXPECT_EQ(FilterTypes(whole, 1500, 400), FilterTypes(pieces, 1500, 400));
    EXPECT_LT(double(pieces.size()), double(whole.size()) * 1.01);
    EXPECT_EQ(DecodeWithLibpng(pieces).pixels, s.pixels);
}

TEST(PngDeflateWriter, ChunksAreFramedInOrderWithLargeStreamsSplit) {
    // Noise compresses badly: well over one IDAT chunk's worth.
    Samples s{700, 600, 3, std::vector<uint8_t>(700 * 600 * 3)};
    std::mt19937 rng(7);
    for (uint8_t& b : s.pixels) b = uint8_t(rng());
    TPngLayout layout;
    layout.Width = 700;
    layout.Height = 600;
    layout.Transparency = {0, 1, 0, 2, 0, 3};
    const std::vector<uint8_t> file = Encode(layout, s);
    const std::vector<Chunk> chunks = Chunks(file);
    ASSERT_GE(chunks.size(), 5u);
    EXPECT_EQ(chunks.front().type, "IHDR");
    EXPECT_EQ(chunks[1].type, "tRNS");
    EXPECT_EQ(chunks.back().type, "IEND");
    EXPECT_TRUE(chunks.back().data.empty());
    size_t idats = 0;
    for (size_t i = 2; i + 1 < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].type, "IDAT");
        EXPECT_LE(chunks[i].data.size(), size_t{1} << 20);
        ++idats;
    }
    EXPECT_GE(idats, 2u);
    EXPECT_EQ(DecodeWithLibpng(file).pixels, s.pixels);
}

TEST(PngDeflateWriter, PaletteRowsAreNotFilteredOtherRowsAre) {
    // Rows of different character, so that each of the five filter types wins somewhere: noise
    // (none), horizontal ramps (sub), vertical stripes (up), and smooth two-way gradients (average
    // and Paeth); the round trip of this picture therefore checks every predictor.
    Samples rgb{90, 50, 3, std::vector<uint8_t>(90 * 50 * 3)};
    std::mt19937 rng(3);
    for (uint32_t y = 0; y < 50; ++y)
        for (uint32_t x = 0; x < 90 * 3; ++x) {
            const uint32_t band = y / 10;
            uint32_t v = band == 0   ? rng()
                         : band == 1 ? x * 3
                         : band == 2 ? (x * 37) ^ (x >> 2) * 91
                         : band == 3 ? x * 2 + y * 5 + (rng() & 1)
                                     : (x / 3) * (y + 1) / 4 + x % 3 * 40;
            rgb.pixels[y * 270 + x] = uint8_t(v);
        }
    TPngLayout layout;
    layout.Width = 90;
    layout.Height = 50;
    const std::vector<uint8_t> file = Encode(layout, rgb);
    const std::vector<uint8_t> adaptive = FilterTypes(file, 270, 50);
    EXPECT_EQ(std::set<uint8_t>(adaptive.begin(), adaptive.end()),
              (std::set<uint8_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(DecodeWithLibpng(file).pixels, rgb.pixels);

    const Samples indices = MakeSamples(90, 50, 1, 4, 16);
    layout.ColorType = 3;
    layout.Filters = TPngFilterChoice::None;
    layout.Palette.assign(16 * 3, 9);
    const std::vector<uint8_t> none = FilterTypes(Encode(layout, indices), 90, 50);
    EXPECT_EQ(none, std::vector<uint8_t>(50, 0));
}

TEST(PngDeflateWriter, ProgressRisesPerRowAndCancels) {
    const Samples s = MakeSamples(64, 300, 3, 5);
    TPngLayout layout;
    layout.Width = 64;
    layout.Height = 300;
    std::vector<int32_t> seen;
    TProgress progress([&seen](int32_t p) {
        seen.push_back(p);
        return true;
    });
    TMemoryStream stream;
    EncodePngDeflate(stream, layout, RowsOf(s), progress);
    ASSERT_GE(seen.size(), 10u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 100);

    // Cancelled whole or in pieces (the other threads stop too): nothing written.
    for (const uint32_t pieces : {1u, 4u}) {
        layout.Pieces = pieces;
        TProgress cancel([](int32_t p) { return p < 10; });
        TMemoryStream untouched;
        EXPECT_THROW(EncodePngDeflate(untouched, layout, RowsOf(s), cancel), ECancelled);
        EXPECT_EQ(untouched.Size(), 0);  // nothing written before the compression finished
    }
}

TEST(PngDeflateWriter, RefusesSizesBeyondTheSurfaceLimitBeforeAllocating) {
    TPngLayout layout;
    layout.Width = uint32_t(kMaxSurfaceSide);
    layout.Height = uint32_t(kMaxSurfaceSide);
    bool rowAsked = false;
    TProgress none;
    TMemoryStream stream;
    EXPECT_THROW(EncodePngDeflate(
                     stream, layout, [&](int32_t, uint8_t*) { rowAsked = true; }, none),
                 EPictureTooLarge);
    EXPECT_FALSE(rowAsked);
    layout.Width = 0;
    EXPECT_THROW(EncodePngDeflate(
                     stream, layout, [&](int32_t, uint8_t*) { rowAsked = true; }, none),
                 Exception);
}

TEST(SavePngProgress, CancelKeepsTheExistingFile) {
    const std::string name = (std::filesystem::temp_directory_path() /
                              ("tilvo_png_cancel_" + std::to_string(getpid()) + ".png"))
                                 .string();
    WriteWholeFile(name, "old", 3);
    TBitmap picture(300, 200, pf24bit);
    TProgress cancel([](int32_t p) { return p < 5; });
    EXPECT_THROW(SavePng(picture, name, false, false, false, false, cancel), ECancelled);
    TMemoryStream kept;
    kept.LoadFromFile(name);
    EXPECT_EQ(std::string(kept.Memory().begin(), kept.Memory().end()), "old");

    std::vector<int32_t> seen;
    TProgress listen([&seen](int32_t p) {
        seen.push_back(p);
        return true;
    });
    EXPECT_TRUE(SavePng(picture, name, true, false, false, false, listen));
    EXPECT_EQ(seen.back(), 100);
    std::filesystem::remove(name);
}

}  // namespace
}  // namespace tilvo
