// What a committed brush stroke does to the picture: the dirty rectangle of the stroke, region
// copies, the stroke mask, the two blends of picture and mosaic, and ApplyStroke, which the main
// window calls on release.
#pragma once

#include <cstdint>

#include "Bitmap.h"

namespace tilvo {

class THistoryControl;

// The stroke buffer holds at most this many points per stroke (the 1024th entry is never filled).
inline constexpr int32_t kMaxStrokePoints = 1023;

// The rectangle a stroke touches: the points' bounding box widened by brushSize / 2, aligned
// outwards to multiples of 8, then clipped to 0 … (width − 1) and 0 … (height − 1).
TRect ComputeDirtyRect(const TPoint* points, int32_t pointCount, int32_t brushSize,
                       int32_t pictureWidth, int32_t pictureHeight);

// target becomes a 24-bit copy of rect of source (rect is ordered first, source converted to 24
// bits). Parts of rect that lie off the source come out black.
void CopyRegionOut(TBitmap& source, TRect rect, TBitmap& target);
// The whole of source is copied into rect of target (both converted to 24 bits), clipped to rect,
// to source and to target.
void CopyRegionIn(TBitmap& source, TRect rect, TBitmap& target);

// Redraws mask at width × height: white, with the stroke's points (minus the rectangle's
// top-left corner) drawn as one polyline with a black pen brushSize wide, then softened with
// "Blur" when softEdge is set.
void DrawStrokeMask(TBitmap& mask, int32_t width, int32_t height, const TPoint* points,
                    int32_t pointCount, TPoint origin, int32_t brushSize, bool softEdge);

// picture := picture · f + mosaic · (1 − f), f = mask's blue byte / 255, halves rounded up.
// Throws when mosaic or mask is smaller than picture.
void MaskedBlend(TBitmap& picture, TBitmap& mosaic, TBitmap& mask);
// output := processed + ((m · (unchanged − processed)) >> 8), m the mask's blue byte, the shift a
// floor division. output is sized like processed; throws when processed or mask is smaller than
// unchanged.
void ReplayBlend(TBitmap& output, TBitmap& unchanged, TBitmap& processed, TBitmap& mask);

// What the main window holds for a stroke.
struct TStrokeContext {
    TBitmap& WorkBitmap;
    TBitmap& PreviewBitmap;
    TBitmap& RegionBitmap;
    TBitmap& MaskBitmap;
    THistoryControl& History;
};

// Turns the stroke into mosaic inside dirtyRect of WorkBitmap, taking the mosaic pixels from
// PreviewBitmap, and records the stroke in the history.
void ApplyStroke(TStrokeContext& ctx, const TPoint* points, int32_t pointCount, TRect dirtyRect,
                 int32_t mosaicSize, int32_t brushSize, bool softEdge);

}  // namespace tilvo
