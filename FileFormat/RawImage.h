// Headerless pixel files (.raw): TRawImage recognises the layout by the file size alone, with a
// small self-describing layout (two digits giving the sides as powers of two) as the fallback.
// Read-only: SaveToStream writes back the file as loaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Graphic.h"

namespace tilvo {

class TRAWData : public TSharedImage {};

class TRawImage : public TGraphic {
  public:
    TRawImage() : TGraphic(std::make_shared<TRAWData>()) {}
    const char* ClassName() const override { return "TRawImage"; }
    // Reads the whole stream from position 0 (see ReadRawPixels) and keeps a copy of the file.
    // On failure the graphic keeps the picture and file it had.
    void LoadFromStream(TStream& stream) override;
    // 8 or 32 for the fixed layouts, 24 for the fallback; 0 before the first load.
    int BitsPerPixel() const { return bitsPerPixel_; }

  private:
    int bitsPerPixel_ = 0;
};

// Decodes a raw pixel file into `picture` and answers its bit depth:
//  - 64000 bytes: 320 × 200, one gray byte per pixel (8-bit surface with a gray ramp);
//  - 14720, 5984, 3968 bytes: 115 × 32, 136 × 11, 32 × 31, four bytes per pixel B, G, R, A
//    (32-bit surface);
//  - anything else: bytes 0 and 1 are the digits a and b ('0' … '9'), then 2^a × 2^b pixels of
//    B, G, R, rows bottom to top; the size must be exactly 2^a × 2^b × 3 + 2.
// Other files throw EInvalidGraphic "Unsupported RAW format"; `picture` is then unchanged.
int ReadRawPixels(const uint8_t* data, size_t size, TBitmap& picture);

}  // namespace tilvo
