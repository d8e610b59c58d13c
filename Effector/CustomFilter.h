// The filter bank: named 3 × 3 and 5 × 5 integer convolution kernels with a divisor and a bias.
#pragma once

#include <cstdint>
#include <string_view>

#include "Bitmap.h"

namespace tilvo {

// The filter's id, matched exactly (case included); 0 when the name is not a filter.
uint8_t FilterIdByName(std::string_view name);

// Applies the named filter to the whole surface; a name with id 0 or without a kernel leaves the
// surface untouched (not even converted).
void ApplyFilter(TBitmap& bitmap, std::string_view name);

// Convolution with edge pixels repeated; each result byte is ClampByte(sum / divisor + bias), the
// division truncating towards zero. `kernel` holds 9 or 25 coefficients, rows from the top. The
// result is computed into a separate surface that then replaces the pixels. A zero divisor throws.
void Convolve3x3(TBitmap& bitmap, const int16_t kernel[9], int32_t divisor, int32_t bias);
void Convolve5x5(TBitmap& bitmap, const int16_t kernel[25], int32_t divisor, int32_t bias);

}  // namespace tilvo
