// The colour reduction shared by the PNG, GIF and 256-colour side-format writers, and the
// bottom-left transparency rule.
#include "FileFormat/ExportGlue.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "FileFormat/JPEGImage.h"

namespace tilvo {

namespace {

// The set of colours a picture uses: for every (red, green) pair a 256-bit set indexed by blue,
// all in one 2 MiB table. A pixel's B, G, R bytes read as one little-endian 24-bit number are
// directly its bit number (blue lowest), so each pixel costs one load and one bit set.
class TColorSets {
  public:
    static constexpr int kWordsPerSet = 4;

    TColorSets() : bits_(std::make_unique<uint64_t[]>(size_t{65536} * kWordsPerSet)) {}

    // Adds every pixel of a 24-bit picture.
    void Collect(const TBitmap& picture) {
        uint64_t* bits = bits_.get();
        const int64_t w = picture.Width();
        if (w == 0) return;
        for (int32_t y = 0; y < picture.Height(); ++y) {
            const uint8_t* p = picture.ScanLine(y);
            // All but the last pixel of the row are read four bytes at a time (the fourth byte is
            // the next pixel's); the last one byte by byte, so no read passes the row's end.
            const uint8_t* last = p + 3 * (w - 1);
            for (; p != last; p += 3) {
                uint32_t v;
                if constexpr (std::endian::native == std::endian::little) {
                    std::memcpy(&v, p, 4);
                    v &= 0xFFFFFF;
                } else {
                    v = p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
                }
                bits[v >> 6] |= uint64_t{1} << (v & 63);
            }
            const uint32_t v = p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
            bits[v >> 6] |= uint64_t{1} << (v & 63);
        }
    }

    int64_t Count() const {
        int64_t n = 0;
        const uint64_t* bits = bits_.get();
        for (size_t i = 0; i < size_t{65536} * kWordsPerSet; ++i) n += std::popcount(bits[i]);
        return n;
    }

    const uint64_t* Set(uint32_t green, uint32_t red) const {
        return bits_.get() + (red << 8 | green) * kWordsPerSet;
    }

  private:
    std::unique_ptr<uint64_t[]> bits_;
};

// A 24-bit view of the picture: the picture itself, or a converted copy kept in `holder`.
const TBitmap& As24Bit(const TBitmap& picture, TBitmap& holder) {
    if (picture.PixelFormat() == pf24bit) return picture;
    holder.Assign(picture);
    holder.SetPixelFormat(pf24bit);
    return holder;
}

}  // namespace

namespace {

// Colour numbers red lowest and blue highest: the reverse of the bytes' order.
void RowColourKeysPortable(const uint8_t* row, int32_t width, uint32_t* keys) {
    int32_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four bytes at a time (the fourth is the next pixel's) but for the last pixel, so no
        // read passes the row's end.
        for (; x + 1 < width; ++x, row += 3) {
            uint32_t v;
            std::memcpy(&v, row, 4);
            keys[x] = __builtin_bswap32(v << 8);
        }
    }
    for (; x < width; ++x, row += 3)
        keys[x] = row[2] | uint32_t(row[1]) << 8 | uint32_t(row[0]) << 16;
}

// Marks the colour of every pixel of a 24-bit picture in `set`, a bit per colour number, in runs
// of up to kKeyRun pixels: first the run's numbers into a small buffer that stays in the
// first-level cache, then one shift and one read-modify-write of a word per pixel. `runKeys(px,
// count, readable, keys)` numbers `count` pixels from `px`, of which `readable` bytes may be read.
constexpr int32_t kKeyRun = 256;

template <class RunKeys>
[[gnu::always_inline]] inline void MarkColours(const TBitmap& p, uint64_t* set, RunKeys runKeys) {
    uint32_t keys[kKeyRun];
    const int32_t w = p.Width();
    for (int32_t y = 0; y < p.Height(); ++y) {
        const uint8_t* row = p.ScanLine(y);
        for (int32_t x0 = 0; x0 < w; x0 += kKeyRun) {
            const int32_t n = std::min(kKeyRun, w - x0);
            runKeys(row + size_t{3} * x0, n, int64_t{3} * (w - x0), keys);
#pragma GCC unroll 8
            for (int32_t x = 0; x < n; ++x) set[keys[x] >> 6] |= uint64_t{1} << (keys[x] & 63);
        }
    }
}

void MarkColoursPortable(const TBitmap& p, uint64_t* set) {
    MarkColours(p, set, [](const uint8_t* px, int32_t count, int64_t, uint32_t* keys) {
        RowColourKeysPortable(px, count, keys);
    });
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TILVO_HAVE_AVX2_KEYS 1
// Eight pixels a step: one 32-byte load (24 bytes used), the two halves' pixels moved into their
// own 128-bit lanes, then one byte shuffle reverses each pixel into its own 32-bit key. The rest
// of the pixels, where a 32-byte load would pass the readable bytes, go the portable way.
struct TColourKeysAvx2 {
    [[gnu::target("avx2")]] void operator()(const uint8_t* px, int32_t count, int64_t readable,
                                            uint32_t* keys) const {
        const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
        const __m256i reverse =
            _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1, 2, 1, 0, -1, 5,
                             4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
        // The last step may start at `last`: eight pixels left and 32 bytes readable from there.
        const int64_t last =
            std::min<int64_t>(count - 8, readable >= 32 ? (readable - 32) / 3 : -1);
        int32_t x = 0;
        for (; x <= last; x += 8) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px + size_t{3} * x));
            v = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, lanes), reverse);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + x), v);
        }
        RowColourKeysPortable(px + size_t{3} * x, count - x, keys + x);
    }
};

// The shifts by a register's count are single instructions with BMI2, which every AVX2
// processor has.
[[gnu::target("avx2,bmi2")]] void MarkColoursVector(const TBitmap& p, uint64_t* set) {
    MarkColours(p, set, TColourKeysAvx2{});
}

bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    return has;
}
#endif

}  // namespace

void RowColourKeys(const uint8_t* row, int32_t width, uint32_t* keys, bool allowVector) {
#ifdef TILVO_HAVE_AVX2_KEYS
    if (allowVector && CpuHasAvx2()) return TColourKeysAvx2{}(row, width, int64_t{3} * width, keys);
#else
    (void)allowVector;
#endif
    RowColourKeysPortable(row, width, keys);
}

int64_t CountDistinctColors(const TBitmap& picture) {
    TBitmap converted;
    const TBitmap& p = As24Bit(picture, converted);
    if (p.Width() == 0 || p.Height() == 0) return 0;
    // A bit per colour in one 2 MiB set, numbered red lowest and blue highest: in a row of
    // pixels the colour moves a little in every channel, and numbering it so kept the marked bits
    // of neighbouring pixels within fewer cache lines than blue lowest did.
    auto bits = std::make_unique<uint64_t[]>(size_t{1} << 18);
#ifdef TILVO_HAVE_AVX2_KEYS
    if (CpuHasAvx2())
        MarkColoursVector(p, bits.get());
    else
#endif
        MarkColoursPortable(p, bits.get());
    int64_t n = 0;
    for (size_t i = 0; i < (size_t{1} << 18); ++i) n += std::popcount(bits[i]);
    return n;
}

void BuildExactPalette(TBitmap& picture) {
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    TColorSets sets;
    sets.Collect(picture);
    if (sets.Count() > 256) throw Exception("picture has more than 256 colours");

    // Palette in green, red, blue order; base[g << 8 | r] is the index of the first colour of
    // that (green, red) pair, so a colour's index is its base plus the blues below it in the set.
    std::vector<TPaletteEntry> palette(256);
    auto base = std::make_unique<uint16_t[]>(65536);
    int n = 0;
    for (uint32_t g = 0; g < 256; ++g) {
        for (uint32_t r = 0; r < 256; ++r) {
            base[g << 8 | r] = uint16_t(n);
            const uint64_t* set = sets.Set(g, r);
            for (int word = 0; word < TColorSets::kWordsPerSet; ++word) {
                for (uint64_t bits = set[word]; bits != 0; bits &= bits - 1) {
                    const int b = word * 64 + std::countr_zero(bits);
                    palette[n++] = TPaletteEntry{uint8_t(r), uint8_t(g), uint8_t(b), 0};
                }
            }
        }
    }

    TBitmap indexed(picture.Width(), picture.Height(), pf8bit);
    indexed.Palette() = std::move(palette);
    for (int32_t y = 0; y < picture.Height(); ++y) {
        const uint8_t* src = picture.ScanLine(y);
        uint8_t* dst = indexed.ScanLine(y);
        for (int32_t x = 0; x < picture.Width(); ++x, src += 3) {
            const uint32_t b = src[0], g = src[1], r = src[2];
            const uint64_t* set = sets.Set(g, r);
            int index = base[g << 8 | r];
            const uint32_t word = b >> 6;
            for (uint32_t i = 0; i < word; ++i) index += std::popcount(set[i]);
            index += std::popcount(set[word] & ((uint64_t{1} << (b & 63)) - 1));
            dst[x] = uint8_t(index);
        }
    }
    picture.Swap(indexed);
}

void QuantizeThroughJpeg(TBitmap& picture) {
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    TJPEGImage jpeg;
    jpeg.SetCompressionQuality(100);
    jpeg.Assign(picture);
    jpeg.Compress();
    jpeg.SetPixelFormat(TJPEGPixelFormat::jf8Bit);
    jpeg.AssignTo(picture);
}

void ReduceTo8Bit(TBitmap& picture) {
    if (picture.PixelFormat() == pf8bit) return;
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    if (CountDistinctColors(picture) <= 256)
        BuildExactPalette(picture);
    else
        QuantizeThroughJpeg(picture);
}

TColor BottomLeftColor(TBitmap& picture) {
    if (picture.Empty()) return RGB(255, 255, 255);
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    const uint8_t* p = picture.ScanLine(picture.Height() - 1);
    return RGB(p[2], p[1], p[0]);
}

}  // namespace tilvo
