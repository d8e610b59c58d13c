// Opening icon and cursor files.
#include "IconImageB.h"

#include <vector>

namespace tilvo {

namespace {

bool HasAlpha(const TBitmap& picture) {
    const int32_t w = picture.Width();
    for (int32_t y = 0; y < picture.Height(); ++y) {
        const uint8_t* p = picture.ScanLine(y);
        for (int32_t x = 0; x < w; ++x)
            if (p[4 * x + 3] != 0) return true;
    }
    return false;
}

// B, G, R, A over white into B, G, R, rounded as the PNG reader rounds.
void CompositeRowOverWhite(const uint8_t* src, uint8_t* dst, int32_t width) {
    for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
        const uint32_t a = src[3], back = 255 * (255 - a) + 127;
        dst[0] = uint8_t((src[0] * a + back) / 255);
        dst[1] = uint8_t((src[1] * a + back) / 255);
        dst[2] = uint8_t((src[2] * a + back) / 255);
    }
}

}  // namespace

void IconTo24Bit(TBitmap& picture) {
    if (picture.PixelFormat() != pf32bit || !HasAlpha(picture)) {
        picture.SetPixelFormat(pf24bit);
        return;
    }
    TBitmap flat(picture.Width(), picture.Height(), pf24bit);
    for (int32_t y = 0; y < picture.Height(); ++y)
        CompositeRowOverWhite(picture.ScanLine(y), flat.ScanLine(y), picture.Width());
    picture.Swap(flat);
}

void TIconImageB::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    const TIconEntry e = ReadFirstIconEntry(data.data(), data.size());
    TBitmap image;
    ReadIconImage(data.data() + e.ImageOffset, e.BytesInRes, e.Height, image);
    IconTo24Bit(image);
    bitmap_.Swap(image);
}

void TIconImageB::SaveToStream(TStream&) {
    throw EInvalidGraphic("Icons and cursors are not written");
}

}  // namespace tilvo
