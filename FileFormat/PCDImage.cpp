// Reading the base picture of Photo CD image packs.
#include "PCDImage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "PixelRoutines.h"

namespace tilvo {

namespace {

uint8_t RoundClamp(double v) {
    const double r = std::floor(v + 0.5);
    return uint8_t(r < 0 ? 0 : r > 255 ? 255 : r);
}

// The conversion's terms for every byte value, so that a pixel costs three additions per channel.
struct TPcdTables {
    double L[256], A[256], B[256];
    TPcdTables() {
        for (int i = 0; i < 256; ++i) {
            L[i] = 1.3584 * i;
            A[i] = 2.2179 * (i - 156);
            B[i] = 1.8215 * (i - 137);
        }
    }
};

const TPcdTables& Tables() {
    static const TPcdTables tables;
    return tables;
}

}  // namespace

TColor PhotoCDColor(uint8_t y, uint8_t c1, uint8_t c2) {
    const TPcdTables& t = Tables();
    const double l = t.L[y], a = t.A[c1], b = t.B[c2];
    return RGB(RoundClamp(l + b), RoundClamp(l - 0.194 * a - 0.509 * b), RoundClamp(l + a));
}

void ReadPhotoCD(const uint8_t* data, size_t size, TBitmap& picture) {
    if (size == 0) throw EInvalidGraphic("Signature err");
    // Every image pack names itself at byte 2048; a file without it is no Photo CD.
    if (size < kPcdSignatureOffset + 7 ||
        std::memcmp(data + kPcdSignatureOffset, "PCD_IPI", 7) != 0)
        throw EInvalidGraphic("Not a Photo CD image pack (no \"PCD_IPI\" at byte 2048)");
    const size_t available = size > kPcdBaseOffset ? size - kPcdBaseOffset : 0;
    const int32_t pairs = int32_t(std::min<size_t>(available / kPcdRowPairBytes, kPcdHeight / 2));
    if (pairs == 0) throw EInvalidGraphic("Photo CD file too short");

    const TPcdTables& t = Tables();
    TBitmap decoded(kPcdWidth, kPcdHeight, pf24bit);
    const uint8_t* pair = data + kPcdBaseOffset;
    for (int32_t p = 0; p < pairs; ++p, pair += kPcdRowPairBytes) {
        const uint8_t* c1 = pair + 2 * kPcdWidth;
        const uint8_t* c2 = c1 + kPcdWidth / 2;
        for (int32_t r = 0; r < 2; ++r) {
            const uint8_t* lum = pair + r * kPcdWidth;
            uint8_t* out = decoded.ScanLine(2 * p + r);
            for (int32_t x = 0; x < kPcdWidth; ++x, out += 3) {
                const double l = t.L[lum[x]], a = t.A[c1[x / 2]], b = t.B[c2[x / 2]];
                out[0] = RoundClamp(l + a);
                out[1] = RoundClamp(l - 0.194 * a - 0.509 * b);
                out[2] = RoundClamp(l + b);
            }
        }
    }
    FillRows(decoded, 2 * pairs, kPcdHeight);
    picture.Swap(decoded);
}

void TPCDImage::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> file = stream.ReadAll();
    ReadPhotoCD(file.data(), file.size(), bitmap_);
    bitsPerPixel_ = 24;
}

}  // namespace tilvo
