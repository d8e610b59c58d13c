// tilvo-cli's command line.
#include "CliOptions.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>

#include "BatchRun.h"
#include "FileFormat/FileTypes.h"

namespace tilvo {

const char* const kCliUsage =
    "Usage: tilvo-cli INPUT OUTPUT [options]\n"
    "       tilvo-cli --out-dir DIR [options] INPUT...\n"
    "Opens INPUT, hides the stroked areas behind a mosaic and saves OUTPUT\n"
    "(INPUT - reads standard input; OUTPUT - writes standard output and needs --type).\n"
    "A picture opens by its content where its extension is wrong or missing.\n"
    "\n"
    "Several files:\n"
    "  --out-dir DIR        write each INPUT under DIR with its base name and the output\n"
    "                       type's extension; a line per file and a summary\n"
    "  -j N, --jobs N       files worked on at once, 1-256 (default: the number of cores)\n"
    "  --files-from FILE    more INPUTs from FILE, one a line (- standard input)\n"
    "  -0                   the names in FILE are separated by NUL bytes instead\n"
    "  --report FILE        append a JSON line per input to FILE as it is done: input,\n"
    "                       output, status (ok, failed, skipped), message, width, height,\n"
    "                       items, exif (kept, removed, none), seconds\n"
    "  --skip-existing      leave an output that exists alone and report it skipped\n"
    "  -q, --quiet          no line per file and no summary; failures still on stderr\n"
    "Standard input:\n"
    "  --in-type EXT        read standard input as this type (default: by its content)\n"
    "\n"
    "Output type:\n"
    "  --type NAME          jpeg, png, bmp, gif, tga, sgi, pcx, ppm, pgm, pbm, mag, dcr\n"
    "                       or webp\n"
    "                       (default: from OUTPUT's extension; with --out-dir, INPUT's)\n"
    "JPEG:\n"
    "  --quality N          quality 1-100 (default 80)\n"
    "  --progressive        progressive encoding\n"
    "  --grayscale          grayscale\n"
    "  --subsampling 420|444  chroma subsampling (default 420)\n"
    "  --exif-copy          write a new Exif block with INPUT's camera and exposure tags\n"
    "  --exif-thumbnail     give that block a thumbnail made from the saved picture\n"
    "  --lossless           keep untouched areas exactly: a YCbCr JPEG INPUT of the same size\n"
    "                       keeps its coefficients, tables and sampling outside the changed\n"
    "                       blocks (--quality and --subsampling do not apply)\n"
    "  --keep-personal-data carry location and personal data (GPS, names, serial numbers,\n"
    "                       comments) into the new Exif block too\n"
    "PNG:\n"
    "  --png-interlaced --png-grayscale --png-256 --png-transparent\n"
    "GIF:\n"
    "  --gif-transparent    bottom-left colour transparent\n"
    "Targa:\n"
    "  --tga-rle            run-length compression\n"
    "SGI:\n"
    "  --sgi-rle            run-length storage\n"
    "Component resource (dcr):\n"
    "  --dcr-name NAME      the bitmap resource's name, upper-cased (default: OUTPUT's base name)\n"
    "WebP:\n"
    "  --quality N          quality 0-100 (default 80)\n"
    "  --webp-lossless      lossless (--quality has no effect)\n"
    "Mosaic:\n"
    "  --mosaic N           cell size in pixels, 2-256 (default 16)\n"
    "  --brush N            brush diameter in pixels, 1-1000 (default 50)\n"
    "  --hard-edge          no softened edge\n"
    "  --stroke X,Y[;X,Y...]  one brush stroke through these points (repeatable)\n"
    "  --rect X,Y,W,H       hide the whole rectangle W x H at X,Y (repeatable)\n"
    "  --ellipse X,Y,W,H    hide the ellipse inscribed in that rectangle (repeatable)\n"
    "                       X and Y -1048576-1048576, W and H 1-1048576\n"
    "  --fill               solid black instead of mosaic cells, for every stroke and rectangle\n"
    "  --strokes FILE       more items from FILE, one per line: --stroke X,Y[;X,Y...],\n"
    "                       --rect X,Y,W,H, --ellipse X,Y,W,H or --fill; blank lines and\n"
    "                       lines starting with # are skipped. Items apply in the order given.\n"
    "\n"
    "Finding (what is found is hidden with the items given by hand; look at the result):\n"
    "  --find-faces         faces of 80 pixels and more (of a 25th of the picture's longer\n"
    "                       side on pictures under 2000 pixels, down to 40)\n"
    "  --find-small         a thorough face search down to 40-pixel faces (slower)\n"
    "  --find-profiles      faces turned to the side too\n"
    "  --find-text WORDS    text containing WORDS, any case and accents (repeatable)\n"
    "  --find-pattern NAME  email, phone, iban, card, date, plate, or all for all text\n"
    "                       (repeatable)\n"
    "  --list-found         write what would be hidden as one JSON object per line on\n"
    "                       standard output instead of a picture (no OUTPUT: every file\n"
    "                       given is an INPUT)\n"
    "\n"
    "  --help, --version\n"
    "Exit status: 0 success, 1 reading or writing failed (with --out-dir: of any file),\n"
    "2 usage error.\n"
    "\n"
    "tilvo-cli --verify FILE...\n"
    "Lists every carrier (segments, Exif IFDs, XMP, data after the end) and every picture\n"
    "embedded in each JPEG FILE with its size, and for a thumbnail its difference to the picture.\n"
    "Exit status: 1 a file could not be read, else 3 something suspicious found, else 0.\n";

namespace {

int32_t ParseInt(const std::string& text, const std::string& what, int32_t lo, int32_t hi) {
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
        throw EUsage(what + " must be a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ": \"" + text + "\"");
    return v;
}

// Coordinates and sizes on the command line stay within this, far beyond any picture's side.
constexpr int32_t kCoordinateLimit = 1 << 20;

std::vector<TPoint> ParseStroke(const std::string& text) {
    std::vector<TPoint> points;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(';', start), text.size());
        const std::string pair = text.substr(start, end - start);
        const size_t comma = pair.find(',');
        if (comma == std::string::npos)
            throw EUsage("a stroke point must be X,Y: \"" + pair + "\"");
        const int32_t lim = kCoordinateLimit;
        points.push_back(
            TPoint{ParseInt(pair.substr(0, comma), "a stroke coordinate", -lim, lim),
                   ParseInt(pair.substr(comma + 1), "a stroke coordinate", -lim, lim)});
        start = end + 1;
    }
    return points;
}

// X,Y,W,H: the rectangle from (X, Y), W wide and H high (both at least 1).
TRect ParseRect(const std::string& text) {
    int32_t v[4] = {};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? text.find(',', start) : text.size();
        if (end == std::string::npos || (i == 3 && text.find(',', start) != std::string::npos))
            throw EUsage("a rectangle must be X,Y,W,H: \"" + text + "\"");
        const std::string part = text.substr(start, end - start);
        v[i] = i < 2 ? ParseInt(part, "a rectangle coordinate", -kCoordinateLimit, kCoordinateLimit)
                     : ParseInt(part, "a rectangle size", 1, kCoordinateLimit);
        start = end + 1;
    }
    return TRect{v[0], v[1], v[0] + v[2], v[1] + v[3]};
}

// A strokes file is a hand-written list: anything beyond this is not one.
constexpr size_t kMaxStrokesFileBytes = size_t(16) << 20;

std::string ReadStrokesFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) throw EUsage("cannot read the strokes file \"" + fileName + "\"");
    std::string text;
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        text.append(buf, size_t(in.gcount()));
        if (text.size() > kMaxStrokesFileBytes)
            throw EUsage("the strokes file \"" + fileName + "\" is larger than 16 MiB");
    }
    if (in.bad()) throw EUsage("cannot read the strokes file \"" + fileName + "\"");
    return text;
}

// One item per line, each as on the command line: "--stroke X,Y[;X,Y...]", "--rect X,Y,W,H" or
// "--fill". Blank lines and lines whose first non-blank character is # are skipped.
void ParseStrokesFile(const std::string& fileName, TCliOptions& o) {
    const std::string text = ReadStrokesFile(fileName);
    size_t start = 0;
    for (int64_t lineNo = 1; start < text.size(); ++lineNo) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words;
        size_t p = 0;
        while (true) {
            p = line.find_first_not_of(" \t", p);
            if (p == std::string::npos) break;
            const size_t q = std::min(line.find_first_of(" \t", p), line.size());
            words.push_back(line.substr(p, q - p));
            p = q;
        }
        if (words.empty() || words[0][0] == '#') continue;
        const std::string where = fileName + " line " + std::to_string(lineNo) + ": ";
        try {
            const std::string& item = words[0];
            const size_t values = item == "--fill" ? 0 : 1;
            if (item != "--stroke" && item != "--rect" && item != "--ellipse" && item != "--fill")
                throw EUsage("expected --stroke, --rect, --ellipse or --fill, not \"" + item +
                             "\"");
            if (words.size() != values + 1)
                throw EUsage(item + (values ? " needs exactly one value" : " takes no value"));
            if (item == "--fill")
                o.SolidFill = true;
            else if (item == "--rect" || item == "--ellipse")
                o.Strokes.push_back(TCliStroke{true, {}, ParseRect(words[1]), item == "--ellipse"});
            else
                o.Strokes.push_back(TCliStroke{false, ParseStroke(words[1]), {}});
        } catch (const EUsage& e) {
            throw EUsage(where + e.what());
        }
    }
}

// The Save As type id that writes files with this extension type id.
int32_t SaveAsTypeFromExtensionType(uint8_t extType) {
    switch (extType) {
        case 2:
            return 1;  // JPEG
        case 3:
            return 3;  // bitmap
        case 4:
            return 2;  // PNG
        case 5:
            return 4;  // GIF
        case 7:
            return 11;  // MAG
        case 9:
            return 8;  // PPM
        case 10:
            return 9;  // PGM
        case 11:
            return 10;  // PBM
        case 12:
            return 5;  // Targa
        case 13:
            return 6;  // SGI
        case 14:
            return 7;  // PCX
        case 22:
            return 12;  // component resource
        case ftWEBP:
            return sftWEBP;
        default:
            return 0;
    }
}

}  // namespace

int32_t SaveAsTypeFromShortName(const std::string& name) {
    static const char* const names[] = {"jpeg", "png", "bmp", "gif", "tga", "sgi",
                                        "pcx",  "ppm", "pgm", "pbm", "mag", "dcr"};
    for (int32_t i = 0; i < 12; ++i)
        if (name == names[i]) return i + 1;
    if (name == "webp") return sftWEBP;
    return name == "jpg" ? 1 : 0;
}

TCliOptions ParseCliOptions(const std::vector<std::string>& args) {
    TCliOptions o;
    std::vector<std::string> files;
    std::string typeName;
    bool jpegQualityZero = false;
    // JPEG's quality starts at 1: 0 is WebP's alone.
    auto checkQuality = [&](int32_t saveAsType) {
        if (jpegQualityZero && saveAsType == 1)
            throw EUsage("--quality for JPEG must be 1-100 (0-100 is for WebP)");
    };
    bool noMoreOptions = false;  // after "--", a name that starts with "-" is a file
    std::string notForVerify;    // the first option that writes or edits something
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (noMoreOptions) {
            files.push_back(a);
            continue;
        }
        if (notForVerify.empty() && a.size() > 1 && a[0] == '-' && a != "--verify" && a != "--" &&
            a != "--help" && a != "-h" && a != "--version")
            notForVerify = a;
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw EUsage(a + " needs a value");
            return args[++i];
        };
        if (a == "--help" || a == "-h")
            o.Help = true;
        else if (a == "--version")
            o.Version = true;
        else if (a == "--type")
            typeName = value();
        else if (a == "--quality") {
            // One type is written per run: the quality is that of JPEG or WebP, whichever it is,
            // with the window's ranges (JPEG 1-100, WebP 0-100), checked once the type is known.
            o.Save.WebPQuality = ParseInt(value(), "--quality", 0, 100);
            o.Save.JPEGQuality = std::max(o.Save.WebPQuality, 1);
            jpegQualityZero = o.Save.WebPQuality == 0;
        } else if (a == "--webp-lossless")
            o.Save.WebPLossless = true;
        else if (a == "--progressive")
            o.Save.JPEGProgressive = true;
        else if (a == "--grayscale")
            o.Save.JPEGGrayscale = true;
        else if (a == "--subsampling") {
            const std::string& v = value();
            if (v == "420")
                o.Save.JPEGSubsampling = 0;
            else if (v == "444")
                o.Save.JPEGSubsampling = 2;
            else
                throw EUsage("--subsampling must be 420 or 444");
        } else if (a == "--exif-copy")
            o.Save.ExifCopy = true;
        else if (a == "--exif-thumbnail")
            o.Save.ExifThumbUpdate = true;
        else if (a == "--lossless")
            o.Save.JPEGKeepUntouched = true;
        else if (a == "--keep-personal-data")
            o.Save.ExifRemovePersonalData = false;
        else if (a == "--verify")
            o.Verify = true;
        else if (a == "--png-interlaced")
            o.Save.PNGInterlaced = true;
        else if (a == "--png-grayscale")
            o.Save.PNGGrayscale = true;
        else if (a == "--png-256")
            o.Save.PNGReduceTo256Color = true;
        else if (a == "--png-transparent")
            o.Save.PNGTransparent = true;
        else if (a == "--gif-transparent")
            o.Save.GIFTransparent = true;
        else if (a == "--tga-rle")
            o.Save.TGARLECompression = true;
        else if (a == "--sgi-rle")
            o.Save.SGIRLECompression = true;
        else if (a == "--dcr-name")
            o.Save.DCRResourceName = value();
        else if (a == "--mosaic")
            o.MosaicSize = ParseInt(value(), "--mosaic", 2, 256);
        else if (a == "--brush")
            o.BrushSize = ParseInt(value(), "--brush", 1, 1000);
        else if (a == "--hard-edge")
            o.SoftEdge = false;
        else if (a == "--stroke")
            o.Strokes.push_back(TCliStroke{false, ParseStroke(value()), {}});
        else if (a == "--rect")
            o.Strokes.push_back(TCliStroke{true, {}, ParseRect(value())});
        else if (a == "--ellipse")
            o.Strokes.push_back(TCliStroke{true, {}, ParseRect(value()), true});
        else if (a == "--fill")
            o.SolidFill = true;
        else if (a == "--strokes")
            ParseStrokesFile(value(), o);
        else if (ParseFindOption(a, value, o.Find)) {
        } else if (a == "--out-dir") {
            o.OutDir = value();
            if (o.OutDir.empty()) throw EUsage("--out-dir needs a folder");
        } else if (a == "--files-from") {
            o.FilesFrom = value();
            if (o.FilesFrom.empty()) throw EUsage("--files-from needs a file");
        } else if (a == "-0")
            o.FilesFromNul = true;
        else if (a == "--report") {
            o.Report = value();
            if (o.Report.empty()) throw EUsage("--report needs a file");
        } else if (a == "--skip-existing")
            o.SkipExisting = true;
        else if (a == "--quiet" || a == "-q")
            o.Quiet = true;
        else if (a == "-j" || a == "--jobs")
            o.Jobs = ParseInt(value(), a, 1, 256);
        else if (a.size() > 2 && a.compare(0, 2, "-j") == 0)
            o.Jobs = ParseInt(a.substr(2), "-j", 1, 256);
        else if (a == "--in-type") {
            o.InType = value();
            if (!o.InType.empty() && o.InType[0] == '.') o.InType.erase(0, 1);
            if (o.InType.empty()) throw EUsage("--in-type needs an extension");
        } else if (a == "--")
            noMoreOptions = true;
        else if (a.size() > 1 && a[0] == '-' && a != "-")
            throw EUsage("unknown option " + a);
        else
            files.push_back(a);
    }
    if (o.Help || o.Version) return o;
    if (o.Verify) {
        if (!notForVerify.empty())
            throw EUsage(
                "--verify only reads its files; it takes no output or edit option such "
                "as " +
                notForVerify);
        if (files.empty()) throw EUsage("--verify needs at least one FILE");
        o.VerifyFiles = std::move(files);
        return o;
    }
    if (o.Find.List) {
        // Every file is an INPUT; nothing is written.
        if (!o.Find.Any()) throw EUsage("--list-found needs --find-faces, --find-text or --find-pattern");
        if (!o.OutDir.empty()) throw EUsage("--list-found writes no pictures: no --out-dir");
        if (files.empty()) throw EUsage("--list-found needs at least one INPUT");
        if (std::find(files.begin(), files.end(), "-") != files.end())
            throw EUsage("standard input (-) cannot be read with --list-found");
        o.Inputs = std::move(files);
        return o;
    }
    if (!o.InType.empty() && std::find(files.begin(), files.end(), "-") == files.end())
        throw EUsage("--in-type is for standard input (-) only");
    if (o.FilesFromNul && o.FilesFrom.empty()) throw EUsage("-0 is for --files-from only");
    if (!o.FilesFrom.empty()) {
        if (o.OutDir.empty()) throw EUsage("--files-from is for several files (--out-dir) only");
        if (o.FilesFrom == "-" && std::find(files.begin(), files.end(), "-") != files.end())
            throw EUsage("--files-from - and INPUT - both read standard input");
        try {
            const std::vector<std::string> listed = ReadFileList(o.FilesFrom, o.FilesFromNul);
            files.insert(files.end(), listed.begin(), listed.end());
        } catch (const EUsage&) {
            throw;
        } catch (const std::exception& e) {
            throw EUsage(e.what());
        }
    }
    if (!o.OutDir.empty()) {
        // An empty list is an empty shard of a larger run: nothing to do, not a mistake.
        if (files.empty() && o.FilesFrom.empty())
            throw EUsage("--out-dir needs at least one INPUT");
        if (std::find(files.begin(), files.end(), "-") != files.end())
            throw EUsage("standard input (-) cannot be read with --out-dir");
        o.Inputs = files;
        if (!typeName.empty()) {
            o.SaveAsType = SaveAsTypeFromShortName(typeName);
            if (!o.SaveAsType) throw EUsage("unknown type \"" + typeName + "\"");
            checkQuality(o.SaveAsType);
        } else {
            for (const std::string& in : files) {
                const int32_t type = SaveAsTypeFromExtensionType(FileTypeFromExtension(in));
                if (!type) throw EUsage("cannot write the type of \"" + in + "\"; use --type");
                checkQuality(type);
            }
        }
        return o;
    }
    if (o.Jobs) throw EUsage("-j is for several files (--out-dir) only");
    if (files.size() != 2)
        throw EUsage(files.size() > 2 ? "several inputs need --out-dir DIR"
                                      : "expected INPUT and OUTPUT");
    o.Input = files[0];
    o.Output = files[1];
    if (!typeName.empty()) {
        o.SaveAsType = SaveAsTypeFromShortName(typeName);
        if (!o.SaveAsType) throw EUsage("unknown type \"" + typeName + "\"");
    } else if (o.Output == "-") {
        throw EUsage("writing to standard output (-) needs --type");
    } else {
        o.SaveAsType = SaveAsTypeFromExtensionType(FileTypeFromExtension(o.Output));
        if (!o.SaveAsType)
            throw EUsage("cannot tell the type from the extension of \"" + o.Output +
                         "\"; use --type");
    }
    checkQuality(o.SaveAsType);
    return o;
}

bool HasEdits(const TCliOptions& o) {
    return !o.Strokes.empty() || o.Find.Any();
}

std::string ExtensionOfSaveAsType(int32_t saveAsType) {
    for (const TKorvaneFileTypeInfo& row : FileTypeInfos())
        if (row.SaveAsTypeId == saveAsType) {
            const std::string mask = row.FileMask;
            return mask.substr(mask.rfind('.'));
        }
    return saveAsType == sftDCR ? ".dcr" : std::string();
}

std::vector<TBatchItem> PlanBatch(const TCliOptions& o) {
    namespace fs = std::filesystem;
    // Absolute, "." and ".." resolved and every link that exists followed: two spellings of one
    // file compare equal.
    auto key = [](const fs::path& p) {
        std::error_code ec;
        const fs::path k = fs::weakly_canonical(fs::absolute(p), ec);
        return ec ? fs::absolute(p).lexically_normal() : k;
    };
    std::vector<TBatchItem> items;
    std::map<fs::path, std::string> written;  // output → the input that writes it
    for (const std::string& in : o.Inputs) {
        TBatchItem item;
        item.Input = in;
        item.SaveAsType =
            o.SaveAsType ? o.SaveAsType : SaveAsTypeFromExtensionType(FileTypeFromExtension(in));
        const std::string stem = fs::path(in).stem().string();
        if (stem.empty() || stem == "." || stem == "..")
            throw EUsage("\"" + in + "\" has no base name to write under --out-dir");
        item.Output =
            (fs::path(o.OutDir) / (stem + ExtensionOfSaveAsType(item.SaveAsType))).string();
        const fs::path out = key(item.Output);
        std::error_code ec;
        if (out == key(in) || fs::equivalent(item.Output, in, ec))
            throw EUsage("\"" + in + "\" would be written over itself as \"" + item.Output + "\"");
        const auto [at, fresh] = written.emplace(out, in);
        if (!fresh)
            throw EUsage("\"" + at->second + "\" and \"" + in + "\" would both be written to \"" +
                         item.Output + "\"");
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace tilvo
