// What a committed brush stroke does to the picture: the dirty rectangle of the stroke, region
// copies, the stroke mask, the two blends of picture and mosaic, and ApplyStroke, which the main
// window calls on release; ApplyRectStroke does the same for a dragged rectangle.
#pragma once

#include <cstdint>

#include "Bitmap.h"

namespace tilvo {

class THistoryControl;

// What a stroke puts under its mask: mosaic cells, opaque black, or the picture as it was opened
// (a restore brush that takes earlier strokes back where it paints).
enum class TStrokeEffect : uint8_t { Mosaic, SolidFill, Restore };

// The rectangle a stroke touches: the points' bounding box widened by every pixel the pen or the
// softened edge can reach (brushSize / 2 rounded down, plus one), aligned outwards to multiples
// of 8, then clipped to the picture (right and bottom exclusive, at most width and height). A
// stroke wholly off the picture gives an empty rectangle.
TRect ComputeDirtyRect(const TPoint* points, int32_t pointCount, int32_t brushSize,
                       int32_t pictureWidth, int32_t pictureHeight);

// The rectangle a rectangle stroke touches: rect (right and bottom exclusive, any order) widened
// by the soft edge's reach (one pixel) when softEdge, aligned outwards to multiples of 8 and
// clipped to the picture like ComputeDirtyRect. A rectangle wholly off the picture, or an empty
// one, gives an empty rectangle.
TRect ComputeRectDirtyRect(TRect rect, bool softEdge, int32_t pictureWidth, int32_t pictureHeight);

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

// Redraws mask at width × height: white, with rect (minus origin; right and bottom exclusive,
// ordered first, clipped to the mask) black. With softEdge the rectangle's outside is softened
// with "Blur" while its inside stays black: the softening lies wholly outside the rectangle.
void DrawRectMask(TBitmap& mask, int32_t width, int32_t height, TRect rect, TPoint origin,
                  bool softEdge);
// The same with the ellipse inscribed in rect: a pixel is black when its centre lies inside the
// ellipse (or on it); softened outside only, like the rectangle.
void DrawEllipseMask(TBitmap& mask, int32_t width, int32_t height, TRect rect, TPoint origin,
                     bool softEdge);

// picture := picture · f + mosaic · (1 − f), f = mask's blue byte / 255, halves rounded up.
// Throws when mosaic or mask is smaller than picture.
void MaskedBlend(TBitmap& picture, TBitmap& mosaic, TBitmap& mask);
// output := processed + ((m · (unchanged − processed)) >> 8), m the mask's blue byte, the shift a
// floor division. output is sized like processed; throws when processed or mask is smaller than
// unchanged.
void ReplayBlend(TBitmap& output, TBitmap& unchanged, TBitmap& processed, TBitmap& mask);

// What a stroke does inside rect, live and on replay alike: region becomes rect of picture blended
// (MaskedBlend, through mask) with the cells PixelateRect gives there for the whole picture as it
// is now. The picture itself is not changed; the caller copies region back into rect. rect must
// lie on the picture, and mask must cover it (throws otherwise).
void BlendMosaicStroke(TBitmap& picture, TRect rect, int32_t cellWidth, int32_t cellHeight,
                       TBitmap& mask, TBitmap& region);

// The same for a solid fill: region becomes rect of picture blended (MaskedBlend, through mask)
// with opaque black.
void BlendFillStroke(TBitmap& picture, TRect rect, TBitmap& mask, TBitmap& region);

// The same for a restore: region becomes rect of picture blended (MaskedBlend, through mask) with
// the pixels of `restore` (the picture as opened), whose pixel (0, 0) lies at restoreOrigin of
// the picture. restore must cover rect (throws otherwise).
void BlendRestoreStroke(TBitmap& picture, TRect rect, const TBitmap& restore, TPoint restoreOrigin,
                        TBitmap& mask, TBitmap& region);

// BlendMosaicStroke, BlendFillStroke or BlendRestoreStroke, as effect says (restore is needed for
// the last only).
void BlendStroke(TBitmap& picture, TRect rect, TStrokeEffect effect, int32_t cellWidth,
                 int32_t cellHeight, TBitmap& mask, TBitmap& region,
                 const TBitmap* restore = nullptr, TPoint restoreOrigin = {0, 0});

// The history effect of a solid fill: the whole surface becomes black (24 bits). The parameters
// are ignored: the signature is that of the history's parameterised effect.
void SolidFill(TBitmap& bitmap, int32_t unused1, int32_t unused2, int32_t unused3);
// The history effect of a restore. The pixels it puts back are kept in the entry; on its own it
// leaves the surface as it is.
void RestoreSource(TBitmap& bitmap, int32_t unused1, int32_t unused2, int32_t unused3);

// The names a stroke's history entry carries, by effect.
inline constexpr const char* kMosaicEffectName = "Mosaic";
inline constexpr const char* kSolidFillEffectName = "Solid fill";
inline constexpr const char* kRestoreEffectName = "Restore";

// What the main window holds for a stroke.
struct TStrokeContext {
    TBitmap& WorkBitmap;
    TBitmap& RegionBitmap;
    TBitmap& MaskBitmap;
    THistoryControl& History;
    // The picture as opened, which a restore puts back (needed for TStrokeEffect::Restore only).
    TBitmap* SourceBitmap = nullptr;
};

// Turns the stroke into mosaic (or solid black) inside dirtyRect of WorkBitmap (BlendStroke
// through the stroke's mask) and records the stroke in the history. When anything fails,
// WorkBitmap and the history are as they were.
void ApplyStroke(TStrokeContext& ctx, const TPoint* points, int32_t pointCount, TRect dirtyRect,
                 int32_t mosaicSize, int32_t brushSize, bool softEdge,
                 TStrokeEffect effect = TStrokeEffect::Mosaic);

// ApplyStroke after the mask is drawn: blends ctx.MaskBitmap (already of dirtyRect's size) into
// dirtyRect of WorkBitmap and records the stroke with that mask. Same guarantee.
void ApplyMaskedStroke(TStrokeContext& ctx, TRect dirtyRect, int32_t mosaicSize,
                       TStrokeEffect effect);

// Mosaics (or fills) the whole of rect (picture coordinates, right/bottom exclusive, any order),
// softened outside it when softEdge; recorded in the history as a stroke whose mask is the
// rectangle (DrawRectMask over ComputeRectDirtyRect). Strong guarantee like ApplyStroke.
void ApplyRectStroke(TStrokeContext& ctx, TRect rect, int32_t mosaicSize, bool softEdge,
                     TStrokeEffect effect, bool ellipse = false);

// What ApplyRectStroke would write, without writing it: mask and region become the dirty
// rectangle's mask and result, which the window shows while the rectangle is dragged. Answers the
// dirty rectangle.
TRect PreviewRectStroke(TBitmap& picture, const TBitmap* source, TRect rect, int32_t mosaicSize,
                        bool softEdge, TStrokeEffect effect, bool ellipse, TBitmap& mask,
                        TBitmap& region);

}  // namespace tilvo
