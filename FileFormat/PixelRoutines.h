// The pixel routines the format readers and writers share: PackBits (ByteRun1) decode and encode,
// bit-plane merging, packed-pixel expansion, 5-5-5 widening, gray ramps, palette padding, surface
// fills and an MSB-first bit reader. Each works a row at a time and checks its bounds once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteReader.h"
#include "Effector/Bitmap.h"

namespace tilvo {

// ---- The picture a file declares ------------------------------------------------------------

// A file holding less than 1/kShortFileFactor of the fewest bytes that can code its picture is
// refused before anything is allocated: a file cut in its pixel data still opens where its format
// allows that, a few bytes declaring a huge picture never cost its memory.
inline constexpr int64_t kShortFileFactor = 64;

// A canvas of more than this many pixels that is more than kShortFileFactor times the area its
// layers or frames cover is refused like a short file.
inline constexpr int64_t kSparseCanvasPixels = int64_t{16} << 20;

// The most bytes deflate gives for one byte of its data.
inline constexpr int64_t kDeflateMostExpansion = 1032;

// Every reader calls this once it knows the picture's size, before it allocates anything for its
// pixels: the size limit at the reader's depth and at 24 bits (as the window holds every
// picture), then `fileBytes` against `fewestBytes`, the least the format can code a
// width × height picture in (the rows' bytes for raw rows, the shortest run coding of every row
// for run-length data, the largest expansion for deflate and LZW). Throws EPictureTooLarge, or
// Exception("the file is too short for a W × H picture").
void CheckPictureData(int64_t width, int64_t height, int bitsPerPixel, int64_t fewestBytes,
                      int64_t fileBytes);
// The message of a file too short for its picture.
std::string TooShortMessage(int64_t width, int64_t height);

// ---- PackBits / ByteRun1 -------------------------------------------------------------------
// A control byte n in 0..127 copies the next n + 1 bytes, n in -127..-1 repeats the next byte
// 1 - n times, and -128 is a no-op.

// Decodes exactly `n` bytes into `dst` from src[0 .. srcSize) and answers how many source bytes
// it used. Throws Exception("packed data truncated") when the source ends first and
// Exception("packed run crosses the end of the row") when a packet would write past `n`.
size_t DecodePackBits(const uint8_t* src, size_t srcSize, uint8_t* dst, size_t n);
// The same, reading from (and advancing) `in`; a short source throws the reader's own message.
void DecodePackBits(TByteReader& in, uint8_t* dst, size_t n);

// The most bytes EncodePackBits can write for `n` input bytes.
constexpr size_t PackBitsBound(size_t n) {
    return n + (n + 127) / 128;
}
// Encodes src[0 .. n) into dst, which must hold PackBitsBound(n) bytes; answers the bytes
// written. Runs of three or more equal bytes become repeat packets.
size_t EncodePackBits(const uint8_t* src, size_t n, uint8_t* dst);

// ---- Bit planes and packed pixels -----------------------------------------------------------

// Merges `planes` bit planes of one row into one byte per pixel: plane p (MSB-first bits, starting
// at src + p * planeStride) gives bit p of each value. `planes` is 1 .. 8 and each plane must
// hold `width` bits (planeStride * 8 >= width), else Exception("bad plane layout"). The caller
// guarantees src holds planes * planeStride bytes and dst `width` bytes.
void MergeBitPlanes(const uint8_t* src, size_t planeStride, int planes, size_t width, uint8_t* dst);

// Expands one row of MSB-first packed pixels of `bits` (1, 2, 4 or 8) bits into one byte each.
// src must hold (width * bits + 7) / 8 bytes and dst `width` bytes.
void ExpandPackedRow(const uint8_t* src, int bits, size_t width, uint8_t* dst);

// ---- Channel planes -------------------------------------------------------------------------

// Splits `width` B, G, R pixels into separate red, green and blue rows (the planes of SGI and
// PCX). Uses the processor's byte shuffles (SSSE3) where it has them unless `allowVector` is
// false; both ways give the same bytes.
void SplitBgrRow(const uint8_t* bgr, size_t width, uint8_t* red, uint8_t* green, uint8_t* blue,
                 bool allowVector = true);

// ---- Colour helpers -------------------------------------------------------------------------

// A 5-bit channel widened to 8 bits so that 0 stays 0 and 31 becomes 255.
constexpr uint8_t Widen5(unsigned v) {
    return uint8_t((v & 31) << 3 | (v & 31) >> 2);
}
// Widens `width` little-endian 16-bit x-R5-G5-B5 values into B, G, R bytes (the top bit is
// ignored). src holds width * 2 bytes, dst width * 3.
void Widen555Row(const uint8_t* src, size_t width, uint8_t* bgr);
// One x-R5-G5-B5 value as a palette entry.
TPaletteEntry Widen555(uint16_t v);

// 2^bits evenly spaced gray levels from black to white; bits is 1 .. 8.
std::vector<TPaletteEntry> GrayRamp(int bits);

// The palette resized to `tableSize` entries: missing entries are black (all zero), extra ones
// are dropped.
std::vector<TPaletteEntry> PadPalette(const std::vector<TPaletteEntry>& palette, size_t tableSize);
// The palette as `tableSize` three-byte entries, R, G, B (or B, G, R when `bgr`), zero-padded.
std::vector<uint8_t> PaletteBytes(const std::vector<TPaletteEntry>& palette, size_t tableSize,
                                  bool bgr = false);

// ---- Fills ----------------------------------------------------------------------------------

// Sets rows [fromRow, toRow) of the surface to all-zero bytes: palette index 0 on palette
// surfaces, black on direct-colour ones. The range is clipped to the surface.
void FillRows(TBitmap& picture, int32_t fromRow, int32_t toRow);
// The whole surface to index 0 or black.
inline void FillSurface(TBitmap& picture) {
    FillRows(picture, 0, picture.Height());
}

// Puts decoded row r (w pixels of `bpp` bytes) of a picture stored w × h with the given Exif
// Orientation (2 … 8) where it belongs in the upright surface whose row pointers are `rows`.
void PlaceOrientedRow(const uint8_t* src, int32_t r, int32_t w, int32_t h, int bpp, int orientation,
                      uint8_t* const* rows) noexcept;

// ---- Bit reader -----------------------------------------------------------------------------

// Reads MSB-first bit fields from a byte buffer; running out throws the given message.
class TBitReader {
  public:
    TBitReader(const uint8_t* data, size_t size, std::string truncated = "file truncated")
        : data_(data), size_(size), truncated_(std::move(truncated)) {}

    // The next `n` bits (0 .. 32) as an unsigned value, first bit most significant.
    uint32_t Read(int n);
    uint32_t Bit() { return Read(1); }
    // Skips to the start of the next whole byte (nothing when already there).
    void AlignToByte() { bitPos_ = (bitPos_ + 7) & ~uint64_t{7}; }
    // The byte holding the next bit, rounded up when inside a byte.
    size_t BytePos() const { return size_t((bitPos_ + 7) / 8); }
    uint64_t BitsLeft() const { return uint64_t(size_) * 8 - bitPos_; }

  private:
    const uint8_t* data_;
    size_t size_;
    uint64_t bitPos_ = 0;
    std::string truncated_;
};

}  // namespace tilvo
