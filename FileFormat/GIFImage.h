// The GIF graphic class (TGIFImage): opens the first image of a GIF file and writes one-frame GIFs
// through giflib; and SaveGif, the GIF writer of Save and Save As.
#pragma once

#include <string>

#include "Effector/Bitmap.h"
#include "FileFormat/Graphic.h"

namespace tilvo {

// The GIF data holder; keeps no file bytes (GIF is a written format).
class TGIFData : public TSharedImage {};

class TGIFImage : public TGraphic {
  public:
    TGIFImage();
    const char* ClassName() const override { return "TGIFImage"; }

    // Opens the first image of the GIF that starts at the stream's first byte as a 24-bit surface
    // of the logical screen's size, filled with the background colour (white when the GIF has no
    // global colour table or the background index lies outside it); the image is drawn at its
    // offset, clipped to the screen, and its transparent pixels leave the fill showing. A screen
    // of zero width or height takes the image's extent instead. A screen beyond 16 megapixels and
    // more than 16 times the image pixels decoded is refused. Malformed files throw
    // EInvalidGraphic.
    void LoadFromStream(TStream& stream) override;

    // Writes the surface as a one-frame GIF89a with its palette and pixel indices as they are (a
    // surface of another depth is first reduced to 256 colours on a copy). With Transparent set,
    // the colour table is compacted to the used entries, most used first, a black entry is
    // appended and every pixel of the bottom-left pixel's colour is moved to it and marked
    // transparent; a table of 256 used entries gets no transparency. Encoded in memory, written to
    // the stream only when encoding succeeded.
    void SaveToStream(TStream& stream) override;

    bool Transparent = false;
};

// Writes `picture` reduced to 256 colours as a GIF file; answers false (leaving any existing file
// intact) on any failure, with the reason in *why when given. `picture` itself is never changed.
bool SaveGif(TBitmap& picture, const std::string& fileName, bool transparent,
             std::string* why = nullptr);

}  // namespace tilvo
