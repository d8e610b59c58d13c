// Lossless re-encoding of a JPEG stream at the level of its DCT coefficients: to progressive scans
// and/or to its luminance component alone, keeping every comment and APPn segment.
#pragma once

#include "Stream.h"

namespace tilvo {

// Both streams are rewound; the output is written from position 0. Answers true when neither the
// reading nor the writing side reported a warning. A fatal libjpeg error throws EJPEG; so does
// forcing grayscale on a stream that is neither YCbCr nor grayscale ("JPEG error #27").
bool TranscodeJpeg(TStream& input, TStream& output, bool progressive, bool forceGrayscale);

}  // namespace tilvo
