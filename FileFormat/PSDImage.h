// The Photoshop format: TPSDImage reads the merged picture of a Photoshop file (bitmap, gray,
// duotone, indexed, RGB and CMYK colour modes at 1, 8 or 16 bits per channel, raw or PackBits);
// layers and image resources are skipped. Read-only: saving writes back the file as loaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Graphic.h"

namespace tilvo {

// Keeps the whole file as loaded.
class TPSDData : public TSharedImage {};

class TPSDImage : public TGraphic {
  public:
    TPSDImage() : TGraphic(std::make_shared<TPSDData>()) {}
    const char* ClassName() const override { return "TPSDImage"; }
    // Reads the whole stream from position 0. Bitmap mode opens as 1 bit (white, black), gray and
    // duotone as 8 bits with a gray ramp, indexed as 8 bits with the file's table, RGB as 24 bits
    // (32 bits, B, G, R, A, when the fourth channel is alpha), CMYK as 24 bits with the ink
    // applied; extra channels are ignored and 16-bit samples give their high byte. Malformed,
    // truncated or unsupported files (Lab, multichannel, ZIP data, 32-bit samples) throw
    // EInvalidGraphic and leave the graphic as it was.
    void LoadFromStream(TStream& stream) override;
};

// Decodes a Photoshop file into `picture`; on failure `picture` is unchanged.
void ReadPsdFile(const uint8_t* data, size_t size, TBitmap& picture);

}  // namespace tilvo
