// tilvo-cli's command line: what to open, the strokes to apply, and where and how to save.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "FileFormat/SaveDispatch.h"

namespace tilvo {

// One item to hide: a brush stroke through Points, or the rectangle Rect (IsRect).
struct TCliStroke {
    bool IsRect = false;
    std::vector<TPoint> Points;
    TRect Rect{};
    friend bool operator==(const TCliStroke&, const TCliStroke&) = default;
};

struct TCliOptions {
    std::string Input;
    std::string Output;
    int32_t SaveAsType = 0;  // the Save As type id (1 … 12)
    TSaveOptions Save;
    int32_t MosaicSize = 4;
    int32_t BrushSize = 20;
    bool SoftEdge = true;
    bool SolidFill = false;  // black instead of mosaic cells, for every item
    // The brush strokes and rectangles, in the order given (--stroke, --rect and --strokes FILE).
    std::vector<TCliStroke> Strokes;
    bool Help = false;
    bool Version = false;
};

// A usage error: the message says what is wrong; the program exits with 2.
class EUsage : public Exception {
  public:
    using Exception::Exception;
};

// Parses the arguments after the program name; throws EUsage.
TCliOptions ParseCliOptions(const std::vector<std::string>& args);

// The Save As type id for a short type name ("jpeg", "png", ...), 0 when there is none.
int32_t SaveAsTypeFromShortName(const std::string& name);

extern const char* const kCliUsage;

}  // namespace tilvo
