// Photo CD image packs (.pcd): TPCDImage decodes the 384 × 256 picture every pack stores
// uncompressed and converts its luminance and chroma to 24-bit colour. Read-only, and the data
// holder keeps no file bytes, so SaveToStream writes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Graphic.h"

namespace tilvo {

class TPCDData : public TSharedImage {};

class TPCDImage : public TGraphic {
  public:
    TPCDImage() : TGraphic(std::make_shared<TPCDData>()) {}
    const char* ClassName() const override { return "TPCDImage"; }
    // Reads the whole stream from position 0 (see ReadPhotoCD). On failure the graphic keeps the
    // picture it had.
    void LoadFromStream(TStream& stream) override;
    // 24 after a load, 0 before.
    int BitsPerPixel() const { return bitsPerPixel_; }

  private:
    int bitsPerPixel_ = 0;
};

// Where the 384 × 256 picture starts and how its rows are stored: 128 pairs of rows, each pair
// 384 luminance bytes per row, then 192 C1 and 192 C2 chroma bytes shared by 2 × 2 pixels.
inline constexpr size_t kPcdBaseOffset = 0xB800;
// Where an image pack's "PCD_IPI" stands.
inline constexpr size_t kPcdSignatureOffset = 2048;
inline constexpr int32_t kPcdWidth = 384;
inline constexpr int32_t kPcdHeight = 256;
inline constexpr size_t kPcdRowPairBytes = 1152;

// One pixel's colour from its luminance and chroma: returns R, G, B in the low, middle and high
// byte (0x00BBGGRR).
TColor PhotoCDColor(uint8_t y, uint8_t c1, uint8_t c2);

// Decodes the 384 × 256 picture into a 24-bit `picture`. An empty file throws EInvalidGraphic
// "Signature err"; a file that ends before the first pair of rows is whole throws "Photo CD file
// too short". A file that ends later decodes its whole row pairs and leaves the rest black.
void ReadPhotoCD(const uint8_t* data, size_t size, TBitmap& picture);

}  // namespace tilvo
