// tilvo-cli --verify: the leak check of saved JPEG files, run on any JPEG files.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tilvo {

// Scans each file and lists every picture embedded in it with its size (and, for the Exif
// thumbnail, its difference to the picture) on `out`; reasons go to `err`. Answers the exit
// status: 0 all clean, 3 something suspicious in any file, else 1 when a file could not be read.
int RunVerify(const std::vector<std::string>& files, std::FILE* out, std::FILE* err);

}  // namespace tilvo
