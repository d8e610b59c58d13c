// Reading and writing Windows bitmap files.
#include "BMPImage.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "ByteReader.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

namespace tilvo {

namespace {

constexpr const char* kTruncated = "Bitmap file truncated";
constexpr const char* kInvalid = "Invalid bitmap";

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr uint32_t BI_ALPHABITFIELDS = 6;

constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kFileHeaderSize = 14;

[[noreturn]] void Invalid(const char* text = kInvalid) {
    throw EInvalidGraphic(text);
}

// The fields of an information header (or of the old core header) that decoding needs.
struct TBmpHeader {
    uint32_t HeaderSize = 0;
    int64_t Width = 0;
    int64_t Height = 0;  // always positive; TopDown tells the row order
    bool TopDown = false;
    int BitCount = 0;
    uint32_t Compression = BI_RGB;
    uint32_t ClrUsed = 0;
    uint32_t Masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
    bool Core = false;
};

// Parses the header at the reader's position and the bit-field masks that may follow it; leaves
// the reader at the colour table.
TBmpHeader ReadHeader(TByteReader& r) {
    TBmpHeader h;
    const size_t start = r.Pos();
    h.HeaderSize = r.U32LE();
    if (h.HeaderSize == kCoreHeaderSize) {
        h.Core = true;
        h.Width = r.U16LE();
        h.Height = r.U16LE();
        r.U16LE();  // planes
        h.BitCount = r.U16LE();
    } else if (h.HeaderSize == 40 || h.HeaderSize == 52 || h.HeaderSize == 56 ||
               h.HeaderSize == 108 || h.HeaderSize == 124) {
        h.Width = r.S32LE();
        const int64_t height = r.S32LE();
        r.U16LE();  // planes
        h.BitCount = r.U16LE();
        h.Compression = r.U32LE();
        r.Skip(12);  // image size, resolutions
        h.ClrUsed = r.U32LE();
        r.U32LE();  // important colours
        if (h.HeaderSize >= 52)
            for (int i = 0; i < 3; ++i) h.Masks[i] = r.U32LE();
        if (h.HeaderSize >= 56) h.Masks[3] = r.U32LE();
        h.TopDown = height < 0;
        h.Height = height < 0 ? -height : height;
    } else {
        Invalid();
    }
    r.Seek(start + h.HeaderSize);
    if (h.HeaderSize == kInfoHeaderSize &&
        (h.Compression == BI_BITFIELDS || h.Compression == BI_ALPHABITFIELDS)) {
        const int masks = h.Compression == BI_ALPHABITFIELDS ? 4 : 3;
        for (int i = 0; i < masks; ++i) h.Masks[i] = r.U32LE();
    }

    if (h.Width <= 0 || h.Height <= 0) Invalid();
    bool valid = false;
    switch (h.Compression) {
        case BI_RGB:
            valid = h.BitCount == 1 || h.BitCount == 4 || h.BitCount == 8 || h.BitCount == 24 ||
                    (!h.Core && (h.BitCount == 16 || h.BitCount == 32));
            break;
        case BI_RLE8:
            valid = h.BitCount == 8;
            break;
        case BI_RLE4:
            valid = h.BitCount == 4;
            break;
        case BI_BITFIELDS:
        case BI_ALPHABITFIELDS:
            valid = h.BitCount == 16 || h.BitCount == 32;
            break;
        default:
            Invalid("Unsupported bitmap compression");
    }
    if (!valid) Invalid();
    return h;
}

// One channel of a bit-field pixel: where it sits and how its value widens to 0 … 255.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;     // to the channel's lowest bit
    int DropBits = 0;  // low bits dropped from channels wider than 8 bits
    uint8_t Scale[256] = {};

    explicit TChannel(uint32_t mask) : Mask(mask) {
        if (mask == 0) return;
        Shift = std::countr_zero(mask);
        int bits = 32 - std::countl_zero(mask >> Shift);
        if (bits > 8) {
            DropBits = bits - 8;
            bits = 8;
        }
        // Narrow channels repeat their bits downwards, so 0 stays 0 and all ones become 255.
        for (uint32_t v = 0; v < (1u << bits); ++v) {
            uint32_t out = 0;
            for (int pos = 8 - bits;; pos -= bits) {
                out |= pos >= 0 ? v << pos : v >> -pos;
                if (pos <= 0) break;
            }
            Scale[v] = uint8_t(out);
        }
    }
    uint8_t operator()(uint32_t pixel) const {
        return Scale[((pixel & Mask) >> Shift) >> DropBits];
    }
};

void DecodeBitFields(const TBmpHeader& h, const uint8_t* pixels, int64_t srcRow, TBitmap& out) {
    uint32_t masks[3] = {h.Masks[0], h.Masks[1], h.Masks[2]};
    if (h.Compression == BI_RGB) {  // 16-bit BI_RGB is 5-5-5
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
    }
    const TChannel red(masks[0]), green(masks[1]), blue(masks[2]);
    const int32_t w = int32_t(h.Width);
    for (int64_t i = 0; i < h.Height; ++i) {
        const uint8_t* s = pixels + i * srcRow;
        uint8_t* d = out.ScanLine(int32_t(h.TopDown ? i : h.Height - 1 - i));
        if (h.BitCount == 16) {
            for (int32_t x = 0; x < w; ++x, s += 2, d += 3) {
                const uint32_t p = uint32_t(s[0]) | uint32_t(s[1]) << 8;
                d[0] = blue(p);
                d[1] = green(p);
                d[2] = red(p);
            }
        } else {
            for (int32_t x = 0; x < w; ++x, s += 4, d += 3) {
                const uint32_t p = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16 |
                                   uint32_t(s[3]) << 24;
                d[0] = blue(p);
                d[1] = green(p);
                d[2] = red(p);
            }
        }
    }
}

// Run-length decoding of 8- and 4-bit pictures. Pixels that the data skips keep index 0; runs and
// deltas that leave the picture are clipped, never written.
void DecodeRle(const TBmpHeader& h, TByteReader& r, TBitmap& out) {
    const bool four = h.Compression == BI_RLE4;
    const int64_t w = h.Width;
    for (int64_t y = 0; y < h.Height; ++y)
        std::memset(out.ScanLine(int32_t(y)), 0, size_t(out.Stride()));

    auto put = [&](uint8_t* row, int64_t x, uint8_t v) {
        if (!four) {
            row[x] = v;
        } else if (x & 1) {
            row[x >> 1] = uint8_t((row[x >> 1] & 0xF0) | v);
        } else {
            row[x >> 1] = uint8_t((row[x >> 1] & 0x0F) | v << 4);
        }
    };

    int64_t x = 0, line = 0;  // line counts rows in file order
    for (;;) {
        const uint8_t count = r.U8();
        const uint8_t code = r.U8();
        uint8_t* row = line < h.Height
                           ? out.ScanLine(int32_t(h.TopDown ? line : h.Height - 1 - line))
                           : nullptr;
        if (count > 0) {
            if (row) {
                const int64_t end = std::min<int64_t>(x + count, w);
                for (int64_t px = x, i = 0; px < end; ++px, ++i)
                    put(row, px, four ? uint8_t(i & 1 ? code & 0x0F : code >> 4) : code);
            }
            x += count;
        } else if (code == 0) {  // end of line
            x = 0;
            ++line;
        } else if (code == 1) {  // end of picture
            return;
        } else if (code == 2) {  // delta
            x += r.U8();
            line += r.U8();
        } else {  // a literal run of `code` pixels, padded to a 16-bit boundary
            const int64_t bytes = four ? (code + 1) / 2 : code;
            const uint8_t* lit = r.Bytes(uint64_t(bytes));
            if (bytes & 1) r.Skip(1);
            if (row) {
                const int64_t end = std::min<int64_t>(x + code, w);
                for (int64_t px = x, i = 0; px < end; ++px, ++i)
                    put(row, px,
                        four ? uint8_t(i & 1 ? lit[i >> 1] & 0x0F : lit[i >> 1] >> 4) : lit[i]);
            }
            x += code;
        }
    }
}

// Decodes the header at `headerPos`; `pixelOffset` is where the rows start, 0 when they follow
// the colour table directly.
void Decode(const uint8_t* data, size_t size, size_t headerPos, uint64_t pixelOffset,
            TBitmap& picture) {
    TByteReader r(data, size, kTruncated);
    r.Seek(headerPos);
    const TBmpHeader h = ReadHeader(r);

    const bool palette = h.BitCount <= 8;
    const bool keep32 = h.BitCount == 32 && h.Compression == BI_RGB;
    const TPixelFormat pf = h.BitCount == 1   ? pf1bit
                            : h.BitCount == 4 ? pf4bit
                            : h.BitCount == 8 ? pf8bit
                            : keep32          ? pf32bit
                                              : pf24bit;
    // Run-length data takes at least an end of line (two bytes) a row; other rows are stored
    // whole. Only the bytes from where the rows start count: a colour table codes no pixel.
    const bool rle = h.Compression == BI_RLE8 || h.Compression == BI_RLE4;
    const int64_t fewest = rle ? CheckedMul(2, h.Height)
                               : CheckedMul(RowBytes(h.Width, h.BitCount), h.Height);
    const uint64_t rowsStart = pixelOffset != 0 ? pixelOffset : r.Pos();
    CheckPictureData(h.Width, h.Height, BitsPerPixel(pf), fewest,
                     rowsStart < size ? int64_t(size - rowsStart) : 0);

    // The colour table: biClrUsed entries (the depth's full count when 0 or larger), and never
    // reaching into the rows.
    // Rows overlapping the header or the masks cannot be right.
    if (pixelOffset != 0 && pixelOffset < r.Pos()) Invalid();
    std::vector<TPaletteEntry> colours;
    if (palette) {
        const size_t entrySize = h.Core ? 3 : 4;
        const uint64_t full = uint64_t(1) << h.BitCount;
        uint64_t count = h.Core || h.ClrUsed == 0 || h.ClrUsed > full ? full : h.ClrUsed;
        if (pixelOffset != 0) {
            count = std::min<uint64_t>(count, (pixelOffset - r.Pos()) / entrySize);
        }
        const uint8_t* table = r.Bytes(count * entrySize);
        colours.resize(size_t(full));  // entries the file does not give stay black
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* e = table + i * entrySize;
            colours[i] = TPaletteEntry{e[2], e[1], e[0], 0};
        }
    }
    if (pixelOffset == 0) {
        // Rows follow the colour table; deeper packed bitmaps may carry an optional one too.
        if (!palette && !h.Core) r.Skip(uint64_t(h.ClrUsed) * 4);
        pixelOffset = r.Pos();
    }
    r.Seek(pixelOffset);

    TBitmap result;
    if (h.Compression == BI_RLE8 || h.Compression == BI_RLE4) {
        result.Resize(int32_t(h.Width), int32_t(h.Height), pf);
        result.Palette() = std::move(colours);
        DecodeRle(h, r, result);
        picture.Swap(result);
        return;
    }

    const int64_t srcRow = RowBytes(h.Width, h.BitCount);
    // Every row must be in the file before anything is allocated for them.
    const uint8_t* pixels = r.Bytes(uint64_t(CheckedMul(srcRow, h.Height)));
    result.Resize(int32_t(h.Width), int32_t(h.Height), pf);
    if (h.BitCount == 16 || (h.BitCount == 32 && !keep32)) {
        DecodeBitFields(h, pixels, srcRow, result);
    } else {
        const size_t used = size_t((h.Width * h.BitCount + 7) / 8);
        TProgress& progress = CurrentProgress();
        for (int64_t i = 0; i < h.Height; ++i) {
            progress.Step(i, h.Height);
            std::memcpy(result.ScanLine(int32_t(h.TopDown ? i : h.Height - 1 - i)),
                        pixels + i * srcRow, used);
        }
        result.Palette() = std::move(colours);
    }
    picture.Swap(result);
}

void PutU16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
    PutU16(b, v & 0xFFFF);
    PutU16(b, v >> 16);
}

}  // namespace

void ReadBitmapFile(const uint8_t* data, size_t size, TBitmap& picture) {
    if (size < 2 || data[0] != 'B' || data[1] != 'M') Invalid();
    TByteReader r(data, size, kTruncated);
    r.Skip(10);
    const uint32_t offBits = r.U32LE();
    if (offBits != 0 && offBits < kFileHeaderSize + 4) Invalid();
    Decode(data, size, kFileHeaderSize, offBits, picture);
}

void ReadPackedBitmap(const uint8_t* data, size_t size, TBitmap& picture) {
    Decode(data, size, 0, 0, picture);
}

void TBMPImage::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    ReadBitmapFile(data.data(), data.size(), bitmap_);
}

void TBMPImage::SaveToStream(TStream& stream) {
    SaveBitmapToStream(bitmap_, stream);
}

void SaveBitmapToStream(const TBitmap& picture, TStream& stream) {
    if (picture.Empty()) throw EInvalidGraphic("Cannot save an empty bitmap");
    const int32_t w = picture.Width(), h = picture.Height();
    const TPixelFormat pf = picture.PixelFormat();
    const int bpp = pf == pf15bit ? 16 : BitsPerPixel(pf);
    const uint32_t colours = bpp <= 8 ? 1u << bpp : 0;
    const int64_t rowBytes = RowBytes(w, bpp);
    const int64_t imageSize = CheckedMul(rowBytes, h);
    const int64_t offBits = kFileHeaderSize + kInfoHeaderSize + 4 * int64_t(colours);
    const int64_t fileSize = CheckedAdd(offBits, imageSize);
    if (fileSize > int64_t(UINT32_MAX)) throw EPictureTooLarge();

    std::vector<uint8_t> head;
    head.reserve(size_t(offBits));
    head.push_back('B');
    head.push_back('M');
    PutU32(head, uint32_t(fileSize));
    PutU32(head, 0);
    PutU32(head, uint32_t(offBits));
    PutU32(head, kInfoHeaderSize);
    PutU32(head, uint32_t(w));
    PutU32(head, uint32_t(h));  // positive: rows bottom-up
    PutU16(head, 1);
    PutU16(head, uint32_t(bpp));
    PutU32(head, BI_RGB);
    PutU32(head, uint32_t(imageSize));
    PutU32(head, 0);
    PutU32(head, 0);
    PutU32(head, 0);  // colours used: the depth's full table
    PutU32(head, 0);
    const std::vector<TPaletteEntry>& pal = picture.Palette();
    for (uint32_t i = 0; i < colours; ++i) {
        const TPaletteEntry e = i < pal.size() ? pal[i] : TPaletteEntry{};
        head.push_back(e.Blue);
        head.push_back(e.Green);
        head.push_back(e.Red);
        head.push_back(0);
    }
    stream.Write(head.data(), int64_t(head.size()));

    // Only the pixels' own bits are copied, so padding is always written as zeros.
    const int64_t usedBits = int64_t(w) * bpp;
    const size_t usedBytes = size_t((usedBits + 7) / 8);
    const uint8_t lastMask = usedBits % 8 ? uint8_t(0xFF00 >> (usedBits % 8)) : 0xFF;
    std::vector<uint8_t> row(size_t(rowBytes), 0);
    TProgress& progress = CurrentProgress();
    for (int32_t y = h - 1; y >= 0; --y) {
        progress.Step(h - 1 - y, h);
        std::memcpy(row.data(), picture.ScanLine(y), usedBytes);
        row[usedBytes - 1] &= lastMask;
        stream.Write(row.data(), rowBytes);
    }
}

void TBitmap::SaveToFile(const std::string& fileName) const {
    TSafeFileStream stream(fileName);
    SaveBitmapToStream(*this, stream);
    stream.Commit();
}

}  // namespace tilvo
