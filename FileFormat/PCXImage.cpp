#include "PCXImage.h"

#include <cstring>
#include <new>

#include "ByteReader.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

namespace tilvo {

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kTrailerSize = 769;  // the marker byte 12 and 256 red, green, blue entries
constexpr uint8_t kTrailerMarker = 12;

[[noreturn]] void Invalid(const char* text) {
    throw EInvalidGraphic(text);
}

enum class TPcxKind { Mono, Planar4, Packed4, Indexed8, Rgb, Rgba };

// The run-length stream runs on over row and plane ends, so a run left over at the end of one
// row continues the next.
class TPcxRows {
  public:
    TPcxRows(const uint8_t* data, size_t end, bool runLength)
        : data_(data), end_(end), runLength_(runLength) {}

    void Next(uint8_t* dst, size_t n) {
        if (!runLength_) {
            if (n > end_ - pos_) Truncated();
            std::memcpy(dst, data_ + pos_, n);
            pos_ += n;
            return;
        }
        size_t out = 0;
        while (out < n) {
            if (pending_ > 0) {
                const size_t k = std::min(pending_, n - out);
                std::memset(dst + out, value_, k);
                pending_ -= k;
                out += k;
                continue;
            }
            if (pos_ >= end_) Truncated();
            const uint8_t b = data_[pos_++];
            if (b < 0xC0) {
                dst[out++] = b;
                continue;
            }
            if (pos_ >= end_) Truncated();
            pending_ = b & 0x3F;
            value_ = data_[pos_++];
        }
    }

  private:
    [[noreturn]] static void Truncated() { Invalid("PCX file truncated"); }

    const uint8_t* data_;
    size_t end_;
    size_t pos_ = kHeaderSize;
    bool runLength_;
    size_t pending_ = 0;
    uint8_t value_ = 0;
};

void DecodePcx(const uint8_t* data, size_t size, TBitmap& picture) {
    if (size == 0 || data[0] != 10) Invalid("Signature err");
    TByteReader r(data, size, "PCX file truncated");
    r.Skip(1);
    const uint8_t version = r.U8();
    const uint8_t encoding = r.U8();
    const uint8_t bits = r.U8();
    const int64_t xmin = r.U16LE(), ymin = r.U16LE(), xmax = r.U16LE(), ymax = r.U16LE();
    r.Seek(16);
    const uint8_t* headerPalette = r.Bytes(48);
    r.Seek(65);
    const uint8_t planes = r.U8();
    const int64_t bytesPerLine = r.U16LE();
    r.Seek(kHeaderSize);

    if (xmax < xmin || ymax < ymin) Invalid("PCX picture bounds are reversed");
    const int64_t width = xmax - xmin + 1, height = ymax - ymin + 1;

    TPcxKind kind;
    TPixelFormat pf;
    if (bits == 1 && planes == 1) {
        kind = TPcxKind::Mono, pf = pf1bit;
    } else if (bits == 1 && planes >= 2 && planes <= 4) {
        kind = TPcxKind::Planar4, pf = pf4bit;
    } else if (bits == 4 && planes == 1) {
        kind = TPcxKind::Packed4, pf = pf4bit;
    } else if (bits == 8 && planes == 1) {
        kind = TPcxKind::Indexed8, pf = pf8bit;
    } else if (bits == 8 && planes == 3) {
        kind = TPcxKind::Rgb, pf = pf24bit;
    } else if (bits == 8 && planes == 4) {
        kind = TPcxKind::Rgba, pf = pf32bit;
    } else {
        Invalid("Unsupported PCX bit depth");
    }
    if (bytesPerLine * 8 < width * bits) Invalid("PCX bytes per line shorter than the row");
    // Stored rows are whole; run-length data codes at most 63 bytes in two (runs go on across
    // rows).
    const int64_t lineBytes = CheckedMul(CheckedMul(bytesPerLine, planes), height);
    CheckPictureData(width, height, BitsPerPixel(pf),
                     encoding == 1 ? lineBytes / 63 * 2 : lineBytes, int64_t(size));

    // The palette: the header's 16 entries for 1- and 4-bit pictures; for 8-bit ones the
    // trailer 769 bytes before the end when its marker is there, else a gray ramp. A version 5
    // file promises the trailer, so one too short to hold it is cut.
    std::vector<TPaletteEntry> palette;
    size_t dataEnd = size;
    if (kind == TPcxKind::Indexed8) {
        if (size >= kHeaderSize + kTrailerSize && data[size - kTrailerSize] == kTrailerMarker) {
            const uint8_t* p = data + size - kTrailerSize + 1;
            palette.resize(256);
            for (size_t i = 0; i < 256; ++i) palette[i] = {p[3 * i], p[3 * i + 1], p[3 * i + 2], 0};
            dataEnd = size - kTrailerSize;
        } else if (version >= 5 && size < kHeaderSize + kTrailerSize) {
            Invalid("PCX file shorter than its palette");
        } else if (version >= 5) {
            // Version 5 promises the trailer: without its marker the file was cut.
            Invalid("PCX palette missing (version 5 files end with it)");
        } else {
            palette = GrayRamp(8);
        }
    } else if (kind != TPcxKind::Rgb && kind != TPcxKind::Rgba) {
        palette.resize(16);
        for (size_t i = 0; i < 16; ++i)
            palette[i] = {headerPalette[3 * i], headerPalette[3 * i + 1], headerPalette[3 * i + 2],
                          0};
        // Many two-colour files leave the header palette empty and mean black and white.
        if (kind == TPcxKind::Mono) {
            palette.resize(2);
            if (palette[0] == palette[1]) palette = GrayRamp(1);
        }
    }

    // The data must be able to give every row before the surface is allocated: a run-length
    // pair gives at most 63 bytes.
    const int64_t scanBytes = CheckedMul(planes, bytesPerLine);
    const int64_t total = CheckedMul(scanBytes, height);
    const int64_t available = int64_t(dataEnd - kHeaderSize);
    if (encoding == 1 ? CheckedMul(available, 63) < total : available < total)
        Invalid("PCX file truncated");

    TBitmap result;
    result.Resize(int32_t(width), int32_t(height), pf);
    result.Palette() = std::move(palette);
    std::vector<uint8_t> scan(static_cast<size_t>(scanBytes));
    std::vector<uint8_t> indices(kind == TPcxKind::Planar4 ? size_t(width) : 0);
    TPcxRows rows(data, dataEnd, encoding == 1);
    const size_t w = size_t(width), bpl = size_t(bytesPerLine);
    const size_t stride = size_t(result.Stride());
    const size_t used = size_t((width * BitsPerPixel(pf) + 7) / 8);
    TProgress& progress = CurrentProgress();
    for (int32_t y = 0; y < int32_t(height); ++y) {
        progress.Step(y, height);
        rows.Next(scan.data(), scan.size());
        uint8_t* row = result.ScanLine(y);
        const uint8_t* p0 = scan.data();
        switch (kind) {
            case TPcxKind::Mono:
            case TPcxKind::Packed4:
            case TPcxKind::Indexed8:
                std::memcpy(row, p0, used);
                break;
            case TPcxKind::Planar4:
                MergeBitPlanes(p0, bpl, planes, w, indices.data());
                for (size_t x = 0; x + 1 < w; x += 2)
                    row[x / 2] = uint8_t(indices[x] << 4 | indices[x + 1]);
                if (w & 1) row[w / 2] = uint8_t(indices[w - 1] << 4);
                break;
            case TPcxKind::Rgb:
                for (size_t x = 0; x < w; ++x) {
                    row[3 * x] = p0[2 * bpl + x];
                    row[3 * x + 1] = p0[bpl + x];
                    row[3 * x + 2] = p0[x];
                }
                break;
            case TPcxKind::Rgba:
                for (size_t x = 0; x < w; ++x) {
                    row[4 * x] = p0[2 * bpl + x];
                    row[4 * x + 1] = p0[bpl + x];
                    row[4 * x + 2] = p0[x];
                    row[4 * x + 3] = p0[3 * bpl + x];
                }
                break;
        }
        std::memset(row + used, 0, stride - used);
    }
    picture.Swap(result);
}

// One plane row: a run of equal bytes (two or more, at most 63) becomes 0xC0 | count and the
// byte; a single byte is written as itself below 0xC0, else as 0xC1 and the byte. `out` has room
// for two bytes per input byte, so a single byte is stored without branching on its value.
uint8_t* PackPcxRow(const uint8_t* s, size_t n, uint8_t* out) {
    size_t i = 0;
    while (i + 1 < n) {
        const uint8_t b = s[i];
        if (s[i + 1] != b) {
            const bool escape = b >= 0xC0;
            out[0] = escape ? 0xC1 : b;
            out[1] = b;
            out += 1 + escape;
            ++i;
            continue;
        }
        size_t run = 2;
        while (i + run < n && run < 63 && s[i + run] == b) ++run;
        *out++ = uint8_t(0xC0 | run);
        *out++ = b;
        i += run;
    }
    if (i < n) {
        if (s[i] >= 0xC0) *out++ = 0xC1;
        *out++ = s[i];
    }
    return out;
}

void PutU16LE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

}  // namespace

void EncodePcx(const TBitmap& picture, std::vector<uint8_t>& out) {
    if (picture.Empty()) Invalid("Cannot save an empty picture");
    const int64_t w = picture.Width(), h = picture.Height();
    const int64_t bytesPerLine = w + (w & 1);
    if (bytesPerLine > 0xFFFF || w - 1 > 0xFFFF || h - 1 > 0xFFFF)
        Invalid("Picture too large for PCX: rows of at most 65534 pixels, at most 65536 rows");

    // 8-bit surfaces keep their palette; 1-bit ones are widened to 8 bits; everything else is
    // written as 24 bits from a copy.
    TBitmap converted;
    const TBitmap* src = &picture;
    const TPixelFormat pf = picture.PixelFormat();
    if (pf == pf1bit) {
        converted.Resize(int32_t(w), int32_t(h), pf8bit);
        for (int32_t y = 0; y < int32_t(h); ++y)
            ExpandPackedRow(picture.ScanLine(y), 1, size_t(w), converted.ScanLine(y));
        converted.Palette() = picture.Palette();
        src = &converted;
    } else if (pf != pf8bit && pf != pf24bit) {
        converted.Assign(picture);
        converted.SetPixelFormat(pf24bit);
        src = &converted;
    }
    const bool indexed = src->PixelFormat() == pf8bit;
    const int64_t planes = indexed ? 1 : 3;
    const size_t bpl = size_t(bytesPerLine);

    const int64_t bound = CheckedAdd(int64_t(kHeaderSize + kTrailerSize),
                                     CheckedMul(CheckedMul(h, planes), 2 * bytesPerLine));
    out.resize(size_t(bound));
    uint8_t* file = out.data();
    std::memset(file, 0, kHeaderSize);
    file[0] = 10;
    file[1] = 5;
    file[2] = 1;
    file[3] = 8;
    PutU16LE(file + 8, uint32_t(w - 1));
    PutU16LE(file + 10, uint32_t(h - 1));
    file[65] = uint8_t(planes);
    PutU16LE(file + 66, uint32_t(bytesPerLine));
    PutU16LE(file + 68, 1);

    uint8_t* o = file + kHeaderSize;
    std::vector<uint8_t> plane(bpl * size_t(planes), 0);  // odd widths end with a 0 byte
    for (int32_t y = 0; y < int32_t(h); ++y) {
        const uint8_t* s = src->ScanLine(y);
        if (indexed) {
            std::memcpy(plane.data(), s, size_t(w));
        } else {
            uint8_t* red = plane.data();
            SplitBgrRow(s, size_t(w), red, red + bpl, red + 2 * bpl);
        }
        for (int64_t p = 0; p < planes; ++p) o = PackPcxRow(plane.data() + size_t(p) * bpl, bpl, o);
    }
    if (indexed) {
        *o++ = kTrailerMarker;
        const std::vector<uint8_t> pal = PaletteBytes(src->Palette(), 256);
        std::memcpy(o, pal.data(), pal.size());
        o += pal.size();
    }
    out.resize(size_t(o - file));
}

void TPCXImage::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    try {
        DecodePcx(data.data(), data.size(), bitmap_);
    } catch (const std::bad_alloc&) {
        throw EPictureTooLarge();
    }
}

void TPCXImage::SaveToStream(TStream& stream) {
    std::vector<uint8_t> file;
    EncodePcx(bitmap_, file);
    stream.Write(file.data(), int64_t(file.size()));
}

bool SavePcx(TBitmap& picture, const std::string& fileName, std::string* message) {
    return AnswerWriter(message, [&] {
        std::vector<uint8_t> file;
        EncodePcx(picture, file);
        WriteWholeFile(fileName, file.data(), int64_t(file.size()));
    });
}

}  // namespace tilvo
