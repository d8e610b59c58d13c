// Reading Paint Shop Pro files: the block walk, the single raster layer and the JPEG composite.
#include "PSPImage.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ByteReader.h"
#include "JPEGImage.h"
#include "PixelRoutines.h"

namespace tilvo {

namespace {

constexpr const char* kTruncated = "Paint Shop Pro file truncated";
// The signature with its line feed, 0x1A and five zero bytes (the literal's own terminator is the
// last of them).
constexpr char kSignature[] = "Paint Shop Pro Image File\n\x1a\0\0\0\0";
static_assert(sizeof kSignature == 32);

enum TBlockId : uint16_t {
    biGeneralAttributes = 0,
    biColorPalette = 2,
    biLayerBank = 3,
    biLayer = 4,
    biChannel = 5,
    biCompositeBank = 16,
    biJpegComposite = 18,
};

enum TCompression : uint16_t { pcNone = 0, pcRle = 1, pcDeflate = 2 };

[[noreturn]] void Invalid(const char* text) {
    throw EInvalidGraphic(text);
}

// A block: its id and where its body lies in the file.
struct TBlock {
    uint16_t Id = 0;
    size_t Start = 0, End = 0;
};

// Reads the block header at the reader's position: "~BK\0", the id, and the body length (version
// 3 headers, 14 bytes, carry an initial length before it). The body must lie inside the reader's
// range; the reader is left at the body's start.
TBlock ReadBlockHeader(TByteReader& r, int major) {
    if (r.Remaining() < 4 || std::memcmp(r.Data() + r.Pos(), "~BK\0", 4) != 0)
        Invalid("Can not find block");
    r.Skip(4);
    TBlock b;
    b.Id = r.U16LE();
    if (major == 3) r.U32LE();  // initial length
    const uint32_t length = r.U32LE();
    b.Start = r.Pos();
    if (length > r.Remaining()) r.Fail();
    b.End = b.Start + length;
    return b;
}

// A reader over one block's body.
TByteReader BodyReader(const uint8_t* data, const TBlock& b) {
    TByteReader r(data, b.End, kTruncated);
    r.Seek(b.Start);
    return r;
}

// Versions 4 and 5 open each chunk with its size, which covers fields later versions may add;
// after reading what it needs the reader moves to the chunk's end.
size_t ChunkEnd(TByteReader& r, size_t chunkStart, int major) {
    if (major == 3) return 0;
    const uint32_t size = r.U32LE();
    if (size < 4 || size > r.Size() - chunkStart) Invalid("Invalid Paint Shop Pro chunk size");
    return chunkStart + size;
}
void SeekChunkEnd(TByteReader& r, size_t end) {
    if (end == 0) return;
    if (end < r.Pos()) Invalid("Invalid Paint Shop Pro chunk size");
    r.Seek(end);
}

// Inflate bounded by the channel's uncompressed length: the output buffer is exactly that long,
// so a small stream that would expand without end stops there.
void Inflate(const uint8_t* src, uint32_t srcSize, uint8_t* dst, size_t n) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) Invalid("Zlib inflate init error");
    struct TEnd {
        z_stream* Z;
        ~TEnd() { inflateEnd(Z); }
    } end{&z};
    z.next_in = const_cast<Bytef*>(src);
    z.avail_in = srcSize;
    size_t done = 0;
    while (done < n) {
        const uInt chunk = uInt(std::min<size_t>(n - done, 1u << 30));
        z.next_out = dst + done;
        z.avail_out = chunk;
        const int rc = inflate(&z, Z_NO_FLUSH);
        done += chunk - z.avail_out;
        if (rc == Z_STREAM_END || rc == Z_BUF_ERROR) break;  // the end, or the input ran out
        if (rc != Z_OK) Invalid("Paint Shop Pro channel data is corrupt");
    }
    if (done < n) Invalid("Paint Shop Pro channel data is incomplete");
}

// Run-length: a control byte c of 128 is skipped, above 128 repeats the next byte c - 128 times,
// below 128 copies the next c bytes.
void DecodeRle(const uint8_t* src, size_t srcSize, uint8_t* dst, size_t n) {
    size_t in = 0, out = 0;
    while (out < n) {
        if (in >= srcSize) Invalid("Paint Shop Pro channel data is incomplete");
        const unsigned c = src[in++];
        if (c == 128) continue;
        const size_t count = c > 128 ? c - 128 : c;
        if (count > n - out) Invalid("Paint Shop Pro run crosses the end of the channel");
        if (c > 128) {
            if (in >= srcSize) Invalid("Paint Shop Pro channel data is incomplete");
            std::memset(dst + out, src[in++], count);
        } else {
            if (count > srcSize - in) Invalid("Paint Shop Pro channel data is incomplete");
            std::memcpy(dst + out, src + in, count);
            in += count;
        }
        out += count;
    }
}

void DecodeChannel(TCompression compression, const uint8_t* src, uint32_t srcSize, uint8_t* dst,
                   size_t n) {
    switch (compression) {
        case pcNone:
            if (srcSize < n) Invalid("Paint Shop Pro channel data is incomplete");
            std::memcpy(dst, src, n);
            break;
        case pcRle:
            DecodeRle(src, srcSize, dst, n);
            break;
        case pcDeflate:
            Inflate(src, srcSize, dst, n);
            break;
    }
}

void PutIndex(uint8_t* row, int64_t x, int bits, uint8_t v) {
    if (bits == 8) {
        row[x] = v;
        return;
    }
    const int perByte = 8 / bits;
    const int shift = 8 - bits * int(x % perByte + 1);
    const uint8_t mask = uint8_t(((1u << bits) - 1) << shift);
    uint8_t& b = row[x / perByte];
    b = uint8_t((b & ~mask) | ((v << shift) & mask));
}

struct TCanvasInfo {
    int Major = 5;
    TCompression Compression = pcNone;
    int Bits = 24;
    int32_t Width = 0, Height = 0;
    TPixelFormat Format = pf24bit;
    std::vector<TPaletteEntry> Palette;
};

// Decodes the layer bank into `canvas`, made here (black, or palette index 0) once the layer's
// channels have decoded. Answers false when the bank is not a single usable raster layer; the
// canvas is then untouched.
bool DecodeLayerBank(const uint8_t* data, const TBlock& bank, const TCanvasInfo& info,
                     TBitmap& canvas) {
    TByteReader b = BodyReader(data, bank);
    if (b.AtEnd()) return false;
    const TBlock layer = ReadBlockHeader(b, info.Major);
    if (layer.Id != biLayer || layer.End != bank.End) return false;  // not exactly one layer

    TByteReader l = BodyReader(data, layer);
    const size_t infoStart = l.Pos();
    const size_t infoEnd = ChunkEnd(l, infoStart, info.Major);
    if (info.Major == 3)
        l.Skip(256);  // the name
    else
        l.Skip(l.U16LE());
    const uint8_t type = l.U8();
    int64_t image[4], saved[4];  // left, top, right, bottom
    for (int64_t& v : image) v = l.S32LE();
    for (int64_t& v : saved) v = l.S32LE();
    if (type == 3) return false;

    int channels = info.Bits == 24 ? 3 : 1;
    if (info.Major == 3) {
        // Opacity, blending, visibility, protection, link group, the mask rectangles, the mask
        // flags, the blend range count and the ranges; then the bitmap and channel counts.
        l.Skip(5 + 32 + 3 + 2 + 40);
        l.U16LE();
        l.U16LE();
    } else {
        SeekChunkEnd(l, infoEnd);
        const size_t bitmapStart = l.Pos();
        const size_t bitmapEnd = ChunkEnd(l, bitmapStart, info.Major);
        l.U16LE();  // bitmap count
        const uint16_t count = l.U16LE();
        if (info.Bits == 24) {
            if (count != 3 && count != 4) Invalid("Invalid Paint Shop Pro channel count");
            channels = count;
        } else if (count < 1) {
            Invalid("Invalid Paint Shop Pro channel count");
        }
        SeekChunkEnd(l, bitmapEnd);
    }

    const int64_t width = saved[2] - saved[0], height = saved[3] - saved[1];
    if (width < 0 || height < 0) Invalid("Invalid Paint Shop Pro layer rectangle");
    if (width == 0 || height == 0) return false;  // a layer of no pixels shows nothing
    CheckPictureSize(width, height, info.Bits == 24 ? 32 : info.Bits);
    // A canvas far larger than the one layer that covers it is refused like a short file: its
    // memory would not be paid for by any data.
    const int64_t canvasArea = int64_t(info.Width) * info.Height;
    if (canvasArea > kSparseCanvasPixels && canvasArea / kShortFileFactor > width * height)
        throw EInvalidGraphic(TooShortMessage(info.Width, info.Height));
    // 1- and 4-bit rows are padded to 4 bytes. 8-bit rows come either way (Paint Shop Pro writes
    // them unpadded): the channel's uncompressed length tells which.
    int64_t rowLen = info.Bits == 24 ? width : RowBytes(width, info.Bits);
    size_t planeSize = size_t(CheckedMul(rowLen, height));

    std::vector<uint8_t> planes;  // allocated once the first channel shows it can fill them
    for (int c = 0; c < channels; ++c) {
        const TBlock ch = ReadBlockHeader(l, info.Major);
        if (ch.Id != biChannel) return false;
        TByteReader cr = BodyReader(data, ch);
        const size_t chStart = cr.Pos();
        const size_t chEnd = ChunkEnd(cr, chStart, info.Major);
        const uint32_t compressed = cr.U32LE();
        const uint32_t uncompressed = cr.U32LE();
        cr.U16LE();  // bitmap type
        cr.U16LE();  // channel type
        SeekChunkEnd(cr, chEnd);
        if (info.Bits == 8 && c == 0 && uncompressed < planeSize &&
            uint64_t(uncompressed) >= uint64_t(width) * uint64_t(height)) {
            rowLen = width;
            planeSize = size_t(width * height);
        }
        if (uncompressed < planeSize) Invalid("Paint Shop Pro channel is smaller than its layer");
        const uint8_t* src = cr.Bytes(compressed);
        // No stream expands more than this (a run-length pair gives 127 bytes, deflate at most
        // about 1032 times its size): a channel that cannot fill its plane fails before any
        // memory is taken for it.
        const uint64_t most = info.Compression == pcNone  ? compressed
                              : info.Compression == pcRle ? uint64_t(compressed) * 64
                                                          : uint64_t(compressed) * 1032 + 64;
        if (most < planeSize) Invalid("Paint Shop Pro channel data is incomplete");
        if (planes.empty()) planes.resize(planeSize * size_t(channels));
        DecodeChannel(info.Compression, src, compressed, planes.data() + planeSize * size_t(c),
                      planeSize);
        l.Seek(ch.End);
    }

    canvas.Resize(info.Width, info.Height, info.Format);
    canvas.Palette() = info.Palette;
    FillSurface(canvas);

    // Place the layer at its offsets, clipped to the canvas.
    const int64_t left = image[0] + saved[0], top = image[1] + saved[1];
    const int64_t x0 = std::max<int64_t>(left, 0), y0 = std::max<int64_t>(top, 0);
    const int64_t x1 = std::min<int64_t>(left + width, canvas.Width());
    const int64_t y1 = std::min<int64_t>(top + height, canvas.Height());
    std::vector<uint8_t> indices(info.Bits == 24 ? 0 : size_t(width));
    for (int64_t y = y0; y < y1; ++y) {
        uint8_t* d = canvas.ScanLine(int32_t(y));
        const size_t srcRow = size_t((y - top) * rowLen);
        if (info.Bits != 24) {
            ExpandPackedRow(planes.data() + srcRow, info.Bits, size_t(width), indices.data());
            for (int64_t x = x0; x < x1; ++x) PutIndex(d, x, info.Bits, indices[size_t(x - left)]);
            continue;
        }
        const uint8_t* red = planes.data() + srcRow;
        const uint8_t* green = red + planeSize;
        const uint8_t* blue = green + planeSize;
        const uint8_t* alpha = channels == 4 ? blue + planeSize : nullptr;
        for (int64_t x = x0; x < x1; ++x) {
            const size_t i = size_t(x - left);
            uint8_t* p = d + x * 3;
            if (!alpha) {
                p[0] = blue[i], p[1] = green[i], p[2] = red[i];
            } else {
                // Rounded division by 255, so that alpha 255 shows the layer exactly.
                const unsigned a = alpha[i], na = 255 - a;
                p[0] = uint8_t((a * blue[i] + na * p[0] + 127) / 255);
                p[1] = uint8_t((a * green[i] + na * p[1] + 127) / 255);
                p[2] = uint8_t((a * red[i] + na * p[2] + 127) / 255);
            }
        }
    }
    return true;
}

// The JPEG data of the composite image bank's JPEG composites, in file order.
void FindJpegComposites(const uint8_t* data, const TBlock& bank, int major,
                        std::vector<std::pair<const uint8_t*, uint32_t>>& jpegs) {
    TByteReader b = BodyReader(data, bank);
    const size_t infoEnd = ChunkEnd(b, b.Pos(), major);
    b.U32LE();  // composite image count
    SeekChunkEnd(b, infoEnd);
    while (!b.AtEnd()) {
        const TBlock sub = ReadBlockHeader(b, major);
        if (sub.Id == biJpegComposite) {
            TByteReader j = BodyReader(data, sub);
            const size_t end = ChunkEnd(j, j.Pos(), major);
            const uint32_t compressed = j.U32LE();
            j.U32LE();  // uncompressed size
            j.U16LE();  // image type
            SeekChunkEnd(j, end);
            jpegs.emplace_back(j.Bytes(compressed), compressed);
        }
        b.Seek(sub.End);
    }
}

}  // namespace

void ReadPspFile(const uint8_t* data, size_t size, TBitmap& picture) {
    if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0)
        Invalid("Invalid signature");
    TByteReader r(data, size, kTruncated);
    r.Skip(sizeof kSignature);
    TCanvasInfo info;
    info.Major = r.U16LE();
    r.U16LE();  // minor version
    if (info.Major < 3 || info.Major > 5) Invalid("PSP version error");

    const TBlock attributes = ReadBlockHeader(r, info.Major);
    if (attributes.Id != biGeneralAttributes) Invalid("Can not find [General Image Attributes]");
    TByteReader a = BodyReader(data, attributes);
    ChunkEnd(a, a.Pos(), info.Major);
    const int64_t width = a.S32LE(), height = a.S32LE();
    a.Skip(8 + 1);  // resolution and its unit
    const uint16_t compression = a.U16LE();
    info.Bits = a.U16LE();
    a.U16LE();  // plane count
    a.U32LE();  // colour count
    a.U8();     // gray flag: gray files have no palette block, and a gray ramp is the default
    if (info.Bits != 1 && info.Bits != 4 && info.Bits != 8 && info.Bits != 24)
        Invalid("BitDepth error");
    if (compression > pcDeflate) Invalid("Unknown Paint Shop Pro compression");
    info.Compression = TCompression(compression);
    if (width <= 0 || height <= 0) Invalid("Paint Shop Pro picture is empty");
    const TPixelFormat pf = info.Bits == 1   ? pf1bit
                            : info.Bits == 4 ? pf4bit
                            : info.Bits == 8 ? pf8bit
                                             : pf24bit;
    CheckPictureSize(width, height, 24);
    r.Seek(attributes.End);

    info.Width = int32_t(width);
    info.Height = int32_t(height);
    info.Format = pf;
    if (info.Bits <= 8) info.Palette = GrayRamp(info.Bits);

    TBitmap result;
    bool fromLayer = false;
    std::vector<std::pair<const uint8_t*, uint32_t>> jpegs;
    size_t composites = 0;
    std::string layerError;  // why the layer bank did not decode
    while (!r.AtEnd() && !fromLayer) {
        const TBlock block = ReadBlockHeader(r, info.Major);
        switch (block.Id) {
            case biColorPalette: {
                if (info.Bits > 8) break;
                TByteReader p = BodyReader(data, block);
                const size_t end = ChunkEnd(p, p.Pos(), info.Major);
                const uint32_t count = p.U32LE();
                SeekChunkEnd(p, end);
                if (count > 256) Invalid("Invalid Paint Shop Pro palette");
                const uint8_t* entries = p.Bytes(uint64_t(count) * 4);
                std::vector<TPaletteEntry> palette(count);
                for (uint32_t i = 0; i < count; ++i)
                    palette[i] = {entries[4 * i + 2], entries[4 * i + 1], entries[4 * i], 0};
                info.Palette = PadPalette(palette, size_t(1) << info.Bits);
                break;
            }
            case biCompositeBank: {
                const size_t before = jpegs.size();
                FindJpegComposites(data, block, info.Major, jpegs);
                composites += jpegs.size() - before;
                break;
            }
            case biLayerBank:
                // A layer that does not decode leaves the composite picture, when there is one.
                try {
                    fromLayer = DecodeLayerBank(data, block, info, result);
                } catch (const Exception& e) {
                    layerError = e.what();
                }
                break;
            default:
                break;
        }
        r.Seek(block.End);
    }

    if (!fromLayer) {
        if (jpegs.empty() && !layerError.empty()) throw EInvalidGraphic(layerError);
        if (jpegs.empty())
            Invalid("Paint Shop Pro file has neither a usable layer nor a composite picture");
        // The first composite is usually the thumbnail: the second is the full picture.
        const auto& jpeg = jpegs[composites >= 2 ? 1 : 0];
        TBitmap composite;
        try {
            TJPEGImage decoder;
            TMemoryStream stream(std::vector<uint8_t>(jpeg.first, jpeg.first + jpeg.second));
            decoder.LoadFromStream(stream);
            decoder.AssignTo(composite);
        } catch (const Exception& e) {
            throw EInvalidGraphic(std::string("Paint Shop Pro composite picture: ") + e.what());
        }
        if (composite.Empty()) Invalid("Paint Shop Pro composite picture is empty");
        result.Swap(composite);
    }
    picture.Swap(result);
}

void TPSPImage::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> data = stream.ReadAll();
    TBitmap decoded;
    ReadPspFile(data.data(), data.size(), decoded);
    bitmap_.Swap(decoded);
    holder_->Stream.swap(data);
}

}  // namespace tilvo
