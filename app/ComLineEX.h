// TComLineEX: turns the program's arguments into lists of files, media files, a colour and
// switches. Rejoins names split at spaces, resolves relative names against the caller's current
// folder, expands ".kvs" parameter files and gives every name the letter case it has on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Effector/Exception.h"

namespace tilvo {

// A parameter file could not be read, or a colour parameter holds a character that is no digit.
class EComLineError : public Exception {
  public:
    using Exception::Exception;
};

struct TParamInfo {
    std::string Param;
};

class TComLineEX {
  public:
    // `exePath`: the program's full path; `args`: the arguments after the program's name (argv[1]
    // onward). Mode 1 reads only `paramFileName`; any other mode parses `args`. Throws
    // EComLineError for an unreadable parameter file or a colour like "#12-456".
    TComLineEX(const std::string& exePath, const std::vector<std::string>& args,
               const std::string& paramFileName = std::string(), uint8_t mode = 0);

    std::vector<TParamInfo> Params;       // raw parameters after rejoining
    bool IsUNC = false;                   // the arguments contain "//"
    std::string ListFile;                 // the ".kvs" parameter file named, if any
    std::vector<std::string> MediaFiles;  // ".wav", ".cda", ".mid", ".mp3", ".ogg"
    std::vector<std::string> Files;       // every other file; the first is opened at start-up
    bool HasColor = false;
    int32_t Color = 0;
    std::string ExeDrive;           // always empty here; "$(DRV):" in a name stands for it
    std::string ExeDir;             // the executable's folder with a trailing "/"
    std::string CurrentDir;         // the caller's current folder with a trailing "/"
    bool HelpRequested = false;     // "--help" was given
    bool VersionRequested = false;  // "--version" was given

    // Each component of `name` in its form on disk: a component that does not exist in the given
    // letter case takes the one entry of its folder that matches it ignoring case, when exactly
    // one does. A name without "/", or one that cannot be resolved all the way, comes back as is.
    static std::string DiskPathName(const std::string& name);
    // Hexadecimal digits to a value, first digit highest; letters in either case. A character
    // below "a" that is no digit throws EComLineError.
    static int32_t HexToInt(const std::string& text);

  private:
    void SplitParams(const std::vector<std::string>& args);
    // Ends a name: the words (a name the shell may have split at its spaces) become one raw
    // parameter, resolved against the current folder.
    void FlushParam(std::vector<std::string>& words);
    // `name` against the current folder, unless it starts with "/" or "$(DRV):".
    std::string Resolve(const std::string& name) const;
    void SortParams();
    void LoadParamFile(const std::string& fileName);
    void AddParam(std::string param);
};

// The usage text printed for "--help".
std::string ComLineUsage(const std::string& programName);

}  // namespace tilvo
