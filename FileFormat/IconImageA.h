// Icons and cursors, the single-image reader: TIconImageA decodes the first image of an icon or
// cursor file as it is stored (palette, 24 or 32 bits), and ReadIconImage decodes one icon image,
// which the component resource reader also uses for the icons and cursors it finds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Graphic.h"

namespace tilvo {

// The icon data holder; the icon readers keep no file bytes (icons are not written).
class TIconData : public TSharedImage {};

// Decodes one icon or cursor image into `picture`: a PNG stream (opened as 24 bits through the PNG
// class, transparency composited over white), or a packed bitmap whose header height counts the
// colour rows and the mask rows together. Only the colour rows are read: the mask never changes
// the colours. The picture has the header's width and half its height, unless `entryHeight` (the
// directory's height, 0 when unknown) shows that the header counts the colour rows alone.
// Palette images stay palette pictures and 32-bit images stay 32-bit (B, G, R, A). A malformed
// image throws; `picture` is then unchanged.
void ReadIconImage(const uint8_t* data, size_t size, int32_t entryHeight, TBitmap& picture);

// One directory entry of an icon or cursor file.
struct TIconEntry {
    int32_t Width = 0;   // the byte, 0 meaning 256
    int32_t Height = 0;  // the byte, 0 meaning 256
    uint32_t BytesInRes = 0;
    uint32_t ImageOffset = 0;
};

// Parses the directory of an icon or cursor file and answers its first entry. The image of every
// entry must lie inside the file. Throws EInvalidGraphic "Signature err" (empty or shorter than a
// directory), "Reserved error", "Resource type error" (neither icon nor cursor) or a message for
// a file without images or an image outside the file.
TIconEntry ReadFirstIconEntry(const uint8_t* data, size_t size);

class TIconImageA : public TGraphic {
  public:
    TIconImageA() : TGraphic(std::make_shared<TIconData>()) {}
    const char* ClassName() const override { return "TIconImageA"; }
    // Decodes the first image of the file as it is stored (see ReadIconImage).
    void LoadFromStream(TStream& stream) override;
    // Decodes one icon image given without a directory, as resources hold it.
    void LoadImageData(const uint8_t* data, size_t size);
    // Icons are not written: throws, so that no empty file is ever committed.
    void SaveToStream(TStream& stream) override;
};

}  // namespace tilvo
