// The boundary between the HEIF graphic class and its codec module (tilvo_heif, on libheif): what
// the module decodes into and what it offers. Nothing of libheif shows here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tilvo {

// The reader's side: the module reports through it and fills the surface it hands out. The calls
// that fail throw the reader's own exceptions, which pass through the module back to the reader.
class THeifTarget {
  public:
    // Throws EInvalidGraphic with the text.
    [[noreturn]] virtual void Fail(const std::string& text) = 0;
    // The shared surface-size check: throws when width × height at that depth is beyond it.
    virtual void CheckSize(int64_t width, int64_t height, int bitsPerPixel) = 0;
    // Makes the new 24-bit B, G, R surface the rows are then written into, every one of them.
    virtual void Allocate(int32_t width, int32_t height) = 0;
    virtual uint8_t* ScanLine(int32_t y) = 0;

  protected:
    ~THeifTarget() = default;
};

class THeifCodec {
  public:
    // Decodes the primary image of the HEIF or AVIF file (already known to carry a HEIF brand)
    // upright into a surface of the target; failures go through target.Fail or throw
    // std::bad_alloc.
    virtual void Decode(const std::vector<uint8_t>& file, THeifTarget& target) = 0;
    // The Exif block of the primary image from its TIFF header on; empty when there is none or it
    // is too large to carry. Failures to read the file go through target.Fail.
    virtual std::vector<uint8_t> ExifBlock(const std::vector<uint8_t>& file,
                                           THeifTarget& target) = 0;

  protected:
    ~THeifCodec() = default;
};

// The module's one export: its codec, which lives as long as the process.
inline constexpr const char* kHeifModule = "tilvo_heif";
inline constexpr const char* kHeifModuleFactory = "tilvo_heif_codec";
using THeifCodecFactory = THeifCodec* (*)();

}  // namespace tilvo
