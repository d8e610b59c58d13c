// Mosaic pixelation over whole bands of rows: the rows of one band of cells are summed column by
// column, the cell averages form one row, and that row is copied down the band. Each pixel is
// read once and written once.
#include "Pixelate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "RowSums.h"

namespace tilvo {

namespace {

using namespace rowsums;

// The average of a cell, halves going up: trunc(sum / count + 0.5) in floating point. Sums stay
// below 2^40, so the double holds them exactly.
uint8_t CellValue(uint64_t sum, int64_t count) {
    const double v = std::trunc(double(sum) / double(count) + 0.5);
    return ClampByte(v >= 255.0 ? 255 : int32_t(v));
}

template <class Acc>
void AddRowTimes(Acc* __restrict acc, const uint8_t* __restrict row, size_t n, Acc times) {
    for (size_t i = 0; i < n; ++i) acc[i] = Acc(acc[i] + times * row[i]);
}

// Cells of at most 257 pixels with 16-bit column sums: the B, G and R sums of a pixel column
// (and the next column's B) are loaded as one 64-bit word, four 16-bit lanes, and added as
// words; no lane can carry into the next because no cell sum reaches 65536. The averages are
// looked up and stored as one 4-byte word per pixel whose fourth byte the next pixel overwrites.
// `acc` and `out` each have one element of slack past the row.
inline uint64_t LoadLanes(const uint16_t* p) {
    static_assert(std::endian::native == std::endian::little);
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t PackedPixel(uint64_t sum, const uint8_t* table) {
    return uint32_t(table[sum & 0xFFFF]) | uint32_t(table[(sum >> 16) & 0xFFFF]) << 8 |
           uint32_t(table[(sum >> 32) & 0xFFFF]) << 16;
}

// kCw is the cell width when it is known when compiling (the sizes the main window offers), 0
// otherwise.
template <int kCw>
void PackedCells(const uint16_t* acc, uint8_t* out, int32_t w, int32_t cellWidth,
                 const uint8_t* table) {
    const int32_t cw = kCw ? kCw : cellWidth;
    const uint64_t last = LoadLanes(acc + size_t(w - 1) * 3);
    int32_t x0 = 0;
    for (; x0 + cw <= w; x0 += cw) {
        const uint16_t* a = acc + size_t(x0) * 3;
        uint64_t sum = 0;
        for (int32_t i = 0; i < cw; ++i) sum += LoadLanes(a + size_t(i) * 3);
        const uint32_t pixel = PackedPixel(sum, table);
        uint8_t* o = out + size_t(x0) * 3;
        for (int32_t i = 0; i < cw; ++i) std::memcpy(o + size_t(i) * 3, &pixel, 4);
    }
    if (x0 < w) {
        // The last, partial cell: the last column counts for the missing ones.
        const int32_t cols = w - x0;
        const uint16_t* a = acc + size_t(x0) * 3;
        uint64_t sum = uint64_t(cw - cols) * last;
        for (int32_t i = 0; i < cols; ++i) sum += LoadLanes(a + size_t(i) * 3);
        const uint32_t pixel = PackedPixel(sum, table);
        uint8_t* o = out + size_t(x0) * 3;
        for (int32_t i = 0; i < cols; ++i) std::memcpy(o + size_t(i) * 3, &pixel, 4);
    }
}

void PackedCells(const uint16_t* acc, uint8_t* out, int32_t w, int32_t cw, const uint8_t* table) {
    switch (cw) {
        case 2:
            return PackedCells<2>(acc, out, w, cw, table);
        case 4:
            return PackedCells<4>(acc, out, w, cw, table);
        case 8:
            return PackedCells<8>(acc, out, w, cw, table);
        case 12:
            return PackedCells<12>(acc, out, w, cw, table);
        case 16:
            return PackedCells<16>(acc, out, w, cw, table);
        default:
            return PackedCells<0>(acc, out, w, cw, table);
    }
}

// Any cell size: per-channel sums in 64 bits, looked up when a table exists, divided otherwise.
template <class Acc>
void GeneralCells(const Acc* acc, uint8_t* out, int32_t w, int32_t cw, int64_t count,
                  const std::vector<uint8_t>& table) {
    const Acc* last = acc + size_t(w - 1) * 3;
    for (int32_t x0 = 0; x0 < w; x0 += cw) {
        const int32_t cols = std::min(cw, w - x0);
        const Acc* a = acc + size_t(x0) * 3;
        uint64_t sb = 0, sg = 0, sr = 0;
        for (int32_t i = 0; i < cols; ++i, a += 3) {
            sb += a[0];
            sg += a[1];
            sr += a[2];
        }
        const uint64_t extra = uint64_t(cw - cols);
        sb += extra * last[0];
        sg += extra * last[1];
        sr += extra * last[2];
        uint8_t b, g, r;
        if (!table.empty()) {
            b = table[sb], g = table[sg], r = table[sr];
        } else {
            b = CellValue(sb, count), g = CellValue(sg, count), r = CellValue(sr, count);
        }
        uint8_t* o = out + size_t(x0) * 3;
        for (int32_t i = 0; i < cols; ++i, o += 3) {
            o[0] = b;
            o[1] = g;
            o[2] = r;
        }
    }
}

// Pixelates a surface (24 bits) in place, as if it were first grown to whole cells by repeating
// its last column and then its last row: the repeated pixels are counted into the edge cells
// without being stored. Every cell therefore has cw × ch pixels. `Acc` must hold ch × 255.
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
    constexpr bool kSmallSums = sizeof(Acc) == 2;
    const bool packed = kSmallSums && count * 255 <= 0xFFFF;

    std::vector<Acc> acc(rowBytes + 1);
    std::vector<uint8_t> mosaicRow(rowBytes + 1);
    const uint8_t* rows[kMaxRowsPerPass];
    for (int32_t y0 = 0; y0 < h; y0 += ch) {
        const int32_t bandRows = std::min(ch, h - y0);
        for (int32_t y = y0; y < y0 + bandRows; y += kMaxRowsPerPass) {
            const int group = std::min(kMaxRowsPerPass, y0 + bandRows - y);
            for (int i = 0; i < group; ++i) rows[i] = bmp.ScanLine(y + i);
            if (y == y0)
                AddRowGroup<Acc, true>(acc.data(), rows, group, rowBytes);
            else
                AddRowGroup<Acc, false>(acc.data(), rows, group, rowBytes);
        }
        if (bandRows < ch)
            AddRowTimes(acc.data(), bmp.ScanLine(h - 1), rowBytes, Acc(ch - bandRows));

        if constexpr (kSmallSums) {
            if (packed) {
                PackedCells(acc.data(), mosaicRow.data(), w, cw, table.data());
            } else {
                GeneralCells(acc.data(), mosaicRow.data(), w, cw, count, table);
            }
        } else {
            GeneralCells(acc.data(), mosaicRow.data(), w, cw, count, table);
        }
        for (int32_t y = y0; y < y0 + bandRows; ++y)
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
