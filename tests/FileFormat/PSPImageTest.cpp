// The Paint Shop Pro reader on files assembled here: block headers of both versions, run-length
// rows, the bounded inflate, and the messages of malformed files. The fixture folder covers the
// pictures themselves (layer placement, clipping, alpha, palettes, the JPEG composite).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileFormat/JPEGImage.h"
#include "FileFormat/PSPImage.h"

namespace tilvo {
namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void Append(std::vector<uint8_t>& b, const std::vector<uint8_t>& more) {
    b.insert(b.end(), more.begin(), more.end());
}

constexpr uint8_t kThreeBytes[] = {0x83, 0x11};  // run-length: 0x11 three times

// A one-layer file of a gray 8-bit canvas `width` × 1 whose single channel holds `packed`.
struct TPsp {
    int Version = 5;
    uint16_t Bits = 8;
    uint16_t Compression = 1;
    int32_t Width = 3;
    int32_t Height = 1;
    uint8_t LayerType = 1;
    uint32_t Uncompressed = 4;  // one row of 3 pixels padded to 4 bytes
    std::vector<uint8_t> Packed = std::vector<uint8_t>(kThreeBytes, kThreeBytes + 2);
    bool WithLayer = true;

    std::vector<uint8_t> Block(uint16_t id, const std::vector<uint8_t>& body) const {
        std::vector<uint8_t> b = {'~', 'B', 'K', 0};
        Put16(b, id);
        if (Version == 3) Put32(b, uint32_t(body.size()));
        Put32(b, uint32_t(body.size()));
        Append(b, body);
        return b;
    }
    std::vector<uint8_t> Chunk(std::vector<uint8_t> body) const {
        if (Version == 3) return body;
        std::vector<uint8_t> c;
        Put32(c, uint32_t(body.size() + 4));
        Append(c, body);
        return c;
    }
    std::vector<uint8_t> Build() const {
        const char sig[] = "Paint Shop Pro Image File\n\x1a\0\0\0\0";
        std::vector<uint8_t> f(sig, sig + 32);
        Put16(f, uint16_t(Version));
        Put16(f, 0);
        std::vector<uint8_t> attr;
        Put32(attr, uint32_t(Width));
        Put32(attr, uint32_t(Height));
        attr.insert(attr.end(), 9, 0);  // resolution and unit
        Put16(attr, Compression);
        Put16(attr, Bits);
        Put16(attr, 1);
        Put32(attr, 256);
        attr.push_back(1);  // gray
        attr.insert(attr.end(), 14, 0);
        Append(f, Block(0, Chunk(attr)));
        if (!WithLayer) return f;

        std::vector<uint8_t> info;
        if (Version == 3) {
            info.assign(256, 'n');
        } else {
            Put16(info, 1);
            info.push_back('n');
        }
        info.push_back(LayerType);
        for (int32_t v : {0, 0, Width, Height, 0, 0, Width, Height}) Put32(info, uint32_t(v));
        info.insert(info.end(), 5 + 32 + 3 + 2 + 40, 0);
        std::vector<uint8_t> layer;
        if (Version == 3) {
            Append(layer, info);
            Put16(layer, 1);
            Put16(layer, 1);
        } else {
            Append(layer, Chunk(info));
            std::vector<uint8_t> counts;
            Put16(counts, 1);
            Put16(counts, 1);
            Append(layer, Chunk(counts));
        }
        std::vector<uint8_t> ch;
        Put32(ch, uint32_t(Packed.size()));
        Put32(ch, Uncompressed);
        Put32(ch, 0);  // bitmap and channel type
        std::vector<uint8_t> channel = Chunk(ch);
        Append(channel, Packed);
        Append(layer, Block(5, channel));
        Append(f, Block(3, Block(4, layer)));
        return f;
    }
};

std::string Outcome(const std::vector<uint8_t>& file, TColor* first = nullptr) {
    TBitmap picture;
    try {
        ReadPspFile(file.data(), file.size(), picture);
    } catch (const Exception& e) {
        return e.what();
    }
    if (first) *first = picture.Pixel(0, 0);
    return "opened";
}

TEST(PSPImage, RunLengthRowsInBothBlockHeaderVersions) {
    for (int version : {3, 5}) {
        SCOPED_TRACE(version);
        TPsp psp;
        psp.Version = version;
        psp.Packed = {0x80, 0x83, 0x11, 0x01, 0x00};  // no-op, three 0x11, the padding byte
        TBitmap picture;
        const std::vector<uint8_t> file = psp.Build();
        ReadPspFile(file.data(), file.size(), picture);
        ASSERT_EQ(picture.PixelFormat(), pf8bit);
        for (int32_t x = 0; x < 3; ++x) EXPECT_EQ(picture.Pixel(x, 0), RGB(0x11, 0x11, 0x11));
    }
}

TEST(PSPImage, InflateStopsAtTheChannelLength) {
    // A megabyte of zeros compresses to about a kilobyte; the channel says 4 bytes, and only 4
    // are produced (a larger output would not fit the plane and would show as a sanitizer fault).
    std::vector<uint8_t> zeros(1 << 20, 0x22);
    uLongf packedSize = compressBound(uLong(zeros.size()));
    std::vector<uint8_t> packed(packedSize);
    ASSERT_EQ(compress(packed.data(), &packedSize, zeros.data(), uLong(zeros.size())), Z_OK);
    packed.resize(packedSize);
    TPsp psp;
    psp.Compression = 2;
    psp.Packed = packed;
    TColor first = 0;
    EXPECT_EQ(Outcome(psp.Build(), &first), "opened");
    EXPECT_EQ(first, RGB(0x22, 0x22, 0x22));
}

TEST(PSPImage, MalformedFilesFailWithTheFormatsMessages) {
    struct TRow {
        const char* Name;
        void (*Change)(TPsp&);
        const char* Error;
    };
    const TRow rows[] = {
        {"version 6", [](TPsp& p) { p.Version = 6; }, "PSP version error"},
        {"bit depth 16", [](TPsp& p) { p.Bits = 16; }, "BitDepth error"},
        {"zero width", [](TPsp& p) { p.Width = 0; }, "Paint Shop Pro picture is empty"},
        {"compression 3", [](TPsp& p) { p.Compression = 3; }, "Unknown Paint Shop Pro compression"},
        {"no layer and no composite", [](TPsp& p) { p.WithLayer = false; },
         "Paint Shop Pro file has neither a usable layer nor a composite picture"},
        {"layer type 3 and no composite", [](TPsp& p) { p.LayerType = 3; },
         "Paint Shop Pro file has neither a usable layer nor a composite picture"},
        {"run past the channel",
         [](TPsp& p) {
             p.Packed = {0x85, 0x11};
         },
         "Paint Shop Pro run crosses the end of the channel"},
        {"run-length data ends early",
         [](TPsp& p) {
             p.Packed = {0x82, 0x11};
         },
         "Paint Shop Pro channel data is incomplete"},
        {"raw data ends early",
         [](TPsp& p) {
             p.Compression = 0;
             p.Packed = {1, 2, 3};
         },
         "Paint Shop Pro channel data is incomplete"},
        {"deflate data is not zlib",
         [](TPsp& p) {
             p.Compression = 2;
             p.Packed = {1, 2, 3};
         },
         "Paint Shop Pro channel data is corrupt"},
        {"deflate data ends early",
         [](TPsp& p) {
             p.Compression = 2;
             p.Packed = {0x78, 0x9c, 0x63, 0x00, 0x00};  // a cut stream
         },
         "Paint Shop Pro channel data is incomplete"},
        {"channel shorter than its layer", [](TPsp& p) { p.Uncompressed = 2; },
         "Paint Shop Pro channel is smaller than its layer"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TPsp psp;
        row.Change(psp);
        EXPECT_EQ(Outcome(psp.Build()), row.Error);
    }

    const TPsp base;
    const std::vector<uint8_t> good = base.Build();
    std::vector<uint8_t> file = good;
    file[3] = 'X';
    EXPECT_EQ(Outcome(file), "Invalid signature");
    file = good;
    file[36] = '#';  // the first block's marker
    EXPECT_EQ(Outcome(file), "Can not find block");
    file = good;
    file[40] = 7;  // the first block's id
    EXPECT_EQ(Outcome(file), "Can not find [General Image Attributes]");
    file = good;
    file.resize(file.size() - 1);
    EXPECT_EQ(Outcome(file), "Paint Shop Pro file truncated");
}

TEST(PSPImage, EightBitRowsOpenUnpaddedAsPaintShopProWritesThemAndPadded) {
    // Two rows of three pixels: the channel's length tells the layout.
    const std::vector<uint8_t> unpadded = {1, 2, 3, 4, 5, 6}, padded = {1, 2, 3, 0, 4, 5, 6, 0};
    for (const auto* rows : {&unpadded, &padded}) {
        SCOPED_TRACE(rows->size());
        TPsp psp;
        psp.Compression = 0;
        psp.Height = 2;
        psp.Packed = *rows;
        psp.Uncompressed = uint32_t(rows->size());
        TBitmap picture;
        const std::vector<uint8_t> file = psp.Build();
        ReadPspFile(file.data(), file.size(), picture);
        ASSERT_EQ(picture.Height(), 2);
        for (int32_t x = 0; x < 3; ++x) {
            EXPECT_EQ(picture.ScanLine(0)[x], x + 1);
            EXPECT_EQ(picture.ScanLine(1)[x], x + 4);
        }
    }
}

TEST(PSPImage, ALayerThatDoesNotDecodeGivesWayToTheComposite) {
    TBitmap small(5, 4);
    small.Canvas().Brush.Color = RGB(0, 0, 255);
    small.Canvas().FillRect(TRect{0, 0, 5, 4});
    TMemoryStream encoded;
    ASSERT_TRUE(EncodeJpegToStream(small, encoded, false, 90, false));
    TPsp psp;
    psp.Packed = {0x82, 0x11};  // the layer's data ends early
    std::vector<uint8_t> file = psp.Build();
    std::vector<uint8_t> bank = psp.Chunk({1, 0, 0, 0});
    std::vector<uint8_t> jpeg;
    Put32(jpeg, uint32_t(encoded.Memory().size()));
    Put32(jpeg, 0);
    Put16(jpeg, 0);
    jpeg = psp.Chunk(jpeg);
    Append(jpeg, encoded.Memory());
    Append(bank, psp.Block(18, jpeg));
    Append(file, psp.Block(16, bank));
    TBitmap picture;
    ReadPspFile(file.data(), file.size(), picture);
    ASSERT_EQ(picture.Width(), 5);
    ASSERT_EQ(picture.Height(), 4);
    EXPECT_GT(GetBValue(picture.Pixel(2, 2)), 200);
    // Without the composite the layer's own message stands.
    TPsp alone;
    alone.Packed = {0x82, 0x11};
    EXPECT_EQ(Outcome(alone.Build()), "Paint Shop Pro channel data is incomplete");
}

TEST(PSPImage, ACompositeThatIsNotJpegNamesTheFormat) {
    // A composite bank with one "JPEG" composite holding garbage.
    TPsp psp;
    psp.WithLayer = false;
    std::vector<uint8_t> file = psp.Build();
    std::vector<uint8_t> bank = psp.Chunk({1, 0, 0, 0});
    std::vector<uint8_t> jpeg = psp.Chunk({3, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Append(jpeg, {1, 2, 3});
    Append(bank, psp.Block(18, jpeg));
    Append(file, psp.Block(16, bank));
    const std::string error = Outcome(file);
    EXPECT_EQ(error.rfind("Paint Shop Pro composite picture: ", 0), 0u) << error;
}

}  // namespace
}  // namespace tilvo
