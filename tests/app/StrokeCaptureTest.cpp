// The stroke capture state machine: the buffer, the trail it asks for and the Shift axis lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "Effector/HistoryListEx.h"
#include "Effector/Pixelate.h"
#include "app/StrokeCapture.h"

namespace tilvo {
namespace {

// A capture of its own for each test.
std::unique_ptr<TStrokeCapture> NewCapture() {
    return std::make_unique<TStrokeCapture>();
}

TEST(StrokeCapture, PressStoresThePointTwiceAndAsksForADot) {
    auto c = NewCapture();
    const TCaptureResult r = c->MouseDown({7, 9});
    EXPECT_TRUE(c->Drawing);
    EXPECT_EQ(c->StrokeSlot, 0);
    EXPECT_EQ(c->PointCount, 2);
    EXPECT_EQ(c->Points()[0], (TPoint{7, 9}));
    EXPECT_EQ(c->Points()[1], (TPoint{7, 9}));
    EXPECT_EQ(r.Step, TCaptureStep::Segment);
    EXPECT_EQ(r.From, (TPoint{7, 9}));
    EXPECT_EQ(r.To, (TPoint{7, 9}));
    EXPECT_TRUE(c->MouseUp());
    EXPECT_FALSE(c->Drawing);
    EXPECT_FALSE(c->MouseUp()) << "a second release commits nothing";
}

TEST(StrokeCapture, MovesAppendPointsAndTrailSegmentsFromThePreviousPoint) {
    auto c = NewCapture();
    EXPECT_EQ(c->MouseMove({1, 1}, false).Step, TCaptureStep::Ignored) << "no press yet";
    c->MouseDown({10, 10});
    const TCaptureResult a = c->MouseMove({20, 11}, false);
    const TCaptureResult b = c->MouseMove({-5, 300}, false);  // outside the picture: kept as is
    EXPECT_EQ(a.Step, TCaptureStep::Segment);
    EXPECT_EQ(a.From, (TPoint{10, 10}));
    EXPECT_EQ(a.To, (TPoint{20, 11}));
    EXPECT_EQ(b.From, (TPoint{20, 11}));
    EXPECT_EQ(b.To, (TPoint{-5, 300}));
    EXPECT_EQ(c->PointCount, 4);
    EXPECT_EQ(c->Points()[3], (TPoint{-5, 300}));
    EXPECT_EQ(c->LastPoint, (TPoint{-5, 300}));
    // A new press starts again in slot 0.
    c->MouseUp();
    c->MouseDown({3, 4});
    EXPECT_EQ(c->PointCount, 2);
    EXPECT_EQ(c->StrokeSlot, 0);
    EXPECT_EQ(c->Points()[0], (TPoint{3, 4}));
}

TEST(StrokeCapture, AnotherButtonDuringAStrokeNeitherRestartsNorEndsIt) {
    constexpr int32_t kLeft = 1, kRight = 2;
    auto c = NewCapture();
    c->MouseDown({10, 10}, kLeft);
    c->MouseMove({20, 10}, false);
    const TCaptureResult second = c->MouseDown({50, 50}, kRight);
    EXPECT_EQ(second.Step, TCaptureStep::Ignored);
    EXPECT_EQ(c->PointCount, 3);
    EXPECT_EQ(c->Points()[0], (TPoint{10, 10}));
    EXPECT_EQ(c->LastPoint, (TPoint{20, 10}));
    // The next move goes on from the last point, not from the second press.
    const TCaptureResult move = c->MouseMove({30, 10}, false);
    EXPECT_EQ(move.From, (TPoint{20, 10}));
    EXPECT_FALSE(c->MouseUp(kRight)) << "the other button's release does not end the stroke";
    EXPECT_TRUE(c->Drawing);
    c->MouseMove({40, 10}, false);
    EXPECT_TRUE(c->MouseUp(kLeft));
    EXPECT_FALSE(c->Drawing);
    const TPoint expected[] = {{10, 10}, {10, 10}, {20, 10}, {30, 10}, {40, 10}};
    ASSERT_EQ(c->PointCount, 5);
    for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(c->Points()[i], expected[i]) << i;
    // Once idle, any button starts the next stroke, and only its release ends it.
    EXPECT_EQ(c->MouseDown({5, 5}, kRight).Step, TCaptureStep::Segment);
    EXPECT_FALSE(c->MouseUp(kLeft));
    EXPECT_TRUE(c->MouseUp(kRight));
}

// However long the drag, every point is kept and drawn; committed, the stroke hides the picture
// under each of them (a 5,000-point zigzag, every point's pixel taken by the whole picture's cell).
TEST(StrokeCapture, AStrokeOfAnyLengthKeepsAndHidesEveryPoint) {
    constexpr int32_t kMoves = 4998, kW = 640, kH = 160;
    auto c = NewCapture();
    c->MouseDown({5, 5});
    std::vector<TPoint> moved;
    for (int32_t i = 0; i < kMoves; ++i) {
        // Back and forth over the picture, one pixel further down every 50 points.
        const int32_t x = 5 + (i % 100 < 50 ? i % 50 : 49 - i % 50) * 12;
        const TPoint p{x, 5 + i / 50 + (i % 3)};
        moved.push_back(p);
        const TCaptureResult r = c->MouseMove(p, false);
        ASSERT_EQ(r.Step, TCaptureStep::Segment) << i;
        ASSERT_EQ(r.To, p) << i;
    }
    ASSERT_TRUE(c->MouseUp());
    ASSERT_EQ(c->PointCount, kMoves + 2);
    for (int32_t i = 0; i < kMoves; ++i) ASSERT_EQ(c->Points()[i + 2], moved[size_t(i)]) << i;

    TBitmap work(kW, kH), region, mask;
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x)
            work.SetPixel(x, y, RGB(uint8_t(x * 7 + y * 13), uint8_t(x ^ y), uint8_t(x * y)));
    TBitmap cells;
    cells.Assign(work);
    Pixelate(cells, 4, 4, 0);
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    const TRect dirty = ComputeDirtyRect(c->Points(), c->PointCount, 3, kW, kH);
    ApplyStroke(ctx, c->Points(), c->PointCount, dirty, 4, 3, false);
    for (const TPoint& p : moved)
        ASSERT_EQ(work.Pixel(p.X, p.Y), cells.Pixel(p.X, p.Y)) << p.X << "," << p.Y;
}

// Press at the origin, then three moves; the third stores the fifth point and tests Shift.
struct LockCase {
    const char* name;
    TPoint moves[3];
    bool shiftAtFifth;
    bool locked;
    bool horizontal;
    TPoint lockedFifth;
};

class StrokeLock : public ::testing::TestWithParam<LockCase> {};

TEST_P(StrokeLock, EngagesAtTheFifthPointAlongTheLongerAxis) {
    const LockCase& t = GetParam();
    auto c = NewCapture();
    c->MouseDown({50, 50});
    EXPECT_FALSE(c->WantsShiftState());
    c->MouseMove(t.moves[0], false);
    EXPECT_FALSE(c->WantsShiftState());
    c->MouseMove(t.moves[1], false);
    EXPECT_TRUE(c->WantsShiftState());
    const TCaptureResult r = c->MouseMove(t.moves[2], t.shiftAtFifth);
    EXPECT_FALSE(c->WantsShiftState());
    EXPECT_EQ(c->PointCount, 5);
    EXPECT_EQ(c->AxisLocked, t.locked);
    if (!t.locked) {
        EXPECT_EQ(r.Step, TCaptureStep::Segment);
        EXPECT_EQ(c->Points()[4], t.moves[2]);
        return;
    }
    EXPECT_EQ(c->LockHorizontal, t.horizontal);
    EXPECT_EQ(r.Step, TCaptureStep::Locked);
    EXPECT_EQ(r.From, (TPoint{50, 50}));
    EXPECT_EQ(r.To, t.lockedFifth);
    // The freehand box spans the press point and the three moves as they were captured.
    TRect box{50, 50, 51, 51};
    for (const TPoint& p : t.moves) {
        box.Left = std::min(box.Left, p.X);
        box.Top = std::min(box.Top, p.Y);
        box.Right = std::max(box.Right, p.X + 1);
        box.Bottom = std::max(box.Bottom, p.Y + 1);
    }
    EXPECT_EQ(r.Erase, box);
    // The stored stroke is the locked line from the press point.
    EXPECT_EQ(c->Points()[0], (TPoint{50, 50}));
    for (int i = 1; i < 5; ++i) EXPECT_EQ(c->Points()[i], t.lockedFifth) << i;
    EXPECT_EQ(c->LastPoint, t.lockedFifth);
    // Later moves keep the locked coordinate.
    const TCaptureResult next = c->MouseMove({90, 7}, false);
    const TPoint expected = t.horizontal ? TPoint{90, 50} : TPoint{50, 7};
    EXPECT_EQ(next.From, t.lockedFifth);
    EXPECT_EQ(next.To, expected);
    EXPECT_EQ(c->Points()[5], expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrokeLock,
    ::testing::Values(
        LockCase{"horizontal", {{52, 51}, {55, 53}, {60, 54}}, true, true, true, {60, 50}},
        LockCase{"vertical", {{51, 52}, {53, 58}, {47, 70}}, true, true, false, {50, 70}},
        LockCase{"tie_goes_horizontal", {{51, 51}, {52, 52}, {58, 42}}, true, true, true, {58, 50}},
        LockCase{"no_shift_no_lock", {{52, 51}, {55, 53}, {60, 54}}, false, false, false, {}}),
    [](const auto& info) { return info.param.name; });

TEST(StrokeCapture, ShiftAfterTheFifthPointHasNoEffect) {
    auto c = NewCapture();
    c->MouseDown({0, 0});
    for (int i = 1; i <= 3; ++i) c->MouseMove({i, i * 3}, false);
    EXPECT_FALSE(c->WantsShiftState());
    const TCaptureResult r = c->MouseMove({10, 20}, true);
    EXPECT_EQ(r.Step, TCaptureStep::Segment);
    EXPECT_FALSE(c->AxisLocked);
    EXPECT_EQ(c->Points()[5], (TPoint{10, 20}));
}

TEST(StrokeCapture, ANewPressClearsTheLock) {
    auto c = NewCapture();
    c->MouseDown({0, 0});
    for (int i = 1; i <= 3; ++i) c->MouseMove({i * 5, 0}, i == 3);
    ASSERT_TRUE(c->AxisLocked);
    c->MouseUp();
    c->MouseDown({10, 10});
    EXPECT_FALSE(c->AxisLocked);
    EXPECT_EQ(c->MouseMove({30, 40}, false).To, (TPoint{30, 40}));
}

// A Ctrl-drag: both corner pixels lie inside, in any direction, clipped to the picture.
TEST(RectCapture, SpansBothCornersInAnyDirectionClippedToThePicture) {
    const struct {
        TPoint A, B;
        TRect Want;
    } cases[] = {
        {{10, 12}, {50, 40}, {10, 12, 51, 41}},
        {{50, 40}, {10, 12}, {10, 12, 51, 41}},    // dragged up and to the left
        {{7, 7}, {7, 7}, {7, 7, 8, 8}},            // a click: one pixel
        {{-30, 20}, {500, 95}, {0, 20, 100, 80}},  // beyond the picture on three sides
        {{-30, -5}, {-1, 60}, {}},                 // wholly left of it
        {{INT32_MAX, 0}, {INT32_MIN, 79}, {0, 0, 100, 80}},
    };
    for (const auto& c : cases) {
        TRectCapture r;
        ASSERT_TRUE(r.MouseDown(c.A));
        ASSERT_TRUE(r.MouseMove(c.B));
        EXPECT_EQ(r.Rect(100, 80), c.Want) << c.A.X << "," << c.A.Y << " " << c.B.X << "," << c.B.Y;
    }
}

TEST(RectCapture, BelongsToTheButtonThatStartedIt) {
    TRectCapture r;
    EXPECT_FALSE(r.MouseMove({1, 1})) << "no rectangle yet";
    EXPECT_FALSE(r.MouseUp(1));
    ASSERT_TRUE(r.MouseDown({5, 5}, 1));
    EXPECT_FALSE(r.MouseDown({60, 60}, 2)) << "a second press neither restarts nor moves it";
    EXPECT_EQ(r.Anchor, (TPoint{5, 5}));
    r.MouseMove({20, 30});
    EXPECT_FALSE(r.MouseUp(2));
    EXPECT_TRUE(r.Dragging);
    EXPECT_TRUE(r.MouseUp(1));
    EXPECT_FALSE(r.Dragging);
    EXPECT_EQ(r.Rect(100, 100), (TRect{5, 5, 21, 31}));
}

}  // namespace
}  // namespace tilvo
