// Reading and writing Targa files.
#include "TGAImage.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "ByteReader.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tilvo {

namespace {

constexpr const char* kSignature = "Signature err";
constexpr const char* kTruncated = "Targa file truncated";
constexpr const char* kRleEnded = "Targa run-length data ends before the last pixel";
constexpr int64_t kMaxSide = 65535;

struct TTgaHeader {
    uint8_t IdLength = 0;
    uint8_t ColorMapType = 0;
    uint8_t ImageType = 0;
    uint16_t FirstIndex = 0;
    uint16_t MapLength = 0;
    uint8_t MapEntryBits = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Depth = 0;
    uint8_t Descriptor = 0;
};

TTgaHeader ReadHeader(TByteReader& r) {
    TTgaHeader h;
    h.IdLength = r.U8();
    h.ColorMapType = r.U8();
    h.ImageType = r.U8();
    h.FirstIndex = r.U16LE();
    h.MapLength = r.U16LE();
    h.MapEntryBits = r.U8();
    r.U16LE();  // x origin
    r.U16LE();  // y origin
    h.Width = r.U16LE();
    h.Height = r.U16LE();
    h.Depth = r.U8();
    h.Descriptor = r.U8();
    return h;
}

// The colour map of a colour-mapped file as a 256-entry palette: entry k of the map is palette
// entry first + k; entries the map does not give, and map entries beyond 255, stay black.
std::vector<TPaletteEntry> ReadColorMap(const TTgaHeader& h, TByteReader& r) {
    const int entryBytes = (h.MapEntryBits + 7) / 8;
    const uint8_t* map = r.Bytes(uint64_t(h.MapLength) * uint64_t(entryBytes));
    std::vector<TPaletteEntry> palette(256);
    for (uint32_t k = 0; k < h.MapLength && h.FirstIndex + k < 256; ++k) {
        const uint8_t* e = map + size_t(k) * size_t(entryBytes);
        palette[h.FirstIndex + k] = entryBytes == 2 ? Widen555(uint16_t(e[0] | e[1] << 8))
                                                    : TPaletteEntry{e[2], e[1], e[0], 0};
    }
    return palette;
}

// Mirrors a row of `width` pixels of `bytes` bytes each.
void MirrorRow(uint8_t* row, int32_t width, int bytes) {
    uint8_t* a = row;
    uint8_t* b = row + size_t(width - 1) * size_t(bytes);
    for (; a < b; a += bytes, b -= bytes)
        for (int i = 0; i < bytes; ++i) std::swap(a[i], b[i]);
}

// Writes the rows of the picture in file order: the first stored row is the bottom one unless
// the file says top-down; rows are mirrored as they are finished when the file says right to left.
class TRowTarget {
  public:
    TRowTarget(TBitmap& out, bool topDown, bool rightToLeft, int pixelBytes)
        : out_(out),
          topDown_(topDown),
          rightToLeft_(rightToLeft),
          bytes_(pixelBytes),
          height_(out.Height()) {}
    bool Done() const { return row_ >= height_; }
    uint8_t* Row() { return out_.ScanLine(topDown_ ? row_ : height_ - 1 - row_); }
    void Finish() {
        if (rightToLeft_) MirrorRow(Row(), out_.Width(), bytes_);
        ++row_;
    }

  private:
    TBitmap& out_;
    bool topDown_, rightToLeft_;
    int bytes_;
    int32_t height_;
    int32_t row_ = 0;
};

// Stored pixels to surface pixels: 15/16-bit values widen to B, G, R; the rest are copied.
void ConvertPixels(const uint8_t* src, uint8_t* dst, size_t n, int srcBytes) {
    if (srcBytes == 2)
        Widen555Row(src, n, dst);
    else
        std::memcpy(dst, src, n * size_t(srcBytes));
}

void FillPixels(uint8_t* dst, const uint8_t* pixel, size_t n, int bytes) {
    if (bytes == 1) {
        std::memset(dst, pixel[0], n);
        return;
    }
    for (size_t i = 0; i < n; ++i, dst += bytes) std::memcpy(dst, pixel, size_t(bytes));
}

void DecodePlain(TByteReader& r, int srcBytes, TRowTarget& rows, int32_t width, int32_t height) {
    const size_t rowBytes = size_t(width) * size_t(srcBytes);
    // Every row must be in the file: checked before the first one is decoded.
    const uint8_t* src = r.Bytes(uint64_t(rowBytes) * uint64_t(height));
    for (; !rows.Done(); src += rowBytes) {
        ConvertPixels(src, rows.Row(), size_t(width), srcBytes);
        rows.Finish();
    }
}

// Run-length packets straight into the rows; a packet may run on into the next row and is cut at
// the last pixel of the picture. Data that ends before the last pixel fails.
void DecodeRle(TByteReader& r, int srcBytes, int dstBytes, TRowTarget& rows, int32_t width) {
    int32_t x = 0;
    uint8_t* row = rows.Row();
    uint8_t pixel[4];
    while (!rows.Done()) {
        const uint8_t head = r.U8();
        int32_t n = (head & 0x7F) + 1;
        const bool run = head & 0x80;
        const uint8_t* src = nullptr;
        if (run) ConvertPixels(r.Bytes(uint64_t(srcBytes)), pixel, 1, srcBytes);
        while (n > 0 && !rows.Done()) {
            const int32_t take = std::min(n, width - x);
            uint8_t* dst = row + size_t(x) * size_t(dstBytes);
            if (run) {
                FillPixels(dst, pixel, size_t(take), dstBytes);
            } else {
                src = r.Bytes(uint64_t(take) * uint64_t(srcBytes));
                ConvertPixels(src, dst, size_t(take), srcBytes);
            }
            n -= take;
            x += take;
            if (x == width) {
                rows.Finish();
                x = 0;
                if (!rows.Done()) row = rows.Row();
            }
        }
    }
}

void PutU16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// A pixel of B bytes as one number, for comparing whole pixels.
template <int B>
uint32_t Key(const uint8_t* p) {
    if constexpr (B == 1)
        return p[0];
    else
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
}

// The first pixel j in [from, limit) that equals its successor (j + 1 < w), else limit. Photos
// are mostly literals, so this search is where the encoder spends its time: with SSE2 it compares
// 16 bytes with the 16 bytes one pixel further at once.
template <int B>
int32_t FirstRepeat(const uint8_t* px, int32_t from, int32_t limit, int32_t w) {
    int32_t j = from;
#ifdef __SSE2__
    // Each step looks at pixels j … j + step - 1 and their successors: 16 + B bytes from j on.
    constexpr int32_t step = B == 1 ? 16 : 5;
    while (j < limit && int64_t(j) * B + B + 16 <= int64_t(w) * B) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + size_t(j) * B));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + size_t(j) * B + B));
        const unsigned m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
        // A pixel equals its successor when all of its B bytes do.
        const unsigned hits = B == 1 ? m : m & (m >> 1) & (m >> 2) & 0x1249u;
        if (hits) return std::min(limit, j + int32_t(std::countr_zero(hits)) / B);
        j += step;
    }
#endif
    for (; j < limit; ++j)
        if (j + 1 < w && Key<B>(px + size_t(j) * B) == Key<B>(px + size_t(j + 1) * B)) return j;
    return limit;
}

template <int B>
size_t EncodeRow(const uint8_t* px, int32_t w, uint8_t* out) {
    uint8_t* o = out;
    int32_t x = 0;
    while (x < w) {
        const int32_t limit = std::min(w, x + 128);
        const uint32_t first = Key<B>(px + size_t(x) * B);
        if (x + 1 < w && Key<B>(px + size_t(x + 1) * B) == first) {
            int32_t end = x + 2;
            while (end < limit && Key<B>(px + size_t(end) * B) == first) ++end;
            *o++ = uint8_t(0x80 | (end - x - 1));
            std::memcpy(o, px + size_t(x) * B, B);
            o += B;
            x = end;
        } else {
            // The literal ends before the first pixel that equals its successor.
            const int32_t end = FirstRepeat<B>(px, x + 1, limit, w);
            const int32_t n = end - x;
            *o++ = uint8_t(n - 1);
            std::memcpy(o, px + size_t(x) * B, size_t(n) * B);
            o += size_t(n) * B;
            x = end;
        }
    }
    return size_t(o - out);
}

}  // namespace

size_t EncodeTargaRow(const uint8_t* pixels, int32_t width, int pixelBytes, uint8_t* out) {
    return pixelBytes == 1 ? EncodeRow<1>(pixels, width, out) : EncodeRow<3>(pixels, width, out);
}

void TTGAImage::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    if (data.empty()) throw EInvalidGraphic(kSignature);
    TByteReader r(data.data(), data.size(), kTruncated);
    const TTgaHeader h = ReadHeader(r);

    const int kind = h.ImageType & ~8;  // 1 colour-mapped, 2 true colour, 3 gray
    if (h.ImageType > 11 || kind < 1 || kind > 3)
        throw EInvalidGraphic("Unsupported Targa image type " + std::to_string(h.ImageType));
    const bool depthFits =
        kind == 2 ? h.Depth == 15 || h.Depth == 16 || h.Depth == 24 || h.Depth == 32 : h.Depth == 8;
    if (!depthFits)
        throw EInvalidGraphic("Unsupported Targa pixel depth " + std::to_string(h.Depth));
    if (h.ColorMapType > 1) throw EInvalidGraphic("Invalid Targa colour map type");
    if (kind == 1 && h.ColorMapType != 1) throw EInvalidGraphic("Targa colour map missing");
    if (h.ColorMapType == 1 && kind == 1 && h.MapEntryBits != 15 && h.MapEntryBits != 16 &&
        h.MapEntryBits != 24 && h.MapEntryBits != 32)
        throw EInvalidGraphic("Unsupported Targa colour map entry size");
    if (h.Width == 0 || h.Height == 0) throw EInvalidGraphic("Targa picture has no pixels");

    const int srcBytes = (h.Depth + 7) / 8;
    const TPixelFormat pf = h.Depth == 8 ? pf8bit : h.Depth == 32 ? pf32bit : pf24bit;
    const int dstBytes = h.Depth == 8 ? 1 : h.Depth == 32 ? 4 : 3;
    const bool rle = h.ImageType & 8;
    {
        const int64_t pixels = CheckedMul(h.Width, h.Height);
        CheckPictureData(h.Width, h.Height, BitsPerPixel(pf),
                         rle ? pixels / 128 * (1 + srcBytes) : CheckedMul(pixels, srcBytes),
                         int64_t(data.size()));
    }

    r.Skip(h.IdLength);
    std::vector<TPaletteEntry> palette;
    if (kind == 1) {
        palette = ReadColorMap(h, r);
    } else {
        // A map in a true-colour or gray file is of no use, but its bytes come before the pixels.
        if (h.ColorMapType == 1) r.Skip(uint64_t(h.MapLength) * uint64_t((h.MapEntryBits + 7) / 8));
        if (kind == 3) palette = GrayRamp(8);
    }

    // Nothing is allocated for pixels the data cannot hold: a packet of at most 128 pixels takes
    // at least a header byte and one pixel.
    const uint64_t pixels = uint64_t(h.Width) * h.Height;
    const uint64_t remaining = r.Remaining();
    if (rle ? remaining / uint64_t(1 + srcBytes) * 128 < pixels
            : remaining / uint64_t(srcBytes) < pixels)
        throw EInvalidGraphic(rle ? kRleEnded : kTruncated);

    bitmap_.Resize(h.Width, h.Height, pf);
    bitmap_.Palette() = std::move(palette);
    TRowTarget rows(bitmap_, h.Descriptor & 0x20, h.Descriptor & 0x10, dstBytes);
    if (rle) {
        try {
            DecodeRle(r, srcBytes, dstBytes, rows, h.Width);
        } catch (const Exception&) {  // the data ran out
            throw EInvalidGraphic(kRleEnded);
        }
    } else {
        DecodePlain(r, srcBytes, rows, h.Width, h.Height);
    }

    TopDown = h.Descriptor & 0x20;
    RightToLeft = h.Descriptor & 0x10;
    PixelDepth = h.Depth;
    RLEInput = rle;
}

void TTGAImage::SaveToStream(TStream& stream) {
    WriteTarga(bitmap_, RLECompression, stream);
}

void WriteTarga(const TBitmap& picture, bool rleCompression, TStream& stream) {
    if (picture.Empty()) throw EInvalidGraphic("Cannot save an empty picture");
    if (picture.Width() > kMaxSide || picture.Height() > kMaxSide)
        throw EInvalidGraphic("Targa files hold at most 65535 pixels a side");

    const bool mapped = picture.PixelFormat() == pf8bit && !picture.Palette().empty();
    TBitmap converted;
    const TBitmap* p = &picture;
    if (!mapped && picture.PixelFormat() != pf24bit) {
        converted.Assign(picture);
        converted.SetPixelFormat(pf24bit);
        p = &converted;
    }
    const int32_t w = p->Width(), h = p->Height();
    const int bytes = mapped ? 1 : 3;

    uint8_t header[18] = {};
    header[1] = mapped ? 1 : 0;
    header[2] = uint8_t((mapped ? 1 : 2) + (rleCompression ? 8 : 0));
    PutU16(header + 5, mapped ? 256 : 0);
    header[7] = mapped ? 24 : 0;
    PutU16(header + 12, uint32_t(w));
    PutU16(header + 14, uint32_t(h));
    header[16] = mapped ? 8 : 24;
    stream.Write(header, sizeof header);
    if (mapped) {
        const std::vector<uint8_t> map = PaletteBytes(p->Palette(), 256, true);
        stream.Write(map.data(), int64_t(map.size()));
    }

    const size_t rowBytes = size_t(w) * size_t(bytes);
    if (!rleCompression) {
        TProgress& progress = CurrentProgress();
        for (int32_t y = h - 1; y >= 0; --y) {
            progress.Step(h - 1 - y, h);
            stream.Write(p->ScanLine(y), int64_t(rowBytes));
        }
        return;
    }
    // Encoded rows are gathered into blocks of about 256 KiB before they go to the stream.
    const size_t worst = size_t(w) * size_t(bytes + 1);
    std::vector<uint8_t> block(std::max<size_t>(worst, size_t(1) << 18));
    size_t used = 0;
    TProgress& progress = CurrentProgress();
    for (int32_t y = h - 1; y >= 0; --y) {
        progress.Step(h - 1 - y, h);
        if (block.size() - used < worst) {
            stream.Write(block.data(), int64_t(used));
            used = 0;
        }
        used += EncodeTargaRow(p->ScanLine(y), w, bytes, block.data() + used);
    }
    stream.Write(block.data(), int64_t(used));
}

bool SaveTarga(TBitmap& picture, const std::string& fileName, bool rleCompression,
               std::string* why) {
    // The writer takes the picture as it is: nothing is changed, so no copy is needed.
    return AnswerWriter(why, [&] {
        TSafeFileStream stream(fileName);
        WriteTarga(picture, rleCompression, stream);
        stream.Commit();
    });
}

}  // namespace tilvo
