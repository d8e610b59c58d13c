// The raster surface every part of the system works on (TBitmap) and its drawing canvas
// (TCanvas): pixel formats, palettes, row access, rectangle fills, the wide pen and rectangle
// copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "Exception.h"

namespace tilvo {

enum class TPixelFormat : uint8_t { pf1bit, pf4bit, pf8bit, pf15bit, pf24bit, pf32bit };
inline constexpr TPixelFormat pf1bit = TPixelFormat::pf1bit;
inline constexpr TPixelFormat pf4bit = TPixelFormat::pf4bit;
inline constexpr TPixelFormat pf8bit = TPixelFormat::pf8bit;
inline constexpr TPixelFormat pf15bit = TPixelFormat::pf15bit;
inline constexpr TPixelFormat pf24bit = TPixelFormat::pf24bit;
inline constexpr TPixelFormat pf32bit = TPixelFormat::pf32bit;

int BitsPerPixel(TPixelFormat pf);

// Colours are 32-bit values laid out 0x00BBGGRR.
using TColor = uint32_t;
constexpr uint8_t GetRValue(TColor c) {
    return uint8_t(c);
}
constexpr uint8_t GetGValue(TColor c) {
    return uint8_t(c >> 8);
}
constexpr uint8_t GetBValue(TColor c) {
    return uint8_t(c >> 16);
}
constexpr TColor RGB(uint8_t r, uint8_t g, uint8_t b) {
    return TColor(r) | (TColor(g) << 8) | (TColor(b) << 16);
}

// Left, top, right, bottom; right and bottom are exclusive.
struct TRect {
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    constexpr int32_t Width() const { return Right - Left; }
    constexpr int32_t Height() const { return Bottom - Top; }
    friend constexpr bool operator==(const TRect&, const TRect&) = default;
};

// The rectangle with its corners put in order: left ≤ right, top ≤ bottom.
constexpr TRect Ordered(TRect r) {
    if (r.Left > r.Right) std::swap(r.Left, r.Right);
    if (r.Top > r.Bottom) std::swap(r.Top, r.Bottom);
    return r;
}

struct TPoint {
    int32_t X = 0, Y = 0;
    friend constexpr bool operator==(const TPoint&, const TPoint&) = default;
};

// One entry of a palette, as a logical palette stores it.
struct TPaletteEntry {
    uint8_t Red = 0, Green = 0, Blue = 0, Flags = 0;
    friend constexpr bool operator==(const TPaletteEntry&, const TPaletteEntry&) = default;
};

enum class TPenMode : uint8_t { pmCopy, pmMerge };
inline constexpr TPenMode pmCopy = TPenMode::pmCopy;
inline constexpr TPenMode pmMerge = TPenMode::pmMerge;

struct TPen {
    TColor Color = 0;
    int32_t Width = 1;
    TPenMode Mode = pmCopy;
};

struct TBrush {
    TColor Color = 0xFFFFFF;
};

class TBitmap;

// Drawing on a surface. Drawing operations work on 24-bit and 32-bit surfaces (32-bit ones keep
// their alpha byte); on other formats the surface is first converted to 24 bits.
class TCanvas {
  public:
    TPen Pen;
    TBrush Brush;

    // The whole surface.
    TRect ClipRect() const;
    // Fills the rectangle, clipped to the surface, with Brush.Color (Pen.Mode does not apply).
    void FillRect(const TRect& r);
    void MoveTo(int32_t x, int32_t y);
    // Draws from the pen position to (x, y) with Pen, then (x, y) becomes the pen position.
    // A pen of width w paints every pixel whose centre lies within w / 2 of the segment (a
    // width of 1 or less paints the pixels a one-pixel line passes through); a segment of length
    // zero paints a disc. In pmMerge each byte becomes byte OR the pen colour's byte.
    void LineTo(int32_t x, int32_t y);
    TPoint PenPos() const { return penPos_; }
    // Copies `srcRect` of `src` onto `destRect` of this canvas's surface, both clipped to their
    // surfaces. Sizes must match, except that a source one pixel wide may be widened (its column
    // is replicated). Both surfaces are converted to 24 bits unless they share a format.
    void CopyRect(const TRect& destRect, TCanvas& src, const TRect& srcRect);

  private:
    friend class TBitmap;
    explicit TCanvas(TBitmap* owner) : owner_(owner) {}
    TBitmap* owner_;
    TPoint penPos_;
};

// For tests of out-of-memory paths: after `allocations` more surface buffers have been allocated,
// the next one throws std::bad_alloc, once; a negative count switches this off. Everything around
// the allocation runs as it always does.
void FailSurfaceAllocationAfter(int64_t allocations);

// Asks for whole 2 MiB pages over the part of [p, p + n) that they can cover, before the memory
// is first touched: the page faults of small pages cost more than the work on them on some
// machines (about 8 µs each on a virtual one: 180 ms to touch 72 MB, against 23 ms in large
// pages). Only a hint; nothing changes where the system does not offer them. Every surface buffer
// of 4 MiB and more asks for them.
void AdviseLargePages(void* p, size_t n);

// A picture in memory: width × height pixels in one of the pixel formats, rows padded to 4 bytes,
// row 0 at the top. New or grown pixels are not cleared: every user overwrites them.
class TBitmap {
  public:
    TBitmap();
    TBitmap(int32_t width, int32_t height, TPixelFormat pf = pf24bit);
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;
    ~TBitmap();

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    bool Empty() const { return width_ == 0 || height_ == 0; }
    TPixelFormat PixelFormat() const { return format_; }
    // Bytes from one row to the next.
    int64_t Stride() const { return stride_; }
    // Bytes the buffer holds: a resize to at most this many bytes allocates nothing.
    int64_t Capacity() const { return capacity_; }

    // Resizing keeps the top-left pixels that remain; new area is left uninitialised. The buffer is
    // reused whenever it has room. A size beyond the surface limit, or a negative one, throws.
    // A resize or conversion that fails (a refused size, std::bad_alloc) leaves the surface's
    // size, format and pixels as they were.
    void SetWidth(int32_t w) { SetSize(w, height_); }
    void SetHeight(int32_t h) { SetSize(width_, h); }
    void SetSize(int32_t w, int32_t h);
    // Sets the size without keeping any pixel (cheaper than SetSize when all will be overwritten).
    void Resize(int32_t w, int32_t h, TPixelFormat pf);

    // Converts the pixels to another format. Any format converts to 24 or 32 bits without changing
    // the colours shown; 32 to 24 drops alpha; conversions to palette formats are not needed.
    void SetPixelFormat(TPixelFormat pf);

    uint8_t* ScanLine(int32_t y) { return data_.get() + y * stride_; }
    const uint8_t* ScanLine(int32_t y) const { return data_.get() + y * stride_; }

    // Up to 256 entries, used by the 1-, 4- and 8-bit formats.
    std::vector<TPaletteEntry>& Palette() { return palette_; }
    const std::vector<TPaletteEntry>& Palette() const { return palette_; }

    // Copies size, format, palette and pixels; afterwards the two are independent.
    void Assign(const TBitmap& src);
    void Swap(TBitmap& other) noexcept;

    TCanvas& Canvas() { return canvas_; }

    // The colour shown at (x, y), whatever the format. For tests and single lookups only.
    TColor Pixel(int32_t x, int32_t y) const;
    // Sets the pixel of a 24- or 32-bit surface. For tests and single lookups only.
    void SetPixel(int32_t x, int32_t y, TColor c);

    // Writes the surface as a Windows bitmap file in its own pixel format; throws on failure.
    // Defined by the Windows bitmap writer, in the picture-file library.
    void SaveToFile(const std::string& fileName) const;

  private:
    void Allocate(int64_t bytes);

    int32_t width_ = 0;
    int32_t height_ = 0;
    TPixelFormat format_ = pf24bit;
    int64_t stride_ = 0;
    int64_t capacity_ = 0;
    std::unique_ptr<uint8_t[]> data_;
    std::vector<TPaletteEntry> palette_;
    TCanvas canvas_;
};

}  // namespace tilvo
