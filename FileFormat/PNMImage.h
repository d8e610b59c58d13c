// The portable anymap formats: TPNMImage reads PBM, PGM and PPM files in all six variants (P1 to
// P6) and writes the byte-coded ones (P4, P5, P6); SavePnm is their writer of Save and Save As.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Graphic.h"

namespace tilvo {

// The data holder; keeps no file bytes (the class writes its own files).
class TPNMData : public TSharedImage {};

class TPNMImage : public TGraphic {
  public:
    TPNMImage() : TGraphic(std::make_shared<TPNMData>()) {}
    const char* ClassName() const override { return "TPNMImage"; }

    // Reads P1 to P6 from the stream's first byte; the content decides the variant, not the
    // extension. P1/P4 open as 1 bit (entry 0 white, entry 1 black), P2/P5 as 8-bit gray, P3/P6 as
    // 24 bits. Samples are scaled from 0 … maxval to 0 … 255 with rounding; maxval above 255
    // means two-byte big-endian samples in P5/P6. A raster cut short opens at full size with the
    // missing part black, as long as its first row is whole; otherwise, and for any malformed
    // header, EInvalidGraphic.
    void LoadFromStream(TStream& stream) override;

    // Writes the surface as OutputVariant ("PPM", "PGM" or "PBM"); throws EInvalidGraphic, before
    // writing anything, for an empty surface or any other variant.
    void SaveToStream(TStream& stream) override;

    std::string OutputVariant;  // "PPM", "PGM" or "PBM"; empty until the glue sets it

    // What the last load found in the header.
    char Magic = 0;        // '1' … '6'
    int32_t MaxValue = 0;  // 1 for P1/P4
    int BitDepth = 0;      // 1 for P1/P4, 8 for P2/P5, 24 for P3/P6
    std::string Comment;   // the last header comment, at most 255 characters
};

// Writes `picture` in the variant ("PPM": P6, "PGM": P5 with gray (77 R + 150 G + 29 B) >> 8,
// "PBM": P4, black where (30 R + 59 G + 11 B) / 100 rounds to 128 or less). Rows top to bottom
// after a header of magic, "# Created by Tilvo", width and height, and 255 (not for P4), each line
// ended by a line feed. Throws EInvalidGraphic for an empty picture or an unknown variant, and
// the stream's error when writing fails. `picture` is not changed.
void WritePnm(const TBitmap& picture, const std::string& variant, TStream& stream);

// The PNM writer of Save and Save As: answers false (leaving any existing file intact) on any
// failure, with the reason in *why when given.
bool SavePnm(TBitmap& picture, const std::string& fileName, const std::string& variant,
             std::string* why = nullptr);

// Row kernels of the reader and writer: R, G, B <-> B, G, R, and B, G, R to the gray level
// (77 R + 150 G + 29 B) >> 8. They use the processor's vector unit (AVX-512 VBMI or SSSE3 for the
// swap, AVX2 for the gray level) where it has one unless `allowVector` is false; every way gives
// the same bytes.
void SwapRedBlueRow(const uint8_t* src, uint8_t* dst, size_t pixels, bool allowVector = true);
void GrayRow(const uint8_t* bgr, uint8_t* gray, size_t pixels, bool allowVector = true);

}  // namespace tilvo
