// tilvo-cli's command line: what to open, the strokes to apply, and where and how to save.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Effector/Pixelate.h"
#include "FileFormat/SaveDispatch.h"
#include "cli/CliFind.h"

namespace tilvo {

// One item to hide: a brush stroke through Points, or the rectangle Rect (IsRect).
struct TCliStroke {
    bool IsRect = false;
    std::vector<TPoint> Points;
    TRect Rect{};
    bool IsEllipse = false;  // with IsRect: the ellipse inscribed in Rect
    friend bool operator==(const TCliStroke&, const TCliStroke&) = default;
};

struct TCliOptions {
    std::string Input;   // one file: INPUT ("-" standard input)
    std::string Output;  // one file: OUTPUT ("-" standard output)
    // Several files (--out-dir): every INPUT, each written under OutDir.
    std::vector<std::string> Inputs;
    std::string OutDir;
    int32_t Jobs = 0;  // -j: how many files at once; 0 is the number of cores
    // Batch runs an engine drives: --files-from names more INPUTs ("-": standard input), one a
    // line or NUL-separated (-0); --report appends a JSON line per input; --skip-existing leaves
    // an output that exists alone; --quiet prints no line per file.
    std::string FilesFrom;
    bool FilesFromNul = false;
    std::string Report;
    bool SkipExisting = false;
    bool Quiet = false;
    std::string InType;  // --in-type: the extension standard input is read as
    // The Save As type id (1 … 13); with --out-dir and no --type 0: each input's own type.
    int32_t SaveAsType = 0;
    TSaveOptions Save;
    int32_t MosaicSize = kDefaultMosaicSize;
    int32_t BrushSize = kDefaultBrushSize;
    bool SoftEdge = true;
    bool SolidFill = false;  // black instead of mosaic cells, for every item
    // The brush strokes and rectangles, in the order given (--stroke, --rect and --strokes FILE).
    std::vector<TCliStroke> Strokes;
    TCliFind Find;  // what to find and hide with the items given by hand
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

// True when the options change the picture; without any, a run is a plain conversion.
bool HasEdits(const TCliOptions& o);

// One file of a run with --out-dir: where it is read from and written to, and as which type.
struct TBatchItem {
    std::string Input;
    std::string Output;
    int32_t SaveAsType = 0;
};

// The files a run with --out-dir writes: each input's base name with the output type's
// extension, under OutDir. Throws EUsage when two inputs would write one file or an output would
// be its own input (paths compared made absolute, with links resolved), so that nothing is
// written then.
std::vector<TBatchItem> PlanBatch(const TCliOptions& o);

// The extension (".jpg") of the files a Save As type writes.
std::string ExtensionOfSaveAsType(int32_t saveAsType);

// The Save As type id for a short type name ("jpeg", "png", ...), 0 when there is none.
int32_t SaveAsTypeFromShortName(const std::string& name);

extern const char* const kCliUsage;

}  // namespace tilvo
