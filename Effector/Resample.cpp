// The area-average resampler. The source rows a destination row covers fully (weight 1024) are
// first summed column by column, because for them the weight of a pixel, (wx · 1024) >> 10, is
// its column weight wx exactly; the rows covered partly are weighed pixel by pixel. All sums are
// 64-bit, so even a thumbnail of the largest surface is the true average.
#include "Resample.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "RowSums.h"

namespace tilvo {

namespace {

using namespace rowsums;

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

// Adds the fully covered rows `rows` (their column sums built in `colSum`) to every destination
// pixel of the row. `Acc` must hold rows.size() × 255.
template <class Acc>
void AddFullRows(const TBitmap& src, const std::vector<int32_t>& rows, std::vector<Acc>& colSum,
                 const std::vector<TContribution>& cols, const std::vector<size_t>& colStart,
                 std::vector<TSums>& sums) {
    const size_t rowBytes = size_t(src.Width()) * 3;
    Acc* acc = colSum.data();
    const uint8_t* group[kMaxRowsPerPass];
    for (size_t i = 0; i < rows.size(); i += kMaxRowsPerPass) {
        const int count = int(std::min<size_t>(kMaxRowsPerPass, rows.size() - i));
        for (int j = 0; j < count; ++j) group[j] = src.ScanLine(rows[i + size_t(j)]);
        if (i == 0)
            AddRowGroup<Acc, true>(acc, group, count, rowBytes);
        else
            AddRowGroup<Acc, false>(acc, group, count, rowBytes);
    }
    const uint64_t nRows = rows.size();
    for (size_t dx = 0; dx + 1 < colStart.size(); ++dx) {
        TSums& s = sums[dx];
        for (size_t c = colStart[dx]; c < colStart[dx + 1]; ++c) {
            const uint64_t wx = cols[c].Weight;
            const Acc* p = acc + size_t(cols[c].Index) * 3;
            s.Total += wx * nRows;
            s.B += wx * p[0];
            s.G += wx * p[1];
            s.R += wx * p[2];
        }
    }
}

}  // namespace

void ResampleAreaAverage(TBitmap& bitmap, int32_t destWidth, int32_t destHeight) {
    if (destWidth < 1 || destHeight < 1) throw Exception("invalid thumbnail size");
    CheckPictureSize(destWidth, destHeight);
    bitmap.SetPixelFormat(pf24bit);
    const int32_t srcW = bitmap.Width();
    const int32_t srcH = bitmap.Height();
    const uint64_t scaleX = ScaleOf(srcW, destWidth);
    const uint64_t scaleY = ScaleOf(srcH, destHeight);

    // One contribution list per destination column, made once: cols[colStart[d] … colStart[d+1]).
    std::vector<TContribution> cols;
    std::vector<size_t> colStart(size_t(destWidth) + 1);
    for (int32_t d = 0; d < destWidth; ++d) {
        colStart[size_t(d)] = cols.size();
        AddContributions(d, scaleX, srcW, cols);
    }
    colStart[size_t(destWidth)] = cols.size();

    TBitmap result(destWidth, destHeight, pf24bit);
    std::vector<TContribution> rowList;
    std::vector<int32_t> fullRows;
    std::vector<TSums> sums(static_cast<size_t>(destWidth));
    std::vector<uint16_t> colSum16;
    std::vector<uint32_t> colSum32;
    for (int32_t dy = 0; dy < destHeight; ++dy) {
        rowList.clear();
        AddContributions(dy, scaleY, srcH, rowList);
        std::fill(sums.begin(), sums.end(), TSums{0, 0, 0, 0});

        fullRows.clear();
        for (const TContribution& r : rowList)
            if (r.Weight == 1024) fullRows.push_back(r.Index);
        if (!fullRows.empty()) {
            if (fullRows.size() * 255 <= 0xFFFF) {
                colSum16.resize(size_t(srcW) * 3);
                AddFullRows(bitmap, fullRows, colSum16, cols, colStart, sums);
            } else {
                colSum32.resize(size_t(srcW) * 3);
                AddFullRows(bitmap, fullRows, colSum32, cols, colStart, sums);
            }
        }

        for (const TContribution& r : rowList) {
            if (r.Weight == 1024) continue;
            const uint8_t* row = bitmap.ScanLine(r.Index);
            const uint64_t wy = r.Weight;
            for (size_t dx = 0; dx < size_t(destWidth); ++dx) {
                TSums& s = sums[dx];
                for (size_t c = colStart[dx]; c < colStart[dx + 1]; ++c) {
                    const uint64_t w = (cols[c].Weight * wy) >> 10;
                    const uint8_t* p = row + size_t(cols[c].Index) * 3;
                    s.Total += w;
                    s.B += w * p[0];
                    s.G += w * p[1];
                    s.R += w * p[2];
                }
            }
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
    bitmap.Swap(result);
}

}  // namespace tilvo
