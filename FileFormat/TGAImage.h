// The Targa format: TTGAImage reads colour-mapped, true-colour and gray Targa files, plain or
// run-length encoded, and writes 8-bit colour-mapped or 24-bit ones; SaveTarga is their writer of
// Save and Save As.
#pragma once

#include <cstdint>
#include <string>

#include "Graphic.h"

namespace tilvo {

// The data holder; keeps no file bytes (the class writes its own files).
class TTGAData : public TSharedImage {};

class TTGAImage : public TGraphic {
  public:
    TTGAImage() : TGraphic(std::make_shared<TTGAData>()) {}
    const char* ClassName() const override { return "TTGAImage"; }

    // Reads image types 1/9 (colour-mapped, 8-bit indices; map entries of 15, 16, 24 or 32 bits,
    // placed from the first map index on), 2/10 (true colour, 15, 16, 24 or 32 bits) and 3/11
    // (8-bit gray). 8-bit files open as 8 bits with a 256-entry palette, 32-bit ones as 32 bits
    // (B, G, R, A), the others as 24 bits. Rows go bottom-up unless descriptor bit 5 is set, and
    // are mirrored when bit 4 (right to left) is. Run-length packets may cross rows. Any other
    // type or depth, an empty picture, and data that ends before the last pixel throw
    // EInvalidGraphic.
    void LoadFromStream(TStream& stream) override;

    // Writes an 8-bit surface with a palette as a colour-mapped file (256 entries of 24 bits), any
    // other surface as 24-bit true colour; run-length encoded (row by row) when RLECompression is
    // set. Throws EInvalidGraphic, before writing anything, for an empty surface or a side above
    // 65535.
    void SaveToStream(TStream& stream) override;

    bool RLECompression = false;  // the writer's option

    // What the last load found in the header.
    bool TopDown = false;      // descriptor bit 5
    bool RightToLeft = false;  // descriptor bit 4
    int PixelDepth = 0;
    bool RLEInput = false;  // image type 9, 10 or 11
};

// Writes `picture` as a Targa file (see TTGAImage::SaveToStream); `picture` is not changed.
void WriteTarga(const TBitmap& picture, bool rleCompression, TStream& stream);

// The Targa writer of Save and Save As: answers false (leaving any existing file intact) on any
// failure, with the reason in *why when given.
bool SaveTarga(TBitmap& picture, const std::string& fileName, bool rleCompression,
               std::string* why = nullptr);

// Run-length encodes one row of `width` pixels of `pixelBytes` (1 or 3) bytes into `out`, which
// holds width * (pixelBytes + 1) bytes; answers the bytes written. Two equal neighbours start a
// run packet (at most 128 pixels); other pixels go into literal packets up to the first pixel that
// equals its successor.
size_t EncodeTargaRow(const uint8_t* pixels, int32_t width, int pixelBytes, uint8_t* out);

}  // namespace tilvo
