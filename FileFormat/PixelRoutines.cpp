#include "PixelRoutines.h"

#include <algorithm>
#include <array>
#include <cstring>

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

}  // namespace tilvo
