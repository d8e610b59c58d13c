// Mosaic pixelation: Pixelate turns a whole surface into square-cell averages; PadToCells grows a
// surface to whole cells by edge replication; ClampByte limits a value to a byte.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "Bitmap.h"

namespace tilvo {

// 255 or more gives 255, 0 or less gives 0, anything else itself.
constexpr uint8_t ClampByte(int32_t v) { return v >= 255 ? 255 : v <= 0 ? 0 : uint8_t(v); }

// The mosaic sizes (square cells, in pixels) the main window offers, smallest first. Everything
// that walks through the sizes takes them from here, so a size added later is covered too.
inline constexpr std::array<int32_t, 9> kMosaicCellSizes = {2, 4, 8, 12, 16, 24, 32, 48, 64};

// The brush diameters (in pixels) the main window offers, smallest first; like the sizes above,
// the one table everything that walks through the brushes takes them from.
// A face in a 24-megapixel photo is 400 to 800 pixels wide: the largest brushes cover one in a
// stroke or two.
inline constexpr std::array<int32_t, 13> kBrushDiameters = {5,  8,   10,  20,  30,  40, 50,
                                                            80, 120, 200, 300, 400, 600};

// The cell size and brush diameter of a first run (and of a setting that cannot be read): cells
// of 16 hide faces and most text, and a brush of 50 changes something visible on a photo seen
// whole.
inline constexpr int32_t kDefaultMosaicSize = 16;
inline constexpr int32_t kDefaultBrushSize = 50;

// Replaces every pixel by the average of its cell (cells anchored at the top-left pixel, halves
// rounded up); edge cells average as if the picture were grown by PadToCells, without growing it.
// Works in place. Cell sizes below 1, or both 1, leave the surface untouched. A cell wider or
// higher than the longest side a surface may have, or a picture row whose column sums would need
// more memory than a surface may take, throws EPictureTooLarge before anything changes. The
// fourth parameter is ignored: the signature is that of the history's parameterised effect.
void Pixelate(TBitmap& bitmap, int32_t cellWidth, int32_t cellHeight, int32_t unused);

// out becomes rect of the mosaic Pixelate would make of the whole picture: the same cells,
// anchored at the picture's top-left pixel, the same edge cells at the picture's edges, whatever
// the rectangle. Only the cells the rectangle touches are computed; the picture is only read
// (converted to 24 bits first). rect is ordered and must lie on the picture (throws otherwise).
void PixelateRect(TBitmap& picture, TRect rect, int32_t cellWidth, int32_t cellHeight,
                  TBitmap& out);

// The buffers a pass over cells needs (column sums, a mosaic row, the table of averages), kept
// from call to call by a caller that pixelates small parts often (the stroke being dragged).
struct TPixelateScratch {
    std::vector<uint16_t> Acc16;
    std::vector<uint32_t> Acc32;
    std::vector<uint8_t> Row;
    std::vector<uint8_t> Table;
    int64_t TableCount = 0;  // the cell area Table was made for; 0: none
};
// PixelateRect with the caller's scratch buffers: the same bytes, without allocating once the
// buffers are large enough.
void PixelateRect(TBitmap& picture, TRect rect, int32_t cellWidth, int32_t cellHeight,
                  TBitmap& out, TPixelateScratch& scratch);

// Converts to 24 bits and grows the surface to whole multiples of the cell size, replicating the
// last column into new columns and the last row into new rows. Cell sizes below 1 throw.
void PadToCells(TBitmap& bitmap, int32_t cellWidth, int32_t cellHeight);

}  // namespace tilvo
