// Photo CD packs built here: the colour conversion at its hand-worked points, the layout of row
// pairs and shared chroma, files too short to reach the picture, and a pack that ends early.
#include <gtest/gtest.h>

#include <cstring>

#include "FileFormat/PCDImage.h"

namespace tilvo {
namespace {

using Bytes = std::vector<uint8_t>;

uint8_t LumAt(int32_t x, int32_t y) {
    return uint8_t(x * 5 + y * 3);
}
uint8_t C1At(int32_t bx, int32_t pair) {
    return uint8_t(bx * 7 + pair);
}
uint8_t C2At(int32_t bx, int32_t pair) {
    return uint8_t(255 - bx * 3 - pair * 2);
}

// A pack with `pairs` row pairs after the information area.
Bytes Pack(int32_t pairs) {
    Bytes file(kPcdBaseOffset, 0x5A);
    std::memcpy(file.data() + kPcdSignatureOffset, "PCD_IPI", 7);
    for (int32_t p = 0; p < pairs; ++p) {
        for (int32_t r = 0; r < 2; ++r)
            for (int32_t x = 0; x < kPcdWidth; ++x) file.push_back(LumAt(x, 2 * p + r));
        for (int32_t bx = 0; bx < kPcdWidth / 2; ++bx) file.push_back(C1At(bx, p));
        for (int32_t bx = 0; bx < kPcdWidth / 2; ++bx) file.push_back(C2At(bx, p));
    }
    return file;
}

void Load(TPCDImage& pcd, const Bytes& file) {
    TMemoryStream ms(file);
    pcd.LoadFromStream(ms);
}

TEST(PCDReader, ColourConversionAtKnownPoints) {
    struct TCase {
        uint8_t Y, C1, C2;
        TColor Expected;
    } cases[] = {
        {0, 156, 137, RGB(0, 0, 0)},          // neutral chroma, no light
        {188, 156, 137, RGB(255, 255, 255)},  // 255.38 rounds to 255
        {200, 156, 137, RGB(255, 255, 255)},  // 271.68, clamped
        {100, 156, 137, RGB(136, 136, 136)},  // 135.84
        // L 135.84, A 97.5876, B -67.3955: R 68.44, G 151.21, B 233.43
        {100, 200, 100, RGB(68, 151, 233)},
        // A strongly negative blue difference drives blue below zero.
        {10, 0, 137, RGB(14, 81, 0)},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.Y) << " " << int(c.C1) << " " << int(c.C2));
        EXPECT_EQ(PhotoCDColor(c.Y, c.C1, c.C2), c.Expected);
    }
}

TEST(PCDReader, RowPairsShareTheirChromaTwoByTwo) {
    TPCDImage pcd;
    Load(pcd, Pack(kPcdHeight / 2));
    const TBitmap& pic = pcd.Bitmap();
    ASSERT_EQ(pic.Width(), 384);
    ASSERT_EQ(pic.Height(), 256);
    ASSERT_EQ(pic.PixelFormat(), pf24bit);
    EXPECT_EQ(pcd.BitsPerPixel(), 24);
    for (int32_t y = 0; y < kPcdHeight; ++y)
        for (int32_t x = 0; x < kPcdWidth; ++x)
            ASSERT_EQ(pic.Pixel(x, y),
                      PhotoCDColor(LumAt(x, y), C1At(x / 2, y / 2), C2At(x / 2, y / 2)))
                << "at " << x << ", " << y;
    // Nothing is kept to write back.
    TMemoryStream out;
    pcd.SaveToStream(out);
    EXPECT_EQ(out.Size(), 0);
}

const char* const kNoSignature = "Not a Photo CD image pack (no \"PCD_IPI\" at byte 2048)";

TEST(PCDReader, FilesThatDoNotReachThePictureFail) {
    struct TCase {
        size_t Size;
        const char* Error;
    } cases[] = {{0, "Signature err"},
                 {1, kNoSignature},
                 {kPcdSignatureOffset + 6, kNoSignature},
                 {kPcdBaseOffset, "Photo CD file too short"},
                 {kPcdBaseOffset + kPcdRowPairBytes - 1, "Photo CD file too short"}};
    const Bytes full = Pack(1);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Size);
        TPCDImage pcd;
        try {
            Load(pcd, Bytes(full.begin(), full.begin() + ptrdiff_t(c.Size)));
            ADD_FAILURE() << "opened";
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), c.Error);
        }
        EXPECT_TRUE(pcd.Bitmap().Empty());
    }
}

TEST(PCDReader, AFileWithoutTheImagePackSignatureIsRefused) {
    // Any 48 KB file named .pcd would otherwise open as noise.
    Bytes file = Pack(kPcdHeight / 2);
    file[kPcdSignatureOffset + 3] = 'X';
    TPCDImage pcd;
    try {
        Load(pcd, file);
        ADD_FAILURE() << "opened";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), kNoSignature);
    }
    EXPECT_TRUE(pcd.Bitmap().Empty());
}

TEST(PCDReader, APackEndingEarlyKeepsItsWholeRowPairsAndTheRestIsBlack) {
    Bytes file = Pack(3);
    file.resize(file.size() - 10);  // the third pair is cut
    TPCDImage pcd;
    // A previous picture of the same size must not show through.
    Load(pcd, Pack(kPcdHeight / 2));
    Load(pcd, file);
    const TBitmap& pic = pcd.Bitmap();
    ASSERT_EQ(pic.Height(), 256);
    EXPECT_EQ(pic.Pixel(7, 3), PhotoCDColor(LumAt(7, 3), C1At(3, 1), C2At(3, 1)));
    for (int32_t y = 4; y < kPcdHeight; ++y)
        for (int32_t x = 0; x < kPcdWidth; ++x) ASSERT_EQ(pic.Pixel(x, y), 0u) << x << ", " << y;
}

}  // namespace
}  // namespace tilvo
