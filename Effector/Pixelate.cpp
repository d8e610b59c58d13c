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

// Cells of up to this many pixels look their averages up in a table of every possible sum.
constexpr int64_t kMaxTableCount = 4096;

// The average of a cell, halves going up: trunc(sum / count + 0.5) in floating point. Cells are at
// most 2^20 × 2^20 pixels, so sums stay below 2^48 and the double holds them exactly.
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

// Pixelates the cells of `cells` of `src` (24 bits): its left and top lie on the cell grid, its
// right and bottom on the grid or on the picture's edge. Edge cells count the picture's last
// column and row again for the missing ones, as if the picture were grown by PadToCells, without
// storing the repeated pixels; every cell therefore has cw × ch pixels. The part `dest` of the
// cells is written to `out`, whose pixel (0, 0) is the picture's `outOrigin`. `out` may be `src`
// itself: a band of cells is read whole before any of its rows is written. `Acc` must hold
// ch × 255.
template <class Acc>
std::vector<Acc>& AccOf(TPixelateScratch& s) {
    if constexpr (sizeof(Acc) == 2)
        return s.Acc16;
    else
        return s.Acc32;
}

template <class Acc>
void PixelateBands(const TBitmap& src, TRect cells, int32_t cw, int32_t ch, TBitmap& out,
                   TRect dest, TPoint outOrigin, TPixelateScratch& scratch) {
    const int32_t w = cells.Width();
    const size_t rowBytes = size_t(w) * 3;
    const size_t srcOffset = size_t(cells.Left) * 3;
    const int64_t count = int64_t(cw) * ch;

    // With small cells, every possible sum has its average looked up instead of divided; the
    // table is kept for the next call with cells of the same area.
    std::vector<uint8_t>& table = scratch.Table;
    if (count > kMaxTableCount) {
        table.clear();
        scratch.TableCount = 0;
    } else if (scratch.TableCount != count) {
        table.resize(size_t(count) * 255 + 1);
        for (size_t s = 0; s < table.size(); ++s) table[s] = CellValue(s, count);
        scratch.TableCount = count;
    }
    constexpr bool kSmallSums = sizeof(Acc) == 2;
    const bool packed = kSmallSums && count * 255 <= 0xFFFF;

    // Grown, never shrunk: a call no wider than the last allocates nothing.
    std::vector<Acc>& acc = AccOf<Acc>(scratch);
    if (acc.size() < rowBytes + 1) acc.resize(rowBytes + 1);
    std::vector<uint8_t>& mosaicRow = scratch.Row;
    if (mosaicRow.size() < rowBytes + 1) mosaicRow.resize(rowBytes + 1);
    const uint8_t* mosaicPart = mosaicRow.data() + size_t(dest.Left - cells.Left) * 3;
    const size_t outOffset = size_t(dest.Left - outOrigin.X) * 3;
    const size_t outBytes = size_t(dest.Width()) * 3;
    const uint8_t* rows[kMaxRowsPerPass];
    for (int32_t y0 = cells.Top; y0 < cells.Bottom; y0 += ch) {
        const int32_t bandRows = std::min(ch, cells.Bottom - y0);
        for (int32_t y = y0; y < y0 + bandRows; y += kMaxRowsPerPass) {
            const int group = std::min(kMaxRowsPerPass, y0 + bandRows - y);
            for (int i = 0; i < group; ++i) rows[i] = src.ScanLine(y + i) + srcOffset;
            if (y == y0)
                AddRowGroup<Acc, true>(acc.data(), rows, group, rowBytes);
            else
                AddRowGroup<Acc, false>(acc.data(), rows, group, rowBytes);
        }
        if (bandRows < ch)
            AddRowTimes(acc.data(), src.ScanLine(cells.Bottom - 1) + srcOffset, rowBytes,
                        Acc(ch - bandRows));

        if constexpr (kSmallSums) {
            if (packed) {
                PackedCells(acc.data(), mosaicRow.data(), w, cw, table.data());
            } else {
                GeneralCells(acc.data(), mosaicRow.data(), w, cw, count, table);
            }
        } else {
            GeneralCells(acc.data(), mosaicRow.data(), w, cw, count, table);
        }
        const int32_t yEnd = std::min(y0 + bandRows, dest.Bottom);
        for (int32_t y = std::max(y0, dest.Top); y < yEnd; ++y)
            std::memcpy(out.ScanLine(y - outOrigin.Y) + outOffset, mosaicPart, outBytes);
    }
}

// Cells wider or higher than the longest side a surface may have are refused; below that every
// column sum fits 32 bits and every cell sum 64 bits. The scratch memory of a pass over cells
// `width` pixels wide (the column sums, one mosaic row and the table of averages) is computed in
// 64 bits and refused beyond what a surface may take, before anything is allocated.
void CheckCellsAndScratch(int64_t width, int32_t cw, int32_t ch) {
    if (cw > kMaxSurfaceSide || ch > kMaxSurfaceSide) throw EPictureTooLarge();
    const int64_t rowBytes = CheckedAdd(CheckedMul(width, 3), 1);
    const int64_t accBytes = CheckedMul(rowBytes, ch * 255 <= 0xFFFF ? 2 : 4);
    const int64_t count = CheckedMul(cw, ch);
    const int64_t tableBytes = count <= kMaxTableCount ? count * 255 + 1 : 0;
    const int64_t total = CheckedAdd(CheckedAdd(accBytes, rowBytes), tableBytes);
    if (total > kMaxSurfaceBytes) throw EPictureTooLarge();
}

void PixelateCells(const TBitmap& src, TRect cells, int32_t cw, int32_t ch, TBitmap& out,
                   TRect dest, TPoint outOrigin, TPixelateScratch& scratch) {
    if (ch * 255 <= 0xFFFF)
        PixelateBands<uint16_t>(src, cells, cw, ch, out, dest, outOrigin, scratch);
    else
        PixelateBands<uint32_t>(src, cells, cw, ch, out, dest, outOrigin, scratch);
}

int64_t RoundUpToCells(int64_t size, int64_t cell) {
    return (size + cell - 1) / cell * cell;
}

}  // namespace

void Pixelate(TBitmap& bitmap, int32_t cellWidth, int32_t cellHeight, int32_t /*unused*/) {
    if (cellWidth < 1 || cellHeight < 1 || (cellWidth == 1 && cellHeight == 1)) return;
    // The picture is never grown: edge cells count the repeated pixels without storing them, so
    // the column sums and one row are all the memory a pass needs.
    if (!bitmap.Empty()) CheckCellsAndScratch(bitmap.Width(), cellWidth, cellHeight);
    bitmap.SetPixelFormat(pf24bit);
    if (bitmap.Empty()) return;
    const TRect whole{0, 0, bitmap.Width(), bitmap.Height()};
    TPixelateScratch scratch;
    PixelateCells(bitmap, whole, cellWidth, cellHeight, bitmap, whole, TPoint{0, 0}, scratch);
}

void PixelateRect(TBitmap& picture, TRect rect, int32_t cellWidth, int32_t cellHeight,
                  TBitmap& out) {
    TPixelateScratch scratch;
    PixelateRect(picture, rect, cellWidth, cellHeight, out, scratch);
}

void PixelateRect(TBitmap& picture, TRect rect, int32_t cellWidth, int32_t cellHeight,
                  TBitmap& out, TPixelateScratch& scratch) {
    if (rect.Left > rect.Right) std::swap(rect.Left, rect.Right);
    if (rect.Top > rect.Bottom) std::swap(rect.Top, rect.Bottom);
    if (rect.Left < 0 || rect.Top < 0 || rect.Right > picture.Width() ||
        rect.Bottom > picture.Height())
        throw Exception("rectangle outside the picture");
    const bool noCells = cellWidth < 1 || cellHeight < 1 || (cellWidth == 1 && cellHeight == 1);
    // The cells the rectangle touches, on the grid anchored at the picture's top-left pixel;
    // cells cut by the picture's edge end there.
    TRect cells = rect;
    if (!noCells && rect.Width() > 0 && rect.Height() > 0) {
        cells.Left = rect.Left / cellWidth * cellWidth;
        cells.Top = rect.Top / cellHeight * cellHeight;
        cells.Right =
            int32_t(std::min<int64_t>(RoundUpToCells(rect.Right, cellWidth), picture.Width()));
        cells.Bottom =
            int32_t(std::min<int64_t>(RoundUpToCells(rect.Bottom, cellHeight), picture.Height()));
        CheckCellsAndScratch(cells.Width(), cellWidth, cellHeight);
    }
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    out.Resize(rect.Width(), rect.Height(), pf24bit);
    if (out.Empty()) return;
    if (noCells) {
        for (int32_t y = rect.Top; y < rect.Bottom; ++y)
            std::memcpy(out.ScanLine(y - rect.Top), picture.ScanLine(y) + size_t(rect.Left) * 3,
                        size_t(rect.Width()) * 3);
        return;
    }
    PixelateCells(picture, cells, cellWidth, cellHeight, out, rect, TPoint{rect.Left, rect.Top},
                  scratch);
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
