// Mosaic pixelation over whole bands of rows: the rows of one band of cells are summed column by
// column, the cell averages form one row, and that row is copied down the band.
#include "Pixelate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace tilvo {

namespace {

// The average of a cell, halves going up: trunc(sum / count + 0.5) in floating point. Sums stay
// below 2^40, so the double holds them exactly.
uint8_t CellValue(uint64_t sum, int64_t count) {
    const double v = std::trunc(double(sum) / double(count) + 0.5);
    return ClampByte(v >= 255.0 ? 255 : int32_t(v));
}

// Rows are summed in fixed blocks so that the compiler turns the inner loops into vector code
// even at -O2; the tail is done one byte at a time.
constexpr size_t kBlock = 32;

template <class Acc>
void SetRow(Acc* __restrict acc, const uint8_t* __restrict row, size_t n) {
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (size_t k = 0; k < kBlock; ++k) acc[i + k] = Acc(row[i + k]);
    for (; i < n; ++i) acc[i] = Acc(row[i]);
}

template <class Acc>
void AddRow(Acc* __restrict acc, const uint8_t* __restrict row, size_t n) {
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (size_t k = 0; k < kBlock; ++k) acc[i + k] = Acc(acc[i + k] + row[i + k]);
    for (; i < n; ++i) acc[i] = Acc(acc[i] + row[i]);
}

template <class Acc>
void AddRowTimes(Acc* __restrict acc, const uint8_t* __restrict row, size_t n, Acc times) {
    for (size_t i = 0; i < n; ++i) acc[i] = Acc(acc[i] + times * row[i]);
}

// Pixelates a surface of width w and height h (24 bits) in place, as if it were first grown to
// whole cells by repeating its last column and then its last row: the repeated pixels are
// counted into the edge cells without being stored. Every cell therefore has cw × ch pixels.
// `Acc` must hold ch × 255.
template <class Acc>
void PixelateBands(TBitmap& bmp, int32_t cw, int32_t ch) {
    const int32_t w = bmp.Width();
    const int32_t h = bmp.Height();
    const size_t rowBytes = size_t(w) * 3;
    const int64_t count = int64_t(cw) * ch;

    // With small cells, every possible sum has its average looked up instead of divided.
    constexpr int64_t kMaxTableCount = 4096;
    std::vector<uint8_t> table;
    if (count <= kMaxTableCount) {
        table.resize(size_t(count) * 255 + 1);
        for (size_t s = 0; s < table.size(); ++s) table[s] = CellValue(s, count);
    }

    std::vector<Acc> acc(rowBytes);
    std::vector<uint8_t> mosaicRow(rowBytes);
    for (int32_t y0 = 0; y0 < h; y0 += ch) {
        const int32_t rows = std::min(ch, h - y0);
        SetRow(acc.data(), bmp.ScanLine(y0), rowBytes);
        for (int32_t y = y0 + 1; y < y0 + rows; ++y) AddRow(acc.data(), bmp.ScanLine(y), rowBytes);
        if (rows < ch) AddRowTimes(acc.data(), bmp.ScanLine(h - 1), rowBytes, Acc(ch - rows));

        uint8_t* out = mosaicRow.data();
        for (int32_t x0 = 0; x0 < w; x0 += cw) {
            const int32_t cols = std::min(cw, w - x0);
            const Acc* a = acc.data() + size_t(x0) * 3;
            uint64_t sb = 0, sg = 0, sr = 0;
            for (int32_t i = 0; i < cols; ++i, a += 3) {
                sb += a[0];
                sg += a[1];
                sr += a[2];
            }
            if (cols < cw) {
                const Acc* last = acc.data() + size_t(w - 1) * 3;
                const uint64_t extra = uint64_t(cw - cols);
                sb += extra * last[0];
                sg += extra * last[1];
                sr += extra * last[2];
            }
            uint8_t b, g, r;
            if (!table.empty()) {
                b = table[sb];
                g = table[sg];
                r = table[sr];
            } else {
                b = CellValue(sb, count);
                g = CellValue(sg, count);
                r = CellValue(sr, count);
            }
            for (int32_t i = 0; i < cols; ++i, out += 3) {
                out[0] = b;
                out[1] = g;
                out[2] = r;
            }
        }
        for (int32_t y = y0; y < y0 + rows; ++y)
            std::memcpy(bmp.ScanLine(y), mosaicRow.data(), rowBytes);
    }
}

int64_t RoundUpToCells(int64_t size, int64_t cell) {
    return (size + cell - 1) / cell * cell;
}

}  // namespace

void Pixelate(TBitmap& bitmap, int32_t cellWidth, int32_t cellHeight, int32_t /*unused*/) {
    if (cellWidth < 1 || cellHeight < 1 || (cellWidth == 1 && cellHeight == 1)) return;
    // The picture behaves as if grown to whole cells, so it must be a size a surface can have;
    // this also keeps every cell sum far inside 64 bits.
    CheckPictureSize(RoundUpToCells(bitmap.Width(), cellWidth),
                     RoundUpToCells(bitmap.Height(), cellHeight));
    bitmap.SetPixelFormat(pf24bit);
    if (bitmap.Empty()) return;
    if (cellHeight * 255 <= 0xFFFF)
        PixelateBands<uint16_t>(bitmap, cellWidth, cellHeight);
    else
        PixelateBands<uint32_t>(bitmap, cellWidth, cellHeight);
}

void PadToCells(TBitmap& bitmap, int32_t cellWidth, int32_t cellHeight) {
    if (cellWidth < 1 || cellHeight < 1) throw Exception("invalid cell size");
    bitmap.SetPixelFormat(pf24bit);
    const int32_t w = bitmap.Width();
    const int32_t h = bitmap.Height();
    const int64_t newW = RoundUpToCells(w, cellWidth);
    const int64_t newH = RoundUpToCells(h, cellHeight);
    if (newW == w && newH == h) return;
    CheckPictureSize(newW, newH);

    TBitmap grown(int32_t(newW), int32_t(newH), pf24bit);
    const size_t rowBytes = size_t(w) * 3;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = grown.ScanLine(y);
        std::memcpy(row, bitmap.ScanLine(y), rowBytes);
        if (w == 0) continue;
        const uint8_t* last = row + rowBytes - 3;
        for (uint8_t* p = row + rowBytes; p < row + size_t(newW) * 3; p += 3) {
            p[0] = last[0];
            p[1] = last[1];
            p[2] = last[2];
        }
    }
    if (h > 0)
        for (int64_t y = h; y < newH; ++y)
            std::memcpy(grown.ScanLine(int32_t(y)), grown.ScanLine(h - 1), size_t(newW) * 3);
    bitmap.Swap(grown);
}

}  // namespace tilvo
