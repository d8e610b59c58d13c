// The PNG graphic class (TPNGImage): opens PNG files into a 24-bit surface through libpng and
// writes palette, gray or RGB PNGs through the libdeflate encoder; and SavePng, the PNG writer of
// Save and Save As.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Effector/Bitmap.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/Progress.h"

namespace tilvo {

// The PNG data holder; keeps no file bytes (PNG is a written format).
class TPNGData : public TSharedImage {};

class TPNGImage : public TGraphic {
  public:
    TPNGImage();
    const char* ClassName() const override { return "TPNGImage"; }

    // Opens the PNG that starts at the stream's first byte. Every colour type and bit depth opens
    // as a 24-bit surface: 16-bit samples are scaled to 8 bits, an alpha channel or tRNS
    // transparency is composited over white. A malformed or truncated file throws EInvalidGraphic.
    void LoadFromStream(TStream& stream) override;

    // Writes the surface as PNG, bit depth 8: an 8-bit surface with a palette as colour type 3
    // (PLTE carries every palette entry), any other surface as colour type 2 (RGB); with Grayscale
    // set, colour type 0 where each pixel is the gray level (77 R + 150 G + 29 B) >> 8 of its
    // colour. Interlaced selects Adam7. With a TransparentColor, a palette picture gets a tRNS of
    // one alpha per entry up to the first entry of that colour (255 each, 0 for that entry), a gray
    // picture the colour's gray level, an RGB picture the colour. No bKGD is written. Gray and RGB
    // rows are filtered by libpng's minimum-sum-of-absolute-differences choice, palette rows not
    // at all. The pixels are compressed in memory; nothing reaches the stream before that worked.
    void SaveToStream(TStream& stream) override;

    bool Interlaced = false;
    bool Grayscale = false;
    std::optional<TColor> TransparentColor;
    // Stepped once per row as the save filters the rows; may cancel it (ECancelled).
    TProgress* Progress = nullptr;
};

// Writes `picture` as a PNG file; answers false (leaving any existing file intact) on any failure,
// with the reason in *why when given. transparent implies the reduction to 256 colours; the
// bottom-left pixel's colour becomes the transparent one. `picture` itself is never changed.
bool SavePng(TBitmap& picture, const std::string& fileName, bool interlaced, bool grayscale,
             bool reduceTo256, bool transparent, std::string* why = nullptr);
// The same, reporting to `progress` per row; a cancel from it leaves any existing file intact and
// throws ECancelled (every other failure still answers false).
bool SavePng(TBitmap& picture, const std::string& fileName, bool interlaced, bool grayscale,
             bool reduceTo256, bool transparent, TProgress& progress, std::string* why = nullptr);

}  // namespace tilvo
