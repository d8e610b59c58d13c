#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <utility>
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

// The main window's part in a stroke: source, edited picture, scratch surfaces, history.
struct Session {
    TBitmap source, work, region, mask;
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history, &source};
    int32_t mosaic = 0;

    Session(int32_t w, int32_t h, int32_t mosaicSize) {
        FillPicture(source, w, h, 5);
        work.Assign(source);
        SetMosaic(mosaicSize);
    }
    void SetMosaic(int32_t m) { mosaic = m; }
    TRect Stroke(std::vector<TPoint> pts, int32_t brush, bool soft,
                 TStrokeEffect effect = TStrokeEffect::Mosaic) {
        const TRect r =
            ComputeDirtyRect(pts.data(), int32_t(pts.size()), brush, work.Width(), work.Height());
        ApplyStroke(ctx, pts.data(), int32_t(pts.size()), r, mosaic, brush, soft, effect);
        return r;
    }
    void Rect(TRect rect, bool soft, TStrokeEffect effect, bool ellipse = false) {
        ApplyRectStroke(ctx, rect, mosaic, soft, effect, ellipse);
    }
    // Undo and Redo work on the picture as it stands, as the window's do; changed is what they
    // report as changed.
    TRect changed;
    bool Undo() { return history.Undo(work, source, &changed); }
    bool Redo() { return history.Redo(work, &changed); }
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
    EXPECT_TRUE(SamePixels(s.work, afterOne)) << "two undos give the picture after one stroke";

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

void InvertParam(TBitmap& b, int32_t, int32_t, int32_t) {
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t i = 0; i < 3 * b.Width(); ++i) b.ScanLine(y)[i] ^= 0xFF;
}

// Whether a and b (of one size) differ only inside r.
bool SameOutside(const TBitmap& a, const TBitmap& b, TRect r) {
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            if ((x < r.Left || x >= r.Right || y < r.Top || y >= r.Bottom) &&
                a.Pixel(x, y) != b.Pixel(x, y))
                return false;
    return true;
}

// Random sequences of strokes: every mosaic size, every brush, brush strokes and rectangles,
// mosaic and solid fill, soft and hard, over the edges and over each other, the mosaic size
// changed between strokes, and now and then an entry of another kind added without its
// rectangles (a whole-picture effect, a filtered rectangle). After every stroke the live picture
// equals a full replay of the history byte for byte; then random Undo and Redo sequences on the
// picture as it stands (with new strokes in between, which drop the undone entries) give exactly
// a full replay of the entries below the new position, which is the picture that position had
// when it was live, and change nothing outside the rectangle they report.
TEST(StrokeReplayProperty, LivePictureEqualsReplayAndUndoRedoGiveItBack) {
    uint32_t seed = 2024;
    auto rnd = [&seed](int32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return int32_t((seed >> 8) % uint32_t(n));
    };
    int64_t strokes = 0, undos = 0, redos = 0;
    for (const auto& [w, h] : {std::pair{61, 45}, {96, 40}, {33, 70}, {7, 5}}) {
        Session s(w, h, kMosaicCellSizes[0]);
        // snapshots[n]: the picture with the first n entries applied, as it was live.
        std::vector<std::unique_ptr<TBitmap>> snapshots;
        auto snapshot = [&] {
            auto b = std::make_unique<TBitmap>();
            b->Assign(s.work);
            return b;
        };
        snapshots.push_back(snapshot());
        TBitmap replay;
        for (int step = 0; step < 70; ++step) {
            const int action = step < 6 ? 0 : rnd(8);
            if (action < 4 || s.history.Position() == 0) {
                // A stroke: a size from the table (changed between strokes), mosaic or solid
                // fill, and either a brush through one to six points or a rectangle, anywhere,
                // including off the picture.
                s.SetMosaic(kMosaicCellSizes[size_t(rnd(int32_t(kMosaicCellSizes.size())))]);
                const int kind = rnd(5);
                const TStrokeEffect effect = kind == 0   ? TStrokeEffect::SolidFill
                                             : kind == 1 ? TStrokeEffect::Restore
                                                         : TStrokeEffect::Mosaic;
                const bool soft = rnd(2) == 0;
                const int32_t brush = kBrushDiameters[size_t(rnd(int32_t(kBrushDiameters.size())))];
                if (step >= 6 && rnd(12) == 0) {
                    // Entries the window does not make, kept without their rectangles: undo and
                    // redo over them fall back to replaying.
                    const bool whole = rnd(2) == 0;
                    const TRect r{rnd(w), rnd(h), rnd(w) + 1, rnd(h) + 1};
                    s.history.Add(InvertParam, whole ? "Invert" : "Blur", "",
                                  whole ? HistoryKindWhole : HistoryKindRect, r.Left, r.Top,
                                  r.Right, r.Bottom, 0, 0, 0, nullptr);
                    s.work.Assign(s.source);
                    ReplayHistory(s.work, s.history.Position(), s.history.Entries());
                } else if (rnd(3) == 0) {
                    // A rectangle or the ellipse inscribed in it.
                    s.Rect(TRect{rnd(w + 20) - 10, rnd(h + 20) - 10, rnd(w + 20) - 10,
                                 rnd(h + 20) - 10},
                           soft, effect, rnd(2) == 0);
                } else {
                    std::vector<TPoint> pts(size_t(1 + rnd(6)));
                    for (TPoint& p : pts) p = {rnd(w + 40) - 20, rnd(h + 40) - 20};
                    pts.insert(pts.begin(), pts.front());
                    s.Stroke(pts, brush, soft, effect);
                }
                ++strokes;
                snapshots.resize(size_t(s.history.Position()));
                snapshots.push_back(snapshot());

                replay.Assign(s.source);
                ReplayHistory(replay, s.history.Position(), s.history.Entries());
                ASSERT_TRUE(SamePixels(replay, s.work))
                    << w << "x" << h << " step " << step << " size " << s.mosaic << " brush "
                    << brush;
            } else {
                // A walk back and part of the way forward again; the next stroke drops what is
                // left undone.
                const int32_t back = 1 + rnd(std::min(s.history.Position(), 4));
                const int32_t forward = rnd(back + 1);
                TBitmap shown;
                auto check = [&](const char* what) {
                    const int32_t pos = s.history.Position();
                    replay.Assign(s.source);
                    ReplayHistory(replay, pos, s.history.Entries());
                    ASSERT_TRUE(SamePixels(s.work, replay))
                        << w << "x" << h << " " << what << " at step " << step;
                    ASSERT_TRUE(SamePixels(s.work, *snapshots[size_t(pos)]))
                        << w << "x" << h << " " << what << " at step " << step;
                    ASSERT_TRUE(SameOutside(s.work, shown, s.changed))
                        << w << "x" << h << " " << what << " at step " << step;
                };
                for (int32_t i = 0; i < back && s.history.Position() > 0; ++i) {
                    shown.Assign(s.work);
                    const bool more = s.Undo();
                    EXPECT_EQ(more, s.history.Position() != 0);
                    ++undos;
                    check("undo");
                }
                for (int32_t i = 0; i < forward; ++i) {
                    shown.Assign(s.work);
                    const bool more = s.Redo();
                    EXPECT_EQ(more, s.history.Position() != s.history.Count());
                    ++redos;
                    check("redo");
                }
            }
        }
        // Everything undone gives the source, everything redone the last live picture.
        while (s.history.Position() > 0) s.Undo();
        EXPECT_TRUE(SamePixels(s.work, s.source));
        while (s.history.Position() < s.history.Count()) s.Redo();
        EXPECT_TRUE(SamePixels(s.work, *snapshots.back()));
        EXPECT_FALSE(SamePixels(s.work, s.source));
    }
    EXPECT_GT(strokes, 100);
    EXPECT_GT(undos, 20);
    EXPECT_GT(redos, 10);
}

// Undo and redo over strokes copy the stroke's rectangle back: they report that rectangle as
// changed, and what the history keeps for it stays within 12 bytes a pixel of the rectangle
// (mask, before and after).
TEST(HistoryTest, StrokeEntriesKeepTheirRectanglesWithinTwelveBytesAPixel) {
    Session s(203, 151, 8);
    int64_t area = 0;
    for (int32_t k = 0; k < 12; ++k) {
        const TStrokeEffect effect = k % 3 == 0 ? TStrokeEffect::SolidFill : TStrokeEffect::Mosaic;
        if (k % 2 == 0)
            s.Rect(TRect{7 * k, 5 * k, 7 * k + 41, 5 * k + 23}, k % 4 == 0, effect);
        else
            s.Stroke({{10 * k, 150 - 9 * k}, {10 * k, 150 - 9 * k}, {10 * k + 30, 140 - 9 * k}},
                     kBrushDiameters[size_t(k) % kBrushDiameters.size()], true, effect);
        const TEffectHInfo& e = *s.history.Entries().back();
        const TRect r{e.Left, e.Top, e.Right, e.Bottom};
        area += int64_t(r.Width()) * r.Height();
        ASSERT_TRUE(e.Before && e.After);
        EXPECT_EQ(e.Before->Width(), r.Width());
        EXPECT_EQ(e.After->Height(), r.Height());
    }
    EXPECT_LE(s.history.SurfaceBytes(), 12 * area);
    EXPECT_GE(s.history.SurfaceBytes(), 9 * area);

    for (int32_t k = 11; k >= 0; --k) {
        const TEffectHInfo& e = *s.history.Entries()[size_t(k)];
        s.Undo();
        EXPECT_EQ(s.changed, (TRect{e.Left, e.Top, e.Right, e.Bottom}));
    }
    s.Redo();
    const TEffectHInfo& first = *s.history.Entries()[0];
    EXPECT_EQ(s.changed, (TRect{first.Left, first.Top, first.Right, first.Bottom}));
    // Past the ends nothing changes.
    while (s.Redo()) {
    }
    EXPECT_FALSE(s.Redo());
    EXPECT_EQ(s.changed, TRect{});
}

// An undo or redo that fails (here: no memory for the picture it rebuilds) leaves the picture and
// the position as they were.
TEST(HistoryTest, FailedUndoOrRedoLeavesPictureAndPosition) {
    Session s(64, 48, 4);
    s.Stroke({{20, 20}, {20, 20}}, 10, false);
    // A whole-picture entry without rectangles: undo over it rebuilds from the source.
    s.history.Add(InvertParam, "Invert", "", HistoryKindWhole, 0, 0, 0, 0, 0, 0, 0, nullptr);
    InvertParam(s.work, 0, 0, 0);
    TBitmap shown;
    shown.Assign(s.work);
    FailSurfaceAllocationAfter(0);
    EXPECT_THROW(s.Undo(), std::bad_alloc);
    FailSurfaceAllocationAfter(-1);
    EXPECT_EQ(s.history.Position(), 2);
    EXPECT_TRUE(SamePixels(s.work, shown));
    EXPECT_TRUE(s.Undo());
    EXPECT_EQ(s.changed, (TRect{0, 0, 64, 48}));
    shown.Assign(s.work);
    FailSurfaceAllocationAfter(0);
    EXPECT_THROW(s.Redo(), std::bad_alloc);
    FailSurfaceAllocationAfter(-1);
    EXPECT_EQ(s.history.Position(), 1);
    EXPECT_TRUE(SamePixels(s.work, shown));
    EXPECT_FALSE(s.Redo());
    EXPECT_EQ(s.history.Position(), 2);
}

// A stroke over an earlier one takes its cells from the picture after the earlier stroke.
TEST(HistoryTest, AStrokeOverAnEarlierOneMosaicsThePictureAfterIt) {
    for (const int32_t size : kMosaicCellSizes) {
        SCOPED_TRACE(size);
        Session s(80, 64, 2);
        s.Stroke({{30, 30}, {30, 30}, {50, 34}}, 20, true);
        TBitmap afterFirst;
        afterFirst.Assign(s.work);
        Pixelate(afterFirst, size, size, 0);
        s.SetMosaic(size);
        s.Stroke({{30, 30}, {30, 30}, {50, 34}}, 20, false);
        const TEffectHInfo& e = *s.history.Entries()[1];
        int64_t black = 0;
        for (int32_t y = e.Top; y < e.Bottom; ++y)
            for (int32_t x = e.Left; x < e.Right; ++x)
                if (GetBValue(e.Mask->Pixel(x - e.Left, y - e.Top)) == 0) {
                    ASSERT_EQ(s.work.Pixel(x, y), afterFirst.Pixel(x, y)) << x << "," << y;
                    ++black;
                }
        EXPECT_GT(black, 300);
    }
}

TEST(HistoryTest, EachEntryReplaysWithItsOwnMosaicSize) {
    Session s(200, 120, 4);
    s.Stroke({{40, 60}, {40, 60}, {50, 60}}, 24, false);
    s.SetMosaic(16);
    s.Stroke({{150, 60}, {150, 60}, {160, 60}}, 24, false);
    const TEffectHInfo& e0 = *s.history.Entries()[0];
    const TEffectHInfo& e1 = *s.history.Entries()[1];
    ASSERT_LE(e0.Right, e1.Left);

    TBitmap replay;
    replay.Assign(s.source);
    ReplayHistory(replay, 2, s.history.Entries());
    int64_t black = 0;
    for (int i = 0; i < 2; ++i) {
        const TEffectHInfo& e = *s.history.Entries()[size_t(i)];
        const TRect r{e.Left, e.Top, e.Right, e.Bottom};
        // Where the mask is black, replay writes the whole picture's cells of the entry's size.
        TBitmap expected;
        expected.Assign(s.source);
        Pixelate(expected, i == 0 ? 4 : 16, i == 0 ? 4 : 16, 0);
        for (int32_t y = r.Top; y < r.Bottom; ++y)
            for (int32_t x = r.Left; x < r.Right; ++x)
                if (GetBValue(e.Mask->Pixel(x - r.Left, y - r.Top)) == 0) {
                    ASSERT_EQ(replay.Pixel(x, y), expected.Pixel(x, y))
                        << "entry " << i << " at " << x << "," << y;
                    ++black;
                }
    }
    EXPECT_GT(black, 1000);
}

// ---- Replay of hand-made entries: kinds and the choice of effect ----------------------------

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
        {"a stroke's mask 0 takes the whole picture's cells", "Mosaic", Pixelate, nullptr,
         HistoryKind, 0,
         [](TBitmap& b) {
             TBitmap whole, cells;
             whole.Assign(b);
             Pixelate(whole, 3, 5, 0);
             CopyRegionOut(whole, kRect, cells);
             CopyRegionIn(cells, kRect, b);
         }},
        {"a stroke's mask 255 leaves the picture exactly", "Mosaic", Pixelate, nullptr, HistoryKind,
         255, [](TBitmap&) {}},
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
