// tilvo-cli's command line: what to open, the strokes to apply, and where and how to save.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "FileFormat/SaveDispatch.h"

namespace tilvo {

struct TCliOptions {
    std::string Input;
    std::string Output;
    int32_t SaveAsType = 0;  // the Save As type id (1 … 12)
    TSaveOptions Save;
    int32_t MosaicSize = 4;
    int32_t BrushSize = 20;
    bool SoftEdge = true;
    std::vector<std::vector<TPoint>> Strokes;
    bool Help = false;
    bool Version = false;
    bool Verify = false;  // --verify: check these JPEG files, write nothing
    std::vector<std::string> VerifyFiles;
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
