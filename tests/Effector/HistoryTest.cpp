#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "Effector/CustomFilter.h"
#include "Effector/HistoryListEx.h"
#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
#include "EngineTestSupport.h"

namespace tilvo {
namespace {

using test::FillPicture;
using test::SamePixels;

// The main window's part in a stroke: source, edited picture, preview, scratch surfaces, history.
struct Session {
    TBitmap source, work, preview, region, mask;
    THistoryControl history;
    TStrokeContext ctx{work, preview, region, mask, history};
    int32_t mosaic = 0;

    Session(int32_t w, int32_t h, int32_t mosaicSize) {
        FillPicture(source, w, h, 5);
        work.Assign(source);
        SetMosaic(mosaicSize);
    }
    // The preview is rebuilt from the edited picture when the mosaic size changes.
    void SetMosaic(int32_t m) {
        mosaic = m;
        preview.Assign(work);
        Pixelate(preview, m, m, 0);
    }
    TRect Stroke(std::vector<TPoint> pts, int32_t brush, bool soft) {
        const TRect r =
            ComputeDirtyRect(pts.data(), int32_t(pts.size()), brush, work.Width(), work.Height());
        ApplyStroke(ctx, pts.data(), int32_t(pts.size()), r, mosaic, brush, soft);
        return r;
    }
    bool Undo() {
        work.Assign(source);
        return history.Undo(work);
    }
    bool Redo() {
        work.Assign(source);
        return history.Redo(work);
    }
};

TEST(HistoryTest, UndoRedoAnswersAndUndoToTheStartGivesTheSource) {
    Session s(96, 72, 8);
    s.Stroke({{20, 20}, {20, 20}, {40, 30}}, 12, true);
    TBitmap afterOne;
    afterOne.Assign(s.work);
    s.Stroke({{60, 50}, {60, 50}, {70, 40}}, 12, true);
    s.Stroke({{30, 60}, {30, 60}, {80, 60}}, 12, false);
    ASSERT_EQ(s.history.Count(), 3);
    ASSERT_EQ(s.history.Position(), 3);
    EXPECT_FALSE(SamePixels(s.work, s.source));

    EXPECT_TRUE(s.Undo());
    EXPECT_TRUE(s.Undo());
    EXPECT_EQ(s.history.Position(), 1);
    // One stroke over the untouched picture: the blends differ, but where the mask is black both
    // take the same cell averages (cells of 8 on an 8-aligned rectangle).
    EXPECT_FALSE(SamePixels(s.work, s.source));
    const TEffectHInfo& first = *s.history.Entries()[0];
    for (int32_t y = first.Top; y < first.Bottom; ++y)
        for (int32_t x = first.Left; x < first.Right; ++x)
            if (GetBValue(first.Mask->Pixel(x - first.Left, y - first.Top)) == 0) {
                ASSERT_EQ(s.work.Pixel(x, y), afterOne.Pixel(x, y)) << x << "," << y;
            }

    EXPECT_FALSE(s.Undo());
    EXPECT_EQ(s.history.Position(), 0);
    EXPECT_TRUE(SamePixels(s.work, s.source));

    EXPECT_TRUE(s.Redo());
    EXPECT_TRUE(s.Redo());
    EXPECT_FALSE(s.Redo());
    EXPECT_EQ(s.history.Position(), 3);
    EXPECT_EQ(s.history.Count(), 3);
}

TEST(HistoryTest, NewStrokeAfterUndoDropsTheUndoneEntries) {
    Session s(96, 72, 4);
    s.Stroke({{20, 20}, {20, 20}}, 10, true);
    s.Stroke({{50, 20}, {50, 20}}, 10, true);
    s.Stroke({{80, 20}, {80, 20}}, 10, true);
    s.Undo();
    s.Undo();
    s.SetMosaic(12);
    const TRect r = s.Stroke({{40, 60}, {40, 60}, {60, 60}}, 10, true);
    ASSERT_EQ(s.history.Count(), 2);
    EXPECT_EQ(s.history.Position(), s.history.Count());  // nothing left to redo
    EXPECT_EQ(s.history.Entries()[0]->Param1, 4);
    EXPECT_EQ(s.history.Entries()[0]->Left, 8);
    const TEffectHInfo& e = *s.history.Entries()[1];
    EXPECT_EQ(e.Param1, 12);
    EXPECT_EQ((TRect{e.Left, e.Top, e.Right, e.Bottom}), r);
}

TEST(HistoryTest, UndoOrRedoBeyondTheEndsStaysWithinTheList) {
    Session s(64, 48, 4);
    s.Stroke({{20, 20}, {20, 20}}, 10, false);
    EXPECT_FALSE(s.Undo());
    EXPECT_FALSE(s.Undo());  // one too many: still position 0, the source
    EXPECT_EQ(s.history.Position(), 0);
    EXPECT_TRUE(SamePixels(s.work, s.source));
    EXPECT_FALSE(s.Redo());
    EXPECT_FALSE(s.Redo());
    EXPECT_EQ(s.history.Position(), 1);
    // A stroke after that keeps the entry below the position.
    s.Stroke({{40, 30}, {40, 30}}, 10, false);
    EXPECT_EQ(s.history.Count(), 2);
}

TEST(HistoryTest, ClearEmptiesTheListAndTheNextAddSetsThePosition) {
    Session s(64, 48, 4);
    s.Stroke({{20, 20}, {20, 20}}, 10, false);
    s.Stroke({{40, 20}, {40, 20}}, 10, false);
    s.history.Clear();
    EXPECT_EQ(s.history.Count(), 0);
    s.Stroke({{30, 30}, {30, 30}}, 10, false);
    EXPECT_EQ(s.history.Count(), 1);
    EXPECT_EQ(s.history.Position(), 1);
}

TEST(HistoryTest, StrokeEntryNeedsAMask) {
    THistoryControl h;
    EXPECT_THROW(h.Add(Pixelate, "Mosaic", "", HistoryKind, 0, 0, 8, 8, 4, 4, 0, nullptr),
                 Exception);
    EXPECT_EQ(h.Count(), 0);
}

// ---- Replay against the live stroke ---------------------------------------------------------

struct ReplayCase {
    const char* what;
    int32_t width, height;
    std::vector<TPoint> points;
};

void PrintTo(const ReplayCase& c, std::ostream* os) {
    *os << c.what;
}

class ReplayVsLiveTest : public testing::TestWithParam<ReplayCase> {};

// Live: MaskedBlend with cells of the whole-picture preview. Replay: ReplayBlend with cells of
// the cut-out. With cells of 4 on an 8-aligned rectangle the grids agree, so the two differ only
// by the rounding of the blends (live − replay within −1 … +2 over all inputs), except in cells
// that the rectangle's right or bottom side cuts, which replay averages over replicated edges.
TEST_P(ReplayVsLiveTest, DiffersOnlyByBlendRoundingAndInCutCells) {
    const ReplayCase& c = GetParam();
    Session s(c.width, c.height, 4);
    const TRect r = s.Stroke(c.points, 20, true);
    TBitmap replay;
    replay.Assign(s.source);
    ReplayHistory(replay, 1, s.history.Entries());
    const TBitmap& mask = *s.history.Entries()[0]->Mask;

    int64_t checked = 0, equalAtBlack = 0;
    for (int32_t y = 0; y < c.height; ++y)
        for (int32_t x = 0; x < c.width; ++x) {
            const TColor live = s.work.Pixel(x, y), again = replay.Pixel(x, y);
            const bool inside = x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom;
            if (!inside) {
                ASSERT_EQ(live, again) << x << "," << y;
                continue;
            }
            const bool cut = (x / 4 * 4 + 4 > r.Right) || (y / 4 * 4 + 4 > r.Bottom);
            if (cut) continue;
            for (const int shift : {0, 8, 16}) {
                const int d = int((live >> shift) & 255) - int((again >> shift) & 255);
                ASSERT_GE(d, -1) << x << "," << y;
                ASSERT_LE(d, 2) << x << "," << y;
            }
            if (GetBValue(mask.Pixel(x - r.Left, y - r.Top)) == 0) {
                ASSERT_EQ(live, again) << x << "," << y;
                ++equalAtBlack;
            }
            ++checked;
        }
    EXPECT_GT(checked, 1000);
    EXPECT_GT(equalAtBlack, 100);
}

INSTANTIATE_TEST_SUITE_P(
    Strokes, ReplayVsLiveTest,
    testing::Values(ReplayCase{"well inside", 160, 120, {{50, 50}, {50, 50}, {80, 62}, {100, 70}}},
                    // W − 1 = 98 and H − 1 = 86 cut the cells 96 … 99 and 84 … 87.
                    ReplayCase{"against the right and bottom sides",
                               99,
                               87,
                               {{60, 60}, {60, 60}, {90, 80}, {97, 85}}}));

TEST(HistoryTest, EachEntryReplaysWithItsOwnMosaicSize) {
    Session s(200, 120, 4);
    const TRect r1 = s.Stroke({{40, 60}, {40, 60}, {50, 60}}, 24, false);
    s.SetMosaic(16);
    const TRect r2 = s.Stroke({{150, 60}, {150, 60}, {160, 60}}, 24, false);
    ASSERT_LE(r1.Right, r2.Left);

    TBitmap replay;
    replay.Assign(s.source);
    ReplayHistory(replay, 2, s.history.Entries());
    int64_t black = 0;
    for (int i = 0; i < 2; ++i) {
        const TEffectHInfo& e = *s.history.Entries()[size_t(i)];
        const TRect r{e.Left, e.Top, e.Right, e.Bottom};
        // Where the mask is black, replay writes the cut-out pixelated with the entry's size.
        TBitmap expected;
        CopyRegionOut(s.source, r, expected);
        Pixelate(expected, i == 0 ? 4 : 16, i == 0 ? 4 : 16, 0);
        for (int32_t y = r.Top; y < r.Bottom; ++y)
            for (int32_t x = r.Left; x < r.Right; ++x)
                if (GetBValue(e.Mask->Pixel(x - r.Left, y - r.Top)) == 0) {
                    ASSERT_EQ(replay.Pixel(x, y), expected.Pixel(x - r.Left, y - r.Top))
                        << "entry " << i << " at " << x << "," << y;
                    ++black;
                }
    }
    EXPECT_GT(black, 1000);
}

// ---- Replay of hand-made entries: kinds and the choice of effect ----------------------------

void InvertParam(TBitmap& b, int32_t, int32_t, int32_t) {
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t i = 0; i < 3 * b.Width(); ++i) b.ScanLine(y)[i] ^= 0xFF;
}
void AddParams(TBitmap& b, int32_t p1, int32_t p2, int32_t p3) {
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t x = 0; x < b.Width(); ++x) {
            uint8_t* p = b.ScanLine(y) + 3 * x;
            p[0] = uint8_t(p[0] + p1), p[1] = uint8_t(p[1] + p2), p[2] = uint8_t(p[2] + p3);
        }
}
void InvertPlain(TBitmap& b, TBitmap& same, int32_t zero) {
    EXPECT_EQ(&b, &same);
    EXPECT_EQ(zero, 0);
    InvertParam(b, 0, 0, 0);
}

struct EntryCase {
    const char* what;
    const char* name;
    TParamEffect param;
    TPlainEffect plain;
    uint8_t kind;
    uint8_t maskValue;  // kind 2 only
    // Builds the expected picture from the source.
    std::function<void(TBitmap&)> expect;
};

const TRect kRect{8, 4, 24, 20};

void InvertRect(TBitmap& b) {
    for (int32_t y = kRect.Top; y < kRect.Bottom; ++y)
        for (int32_t i = 3 * kRect.Left; i < 3 * kRect.Right; ++i) b.ScanLine(y)[i] ^= 0xFF;
}

TEST(ReplayHistoryTest, KindsAndChoiceOfEffect) {
    const EntryCase cases[] = {
        {"filter name wins over the effect", "Blur", InvertParam, nullptr, HistoryKindWhole, 0,
         [](TBitmap& b) { ApplyFilter(b, "Blur"); }},
        {"filter without kernel still wins", "ColorEmboss", InvertParam, nullptr, HistoryKind, 0,
         [](TBitmap&) {}},
        {"parameterised effect with its parameters", "Mosaic", AddParams, InvertPlain,
         HistoryKindRect, 0,
         [](TBitmap& b) {
             TBitmap r;
             CopyRegionOut(b, kRect, r);
             AddParams(r, 3, 5, 7);
             CopyRegionIn(r, kRect, b);
         }},
        {"plain effect when there is no other", "", nullptr, InvertPlain, HistoryKindRect, 0,
         InvertRect},
        {"no effect at all", "Nothing", nullptr, nullptr, HistoryKindWhole, 0, [](TBitmap&) {}},
        {"mask 0 takes the processed pixels", "", InvertParam, nullptr, HistoryKind, 0, InvertRect},
        {"mask 255 moves one step towards them", "", InvertParam, nullptr, HistoryKind, 255,
         [](TBitmap& b) {
             for (int32_t y = kRect.Top; y < kRect.Bottom; ++y)
                 for (int32_t i = 3 * kRect.Left; i < 3 * kRect.Right; ++i) {
                     uint8_t& v = b.ScanLine(y)[i];
                     const int p = v ^ 0xFF;
                     v = uint8_t(p + ((255 * (v - p)) >> 8));
                 }
         }},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.what);
        TBitmap source;
        FillPicture(source, 32, 24, 9);
        std::vector<std::unique_ptr<TEffectHInfo>> entries;
        auto e = std::make_unique<TEffectHInfo>();
        e->Name = c.name;
        e->ParamEffect = c.param;
        e->Effect = c.plain;
        e->Kind = c.kind;
        e->Left = kRect.Left, e->Top = kRect.Top, e->Right = kRect.Right, e->Bottom = kRect.Bottom;
        e->Param1 = 3, e->Param2 = 5, e->Param3 = 7;
        if (c.kind == HistoryKind) {
            e->Mask = std::make_unique<TBitmap>(kRect.Width(), kRect.Height());
            e->Mask->Canvas().Brush.Color = RGB(c.maskValue, c.maskValue, c.maskValue);
            e->Mask->Canvas().FillRect(e->Mask->Canvas().ClipRect());
        }
        entries.push_back(std::move(e));

        TBitmap replay, expected;
        replay.Assign(source);
        ReplayHistory(replay, 0, entries);
        EXPECT_TRUE(SamePixels(replay, source)) << "n = 0 replays nothing";
        ReplayHistory(replay, 5, entries);  // more than the list holds: all of it
        expected.Assign(source);
        c.expect(expected);
        EXPECT_TRUE(SamePixels(replay, expected));
    }
}

}  // namespace
}  // namespace tilvo
