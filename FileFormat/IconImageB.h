// Icons and cursors as the open path reads them: TIconImageB opens .ico and .cur files as the
// first image of the file in 24 bits.
#pragma once

#include "IconImageA.h"

namespace tilvo {

class TIconImageB : public TGraphic {
  public:
    TIconImageB() : TGraphic(std::make_shared<TIconData>()) {}
    const char* ClassName() const override { return "TIconImageB"; }
    // Decodes the first image of the directory, whatever its size, into a 24-bit picture: palette
    // and 24-bit images give their colours (the mask is not read, so transparent areas show the
    // colours stored under them), 32-bit images and PNG images are composited over white by their
    // alpha (a 32-bit image whose alpha bytes are all 0 carries no alpha and is taken as opaque).
    // The hot spot of a cursor is ignored. A malformed file throws; the picture is then unchanged.
    void LoadFromStream(TStream& stream) override;
    // Icons are not written: throws, so that no empty file is ever committed.
    void SaveToStream(TStream& stream) override;
};

// Turns a decoded icon image into 24 bits: 32-bit pixels composited over white by their alpha
// (unless every alpha byte is 0), palette pictures by their palette.
void IconTo24Bit(TBitmap& picture);

}  // namespace tilvo
