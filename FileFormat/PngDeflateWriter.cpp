// The PNG encoder on libdeflate. libdeflate compresses whole buffers only, so every filtered row
// (each with its filter-type byte, pass after pass when interlaced) is gathered first, then
// compressed as one zlib stream and cut into IDAT chunks of at most 1 MiB.
#include "FileFormat/PngDeflateWriter.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace tilvo {

namespace {

constexpr size_t kIdatChunkBytes = size_t{1} << 20;

// Adam7: where each pass starts and how far apart its pixels and rows are.
constexpr uint32_t kPassX0[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr uint32_t kPassY0[7] = {0, 0, 4, 0, 2, 0, 1};
constexpr uint32_t kPassDX[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr uint32_t kPassDY[7] = {8, 8, 8, 4, 4, 2, 2};

uint32_t PassSize(uint32_t size, uint32_t start, uint32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

struct TPass {
    uint32_t X0, Y0, DX, DY, Width, Height;
};

std::vector<TPass> PassesOf(const TPngLayout& layout) {
    std::vector<TPass> passes;
    if (!layout.Interlaced) {
        passes.push_back({0, 0, 1, 1, layout.Width, layout.Height});
        return passes;
    }
    for (int p = 0; p < 7; ++p) {
        const TPass pass{kPassX0[p],
                         kPassY0[p],
                         kPassDX[p],
                         kPassDY[p],
                         PassSize(layout.Width, kPassX0[p], kPassDX[p]),
                         PassSize(layout.Height, kPassY0[p], kPassDY[p])};
        if (pass.Width > 0 && pass.Height > 0) passes.push_back(pass);  // empty passes are skipped
    }
    return passes;
}

// The cost libpng's heuristic gives a filtered row: the sum of its bytes taken as signed values,
// without their signs.
inline uint32_t Cost(uint8_t v) {
    return uint32_t(std::abs(int(int8_t(v))));
}

// Filters one row of n bytes (bpp bytes per pixel) with each of the four predictors into the
// scratch rows and answers the cheapest filter type; the winner's bytes are in choice[type].
// `prev` is the unfiltered row above (zeros on a pass's first row).
class TRowFilter {
  public:
    TRowFilter(size_t n, size_t bpp) : n_(n), bpp_(bpp), scratch_(4 * n) {}

    const uint8_t* Choose(const uint8_t* __restrict raw, const uint8_t* __restrict prev,
                          uint8_t& type) {
        const size_t n = n_, bpp = std::min(bpp_, n_);
        uint8_t* __restrict sub = scratch_.data();
        uint8_t* __restrict up = sub + n;
        uint8_t* __restrict avg = up + n;
        uint8_t* __restrict paeth = avg + n;
        uint32_t cNone = 0, cSub = 0, cUp = 0, cAvg = 0, cPaeth = 0;
        for (size_t i = 0; i < bpp; ++i) {
            sub[i] = raw[i];
            up[i] = uint8_t(raw[i] - prev[i]);
            avg[i] = uint8_t(raw[i] - (prev[i] >> 1));
            paeth[i] = uint8_t(raw[i] - prev[i]);  // a = c = 0: the predictor is b
            cNone += Cost(raw[i]);
            cSub += Cost(sub[i]);
            cUp += Cost(up[i]);
            cAvg += Cost(avg[i]);
            cPaeth += Cost(paeth[i]);
        }
        for (size_t i = bpp; i < n; ++i) {
            const int a = raw[i - bpp], b = prev[i], c = prev[i - bpp];
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            sub[i] = uint8_t(raw[i] - a);
            up[i] = uint8_t(raw[i] - b);
            avg[i] = uint8_t(raw[i] - ((a + b) >> 1));
            paeth[i] = uint8_t(raw[i] - pred);
            cNone += Cost(raw[i]);
            cSub += Cost(sub[i]);
            cUp += Cost(up[i]);
            cAvg += Cost(avg[i]);
            cPaeth += Cost(paeth[i]);
        }
        // The first of the cheapest wins, in the order of the filter types.
        const uint32_t costs[5] = {cNone, cSub, cUp, cAvg, cPaeth};
        type = 0;
        for (uint8_t t = 1; t < 5; ++t)
            if (costs[t] < costs[type]) type = t;
        return type == 0 ? raw : scratch_.data() + size_t(type - 1) * n;
    }

  private:
    size_t n_, bpp_;
    std::vector<uint8_t> scratch_;
};

void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void WriteChunk(TStream& stream, const char type[4], const uint8_t* data, size_t size) {
    uint8_t head[8];
    PutBE32(head, uint32_t(size));
    std::memcpy(head + 4, type, 4);
    uint32_t crc = libdeflate_crc32(0, head + 4, 4);
    if (size > 0) crc = libdeflate_crc32(crc, data, size);
    uint8_t tail[4];
    PutBE32(tail, crc);
    stream.Write(head, 8);
    if (size > 0) stream.Write(data, int64_t(size));
    stream.Write(tail, 4);
}

struct TCompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

void EncodePngDeflate(TStream& stream, const TPngLayout& layout, const TPngRowSource& rows,
                      TProgress& progress) {
    if (layout.Width == 0 || layout.Height == 0)
        throw Exception("Write Image (PNG): empty picture");
    const size_t channels = layout.ColorType == 2 ? 3 : 1;
    CheckPictureSize(layout.Width, layout.Height, int(channels) * 8);

    // The filtered rows of every pass, each led by its filter type, counted in 64 bits.
    const std::vector<TPass> passes = PassesOf(layout);
    int64_t filteredBytes = 0, totalRows = 0;
    for (const TPass& p : passes) {
        filteredBytes =
            CheckedAdd(filteredBytes,
                       CheckedMul(CheckedAdd(CheckedMul(p.Width, int64_t(channels)), 1), p.Height));
        totalRows += p.Height;
    }
    if (filteredBytes > kMaxSurfaceBytes + kMaxSurfaceSide) throw EPictureTooLarge();

    // Neither buffer is cleared first: every byte is written before it is read.
    auto filtered = std::make_unique_for_overwrite<uint8_t[]>(size_t(filteredBytes));
    const size_t fullRowBytes = size_t(layout.Width) * channels;
    std::vector<uint8_t> full(fullRowBytes), raw(fullRowBytes), prev(fullRowBytes);
    uint8_t* out = filtered.get();
    int64_t rowsDone = 0;
    for (const TPass& p : passes) {
        const size_t n = size_t(p.Width) * channels;
        TRowFilter filter(n, channels);
        std::fill(prev.begin(), prev.begin() + ptrdiff_t(n), uint8_t{0});
        for (uint32_t k = 0; k < p.Height; ++k) {
            const int32_t y = int32_t(p.Y0 + k * p.DY);
            if (p.DX == 1) {
                rows(y, raw.data());
            } else {
                rows(y, full.data());
                const uint8_t* s = full.data() + size_t(p.X0) * channels;
                uint8_t* d = raw.data();
                for (uint32_t x = 0; x < p.Width; ++x, s += size_t(p.DX) * channels, d += channels)
                    std::memcpy(d, s, channels);
            }
            if (layout.Filters == TPngFilterChoice::None) {
                *out = 0;
                std::memcpy(out + 1, raw.data(), n);
            } else {
                uint8_t type = 0;
                const uint8_t* chosen = filter.Choose(raw.data(), prev.data(), type);
                *out = type;
                std::memcpy(out + 1, chosen, n);
                raw.swap(prev);
            }
            out += n + 1;
            progress.Step(++rowsDone, totalRows * 5);
        }
    }

    std::unique_ptr<libdeflate_compressor, TCompressorDeleter> compressor(
        libdeflate_alloc_compressor(layout.Level));
    if (!compressor) throw std::bad_alloc();
    const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), size_t(filteredBytes));
    auto compressed = std::make_unique_for_overwrite<uint8_t[]>(bound);
    const size_t compressedSize = libdeflate_zlib_compress(
        compressor.get(), filtered.get(), size_t(filteredBytes), compressed.get(), bound);
    if (compressedSize == 0) throw Exception("Write Image (PNG): compression failed");
    filtered.reset();

    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    stream.Write(kSignature, 8);
    uint8_t ihdr[13];
    PutBE32(ihdr, layout.Width);
    PutBE32(ihdr + 4, layout.Height);
    ihdr[8] = 8;
    ihdr[9] = layout.ColorType;
    ihdr[10] = 0;  // deflate
    ihdr[11] = 0;  // adaptive filtering
    ihdr[12] = layout.Interlaced ? 1 : 0;
    WriteChunk(stream, "IHDR", ihdr, sizeof ihdr);
    if (!layout.Palette.empty())
        WriteChunk(stream, "PLTE", layout.Palette.data(), layout.Palette.size());
    if (!layout.Transparency.empty())
        WriteChunk(stream, "tRNS", layout.Transparency.data(), layout.Transparency.size());
    for (size_t pos = 0; pos < compressedSize; pos += kIdatChunkBytes)
        WriteChunk(stream, "IDAT", compressed.get() + pos,
                   std::min(kIdatChunkBytes, compressedSize - pos));
    WriteChunk(stream, "IEND", nullptr, 0);
    progress.Step(1, 1);
}

}  // namespace tilvo
