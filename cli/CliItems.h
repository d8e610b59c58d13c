// Where tilvo-cli's strokes and rectangles fall on a picture: an item that misses the picture
// would hide nothing, so the file fails instead of coming out as if it had been redacted.
#pragma once

#include <cstdint>
#include <string>

#include "CliOptions.h"

namespace tilvo {

// The message for the first item (stroke, rectangle or ellipse, in the order given) that lies wholly
// outside a picture of width × height, so that it would change none of its pixels; empty when
// every item reaches the picture. A stroke reaches the pixels within half the brush of its line;
// a rectangle its own pixels, an ellipse those of its rectangle. An item partly outside is clipped
// by the edit, as in the window, and is no error.
std::string ItemOutsidePicture(const TCliOptions& o, int32_t width, int32_t height);

}  // namespace tilvo
