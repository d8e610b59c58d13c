// The area-average resampler. Per destination row the source rows it covers are summed column by
// column in one read of each row (the fully covered rows as plain sums, the partly covered ones
// with their row weight), and each destination pixel then adds the column sums of its columns;
// only the corners where a partial row meets a partial column are weighed pixel by pixel. The
// per-pixel sums are 64-bit, so even a thumbnail of the largest surface is the true average.
#include "Resample.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tilvo {

namespace {

struct TContribution {
    uint32_t Weight;  // in 1/1024 of a source pixel
    int32_t Index;
};

// Source pixels per destination pixel, in 1/1024.
uint64_t ScaleOf(int32_t sourceSize, int32_t destSize) {
    return uint64_t(std::trunc(double(sourceSize) / double(destSize) * 1024.0 + 0.5));
}

// The source indices destination index d covers, with their weights, appended to `out`.
void AddContributions(int32_t d, uint64_t scale, int32_t sourceSize,
                      std::vector<TContribution>& out) {
    const uint64_t start = uint64_t(d) * scale;
    const uint64_t end = uint64_t(d + 1) * scale;
    const uint64_t first = start >> 10;
    const uint64_t n = (end >> 10) - first + 1;
    for (uint64_t i = 0; i < n; ++i) {
        if (first + i >= uint64_t(sourceSize)) continue;
        uint32_t weight = 1024;
        if (i == 0)
            weight = 1024 - uint32_t(start & 1023);
        else if (i == n - 1)
            weight = uint32_t(end & 1023);
        if (weight == 0) continue;
        out.push_back({weight, int32_t(first + i)});
    }
}

struct TSums {
    uint64_t Total, B, G, R;
};

constexpr size_t kRowsPerPass = 8;

// acc (=, or += when not kFirst) the column sums of kRows rows of n bytes. A plain loop over
// fixed row counts, which the compiler turns into vector code for each instruction set below.
template <class Acc, bool kFirst, size_t kRows>
inline void SumRows(Acc* __restrict acc, const uint8_t* const* rows, size_t n) {
    const uint8_t* __restrict r[kRowsPerPass];
    for (size_t j = 0; j < kRowsPerPass; ++j) r[j] = rows[j < kRows ? j : 0];
    for (size_t i = 0; i < n; ++i) {
        Acc v = kFirst ? Acc(0) : acc[i];
        for (size_t j = 0; j < kRows; ++j) v = Acc(v + r[j][i]);
        acc[i] = v;
    }
}

template <class Acc, bool kFirst>
inline void SumRowGroup(Acc* acc, const uint8_t* const* rows, size_t count, size_t n) {
    switch (count) {
        case 1:
            return SumRows<Acc, kFirst, 1>(acc, rows, n);
        case 2:
            return SumRows<Acc, kFirst, 2>(acc, rows, n);
        case 3:
            return SumRows<Acc, kFirst, 3>(acc, rows, n);
        case 4:
            return SumRows<Acc, kFirst, 4>(acc, rows, n);
        case 5:
            return SumRows<Acc, kFirst, 5>(acc, rows, n);
        case 6:
            return SumRows<Acc, kFirst, 6>(acc, rows, n);
        case 7:
            return SumRows<Acc, kFirst, 7>(acc, rows, n);
        default:
            return SumRows<Acc, kFirst, 8>(acc, rows, n);
    }
}

// The column sums of all `rows`, kRowsPerPass at a time, so the sums are read and written once
// per eight source rows.
template <class Acc>
inline void SumFullRows(Acc* acc, const uint8_t* const* rows, size_t count, size_t n) {
    for (size_t i = 0; i < count; i += kRowsPerPass) {
        const size_t group = std::min(kRowsPerPass, count - i);
        if (i == 0)
            SumRowGroup<Acc, true>(acc, rows + i, group, n);
        else
            SumRowGroup<Acc, false>(acc, rows + i, group, n);
    }
}

// The partly covered rows weighed by their row weight: acc = Σ wy · byte.
inline void SumWeightedRows(uint32_t* __restrict acc, const uint8_t* const* rows,
                            const uint32_t* weights, size_t count, size_t n) {
    for (size_t k = 0; k < count; ++k) {
        const uint8_t* __restrict row = rows[k];
        const uint32_t wy = weights[k];
        if (k == 0)
            for (size_t i = 0; i < n; ++i) acc[i] = wy * row[i];
        else
            for (size_t i = 0; i < n; ++i) acc[i] += wy * row[i];
    }
}

[[gnu::target("avx2")]] void SumFullRows16Avx2(uint16_t* acc, const uint8_t* const* rows,
                                               size_t count, size_t n) {
    SumFullRows(acc, rows, count, n);
}
[[gnu::target("avx2")]] void SumFullRows32Avx2(uint32_t* acc, const uint8_t* const* rows,
                                               size_t count, size_t n) {
    SumFullRows(acc, rows, count, n);
}
[[gnu::target("avx2")]] void SumWeightedRowsAvx2(uint32_t* acc, const uint8_t* const* rows,
                                                 const uint32_t* weights, size_t count, size_t n) {
    SumWeightedRows(acc, rows, weights, count, n);
}
void SumFullRows16Plain(uint16_t* acc, const uint8_t* const* rows, size_t count, size_t n) {
    SumFullRows(acc, rows, count, n);
}
void SumFullRows32Plain(uint32_t* acc, const uint8_t* const* rows, size_t count, size_t n) {
    SumFullRows(acc, rows, count, n);
}
void SumWeightedRowsPlain(uint32_t* acc, const uint8_t* const* rows, const uint32_t* weights,
                          size_t count, size_t n) {
    SumWeightedRows(acc, rows, weights, count, n);
}

// q = 1024 · full + partial: what a fully covered column contributes to its destination pixel.
// With full sums of at most 257 rows (16 bits) this stays below 2^27.
inline void Combine(uint32_t* __restrict q, const uint16_t* __restrict full,
                    const uint32_t* __restrict partial, bool hasFull, bool hasPartial, size_t n) {
    if (hasFull && hasPartial)
        for (size_t i = 0; i < n; ++i) q[i] = (uint32_t(full[i]) << 10) + partial[i];
    else if (hasFull)
        for (size_t i = 0; i < n; ++i) q[i] = uint32_t(full[i]) << 10;
    else
        for (size_t i = 0; i < n; ++i) q[i] = hasPartial ? partial[i] : 0;
}
[[gnu::target("avx2")]] void CombineAvx2(uint32_t* q, const uint16_t* full, const uint32_t* partial,
                                         bool hasFull, bool hasPartial, size_t n) {
    Combine(q, full, partial, hasFull, hasPartial, n);
}
void CombinePlain(uint32_t* q, const uint16_t* full, const uint32_t* partial, bool hasFull,
                  bool hasPartial, size_t n) {
    Combine(q, full, partial, hasFull, hasPartial, n);
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// The same with the full columns' terms combined beforehand in q (16-bit full sums).
void DestinationRowCombined(const std::vector<TContribution>& cols,
                            const std::vector<size_t>& colStart, const uint32_t* q,
                            const uint16_t* full, size_t fullRows,
                            const uint8_t* const* partialRows, const uint32_t* partialWeights,
                            size_t partialCount, std::vector<TSums>& sums) {
    uint64_t fullColumnTotal = 1024 * fullRows;
    for (size_t k = 0; k < partialCount; ++k) fullColumnTotal += partialWeights[k];
    for (size_t dx = 0; dx + 1 < colStart.size(); ++dx) {
        TSums s{0, 0, 0, 0};
        uint64_t fullColumns = 0;
        for (size_t c = colStart[dx]; c < colStart[dx + 1]; ++c) {
            const uint32_t wx = cols[c].Weight;
            const size_t i = size_t(cols[c].Index) * 3;
            if (wx == 1024) {
                ++fullColumns;
                s.B += q[i];
                s.G += q[i + 1];
                s.R += q[i + 2];
                continue;
            }
            s.Total += uint64_t(wx) * fullRows;
            s.B += uint64_t(wx) * full[i];
            s.G += uint64_t(wx) * full[i + 1];
            s.R += uint64_t(wx) * full[i + 2];
            for (size_t k = 0; k < partialCount; ++k) {
                const uint64_t w = (uint64_t(wx) * partialWeights[k]) >> 10;
                const uint8_t* p = partialRows[k] + i;
                s.Total += w;
                s.B += w * p[0];
                s.G += w * p[1];
                s.R += w * p[2];
            }
        }
        s.Total += fullColumns * fullColumnTotal;
        sums[dx] = s;
    }
}

// One destination row. A source pixel in a fully covered row and column weighs 1024 · 1024 >> 10
// = 1024, in a full row and a partial column wx, in a partial row and a full column wy, and only
// where both are partial (wx · wy) >> 10, which is not a product of the two; so the full rows are
// summed per column (full), the partial rows per column with their row weight (partial), and each
// destination pixel adds, per column of its list, 1024 · full + partial for a full column, and
// wx · full plus the exact corner terms for a partial one. The sums equal those of the literal
// pixel-by-pixel average.
template <class Acc>
void DestinationRow(const std::vector<TContribution>& cols, const std::vector<size_t>& colStart,
                    const Acc* full, size_t fullRows, const uint32_t* partial,
                    const uint8_t* const* partialRows, const uint32_t* partialWeights,
                    size_t partialCount, std::vector<TSums>& sums) {
    for (size_t dx = 0; dx + 1 < colStart.size(); ++dx) {
        TSums s{0, 0, 0, 0};
        for (size_t c = colStart[dx]; c < colStart[dx + 1]; ++c) {
            const uint64_t wx = cols[c].Weight;
            const size_t i = size_t(cols[c].Index) * 3;
            uint64_t b = 0, g = 0, r = 0;
            if (fullRows > 0) {
                s.Total += wx * fullRows;
                b = wx * full[i];
                g = wx * full[i + 1];
                r = wx * full[i + 2];
            }
            if (wx == 1024) {
                for (size_t k = 0; k < partialCount; ++k) s.Total += partialWeights[k];
                if (partialCount > 0) {
                    b += partial[i];
                    g += partial[i + 1];
                    r += partial[i + 2];
                }
            } else {
                for (size_t k = 0; k < partialCount; ++k) {
                    const uint64_t w = (wx * partialWeights[k]) >> 10;
                    const uint8_t* p = partialRows[k] + i;
                    s.Total += w;
                    b += w * p[0];
                    g += w * p[1];
                    r += w * p[2];
                }
            }
            s.B += b;
            s.G += g;
            s.R += r;
        }
        sums[dx] = s;
    }
}

}  // namespace

void ResampleAreaAverage(const TBitmap& source, TBitmap& dest, int32_t destWidth,
                         int32_t destHeight) {
    if (destWidth < 1 || destHeight < 1) throw Exception("invalid thumbnail size");
    CheckPictureSize(destWidth, destHeight);
    if (&source == &dest) return ResampleAreaAverage(dest, destWidth, destHeight);
    if (source.PixelFormat() != pf24bit) {
        TBitmap converted;
        converted.Assign(source);
        converted.SetPixelFormat(pf24bit);
        return ResampleAreaAverage(converted, dest, destWidth, destHeight);
    }
    const TBitmap& bitmap = source;
    const int32_t srcW = bitmap.Width();
    const int32_t srcH = bitmap.Height();
    const uint64_t scaleX = ScaleOf(srcW, destWidth);
    const uint64_t scaleY = ScaleOf(srcH, destHeight);
    const size_t rowBytes = size_t(srcW) * 3;

    // One contribution list per destination column, made once: cols[colStart[d] … colStart[d+1]).
    std::vector<TContribution> cols;
    std::vector<size_t> colStart(size_t(destWidth) + 1);
    for (int32_t d = 0; d < destWidth; ++d) {
        colStart[size_t(d)] = cols.size();
        AddContributions(d, scaleX, srcW, cols);
    }
    colStart[size_t(destWidth)] = cols.size();

    const bool avx2 = HasAvx2();
    TBitmap result(destWidth, destHeight, pf24bit);
    std::vector<TContribution> rowList;
    std::vector<const uint8_t*> fullRows, partialRows;
    std::vector<uint32_t> partialWeights;
    std::vector<TSums> sums(static_cast<size_t>(destWidth));
    std::vector<uint16_t> full16;
    std::vector<uint32_t> full32, partial, combined;
    for (int32_t dy = 0; dy < destHeight; ++dy) {
        rowList.clear();
        AddContributions(dy, scaleY, srcH, rowList);
        fullRows.clear();
        partialRows.clear();
        partialWeights.clear();
        for (const TContribution& r : rowList) {
            if (r.Weight == 1024) {
                fullRows.push_back(bitmap.ScanLine(r.Index));
            } else {
                partialRows.push_back(bitmap.ScanLine(r.Index));
                partialWeights.push_back(r.Weight);
            }
        }
        if (!partialRows.empty()) {
            partial.resize(rowBytes);
            (avx2 ? SumWeightedRowsAvx2 : SumWeightedRowsPlain)(partial.data(), partialRows.data(),
                                                                partialWeights.data(),
                                                                partialRows.size(), rowBytes);
        }
        // 16-bit column sums while they cannot overflow (up to 257 rows), 32-bit beyond.
        if (fullRows.size() * 255 <= 0xFFFF) {
            full16.resize(rowBytes);
            combined.resize(rowBytes);
            if (!fullRows.empty())
                (avx2 ? SumFullRows16Avx2 : SumFullRows16Plain)(full16.data(), fullRows.data(),
                                                                fullRows.size(), rowBytes);
            else
                std::fill(full16.begin(), full16.end(), uint16_t{0});
            (avx2 ? CombineAvx2 : CombinePlain)(combined.data(), full16.data(), partial.data(),
                                                !fullRows.empty(), !partialRows.empty(), rowBytes);
            DestinationRowCombined(cols, colStart, combined.data(), full16.data(), fullRows.size(),
                                   partialRows.data(), partialWeights.data(), partialRows.size(),
                                   sums);
        } else {
            full32.resize(rowBytes);
            (avx2 ? SumFullRows32Avx2 : SumFullRows32Plain)(full32.data(), fullRows.data(),
                                                            fullRows.size(), rowBytes);
            DestinationRow(cols, colStart, full32.data(), fullRows.size(), partial.data(),
                           partialRows.data(), partialWeights.data(), partialRows.size(), sums);
        }

        uint8_t* out = result.ScanLine(dy);
        for (const TSums& s : sums) {
            uint64_t b = s.B, g = s.G, r = s.R;
            if (s.Total > 1) {
                b /= s.Total;
                g /= s.Total;
                r /= s.Total;
            }
            out[0] = uint8_t(b > 255 ? 255 : b);
            out[1] = uint8_t(g > 255 ? 255 : g);
            out[2] = uint8_t(r > 255 ? 255 : r);
            out += 3;
        }
    }
    dest.Swap(result);
}

void ResampleAreaAverage(TBitmap& bitmap, int32_t destWidth, int32_t destHeight) {
    if (destWidth < 1 || destHeight < 1) throw Exception("invalid thumbnail size");
    CheckPictureSize(destWidth, destHeight);
    bitmap.SetPixelFormat(pf24bit);
    TBitmap result;
    ResampleAreaAverage(bitmap, result, destWidth, destHeight);
    bitmap.Swap(result);
}

}  // namespace tilvo
