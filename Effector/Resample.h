// The area-average resampler that makes thumbnails: each destination pixel is the coverage-weighted
// mean of the source pixels under it, coverage in 1/1024 of a source pixel.
#pragma once

#include <cstdint>

#include "Bitmap.h"

namespace tilvo {

// Converts to 24 bits and replaces the surface by its resampling to destWidth × destHeight
// (both at least 1; smaller sizes throw). The sums are 64-bit, so any surface averages exactly.
void ResampleAreaAverage(TBitmap& bitmap, int32_t destWidth, int32_t destHeight);

// The same from a picture that stays as it is into `dest` (any format; converted on a copy when
// not 24-bit), so that a thumbnail of the picture needs no copy of it first.
void ResampleAreaAverage(const TBitmap& source, TBitmap& dest, int32_t destWidth,
                         int32_t destHeight);

}  // namespace tilvo
