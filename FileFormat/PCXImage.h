// The PCX format: TPCXImage reads ZSoft Paintbrush pictures (1 bit in 1 to 4 planes, packed
// 4-bit, 8-bit with the trailing palette, 8 bits in 3 or 4 planes, run-length encoded or stored)
// and writes version 5 run-length files, 8-bit with palette or 24-bit; SavePcx is the writer of
// Save and Save As.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Graphic.h"

namespace tilvo {

// The PCX data holder; keeps no file bytes (PCX is a written format).
class TPCXData : public TSharedImage {};

class TPCXImage : public TGraphic {
  public:
    TPCXImage() : TGraphic(std::make_shared<TPCXData>()) {}
    const char* ClassName() const override { return "TPCXImage"; }

    // Reads the whole stream from position 0. 1-bit single-plane files give a 1-bit picture,
    // 1-bit files of 2 to 4 planes and packed 4-bit files a 4-bit one (header palette), 8-bit
    // files an 8-bit picture (trailing palette, else a gray ramp), 8 bits in 3 or 4 planes a 24-
    // or 32-bit one. Malformed or truncated files throw EInvalidGraphic and leave the graphic as
    // it was.
    void LoadFromStream(TStream& stream) override;
    // Writes a version 5 run-length file: 8-bit surfaces (and 1-bit ones, widened) with their
    // palette, every other depth as 24 bits. Refuses an empty surface and sizes the header
    // cannot hold before anything is written.
    void SaveToStream(TStream& stream) override;
};

// The whole PCX file of `picture` into `out`, resized to the file's length. Throws
// EInvalidGraphic for what PCX cannot hold.
void EncodePcx(const TBitmap& picture, std::vector<uint8_t>& out);

// The run-length bytes of one plane row s[0 .. n) to `out`, which has room for PcxRowBound(n)
// bytes; answers the end of what was written. Runs of two to 63 equal bytes become a count byte
// 0xC0 | count and the byte, single bytes of 0xC0 and more are led by 0xC1. Uses the processor's
// vector unit (AVX-512 VBMI2) where it has one unless `allowVector` is false; both ways give the
// same bytes.
constexpr size_t PcxRowBound(size_t n) {
    return 2 * n + 64;
}
uint8_t* PackPcxRow(const uint8_t* s, size_t n, uint8_t* out, bool allowVector = true);

// Writes `picture` as a PCX file; answers false (leaving any existing file intact) on any
// failure, with the reason in `message` when one is given. `picture` itself is never changed.
bool SavePcx(TBitmap& picture, const std::string& fileName, std::string* message = nullptr);

}  // namespace tilvo
