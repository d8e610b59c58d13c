// The HEIF graphic class (THEIFImage): opens HEIC, HEIF and AVIF files through libheif into a
// 24-bit surface, and hands over the Exif block such a file carries.
#pragma once

#include <cstdint>
#include <vector>

#include "FileFormat/Graphic.h"

namespace tilvo {

// The HEIF data holder; keeps no file bytes (the picture is decoded once).
class THEIFData : public TSharedImage {};

class THEIFImage : public TGraphic {
  public:
    THEIFImage();
    const char* ClassName() const override { return "THEIFImage"; }

    // Decodes the primary image of the HEIF (HEVC) or AVIF (AV1) file held in the stream, upright:
    // the file's rotation, mirroring and crop are applied. High bit depths are brought to 8 bits
    // and an alpha channel is composited over white. libheif's own limits stay on; the picture's
    // size is checked against the surface limit before anything is decoded. A malformed file, or
    // one whose codec is not available, throws EInvalidGraphic.
    void LoadFromStream(TStream& stream) override;

    // A read-only format: nothing is written.
    void SaveToStream(TStream& stream) override;
};

// The Exif block of the primary image of a HEIF/AVIF file in memory, from its TIFF header ("II*\0"
// or "MM\0*") on; empty when the file has none or cannot be read.
std::vector<uint8_t> ExtractHeifExif(const std::vector<uint8_t>& file);

// True when the bytes start like an ISO media file (a "ftyp" box) of a HEIF/AVIF brand.
bool LooksLikeHeif(const std::vector<uint8_t>& head);

}  // namespace tilvo
