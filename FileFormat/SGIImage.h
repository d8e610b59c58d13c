// The SGI image format: TSGIImage reads SGI pictures (1, 3 or 4 channels of one byte, verbatim or
// run-length encoded) and writes 3- or 4-channel files, verbatim or run-length encoded; SaveSgi is
// the writer of Save and Save As.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Graphic.h"

namespace tilvo {

// The SGI data holder; keeps no file bytes (SGI is a written format).
class TSGIData : public TSharedImage {};

class TSGIImage : public TGraphic {
  public:
    TSGIImage() : TGraphic(std::make_shared<TSGIData>()) {}
    const char* ClassName() const override { return "TSGIImage"; }

    // Reads the whole stream from position 0: one channel gives an 8-bit gray picture, three a
    // 24-bit and four a 32-bit one. Files of dimension 1 (one row) and 2 (one gray channel) are
    // read as well as dimension 3. Malformed or truncated files throw EInvalidGraphic and leave
    // the graphic as it was.
    void LoadFromStream(TStream& stream) override;
    // Writes the surface as a 3-channel file (4 for a 32-bit surface), verbatim or, with
    // RunLength set, run-length encoded. Sides above 65535 and an empty surface are refused
    // before anything is written.
    void SaveToStream(TStream& stream) override;

    bool RunLength = false;
    // Kept from the last file read and written back: the picture name field.
    std::array<char, 80> ImageName{};
};

// The whole SGI file of `picture` (24- or 32-bit; other depths are converted on a copy) into
// `out`, which is resized to the file's length. Throws EInvalidGraphic for what SGI cannot hold.
void EncodeSgi(const TBitmap& picture, bool runLength, std::vector<uint8_t>& out,
               const std::array<char, 80>& name = {});

// Writes `picture` as an SGI file; answers false (leaving any existing file intact) on any
// failure, with the reason in `message` when one is given. `picture` itself is never changed.
bool SaveSgi(TBitmap& picture, const std::string& fileName, bool runLength,
             std::string* message = nullptr);

}  // namespace tilvo
