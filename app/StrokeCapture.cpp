// The stroke capture state machine of the main window.
#include "StrokeCapture.h"

#include <algorithm>
#include <cstdlib>

namespace tilvo {

TCaptureResult TStrokeCapture::MouseDown(TPoint p, int32_t button) {
    if (Drawing) return {};
    Drawing = true;
    StrokeButton = button;
    AxisLocked = false;
    StrokeSlot = 0;
    PointCount = 0;
    LastPoint = p;
    Append(p);
    Append(p);
    return {TCaptureStep::Segment, p, p, {}};
}

void TStrokeCapture::Append(TPoint p) {
    if (size_t(PointCount) == points_.size()) points_.resize(points_.size() * 2);
    points_[size_t(PointCount++)] = p;
}

TCaptureResult TStrokeCapture::MouseMove(TPoint p, bool shiftDown) {
    if (!Drawing || PointCount == INT32_MAX) return {};
    const TPoint event = p;
    if (AxisLocked) {
        if (LockHorizontal)
            p.Y = LockedY;
        else
            p.X = LockedX;
    }
    const TPoint from = LastPoint;
    Append(p);
    LastPoint = p;
    TPoint* slot = points_.data();
    if (PointCount != 5 || !shiftDown || AxisLocked) return {TCaptureStep::Segment, from, p, {}};

    // Lock the stroke to the axis it has moved along most, measured from the press point.
    const TPoint origin = slot[0];
    const int32_t dx = std::abs(origin.X - event.X);
    const int32_t dy = std::abs(origin.Y - event.Y);
    if (dy > dx) {
        LockHorizontal = false;
        LockedX = origin.X;
        p.X = LockedX;
    } else {
        LockHorizontal = true;
        LockedY = origin.Y;
        p.Y = LockedY;
    }
    AxisLocked = true;

    TRect box{slot[0].X, slot[0].Y, slot[0].X, slot[0].Y};
    for (int32_t i = 1; i < PointCount; ++i) {
        box.Left = std::min(box.Left, slot[i].X);
        box.Top = std::min(box.Top, slot[i].Y);
        box.Right = std::max(box.Right, slot[i].X);
        box.Bottom = std::max(box.Bottom, slot[i].Y);
    }
    ++box.Right;
    ++box.Bottom;

    // The stored stroke becomes the locked line from the press point to the current point.
    for (int32_t i = 1; i < PointCount; ++i) slot[i] = p;
    LastPoint = p;
    return {TCaptureStep::Locked, origin, p, box};
}

bool TStrokeCapture::MouseUp(int32_t button) {
    if (Drawing && button != StrokeButton) return false;
    const bool wasDrawing = Drawing;
    Drawing = false;
    return wasDrawing;
}

bool TRectCapture::MouseDown(TPoint p, int32_t button) {
    if (Dragging) return false;
    Dragging = true;
    Button = button;
    Anchor = Current = p;
    return true;
}

bool TRectCapture::MouseMove(TPoint p) {
    if (!Dragging) return false;
    Current = p;
    return true;
}

bool TRectCapture::MouseUp(int32_t button) {
    if (!Dragging || button != Button) return false;
    Dragging = false;
    return true;
}

TRect TRectCapture::Unclipped() const {
    return {std::min(Anchor.X, Current.X), std::min(Anchor.Y, Current.Y),
            int32_t(std::min<int64_t>(int64_t(std::max(Anchor.X, Current.X)) + 1, INT32_MAX)),
            int32_t(std::min<int64_t>(int64_t(std::max(Anchor.Y, Current.Y)) + 1, INT32_MAX))};
}

TRect TRectCapture::Rect(int32_t width, int32_t height) const {
    // 64 bits: a corner may lie anywhere the pointer went.
    const int64_t left = std::max<int64_t>(std::min(Anchor.X, Current.X), 0);
    const int64_t top = std::max<int64_t>(std::min(Anchor.Y, Current.Y), 0);
    const int64_t right = std::min<int64_t>(int64_t(std::max(Anchor.X, Current.X)) + 1, width);
    const int64_t bottom = std::min<int64_t>(int64_t(std::max(Anchor.Y, Current.Y)) + 1, height);
    if (left >= right || top >= bottom) return {};
    return {int32_t(left), int32_t(top), int32_t(right), int32_t(bottom)};
}

}  // namespace tilvo
