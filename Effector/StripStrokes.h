// A list of strokes and rectangles applied to a picture a band of rows at a time, for callers that
// never hold the whole picture (tilvo-cli streams a JPEG from the decoder to the encoder) or want
// no history. The bytes are those ApplyStroke and ApplyRectStroke give on the whole picture, one
// edit after the other: mosaic cells never straddle two bands, because every band starts on a
// cell row, and the stroke masks are drawn for each band's rows with the one row of margin the
// soft edge's blur reads.
#pragma once

#include <cstdint>
#include <vector>

#include "Bitmap.h"
#include "StrokeBlend.h"

namespace tilvo {

class TStripStrokes {
  public:
    TStripStrokes(int32_t pictureWidth, int32_t pictureHeight, int32_t mosaicSize,
                  int32_t brushSize, bool softEdge, TStrokeEffect effect);

    // A stroke through the points as the window stores them (the press point twice).
    void AddStroke(const TPoint* points, int32_t pointCount);
    // A rectangle, picture coordinates, right and bottom exclusive, any order.
    void AddRect(TRect rect);
    // The ellipse inscribed in a rectangle (as AddRect takes it).
    void AddEllipse(TRect rect);

    bool Empty() const { return bottom_ <= top_; }
    // How many of the strokes and rectangles added reach the picture.
    int32_t Count() const { return int32_t(edits_.size()); }
    // The rows the edits can change: Top() … Bottom() − 1 (both 0 when none).
    int32_t Top() const { return Empty() ? 0 : top_; }
    int32_t Bottom() const { return Empty() ? 0 : bottom_; }
    // Bands start on multiples of this, and all but the last band of the picture are whole
    // multiples of it high.
    int32_t Alignment() const { return alignment_; }

    // Applies every edit, in order, to the band `band`, which holds the picture's rows
    // top … top + band.Height() − 1 at full width (24 bits). Throws when the band breaks the
    // alignment rule or has another width.
    void Apply(TBitmap& band, int32_t top);

  private:
    struct TEdit {
        bool IsRect = false;
        bool IsEllipse = false;  // with IsRect: the ellipse inscribed in Rect
        std::vector<TPoint> Points;
        TRect Rect{};
        TRect Dirty{};
    };
    void Add(TEdit edit);

    int32_t width_, height_, mosaicSize_, brushSize_;
    bool softEdge_;
    TStrokeEffect effect_;
    int32_t alignment_;
    int32_t top_ = 0, bottom_ = 0;
    std::vector<TEdit> edits_;
    TBitmap mask_, region_;
};

}  // namespace tilvo
