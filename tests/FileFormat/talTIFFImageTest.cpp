// TIFF files built here and from the fixture folder: the first directory's tag list, header
// refusals, the pixel format each path leaves, palettes from the colour map, old-style JPEG
// bounds, strips that end early, hostile sizes, and a failed load changing nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "FileFormat/talTIFFImage.h"

namespace tilvo {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kTif = std::string(TILVO_TEST_DATA) + "/read/tif/";

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Load(TtalTIFFImage& tif, const Bytes& file) {
    TMemoryStream ms(file);
    tif.LoadFromStream(ms);
}

// A little-endian uncompressed strip file: header, directory, values that do not fit in their
// entries, then one strip per `rowsPerStrip` rows. Entries are (tag, type, values).
struct TTiffBuilder {
    struct TEntry {
        uint16_t Tag, Type;
        std::vector<uint32_t> Values;
    };
    std::map<uint16_t, TEntry> Entries;
    std::map<uint16_t, TEntry> Overrides;  // replace what Build sets

    void Set(uint16_t tag, uint16_t type, std::vector<uint32_t> values) {
        Entries[tag] = {tag, type, std::move(values)};
    }

    // `pixels` holds height rows of `rowBytes` bytes.
    Bytes Build(uint32_t width, uint32_t height, uint16_t bits, uint16_t samples,
                uint16_t photometric, const Bytes& pixels, uint32_t rowsPerStrip = 1) {
        const uint32_t rowBytes = (width * bits * samples + 7) / 8;
        const uint32_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
        Set(256, 4, {width});
        Set(257, 4, {height});
        Set(258, 3, std::vector<uint32_t>(samples, bits));
        if (!Entries.count(259)) Set(259, 3, {1});
        Set(262, 3, {photometric});
        Set(277, 3, {samples});
        Set(278, 4, {rowsPerStrip});
        Set(273, 4, std::vector<uint32_t>(strips, 0));  // filled below
        std::vector<uint32_t> counts;
        for (uint32_t s = 0; s < strips; ++s)
            counts.push_back(std::min(rowsPerStrip, height - s * rowsPerStrip) * rowBytes);
        Set(279, 4, counts);
        for (const auto& [tag, e] : Overrides) Entries[tag] = e;

        const auto size = [](uint16_t type) -> uint32_t {
            return type == 3 ? 2 : type == 5 ? 8 : type == 1 || type == 2 ? 1 : 4;
        };
        const uint32_t dirBytes = 2 + 12 * uint32_t(Entries.size()) + 4;
        uint32_t outside = 8 + dirBytes;
        for (const auto& [tag, e] : Entries)
            if (e.Values.size() * size(e.Type) > 4)
                outside += uint32_t(e.Values.size() * size(e.Type));
        std::vector<uint32_t> offsets;
        for (uint32_t s = 0; s < strips; ++s)
            offsets.push_back(outside + s * rowsPerStrip * rowBytes);
        if (!Overrides.count(273)) Entries[273].Values = offsets;

        Bytes out = {'I', 'I', 42, 0, 8, 0, 0, 0};
        const auto put = [&](uint32_t v, uint32_t n) {
            for (uint32_t i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i)));
        };
        Bytes values;
        put(uint32_t(Entries.size()), 2);
        uint32_t valuePos = 8 + dirBytes;
        for (const auto& [tag, e] : Entries) {
            put(tag, 2), put(e.Type, 2), put(uint32_t(e.Values.size()), 4);
            const uint32_t es = size(e.Type);
            Bytes packed;
            for (uint32_t v : e.Values)
                for (uint32_t i = 0; i < es; ++i)
                    packed.push_back(uint8_t(i < 4 ? v >> (8 * i) : 0));
            if (packed.size() > 4) {
                put(valuePos, 4);
                valuePos += uint32_t(packed.size());
                values.insert(values.end(), packed.begin(), packed.end());
            } else {
                packed.resize(4, 0);
                out.insert(out.end(), packed.begin(), packed.end());
            }
        }
        put(0, 4);
        out.insert(out.end(), values.begin(), values.end());
        out.insert(out.end(), pixels.begin(), pixels.end());
        return out;
    }
};

Bytes GrayRows(uint32_t width, uint32_t height) {
    Bytes b;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) b.push_back(uint8_t(40 + x * 9 + y * 13));
    return b;
}

TEST(TIFFReader, TheFirstDirectoryBecomesANamedTagList) {
    TTiffBuilder b;
    b.Set(282, 5, {72, 1});       // XResolution, RATIONAL: eight bytes per element
    b.Set(0x9C9C, 1, {1, 2, 3});  // a private tag: named by its code
    b.Set(274, 3, {1});
    const Bytes file = b.Build(5, 3, 8, 1, 1, GrayRows(5, 3));
    TtalTIFFImage tif;
    Load(tif, file);
    const TTiffTagNode& root = tif.Tags();
    EXPECT_EQ(root.Name, "root");
    EXPECT_EQ(root.Children.size(), b.Entries.size());

    const TTiffTagNode* res = root.Find("XResolution");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->TypeName, "RATIONAL");
    EXPECT_EQ(res->ElementSize, 8u);
    EXPECT_TRUE(res->Outside);
    const TTiffTagNode* priv = root.Find("TagCode=9C9C");
    ASSERT_NE(priv, nullptr);
    EXPECT_EQ(priv->TypeName, "BYTE");
    EXPECT_FALSE(priv->Outside);
    EXPECT_EQ(priv->Value, 3u);  // the last element
    const TTiffTagNode* strips = root.Find("StripOffsets");
    ASSERT_NE(strips, nullptr);
    EXPECT_EQ(strips->Count, 3u);
    EXPECT_TRUE(strips->Outside);
    EXPECT_EQ(strips->FirstValue, int64_t(file.size() - 15));
    EXPECT_EQ(root.Find("Orientation")->FirstValue, -1);

    EXPECT_EQ(TiffTagName(0x0F), "TagCode=0F");
    EXPECT_EQ(TiffTypeName(12), "DOUBLE");
    EXPECT_EQ(TiffTypeName(13), "unknown");

    // The list belongs to the load: the next file's tags replace it, another graphic has its own.
    TtalTIFFImage other;
    Load(other, FileBytes(kTif + "rgb8_lzw_mm.tif"));
    EXPECT_NE(tif.Tags().Find("TagCode=9C9C"), nullptr);
    Load(tif, FileBytes(kTif + "rgb8_lzw_mm.tif"));
    EXPECT_EQ(tif.Tags().Find("TagCode=9C9C"), nullptr);
    EXPECT_NE(tif.Tags().Find("Predictor"), nullptr);
}

TEST(TIFFReader, HeadersThatAreNotTiffFailWithTheirMessage) {
    struct TCase {
        Bytes File;
        const char* Error;
    } cases[] = {
        {{}, "Byte order error"},
        {{'I'}, "Byte order error"},
        {{'I', 'M', 42, 0, 8, 0, 0, 0}, "Byte order error"},
        {{'I', 'I', 43, 0, 8, 0, 0, 0}, "TIFF version error"},
        {{'M', 'M', 42, 0, 0, 0, 0, 8}, "TIFF version error"},
        {{'I', 'I', 42, 0, 0x40, 0, 0, 0}, "TIFF file truncated"},
        {{'I', 'I', 42, 0, 8, 0, 0, 0, 5, 0, 1, 2}, "TIFF file truncated"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Error);
        TtalTIFFImage tif;
        try {
            Load(tif, c.File);
            ADD_FAILURE() << "opened";
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), c.Error);
        }
    }
}

TEST(TIFFReader, EachPathLeavesItsPixelFormatAndDepth) {
    struct TCase {
        const char* File;
        TPixelFormat Format;
        int Depth;
    } cases[] = {
        {"bilevel_g4", pf1bit, 1},
        {"gray4", pf4bit, 4},
        {"pal4_mm", pf4bit, 4},
        {"pal8", pf8bit, 8},
        {"gray8_packbits", pf8bit, 8},
        {"rgb8_lzw_mm", pf24bit, 24},
        {"rgb16", pf32bit, 48},
        {"rgb8_deflate_tiled", pf32bit, 24},
        {"ycbcr_jpeg", pf32bit, 24},
        {"rgba8_lzw", pf32bit, 32},
        {"ojpeg_interchange", pf24bit, 24},
        {"gray4_orientation5", pf24bit, 4},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File);
        TtalTIFFImage tif;
        const Bytes file = FileBytes(kTif + c.File + ".tif");
        Load(tif, file);
        EXPECT_EQ(tif.Bitmap().PixelFormat(), c.Format);
        EXPECT_EQ(tif.BitsPerPixel(), c.Depth);
        TMemoryStream out;
        tif.SaveToStream(out);
        EXPECT_EQ(out.ReadAll(), file);
    }
}

TEST(TIFFReader, OneAndFourBitPaletteFilesUseTheColourMap) {
    for (uint16_t bits : {1, 4}) {
        SCOPED_TRACE(bits);
        const uint32_t n = 1u << bits;
        std::vector<uint32_t> map(3 * n, 0);
        map[0] = 0xFF00;          // entry 0: red (high bytes count)
        map[n + 1] = 0x80FF;      // entry 1: green 0x80
        map[2 * n + 1] = 0xFFFF;  // entry 1: blue
        TTiffBuilder b;
        b.Set(320, 3, map);
        // Two pixels per row: index 1 then 0.
        const Bytes rows = bits == 1 ? Bytes{0x80, 0x80} : Bytes{0x10, 0x10};
        TtalTIFFImage tif;
        Load(tif, b.Build(2, 2, bits, 1, 3, rows));
        EXPECT_EQ(tif.Bitmap().Pixel(0, 1), RGB(0, 0x80, 0xFF));
        EXPECT_EQ(tif.Bitmap().Pixel(1, 1), RGB(0xFF, 0, 0));
    }
}

TEST(TIFFReader, StripsEndingEarlyLeaveTheRestBlackAfterTheFirstRow) {
    struct TCase {
        const char* Name;
        uint16_t Samples;
        uint16_t Photometric;
    } cases[] = {{"gray, row by row", 1, 1}, {"min-is-white", 1, 0}, {"RGB, whole image", 3, 2}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const uint32_t w = 6, h = 5;
        const Bytes rows = GrayRows(w * c.Samples, h);
        const Bytes file = TTiffBuilder().Build(w, h, 8, c.Samples, c.Photometric, rows);
        TtalTIFFImage whole;
        Load(whole, file);

        // Two whole rows and part of the third.
        const size_t cut = file.size() - rows.size() + 2 * w * c.Samples + 1;
        TtalTIFFImage part;
        Load(part, Bytes(file.begin(), file.begin() + ptrdiff_t(cut)));
        ASSERT_EQ(part.GetWidth(), int32_t(w));
        ASSERT_EQ(part.GetHeight(), int32_t(h));
        for (int32_t y = 0; y < int32_t(h); ++y)
            for (int32_t x = 0; x < int32_t(w); ++x)
                EXPECT_EQ(part.Bitmap().Pixel(x, y), y < 2 ? whole.Bitmap().Pixel(x, y) : 0u)
                    << x << ", " << y;

        // Not even the first row: nothing decodes, so it fails.
        const size_t none = file.size() - rows.size() + w * c.Samples - 1;
        TtalTIFFImage empty;
        EXPECT_THROW(Load(empty, Bytes(file.begin(), file.begin() + ptrdiff_t(none))), Exception);
    }
}

TEST(TIFFReader, OldStyleJpegDataIsBoundsChecked) {
    const Bytes good = FileBytes(kTif + "ojpeg_interchange.tif");
    TtalTIFFImage probe;
    Load(probe, good);
    const TTiffTagNode* jif = probe.Tags().Find("JpegInterchangeFormat");
    const TTiffTagNode* len = probe.Tags().Find("JpegInterchangeFormatLength");
    ASSERT_TRUE(jif && len);

    // Rewrites the code or the value of the entry of `tag` in the little-endian directory.
    const auto patched = [&](uint16_t tag, bool code, uint32_t value) {
        Bytes f = good;
        const uint32_t ifd = f[4] | f[5] << 8 | f[6] << 16 | uint32_t(f[7]) << 24;
        const uint16_t n = uint16_t(f[ifd] | f[ifd + 1] << 8);
        for (uint16_t i = 0; i < n; ++i) {
            uint8_t* e = f.data() + ifd + 2 + 12 * i;
            if ((e[0] | e[1] << 8) != tag) continue;
            if (code)
                e[0] = uint8_t(value), e[1] = uint8_t(value >> 8);
            else
                for (int k = 0; k < 4; ++k) e[8 + k] = uint8_t(value >> (8 * k));
        }
        return f;
    };
    struct TCase {
        const char* Name;
        Bytes File;
    } cases[] = {
        {"length past the end", patched(514, false, uint32_t(good.size()))},
        {"offset past the end", patched(513, false, 0xFFFFFFF0u)},
        {"offset and length wrap", patched(514, false, 0xFFFFFFFFu)},
        {"zero length", patched(514, false, 0)},
        // The length tag renamed to a private one: the stream has no known length.
        {"length tag missing", patched(514, true, 0x8002)},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TtalTIFFImage tif;
        EXPECT_THROW(Load(tif, c.File), EInvalidGraphic);
        EXPECT_TRUE(tif.Bitmap().Empty());
    }
}

TEST(TIFFReader, HostileSizesFailBeforeAnythingLarge) {
    struct TCase {
        const char* Name;
        std::vector<TTiffBuilder::TEntry> Entries;
    } cases[] = {
        {"a million by a million pixels", {{256, 4, {1u << 20}}, {257, 4, {1u << 20}}}},
        {"a width beyond any surface", {{256, 4, {0xFFFFFFFFu}}}},
        {"zero width", {{256, 4, {0}}}},
        {"tiles of four billion bytes",
         {{322, 4, {0x10000}}, {323, 4, {0x10000}}, {324, 4, {8}}, {325, 4, {16}}}},
        {"a strip offset past the end", {{273, 4, {0xFFFFFF00u, 8, 8, 8}}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTiffBuilder b;
        for (const TTiffBuilder::TEntry& e : c.Entries) b.Overrides[e.Tag] = e;
        TtalTIFFImage tif;
        EXPECT_THROW(Load(tif, b.Build(4, 4, 8, 1, 1, GrayRows(4, 4))), Exception);
        EXPECT_TRUE(tif.Bitmap().Empty());
    }
}

TEST(TIFFReader, AFailedLoadKeepsThePictureAndFile) {
    const Bytes good = FileBytes(kTif + "pal8.tif");
    TtalTIFFImage tif;
    Load(tif, good);
    const TColor pixel = tif.Bitmap().Pixel(3, 4);
    Bytes bad = good;
    bad.resize(bad.size() / 2);
    EXPECT_THROW(Load(tif, bad), Exception);
    EXPECT_EQ(tif.GetWidth(), 23);
    EXPECT_EQ(tif.Bitmap().Pixel(3, 4), pixel);
    EXPECT_EQ(tif.BitsPerPixel(), 8);
    EXPECT_NE(tif.Tags().Find("ColorMap"), nullptr);
    TMemoryStream out;
    tif.SaveToStream(out);
    EXPECT_EQ(out.ReadAll(), good);
}

}  // namespace
}  // namespace tilvo
