// Brush stroke capture: the fixed stroke buffer the main window fills while the mouse is dragged
// over the picture, the Shift axis lock, and what the window has to draw for every captured point.
#pragma once

#include <cstdint>
#include <vector>

#include "Effector/Bitmap.h"
#include "Effector/StrokeBlend.h"

namespace tilvo {

// What one mouse event asks the window to draw on the shown copy of the picture.
enum class TCaptureStep : uint8_t {
    Ignored,  // nothing: no stroke in progress
    Segment,  // a trail segment From → To (a dot when they are equal)
    Locked  // the axis lock engaged: remove the freehand trail inside Erase, then draw From → To
};

struct TCaptureResult {
    TCaptureStep Step = TCaptureStep::Ignored;
    TPoint From;
    TPoint To;
    // Locked only: the bounding box of the freehand points (right and bottom exclusive), before
    // any widening by the pen.
    TRect Erase;
};

// The capture state machine: idle → pressed (two equal points) → dragging (every point appended,
// however many) → optionally locked to a horizontal or vertical line at the fifth point →
// released. The point buffer is made once and only grows (doubling) when a stroke outlasts it, so
// a mouse move is a few stores and almost never an allocation.
class TStrokeCapture {
  public:
    TStrokeCapture() { points_.resize(kInitialPoints); }

    bool Drawing = false;
    int32_t StrokeSlot = 0;  // always 0: the one stroke buffer
    int32_t PointCount = 0;
    TPoint LastPoint;
    int32_t LockedX = 0;
    int32_t LockedY = 0;
    bool AxisLocked = false;
    bool LockHorizontal = false;
    int32_t StrokeButton = 0;  // the button that started the stroke in progress

    // A press starts a stroke in slot 0 with the press point stored twice; the window draws a dot
    // there. Any button starts a stroke, and the stroke belongs to that button: another button
    // pressed while it is in progress is ignored (Ignored), so the stroke is neither started
    // again nor changed.
    TCaptureResult MouseDown(TPoint p, int32_t button = 1);

    // True when the next MouseMove has to know whether Shift is down: only the move that stores
    // the fifth point tests the key, so the window asks the keyboard then and only then.
    bool WantsShiftState() const { return Drawing && PointCount == 4 && !AxisLocked; }

    // A move: stores the point (the locked coordinate replaced while locked) and answers the trail
    // segment from the previous point. At the fifth point with Shift down the stroke locks to the
    // axis it moved along most (ties go horizontal); the committed stroke then starts at the press
    // point and runs along the locked line, exactly as the trail shows it.
    TCaptureResult MouseMove(TPoint p, bool shiftDown);

    // A release: answers whether it ended a stroke, which the window then commits; capture goes
    // back to idle. Only the release of the button that started the stroke ends it.
    bool MouseUp(int32_t button = 1);

    // The stroke's points, PointCount of them.
    const TPoint* Points() const { return points_.data(); }

  private:
    static constexpr size_t kInitialPoints = 4096;
    void Append(TPoint p);
    std::vector<TPoint> points_;
};

// A rectangle dragged with Ctrl held: the press point is one corner, the pointer the other, and
// the pixels under both lie inside it. Like a stroke it belongs to the button that started it.
struct TRectCapture {
    bool Dragging = false;
    bool Ellipse = false;  // the ellipse inscribed in the rectangle (Ctrl+Shift at the press)
    int32_t Button = 0;
    TPoint Anchor;
    TPoint Current;

    // Starts a rectangle; answers false (and changes nothing) while one is in progress.
    bool MouseDown(TPoint p, int32_t button = 1);
    // Moves the free corner; answers false when no rectangle is in progress.
    bool MouseMove(TPoint p);
    // Answers whether the release ended the rectangle, which the window then applies.
    bool MouseUp(int32_t button = 1);
    // The rectangle between the corners, both corner pixels inside (right and bottom exclusive),
    // clipped to a picture of width × height; empty when it misses the picture.
    TRect Rect(int32_t width, int32_t height) const;
    // The same rectangle before clipping: the ellipse inscribed in it keeps its shape where the
    // pointer went beyond the picture.
    TRect Unclipped() const;
};

}  // namespace tilvo
