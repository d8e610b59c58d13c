// tilvo-cli's command line.
#include "CliOptions.h"

#include <algorithm>
#include <charconv>

#include "FileFormat/FileTypes.h"

namespace tilvo {

const char* const kCliUsage =
    "Usage: tilvo-cli INPUT OUTPUT [options]\n"
    "Opens INPUT, hides the stroked areas behind a mosaic and saves OUTPUT\n"
    "(OUTPUT - writes standard output and needs --type).\n"
    "\n"
    "Output type:\n"
    "  --type NAME          jpeg, png, bmp, gif, tga, sgi, pcx, ppm, pgm, pbm, mag, dcr\n"
    "                       or webp\n"
    "                       (default: from OUTPUT's extension)\n"
    "JPEG:\n"
    "  --quality N          quality 1-100 (default 80)\n"
    "  --progressive        progressive encoding\n"
    "  --grayscale          grayscale\n"
    "  --subsampling 420|444  chroma subsampling (default 420)\n"
    "  --exif-copy          carry INPUT's Exif block over, its thumbnail removed\n"
    "  --exif-thumbnail     regenerate the Exif thumbnail from the edited picture instead\n"
    "  --keep-personal-data keep location and personal data (GPS, names, serial numbers,\n"
    "                       comments, maker note) in the copied Exif block\n"
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
    "  --quality N          quality 1-100 (default 80)\n"
    "  --webp-lossless      lossless (--quality has no effect)\n"
    "Mosaic:\n"
    "  --mosaic N           cell size in pixels (default 4)\n"
    "  --brush N            brush diameter in pixels (default 20)\n"
    "  --hard-edge          no softened edge\n"
    "  --stroke X,Y[;X,Y...]  one brush stroke through these points (repeatable)\n"
    "\n"
    "  --help, --version\n"
    "Exit status: 0 success, 1 reading or writing failed, 2 usage error.\n"
    "\n"
    "tilvo-cli --verify FILE...\n"
    "Lists every picture embedded in each JPEG FILE (segments, data after the end) with its size,\n"
    "and for the Exif thumbnail its difference to the picture. Exit status: 0 clean,\n"
    "3 something suspicious found, 1 a file could not be read.\n";

namespace {

int32_t ParseInt(const std::string& text, const std::string& what, int32_t lo, int32_t hi) {
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
        throw EUsage(what + " must be a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ": \"" + text + "\"");
    return v;
}

std::vector<TPoint> ParseStroke(const std::string& text) {
    std::vector<TPoint> points;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(';', start), text.size());
        const std::string pair = text.substr(start, end - start);
        const size_t comma = pair.find(',');
        if (comma == std::string::npos)
            throw EUsage("a stroke point must be X,Y: \"" + pair + "\"");
        const int32_t lim = 1 << 20;
        points.push_back(
            TPoint{ParseInt(pair.substr(0, comma), "a stroke coordinate", -lim, lim),
                   ParseInt(pair.substr(comma + 1), "a stroke coordinate", -lim, lim)});
        start = end + 1;
    }
    return points;
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
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
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
            // One type is written per run: the quality is that of JPEG or WebP, whichever it is.
            o.Save.JPEGQuality = ParseInt(value(), "--quality", 1, 100);
            o.Save.WebPQuality = o.Save.JPEGQuality;
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
            o.MosaicSize = ParseInt(value(), "--mosaic", 1, 256);
        else if (a == "--brush")
            o.BrushSize = ParseInt(value(), "--brush", 1, 1000);
        else if (a == "--hard-edge")
            o.SoftEdge = false;
        else if (a == "--stroke")
            o.Strokes.push_back(ParseStroke(value()));
        else if (a.size() > 1 && a[0] == '-' && a != "-")
            throw EUsage("unknown option " + a);
        else
            files.push_back(a);
    }
    if (o.Help || o.Version) return o;
    if (o.Verify) {
        if (files.empty()) throw EUsage("--verify needs at least one FILE");
        o.VerifyFiles = std::move(files);
        return o;
    }
    if (files.size() != 2) throw EUsage("expected INPUT and OUTPUT");
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
    return o;
}

}  // namespace tilvo
