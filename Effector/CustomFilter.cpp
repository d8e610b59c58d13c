// The filter table and the convolution: each result row is computed from the clamped source rows
// above and below it; the pixels away from the left and right edges go through a vector-friendly
// 16-bit kernel, the edge pixels (and any kernel too large for 16 bits) through the plain one.
// "Blur", which softens every stroke mask, has a one-pass kernel of its own that works in place.
#include "CustomFilter.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "Pixelate.h"

namespace tilvo {

namespace {

struct TFilterKernel {
    uint8_t Id;
    std::string_view Name;
    uint8_t Size;  // 3 or 5; 0 for a filter that has no kernel
    std::array<int16_t, 25> Kernel;
    int32_t Divisor;
    int32_t Bias;
};

// clang-format off
constexpr TFilterKernel kFilters[] = {
    {1, "Blur", 3, {0, 1, 0,  1, 1, 1,  0, 1, 0}, 5, 0},
    {2, "BlurMore", 3, {2, 2, 2,  2, 1, 2,  2, 2, 2}, 17, 0},
    {3, "BlurSmall", 3, {1, 1, 1,  1, 3, 1,  1, 1, 1}, 11, 0},
    {4, "BlurEdge", 3, {0, 2, 0,  2, -4, 2,  0, 2, 0}, 4, 0},
    {5, "Sharpen", 3, {-1, -1, -1,  -1, 28, -1,  -1, -1, -1}, 20, 0},
    {8, "POSTER", 3, {2, -2, 2,  -2, 1, -2,  2, -2, 2}, 1, 0},
    {9, "ColorEmboss", 0, {}, 0, 0},
    {10, "Laplace", 3, {-1, -1, -1,  -1, 8, -1,  -1, -1, -1}, 1, 0},
    {11, "Soften", 3, {2, 2, 2,  2, 0, 2,  2, 2, 2}, 16, 0},
    {12, "FindEdge", 3, {1, 1, 1,  1, -2, 1,  -1, -1, -1}, 1, 0},
    {13, "Hipass", 3, {-1, -1, -1,  -1, 9, -1,  -1, -1, -1}, 1, 0},
    {14, "EdgeEnhance", 0, {}, 0, 0},
    {15, "SoftenLess", 3, {1, 0, 1,  0, 2, 0,  1, 0, 1}, 6, 0},
    {16, "ColorEmboss2", 3, {1, 0, 1,  0, 0, 0,  1, 0, -2}, 1, 0},
    {17, "Bure", 5, {1, 0, 0, 0, 0,
                     0, 0, 0, 0, 0,
                     0, 0, 1, 0, 0,
                     0, 0, 0, 0, 0,
                     0, 0, 0, 0, 1}, 3, 0},
    {18, "Test", 5, {0, 1, 0, 0, 0,
                     1, 2, 1, 0, 0,
                     0, 0, -2, 0, -1,
                     0, 0, 0, -2, 0,
                     0, 0, -1, 0, -3}, 10, 290},
    {19, "ColorEmbossDeko", 3, {3, 2, 1,  2, 7, -2,  -1, -2, -3}, 7, 0},
    {20, "ColorEmbossBoko", 3, {-2, -2, -2,  -1, 5, 1,  2, 2, 2}, 5, 0},
};
// clang-format on

const TFilterKernel* FindFilter(std::string_view name) {
    for (const TFilterKernel& f : kFilters)
        if (f.Name == name) return &f;
    return nullptr;
}

uint8_t ResultByte(int32_t sum, int32_t divisor, int32_t bias) {
    const int64_t v = int64_t(sum / divisor) + bias;
    return ClampByte(int32_t(std::clamp<int64_t>(v, -1, 255)));
}

// One non-zero coefficient: the source row it reads (0 … 2r) and its byte offset from the centre.
struct TTap {
    int32_t Row;
    int32_t Offset;
    int16_t Coef;
};

// Exact truncating division of 0 … maxDividend (at most 32767) by a divisor of 2 or more as a
// 16-bit multiply-high, (a · m) >> 16, and where that is not exact over the range, a further
// shift: with k = 15 + ceil(log2 d) and m = ceil(2^k / d), (a · m) >> k = a / d for every a below
// 2^15, and m fits 16 bits. The constants are checked over the whole range before use.
struct TDivider16 {
    uint16_t Multiplier = 0;
    int Shift = 0;  // k − 16
    bool Valid = false;

    TDivider16(int64_t d, int64_t maxDividend) {
        if (d < 2 || d > 32768 || maxDividend > 32767) return;
        int log2d = 0;
        while ((int64_t{1} << log2d) < d) ++log2d;
        for (const int k : {16, 15 + log2d}) {
            const int64_t m = ((int64_t{1} << k) + d - 1) / d;
            if (m > 0xFFFF || k < 16) continue;
            Multiplier = uint16_t(m);
            Shift = k - 16;
            Valid = true;
            for (uint32_t a = 0; a <= uint32_t(maxDividend) && Valid; ++a)
                Valid = uint32_t(Quotient(uint16_t(a))) == a / uint32_t(d);
            if (Valid) return;
        }
    }
    uint16_t High(uint16_t a) const { return uint16_t((uint32_t(a) * Multiplier) >> 16); }
    uint16_t Quotient(uint16_t a) const { return uint16_t(High(a) >> Shift); }
};

// Row kernels over n bytes, written as fixed-size blocks so that the compiler turns them into
// vector code at any optimisation level; every sum fits 16 bits (checked by the caller), so eight
// lanes go in one vector register.
constexpr size_t kBlock = 32;

constexpr size_t kMaxGroup = 5;

// acc (=, or += when not kFirst) the sum of kTaps taps (at most kMaxGroup): c[j] times the
// bytes at p[j], or just the bytes when every coefficient is 1 (kUnit). A 3 × 3 blur goes through
// in one pass.
template <bool kFirst, int kTaps, bool kUnit>
void AddTaps(int16_t* __restrict acc, const uint8_t* const* p, const int16_t* c, size_t n) {
    const uint8_t* __restrict p0 = p[0];
    const uint8_t* __restrict p1 = p[kTaps > 1 ? 1 : 0];
    const uint8_t* __restrict p2 = p[kTaps > 2 ? 2 : 0];
    const uint8_t* __restrict p3 = p[kTaps > 3 ? 3 : 0];
    const uint8_t* __restrict p4 = p[kTaps > 4 ? 4 : 0];
    const int16_t c0 = kUnit ? 1 : c[0], c1 = kUnit ? 1 : c[kTaps > 1 ? 1 : 0],
                  c2 = kUnit ? 1 : c[kTaps > 2 ? 2 : 0], c3 = kUnit ? 1 : c[kTaps > 3 ? 3 : 0],
                  c4 = kUnit ? 1 : c[kTaps > 4 ? 4 : 0];
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (size_t k = 0; k < kBlock; ++k) {
            int v = kFirst ? 0 : acc[i + k];
            v += c0 * p0[i + k];
            if constexpr (kTaps > 1) v += c1 * p1[i + k];
            if constexpr (kTaps > 2) v += c2 * p2[i + k];
            if constexpr (kTaps > 3) v += c3 * p3[i + k];
            if constexpr (kTaps > 4) v += c4 * p4[i + k];
            acc[i + k] = int16_t(v);
        }
    for (; i < n; ++i) {
        int v = kFirst ? 0 : acc[i];
        v += c0 * p0[i];
        if constexpr (kTaps > 1) v += c1 * p1[i];
        if constexpr (kTaps > 2) v += c2 * p2[i];
        if constexpr (kTaps > 3) v += c3 * p3[i];
        if constexpr (kTaps > 4) v += c4 * p4[i];
        acc[i] = int16_t(v);
    }
}

template <bool kFirst, bool kUnit>
void AddTapGroup(int16_t* acc, const uint8_t* const* p, const int16_t* c, size_t taps, size_t n) {
    switch (taps) {
        case 1:
            return AddTaps<kFirst, 1, kUnit>(acc, p, c, n);
        case 2:
            return AddTaps<kFirst, 2, kUnit>(acc, p, c, n);
        case 3:
            return AddTaps<kFirst, 3, kUnit>(acc, p, c, n);
        case 4:
            return AddTaps<kFirst, 4, kUnit>(acc, p, c, n);
        default:
            return AddTaps<kFirst, 5, kUnit>(acc, p, c, n);
    }
}

template <bool kFirst>
void AddTapGroup(int16_t* acc, const uint8_t* const* p, const int16_t* c, size_t taps, size_t n) {
    if (std::all_of(c, c + taps, [](int16_t v) { return v == 1; }))
        AddTapGroup<kFirst, true>(acc, p, c, taps, n);
    else
        AddTapGroup<kFirst, false>(acc, p, c, taps, n);
}

// How a sum is divided: not at all, by a multiply-high, or by a multiply-high and a shift.
enum class TDivide { None, High, HighShift };

template <TDivide kDivide>
inline uint16_t Quotient(uint16_t a, const TDivider16& div) {
    if constexpr (kDivide == TDivide::None) return a;
    if constexpr (kDivide == TDivide::High) return div.High(a);
    return div.Quotient(a);
}

// The result byte of a sum: the sum divided (truncating towards zero), plus the bias, clamped.
// kSigned is false when no sum can be negative, which saves the sign handling.
template <TDivide kDivide, bool kSigned>
inline uint8_t FinishByte(int16_t s, const TDivider16& div, int16_t bias) {
    if constexpr (!kSigned) {
        // Below 2^15 (checked by the caller), so a signed minimum does.
        const int16_t v = int16_t(Quotient<kDivide>(uint16_t(s), div) + bias);
        return uint8_t(v < 255 ? v : 255);
    } else {
        const uint16_t a = Quotient<kDivide>(uint16_t(s < 0 ? -s : s), div);
        const int16_t v = int16_t((s < 0 ? -a : a) + bias);
        return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

template <TDivide kDivide, bool kSigned>
void Finish(uint8_t* __restrict out, const int16_t* __restrict acc, size_t n, const TDivider16& div,
            int16_t bias) {
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (size_t k = 0; k < kBlock; ++k)
            out[i + k] = FinishByte<kDivide, kSigned>(acc[i + k], div, bias);
    for (; i < n; ++i) out[i] = FinishByte<kDivide, kSigned>(acc[i], div, bias);
}

using TFinishFn = void (*)(uint8_t*, const int16_t*, size_t, const TDivider16&, int16_t);

template <bool kSigned>
TFinishFn ChooseFinish(TDivide divide) {
    switch (divide) {
        case TDivide::None:
            return Finish<TDivide::None, kSigned>;
        case TDivide::High:
            return Finish<TDivide::High, kSigned>;
        default:
            return Finish<TDivide::HighShift, kSigned>;
    }
}

// ---- "Blur" in place ----
// The plus-shaped blur, (up + down + left + centre + right) / 5 per byte, runs in place over the
// rows: row y is computed into one of two row buffers and written back only after row y + 1 has
// read it, so every row reads the untouched picture. Where a block's five inputs are all equal the
// result equals the input (5v / 5), so only the blocks that change are stored and written back:
// over the flat areas of a stroke mask the filter only reads. A sum s is at most 1275, where
// (s · 13108) >> 16 is exactly s / 5: 13108 / 65536 exceeds 1/5 by 4 / (5 · 65536), which adds
// less than 0.016 to s / 5, whose fraction is at most 0.8.

constexpr uint32_t kFifth = 13108;

inline uint8_t FifthOf(uint32_t sum) {
    return uint8_t((sum * kFifth) >> 16);
}

// The byte ranges of an output row that differ from the input, to be written back.
class TSpans {
  public:
    void Clear() { spans_.clear(); }
    void Add(size_t start, size_t length) {
        if (!spans_.empty() && spans_.back().first + spans_.back().second == start)
            spans_.back().second += length;
        else
            spans_.emplace_back(start, length);
    }
    void CopyBack(uint8_t* row, const uint8_t* computed) const {
        for (const auto& [start, length] : spans_) {
            // Most spans are a block or a few: copied inline, 64 bytes at a time.
            size_t k = 0;
            for (; k + 64 <= length; k += 64)
                std::memcpy(row + start + k, computed + start + k, 64);
            if (k < length) std::memcpy(row + start + k, computed + start + k, length - k);
        }
    }

  private:
    std::vector<std::pair<size_t, size_t>> spans_;
};

// Bytes [begin, end) of the output row, each with its left and right neighbour inside the row.
void BlurBytesPlain(uint8_t* __restrict out, const uint8_t* __restrict up,
                    const uint8_t* __restrict c, const uint8_t* __restrict down, size_t begin,
                    size_t end, TSpans& changed) {
    for (size_t i = begin; i < end; ++i)
        out[i] = FifthOf(uint32_t(up[i]) + down[i] + c[i - 3] + c[i] + c[i + 3]);
    changed.Add(begin, end - begin);
}

// The blur of 64 bytes whose five inputs are in registers; answers false, storing nothing, when
// all five agree.
[[gnu::target("avx512f,avx512bw")]] inline bool BlurVectorAvx512(uint8_t* out, __m512i vu,
                                                                 __m512i vd, __m512i vl, __m512i vc,
                                                                 __m512i vr) {
    // (a ^ c) | (b ^ c) in one instruction each: nonzero where a neighbour differs.
    const __m512i d1 = _mm512_ternarylogic_epi64(vu, vd, vc, 0x7E);
    const __m512i d2 = _mm512_ternarylogic_epi64(vl, vr, vc, 0x7E);
    const __m512i d = _mm512_or_si512(d1, d2);
    if (_mm512_test_epi64_mask(d, d) == 0) return false;
    const __m512i zero = _mm512_setzero_si512();
    const __m512i fifth = _mm512_set1_epi16(int16_t(kFifth));
    __m512i lo = _mm512_add_epi16(_mm512_unpacklo_epi8(vu, zero), _mm512_unpacklo_epi8(vd, zero));
    __m512i hi = _mm512_add_epi16(_mm512_unpackhi_epi8(vu, zero), _mm512_unpackhi_epi8(vd, zero));
    lo = _mm512_add_epi16(
        lo, _mm512_add_epi16(_mm512_unpacklo_epi8(vl, zero), _mm512_unpacklo_epi8(vr, zero)));
    hi = _mm512_add_epi16(
        hi, _mm512_add_epi16(_mm512_unpackhi_epi8(vl, zero), _mm512_unpackhi_epi8(vr, zero)));
    lo = _mm512_mulhi_epu16(_mm512_add_epi16(lo, _mm512_unpacklo_epi8(vc, zero)), fifth);
    hi = _mm512_mulhi_epu16(_mm512_add_epi16(hi, _mm512_unpackhi_epi8(vc, zero)), fifth);
    _mm512_storeu_si512(out, _mm512_packus_epi16(lo, hi));
    return true;
}

// 64 bytes from byte i, every input loaded on its own.
[[gnu::target("avx512f,avx512bw")]] inline bool BlurBlockAvx512(uint8_t* out, const uint8_t* up,
                                                                const uint8_t* c,
                                                                const uint8_t* down, size_t i) {
    return BlurVectorAvx512(out + i, _mm512_loadu_si512(up + i), _mm512_loadu_si512(down + i),
                            _mm512_loadu_si512(c + i - 3), _mm512_loadu_si512(c + i),
                            _mm512_loadu_si512(c + i + 3));
}

[[gnu::target("avx512f,avx512bw")]] void BlurBytesAvx512(uint8_t* out, const uint8_t* up,
                                                         const uint8_t* c, const uint8_t* down,
                                                         size_t begin, size_t end,
                                                         TSpans& changed) {
    if (end - begin < 64) return BlurBytesPlain(out, up, c, down, begin, end, changed);
    size_t i = begin;
    for (; i + 64 <= end; i += 64)
        if (BlurBlockAvx512(out, up, c, down, i)) changed.Add(i, 64);
    // The last block overlaps the one before: computing a byte twice gives the same value.
    if (i < end && BlurBlockAvx512(out, up, c, down, end - 64)) changed.Add(end - 64, 64);
}

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// With byte permutes across two registers: the row is walked in blocks aligned in memory, each
// block's left and right neighbours taken from the block itself and the blocks beside it, so a
// block costs three aligned loads. The unaligned ends go through the blocks above.
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] void BlurBytesVbmi(uint8_t* out, const uint8_t* up,
                                                                  const uint8_t* c,
                                                                  const uint8_t* down, size_t begin,
                                                                  size_t end, TSpans& changed) {
    size_t first = begin + (64 - reinterpret_cast<uintptr_t>(c + begin) % 64) % 64;
    if (first < 4) first += 64;  // the four bytes before the first block lie in the row
    if (end < first + 2 * 64 + 3) return BlurBytesAvx512(out, up, c, down, begin, end, changed);
    if (first > begin && BlurBlockAvx512(out, up, c, down, begin)) changed.Add(begin, 64);
    alignas(64) static constexpr auto kIndexes = [] {
        std::array<uint8_t, 128> idx{};
        for (int j = 0; j < 64; ++j) {
            idx[size_t(j)] = uint8_t(j < 3 ? 61 + j : 64 + j - 3);        // (previous, this)
            idx[size_t(64 + j)] = uint8_t(j < 61 ? j + 3 : 64 + j - 61);  // (this, next)
        }
        return idx;
    }();
    const __m512i toLeft = _mm512_load_si512(kIndexes.data());
    const __m512i toRight = _mm512_load_si512(kIndexes.data() + 64);
    // Of the block before, only its last three bytes are used: those of a broadcast of the four
    // bytes before the first block.
    __m512i prev = _mm512_set1_epi32(int32_t(Load32(c + first - 4)));
    __m512i here = _mm512_load_si512(c + first);
    size_t i = first;
    // The block's right neighbours reach 3 bytes into the next block, which must lie in the row.
    for (; i + 128 + 3 <= end + 3; i += 64) {
        const __m512i next = _mm512_load_si512(c + i + 64);
        const __m512i left = _mm512_permutex2var_epi8(prev, toLeft, here);
        const __m512i right = _mm512_permutex2var_epi8(here, toRight, next);
        if (BlurVectorAvx512(out + i, _mm512_loadu_si512(up + i), _mm512_loadu_si512(down + i),
                             left, here, right))
            changed.Add(i, 64);
        prev = here;
        here = next;
    }
    for (; i + 64 <= end; i += 64)
        if (BlurBlockAvx512(out, up, c, down, i)) changed.Add(i, 64);
    if (i < end && BlurBlockAvx512(out, up, c, down, end - 64)) changed.Add(end - 64, 64);
}

using TBlurBytesFn = void (*)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, size_t,
                              size_t, TSpans&);

TBlurBytesFn ChooseBlurBytes() {
    static const TBlurBytesFn fn =
        !__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ? BlurBytesPlain
        : __builtin_cpu_supports("avx512vbmi")                                    ? BlurBytesVbmi
                                                                                  : BlurBytesAvx512;
    return fn;
}

// One output row of n bytes; the first and last pixel repeat themselves as their missing
// neighbour.
void BlurRow(uint8_t* out, const uint8_t* up, const uint8_t* c, const uint8_t* down, size_t n,
             TBlurBytesFn inner, TSpans& changed) {
    changed.Clear();
    const size_t edge = std::min<size_t>(3, n);
    for (size_t i = 0; i < edge; ++i) {
        const size_t r = i + 3 < n ? i + 3 : i;
        out[i] = FifthOf(uint32_t(up[i]) + down[i] + c[i] + c[i] + c[r]);
    }
    changed.Add(0, edge);
    if (n > 6) inner(out, up, c, down, 3, n - 3, changed);
    const size_t tail = std::max<size_t>(edge, n - 3);
    for (size_t i = tail; i < n; ++i) {
        const size_t l = i >= 3 ? i - 3 : i;
        out[i] = FifthOf(uint32_t(up[i]) + down[i] + c[l] + c[i] + c[i]);
    }
    changed.Add(tail, n - tail);
}

void BlurInPlace(TBitmap& bitmap) {
    const int32_t h = bitmap.Height();
    const size_t n = size_t(bitmap.Width()) * 3;
    std::vector<uint8_t> computed(2 * n);
    TSpans changed[2];
    const TBlurBytesFn inner = ChooseBlurBytes();
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* out = computed.data() + size_t(y & 1) * n;
        const uint8_t* up = bitmap.ScanLine(y > 0 ? y - 1 : 0);
        const uint8_t* c = bitmap.ScanLine(y);
        const uint8_t* down = bitmap.ScanLine(y + 1 < h ? y + 1 : y);
        BlurRow(out, up, c, down, n, inner, changed[y & 1]);
        // Row y − 1 has been read for the last time.
        if (y > 0)
            changed[(y - 1) & 1].CopyBack(bitmap.ScanLine(y - 1),
                                          computed.data() + size_t((y - 1) & 1) * n);
    }
    changed[(h - 1) & 1].CopyBack(bitmap.ScanLine(h - 1),
                                  computed.data() + size_t((h - 1) & 1) * n);
}

bool IsPlusBlur(const int16_t* kernel, int r, int32_t divisor, int32_t bias) {
    static constexpr int16_t kPlus[9] = {0, 1, 0, 1, 1, 1, 0, 1, 0};
    return r == 1 && divisor == 5 && bias == 0 && std::equal(kPlus, kPlus + 9, kernel);
}

// The plain convolution of pixels [x0, x1) of result row y, every tap clamped to the surface.
void PlainPixels(uint8_t* out, const TBitmap& src, const int16_t* kernel, int r, int32_t y,
                 int32_t x0, int32_t x1, int32_t divisor, int32_t bias) {
    const int32_t w = src.Width();
    const int32_t h = src.Height();
    const int size = 2 * r + 1;
    for (int32_t x = x0; x < x1; ++x) {
        int32_t sb = 0, sg = 0, sr = 0;
        for (int i = 0; i < size; ++i) {
            const uint8_t* row = src.ScanLine(std::clamp(y - r + i, 0, h - 1));
            for (int j = 0; j < size; ++j) {
                const int32_t k = kernel[i * size + j];
                const uint8_t* p = row + size_t(std::clamp(x - r + j, 0, w - 1)) * 3;
                sb += k * p[0];
                sg += k * p[1];
                sr += k * p[2];
            }
        }
        out[size_t(x) * 3] = ResultByte(sb, divisor, bias);
        out[size_t(x) * 3 + 1] = ResultByte(sg, divisor, bias);
        out[size_t(x) * 3 + 2] = ResultByte(sr, divisor, bias);
    }
}

void Convolve(TBitmap& bitmap, const int16_t* kernel, int r, int32_t divisor, int32_t bias) {
    if (divisor == 0) throw Exception("filter divisor is zero");
    bitmap.SetPixelFormat(pf24bit);
    const int32_t w = bitmap.Width();
    const int32_t h = bitmap.Height();
    if (w == 0 || h == 0) return;
    if (IsPlusBlur(kernel, r, divisor, bias)) return BlurInPlace(bitmap);
    const int size = 2 * r + 1;

    // The 16-bit kernel takes any kernel whose sums and results stay inside 16 bits, which every
    // kernel of the table does. A negative divisor is folded into the coefficients.
    std::vector<TTap> taps;
    int64_t absSum = 0;
    bool negCoefOk = true;
    for (int i = 0; i < size * size; ++i) {
        if (kernel[i] == 0) continue;
        if (kernel[i] == std::numeric_limits<int16_t>::min()) negCoefOk = false;
        absSum += std::abs(int32_t(kernel[i]));
        const int16_t c = divisor < 0 ? int16_t(-kernel[i]) : kernel[i];
        taps.push_back({i / size, (i % size - r) * 3, c});
    }
    const int64_t maxSum = absSum * 255;
    const int64_t absDivisor = std::abs(int64_t(divisor));
    const TDivider16 div(absDivisor, maxSum);
    const bool fast16 = maxSum <= 32767 && maxSum + std::abs(int64_t(bias)) <= 32767 &&
                        (divisor > 0 || negCoefOk) && (absDivisor == 1 || div.Valid) && w > 2 * r;

    TBitmap result(w, h, pf24bit);
    std::vector<int16_t> acc(fast16 ? size_t(w) * 3 : 0);
    std::vector<const uint8_t*> tapPtr(taps.size());
    std::vector<int16_t> tapCoef(taps.size());
    bool nonNegative = bias >= 0;
    for (size_t t = 0; t < taps.size(); ++t) {
        tapCoef[t] = taps[t].Coef;
        if (taps[t].Coef < 0) nonNegative = false;
    }
    const TDivide divide = absDivisor == 1  ? TDivide::None
                           : div.Shift == 0 ? TDivide::High
                                            : TDivide::HighShift;
    const TFinishFn finish = nonNegative ? ChooseFinish<false>(divide) : ChooseFinish<true>(divide);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* out = result.ScanLine(y);
        if (!fast16) {
            PlainPixels(out, bitmap, kernel, r, y, 0, w, divisor, bias);
            continue;
        }
        const size_t first = size_t(r) * 3;
        const size_t n = size_t(w - 2 * r) * 3;
        // The pixels x = r … width − r − 1, where no tap leaves the row: the taps add whole
        // shifted source rows, five at a time, without any clamping.
        for (size_t t = 0; t < taps.size(); ++t)
            tapPtr[t] =
                bitmap.ScanLine(std::clamp(y - r + taps[t].Row, 0, h - 1)) + first + taps[t].Offset;
        for (size_t t = 0; t < taps.size(); t += kMaxGroup) {
            const size_t group = std::min(kMaxGroup, taps.size() - t);
            if (t == 0)
                AddTapGroup<true>(acc.data(), tapPtr.data(), tapCoef.data(), group, n);
            else
                AddTapGroup<false>(acc.data(), tapPtr.data() + t, tapCoef.data() + t, group, n);
        }
        if (taps.empty()) std::fill(acc.begin(), acc.end(), int16_t{0});
        finish(out + first, acc.data(), n, div, int16_t(bias));
        PlainPixels(out, bitmap, kernel, r, y, 0, r, divisor, bias);
        PlainPixels(out, bitmap, kernel, r, y, w - r, w, divisor, bias);
    }
    bitmap.Swap(result);
}

}  // namespace

uint8_t FilterIdByName(std::string_view name) {
    const TFilterKernel* f = FindFilter(name);
    return f ? f->Id : 0;
}

void ApplyFilter(TBitmap& bitmap, std::string_view name) {
    const TFilterKernel* f = FindFilter(name);
    if (!f || f->Size == 0) return;
    if (f->Size == 3)
        Convolve3x3(bitmap, f->Kernel.data(), f->Divisor, f->Bias);
    else
        Convolve5x5(bitmap, f->Kernel.data(), f->Divisor, f->Bias);
}

void Convolve3x3(TBitmap& bitmap, const int16_t kernel[9], int32_t divisor, int32_t bias) {
    Convolve(bitmap, kernel, 1, divisor, bias);
}

void Convolve5x5(TBitmap& bitmap, const int16_t kernel[25], int32_t divisor, int32_t bias) {
    Convolve(bitmap, kernel, 2, divisor, bias);
}

}  // namespace tilvo
