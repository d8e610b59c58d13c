// The Windows bitmap format: TBMPImage reads bitmap files (1 to 32 bits per pixel, RLE4, RLE8 and
// bit-field layouts, every header version) and writes the surface's own pixel format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Graphic.h"

namespace tilvo {

class TBMPData : public TSharedImage {};

class TBMPImage : public TGraphic {
  public:
    TBMPImage() : TGraphic(std::make_shared<TBMPData>()) {}
    const char* ClassName() const override { return "TBMPImage"; }
    // Reads the whole stream from position 0. 1-, 4- and 8-bit files stay palette pictures with
    // their palette (filled up with black to the depth's full size), 32-bit BI_RGB files stay
    // 32-bit (B, G, R, A), everything else becomes 24-bit. Malformed files throw EInvalidGraphic.
    void LoadFromStream(TStream& stream) override;
    // Writes the surface as a bitmap file in its own pixel format.
    void SaveToStream(TStream& stream) override;
};

// Decodes a bitmap file (starting with "BM") into `picture`; on failure `picture` is unchanged.
void ReadBitmapFile(const uint8_t* data, size_t size, TBitmap& picture);
// Decodes a packed bitmap as resources and clipboards hold it: an information header, the colour
// table and the rows right after it, with no file header.
void ReadPackedBitmap(const uint8_t* data, size_t size, TBitmap& picture);

// Writes `picture` as a bitmap file: 1, 4 or 8 bits with the full colour table, 15 bits as 16-bit
// BI_RGB, 24 or 32 bits; rows bottom-up behind a BITMAPINFOHEADER. Throws on an empty picture and
// on write errors.
void SaveBitmapToStream(const TBitmap& picture, TStream& stream);

}  // namespace tilvo
