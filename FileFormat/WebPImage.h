// The WebP graphic class (TWebPImage): opens WebP files (still, or the first frame of an
// animation) into a 24-bit surface and writes lossy or lossless WebP through libwebp; SaveWebP, the
// WebP writer of Save and Save As; and the Exif block a WebP file carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "FileFormat/Graphic.h"

namespace tilvo {

// The WebP data holder; keeps no file bytes (WebP is a written format).
class TWebPData : public TSharedImage {};

class TWebPImage : public TGraphic {
  public:
    TWebPImage();
    const char* ClassName() const override { return "TWebPImage"; }

    // Decodes a still WebP (lossy, lossless, with or without alpha) or the first frame of an
    // animated one, as shown on the animation's canvas; alpha is composited over white. The size
    // is checked against the surface limit before anything is decoded. A malformed or truncated
    // file throws EInvalidGraphic.
    void LoadFromStream(TStream& stream) override;

    // Writes the surface as a WebP of the picture alone (no Exif, XMP or colour profile): lossy
    // at Quality (0-100) or, with Lossless, lossless. An empty surface, or a picture larger than
    // WebP's 16,383 × 16,383, throws EInvalidGraphic. The file is encoded in memory and written to
    // the stream only when encoding succeeded.
    void SaveToStream(TStream& stream) override;

    int32_t Quality = 80;
    bool Lossless = false;
};

// Writes `picture` as a WebP file; answers false (leaving any existing file intact) on any
// failure, with the reason in *why when given. `picture` itself is never changed.
bool SaveWebP(const TBitmap& picture, const std::string& fileName, int32_t quality, bool lossless,
              std::string* why = nullptr);

// The payload of the EXIF chunk of a WebP file in memory, from its TIFF header on (a leading
// "Exif\0\0" some writers put in front is skipped); empty when there is none.
std::vector<uint8_t> ExtractWebPExif(const std::vector<uint8_t>& file);

// True when the bytes start with a RIFF header of form "WEBP".
bool LooksLikeWebP(const std::vector<uint8_t>& head);

}  // namespace tilvo
