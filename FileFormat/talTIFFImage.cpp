// Reading TIFF files: the first directory parsed here, old-style JPEG through TJPEGImage, the rest
// through libtiff on a client stream over the held bytes. libtiff never sees an exception: its
// callbacks only copy bytes and record messages in the handle's own state.
#include "talTIFFImage.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "ByteReader.h"
#include "JPEGImage.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

namespace tilvo {

namespace {

constexpr const char* kTruncated = "TIFF file truncated";

struct TTagName {
    uint16_t Code;
    const char* Name;
};

constexpr TTagName kTagNames[] = {
    {254, "NewSubfileType"},
    {256, "ImageWidth"},
    {257, "ImageLength"},
    {258, "BitsPerSample"},
    {259, "Compression"},
    {262, "PhotometricInterpretation"},
    {263, "Thresholding"},
    {264, "CellWidth"},
    {265, "CellLength"},
    {266, "FillOrder"},
    {270, "ImageDescription"},
    {271, "Make"},
    {272, "Model"},
    {273, "StripOffsets"},
    {274, "Orientation"},
    {277, "SamplesPerPixel"},
    {278, "RowsPerStrip"},
    {279, "StripByteCounts"},
    {280, "MinSampleValue"},
    {281, "MaxSampleValue"},
    {282, "XResolution"},
    {283, "YResolution"},
    {284, "PlanarConfiguration"},
    {290, "GrayResponseUnit"},
    {291, "GrayResponseCurve"},
    {296, "ResolutionUnit"},
    {301, "TransferFunction"},
    {305, "Software"},
    {306, "DateTime"},
    {315, "Artist"},
    {316, "HostComputer"},
    {317, "Predictor"},
    {318, "WhitePoint"},
    {319, "PrimaryChromaticities"},
    {320, "ColorMap"},
    {321, "HalftoneHints"},
    {322, "TileWidth"},
    {323, "TileLength"},
    {324, "TileOffset"},
    {338, "ExtraSamples"},
    {342, "TransferRange"},
    {513, "JpegInterchangeFormat"},
    {514, "JpegInterchangeFormatLength"},
    {529, "YCbCrCoefficients"},
    {530, "YCbCrSubSampling"},
    {531, "YCbCrPositioning"},
    {532, "ReferenceBlackWhite"},
    {33432, "Copyright"},
};

constexpr const char* kTypeNames[] = {"BYTE",     "ASCII",     "SHORT",     "LONG",
                                      "RATIONAL", "SBYTE",     "UNDEFINED", "SSHORT",
                                      "SLONG",    "SRATIONAL", "FLOAT",     "DOUBLE"};

uint32_t ElementSize(uint16_t type) {
    switch (type) {
        case 1:
        case 2:
        case 6:
        case 7:
            return 1;  // BYTE, ASCII, SBYTE, UNDEFINED
        case 3:
        case 8:
            return 2;  // SHORT, SSHORT
        case 5:
        case 10:
        case 12:
            return 8;  // RATIONAL, SRATIONAL, DOUBLE
        default:
            return 4;  // LONG, SLONG, FLOAT and unknown types
    }
}

// Reads an unsigned value of 1, 2, 4 or 8 bytes (8: the first four, the numerator of a ratio).
uint32_t ReadElement(const uint8_t* p, uint32_t size, bool bigEndian) {
    if (size == 8) size = 4;
    uint32_t v = 0;
    for (uint32_t i = 0; i < size; ++i) {
        const uint32_t b = p[bigEndian ? i : size - 1 - i];
        v = v << 8 | b;
    }
    return v;
}

// The first element of values stored outside their entry, -1 when they do not lie in the file.
int64_t FirstOutsideValue(const TTiffTagNode& tag, const uint8_t* data, size_t size,
                          bool bigEndian) {
    if (uint64_t(tag.Value) + tag.ElementSize > size) return -1;
    return ReadElement(data + tag.Value, tag.ElementSize, bigEndian);
}

// The sum of a tag's values, stored in the entry or outside it. Throws when they leave the file.
uint64_t SumOfValues(const TTiffTagNode& tag, const uint8_t* data, size_t size, bool bigEndian) {
    if (!tag.Outside) {
        return tag.Value;  // the one value that fits in the entry
    }
    const uint64_t bytes = uint64_t(tag.Count) * tag.ElementSize;
    if (uint64_t(tag.Value) + bytes > size) throw EInvalidGraphic(kTruncated);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < tag.Count; ++i)
        sum += ReadElement(data + tag.Value + uint64_t(i) * tag.ElementSize, tag.ElementSize,
                           bigEndian);
    return sum;
}

// ---- libtiff on the held bytes --------------------------------------------------------------

// The state of one libtiff handle: the bytes it reads and the first error it reported.
struct TTiffSource {
    const uint8_t* Data = nullptr;
    uint64_t Size = 0;
    uint64_t Pos = 0;
    char Error[256] = {};
};

tmsize_t SourceRead(thandle_t h, void* buffer, tmsize_t count) {
    auto* s = static_cast<TTiffSource*>(h);
    if (count <= 0 || s->Pos >= s->Size) return 0;
    const uint64_t n = std::min<uint64_t>(uint64_t(count), s->Size - s->Pos);
    std::memcpy(buffer, s->Data + s->Pos, size_t(n));
    s->Pos += n;
    return tmsize_t(n);
}

tmsize_t SourceWrite(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t SourceSeek(thandle_t h, toff_t offset, int whence) {
    auto* s = static_cast<TTiffSource*>(h);
    uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = s->Pos;
    else if (whence == SEEK_END)
        base = s->Size;
    // A move backwards arrives as a wrapped unsigned offset; one before the start is refused.
    const uint64_t pos = base + offset;
    if (int64_t(pos) < 0) return toff_t(-1);
    s->Pos = pos;
    return pos;
}

int SourceClose(thandle_t) {
    return 0;
}

toff_t SourceSize(thandle_t h) {
    return static_cast<TTiffSource*>(h)->Size;
}

// libtiff reads some layouts (uncompressed tiles among them) only through a mapping: it gets the
// bytes already held, read only.
int SourceMap(thandle_t h, void** base, toff_t* size) {
    auto* s = static_cast<TTiffSource*>(h);
    *base = const_cast<uint8_t*>(s->Data);
    *size = toff_t(s->Size);
    return 1;
}

void SourceUnmap(thandle_t, void*, toff_t) {}

int OnTiffError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* s = static_cast<TTiffSource*>(user);
    if (s->Error[0] == 0) {
        char text[200];
        std::vsnprintf(text, sizeof text, format, args);
        std::snprintf(s->Error, sizeof s->Error, "%s%s%s", module ? module : "", module ? ": " : "",
                      text);
    }
    return 1;  // handled: nothing reaches the process-wide handler
}

int OnTiffWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TTiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
struct TOptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};
using TTiffHandle = std::unique_ptr<TIFF, TTiffCloser>;

TTiffHandle OpenTiff(TTiffSource& source) {
    std::unique_ptr<TIFFOpenOptions, TOptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) throw std::bad_alloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t(kMaxSurfaceBytes));
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnTiffError, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnTiffWarning, &source);
    TIFF* tif = TIFFClientOpenExt("tiff", "r", &source, SourceRead, SourceWrite, SourceSeek,
                                  SourceClose, SourceSize, SourceMap, SourceUnmap, options.get());
    if (!tif)
        throw EInvalidGraphic(std::string("LibTiff TIFFOpenStream() error") +
                              (source.Error[0] ? std::string(": ") + source.Error : std::string()));
    return TTiffHandle(tif);
}

// The fewest bytes that can code the picture with the file's compression: its raw bytes divided
// by the compression's largest expansion (LZW codes of 12 bits give at most 4,096 bytes; deflate
// 1,032 for one; PackBits 128 for two), a bit for every JPEG block, a bit for every fax row.
int64_t FewestBytes(TIFF* tif, uint32_t width, uint32_t height, uint16_t bits, uint16_t samples) {
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const int64_t raw = CheckedMul(
        (CheckedMul(CheckedMul(width, std::max<uint16_t>(samples, 1)), bits) + 7) / 8, height);
    switch (compression) {
        case COMPRESSION_NONE:
            return raw;
        case COMPRESSION_LZW:
            return raw * 12 / (4096 * 8);
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
            return raw / kDeflateMostExpansion;
        case COMPRESSION_PACKBITS:
            return raw / 64;
        case COMPRESSION_JPEG:
            return int64_t(width / 8) * (height / 8) / 8;
        case COMPRESSION_CCITTRLE:
        case COMPRESSION_CCITTFAX3:
        case COMPRESSION_CCITTFAX4:
            return int64_t(height) / 8;
        default:
            return 0;
    }
}

[[noreturn]] void Unreadable(const TTiffSource& source) {
    std::string text = "TIFF picture data unreadable";
    if (source.Error[0]) text += std::string(" (") + source.Error + ")";
    throw EInvalidGraphic(text);
}

// The first row of the picture that a strip or tile that does not decode covers; `height` when
// all decode. The RGBA reader, told not to stop at errors, fills the rows of a failed block from
// whatever its buffer held, so after a failure every block is tried on its own.
uint32_t FirstBadRow(TIFF* tif, uint32_t width, uint32_t height) {
    const bool tiled = TIFFIsTiled(tif);
    const uint64_t bytes = tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    if (bytes == 0 || bytes > uint64_t(kMaxSurfaceBytes)) return 0;
    std::vector<uint8_t> block(static_cast<size_t>(bytes));
    uint32_t across = 1, blockRows = height;
    if (tiled) {
        uint32_t tw = 0, th = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
        if (tw == 0 || th == 0) return 0;
        across = uint32_t((uint64_t(width) + tw - 1) / tw);
        blockRows = th;
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &blockRows);
        blockRows = std::clamp<uint32_t>(blockRows, 1, height);
    }
    const uint64_t perPlane = uint64_t(across) * ((uint64_t(height) + blockRows - 1) / blockRows);
    const uint32_t blocks = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    uint32_t bad = height;
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint64_t row = (i % perPlane) / across * blockRows;
        if (row >= bad) continue;
        const tmsize_t got = tiled ? TIFFReadEncodedTile(tif, i, block.data(), tmsize_t(bytes))
                                   : TIFFReadEncodedStrip(tif, i, block.data(), tmsize_t(bytes));
        if (got < 0) bad = uint32_t(row);
    }
    return bad;
}

// The whole-image path: libtiff's RGBA reader fills a 32-bit surface top row first; the result
// is B, G, R with alpha composited over white (A 255).
void ReadRgba(TIFF* tif, TTiffSource& source, uint32_t width, uint32_t height, TBitmap& picture) {
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif, message)) {
        throw EInvalidGraphic(std::string("Unsupported TIFF picture (") + message + ")");
    }
    const uint64_t block = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    if (block > uint64_t(kMaxSurfaceBytes)) throw EPictureTooLarge();

    picture.Resize(int32_t(width), int32_t(height), pf32bit);
    // 32-bit rows need no padding, so the surface is one w × h raster. What does not decode
    // stays opaque black.
    auto* raster = reinterpret_cast<uint32_t*>(picture.ScanLine(0));
    const size_t pixels = size_t(width) * height;
    std::fill(raster, raster + pixels, uint32_t{0xFF000000});
    // The orientation is applied afterwards for both paths alike: libtiff delivers the rows as
    // stored, top row first.
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    // Not stopping at errors, the reader may answer success after one: the handle's error record
    // tells.
    source.Error[0] = 0;
    if (!TIFFReadRGBAImageOriented(tif, width, height, raster, ORIENTATION_TOPLEFT, 0) ||
        source.Error[0]) {
        // When every block reads on its own, libtiff failed the picture as a whole: nothing of
        // it can be trusted.
        const uint32_t bad = FirstBadRow(tif, width, height);
        if (bad == 0 || bad >= height) Unreadable(source);
        std::fill(raster + size_t(bad) * width, raster + pixels, uint32_t{0xFF000000});
    }

    // libtiff hands colours premultiplied by alpha, so over white each channel gains 255 - A.
    uint8_t* p = picture.ScanLine(0);
    for (size_t i = 0; i < pixels; ++i, p += 4) {
        const uint32_t v = raster[i];
        const uint32_t under = 255 - TIFFGetA(v);
        p[0] = uint8_t(std::min<uint32_t>(255, TIFFGetB(v) + under));
        p[1] = uint8_t(std::min<uint32_t>(255, TIFFGetG(v) + under));
        p[2] = uint8_t(std::min<uint32_t>(255, TIFFGetR(v) + under));
        p[3] = 255;
    }
}

// The palette of a one-sample picture of 1, 4 or 8 bits.
std::vector<TPaletteEntry> ScanlinePalette(int bits, uint16_t photometric,
                                           const std::vector<TPaletteEntry>& colourMap) {
    const size_t entries = size_t(1) << bits;
    if (photometric == PHOTOMETRIC_PALETTE) return PadPalette(colourMap, entries);
    std::vector<TPaletteEntry> palette = GrayRamp(bits);
    if (photometric == PHOTOMETRIC_MINISWHITE) std::reverse(palette.begin(), palette.end());
    return palette;
}

// The scanline path: one sample of 1, 4 or 8 bits in strips, read row by row straight into a
// palette surface. Rows after the first one that fails are black.
void ReadScanlines(TIFF* tif, TTiffSource& source, uint32_t width, uint32_t height, int bits,
                   uint16_t photometric, const std::vector<TPaletteEntry>& colourMap,
                   TBitmap& picture) {
    const TPixelFormat pf = bits == 1 ? pf1bit : bits == 4 ? pf4bit : pf8bit;
    const uint64_t lineBytes = TIFFScanlineSize64(tif);
    const int64_t rowBytes = RowBytes(width, bits);
    if (lineBytes == 0 || lineBytes > uint64_t(rowBytes)) Unreadable(source);
    if (TIFFStripSize64(tif) > uint64_t(kMaxSurfaceBytes)) throw EPictureTooLarge();

    picture.Resize(int32_t(width), int32_t(height), pf);
    picture.Palette() = ScanlinePalette(bits, photometric, colourMap);
    int32_t failedAt = -1;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = picture.ScanLine(int32_t(y));
        std::memset(row + lineBytes, 0, size_t(rowBytes - int64_t(lineBytes)));
        CurrentProgress().Step(y, height);
        if (TIFFReadScanline(tif, row, y, 0) < 0) {
            if (y == 0) Unreadable(source);
            failedAt = int32_t(y);
            break;
        }
    }
    if (failedAt >= 0) {
        // Index 0 need not be black (min-is-white files), so the rest is filled in colour.
        picture.SetPixelFormat(pf24bit);
        FillRows(picture, failedAt, int32_t(height));
    }
}

// Turns a picture stored with the given Orientation tag value upright (2 … 8; 1 and unknown
// values leave it as it is). Palette pictures become 24 bits.
void ApplyOrientation(TBitmap& picture, uint16_t orientation) {
    if (orientation < 2 || orientation > 8) return;
    if (picture.PixelFormat() != pf32bit) picture.SetPixelFormat(pf24bit);
    const int32_t w = picture.Width(), h = picture.Height();
    const size_t bpp = picture.PixelFormat() == pf32bit ? 4 : 3;
    const bool transposed = orientation >= 5;
    TBitmap out(transposed ? h : w, transposed ? w : h, picture.PixelFormat());
    std::vector<uint8_t*> rows(size_t(out.Height()));
    for (int32_t y = 0; y < out.Height(); ++y) rows[size_t(y)] = out.ScanLine(y);
    for (int32_t r = 0; r < h; ++r)
        PlaceOrientedRow(picture.ScanLine(r), r, w, h, int(bpp), orientation, rows.data());
    picture.Swap(out);
}

// Old-style JPEG: the JPEG stream is found through the interchange-format tags or the strips and
// decoded by TJPEGImage.
void ReadOldJpeg(const uint8_t* data, size_t size, const TTiffDirectory& dir, TBitmap& picture) {
    const TTiffTagNode& root = dir.Root;
    uint64_t offset = 0, length = 0;
    if (const TTiffTagNode* jif = root.Find("JpegInterchangeFormat")) {
        const TTiffTagNode* len = root.Find("JpegInterchangeFormatLength");
        if (!len) throw EInvalidGraphic("Old-style JPEG data length missing");
        offset = jif->Value;
        length = len->Value;
    } else {
        const TTiffTagNode* strips = root.Find("StripOffsets");
        const TTiffTagNode* counts = root.Find("StripByteCounts");
        if (!strips || !counts) throw EInvalidGraphic("Old-style JPEG data length missing");
        // Several strips: the offset is the first element of the array, and the strips are taken
        // to follow each other as one JPEG stream.
        const int64_t first = strips->Outside ? strips->FirstValue : int64_t(strips->Value);
        if (first < 0) throw EInvalidGraphic(kTruncated);
        offset = uint64_t(first);
        length = SumOfValues(*counts, data, size, dir.BigEndian);
    }
    if (length == 0 || offset > size || length > size - offset)
        throw EInvalidGraphic("Old-style JPEG data out of bounds");
    TJPEGImage jpeg;
    jpeg.SetApplyOrientation(false);  // the TIFF's own Orientation is applied afterwards
    TMemoryStream stream(std::vector<uint8_t>(data + offset, data + offset + length));
    jpeg.LoadFromStream(stream);
    jpeg.AssignTo(picture);
    picture.SetPixelFormat(pf24bit);
}

}  // namespace

const TTiffTagNode* TTiffTagNode::Find(std::string_view name) const {
    for (const TTiffTagNode& c : Children)
        if (c.Name == name) return &c;
    return nullptr;
}

std::string TiffTagName(uint16_t code) {
    for (const TTagName& t : kTagNames)
        if (t.Code == code) return t.Name;
    char text[24];
    std::snprintf(text, sizeof text, "TagCode=%02X", unsigned(code));
    return text;
}

std::string TiffTypeName(uint16_t type) {
    return type >= 1 && type <= 12 ? kTypeNames[type - 1] : "unknown";
}

namespace {

// The header and the first directory; the byte reader throws a plain Exception when it runs out.
TTiffDirectory ParseDirectory(const uint8_t* data, size_t size) {
    TTiffDirectory dir;
    if (size < 2 || data[0] != data[1] || (data[0] != 'I' && data[0] != 'M'))
        throw EInvalidGraphic("Byte order error");
    const bool be = dir.BigEndian = data[0] == 'M';
    TByteReader r(data, size, kTruncated);
    r.Skip(2);
    if ((be ? r.U16BE() : r.U16LE()) != 42) throw EInvalidGraphic("TIFF version error");
    r.Seek(be ? r.U32BE() : r.U32LE());
    const uint16_t entries = be ? r.U16BE() : r.U16LE();
    const uint8_t* table = r.Bytes(uint64_t(entries) * 12);

    dir.Root.Name = "root";
    dir.Root.Children.reserve(entries);
    for (uint16_t i = 0; i < entries; ++i) {
        const uint8_t* e = table + size_t(i) * 12;
        TTiffTagNode tag;
        tag.Code = uint16_t(ReadElement(e, 2, be));
        tag.Type = uint16_t(ReadElement(e + 2, 2, be));
        tag.Count = ReadElement(e + 4, 4, be);
        tag.Name = TiffTagName(tag.Code);
        tag.TypeName = TiffTypeName(tag.Type);
        tag.ElementSize = ElementSize(tag.Type);
        tag.Outside = uint64_t(tag.Count) * tag.ElementSize > 4;
        if (tag.Outside)
            tag.Value = ReadElement(e + 8, 4, be);
        else if (tag.Count > 0)
            tag.Value = ReadElement(e + 8 + (tag.Count - 1) * tag.ElementSize, tag.ElementSize, be);
        if (tag.Outside && (tag.Code == 273 || tag.Code == 258))
            tag.FirstValue = FirstOutsideValue(tag, data, size, be);
        dir.Root.Children.push_back(std::move(tag));
    }

    // The colour map: the reds, then the greens, then the blues, 16 bits each; the high byte
    // counts.
    dir.ColourMap.assign(256, TPaletteEntry{});
    const TTiffTagNode* map = dir.Root.Find("ColorMap");
    if (map && map->ElementSize == 2 && map->Count >= 3) {
        const uint32_t third = map->Count / 3;
        // At least six bytes: always stored outside the entry.
        if (uint64_t(map->Value) + uint64_t(map->Count) * 2 > size)
            throw EInvalidGraphic(kTruncated);
        const uint8_t* values = data + map->Value;
        for (uint32_t i = 0; i < std::min<uint32_t>(third, 256); ++i) {
            const auto high = [&](uint32_t k) {
                return uint8_t(ReadElement(values + 2 * k, 2, be) >> 8);
            };
            dir.ColourMap[i] = {high(i), high(third + i), high(2 * third + i), 0};
        }
    }
    return dir;
}

}  // namespace

TTiffDirectory ParseTiffDirectory(const uint8_t* data, size_t size) {
    try {
        return ParseDirectory(data, size);
    } catch (const EInvalidGraphic&) {
        throw;
    } catch (const Exception& e) {
        throw EInvalidGraphic(e.what());  // the byte reader's "TIFF file truncated"
    }
}

int ReadTiffFile(const uint8_t* data, size_t size, TBitmap& picture, TTiffDirectory& directory) {
    TTiffDirectory dir;
    TBitmap decoded;
    int depth = 24;
    uint16_t orientation = 1;
    try {
        dir = ParseTiffDirectory(data, size);
        const TTiffTagNode* compression = dir.Root.Find("Compression");
        if (compression && compression->Value == COMPRESSION_OJPEG) {
            ReadOldJpeg(data, size, dir, decoded);
            if (const TTiffTagNode* o = dir.Root.Find("Orientation"))
                orientation = uint16_t(o->Value);
        } else {
            TTiffSource source;
            source.Data = data;
            source.Size = size;
            TTiffHandle tif = OpenTiff(source);
            uint16_t b = 0, s = 0, p = PHOTOMETRIC_MINISBLACK;
            uint32_t width = 0, height = 0;
            TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &b);
            TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &s);
            TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &p);
            TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
            TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
            TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &orientation);
            if (width == 0 || height == 0) throw EInvalidGraphic("TIFF picture is empty");
            CheckPictureSize(width, height, 32);
            CheckPictureData(width, height, 24, FewestBytes(tif.get(), width, height, b, s),
                             int64_t(size));

            const bool known = b == 1 || b == 4 || b == 8;
            if (b == 8 && s == 4)
                depth = 32;
            else if (known && s == 1)
                depth = b;
            else if (known)
                depth = 24;
            else
                depth = int(s) * int(b);

            const bool tiled = TIFFIsTiled(tif.get());
            if (!known || p == PHOTOMETRIC_YCBCR || tiled || s != 1) {
                ReadRgba(tif.get(), source, width, height, decoded);
                // Colour strip files of up to 8 bits become 24 bits; the rest stay 32.
                if (depth == 24 && known && !tiled && p != PHOTOMETRIC_YCBCR)
                    decoded.SetPixelFormat(pf24bit);
            } else {
                ReadScanlines(tif.get(), source, width, height, b, p, dir.ColourMap, decoded);
            }
        }
        ApplyOrientation(decoded, orientation);
    } catch (const std::bad_alloc&) {
        throw Exception("Unable to create TBitmap buffer");
    }
    picture.Swap(decoded);
    directory = std::move(dir);
    return depth;
}

void TtalTIFFImage::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> file = stream.ReadAll();
    TTiffDirectory dir;
    const int depth = ReadTiffFile(file.data(), file.size(), bitmap_, dir);
    bitsPerPixel_ = depth;
    tags_ = std::move(dir.Root);
    holder_->Stream.swap(file);
}

}  // namespace tilvo
