// Edits applied a band at a time must give the bytes the window's whole-picture strokes give.
#include "Effector/StripStrokes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Effector/HistoryListEx.h"
#include "Effector/Pixelate.h"
#include "EngineTestSupport.h"

namespace tilvo {
namespace {

struct TEditCase {
    bool IsRect;
    std::vector<TPoint> Points;
    TRect Rect;
};

// Random strokes (press point twice, as stored) and rectangles, partly off the picture, over each
// other and over the last rows and columns.
std::vector<TEditCase> RandomEdits(uint32_t seed, int32_t w, int32_t h, int count) {
    uint32_t s = seed;
    auto next = [&](int32_t lo, int32_t hi) {
        s = s * 1664525u + 1013904223u;
        return lo + int32_t((s >> 8) % uint32_t(hi - lo + 1));
    };
    std::vector<TEditCase> edits;
    for (int i = 0; i < count; ++i) {
        TEditCase e{};
        e.IsRect = next(0, 3) == 0;
        if (e.IsRect) {
            e.Rect = TRect{next(-20, w), next(-20, h), next(0, w + 20), next(0, h + 20)};
        } else {
            const TPoint first{next(-10, w + 10), next(-10, h + 10)};
            e.Points = {first, first};
            for (int n = next(0, 4); n > 0; --n) e.Points.push_back({next(-10, w + 10), next(-10, h + 10)});
        }
        edits.push_back(std::move(e));
    }
    return edits;
}

struct TSetting {
    int32_t Mosaic;
    int32_t Brush;
    bool Soft;
    TStrokeEffect Effect;
};

// The picture after the edits, applied as the window does.
void Whole(const TBitmap& source, const std::vector<TEditCase>& edits, const TSetting& s,
           TBitmap& work) {
    TBitmap region, mask;
    work.Assign(source);
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    for (const TEditCase& e : edits) {
        if (e.IsRect) {
            ApplyRectStroke(ctx, e.Rect, s.Mosaic, s.Soft, s.Effect);
            continue;
        }
        const int32_t n = int32_t(e.Points.size());
        const TRect dirty = ComputeDirtyRect(e.Points.data(), n, s.Brush, work.Width(), work.Height());
        ApplyStroke(ctx, e.Points.data(), n, dirty, s.Mosaic, s.Brush, s.Soft, s.Effect);
    }
}

// The same edits through TStripStrokes, in bands of `bandCells` × the alignment rows, each band
// cut out of the picture and put back.
void InBands(const TBitmap& source, const std::vector<TEditCase>& edits, const TSetting& s,
             int32_t bandCells, TBitmap& out) {
    const int32_t w = source.Width(), h = source.Height();
    TStripStrokes strips(w, h, s.Mosaic, s.Brush, s.Soft, s.Effect);
    for (const TEditCase& e : edits) {
        if (e.IsRect)
            strips.AddRect(e.Rect);
        else
            strips.AddStroke(e.Points.data(), int32_t(e.Points.size()));
    }
    out.Assign(source);
    const int32_t step = strips.Alignment() * bandCells;
    for (int32_t top = 0; top < h; top += step) {
        TBitmap band(w, std::min(step, h - top));
        for (int32_t y = 0; y < band.Height(); ++y)
            std::memcpy(band.ScanLine(y), out.ScanLine(top + y), size_t(w) * 3);
        strips.Apply(band, top);
        for (int32_t y = 0; y < band.Height(); ++y)
            std::memcpy(out.ScanLine(top + y), band.ScanLine(y), size_t(w) * 3);
    }
}

TEST(StripStrokes, BandsGiveTheWholePictureBytes) {
    const TSetting settings[] = {
        {16, 20, true, TStrokeEffect::Mosaic},  {16, 20, false, TStrokeEffect::Mosaic},
        {2, 5, true, TStrokeEffect::Mosaic},    {12, 50, true, TStrokeEffect::Mosaic},
        {64, 80, false, TStrokeEffect::Mosaic}, {8, 30, true, TStrokeEffect::SolidFill},
        {24, 12, false, TStrokeEffect::SolidFill},
    };
    // Heights that are and are not multiples of the cells; widths not multiples of 8.
    const TPoint sizes[] = {{203, 157}, {130, 400}};
    uint32_t seed = 7;
    for (const TSetting& s : settings) {
        for (const TPoint size : sizes) {
            TBitmap source;
            test::FillPicture(source, size.X, size.Y, seed);
            const std::vector<TEditCase> edits = RandomEdits(seed++, size.X, size.Y, 6);
            TBitmap expected, banded;
            Whole(source, edits, s, expected);
            for (int32_t cells : {1, 3, 1000}) {
                SCOPED_TRACE(testing::Message() << "mosaic " << s.Mosaic << " brush " << s.Brush
                                                << " soft " << s.Soft << " size " << size.X << "x"
                                                << size.Y << " band cells " << cells);
                InBands(source, edits, s, cells, banded);
                EXPECT_TRUE(test::SamePixels(banded, expected));
            }
        }
    }
}

TEST(StripStrokes, ReportsTheRowsItChangesAndRefusesMisplacedBands) {
    TStripStrokes strips(100, 90, 16, 10, true, TStrokeEffect::Mosaic);
    EXPECT_TRUE(strips.Empty());
    const TPoint points[] = {{50, 40}, {50, 40}, {60, 44}};
    strips.AddStroke(points, 3);
    strips.AddRect(TRect{-30, -30, -10, -10});  // wholly off the picture: nothing
    EXPECT_EQ(strips.Top(), 32);                // 40 − 6, down to a multiple of 8
    EXPECT_EQ(strips.Bottom(), 56);             // 44 + 6 + 1, up to a multiple of 8
    TBitmap band(100, 16);
    EXPECT_THROW(strips.Apply(band, 8), Exception);    // not on a cell row
    TBitmap thin(100, 10);
    EXPECT_THROW(strips.Apply(thin, 16), Exception);   // not whole cells, not the last band
    TBitmap narrow(99, 16);
    EXPECT_THROW(strips.Apply(narrow, 16), Exception);
    TBitmap last(100, 10);
    EXPECT_NO_THROW(strips.Apply(last, 80));           // the picture's last rows
}

}  // namespace
}  // namespace tilvo
