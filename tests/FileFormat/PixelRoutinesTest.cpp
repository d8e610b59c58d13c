// The shared pixel routines: PackBits in both directions, bit planes, packed rows, 5-5-5
// widening, gray ramps, palette padding, fills and the bit reader, each against tables of
// hand-worked rows.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "FileFormat/PixelRoutines.h"

namespace tilvo {
namespace {

using Bytes = std::vector<uint8_t>;

struct TUnpackCase {
    const char* Name;
    Bytes Packed;
    size_t RowBytes;
    Bytes Expected;     // empty when decoding must fail
    const char* Error;  // the message of the failure
    size_t Used;        // source bytes consumed on success
};

class PackBitsDecode : public ::testing::TestWithParam<TUnpackCase> {};

TEST_P(PackBitsDecode, DecodesOrRefuses) {
    const TUnpackCase& c = GetParam();
    Bytes row(c.RowBytes + 4, 0xEE);  // guard bytes past the row must stay untouched
    if (c.Error) {
        try {
            DecodePackBits(c.Packed.data(), c.Packed.size(), row.data(), c.RowBytes);
            FAIL() << "no exception";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.Error);
        }
    } else {
        EXPECT_EQ(DecodePackBits(c.Packed.data(), c.Packed.size(), row.data(), c.RowBytes), c.Used);
        EXPECT_EQ(Bytes(row.begin(), row.begin() + long(c.RowBytes)), c.Expected);
    }
    for (size_t i = c.RowBytes; i < row.size(); ++i) EXPECT_EQ(row[i], 0xEE) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackBitsDecode,
    ::testing::Values(
        TUnpackCase{"Literal", {2, 1, 2, 3}, 3, {1, 2, 3}, nullptr, 4},
        TUnpackCase{"Repeat", {0xFE, 7}, 3, {7, 7, 7}, nullptr, 2},
        TUnpackCase{"NoOpSkipped", {0x80, 0, 9, 0xFF, 4}, 3, {9, 4, 4}, nullptr, 5},
        TUnpackCase{"LongestRepeat", {0x81, 5}, 128, Bytes(128, 5), nullptr, 2},
        TUnpackCase{"StopsAtRowEnd", {0, 1, 0, 2, 0, 3}, 2, {1, 2}, nullptr, 4},
        TUnpackCase{"EmptySource", {}, 2, {}, "packed data truncated", 0},
        TUnpackCase{"LiteralCut", {3, 1, 2}, 4, {}, "packed data truncated", 0},
        TUnpackCase{"RepeatValueMissing", {0xFD}, 4, {}, "packed data truncated", 0},
        TUnpackCase{
            "LiteralPastRow", {3, 1, 2, 3, 4}, 3, {}, "packed run crosses the end of the row", 0},
        TUnpackCase{
            "RepeatPastRow", {0xFC, 1}, 4, Bytes{}, "packed run crosses the end of the row", 0}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(PackBitsReader, AdvancesPastTheRowAndUsesTheReadersMessage) {
    const Bytes data = {0xFF, 6, 1, 8, 9, 0x42};
    TByteReader in(data.data(), data.size(), "row cut short");
    Bytes row(2);
    DecodePackBits(in, row.data(), 2);
    EXPECT_EQ(row, (Bytes{6, 6}));
    DecodePackBits(in, row.data(), 2);
    EXPECT_EQ(row, (Bytes{8, 9}));
    EXPECT_EQ(in.U8(), 0x42);
    TByteReader cut(data.data(), 3, "row cut short");
    DecodePackBits(cut, row.data(), 2);
    try {
        DecodePackBits(cut, row.data(), 2);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "row cut short");
    }
}

TEST(PackBitsEncode, RoundTripsAndStaysWithinTheBound) {
    std::mt19937 rng(7);
    std::vector<Bytes> rows = {{}, {1}, {1, 1}, {1, 1, 1}, {1, 2, 2, 2, 3}, Bytes(300, 9)};
    for (int n : {1, 2, 127, 128, 129, 1000}) {
        Bytes noise(static_cast<size_t>(n));
        for (auto& b : noise) b = uint8_t(rng());
        rows.push_back(noise);
        Bytes mixed(static_cast<size_t>(
            n));  // short runs of two or three, which sit on the packet rules' edges
        for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = uint8_t((i / (2 + rng() % 2)) & 3);
        rows.push_back(mixed);
    }
    for (const Bytes& row : rows) {
        Bytes packed(PackBitsBound(row.size()));
        const size_t len = EncodePackBits(row.data(), row.size(), packed.data());
        ASSERT_LE(len, packed.size());
        Bytes back(row.size());
        EXPECT_EQ(DecodePackBits(packed.data(), len, back.data(), back.size()), len);
        EXPECT_EQ(back, row);
    }
    // A long run packs into two bytes per 128.
    Bytes flat(256, 3), packed(PackBitsBound(256));
    EXPECT_EQ(EncodePackBits(flat.data(), flat.size(), packed.data()), 4u);
}

struct TPlaneCase {
    const char* Name;
    int Planes;
    size_t Width;
    size_t Stride;
    Bytes Src;
    Bytes Expected;
};

class BitPlanes : public ::testing::TestWithParam<TPlaneCase> {};

TEST_P(BitPlanes, Merge) {
    const TPlaneCase& c = GetParam();
    Bytes out(c.Width + 1, 0xEE);
    MergeBitPlanes(c.Src.data(), c.Stride, c.Planes, c.Width, out.data());
    EXPECT_EQ(Bytes(out.begin(), out.end() - 1), c.Expected);
    EXPECT_EQ(out.back(), 0xEE);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BitPlanes,
    ::testing::Values(TPlaneCase{"OnePlane", 1, 8, 1, {0b10100001}, {1, 0, 1, 0, 0, 0, 0, 1}},
                      TPlaneCase{"TwoPlanesPartial", 2, 3, 1, {0b10100000, 0b01100000}, {1, 2, 3}},
                      TPlaneCase{"PaddedStride",
                                 3,
                                 10,
                                 2,
                                 {0xFF, 0xC0, 0x00, 0x40, 0x0F, 0x80},
                                 {1, 1, 1, 1, 5, 5, 5, 5, 5, 3}},
                      TPlaneCase{"EightPlanes",
                                 8,
                                 9,
                                 2,
                                 {0x80, 0, 0x40, 0, 0x20, 0, 0x10, 0, 0x08, 0, 0x04, 0, 0x02, 0,
                                  0x01, 0x80},
                                 {1, 2, 4, 8, 16, 32, 64, 128, 128}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(BitPlanesLayout, RefusesTooFewBytesAndBadPlaneCounts) {
    const Bytes src(16, 0);
    Bytes out(16);
    EXPECT_THROW(MergeBitPlanes(src.data(), 1, 1, 9, out.data()), Exception);
    EXPECT_THROW(MergeBitPlanes(src.data(), 1, 0, 8, out.data()), Exception);
    EXPECT_THROW(MergeBitPlanes(src.data(), 1, 9, 8, out.data()), Exception);
}

TEST(PackedRows, ExpandEveryDepth) {
    struct TCase {
        int Bits;
        size_t Width;
        Bytes Src, Expected;
    };
    const TCase cases[] = {
        {1, 11, {0b10110000, 0b11100000}, {1, 0, 1, 1, 0, 0, 0, 0, 1, 1, 1}},
        {2, 5, {0b00011011, 0b10000000}, {0, 1, 2, 3, 2}},
        {4, 3, {0x9A, 0xF0}, {9, 10, 15}},
        {8, 2, {200, 7}, {200, 7}},
    };
    for (const TCase& c : cases) {
        Bytes out(c.Width + 1, 0xEE);
        ExpandPackedRow(c.Src.data(), c.Bits, c.Width, out.data());
        EXPECT_EQ(Bytes(out.begin(), out.end() - 1), c.Expected) << c.Bits << " bits";
        EXPECT_EQ(out.back(), 0xEE) << c.Bits << " bits";
    }
    Bytes out(4);
    EXPECT_THROW(ExpandPackedRow(out.data(), 3, 1, out.data()), Exception);
}

TEST(Colours, Widen555ToBgrAndPaletteEntries) {
    // x-R5-G5-B5 little-endian: white, pure red, pure green, pure blue, a mid value with the top
    // bit.
    const Bytes src = {0xFF, 0x7F, 0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0x10, 0xC2};
    Bytes bgr(15);
    Widen555Row(src.data(), 5, bgr.data());
    EXPECT_EQ(bgr, (Bytes{255, 255, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 132, 132, 132}));
    EXPECT_EQ(Widen555(0x7C00), (TPaletteEntry{255, 0, 0, 0}));
    EXPECT_EQ(Widen555(0x4210), (TPaletteEntry{132, 132, 132, 0}));
}

TEST(Colours, SplitBgrRowsGiveTheSameBytesEitherWay) {
    std::mt19937 rng(3);
    for (size_t width : {0, 1, 15, 16, 17, 47, 63, 64, 65, 100, 128, 191, 1000}) {
        Bytes bgr(width * 3);
        for (auto& b : bgr) b = uint8_t(rng());
        Bytes planes[2];
        for (int vector = 0; vector < 2; ++vector) {
            planes[vector].assign(width * 3 + 1, 0xEE);
            uint8_t* r = planes[vector].data();
            SplitBgrRow(bgr.data(), width, r, r + width, r + 2 * width, vector == 1);
        }
        EXPECT_EQ(planes[0], planes[1]) << width;
        EXPECT_EQ(planes[0].back(), 0xEE);
        for (size_t x = 0; x < width; ++x) {
            ASSERT_EQ(planes[1][x], bgr[3 * x + 2]);
            ASSERT_EQ(planes[1][width + x], bgr[3 * x + 1]);
            ASSERT_EQ(planes[1][2 * width + x], bgr[3 * x]);
        }
    }
}

TEST(Colours, GrayRampsRunFromBlackToWhite) {
    for (int bits = 1; bits <= 8; ++bits) {
        const auto ramp = GrayRamp(bits);
        ASSERT_EQ(ramp.size(), size_t(1) << bits);
        EXPECT_EQ(ramp.front(), (TPaletteEntry{0, 0, 0, 0}));
        EXPECT_EQ(ramp.back(), (TPaletteEntry{255, 255, 255, 0}));
        for (size_t i = 1; i < ramp.size(); ++i) {
            EXPECT_GT(ramp[i].Red, ramp[i - 1].Red);
            EXPECT_EQ(ramp[i].Red, ramp[i].Green);
            EXPECT_EQ(ramp[i].Red, ramp[i].Blue);
        }
    }
    EXPECT_EQ(GrayRamp(2)[1], (TPaletteEntry{85, 85, 85, 0}));
    EXPECT_THROW(GrayRamp(0), Exception);
    EXPECT_THROW(GrayRamp(9), Exception);
}

TEST(Colours, PalettesArePaddedWithBlack) {
    const std::vector<TPaletteEntry> pal = {{10, 20, 30, 0}, {40, 50, 60, 0}};
    const auto padded = PadPalette(pal, 4);
    EXPECT_EQ(padded, (std::vector<TPaletteEntry>{pal[0], pal[1], {}, {}}));
    EXPECT_EQ(PadPalette(pal, 1).size(), 1u);
    EXPECT_EQ(PaletteBytes(pal, 3), (Bytes{10, 20, 30, 40, 50, 60, 0, 0, 0}));
    EXPECT_EQ(PaletteBytes(pal, 1, true), (Bytes{30, 20, 10}));
}

TEST(Fills, RowsAndSurfacesBecomeIndexZeroOrBlack) {
    for (TPixelFormat pf : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) {
        TBitmap b(13, 5, pf);
        const size_t rowBytes = size_t(RowBytes(13, BitsPerPixel(pf)));
        for (int y = 0; y < 5; ++y) std::memset(b.ScanLine(y), 0xA5, rowBytes);
        FillRows(b, 3, 99);  // clipped to the surface
        for (int y = 0; y < 5; ++y)
            for (size_t i = 0; i < rowBytes; ++i)
                ASSERT_EQ(b.ScanLine(y)[i], y >= 3 ? 0 : 0xA5) << int(pf) << " row " << y;
        FillSurface(b);
        for (int y = 0; y < 5; ++y)
            for (size_t i = 0; i < rowBytes; ++i) ASSERT_EQ(b.ScanLine(y)[i], 0);
    }
    TBitmap empty;
    FillSurface(empty);  // nothing to do, nothing touched
    EXPECT_TRUE(empty.Empty());
}

TEST(BitReader, ReadsFieldsAcrossBytesAndStopsAtTheEnd) {
    const Bytes data = {0b10110011, 0b01011100, 0xFF, 0x00, 0x12};
    TBitReader r(data.data(), data.size(), "bits ran out");
    EXPECT_EQ(r.Read(1), 1u);
    EXPECT_EQ(r.Read(3), 0b011u);
    EXPECT_EQ(r.Read(6), 0b001101u);
    EXPECT_EQ(r.BytePos(), 2u);
    r.AlignToByte();
    EXPECT_EQ(r.BytePos(), 2u);
    EXPECT_EQ(r.Read(0), 0u);
    EXPECT_EQ(r.Read(24), 0xFF0012u);
    EXPECT_EQ(r.BitsLeft(), 0u);
    try {
        r.Bit();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "bits ran out");
    }
    TBitReader wide(data.data(), data.size());
    EXPECT_EQ(wide.Read(32), 0xB35CFF00u);
    EXPECT_THROW(wide.Read(33), Exception);
}

}  // namespace
}  // namespace tilvo
