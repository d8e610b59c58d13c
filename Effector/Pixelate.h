// Mosaic pixelation: Pixelate turns a whole surface into square-cell averages; PadToCells grows a
// surface to whole cells by edge replication; ClampByte limits a value to a byte.
#pragma once

#include <cstdint>

#include "Bitmap.h"

namespace tilvo {

// 255 or more gives 255, 0 or less gives 0, anything else itself.
constexpr uint8_t ClampByte(int32_t v) { return v >= 255 ? 255 : v <= 0 ? 0 : uint8_t(v); }

// Replaces every pixel by the average of its cell (cells anchored at the top-left pixel, halves
// rounded up); edge cells average as if the picture were grown by PadToCells. Works in place.
// Cell sizes below 1, or both 1, leave the surface untouched. Cells so large that the grown
// picture could not be a surface throw EPictureTooLarge before anything changes. The fourth
// parameter is ignored: the signature is that of the history's parameterised effect.
void Pixelate(TBitmap& bitmap, int32_t cellWidth, int32_t cellHeight, int32_t unused);

// Converts to 24 bits and grows the surface to whole multiples of the cell size, replicating the
// last column into new columns and the last row into new rows. Cell sizes below 1 throw.
void PadToCells(TBitmap& bitmap, int32_t cellWidth, int32_t cellHeight);

}  // namespace tilvo
