// The Paint Shop Pro format: TPSPImage reads files of format versions 3, 4 and 5 (Paint Shop Pro 5
// to 7). A file whose layer bank holds a single raster layer opens from that layer's channels
// (raw, run-length or deflate); any other file opens from its JPEG composite picture. Read-only:
// saving writes back the file as loaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Graphic.h"

namespace tilvo {

// Keeps the whole file as loaded.
class TPSPData : public TSharedImage {};

class TPSPImage : public TGraphic {
  public:
    TPSPImage() : TGraphic(std::make_shared<TPSPData>()) {}
    const char* ClassName() const override { return "TPSPImage"; }
    // Reads the whole stream from position 0. Canvases of 1, 4 and 8 bits open as palette
    // pictures (the file's palette, a gray ramp for gray files), 24-bit ones as 24 bits; a layer
    // is placed at its offsets, clipped to the canvas, over black, and a layer with an alpha
    // channel is blended over the black. Malformed files throw EInvalidGraphic and leave the
    // graphic as it was.
    void LoadFromStream(TStream& stream) override;
};

// Decodes a Paint Shop Pro file into `picture`; on failure `picture` is unchanged.
void ReadPspFile(const uint8_t* data, size_t size, TBitmap& picture);

}  // namespace tilvo
