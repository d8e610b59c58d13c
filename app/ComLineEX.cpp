// TComLineEX: rejoining, sorting and normalising the program's arguments and parameter files.
#include "app/ComLineEX.h"

#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "lang/IniFile.h"

namespace tilvo {

namespace {

constexpr std::string_view kDriveMacro = "$(DRV):";

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

std::string Lower(std::string s) {
    for (char& c : s) c = AsciiLower(c);
    return s;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// The extension in lower case: from the last "." of the last path component, or empty.
std::string LowerExt(std::string_view name) {
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return std::string();
    return Lower(std::string(name.substr(dot)));
}

bool IsMediaName(std::string_view name) {
    const std::string ext = LowerExt(name);
    return ext == ".wav" || ext == ".cda" || ext == ".mid" || ext == ".mp3" || ext == ".ogg";
}

bool IsParamFileName(std::string_view name) {
    return LowerExt(name) == ".kvs";
}

bool Exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ReplaceDriveMacro(std::string s, const std::string& drive) {
    size_t at = 0;
    while ((at = s.find(kDriveMacro, at)) != std::string::npos) {
        s.replace(at, kDriveMacro.size(), drive);
        at += drive.size();
    }
    return s;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
}

bool IsSwitch(std::string_view arg) {
    return StartsWith(arg, "-") || StartsWith(arg, "#");
}

// An argument that starts an absolute path: the words after it, up to the next such argument or
// switch, are the rest of a name that the shell split at spaces.
bool StartsPath(std::string_view arg) {
    return StartsWith(arg, "/") || StartsWith(arg, kDriveMacro);
}

struct TDirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// The one entry of `folder` whose name equals `name` ignoring letter case; empty when none or
// several do.
std::string UniqueCaseMatch(const std::string& folder, const std::string& name) {
    std::unique_ptr<DIR, TDirCloser> dir(opendir(folder.c_str()));
    if (!dir) return std::string();
    std::string found;
    int matches = 0;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view entryName(entry->d_name);
        if (SameIgnoringCase(entryName, name)) {
            if (++matches > 1) return std::string();
            found = std::string(entryName);
        }
    }
    return found;
}

}  // namespace

TComLineEX::TComLineEX(const std::string& exePath, const std::vector<std::string>& args,
                       const std::string& paramFileName, uint8_t mode) {
    const size_t slash = exePath.rfind('/');
    ExeDir = slash == std::string::npos ? std::string() : exePath.substr(0, slash + 1);
    std::error_code ec;
    const std::string cwd = std::filesystem::current_path(ec).string();
    if (!ec && !cwd.empty()) CurrentDir = cwd.back() == '/' ? cwd : cwd + "/";

    if (mode == 1) {
        LoadParamFile(paramFileName);
        return;
    }
    if (args.empty()) return;

    for (const std::string& arg : args)
        if (arg.find("//") != std::string::npos) IsUNC = true;
    SplitParams(args);
    SortParams();
    if (!ListFile.empty() && FileExists(ListFile)) LoadParamFile(ListFile);
}

void TComLineEX::AddParam(std::string param) {
    Params.push_back(TParamInfo{std::move(param)});
}

std::string TComLineEX::Resolve(const std::string& name) const {
    if (name.empty() || StartsPath(name) || CurrentDir.empty()) return name;
    return CurrentDir + name;
}

void TComLineEX::FlushParam(std::vector<std::string>& words) {
    if (words.empty()) return;
    std::string joined;
    for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
    // The shell splits a name at its spaces: the words joined again come first, then each word on
    // its own; the first that names an existing file is taken. When none does, the joined name
    // stands, so that the window can say which file it did not find.
    std::string chosen = Resolve(joined);
    if (!FileExists(ReplaceDriveMacro(chosen, ExeDrive)) && words.size() > 1) {
        for (const std::string& word : words) {
            const std::string candidate = Resolve(word);
            if (FileExists(ReplaceDriveMacro(candidate, ExeDrive))) {
                chosen = candidate;
                break;
            }
        }
    }
    AddParam(std::move(chosen));
    words.clear();
}

void TComLineEX::SplitParams(const std::vector<std::string>& args) {
    if (args.size() == 1 && IsParamFileName(args[0])) {
        // A parameter file named alone: from the current folder, else from the program's.
        const std::string& arg = args[0];
        const std::string here = Resolve(arg);
        if (StartsPath(arg) || FileExists(here))
            AddParam(here);
        else
            AddParam(ExeDir + arg);
        return;
    }

    // Words gather until a switch or the start of an absolute path ends the name they make.
    std::vector<std::string> words;
    for (const std::string& arg : args) {
        if (IsSwitch(arg)) {
            FlushParam(words);
            AddParam(arg);
        } else {
            if (StartsPath(arg)) FlushParam(words);
            words.push_back(arg);
        }
    }
    FlushParam(words);
}

void TComLineEX::SortParams() {
    for (const TParamInfo& info : Params) {
        const std::string& p = info.Param;
        if (IsMediaName(p)) {
            MediaFiles.push_back(DiskPathName(ReplaceDriveMacro(p, ExeDrive)));
        } else if (IsParamFileName(p)) {
            ListFile = DiskPathName(ReplaceDriveMacro(p, ExeDrive));
        } else if (StartsWith(p, "#")) {
            if (p.size() == 7) {
                Color = HexToInt(p.substr(1, 6));
                HasColor = true;
            }
        } else if (StartsWith(p, "-")) {
            if (p == "--help") HelpRequested = true;
            if (p == "--version") VersionRequested = true;
        } else {
            Files.push_back(DiskPathName(ReplaceDriveMacro(p, ExeDrive)));
        }
    }
}

void TComLineEX::LoadParamFile(const std::string& fileName) {
    const std::optional<std::string> bytes = ReadFileBytes(fileName);
    if (!bytes) throw EComLineError("Cannot open file \"" + fileName + "\"");
    const std::string text = DecodeIniText(*bytes);

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line(Trim(std::string_view(text).substr(pos, end - pos)));
        pos = end + 1;

        if (StartsWith(line, "#")) continue;
        const bool media = IsMediaName(line);
        if (media || !StartsWith(line, "-")) {
            std::string name;
            if (line.find(kDriveMacro) != std::string::npos)
                name = ReplaceDriveMacro(line, ExeDrive);
            else if (StartsWith(line, "/"))
                name = line;  // already absolute
            else
                name = ExeDir + line;
            (media ? MediaFiles : Files).push_back(DiskPathName(name));
            continue;
        }
        const size_t hash = line.find('#');
        if (hash == std::string::npos) {
            AddParam(line);
        } else {
            AddParam(line.substr(0, hash));
            Color = HexToInt(line.substr(hash + 1, 6));
            HasColor = true;
        }
    }
}

std::string TComLineEX::DiskPathName(const std::string& name) {
    if (name.find('/') == std::string::npos) return name;

    std::string result;  // the components resolved so far, joined with "/"
    size_t pos = 0;
    bool first = true;
    while (true) {
        const size_t end = name.find('/', pos);
        const std::string component =
            name.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!first) result += '/';
        if (component.empty() || component == "." || component == "..") {
            result += component;
        } else {
            const std::string candidate = result + component;
            if (Exists(candidate)) {
                result += component;
            } else {
                const std::string folder = result.empty() ? std::string(".") : result;
                const std::string match = UniqueCaseMatch(folder, component);
                if (match.empty()) return name;
                result += match;
            }
        }
        first = false;
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return result;
}

int32_t TComLineEX::HexToInt(const std::string& text) {
    uint32_t result = 0;
    for (char ch : text) {
        const char c = AsciiLower(ch);
        uint32_t digit;
        if (static_cast<unsigned char>(c) < 'a') {
            if (c < '0' || c > '9')
                throw EComLineError("'" + std::string(1, ch) + "' is not a valid integer value");
            digit = uint32_t(c - '0');
        } else {
            digit = uint32_t(static_cast<unsigned char>(c)) - 87;
        }
        result = result * 16 + digit;
    }
    return int32_t(result);
}

std::string ComLineUsage(const std::string& programName) {
    return "Usage: " + programName +
           " [options] [picture file]\n"
           "Hides parts of a picture behind a pixel mosaic.\n"
           "\n"
           "  picture file   opened at start; a name split at spaces is joined again\n"
           "  name.kvs       a parameter file: one file name or switch per line\n"
           "  #xxxxxx        a colour: \"#\" and six hexadecimal digits\n"
           "  --help         show this text and exit\n"
           "  --version      show the version and exit\n";
}

}  // namespace tilvo
