// The IFF ILBM reader: plane counts and their surfaces, ByteRun1 bodies, pad bytes, mask planes,
// palettes, hostile files, and the file written back by Save.
#include <gtest/gtest.h>

#include "FileFormat/ILBMImage.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
void Chunk(Bytes& f, const char* id, const Bytes& data) {
    f.insert(f.end(), id, id + 4);
    Put32(f, uint32_t(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    if (data.size() & 1) f.push_back(0);
}

struct TIlbm {
    const char* Form = "ILBM";
    uint16_t Width = 5, Height = 1;
    uint8_t Planes = 4, Masking = 0, Compression = 0;
    Bytes Cmap;         // no CMAP chunk when empty
    uint32_t Camg = 0;  // no CAMG chunk when 0
    Bytes Body;
    bool WithBody = true;

    Bytes Build() const {
        Bytes f;
        Bytes bmhd = {uint8_t(Width >> 8),
                      uint8_t(Width),
                      uint8_t(Height >> 8),
                      uint8_t(Height),
                      0,
                      0,
                      0,
                      0,
                      Planes,
                      Masking,
                      Compression,
                      0,
                      0,
                      0,
                      1,
                      1,
                      0,
                      0,
                      0,
                      0};
        Chunk(f, "BMHD", bmhd);
        if (!Cmap.empty()) Chunk(f, "CMAP", Cmap);
        if (Camg) {
            Bytes c;
            Put32(c, Camg);
            Chunk(f, "CAMG", c);
        }
        if (WithBody) Chunk(f, "BODY", Body);
        Bytes file = {'F', 'O', 'R', 'M'};
        Put32(file, uint32_t(f.size() + 4));
        file.insert(file.end(), Form, Form + 4);
        file.insert(file.end(), f.begin(), f.end());
        return file;
    }
};

void Load(TILBMImage& g, const Bytes& file) {
    TMemoryStream s(file);
    g.LoadFromStream(s);
}

TEST(ILBMImage, PlaneCountsChooseTheSurface) {
    // Each plane row is one 16-bit word; pixel x takes bit k from plane k.
    TIlbm four;  // 5 pixels, 4 planes: pixel 2 gets value 0xF, pixel 3 value 0x2
    four.Body = {0x20, 0, 0x30, 0, 0x20, 0, 0x20, 0};
    TILBMImage g;
    Load(g, four.Build());
    ASSERT_EQ(g.Bitmap().PixelFormat(), pf4bit);
    EXPECT_EQ(g.Bitmap().ScanLine(0)[1], 0xF2);  // pixel 2 in the high nibble of byte 1

    TIlbm five = four;  // 5 planes, refused by older readers, gives an 8-bit picture
    five.Planes = 5;
    five.Body = {0x80, 0, 0, 0, 0, 0, 0, 0, 0x80, 0};
    Load(g, five.Build());
    ASSERT_EQ(g.Bitmap().PixelFormat(), pf8bit);
    EXPECT_EQ(g.Bitmap().ScanLine(0)[0], 17);
    EXPECT_EQ(g.Bitmap().Palette().size(), 32u);

    TIlbm red;  // 24 planes: the red planes all set decode to pure red
    red.Planes = 24;
    red.Width = 2;
    for (int p = 0; p < 24; ++p) red.Body.insert(red.Body.end(), {uint8_t(p < 8 ? 0xC0 : 0), 0});
    Load(g, red.Build());
    ASSERT_EQ(g.Bitmap().PixelFormat(), pf24bit);
    EXPECT_EQ(g.Bitmap().Pixel(1, 0), RGB(255, 0, 0));

    TIlbm mono;  // one plane with its CMAP
    mono.Planes = 1;
    mono.Cmap = {0, 0, 0, 10, 20, 30};
    mono.Body = {0x40, 0};
    Load(g, mono.Build());
    ASSERT_EQ(g.Bitmap().PixelFormat(), pf1bit);
    EXPECT_EQ(g.Bitmap().Pixel(1, 0), RGB(10, 20, 30));
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(0, 0, 0));
}

TEST(ILBMImage, ByteRunBodiesMaskPlanesAndPalettes) {
    TIlbm t;
    t.Planes = 2;
    t.Masking = 1;  // a third plane row per row, skipped
    t.Compression = 1;
    t.Height = 2;
    // Row 0: plane 0 = repeat 0xFF twice (via a no-op 128 first), plane 1 = literal, mask.
    // Row 1: plane 0 = 0, plane 1 = 0xFF, mask.
    t.Body = {0x80, 0xFF, 0xFF, 1, 0x00, 0x00, 0xFF, 0xAA, 0xFF, 0x00, 0xFF, 0xFF, 1, 0x12, 0x34};
    t.Cmap = {1, 1, 1, 2, 2, 2, 3, 3, 3};  // three entries of four; the fourth is black
    TILBMImage g;
    Load(g, t.Build());
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(2, 2, 2));
    EXPECT_EQ(g.Bitmap().Pixel(0, 1), RGB(3, 3, 3));
    ASSERT_EQ(g.Bitmap().Palette().size(), 4u);
    EXPECT_EQ(g.Bitmap().Palette()[3], (TPaletteEntry{0, 0, 0, 0}));

    // Extra half-brite: 6 planes, 32 CMAP entries, the upper half darker.
    TIlbm ehb;
    ehb.Planes = 6;
    ehb.Camg = 0x80;
    for (int i = 0; i < 32; ++i) ehb.Cmap.insert(ehb.Cmap.end(), {200, 100, 50});
    ehb.Body = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0};  // pixel 0 = 32
    Load(g, ehb.Build());
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(100, 50, 25));

    // No CMAP: a gray ramp.
    TIlbm gray;
    gray.Planes = 2;
    gray.Body = {0x80, 0, 0, 0};
    Load(g, gray.Build());
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(85, 85, 85));
}

TEST(ILBMImage, HoldAndModifyPicturesDecodeToTwentyFourBits) {
    // HAM6, four pixels: entry 1; red := 15; green := 0; blue := 8. Planes 0-3 carry the value,
    // planes 4-5 the control (1 blue, 2 red, 3 green).
    const uint8_t values[4] = {0x01, 0x2F, 0x30, 0x18};
    TIlbm t;
    t.Planes = 6;
    t.Width = 4;
    t.Camg = 0x800;
    t.Cmap = {10, 20, 30, 40, 50, 60};
    for (int p = 0; p < 6; ++p) {
        uint8_t bits = 0;
        for (int x = 0; x < 4; ++x)
            if (values[x] >> p & 1) bits |= uint8_t(0x80 >> x);
        t.Body.insert(t.Body.end(), {bits, 0});
    }
    TILBMImage g;
    Load(g, t.Build());
    ASSERT_EQ(g.Bitmap().PixelFormat(), pf24bit);
    EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(40, 50, 60));
    EXPECT_EQ(g.Bitmap().Pixel(1, 0), RGB(255, 50, 60));
    EXPECT_EQ(g.Bitmap().Pixel(2, 0), RGB(255, 0, 60));
    EXPECT_EQ(g.Bitmap().Pixel(3, 0), RGB(255, 0, 136));
}

TEST(ILBMImage, ChunkyRowsAreRoundedToEvenWidth) {
    TIlbm t;
    t.Form = "PBM ";
    t.Width = 3;
    t.Height = 2;
    t.Planes = 8;
    t.Body = {1, 2, 3, 0xEE, 4, 5, 6, 0xEE};
    TILBMImage g;
    Load(g, t.Build());
    ASSERT_EQ(g.Bitmap().PixelFormat(), pf8bit);
    EXPECT_EQ(Bytes(g.Bitmap().ScanLine(1), g.Bitmap().ScanLine(1) + 3), (Bytes{4, 5, 6}));
}

TEST(ILBMImage, MalformedFilesAreRefusedAndLeaveThePictureAsItWas) {
    auto with = [](auto change) {
        TIlbm t;
        t.Body = Bytes(8, 0);
        change(t);
        return t.Build();
    };
    const struct {
        const char* Name;
        Bytes File;
        const char* Message;
    } cases[] = {
        {"empty", {}, "Header Error"},
        {"not a FORM", Bytes{'L', 'I', 'S', 'T', 0, 0, 0, 4, 'I', 'L', 'B', 'M'}, "Header Error"},
        {"other form", with([](TIlbm& t) { t.Form = "ANIM"; }), "Header Error"},
        {"no BODY", with([](TIlbm& t) { t.WithBody = false; }), "Header Error"},
        {"compression 2", with([](TIlbm& t) { t.Compression = 2; }), "Header Error"},
        {"9 planes", with([](TIlbm& t) { t.Planes = 9; }), "Plane Error"},
        {"chunky 4 planes", with([](TIlbm& t) { t.Form = "PBM "; }), "Plane Error"},
        {"HAM of 5 planes", with([](TIlbm& t) {
             t.Camg = 0x800;
             t.Planes = 5;
         }),
         "HAM pictures are not supported"},
        {"no pixels", with([](TIlbm& t) { t.Width = 0; }), "ILBM picture has no pixels"},
        {"body cut", with([](TIlbm& t) { t.Body.resize(7); }), "ILBM file truncated"},
        {"run cut", with([](TIlbm& t) {
             t.Compression = 1;
             t.Body = {0xFF, 1, 0xFF};
         }),
         "ILBM file truncated"},
        {"run past the plane row", with([](TIlbm& t) {
             t.Compression = 1;
             t.Body = {0xFD, 1, 0xFF, 0, 0xFF, 0, 0xFF, 0};
         }),
         "packed run crosses the end of the row"},
        {"huge claim, tiny body",
         with([](TIlbm& t) { t.Width = 20000, t.Height = 20000, t.Compression = 1; }),
         "the file is too short for a 20000 \u00D7 20000 picture"},
        {"huge claim beyond the limit at 24 bits",
         with([](TIlbm& t) { t.Width = 60000, t.Height = 30000, t.Compression = 1; }),
         "picture too large: 60000 \u00D7 30000 pixels at 24 bits a pixel take more than the "
         "2048 MiB a picture may use"},
    };
    TIlbm good;
    good.Planes = 1;
    good.Body = {0x80, 0};
    const Bytes goodFile = good.Build();
    TILBMImage g;
    Load(g, goodFile);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            Load(g, c.File);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        ASSERT_EQ(g.Bitmap().Width(), 5);
        EXPECT_EQ(g.Bitmap().Pixel(0, 0), RGB(255, 255, 255));
        EXPECT_EQ(g.Holder()->Stream, goodFile);
    }
}

TEST(ILBMImage, SaveWritesBackTheFileAsLoaded) {
    TIlbm t;
    t.Body = Bytes(8, 0x55);
    t.Cmap = {1, 2, 3};  // odd-sized chunk with its pad byte
    const Bytes file = t.Build();
    TILBMImage g;
    Load(g, file);
    TILBMImage shared;
    shared.Assign(g);
    EXPECT_EQ(shared.Holder(), g.Holder());
    TMemoryStream out;
    shared.SaveToStream(out);
    EXPECT_EQ(out.Memory(), file);
}

}  // namespace
}  // namespace tilvo
