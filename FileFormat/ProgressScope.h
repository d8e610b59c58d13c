// The progress listener of the open or save running on this thread. A caller (the window,
// tilvo-cli, a test) opens a TProgressScope around LoadPictureFile or a save; the readers and
// writers below report through CurrentProgress() without a parameter on every call in between:
//   - libjpeg's progress monitor (JPEGImage.cpp) while decoding and encoding,
//   - libpng's row callbacks (PNGImage.cpp) while reading and writing: a PNG writer reports
//     CurrentProgress().Step(rowsDone, rowCount) once per row,
//   - our own writers, once per row, where that costs nothing worth measuring.
// A listener that answers false makes the next Step throw ECancelled. Code that runs inside a C
// library's callback catches it there and hands it on after the library returned.
// Outside any scope CurrentProgress() is an inactive TProgress that never reports.
#pragma once

#include "FileFormat/Progress.h"

namespace tilvo {

class TProgressScope {
  public:
    // An empty listener makes an inactive scope: nothing is reported inside it, not even to an
    // outer scope. The listener sees percentages that only grow: when a later stage of the work
    // (the Exif thumbnail after the picture) starts again from 0, nothing is reported until it
    // passes the highest percentage shown.
    explicit TProgressScope(TProgressFn listener);
    ~TProgressScope();
    TProgressScope(const TProgressScope&) = delete;
    TProgressScope& operator=(const TProgressScope&) = delete;

  private:
    TProgress FProgress;
    TProgress* FPrevious;
    int32_t FHighest = -1;
};

// The progress of the innermost scope on this thread.
TProgress& CurrentProgress();

}  // namespace tilvo
