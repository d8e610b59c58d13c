#include "PixelRoutines.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TILVO_HAVE_SSSE3_SPLIT 1
#endif

namespace tilvo {

namespace {

[[noreturn]] void Truncated() {
    throw Exception("packed data truncated");
}
[[noreturn]] void Overrun() {
    throw Exception("packed run crosses the end of the row");
}

// For each byte, its eight bits as eight bytes of 0 or 1, most significant bit first in memory.
constexpr std::array<uint64_t, 256> MakeSpreadTable() {
    std::array<uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        uint64_t v = 0;
        for (unsigned i = 0; i < 8; ++i)
            if (b & (0x80u >> i)) v |= uint64_t{1} << (8 * i);  // byte i of the word, little-endian
        t[b] = v;
    }
    return t;
}
constexpr std::array<uint64_t, 256> kSpread = MakeSpreadTable();

bool LittleEndianHost() {
    const uint16_t one = 1;
    uint8_t first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

}  // namespace

namespace {

enum class TUnpack { Ok, Truncated, Overrun };

// Decodes n bytes; *used receives the source bytes consumed when the answer is Ok.
TUnpack Unpack(const uint8_t* src, size_t srcSize, uint8_t* dst, size_t n, size_t* used) {
    size_t in = 0, out = 0;
    while (out < n) {
        if (in >= srcSize) return TUnpack::Truncated;
        const int8_t c = int8_t(src[in++]);
        if (c >= 0) {
            const size_t len = size_t(c) + 1;
            if (len > n - out) return TUnpack::Overrun;
            if (len > srcSize - in) return TUnpack::Truncated;
            std::memcpy(dst + out, src + in, len);
            in += len;
            out += len;
        } else if (c != -128) {
            const size_t len = size_t(1 - int(c));
            if (len > n - out) return TUnpack::Overrun;
            if (in >= srcSize) return TUnpack::Truncated;
            std::memset(dst + out, src[in++], len);
            out += len;
        }
    }
    *used = in;
    return TUnpack::Ok;
}

}  // namespace

std::string TooShortMessage(int64_t width, int64_t height) {
    return "the file is too short for a " + std::to_string(width) + " \u00D7 " +
           std::to_string(height) + " picture";
}

void CheckPictureData(int64_t width, int64_t height, int bitsPerPixel, int64_t fewestBytes,
                      int64_t fileBytes) {
    CheckPictureSize(width, height, bitsPerPixel);
    CheckPictureSize(width, height, 24);
    if (fileBytes < fewestBytes / kShortFileFactor) throw Exception(TooShortMessage(width, height));
}

size_t DecodePackBits(const uint8_t* src, size_t srcSize, uint8_t* dst, size_t n) {
    size_t used = 0;
    switch (Unpack(src, srcSize, dst, n, &used)) {
        case TUnpack::Truncated:
            Truncated();
        case TUnpack::Overrun:
            Overrun();
        case TUnpack::Ok:
            break;
    }
    return used;
}

void DecodePackBits(TByteReader& in, uint8_t* dst, size_t n) {
    size_t used = 0;
    switch (Unpack(in.Data() + in.Pos(), in.Remaining(), dst, n, &used)) {
        case TUnpack::Truncated:
            in.Fail();
        case TUnpack::Overrun:
            Overrun();
        case TUnpack::Ok:
            break;
    }
    in.Skip(used);
}

size_t EncodePackBits(const uint8_t* src, size_t n, uint8_t* dst) {
    uint8_t* out = dst;
    size_t i = 0;
    while (i < n) {
        // A run of equal bytes starting at i.
        size_t run = 1;
        while (i + run < n && run < 128 && src[i + run] == src[i]) ++run;
        if (run >= 3) {
            *out++ = uint8_t(int8_t(1 - int(run)));
            *out++ = src[i];
            i += run;
            continue;
        }
        // A literal stretch up to the next run of three or the 128-byte packet limit.
        size_t j = i;
        while (j < n && j - i < 128) {
            if (j + 2 < n && src[j] == src[j + 1] && src[j] == src[j + 2]) break;
            ++j;
        }
        const size_t len = j - i;
        *out++ = uint8_t(len - 1);
        std::memcpy(out, src + i, len);
        out += len;
        i = j;
    }
    return size_t(out - dst);
}

void MergeBitPlanes(const uint8_t* src, size_t planeStride, int planes, size_t width,
                    uint8_t* dst) {
    if (planes < 1 || planes > 8 || planeStride < (width + 7) / 8)
        throw Exception("bad plane layout");
    const size_t whole = width / 8;
    if (LittleEndianHost()) {
        for (size_t k = 0; k < whole; ++k) {
            uint64_t v = 0;
            for (int p = 0; p < planes; ++p) v |= kSpread[src[p * planeStride + k]] << p;
            std::memcpy(dst + k * 8, &v, 8);
        }
    } else {
        for (size_t k = 0; k < whole; ++k)
            for (int i = 0; i < 8; ++i) {
                uint8_t v = 0;
                for (int p = 0; p < planes; ++p)
                    v |= uint8_t(((src[p * planeStride + k] >> (7 - i)) & 1) << p);
                dst[k * 8 + i] = v;
            }
    }
    for (size_t x = whole * 8; x < width; ++x) {
        uint8_t v = 0;
        for (int p = 0; p < planes; ++p)
            v |= uint8_t(((src[p * planeStride + x / 8] >> (7 - x % 8)) & 1) << p);
        dst[x] = v;
    }
}

void ExpandPackedRow(const uint8_t* src, int bits, size_t width, uint8_t* dst) {
    switch (bits) {
        case 8:
            std::memcpy(dst, src, width);
            return;
        case 4:
            for (size_t x = 0; x + 1 < width; x += 2) {
                dst[x] = src[x / 2] >> 4;
                dst[x + 1] = src[x / 2] & 15;
            }
            if (width & 1) dst[width - 1] = src[width / 2] >> 4;
            return;
        case 2:
            for (size_t x = 0; x < width; ++x) dst[x] = (src[x / 4] >> (6 - 2 * (x % 4))) & 3;
            return;
        case 1: {
            const size_t whole = width / 8;
            if (LittleEndianHost()) {
                for (size_t k = 0; k < whole; ++k) std::memcpy(dst + k * 8, &kSpread[src[k]], 8);
            } else {
                for (size_t x = 0; x < whole * 8; ++x) dst[x] = (src[x / 8] >> (7 - x % 8)) & 1;
            }
            for (size_t x = whole * 8; x < width; ++x) dst[x] = (src[x / 8] >> (7 - x % 8)) & 1;
            return;
        }
        default:
            throw Exception("unsupported bits per pixel");
    }
}

namespace {

void SplitBgrPortable(const uint8_t* s, size_t width, uint8_t* red, uint8_t* green, uint8_t* blue) {
    for (size_t x = 0; x < width; ++x, s += 3) {
        blue[x] = s[0];
        green[x] = s[1];
        red[x] = s[2];
    }
}

#ifdef TILVO_HAVE_SSSE3_SPLIT
// Sixteen pixels a step: three 16-byte loads, each channel gathered from the three by byte
// shuffles (lanes that belong to another load come out zero) and joined with ORs.
[[gnu::target("ssse3")]] void SplitBgrSsse3(const uint8_t* s, size_t width, uint8_t* red,
                                            uint8_t* green, uint8_t* blue) {
    const __m128i bA = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i bB = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
    const __m128i bC = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
    const __m128i gA = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i gB = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1);
    const __m128i gC = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14);
    const __m128i rA = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i rB = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1);
    const __m128i rC = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15);
    size_t x = 0;
    for (; x + 16 <= width; x += 16, s += 48) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
        const __m128i vb =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, bA), _mm_shuffle_epi8(b, bB)),
                         _mm_shuffle_epi8(c, bC));
        const __m128i vg =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, gA), _mm_shuffle_epi8(b, gB)),
                         _mm_shuffle_epi8(c, gC));
        const __m128i vr =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, rA), _mm_shuffle_epi8(b, rB)),
                         _mm_shuffle_epi8(c, rC));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(blue + x), vb);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(green + x), vg);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(red + x), vr);
    }
    SplitBgrPortable(s, width - x, red + x, green + x, blue + x);
}
#endif

}  // namespace

void SplitBgrRow(const uint8_t* bgr, size_t width, uint8_t* red, uint8_t* green, uint8_t* blue,
                 bool allowVector) {
#ifdef TILVO_HAVE_SSSE3_SPLIT
    static const bool has = __builtin_cpu_supports("ssse3");
    if (allowVector && has) return SplitBgrSsse3(bgr, width, red, green, blue);
#endif
    (void)allowVector;
    SplitBgrPortable(bgr, width, red, green, blue);
}

void Widen555Row(const uint8_t* src, size_t width, uint8_t* bgr) {
    for (size_t x = 0; x < width; ++x, src += 2, bgr += 3) {
        const unsigned v = unsigned(src[0]) | unsigned(src[1]) << 8;
        bgr[0] = Widen5(v);
        bgr[1] = Widen5(v >> 5);
        bgr[2] = Widen5(v >> 10);
    }
}

TPaletteEntry Widen555(uint16_t v) {
    TPaletteEntry e;
    e.Red = Widen5(v >> 10);
    e.Green = Widen5(v >> 5);
    e.Blue = Widen5(v);
    return e;
}

std::vector<TPaletteEntry> GrayRamp(int bits) {
    if (bits < 1 || bits > 8) throw Exception("unsupported gray depth");
    const int levels = 1 << bits;
    std::vector<TPaletteEntry> ramp(static_cast<size_t>(levels));
    for (int i = 0; i < levels; ++i) {
        const uint8_t g = uint8_t(i * 255 / (levels - 1));
        ramp[size_t(i)] = TPaletteEntry{g, g, g, 0};
    }
    return ramp;
}

std::vector<TPaletteEntry> PadPalette(const std::vector<TPaletteEntry>& palette, size_t tableSize) {
    std::vector<TPaletteEntry> out(tableSize);
    std::copy_n(palette.begin(), std::min(tableSize, palette.size()), out.begin());
    return out;
}

std::vector<uint8_t> PaletteBytes(const std::vector<TPaletteEntry>& palette, size_t tableSize,
                                  bool bgr) {
    std::vector<uint8_t> out(tableSize * 3, 0);
    const size_t n = std::min(tableSize, palette.size());
    for (size_t i = 0; i < n; ++i) {
        const TPaletteEntry& e = palette[i];
        out[i * 3 + 0] = bgr ? e.Blue : e.Red;
        out[i * 3 + 1] = e.Green;
        out[i * 3 + 2] = bgr ? e.Red : e.Blue;
    }
    return out;
}

void FillRows(TBitmap& picture, int32_t fromRow, int32_t toRow) {
    fromRow = std::max(fromRow, 0);
    toRow = std::min(toRow, picture.Height());
    if (picture.Empty() || fromRow >= toRow) return;
    const size_t rowBytes = size_t(RowBytes(picture.Width(), BitsPerPixel(picture.PixelFormat())));
    for (int32_t y = fromRow; y < toRow; ++y) std::memset(picture.ScanLine(y), 0, rowBytes);
}

uint32_t TBitReader::Read(int n) {
    if (n < 0 || n > 32) throw Exception("bad bit count");
    if (uint64_t(n) > BitsLeft()) throw Exception(truncated_);
    uint32_t v = 0;
    while (n > 0) {
        const unsigned inByte = unsigned(bitPos_ & 7);
        const int take = std::min(n, int(8 - inByte));
        const unsigned byte = data_[bitPos_ >> 3];
        const unsigned bitsVal = (byte >> (8 - inByte - unsigned(take))) & ((1u << take) - 1);
        v = uint32_t((uint64_t(v) << take) | bitsVal);
        n -= take;
        bitPos_ += uint64_t(take);
    }
    return v;
}

void PlaceOrientedRow(const uint8_t* src, int32_t r, int32_t w, int32_t h, int bpp, int orientation,
                      uint8_t* const* rows) noexcept {
    const size_t n = size_t(bpp);
    // Orientations 2 to 4 keep the row a row (mirrored and/or moved); 5 to 8 make it a column.
    if (orientation <= 4) {
        uint8_t* out = rows[orientation == 2 ? r : h - 1 - r];
        if (orientation == 4) {
            std::memcpy(out, src, size_t(w) * n);
            return;
        }
        out += size_t(w - 1) * n;
        for (int32_t c = 0; c < w; ++c, src += n, out -= n)
            for (size_t k = 0; k < n; ++k) out[k] = src[k];
        return;
    }
    // The column: x = r (5, 8) or h - 1 - r (6, 7); y runs down with c (5, 6) or up (7, 8).
    const size_t x = size_t(orientation == 5 || orientation == 8 ? r : h - 1 - r) * n;
    const bool down = orientation == 5 || orientation == 6;
    uint8_t* const* row = rows + (down ? 0 : w - 1);
    const std::ptrdiff_t step = down ? 1 : -1;
    for (int32_t c = 0; c < w; ++c, src += n, row += step) {
        uint8_t* out = *row + x;
        for (size_t k = 0; k < n; ++k) out[k] = src[k];
    }
}

}  // namespace tilvo
