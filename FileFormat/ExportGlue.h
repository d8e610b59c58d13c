// The colour reduction shared by the PNG, GIF and 256-colour side-format writers, and the
// bottom-left transparency rule.
#pragma once

#include <cstdint>

#include "Effector/Bitmap.h"

namespace tilvo {

// Turns the picture into an 8-bit surface with a palette: an 8-bit picture is left alone; one of
// at most 256 distinct colours gets its exact palette (BuildExactPalette); any other is quantised
// through a quality-100 JPEG (QuantizeThroughJpeg).
void ReduceTo8Bit(TBitmap& picture);

// The number of different (red, green, blue) triples among all pixels, whatever the pixel format.
int64_t CountDistinctColors(const TBitmap& picture);

// Writes each pixel's colour number of a 24-bit row: red | green << 8 | blue << 16. Uses the
// processor's vector unit where it has one (AVX2) unless `allowVector` is false.
void RowColourKeys(const uint8_t* row, int32_t width, uint32_t* keys, bool allowVector = true);

// Replaces a picture of at most 256 distinct colours by an 8-bit surface of the same size whose
// 256-entry palette lists the colours ordered by green, then red, then blue (entries beyond the
// last colour are black); each pixel gets its colour's index. Throws when there are more colours.
void BuildExactPalette(TBitmap& picture);

// Encodes the picture as a quality-100 colour JPEG (4:2:0) and decodes it quantised to at most 236
// colours (two-pass quantiser, Floyd-Steinberg dithering); the picture ends as that 8-bit surface.
void QuantizeThroughJpeg(TBitmap& picture);

// White for an empty picture; otherwise the picture is made 24-bit in place and the colour of the
// pixel in column 0 of its bottom row is answered.
TColor BottomLeftColor(TBitmap& picture);

}  // namespace tilvo
