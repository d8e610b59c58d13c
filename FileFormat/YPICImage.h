// The PIC format: TYPICImage reads the bit-stream pictures of 15- or 16-bit colour, at most 512
// pixels across, into a 15-bit surface. Read only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Graphic.h"

namespace tilvo {

// Keeps no file bytes: saving a PIC graphic writes nothing.
class TYPICData : public TSharedImage {};

class TYPICImage : public TGraphic {
  public:
    TYPICImage() : TGraphic(std::make_shared<TYPICData>()) {}
    const char* ClassName() const override { return "TYPICImage"; }

    // Reads the whole stream from position 0 into a 15-bit surface (red highest). A bad header
    // throws EInvalidGraphic "Header Error: " and the reason; more than 512 rows are cut to 512.
    // Data that ends early (or breaks off in a length code no picture can need) leaves the rest
    // of the picture black, provided the first row is complete; otherwise the file fails. On
    // failure the graphic is left as it was.
    void LoadFromStream(TStream& stream) override;
};

// Decodes a PIC file into `picture` (see TYPICImage::LoadFromStream); `picture` is unchanged on
// failure.
void ReadPicFile(const uint8_t* data, size_t size, TBitmap& picture);

}  // namespace tilvo
