// The picture at a zoom: the zoom steps, fitting a picture into an area, the mapping between view
// pixels and picture pixels, and the drawing of a part of the view from the picture's rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Effector/Bitmap.h"

namespace tilvo {

// A zoom as an exact fraction Num / Den (view pixels per picture pixel), so that the mapping of a
// view pixel to a picture pixel is the same integer arithmetic wherever it is done.
struct TZoom {
    int64_t Num = 1;
    int64_t Den = 1;
    double Value() const { return double(Num) / double(Den); }
    bool IsOne() const { return Num == Den; }
    friend bool operator<(TZoom a, TZoom b) { return a.Num * b.Den < b.Num * a.Den; }
    friend bool operator==(TZoom a, TZoom b) { return a.Num * b.Den == b.Num * a.Den; }
};

inline constexpr TZoom kMinZoom{1, 16};
inline constexpr TZoom kMaxZoom{16, 1};
// The steps Zoom in and Zoom out walk through, smallest first.
inline constexpr std::array<TZoom, 17> kZoomSteps = {{{1, 16},
                                                      {1, 12},
                                                      {1, 8},
                                                      {1, 6},
                                                      {1, 4},
                                                      {1, 3},
                                                      {1, 2},
                                                      {2, 3},
                                                      {1, 1},
                                                      {3, 2},
                                                      {2, 1},
                                                      {3, 1},
                                                      {4, 1},
                                                      {6, 1},
                                                      {8, 1},
                                                      {12, 1},
                                                      {16, 1}}};

// The first step above / below zoom (zoom itself at the ends of the steps).
TZoom NextZoomStep(TZoom zoom);
TZoom PreviousZoomStep(TZoom zoom);
// The largest zoom at which the picture fits into the area, within kMinZoom … kMaxZoom.
TZoom FitZoom(int32_t pictureWidth, int32_t pictureHeight, int32_t areaWidth, int32_t areaHeight);
TZoom ClampZoom(TZoom zoom);

// The picture pixel a view pixel belongs to: floor(view / zoom). View pixel v shows picture pixel
// ViewToPicture(v) at a zoom of 1 and more, and the block of picture pixels from ViewToPicture(v)
// up to ViewToPicture(v + 1) below 1; a pointer over view pixel v lands on ViewToPicture(v).
int32_t ViewToPicture(int32_t view, TZoom zoom);
// The first view pixel that shows a picture pixel of `picture` or beyond: ceil(picture · zoom).
int32_t PictureToView(int32_t picture, TZoom zoom);
// The view's size for a picture side: PictureToView(size), at least 1 for a picture that has
// pixels, at most the largest size a widget may have.
int32_t ViewExtent(int32_t pictureSize, TZoom zoom);
// The view pixels that show any pixel of rect (picture coordinates, right and bottom exclusive).
TRect PictureRectToView(const TRect& rect, TZoom zoom);

// Rows of a 24-bit picture (B, G, R bytes) as the view reads them.
struct TPixelRows {
    const uint8_t* Bits = nullptr;
    ptrdiff_t Stride = 0;
    int32_t Width = 0;
    int32_t Height = 0;
};

// Buffers RenderView reuses from call to call, so that a repaint allocates only when it is
// larger than any before.
struct TViewScratch {
    std::vector<int32_t> Columns;
    std::vector<uint32_t> Sums;
};

// At most this many samples per side are averaged into one view pixel below a zoom of 1.
inline constexpr int32_t kViewSamples = 4;

// Draws the part `view` of the view (view coordinates, right and bottom exclusive, inside the
// view of the picture) into `out` as 32-bit pixels B, G, R, 255 (a little-endian 0xFFRRGGBB).
// At a zoom of 1 and more each view pixel repeats its picture pixel; below 1 it averages up to
// kViewSamples × kViewSamples pixels spread evenly over its block. Only the picture rows the part
// needs are read, and nothing of the whole picture is copied.
void RenderView(const TPixelRows& picture, TZoom zoom, const TRect& view, uint8_t* out,
                ptrdiff_t outStride, TViewScratch& scratch);

}  // namespace tilvo
