// tilvo-cli --verify: the leak check of saved JPEG files, run on any JPEG files.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tilvo {

// Scans each file and lists on `out` every carrier in it and every picture embedded in it with
// its size (and, for a thumbnail, its difference to the picture); why a file could not be read
// goes to `err`. Answers the exit status: 1 when any file could not be read, else 3 when
// something suspicious was found in any file, else 0.
int RunVerify(const std::vector<std::string>& files, std::FILE* out, std::FILE* err);

}  // namespace tilvo
