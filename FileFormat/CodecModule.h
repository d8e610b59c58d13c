// Codec modules: the readers whose libraries are heavy (FFmpeg's, libheif with its HEVC and AV1
// decoders) are small shared modules loaded the first time such a file is opened, so that a
// program which never meets one never maps those libraries.
#pragma once

#include <string>

namespace tilvo {

// The address of the exported `symbol` of the codec module `name` (the file "<name>.so"). The
// first call loads the module, from beside the running program (the build tree) or else from the
// installed library folder, and keeps it loaded for the rest of the process. Null when the module
// or one of the libraries it needs cannot be loaded, or lacks the symbol; `error` then says why.
// Safe to call from several threads at once.
void* CodecModuleSymbol(const std::string& name, const char* symbol, std::string& error);

// The path of the helper program `name` (a library that cannot be loaded as a module runs in a
// program of its own), looked for where the modules are; empty with `error` saying where it was
// looked for when it is not there.
std::string HelperProgramPath(const std::string& name, std::string& error);

}  // namespace tilvo
