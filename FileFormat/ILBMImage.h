// The IFF ILBM format: TILBMImage reads interleaved bit-plane pictures ("ILBM", 1 to 8 planes
// with an optional mask plane, and 24 planes) and chunky "PBM " pictures, stored or ByteRun1
// encoded. Read only: saving writes back the file as it was loaded.
#pragma once

#include "Graphic.h"

namespace tilvo {

// The ILBM data holder: keeps the whole file the reader loaded.
class TILBMData : public TSharedImage {};

class TILBMImage : public TGraphic {
  public:
    TILBMImage() : TGraphic(std::make_shared<TILBMData>()) {}
    const char* ClassName() const override { return "TILBMImage"; }

    // Reads the whole stream from position 0: 1 plane gives a 1-bit picture, 2 to 4 planes a
    // 4-bit, 5 to 8 planes and "PBM " an 8-bit one (CMAP palette, else a gray ramp; extra
    // half-brite files get their darker half), 24 planes and hold-and-modify pictures (HAM6,
    // HAM8) a 24-bit one.
    // Malformed or truncated files throw EInvalidGraphic and leave the graphic as it was.
    // On success the graphic takes a fresh holder with the file, which SaveToStream (the
    // framework's) writes back byte for byte.
    void LoadFromStream(TStream& stream) override;
};

}  // namespace tilvo
