#include "StripStrokes.h"

#include <algorithm>
#include <cstring>

#include "Exception.h"

namespace tilvo {

TStripStrokes::TStripStrokes(int32_t pictureWidth, int32_t pictureHeight, int32_t mosaicSize,
                             int32_t brushSize, bool softEdge, TStrokeEffect effect)
    : width_(pictureWidth),
      height_(pictureHeight),
      mosaicSize_(mosaicSize),
      brushSize_(brushSize),
      softEdge_(softEdge),
      effect_(effect),
      // A solid fill has no cells; 8 keeps its bands on the dirty rectangles' own grid.
      alignment_(effect == TStrokeEffect::SolidFill ? 8 : std::max(mosaicSize, 1)) {}

void TStripStrokes::Add(TEdit edit) {
    if (edit.Dirty.Bottom <= edit.Dirty.Top || edit.Dirty.Right <= edit.Dirty.Left) return;
    if (Empty()) {
        top_ = edit.Dirty.Top;
        bottom_ = edit.Dirty.Bottom;
    } else {
        top_ = std::min(top_, edit.Dirty.Top);
        bottom_ = std::max(bottom_, edit.Dirty.Bottom);
    }
    edits_.push_back(std::move(edit));
}

void TStripStrokes::AddStroke(const TPoint* points, int32_t pointCount) {
    TEdit e;
    e.Points.assign(points, points + std::max(pointCount, 0));
    e.Dirty = ComputeDirtyRect(points, pointCount, brushSize_, width_, height_);
    Add(std::move(e));
}

void TStripStrokes::AddRect(TRect rect) {
    TEdit e;
    e.IsRect = true;
    e.Rect = rect;
    e.Dirty = ComputeRectDirtyRect(rect, softEdge_, width_, height_);
    Add(std::move(e));
}

void TStripStrokes::AddEllipse(TRect rect) {
    TEdit e;
    e.IsRect = true;
    e.IsEllipse = true;
    e.Rect = rect;
    e.Dirty = ComputeRectDirtyRect(rect, softEdge_, width_, height_);
    Add(std::move(e));
}

void TStripStrokes::Apply(TBitmap& band, int32_t top) {
    const int32_t h = band.Height();
    if (band.Width() != width_ || top < 0 || top % alignment_ != 0 ||
        int64_t(top) + h > height_ || (top + h != height_ && h % alignment_ != 0))
        throw Exception("band off the mosaic's cell rows");
    if (band.PixelFormat() != pf24bit) band.SetPixelFormat(pf24bit);
    for (const TEdit& e : edits_) {
        const int32_t a = std::max(e.Dirty.Top, top), b = std::min(e.Dirty.Bottom, top + h);
        if (a >= b) continue;
        // The blur of a soft edge reads one row beyond each end; at the dirty rectangle's own
        // ends it repeats the end row, as on the whole mask.
        const int32_t margin = softEdge_ ? 1 : 0;
        const int32_t ma = std::max(a - margin, e.Dirty.Top);
        const int32_t mb = std::min(b + margin, e.Dirty.Bottom);
        const int32_t w = e.Dirty.Width();
        const TPoint origin{e.Dirty.Left, ma};
        if (e.IsRect && e.IsEllipse)
            DrawEllipseMask(mask_, w, mb - ma, e.Rect, origin, softEdge_);
        else if (e.IsRect)
            DrawRectMask(mask_, w, mb - ma, e.Rect, origin, softEdge_);
        else
            DrawStrokeMask(mask_, w, mb - ma, e.Points.data(), int32_t(e.Points.size()), origin,
                           brushSize_, softEdge_);
        if (ma < a) {  // the mask's first row is the margin: the band's rows move up one
            const size_t bytes = size_t(w) * 3;
            for (int32_t y = 0; y < b - a; ++y)
                std::memcpy(mask_.ScanLine(y), mask_.ScanLine(y + 1), bytes);
        }
        const TRect r{e.Dirty.Left, a - top, e.Dirty.Right, b - top};
        BlendStroke(band, r, effect_, mosaicSize_, mosaicSize_, mask_, region_);
        CopyRegionIn(region_, r, band);
    }
}

}  // namespace tilvo
